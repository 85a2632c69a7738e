#pragma once
// A scriptable HTTP server for tests: listens on 127.0.0.1 at a port the system picks,
// serves one connection at a time on its own thread, and answers connection n with the
// n-th script of its case (the last script again for any further connection).
//
// A case is a text file, one directive a line ("#" starts a comment line):
//   connection             starts the next connection's script (the first is implicit)
//   expect <line>          a line of the request expected, without its CR LF; the
//                          request must be exactly these lines, each with CR LF, and
//                          an empty line
//   reply <line>           a reply line; CR LF is appended (LF alone after "line-end lf")
//   raw <text>             bytes as written, with \r \n \t \\ and \xHH escapes
//   body <from> <count>    `count` bytes of the pattern file from offset `from`
//   line-end lf|crlf       how later reply lines end
//   delay-ms <n>           wait before replying
//   reset-after <n>        reset the connection once n bytes of the reply are out
//   rate <bytes/second>    send no faster than this
//   no-reply               read the request, then close without a word
//   file <size> [no-ranges]  answer as a file server would: the pattern file of `size`
//                          bytes, 206 with Content-Range from the request's
//                          "Range: bytes=N-" (200 with the whole file without one, or
//                          always with no-ranges); "reply" lines of the script become
//                          extra header lines
//   client.<key> <value>   left for the test that runs the case (results, job fields)
// "%PORT%" anywhere is replaced by the server's port. Connections are served at the same
// time, each on its own thread, in the order they were accepted.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kv::test {

// Byte `offset` of the pattern file the "body" directive sends.
inline char PatternByte(int64_t offset) {
    return static_cast<char>('a' + (offset * 7 + offset / 26) % 26);
}

struct HttpScriptLine {
    std::string directive;
    std::string argument;
};

struct HttpConnectionScript {
    std::vector<std::string> expectedLines;
    std::vector<HttpScriptLine> steps;  // reply, raw, body, line-end in order
    int64_t delayMs = 0;
    int64_t resetAfter = -1;  // -1: no reset
    int64_t rate = 0;         // 0: no limit
    bool noReply = false;
    int64_t fileSize = -1;  // "file": -1 = not a file server
    bool fileRanges = true;
};

struct HttpCase {
    std::string name;
    std::vector<HttpConnectionScript> connections;
    std::multimap<std::string, std::string> client;  // client.<key> values in order

    // The first value of client.<key>, or `fallback`.
    std::string Client(const std::string& key, const std::string& fallback = "") const;
    std::vector<std::string> ClientAll(const std::string& key) const;
};

// Reads a case; false with `error` naming the line when a directive is unknown.
bool ParseHttpCase(std::string_view text, HttpCase& out, std::string& error);
bool LoadHttpCase(const std::string& path, HttpCase& out, std::string& error);

class HttpTestServer {
public:
    explicit HttpTestServer(HttpCase httpCase);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    bool Listening() const { return listener_ >= 0; }
    uint16_t Port() const { return port_; }

    // The exact bytes of each request received so far, in order of connections.
    std::vector<std::string> Requests() const;
    // One text per request that differed from its expected lines.
    std::vector<std::string> Mismatches() const;
    int ConnectionCount() const;

    // The reply bytes of `script` with the port filled in (without delays or resets).
    std::string ReplyBytes(const HttpConnectionScript& script) const;
    // The reply of a "file" script to `request`.
    std::string FileReplyBytes(const HttpConnectionScript& script, const std::string& request) const;

private:
    void Run();
    void Serve(int connection, const HttpConnectionScript& script);
    bool Stopping() const { return stop_.load(); }

    HttpCase case_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::string> mismatches_;
    std::thread thread_;
    std::vector<std::thread> workers_;  // one per connection, joined at the end
};

}  // namespace kv::test
