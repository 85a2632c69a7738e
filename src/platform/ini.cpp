#include "platform/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace kv {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n' ||
           c == '\x1A';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string Fold(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// UTF-16 (after its byte-order mark) to UTF-8; unpaired surrogates and an odd last byte
// become U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size());
    auto unit = [&](std::size_t i) -> std::uint32_t {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return bigEndian ? (a << 8) | b : (b << 8) | a;
    };
    const std::size_t n = bytes.size() / 2 * 2;
    for (std::size_t i = 0; i < n; i += 2) {
        std::uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 2 < n) {
            const std::uint32_t low = unit(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        AppendUtf8(out, u);
    }
    if (bytes.size() % 2 != 0) AppendUtf8(out, 0xFFFD);
    return out;
}

// The whole regular file, or false.
bool ReadWholeFile(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = false;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
        static_cast<std::uint64_t>(st.st_size) <= kMaxIniFileSize) {
        try {
            std::string data;
            data.resize(static_cast<std::size_t>(st.st_size));
            std::size_t got = 0;
            ok = true;
            while (got < data.size()) {
                const ssize_t r = ::read(fd, data.data() + got, data.size() - got);
                if (r < 0 && errno == EINTR) continue;
                if (r < 0) {
                    ok = false;
                    break;
                }
                if (r == 0) break;  // the file shrank while we read it
                got += static_cast<std::size_t>(r);
            }
            data.resize(got);
            if (ok) out = std::move(data);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

IniFile IniFile::FromText(std::string_view text) {
    IniFile file;
    file.loaded_ = true;
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        file.encoding_ = IniEncoding::Utf8Bom;
        file.Parse(text.substr(3));
    } else if (text.size() >= 2 && (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF")) {
        file.encoding_ = IniEncoding::Utf16;
        const std::string utf8 = Utf16ToUtf8(text.substr(2), text[0] == '\xFE');
        file.Parse(utf8);
    } else {
        file.Parse(text);
    }
    return file;
}

IniFile IniFile::Load(const std::string& path) {
    std::string data;
    if (!ReadWholeFile(path, data)) return IniFile();
    try {
        return FromText(data);
    } catch (const std::bad_alloc&) {
        return IniFile();
    }
}

void IniFile::Parse(std::string_view text) {
    Section* current = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
        const std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == ';') continue;

        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            const std::string_view name =
                Trim(close == std::string_view::npos ? line.substr(1) : line.substr(1, close - 1));
            sections_.push_back(Section{std::string(name), {}, {}});
            firstSection_.emplace(Fold(name), sections_.size() - 1);  // keeps the first
            current = &sections_.back();
            continue;
        }
        if (current == nullptr) continue;  // before the first section
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;  // no key without "="
        const std::string_view key = Trim(line.substr(0, eq));
        std::string_view value = Trim(line.substr(eq + 1));
        const std::size_t zero = value.find('\0');
        if (zero != std::string_view::npos) value = TrimRight(value.substr(0, zero));
        current->entries.push_back(Entry{std::string(key), std::string(value)});
        current->firstEntry.emplace(Fold(key), current->entries.size() - 1);
    }
}

const IniFile::Entry* IniFile::Find(std::string_view section, std::string_view key) const {
    const auto s = firstSection_.find(Fold(Trim(section)));
    if (s == firstSection_.end()) return nullptr;
    const Section& sec = sections_[s->second];
    const auto e = sec.firstEntry.find(Fold(Trim(key)));
    if (e == sec.firstEntry.end()) return nullptr;
    return &sec.entries[e->second];
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view defaultValue, std::size_t bufferSize) const {
    if (bufferSize == 0) return {};
    std::string_view result;
    if (const Entry* entry = Find(section, key)) {
        result = entry->value;
        if (result.size() >= 2 && (result.front() == '"' || result.front() == '\'') &&
            result.back() == result.front()) {
            result = result.substr(1, result.size() - 2);
        }
    } else {
        result = TrimRight(defaultValue);
    }
    if (result.size() > bufferSize - 1) result = result.substr(0, bufferSize - 1);
    return std::string(result);
}

std::size_t IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view defaultValue, char* buffer,
                               std::size_t bufferSize) const {
    if (buffer == nullptr || bufferSize == 0) return 0;
    const std::string value = GetString(section, key, defaultValue, bufferSize);
    std::memcpy(buffer, value.data(), value.size());
    buffer[value.size()] = '\0';
    return value.size();
}

int IniFile::GetInt(std::string_view section, std::string_view key, int defaultValue) const {
    const std::string text = GetString(section, key, "");
    if (text.empty()) return defaultValue;
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    if (negative) value = 0u - value;
    return static_cast<int>(value);
}

bool IniFile::HasKey(std::string_view section, std::string_view key) const {
    return Find(section, key) != nullptr;
}

std::vector<std::string> IniFile::SectionNames() const {
    std::vector<std::string> names;
    names.reserve(sections_.size());
    for (const auto& s : sections_) names.push_back(s.name);
    return names;
}

std::vector<std::string> IniFile::KeyNames(std::string_view section) const {
    std::vector<std::string> names;
    const auto s = firstSection_.find(Fold(Trim(section)));
    if (s == firstSection_.end()) return names;
    for (const auto& e : sections_[s->second].entries) names.push_back(e.key);
    return names;
}

std::size_t GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, char* buffer,
                                    std::size_t bufferSize, const std::string& path) {
    return IniFile::Load(path).GetString(section, key, defaultValue, buffer, bufferSize);
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, std::size_t bufferSize,
                                    const std::string& path) {
    return IniFile::Load(path).GetString(section, key, defaultValue, bufferSize);
}

int GetPrivateProfileInt(std::string_view section, std::string_view key, int defaultValue,
                         const std::string& path) {
    return IniFile::Load(path).GetInt(section, key, defaultValue);
}

}  // namespace kv
