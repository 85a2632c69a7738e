#include "servers/httpserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <cstdlib>
#include <sstream>

namespace kv::test {
namespace {

std::string Replace(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string Unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out.push_back(s[i]);
            continue;
        }
        char c = s[++i];
        switch (c) {
            case 'r': out.push_back('\r'); break;
            case 'n': out.push_back('\n'); break;
            case 't': out.push_back('\t'); break;
            case 'x':
                if (i + 2 < s.size()) {
                    out.push_back(static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)));
                    i += 2;
                }
                break;
            default: out.push_back(c);
        }
    }
    return out;
}

int64_t Number(const std::string& s) { return std::stoll(s); }

}  // namespace

std::string HttpCase::Client(const std::string& key, const std::string& fallback) const {
    auto it = client.find(key);
    return it == client.end() ? fallback : it->second;
}

std::vector<std::string> HttpCase::ClientAll(const std::string& key) const {
    std::vector<std::string> values;
    auto [first, last] = client.equal_range(key);
    for (auto it = first; it != last; ++it) values.push_back(it->second);
    return values;
}

bool ParseHttpCase(std::string_view text, HttpCase& out, std::string& error) {
    out = HttpCase{};
    out.connections.emplace_back();
    std::istringstream in{std::string(text)};
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::size_t space = line.find(' ');
        std::string directive = line.substr(0, space);
        std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
        HttpConnectionScript& script = out.connections.back();
        try {
            if (directive == "connection") {
                out.connections.emplace_back();
            } else if (directive == "expect") {
                script.expectedLines.push_back(argument);
            } else if (directive == "reply" || directive == "raw" || directive == "body" ||
                       directive == "line-end") {
                script.steps.push_back({directive, argument});
            } else if (directive == "delay-ms") {
                script.delayMs = Number(argument);
            } else if (directive == "reset-after") {
                script.resetAfter = Number(argument);
            } else if (directive == "rate") {
                script.rate = Number(argument);
            } else if (directive == "no-reply") {
                script.noReply = true;
            } else if (directive == "file") {
                std::istringstream words(argument);
                std::string size, option;
                words >> size >> option;
                script.fileSize = Number(size);
                script.fileRanges = option != "no-ranges";
            } else if (directive == "name") {
                out.name = argument;
            } else if (directive.rfind("client.", 0) == 0) {
                out.client.emplace(directive.substr(7), argument);
            } else {
                error = "line " + std::to_string(number) + ": unknown directive " + directive;
                return false;
            }
        } catch (const std::exception&) {
            error = "line " + std::to_string(number) + ": bad number";
            return false;
        }
    }
    return true;
}

bool LoadHttpCase(const std::string& path, HttpCase& out, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "can't open " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return ParseHttpCase(text.str(), out, error);
}

HttpTestServer::HttpTestServer(HttpCase httpCase) : case_(std::move(httpCase)) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return;
    }
    listener_ = fd;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

HttpTestServer::~HttpTestServer() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    for (std::thread& w : workers_) w.join();
    if (listener_ >= 0) ::close(listener_);
}

std::vector<std::string> HttpTestServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> HttpTestServer::Mismatches() const {
    std::lock_guard lock(mutex_);
    return mismatches_;
}

int HttpTestServer::ConnectionCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(requests_.size());
}

std::string HttpTestServer::ReplyBytes(const HttpConnectionScript& script) const {
    const std::string port = std::to_string(port_);
    std::string out;
    std::string lineEnd = "\r\n";
    for (const HttpScriptLine& step : script.steps) {
        std::string argument = Replace(step.argument, "%PORT%", port);
        if (step.directive == "reply") {
            out += argument + lineEnd;
        } else if (step.directive == "raw") {
            out += Unescape(argument);
        } else if (step.directive == "line-end") {
            lineEnd = argument == "lf" ? "\n" : "\r\n";
        } else if (step.directive == "body") {
            std::istringstream words(argument);
            int64_t from = 0, count = 0;
            words >> from >> count;
            for (int64_t i = 0; i < count; ++i) out.push_back(PatternByte(from + i));
        }
    }
    return out;
}

std::string HttpTestServer::FileReplyBytes(const HttpConnectionScript& script,
                                           const std::string& request) const {
    const int64_t size = script.fileSize;
    int64_t from = -1;
    if (script.fileRanges) {
        static constexpr std::string_view kRange = "\r\nRange: bytes=";
        std::size_t at = request.find(kRange);
        if (at != std::string::npos) from = std::atoll(request.c_str() + at + kRange.size());
    }
    std::string out;
    if (from >= 0 && from < size) {
        out += "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(size - from) +
               "\r\nContent-Range: bytes " + std::to_string(from) + "-" + std::to_string(size - 1) +
               "/" + std::to_string(size) + "\r\n";
    } else {
        from = 0;
        out += "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n";
    }
    if (script.fileRanges) out += "Accept-Ranges: bytes\r\n";
    const std::string port = std::to_string(port_);
    for (const HttpScriptLine& step : script.steps) {
        if (step.directive == "reply") out += Replace(step.argument, "%PORT%", port) + "\r\n";
    }
    out += "\r\n";
    for (int64_t i = from; i < size; ++i) out.push_back(PatternByte(i));
    return out;
}

void HttpTestServer::Run() {
    std::size_t served = 0;
    while (!Stopping()) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        const auto& scripts = case_.connections;
        const HttpConnectionScript& script = scripts[std::min(served, scripts.size() - 1)];
        ++served;
        workers_.emplace_back([this, connection, &script] { Serve(connection, script); });
    }
}

void HttpTestServer::Serve(int connection, const HttpConnectionScript& script) {
    using Clock = std::chrono::steady_clock;
    // The request: up to the empty line, for at most five seconds.
    std::string request;
    const auto readUntil = Clock::now() + std::chrono::seconds(5);
    while (request.find("\r\n\r\n") == std::string::npos && !Stopping() && Clock::now() < readUntil) {
        pollfd p{connection, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        char buffer[2048];
        ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (!script.expectedLines.empty()) {
            std::string expected;
            for (const std::string& l : script.expectedLines) {
                expected += Replace(l, "%PORT%", std::to_string(port_)) + "\r\n";
            }
            expected += "\r\n";
            if (expected != request) {
                mismatches_.push_back("expected:\n" + expected + "received:\n" + request);
            }
        }
    }
    const auto delayUntil = Clock::now() + std::chrono::milliseconds(script.delayMs);
    while (!Stopping() && Clock::now() < delayUntil) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bool reset = false;
    if (!script.noReply) {
        const std::string reply =
            script.fileSize >= 0 ? FileReplyBytes(script, request) : ReplyBytes(script);
        std::size_t limit = reply.size();
        if (script.resetAfter >= 0 && static_cast<std::size_t>(script.resetAfter) < limit) {
            limit = static_cast<std::size_t>(script.resetAfter);
            reset = true;
        }
        // A rate sends a tenth of the per-second amount every 100 ms.
        const std::size_t chunk = script.rate > 0 ? static_cast<std::size_t>(std::max<int64_t>(1, script.rate / 10)) : limit;
        std::size_t sent = 0;
        auto next = Clock::now();
        while (sent < limit && !Stopping()) {
            if (script.rate > 0) {
                std::this_thread::sleep_until(next);
                next += std::chrono::milliseconds(100);
            }
            std::size_t n = std::min(chunk, limit - sent);
            ssize_t put = ::send(connection, reply.data() + sent, n, MSG_NOSIGNAL);
            if (put <= 0) break;
            sent += static_cast<std::size_t>(put);
        }
        if (reset) {
            // let the bytes already sent reach the peer before the reset overtakes them
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (reset) {
        linger l{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    } else {
        ::shutdown(connection, SHUT_WR);
        // wait briefly for the client to close, so that our close does not reset it
        const auto until = Clock::now() + std::chrono::milliseconds(500);
        while (!Stopping() && Clock::now() < until) {
            pollfd p{connection, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            char buffer[512];
            if (::recv(connection, buffer, sizeof buffer, 0) <= 0) break;
        }
    }
    ::close(connection);
}

}  // namespace kv::test
