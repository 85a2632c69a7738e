#include "launcher/controlpanel.h"

#include <cerrno>
#include <cstdlib>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kv {
namespace {

struct Panel {
    std::string_view desktop;  // as XDG_CURRENT_DESKTOP names it, upper case; empty: any
    std::vector<std::string_view> command;
};

// Desktop panels first, in the order they are tried for their desktop; the network
// connection editor is the panel of last resort on any desktop.
const std::vector<Panel>& Panels() {
    static const std::vector<Panel> panels = {
        {"GNOME", {"gnome-control-center", "network"}},
        {"UNITY", {"gnome-control-center", "network"}},
        {"BUDGIE", {"budgie-control-center", "network"}},
        {"KDE", {"systemsettings", "kcm_proxy"}},
        {"KDE", {"systemsettings5", "proxy"}},
        {"KDE", {"kcmshell6", "kcm_proxy"}},
        {"KDE", {"kcmshell5", "proxy"}},
        {"X-CINNAMON", {"cinnamon-settings", "network"}},
        {"", {"nm-connection-editor"}},
    };
    return panels;
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::vector<std::string> Split(std::string_view s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find(sep, start);
        if (end == std::string_view::npos) end = s.size();
        parts.emplace_back(s.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string FindProgram(std::string_view name, std::string_view searchPath) {
    for (const std::string& dir : Split(searchPath, ':')) {
        if (dir.empty()) continue;
        std::string candidate = dir + "/" + std::string(name);
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::optional<std::vector<std::string>> Resolve(const Panel& panel, std::string_view searchPath) {
    std::string program = FindProgram(panel.command.front(), searchPath);
    if (program.empty()) return std::nullopt;
    std::vector<std::string> command{program};
    for (size_t i = 1; i < panel.command.size(); ++i) command.emplace_back(panel.command[i]);
    return command;
}

}  // namespace

std::string CommandLineArguments(int argc, const char* const* argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) text += ' ';
        text += argv[i];
    }
    return text;
}

bool LauncherArgumentAccepted(std::string_view arguments) {
    return arguments.substr(0, kLauncherArgument.size()) == kLauncherArgument;
}

std::optional<std::vector<std::string>> FindInternetControlPanel(std::string_view currentDesktop,
                                                                 std::string_view searchPath) {
    for (const std::string& desktop : Split(Upper(currentDesktop), ':')) {
        if (desktop.empty()) continue;
        for (const Panel& panel : Panels()) {
            if (panel.desktop != desktop) continue;
            if (auto command = Resolve(panel, searchPath)) return command;
        }
    }
    for (const Panel& panel : Panels()) {
        if (auto command = Resolve(panel, searchPath)) return command;
    }
    return std::nullopt;
}

bool RunAndWait(const std::vector<std::string>& command) {
    if (command.empty()) return false;
    std::vector<char*> args;
    for (const std::string& a : command) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) break;
    }
    return true;
}

int QueltdllMain(int argc, const char* const* argv) {
    if (!LauncherArgumentAccepted(CommandLineArguments(argc, argv))) return 0;
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    const char* path = std::getenv("PATH");
    auto panel = FindInternetControlPanel(desktop ? desktop : "", path ? path : "");
    if (panel) RunAndWait(*panel);
    return 0;
}

}  // namespace kv
