#include "SocketNotifier.h"

#include "Socket.h"
#include "SocketEvents.h"
#include "SocketLayer.h"

#include <QPointer>
#include <QSocketNotifier>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <unordered_map>

namespace {

enum class State { Idle, Connecting, Connected, Listening };

struct Registration {
    WsHandle s = WS_INVALID_SOCKET;
    quint64 serial = 0;
    QPointer<TSockWindow> window;
    quint32 msg = 0;
    qint32 mask = 0;
    State state = State::Idle;
    std::unique_ptr<QSocketNotifier> reader;
    std::unique_ptr<QSocketNotifier> writer;
    bool readArmed = true;
    bool acceptArmed = true;
    bool closePosted = false;
    bool ended = false; // the peer's close or an error has been seen: nothing more will arrive
};

std::unordered_map<WsHandle, std::unique_ptr<Registration>>& Table() {
    static std::unordered_map<WsHandle, std::unique_ptr<Registration>> table;
    return table;
}

quint64 nextSerial = 1;

Registration* Find(WsHandle s) {
    auto it = Table().find(s);
    return it == Table().end() ? nullptr : it->second.get();
}

void Notify(Registration& r, quint16 event, int error) {
    if (!r.window || !(r.mask & event))
        return;
    r.window->Post(r.msg, r.s, static_cast<qintptr>(event | (static_cast<quint32>(error) << 16)),
                   r.serial);
}

int PendingError(WsHandle s) {
    int e = 0;
    socklen_t length = sizeof e;
    if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &e, &length) != 0)
        return errno;
    return e;
}

void SetReader(Registration& r, bool on);

void OnReadable(WsHandle s) {
    Registration* r = Find(s);
    if (!r)
        return;
    if (r->state == State::Listening) {
        if (r->acceptArmed) {
            r->acceptArmed = false;
            Notify(*r, FD_ACCEPT, 0);
        }
        SetReader(*r, false);
        return;
    }
    if (r->state != State::Connected || !r->window) {
        SetReader(*r, false);
        return;
    }
    pollfd p{};
    p.fd = static_cast<int>(s);
    p.events = POLLIN;
#ifdef POLLRDHUP
    p.events |= POLLRDHUP;
    const short closedBits = POLLRDHUP | POLLHUP | POLLERR;
#else
    const short closedBits = POLLHUP | POLLERR;
#endif
    if (::poll(&p, 1, 0) < 0)
        return;
    const int pending = WsBytesPending(s);
    const bool closed = (p.revents & closedBits) || ((p.revents & POLLIN) && pending <= 0);
    // An outstanding FD_READ that nobody has answered with a receive yet: stop listening until
    // the next receive, or the loop would wake for the same bytes over and over.
    const bool alreadyNotified = !r->readArmed;
    if (pending > 0 && r->readArmed) {
        r->readArmed = false;
        Notify(*r, FD_READ, 0);
    }
    if (closed) {
        r->ended = true;
        if (!r->closePosted) {
            r->closePosted = true;
            if (p.revents & POLLERR)
                WsRecordReset(s, TranslateSocketError(PendingError(s)));
            Notify(*r, FD_CLOSE, WsResetError(s));
        }
    }
    if (r->ended || alreadyNotified)
        SetReader(*r, false);
}

void OnWritable(WsHandle s) {
    Registration* r = Find(s);
    if (!r)
        return;
    r->writer->setEnabled(false);
    if (r->state != State::Connecting)
        return; // a sender waiting for room: the activation itself has woken it
    const int e = PendingError(s);
    r->state = e == 0 ? State::Connected : State::Idle;
    Notify(*r, FD_CONNECT, TranslateSocketError(e));
    if (e == 0) {
        r->readArmed = true;
        SetReader(*r, true);
    }
}

void SetReader(Registration& r, bool on) {
    if (!r.reader) {
        if (!on)
            return;
        r.reader =
            std::make_unique<QSocketNotifier>(static_cast<qintptr>(r.s), QSocketNotifier::Read);
        const WsHandle s = r.s;
        QObject::connect(r.reader.get(), &QSocketNotifier::activated, [s] { OnReadable(s); });
    }
    if (r.reader->isEnabled() != on)
        r.reader->setEnabled(on);
}

void SetWriter(Registration& r, bool on) {
    if (!r.writer) {
        if (!on)
            return;
        r.writer =
            std::make_unique<QSocketNotifier>(static_cast<qintptr>(r.s), QSocketNotifier::Write);
        const WsHandle s = r.s;
        QObject::connect(r.writer.get(), &QSocketNotifier::activated, [s] { OnWritable(s); });
    }
    if (r.writer->isEnabled() != on)
        r.writer->setEnabled(on);
}

// Brings the notifiers in line with what the registration may still report.
void Rearm(Registration& r) {
    const bool wanted = r.window && r.mask != 0;
    switch (r.state) {
    case State::Listening:
        SetReader(r, wanted && r.acceptArmed);
        break;
    case State::Connected:
        if (r.ended) {
            SetReader(r, false);
            if (wanted && r.readArmed && WsBytesPending(r.s) > 0) {
                r.readArmed = false;
                Notify(r, FD_READ, 0);
            }
        } else {
            SetReader(r, wanted && r.readArmed);
        }
        break;
    case State::Connecting:
        SetWriter(r, true);
        break;
    case State::Idle:
        SetReader(r, false);
        break;
    }
}

bool IsCurrent(WsHandle s, quint64 serial) {
    Registration* r = Find(s);
    return r && r->serial == serial;
}

// What the socket calls report, turned into the state of each socket's registration.
class Registry final : public SocketObserver {
public:
    void Created(WsHandle s, bool connected) override {
        auto r = std::make_unique<Registration>();
        r->s = s;
        r->state = connected ? State::Connected : State::Idle;
        Table()[s] = std::move(r);
    }

    void Closed(WsHandle s) override { Table().erase(s); }

    void ConnectStarted(WsHandle s, int immediateError) override {
        Registration* r = Find(s);
        if (!r)
            return;
        r->ended = false;
        r->closePosted = false;
        if (immediateError != 0) {
            // Refused before the call returned: WinSock would still answer through FD_CONNECT.
            r->state = State::Idle;
            Notify(*r, FD_CONNECT, immediateError);
            return;
        }
        r->state = State::Connecting;
        SetWriter(*r, true);
    }

    void Listening(WsHandle s) override {
        Registration* r = Find(s);
        if (!r)
            return;
        r->state = State::Listening;
        r->acceptArmed = true;
        Rearm(*r);
    }

    void ReceiveCalled(WsHandle s) override {
        Registration* r = Find(s);
        if (!r || r->state != State::Connected)
            return;
        r->readArmed = true;
        Rearm(*r);
    }

    void AcceptCalled(WsHandle s) override {
        Registration* r = Find(s);
        if (!r || r->state != State::Listening)
            return;
        r->acceptArmed = true;
        Rearm(*r);
    }
};

// Installed before main: a socket must be in the table from its creation on, whatever comes
// first in a program, its notification window or its socket. Any program that can ask for
// notices links this unit, and with it this installation.
Registry registry;
[[maybe_unused]] const bool registryInstalled = (SetSocketObserver(&registry), true);

} // namespace

bool IsCurrentRegistration(WsHandle s, quint64 serial) {
    return IsCurrent(s, serial);
}

// --- registration

int WsAsyncSelect(WsHandle s, TSockWindow* window, quint32 msg, qint32 mask) {
    Registration* r = Find(s);
    if (!r) {
        WsSetLastError(WSAENOTSOCK);
        return WS_SOCKET_ERROR;
    }
    r->window = window;
    r->msg = msg;
    r->mask = mask;
    r->serial = nextSerial++;
    r->readArmed = true;
    r->acceptArmed = true;
    Rearm(*r);
    return 0;
}

void WsWakeWhenWritable(WsHandle s) {
    if (Registration* r = Find(s))
        SetWriter(*r, true);
}
