#pragma once
// Socket layer: connections with time-outs and the bandwidth limiter. Sockets are plain
// POSIX descriptors; -1 means "no socket".
//
// Every waiting operation polls its socket, the calling thread's queue descriptor and its
// deadline together. Results:
//    1 (or a byte count > 0)  success
//    0                        time-out
//   -1                        failure (socket error, refused connection, resource failure)
//   -2                        a message arrived for the calling thread; it is still queued,
//                             so the caller's next PeekMessage / GetMessage finds it
//   -3                        the peer closed the connection (Receive, when allowed)
// Messages sent (SendMessage) to the waiting thread are handled during the wait and do
// not interrupt it.
//
// Logging goes through the hooks below (the job log lives above this layer); without
// hooks nothing is logged and bandwidth requests have no window to go to.
#include "platform/msg.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace kv {

// ---- hooks, installed once at start-up before any engine thread runs

struct NetHooks {
    // Logs string `id` of the current language as an entry of `type` (LOG_NORMAL ...).
    std::function<void(unsigned id, uint32_t type)> LogMessage;
    // Logs string `id` with its one "%d" filled with `number`.
    std::function<void(unsigned id, uint32_t type, int64_t number)> LogNumber;
    // Logs a text as it is (the requests that Send puts out).
    std::function<void(std::string_view text, uint32_t type)> LogText;
    // The window that handles MSG_BANDWIDTH_REQUEST (the main window); nullptr: none.
    std::function<HWND()> MainWindow;
};
void SetNetHooks(NetHooks hooks);

// ---- sockets

// A TCP stream socket (IPv4), non-blocking, closed on exec; -1 on failure (errno set).
int OpenSocket();

// Closes `socket` at once, without lingering over unsent data (the peer sees a reset),
// removes it from the open-socket list and sets it to -1. Does nothing when `socket` is
// already -1.
void HardClose(int& socket);

// The program's own established connections (connect or accept succeeded, not yet
// closed); at most 100 are counted.
int OpenSocketCount();
inline constexpr int MAX_OPEN_SOCKETS = 100;

// Resolves `name` to its first IPv4 address. A dotted address is taken as it is, without
// logging. Otherwise logs "Resolve host address ..." ("Resolve proxy address ..." when
// `isProxy`), looks the name up on a helper thread with no time-out and logs the outcome.
// 1 / -1 / -2 (an interrupted lookup is abandoned; its helper ends on its own).
int Resolve(const char* name, bool isProxy, in_addr& address);

// Connects with a time-out of `timeoutSeconds`: 1 (the socket joins the open-socket
// list) / 0 / -1 / -2. After 0 or -2 the attempt may still be pending: close the socket.
int Connect(int socket, const sockaddr* address, socklen_t length, int timeoutSeconds);
int Connect(int socket, const sockaddr_storage& address, int timeoutSeconds);

// Accepts one connection within `timeoutSeconds`: 1 with `accepted` set (it joins the
// open-socket list) / 0 / -1 / -2.
int Accept(int listener, int timeoutSeconds, int& accepted);

// Logs `logText` (or, when nullptr, the bytes themselves) as a request entry, then sends
// all `length` bytes. `length` or -1. Waits for buffer space without a time-out.
int64_t Send(int socket, const void* bytes, int64_t length, int flags, const char* logText);

// Receives up to `wanted` bytes within `timeoutSeconds`: the count / 0 / -1 / -2 / -3.
// 0 and -1 log "Error occurs when receiving data". The peer closing gives -3 when
// `closedAllowed`, else -1. With `limited` and a bandwidth mode other than 0 the bytes are
// first granted by the limiter (see below); the count may then be less than what is
// ready.
int64_t Receive(int socket, void* buffer, int64_t wanted, int flags, int timeoutSeconds,
                bool limited, bool closedAllowed);

// Receives exactly `length` bytes (the peer closing early is -1): 1 / 0 / -1 / -2. A
// length below 1 gives 1 at once.
int ReceiveExactly(int socket, void* buffer, int64_t length, int flags, int timeoutSeconds,
                   bool limited);

// Waits `seconds` before the next retry: 0 at once for 0 seconds; otherwise logs "Wait %d
// seconds for next retry" and gives 0 when the time is up, -2 on a message.
int WaitForRetry(int seconds);

// ---- bandwidth limiter
//
// A receiving thread asks the main window for its bytes with MSG_BANDWIDTH_REQUEST
// (wParam the byte count, lParam a BandwidthEvent handed over with BandwidthEventParam)
// and waits until the event is set. The queue and the budget belong to the main window's
// thread: HandleBandwidthRequest and BandwidthTick are called only there.

// A manual-reset event that a waiter polls. A waiter that gives up marks it abandoned, so
// that the limiter drops its request instead of paying for it.
class BandwidthEvent {
public:
    BandwidthEvent();  // Valid() is false when the system refused a descriptor
    ~BandwidthEvent();
    BandwidthEvent(const BandwidthEvent&) = delete;
    BandwidthEvent& operator=(const BandwidthEvent&) = delete;

    bool Valid() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    void Set();
    void Reset();
    bool IsSet() const;
    void Abandon() { abandoned_.store(true); }
    bool Abandoned() const { return abandoned_.load(); }

private:
    int fd_ = -1;
    std::atomic<bool> abandoned_{false};
};

// Wraps `event` for the lParam of MSG_BANDWIDTH_REQUEST; HandleBandwidthRequest takes it
// back. (When the post fails, free it with ReleaseBandwidthEventParam.)
LPARAM BandwidthEventParam(std::shared_ptr<BandwidthEvent> event);
void ReleaseBandwidthEventParam(LPARAM param);

// The handler of MSG_BANDWIDTH_REQUEST. Mode 0 sets the event at once; otherwise, when
// nobody waits and the bytes fit the budget, they are paid and the event is set at once;
// else the request joins the tail of the queue. A request that can't be queued shows the
// failure box "Malloc" and is let through at once, so that its thread never waits for
// ever. Returns 0.
LRESULT HandleBandwidthRequest(WPARAM bytes, LPARAM event);

// The once-a-second tick. Mode 0: no limit; 1: `bandWidth` bytes per second; 2:
// `maxBandWidth` - `yieldBandWidth` × outer connections, at least 0, where the outer
// connections are `systemConnections` (the system's TCP connections being set up or
// established; -1 when they can't be counted, giving 0) minus OpenSocketCount(). The
// budget is first cleared when nobody waits, then refilled; waiters are released from the
// head while their bytes fit (in mode 0 all of them). Returns the amount (-1 in mode 0).
int64_t BandwidthTick(int mode, int64_t bandWidth, int64_t maxBandWidth,
                      int64_t yieldBandWidth, int64_t systemConnections);

// Pacing: when a second's amount is above 8 blocks, only an eighth of it is spendable at
// the tick and another eighth every 125 ms after it (the request size is an eighth too, so
// the per-second amount and rules stay). Requests that arrive take what has become due;
// queued waiters are released by BandwidthPace, which the main window calls from a
// 125 ms timer (without it they wait for the next tick). `msSinceTick` lets a test say
// how far into the second it is; the real time counts when it is later.
void BandwidthPace(int64_t msSinceTick = -1);

// The mode receiving threads obey until the next tick; BandwidthTick sets it too. Set it
// from the user-interface thread when the preferences change.
void SetBandwidthMode(int mode);
int BandwidthMode();

// What the limiter holds now (for the main window and tests): the budget of this second,
// and the part of it that is spendable now.
int64_t BandwidthBudget();
int64_t BandwidthSpendable();
std::size_t BandwidthQueueLength();

// The most bytes one limited receive asks for: one block (1024 bytes) while the limit is
// low, a run of whole blocks up to an eighth of the per-second amount when it is high,
// never more than `wanted`.
int64_t BandwidthRequestSize(int64_t wanted);

}  // namespace kv
