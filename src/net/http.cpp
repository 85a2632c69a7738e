#include "net/http.h"

#include "jobs/cipher.h"
#include "net/socket.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kv {
namespace {

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Position just after the first occurrence of `name` (any case); npos when absent.
std::size_t FindField(std::string_view block, std::string_view name) {
    if (name.empty() || block.size() < name.size()) return std::string_view::npos;
    for (std::size_t i = 0; i + name.size() <= block.size(); ++i) {
        std::size_t k = 0;
        while (k < name.size() && Upper(block[i + k]) == Upper(name[k])) ++k;
        if (k == name.size()) return i + name.size();
    }
    return std::string_view::npos;
}

std::size_t SkipBlanks(std::string_view s, std::size_t pos) {
    while (pos < s.size() && IsBlank(s[pos])) ++pos;
    return pos;
}

// A decimal number (optional sign) at `pos`; advances `pos`. None without digits.
std::optional<int64_t> ReadNumber(std::string_view s, std::size_t& pos) {
    bool negative = false;
    if (pos < s.size() && (s[pos] == '-' || s[pos] == '+')) {
        negative = s[pos] == '-';
        ++pos;
    }
    if (pos >= s.size() || !std::isdigit(static_cast<unsigned char>(s[pos]))) return {};
    int64_t value = 0;
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
        int digit = s[pos] - '0';
        if (value > (INT64_MAX - digit) / 10) return {};  // does not fit: not a size
        value = value * 10 + digit;
        ++pos;
    }
    return negative ? -value : value;
}

std::optional<int64_t> NumberAfter(std::string_view block, std::string_view name) {
    std::size_t pos = FindField(block, name);
    if (pos == std::string_view::npos) return {};
    pos = SkipBlanks(block, pos);
    return ReadNumber(block, pos);
}

std::string WordAt(std::string_view s, std::size_t pos) {
    std::size_t end = pos;
    while (end < s.size() && !std::isspace(static_cast<unsigned char>(s[end]))) ++end;
    return std::string(s.substr(pos, end - pos));
}

void AppendCut(std::string& out, std::string_view text, std::size_t limit) {
    out.append(text.substr(0, limit));
}

constexpr std::array<const char*, 37> kStatusTexts = {
    "HTTP status code 100 : Continue",
    "HTTP status code 101 : Switching Protocols",
    "HTTP status code 200 : OK",
    "HTTP status code 201 : Created",
    "HTTP status code 202 : Accepted",
    "HTTP status code 203 : Non-Authoritative Information",
    "HTTP status code 204 : No Content",
    "HTTP status code 205 : Reset Content",
    "HTTP status code 206 : Partial Content",
    "HTTP status code 300 : Multiple Choices",
    "HTTP status code 301 : Moved Permanently",
    "HTTP status code 302 : Moved Temporarily",
    "HTTP status code 303 : See Other",
    "HTTP status code 304 : Not Modified",
    "HTTP status code 305 : Use Proxy",
    "HTTP status code 400 : Bad Request",
    "HTTP status code 401 : Unauthorized",
    "HTTP status code 402 : Payment Required",
    "HTTP status code 403 : Forbidden",
    "HTTP status code 404 : Not Found",
    "HTTP status code 405 : Method Not Allowed",
    "HTTP status code 406 : Not Acceptable",
    "HTTP status code 407 : Proxy Authentication Required",
    "HTTP status code 408 : Request Timeout",
    "HTTP status code 409 : Conflict",
    "HTTP status code 410 : Gone",
    "HTTP status code 411 : Length Required",
    "HTTP status code 412 : Precondition Failed",
    "HTTP status code 413 : Request Entity Too Large",
    "HTTP status code 414 : Request-URI Too Long",
    "HTTP status code 415 : Unsupported Media Type",
    "HTTP status code 500 : Internal Server Error",
    "HTTP status code 501 : Not Implemented",
    "HTTP status code 502 : Bad Gateway",
    "HTTP status code 503 : Service Unavailable",
    "HTTP status code 504 : Gateway Timeout",
    "HTTP status code 505 : Version Not Supported",
};

}  // namespace

std::string BasicCredentials(std::string_view user, std::string_view password) {
    std::string pair;
    pair.append(user).append(":").append(password);
    if (pair.size() > MAX_LOGIN_PAIR) pair.resize(MAX_LOGIN_PAIR);
    return EncodeBase64(reinterpret_cast<const std::uint8_t*>(pair.data()), pair.size());
}

std::string ComposeHttpRequest(const HttpRequestFields& f, int64_t offset) {
    std::string r;
    r.reserve(512);
    r.append("GET ").append(f.Target).append(" HTTP/1.1\r\nHost: ").append(f.Host);
    if (f.PortWritten) r.append(":").append(std::to_string(f.Port));
    r.append("\r\nAccept: */*\r\n");
    if (!f.Referer.empty()) {
        std::string line = "Referer: " + f.Referer;
        // the whole line, CR LF included, stays within the limit
        AppendCut(r, line, MAX_REFERER_LINE - 2);
        r.append("\r\n");
    }
    r.append("User-Agent: ").append(f.UserAgent).append("\r\n");
    if (f.NoCache) r.append("Pragma: no-cache\r\nCache-Control: no-cache\r\n");
    if (f.ProxyAuthorization) {
        r.append("Proxy-Authorization: Basic ")
            .append(BasicCredentials(f.ProxyUser, f.ProxyPassword))
            .append("\r\n");
    }
    if (f.Authorization) {
        r.append("Authorization: Basic ").append(BasicCredentials(f.User, f.Password)).append("\r\n");
    }
    r.append("Connection: close\r\n");
    if (offset > 0) r.append("Range: bytes=").append(std::to_string(offset)).append("-\r\n");
    if (!f.Cookies.empty()) {
        std::string line = "Cookie: " + f.Cookies;
        AppendCut(r, line, MAX_COOKIE_LINE - 2);
        r.append("\r\n");
    }
    r.append("\r\n");
    if (r.size() > MAX_HTTP_REQUEST) r.resize(MAX_HTTP_REQUEST);
    return r;
}

int ReadHttpReplyHeader(int socket, int timeoutSeconds, bool proxyMode, std::string& block,
                        unsigned& failureId) {
    block.clear();
    failureId = 0;
    std::optional<std::string> boundary;
    bool boundaryKnown = false;
    for (;;) {
        char c = 0;
        int64_t got = Receive(socket, &c, 1, 0, timeoutSeconds, false, false);
        if (got == -2) return -2;
        if (got <= 0) {
            block.clear();
            return 0;
        }
        if (c == '\n' && !block.empty() && block.back() == '\r') {
            block.back() = '\n';
        } else {
            block.push_back(c);
        }
        if (block.size() == 4) {
            if (Upper(block[0]) != 'H' || Upper(block[1]) != 'T' || Upper(block[2]) != 'T' ||
                Upper(block[3]) != 'P') {
                failureId = proxyMode ? 3024 : 3016;
                return -1;
            }
        }
        if (block.size() >= 2 && block.back() == '\n' && block[block.size() - 2] == '\n') {
            if (!boundaryKnown) {
                boundary = HttpMultipartBoundary(block);
                boundaryKnown = true;
            }
            if (!boundary) return 1;
            std::size_t at = block.find(*boundary);
            // the part headers after the boundary line end in an empty line as well
            if (at != std::string::npos && block.size() > at + boundary->size() + 2) return 1;
        }
    }
}

int HttpStatusCode(std::string_view block) {
    std::size_t space = block.find(' ');
    if (space == std::string_view::npos) return -1;
    std::size_t pos = space + 1;
    auto n = ReadNumber(block, pos);
    if (!n || *n < 0 || *n > 999) return -1;
    return static_cast<int>(*n);
}

int64_t HttpTotalSize(std::string_view block) {
    int status = HttpStatusCode(block);
    std::optional<int64_t> total;
    if (status == 200) {
        total = NumberAfter(block, "CONTENT-LENGTH:");
    } else if (status == 206) {
        std::size_t pos = FindField(block, "CONTENT-RANGE:");
        if (pos != std::string_view::npos) {
            std::size_t slash = block.find('/', pos);
            std::size_t eol = block.find('\n', pos);
            if (slash != std::string_view::npos && slash < eol) {
                ++slash;
                total = ReadNumber(block, slash);
            }
        }
    }
    if (!total || *total <= 0) return -1;
    return *total;
}

bool HttpContentRangeMatches(std::string_view block, int64_t offset, int64_t size) {
    std::size_t pos = FindField(block, "CONTENT-RANGE:");
    if (pos == std::string_view::npos) return false;
    pos = SkipBlanks(block, pos);
    while (pos < block.size() && !std::isspace(static_cast<unsigned char>(block[pos]))) ++pos;
    pos = SkipBlanks(block, pos);
    auto first = ReadNumber(block, pos);
    if (!first || pos >= block.size() || block[pos] != '-') return false;
    ++pos;
    auto last = ReadNumber(block, pos);
    if (!last || pos >= block.size() || block[pos] != '/') return false;
    ++pos;
    auto total = ReadNumber(block, pos);
    if (!total) return false;
    return *first == offset && *last == size - 1 && *total == size;
}

bool HttpAcceptsRanges(std::string_view block) {
    std::size_t pos = FindField(block, "ACCEPT-RANGES:");
    if (pos == std::string_view::npos) return false;
    pos = SkipBlanks(block, pos);
    return block.substr(pos, 5) == "bytes";
}

std::optional<std::string> HttpLocationText(std::string_view block) {
    std::size_t pos = FindField(block, "LOCATION:");
    if (pos == std::string_view::npos) return {};
    pos = SkipBlanks(block, pos);
    return WordAt(block, pos);
}

std::optional<SystemTime> HttpLastModified(std::string_view block) {
    std::size_t pos = FindField(block, "Last-Modified:");
    if (pos == std::string_view::npos) return {};
    pos = SkipBlanks(block, pos);
    std::size_t eol = block.find('\n', pos);
    return ParseHttpDate(block.substr(pos, eol == std::string_view::npos ? eol : eol - pos));
}

std::optional<std::string> HttpMultipartBoundary(std::string_view block) {
    std::size_t pos = FindField(block, "CONTENT-TYPE:");
    if (pos == std::string_view::npos) return {};
    pos = SkipBlanks(block, pos);
    auto startsWith = [&](std::string_view prefix) {
        if (block.size() - pos < prefix.size()) return false;
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            if (Upper(block[pos + i]) != Upper(prefix[i])) return false;
        }
        return true;
    };
    if (!startsWith("multipart/x-byteranges") && !startsWith("multipart/byteranges")) return {};
    std::size_t b = FindField(block.substr(pos), "BOUNDARY=");
    if (b == std::string_view::npos) return {};
    std::string word = WordAt(block, pos + b);
    if (word.empty()) return {};
    return "--" + word;
}

std::optional<int> HttpServerConnectionLimit(std::string_view block) {
    std::size_t pos = FindField(block, "Kestova:");
    if (pos == std::string_view::npos) return {};
    std::size_t eol = block.find('\n', pos);
    std::string_view value = block.substr(pos, eol == std::string_view::npos ? eol : eol - pos);
    std::string item;
    std::optional<int> limit;
    auto takeItem = [&] {
        static constexpr std::string_view kName = "MAXCONNECTION=";
        if (!limit && item.size() > kName.size() && item.compare(0, kName.size(), kName) == 0) {
            std::size_t p = kName.size();
            auto n = ReadNumber(item, p);
            if (n && p == item.size() && *n >= 1 && *n <= 4) limit = static_cast<int>(*n);
        }
        item.clear();
    };
    for (char c : value) {
        if (c == ';') {
            takeItem();
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            item.push_back(Upper(c));
        }
    }
    takeItem();
    return limit;
}

const char* HttpStatusText(int code) {
    if (code < 100 || code > 999) return nullptr;
    char number[8];
    std::snprintf(number, sizeof number, " %d ", code);
    for (const char* text : kStatusTexts) {
        if (std::strstr(text, number)) return text;
    }
    return nullptr;
}

}  // namespace kv
