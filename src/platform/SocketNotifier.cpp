#include "SocketNotifier.h"

#include "Socket.h"
#include "SocketEvents.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <memory>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unordered_map>

namespace {

// One notice. A transfer posts one per received block, so spent notices are kept on a free list
// and reused instead of going back to the heap.
class TSockEvent : public QEvent {
public:
    TSockEvent(quint32 msg, quintptr wParam, qintptr lParam, quint64 serial)
        : QEvent(TypeId()), msg(msg), wParam(wParam), lParam(lParam), serial(serial) {}

    static QEvent::Type TypeId() {
        static const QEvent::Type id = static_cast<QEvent::Type>(QEvent::registerEventType());
        return id;
    }

    static void* operator new(std::size_t size) {
        if (size == sizeof(TSockEvent) && freeList) {
            FreeBlock* block = freeList;
            freeList = block->next;
            --freeCount;
            return block;
        }
        return ::operator new(size);
    }
    static void operator delete(void* p, std::size_t size) {
        if (size == sizeof(TSockEvent) && freeCount < kMaxFree) {
            auto* block = static_cast<FreeBlock*>(p);
            block->next = freeList;
            freeList = block;
            ++freeCount;
            return;
        }
        ::operator delete(p);
    }

    const quint32 msg;
    const quintptr wParam;
    const qintptr lParam;
    const quint64 serial;

private:
    struct FreeBlock {
        FreeBlock* next;
    };
    static constexpr int kMaxFree = 64;
    static inline thread_local FreeBlock* freeList = nullptr;
    static inline thread_local int freeCount = 0;
};

// Marks the serial of a look-up reply (socket serials never get this high).
constexpr quint64 LookupTag = quint64(1) << 63;

enum class State { Idle, Connecting, Connected, Listening };

struct Registration {
    quint16 s = WS_INVALID_SOCKET;
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

std::unordered_map<quint16, std::unique_ptr<Registration>>& Table() {
    static std::unordered_map<quint16, std::unique_ptr<Registration>> table;
    return table;
}

quint64 nextSerial = 1;

Registration* Find(quint16 s) {
    auto it = Table().find(s);
    return it == Table().end() ? nullptr : it->second.get();
}

void Notify(Registration& r, quint16 event, int error) {
    if (!r.window || !(r.mask & event))
        return;
    r.window->Post(r.msg, r.s, static_cast<qintptr>(event | (static_cast<quint32>(error) << 16)),
                   r.serial);
}

int PendingError(quint16 s) {
    int e = 0;
    socklen_t length = sizeof e;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &e, &length) != 0)
        return errno;
    return e;
}

void SetReader(Registration& r, bool on);

void OnReadable(quint16 s) {
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
    p.fd = s;
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

void OnWritable(quint16 s) {
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
        r.reader = std::make_unique<QSocketNotifier>(r.s, QSocketNotifier::Read);
        const quint16 s = r.s;
        QObject::connect(r.reader.get(), &QSocketNotifier::activated, [s] { OnReadable(s); });
    }
    if (r.reader->isEnabled() != on)
        r.reader->setEnabled(on);
}

void SetWriter(Registration& r, bool on) {
    if (!r.writer) {
        if (!on)
            return;
        r.writer = std::make_unique<QSocketNotifier>(r.s, QSocketNotifier::Write);
        const quint16 s = r.s;
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

bool IsInvalidName(const QString& name) {
    QString n = name.trimmed().toLower();
    if (n.endsWith(QLatin1Char('.')))
        n.chop(1);
    return n == QLatin1String("invalid") || n.endsWith(QLatin1String(".invalid"));
}

bool IsCurrent(quint16 s, quint64 serial) {
    Registration* r = Find(s);
    return r && r->serial == serial;
}

// What the socket calls report, turned into the state of each socket's registration.
class Registry final : public SocketObserver {
public:
    void Created(quint16 s, bool connected) override {
        auto r = std::make_unique<Registration>();
        r->s = s;
        r->state = connected ? State::Connected : State::Idle;
        Table()[s] = std::move(r);
    }

    void Closed(quint16 s) override { Table().erase(s); }

    void ConnectStarted(quint16 s, int immediateError) override {
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

    void Listening(quint16 s) override {
        Registration* r = Find(s);
        if (!r)
            return;
        r->state = State::Listening;
        r->acceptArmed = true;
        Rearm(*r);
    }

    void ReceiveCalled(quint16 s) override {
        Registration* r = Find(s);
        if (!r || r->state != State::Connected)
            return;
        r->readArmed = true;
        Rearm(*r);
    }

    void AcceptCalled(quint16 s) override {
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

// --- TSockWindow

TSockWindow::TSockWindow(Procedure procedure) : procedure_(std::move(procedure)) {}

TSockWindow::~TSockWindow() = default;

void TSockWindow::Destroy(TSockWindow* window) {
    if (!window)
        return;
    window->attached_ = false;
    if (window->depth_ > 0)
        window->deletePending_ = true;
    else
        delete window;
}

void TSockWindow::Post(quint32 msg, quintptr wParam, qintptr lParam, quint64 serial) {
    QCoreApplication::postEvent(this, new TSockEvent(msg, wParam, lParam, serial));
}

void TSockWindow::PostLookupReply(quint32 msg, qintptr lParam, quint64 lookup) {
    QCoreApplication::postEvent(this, new TSockEvent(msg, 0, lParam, lookup | LookupTag));
}

bool TSockWindow::event(QEvent* e) {
    if (e->type() != TSockEvent::TypeId())
        return QObject::event(e);
    auto* m = static_cast<TSockEvent*>(e);
    if (m->serial & LookupTag) {
        if (!IsCurrentLookup(m->serial & ~LookupTag))
            return true; // the reply of a look-up that a newer one has replaced
    } else if (m->serial != 0 && !IsCurrent(static_cast<quint16>(m->wParam), m->serial)) {
        return true; // a notice of a socket that has been closed (or re-registered) since
    }
    if (!attached_ || !procedure_ || m->msg < SocketMessage)
        return true;
    ++depth_;
    procedure_(m->msg, m->wParam, m->lParam);
    --depth_;
    if (deletePending_ && depth_ == 0)
        delete this;
    return true;
}

// --- registration

int WsAsyncSelect(quint16 s, TSockWindow* window, quint32 msg, qint32 mask) {
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

void WsAsyncGetHostByName(TSockWindow* window, quint32 msg, const QString& name) {
    const quint64 lookup = window->StartLookup();
    if (IsInvalidName(name)) {
        window->PostLookupReply(msg, static_cast<qintptr>(quint32(WSAHOST_NOT_FOUND) << 16),
                                lookup);
        return;
    }
    QHostInfo::lookupHost(name, window, [window, msg, lookup](const QHostInfo& info) {
        if (!window->IsCurrentLookup(lookup))
            return;
        int error = 0;
        if (info.error() == QHostInfo::HostNotFound) {
            error = WSAHOST_NOT_FOUND;
        } else if (info.error() != QHostInfo::NoError) {
            error = WSATRY_AGAIN;
        } else {
            error = WSANO_DATA;
            for (const QHostAddress& a : info.addresses()) {
                bool isV4 = false;
                const quint32 v4 = a.toIPv4Address(&isV4);
                if (isV4) {
                    window->SetHostEntryAddress(WsInetAddr(QHostAddress(v4).toString().toLatin1()));
                    error = 0;
                    break;
                }
            }
        }
        window->PostLookupReply(msg, static_cast<qintptr>(quint32(error) << 16), lookup);
    });
}

void WsWakeWhenWritable(quint16 s) {
    if (Registration* r = Find(s))
        SetWriter(*r, true);
}
