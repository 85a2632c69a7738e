#include "net/url.h"

#include "platform/paths.h"
#include "platform/text.h"

namespace kv {
namespace {

constexpr std::string_view kSchemeSeparator = "://";

bool IsAsciiLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(unsigned char c) { return c >= '0' && c <= '9'; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

bool IsSchemeChar(unsigned char c) {
    return IsAsciiLetter(c) || IsAsciiDigit(c) || c == '+' || c == '-' || c == '.';
}

// The length of the scheme when `text` starts with a valid scheme prefix (a non-empty
// scheme followed by "://"), else npos.
size_t SchemePrefixLength(std::string_view text) {
    size_t sep = text.find(kSchemeSeparator);
    if (sep == std::string_view::npos || sep == 0) return std::string_view::npos;
    for (size_t i = 0; i < sep; ++i)
        if (!IsSchemeChar(static_cast<unsigned char>(text[i]))) return std::string_view::npos;
    return sep;
}

// Letters, digits, punctuation and the space: printable ASCII.
bool IsHostChar(unsigned char c) { return c >= 32 && c < 127; }

bool IsControlChar(unsigned char c) { return c < 32 || c == 127; }

bool IsFileNameForbidden(unsigned char c) {
    switch (c) {
        case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
            return true;
        default:
            return c < 32;
    }
}

}  // namespace

uint16_t DefaultPortOfScheme(std::string_view scheme) {
    if (EqualNoCase(scheme, "http")) return 80;
    if (EqualNoCase(scheme, "ftp")) return 21;
    return 0;
}

std::optional<UrlParts> ParseUrl(std::string_view url, const UrlParseOptions& options,
                                 UrlLogin* login) {
    if (login) *login = UrlLogin{};
    if (url.empty()) return std::nullopt;

    UrlParts parts;
    std::string_view rest;
    size_t schemeLength = SchemePrefixLength(url);
    if (schemeLength != std::string_view::npos) {
        parts.Scheme = std::string(url.substr(0, schemeLength));
        rest = url.substr(schemeLength + kSchemeSeparator.size());
        if (rest.empty()) return std::nullopt;
    } else if (options.allowDefaultScheme) {
        parts.Scheme = "http";
        rest = url;
    } else {
        return std::nullopt;
    }

    size_t slash = rest.find('/');
    if (slash == std::string_view::npos || slash == 0) return std::nullopt;
    if (slash + 1 == rest.size() && !options.allowNoFileName) return std::nullopt;

    std::string_view hostPart = rest.substr(0, slash);
    for (char c : hostPart)
        if (!IsHostChar(static_cast<unsigned char>(c))) return std::nullopt;

    std::string_view path = rest.substr(slash);
    // The path goes into request lines and commands as it is: no line breaks inside.
    for (char c : path)
        if (IsControlChar(static_cast<unsigned char>(c))) return std::nullopt;

    parts.Path = std::string(path);
    parts.FileName = std::string(path.substr(path.rfind('/') + 1));
    if (parts.FileName.empty() && !options.allowNoFileName) return std::nullopt;

    // Port: the last ":" after the login, when only digits follow it.
    std::string host(hostPart);
    size_t at = host.find('@');
    size_t portZone = at == std::string::npos ? 0 : at + 1;
    size_t colon = host.rfind(':');
    if (colon != std::string::npos && colon >= portZone && colon + 1 < host.size()) {
        bool allDigits = true;
        uint32_t value = 0;
        for (size_t i = colon + 1; i < host.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(host[i]);
            if (!IsAsciiDigit(c)) {
                allDigits = false;
                break;
            }
            value = value * 10 + (c - '0');
            if (value > 65535) return std::nullopt;  // does not fit a port
        }
        if (allDigits) {
            parts.Port = static_cast<uint16_t>(value);
            host.resize(colon);
        }
    }
    if (parts.Port == 0 && options.applyDefaultPort) {
        parts.Port = DefaultPortOfScheme(parts.Scheme);
        if (parts.Port != 0) parts.PortDefaulted = 1;
    }

    // Login: "user:password@host", both non-empty.
    UrlLogin written;
    at = host.find('@');
    colon = host.find(':');
    if (at != std::string::npos || colon != std::string::npos) {
        if (at == std::string::npos || colon == std::string::npos || colon > at)
            return std::nullopt;
        written.User = host.substr(0, colon);
        written.Password = host.substr(colon + 1, at - colon - 1);
        host.erase(0, at + 1);
        if (written.User.empty() || written.Password.empty()) return std::nullopt;
        if (host.find_first_of(":@") != std::string::npos) return std::nullopt;
    }
    if (host.empty()) return std::nullopt;  // "http://:80/f", "ftp://u:p@/f"
    parts.Host = std::move(host);
    if (login) *login = std::move(written);
    return parts;
}

bool IsValidUrl(std::string_view url, bool allowDefaultScheme, bool allowNoFileName) {
    UrlParseOptions options;
    options.allowDefaultScheme = allowDefaultScheme;
    options.allowNoFileName = allowNoFileName;
    options.applyDefaultPort = true;
    return ParseUrl(url, options).has_value();
}

std::optional<std::string> ResolveUrl(std::string_view base, std::string_view reference) {
    if (reference.empty()) return std::nullopt;
    if (IsValidUrl(reference)) return std::string(reference);
    // A reference with its own scheme is absolute: never glue it onto the base.
    if (SchemePrefixLength(reference) != std::string_view::npos) return std::nullopt;

    // A base may name a directory ("http://h/dir/").
    if (!IsValidUrl(base, false, true)) return std::nullopt;
    size_t schemeLength = SchemePrefixLength(base);
    size_t rootEnd = base.find('/', schemeLength + kSchemeSeparator.size());
    std::string_view root = base.substr(0, rootEnd + 1);
    // The directory of the base is that of its path, before any query or fragment.
    size_t tail = base.find_first_of("?#", rootEnd);
    std::string_view beforeTail = base.substr(0, tail);
    std::string_view dir = beforeTail.substr(0, beforeTail.rfind('/') + 1);

    std::string result;
    if (reference.starts_with("//")) {
        // A network-path reference keeps only the scheme of the base.
        result = std::string(base.substr(0, schemeLength + 1)) + std::string(reference);
    } else {
        std::string_view ref = reference;
        for (;;) {
            if (ref.starts_with("/")) {
                result = std::string(root) + std::string(ref.substr(1));
                break;
            }
            if (ref.starts_with("./")) {
                ref.remove_prefix(2);
                continue;
            }
            if (ref.starts_with("../")) {
                if (dir.size() <= root.size()) return std::nullopt;  // above the root
                dir = dir.substr(0, dir.rfind('/', dir.size() - 2) + 1);
                ref.remove_prefix(3);
                continue;
            }
            result = std::string(dir) + std::string(ref);
            break;
        }
    }
    if (!IsValidUrl(result)) return std::nullopt;
    return result;
}

std::optional<std::string> UrlFileName(std::string_view url) {
    size_t slash = url.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == url.size()) return std::nullopt;
    return std::string(url.substr(slash + 1));
}

std::optional<std::string> UrlExtension(std::string_view url) {
    size_t dot = url.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == url.size()) return std::nullopt;
    size_t slash = url.rfind('/');
    if (slash == std::string_view::npos || slash > dot) return std::nullopt;
    if (url.find('?') != std::string_view::npos) return std::nullopt;
    return std::string(url.substr(dot + 1));
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = HexValue(text[i + 1]);
            int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string CleanFileName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name)
        if (!IsFileNameForbidden(static_cast<unsigned char>(c))) out.push_back(c);
    // "." and ".." would stand for the target directory or its parent.
    if (!out.empty() && out.find_first_not_of('.') == std::string::npos)
        out.assign(out.size(), '_');
    return out;
}

std::string CleanPath(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == kPathSeparator || c == ':' || !IsFileNameForbidden(u)) out.push_back(c);
    }
    return out;
}

std::string PathFileName(std::string_view path) {
    size_t sep = path.rfind(kPathSeparator);
    return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

std::string PathDirectory(std::string_view path) {
    constexpr size_t kMaxDirectory = 259;
    size_t sep = path.rfind(kPathSeparator);
    if (sep == std::string_view::npos) return std::string();
    std::string_view dir = path.substr(0, sep + 1);
    std::string out = LimitText(dir, kMaxDirectory);
    if (out.empty() || out.back() != kPathSeparator) out.push_back(kPathSeparator);
    return out;
}

std::optional<std::string> PathExtension(std::string_view path) {
    std::string name = PathFileName(path);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size()) return std::nullopt;
    return name.substr(dot + 1);
}

bool MatchMask(std::string_view name, std::string_view mask) {
    size_t m = 0;
    size_t n = 0;
    while (m < mask.size()) {
        char c = mask[m];
        if (c == '*') {
            while (m < mask.size() && mask[m] == '*') ++m;
            if (m == mask.size()) return true;  // takes the rest
            if (mask[m] == '?') continue;       // takes nothing
            // Up to the last occurrence of the next mask character; no backtracking.
            char next = LowerAscii(mask[m]);
            size_t found = std::string_view::npos;
            for (size_t i = n; i < name.size(); ++i)
                if (LowerAscii(name[i]) == next) found = i;
            if (found == std::string_view::npos) return false;
            n = found;
            continue;
        }
        if (n >= name.size()) return false;
        if (c != '?' && LowerAscii(c) != LowerAscii(name[n])) return false;
        ++m;
        ++n;
    }
    return n == name.size();
}

bool MatchSuffixList(std::string_view name, std::string_view list) {
    while (!list.empty()) {
        size_t blank = list.find(' ');
        std::string_view mask = list.substr(0, blank);
        if (!mask.empty() && MatchMask(name, mask)) return true;
        if (blank == std::string_view::npos) break;
        list.remove_prefix(blank + 1);
    }
    return false;
}

}  // namespace kv
