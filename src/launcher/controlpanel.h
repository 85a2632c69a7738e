#pragma once
// queltdll: opens the desktop's network and proxy settings, the Linux counterpart of the
// Internet options panel ("inetcpl.cpl"). It shows no window of its own and always ends
// with exit code 0; a wrong argument or a missing panel end it silently.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// The browser shell starts the launcher with this argument.
inline constexpr std::string_view kLauncherArgument = "rxdsvuqfxj";

// The text after the program's path, as the shell passes it: the arguments joined by blanks.
std::string CommandLineArguments(int argc, const char* const* argv);

// True when the first 10 characters are "rxdsvuqfxj" exactly (case-sensitive); whatever
// follows is ignored.
bool LauncherArgumentAccepted(std::string_view arguments);

// The settings panel of the desktop named by `currentDesktop` (XDG_CURRENT_DESKTOP, a
// colon-separated list), else the first known panel installed: the command to run, its
// program resolved in `searchPath` (PATH). Nothing when no panel is installed.
std::optional<std::vector<std::string>> FindInternetControlPanel(std::string_view currentDesktop,
                                                                 std::string_view searchPath);

// Starts `command` (its first element a path) and waits until it ends, as the panel
// function returns when the user closes the panel. False when it could not be started.
bool RunAndWait(const std::vector<std::string>& command);

// The launcher: the argument rule, the panel, exit code 0.
int QueltdllMain(int argc, const char* const* argv);

}  // namespace kv
