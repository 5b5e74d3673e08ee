#include "FtpClient.h"

#include "Fire.h"
#include "TlsChannel.h"
#include "platform/Big5.h"
#include "platform/Events.h"
#include "platform/FileSystem.h"
#include "platform/Numbers.h"

#include <QElapsedTimer>
#include <QFile>
#include <climits>
#include <memory>
#include <utility>

namespace {

const QString DestroyedText = QStringLiteral("FTP component destroyed while a call was pending");
const QString ClosedText = QStringLiteral("Connection closed by the server");

// A server that streams continuation lines for ever must not keep a call pending for ever.
constexpr int MaxContinuationLines = 4096;

constexpr quint16 ConnectionResetCode = 10054;

// How long the clean-up of a dropped transfer waits for a reply that may or may not come.
constexpr int ReplyGraceMs = 1000;

bool IsDecimalDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool IsWordByte(QChar c) {
    return IsDecimalDigit(c) || c == QLatin1Char('_') ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

QString TooLargeText(const QString& remoteName) {
    return QStringLiteral("File of 2 GiB or more not supported: ") + remoteName;
}

} // namespace

void TFtpClient::CheckAlive(const std::shared_ptr<const bool>& alive) {
    if (!*alive)
        throw EAbortError(DestroyedText);
}

TFtpClient::TFtpClient(QObject* Owner) : TAsyncSocket(Owner) {
    SetPort(21);
    DataConnection_ = nullptr;
    Vendor_ = 2411;
    // The control connection is read only when a reply is expected.
    OnReadReady = [](QObject*) {};
}

TFtpClient::~TFtpClient() {
    Cancel();
    // No QUIT: the component may be destroyed from inside one of its own pending calls. The
    // data connection's pending receive ends through its own liveness guard.
    delete DataConnection_;
    DataConnection_ = nullptr;
}

// --- reply parsing

bool TFtpClient::IsContinuationLine(const QString& Line) {
    if (Line.isEmpty())
        return false;
    return Line[0] == QLatin1Char(' ') || (Line.size() >= 4 && Line[3] == QLatin1Char('-'));
}

TCmdType TFtpClient::ClassifyCommand(const QString& Command) {
    const int space = Command.indexOf(QLatin1Char(' '));
    const QString word = (space < 0 ? Command : Command.left(space)) + QLatin1Char(' ');
    if (word == QLatin1String("CWD "))
        return ctChangeDir;
    if (word == QLatin1String("DELE "))
        return ctDelete;
    if (word == QLatin1String("MKD "))
        return ctMakeDir;
    if (word == QLatin1String("RMD "))
        return ctRemoveDir;
    if (Command == QLatin1String("PWD"))
        return ctCurrentDir;
    return ctCommand;
}

std::optional<quint64> TFtpClient::AnnouncedByteCount(const QString& Line) {
    // Searched in the line itself: an upper-case copy may be longer (a "ß" becomes "SS"), and
    // its positions would point past the digits, or past the end of the line.
    const int byte = static_cast<int>(Line.indexOf(QLatin1String("BYTE"), 0, Qt::CaseInsensitive));
    if (byte < 0)
        return std::nullopt;
    int end = byte; // one past the last digit of the run
    while (end > 0 && !IsDecimalDigit(Line[end - 1]))
        --end;
    if (end == 0)
        return std::nullopt;
    int begin = end;
    while (begin > 0 && IsDecimalDigit(Line[begin - 1]))
        --begin;
    quint64 value = 0;
    for (int i = begin; i < end; ++i) {
        const unsigned digit = static_cast<unsigned>(Line[i].unicode() - '0');
        if (value > (ULLONG_MAX - digit) / 10)
            return ULLONG_MAX; // absurdly large: certainly not a size this component takes
        value = value * 10 + digit;
    }
    return value;
}

qint32 TFtpClient::ExtractByteCount(const QString& Line) {
    const std::optional<quint64> count = AnnouncedByteCount(Line);
    if (!count || *count > static_cast<quint64>(INT_MAX))
        return 0;
    return static_cast<qint32>(*count);
}

qint32 TFtpClient::StrToInt(const QString& Text) {
    return StrToInt32(Text);
}

quint16 TFtpClient::PasvPort(const QString& ReplyLine) {
    // The six numbers h1,h2,h3,h4,p1,p2 may stand in parentheses or not, and blanks may follow
    // a comma: the first run of comma-separated numbers after the code that has six or more
    // decides. Anything but exactly six numbers of 0..255 there leaves no port to trust.
    const int size = static_cast<int>(ReplyLine.size());
    const auto at = [&](int k) { return k >= 0 && k < size ? ReplyLine[k] : QChar(0); };
    int i = 0;
    while (i < size && IsDecimalDigit(ReplyLine[i]))
        ++i; // the code
    while (i < size) {
        if (!IsDecimalDigit(ReplyLine[i])) {
            ++i;
            continue;
        }
        // A run glued to a word, a sign or a dotted number is not a list of numbers.
        const QChar before = at(i - 1);
        const bool startsClean = !IsWordByte(before) && before != QLatin1Char('-') &&
                                 before != QLatin1Char('+') &&
                                 !(before == QLatin1Char('.') && IsDecimalDigit(at(i - 2)));
        int values[6] = {};
        int count = 0;
        int end = i;
        for (;;) {
            int value = 0;
            for (; end < size && IsDecimalDigit(ReplyLine[end]); ++end)
                value = qMin(value * 10 + (ReplyLine[end].unicode() - '0'), 1000);
            if (count < 6)
                values[count] = value;
            ++count;
            if (at(end) != QLatin1Char(','))
                break;
            int next = end + 1;
            while (at(next) == QLatin1Char(' '))
                ++next;
            if (!IsDecimalDigit(at(next)))
                break;
            end = next;
        }
        if (!startsClean || count < 6) {
            i = end;
            continue;
        }
        const QChar after = at(end);
        bool valid = count == 6 && !IsWordByte(after) &&
                     !(after == QLatin1Char('.') && IsDecimalDigit(at(end + 1)));
        for (int v : values)
            valid = valid && v <= 255;
        const int port = values[4] * 256 + values[5];
        if (!valid || port == 0)
            break;
        return static_cast<quint16>(port);
    }
    throw FTPException(ReplyLine);
}

// --- control connection

void TFtpClient::RefuseLineBreaksOrOverlength(const QString& Argument) const {
    // A CR or LF would end the command early and let the rest pass as a command of its own; a
    // NUL would cut the line before its CR LF, and the reply would never come.
    for (QChar c : Argument)
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0))
            throw FTPException(QStringLiteral("Invalid character (CR, LF or NUL) in FTP argument"));
    // Counted as sent. Every character is at least one byte of Big5 (a surrogate pair at least
    // one for the two), so a text twice as long as the limit needs no conversion to tell.
    if (Argument.size() > 2 * MaxArgumentBytes || toBig5(Argument).size() > MaxArgumentBytes)
        throw FTPException(
            QStringLiteral("FTP argument longer than %1 bytes").arg(MaxArgumentBytes));
}

void TFtpClient::RefuseUnsendableLogin() const {
    RefuseLineBreaksOrOverlength(UserID_);
    RefuseLineBreaksOrOverlength(Password_);
    RefuseLineBreaksOrOverlength(FWUserID_);
    RefuseLineBreaksOrOverlength(FWPassword_);
    RefuseLineBreaksOrOverlength(Host());
}

QString TFtpClient::FinishReply(const QString& FirstLine) {
    FtpReply reply;
    reply.First = FirstLine;
    reply.Last = FirstLine;
    ReadContinuation(reply);
    return reply.Last;
}

void TFtpClient::ReadContinuation(FtpReply& Reply) {
    auto alive = AliveToken();
    int lines = 0;
    while (IsContinuationLine(Reply.Last)) {
        if (++lines > MaxContinuationLines)
            throw FTPException(QStringLiteral("Reply too long: ") + Reply.First);
        const QString line = ReadLn();
        CheckAlive(alive);
        if (line.isEmpty())
            break; // the server closed the connection
        ReportStatus(1, line);
        CheckAlive(alive);
        Reply.Last = line;
    }
}

void TFtpClient::AwaitReply(const std::function<void()>& Wait) {
    auto alive = AliveToken();
    try {
        Wait();
    } catch (const EAbortError&) {
        if (*alive)
            ReplyOverdue_ = true;
        throw;
    }
}

QString TFtpClient::Transaction(const QString& Command) {
    return Exchange(Command).First;
}

FtpReply TFtpClient::Exchange(const QString& Command, ReplyExtent Extent) {
    FtpReply reply;
    AwaitReply([&] {
        ReportStatus(8, QStringLiteral("Transaction"));
        SetReplyCode(0);
        Writeln(Command);
        reply = ReadReply(ReplyUse::Kept, Extent);
    });
    return reply;
}

FtpReply TFtpClient::ReadReply(ReplyUse Use, ReplyExtent Extent) {
    FtpReply reply;
    AwaitReply([&] {
        auto alive = AliveToken();
        reply.First = ReadLn();
        reply.Last = reply.First;
        if (Use == ReplyUse::Kept)
            SetLastReply(reply.First);
        if (!reply.Unanswered()) {
            ReportStatus(1, reply.First);
            CheckAlive(alive);
            reply.Code = ParseReplyCode(reply.First);
        }
        if (Use == ReplyUse::Kept)
            SetReplyCode(reply.Code);
        if (Extent == ReplyExtent::Whole)
            ReadContinuation(reply);
    });
    return reply;
}

std::optional<FtpReply> TFtpClient::BriefExchange(const QString& Command) {
    SetReplyCode(0);
    SetLastReply(QString());
    Writeln(Command);
    if (ReplyOverdue_ || !InputWithin(ReplyGraceMs)) {
        ReplyOverdue_ = true;
        return std::nullopt;
    }
    return ReadReply(ReplyUse::Kept);
}

// A closed reply means that the server closed the control connection: no reply will come, and a
// code of 0 must not pass for success.
void TFtpClient::CheckReplyPresent(const FtpReply& Reply) {
    if (!Reply.Unanswered())
        return;
    if (Connected()) {
        auto alive = AliveToken();
        RequestCloseSocket();
        CheckAlive(alive);
    }
    throw FTPException(ClosedText);
}

void TFtpClient::FailLogin(const FtpReply& Reply) {
    auto alive = AliveToken();
    if (OnConnectionFailed) {
        Fire(OnConnectionFailed, alive, this);
        CheckAlive(alive);
    }
    CheckReplyPresent(Reply); // closes our end too, so that no QUIT goes to a dead peer
    throw FTPException(Reply.First);
}

void TFtpClient::LoginStep(const QString& Command, bool ReportPassOnly) {
    if (ReportPassOnly)
        ReportStatus(1, QStringLiteral("PASS "));
    const FtpReply reply = Exchange(Command);
    if (reply.Unanswered() || (reply.Code >= 401 && reply.Code <= 599))
        FailLogin(reply);
}

void TFtpClient::Connect() {
    SetCanceled(false);
    if (Connected())
        return;
    RefuseUnsendableLogin();
    ClearInput();
    ReplyOverdue_ = false;
    TAsyncSocket::Connect();

    auto alive = AliveToken();
    try {
        AwaitGreeting();
        SecureControlConnection();
        LogIn();
        ProtectDataConnections();
        if (OnConnect)
            Fire(OnConnect, alive, this);
    } catch (...) {
        if (!*alive)
            throw;
        Disconnect();
        ReportStatus(1, QStringLiteral("Disconnected"));
        throw;
    }
}

void TFtpClient::AwaitGreeting() {
    SetReplyCode(0);
    const FtpReply greeting = ReadReply(ReplyUse::Kept);
    if (greeting.Unanswered() || greeting.Code > 400)
        FailLogin(greeting);
}

void TFtpClient::LogIn() {
    if (FWAuthenticate_)
        LogInToFirewall();
    AskForMissingCredentials();
    if (!Proxy().isEmpty())
        AnnounceToProxy();
    // Through a proxy of type FTUser, the USER sent to the proxy was the login already.
    if (Proxy().isEmpty() || FirewallType_ != FTUser) {
        ReportStatus(1, QStringLiteral("USER ") + UserID_);
        LoginStep(QStringLiteral("USER ") + UserID_, false);
    }
    // Any other answer to USER (230: no password needed) skips PASS.
    if (ReplyCode() == 331)
        LoginStep(QStringLiteral("PASS ") + Password_, true);
}

void TFtpClient::LogInToFirewall() {
    LoginStep(QStringLiteral("USER ") + FWUserID_, false);
    if (ReplyCode() == 331)
        LoginStep(QStringLiteral("PASS ") + FWPassword_, true);
}

void TFtpClient::AskForMissingCredentials() {
    if ((!UserID_.isEmpty() && !Password_.isEmpty()) || !OnAuthenticationNeeded)
        return;
    auto alive = AliveToken();
    bool handled = false; // not looked at: the handler answers by filling in the fields
    Fire(OnAuthenticationNeeded, alive, handled);
    CheckAlive(alive);
    RefuseLineBreaksOrOverlength(UserID_);
    RefuseLineBreaksOrOverlength(Password_);
}

void TFtpClient::AnnounceToProxy() {
    QString command;
    switch (FirewallType_) {
    case FTUser:
        command = QStringLiteral("USER ") + UserID_ + QLatin1Char('@') + Host();
        break;
    case FtOpen:
        command = QStringLiteral("OPEN ") + Host();
        break;
    case FtSite:
        command = QStringLiteral("SITE ") + Host();
        break;
    }
    if (command.isEmpty())
        return; // a firewall type without a command of its own
    // The proxy's answer to its own command is not examined; a closed connection is.
    const FtpReply reply = Exchange(command);
    if (reply.Unanswered())
        FailLogin(reply);
}

void TFtpClient::Disconnect() {
    SetCanceled(false);
    if (!Connected())
        return;
    ReportStatus(1, QStringLiteral("QUIT"));
    auto alive = AliveToken();
    FtpReply quit;
    try {
        Vendor_ = 2411;
        if (DataAvailable())
            Read(0);
        if (ReplyOverdue_) {
            // The server still owes an earlier reply: what it sends now cannot be told from the
            // answer to QUIT, and a server that has gone silent would hold this call until
            // someone cancels it again. Take leave without waiting.
            Writeln(QStringLiteral("QUIT"));
        } else {
            quit = Exchange(QStringLiteral("QUIT"));
        }
    } catch (...) {
        if (*alive) {
            ReplyOverdue_ = false;
            TAsyncSocket::Disconnect();
        }
        throw;
    }
    ReplyOverdue_ = false;
    TAsyncSocket::Disconnect();
    if (quit.Code >= 301 && quit.Code <= 599)
        throw FTPException(quit.First);
}

void TFtpClient::SendCommand(const QString& Command) {
    const TCmdType kind = ClassifyCommand(Command);
    RefuseLineBreaksOrOverlength(Command);
    SetCanceled(false);
    auto alive = AliveToken();
    RequireConnection();
    CheckAlive(alive);
    ReportStatus(1, Command.startsWith(QLatin1String("PASS "), Qt::CaseInsensitive)
                        ? QStringLiteral("PASS ")
                        : Command);
    if (DataAvailable())
        Read(0);
    const FtpReply reply = Exchange(Command);
    CheckReplyPresent(reply);
    if (reply.Code >= 400 && reply.Code <= 599) {
        if ((reply.Code == 500 || reply.Code == 501 || reply.Code == 502) &&
            OnUnSupportedFunction) {
            Fire(OnUnSupportedFunction, alive, kind);
            CheckAlive(alive);
        }
        if (!OnFailure)
            throw FTPException(reply.First);
        bool handled = false;
        Fire(OnFailure, alive, handled, kind);
        if (!handled)
            throw FTPException(reply.First);
        return;
    }
    if (OnSuccess)
        Fire(OnSuccess, alive, kind);
}

void TFtpClient::ChangeDir(const QString& Dir) {
    SendCommand(QStringLiteral("CWD ") + Dir);
}

// --- retrieval

struct TFtpClient::Retrieval {
    QString RemoteName;
    QString LocalPath;
    TCmdType Kind;
    // Counts are 32-bit: the file (offset included) stays below 2 GiB, so the count never
    // wraps; a smaller MaxFileSize bounds it further.
    bool Capped;
    qint64 FileLimit;
    bool RetrOutstanding = false; // RETR accepted, its final reply not read yet

    bool Restore() const { return Kind == ctDownloadRestore; }
    EFileTooLarge TooLarge() const {
        return EFileTooLarge(
            Capped ? QStringLiteral("File larger than %1 bytes: %2").arg(FileLimit).arg(RemoteName)
                   : TooLargeText(RemoteName));
    }
};

qint32 TFtpClient::ReceivedBytes() const {
    return DataConnection_ ? DataConnection_->ReceivedBytes() : 0;
}

void TFtpClient::Abort() {
    if (DataConnection_)
        DataConnection_->Cancel();
}

void TFtpClient::ReplyFailure(const FtpReply& Reply, TCmdType Kind) {
    const QString line = Reply.Unanswered() ? ClosedText : Reply.First;
    if (!OnFailure)
        throw FTPException(line);
    auto alive = AliveToken();
    bool handled = false;
    Fire(OnFailure, alive, handled, Kind);
    CheckAlive(alive);
    if (!handled)
        throw FTPException(line);
    throw RetrievalStopped{};
}

void TFtpClient::OpenDataConnection(TCmdType Kind) {
    auto alive = AliveToken();
    if (Passive_) {
        const FtpReply reply = Exchange(QStringLiteral("PASV"));
        CheckReplyPresent(reply);
        if (reply.Code >= 500)
            ReplyFailure(reply, Kind);
        // Only the port is taken from the reply: the data connection goes to the host the
        // control connection went to, whatever address the server (or a NAT) announces.
        const quint16 port = PasvPort(reply.First);
        DataConnection_->SetHost(Host());
        DataConnection_->SetPort(port);
        DataConnection_->Connect();
        CheckAlive(alive);
    } else {
        DataConnection_->SetPort(0);
        DataConnection_->Listen(true);
        const FtpReply reply = Exchange(QStringLiteral("PORT ") + LocalAddressText() +
                                        DataConnection_->LocalPortText());
        CheckReplyPresent(reply);
        if (reply.Code >= 301 && reply.Code <= 599)
            ReplyFailure(reply, Kind);
    }
}

bool TFtpClient::InputWithin(int Milliseconds) {
    auto alive = AliveToken();
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (DataAvailable())
            return true;
        const qint64 left = Milliseconds - clock.elapsed();
        if (left <= 0)
            return false;
        WaitForMessages(static_cast<int>(left));
        CheckAlive(alive);
    }
}

void TFtpClient::CleanUpRetrieval(bool Succeeded, TCmdType Kind, bool RetrOutstanding) {
    delete DataConnection_;
    DataConnection_ = nullptr;
    if (Canceled()) {
        SetCanceled(false);
        if (Connected()) {
            // Once RETR has been accepted, ABOR brings two replies: the end of the transfer
            // (426, or 226 when it had already ended) and the one for ABOR itself (225/226).
            // Both are read here, so that neither is taken for the reply to a later command;
            // the second only if it comes soon (a server that never set up the transfer, or
            // does not follow the rule, sends one). The cancel may have come because the server
            // went silent altogether: then even the first is not waited for long.
            const std::optional<FtpReply> abor = BriefExchange(QStringLiteral("ABOR"));
            if (abor && RetrOutstanding && !abor->Unanswered() &&
                !(abor->Code >= 500 && abor->Code <= 502) && InputWithin(ReplyGraceMs))
                ReadReply(ReplyUse::Drained);
        }
    } else if (RetrOutstanding && Connected()) {
        // The transfer failed on our side or on the data connection after RETR was accepted:
        // the server ends it (our end of the data connection is closed now) and sends its final
        // reply, which must be read here rather than taken for the reply to the next command.
        // A server that is stuck sends nothing: the wait is short.
        if (InputWithin(ReplyGraceMs))
            ReadReply(ReplyUse::Drained);
    }
    if (Succeeded && OnSuccess)
        Fire(OnSuccess, AliveToken(), Kind);
}

void TFtpClient::Retrieve(const QString& RemoteName, QString LocalPath, TCmdType Kind) {
    auto alive = AliveToken();
    SetCanceled(false);
    RequireConnection();
    CheckAlive(alive);
    if (DataAvailable())
        Read(0);

    const bool capped = MaxFileSize_ >= 0 && MaxFileSize_ < INT_MAX;
    Retrieval r{RemoteName, LocalPath, Kind, capped, capped ? MaxFileSize_ : INT_MAX};
    NewDataSocket(r);
    try {
        if (r.Restore() && r.LocalPath.isEmpty())
            r.LocalPath = RemoteName;
        SetBinaryType(Kind);
        OpenDataConnection(Kind);
        if (r.Restore())
            RequestRestart(r);
        RequestFile(r);
        if (!Passive_)
            AcceptDataConnection();
        SecureDataConnection();
        if (OnTransactionStart) {
            Fire(OnTransactionStart, alive, this);
            CheckAlive(alive);
        }
        if (!Canceled() && !TimedOut())
            ReceiveFile(r);
        FireTransactionStop();
        ReadCompletion(r);
        FireTransactionStop();
    } catch (const RetrievalStopped&) {
        CleanUpRetrieval(false, Kind, false);
        return;
    } catch (...) {
        if (!*alive)
            throw;
        CleanUpRetrieval(false, Kind, r.RetrOutstanding);
        throw;
    }
    CleanUpRetrieval(true, Kind, false);
}

void TFtpClient::NewDataSocket(const Retrieval& R) {
    DataConnection_ = new TAsyncSocket(this);
    DataConnection_->SetTimeOut(TimeOut());
    DataConnection_->SetAnyLocalFile(AnyLocalFile());
    DataConnection_->SetOwnLocalFile(OwnLocalFile());
    // The receive stops at the limit by itself.
    DataConnection_->SetReceiveLimit(R.FileLimit);
    // The handler is shared rather than copied per block: a handler that destroys the component
    // (and so this data connection) keeps its own closure alive while it runs, and no block
    // costs an allocation.
    if (OnPacketRecvd) {
        auto handler = std::make_shared<const TNotifyEvent>(OnPacketRecvd);
        DataConnection_->OnPacketRecvd = [handler](QObject* Sender) {
            const auto keep = handler;
            (*keep)(Sender);
        };
    }
}

void TFtpClient::SetBinaryType(TCmdType Kind) {
    // In the default ASCII type servers rewrite line ends inside the file and refuse REST.
    const FtpReply reply = Exchange(QStringLiteral("TYPE I"));
    CheckReplyPresent(reply);
    if (reply.Code >= 500)
        ReplyFailure(reply, Kind);
}

void TFtpClient::RequestRestart(const Retrieval& R) {
    qint64 size = 0;
    if (const std::shared_ptr<OwnFile> own = OwnLocalFile()) {
        // Only the part of the program's own file counts: whatever else stands at the name is
        // not appended to either.
        if (own->identity && IsSameFile(R.LocalPath, *own->identity))
            size = FileSize(R.LocalPath);
    } else {
        QFile local(R.LocalPath);
        if (local.open(QIODevice::ReadOnly))
            size = local.size();
        local.close();
    }
    if (size > R.FileLimit)
        throw R.TooLarge();
    DataConnection_->SetReceiveLimit(R.FileLimit - size);
    ReportStatus(1, QStringLiteral("REST RETR ") + R.RemoteName);
    SetTransferSize(0);
    const FtpReply reply =
        Exchange(QStringLiteral("REST ") + QString::number(size), ReplyExtent::FirstLine);
    CheckReplyPresent(reply);
    // A server that cannot restart would send the whole file, and appending it to the part
    // already here would corrupt the update: only 3xx lets RETR follow.
    if (reply.Code < 300 || reply.Code > 399)
        ReplyFailure(reply, R.Kind);
}

void TFtpClient::RequestFile(Retrieval& R) {
    if (!R.Restore()) {
        ReportStatus(1, QStringLiteral("RETR ") + R.RemoteName);
        SetTransferSize(0);
    }
    FtpReply reply = Exchange(QStringLiteral("RETR ") + R.RemoteName, ReplyExtent::FirstLine);
    CheckReplyPresent(reply);
    if (reply.Code >= 301 && reply.Code <= 599)
        ReplyFailure(reply, R.Kind);
    R.RetrOutstanding = true;
    AwaitReply([&] { ReadContinuation(reply); });
    SetTransferSize(ExtractByteCount(reply.Last));
    // Compared with the whole file: after REST some servers announce what is left, others the
    // whole size.
    const std::optional<quint64> announced = AnnouncedByteCount(reply.Last);
    if (announced && *announced > static_cast<quint64>(R.FileLimit))
        throw R.TooLarge();
}

void TFtpClient::AcceptDataConnection() {
    auto alive = AliveToken();
    const WsHandle accepted = DataConnection_->Accept();
    CheckAlive(alive);
    const WsHandle listening = DataConnection_->SocketHandle();
    DataConnection_->SetSocketHandle(accepted);
    TAsyncSocket::CloseSocketHandle(listening);
}

void TFtpClient::ReceiveFile(const Retrieval& R) {
    auto alive = AliveToken();
    try {
        if (R.Restore())
            DataConnection_->AppendFile(R.LocalPath);
        else
            DataConnection_->CaptureFile(R.LocalPath.isEmpty() ? R.RemoteName : R.LocalPath);
    } catch (const EReceiveLimitError&) {
        throw R.TooLarge();
    }
    CheckAlive(alive);
    // A reset is not the end of the file. The receive ends on it as on a clean close; the close
    // notice, already queued, carries the error: let it arrive and look.
    ProcessMessages();
    CheckAlive(alive);
    if (!DataConnection_->AsyncOK())
        throw ESockError(DataConnection_->LookupErrorMessage(ConnectionResetCode));
}

void TFtpClient::FireTransactionStop() {
    if (OnTransactionStop && !Fire(OnTransactionStop, AliveToken(), this))
        throw EAbortError(DestroyedText);
}

void TFtpClient::ReadCompletion(Retrieval& R) {
    DataConnection_->RequestCloseSocket();
    SetTransferSize(DataConnection_->ReceivedBytes());
    ReportStatus(1, QStringLiteral("Received ") + QString::number(TransferSize()) +
                        QStringLiteral(" Bytes"));
    if (Canceled() || TimedOut()) {
        // No completion reply is waited for: the clean-up's ABOR collects it.
        if (!LastReply().isEmpty())
            ReportStatus(1, LastReply());
        return;
    }
    // The completion code is not examined: a 426 after the whole file still counts, and the
    // caller compares the size itself. Kept as the last reply, so that a caller can judge the
    // transfer by it.
    ReadReply(ReplyUse::Kept);
    R.RetrOutstanding = false;
}

void TFtpClient::Download(const QString& RemoteName, const QString& LocalPath) {
    RefuseLineBreaksOrOverlength(RemoteName);
    auto alive = AliveToken();
    try {
        Retrieve(RemoteName, LocalPath, ctDownload);
    } catch (...) {
        if (!*alive || !OnFailure)
            throw;
        // A failure that OnFailure declined at a reply check is offered to it a second time.
        bool handled = false;
        Fire(OnFailure, alive, handled, ctDownload);
        if (!handled)
            throw;
    }
}

void TFtpClient::DownloadRestore(const QString& RemoteName, const QString& LocalPath) {
    RefuseLineBreaksOrOverlength(RemoteName);
    Retrieve(RemoteName, LocalPath, ctDownloadRestore);
}

// --- TLS: explicit FTPS (RFC 4217), the steps a session with Security Tls adds to
// the plain protocol. Nothing here runs for Security None.

namespace {

// A reply line for a one-line log entry: printable ASCII only, whatever the server sent.
QString ReplyForLog(const QString& line) {
    QString text = line.trimmed();
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            c = QLatin1Char('?');
    return text.isEmpty() ? QStringLiteral("no reply (the server closed the connection)") : text;
}

} // namespace

void TFtpClient::SecureControlConnection() {
    TlsContext_.reset();
    if (Security_ != TFtpSecurity::Tls)
        return;
    auto alive = AliveToken();
    try {
        // The trust is settled before anything is asked of the server.
        TlsContext_ = std::make_shared<TTlsContext>(CaFile_);
        ReportStatus(1, QStringLiteral("AUTH TLS"));
        Transaction(QStringLiteral("AUTH TLS"));
        CheckAlive(alive);
        // 234 is the only yes (RFC 4217 9); anything else leaves the connection in clear text,
        // where the user name and password must not go.
        if (ReplyCode() != 234)
            throw ETlsError(QStringLiteral("TLS refused by the server: ") +
                            ReplyForLog(LastReply()));
        StartTls(TlsContext_, Host());
        CheckAlive(alive);
    } catch (const ETlsError&) {
        // Closed here, so that the clean-up of Connect sends no QUIT over the broken channel.
        if (*alive && Connected())
            RequestCloseSocket();
        throw;
    }
}

void TFtpClient::ProtectDataConnections() {
    if (Security_ != TFtpSecurity::Tls)
        return;
    // After the login: servers accept PBSZ and PROT then (vsftpd before it as well), and the
    // login itself stays the exchange it is without TLS.
    auto alive = AliveToken();
    for (const char* command : {"PBSZ 0", "PROT P"}) {
        ReportStatus(1, QLatin1String(command));
        Transaction(QLatin1String(command));
        CheckAlive(alive);
        if (ReplyCode() < 200 || ReplyCode() > 299)
            throw ETlsError(
                QStringLiteral("TLS: %1 refused by the server: ").arg(QLatin1String(command)) +
                ReplyForLog(LastReply()));
    }
}

void TFtpClient::SecureDataConnection() {
    // Whatever Security says now: the data go as the session was opened (PROT P or not).
    if (!Tls())
        return;
    auto alive = AliveToken();
    // The session of the control connection: servers such as vsftpd refuse a data connection
    // that does not resume it (it proves the same client made both).
    DataConnection_->StartTls(TlsContext_, Host(), this);
    CheckAlive(alive);
}
