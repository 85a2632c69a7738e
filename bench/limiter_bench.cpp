// How closely the bandwidth limiter holds a speed limit, against curl and aria2 measured
// in the same run over the same loopback server.
//
//   limiter_bench [--seconds N] [--quick]
//
// For each limit a fresh loopback server (127.0.0.1, a free port) streams bytes as fast as
// its client reads. Our client connects through the socket layer and receives through the
// limiter for N seconds while a "main window" thread handles MSG_BANDWIDTH_REQUEST and
// ticks the limiter once a second from a 1000 ms window timer, as the program does. The
// peers (when installed) fetch from the same server with their own rate limit.
#include "engine/messages.h"
#include "net/socket.h"
#include "platform/msg.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kv {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- the loopback server: answers any request with a 200 and an endless body

class StreamServer {
public:
    bool Start() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ < 0) return false;
        int one = 1;
        (void)::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        addr_.sin_family = AF_INET;
        addr_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr_.sin_port = 0;
        socklen_t len = sizeof addr_;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr_), &len) != 0) {
            ::close(listener_);
            listener_ = -1;
            return false;
        }
        acceptor_ = std::thread([this] { AcceptLoop(); });
        return true;
    }

    ~StreamServer() { Stop(); }

    void Stop() {
        if (listener_ < 0) return;
        stopping_.store(true);
        ::shutdown(listener_, SHUT_RDWR);  // wakes the blocked accept
        if (acceptor_.joinable()) acceptor_.join();
        {
            std::lock_guard lock(mutex_);
            for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);  // wakes blocked sends
        }
        for (auto& t : streams_) t.join();
        streams_.clear();
        for (int fd : clients_) ::close(fd);
        clients_.clear();
        ::close(listener_);
        listener_ = -1;
    }

    const sockaddr_in& Address() const { return addr_; }
    int Port() const { return ntohs(addr_.sin_port); }

private:
    void AcceptLoop() {
        while (!stopping_.load()) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            std::lock_guard lock(mutex_);
            clients_.push_back(fd);
            streams_.emplace_back([this, fd] { Stream(fd); });
        }
    }

    // Reads the request head (up to the blank line), then streams until the peer goes.
    void Stream(int fd) {
        std::string head;
        char in[1024];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            ssize_t got = ::recv(fd, in, sizeof in, 0);
            if (got <= 0) return;
            head.append(in, static_cast<std::size_t>(got));
        }
        const std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
            "Content-Length: 1000000000000\r\nConnection: close\r\n\r\n";
        if (!SendAll(fd, answer.data(), answer.size())) return;
        std::vector<char> body(65536, 'k');
        while (!stopping_.load() && SendAll(fd, body.data(), body.size())) {
        }
    }

    static bool SendAll(int fd, const char* p, std::size_t n) {
        while (n > 0) {
            ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) return false;
            p += sent;
            n -= static_cast<std::size_t>(sent);
        }
        return true;
    }

    int listener_ = -1;
    sockaddr_in addr_{};
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> clients_;
    std::vector<std::thread> streams_;
};

// ---- the "main window": handles bandwidth requests and ticks the limiter each second

inline constexpr uint32_t kQuitThread = WM_USER + 77;  // thread message: end the loop
inline constexpr uintptr_t kTickTimer = 1;
inline constexpr uintptr_t kPaceTimer = 2;

class MainWindowThread {
public:
    explicit MainWindowThread(int64_t limit) : limit_(limit) {}

    void Start() {
        std::atomic<bool> ready{false};
        thread_ = StartThread(threadId_, [this, &ready] {
            HWND w = CreateMessageWindow(
                "KV_MainWin",
                {{MSG_BANDWIDTH_REQUEST,
                  [this](WPARAM bytes, LPARAM event) {
                      requests_.fetch_add(1);
                      return HandleBandwidthRequest(bytes, event);
                  }},
                 {WM_TIMER, [this](WPARAM id, LPARAM) -> LRESULT {
                      if (id == kTickTimer) {
                          ticks_.fetch_add(1);
                          Sample();
                          BandwidthTick(1, limit_, limit_, 0, -1);
                      } else if (id == kPaceTimer) {
                          BandwidthPace();
                      }
                      return 0;
                  }}});
            // The limit is set when the window starts, then renewed by its timer.
            BandwidthTick(1, limit_, limit_, 0, -1);
            SetTimer(w, kTickTimer, 1000);
            SetTimer(w, kPaceTimer, 125);
            window_.store(w);
            ready.store(true);
            RunMessageLoop([](const Message& m) {
                if (m.message == kQuitThread) PostQuitMessage(0);
            });
            KillTimer(w, kTickTimer);
            KillTimer(w, kPaceTimer);
            window_.store(nullptr);
            DestroyWindow(w);
        });
        while (!ready.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void Stop() {
        if (!thread_.joinable()) return;
        PostThreadMessageRetry(threadId_, kQuitThread, 0, 0);
        thread_.join();
    }

    ~MainWindowThread() { Stop(); }

    HWND Window() const { return window_.load(); }

    // The client's running byte count, read at each tick just before the new allowance.
    std::atomic<int64_t> received{-1};  // -1 until the client's window opens
    struct TickSample {
        Clock::time_point at;
        int64_t bytes;
    };
    std::vector<TickSample> Samples() {
        std::lock_guard lock(samplesMutex_);
        return samples_;
    }
    int64_t Requests() const { return requests_.load(); }
    int64_t Ticks() const { return ticks_.load(); }

private:
    void Sample() {
        int64_t b = received.load();
        if (b < 0) return;
        std::lock_guard lock(samplesMutex_);
        samples_.push_back({Clock::now(), b});
    }

    std::mutex samplesMutex_;
    std::vector<TickSample> samples_;
    int64_t limit_;
    ThreadId threadId_ = 0;
    std::thread thread_;
    std::atomic<HWND> window_{nullptr};
    std::atomic<int64_t> requests_{0};
    std::atomic<int64_t> ticks_{0};
};

std::atomic<HWND> gMainWindow{nullptr};

struct OurResult {
    bool ok = false;
    int64_t bytes = 0;
    double seconds = 0;
    int64_t requests = 0;
    int64_t ticks = 0;
    int64_t largestGrant = 0;
    double firstTick = -1;     // seconds into the window of the first tick inside it
    double betweenTicks = -1;  // bytes per second from the first to the last tick inside
};

// Our client: connect through the socket layer, ask for the body, then receive through
// the limiter for `seconds`. Every byte received after the connect counts (the answer's
// head is about 110 bytes).
OurResult RunOurs(int64_t limit, double seconds) {
    OurResult r;
    StreamServer server;
    if (!server.Start()) return r;
    MainWindowThread main(limit);
    main.Start();
    gMainWindow.store(main.Window());

    ThreadId clientId = 0;
    std::thread client = StartThread(clientId, [&] {
        int s = OpenSocket();
        if (s < 0) return;
        if (Connect(s, reinterpret_cast<const sockaddr*>(&server.Address()),
                    sizeof(sockaddr_in), 10) != 1) {
            HardClose(s);
            return;
        }
        const std::string get = "GET /bench HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (Send(s, get.data(), static_cast<int64_t>(get.size()), 0, "GET /bench") < 0) {
            HardClose(s);
            return;
        }
        std::vector<char> buffer(4 << 20);  // never the limiting factor
        const int64_t requestsBefore = main.Requests();
        const auto start = Clock::now();
        main.received.store(0);
        const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(seconds));
        int64_t total = 0;
        int64_t largest = 0;
        bool failed = false;
        while (Clock::now() < end) {
            int64_t got = Receive(s, buffer.data(), static_cast<int64_t>(buffer.size()), 0, 10,
                                  true, true);
            if (got <= 0) {
                failed = true;
                break;
            }
            largest = std::max(largest, got);
            // Only what arrived inside the window counts (the last grant may land after it).
            if (Clock::now() <= end) {
                total += got;
                main.received.store(total);
            }
        }
        main.received.store(-1);
        auto samples = main.Samples();
        while (!samples.empty() && samples.back().at > end) samples.pop_back();
        if (!samples.empty()) {
            r.firstTick = std::chrono::duration<double>(samples.front().at - start).count();
        }
        if (samples.size() >= 2) {
            double span =
                std::chrono::duration<double>(samples.back().at - samples.front().at).count();
            r.betweenTicks =
                static_cast<double>(samples.back().bytes - samples.front().bytes) / span;
        }
        r.seconds = std::min(SecondsSince(start), seconds);
        r.requests = main.Requests() - requestsBefore;
        r.bytes = total;
        r.largestGrant = largest;
        r.ok = !failed;
        HardClose(s);
    });
    client.join();
    r.ticks = main.Ticks();
    // Release any waiter and end the window before the server goes.
    main.Stop();
    gMainWindow.store(nullptr);
    BandwidthTick(0, 0, 0, 0, -1);
    server.Stop();
    return r;
}

// ---- the peers

bool Installed(const char* program) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::string p = path;
    std::size_t from = 0;
    while (from <= p.size()) {
        std::size_t to = p.find(':', from);
        if (to == std::string::npos) to = p.size();
        std::string candidate = p.substr(from, to - from) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return true;
        from = to + 1;
    }
    return false;
}

// Runs `argv` with stdout into `out` (nullptr: /dev/null), stderr silenced; stops it
// with SIGTERM after `killAfter` seconds when it is still running.
bool RunProgram(const std::vector<std::string>& argv, std::string* out, double killAfter) {
    int pipeFd[2] = {-1, -1};
    if (out && ::pipe2(pipeFd, O_CLOEXEC) != 0) return false;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(out ? pipeFd[1] : null, 1);
        ::dup2(null, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (out) ::close(pipeFd[1]);
    std::thread reader;
    if (out) {
        reader = std::thread([&] {
            char buf[256];
            ssize_t n;
            while ((n = ::read(pipeFd[0], buf, sizeof buf)) > 0) {
                out->append(buf, static_cast<std::size_t>(n));
            }
        });
    }
    const auto start = Clock::now();
    int status = 0;
    bool killed = false;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (!killed && SecondsSince(start) > killAfter) {
            ::kill(pid, SIGTERM);
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (reader.joinable()) reader.join();
    if (out) ::close(pipeFd[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) != 127;
}

struct PeerResult {
    bool measured = false;
    int64_t bytes = 0;
};

std::string Url(const StreamServer& server) {
    return "http://127.0.0.1:" + std::to_string(server.Port()) + "/bench";
}

// curl stops itself after `seconds` (--max-time) and reports what it downloaded.
PeerResult RunCurl(int64_t limit, double seconds) {
    PeerResult r;
    if (!Installed("curl")) return r;
    StreamServer server;
    if (!server.Start()) return r;
    std::string out;
    char maxTime[32];
    std::snprintf(maxTime, sizeof maxTime, "%.3f", seconds);
    RunProgram({"curl", "-s", "--noproxy", "*", "--limit-rate", std::to_string(limit),
                "--max-time", maxTime, "-o", "/dev/null", "-w", "%{size_download}",
                Url(server)},
               &out, seconds + 10);
    server.Stop();
    char* endp = nullptr;
    long long n = std::strtoll(out.c_str(), &endp, 10);
    if (endp != out.c_str()) {
        r.measured = true;
        r.bytes = n;
    }
    return r;
}

// aria2c stops itself after `seconds` (--stop); its bytes are the size of the file it
// wrote (no preallocation, one connection).
PeerResult RunAria2(int64_t limit, double seconds) {
    PeerResult r;
    if (!Installed("aria2c")) return r;
    char dirTemplate[] = "/tmp/kv_limiter_bench_XXXXXX";
    if (!::mkdtemp(dirTemplate)) return r;
    const std::string dir = dirTemplate;
    const std::string file = dir + "/out.bin";
    StreamServer server;
    if (server.Start()) {
        const int stopAfter = std::max(1, static_cast<int>(seconds + 0.5));
        RunProgram({"aria2c", "-q", "--no-conf", "--all-proxy=", "--file-allocation=none",
                    "--split=1", "--max-connection-per-server=1", "--continue=false",
                    "--allow-overwrite=true", "--auto-file-renaming=false",
                    "--max-download-limit=" + std::to_string(limit),
                    "--stop=" + std::to_string(stopAfter), "-d", dir, "-o", "out.bin",
                    Url(server)},
                   nullptr, seconds + 15);
        server.Stop();
        struct stat st{};
        if (::stat(file.c_str(), &st) == 0) {
            r.measured = true;
            r.bytes = static_cast<int64_t>(st.st_size);
        }
    }
    ::unlink(file.c_str());
    ::unlink((file + ".aria2").c_str());
    ::rmdir(dir.c_str());
    return r;
}

void PrintPeer(const char* name, const PeerResult& p, int64_t limit, double seconds) {
    if (!p.measured) {
        std::printf("  %-8s not measured\n", name);
        return;
    }
    std::printf("  %-8s bytes %12lld  ratio %.4f\n", name, static_cast<long long>(p.bytes),
                static_cast<double>(p.bytes) / (static_cast<double>(limit) * seconds));
}

int Main(int argc, char** argv) {
    double seconds = 30;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") {
            seconds = 5;
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: limiter_bench [--seconds N] [--quick]\n");
            return 2;
        }
    }
    if (!(seconds >= 1 && seconds <= 3600)) {
        std::fprintf(stderr, "limiter_bench: --seconds must be 1 to 3600\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    SetNetHooks(NetHooks{{}, {}, {}, [] { return gMainWindow.load(); }});

    std::printf("limiter_bench: %.0f s per run, loopback server on 127.0.0.1\n", seconds);
    bool allWithin = true;
    for (int64_t limit : {int64_t{200000}, int64_t{20000000}}) {
        std::printf("limit %lld bytes/s\n", static_cast<long long>(limit));
        std::fflush(stdout);
        OurResult ours = RunOurs(limit, seconds);
        if (!ours.ok || ours.seconds <= 0) {
            std::printf("  ours     FAILED (connect or receive error after %lld bytes)\n",
                        static_cast<long long>(ours.bytes));
            allWithin = false;
        } else {
            double ratio =
                static_cast<double>(ours.bytes) / (static_cast<double>(limit) * ours.seconds);
            bool within = ratio >= 0.97 && ratio <= 1.03;
            allWithin = allWithin && within;
            std::printf("  ours     bytes %12lld  ratio %.4f  %s 3 %%  (%.2f s, %lld ticks)\n",
                        static_cast<long long>(ours.bytes), ratio,
                        within ? "within" : "NOT within", ours.seconds,
                        static_cast<long long>(ours.ticks));
            std::printf("           UI thread: %lld bandwidth requests, %.1f per second; "
                        "largest grant %lld bytes\n",
                        static_cast<long long>(ours.requests),
                        static_cast<double>(ours.requests) / ours.seconds,
                        static_cast<long long>(ours.largestGrant));
            if (ours.betweenTicks >= 0) {
                std::printf("           first tick %.3f s into the window; from the first to "
                            "the last tick inside it: ratio %.4f\n",
                            ours.firstTick, ours.betweenTicks / static_cast<double>(limit));
            }
        }
        std::fflush(stdout);
        PrintPeer("curl", RunCurl(limit, seconds), limit, seconds);
        std::fflush(stdout);
        PrintPeer("aria2c", RunAria2(limit, seconds), limit, seconds);
        std::fflush(stdout);
    }
    SetNetHooks({});
    std::printf("ours within 3 %% at every limit: %s\n", allWithin ? "yes" : "no");
    return 0;
}

}  // namespace
}  // namespace kv

int main(int argc, char** argv) { return kv::Main(argc, argv); }
