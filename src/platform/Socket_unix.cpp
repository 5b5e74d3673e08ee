#include "Socket.h"

#include "SocketLayer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Descriptors are handed out as 16-bit values, as WinSock 1.1 handles were; 0xFFFF and above do
// not fit.
constexpr int kHandleLimit = 0xFFFF;

// The descriptor behind a handle (WS_INVALID_SOCKET becomes -1, which no call accepts).
int Fd(WsHandle s) {
    return static_cast<int>(s);
}

int Fail(int posixErrno) {
    WsSetLastError(TranslateSocketError(posixErrno));
    return WS_SOCKET_ERROR;
}

sockaddr_in MakeAddress(quint32 addressN, quint16 portN) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = portN;
    a.sin_addr.s_addr = addressN;
    return a;
}

// A descriptor becomes a 16-bit handle; one that does not fit is closed and counts as "too
// many open files", the failure a caller can understand.
WsHandle Adopt(int fd, bool connected) {
    if (fd < 0) {
        Fail(errno);
        return WS_INVALID_SOCKET;
    }
    if (fd >= kHandleLimit) {
        ::close(fd);
        WsSetLastError(WSAEMFILE);
        return WS_INVALID_SOCKET;
    }
    const auto s = static_cast<WsHandle>(fd);
    NoteCreated(s, connected);
    return s;
}

} // namespace

int WsStartup(quint16 requestedVersion, WsStartupData& data) {
    data.wVersion = requestedVersion;
    data.wHighVersion = 0x0202;
    data.szDescription = QStringLiteral("BSD sockets (IPv4, non-blocking)");
    data.szSystemStatus = QStringLiteral("Running");
    rlimit limit{};
    quint16 maxSockets = 0xFFFE;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < maxSockets)
        maxSockets = static_cast<quint16>(limit.rlim_cur);
    data.iMaxSockets = maxSockets;
    data.iMaxUdpDg = 65507;
    return 0;
}

int WsCleanup() {
    return 0;
}

WsHandle WsSocket() {
    return Adopt(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP), false);
}

int WsSetLinger(WsHandle s, bool on, quint16 seconds) {
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    if (::setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
        return Fail(errno);
    return 0;
}

int WsCloseSocket(WsHandle s) {
    if (s == WS_INVALID_SOCKET)
        return Fail(ENOTSOCK);
    NoteClosing(s);
    if (::close(Fd(s)) != 0)
        return Fail(errno);
    return 0;
}

int WsConnect(WsHandle s, quint32 addressN, quint16 portN) {
    const sockaddr_in a = MakeAddress(addressN, portN);
    int rc = ::connect(Fd(s), reinterpret_cast<const sockaddr*>(&a), sizeof a);
    int e = rc == 0 ? 0 : errno;
    switch (e) {
    case 0:
    case EINPROGRESS:
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
        // WinSock reports every outcome of a non-blocking connect through FD_CONNECT.
        if (SocketObserver* observer = ActiveSocketObserver())
            observer->ConnectStarted(s, TranslateSocketError(e == EINPROGRESS ? 0 : e));
        WsSetLastError(WSAEWOULDBLOCK);
        return WS_SOCKET_ERROR;
    default:
        return Fail(e);
    }
}

int WsBind(WsHandle s, quint32 addressN, quint16 portN) {
    const sockaddr_in a = MakeAddress(addressN, portN);
    if (::bind(Fd(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return Fail(errno);
    return 0;
}

int WsListen(WsHandle s, int backlog) {
    if (::listen(Fd(s), backlog) != 0)
        return Fail(errno);
    NoteListening(s);
    return 0;
}

WsHandle WsAccept(WsHandle s, quint32* peerAddressN, quint16* peerPortN) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    int fd =
        ::accept4(Fd(s), reinterpret_cast<sockaddr*>(&a), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int e = errno;
    if (SocketObserver* observer = ActiveSocketObserver())
        observer->AcceptCalled(s);
    errno = e;
    const WsHandle h = Adopt(fd, true);
    if (h != WS_INVALID_SOCKET)
        GiveAddress(a.sin_addr.s_addr, a.sin_port, peerAddressN, peerPortN);
    return h;
}

int WsSend(WsHandle s, const char* data, int length) {
    ssize_t n = ::send(Fd(s), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0)
        return Fail(errno);
    return static_cast<int>(n);
}

int WsRecv(WsHandle s, char* buffer, int length, bool peek) {
    if (FailWithRecordedReset(s))
        return WS_SOCKET_ERROR;
    ssize_t n = ::recv(Fd(s), buffer, static_cast<size_t>(length), peek ? MSG_PEEK : 0);
    int e = errno;
    if (n < 0 && (e == ECONNRESET || e == ECONNABORTED || e == ETIMEDOUT)) {
        WsRecordReset(s, TranslateSocketError(e));
        return Fail(e);
    }
    if (SocketObserver* observer = ActiveSocketObserver())
        observer->ReceiveCalled(s);
    if (n < 0)
        return Fail(e);
    return static_cast<int>(n);
}

int WsGetSockName(WsHandle s, quint32* addressN, quint16* portN) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return Fail(errno);
    GiveAddress(a.sin_addr.s_addr, a.sin_port, addressN, portN);
    return 0;
}

quint32 WsInetAddr(const QByteArray& text) {
    return ::inet_addr(text.constData());
}

bool WsPeerClosed(WsHandle s) {
    pollfd p{};
    p.fd = Fd(s);
#ifdef POLLRDHUP
    p.events = POLLIN | POLLRDHUP;
    if (::poll(&p, 1, 0) <= 0)
        return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
#else
    p.events = POLLIN;
    if (::poll(&p, 1, 0) <= 0)
        return false;
    if (p.revents & (POLLHUP | POLLERR))
        return true;
    char c;
    return (p.revents & POLLIN) && ::recv(Fd(s), &c, 1, MSG_PEEK) == 0;
#endif
}

int WsBytesPending(WsHandle s) {
    int n = 0;
    if (::ioctl(Fd(s), FIONREAD, &n) != 0)
        return Fail(errno);
    return n;
}

int WsSetReceiveLowWater(WsHandle s, int bytes) {
    if (::setsockopt(Fd(s), SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) != 0)
        return Fail(errno);
    return 0;
}
