#include "platform/registry.h"

#include "platform/boxes.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kv {

// ---------------------------------------------------------------------------------------
// The tree in memory

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// The system's order of key names: compared as upper case, byte by byte.
struct KeyLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const {
        size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i) {
            auto x = static_cast<unsigned char>(AsciiUpper(a[i]));
            auto y = static_cast<unsigned char>(AsciiUpper(b[i]));
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
};

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    return true;
}

struct Value {
    std::string name;
    uint32_t type = REG_NONE;
    std::string data;  // REG_SZ: the text and one zero
};

struct Node {
    std::vector<Value> values;  // in the order first written
    std::map<std::string, std::unique_ptr<Node>, KeyLess> subkeys;
};

using KeyPath = std::vector<std::string>;

// REG_SZ data is the text up to its first zero, kept with one zero.
std::string NormalisedData(uint32_t type, std::string data) {
    if (type == REG_SZ) {
        if (auto z = data.find('\0'); z != std::string::npos) data.resize(z);
        data.push_back('\0');
    }
    return data;
}

bool ValidKeyName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxKeyNameLength &&
           name.find_first_of("\r\n") == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

// Splits "A\\B\\C" into its names. An empty `path` gives no names.
bool SplitKeyPath(std::string_view path, KeyPath& out) {
    out.clear();
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t sep = path.find('\\', start);
        std::string_view part = path.substr(start, sep == std::string_view::npos
                                                        ? std::string_view::npos
                                                        : sep - start);
        if (!ValidKeyName(part)) return false;
        out.emplace_back(part);
        if (sep == std::string_view::npos) return true;
        start = sep + 1;
    }
}

Node* FindKey(Node& root, const KeyPath& path, size_t count) {
    Node* n = &root;
    for (size_t i = 0; i < count && n; ++i) {
        auto it = n->subkeys.find(std::string_view(path[i]));
        n = it == n->subkeys.end() ? nullptr : it->second.get();
    }
    return n;
}
Node* FindKey(Node& root, const KeyPath& path) { return FindKey(root, path, path.size()); }

Node* CreateKeyPath(Node& root, const KeyPath& path) {
    Node* n = &root;
    for (const std::string& name : path) {
        auto it = n->subkeys.find(std::string_view(name));
        if (it == n->subkeys.end())
            it = n->subkeys.emplace(name, std::make_unique<Node>()).first;
        n = it->second.get();
    }
    return n;
}

Value* FindValue(Node& n, std::string_view name) {
    for (Value& v : n.values)
        if (SameName(v.name, name)) return &v;
    return nullptr;
}

void PutValue(Node& n, std::string_view name, uint32_t type, std::string data) {
    if (Value* v = FindValue(n, name)) {
        v->type = type;
        v->data = std::move(data);
    } else {
        n.values.push_back(Value{std::string(name), type, std::move(data)});
    }
}

bool EraseValue(Node& n, std::string_view name) {
    for (auto it = n.values.begin(); it != n.values.end(); ++it) {
        if (SameName(it->name, name)) {
            n.values.erase(it);
            return true;
        }
    }
    return false;
}

// One change made by this process and not saved yet; replayed over the file's content when
// another program saved in between.
struct Change {
    enum Kind { CreateKey, SetValue, DeleteValue, DeleteKey } kind;
    KeyPath path;
    std::string name;
    uint32_t type = REG_NONE;
    std::string data;
};

void Apply(Node& root, const Change& c) {
    switch (c.kind) {
    case Change::CreateKey:
        CreateKeyPath(root, c.path);
        break;
    case Change::SetValue:
        PutValue(*CreateKeyPath(root, c.path), c.name, c.type, c.data);
        break;
    case Change::DeleteValue:
        if (Node* n = FindKey(root, c.path)) EraseValue(*n, c.name);
        break;
    case Change::DeleteKey:
        if (c.path.empty()) break;
        if (Node* parent = FindKey(root, c.path, c.path.size() - 1))
            parent->subkeys.erase(c.path.back());
        break;
    }
}

// ---------------------------------------------------------------------------------------
// The text form

constexpr std::string_view kRootName = "HKEY_CURRENT_USER";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}
std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

struct ParseOutcome {
    size_t damagedEntries = 0;
    size_t firstDamagedLine = 0;  // 1-based
};

class HiveParser {
public:
    HiveParser(std::string_view text, Node& root) : root_(root) {
        if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
        size_t start = 0;
        while (start < text.size()) {
            size_t nl = text.find('\n', start);
            bool terminated = nl != std::string_view::npos;
            std::string_view line =
                text.substr(start, terminated ? nl - start : std::string_view::npos);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            lines_.push_back({line, terminated});
            start = terminated ? nl + 1 : text.size();
        }
    }

    ParseOutcome Run() {
        bool headerChecked = false;
        for (line_ = 0; line_ < lines_.size(); ++line_) {
            std::string_view s = TrimLeft(lines_[line_].text);
            if (s.find('\0') != std::string_view::npos) {
                Damaged();
                continue;
            }
            if (TrimRight(s).empty() || s.front() == ';') continue;
            if (!headerChecked) {
                headerChecked = true;
                std::string_view h = TrimRight(s);
                if (h == "REGEDIT4" || h == "Windows Registry Editor Version 5.00") continue;
                Damaged();  // no header: the rest is still read
            }
            if (s.front() == '[') {
                Section(s);
            } else if (s.front() == '"' || s.front() == '@') {
                Entry(s);
            } else {
                Damaged();
            }
        }
        return outcome_;
    }

private:
    struct Line {
        std::string_view text;
        bool terminated;
    };

    // A last line without its line end may have been cut off: it must be complete in
    // the strict sense (8 digits of a dword, 2 digits of every byte).
    bool Strict() const { return line_ + 1 == lines_.size() && !lines_[line_].terminated; }

    void Damaged() {
        if (outcome_.damagedEntries++ == 0) outcome_.firstDamagedLine = line_ + 1;
    }

    void Section(std::string_view s) {
        haveSection_ = true;
        current_ = nullptr;
        size_t close = s.rfind(']');
        if (close == std::string_view::npos || !TrimRight(s.substr(close + 1)).empty()) {
            Damaged();
            return;
        }
        std::string_view inner = s.substr(1, close - 1);
        bool remove = !inner.empty() && inner.front() == '-';
        if (remove) inner.remove_prefix(1);
        if (!StartsWithNoCase(inner, kRootName)) {
            Damaged();
            return;
        }
        std::string_view rest = inner.substr(kRootName.size());
        KeyPath path;
        if (!rest.empty()) {
            if (rest.front() != '\\' || !SplitKeyPath(rest.substr(1), path)) {
                Damaged();
                return;
            }
        }
        if (remove) {
            Change c{Change::DeleteKey, path, {}, REG_NONE, {}};
            Apply(root_, c);
            return;  // its lines (if any) go nowhere
        }
        current_ = CreateKeyPath(root_, path);
    }

    // A quoted text starting at s[pos] == '"'; on success pos is past the closing quote.
    static bool Quoted(std::string_view s, size_t& pos, std::string& out) {
        out.clear();
        for (size_t i = pos + 1; i < s.size(); ++i) {
            char c = s[i];
            if (c == '"') {
                pos = i + 1;
                return true;
            }
            if (c == '\\') {
                if (i + 1 >= s.size()) return false;
                char next = s[i + 1];
                if (next == '\\' || next == '"') {
                    out.push_back(next);
                    ++i;
                    continue;
                }
            }
            out.push_back(c);
        }
        return false;
    }

    void Entry(std::string_view s) {
        std::string name;
        size_t pos = 0;
        if (s.front() == '@') {
            pos = 1;
        } else if (!Quoted(s, pos, name)) {
            Damaged();
            return;
        }
        while (pos < s.size() && IsBlank(s[pos])) ++pos;
        if (pos >= s.size() || s[pos] != '=') {
            Damaged();
            return;
        }
        std::string_view data = TrimLeft(s.substr(pos + 1));
        uint32_t type = REG_NONE;
        std::string bytes;
        bool remove = false;
        bool ok = false;
        if (!data.empty() && data.front() == '"') {
            size_t p = 0;
            std::string text;
            ok = Quoted(data, p, text) && TrimRight(data.substr(p)).empty();
            type = REG_SZ;
            bytes = std::move(text);
        } else if (TrimRight(data) == "-") {
            remove = ok = true;
        } else if (StartsWithNoCase(data, "dword:")) {
            std::string_view digits = TrimRight(data.substr(6));
            ok = !digits.empty() && digits.size() <= 8 && (!Strict() || digits.size() == 8);
            uint32_t v = 0;
            for (char c : digits) {
                int d = HexDigit(c);
                if (d < 0) ok = false;
                v = (v << 4) | uint32_t(d < 0 ? 0 : d);
            }
            type = REG_DWORD;
            for (int i = 0; i < 4; ++i) bytes.push_back(char((v >> (8 * i)) & 0xFF));
        } else if (StartsWithNoCase(data, "hex")) {
            std::string_view rest = data.substr(3);
            type = REG_BINARY;
            ok = true;
            if (!rest.empty() && rest.front() == '(') {
                size_t closeParen = rest.find(')');
                std::string_view digits =
                    rest.substr(1, closeParen == std::string_view::npos ? 0 : closeParen - 1);
                ok = closeParen != std::string_view::npos && !digits.empty() &&
                     digits.size() <= 8;
                type = 0;
                for (char c : digits) {
                    int d = HexDigit(c);
                    if (d < 0) ok = false;
                    type = (type << 4) | uint32_t(d < 0 ? 0 : d);
                }
                rest = ok ? rest.substr(closeParen + 1) : std::string_view();
            }
            ok = ok && !rest.empty() && rest.front() == ':' && HexBytes(rest.substr(1), bytes);
        }
        if (!ok) {
            Damaged();
            return;
        }
        if (!current_) {
            if (!haveSection_) Damaged();  // a value before any key
            return;                        // else: under a key that was not read
        }
        if (remove) {
            EraseValue(*current_, name);
        } else {
            PutValue(*current_, name, type, NormalisedData(type, std::move(bytes)));
        }
    }

    // "01,02,\" continued on the next lines. Moves line_ over the continuation lines.
    bool HexBytes(std::string_view s, std::string& out) {
        bool afterComma = false;
        bool any = false;
        size_t p = 0;
        for (;;) {
            while (p < s.size() && IsBlank(s[p])) ++p;
            if (p >= s.size()) return !afterComma;  // "01,02," stops in the middle
            char c = s[p];
            if (c == '\\') {
                if (!TrimRight(s.substr(p + 1)).empty()) return false;
                if (line_ + 1 >= lines_.size()) return false;  // cut after the "\"
                ++line_;
                s = lines_[line_].text;
                if (s.find('\0') != std::string_view::npos) return false;
                p = 0;
                continue;
            }
            if (c == ',') {
                if (!any || afterComma) return false;
                afterComma = true;
                ++p;
                continue;
            }
            int hi = HexDigit(c);
            if (hi < 0 || (any && !afterComma)) return false;
            int lo = p + 1 < s.size() ? HexDigit(s[p + 1]) : -1;
            if (lo < 0 && Strict()) return false;
            int value = lo < 0 ? hi : hi * 16 + lo;
            p += lo < 0 ? 1 : 2;
            if (p < s.size() && HexDigit(s[p]) >= 0) return false;
            out.push_back(char(value));
            any = true;
            afterComma = false;
        }
    }

    Node& root_;
    std::vector<Line> lines_;
    size_t line_ = 0;
    Node* current_ = nullptr;
    bool haveSection_ = false;
    ParseOutcome outcome_;
};

std::string Escaped(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

void AppendHex(std::string& out, std::string line, std::string_view bytes) {
    static const char* const kDigits = "0123456789abcdef";
    bool first = true;
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        std::string token{kDigits[b >> 4], kDigits[b & 15]};
        if (i + 1 < bytes.size()) token.push_back(',');
        if (!first && line.size() + token.size() > 78) {
            out += line;
            out += "\\\n";
            line = "  ";
        }
        line += token;
        first = false;
    }
    out += line;
    out.push_back('\n');
}

void AppendValue(std::string& out, const Value& v) {
    std::string line = v.name.empty() ? std::string("@") : "\"" + Escaped(v.name) + "\"";
    line.push_back('=');
    if (v.type == REG_SZ) {
        std::string_view text(v.data);
        if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
        if (text.find_first_of("\r\n") == std::string_view::npos) {
            out += line + "\"" + Escaped(text) + "\"\n";
            return;
        }
        AppendHex(out, line + "hex(1):", v.data);  // line breaks cannot stand in quotes
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t x = 0;
        for (int i = 3; i >= 0; --i) x = (x << 8) | static_cast<unsigned char>(v.data[size_t(i)]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", x);
        out += line + buf + "\n";
        return;
    }
    if (v.type == REG_BINARY) {
        AppendHex(out, line + "hex:", v.data);
        return;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    AppendHex(out, line + buf, v.data);
}

void AppendKey(std::string& out, const Node& n, const std::string& path, bool isRoot) {
    if (!isRoot || !n.values.empty()) {
        out += "[" + path + "]\n";
        for (const Value& v : n.values) AppendValue(out, v);
        out.push_back('\n');
    }
    for (const auto& [name, sub] : n.subkeys) AppendKey(out, *sub, path + "\\" + name, false);
}

std::string HiveText(const Node& root) {
    std::string out = "REGEDIT4\n\n";
    AppendKey(out, root, std::string(kRootName), true);
    return out;
}

// ---------------------------------------------------------------------------------------
// Files

int32_t ErrorFromErrno(int e) {
    switch (e) {
    case EACCES: case EPERM: case EROFS: case EISDIR: case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case ENOSPC: case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOENT: case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    default:
        return ERROR_WRITE_FAULT;
    }
}

struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};

    static FileId Of(const struct stat& st) {
        FileId id;
        id.exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.size = st.st_size;
        id.mtime = st.st_mtim;
        id.ctime = st.st_ctim;
        return id;
    }
    static FileId OfPath(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? Of(st) : FileId{};
    }
    bool operator==(const FileId& o) const {
        if (exists != o.exists) return false;
        if (!exists) return true;
        return dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

std::string DirectoryOf(const std::string& path) {
    std::string dir = std::filesystem::path(path).parent_path().string();
    return dir.empty() ? std::string(".") : dir;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(size_t(n));
    }
    return true;
}

void SyncDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The exclusive lock every saver holds while it reads, merges and replaces the hive.
class SaveLock {
public:
    int32_t Acquire(const std::string& lockPath) {
        if (!CreateParentDirectories(lockPath)) return ERROR_PATH_NOT_FOUND;
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) return ErrorFromErrno(errno);
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) return ErrorFromErrno(errno);
        }
        return ERROR_SUCCESS;
    }
    ~SaveLock() {
        if (fd_ >= 0) ::close(fd_);
    }

private:
    int fd_ = -1;
};

std::string TimeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    return buf;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The hive of one file

class RegistryHive {
public:
    explicit RegistryHive(std::string path) : path_(std::move(path)) {}
    ~RegistryHive() {
        std::lock_guard lock(mutex);
        Flush();
    }

    std::mutex mutex;

    // Everything below runs with `mutex` held.
    const std::string& FilePath() const { return path_; }
    Node& Root() { return root_; }

    // Reads the file again when it changed since this process last read or wrote it.
    void Refresh() {
        if (loaded_ && FileId::OfPath(path_) == id_) return;
        Load();
        if (damageCopyNeeded_) {
            // keep the copy and write back what was read, so that it is said only once
            SaveLock lock;
            int32_t rc = lock.Acquire(LockPath());
            if (rc == ERROR_SUCCESS) rc = SaveLocked();
            NoteDamage(rc);
        } else if (unreadable_) {
            NoteDamage(ERROR_ACCESS_DENIED);
        }
    }

    // Saves the unsaved changes.
    int32_t Flush() {
        if (pending_.empty() && !damageCopyNeeded_) return ERROR_SUCCESS;
        SaveLock lock;
        int32_t rc = lock.Acquire(LockPath());
        if (rc == ERROR_SUCCESS) rc = SaveLocked();
        NoteDamage(rc);
        return rc;
    }

    // Run before the first change after a save: can the hive be written at all?
    int32_t CheckWritable() {
        if (!pending_.empty()) return ERROR_SUCCESS;
        if (unreadable_) return ERROR_ACCESS_DENIED;
        if (damageCopyNeeded_) {
            // the damaged file is not written over before its copy exists
            if (int32_t rc = Flush(); rc != ERROR_SUCCESS) return rc;
        }
        std::string target = TargetPath();
        if (!CreateParentDirectories(target)) return ERROR_PATH_NOT_FOUND;
        int fd = ::open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return ErrorFromErrno(errno);
        ::close(fd);
        std::string probe = target + ".probe-XXXXXX";
        fd = ::mkstemp(probe.data());
        if (fd < 0) return ErrorFromErrno(errno);
        ::close(fd);
        ::unlink(probe.c_str());
        return ERROR_SUCCESS;
    }

    void Record(Change change) {
        Apply(root_, change);
        pending_.push_back(std::move(change));
    }

    std::string TakeReport() { return std::exchange(report_, std::string()); }

private:
    std::string LockPath() const { return path_ + ".lock"; }

    // The file a save replaces: the hive, or what it links to when it is a symbolic link.
    std::string TargetPath() const {
        std::error_code ec;
        if (std::filesystem::is_symlink(path_, ec)) {
            auto target = std::filesystem::weakly_canonical(path_, ec);
            if (!ec) return target.string();
        }
        return path_;
    }

    // Reads and parses the file and replays the unsaved changes over it.
    void Load() {
        loaded_ = true;
        root_ = Node();
        damageCopyNeeded_ = false;
        damageToReport_ = false;
        unreadable_ = false;
        damagedText_.clear();
        id_ = FileId();
        int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT && errno != ENOTDIR) {
                unreadable_ = true;
                unreadableError_ = errno;
                id_ = FileId::OfPath(path_);
            }
        } else {
            std::string text;
            char buf[65536];
            bool failed = false;
            for (;;) {
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    failed = true;
                    unreadableError_ = errno;
                    break;
                }
                if (n == 0) break;
                text.append(buf, size_t(n));
            }
            struct stat st {};
            if (::fstat(fd, &st) == 0) id_ = FileId::Of(st);
            ::close(fd);
            if (failed) {
                unreadable_ = true;
            } else {
                ParseOutcome outcome = HiveParser(text, root_).Run();
                if (outcome.damagedEntries > 0) {
                    damageCopyNeeded_ = true;
                    damageToReport_ = true;
                    damagedLine_ = outcome.firstDamagedLine;
                    damagedText_ = std::move(text);
                }
            }
        }
        for (const Change& c : pending_) Apply(root_, c);
    }

    // With the save lock held: merges with what another program saved, keeps the copy of
    // a damaged file, and replaces the hive.
    int32_t SaveLocked() {
        if (!(FileId::OfPath(path_) == id_)) Load();
        if (unreadable_) return ERROR_ACCESS_DENIED;
        if (damageCopyNeeded_) {
            int32_t rc = KeepDamagedCopy();
            if (rc != ERROR_SUCCESS) return rc;
        }
        int32_t rc = Replace(HiveText(root_));
        if (rc == ERROR_SUCCESS) pending_.clear();
        return rc;
    }

    int32_t KeepDamagedCopy() {
        std::string base = TargetPath() + ".damaged-" + TimeStamp();
        std::string name = base;
        int fd = -1;
        for (int n = 2; n < 100; ++n) {
            fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd >= 0 || errno != EEXIST) break;
            name = base + "-" + std::to_string(n);
        }
        if (fd < 0) return ErrorFromErrno(errno);
        bool ok = WriteAll(fd, damagedText_) && ::fsync(fd) == 0;
        int e = errno;
        ::close(fd);
        if (!ok) {
            ::unlink(name.c_str());
            return ErrorFromErrno(e);
        }
        damageCopyNeeded_ = false;
        damagedText_.clear();
        damagedCopy_ = name;
        return ERROR_SUCCESS;
    }

    int32_t Replace(const std::string& text) {
        std::string target = TargetPath();
        if (!CreateParentDirectories(target)) return ERROR_PATH_NOT_FOUND;
        std::string temp = target + ".tmp-XXXXXX";
        int fd = ::mkstemp(temp.data());
        if (fd < 0) return ErrorFromErrno(errno);
        bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
        int e = errno;
        if (::close(fd) != 0 && ok) {
            ok = false;
            e = errno;
        }
        if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
            ok = false;
            e = errno;
        }
        if (!ok) {
            ::unlink(temp.c_str());
            return ErrorFromErrno(e);
        }
        SyncDirectory(DirectoryOf(target));
        id_ = FileId::OfPath(path_);
        return ERROR_SUCCESS;
    }

    // Says once what became of a damaged or unreadable file.
    void NoteDamage(int32_t saveResult) {
        if (unreadable_ && !unreadableReported_) {
            unreadableReported_ = true;
            report_ = "The settings file \"" + path_ + "\" cannot be read (" +
                      std::strerror(unreadableError_) +
                      "). The programs start with default settings and will not write "
                      "over it.";
            return;
        }
        if (!damageToReport_) return;
        damageToReport_ = false;
        std::string text = "The settings file \"" + path_ + "\" is damaged (line " +
                           std::to_string(damagedLine_) +
                           "). Everything that could still be read was loaded";
        if (!damageCopyNeeded_) {
            text += "; the damaged file was kept as \"" + damagedCopy_ + "\".";
        } else {
            text += ", but no copy of the damaged file could be kept (error " +
                    std::to_string(saveResult) + "), so settings are not saved over it.";
        }
        report_ = text;
    }

    std::string path_;
    bool loaded_ = false;
    FileId id_;
    Node root_;
    std::vector<Change> pending_;
    bool unreadable_ = false;
    bool unreadableReported_ = false;
    int unreadableError_ = 0;
    bool damageCopyNeeded_ = false;
    bool damageToReport_ = false;
    size_t damagedLine_ = 0;
    std::string damagedText_;
    std::string damagedCopy_;
    std::string report_;
};

// ---------------------------------------------------------------------------------------
// Handles and calls

struct RegistryAccess {
    static RegistryHive* Hive(const HKey& k) { return k.hive_.get(); }
    static const std::shared_ptr<RegistryHive>& HivePtr(const HKey& k) { return k.hive_; }
    static const KeyPath& Path(const HKey& k) { return k.path_; }
    static void MarkChanged(HKey& k) { k.changed_ = true; }
    static HKey Make(std::shared_ptr<RegistryHive> hive, KeyPath path, bool changed) {
        HKey k;
        k.hive_ = std::move(hive);
        k.path_ = std::move(path);
        k.changed_ = changed;
        return k;
    }
    static int32_t Close(HKey& k) {
        if (!k.hive_) return ERROR_INVALID_HANDLE;
        int32_t rc = ERROR_SUCCESS;
        if (k.changed_) rc = RegFlushKey(k);
        k.hive_.reset();
        k.path_.clear();
        k.changed_ = false;
        return rc;
    }
};

namespace {

// Holds the hive's lock for one call, brings the hive up to date first, and shows what the
// hive has to report once the lock is released.
class HiveCall {
public:
    explicit HiveCall(RegistryHive& hive) : hive_(hive), lock_(hive.mutex) { hive_.Refresh(); }
    ~HiveCall() {
        std::string report = hive_.TakeReport();
        lock_.unlock();
        if (!report.empty()) MessageBoxText(report);
    }
    HiveCall(const HiveCall&) = delete;
    HiveCall& operator=(const HiveCall&) = delete;

    RegistryHive& hive() { return hive_; }
    Node* Key(const HKey& k) { return FindKey(hive_.Root(), RegistryAccess::Path(k)); }

private:
    RegistryHive& hive_;
    std::unique_lock<std::mutex> lock_;
};

bool ValidValueName(std::string_view name) {
    return name.find_first_of("\r\n") == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

KeyPath Joined(const KeyPath& a, const KeyPath& b) {
    KeyPath out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

int32_t OpenOrCreate(const HKey& parent, std::string_view subKey, HKey& result, bool create) {
    if (!parent.IsOpen()) {
        result = HKey();
        return ERROR_INVALID_HANDLE;
    }
    KeyPath sub;
    if (!SplitKeyPath(subKey, sub)) {
        result = HKey();
        return ERROR_INVALID_PARAMETER;
    }
    KeyPath full = Joined(RegistryAccess::Path(parent), sub);
    int32_t rc = ERROR_SUCCESS;
    bool created = false;
    {
        HiveCall call(*RegistryAccess::Hive(parent));
        if (!call.Key(parent)) {
            rc = ERROR_KEY_DELETED;
        } else if (!FindKey(call.hive().Root(), full)) {
            if (!create) {
                rc = ERROR_FILE_NOT_FOUND;
            } else if ((rc = call.hive().CheckWritable()) == ERROR_SUCCESS) {
                call.hive().Record(Change{Change::CreateKey, full, {}, REG_NONE, {}});
                created = true;
            }
        }
    }
    // assigned outside the call: closing what `result` held may save
    result = rc == ERROR_SUCCESS
                 ? RegistryAccess::Make(RegistryAccess::HivePtr(parent), std::move(full), created)
                 : HKey();
    return rc;
}

int32_t DeleteKey(HKey& parent, std::string_view subKey, bool tree) {
    if (!parent.IsOpen()) return ERROR_INVALID_HANDLE;
    KeyPath sub;
    if (!SplitKeyPath(subKey, sub)) return ERROR_INVALID_PARAMETER;
    KeyPath full = Joined(RegistryAccess::Path(parent), sub);
    if (full.empty()) return ERROR_ACCESS_DENIED;  // HKEY_CURRENT_USER itself
    HiveCall call(*RegistryAccess::Hive(parent));
    Node* n = FindKey(call.hive().Root(), full);
    if (!n) return ERROR_FILE_NOT_FOUND;
    if (!tree && !n->subkeys.empty()) return ERROR_ACCESS_DENIED;
    if (int32_t rc = call.hive().CheckWritable(); rc != ERROR_SUCCESS) return rc;
    call.hive().Record(Change{Change::DeleteKey, full, {}, REG_NONE, {}});
    RegistryAccess::MarkChanged(parent);
    return ERROR_SUCCESS;
}

}  // namespace

HKey::HKey(HKey&& other) noexcept
    : hive_(std::move(other.hive_)), path_(std::move(other.path_)),
      changed_(std::exchange(other.changed_, false)) {}

HKey& HKey::operator=(HKey&& other) noexcept {
    if (this != &other) {
        RegistryAccess::Close(*this);
        hive_ = std::move(other.hive_);
        path_ = std::move(other.path_);
        changed_ = std::exchange(other.changed_, false);
    }
    return *this;
}

HKey::~HKey() { RegistryAccess::Close(*this); }

std::string HKey::Path() const {
    std::string out;
    for (const std::string& name : path_) {
        if (!out.empty()) out.push_back('\\');
        out += name;
    }
    return out;
}

HKey CurrentUserKey() {
    static std::mutex m;
    static std::shared_ptr<RegistryHive> hive;
    std::string path = RegistryFilePath();
    std::lock_guard lock(m);
    if (!hive || hive->FilePath() != path) hive = std::make_shared<RegistryHive>(path);
    return RegistryAccess::Make(hive, {}, false);
}

HKey OpenHiveFile(const std::string& filePath) {
    return RegistryAccess::Make(std::make_shared<RegistryHive>(filePath), {}, false);
}

int32_t RegCreateKey(const HKey& parent, std::string_view subKey, HKey& result) {
    return OpenOrCreate(parent, subKey, result, true);
}
int32_t RegCreateKey(std::string_view subKey, HKey& result) {
    return OpenOrCreate(CurrentUserKey(), subKey, result, true);
}
int32_t RegOpenKey(const HKey& parent, std::string_view subKey, HKey& result) {
    return OpenOrCreate(parent, subKey, result, false);
}
int32_t RegOpenKey(std::string_view subKey, HKey& result) {
    return OpenOrCreate(CurrentUserKey(), subKey, result, false);
}

int32_t RegCloseKey(HKey& key) { return RegistryAccess::Close(key); }

int32_t RegFlushKey(const HKey& key) {
    if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
    RegistryHive& hive = *RegistryAccess::Hive(key);
    std::unique_lock lock(hive.mutex);
    int32_t rc = hive.Flush();
    std::string report = hive.TakeReport();
    lock.unlock();
    if (!report.empty()) MessageBoxText(report);
    return rc;
}

int32_t RegQueryValueEx(const HKey& key, std::string_view name, uint32_t* type, void* data,
                        uint32_t* size) {
    if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
    if (data && !size) return ERROR_INVALID_PARAMETER;
    HiveCall call(*RegistryAccess::Hive(key));
    Node* n = call.Key(key);
    if (!n) return ERROR_KEY_DELETED;
    const Value* v = FindValue(*n, name);
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    auto needed = static_cast<uint32_t>(v->data.size());
    if (!data) {
        if (size) *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed) std::memcpy(data, v->data.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

int32_t RegQueryString(const HKey& key, std::string_view name, std::string& text,
                       size_t bufferSize) {
    if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
    HiveCall call(*RegistryAccess::Hive(key));
    Node* n = call.Key(key);
    if (!n) return ERROR_KEY_DELETED;
    const Value* v = FindValue(*n, name);
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (v->type != REG_SZ) return ERROR_UNSUPPORTED_TYPE;
    if (v->data.size() > bufferSize) return ERROR_MORE_DATA;  // the text and its zero
    text.assign(v->data, 0, v->data.size() - 1);
    return ERROR_SUCCESS;
}

int32_t RegQueryDword(const HKey& key, std::string_view name, uint32_t& value) {
    uint32_t type = REG_NONE;
    unsigned char buf[4];
    uint32_t size = sizeof buf;
    int32_t rc = RegQueryValueEx(key, name, &type, buf, &size);
    if (rc == ERROR_MORE_DATA) return ERROR_UNSUPPORTED_TYPE;
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_DWORD || size != 4) return ERROR_UNSUPPORTED_TYPE;
    value = uint32_t(buf[0]) | uint32_t(buf[1]) << 8 | uint32_t(buf[2]) << 16 |
            uint32_t(buf[3]) << 24;
    return ERROR_SUCCESS;
}

int32_t RegQueryBinary(const HKey& key, std::string_view name, std::string& bytes,
                       uint32_t* type) {
    if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
    HiveCall call(*RegistryAccess::Hive(key));
    Node* n = call.Key(key);
    if (!n) return ERROR_KEY_DELETED;
    const Value* v = FindValue(*n, name);
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    bytes = v->data;
    return ERROR_SUCCESS;
}

int32_t RegSetValueEx(HKey& key, std::string_view name, uint32_t type, const void* data,
                      uint32_t size) {
    if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
    if (!ValidValueName(name) || (size && !data)) return ERROR_INVALID_PARAMETER;
    std::string bytes(static_cast<const char*>(data), size);
    HiveCall call(*RegistryAccess::Hive(key));
    if (!call.Key(key)) return ERROR_KEY_DELETED;
    if (int32_t rc = call.hive().CheckWritable(); rc != ERROR_SUCCESS) return rc;
    call.hive().Record(Change{Change::SetValue, RegistryAccess::Path(key), std::string(name),
                              type, NormalisedData(type, std::move(bytes))});
    RegistryAccess::MarkChanged(key);
    return ERROR_SUCCESS;
}

int32_t RegSetString(HKey& key, std::string_view name, std::string_view text) {
    return RegSetValueEx(key, name, REG_SZ, text.data(), static_cast<uint32_t>(text.size()));
}

int32_t RegSetDword(HKey& key, std::string_view name, uint32_t value) {
    unsigned char buf[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                            static_cast<unsigned char>(value >> 16),
                            static_cast<unsigned char>(value >> 24)};
    return RegSetValueEx(key, name, REG_DWORD, buf, sizeof buf);
}

int32_t RegSetBinary(HKey& key, std::string_view name, std::string_view bytes) {
    return RegSetValueEx(key, name, REG_BINARY, bytes.data(),
                         static_cast<uint32_t>(bytes.size()));
}

int32_t RegDeleteValue(HKey& key, std::string_view name) {
    if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
    HiveCall call(*RegistryAccess::Hive(key));
    Node* n = call.Key(key);
    if (!n) return ERROR_KEY_DELETED;
    if (!FindValue(*n, name)) return ERROR_FILE_NOT_FOUND;
    if (int32_t rc = call.hive().CheckWritable(); rc != ERROR_SUCCESS) return rc;
    call.hive().Record(
        Change{Change::DeleteValue, RegistryAccess::Path(key), std::string(name), REG_NONE, {}});
    RegistryAccess::MarkChanged(key);
    return ERROR_SUCCESS;
}

int32_t RegEnumKey(const HKey& key, uint32_t index, std::string& name) {
    if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
    HiveCall call(*RegistryAccess::Hive(key));
    Node* n = call.Key(key);
    if (!n) return ERROR_KEY_DELETED;
    if (index >= n->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    name = std::next(n->subkeys.begin(), index)->first;
    return ERROR_SUCCESS;
}

int32_t RegEnumValue(const HKey& key, uint32_t index, std::string& name, uint32_t* type) {
    if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
    HiveCall call(*RegistryAccess::Hive(key));
    Node* n = call.Key(key);
    if (!n) return ERROR_KEY_DELETED;
    if (index >= n->values.size()) return ERROR_NO_MORE_ITEMS;
    name = n->values[index].name;
    if (type) *type = n->values[index].type;
    return ERROR_SUCCESS;
}

int32_t RegQueryInfoKey(const HKey& key, RegKeyInfo& info) {
    if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
    HiveCall call(*RegistryAccess::Hive(key));
    Node* n = call.Key(key);
    if (!n) return ERROR_KEY_DELETED;
    info = RegKeyInfo();
    info.SubKeys = static_cast<uint32_t>(n->subkeys.size());
    for (const auto& entry : n->subkeys)
        info.MaxSubKeyLength = std::max(info.MaxSubKeyLength, uint32_t(entry.first.size()));
    info.Values = static_cast<uint32_t>(n->values.size());
    for (const Value& v : n->values) {
        info.MaxValueNameLength = std::max(info.MaxValueNameLength, uint32_t(v.name.size()));
        info.MaxValueLength = std::max(info.MaxValueLength, uint32_t(v.data.size()));
    }
    return ERROR_SUCCESS;
}

int32_t RegDeleteKey(HKey& parent, std::string_view subKey) {
    return DeleteKey(parent, subKey, false);
}

int32_t RegDeleteTree(HKey& parent, std::string_view subKey) {
    return DeleteKey(parent, subKey, true);
}

int32_t RegDeleteKey(std::string_view subKey) {
    HKey root = CurrentUserKey();
    int32_t rc = DeleteKey(root, subKey, false);
    int32_t saved = RegCloseKey(root);
    return rc != ERROR_SUCCESS ? rc : saved;
}

}  // namespace kv
