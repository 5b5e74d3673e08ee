#pragma once
// TAsyncSocket: a TCP client/server socket that turns asynchronous socket notices into blocking
// calls. Every wait pumps the application's events, so timers, clicks and packet events run inside
// a pending call and may Cancel/Abort it, or even destroy the component (see ~TAsyncSocket).
//
// TThreadTimer: the small timer component each socket owns for its time-out.
//
// Text and bytes: the socket carries bytes. Every text sent (commands, names, host names) goes
// out in the program's code page, Big5, whatever characters it holds, so a name reaches the
// peer as the very bytes the log holds for it. What is read comes back as bytes, one character
// per byte (U+0000..U+00FF): a byte string to take apart, not text to send back; a byte of 0x80
// or above would not survive the trip through Big5.
#include "platform/Exception.h"
#include "platform/SocketEvents.h"
#include "platform/SocketHandle.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

struct OwnFile;

class QFile;

class ESockError : public Exception {
public:
    using Exception::Exception;
};

class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// A receive into a file stopped because more bytes came than ReceiveLimit allows.
class EReceiveLimitError : public ESockError {
public:
    using ESockError::ESockError;
};

using TNotifyEvent = std::function<void(QObject* Sender)>;
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnHostResolved = std::function<void(QObject* Sender)>;
using TOnStatus = std::function<void(QObject* Sender, const QString& Status)>;
using TOnErrorEvent = std::function<void(QObject* Sender, quint16 Errno, const QString& Errmsg)>;

class QTimer;
class TSockWindow;
class TTlsChannel;
class TTlsContext;

constexpr WsHandle INVALID_SOCKET_HANDLE = WS_INVALID_SOCKET;
constexpr int IOBufferSize = 65536;
// A file receive takes up to this much per call, then hands it on in IOBufferSize blocks.
constexpr int ReceiveChunkSize = 4 * IOBufferSize;
// How often a file receive runs the event loop while data keeps coming (milliseconds).
constexpr int PumpIntervalMs = 5;
// The most bytes Write sends in one call (the 16-bit count of SendBuffer).
constexpr int MaxWriteBytes = 65535;

// Number of socket components that have started the socket layer (process-wide).
extern int WinsockUsers;

class TThreadTimer : public QObject {
    Q_OBJECT
public:
    explicit TThreadTimer(QObject* Owner = nullptr);
    ~TThreadTimer() override;

    bool Enabled() const { return Enabled_; }
    void SetEnabled(bool Value);
    quint32 Interval() const { return Interval_; }
    void SetInterval(quint32 Value);
    const TNotifyEvent& OnTimer() const { return OnTimer_; }
    void SetOnTimer(TNotifyEvent Value);

protected:
    virtual void DoTimer();

private:
    void UpdateTimer();

    quint32 Interval_ = 1000;
    QTimer* TimerWindow_ = nullptr;
    TNotifyEvent OnTimer_;
    bool Enabled_ = true;
};

class TAsyncSocket : public QObject {
    Q_OBJECT
public:
    explicit TAsyncSocket(QObject* Owner = nullptr);
    // Safe while one of this component's own calls is pending further up the stack: the
    // sockets are closed at once, and the pending call ends with EAbortError without touching
    // the destroyed object.
    ~TAsyncSocket() override;

    // --- virtual operations
    virtual WsHandle Accept();
    virtual void Connect();
    virtual void Disconnect();
    virtual QString Transaction(const QString& Command);
    virtual void Abort();

    // --- other operations
    void RequireConnection();
    void Cancel();
    bool DataAvailable();
    void ClearInput();
    void RequestCloseSocket();
    QString LookupErrorMessage(quint16 Code);
    void ReportStatus(quint8 Level, const QString& Text);

    // Sends Length bytes of Data (0: up to its first NUL, at most 65,535).
    void SendBuffer(const char* Data, quint16 Length);
    // Text in Big5, up to its first NUL. A text of more than MaxWriteBytes bytes is refused
    // with ESockError "10040:Message too long" and nothing is sent.
    void Write(const QString& Text);
    void Writeln(const QString& Text);
    // Count bytes (0: whatever is pending); one character per byte.
    QString Read(quint16 Count);
    // One line with its terminator (up to and including LF); empty when the peer has closed.
    QString ReadLn();
    void CaptureFile(const QString& FileName);
    void AppendFile(const QString& FileName);
    void Listen(bool Dedicated);
    QString LocalAddressText();
    QString LocalPortText();

    // The code of a reply line: its leading decimal digits (at most 10), 0 when there are none
    // or when they do not fit the 16-bit field.
    static qint16 ParseReplyCode(const QString& Line);

    // Closes a socket handle that is no longer this component's SocketHandle (the listening
    // socket after an Accept whose result has been put into SocketHandle).
    static void CloseSocketHandle(WsHandle Handle);

    // TLS as the client on the connected socket (also on one this side accepted): the
    // handshake, pumping events while it waits, bounded by TimeOut and ended by Cancel. The
    // certificate must be for PeerName; Resume is the connection whose session is taken up.
    // From then on every read and write goes through TLS, until the socket is closed. Raises
    // ETlsError (TlsChannel.h) when the handshake or the certificate check fails, after
    // closing the socket.
    void StartTls(std::shared_ptr<TTlsContext> Context, const QString& PeerName,
                  const TAsyncSocket* Resume = nullptr);
    // The TLS state of the connection, nullptr while it is plain.
    const TTlsChannel* Tls() const { return Tls_.get(); }

    // --- published properties
    QString Host() const { return Host_; }
    void SetHost(const QString& Value) { Host_ = Value; }
    qint32 Port() const { return Port_; }
    void SetPort(qint32 Value) { Port_ = Value; }
    qint32 TimeOut() const { return TimeOut_; }
    void SetTimeOut(qint32 Value) { TimeOut_ = Value; }
    qint32 ReportLevel() const { return ReportLevel_; }
    void SetReportLevel(qint32 Value) { ReportLevel_ = Value; }
    QString Proxy() const { return Proxy_; }
    void SetProxy(const QString& Value) { Proxy_ = Value; }
    qint32 ProxyPort() const { return ProxyPort_; }
    void SetProxyPort(qint32 Value) { ProxyPort_ = Value; }
    // The most bytes CaptureFile and AppendFile take into the file (negative: no limit). A
    // block that goes past it is cut there, and the receive raises EReceiveLimitError: what a
    // peer sends beyond the limit never reaches the disk.
    qint64 ReceiveLimit() const { return ReceiveLimit_; }
    void SetReceiveLimit(qint64 Value) { ReceiveLimit_ = Value; }
    // CaptureFile and AppendFile write only regular files, never through a symbolic link (the
    // program's own downloads). A tool whose user names the target may allow any file there,
    // a device such as /dev/null or a pipe included.
    bool AnyLocalFile() const { return AnyLocalFile_; }
    void SetAnyLocalFile(bool Value) { AnyLocalFile_ = Value; }
    // The program's own file, when set: CaptureFile creates it anew (never writing anything that
    // already stands at the name) or empties it only when the name still stands for it, and
    // AppendFile writes to it alone (OpenFileForWriting). The record is shared with whoever
    // decides later whether the file at the name is still that one, and outlives this object.
    std::shared_ptr<OwnFile> OwnLocalFile() const { return OwnLocalFile_; }
    void SetOwnLocalFile(std::shared_ptr<OwnFile> Value) { OwnLocalFile_ = std::move(Value); }

    // --- public state (the FTP layer reads and writes several of these)
    bool Connected() const { return Connected_; }
    void SetConnected(bool Value) { Connected_ = Value; }
    qint16 ReplyCode() const { return ReplyCode_; }
    void SetReplyCode(qint16 Value) { ReplyCode_ = Value; }
    QString LastReply() const { return LastReply_; }
    void SetLastReply(const QString& Value) { LastReply_ = Value; }
    qint32 ReceivedBytes() const { return ReceivedBytes_; }
    void SetReceivedBytes(qint32 Value) { ReceivedBytes_ = Value; }
    qint32 TransferSize() const { return TransferSize_; }
    void SetTransferSize(qint32 Value) { TransferSize_ = Value; }
    bool Canceled() const { return Canceled_; }
    void SetCanceled(bool Value) { Canceled_ = Value; }
    bool TimedOut() const { return TimedOut_; }
    void SetTimedOut(bool Value) { TimedOut_ = Value; }
    WsHandle SocketHandle() const { return SocketHandle_; }
    void SetSocketHandle(WsHandle Value) {
        if (Value != SocketHandle_)
            EndTls(); // the TLS state belongs to the socket it was started on
        SocketHandle_ = Value;
    }
    qint32 LastErrorNo() const { return LastErrorNo_; }
    void SetLastErrorNo(qint32 Value) { LastErrorNo_ = Value; }
    const QStringList& WinsockInfo() const { return WinsockInfo_; }
    QString LastStatus() const { return LastStatus_; }
    bool AsyncOK() const { return AsyncOK_; }
    bool AsyncReplied() const { return AsyncReplied_; }
    bool ShuttingDown() const { return ShuttingDown_; }
    TThreadTimer* TimeOutTimer() const { return TimeOutTimer_; }
    // The working buffer (IOBufferSize bytes and a terminating NUL).
    const char* IOBuffer() const { return IOBuffer_; }

    // Shared with every pending call: false once the component is destroyed. Code that pumps
    // events on this component's behalf (a derived class's wait) copies it first and checks it
    // after the pump, before touching the object again.
    std::shared_ptr<const bool> AliveToken() const { return Alive_; }

    // --- events (assigned directly)
    TNotifyEvent OnReadReady;
    TNotifyEvent OnAccept;
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    TOnErrorEvent OnError;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    THandlerEvent OnConnectionRequired;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;

protected:
    void InitWinsock();
    void ResolveHost();
    void TimerOn();
    void TimerOff();
    void TimerTriggered(QObject* Sender);
    // Raises ESockError for the last socket error unless it is IgnoredCode; returns "" otherwise.
    QString CheckSocketError(qint32 IgnoredCode);
    qint32 HandleSocketMessage(quint32 Msg, quintptr WParam, qintptr LParam);
    // True while the component is being destroyed (its events no longer fire).
    bool Destroying() const { return Destroying_; }

private:
    // Ends the current pass of a wait: handles what is queued, and with Block waits in the
    // event loop until something arrives. Throws EAbortError if the component died meanwhile.
    static void Pump(const std::shared_ptr<bool>& Alive, bool Block);
    // What CaptureFile and AppendFile share: the time-out, the file opened for a fresh capture
    // or for appending, the receive, and a cancel reported once the file is closed.
    void ReceiveToFile(const QString& FileName, bool Appending);
    // The receive loop of CaptureFile (until the peer closes) and AppendFile (while connected);
    // name is the file's name for the error texts.
    void ReceiveIntoFile(QFile& file, const QString& name, bool Appending,
                         const std::shared_ptr<bool>& alive);
    // Writes what one receive brought. Past ReceiveLimit only what fits is written (and
    // counted), and EReceiveLimitError is raised.
    void WriteReceived(QFile& file, const QString& name, const char* data, int length);
    // Counts one written block and fires OnPacketRecvd for it.
    void AnnounceBlock(int length, const std::shared_ptr<bool>& alive);
    void RaiseSocketError(qint32 Code);
    // The socket's receive and send, through TLS once it is started (WsRecv/WsSend results).
    int Receive(char* Buffer, int Length, bool Peek);
    int SendBytes(const char* Data, int Length);
    // Read(Count) over TLS: the bytes are taken as they come (a peek sees one record only).
    QString ReadSecured(int Count);
    // close_notify if TLS is up, then the plain socket again.
    void EndTls();

    char IOBuffer_[IOBufferSize + 1] = {};
    QStringList WinsockInfo_;
    bool Canceled_ = false;
    bool ShuttingDown_ = false;
    bool Destroying_ = false;
    qint32 LastErrorNo_ = 0;
    qint32 TimeOut_ = 0;
    qint32 ReportLevel_ = 0;
    QString LastStatus_;
    QString Proxy_;
    qint32 ProxyPort_ = 0;
    TThreadTimer* TimeOutTimer_ = nullptr;
    qint64 TimerStartedAt_ = 0; // steady clock, ms: when the time-out count last started
    bool AsyncOK_ = true;
    bool TimedOut_ = false;
    qint32 Port_ = 0;
    qint32 TransferSize_ = 0;
    qint32 ReceivedBytes_ = 0;
    qint64 ReceiveLimit_ = -1;
    bool AnyLocalFile_ = false;
    std::shared_ptr<OwnFile> OwnLocalFile_;
    bool AsyncReplied_ = false;
    quint32 SockAddrAddress_ = 0; // network byte order
    quint16 SockAddrPort_ = 0;    // network byte order
    QString Host_;
    QString LastReply_;
    qint16 ReplyCode_ = 0;
    WsHandle SocketHandle_ = INVALID_SOCKET_HANDLE;
    TSockWindow* NotifyWindow_ = nullptr;
    bool Connected_ = false;
    quint16 CloseError_ = 0; // error of a close notice (a reset) since the last Connect/Listen
    std::shared_ptr<bool> Alive_;
    std::unique_ptr<TTlsChannel> Tls_;
};

// Field N (from 1) of Text split at single Delimiter characters; empty when there is none.
QString NthField(const QString& Text, QChar Delimiter, int N);
