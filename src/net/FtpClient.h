#pragma once
// TFtpClient: the FTP client component. The socket it inherits from TAsyncSocket is the control
// connection; a retrieval opens a second, plain TAsyncSocket as the data connection (passive or
// active) and lets it write the incoming bytes into the local file.
//
// Every operation blocks its caller and pumps events while it waits, so timers and clicks run
// inside a pending call. A handler may Abort/Cancel the pending call, or delete the component:
// the pending call then ends with EAbortError and never touches the destroyed object.
#include "AsyncSocket.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

class TTlsContext;

class FTPException : public Exception {
public:
    using Exception::Exception;
};

// A retrieval refused or stopped because the file is, or was about to grow, larger than the
// component takes (MaxFileSize, or 2 GiB): announced so, already so on disk, or more bytes came.
class EFileTooLarge : public FTPException {
public:
    using FTPException::FTPException;
};

// Which operation an OnSuccess/OnFailure/OnUnSupportedFunction event is about.
enum TCmdType : quint8 {
    ctChangeDir = 0,
    ctMakeDir = 1,
    ctDelete = 2,
    ctRemoveDir = 3,
    ctDownloadRestore = 8,
    ctDownload = 9,
    ctCommand = 14,
    ctCurrentDir = 15,
};

// Whether the session is protected: None is plain FTP; Tls is explicit FTPS (RFC 4217): AUTH TLS
// after the greeting, PBSZ 0 and PROT P after the login, and every data connection TLS too,
// resuming the control connection's session.
enum class TFtpSecurity : quint8 { None, Tls };

// How the login passes an FTP proxy (Proxy not empty).
enum TFirewallType : quint8 {
    FTUser = 0, // USER user@host
    FtOpen = 1, // OPEN host, then the normal login
    FtSite = 2, // SITE host, then the normal login
};

// One reply of the control connection. Only its first and last lines are kept: nothing acts on
// the lines between, and a server that sends thousands of them must not grow the memory.
struct FtpReply {
    qint16 Code = 0; // of the first line; continuation lines never change it
    QString First;   // with its line end; empty when the server closed instead of replying
    QString Last;    // the last line read, First for a one-line reply
    bool Unanswered() const { return First.isEmpty(); }
};

using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TFailureEvent = std::function<void(bool& Handled, TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;
using TListItemEvent = std::function<void(const QString& Listing)>;

// The longest command argument (user name, password, host, path) sent, in bytes as sent.
constexpr int MaxArgumentBytes = 1024;

class TFtpClient : public TAsyncSocket {
    Q_OBJECT
public:
    explicit TFtpClient(QObject* Owner = nullptr);
    ~TFtpClient() override;

    // Opens the control connection and logs in (greeting, optional firewall login, USER/PASS).
    // Does nothing when already connected. Raises on any failure, after closing the connection.
    void Connect() override;
    // QUIT while connected, then close. Raises FTPException when QUIT is refused (301-599).
    void Disconnect() override;
    // One command and its complete reply (continuation lines are read and reported); returns
    // the first line, ReplyCode is its code.
    QString Transaction(const QString& Command) override;
    // Cancels the data connection, so that a pending transfer ends. Sends nothing.
    void Abort() override;

    void SendCommand(const QString& Command);
    void ChangeDir(const QString& Dir);
    // After a retrieval whose completion reply was read, LastReply and ReplyCode are that
    // reply's first line and code (empty and 0 when the server closed instead of replying).
    void Download(const QString& RemoteName, const QString& LocalPath);
    void DownloadRestore(const QString& RemoteName, const QString& LocalPath);

    // Reads the continuation lines of a reply whose first line is FirstLine; returns the last
    // line read (FirstLine for a one-line reply).
    QString FinishReply(const QString& FirstLine);

    // The data connection's count of bytes received in the current retrieval; 0 without one.
    qint32 ReceivedBytes() const;
    using TAsyncSocket::TransferSize;

    // The retrieval's data connection while one runs, else nullptr.
    TAsyncSocket* DataConnection() const { return DataConnection_; }

    // --- published properties
    QString UserID() const { return UserID_; }
    void SetUserID(const QString& Value) { UserID_ = Value; }
    QString Password() const { return Password_; }
    void SetPassword(const QString& Value) { Password_ = Value; }
    bool Passive() const { return Passive_; }
    void SetPassive(bool Value) { Passive_ = Value; }
    qint32 Vendor() const { return Vendor_; }
    void SetVendor(qint32 Value) { Vendor_ = Value; }
    bool ParseList() const { return ParseList_; }
    void SetParseList(bool Value) { ParseList_ = Value; }
    TFirewallType FirewallType() const { return FirewallType_; }
    void SetFirewallType(TFirewallType Value) { FirewallType_ = Value; }
    QString FWUserID() const { return FWUserID_; }
    void SetFWUserID(const QString& Value) { FWUserID_ = Value; }
    QString FWPassword() const { return FWPassword_; }
    void SetFWPassword(const QString& Value) { FWPassword_ = Value; }
    bool FWAuthenticate() const { return FWAuthenticate_; }
    void SetFWAuthenticate(bool Value) { FWAuthenticate_ = Value; }
    // The largest local file a retrieval may make, resumed part included (negative: no limit
    // but the 2 GiB of the counts). A server that sends more is cut off there: the receive
    // stops, nothing beyond the limit is written, and the retrieval raises EFileTooLarge.
    qint64 MaxFileSize() const { return MaxFileSize_; }
    void SetMaxFileSize(qint64 Value) { MaxFileSize_ = Value; }
    // With Tls a server that refuses AUTH TLS, PBSZ or PROT, or whose certificate does not
    // check out, fails Connect with ETlsError before the user name is sent; there is no
    // fallback to clear text. Takes effect at the next Connect.
    TFtpSecurity Security() const { return Security_; }
    void SetSecurity(TFtpSecurity Value) { Security_ = Value; }
    // PEM file of the certificates to trust instead of the system's (empty: the system's).
    QString CaFile() const { return CaFile_; }
    void SetCaFile(const QString& Value) { CaFile_ = Value; }

    // --- events (assigned directly)
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    TSuccessEvent OnSuccess;
    TFailureEvent OnFailure;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed; // stored only
    TListItemEvent OnListItem;            // stored only
    // Fired at the end of a successful Connect, after the login; hides the socket's own event.
    TNotifyEvent OnConnect;
    TUnsupportedEvent OnUnSupportedFunction;

    // --- reply parsing (no socket involved)

    using TAsyncSocket::ParseReplyCode;
    // True when Line continues a multi-line reply: it begins with a space or has "-" fourth.
    static bool IsContinuationLine(const QString& Line);
    // The operation kind of a command sent through SendCommand.
    static TCmdType ClassifyCommand(const QString& Command);
    // The byte count a reply line announces: the digits just before the first "BYTE" (any case);
    // 0 when there is none or when it does not fit 32 bits.
    static qint32 ExtractByteCount(const QString& Line);
    // The same scan, but without the 32-bit limit (std::nullopt when no count is announced), so
    // that a file of 2 GiB or more can be told from one that announces nothing.
    static std::optional<quint64> AnnouncedByteCount(const QString& Line);
    // The data port of a PASV reply: p1 * 256 + p2 of the first run of six comma-separated
    // decimal numbers h1,h2,h3,h4,p1,p2 after the code, in parentheses or not (blanks may
    // follow a comma; a run glued to a letter, a sign or a dotted number does not count).
    // Raises FTPException (the line) when there is no such run, when the first run of six or
    // more has more than six, one above 255 or a letter right after it, and for port 0.
    static quint16 PasvPort(const QString& ReplyLine);
    // The run-time library's strict text-to-integer conversion (optional blanks before, an
    // optional sign, decimal digits, nothing after; 32-bit range).
    static qint32 StrToInt(const QString& Text);

private:
    struct RetrievalStopped {}; // a reply failure that OnFailure handled: no success, no error
    struct Retrieval;           // what one Download or DownloadRestore works on

    // Whether a reply becomes LastReply/ReplyCode. A reply that is only drained (one still owed
    // by a transfer that ended early) leaves them to the reply the caller judged.
    enum class ReplyUse : quint8 { Kept, Drained };
    // Whether the continuation lines are read with the first line. The RETR reply's code is
    // judged before its continuation lines are read.
    enum class ReplyExtent : quint8 { Whole, FirstLine };

    // Raises FTPException, before anything is sent, for an argument that holds CR, LF or NUL or
    // that is longer than MaxArgumentBytes in Big5, as it would go out.
    void RefuseLineBreaksOrOverlength(const QString& Argument) const;

    // --- replies: every reply of the control connection is read by ReadReply
    FtpReply ReadReply(ReplyUse Use, ReplyExtent Extent = ReplyExtent::Whole);
    void ReadContinuation(FtpReply& Reply);
    // Sends Command and reads its reply, which is kept.
    FtpReply Exchange(const QString& Command, ReplyExtent Extent = ReplyExtent::Whole);
    // Exchange for a reply that may never come; nullopt when none came within ReplyGraceMs.
    std::optional<FtpReply> BriefExchange(const QString& Command);
    // Runs a wait for a reply; a cancelled one leaves the reply owed (ReplyOverdue_).
    void AwaitReply(const std::function<void()>& Wait);
    bool InputWithin(int Milliseconds);
    void CheckReplyPresent(const FtpReply& Reply);

    // --- login
    void RefuseUnsendableLogin() const;
    void AwaitGreeting();
    void LogIn();
    void LogInToFirewall();
    void AskForMissingCredentials();
    void AnnounceToProxy();
    void LoginStep(const QString& Command, bool ReportPassOnly);
    [[noreturn]] void FailLogin(const FtpReply& Reply);

    // --- retrieval, in the order it runs
    [[noreturn]] void ReplyFailure(const FtpReply& Reply, TCmdType Kind);
    void Retrieve(const QString& RemoteName, QString LocalPath, TCmdType Kind);
    void NewDataSocket(const Retrieval& R);
    void SetBinaryType(TCmdType Kind);
    void OpenDataConnection(TCmdType Kind);
    void RequestRestart(const Retrieval& R);
    void RequestFile(Retrieval& R);
    void AcceptDataConnection();
    void ReceiveFile(const Retrieval& R);
    void ReadCompletion(Retrieval& R);
    void FireTransactionStop();
    void CleanUpRetrieval(bool Succeeded, TCmdType Kind, bool RetrOutstanding);
    // The TLS steps of a session with Security Tls (nothing otherwise): AUTH TLS and the
    // handshake after the greeting, PBSZ 0 and PROT P after the login, the handshake of a data
    // connection once the server has answered RETR (it accepts the data connection only then).
    void SecureControlConnection();
    void ProtectDataConnections();
    void SecureDataConnection();
    // Ends a call whose component was destroyed by an event handler, without touching it.
    static void CheckAlive(const std::shared_ptr<const bool>& alive);

    QString UserID_;
    QString Password_;
    bool Passive_ = false;
    TAsyncSocket* DataConnection_ = nullptr;
    qint32 Vendor_ = 2411;
    bool ParseList_ = false;
    TFirewallType FirewallType_ = FTUser;
    QString FWUserID_;
    QString FWPassword_;
    bool FWAuthenticate_ = false;
    qint64 MaxFileSize_ = -1;
    // A wait for the server's reply was cancelled (or timed out): the reply is still owed, and
    // whatever comes next cannot be matched to a command. Cleared by a new connection.
    bool ReplyOverdue_ = false;
    TFtpSecurity Security_ = TFtpSecurity::None;
    QString CaFile_;
    std::shared_ptr<TTlsContext> TlsContext_; // the session's trust, shared with its data
};
