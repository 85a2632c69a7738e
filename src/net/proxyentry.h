#pragma once
// The copy of a proxy entry that a running job carries (the proxy list itself belongs to
// the preferences). Only the fields the connection code reads.
#include <cstdint>
#include <string>

namespace kv {

// Proxy kinds (`ProxyEntry::Type`).
inline constexpr int32_t PROXY_DIRECT = 0;
inline constexpr int32_t PROXY_HTTP_GET = 1;
inline constexpr int32_t PROXY_HTTP_CONNECT = 2;
inline constexpr int32_t PROXY_FTP_SITE = 3;
inline constexpr int32_t PROXY_FTP_OPEN = 4;
inline constexpr int32_t PROXY_FTP_USER_AT_COLON = 5;
inline constexpr int32_t PROXY_FTP_USER_AT_BLANK = 6;
inline constexpr int32_t PROXY_SOCKS4 = 7;
inline constexpr int32_t PROXY_SOCKS5 = 8;

struct ProxyEntry {
    int32_t Type = PROXY_DIRECT;
    std::string Address;
    uint16_t Port = 0;
    uint32_t NoCache = 0;        // 1 = ask caches not to answer from their copy
    uint32_t Authorization = 0;  // 1 = send the proxy's own User/Password
    std::string User;
    std::string Password;
};

}  // namespace kv
