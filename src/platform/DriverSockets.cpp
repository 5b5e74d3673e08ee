#include "DriverSockets.h"

#include <algorithm>

std::vector<SocketIdentity> socketsOpenedSince(const std::vector<SocketIdentity>& before) {
    std::vector<SocketIdentity> opened;
    for (const SocketIdentity& socket : openSockets()) {
        const bool old = std::any_of(before.begin(), before.end(), [&](const SocketIdentity& b) {
            return b.fd == socket.fd && b.inode == socket.inode;
        });
        if (!old)
            opened.push_back(socket);
    }
    return opened;
}
