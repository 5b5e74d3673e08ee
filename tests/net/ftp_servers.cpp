#include "ftp_servers.h"

#include "loopback_peer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <csignal>
#include <stdexcept>
#include <unistd.h>

namespace {

// The system's interpreter: pyftpdlib is a Debian package of it.
const QString Python = QStringLiteral("/usr/bin/python3");

QString ScriptPath() {
    return QStringLiteral(PCV_SOURCE_DIR) + QStringLiteral("/tools/ftp_fake_server.py");
}

} // namespace

FakeFtpServer::FakeFtpServer(const QStringList& args) {
    if (!root_.isValid() || !work_.isValid())
        throw std::runtime_error("no temporary directory");
    QStringList all{ScriptPath(),
                    QStringLiteral("--root"),
                    root_.path(),
                    QStringLiteral("--log"),
                    work_.filePath(QStringLiteral("commands.log")),
                    QStringLiteral("--raw-log"),
                    work_.filePath(QStringLiteral("raw.log"))};
    all << args;
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(Python, all);
    if (!process_.waitForStarted(10000))
        throw std::runtime_error("cannot start the FTP test server");
    QByteArray line;
    while (!line.contains('\n')) {
        if (!process_.waitForReadyRead(10000))
            throw std::runtime_error("the FTP test server did not report its port");
        line += process_.readAllStandardOutput();
    }
    if (!line.startsWith("PORT "))
        throw std::runtime_error("unexpected output of the FTP test server: " + line.toStdString());
    port_ = static_cast<quint16>(line.mid(5).trimmed().toUInt());
}

FakeFtpServer::~FakeFtpServer() {
    process_.kill();
    process_.waitForFinished(5000);
}

QString FakeFtpServer::Put(const QString& name, const QByteArray& bytes) const {
    const QString path = root_.filePath(name);
    WriteAll(path, bytes);
    return path;
}

QStringList FakeFtpServer::Commands() const {
    QFile log(work_.filePath(QStringLiteral("commands.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QList<QByteArray> FakeFtpServer::RawCommands() const {
    QFile log(work_.filePath(QStringLiteral("raw.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines;
    for (const QByteArray& hex : log.readAll().split('\n'))
        if (!hex.isEmpty())
            lines << QByteArray::fromHex(hex);
    return lines;
}

namespace {

// Runs the openssl tool in dir; false (and why in failure) when it did not succeed.
bool OpenSsl(const QString& dir, const QStringList& args, QString& failure) {
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("openssl"), args);
    if (p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    failure = QStringLiteral("openssl ") + args.join(QLatin1Char(' ')) + QStringLiteral(": ") +
              QString::fromLocal8Bit(p.readAll()) + p.errorString();
    return false;
}

TestCertificates MakeCertificates() {
    static QTemporaryDir dir;
    TestCertificates c;
    const QString d = dir.path();
    const auto key = [](const QString& name) {
        return QStringList{QStringLiteral("-newkey"),
                           QStringLiteral("ec"),
                           QStringLiteral("-pkeyopt"),
                           QStringLiteral("ec_paramgen_curve:prime256v1"),
                           QStringLiteral("-nodes"),
                           QStringLiteral("-keyout"),
                           name};
    };
    // A leaf for the given names, signed by the CA.
    const auto leaf = [&](const QString& name, const QString& names) {
        WriteAll(dir.filePath(name + QStringLiteral(".ext")),
                 "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=" +
                     names.toUtf8() + "\n");
        return OpenSsl(d,
                       QStringList{QStringLiteral("req")} + key(name + QStringLiteral(".key")) +
                           QStringList{QStringLiteral("-subj"), QStringLiteral("/CN=") + name,
                                       QStringLiteral("-out"), name + QStringLiteral(".csr")},
                       c.Failure) &&
               OpenSsl(d,
                       {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                        name + QStringLiteral(".csr"), QStringLiteral("-CA"),
                        QStringLiteral("ca.pem"), QStringLiteral("-CAkey"),
                        QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
                        QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"),
                        name + QStringLiteral(".ext"), QStringLiteral("-out"),
                        name + QStringLiteral(".pem")},
                       c.Failure);
    };
    const QStringList caArgs =
        QStringList{QStringLiteral("req"), QStringLiteral("-x509")} +
        key(QStringLiteral("ca.key")) +
        QStringList{
            QStringLiteral("-days"),   QStringLiteral("2"),
            QStringLiteral("-subj"),   QStringLiteral("/CN=FTP test CA"),
            QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
            QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign"),
            QStringLiteral("-out"),    QStringLiteral("ca.pem")};
    const QStringList selfArgs =
        QStringList{QStringLiteral("req"), QStringLiteral("-x509")} +
        key(QStringLiteral("self.key")) +
        QStringList{
            QStringLiteral("-days"),   QStringLiteral("2"),
            QStringLiteral("-subj"),   QStringLiteral("/CN=127.0.0.1"),
            QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost"),
            QStringLiteral("-out"),    QStringLiteral("self.pem")};
    if (!dir.isValid() || !OpenSsl(d, caArgs, c.Failure) ||
        !leaf(QStringLiteral("server"), QStringLiteral("IP:127.0.0.1,DNS:localhost")) ||
        !leaf(QStringLiteral("other"), QStringLiteral("DNS:other.invalid,IP:127.0.0.2")) ||
        !OpenSsl(d, selfArgs, c.Failure))
        return c;
    c.CaFile = dir.filePath(QStringLiteral("ca.pem"));
    c.ServerCert = dir.filePath(QStringLiteral("server.pem"));
    c.ServerKey = dir.filePath(QStringLiteral("server.key"));
    c.OtherNameCert = dir.filePath(QStringLiteral("other.pem"));
    c.OtherNameKey = dir.filePath(QStringLiteral("other.key"));
    c.SelfSigned = dir.filePath(QStringLiteral("self.pem"));
    c.SelfSignedKey = dir.filePath(QStringLiteral("self.key"));
    // vsftpd reads them after dropping to its unprivileged user.
    QFile::setPermissions(d, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                 QFile::ReadOther | QFile::ExeOther);
    for (const QString& f : {c.ServerKey, c.OtherNameKey, c.SelfSignedKey})
        QFile::setPermissions(f, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    return c;
}

} // namespace

const TestCertificates& Certificates() {
    static const TestCertificates certificates = MakeCertificates();
    return certificates;
}

Vsftpd::Vsftpd(const QString& certificate, const QString& key) {
    if (!QFile::exists(QStringLiteral("/usr/sbin/vsftpd"))) {
        failure_ = QStringLiteral("vsftpd is not installed");
        return;
    }
    // vsftpd serves anonymous users from a root that the unprivileged "ftp" user can read but
    // not write, and refuses configuration files that others can write.
    root_ = work_.filePath(QStringLiteral("root"));
    QDir().mkpath(root_);
    QFile::setPermissions(work_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                            QFile::ExeOther);
    QFile::setPermissions(root_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                     QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                     QFile::ExeOther);
    for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
        const quint16 port = UnusedPort();
        const QString config = work_.filePath(QStringLiteral("vsftpd.conf"));
        QByteArray text;
        text += "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n";
        text += "listen_port=" + QByteArray::number(port) + "\n";
        text += "background=NO\nanonymous_enable=YES\nno_anon_password=YES\n";
        text += "anon_root=" + root_.toUtf8() + "\n";
        text += "local_enable=NO\nwrite_enable=NO\npasv_enable=YES\npasv_address=127.0.0.1\n";
        text += "port_enable=YES\nconnect_from_port_20=NO\n";
        // Namespaces and seccomp are not available in every container; vsftpd would refuse.
        text += "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n";
        text += "secure_chroot_dir=/var/run/vsftpd/empty\n";
        text += "xferlog_enable=YES\nlog_ftp_protocol=YES\ndual_log_enable=NO\n";
        text += "vsftpd_log_file=" + work_.filePath(QStringLiteral("vsftpd.log")).toUtf8() + "\n";
        text += "max_per_ip=0\n";
        if (!certificate.isEmpty()) {
            text += "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n";
            text += "force_anon_data_ssl=YES\nforce_local_logins_ssl=YES\n";
            text += "force_local_data_ssl=YES\nrequire_ssl_reuse=YES\nssl_request_cert=NO\n";
            text += "ssl_sslv2=NO\nssl_sslv3=NO\nssl_tlsv1=NO\n";
            text += "ssl_ciphers=HIGH\ndebug_ssl=YES\n";
            text += "rsa_cert_file=" + certificate.toUtf8() + "\n";
            text += "rsa_private_key_file=" + key.toUtf8() + "\n";
        }
        WriteAll(config, text);
        QDir().mkpath(QStringLiteral("/var/run/vsftpd/empty"));
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QStringLiteral("/usr/sbin/vsftpd"), {config});
        if (!process_.waitForStarted(5000)) {
            failure_ = QStringLiteral("vsftpd does not start: ") + process_.errorString();
            return;
        }
        for (int i = 0; i < 100; ++i) {
            const int fd = ConnectTo(port);
            if (fd >= 0) {
                ::close(fd);
                port_ = port;
                break;
            }
            if (process_.waitForFinished(50))
                break;
        }
        if (port_ == 0) {
            failure_ =
                QStringLiteral("vsftpd ended: ") + QString::fromLocal8Bit(process_.readAll());
            process_.kill();
            process_.waitForFinished(2000);
        }
    }
    if (port_ != 0)
        failure_.clear();
}

Vsftpd::~Vsftpd() {
    FreezeSessions(false); // a stopped session would outlive its listener
    process_.kill();
    process_.waitForFinished(5000);
}

QString Vsftpd::Put(const QString& name, const QByteArray& bytes) const {
    const QString path = root_ + QLatin1Char('/') + name;
    const QString folder = QFileInfo(path).path();
    if (QDir().mkpath(folder)) // a folder of its own for a name such as "tarn/update.sh"
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                          QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                          QFile::ExeOther);
    WriteAll(path, bytes);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                    QFile::ReadOther);
    return path;
}

QStringList Vsftpd::Commands() const {
    QStringList commands;
    QFile log(work_.filePath(QStringLiteral("vsftpd.log")));
    if (!log.open(QIODevice::ReadOnly))
        return commands;
    // Lines look like: ... [pid 12] FTP command: Client "127.0.0.1", "REST 1000"
    for (const QByteArray& line : log.readAll().split('\n')) {
        const int at = line.indexOf("FTP command: Client ");
        if (at < 0)
            continue;
        const int open = line.indexOf("\", \"", at);
        if (open >= 0 && line.endsWith('"'))
            commands << QString::fromUtf8(line.mid(open + 4, line.size() - open - 5));
    }
    return commands;
}

void Vsftpd::FreezeSessions(bool frozen) const {
    // The session processes are the listener's descendants.
    QList<qint64> family{process_.processId()};
    for (int round = 0; round < 4; ++round) {
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool numeric = false;
            const qint64 pid = entry.toLongLong(&numeric);
            if (!numeric || family.contains(pid))
                continue;
            const QByteArray stat = ReadAll(QStringLiteral("/proc/%1/stat").arg(pid));
            const int close = stat.lastIndexOf(')');
            const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
            if (close > 0 && fields.size() > 1 && family.contains(fields[1].toLongLong()))
                family << pid;
        }
    }
    for (qint64 pid : family.mid(1))
        ::kill(static_cast<pid_t>(pid), frozen ? SIGSTOP : SIGCONT);
}

QByteArray BinaryTestData(int size, quint32 seed) {
    QByteArray data(size, '\0');
    quint32 x = seed * 2654435761u + 1;
    static const char specials[] = {'\r', '\n', '\r', '\0', '\xff'};
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        const quint32 r = x >> 24;
        data[i] = r < 80 ? specials[r % 5] : static_cast<char>(x >> 16);
    }
    return data;
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}
