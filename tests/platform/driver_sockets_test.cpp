// The last resort against a database driver that waits without end: finding the sockets a
// driver opened, telling whether its server sent anything, and cutting a socket under a blocked
// read without touching a descriptor number that was reused meanwhile.
#include "platform/DriverSockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connected TCP pair on loopback, and its listener.
struct LoopbackPair {
    int listener = -1, client = -1, server = -1;
    LoopbackPair() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), size) != 0 ||
            ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
            return;
        client = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(client, reinterpret_cast<sockaddr*>(&addr), size) != 0)
            return;
        server = ::accept(listener, nullptr, nullptr);
    }
    ~LoopbackPair() {
        for (int fd : {listener, client, server})
            if (fd >= 0)
                ::close(fd);
    }
    bool ok() const { return listener >= 0 && client >= 0 && server >= 0; }
};

bool holds(const std::vector<SocketIdentity>& sockets, int fd) {
    return std::any_of(sockets.begin(), sockets.end(),
                       [fd](const SocketIdentity& s) { return s.fd == fd; });
}

SocketIdentity identityOf(int fd) {
    for (const SocketIdentity& s : openSockets())
        if (s.fd == fd)
            return s;
    return {-1, 0};
}

} // namespace

TEST(DriverSockets, OnlyTheSocketsOpenedSinceAreFound) {
    LoopbackPair old;
    ASSERT_TRUE(old.ok());
    const std::vector<SocketIdentity> before = openSockets();
    EXPECT_TRUE(holds(before, old.client));
    LoopbackPair fresh;
    ASSERT_TRUE(fresh.ok());
    const std::vector<SocketIdentity> opened = socketsOpenedSince(before);
    EXPECT_EQ(opened.size(), 3u);
    for (int fd : {fresh.listener, fresh.client, fresh.server})
        EXPECT_TRUE(holds(opened, fd)) << fd;
    for (int fd : {old.listener, old.client, old.server})
        EXPECT_FALSE(holds(opened, fd)) << fd;
}

// Whether the server sent anything between two moments: counted on arrival, read or not.
TEST(DriverSockets, ReceivedBytesCountWhatThePeerSent) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    const std::vector<SocketIdentity> client = {identityOf(pair.client)};
    const std::optional<std::uint64_t> counted = bytesReceived(client);
    ASSERT_TRUE(counted.has_value()); // this system can count them
    const std::uint64_t start = *counted;
    const char data[1000] = {};
    ASSERT_EQ(::send(pair.server, data, sizeof data, 0), 1000);
    std::uint64_t now = start;
    for (int i = 0; i < 100 && now < start + 1000; ++i) { // loopback delivers at once
        now = bytesReceived(client).value_or(0);
        if (now < start + 1000)
            ::usleep(10000);
    }
    EXPECT_EQ(now, start + 1000);
    EXPECT_EQ(bytesReceived({{pair.client, client[0].inode + 1}}),
              std::uint64_t{0}); // not that socket
}

// A read blocked on the socket returns once it is shut; a descriptor number that now belongs to
// another socket is left alone.
TEST(DriverSockets, ShutDownEndsABlockedReadAndSparesAReusedNumber) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    const SocketIdentity client = identityOf(pair.client);
    auto read = std::async(std::launch::async, [fd = pair.client] {
        char c;
        return ::recv(fd, &c, 1, 0);
    });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    shutDownSockets({client});
    ASSERT_EQ(read.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(read.get(), 0);

    LoopbackPair other;
    ASSERT_TRUE(other.ok());
    const SocketIdentity stale = identityOf(other.client);
    // The number of other.client now names the connected socket of a third pair.
    LoopbackPair third;
    ASSERT_TRUE(third.ok());
    ASSERT_EQ(::dup2(third.client, other.client), other.client);
    shutDownSockets({stale});
    ASSERT_EQ(::send(third.server, "x", 1, 0), 1);
    char c = 0;
    EXPECT_EQ(::recv(other.client, &c, 1, 0), 1);
    EXPECT_EQ(c, 'x');
}
