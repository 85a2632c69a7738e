#pragma once
// Socket layer: connections with time-outs and the bandwidth limiter. Sockets are plain
// POSIX descriptors; -1 means "no socket".

namespace kv {

// Closes `socket` at once, without lingering over unsent data (the peer sees a reset),
// and sets it to -1. Does nothing when `socket` is already -1.
void HardClose(int& socket);

}  // namespace kv
