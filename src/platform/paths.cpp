#include "platform/paths.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <system_error>
#include <unistd.h>

namespace kv {
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string();
}

std::string HomeDirectory() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

std::string StripTrailingSlash(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

std::string XdgDir(const char* var, const char* fallbackUnderHome) {
    std::string v = Env(var);
    if (!v.empty()) return StripTrailingSlash(v);
    return HomeDirectory() + "/" + fallbackUnderHome;
}

}  // namespace

std::string ProgramDirectory() {
    std::string v = Env("KESTOVA_HOME");
    if (!v.empty()) return StripTrailingSlash(v);
    return XdgDir("XDG_DATA_HOME", ".local/share") + "/kestova";
}

std::string QueltDirectory() {
    std::string v = Env("QUELT_HOME");
    if (!v.empty()) return StripTrailingSlash(v);
    return XdgDir("XDG_DATA_HOME", ".local/share") + "/quelt2000";
}

std::string DownloadDirectory() {
    std::string dir = Env("XDG_DOWNLOAD_DIR");
    if (dir.empty()) {
        // user-dirs.dirs holds lines like XDG_DOWNLOAD_DIR="$HOME/Downloads"
        std::ifstream in(XdgDir("XDG_CONFIG_HOME", ".config") + "/user-dirs.dirs");
        std::string line;
        const std::string key = "XDG_DOWNLOAD_DIR=\"";
        while (std::getline(in, line)) {
            if (line.rfind(key, 0) != 0) continue;
            std::string value = line.substr(key.size());
            if (auto q = value.find('"'); q != std::string::npos) value.resize(q);
            if (value.rfind("$HOME", 0) == 0) value = HomeDirectory() + value.substr(5);
            if (!value.empty() && value[0] == '/') dir = value;
            break;
        }
    }
    if (dir.empty()) dir = HomeDirectory() + "/Downloads";
    dir = StripTrailingSlash(dir);
    return dir + "/";
}

std::string RegistryFilePath() {
    std::string v = Env("KESTOVA_REGISTRY");
    if (!v.empty()) return v;
    return XdgDir("XDG_CONFIG_HOME", ".config") + "/kestova/user.reg";
}

bool CreateParentDirectories(const std::string& filePath) {
    std::filesystem::path parent = std::filesystem::path(filePath).parent_path();
    if (parent.empty()) return true;
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    return !ec && std::filesystem::is_directory(parent, ec);
}

}  // namespace kv
