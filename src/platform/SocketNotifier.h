#pragma once
// Stand-in for WinSock's window-message notification (WSAAsyncSelect, WSAAsyncGetHostByName):
// a TSockWindow is the hidden window of one socket component; socket events arrive as posted
// events carrying a message number, the socket handle (wParam) and lParam = event | error << 16.
//
// The notices come the way WinSock gives them, one at a time:
// - FD_READ once data is pending; no further FD_READ until the next receive or peek;
// - FD_CLOSE once, when the peer shuts its side (also while data is still pending);
// - FD_CONNECT once, when a connect attempt completes (error word set when it failed);
// - FD_ACCEPT once a connection waits; no further one until the next accept.
// On POSIX each socket has a QSocketNotifier on its descriptor for readability. Once an FD_READ
// is out and no receive has followed, the notifier is switched off until the next receive, so a
// socket with unread data does not keep waking the event loop; a reader that keeps receiving
// never toggles it. Unconnected sockets have no notifier switched on (an idle socket polls as
// hung up). On Windows Winsock itself keeps these rules: its WSAAsyncSelect notices go to one
// hidden message window of the layer and are handed on to the TSockWindow as the same events.
#include "SocketHandle.h"

#include <QObject>
#include <functional>

class TSockWindow : public QObject {
    Q_OBJECT
public:
    using Procedure = std::function<void(quint32 msg, quintptr wParam, qintptr lParam)>;

    explicit TSockWindow(Procedure procedure);
    ~TSockWindow() override;

    // Destroys the window; when called from inside its own procedure, after that returns. No
    // message reaches the procedure afterwards.
    static void Destroy(TSockWindow* window);

    // WinSock writes a look-up's host entry into the caller's buffer; this is that buffer: the
    // first IPv4 address of the last successful look-up, in network byte order.
    quint32 HostEntryAddress() const { return hostEntryAddress_; }
    void SetHostEntryAddress(quint32 addressN) { hostEntryAddress_ = addressN; }

    // Posts a message; serial != 0 ties it to one registration of a socket, so that notices of a
    // socket closed meanwhile are dropped.
    void Post(quint32 msg, quintptr wParam, qintptr lParam, quint64 serial = 0);
    // Hands a message to the procedure at once, with the same checks as a posted one: for a
    // notice that already comes out of the system's own message loop (Winsock's on Windows).
    void Send(quint32 msg, quintptr wParam, qintptr lParam, quint64 serial);

    // Look-ups are numbered; the reply of one that a newer look-up has superseded is dropped, so
    // that it cannot end the newer one's wait with its own address.
    quint64 StartLookup() { return ++lookupSerial_; }
    bool IsCurrentLookup(quint64 lookup) const { return lookup == lookupSerial_; }
    void PostLookupReply(quint32 msg, qintptr lParam, quint64 lookup);

protected:
    bool event(QEvent* e) override;

private:
    Procedure procedure_;
    bool attached_ = true;
    int depth_ = 0;
    bool deletePending_ = false;
    quint32 hostEntryAddress_ = 0;
    quint64 lookupSerial_ = 0;
};

// Registers which notices of socket s go to window as message msg (mask of FD_* bits); a later
// call replaces the earlier one, a null window or mask 0 stops the notices.
int WsAsyncSelect(WsHandle s, TSockWindow* window, quint32 msg, qint32 mask);

// Starts an asynchronous look-up of name; the reply is posted to window as msg with the error in
// the high word of lParam (0 = found, the address is in window->HostEntryAddress()). Names under
// the reserved top-level domain "invalid" are answered "Host not found" without asking any
// resolver.
void WsAsyncGetHostByName(TSockWindow* window, quint32 msg, const QString& name);

// Arms a one-shot wake-up for when socket s can take more bytes (a send that would block waits
// in the event loop for it).
void WsWakeWhenWritable(WsHandle s);
