#include "net/socket.h"

#include <sys/socket.h>
#include <unistd.h>

namespace kv {

void HardClose(int& socket) {
    if (socket < 0) return;
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

}  // namespace kv
