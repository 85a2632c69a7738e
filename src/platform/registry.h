#pragma once
// HKEY_CURRENT_USER of the suite's programs: typed keys and values kept in one per-user hive
// file (RegistryFilePath()), in the text form of registry exports:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Kestova\Configure]
//   "MaxError"=dword:0000000a
//   "DefaultDirectory"="/home/ann/Downloads/"
//   "Band0"=hex:01,02,03,\   (a long run of bytes goes on on the next line)
//     04,05
//   @="the key's default value"
//
// The calls follow the system's registry calls, with their result codes, so callers read
// like the system's: RegCreateKey, RegOpenKey, RegQueryValueEx (ERROR_MORE_DATA when the
// buffer is too small), RegSetValueEx, RegDeleteValue, RegEnumKey (ERROR_NO_MORE_ITEMS),
// RegDeleteKey, RegCloseKey. Key paths are relative to HKEY_CURRENT_USER and use "\":
// "Software\\Kestova\\Configure". Key and value names are compared without regard to ASCII
// case and keep the case they were created with; subkeys are enumerated in the order of
// their names compared as upper case (the system's order), values in the order they were
// first written. Texts are bytes (UTF-8 or a legacy 8-bit code) and are kept as they are.
//
// When the hive is written
//   Changes go to memory at once and are saved when a handle through which something was
//   changed is closed (RegCloseKey, or the handle's destructor), and on RegFlushKey. So a
//   settings save of eighty values rewrites the file once. Calls without a handle that
//   change something (RegDeleteKey relative to HKEY_CURRENT_USER) save at once. The first
//   change after a save checks that the hive can be written at all (its folder can be made,
//   its lock file opened, a file created beside it); when it cannot, that call fails with
//   the error and changes nothing, so a saver stops at its first write.
//   Each save writes a temporary file in the hive's folder, flushes it to disk, renames it
//   over the hive (mode 0600, missing folders created) and flushes the folder: a crash
//   leaves the old or the new hive, never a torn one.
//
// Several programs, one hive
//   Every call that reads first looks whether the file changed on disk since this process
//   last read or wrote it (device, inode, size, modification and change times) and, if so,
//   reads it again. A save takes an exclusive lock on "<hive>.lock" (flock; the lock file
//   stays), reads the hive again when another program saved since, replays this process's
//   unsaved changes (created keys, written and deleted values, deleted keys) on top of it in
//   the order they were made, and writes the result. So two programs that save at once
//   keep each other's keys; for one value written by both, the later save wins.
//
// A damaged hive
//   Loading keeps every key and value that still parses (a cut-off last line, a value with
//   no closing quote, a section with no closing bracket, a line that is no entry, ... lose
//   only themselves), keeps a copy of the damaged file beside it as
//   "<hive>.damaged-YYYYMMDD-HHMMSS" (mode 0600), writes the hive again with what was read,
//   and says so once through MessageBoxText. When the copy cannot be made, the damaged file
//   is not written over: every save fails until the copy can be made.
#include "platform/winerror.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// Result codes are the system's numbers (platform/winerror.h).

// Value types.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;

// Longest key name (one path component).
inline constexpr size_t kMaxKeyNameLength = 255;

class RegistryHive;

// An open key. Move-only; closing (or destroying) a handle through which something was
// changed saves the hive.
class HKey {
public:
    HKey() = default;
    HKey(HKey&& other) noexcept;
    HKey& operator=(HKey&& other) noexcept;
    HKey(const HKey&) = delete;
    HKey& operator=(const HKey&) = delete;
    ~HKey();

    bool IsOpen() const { return hive_ != nullptr; }
    // "Software\\Kestova\\Configure"; empty for HKEY_CURRENT_USER itself.
    std::string Path() const;

private:
    friend struct RegistryAccess;
    std::shared_ptr<RegistryHive> hive_;
    std::vector<std::string> path_;
    bool changed_ = false;
};

// HKEY_CURRENT_USER of this process's hive, the file RegistryFilePath() names. The hive is
// read on first use; when RegistryFilePath() names another file later, handles opened
// from then on use that file (open handles keep theirs).
HKey CurrentUserKey();

// HKEY_CURRENT_USER of a separate view of the hive file `filePath`, independent of the
// process's own (for tools and tests that need a second view of a file).
HKey OpenHiveFile(const std::string& filePath);

// Opens `subKey` of `parent` (empty: a new handle to `parent` itself), creating the missing
// keys. ERROR_INVALID_PARAMETER for an empty path component or one longer than
// kMaxKeyNameLength or holding a line break.
int32_t RegCreateKey(const HKey& parent, std::string_view subKey, HKey& result);
int32_t RegCreateKey(std::string_view subKey, HKey& result);  // under HKEY_CURRENT_USER
// Opens an existing key; ERROR_FILE_NOT_FOUND when it does not exist.
int32_t RegOpenKey(const HKey& parent, std::string_view subKey, HKey& result);
int32_t RegOpenKey(std::string_view subKey, HKey& result);

// Saves the hive when something was changed through `key`, then closes it. The result is
// that of the save; the handle is closed either way.
int32_t RegCloseKey(HKey& key);
// Saves every unsaved change of the hive `key` belongs to.
int32_t RegFlushKey(const HKey& key);

// The system's form: `type` (may be null) receives the type; with `data` null, `*size`
// receives the size needed; with a buffer of `*size` bytes that is too small the result is
// ERROR_MORE_DATA and `*size` the size needed. A REG_SZ value's size counts its zero.
// The empty name is the key's default value.
int32_t RegQueryValueEx(const HKey& key, std::string_view name, uint32_t* type, void* data,
                        uint32_t* size);
// A REG_SZ value read into a buffer of `bufferSize` bytes: ERROR_MORE_DATA when the text
// and its zero do not fit, ERROR_UNSUPPORTED_TYPE for a value of another type.
int32_t RegQueryString(const HKey& key, std::string_view name, std::string& text,
                       size_t bufferSize = SIZE_MAX);
// A REG_DWORD value of 4 bytes; ERROR_UNSUPPORTED_TYPE for anything else.
int32_t RegQueryDword(const HKey& key, std::string_view name, uint32_t& value);
// The bytes of a value of any type.
int32_t RegQueryBinary(const HKey& key, std::string_view name, std::string& bytes,
                       uint32_t* type = nullptr);

// Writes a value (replacing one of the same name whatever its type). REG_SZ data is taken
// up to its first zero byte (or all `size` bytes) and kept with one terminating zero.
int32_t RegSetValueEx(HKey& key, std::string_view name, uint32_t type, const void* data,
                      uint32_t size);
int32_t RegSetString(HKey& key, std::string_view name, std::string_view text);
int32_t RegSetDword(HKey& key, std::string_view name, uint32_t value);
int32_t RegSetBinary(HKey& key, std::string_view name, std::string_view bytes);
// ERROR_FILE_NOT_FOUND when there is no such value.
int32_t RegDeleteValue(HKey& key, std::string_view name);

// The name of subkey number `index` in enumeration order; ERROR_NO_MORE_ITEMS past the end.
int32_t RegEnumKey(const HKey& key, uint32_t index, std::string& name);
// The name (and type) of value number `index`; ERROR_NO_MORE_ITEMS past the end.
int32_t RegEnumValue(const HKey& key, uint32_t index, std::string& name,
                     uint32_t* type = nullptr);

struct RegKeyInfo {
    uint32_t SubKeys = 0;
    uint32_t MaxSubKeyLength = 0;    // characters, without a zero
    uint32_t Values = 0;
    uint32_t MaxValueNameLength = 0;
    uint32_t MaxValueLength = 0;     // bytes
};
int32_t RegQueryInfoKey(const HKey& key, RegKeyInfo& info);

// Deletes `subKey` of `parent` with its values. ERROR_ACCESS_DENIED when it has subkeys of
// its own (RegDeleteTree removes those too), ERROR_FILE_NOT_FOUND when it does not exist.
int32_t RegDeleteKey(HKey& parent, std::string_view subKey);
int32_t RegDeleteTree(HKey& parent, std::string_view subKey);
int32_t RegDeleteKey(std::string_view subKey);  // under HKEY_CURRENT_USER; saves at once

}  // namespace kv
