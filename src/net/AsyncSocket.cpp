#include "AsyncSocket.h"

#include "Fire.h"
#include "TlsChannel.h"
#include "platform/Big5.h"
#include "platform/Dialogs.h"
#include "platform/Events.h"
#include "platform/FileSystem.h"
#include "platform/Socket.h"
#include "platform/SocketNotifier.h"
#include "platform/Timing.h"

#include <QAbstractEventDispatcher>
#include <QFile>
#include <QScopeGuard>
#include <QTimer>
#include <cerrno>
#include <climits>
#include <cstring>

int WinsockUsers = 0;

namespace {

struct ErrorText {
    qint32 code;
    const char* text;
};

constexpr ErrorText ErrorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
};
static_assert(sizeof ErrorTable / sizeof ErrorTable[0] == 50);

constexpr qint32 NormalEventMask = FD_READ | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE; // 61

// Every text goes out in the program's code page, the one its log and database use: a name
// must reach the server as the same bytes the log holds for it, whatever characters it has.
QByteArray ToBytes(const QString& text) {
    return toBig5(text);
}

QString VersionText(quint16 version) {
    return QString::number(version >> 8) + QLatin1Char('.') + QString::number(version & 0xFF);
}

// The local file of a transfer, opened without following a link at its path; the error names
// the file and the system's reason, so that the log can tell a local cause from the server's.
void OpenLocalFile(QFile& file, const QString& name, WriteOpenMode mode, bool anyFile,
                   OwnFile* own) {
    if (anyFile) {
        const QIODevice::OpenMode how =
            QIODevice::WriteOnly | QIODevice::Unbuffered |
            (mode == WriteOpenMode::CreateOrTruncate ? QIODevice::Truncate
                                                     : QIODevice::Append | QIODevice::ExistingOnly);
        file.setFileName(name);
        if (!file.open(how)) {
            const QString text =
                (mode == WriteOpenMode::CreateOrTruncate ? QStringLiteral("Cannot create file ")
                                                         : QStringLiteral("Cannot open file ")) +
                name + QStringLiteral(": ") + file.errorString();
            if (mode == WriteOpenMode::CreateOrTruncate)
                throw EFCreateError(text, 0);
            throw EFOpenError(text, 0);
        }
        return;
    }
    const OpenedFile opened = OpenFileForWriting(name, mode, own);
    const bool create = mode == WriteOpenMode::CreateOrTruncate;
    if (opened.fd < 0 || !file.open(opened.fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                                    QFileDevice::AutoCloseHandle)) {
        const QString text =
            (create ? QStringLiteral("Cannot create file ") : QStringLiteral("Cannot open file ")) +
            name + QStringLiteral(": ") + (opened.fd < 0 ? opened.reason : file.errorString());
        if (opened.fd >= 0)
            CloseFileDescriptor(opened.fd); // the file object did not take it over
        if (create)
            throw EFCreateError(text, opened.error);
        throw EFOpenError(text, opened.error);
    }
}

void WriteAll(QFile& file, const QString& name, const char* data, int length) {
    errno = 0;
    if (file.write(data, length) != length) {
        const int error = errno;
        throw EWriteError(QStringLiteral("Cannot write file ") + name + QStringLiteral(": ") +
                              (error ? SystemErrorText(error) : file.errorString()),
                          error);
    }
}

// A 32-bit byte count that wraps like the original field instead of overflowing.
qint32 AddCount(qint32 count, int n) {
    return static_cast<qint32>(static_cast<quint32>(count) + static_cast<quint32>(n));
}

} // namespace

// --- TThreadTimer

TThreadTimer::TThreadTimer(QObject* Owner) : QObject(Owner) {
    TimerWindow_ = new QTimer(this);
    TimerWindow_->setTimerType(Qt::PreciseTimer);
    connect(TimerWindow_, &QTimer::timeout, this, [this] { DoTimer(); });
}

TThreadTimer::~TThreadTimer() {
    Enabled_ = false;
    TimerWindow_->stop();
}

void TThreadTimer::SetEnabled(bool Value) {
    if (Value == Enabled_)
        return;
    Enabled_ = Value;
    UpdateTimer();
}

void TThreadTimer::SetInterval(quint32 Value) {
    if (Value == Interval_)
        return;
    Interval_ = Value;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent Value) {
    OnTimer_ = std::move(Value);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
    TimerWindow_->stop();
    if (Interval_ == 0 || !Enabled_ || !OnTimer_)
        return;
    if (!QAbstractEventDispatcher::instance(thread()))
        throw Exception(QStringLiteral("No Timer"));
    TimerWindow_->start(static_cast<int>(qMin<quint32>(Interval_, INT_MAX)));
}

void TThreadTimer::DoTimer() {
    if (!OnTimer_)
        return;
    // A copy, so that a handler may replace OnTimer (or destroy this timer) while it runs; a
    // tick is rare enough for the copy.
    TNotifyEvent handler = OnTimer_;
    try {
        handler(this);
    } catch (const Exception& e) {
        ShowException(e.message());
    } catch (const std::exception& e) {
        ShowException(QString::fromLocal8Bit(e.what()));
    }
}

// --- TAsyncSocket: construction and destruction

TAsyncSocket::TAsyncSocket(QObject* Owner) : QObject(Owner), Alive_(std::make_shared<bool>(true)) {
    ReportStatus(8, QStringLiteral("Create"));
    NotifyWindow_ = new TSockWindow([this](quint32 Msg, quintptr WParam, qintptr LParam) {
        HandleSocketMessage(Msg, WParam, LParam);
    });
    Proxy_.clear();
    TimeOutTimer_ = new TThreadTimer(this);
    TimeOutTimer_->SetEnabled(false);
    TimeOutTimer_->SetOnTimer([this](QObject* Sender) { TimerTriggered(Sender); });
    TimeOut_ = 0;
    Canceled_ = false;
    ShuttingDown_ = false;
    Connected_ = false;
    try {
        InitWinsock();
    } catch (...) {
        TSockWindow::Destroy(NotifyWindow_);
        NotifyWindow_ = nullptr;
        throw;
    }
}

TAsyncSocket::~TAsyncSocket() {
    // From here on no event fires, and every pending call of this object ends as soon as control
    // returns to it, without touching it again.
    Destroying_ = true;
    *Alive_ = false;
    ReportStatus(8, QStringLiteral("Destroy"));
    try {
        TAsyncSocket::Abort();
        Cancel();
    } catch (...) {
    }
    delete TimeOutTimer_;
    TimeOutTimer_ = nullptr;
    TSockWindow::Destroy(NotifyWindow_);
    NotifyWindow_ = nullptr;
    ShuttingDown_ = true;
    try {
        RequestCloseSocket();
    } catch (...) {
    }
    if (--WinsockUsers == 0)
        WsCleanup();
}

void TAsyncSocket::InitWinsock() {
    ReportStatus(8, QStringLiteral("Initializing Winsock"));
    ++WinsockUsers;
    if (WinsockUsers == 1) {
        WsStartupData data;
        WsStartup(0x0101, data);
        WinsockInfo_ << QStringLiteral("Version= ") + VersionText(data.wVersion)
                     << QStringLiteral("High Version= ") + VersionText(data.wHighVersion)
                     << QStringLiteral("Description= ") + data.szDescription
                     << QStringLiteral("System= ") + data.szSystemStatus
                     << QStringLiteral("Max Sockets= ") + QString::number(data.iMaxSockets)
                     << QStringLiteral("Max Udp pack size= ") + QString::number(data.iMaxUdpDg);
    }
    SocketHandle_ = WsSocket();
    bool ok = SocketHandle_ != INVALID_SOCKET_HANDLE;
    if (ok) {
        // Closing resets the connection at once instead of lingering.
        WsSetLinger(SocketHandle_, true, 0);
        ok = WsAsyncSelect(SocketHandle_, NotifyWindow_, SocketMessage, NormalEventMask) == 0;
        if (!ok) {
            WsCloseSocket(SocketHandle_);
            SocketHandle_ = INVALID_SOCKET_HANDLE;
        }
    }
    if (!ok) {
        if (--WinsockUsers == 0)
            WsCleanup();
        throw ESockError(QStringLiteral("Initializaton of windows sockets failed"));
    }
}

// --- waiting

void TAsyncSocket::Pump(const std::shared_ptr<bool>& Alive, bool Block) {
    if (Block)
        WaitForEvents();
    else
        ProcessMessages();
    if (!*Alive)
        throw EAbortError(QStringLiteral("Socket destroyed while a call was pending"));
}

// --- notices

qint32 TAsyncSocket::HandleSocketMessage(quint32 Msg, quintptr, qintptr LParam) {
    const auto event = static_cast<quint16>(LParam & 0xFFFF);
    const auto error = static_cast<quint16>((static_cast<quint64>(LParam) >> 16) & 0xFFFF);
    AsyncOK_ = error == 0;
    auto alive = Alive_;
    try {
        if (Msg == SocketMessage) {
            switch (event) {
            case FD_READ:
                if (OnReadReady)
                    Fire(OnReadReady, alive, this);
                break;
            case FD_ACCEPT:
                Connected_ = true;
                if (OnAccept)
                    Fire(OnAccept, alive, this);
                break;
            case FD_CONNECT:
                if (AsyncOK_) {
                    Connected_ = true;
                    if (OnConnect)
                        Fire(OnConnect, alive, this);
                }
                break;
            case FD_CLOSE:
                // A reset is kept, so that a transfer that ends because of it reports it
                // instead of ending as if the peer had finished.
                if (error != 0)
                    CloseError_ = error;
                // Pending data can still be read; such a close notice is not repeated.
                if (!DataAvailable())
                    RequestCloseSocket();
                break;
            default:
                break;
            }
        } else if (Msg == AsyncReplyMessage) {
            AsyncReplied_ = true;
            if (event == FD_ACCEPT) {
                Connected_ = true;
                if (!Destroying_ && OnDisconnect)
                    Fire(OnDisconnect, alive, this);
            }
        }
    } catch (...) {
    }
    return 0;
}

// --- status and errors

void TAsyncSocket::ReportStatus(quint8 Level, const QString& Text) {
    if (Level > ReportLevel_)
        return;
    try {
        LastStatus_ = Text;
        if (!Destroying_ && OnStatus) {
            const QString status = LastStatus_;
            Fire(OnStatus, Alive_, this, status);
        }
    } catch (...) {
    }
}

QString TAsyncSocket::LookupErrorMessage(quint16 Code) {
    ReportStatus(8, QStringLiteral("Looking Up Error Message"));
    if (Code == 0)
        return {};
    for (const ErrorText& row : ErrorTable)
        if (row.code == Code)
            return QString::number(Code) + QLatin1Char(':') + QLatin1String(row.text);
    return QStringLiteral("Unknown Error No. ") + QString::number(Code);
}

void TAsyncSocket::RaiseSocketError(qint32 Code) {
    LastErrorNo_ = Code;
    const QString message = LookupErrorMessage(static_cast<quint16>(Code));
    if (OnError) {
        if (!Fire(OnError, Alive_, this, static_cast<quint16>(Code), message))
            throw EAbortError(message);
    }
    throw ESockError(message);
}

QString TAsyncSocket::CheckSocketError(qint32 IgnoredCode) {
    const int err = WsGetLastError();
    LastErrorNo_ = err;
    if (err != IgnoredCode && err > 10000)
        RaiseSocketError(err);
    return {};
}

// --- time-out

void TAsyncSocket::TimerOn() {
    ReportStatus(8, QStringLiteral("Timer On"));
    TimedOut_ = false;
    if (TimeOut_ < 0)
        throw Exception(QStringLiteral("Range check error"));
    // The count starts now, also when the timer is already running: a receive calls this for
    // every block, so that the time-out measures the silence since the last one. A running timer
    // is left as it is and only the start is noted (TimerTriggered waits out the rest), so a
    // transfer does not re-register a timer per block.
    TimerStartedAt_ = SteadyMilliseconds();
    if (TimeOutTimer_->Enabled() && TimeOutTimer_->Interval() == static_cast<quint32>(TimeOut_))
        return;
    TimeOutTimer_->SetInterval(static_cast<quint32>(TimeOut_));
    TimeOutTimer_->SetEnabled(false);
    TimeOutTimer_->SetEnabled(true);
}

void TAsyncSocket::TimerOff() {
    ReportStatus(8, QStringLiteral("Timer Off"));
    if (TimeOutTimer_)
        TimeOutTimer_->SetEnabled(false);
}

void TAsyncSocket::TimerTriggered(QObject*) {
    const qint64 quiet = SteadyMilliseconds() - TimerStartedAt_;
    if (quiet < TimeOut_) {
        // Restarted since it was armed: wait for the rest of the time-out.
        TimeOutTimer_->SetInterval(static_cast<quint32>(TimeOut_ - quiet));
        return;
    }
    ReportStatus(8, QStringLiteral("Timer Triggered"));
    TimerOff();
    TimedOut_ = true;
    AsyncReplied_ = true;
    Abort();
}

// --- connection

void TAsyncSocket::ResolveHost() {
    ReportStatus(8, QStringLiteral("Resolve Host"));
    const QString name = Proxy_.isEmpty() ? Host_ : Proxy_;
    const QByteArray text = ToBytes(name).left(IOBufferSize);
    std::memcpy(IOBuffer_, text.constData(), static_cast<size_t>(text.size()));
    IOBuffer_[text.size()] = '\0';
    SockAddrAddress_ = WsInetAddr(QByteArray(IOBuffer_));
    if (SockAddrAddress_ != WS_INADDR_NONE)
        return; // a dotted address needs no look-up

    SockAddrAddress_ = 0;
    TimerOn();
    AsyncReplied_ = false;
    WsAsyncGetHostByName(NotifyWindow_, AsyncReplyMessage, name);
    auto alive = Alive_;
    while (!AsyncReplied_ && !TimedOut_ && !Canceled_)
        Pump(alive, true);
    TimerOff();
    if (TimedOut_)
        throw ESockError(QStringLiteral("Host Lookup Timed Out"));
    if (Canceled_)
        throw ESockError(QStringLiteral("Host Lookup Canceled"));
    if (!AsyncOK_)
        throw ESockError(QStringLiteral("Host Lookup Failed"));
    SockAddrAddress_ = NotifyWindow_->HostEntryAddress();
    if (OnHostResolved) {
        if (!Fire(OnHostResolved, alive, this))
            throw EAbortError(QStringLiteral("Socket destroyed while a call was pending"));
    }
}

void TAsyncSocket::Connect() {
    ReportStatus(8, QStringLiteral("Connecting"));
    Canceled_ = false;
    CloseError_ = 0;
    if (Connected_)
        throw ESockError(QStringLiteral("Already connected"));
    auto alive = Alive_;

    for (int retry = 0;; ++retry) {
        try {
            ResolveHost();
        } catch (const EAbortError&) {
            throw;
        } catch (const ESockError& e) {
            if (e.message() == QLatin1String("Host Lookup Timed Out") ||
                e.message() == QLatin1String("Host Lookup Canceled"))
                throw;
        }
        if (SockAddrAddress_ != 0)
            break;
        if (retry > 0 || !OnInvalidHost)
            throw ESockError(QStringLiteral("Null Remote Address"));
        bool handled = false;
        if (!Fire(OnInvalidHost, alive, handled))
            throw EAbortError(QStringLiteral("Socket destroyed while a call was pending"));
        if (!handled)
            throw ESockError(QStringLiteral("Null Remote Address"));
    }

    const qint32 port = Proxy_.isEmpty() ? Port_ : ProxyPort_;
    SockAddrPort_ = WsHtons(static_cast<quint16>(port & 0xFFFF));
    AsyncReplied_ = false;
    AsyncOK_ = true;
    if (WsConnect(SocketHandle_, SockAddrAddress_, SockAddrPort_) == WS_SOCKET_ERROR)
        CheckSocketError(WSAEWOULDBLOCK);

    TimerOn();
    while (!Connected_ && !TimedOut_ && !Canceled_ && AsyncOK_)
        Pump(alive, true);
    TimerOff();
    if (!TimedOut_ && !Canceled_ && AsyncOK_)
        return;

    if (OnConnectionFailed) {
        if (!Fire(OnConnectionFailed, alive, this))
            throw EAbortError(QStringLiteral("Socket destroyed while a call was pending"));
    }
    if (TimedOut_)
        throw ESockError(QStringLiteral("Connection Timed out"));
    if (Canceled_)
        throw ESockError(QStringLiteral("Connection Canceled"));
    throw ESockError(QStringLiteral("Connection Failed"));
}

void TAsyncSocket::RequireConnection() {
    ReportStatus(8, QStringLiteral("Checking Connection"));
    bool asked = false;
    auto alive = Alive_;
    while (!Connected_) {
        if (!OnConnectionRequired || asked)
            throw Exception(QStringLiteral("Not Connected"));
        asked = true;
        bool handled = false;
        if (!Fire(OnConnectionRequired, alive, handled))
            throw EAbortError(QStringLiteral("Socket destroyed while a call was pending"));
        if (!handled)
            throw Exception(QStringLiteral("Not Connected"));
    }
}

bool TAsyncSocket::DataAvailable() {
    ReportStatus(8, QStringLiteral("Data Available"));
    // A byte of its own: IOBuffer may hold the start of a line that a pending ReadLn is reading.
    char probe;
    return Receive(&probe, 1, true) >= 1;
}

void TAsyncSocket::ClearInput() {
    ReportStatus(8, QStringLiteral("Clearing Input"));
    char scratch[IOBufferSize];
    Receive(scratch, IOBufferSize, false);
}

void TAsyncSocket::RequestCloseSocket() {
    ReportStatus(4, QStringLiteral("Request Close Socket"));
    Connected_ = false;
    EndTls();
    if (SocketHandle_ == INVALID_SOCKET_HANDLE)
        return;
    if (WsCloseSocket(SocketHandle_) == WS_SOCKET_ERROR) {
        CheckSocketError(WSAEWOULDBLOCK);
        return;
    }
    SocketHandle_ = INVALID_SOCKET_HANDLE;
    if (!Destroying_ && OnDisconnect) {
        if (!Fire(OnDisconnect, Alive_, this))
            return;
    }
    if (!ShuttingDown_) {
        // A fresh unconnected socket, so that Connect can be called again.
        SocketHandle_ = WsSocket();
        if (SocketHandle_ != INVALID_SOCKET_HANDLE)
            WsAsyncSelect(SocketHandle_, NotifyWindow_, SocketMessage, NormalEventMask);
    }
}

void TAsyncSocket::CloseSocketHandle(WsHandle Handle) {
    if (Handle != INVALID_SOCKET_HANDLE)
        WsCloseSocket(Handle);
}

void TAsyncSocket::Disconnect() {
    ReportStatus(8, QStringLiteral("Disconnecting"));
    RequestCloseSocket();
}

void TAsyncSocket::Cancel() {
    ReportStatus(8, QStringLiteral("Canceling"));
    Canceled_ = true;
}

void TAsyncSocket::Abort() {
    ReportStatus(8, QStringLiteral("Abort"));
    Cancel();
}

// --- data operations

void TAsyncSocket::SendBuffer(const char* Data, quint16 Length) {
    ReportStatus(4, QStringLiteral("Sending Buffer"));
    TimerOn();
    auto alive = Alive_;
    auto timerOff = qScopeGuard([this, &alive] {
        if (*alive)
            TimerOff();
    });
    if (!Canceled_) {
        const int length = Length != 0 ? Length : static_cast<int>(strnlen(Data, 65535));
        int remaining = length;
        while (remaining > 0 && !Canceled_) {
            const int n = SendBytes(Data + length - remaining, remaining);
            if (n == 0)
                break;
            if (n < 0) {
                CheckSocketError(WSAEWOULDBLOCK);
                // The peer's window is full: wait for room instead of retrying in a tight loop;
                // the time-out timer and a cancel can end the wait.
                WsWakeWhenWritable(SocketHandle_);
                Pump(alive, true);
                continue;
            }
            remaining -= n;
        }
    }
    if (Canceled_) {
        Canceled_ = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
}

void TAsyncSocket::Write(const QString& Text) {
    ReportStatus(8, QStringLiteral("Write"));
    const QByteArray bytes = ToBytes(Text);
    // A cut line would lose its CR LF, and the next command would be glued to it: a text that
    // does not fit one send is refused whole, before any of it goes out.
    if (bytes.size() > MaxWriteBytes)
        RaiseSocketError(WSAEMSGSIZE);
    const int n = static_cast<int>(bytes.size());
    std::memcpy(IOBuffer_, bytes.constData(), static_cast<size_t>(n));
    IOBuffer_[n] = '\0';
    SendBuffer(IOBuffer_, 0);
}

void TAsyncSocket::Writeln(const QString& Text) {
    ReportStatus(8, QStringLiteral("Writeln"));
    Write(Text + QStringLiteral("\r\n"));
}

QString TAsyncSocket::Read(quint16 Count) {
    ReportStatus(8, QStringLiteral("Read( ") + QString::number(Count) + QStringLiteral(" )"));
    if (Tls_ && Count > 0)
        return ReadSecured(Count);
    auto alive = Alive_;
    int count = Count;
    if (count > 0) {
        // The socket counts as readable only once Count bytes are there (or the peer closed),
        // so the wait sleeps until then instead of waking for every smaller piece.
        const WsHandle handle = SocketHandle_;
        WsSetReceiveLowWater(handle, count);
        auto restore = qScopeGuard([handle, &alive] {
            if (*alive)
                WsSetReceiveLowWater(handle, 1);
        });
        do {
            const int n = Receive(IOBuffer_, IOBufferSize, true);
            if (n >= count)
                break;
            if (n == 0)
                return {};
            if (n < 0) {
                CheckSocketError(WSAEWOULDBLOCK);
            } else if (WsPeerClosed(SocketHandle_)) {
                // No more bytes will come: hand over what there is rather than wait forever.
                count = n;
                break;
            }
            Pump(alive, true);
        } while (!Canceled_);
    } else {
        const int n = Receive(IOBuffer_, IOBufferSize, true);
        if (n < 0) {
            CheckSocketError(WSAEWOULDBLOCK);
            return {};
        }
        count = n;
        if (count == 0)
            return {};
    }
    if (Canceled_) {
        Canceled_ = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    const int got = Receive(IOBuffer_, count, false);
    return QString::fromLatin1(IOBuffer_, qMax(got, 0));
}

QString TAsyncSocket::ReadLn() {
    ReportStatus(8, QStringLiteral("ReadLn"));
    int got = 0; // bytes of this line already taken from the socket, kept at the start of IOBuffer
    TimerOn();
    auto alive = Alive_;
    auto timerOff = qScopeGuard([this, &alive] {
        if (*alive)
            TimerOff();
    });
    int lineEnd = -1;
    for (;;) {
        const int space = IOBufferSize - got;
        if (space == 0)
            RaiseSocketError(WSAEMSGSIZE); // a line longer than the working buffer
        const int n = Receive(IOBuffer_ + got, space, true);
        if (n == 0)
            return {}; // the peer has closed
        if (n > 0) {
            const void* lf = std::memchr(IOBuffer_ + got, '\n', static_cast<size_t>(n));
            if (lf) {
                lineEnd = static_cast<int>(static_cast<const char*>(lf) - IOBuffer_);
                break;
            }
            const int taken = Receive(IOBuffer_ + got, n, false);
            if (taken > 0)
                got += taken;
        } else {
            LastErrorNo_ = WsGetLastError();
            if (LastErrorNo_ == WSAENOTCONN)
                break;
            CheckSocketError(WSAEWOULDBLOCK);
        }
        // Nothing pending: sleep in the event loop until the socket or anything else stirs.
        Pump(alive, n < 0);
        if (Canceled_)
            break;
    }
    if (Canceled_) {
        Canceled_ = false;
        throw EAbortError(QStringLiteral("Socket readln aborted"));
    }
    if (lineEnd < 0)
        return QString::fromLatin1(IOBuffer_, got); // not connected: the bytes taken so far
    const int rest = Receive(IOBuffer_ + got, lineEnd + 1 - got, false);
    return QString::fromLatin1(IOBuffer_, got + qMax(rest, 0));
}

QString TAsyncSocket::Transaction(const QString& Command) {
    ReportStatus(8, QStringLiteral("Transaction"));
    ReplyCode_ = 0;
    Writeln(Command);
    LastReply_ = ReadLn();
    if (!LastReply_.isEmpty()) {
        ReportStatus(1, LastReply_);
        ReplyCode_ = ParseReplyCode(LastReply_);
    }
    return LastReply_;
}

qint16 TAsyncSocket::ParseReplyCode(const QString& Line) {
    qint64 value = 0;
    int digits = 0;
    while (digits < 10 && digits < Line.size() && Line[digits] >= QLatin1Char('0') &&
           Line[digits] <= QLatin1Char('9')) {
        value = value * 10 + (Line[digits].unicode() - '0');
        ++digits;
    }
    if (digits == 0 || value > SHRT_MAX)
        return 0;
    return static_cast<qint16>(value);
}

void TAsyncSocket::CaptureFile(const QString& FileName) {
    ReportStatus(8, QStringLiteral("CaptureFile"));
    ReceiveToFile(FileName, false);
}

void TAsyncSocket::AppendFile(const QString& FileName) {
    ReportStatus(8, QStringLiteral("Append File"));
    ReceiveToFile(FileName, true);
    if (!Connected_ && CloseError_ != 0)
        RaiseSocketError(CloseError_); // ended by a reset, not by the peer finishing
}

void TAsyncSocket::ReceiveToFile(const QString& FileName, bool Appending) {
    ReceivedBytes_ = 0;
    // An append is timed like a capture: a resumed transfer from a server that falls silent
    // must end too.
    TimerOn();
    auto alive = Alive_;
    auto timerOff = qScopeGuard([this, &alive] {
        if (*alive)
            TimerOff();
    });
    QFile file;
    OpenLocalFile(file, FileName,
                  Appending ? WriteOpenMode::AppendExisting : WriteOpenMode::CreateOrTruncate,
                  AnyLocalFile_, OwnLocalFile_.get());
    ReceiveIntoFile(file, FileName, Appending, alive);
    file.close();
    if (Canceled_) {
        Canceled_ = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
}

void TAsyncSocket::ReceiveIntoFile(QFile& file, const QString& name, bool Appending,
                                   const std::shared_ptr<bool>& alive) {
    // One receive takes what several packet events' worth of data the kernel holds, into one
    // buffer for the whole transfer: a fast sender then costs a system call per 256 KiB rather
    // than per 64 KiB, and no block costs an allocation.
    const std::unique_ptr<char[]> chunk(new char[ReceiveChunkSize]);
    qint64 lastPump = SteadyMilliseconds();
    while (!Canceled_ && (!Appending || Connected_)) {
        const int n = Receive(chunk.get(), ReceiveChunkSize, false);
        if (n > 0) {
            // Written in one piece (a system call per receive, not per block), then counted and
            // announced per block of at most IOBufferSize bytes, as a receive of IOBufferSize
            // would have; a handler that cancels stops the announcements.
            WriteReceived(file, name, chunk.get(), n);
            for (int offset = 0; offset < n && !Canceled_; offset += IOBufferSize)
                AnnounceBlock(qMin(IOBufferSize, n - offset), alive);
            TimerOn(); // the time-out counts from the last block
            // While data keeps coming the event loop runs by time, not per block: timers, the
            // watchdog, the progress bar and clicks are served within PumpIntervalMs, and the
            // loop does not pay the event loop's system calls for every block.
            const qint64 now = SteadyMilliseconds();
            if (now - lastPump >= PumpIntervalMs) {
                Pump(alive, false);
                lastPump = SteadyMilliseconds();
            }
            continue;
        }
        if (n == 0) {
            // The peer has closed. For an append its close notice may have been passed over
            // while data was still pending, and no second one comes: end here as well.
            break;
        }
        LastErrorNo_ = WsGetLastError();
        if (!Appending && LastErrorNo_ == WSAENOTCONN) {
            // The close notice has replaced the socket; a reset is still an error.
            if (CloseError_ != 0)
                RaiseSocketError(CloseError_);
            break;
        }
        CheckSocketError(WSAEWOULDBLOCK);
        // Nothing pending: sleep in the event loop until the socket or anything else stirs.
        Pump(alive, true);
        lastPump = SteadyMilliseconds();
    }
}

void TAsyncSocket::WriteReceived(QFile& file, const QString& name, const char* data, int length) {
    // Past the limit only what fits reaches the disk: a peer that sends more than it may is cut
    // off here, before its bytes are written.
    if (ReceiveLimit_ >= 0 && ReceivedBytes_ + static_cast<qint64>(length) > ReceiveLimit_) {
        const int room = static_cast<int>(qMax<qint64>(ReceiveLimit_ - ReceivedBytes_, 0));
        WriteAll(file, name, data, room);
        ReceivedBytes_ = AddCount(ReceivedBytes_, room);
        throw EReceiveLimitError(
            QStringLiteral("Receive limit of %1 bytes exceeded").arg(ReceiveLimit_));
    }
    WriteAll(file, name, data, length);
}

void TAsyncSocket::AnnounceBlock(int length, const std::shared_ptr<bool>& alive) {
    ReceivedBytes_ = AddCount(ReceivedBytes_, length);
    if (OnPacketRecvd && !Fire(OnPacketRecvd, alive, this))
        throw EAbortError(QStringLiteral("Socket destroyed while a call was pending"));
}

void TAsyncSocket::Listen(bool Dedicated) {
    ReportStatus(8, QStringLiteral("Listening"));
    CloseError_ = 0;
    if (Port_ < 0 || Port_ > 65535)
        RaiseSocketError(10022);
    SockAddrAddress_ = WsInetAddr(QByteArrayLiteral("0.0.0.0"));
    SockAddrPort_ = WsHtons(static_cast<quint16>(Port_));
    AsyncReplied_ = false;
    WsBind(SocketHandle_, SockAddrAddress_, SockAddrPort_);
    WsAsyncSelect(SocketHandle_, NotifyWindow_, Dedicated ? AsyncReplyMessage : SocketMessage,
                  FD_ACCEPT);
    WsListen(SocketHandle_, 1);
}

WsHandle TAsyncSocket::Accept() {
    ReportStatus(4, QStringLiteral("Accepting"));
    auto alive = Alive_;
    while (!AsyncReplied_ && !Canceled_)
        Pump(alive, true);
    if (Canceled_)
        throw ESockError(QStringLiteral("Accepting Canceled"));
    if (!AsyncOK_)
        throw ESockError(QStringLiteral("Error creating Data Connection"));
    quint32 peerAddress = 0;
    quint16 peerPort = 0;
    const WsHandle s = WsAccept(SocketHandle_, &peerAddress, &peerPort);
    if (s == INVALID_SOCKET_HANDLE) {
        // Nothing to accept (the wait ended for the time-out), or no 16-bit handle for it.
        LastErrorNo_ = WsGetLastError();
        throw ESockError(QStringLiteral("Error creating Data Connection"));
    }
    WsAsyncSelect(s, NotifyWindow_, SocketMessage, NormalEventMask);
    SockAddrAddress_ = peerAddress;
    SockAddrPort_ = peerPort;
    if (Canceled_) {
        Canceled_ = false;
        WsCloseSocket(s);
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    return s;
}

QString TAsyncSocket::LocalAddressText() {
    quint32 address = 0;
    WsGetSockName(SocketHandle_, &address, nullptr);
    QString text = WsInetNtoa(address);
    int replaced = 0;
    for (int i = 0; i < text.size() && replaced < 3; ++i) {
        if (text[i] == QLatin1Char('.')) {
            text[i] = QLatin1Char(',');
            ++replaced;
        }
    }
    return text;
}

QString TAsyncSocket::LocalPortText() {
    quint16 portN = 0;
    WsGetSockName(SocketHandle_, nullptr, &portN);
    const quint16 port = WsNtohs(portN);
    return QStringLiteral(",%1,%2").arg(port / 256).arg(port % 256);
}

QString NthField(const QString& Text, QChar Delimiter, int N) {
    QString field;
    int delimiters = 0;
    for (QChar c : Text) {
        if (c == Delimiter) {
            if (++delimiters >= N)
                break;
        } else if (delimiters == N - 1) {
            field += c;
        }
    }
    return field;
}

// --- TLS: the handshake as one more pumped wait, and the switch of its reads
// and writes between the plain socket and the TLS channel.

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
