#include "SocketNotifier.h"

#include "Socket.h"
#include "SocketEvents.h"
#include "SocketLayer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHostAddress>
#include <QHostInfo>
#include <new>

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

bool IsInvalidName(const QString& name) {
    QString n = name.trimmed().toLower();
    if (n.endsWith(QLatin1Char('.')))
        n.chop(1);
    return n == QLatin1String("invalid") || n.endsWith(QLatin1String(".invalid"));
}

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

void TSockWindow::Send(quint32 msg, quintptr wParam, qintptr lParam, quint64 serial) {
    TSockEvent event(msg, wParam, lParam, serial);
    QCoreApplication::sendEvent(this, &event);
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
    } else if (m->serial != 0 &&
               !IsCurrentRegistration(static_cast<WsHandle>(m->wParam), m->serial)) {
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

// --- look-ups

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
