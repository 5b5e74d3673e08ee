#pragma once
// Stand-ins for the WinSock 1.1 calls the socket component makes, on non-blocking IPv4 BSD
// sockets. They keep WinSock's conventions: 16-bit socket handles with 0xFFFF for none, results
// of -1 (SOCKET_ERROR) with the reason in WsGetLastError() as a WinSock code, and a connect that
// never completes at once (it says "would block" and reports its outcome as an FD_CONNECT notice,
// see SocketNotifier.h). Addresses and ports are in network byte order, as in sockaddr_in.
#include <QString>
#include <cstdint>

constexpr int WS_SOCKET_ERROR = -1;
constexpr quint16 WS_INVALID_SOCKET = 0xFFFF;
constexpr quint32 WS_INADDR_NONE = 0xFFFFFFFFu;

// WinSock error codes the stand-ins produce.
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

// Errors the table has no row for are reported as this base plus the POSIX error number, so
// that they are never mistaken for a known code (least of all for "would block").
constexpr int WS_UNKNOWN_ERROR_BASE = 12000;

// The WinSock code for a POSIX errno value (0 stays 0).
int TranslateSocketError(int posixErrno);

int WsGetLastError();
void WsSetLastError(int code);

struct WSADATA {
    quint16 wVersion = 0;
    quint16 wHighVersion = 0;
    QString szDescription;
    QString szSystemStatus;
    quint16 iMaxSockets = 0;
    quint16 iMaxUdpDg = 0;
};

// Starting and stopping the socket layer. Nothing needs starting on POSIX: WsStartup only
// describes what the layer offers, WsCleanup does nothing.
int WsStartup(quint16 requestedVersion, WSADATA& data);
int WsCleanup();

// A non-blocking TCP socket; WS_INVALID_SOCKET on failure, also when the descriptor does not fit
// a 16-bit handle (error WSAEMFILE).
quint16 WsSocket();
int WsSetLinger(quint16 s, bool on, quint16 seconds);
int WsCloseSocket(quint16 s);
// Always -1 with WSAEWOULDBLOCK when the attempt has started (also when it failed at once, such
// as a refusal on loopback): the outcome comes as FD_CONNECT.
int WsConnect(quint16 s, quint32 addressN, quint16 portN);
int WsBind(quint16 s, quint32 addressN, quint16 portN);
int WsListen(quint16 s, int backlog);
// The accepted socket (non-blocking), WS_INVALID_SOCKET on failure.
quint16 WsAccept(quint16 s, quint32* peerAddressN, quint16* peerPortN);
int WsSend(quint16 s, const char* data, int length);
// Receiving (or peeking) re-enables the FD_READ notice, as in WinSock.
int WsRecv(quint16 s, char* buffer, int length, bool peek);
int WsGetSockName(quint16 s, quint32* addressN, quint16* portN);

// inet_addr: a dotted address (in any form inet_addr accepts) or WS_INADDR_NONE.
quint32 WsInetAddr(const QByteArray& text);
QString WsInetNtoa(quint32 addressN);
quint16 WsHtons(quint16 value);
quint16 WsNtohs(quint16 value);

// True when the peer has shut down its side of the connection (bytes may still be pending).
bool WsPeerClosed(quint16 s);
// Bytes that can be received at once (FIONREAD); -1 on error.
int WsBytesPending(quint16 s);
// Minimum number of pending bytes before the socket counts as readable (SO_RCVLOWAT); a reader
// that needs Count bytes waits for them without being woken for every smaller piece.
int WsSetReceiveLowWater(quint16 s, int bytes);
