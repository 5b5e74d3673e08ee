#include "SocketNotifier.h"

#include "Socket.h"
#include "SocketEvents.h"
#include "SocketLayer.h"

#include <QPointer>
#include <unordered_map>

#include <windows.h>
#include <winsock2.h>

// Winsock's own notices (WSAAsyncSelect) already follow the rules the components rely on: one
// FD_READ until the next receive, one FD_ACCEPT until the next accept, FD_CONNECT with the
// outcome (also a refusal, which a readiness poll does not report on every Windows version),
// FD_CLOSE once with the reason of a reset. So this half only routes them: every socket is
// registered with one hidden message window of the layer, whose procedure runs in the thread's
// message loop (Qt's event dispatcher pumps it) and hands each notice on to the socket's
// TSockWindow, as the window procedure of a socket component does.

namespace {

// Every registration gets its own message number, so a notice that was queued for a socket
// before it was closed (or registered again, possibly under a reused handle value) is known by
// its number and dropped.
constexpr UINT kFirstNoticeMessage = WM_APP + 1;
constexpr UINT kNoticeMessages = 0xBFFF - kFirstNoticeMessage;

struct Registration {
    quint64 serial = 0;
    QPointer<TSockWindow> window;
    quint32 msg = 0;
    qint32 mask = 0;
    UINT message = 0; // the window message Winsock posts for this registration (0: none)
};

std::unordered_map<WsHandle, Registration>& Table() {
    static std::unordered_map<WsHandle, Registration> table;
    return table;
}

quint64 nextSerial = 1;

Registration* Find(WsHandle s) {
    auto it = Table().find(s);
    return it == Table().end() ? nullptr : &it->second;
}

// A notice for the socket's TSockWindow, handed on at once: it already comes out of the
// thread's message loop, and a posted event would wait for Qt to send its posted events, which a
// loop blocked in a socket wait does not always do on Windows (the wait would then outlast the
// notice that should end it).
void Notify(WsHandle s, const Registration& r, quint16 event, int error) {
    if (!r.window || !(r.mask & event))
        return;
    r.window->Send(r.msg, s, static_cast<qintptr>(event | (static_cast<quint32>(error) << 16)),
                   r.serial);
}

LRESULT CALLBACK NoticeProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message < kFirstNoticeMessage || message >= kFirstNoticeMessage + kNoticeMessages)
        return DefWindowProcW(window, message, wParam, lParam);
    const auto s = static_cast<WsHandle>(wParam);
    const Registration* r = Find(s);
    if (!r || r->message != message)
        return 0; // queued before the socket was closed or registered again
    const auto event = static_cast<quint16>(WSAGETSELECTEVENT(lParam));
    const int error = WSAGETSELECTERROR(lParam);
    if (event == FD_CLOSE && error != 0)
        WsRecordReset(s, error); // every later receive reports the reset
    // FD_WRITE is never asked for by the components: it only wakes a sender waiting for room,
    // which dispatching this message has done.
    Notify(s, *r, event, error);
    return 0;
}

HWND NoticeWindow() {
    static const HWND window = [] {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = NoticeProcedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = L"SockWindowClass";
        RegisterClassW(&windowClass); // fails harmlessly when the class is already there
        return CreateWindowExW(0, L"SockWindowClass", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               instance, nullptr);
    }();
    return window;
}

// What the socket calls report. Winsock keeps the state behind its notices itself; only a
// connect that failed before the call returned has to be reported here.
class Registry final : public SocketObserver {
public:
    void Created(WsHandle s, bool) override { Table()[s] = Registration{}; }
    void Closed(WsHandle s) override { Table().erase(s); }
    // A failure Winsock gave at once goes the way of its notices, through the message loop.
    void ConnectStarted(WsHandle s, int immediateError) override {
        const Registration* r = Find(s);
        if (r && r->message != 0 && immediateError != 0)
            PostMessageW(NoticeWindow(), r->message, static_cast<WPARAM>(s),
                         WSAMAKESELECTREPLY(FD_CONNECT, immediateError));
    }
    void Listening(WsHandle) override {}
    void ReceiveCalled(WsHandle) override {}
    void AcceptCalled(WsHandle) override {}
};

// Installed before main, as in the POSIX half: a socket is in the table from its creation on.
Registry registry;
[[maybe_unused]] const bool registryInstalled = (SetSocketObserver(&registry), true);

} // namespace

bool IsCurrentRegistration(WsHandle s, quint64 serial) {
    const Registration* r = Find(s);
    return r && r->serial == serial;
}

int WsAsyncSelect(WsHandle s, TSockWindow* window, quint32 msg, qint32 mask) {
    Registration* r = Find(s);
    if (!r) {
        WsSetLastError(WSAENOTSOCK);
        return WS_SOCKET_ERROR;
    }
    const HWND noticeWindow = NoticeWindow();
    if (!noticeWindow) {
        WsSetLastError(WSAENOBUFS);
        return WS_SOCKET_ERROR;
    }
    r->window = window;
    r->msg = msg;
    r->mask = mask;
    r->serial = nextSerial++;
    const bool wanted = window && mask != 0;
    r->message = wanted ? kFirstNoticeMessage + static_cast<UINT>(r->serial % kNoticeMessages) : 0;
    // FD_WRITE rides along so that a send that would block can wait for room in the event loop.
    const long events = wanted ? (mask | FD_WRITE) : 0;
    if (WSAAsyncSelect(static_cast<SOCKET>(s), noticeWindow, r->message, events) != 0) {
        WsSetLastError(WSAGetLastError());
        r->message = 0;
        return WS_SOCKET_ERROR;
    }
    return 0;
}

void WsWakeWhenWritable(WsHandle) {
    // Nothing to arm: every registration includes FD_WRITE, which Winsock posts once a send that
    // would have blocked can go on.
}
