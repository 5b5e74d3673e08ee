#include "ftp_servers.h"

#include "loopback_peer.h"

#include <QDir>
#include <QFile>
#include <QThread>
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

Vsftpd::Vsftpd() {
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
    process_.kill();
    process_.waitForFinished(5000);
}

QString Vsftpd::Put(const QString& name, const QByteArray& bytes) const {
    const QString path = root_ + QLatin1Char('/') + name;
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
