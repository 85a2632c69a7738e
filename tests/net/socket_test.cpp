#include "net/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kv {
namespace {

TEST(HardClose, ResetsTheConnectionAndLeavesMinusOne) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);

    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(client, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    const int fd = client;
    HardClose(client);
    EXPECT_EQ(client, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the descriptor is released

    // An orderly close would give the peer end-of-file (0); a hard close resets.
    char byte = 0;
    errno = 0;
    EXPECT_EQ(recv(peer, &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);

    HardClose(client);  // already closed: nothing happens
    EXPECT_EQ(client, -1);
    close(peer);
    close(listener);
}

}  // namespace
}  // namespace kv
