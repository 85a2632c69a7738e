#pragma once
// The shell's settings go through the shell automation object's RegRead and RegWrite:
// plain strings addressed by a full path such as
//   "HKEY_CURRENT_USER\Software\Quelt Internet\navegador\mbar".
// A path ending in "\" names the key's default value. A missing value reads as empty and
// is never an error; a failed write is reported only by the result, which callers ignore.
#include <string>

namespace kv {

class ShellAutomation {
public:
    static std::string RegRead(const std::string& path);
    // Writes `value` as REG_SZ. Returns false when the value could not be written.
    static bool RegWrite(const std::string& path, const std::string& value);
};

// The shell's own key, with its trailing "\".
inline constexpr const char* kQueltKey = "HKEY_CURRENT_USER\\Software\\Quelt Internet\\";

// RegRead / RegWrite of a value under the shell's key: QueltSetting("navegador\\mbar").
std::string QueltSetting(const std::string& name);
bool SetQueltSetting(const std::string& name, const std::string& value);

}  // namespace kv
