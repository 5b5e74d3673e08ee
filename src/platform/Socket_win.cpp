#include "Socket.h"

#include "SocketLayer.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

int Fail() {
    WsSetLastError(WSAGetLastError());
    return WS_SOCKET_ERROR;
}

SOCKET Native(WsHandle s) {
    return static_cast<SOCKET>(s);
}

sockaddr_in MakeAddress(quint32 addressN, quint16 portN) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = portN;
    a.sin_addr.s_addr = addressN;
    return a;
}

// Sockets are made before any component has started Winsock (a test, a tool): the layer keeps
// one start of its own for the whole process, so a socket call never meets WSANOTINITIALISED.
bool EnsureStarted() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// A child process (pc1.exe, the update) must not inherit a connection: it would keep it open
// after the program has closed it.
void KeepFromChildren(SOCKET s) {
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

WsHandle Adopt(SOCKET s, bool connected) {
    if (s == INVALID_SOCKET) {
        Fail();
        return WS_INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking); // an accepted socket is non-blocking already
    KeepFromChildren(s);
    const auto h = static_cast<WsHandle>(s);
    NoteCreated(h, connected);
    return h;
}

} // namespace

int WsStartup(quint16 requestedVersion, WsStartupData& data) {
    EnsureStarted();
    // Winsock 2 is what the layer uses (the 1.1 calls are a part of it); the caller's version is
    // only what it asked for.
    Q_UNUSED(requestedVersion);
    WSADATA wsa{};
    const int rc = WSAStartup(MAKEWORD(2, 2), &wsa);
    if (rc != 0)
        return rc;
    data.wVersion = wsa.wVersion;
    data.wHighVersion = wsa.wHighVersion;
    data.szDescription = QString::fromLocal8Bit(wsa.szDescription);
    data.szSystemStatus = QString::fromLocal8Bit(wsa.szSystemStatus);
    // Winsock 2 leaves both at 0 (no fixed limits); the figures of the POSIX half stand in.
    data.iMaxSockets = wsa.iMaxSockets != 0 ? wsa.iMaxSockets : quint16(0xFFFE);
    data.iMaxUdpDg = wsa.iMaxUdpDg != 0 ? wsa.iMaxUdpDg : quint16(65507);
    return 0;
}

int WsCleanup() {
    if (WSACleanup() != 0)
        return Fail();
    return 0;
}

WsHandle WsSocket() {
    if (!EnsureStarted()) {
        WsSetLastError(WSANOTINITIALISED);
        return WS_INVALID_SOCKET;
    }
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) // a system without the flag
        s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    return Adopt(s, false);
}

int WsSetLinger(WsHandle s, bool on, quint16 seconds) {
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    if (setsockopt(Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) !=
        0)
        return Fail();
    return 0;
}

int WsCloseSocket(WsHandle s) {
    if (s == WS_INVALID_SOCKET) {
        WsSetLastError(WSAENOTSOCK);
        return WS_SOCKET_ERROR;
    }
    NoteClosing(s);
    if (closesocket(Native(s)) != 0)
        return Fail();
    return 0;
}

int WsConnect(WsHandle s, quint32 addressN, quint16 portN) {
    const sockaddr_in a = MakeAddress(addressN, portN);
    const int rc = connect(Native(s), reinterpret_cast<const sockaddr*>(&a), sizeof a);
    const int e = rc == 0 ? 0 : WSAGetLastError();
    switch (e) {
    case 0:
    case WSAEWOULDBLOCK:
    case WSAECONNREFUSED:
    case WSAETIMEDOUT:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        // Winsock reports the outcome of a non-blocking connect through FD_CONNECT; a failure
        // it gave at once is reported the same way.
        if (SocketObserver* observer = ActiveSocketObserver())
            observer->ConnectStarted(s, e == WSAEWOULDBLOCK ? 0 : e);
        WsSetLastError(WSAEWOULDBLOCK);
        return WS_SOCKET_ERROR;
    default:
        WsSetLastError(e);
        return WS_SOCKET_ERROR;
    }
}

int WsBind(WsHandle s, quint32 addressN, quint16 portN) {
    const sockaddr_in a = MakeAddress(addressN, portN);
    if (bind(Native(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return Fail();
    return 0;
}

int WsListen(WsHandle s, int backlog) {
    if (listen(Native(s), backlog) != 0)
        return Fail();
    NoteListening(s);
    return 0;
}

WsHandle WsAccept(WsHandle s, quint32* peerAddressN, quint16* peerPortN) {
    sockaddr_in a{};
    int length = sizeof a;
    const SOCKET accepted = accept(Native(s), reinterpret_cast<sockaddr*>(&a), &length);
    const int e = WSAGetLastError();
    if (SocketObserver* observer = ActiveSocketObserver())
        observer->AcceptCalled(s);
    WSASetLastError(e);
    const WsHandle h = Adopt(accepted, true);
    if (h != WS_INVALID_SOCKET)
        GiveAddress(a.sin_addr.s_addr, a.sin_port, peerAddressN, peerPortN);
    return h;
}

int WsSend(WsHandle s, const char* data, int length) {
    const int n = send(Native(s), data, length, 0);
    if (n == SOCKET_ERROR)
        return Fail();
    return n;
}

int WsRecv(WsHandle s, char* buffer, int length, bool peek) {
    if (FailWithRecordedReset(s))
        return WS_SOCKET_ERROR;
    const int n = recv(Native(s), buffer, length, peek ? MSG_PEEK : 0);
    const int e = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    if (e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAETIMEDOUT)
        WsRecordReset(s, e);
    if (SocketObserver* observer = ActiveSocketObserver())
        observer->ReceiveCalled(s);
    if (n == SOCKET_ERROR) {
        WsSetLastError(e);
        return WS_SOCKET_ERROR;
    }
    return n;
}

int WsGetSockName(WsHandle s, quint32* addressN, quint16* portN) {
    sockaddr_in a{};
    int length = sizeof a;
    if (getsockname(Native(s), reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return Fail();
    GiveAddress(a.sin_addr.s_addr, a.sin_port, addressN, portN);
    return 0;
}

quint32 WsInetAddr(const QByteArray& text) {
    return inet_addr(text.constData());
}

bool WsPeerClosed(WsHandle s) {
    WSAPOLLFD p{};
    p.fd = Native(s);
    p.events = POLLRDNORM;
    if (WSAPoll(&p, 1, 0) <= 0)
        return false;
    if (p.revents & (POLLHUP | POLLERR))
        return true;
    char c;
    return (p.revents & POLLRDNORM) && recv(Native(s), &c, 1, MSG_PEEK) == 0;
}

int WsBytesPending(WsHandle s) {
    u_long n = 0;
    if (ioctlsocket(Native(s), FIONREAD, &n) != 0)
        return Fail();
    return n > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(n);
}

int WsSetReceiveLowWater(WsHandle, int) {
    // Winsock has no receive low-water mark (SO_RCVLOWAT is refused): a reader waiting for a count
    // is woken by every FD_READ and peeks again, which is all the option would have saved.
    return 0;
}
