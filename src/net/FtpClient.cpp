#include "FtpClient.h"

#include "platform/Big5.h"
#include "platform/Events.h"

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

// Calls an event handler through a copy: a handler may destroy the component, and with it the
// handler object it is running from.
template <class Handler, class... Args> void Fire(const Handler& handler, Args&&... args) {
    if (handler) {
        const Handler copy = handler;
        copy(std::forward<Args>(args)...);
    }
}

// Ends a call whose component was destroyed by an event handler, without touching it.
void CheckAlive(const std::shared_ptr<const bool>& alive) {
    if (!*alive)
        throw EAbortError(DestroyedText);
}

QString TooLargeText(const QString& remoteName) {
    return QStringLiteral("File of 2 GiB or more not supported: ") + remoteName;
}

} // namespace

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

qint16 TFtpClient::ParseReplyCode(const QString& Line) {
    qint64 value = 0;
    int digits = 0;
    while (digits < 10 && digits < Line.size() && IsDecimalDigit(Line[digits])) {
        value = value * 10 + (Line[digits].unicode() - '0');
        ++digits;
    }
    if (digits == 0 || value > SHRT_MAX)
        return 0;
    return static_cast<qint16>(value);
}

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
    int i = 0;
    while (i < Text.size() && Text[i] == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == QLatin1Char('-') || Text[i] == QLatin1Char('+'))) {
        negative = Text[i] == QLatin1Char('-');
        ++i;
    }
    const int first = i;
    qint64 value = 0;
    for (; i < Text.size() && IsDecimalDigit(Text[i]); ++i) {
        value = value * 10 + (Text[i].unicode() - '0');
        if (value > static_cast<qint64>(INT_MAX) + 1)
            break;
    }
    if (negative)
        value = -value;
    if (i == first || i != Text.size() || value > INT_MAX || value < INT_MIN)
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(Text));
    return static_cast<qint32>(value);
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

QString TFtpClient::FinishReply(const QString& FirstLine) {
    auto alive = AliveToken();
    QString current = FirstLine;
    QString last = FirstLine;
    int lines = 0;
    while (IsContinuationLine(current)) {
        if (++lines > MaxContinuationLines)
            throw FTPException(QStringLiteral("Reply too long: ") + FirstLine);
        current = ReadLn();
        CheckAlive(alive);
        if (current.isEmpty())
            break; // the server closed the connection
        ReportStatus(1, current);
        last = current;
    }
    return last;
}

QString TFtpClient::AwaitReply(const std::function<QString()>& Wait) {
    auto alive = AliveToken();
    try {
        return Wait();
    } catch (const EAbortError&) {
        if (*alive)
            ReplyOverdue_ = true;
        throw;
    }
}

QString TFtpClient::Transaction(const QString& Command) {
    return AwaitReply([&] {
        const QString first = TAsyncSocket::Transaction(Command);
        FinishReply(first);
        return first;
    });
}

QString TFtpClient::ReadReply() {
    return AwaitReply([&] {
        SetReplyCode(0);
        const QString line = ReadLn();
        SetLastReply(line);
        if (!line.isEmpty()) {
            ReportStatus(1, line);
            SetReplyCode(ParseReplyCode(line));
        }
        FinishReply(line);
        return line;
    });
}

bool TFtpClient::BriefTransaction(const QString& Command) {
    SetReplyCode(0);
    SetLastReply(QString());
    Writeln(Command);
    if (ReplyOverdue_ || !InputWithin(ReplyGraceMs)) {
        ReplyOverdue_ = true;
        return false;
    }
    ReadReply();
    return true;
}

// An empty reply line means that the server closed the control connection: no reply will come,
// and a code of 0 must not pass for success.
void TFtpClient::CheckReplyPresent(const QString& Line) {
    if (!Line.isEmpty())
        return;
    if (Connected()) {
        auto alive = AliveToken();
        RequestCloseSocket();
        CheckAlive(alive);
    }
    throw FTPException(ClosedText);
}

void TFtpClient::FailLogin() {
    const bool closed = LastReply().isEmpty();
    auto alive = AliveToken();
    if (OnConnectionFailed) {
        Fire(OnConnectionFailed, this);
        CheckAlive(alive);
    }
    if (closed)
        CheckReplyPresent(QString()); // closes our end too, so that no QUIT goes to a dead peer
    throw FTPException(LastReply());
}

void TFtpClient::LoginStep(const QString& Command, bool ReportPassOnly) {
    if (ReportPassOnly)
        ReportStatus(1, QStringLiteral("PASS "));
    Transaction(Command);
    if (LastReply().isEmpty() || (ReplyCode() >= 401 && ReplyCode() <= 599))
        FailLogin();
}

void TFtpClient::Connect() {
    SetCanceled(false);
    if (Connected())
        return;
    RefuseLineBreaksOrOverlength(UserID_);
    RefuseLineBreaksOrOverlength(Password_);
    RefuseLineBreaksOrOverlength(FWUserID_);
    RefuseLineBreaksOrOverlength(FWPassword_);
    RefuseLineBreaksOrOverlength(Host());
    ClearInput();
    ReplyOverdue_ = false;
    TAsyncSocket::Connect();

    auto alive = AliveToken();
    try {
        ReadReply();
        if (LastReply().isEmpty() || ReplyCode() > 400)
            FailLogin();
        SecureControlConnection();

        if (FWAuthenticate_) {
            LoginStep(QStringLiteral("USER ") + FWUserID_, false);
            if (ReplyCode() == 331)
                LoginStep(QStringLiteral("PASS ") + FWPassword_, true);
        }

        if ((UserID_.isEmpty() || Password_.isEmpty()) && OnAuthenticationNeeded) {
            bool handled = false;
            Fire(OnAuthenticationNeeded, handled);
            CheckAlive(alive);
            RefuseLineBreaksOrOverlength(UserID_);
            RefuseLineBreaksOrOverlength(Password_);
        }

        if (!Proxy().isEmpty()) {
            // The proxy's answer to its own command is not examined; a closed connection is.
            switch (FirewallType_) {
            case FTUser:
                Transaction(QStringLiteral("USER ") + UserID_ + QLatin1Char('@') + Host());
                break;
            case FtOpen:
                Transaction(QStringLiteral("OPEN ") + Host());
                break;
            case FtSite:
                Transaction(QStringLiteral("SITE ") + Host());
                break;
            }
            if (LastReply().isEmpty())
                FailLogin();
        }

        if (Proxy().isEmpty() || FirewallType_ != FTUser) {
            ReportStatus(1, QStringLiteral("USER ") + UserID_);
            LoginStep(QStringLiteral("USER ") + UserID_, false);
        }
        // Any other answer to USER (230: no password needed) skips PASS.
        if (ReplyCode() == 331)
            LoginStep(QStringLiteral("PASS ") + Password_, true);
        ProtectDataConnections();

        if (OnConnect)
            Fire(OnConnect, this);
    } catch (...) {
        if (!*alive)
            throw;
        Disconnect();
        ReportStatus(1, QStringLiteral("Disconnected"));
        throw;
    }
}

void TFtpClient::Disconnect() {
    SetCanceled(false);
    if (!Connected())
        return;
    ReportStatus(1, QStringLiteral("QUIT"));
    auto alive = AliveToken();
    QString reply;
    qint16 code = 0;
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
            reply = Transaction(QStringLiteral("QUIT"));
            code = ReplyCode();
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
    if (code >= 301 && code <= 599)
        throw FTPException(reply);
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
    const QString reply = Transaction(Command);
    CheckReplyPresent(reply);
    const qint16 code = ReplyCode();
    if (code >= 400 && code <= 599) {
        if ((code == 500 || code == 501 || code == 502) && OnUnSupportedFunction) {
            Fire(OnUnSupportedFunction, kind);
            CheckAlive(alive);
        }
        if (!OnFailure)
            throw FTPException(reply);
        bool handled = false;
        Fire(OnFailure, handled, kind);
        if (!handled)
            throw FTPException(reply);
        return;
    }
    if (OnSuccess)
        Fire(OnSuccess, kind);
}

void TFtpClient::ChangeDir(const QString& Dir) {
    SendCommand(QStringLiteral("CWD ") + Dir);
}

// --- retrieval

qint32 TFtpClient::ReceivedBytes() const {
    return DataConnection_ ? DataConnection_->ReceivedBytes() : 0;
}

void TFtpClient::Abort() {
    if (DataConnection_)
        DataConnection_->Cancel();
}

void TFtpClient::ReplyFailure(TCmdType Kind) {
    const QString line = LastReply().isEmpty() ? ClosedText : LastReply();
    if (!OnFailure)
        throw FTPException(line);
    auto alive = AliveToken();
    bool handled = false;
    Fire(OnFailure, handled, Kind);
    CheckAlive(alive);
    if (!handled)
        throw FTPException(line);
    throw RetrievalStopped{};
}

void TFtpClient::OpenDataConnection(TCmdType Kind) {
    auto alive = AliveToken();
    if (Passive_) {
        Transaction(QStringLiteral("PASV"));
        CheckReplyPresent(LastReply());
        if (ReplyCode() >= 500)
            ReplyFailure(Kind);
        // Only the port is taken from the reply: the data connection goes to the host the
        // control connection went to, whatever address the server (or a NAT) announces.
        const quint16 port = PasvPort(LastReply());
        DataConnection_->SetHost(Host());
        DataConnection_->SetPort(port);
        DataConnection_->Connect();
        CheckAlive(alive);
    } else {
        DataConnection_->SetPort(0);
        DataConnection_->Listen(true);
        Transaction(QStringLiteral("PORT ") + LocalAddressText() +
                    DataConnection_->LocalPortText());
        CheckReplyPresent(LastReply());
        if (ReplyCode() >= 301 && ReplyCode() <= 599)
            ReplyFailure(Kind);
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

void TFtpClient::ReadOutstandingReply() {
    AwaitReply([&] {
        const QString line = ReadLn();
        if (!line.isEmpty()) {
            ReportStatus(1, line);
            FinishReply(line);
        }
        return line;
    });
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
            if (BriefTransaction(QStringLiteral("ABOR")) && RetrOutstanding &&
                !LastReply().isEmpty() && !(ReplyCode() >= 500 && ReplyCode() <= 502) &&
                InputWithin(ReplyGraceMs))
                ReadOutstandingReply();
        }
    } else if (RetrOutstanding && Connected()) {
        // The transfer failed on our side or on the data connection after RETR was accepted:
        // the server ends it (our end of the data connection is closed now) and sends its final
        // reply, which must be read here rather than taken for the reply to the next command.
        // A server that is stuck sends nothing: the wait is short.
        if (InputWithin(ReplyGraceMs))
            ReadOutstandingReply();
    }
    if (Succeeded && OnSuccess)
        Fire(OnSuccess, Kind);
}

void TFtpClient::Retrieve(const QString& RemoteName, QString LocalPath, TCmdType Kind) {
    const bool restore = Kind == ctDownloadRestore;
    auto alive = AliveToken();
    SetCanceled(false);
    RequireConnection();
    CheckAlive(alive);
    if (DataAvailable())
        Read(0);

    DataConnection_ = new TAsyncSocket(this);
    DataConnection_->SetTimeOut(TimeOut());
    DataConnection_->SetAnyLocalFile(AnyLocalFile());
    // Counts are 32-bit: the file (offset included) stays below 2 GiB, so the count never wraps;
    // a smaller MaxFileSize bounds it further. The receive stops at the limit by itself.
    const bool capped = MaxFileSize_ >= 0 && MaxFileSize_ < INT_MAX;
    const qint64 fileLimit = capped ? MaxFileSize_ : INT_MAX;
    const auto tooLarge = [&] {
        return EFileTooLarge(
            capped ? QStringLiteral("File larger than %1 bytes: %2").arg(fileLimit).arg(RemoteName)
                   : TooLargeText(RemoteName));
    };
    DataConnection_->SetReceiveLimit(fileLimit);
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

    bool retrOutstanding = false;
    try {
        if (restore && LocalPath.isEmpty())
            LocalPath = RemoteName;

        // Binary type: in the default ASCII type servers rewrite line ends inside the file
        // and refuse REST.
        Transaction(QStringLiteral("TYPE I"));
        CheckReplyPresent(LastReply());
        if (ReplyCode() >= 500)
            ReplyFailure(Kind);

        OpenDataConnection(Kind);

        if (restore) {
            qint64 size = 0;
            QFile local(LocalPath);
            if (local.open(QIODevice::ReadOnly))
                size = local.size();
            local.close();
            if (size > fileLimit)
                throw tooLarge();
            DataConnection_->SetReceiveLimit(fileLimit - size);
            ReportStatus(1, QStringLiteral("REST RETR ") + RemoteName);
            SetTransferSize(0);
            AwaitReply([&] {
                return TAsyncSocket::Transaction(QStringLiteral("REST ") + QString::number(size));
            });
            CheckReplyPresent(LastReply());
            // A server that cannot restart would send the whole file, and appending it to the
            // part already here would corrupt the update: only 3xx lets RETR follow.
            if (ReplyCode() < 300 || ReplyCode() > 399)
                ReplyFailure(Kind);
        } else {
            ReportStatus(1, QStringLiteral("RETR ") + RemoteName);
            SetTransferSize(0);
        }
        AwaitReply([&] { return TAsyncSocket::Transaction(QStringLiteral("RETR ") + RemoteName); });
        CheckReplyPresent(LastReply());
        if (ReplyCode() >= 301 && ReplyCode() <= 599)
            ReplyFailure(Kind);
        retrOutstanding = true;
        const QString last = AwaitReply([&] { return FinishReply(LastReply()); });
        SetTransferSize(ExtractByteCount(last));
        // Compared with the whole file: after REST some servers announce what is left, others
        // the whole size.
        const std::optional<quint64> announced = AnnouncedByteCount(last);
        if (announced && *announced > static_cast<quint64>(fileLimit))
            throw tooLarge();

        if (!Passive_) {
            const quint16 accepted = DataConnection_->Accept();
            CheckAlive(alive);
            const quint16 listening = DataConnection_->SocketHandle();
            DataConnection_->SetSocketHandle(accepted);
            TAsyncSocket::CloseSocketHandle(listening);
        }
        SecureDataConnection();

        if (OnTransactionStart) {
            Fire(OnTransactionStart, this);
            CheckAlive(alive);
        }

        if (!Canceled() && !TimedOut()) {
            try {
                if (restore)
                    DataConnection_->AppendFile(LocalPath);
                else
                    DataConnection_->CaptureFile(LocalPath.isEmpty() ? RemoteName : LocalPath);
            } catch (const EReceiveLimitError&) {
                throw tooLarge();
            }
            CheckAlive(alive);
            // A reset is not the end of the file. The receive ends on it as on a clean close;
            // the close notice, already queued, carries the error: let it arrive and look.
            ProcessMessages();
            CheckAlive(alive);
            if (!DataConnection_->AsyncOK())
                throw ESockError(DataConnection_->LookupErrorMessage(ConnectionResetCode));
        }

        if (OnTransactionStop) {
            Fire(OnTransactionStop, this);
            CheckAlive(alive);
        }
        DataConnection_->RequestCloseSocket();
        SetTransferSize(DataConnection_->ReceivedBytes());
        ReportStatus(1, QStringLiteral("Received ") + QString::number(TransferSize()) +
                            QStringLiteral(" Bytes"));

        QString current = LastReply();
        const bool completion = !Canceled() && !TimedOut();
        if (completion) {
            current = AwaitReply([&] { return ReadLn(); });
            CheckAlive(alive);
            // Kept as the last reply, so that a caller can judge the transfer by it.
            SetLastReply(current);
            SetReplyCode(ParseReplyCode(current));
        }
        // The completion code is not examined: a 426 after the whole file still counts, and
        // the caller compares the size itself.
        if (!current.isEmpty())
            ReportStatus(1, current);
        if (completion) {
            AwaitReply([&] { return FinishReply(current); });
            retrOutstanding = false;
        }

        if (OnTransactionStop) {
            Fire(OnTransactionStop, this);
            CheckAlive(alive);
        }
    } catch (const RetrievalStopped&) {
        CleanUpRetrieval(false, Kind, false);
        return;
    } catch (...) {
        if (!*alive)
            throw;
        CleanUpRetrieval(false, Kind, retrOutstanding);
        throw;
    }
    CleanUpRetrieval(true, Kind, false);
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
        Fire(OnFailure, handled, ctDownload);
        if (!handled)
            throw;
    }
}

void TFtpClient::DownloadRestore(const QString& RemoteName, const QString& LocalPath) {
    RefuseLineBreaksOrOverlength(RemoteName);
    Retrieve(RemoteName, LocalPath, ctDownloadRestore);
}
