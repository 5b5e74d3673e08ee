// Explicit FTPS (RFC 4217) for the FTP component: the steps a session with Security Tls adds to
// the plain protocol. Nothing here runs for Security None.
#include "FtpClient.h"
#include "TlsChannel.h"

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
