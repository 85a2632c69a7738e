#include "shell/shellregistry.h"

#include <string_view>

#include "platform/registry.h"

namespace kv {
namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i], b = prefix[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
        if (a != b) return false;
    }
    return true;
}

// Splits "ROOT\key\path\value" into the key path under HKEY_CURRENT_USER and the value
// name (empty for a path ending in "\", the default value). HKEY_CLASSES_ROOT is the
// user's own "Software\Classes", which is where the system merges it from too.
bool SplitPath(std::string_view path, std::string& keyPath, std::string& valueName) {
    static constexpr std::string_view kCurrentUser[] = {"HKEY_CURRENT_USER\\", "HKCU\\"};
    static constexpr std::string_view kClassesRoot[] = {"HKEY_CLASSES_ROOT\\", "HKCR\\"};
    std::string prefix;
    std::string_view rest;
    bool found = false;
    for (std::string_view root : kCurrentUser) {
        if (!found && StartsWithNoCase(path, root)) {
            rest = path.substr(root.size());
            found = true;
        }
    }
    for (std::string_view root : kClassesRoot) {
        if (!found && StartsWithNoCase(path, root)) {
            rest = path.substr(root.size());
            prefix = "Software\\Classes\\";
            found = true;
        }
    }
    if (!found) return false;
    size_t slash = rest.rfind('\\');
    if (slash == std::string_view::npos) return false;  // a value directly under the root
    keyPath = prefix + std::string(rest.substr(0, slash));
    valueName = std::string(rest.substr(slash + 1));
    return !keyPath.empty();
}

}  // namespace

std::string ShellAutomation::RegRead(const std::string& path) {
    std::string keyPath, valueName;
    if (!SplitPath(path, keyPath, valueName)) return {};
    HKey key;
    if (RegOpenKey(keyPath, key) != ERROR_SUCCESS) return {};
    std::string text;
    if (RegQueryString(key, valueName, text) == ERROR_SUCCESS) return text;
    uint32_t number = 0;
    if (RegQueryDword(key, valueName, number) == ERROR_SUCCESS) return std::to_string(number);
    return {};
}

bool ShellAutomation::RegWrite(const std::string& path, const std::string& value) {
    std::string keyPath, valueName;
    if (!SplitPath(path, keyPath, valueName)) return false;
    HKey key;
    if (RegCreateKey(keyPath, key) != ERROR_SUCCESS) return false;
    bool written = RegSetString(key, valueName, value) == ERROR_SUCCESS;
    bool saved = RegCloseKey(key) == ERROR_SUCCESS;
    return written && saved;
}

std::string QueltSetting(const std::string& name) {
    return ShellAutomation::RegRead(kQueltKey + name);
}

bool SetQueltSetting(const std::string& name, const std::string& value) {
    return ShellAutomation::RegWrite(kQueltKey + name, value);
}

}  // namespace kv
