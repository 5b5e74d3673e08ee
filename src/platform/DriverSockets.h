#pragma once
// The last resort against a database driver that waits for a server without end: its sockets.
//
// A driver's own time-out ends a wait only while the server is silent, and a cancel needs the
// server's acknowledgement; a server that keeps sending a byte now and then, or never
// acknowledges, holds the driver's read for ever. The only thing that then ends the call is the
// connection going away under the driver. The database layer finds the sockets that a driver
// opened by comparing this process's sockets before and after the connection opens.
//
// Linux (DriverSockets_unix.cpp) reads /proc/self/fd and asks the kernel's TCP statistics; a
// system without them returns no sockets.
//
// Windows (DriverSockets_win.cpp) has no such last resort, and finds no sockets: a process cannot
// list its own sockets there (Winsock has no call for it; guessing handle values, or hooking the
// driver's socket calls, would touch handles that belong to other parts of the process), and
// shutdown() is not documented to end a receive already waiting in another thread. There the
// deadline rests on ODBC's own means (the login time-out, the drivers' query time-outs, the
// SQLCancel half a second past the time-out), and on giving the call up (DriverThread.h) when they
// do not end it. What that gives, measured under Wine with FreeTDS and a query time-out of 2 s
// (bounds of 9 s for the opening and 4 s for a statement): a silent server ends the opening after
// 4.1 s and a statement after 4.0 s through FreeTDS's own time-outs, as on Linux; a reply without
// end (which no cancel ends) is given up at the bound, inside the opening as after it. Under Wine
// the driver is the host's (through Wine's odbc32 and unixODBC), and its sockets are host
// descriptors that Winsock does not see either. Whether the server was still sending cannot be
// measured there: bytesReceived says so.
#include <cstdint>
#include <optional>
#include <vector>

// A socket descriptor of this process, with the inode that tells it apart from a later one that
// reuses the number.
struct SocketIdentity {
    int fd;
    unsigned long inode;
};

// The sockets open in this process now.
std::vector<SocketIdentity> openSockets();

// The sockets open now that were not in before (a descriptor number is reused once closed: the
// inode tells a new socket from an old one).
std::vector<SocketIdentity> socketsOpenedSince(const std::vector<SocketIdentity>& before);

// Bytes received so far from the peers of these sockets (TCP only), summed: whether a server sent
// anything between two moments. Sockets that are gone or reused count nothing. Empty where the
// system cannot count them.
std::optional<std::uint64_t> bytesReceived(const std::vector<SocketIdentity>& sockets);

// Shuts both directions of each socket that is still the one recorded, so that a driver blocked
// on it returns with an error. The descriptors stay open: they are the driver's to close.
void shutDownSockets(const std::vector<SocketIdentity>& sockets);
