#pragma once
// Profile-string lookups in INI files (language files, skin files), with the rules of the
// Windows profile-string functions GetPrivateProfileString and GetPrivateProfileInt.
//
// Reading a file:
// - Lines end at CR, LF or CR LF. Blanks (space, tab, vertical tab, form feed, and the old
//   end-of-file mark Ctrl-Z) around a line, around a section name inside its brackets,
//   around a key name and around a value are dropped.
// - "[name]" starts a section; the name runs to the last "]" of the line (a line with "["
//   and no "]" still starts a section, named by the rest of the line). Lines before the
//   first section belong to no section and are never found.
// - "key=value" lines: the key runs to the first "="; a line without "=" is no key.
//   A line whose first non-blank character is ";" is a comment.
// - Bytes are kept as they are: a file in an 8-bit code page (as older language files
//   are) gives its values in that code page, a UTF-8 file gives UTF-8; the caller knows
//   which. A UTF-8 byte-order mark is skipped; a UTF-16 file (with its byte-order mark)
//   is converted to UTF-8. Encoding() tells which of these was seen. A value is cut at a
//   zero byte, as the C string it used to be.
// - A missing, unreadable or non-regular file, or one larger than kMaxIniFileSize, reads
//   as an empty file: every lookup gives its default. Damaged text never fails; it only
//   yields fewer keys.
//
// Looking up:
// - Section and key names compare without regard to case (ASCII letters only: the byte
//   encoding of a file is not known) and with surrounding blanks of the requested names
//   dropped.
// - When a section name occurs more than once, only its first occurrence is searched;
//   within it the first line of a key wins.
// - A value enclosed in a matching pair of double or single quotes loses the quotes.
// - A key that is present with an empty value gives "" (not the default); a missing key
//   or section gives the default with its trailing blanks dropped.
// - A buffer size works as in GetPrivateProfileString: at most bufferSize - 1 bytes come
//   back (the last byte of the caller's buffer holds the zero); 0 gives nothing.
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kv {

inline constexpr std::size_t kMaxIniFileSize = 64u * 1024 * 1024;

enum class IniEncoding {
    Bytes,    // no byte-order mark: bytes as they are (8-bit code page or UTF-8)
    Utf8Bom,  // UTF-8 with a byte-order mark (the mark is skipped)
    Utf16,    // UTF-16 with a byte-order mark, converted to UTF-8
};

class IniFile {
public:
    static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

    // An empty file: every lookup gives its default.
    IniFile() = default;

    // Reads the whole file once; later lookups do not touch the disk.
    static IniFile Load(const std::string& path);
    // Parses text held in memory (as if it were the content of a file).
    static IniFile FromText(std::string_view text);

    // True when the file could be read (it may still hold no sections).
    bool IsLoaded() const { return loaded_; }
    IniEncoding Encoding() const { return encoding_; }

    // GetPrivateProfileString with a key: the value, or the default.
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue = {},
                          std::size_t bufferSize = kNoLimit) const;
    // The same into a caller's buffer of `bufferSize` bytes, zero-terminated. Returns the
    // number of bytes copied without the zero; with bufferSize 0 the buffer is not touched.
    std::size_t GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue, char* buffer,
                          std::size_t bufferSize) const;

    // GetPrivateProfileInt: the default when the key is missing or its value is empty;
    // otherwise the decimal number at the start of the value (optional blanks, optional
    // "+" or "-", digits up to the first other character; no digits give 0), computed
    // modulo 2^32 like the function's unsigned result, which is returned here as int
    // ("-1" gives -1, "4294967297" gives 1, "42A9" gives 42, "B42" gives 0).
    int GetInt(std::string_view section, std::string_view key, int defaultValue) const;

    // True when the key is present in the section (even with an empty value).
    bool HasKey(std::string_view section, std::string_view key) const;

    // Section names as written in the file, in file order (a repeated name repeats).
    std::vector<std::string> SectionNames() const;
    // Key names of the section (its first occurrence), as written, in file order.
    std::vector<std::string> KeyNames(std::string_view section) const;

private:
    struct Entry {
        std::string key;
        std::string value;  // as written, blanks around it dropped, quotes kept
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
        std::unordered_map<std::string, std::size_t> firstEntry;  // folded key -> entry
    };

    void Parse(std::string_view text);
    const Entry* Find(std::string_view section, std::string_view key) const;

    std::vector<Section> sections_;
    std::unordered_map<std::string, std::size_t> firstSection_;  // folded name -> section
    bool loaded_ = false;
    IniEncoding encoding_ = IniEncoding::Bytes;
};

// One-shot forms that read the file for each call, with the parameter order of the
// Windows functions.
std::size_t GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, char* buffer,
                                    std::size_t bufferSize, const std::string& path);
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, std::size_t bufferSize,
                                    const std::string& path);
int GetPrivateProfileInt(std::string_view section, std::string_view key, int defaultValue,
                         const std::string& path);

}  // namespace kv
