#pragma once
// The socket layer's errors in WinSock's terms: the codes the socket calls report, the one place
// that turns a POSIX errno into such a code, and the per-thread "last error" that WinSock callers
// read after a call returned SOCKET_ERROR. On Windows the calls report Winsock's own codes.

// WinSock error codes the socket layer reports. The system's Winsock header defines the same
// names as macros with the same values; a platform file that includes it first keeps those.
#ifndef WSAEINTR
enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEMSGSIZE = 10040,
    WSAEADDRINUSE = 10048,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSANOTINITIALISED = 10093,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};
#endif

// Errors the table has no row for are reported as this base plus the POSIX error number, so
// that they are never mistaken for a known code (least of all for "would block").
constexpr int WS_UNKNOWN_ERROR_BASE = 12000;

// The WinSock code for a POSIX errno value (0 stays 0). On Windows the calls report WinSock codes
// themselves: a code of WinSock's range is returned as it is.
int TranslateSocketError(int posixErrno);

int WsGetLastError();
void WsSetLastError(int code);
