#pragma once
// Thread queues, window handles, posted and sent messages, and window timers.
//
// Every thread that touches this layer gets a message queue; a thread is known by a
// `ThreadId` (0 = none), and its queue lives until the thread ends. Posting to a thread
// that has ended fails with ERROR_INVALID_THREAD_ID (1444).
//
// A window here is a handle (`HWND`) with a table of handlers keyed by message number.
// It belongs to the thread that created it: its posted messages and its timers are
// delivered through that thread's queue, and a message sent to it from another thread
// waits until that thread has run the handler. When the owning thread ends, its windows
// go with it.
//
// Retrieval order on a thread: first every message sent to it by other threads is
// handled (inside the call), then posted messages in the order they were posted, then the
// quit request, then due timers.
//
// Sent messages are handled by the owning thread only while it is inside one of:
// PeekMessage, GetMessage, RunMessageLoop, ProcessPendingMessages, SendMessage (waiting
// for another thread), PostMessageRetry / PostThreadMessageRetry (between attempts).
// Two threads that send to each other's windows at the same time therefore never
// deadlock. A thread blocked anywhere else (a join, a plain mutex) does not handle them.
//
// Descriptor: each queue has one pollable descriptor (QueueDescriptor) that is readable
// exactly while the queue has input: a posted message, a message sent by another thread,
// a quit request, or a due timer; whatever filter a later peek uses. It stays readable
// when PeekMessage leaves messages queued (PM_NOREMOVE, or a filter that skips them) and
// becomes unreadable once everything is taken. A socket wait polls it together with its
// socket (MsgWaitForDescriptors); a Qt front end puts a socket notifier on the UI thread's
// descriptor and calls ProcessPendingMessages when it fires.
#include "platform/winerror.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <unordered_map>

struct pollfd;

namespace kv {

using ThreadId = uint32_t;
struct WindowHandleTag;
using HWND = WindowHandleTag*;  // opaque, never dereferenced; nullptr = none
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

inline constexpr uint32_t WM_NULL = 0x0000;
inline constexpr uint32_t WM_DESTROY = 0x0002;
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_TIMER = 0x0113;
inline constexpr uint32_t WM_USER = 0x0400;

// Last-error codes set by this layer: 5, 87, 1400, 1444, 1816 (platform/winerror.h).

// The calling thread's last error. It is errno, so the failure box (which appends errno)
// shows the code of the call that failed just before.
int GetLastError();
void SetLastError(int code);

struct Message {
    HWND hwnd = nullptr;  // nullptr: a thread message
    uint32_t message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// ---- threads

// The calling thread's id; its queue is created on first use.
ThreadId GetCurrentThreadId();

// True while `id` names a thread whose queue exists.
bool IsThreadAlive(ThreadId id);

// Starts `body` on a new thread whose queue exists before this returns, so that posts
// to `id` are accepted at once. The queue goes when `body` returns.
std::thread StartThread(ThreadId& id, std::function<void()> body);

// ---- windows

using MessageHandler = std::function<LRESULT(WPARAM, LPARAM)>;
using HandlerTable = std::unordered_map<uint32_t, MessageHandler>;
// Called for messages without an entry in the table; without one they give 0.
using DefaultHandler = std::function<LRESULT(uint32_t message, WPARAM, LPARAM)>;

// Creates a window owned by the calling thread. Never fails.
HWND CreateMessageWindow(const std::string& className, HandlerTable handlers,
                         DefaultHandler fallback = {});

// Sets (or, with an empty handler, removes) one entry of the window's table. Only the
// owning thread may change it (else ERROR_ACCESS_DENIED).
bool SetMessageHandler(HWND hwnd, uint32_t message, MessageHandler handler);

// Destroys a window of the calling thread: its WM_DESTROY handler runs first, then the
// handle, its timers and its queued posted messages are gone. Another thread's window is
// refused (ERROR_ACCESS_DENIED), an unknown handle fails (ERROR_INVALID_WINDOW_HANDLE).
bool DestroyWindow(HWND hwnd);

bool IsWindow(HWND hwnd);
ThreadId GetWindowThreadId(HWND hwnd);  // 0 when no such window
std::string GetWindowClassName(HWND hwnd);

// ---- posting and sending

// Queues a thread message (hwnd nullptr). Fails with ERROR_INVALID_THREAD_ID when the
// thread is gone, ERROR_NOT_ENOUGH_QUOTA when its queue is full.
bool PostThreadMessage(ThreadId thread, uint32_t message, WPARAM wParam, LPARAM lParam);

// Queues a message for `hwnd` on its owner's queue; nullptr posts a thread message to the
// calling thread. Fails with ERROR_INVALID_WINDOW_HANDLE when the window is gone,
// ERROR_NOT_ENOUGH_QUOTA when the owner's queue is full.
bool PostMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam);

// Runs the window's handler and returns its result: directly on the owning thread,
// otherwise by waiting until the owning thread has run it (handling messages sent to the
// caller meanwhile). Gives 0 when the window is gone or its thread ends first.
LRESULT SendMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam);

// Asks the calling thread's loop to end: GetMessage returns false (WM_QUIT, wParam =
// exitCode) once the posted messages before it are taken.
void PostQuitMessage(int exitCode);

// Repeats the post while it fails and the window still exists; false when the window is
// gone. Between attempts the caller handles messages sent to it and sleeps 1 ms.
bool PostMessageRetry(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam);

// Repeats the post until it is accepted (true) or the thread is gone (false, 1444).
bool PostThreadMessageRetry(ThreadId thread, uint32_t message, WPARAM wParam, LPARAM lParam);

// Most posted messages a queue holds for posts from other threads (default 10000); a
// thread's posts to its own queue are never refused for quota.
void SetPostedMessageLimit(std::size_t limit);
std::size_t PostedMessageLimit();

// ---- retrieval

inline constexpr unsigned PM_NOREMOVE = 0;
inline constexpr unsigned PM_REMOVE = 1;

// Handles messages sent to the calling thread, then looks for a posted message, the quit
// request or a due timer. `filter` nullptr takes every message of the thread (and the
// quit request); a window takes only that window's messages and timers. A range of
// 0..0 takes every number, else minMessage..maxMessage inclusive (the quit request is
// taken whatever the range). WM_TIMER: wParam = timer id; removing it restarts the
// timer's period.
bool PeekMessage(Message& msg, HWND filter, uint32_t minMessage, uint32_t maxMessage,
                 unsigned removeFlags);

// Blocks until PeekMessage with PM_REMOVE succeeds. False when the message is WM_QUIT.
bool GetMessage(Message& msg, HWND filter = nullptr, uint32_t minMessage = 0,
                uint32_t maxMessage = 0);

// Runs the handler of the message's window; a thread message, a window of another thread
// or a gone window give 0.
LRESULT DispatchMessage(const Message& msg);

// The headless loop: gets and dispatches until WM_QUIT and returns its exit code. Thread
// messages go to `onThreadMessage` when given.
int RunMessageLoop(const std::function<void(const Message&)>& onThreadMessage = {});

// Handles and dispatches what is pending now without waiting (what arrives meanwhile is
// left for the next call; the descriptor then stays readable). False when WM_QUIT was
// taken, its exit code in `quitCode`.
bool ProcessPendingMessages(int* quitCode = nullptr,
                            const std::function<void(const Message&)>& onThreadMessage = {});

// The calling thread's queue descriptor (see above); -1 when the system refused one.
int QueueDescriptor();

enum class WaitResult {
    QueueInput,  // the queue has input (it wins when a descriptor is ready as well)
    Descriptor,  // one of the given descriptors is ready (revents filled in)
    Timeout,
    Failed,      // poll failed or the queue has no descriptor; errno tells why
};

// Waits for one of `fds` (events as set; revents are filled in), for input on the
// calling thread's queue, or for `timeoutMs` (-1: no limit). Does not take or handle
// any message.
WaitResult MsgWaitForDescriptors(pollfd* fds, std::size_t count, int timeoutMs);

// ---- timers

// Starts or restarts timer `id` of a window of the calling thread: WM_TIMER (wParam id)
// arrives every `periodMs` (at least 10) through the owner's queue. A timer that fell
// behind gives one WM_TIMER, never a backlog. Fails for an unknown window or one of
// another thread.
bool SetTimer(HWND hwnd, uintptr_t id, uint32_t periodMs);
bool KillTimer(HWND hwnd, uintptr_t id);

}  // namespace kv
