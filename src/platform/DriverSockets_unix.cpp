#include "DriverSockets.h"

// This half reads /proc/self/fd and asks the kernel's TCP statistics.

#include <cstddef>
#include <cstdlib>
#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

// Whether fd is still the socket that was recorded.
bool stillTheSame(const SocketIdentity& socket) {
    struct stat st {};
    return ::fstat(socket.fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == socket.inode;
}

} // namespace

std::vector<SocketIdentity> openSockets() {
    std::vector<SocketIdentity> sockets;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return sockets;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own || fd < 0 || fd > INT32_MAX)
            continue;
        struct stat st {};
        if (::fstat(static_cast<int>(fd), &st) == 0 && S_ISSOCK(st.st_mode))
            sockets.push_back({static_cast<int>(fd), static_cast<unsigned long>(st.st_ino)});
    }
    ::closedir(dir);
    return sockets;
}

std::optional<std::uint64_t> bytesReceived(const std::vector<SocketIdentity>& sockets) {
    std::uint64_t total = 0;
    for (const SocketIdentity& socket : sockets) {
        struct tcp_info info {};
        socklen_t size = sizeof info;
        if (stillTheSame(socket) &&
            ::getsockopt(socket.fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
            size >=
                offsetof(struct tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
            total += info.tcpi_bytes_received;
    }
    return total;
}

void shutDownSockets(const std::vector<SocketIdentity>& sockets) {
    for (const SocketIdentity& socket : sockets)
        if (stillTheSame(socket))
            ::shutdown(socket.fd, SHUT_RDWR);
}
