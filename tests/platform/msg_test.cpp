#include "platform/msg.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

namespace kv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kMsgA = WM_USER + 100;
constexpr uint32_t kMsgB = WM_USER + 200;
constexpr uint32_t kMsgC = WM_USER + 300;
constexpr uint32_t kMsgQuit = WM_USER + 999;

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// Runs `body` on a thread of its own (a fresh queue) and waits for it.
void OnNewThread(std::function<void()> body) {
    ThreadId id = 0;
    std::thread t = StartThread(id, std::move(body));
    t.join();
}

// A thread that owns one window and runs the headless loop until kMsgQuit arrives.
class UiThread {
public:
    explicit UiThread(HandlerTable handlers) {
        std::promise<HWND> made;
        auto future = made.get_future();
        thread_ = StartThread(id_, [&made, handlers = std::move(handlers)]() mutable {
            handlers[kMsgQuit] = [](WPARAM, LPARAM) {
                PostQuitMessage(0);
                return LRESULT(0);
            };
            made.set_value(CreateMessageWindow("Test_UiWin", std::move(handlers)));
            RunMessageLoop();
        });
        hwnd_ = future.get();
    }
    ~UiThread() {
        PostMessageRetry(hwnd_, kMsgQuit, 0, 0);
        thread_.join();
    }
    HWND hwnd() const { return hwnd_; }
    ThreadId id() const { return id_; }

private:
    ThreadId id_ = 0;
    std::thread thread_;
    HWND hwnd_ = nullptr;
};

TEST(Msg, ThreadMessagesReachALiveThreadInOrderAndFailWith1444OnceItEnded) {
    std::latch posted(1);
    std::vector<WPARAM> got;
    ThreadId id = 0;
    std::thread worker = StartThread(id, [&] {
        posted.wait();  // the posts below are accepted before this thread ever pumps
        Message msg;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(GetMessage(msg));
            EXPECT_EQ(msg.hwnd, nullptr);
            EXPECT_EQ(msg.message, kMsgA);
            got.push_back(msg.wParam);
        }
    });
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(IsThreadAlive(id));
    for (WPARAM w : {1u, 2u, 3u}) EXPECT_TRUE(PostThreadMessage(id, kMsgA, w, 0));
    posted.count_down();
    worker.join();
    EXPECT_EQ(got, (std::vector<WPARAM>{1, 2, 3}));

    EXPECT_FALSE(IsThreadAlive(id));
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessage(id, kMsgA, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageRetry(id, kMsgA, 0, 0));  // gives up at once
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
    EXPECT_FALSE(PostThreadMessage(0, kMsgA, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(Msg, PeekFiltersKeepOrderAndTheDescriptorFollowsWhatIsLeft) {
    OnNewThread([] {
        int fd = QueueDescriptor();
        ASSERT_GE(fd, 0);
        HWND w = CreateMessageWindow("Test_Win", {});
        Message msg;
        EXPECT_FALSE(Readable(fd));
        EXPECT_FALSE(PeekMessage(msg, nullptr, 0, 0, PM_REMOVE));

        ASSERT_TRUE(PostMessage(w, kMsgA, 1, 10));
        ASSERT_TRUE(PostMessage(nullptr, kMsgB, 2, 20));  // thread message to itself
        ASSERT_TRUE(PostMessage(w, kMsgC, 3, 30));
        EXPECT_TRUE(Readable(fd));

        // Looking without taking leaves everything, and the descriptor readable.
        ASSERT_TRUE(PeekMessage(msg, nullptr, kMsgB, kMsgC, PM_NOREMOVE));
        EXPECT_EQ(msg.message, kMsgB);
        ASSERT_TRUE(PeekMessage(msg, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(msg.message, kMsgA);
        EXPECT_TRUE(Readable(fd));

        // A window filter skips the thread message; a range skips the first one.
        ASSERT_TRUE(PeekMessage(msg, w, kMsgC, kMsgC, PM_REMOVE));
        EXPECT_EQ(msg.hwnd, w);
        EXPECT_EQ(msg.wParam, 3u);
        EXPECT_EQ(msg.lParam, 30);
        EXPECT_FALSE(PeekMessage(msg, w, kMsgB, kMsgC, PM_REMOVE));
        ASSERT_TRUE(PeekMessage(msg, w, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, kMsgA);
        EXPECT_FALSE(PeekMessage(msg, w, 0, 0, PM_REMOVE));
        EXPECT_TRUE(Readable(fd));  // the thread message is still there
        ASSERT_TRUE(PeekMessage(msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.hwnd, nullptr);
        EXPECT_EQ(msg.message, kMsgB);
        EXPECT_FALSE(Readable(fd));

        // The quit request comes after the posted messages, whatever the range.
        PostQuitMessage(7);
        ASSERT_TRUE(PostMessage(w, kMsgA, 0, 0));
        EXPECT_TRUE(Readable(fd));
        ASSERT_TRUE(GetMessage(msg, nullptr, kMsgA, kMsgA));
        EXPECT_EQ(msg.message, kMsgA);
        EXPECT_FALSE(GetMessage(msg, nullptr, kMsgC, kMsgC));
        EXPECT_EQ(msg.message, WM_QUIT);
        EXPECT_EQ(msg.wParam, 7u);
        EXPECT_FALSE(Readable(fd));
        EXPECT_TRUE(DestroyWindow(w));
    });
}

TEST(Msg, SendFromOtherThreadsReturnsAfterTheHandlerRanOnTheOwnerInSenderOrder) {
    std::mutex m;
    std::vector<std::vector<WPARAM>> seen(3);
    std::atomic<ThreadId> handlerThread{0};
    std::atomic<bool> slowDone{false};
    UiThread ui({
        {kMsgA,
         [&](WPARAM w, LPARAM l) {
             handlerThread = GetCurrentThreadId();
             std::lock_guard lock(m);
             seen[static_cast<size_t>(l)].push_back(w);
             return static_cast<LRESULT>(w * 2);
         }},
        {kMsgB,
         [&](WPARAM, LPARAM) {
             std::this_thread::sleep_for(50ms);
             slowDone = true;
             return LRESULT(-5);
         }},
    });

    EXPECT_EQ(SendMessage(ui.hwnd(), kMsgB, 0, 0), -5);
    EXPECT_TRUE(slowDone);  // the send came back only after the handler had finished

    std::vector<std::thread> senders;
    std::atomic<int> wrongResults{0};
    for (int s = 0; s < 3; ++s) {
        senders.emplace_back([&, s] {
            for (WPARAM i = 0; i < 50; ++i) {
                if (SendMessage(ui.hwnd(), kMsgA, i, s) != static_cast<LRESULT>(i * 2)) {
                    ++wrongResults;
                }
            }
        });
    }
    for (auto& t : senders) t.join();
    EXPECT_EQ(wrongResults, 0);
    EXPECT_EQ(handlerThread, ui.id());
    std::vector<WPARAM> expected;
    for (WPARAM i = 0; i < 50; ++i) expected.push_back(i);
    for (const auto& list : seen) EXPECT_EQ(list, expected);

    // On the owning thread a send is a direct call, without any loop running.
    OnNewThread([] {
        bool ran = false;
        HWND w = CreateMessageWindow("Test_Win", {{kMsgA, [&](WPARAM w2, LPARAM) {
                                                        ran = true;
                                                        return LRESULT(w2 + 1);
                                                    }}});
        EXPECT_EQ(SendMessage(w, kMsgA, 41, 0), 42);
        EXPECT_TRUE(ran);
        DestroyWindow(w);
    });
}

TEST(Msg, TwoThreadsSendingToEachOtherDoNotDeadlock) {
    // A's handler sends to B's window while B is blocked sending to A: B handles the
    // incoming send while it waits.
    std::promise<HWND> windowB;
    auto futureB = windowB.get_future().share();
    UiThread a({{kMsgA, [futureB](WPARAM, LPARAM) {
                     return SendMessage(futureB.get(), kMsgB, 0, 0) + 1;
                 }}});
    LRESULT result = 0;
    OnNewThread([&] {
        HWND b = CreateMessageWindow("Test_B", {{kMsgB, [](WPARAM, LPARAM) {
                                                     return LRESULT(41);
                                                 }}});
        windowB.set_value(b);
        result = SendMessage(a.hwnd(), kMsgA, 0, 0);
        DestroyWindow(b);
    });
    EXPECT_EQ(result, 42);
}

TEST(Msg, AThreadEndingReleasesItsSendersAndTakesItsWindows) {
    std::promise<HWND> made;
    auto future = made.get_future();
    std::atomic<bool> handled{false};
    ThreadId id = 0;
    std::thread owner = StartThread(id, [&] {
        HWND w = CreateMessageWindow("Test_Win", {{kMsgA, [&](WPARAM, LPARAM) {
                                                       handled = true;
                                                       return LRESULT(9);
                                                   }}});
        made.set_value(w);
        // Wait until the send below is queued, then end without ever pumping.
        pollfd p{QueueDescriptor(), POLLIN, 0};
        ::poll(&p, 1, 10000);
    });
    HWND w = future.get();
    EXPECT_EQ(GetWindowThreadId(w), id);
    EXPECT_EQ(SendMessage(w, kMsgA, 0, 0), 0);
    owner.join();
    EXPECT_FALSE(handled);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_EQ(GetWindowThreadId(w), 0u);
    EXPECT_FALSE(PostMessage(w, kMsgA, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostMessageRetry(w, kMsgA, 0, 0));
}

TEST(Msg, DestroyedWindowRefusesPostsAndLosesItsQueuedMessages) {
    OnNewThread([] {
        int destroyCalls = 0;
        HWND w = nullptr;
        w = CreateMessageWindow("Test_Win", {{WM_DESTROY, [&](WPARAM, LPARAM) {
                                                       ++destroyCalls;
                                                       DestroyWindow(w);  // no recursion
                                                       return LRESULT(0);
                                                   }}});
        ASSERT_TRUE(IsWindow(w));
        EXPECT_EQ(GetWindowClassName(w), "Test_Win");
        ASSERT_TRUE(PostMessage(w, kMsgA, 0, 0));
        ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), kMsgB, 0, 0));
        ASSERT_TRUE(PostMessage(w, kMsgC, 0, 0));
        ASSERT_TRUE(SetTimer(w, 1, 10));

        // Another thread may neither destroy it nor set its timers or handlers.
        OnNewThread([w] {
            EXPECT_FALSE(DestroyWindow(w));
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
            EXPECT_FALSE(SetTimer(w, 2, 10));
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
            EXPECT_FALSE(SetMessageHandler(w, kMsgA, [](WPARAM, LPARAM) {
                return LRESULT(0);
            }));
        });
        EXPECT_TRUE(IsWindow(w));

        EXPECT_TRUE(DestroyWindow(w));
        EXPECT_EQ(destroyCalls, 1);
        EXPECT_FALSE(IsWindow(w));
        EXPECT_FALSE(DestroyWindow(w));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_FALSE(PostMessage(w, kMsgA, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_EQ(SendMessage(w, kMsgA, 0, 0), 0);
        EXPECT_FALSE(SetTimer(w, 1, 10));

        std::this_thread::sleep_for(30ms);  // the timer would be due by now
        Message msg;
        ASSERT_TRUE(PeekMessage(msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, kMsgB);  // only the thread message is left
        EXPECT_FALSE(PeekMessage(msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_FALSE(Readable(QueueDescriptor()));
    });
}

TEST(Msg, TimerFiresAtItsPeriodAndStopsWhenKilled) {
    OnNewThread([] {
        constexpr auto kPeriod = 30ms;
        std::vector<Clock::time_point> fired;
        Clock::time_point start;
        HWND w = nullptr;
        w = CreateMessageWindow(
            "Test_Win", {{WM_TIMER, [&](WPARAM id, LPARAM) {
                              if (id == 99) {  // guard against a timer that never fires
                                  ADD_FAILURE() << "timer 5 did not fire";
                                  PostQuitMessage(1);
                              } else if (id == 5) {
                                  fired.push_back(Clock::now());
                                  if (fired.size() == 4) {
                                      EXPECT_TRUE(KillTimer(w, 5));
                                      PostQuitMessage(0);
                                  }
                              }
                              return LRESULT(0);
                          }}});
        ASSERT_TRUE(SetTimer(w, 99, 20000));
        start = Clock::now();
        ASSERT_TRUE(SetTimer(w, 5, static_cast<uint32_t>(kPeriod.count())));
        EXPECT_EQ(RunMessageLoop(), 0);
        ASSERT_EQ(fired.size(), 4u);
        // Never early: each tick comes at least one period after the one before.
        EXPECT_GE(fired[0] - start, kPeriod);
        for (size_t i = 1; i < fired.size(); ++i) EXPECT_GE(fired[i] - fired[i - 1], kPeriod);

        // Killed: nothing more within several periods.
        EXPECT_EQ(MsgWaitForDescriptors(nullptr, 0, 150), WaitResult::Timeout);
        Message msg;
        EXPECT_FALSE(PeekMessage(msg, w, WM_TIMER, WM_TIMER, PM_REMOVE));
        EXPECT_FALSE(KillTimer(w, 5));
        EXPECT_TRUE(KillTimer(w, 99));
        DestroyWindow(w);
    });
}

TEST(Msg, ATimerThatFellBehindGivesOneMessage) {
    OnNewThread([] {
        HWND w = CreateMessageWindow("Test_Win", {});
        HWND other = CreateMessageWindow("Test_Other", {});
        ASSERT_TRUE(SetTimer(w, 1, 5000));
        ASSERT_TRUE(SetTimer(w, 1, 10));  // restarting replaces the period, still one timer
        int fd = QueueDescriptor();
        EXPECT_FALSE(Readable(fd));
        std::this_thread::sleep_for(120ms);  // a dozen periods without pumping
        EXPECT_TRUE(Readable(fd));

        Message msg;
        EXPECT_FALSE(PeekMessage(msg, other, 0, 0, PM_REMOVE));  // not that window's
        ASSERT_TRUE(PeekMessage(msg, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(msg.message, WM_TIMER);
        EXPECT_TRUE(Readable(fd));
        ASSERT_TRUE(PeekMessage(msg, w, WM_TIMER, WM_TIMER, PM_REMOVE));
        EXPECT_EQ(msg.hwnd, w);
        EXPECT_EQ(msg.wParam, 1u);
        EXPECT_FALSE(PeekMessage(msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_FALSE(Readable(fd));

        EXPECT_TRUE(KillTimer(w, 1));
        DestroyWindow(w);
        DestroyWindow(other);
    });
}

TEST(Msg, DescriptorWaitWakesOnAPostAndGivesTheQueuePriority) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::atomic<bool> waiting{false};
    WaitResult first = WaitResult::Failed;
    Message got;
    ThreadId id = 0;
    std::thread waiter = StartThread(id, [&] {
        pollfd p{pipeFds[0], POLLIN, 0};
        waiting = true;
        first = MsgWaitForDescriptors(&p, 1, -1);
        GetMessage(got);
    });
    while (!waiting) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(PostThreadMessage(id, kMsgA, 5, 0));
    waiter.join();
    EXPECT_EQ(first, WaitResult::QueueInput);
    EXPECT_EQ(got.message, kMsgA);
    EXPECT_EQ(got.wParam, 5u);

    OnNewThread([&] {
        char c = 'x';
        ASSERT_EQ(::write(pipeFds[1], &c, 1), 1);
        pollfd p{pipeFds[0], POLLIN, 0};
        PostMessage(nullptr, kMsgA, 0, 0);
        EXPECT_EQ(MsgWaitForDescriptors(&p, 1, 1000), WaitResult::QueueInput);
        EXPECT_TRUE(p.revents & POLLIN);
        Message msg;
        ASSERT_TRUE(PeekMessage(msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(MsgWaitForDescriptors(&p, 1, 1000), WaitResult::Descriptor);
        EXPECT_TRUE(p.revents & POLLIN);
        ASSERT_EQ(::read(pipeFds[0], &c, 1), 1);
        EXPECT_EQ(MsgWaitForDescriptors(&p, 1, 20), WaitResult::Timeout);
    });
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(Msg, FullQueueRefusesOtherThreadsUntilDrainedAndRetryWaitsForRoom) {
    const std::size_t oldLimit = PostedMessageLimit();
    SetPostedMessageLimit(3);
    std::latch full(1);
    std::atomic<int> received{0};
    std::promise<HWND> made;
    auto future = made.get_future();
    ThreadId id = 0;
    std::thread owner = StartThread(id, [&] {
        HWND w = CreateMessageWindow("Test_Win", {{kMsgA, [&](WPARAM, LPARAM) {
                                                       ++received;
                                                       return LRESULT(0);
                                                   }}});
        made.set_value(w);
        full.wait();
        EXPECT_TRUE(PostMessage(w, kMsgA, 0, 0));  // its own posts pass the limit
        Message msg;
        while (received < 6 && GetMessage(msg)) DispatchMessage(msg);
        DestroyWindow(w);
    });
    HWND w = future.get();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(PostMessage(w, kMsgA, 0, 0));
    EXPECT_FALSE(PostMessage(w, kMsgA, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_FALSE(PostThreadMessage(id, kMsgB, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    std::thread releaser([&] {
        std::this_thread::sleep_for(30ms);
        full.count_down();
    });
    EXPECT_TRUE(PostMessageRetry(w, kMsgA, 0, 0));  // succeeds once the owner drains
    EXPECT_TRUE(PostMessageRetry(w, kMsgA, 0, 0));
    releaser.join();
    owner.join();
    EXPECT_EQ(received, 6);
    SetPostedMessageLimit(oldLimit);
}

TEST(Msg, PendingMessagesAreDrainedWithoutWaitingAndTheLoopEndsOnQuit) {
    OnNewThread([] {
        std::vector<WPARAM> seen;
        std::vector<uint32_t> threadMessages;
        HWND w = nullptr;
        w = CreateMessageWindow("Test_Win",
                                {{kMsgA, [&](WPARAM x, LPARAM) {
                                      seen.push_back(x);
                                      return LRESULT(0);
                                  }},
                                 {kMsgB, [&](WPARAM, LPARAM) {  // posts itself again forever
                                      PostMessage(w, kMsgB, 0, 0);
                                      return LRESULT(0);
                                  }},
                                 {kMsgC, [](WPARAM code, LPARAM) {
                                      PostQuitMessage(static_cast<int>(code));
                                      return LRESULT(0);
                                  }}});
        auto onThread = [&](const Message& m) { threadMessages.push_back(m.message); };

        for (WPARAM x : {1u, 2u, 3u}) PostMessage(w, kMsgA, x, 0);
        PostMessage(nullptr, kMsgC + 1, 0, 0);
        EXPECT_TRUE(ProcessPendingMessages(nullptr, onThread));
        EXPECT_EQ(seen, (std::vector<WPARAM>{1, 2, 3}));
        EXPECT_EQ(threadMessages, std::vector<uint32_t>{kMsgC + 1});
        EXPECT_FALSE(Readable(QueueDescriptor()));

        // A handler that keeps re-posting does not hold the drain forever.
        PostMessage(w, kMsgB, 0, 0);
        EXPECT_TRUE(ProcessPendingMessages());
        EXPECT_TRUE(Readable(QueueDescriptor()));
        SetMessageHandler(w, kMsgB, {});
        EXPECT_TRUE(ProcessPendingMessages());  // the last re-post meets no handler
        EXPECT_FALSE(Readable(QueueDescriptor()));

        PostMessage(w, kMsgC, 3, 0);
        int code = -1;
        EXPECT_FALSE(ProcessPendingMessages(&code));
        EXPECT_EQ(code, 3);

        PostMessage(nullptr, kMsgA, 0, 0);
        PostMessage(w, kMsgC, 5, 0);
        threadMessages.clear();
        EXPECT_EQ(RunMessageLoop(onThread), 5);
        EXPECT_EQ(threadMessages, std::vector<uint32_t>{kMsgA});
        DestroyWindow(w);
    });
}

}  // namespace
}  // namespace kv
