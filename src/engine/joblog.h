#pragma once
// The job log: per job, per ant, a list of typed, time-stamped texts, kept by the log
// window on the user-interface thread and fed by engine threads through MSG_LOG_LINE.
//
// An engine thread sets its log context (the job and its ant index) once; every
// LogText / LogMessage after that lands on that ant's page of the job's log. A thread
// without a context logs nothing.
#include "engine/messages.h"

#include <array>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

namespace kv {

struct JobRecord;

inline constexpr int MAX_LOG_PAGES = 5;               // one page per possible ant
inline constexpr std::size_t MAX_LOG_ENTRIES = 1000;  // per page; the oldest goes first
inline constexpr std::size_t MAX_LOG_MESSAGE = 99;    // a text looked up by string id
inline constexpr std::size_t MAX_LOG_FORMATTED = 249; // a formatted text

// ---- thread log context

struct LogContext {
    JobRecord* Job = nullptr;
    int Ant = 0;
};

void SetLogContext(JobRecord* job, int ant);
void ClearLogContext();
LogContext GetLogContext();

// Sets the context for its lifetime and puts the previous one back afterwards.
class ScopedLogContext {
public:
    ScopedLogContext(JobRecord* job, int ant) : previous_(GetLogContext()) {
        SetLogContext(job, ant);
    }
    ~ScopedLogContext() { SetLogContext(previous_.Job, previous_.Ant); }
    ScopedLogContext(const ScopedLogContext&) = delete;
    ScopedLogContext& operator=(const ScopedLogContext&) = delete;

private:
    LogContext previous_;
};

// ---- logging

// What MSG_LOG_LINE carries. The text may live on the sender's stack: the log window
// copies it before the send returns.
struct LogLine {
    JobRecord* Job = nullptr;
    int Ant = 0;
    std::string_view Text;
    uint32_t Type = LOG_NORMAL;
};

// Splits `text` at carriage returns and line feeds (a run of them is one break, empty
// pieces are skipped) and sends one MSG_LOG_LINE per piece to the log window, with the
// calling thread's context. Nothing happens without a context or a log window.
void LogText(std::string_view text, uint32_t type);

// Logs the string `id` of the current language, cut to 99 characters.
void LogMessage(unsigned id, uint32_t type);

// One argument of a formatted log text: a text or a number.
class LogArg {
public:
    LogArg(std::string_view text) : text_(text) {}
    LogArg(const char* text) : text_(text ? text : "") {}
    LogArg(const std::string& text) : text_(text) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    LogArg(T number) : isNumber_(true), number_(static_cast<int64_t>(number)) {}

    std::string ToString() const;

private:
    bool isNumber_ = false;
    int64_t number_ = 0;
    std::string_view text_;
};

// Fills "%s" and "%d" of `format` with `args` in order, whatever their kind (a text of a
// language file can't make this read the wrong thing); "%%" gives "%", any other "%"
// stays as it is, a missing argument gives nothing. Cut to 249 characters.
std::string FormatLogText(std::string_view format, std::initializer_list<LogArg> args);

// Logs the string `id` of the current language formatted with `args`
// ("Connect to host (%s:%d) ...", "Wait %d seconds for next retry").
void LogMessageFormatted(unsigned id, uint32_t type, std::initializer_list<LogArg> args);

// ---- the log itself

struct LogEntry {
    uint32_t Type = LOG_NORMAL;
    std::string Time;  // "YYYY/MM/DD hh:mm:ss", local time of arrival
    std::string Text;
};

// One job's log. Entries of a page keep their address while they stay in the page.
struct JobLog {
    JobRecord* Job = nullptr;
    int PageCount = 0;  // 0..MAX_LOG_PAGES
    std::array<std::deque<LogEntry>, MAX_LOG_PAGES> Pages;
};

// What the log view draws from. Every call comes on the log window's thread.
class LogObserver {
public:
    virtual ~LogObserver() = default;
    // `entry` was appended to page `ant`; `droppedOldest`: the page's first entry was
    // removed first to keep it at 1000.
    virtual void EntryAdded(const JobLog& /*log*/, int /*ant*/, const LogEntry& /*entry*/,
                            bool /*droppedOldest*/) {}
    // The job's log was created, deleted, cleared, reset or got pages.
    virtual void LogChanged(JobRecord* /*job*/) {}
    // The job whose log is shown changed (nullptr: none).
    virtual void SelectionChanged(JobRecord* /*job*/) {}
};

// The log window ("KV_LogWin"): keeps every job's log and handles the log messages
// 1025 to 1031. It is created on, and must be destroyed on, the user-interface thread;
// it unregisters itself from EngineWindows() when it goes.
class LogWindow {
public:
    LogWindow();
    ~LogWindow();
    LogWindow(const LogWindow&) = delete;
    LogWindow& operator=(const LogWindow&) = delete;

    HWND Handle() const { return hwnd_; }
    void SetObserver(LogObserver* observer) { observer_ = observer; }

    const JobLog* Find(JobRecord* job) const;
    JobRecord* Selected() const { return selected_; }

    // The message handlers; each returns 1 when done, 0 when refused.
    bool Create(JobRecord* job, WPARAM pages);
    bool Delete(JobRecord* job);
    bool Clear(JobRecord* job);
    void Select(JobRecord* job);
    bool Reset(JobRecord* job, WPARAM pages);
    bool AddLine(const LogLine& line);
    bool AddAnts(JobRecord* job, WPARAM count);

private:
    JobLog* FindLog(JobRecord* job);

    HWND hwnd_ = nullptr;
    LogObserver* observer_ = nullptr;
    std::unordered_map<JobRecord*, std::unique_ptr<JobLog>> logs_;
    JobRecord* selected_ = nullptr;
};

// "%04d/%02d/%02d %02d:%02d:%02d" of the local time now.
std::string LogTimeText();

// The message box and failure box of a program without a display (kvget, tests): each
// text goes to standard error and, on an engine thread with a log context, into that
// job's log as a Fail entry; string identifiers are looked up in the string table. The
// desktop program installs its dialogs instead.
void InstallHeadlessBoxes();

// Connects the socket layer to the engine: its log lines go into the job log of the
// calling thread's context, its bandwidth requests to the main window of EngineWindows().
void InstallEngineNetHooks();

}  // namespace kv
