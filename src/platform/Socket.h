#pragma once
// Stand-ins for the WinSock 1.1 calls the socket component makes, on non-blocking IPv4 BSD
// sockets. They keep WinSock's conventions: 16-bit socket handles with 0xFFFF for none, results
// of -1 (SOCKET_ERROR) with the reason in WsGetLastError() as a WinSock code, and a connect that
// never completes at once (it says "would block" and reports its outcome as an FD_CONNECT notice,
// see SocketNotifier.h). Addresses and ports are in network byte order, as in sockaddr_in.
#include "SocketErrors.h"

#include <QString>
#include <cstdint>

constexpr int WS_SOCKET_ERROR = -1;
constexpr quint16 WS_INVALID_SOCKET = 0xFFFF;
constexpr quint32 WS_INADDR_NONE = 0xFFFFFFFFu;

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

// A connection that was reset stays failed: every later receive reports the reset, as in
// WinSock, even though the system hands the error out only once (to whoever asks first: the
// notifier's look at the socket, or a peek). The first reset recorded for a socket stands until
// it is closed; 0 when there was none.
void WsRecordReset(quint16 s, int wsCode);
int WsResetError(quint16 s);

// WinSock keeps per-socket state behind its notices (one FD_READ until the next receive, one
// FD_ACCEPT until the next accept, the outcome of a connect). The notification layer
// (SocketNotifier) keeps that state; the calls above tell it what happened through this
// interface, so that they need nothing from that layer.
class SocketObserver {
public:
    virtual void Created(quint16 s, bool connected) = 0;
    virtual void Closed(quint16 s) = 0;
    // immediateError: the WinSock code of an attempt that failed before the call returned.
    virtual void ConnectStarted(quint16 s, int immediateError) = 0;
    virtual void Listening(quint16 s) = 0;
    virtual void ReceiveCalled(quint16 s) = 0;
    virtual void AcceptCalled(quint16 s) = 0;

protected:
    ~SocketObserver() = default;
};

// Replaces the one observer (nullptr: none; the calls then only report their own results).
void SetSocketObserver(SocketObserver* observer);
