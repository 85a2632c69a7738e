#include "platform/msg.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kv {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kMinTimerPeriodMs = 10;

struct Queue;

// A message sent from one thread to another thread's window, waiting for its result.
struct SentMessage {
    HWND hwnd;
    uint32_t message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<Queue> sender;  // its mutex guards `done` and `result`
    bool done = false;
    LRESULT result = 0;
};

struct Timer {
    HWND hwnd;
    uintptr_t id;
    milliseconds period;
    Clock::time_point due;
};

struct Queue {
    ThreadId id = 0;
    std::mutex m;
    std::condition_variable cv;  // only the owning thread waits on it
    std::deque<Message> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    std::vector<Timer> timers;
    bool quit = false;
    int quitCode = 0;
    bool alive = true;
    uint64_t version = 0;  // bumped by every change another thread makes

    // The descriptor: an epoll set of an eventfd (readable while posted, sent or quit
    // input is queued) and a timerfd (armed at the earliest timer deadline).
    int epollFd = -1;
    int eventFd = -1;
    int timerFd = -1;
    bool signalled = false;

    Queue() {
        epollFd = epoll_create1(EPOLL_CLOEXEC);
        eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        bool ok = epollFd >= 0 && eventFd >= 0 && timerFd >= 0;
        for (int fd : {eventFd, timerFd}) {
            if (!ok) break;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            ok = epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
        }
        if (!ok) CloseDescriptors();
    }
    ~Queue() { CloseDescriptors(); }
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    void CloseDescriptors() {
        for (int* fd : {&epollFd, &eventFd, &timerFd}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    // Keeps the eventfd readable exactly while posted, sent or quit input is queued.
    // Call with `m` held after every change of those.
    void UpdateSignalLocked() {
        bool want = !posted.empty() || !sent.empty() || quit;
        if (want == signalled || eventFd < 0) {
            signalled = want;
            return;
        }
        uint64_t value = 1;
        ssize_t n = want ? ::write(eventFd, &value, sizeof value)
                         : ::read(eventFd, &value, sizeof value);
        (void)n;  // non-blocking; the counter is only ever 0 or 1
        signalled = want;
    }

    // Arms the timerfd at the earliest deadline (or disarms it). Setting it also clears
    // an expiry already reached, so it is readable exactly while a timer is due.
    void ArmTimerLocked() {
        if (timerFd < 0) return;
        itimerspec spec{};
        if (!timers.empty()) {
            auto earliest = std::min_element(timers.begin(), timers.end(),
                                             [](const Timer& a, const Timer& b) {
                                                 return a.due < b.due;
                                             })->due;
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          earliest.time_since_epoch()).count();
            if (ns <= 0) ns = 1;
            spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
            spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
    }

    void ChangedLocked() {
        ++version;
        cv.notify_all();
    }
};

struct WindowEntry {
    uintptr_t handle = 0;
    std::string className;
    std::shared_ptr<Queue> owner;
    bool alive = true;  // guarded by owner->m
    // Touched only by the owning thread.
    bool destroying = false;
    HandlerTable handlers;
    DefaultHandler fallback;
};

// Process-wide tables. Never destroyed, so that threads ending during process exit can
// still unregister.
struct Tables {
    std::mutex threadsMutex;
    std::unordered_map<ThreadId, std::shared_ptr<Queue>> threads;
    ThreadId nextThreadId = 1;

    std::mutex windowsMutex;
    std::unordered_map<uintptr_t, std::shared_ptr<WindowEntry>> windows;
    uintptr_t nextWindow = 0x10000;

    std::atomic<std::size_t> postLimit{10000};
};

Tables& T() {
    static Tables* tables = new Tables;
    return *tables;
}

std::shared_ptr<Queue> NewRegisteredQueue() {
    auto q = std::make_shared<Queue>();
    Tables& t = T();
    std::lock_guard lock(t.threadsMutex);
    do {
        q->id = t.nextThreadId++;
    } while (q->id == 0 || t.threads.count(q->id));
    t.threads[q->id] = q;
    return q;
}

void Complete(const std::shared_ptr<SentMessage>& s, LRESULT result) {
    std::lock_guard lock(s->sender->m);
    s->result = result;
    s->done = true;
    s->sender->ChangedLocked();
}

// Ends a thread's queue: no more posts, its windows and timers go, and every thread
// still waiting on a message sent to it gets 0.
void ShutDownQueue(const std::shared_ptr<Queue>& q) {
    Tables& t = T();
    {
        std::lock_guard lock(t.threadsMutex);
        t.threads.erase(q->id);
    }
    std::vector<std::shared_ptr<WindowEntry>> gone;
    {
        std::lock_guard lock(t.windowsMutex);
        for (auto it = t.windows.begin(); it != t.windows.end();) {
            if (it->second->owner == q) {
                gone.push_back(it->second);
                it = t.windows.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::deque<std::shared_ptr<SentMessage>> pending;
    {
        std::lock_guard lock(q->m);
        q->alive = false;
        for (auto& w : gone) w->alive = false;
        pending.swap(q->sent);
        q->posted.clear();
        q->timers.clear();
        q->quit = false;
        q->UpdateSignalLocked();
        q->ArmTimerLocked();
    }
    for (auto& s : pending) Complete(s, 0);
    // Handlers may hold objects whose destruction uses this layer; drop them last.
    for (auto& w : gone) {
        w->handlers.clear();
        w->fallback = nullptr;
    }
}

struct ThreadState {
    std::shared_ptr<Queue> queue;
    ~ThreadState() {
        if (queue) ShutDownQueue(queue);
    }
};

thread_local ThreadState tState;

const std::shared_ptr<Queue>& CurrentQueuePtr() {
    if (!tState.queue) tState.queue = NewRegisteredQueue();
    return tState.queue;
}

Queue& CurrentQueue() { return *CurrentQueuePtr(); }

std::shared_ptr<Queue> FindThread(ThreadId id) {
    Tables& t = T();
    std::lock_guard lock(t.threadsMutex);
    auto it = t.threads.find(id);
    return it == t.threads.end() ? nullptr : it->second;
}

std::shared_ptr<WindowEntry> FindWindow(HWND hwnd) {
    Tables& t = T();
    std::lock_guard lock(t.windowsMutex);
    auto it = t.windows.find(reinterpret_cast<uintptr_t>(hwnd));
    return it == t.windows.end() ? nullptr : it->second;
}

// The window, when it exists and belongs to the calling thread; sets the last error
// otherwise.
std::shared_ptr<WindowEntry> OwnWindow(HWND hwnd) {
    auto w = FindWindow(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (w->owner.get() != &CurrentQueue()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return w;
}

// Runs the handler on the calling (owning) thread. The handler is copied first so that
// it may replace itself or destroy its window while it runs.
LRESULT CallHandler(const std::shared_ptr<WindowEntry>& w, uint32_t message, WPARAM wParam,
                    LPARAM lParam) {
    if (auto it = w->handlers.find(message); it != w->handlers.end() && it->second) {
        MessageHandler handler = it->second;
        return handler(wParam, lParam);
    }
    if (w->fallback) {
        DefaultHandler fallback = w->fallback;
        return fallback(message, wParam, lParam);
    }
    return 0;
}

LRESULT CallWindow(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam) {
    auto w = FindWindow(hwnd);
    if (!w || w->owner.get() != &CurrentQueue()) return 0;
    return CallHandler(w, message, wParam, lParam);
}

// Handles every message other threads have sent to the calling thread, in arrival order.
void DispatchIncomingSends(Queue& q) {
    for (;;) {
        std::shared_ptr<SentMessage> s;
        {
            std::lock_guard lock(q.m);
            if (q.sent.empty()) return;
            s = std::move(q.sent.front());
            q.sent.pop_front();
            q.UpdateSignalLocked();
        }
        LRESULT result = CallWindow(s->hwnd, s->message, s->wParam, s->lParam);
        Complete(s, result);
    }
}

bool InRange(uint32_t message, uint32_t minMessage, uint32_t maxMessage) {
    if (minMessage == 0 && maxMessage == 0) return true;
    return message >= minMessage && message <= maxMessage;
}

struct PeekState {
    uint64_t version = 0;
    std::optional<Clock::time_point> nextDue;  // earliest matching timer
};

bool PeekImpl(Message& out, HWND filter, uint32_t minMessage, uint32_t maxMessage,
              bool remove, PeekState* state) {
    Queue& q = CurrentQueue();
    for (;;) {
        DispatchIncomingSends(q);
        std::lock_guard lock(q.m);
        if (!q.sent.empty()) continue;  // arrived meanwhile: handle it first

        for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
            if (filter && it->hwnd != filter) continue;
            if (!InRange(it->message, minMessage, maxMessage)) continue;
            out = *it;
            if (remove) {
                q.posted.erase(it);
                q.UpdateSignalLocked();
            }
            return true;
        }
        if (q.quit && !filter) {
            out = Message{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0};
            if (remove) {
                q.quit = false;
                q.UpdateSignalLocked();
            }
            return true;
        }
        Timer* best = nullptr;
        std::optional<Clock::time_point> nextDue;
        if (InRange(WM_TIMER, minMessage, maxMessage)) {
            for (Timer& timer : q.timers) {
                if (filter && timer.hwnd != filter) continue;
                if (!best || timer.due < best->due) best = &timer;
            }
        }
        auto now = Clock::now();
        if (best && best->due <= now) {
            out = Message{best->hwnd, WM_TIMER, best->id, 0};
            if (remove) {
                best->due = now + best->period;
                q.ArmTimerLocked();
            }
            return true;
        }
        if (state) {
            state->version = q.version;
            if (best) state->nextDue = best->due; else state->nextDue.reset();
        }
        return false;
    }
}

bool PostTo(const std::shared_ptr<Queue>& q, const std::shared_ptr<WindowEntry>& window,
            const Message& msg, int goneError) {
    bool own = tState.queue == q;
    std::lock_guard lock(q->m);
    if (!q->alive || (window && !window->alive)) {
        SetLastError(goneError);
        return false;
    }
    if (!own && q->posted.size() >= T().postLimit.load()) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    q->posted.push_back(msg);
    q->UpdateSignalLocked();
    q->ChangedLocked();
    return true;
}

void BetweenRetries() {
    DispatchIncomingSends(CurrentQueue());
    std::this_thread::sleep_for(milliseconds(1));
}

}  // namespace

int GetLastError() { return errno; }
void SetLastError(int code) { errno = code; }

ThreadId GetCurrentThreadId() { return CurrentQueue().id; }

bool IsThreadAlive(ThreadId id) { return id != 0 && FindThread(id) != nullptr; }

std::thread StartThread(ThreadId& id, std::function<void()> body) {
    std::shared_ptr<Queue> q = NewRegisteredQueue();
    id = q->id;
    try {
        return std::thread([q, body = std::move(body)]() mutable {
            tState.queue = std::move(q);
            body();
        });
    } catch (...) {
        ShutDownQueue(q);
        id = 0;
        throw;
    }
}

HWND CreateMessageWindow(const std::string& className, HandlerTable handlers,
                         DefaultHandler fallback) {
    auto w = std::make_shared<WindowEntry>();
    w->className = className;
    w->owner = CurrentQueuePtr();
    w->handlers = std::move(handlers);
    w->fallback = std::move(fallback);
    Tables& t = T();
    std::lock_guard lock(t.windowsMutex);
    w->handle = t.nextWindow++;
    t.windows[w->handle] = w;
    return reinterpret_cast<HWND>(w->handle);
}

bool SetMessageHandler(HWND hwnd, uint32_t message, MessageHandler handler) {
    auto w = OwnWindow(hwnd);
    if (!w) return false;
    if (handler) w->handlers[message] = std::move(handler); else w->handlers.erase(message);
    return true;
}

bool DestroyWindow(HWND hwnd) {
    auto w = OwnWindow(hwnd);
    if (!w) return false;
    if (w->destroying) return true;  // called again from its WM_DESTROY handler
    w->destroying = true;
    CallHandler(w, WM_DESTROY, 0, 0);
    Tables& t = T();
    {
        std::lock_guard lock(t.windowsMutex);
        t.windows.erase(w->handle);
    }
    Queue& q = *w->owner;
    {
        std::lock_guard lock(q.m);
        w->alive = false;
        std::erase_if(q.posted, [hwnd](const Message& m) { return m.hwnd == hwnd; });
        std::erase_if(q.timers, [hwnd](const Timer& tm) { return tm.hwnd == hwnd; });
        q.UpdateSignalLocked();
        q.ArmTimerLocked();
    }
    w->handlers.clear();
    w->fallback = nullptr;
    return true;
}

bool IsWindow(HWND hwnd) { return hwnd && FindWindow(hwnd) != nullptr; }

ThreadId GetWindowThreadId(HWND hwnd) {
    auto w = FindWindow(hwnd);
    return w ? w->owner->id : 0;
}

std::string GetWindowClassName(HWND hwnd) {
    auto w = FindWindow(hwnd);
    return w ? w->className : std::string();
}

bool PostThreadMessage(ThreadId thread, uint32_t message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<Queue> q = thread ? FindThread(thread) : nullptr;
    if (!q) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return false;
    }
    return PostTo(q, nullptr, Message{nullptr, message, wParam, lParam},
                  ERROR_INVALID_THREAD_ID);
}

bool PostMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam) {
    if (!hwnd) {
        return PostTo(CurrentQueuePtr(), nullptr, Message{nullptr, message, wParam, lParam},
                      ERROR_INVALID_THREAD_ID);
    }
    auto w = FindWindow(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    return PostTo(w->owner, w, Message{hwnd, message, wParam, lParam},
                  ERROR_INVALID_WINDOW_HANDLE);
}

LRESULT SendMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam) {
    auto w = FindWindow(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    const std::shared_ptr<Queue>& self = CurrentQueuePtr();
    if (w->owner == self) return CallHandler(w, message, wParam, lParam);

    auto s = std::make_shared<SentMessage>(SentMessage{hwnd, message, wParam, lParam, self});
    {
        Queue& target = *w->owner;
        std::lock_guard lock(target.m);
        if (!target.alive || !w->alive) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        target.sent.push_back(s);
        target.UpdateSignalLocked();
        target.ChangedLocked();
    }
    std::unique_lock lock(self->m);
    while (!s->done) {
        if (!self->sent.empty()) {
            lock.unlock();
            DispatchIncomingSends(*self);
            lock.lock();
            continue;
        }
        self->cv.wait(lock);
    }
    return s->result;
}

void PostQuitMessage(int exitCode) {
    Queue& q = CurrentQueue();
    std::lock_guard lock(q.m);
    q.quit = true;
    q.quitCode = exitCode;
    q.UpdateSignalLocked();
    q.ChangedLocked();
}

bool PostMessageRetry(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam) {
    for (;;) {
        if (PostMessage(hwnd, message, wParam, lParam)) return true;
        if (hwnd && !IsWindow(hwnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return false;
        }
        BetweenRetries();
    }
}

bool PostThreadMessageRetry(ThreadId thread, uint32_t message, WPARAM wParam, LPARAM lParam) {
    for (;;) {
        if (PostThreadMessage(thread, message, wParam, lParam)) return true;
        if (GetLastError() == ERROR_INVALID_THREAD_ID) return false;
        BetweenRetries();
    }
}

void SetPostedMessageLimit(std::size_t limit) { T().postLimit = limit; }
std::size_t PostedMessageLimit() { return T().postLimit.load(); }

bool PeekMessage(Message& msg, HWND filter, uint32_t minMessage, uint32_t maxMessage,
                 unsigned removeFlags) {
    return PeekImpl(msg, filter, minMessage, maxMessage, (removeFlags & PM_REMOVE) != 0,
                    nullptr);
}

bool GetMessage(Message& msg, HWND filter, uint32_t minMessage, uint32_t maxMessage) {
    Queue& q = CurrentQueue();
    for (;;) {
        PeekState state;
        if (PeekImpl(msg, filter, minMessage, maxMessage, true, &state)) {
            return msg.message != WM_QUIT;
        }
        std::unique_lock lock(q.m);
        auto changed = [&] { return q.version != state.version || !q.sent.empty(); };
        if (state.nextDue) {
            q.cv.wait_until(lock, *state.nextDue, changed);
        } else {
            q.cv.wait(lock, changed);
        }
    }
}

LRESULT DispatchMessage(const Message& msg) {
    if (!msg.hwnd) return 0;
    return CallWindow(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

int RunMessageLoop(const std::function<void(const Message&)>& onThreadMessage) {
    Message msg;
    while (GetMessage(msg)) {
        if (msg.hwnd) {
            DispatchMessage(msg);
        } else if (onThreadMessage) {
            onThreadMessage(msg);
        }
    }
    return static_cast<int>(msg.wParam);
}

bool ProcessPendingMessages(int* quitCode,
                            const std::function<void(const Message&)>& onThreadMessage) {
    Queue& q = CurrentQueue();
    DispatchIncomingSends(q);
    std::size_t budget;
    {
        std::lock_guard lock(q.m);
        budget = q.posted.size() + q.timers.size() + 1;
    }
    Message msg;
    while (budget-- > 0 && PeekImpl(msg, nullptr, 0, 0, true, nullptr)) {
        if (msg.message == WM_QUIT) {
            if (quitCode) *quitCode = static_cast<int>(msg.wParam);
            return false;
        }
        if (msg.hwnd) {
            DispatchMessage(msg);
        } else if (onThreadMessage) {
            onThreadMessage(msg);
        }
    }
    return true;
}

int QueueDescriptor() { return CurrentQueue().epollFd; }

WaitResult MsgWaitForDescriptors(pollfd* fds, std::size_t count, int timeoutMs) {
    Queue& q = CurrentQueue();
    if (q.epollFd < 0) {
        SetLastError(EBADF);
        return WaitResult::Failed;
    }
    std::vector<pollfd> all(fds, fds + count);
    all.push_back(pollfd{q.epollFd, POLLIN, 0});
    auto deadline = Clock::now() + milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int wait = timeoutMs;
    for (;;) {
        int n = ::poll(all.data(), all.size(), wait);
        if (n >= 0) break;
        if (errno != EINTR) return WaitResult::Failed;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            wait = static_cast<int>(std::max<int64_t>(0, left.count()));
        }
    }
    bool any = false;
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].revents = all[i].revents;
        if (all[i].revents) any = true;
    }
    if (all.back().revents & POLLIN) return WaitResult::QueueInput;
    return any ? WaitResult::Descriptor : WaitResult::Timeout;
}

bool SetTimer(HWND hwnd, uintptr_t id, uint32_t periodMs) {
    auto w = OwnWindow(hwnd);
    if (!w) return false;
    milliseconds period(std::max(periodMs, kMinTimerPeriodMs));
    Queue& q = *w->owner;
    std::lock_guard lock(q.m);
    auto due = Clock::now() + period;
    auto it = std::find_if(q.timers.begin(), q.timers.end(),
                           [&](const Timer& tm) { return tm.hwnd == hwnd && tm.id == id; });
    if (it != q.timers.end()) {
        it->period = period;
        it->due = due;
    } else {
        q.timers.push_back(Timer{hwnd, id, period, due});
    }
    q.ArmTimerLocked();
    q.ChangedLocked();
    return true;
}

bool KillTimer(HWND hwnd, uintptr_t id) {
    auto w = OwnWindow(hwnd);
    if (!w) return false;
    Queue& q = *w->owner;
    std::lock_guard lock(q.m);
    auto it = std::find_if(q.timers.begin(), q.timers.end(),
                           [&](const Timer& tm) { return tm.hwnd == hwnd && tm.id == id; });
    if (it == q.timers.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    q.timers.erase(it);
    q.ArmTimerLocked();
    q.ChangedLocked();
    return true;
}

}  // namespace kv
