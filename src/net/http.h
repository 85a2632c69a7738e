#pragma once
// The HTTP/1.1 subset the download manager speaks: the request text, the reading of a
// reply header block, and the fields taken from it. The operations built on them (probe,
// block request, error counting) live with the job record in engine/httpjob.h.
//
// Header blocks hold the status line and header lines each ended by one line feed (a
// carriage return before it is dropped) and the empty line that ends them. Field names
// are found anywhere in the block without regard to case; the first occurrence wins.
#include "net/dates.h"
#include "platform/systime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

// Limits of the request text (without a terminator).
inline constexpr std::size_t MAX_HTTP_REQUEST = 1599;
inline constexpr std::size_t MAX_REFERER_LINE = 299;  // "Referer: ...\r\n" in all
inline constexpr std::size_t MAX_COOKIE_LINE = 299;   // "Cookie: ...\r\n" in all
inline constexpr std::size_t MAX_LOGIN_PAIR = 101;    // "user:password"

// What goes into one request.
struct HttpRequestFields {
    std::string Target;     // the full URL through a kind-1 proxy, else the URL's path
    std::string Host;       // the origin host, also through a proxy
    uint16_t Port = 0;
    bool PortWritten = false;  // the URL named its port: the Host line carries it
    std::string Referer;       // empty: no Referer line
    std::string UserAgent;     // the line is sent even when empty
    bool NoCache = false;
    bool ProxyAuthorization = false;
    std::string ProxyUser;
    std::string ProxyPassword;
    bool Authorization = false;
    std::string User;
    std::string Password;
    std::string Cookies;  // empty: no Cookie line
};

// The GET request from byte `offset` (a Range line when above 0), cut to
// MAX_HTTP_REQUEST characters.
std::string ComposeHttpRequest(const HttpRequestFields& fields, int64_t offset);

// "Basic " credentials: Base64 of "user:password", the pair cut to MAX_LOGIN_PAIR.
std::string BasicCredentials(std::string_view user, std::string_view password);

// Reads one reply header block from `socket`, one byte at a time (so every body byte is
// left for the caller), unlimited, each byte within `timeoutSeconds`. 1 with `block` /
// 0 (time-out or receive error) / -1 / -2. On -1 `failureId` is the message to log:
// 3016 "Can't download from HTTP/0.9 server" (3024 "Bad proxy reply" in proxy mode), or
// 0 when the receive itself failed. A multipart byte-range reply is read on until its
// boundary has come (the first part's boundary line and headers are consumed as well).
int ReadHttpReplyHeader(int socket, int timeoutSeconds, bool proxyMode, std::string& block,
                        unsigned& failureId);

// The number after the first blank of the block; -1 when there is none.
int HttpStatusCode(std::string_view block);

// Total size: Content-Length for 200, the number after the "/" of Content-Range for 206;
// -1 for other statuses, a missing field or a value of 0 or less.
int64_t HttpTotalSize(std::string_view block);

// Content-Range "unit first-last/total" with first = offset, last = size - 1, total = size.
bool HttpContentRangeMatches(std::string_view block, int64_t offset, int64_t size);

// Accept-Ranges followed by "bytes" (exactly, lower case).
bool HttpAcceptsRanges(std::string_view block);

// The first blank-free word after "LOCATION:"; none when there is no such field.
std::optional<std::string> HttpLocationText(std::string_view block);

// The text after "Last-Modified:" read as a server date (ParseHttpDate); none when absent
// or unreadable.
std::optional<SystemTime> HttpLastModified(std::string_view block);

// "--" and the boundary of a multipart byte-range reply; none for any other reply.
std::optional<std::string> HttpMultipartBoundary(std::string_view block);

// The "Kestova:" header's "MaxConnection=n" item when 1 <= n <= 4.
std::optional<int> HttpServerConnectionLimit(std::string_view block);

// The status table's text for `code` ("HTTP status code 404 : Not Found"); nullptr for
// a code the table does not list.
const char* HttpStatusText(int code);

}  // namespace kv
