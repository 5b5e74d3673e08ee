#pragma once
// Stand-ins for the WinSock 1.1 calls the socket component makes, on non-blocking IPv4 BSD
// sockets (POSIX descriptors, or Winsock 2 itself on Windows). They keep WinSock's conventions:
// handles with WS_INVALID_SOCKET for none, results of -1 (SOCKET_ERROR) with the reason in
// WsGetLastError() as a WinSock code, and a connect that never completes at once (it says "would
// block" and reports its outcome as an FD_CONNECT notice, see SocketNotifier.h). Addresses and
// ports are in network byte order, as in sockaddr_in. Nothing here includes the system's socket
// headers, so the names below never meet their macros in the components above.
#include "SocketErrors.h"
#include "SocketHandle.h"

#include <QString>
#include <cstdint>

constexpr int WS_SOCKET_ERROR = -1;
constexpr quint32 WS_INADDR_NONE = 0xFFFFFFFFu;

struct WsStartupData {
    quint16 wVersion = 0;
    quint16 wHighVersion = 0;
    QString szDescription;
    QString szSystemStatus;
    quint16 iMaxSockets = 0;
    quint16 iMaxUdpDg = 0;
};

// Starting and stopping the socket layer. Nothing needs starting on POSIX: WsStartup only
// describes what the layer offers, WsCleanup does nothing. On Windows they start and stop
// Winsock 2 (counted by the system, so every successful start needs its cleanup).
int WsStartup(quint16 requestedVersion, WsStartupData& data);
int WsCleanup();

// A non-blocking TCP socket, not inherited by child processes; WS_INVALID_SOCKET on failure. On
// POSIX a descriptor that does not fit 16 bits counts as a failure too (error WSAEMFILE).
WsHandle WsSocket();
int WsSetLinger(WsHandle s, bool on, quint16 seconds);
int WsCloseSocket(WsHandle s);
// Always -1 with WSAEWOULDBLOCK when the attempt has started (also when it failed at once, such
// as a refusal on loopback): the outcome comes as FD_CONNECT.
int WsConnect(WsHandle s, quint32 addressN, quint16 portN);
int WsBind(WsHandle s, quint32 addressN, quint16 portN);
int WsListen(WsHandle s, int backlog);
// The accepted socket (non-blocking), WS_INVALID_SOCKET on failure.
WsHandle WsAccept(WsHandle s, quint32* peerAddressN, quint16* peerPortN);
int WsSend(WsHandle s, const char* data, int length);
// Receiving (or peeking) re-enables the FD_READ notice, as in WinSock.
int WsRecv(WsHandle s, char* buffer, int length, bool peek);
int WsGetSockName(WsHandle s, quint32* addressN, quint16* portN);

// inet_addr: a dotted address (in any form inet_addr accepts) or WS_INADDR_NONE.
quint32 WsInetAddr(const QByteArray& text);
QString WsInetNtoa(quint32 addressN);
quint16 WsHtons(quint16 value);
quint16 WsNtohs(quint16 value);

// True when the peer has shut down its side of the connection (bytes may still be pending).
bool WsPeerClosed(WsHandle s);
// Bytes that can be received at once (FIONREAD); -1 on error.
int WsBytesPending(WsHandle s);
// Minimum number of pending bytes before the socket counts as readable (SO_RCVLOWAT); a reader
// that needs Count bytes waits for them without being woken for every smaller piece. Windows has
// no such option: there it does nothing and the reader is woken for every piece.
int WsSetReceiveLowWater(WsHandle s, int bytes);

// A connection that was reset stays failed: every later receive reports the reset, as in
// WinSock, even though the system hands the error out only once (to whoever asks first: the
// notifier's look at the socket, or a peek). The first reset recorded for a socket stands until
// it is closed; 0 when there was none.
void WsRecordReset(WsHandle s, int wsCode);
int WsResetError(WsHandle s);

// WinSock keeps per-socket state behind its notices (one FD_READ until the next receive, one
// FD_ACCEPT until the next accept, the outcome of a connect). The notification layer
// (SocketNotifier) keeps that state; the calls above tell it what happened through this
// interface, so that they need nothing from that layer.
class SocketObserver {
public:
    virtual void Created(WsHandle s, bool connected) = 0;
    virtual void Closed(WsHandle s) = 0;
    // immediateError: the WinSock code of an attempt that failed before the call returned.
    virtual void ConnectStarted(WsHandle s, int immediateError) = 0;
    virtual void Listening(WsHandle s) = 0;
    virtual void ReceiveCalled(WsHandle s) = 0;
    virtual void AcceptCalled(WsHandle s) = 0;

protected:
    ~SocketObserver() = default;
};

// Replaces the one observer (nullptr: none; the calls then only report their own results).
void SetSocketObserver(SocketObserver* observer);
