// The socket layer over real loopback connections, and the bandwidth limiter.
#include "net/socket.h"

#include "engine/joblog.h"
#include "engine/jobrecord.h"
#include "engine/messages.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A listening socket on 127.0.0.1 with a free port.
struct Listener {
    int fd = -1;
    sockaddr_in addr{};
    explicit Listener(int backlog = 8) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    }
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
    const sockaddr* Addr() const { return reinterpret_cast<const sockaddr*>(&addr); }
};

// Every test logs into a real log window on the test thread, with the hooks the
// program installs at start-up.
class Sockets : public ::testing::Test {
protected:
    void SetUp() override {
        EngineWindows().logWindow.store(log_.Handle());
        mainWindow_ = CreateMessageWindow(
            "KV_MainWin", {{MSG_BANDWIDTH_REQUEST, [](WPARAM w, LPARAM l) {
                                return HandleBandwidthRequest(w, l);
                            }}});
        EngineWindows().mainWindow.store(mainWindow_);
        SetNetHooks(NetHooks{
            [](unsigned id, uint32_t type) { LogMessage(id, type); },
            [](unsigned id, uint32_t type, int64_t n) { LogMessageFormatted(id, type, {n}); },
            [](std::string_view text, uint32_t type) { LogText(text, type); },
            [] { return EngineWindows().mainWindow.load(); },
        });
        ASSERT_TRUE(log_.Create(&job_, 1));
        SetLogContext(&job_, 0);
        BandwidthTick(0, 0, 0, 0, -1);  // no limit, nobody waiting
        DrainQueue();
    }
    void TearDown() override {
        BandwidthTick(0, 0, 0, 0, -1);
        ClearLogContext();
        SetNetHooks({});
        EngineWindows().mainWindow.store(nullptr);
        EngineWindows().logWindow.store(nullptr);
        DestroyWindow(mainWindow_);
        DrainQueue();
    }
    static void DrainQueue() {
        Message m;
        while (PeekMessage(m, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    // The log entries of ant page 0, as (type, text).
    std::vector<std::pair<uint32_t, std::string>> Entries() const {
        std::vector<std::pair<uint32_t, std::string>> out;
        if (const JobLog* l = log_.Find(const_cast<JobRecord*>(&job_))) {
            for (const auto& e : l->Pages[0]) out.emplace_back(e.Type, e.Text);
        }
        return out;
    }
    bool Logged(uint32_t type, const std::string& text) const {
        for (const auto& [t, s] : Entries()) {
            if (t == type && s == text) return true;
        }
        return false;
    }
    // Connects a client of the layer to `l` and accepts it through the layer.
    void Pair(const Listener& l, int& client, int& server) {
        client = OpenSocket();
        ASSERT_GE(client, 0);
        ASSERT_EQ(Connect(client, l.Addr(), sizeof l.addr, 10), 1);
        ASSERT_EQ(Accept(l.fd, 10, server), 1);
    }

    JobRecord job_;
    LogWindow log_;
    HWND mainWindow_ = nullptr;
};

TEST_F(Sockets, ConnectAcceptSendAndReceiveKeepTheOpenSocketList) {
    Listener l;
    const int before = OpenSocketCount();
    int client = -1, server = -1;
    Pair(l, client, server);
    EXPECT_EQ(OpenSocketCount(), before + 2);

    // Without a log text the bytes themselves are logged as a request entry.
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    EXPECT_EQ(Send(client, request.data(), static_cast<int64_t>(request.size()), 0, nullptr),
              static_cast<int64_t>(request.size()));
    EXPECT_TRUE(Logged(LOG_REQUEST, "GET / HTTP/1.1"));
    EXPECT_TRUE(Logged(LOG_REQUEST, "Host: x"));
    EXPECT_EQ(Send(client, "secret", 6, 0, "USER hidden"), 6);
    EXPECT_TRUE(Logged(LOG_REQUEST, "USER hidden"));
    EXPECT_FALSE(Logged(LOG_REQUEST, "secret"));

    std::string got(request.size() + 6, '\0');
    ASSERT_EQ(ReceiveExactly(server, got.data(), static_cast<int64_t>(got.size()), 0, 10, false),
              1);
    EXPECT_EQ(got, request + "secret");

    // Large data in several pieces: receive exactly reassembles it.
    std::vector<char> big(300000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    std::thread sender([&] {
        EXPECT_EQ(Send(server, big.data(), static_cast<int64_t>(big.size()), 0, "data"),
                  static_cast<int64_t>(big.size()));
    });
    std::vector<char> in(big.size());
    EXPECT_EQ(ReceiveExactly(client, in.data(), static_cast<int64_t>(in.size()), 0, 10, false), 1);
    sender.join();
    EXPECT_EQ(in, big);
    EXPECT_EQ(ReceiveExactly(client, in.data(), 0, 0, 10, false), 1);  // nothing wanted

    HardClose(client);
    HardClose(server);
    EXPECT_EQ(client, -1);
    EXPECT_EQ(OpenSocketCount(), before);
}

TEST_F(Sockets, RefusedConnectionFailsAndAnUnansweredAcceptTimesOut) {
    Listener l;
    sockaddr_in closed = l.addr;
    ::close(l.fd);  // nothing listens on that port any more
    l.fd = -1;
    int s = OpenSocket();
    EXPECT_EQ(Connect(s, reinterpret_cast<sockaddr*>(&closed), sizeof closed, 5), -1);
    HardClose(s);

    Listener quiet;
    int accepted = 7;
    auto start = Clock::now();
    EXPECT_EQ(Accept(quiet.fd, 1, accepted), 0);
    EXPECT_EQ(accepted, -1);
    EXPECT_GE(Clock::now() - start, 900ms);
}

// A thread message ends every wait with -2 and is still queued afterwards.
TEST_F(Sockets, AThreadMessageInterruptsEveryWaitAndStaysQueued) {
    struct Case {
        const char* name;
        bool postBefore;  // queued before the call (the lookup of a name is quick)
        std::function<int64_t()> wait;
    };
    Listener peer;
    int client = -1, server = -1;
    Pair(peer, client, server);

    // A listener whose backlog is full: the next connect stays pending.
    Listener full(0);
    int filler = OpenSocket();
    ASSERT_EQ(Connect(filler, full.Addr(), sizeof full.addr, 10), 1);
    std::this_thread::sleep_for(50ms);
    Listener idle;

    const std::vector<Case> cases = {
        {"resolve", true,
         [] {
             in_addr a{};
             return int64_t{Resolve("localhost", false, a)};
         }},
        {"connect", false,
         [&] {
             int s = OpenSocket();
             int r = Connect(s, full.Addr(), sizeof full.addr, 60);
             HardClose(s);
             return int64_t{r};
         }},
        {"accept", false,
         [&] {
             int a = -1;
             return int64_t{Accept(idle.fd, 60, a)};
         }},
        {"receive", false,
         [&] {
             char buf[16];
             return Receive(client, buf, sizeof buf, 0, 60, false, true);
         }},
        {"retry wait", false, [] { return int64_t{WaitForRetry(60)}; }},
    };
    const ThreadId me = GetCurrentThreadId();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DrainQueue();
        std::thread poster;
        if (c.postBefore) {
            ASSERT_TRUE(PostThreadMessage(me, MSG_STOP, 3, 4));
        } else {
            poster = std::thread([me] {
                std::this_thread::sleep_for(200ms);
                PostThreadMessageRetry(me, MSG_STOP, 3, 4);
            });
        }
        auto start = Clock::now();
        EXPECT_EQ(c.wait(), -2);
        EXPECT_LT(Clock::now() - start, 30s);
        if (poster.joinable()) poster.join();
        Message m;
        ASSERT_TRUE(PeekMessage(m, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(m.hwnd, nullptr);
        EXPECT_EQ(m.message, MSG_STOP);
        EXPECT_EQ(m.wParam, 3u);
        EXPECT_EQ(m.lParam, 4);
    }
    EXPECT_FALSE(Logged(LOG_FAIL, "Error occurs when receiving data"));
    HardClose(filler);
    HardClose(client);
    HardClose(server);
}

TEST_F(Sockets, ASilentPeerTimesOutAndIsLogged) {
    Listener l;
    int client = -1, server = -1;
    Pair(l, client, server);
    char buf[64];
    auto start = Clock::now();
    EXPECT_EQ(Receive(client, buf, sizeof buf, 0, 1, false, false), 0);
    EXPECT_GE(Clock::now() - start, 900ms);
    EXPECT_TRUE(Logged(LOG_FAIL, "Error occurs when receiving data"));
    EXPECT_EQ(ReceiveExactly(client, buf, 10, 0, 1, false), 0);
    HardClose(client);
    HardClose(server);
}

TEST_F(Sockets, APeerThatClosesGivesMinusThreeOnlyWhereClosingIsExpected) {
    struct Case {
        const char* name;
        bool reset;          // the peer resets instead of an orderly close
        bool closedAllowed;
        int64_t expected;
    };
    const Case cases[] = {
        {"orderly close, expected", false, true, -3},
        {"orderly close, block receive", false, false, -1},
        {"reset, expected", true, true, -3},
        {"reset, block receive", true, false, -1},
    };
    Listener l;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int client = -1, server = -1;
        Pair(l, client, server);
        if (c.reset) {
            HardClose(server);
        } else {
            ASSERT_EQ(Send(server, "abc", 3, 0, "x"), 3);
            ::shutdown(server, SHUT_WR);
        }
        char buf[16] = {};
        if (!c.reset) {  // data before an orderly close is still delivered
            EXPECT_EQ(Receive(client, buf, sizeof buf, 0, 10, false, c.closedAllowed), 3);
            EXPECT_EQ(std::string(buf, 3), "abc");
        }
        const std::size_t before = Entries().size();
        EXPECT_EQ(Receive(client, buf, sizeof buf, 0, 10, false, c.closedAllowed), c.expected);
        EXPECT_EQ(Entries().size() > before, c.expected == -1);  // only -1 is logged
        HardClose(client);
        HardClose(server);
    }

    // Receive exactly treats an early close as a failure.
    int client = -1, server = -1;
    Pair(l, client, server);
    ASSERT_EQ(Send(server, "12345", 5, 0, "x"), 5);
    ::shutdown(server, SHUT_WR);
    char buf[10];
    EXPECT_EQ(ReceiveExactly(client, buf, sizeof buf, 0, 10, false), -1);
    HardClose(client);
    HardClose(server);
}

TEST_F(Sockets, ResolveTakesDottedAddressesAsTheyAreAndLogsLookups) {
    in_addr a{};
    EXPECT_EQ(Resolve("127.0.0.9", false, a), 1);
    EXPECT_EQ(ntohl(a.s_addr), 0x7f000009u);
    EXPECT_TRUE(Entries().empty());

    a = {};
    EXPECT_EQ(Resolve("localhost", false, a), 1);
    EXPECT_EQ(ntohl(a.s_addr) >> 24, 127u);
    EXPECT_TRUE(Logged(LOG_NORMAL, "Resolve host address ..."));
    EXPECT_TRUE(Logged(LOG_SUCCESS, "Host address resolved"));

    EXPECT_EQ(Resolve("localhost", true, a), 1);
    EXPECT_TRUE(Logged(LOG_NORMAL, "Resolve proxy address ..."));
    EXPECT_TRUE(Logged(LOG_SUCCESS, "Proxy address resolved"));
}

TEST_F(Sockets, RetryWaitLogsAndHandlesSentMessagesWithoutEnding) {
    EXPECT_EQ(WaitForRetry(0), 0);
    EXPECT_TRUE(Entries().empty());

    std::atomic<bool> handled{false};
    HWND w = CreateMessageWindow("probe", {{WM_USER + 5, [&](WPARAM, LPARAM) {
                                               handled = true;
                                               return LRESULT(9);
                                           }}});
    std::thread sender([w] {
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(SendMessage(w, WM_USER + 5, 0, 0), 9);
    });
    auto start = Clock::now();
    EXPECT_EQ(WaitForRetry(1), 0);  // the sent message was handled, not an interruption
    EXPECT_GE(Clock::now() - start, 900ms);
    sender.join();
    EXPECT_TRUE(handled);
    EXPECT_TRUE(Logged(LOG_NORMAL, "Wait 1 seconds for next retry"));
    DestroyWindow(w);
}

// ---- the limiter, driven directly as the main window drives it

std::shared_ptr<BandwidthEvent> Ask(int64_t bytes) {
    auto e = std::make_shared<BandwidthEvent>();
    EXPECT_TRUE(e->Valid());
    HandleBandwidthRequest(static_cast<WPARAM>(bytes), BandwidthEventParam(e));
    return e;
}

TEST_F(Sockets, ManualLimitServesTwoBlocksPerSecondAtTwoKilobytes) {
    EXPECT_EQ(BandwidthTick(1, 2048, 0, 0, -1), 2048);
    EXPECT_EQ(BandwidthMode(), 1);
    auto a = Ask(1024);
    auto b = Ask(1024);
    auto c = Ask(1024);
    EXPECT_TRUE(a->IsSet());
    EXPECT_TRUE(b->IsSet());
    EXPECT_FALSE(c->IsSet());
    EXPECT_EQ(BandwidthQueueLength(), 1u);
    auto d = Ask(1);  // first come, first served: a small one doesn't overtake
    EXPECT_FALSE(d->IsSet());

    BandwidthTick(1, 2048, 0, 0, -1);
    EXPECT_TRUE(c->IsSet());
    EXPECT_TRUE(d->IsSet());
    EXPECT_EQ(BandwidthBudget(), 2048 - 1024 - 1);
    EXPECT_EQ(BandwidthQueueLength(), 0u);

    // Allowance nobody asks for is not saved up.
    BandwidthTick(1, 2048, 0, 0, -1);
    BandwidthTick(1, 2048, 0, 0, -1);
    EXPECT_EQ(BandwidthBudget(), 2048);
}

TEST_F(Sockets, WaitersAccumulateBudgetAndModeZeroReleasesEveryone) {
    BandwidthTick(1, 400, 0, 0, -1);
    auto big = Ask(1024);  // more than a second's worth: it waits for three ticks
    EXPECT_FALSE(big->IsSet());
    BandwidthTick(1, 400, 0, 0, -1);
    EXPECT_FALSE(big->IsSet());
    BandwidthTick(1, 400, 0, 0, -1);
    EXPECT_TRUE(big->IsSet());
    EXPECT_EQ(BandwidthBudget(), 1200 - 1024);

    BandwidthTick(1, 0, 0, 0, -1);
    std::vector<std::shared_ptr<BandwidthEvent>> waiting;
    for (int i = 0; i < 4; ++i) waiting.push_back(Ask(1024));
    for (auto& e : waiting) EXPECT_FALSE(e->IsSet());
    EXPECT_EQ(BandwidthTick(0, 0, 0, 0, -1), -1);
    for (auto& e : waiting) EXPECT_TRUE(e->IsSet());
    EXPECT_EQ(BandwidthQueueLength(), 0u);
    EXPECT_EQ(BandwidthBudget(), 0);
    EXPECT_TRUE(Ask(1 << 20)->IsSet());  // no limit: granted at once
}

// A high limit is handed out an eighth at a time: the tick makes one eighth spendable and
// each 125 ms step another, so no window sees more than an eighth over the limit.
TEST_F(Sockets, HighLimitIsPacedInEighthsOfASecond) {
    const int64_t perSecond = 80 * 1024;
    const int64_t eighth = perSecond / 8;
    EXPECT_EQ(BandwidthRequestSize(1 << 20), 1 << 20);  // mode 0 until the tick: no limit
    BandwidthTick(1, perSecond, 0, 0, -1);
    EXPECT_EQ(BandwidthRequestSize(1 << 20), eighth);
    EXPECT_EQ(BandwidthBudget(), perSecond);
    EXPECT_EQ(BandwidthSpendable(), eighth);
    auto first = Ask(eighth);
    auto second = Ask(eighth);
    EXPECT_TRUE(first->IsSet());
    EXPECT_FALSE(second->IsSet());
    BandwidthPace(130);  // the second step is due
    EXPECT_TRUE(second->IsSet());
    std::vector<std::shared_ptr<BandwidthEvent>> rest;
    for (int i = 0; i < 7; ++i) rest.push_back(Ask(eighth));
    BandwidthPace(999);  // every step is due: six more eighths, the seventh waits
    int granted = 0;
    for (auto& e : rest) granted += e->IsSet() ? 1 : 0;
    EXPECT_EQ(granted, 6);
    EXPECT_EQ(BandwidthBudget(), 0);
    BandwidthTick(1, perSecond, 0, 0, -1);  // the next second pays the last one
    EXPECT_TRUE(rest.back()->IsSet());
    EXPECT_EQ(BandwidthSpendable(), 0);
    EXPECT_EQ(BandwidthBudget(), perSecond - eighth);
}

TEST_F(Sockets, AutomaticModeYieldsToOtherConnections) {
    struct Case {
        int64_t systemConnections;  // added to our own count; -1: can't be counted
        int64_t expected;
    };
    const Case cases[] = {{-1, 10000}, {0, 10000}, {3, 7000}, {20, 0}};
    for (const Case& c : cases) {
        int64_t system = c.systemConnections < 0 ? -1 : c.systemConnections + OpenSocketCount();
        EXPECT_EQ(BandwidthTick(2, 0, 10000, 1000, system), c.expected) << c.systemConnections;
        EXPECT_EQ(BandwidthMode(), 2);
    }
}

TEST_F(Sockets, AnAbandonedRequestIsDroppedWithoutPaying) {
    BandwidthTick(1, 0, 0, 0, -1);
    auto gone = Ask(1024);
    auto next = Ask(1024);
    gone->Abandon();
    EXPECT_EQ(BandwidthQueueLength(), 1u);
    BandwidthTick(1, 1024, 0, 0, -1);
    EXPECT_FALSE(gone->IsSet());
    EXPECT_TRUE(next->IsSet());
    EXPECT_EQ(BandwidthBudget(), 0);
}

// A limited receive on an engine thread goes through the main window's queue.
TEST_F(Sockets, LimitedReceiveWaitsForTheTickAndCanBeInterrupted) {
    Listener l;
    int client = -1, server = -1;
    Pair(l, client, server);
    std::vector<char> data(8192, 'k');
    ASSERT_EQ(Send(server, data.data(), static_cast<int64_t>(data.size()), 0, "x"), 8192);

    BandwidthTick(1, 0, 0, 0, -1);  // nothing may pass yet
    ThreadId worker = 0;
    std::atomic<int64_t> first{99};
    std::atomic<int64_t> result{99};
    std::atomic<bool> stillQueued{false};
    std::atomic<bool> interruptNext{false};
    std::thread t = StartThread(worker, [&] {
        std::vector<char> buf(8192);
        first = Receive(client, buf.data(), 8192, 0, 10, true, false);
        // Second round: a thread message ends the wait for the grant.
        interruptNext = true;
        int64_t r = Receive(client, buf.data(), 8192, 0, 10, true, false);
        Message m;
        stillQueued = r == -2 && PeekMessage(m, nullptr, 0, 0, PM_REMOVE) &&
                      m.message == MSG_RESTART_ANT;
        result = r;
    });
    auto pumpUntil = [](const std::function<bool()>& done) {
        auto start = Clock::now();
        while (!done() && Clock::now() - start < 10s) {
            ProcessPendingMessages();
            std::this_thread::sleep_for(5ms);
        }
        return done();
    };
    ASSERT_TRUE(pumpUntil([] { return BandwidthQueueLength() == 1; }));
    EXPECT_EQ(first.load(), 99);  // still waiting for its grant

    // While the limit applies the kernel buffer is kept small.
    int rcv = 0;
    socklen_t len = sizeof rcv;
    ASSERT_EQ(getsockopt(client, SOL_SOCKET, SO_RCVBUF, &rcv, &len), 0);
    EXPECT_LE(rcv, 2 * 4096 + 1024);

    BandwidthTick(1, 1024, 0, 0, -1);  // exactly one block: nothing is left for the next
    ASSERT_TRUE(pumpUntil([&] { return interruptNext.load(); }));
    EXPECT_EQ(first.load(), 1024);
    ASSERT_TRUE(pumpUntil([] { return BandwidthQueueLength() == 1; }));
    ASSERT_TRUE(PostThreadMessageRetry(worker, MSG_RESTART_ANT, 0, 0));
    t.join();
    EXPECT_EQ(result.load(), -2);
    EXPECT_TRUE(stillQueued.load());

    // The abandoned request costs nothing at the next tick.
    ProcessPendingMessages();
    BandwidthTick(1, 2048, 0, 0, -1);
    EXPECT_EQ(BandwidthQueueLength(), 0u);
    EXPECT_EQ(BandwidthBudget(), 2048);
    HardClose(client);
    HardClose(server);
}

TEST_F(Sockets, LimitedReceiveGetsOneBlockPerGrant) {
    Listener l;
    int client = -1, server = -1;
    Pair(l, client, server);
    std::vector<char> data(8192, 'z');
    ASSERT_EQ(Send(server, data.data(), 8192, 0, "x"), 8192);
    BandwidthTick(1, 0, 0, 0, -1);
    ThreadId worker = 0;
    std::atomic<int64_t> result{99};
    std::thread t = StartThread(worker, [&] {
        std::vector<char> buf(8192);
        result = Receive(client, buf.data(), 8192, 0, 10, true, false);
    });
    auto start = Clock::now();
    while (BandwidthQueueLength() == 0 && Clock::now() - start < 10s) {
        ProcessPendingMessages();
        std::this_thread::sleep_for(5ms);
    }
    BandwidthTick(1, 2048, 0, 0, -1);
    t.join();
    EXPECT_EQ(result.load(), 1024);  // a low limit grants one block at a time
    EXPECT_EQ(BandwidthBudget(), 1024);
    HardClose(client);
    HardClose(server);
}

}  // namespace
}  // namespace kv
