// The socket component's TLS: the handshake as one more pumped wait, and the switch of its reads
// and writes between the plain socket and the TLS channel.
#include "AsyncSocket.h"
#include "TlsChannel.h"

#include "platform/Socket.h"
#include "platform/SocketNotifier.h"

#include <QScopeGuard>

int TAsyncSocket::Receive(char* Buffer, int Length, bool Peek) {
    if (Tls_)
        return Tls_->Receive(Buffer, Length, Peek);
    return WsRecv(SocketHandle_, Buffer, Length, Peek);
}

int TAsyncSocket::SendBytes(const char* Data, int Length) {
    if (Tls_)
        return Tls_->Send(Data, Length);
    return WsSend(SocketHandle_, Data, Length);
}

void TAsyncSocket::EndTls() {
    if (!Tls_)
        return;
    Tls_->Close();
    Tls_.reset();
}

void TAsyncSocket::StartTls(std::shared_ptr<TTlsContext> Context, const QString& PeerName,
                            const TAsyncSocket* Resume) {
    ReportStatus(8, QStringLiteral("Starting TLS"));
    auto alive = Alive_;
    try {
        if (!Connected_ || SocketHandle_ == INVALID_SOCKET_HANDLE)
            throw ETlsError(QStringLiteral("TLS handshake failed: not connected"));
        Tls_ = std::make_unique<TTlsChannel>(std::move(Context), SocketHandle_, PeerName,
                                             Resume ? Resume->Tls_.get() : nullptr);
        TimerOn();
        auto timerOff = qScopeGuard([this, &alive] {
            if (*alive)
                TimerOff();
        });
        for (;;) {
            const TTlsChannel::Step step = Tls_->Handshake();
            if (step == TTlsChannel::Step::Done)
                return;
            // OpenSSL's read has re-armed the read notice; a write that would block needs the
            // writable wake-up. Either way the wait sleeps until the socket stirs.
            if (step == TTlsChannel::Step::WantWrite)
                WsWakeWhenWritable(SocketHandle_);
            Pump(alive, true);
            // The time-out ends the wait itself: a derived component's Abort may not cancel.
            if (Canceled_ || TimedOut_) {
                Canceled_ = false;
                throw ETlsError(TimedOut_ ? QStringLiteral("TLS handshake timed out")
                                          : QStringLiteral("TLS handshake canceled"));
            }
            // The peer's close notice has closed the socket meanwhile.
            if (!Tls_ || !Connected_)
                throw ETlsError(QStringLiteral("TLS handshake failed: the connection was closed"));
        }
    } catch (const EAbortError&) {
        throw; // destroyed meanwhile: nothing here may be touched
    } catch (...) {
        // Nothing more goes over this connection, in clear least of all.
        if (*alive)
            RequestCloseSocket();
        throw;
    }
}

QString TAsyncSocket::ReadSecured(int Count) {
    auto alive = Alive_;
    int got = 0;
    while (got < Count && !Canceled_) {
        const int n = Receive(IOBuffer_ + got, Count - got, false);
        if (n > 0) {
            got += n;
            continue;
        }
        if (n == 0)
            break; // the peer has closed: what there is
        LastErrorNo_ = WsGetLastError();
        if (LastErrorNo_ == WSAENOTCONN)
            break;
        CheckSocketError(WSAEWOULDBLOCK);
        Pump(alive, true);
    }
    if (Canceled_) {
        Canceled_ = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    return QString::fromLatin1(IOBuffer_, got);
}
