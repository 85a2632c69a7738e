#include "net/socket.h"

#include "engine/messages.h"  // message numbers and log entry types (constants only)
#include "platform/boxes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

namespace kv {
namespace {

// Log texts of the string table.
constexpr unsigned STR_ERROR_RECEIVING = 3003;
constexpr unsigned STR_CANT_RESOLVE_PROXY = 3008;
constexpr unsigned STR_CANT_RESOLVE_HOST = 3014;
constexpr unsigned STR_RESOLVE_HOST = 3020;
constexpr unsigned STR_RESOLVE_PROXY = 3021;
constexpr unsigned STR_WAIT_FOR_RETRY = 3022;
constexpr unsigned STR_PROXY_RESOLVED = 3029;
constexpr unsigned STR_HOST_RESOLVED = 3030;

constexpr int64_t kBlock = 1024;

// ---- hooks

std::mutex gHooksMutex;
NetHooks& Hooks() {
    static NetHooks hooks;
    return hooks;
}

void Log(unsigned id, uint32_t type) {
    std::function<void(unsigned, uint32_t)> f;
    {
        std::lock_guard lock(gHooksMutex);
        f = Hooks().LogMessage;
    }
    if (f) f(id, type);
}

void LogNumber(unsigned id, uint32_t type, int64_t number) {
    std::function<void(unsigned, uint32_t, int64_t)> f;
    {
        std::lock_guard lock(gHooksMutex);
        f = Hooks().LogNumber;
    }
    if (f) f(id, type, number);
}

void LogRaw(std::string_view text, uint32_t type) {
    std::function<void(std::string_view, uint32_t)> f;
    {
        std::lock_guard lock(gHooksMutex);
        f = Hooks().LogText;
    }
    if (f) f(text, type);
}

HWND LimiterWindow() {
    std::function<HWND()> f;
    {
        std::lock_guard lock(gHooksMutex);
        f = Hooks().MainWindow;
    }
    return f ? f() : nullptr;
}

// ---- the open-socket list

std::mutex gOpenMutex;
std::vector<int>& OpenSockets() {
    static std::vector<int> list;
    return list;
}

void AddOpenSocket(int s) {
    std::lock_guard lock(gOpenMutex);
    auto& list = OpenSockets();
    if (list.size() >= static_cast<std::size_t>(MAX_OPEN_SOCKETS)) return;  // full: not counted
    if (std::find(list.begin(), list.end(), s) == list.end()) list.push_back(s);
}

void RemoveOpenSocket(int s) {
    std::lock_guard lock(gOpenMutex);
    auto& list = OpenSockets();
    list.erase(std::remove(list.begin(), list.end(), s), list.end());
}

// ---- the wait shared by every operation

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

enum class Wake { Ready, Timeout, Message, Failed };

Deadline SecondsFromNow(int seconds) {
    return Clock::now() + std::chrono::seconds(std::max(0, seconds));
}

// Waits for one of `fds`, a message of the calling thread or the deadline (none: no
// limit). Messages sent to the thread are handled here and the wait goes on; any other
// input (a posted message, the quit request, a due timer) ends it and stays queued.
Wake WaitFor(pollfd* fds, std::size_t count, const Deadline& deadline) {
    for (;;) {
        int ms = -1;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            ms = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1 << 30));
        }
        for (std::size_t i = 0; i < count; ++i) fds[i].revents = 0;
        switch (MsgWaitForDescriptors(fds, count, ms)) {
            case WaitResult::QueueInput: {
                Message msg;
                if (PeekMessage(msg, nullptr, 0, 0, PM_NOREMOVE)) return Wake::Message;
                continue;  // only sent messages, handled by the peek
            }
            case WaitResult::Descriptor:
                return Wake::Ready;
            case WaitResult::Timeout:
                if (!deadline || Clock::now() >= *deadline) return Wake::Timeout;
                continue;
            case WaitResult::Failed:
                if (errno == EINTR) continue;
                return Wake::Failed;
        }
    }
}

bool SetNonBlocking(int s) {
    int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) return false;
    if (flags & O_NONBLOCK) return true;
    return ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

// ---- the bandwidth limiter (main window's thread)

struct Waiter {
    int64_t Bytes = 0;
    std::shared_ptr<BandwidthEvent> Event;
};

std::mutex gLimiterMutex;  // only one thread uses it; the lock guards against misuse
std::deque<Waiter>& Queue() {
    static std::deque<Waiter> queue;
    return queue;
}
int64_t gBudget = 0;
std::atomic<int> gMode{0};
std::atomic<int64_t> gAmount{-1};

// Pacing within the second. A high per-second amount is not handed out all at the tick:
// an eighth is spendable at once and another eighth becomes spendable every 125 ms, so
// that a window of any length holds the limit to within an eighth of a second's worth
// (a whole second granted in advance would let a 30 s window see 31 allowances).
inline constexpr int kPaceSteps = 8;
inline constexpr int64_t kPaceStepMs = 125;
int64_t gHeld = 0;          // part of this second's amount not yet spendable
int64_t gPacedAmount = 0;   // the amount being paced this second; 0 = no pacing
int gStepsReleased = 0;     // eighths of gPacedAmount made spendable so far
std::chrono::steady_clock::time_point gTickAt;

bool Paced(int64_t amount) { return amount > kPaceSteps * static_cast<int64_t>(kBlock); }

// Moves the eighths that are due `msSinceTick` after the tick from held to spendable.
void ReleaseDueSteps(int64_t msSinceTick) {
    if (gPacedAmount <= 0 || gHeld <= 0) return;
    int due = static_cast<int>(std::min<int64_t>(kPaceSteps, 1 + msSinceTick / kPaceStepMs));
    if (due <= gStepsReleased) return;
    int64_t move = due == kPaceSteps
                       ? gHeld
                       : gPacedAmount * due / kPaceSteps -
                             gPacedAmount * gStepsReleased / kPaceSteps;
    move = std::min(move, gHeld);
    gHeld -= move;
    gBudget += move;
    gStepsReleased = due;
}

int64_t MsSinceTick() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - gTickAt)
        .count();
}

// Sets the events of the waiters at the head of the queue whose bytes fit the budget.
void ReleaseWaiters(std::deque<Waiter>& queue) {
    while (!queue.empty() && queue.front().Bytes <= gBudget) {
        gBudget -= queue.front().Bytes;
        queue.front().Event->Set();
        queue.pop_front();
    }
}

void DropAbandoned(std::deque<Waiter>& queue) {
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [](const Waiter& w) { return !w.Event || w.Event->Abandoned(); }),
                queue.end());
}

// ---- the limited receive's side

// The thread's event; replaced when a wait was given up (the old one may still be queued).
thread_local std::shared_ptr<BandwidthEvent> tBandwidthEvent;

// Receive buffers this thread shrank while a limit applied.
thread_local std::unordered_set<int> tShrunk;

// While a limit applies the kernel should not read far ahead of it: keep the receive
// buffer near one second of the limit (4 KiB to 64 KiB). When the limit is gone, give the
// buffer room again.
void FitReceiveBuffer(int s, bool limitApplies) {
    if (limitApplies) {
        int64_t amount = gAmount.load();
        int want = static_cast<int>(std::clamp<int64_t>(amount < 0 ? 65536 : amount, 4096, 65536));
        int current = 0;
        socklen_t len = sizeof current;
        if (::getsockopt(s, SOL_SOCKET, SO_RCVBUF, &current, &len) == 0 &&
            current > 2 * want + 1024) {  // the kernel reports twice what was asked
            if (::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &want, sizeof want) == 0) {
                tShrunk.insert(s);
            }
        }
    } else if (!tShrunk.empty() && tShrunk.erase(s) != 0) {
        int roomy = 4 << 20;  // the system caps it at its own maximum
        (void)::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &roomy, sizeof roomy);
    }
}

// Asks the limiter for `bytes` and waits for the grant: 1 / -1 / -2.
int RequestBandwidth(int64_t bytes) {
    auto& event = tBandwidthEvent;
    if (!event || event->Abandoned()) event = std::make_shared<BandwidthEvent>();
    if (!event->Valid()) {
        FailureBox("CreateEvent");
        event.reset();
        return -1;
    }
    event->Reset();
    HWND window = LimiterWindow();
    if (!window) return 1;  // no limiter runs: nothing to wait for
    LPARAM param = BandwidthEventParam(event);
    if (!PostMessageRetry(window, MSG_BANDWIDTH_REQUEST, static_cast<WPARAM>(bytes), param)) {
        ReleaseBandwidthEventParam(param);
        return 1;  // the window is gone
    }
    pollfd p{event->Descriptor(), POLLIN, 0};
    switch (WaitFor(&p, 1, std::nullopt)) {
        case Wake::Ready:
            return 1;
        case Wake::Message:
            event->Abandon();
            return -2;
        case Wake::Timeout:
        case Wake::Failed:
            break;
    }
    FailureBox("WaitForSingleObject");
    event->Abandon();
    return -1;
}

// ---- name lookup on a helper thread

struct Lookup {
    std::string Name;
    int Done = -1;  // eventfd, readable when finished
    int Result = 0;
    in_addr Address{};
    ~Lookup() {
        if (Done >= 0) ::close(Done);
    }
};

void RunLookup(const std::shared_ptr<Lookup>& lookup) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(lookup->Name.c_str(), nullptr, &hints, &list);
    if (rc == 0 && list && list->ai_addr && list->ai_family == AF_INET) {
        lookup->Address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
        lookup->Result = 1;
    } else {
        lookup->Result = -1;
    }
    if (list) ::freeaddrinfo(list);
    uint64_t one = 1;
    (void)!::write(lookup->Done, &one, sizeof one);  // the eventfd write is the release
}

}  // namespace

void SetNetHooks(NetHooks hooks) {
    std::lock_guard lock(gHooksMutex);
    Hooks() = std::move(hooks);
}

// ---- sockets

int OpenSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void HardClose(int& socket) {
    if (socket < 0) return;
    RemoveOpenSocket(socket);
    // A zero linger time makes close() drop unsent data and reset the connection instead
    // of waiting for an orderly shutdown. Failing here (not a TCP socket) only loses that.
    linger noLinger{};
    noLinger.l_onoff = 1;
    noLinger.l_linger = 0;
    (void)::setsockopt(socket, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
    // On Linux the descriptor is released even when close() reports EINTR: never retry.
    (void)::close(socket);
    socket = -1;
}

int OpenSocketCount() {
    std::lock_guard lock(gOpenMutex);
    return static_cast<int>(OpenSockets().size());
}

int Resolve(const char* name, bool isProxy, in_addr& address) {
    if (!name) return -1;
    if (::inet_pton(AF_INET, name, &address) == 1) return 1;

    Log(isProxy ? STR_RESOLVE_PROXY : STR_RESOLVE_HOST, LOG_NORMAL);
    auto lookup = std::make_shared<Lookup>();
    lookup->Name = name;
    lookup->Done = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (lookup->Done < 0) return -1;
    try {
        std::thread([lookup] { RunLookup(lookup); }).detach();
    } catch (const std::system_error&) {
        return -1;
    }
    pollfd p{lookup->Done, POLLIN, 0};
    switch (WaitFor(&p, 1, std::nullopt)) {
        case Wake::Message:
            return -2;  // the helper finishes on its own and the result is dropped
        case Wake::Ready:
            break;
        case Wake::Timeout:
        case Wake::Failed:
            return -1;
    }
    if (lookup->Result != 1) {
        Log(isProxy ? STR_CANT_RESOLVE_PROXY : STR_CANT_RESOLVE_HOST, LOG_FAIL);
        return -1;
    }
    Log(isProxy ? STR_PROXY_RESOLVED : STR_HOST_RESOLVED, LOG_SUCCESS);
    address = lookup->Address;
    return 1;
}

int Connect(int socket, const sockaddr* address, socklen_t length, int timeoutSeconds) {
    if (socket < 0 || !address || !SetNonBlocking(socket)) return -1;
    Deadline deadline = SecondsFromNow(timeoutSeconds);
    int rc;
    do {
        rc = ::connect(socket, address, length);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        AddOpenSocket(socket);
        return 1;
    }
    if (errno != EINPROGRESS) return -1;
    pollfd p{socket, POLLOUT, 0};
    switch (WaitFor(&p, 1, deadline)) {
        case Wake::Ready: {
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
                return -1;
            }
            AddOpenSocket(socket);
            return 1;
        }
        case Wake::Timeout:
            return 0;
        case Wake::Message:
            return -2;
        case Wake::Failed:
            break;
    }
    return -1;
}

int Connect(int socket, const sockaddr_storage& address, int timeoutSeconds) {
    socklen_t length = address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    return Connect(socket, reinterpret_cast<const sockaddr*>(&address), length, timeoutSeconds);
}

int Accept(int listener, int timeoutSeconds, int& accepted) {
    accepted = -1;
    if (listener < 0 || !SetNonBlocking(listener)) return -1;
    Deadline deadline = SecondsFromNow(timeoutSeconds);
    for (;;) {
        int s = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (s >= 0) {
            AddOpenSocket(s);
            accepted = s;
            return 1;
        }
        // A connection that was reset before it was taken is no failure of the listener.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
            errno != ECONNABORTED) {
            return -1;
        }
        pollfd p{listener, POLLIN, 0};
        switch (WaitFor(&p, 1, deadline)) {
            case Wake::Ready:
                continue;
            case Wake::Timeout:
                return 0;
            case Wake::Message:
                return -2;
            case Wake::Failed:
                return -1;
        }
    }
}

int64_t Send(int socket, const void* bytes, int64_t length, int flags, const char* logText) {
    if (length < 0 || (length > 0 && !bytes)) return -1;
    const char* data = static_cast<const char*>(bytes);
    LogRaw(logText ? std::string_view(logText)
                   : std::string_view(data, static_cast<std::size_t>(length)),
           LOG_REQUEST);
    if (socket < 0) return -1;
    int64_t sent = 0;
    while (sent < length) {
        ssize_t n = ::send(socket, data + sent, static_cast<std::size_t>(length - sent),
                           flags | MSG_NOSIGNAL);  // a closed peer is an error, not a signal
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Full send buffer: wait for room (sends have no time-out).
            pollfd p{socket, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return -1;
            continue;
        }
        return -1;
    }
    return length;
}

int64_t Receive(int socket, void* buffer, int64_t wanted, int flags, int timeoutSeconds,
                bool limited, bool closedAllowed) {
    int64_t result = -1;
    int64_t n = 0;
    if (socket >= 0 && buffer && wanted > 0 && SetNonBlocking(socket)) {
        pollfd p{socket, POLLIN | POLLRDHUP, 0};
        switch (WaitFor(&p, 1, SecondsFromNow(timeoutSeconds))) {
            case Wake::Ready: {
                int ready = 0;
                if (::ioctl(socket, FIONREAD, &ready) != 0) {
                    result = -1;
                } else if (ready > 0) {
                    n = std::min<int64_t>(ready, wanted);
                    result = n;
                } else if (p.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) {
                    result = closedAllowed ? -3 : -1;  // end of stream or reset
                } else {
                    result = -1;
                }
                break;
            }
            case Wake::Timeout:
                result = 0;
                break;
            case Wake::Message:
                result = -2;
                break;
            case Wake::Failed:
                result = -1;
                break;
        }
    }
    if (result == 0 || result == -1) {
        Log(STR_ERROR_RECEIVING, LOG_FAIL);
        return result;
    }
    if (result < 0) return result;

    if (limited) {
        bool limitApplies = gMode.load() != 0;
        FitReceiveBuffer(socket, limitApplies);
        if (limitApplies) {
            n = BandwidthRequestSize(n);
            int grant = RequestBandwidth(n);
            if (grant != 1) return grant;
        }
    }
    ssize_t got;
    do {
        got = ::recv(socket, buffer, static_cast<std::size_t>(n), flags);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        Log(STR_ERROR_RECEIVING, LOG_FAIL);
        return -1;
    }
    return got;
}

int ReceiveExactly(int socket, void* buffer, int64_t length, int flags, int timeoutSeconds,
                   bool limited) {
    char* out = static_cast<char*>(buffer);
    int64_t have = 0;
    while (have < length) {
        int64_t got = Receive(socket, out + have, length - have, flags, timeoutSeconds,
                              limited, false);
        if (got <= 0) return static_cast<int>(got == -3 ? -1 : got);
        have += got;
    }
    return 1;
}

int WaitForRetry(int seconds) {
    if (seconds <= 0) return 0;
    LogNumber(STR_WAIT_FOR_RETRY, LOG_NORMAL, seconds);
    switch (WaitFor(nullptr, 0, SecondsFromNow(seconds))) {
        case Wake::Timeout:
            return 0;
        case Wake::Message:
            return -2;
        case Wake::Ready:
        case Wake::Failed:
            break;
    }
    return -1;
}

// ---- bandwidth limiter

BandwidthEvent::BandwidthEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

BandwidthEvent::~BandwidthEvent() {
    if (fd_ >= 0) ::close(fd_);
}

void BandwidthEvent::Set() {
    if (fd_ < 0) return;
    uint64_t one = 1;
    (void)!::write(fd_, &one, sizeof one);
}

void BandwidthEvent::Reset() {
    if (fd_ < 0) return;
    uint64_t value = 0;
    (void)!::read(fd_, &value, sizeof value);  // non-blocking: nothing to take is fine
}

bool BandwidthEvent::IsSet() const {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

LPARAM BandwidthEventParam(std::shared_ptr<BandwidthEvent> event) {
    return reinterpret_cast<LPARAM>(new std::shared_ptr<BandwidthEvent>(std::move(event)));
}

void ReleaseBandwidthEventParam(LPARAM param) {
    delete reinterpret_cast<std::shared_ptr<BandwidthEvent>*>(param);
}

LRESULT HandleBandwidthRequest(WPARAM bytes, LPARAM param) {
    if (!param) return 0;
    std::shared_ptr<BandwidthEvent> event;
    {
        std::unique_ptr<std::shared_ptr<BandwidthEvent>> holder(
            reinterpret_cast<std::shared_ptr<BandwidthEvent>*>(param));
        event = std::move(*holder);
    }
    if (!event || event->Abandoned()) return 0;
    const int64_t n = static_cast<int64_t>(bytes);
    std::lock_guard lock(gLimiterMutex);
    auto& queue = Queue();
    DropAbandoned(queue);
    ReleaseDueSteps(MsSinceTick());
    if (gMode.load() == 0) {
        event->Set();
    } else if (queue.empty() && n <= gBudget) {
        gBudget -= n;
        event->Set();
    } else {
        try {
            queue.push_back(Waiter{n, event});
        } catch (const std::bad_alloc&) {
            FailureBox("Malloc");
            event->Set();  // never leave the thread waiting for ever
        }
    }
    return 0;
}

int64_t BandwidthTick(int mode, int64_t bandWidth, int64_t maxBandWidth, int64_t yieldBandWidth,
                      int64_t systemConnections) {
    int64_t amount = -1;
    if (mode == 1) {
        amount = std::max<int64_t>(0, bandWidth);
    } else if (mode == 2) {
        int64_t outer = systemConnections < 0
                            ? 0
                            : std::max<int64_t>(0, systemConnections - OpenSocketCount());
        amount = std::max<int64_t>(0, maxBandWidth - yieldBandWidth * outer);
    } else {
        mode = 0;
    }
    gMode.store(mode);
    gAmount.store(amount);

    std::lock_guard lock(gLimiterMutex);
    auto& queue = Queue();
    DropAbandoned(queue);
    gBudget += gHeld;  // what this second did not release yet counts as unspent
    gHeld = 0;
    if (queue.empty()) gBudget = 0;  // allowance nobody asked for is not saved up
    if (amount == -1) {
        gBudget = 0;
    } else {
        gBudget += amount;
    }
    gTickAt = std::chrono::steady_clock::now();
    gPacedAmount = 0;
    gStepsReleased = 0;
    if (mode != 0 && Paced(amount)) {
        gPacedAmount = amount;
        gHeld = std::min(gBudget, amount - amount / kPaceSteps);
        gBudget -= gHeld;
        gStepsReleased = 1;
    }
    if (mode == 0) {
        for (auto& w : queue) w.Event->Set();
        queue.clear();
    } else {
        ReleaseWaiters(queue);
    }
    return amount;
}

void BandwidthPace(int64_t msSinceTick) {
    std::lock_guard lock(gLimiterMutex);
    auto& queue = Queue();
    DropAbandoned(queue);
    ReleaseDueSteps(std::max(msSinceTick, MsSinceTick()));
    if (gMode.load() != 0) ReleaseWaiters(queue);
}

void SetBandwidthMode(int mode) { gMode.store(mode == 1 || mode == 2 ? mode : 0); }

int BandwidthMode() { return gMode.load(); }

int64_t BandwidthBudget() {
    std::lock_guard lock(gLimiterMutex);
    return gBudget + gHeld;
}

int64_t BandwidthSpendable() {
    std::lock_guard lock(gLimiterMutex);
    return gBudget;
}

std::size_t BandwidthQueueLength() {
    std::lock_guard lock(gLimiterMutex);
    auto& queue = Queue();
    return static_cast<std::size_t>(
        std::count_if(queue.begin(), queue.end(),
                      [](const Waiter& w) { return w.Event && !w.Event->Abandoned(); }));
}

int64_t BandwidthRequestSize(int64_t wanted) {
    if (gMode.load() == 0) return wanted;
    int64_t amount = gAmount.load();
    int64_t chunk = kBlock;
    if (amount > 8 * kBlock) chunk = amount / 8 / kBlock * kBlock;
    return std::min(wanted, chunk);
}

}  // namespace kv
