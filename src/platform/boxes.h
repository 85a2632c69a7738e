#pragma once
// The download manager's message box and failure box. The desktop program installs a
// handler that shows the modal "Kestova" dialog; without one (kvget, tests) the text goes
// to standard error. Engine code calls these and never knows which is in place.
#include <functional>
#include <string>

namespace kv {

// Called with the final text of every box. `isFailure` tells a failure box from a
// message box.
using BoxHandler = std::function<void(const std::string& text, bool isFailure)>;

// Installs `handler` and returns the previous one. An empty handler restores the default.
BoxHandler SetBoxHandler(BoxHandler handler);

// Looks up a string identifier (below 0x10000) for MessageBoxId. Installed by the string
// table; without one the number itself is shown.
using StringLookup = std::function<std::string(unsigned id)>;
void SetBoxStringLookup(StringLookup lookup);

void MessageBoxText(const std::string& text);
void MessageBoxId(unsigned stringId);

// The failure box names the failed call and appends the system's last error code:
// "CreateFile [2]", the whole text cut to 100 characters. `errorCode` < 0 reads errno.
void FailureBox(const std::string& callName, int errorCode = -1);

// The text the failure box shows, without showing it.
std::string FailureBoxText(const std::string& callName, int errorCode);

// A yes/no question with its own caption (the program icon is the desktop handler's
// business). The handler answers true for "yes". Without one the question goes to
// standard error and the answer is "no", so nothing irreversible happens unattended.
using QuestionHandler = std::function<bool(const std::string& text, const std::string& caption)>;

// Installs `handler` and returns the previous one. An empty handler restores the default.
QuestionHandler SetQuestionHandler(QuestionHandler handler);

bool QuestionBox(const std::string& text, const std::string& caption);

}  // namespace kv
