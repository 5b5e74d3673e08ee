#include "db_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

namespace {

const char* const kPgBin = "/usr/lib/postgresql/15/bin";
const char* const kServerUser = "postgres";

PgCluster* g_cluster = nullptr;

QString seedTool() {
    return QStringLiteral(PCV_SOURCE_DIR "/tools/db_seed.py");
}

} // namespace

QStringList rowArgs(const std::vector<VersionRow>& rows) {
    QStringList args;
    for (const VersionRow& r : rows)
        args << QStringLiteral("--row") << r.product << r.current << r.next << r.file << r.size;
    return args;
}

CommandResult runCommand(const QString& program, const QStringList& args, int timeoutMs) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    CommandResult result;
    if (!p.waitForStarted(10000))
        return result;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        result.output = p.readAll();
        return result;
    }
    result.output = p.readAll();
    result.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return result;
}

void runSeedTool(const QStringList& args, const std::vector<VersionRow>& rows) {
    const CommandResult r = runCommand(QStringLiteral("/usr/bin/python3"),
                                       QStringList{seedTool()} + args + rowArgs(rows));
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
}

int freeLoopbackPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const int port = server.serverPort();
    server.close();
    return port;
}

// ---------------------------------------------------------------------------------------------

PgCluster& PgCluster::instance() {
    if (!g_cluster)
        g_cluster = new PgCluster;
    return *g_cluster;
}

void PgCluster::shutdown() {
    delete g_cluster;
    g_cluster = nullptr;
}

QStringList PgCluster::asServerUser(const QString& program, const QStringList& args) const {
    if (!asRoot_)
        return QStringList{program} + args;
    return QStringList{QStringLiteral("runuser"), QStringLiteral("-u"),
                       QString::fromLatin1(kServerUser), QStringLiteral("--"), program} +
           args;
}

PgCluster::PgCluster() : bin_(QString::fromLatin1(kPgBin)) {
    asRoot_ = geteuid() == 0;
    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/pcv-pg-XXXXXX"));
    if (!tmp.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return;
    }
    tmp.setAutoRemove(false);
    dir_ = tmp.path();
    if (asRoot_) {
        // PostgreSQL refuses to run as root: the cluster belongs to its own system user.
        const passwd* pw = getpwnam(kServerUser);
        if (!pw || chown(dir_.toLocal8Bit().constData(), pw->pw_uid, pw->pw_gid) != 0) {
            error_ = QStringLiteral("cannot hand %1 to the postgres user").arg(dir_);
            return;
        }
    }

    const QString data = dir_ + QStringLiteral("/data");
    QStringList init =
        asServerUser(bin_ + QStringLiteral("/initdb"),
                     {QStringLiteral("-D"), data, QStringLiteral("-E"), QStringLiteral("UTF8"),
                      QStringLiteral("--locale=C.UTF-8"), QStringLiteral("--auth-local=trust"),
                      QStringLiteral("--auth-host=scram-sha-256"), QStringLiteral("-U"),
                      QStringLiteral("postgres"), QStringLiteral("--no-sync")});
    CommandResult r = runCommand(init.takeFirst(), init, 120000);
    if (r.exitCode != 0) {
        error_ = QStringLiteral("initdb failed: ") + QString::fromLocal8Bit(r.output);
        return;
    }

    // A port taken from the kernel can be grabbed by someone else before the server binds it.
    for (int attempt = 0; attempt < 3 && !ok_; ++attempt) {
        port_ = freeLoopbackPort();
        QStringList start = asServerUser(
            bin_ + QStringLiteral("/pg_ctl"),
            {QStringLiteral("-D"), data, QStringLiteral("-l"), dir_ + QStringLiteral("/log"),
             QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"),
             QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off "
                            "-c max_connections=20")
                 .arg(port_)
                 .arg(dir_),
             QStringLiteral("start")});
        r = runCommand(start.takeFirst(), start, 90000);
        ok_ = r.exitCode == 0;
        if (!ok_)
            error_ = QStringLiteral("pg_ctl start failed: ") + QString::fromLocal8Bit(r.output);
    }
}

PgCluster::~PgCluster() {
    if (ok_) {
        QStringList stop = asServerUser(bin_ + QStringLiteral("/pg_ctl"),
                                        {QStringLiteral("-D"), dir_ + QStringLiteral("/data"),
                                         QStringLiteral("-m"), QStringLiteral("immediate"),
                                         QStringLiteral("-w"), QStringLiteral("stop")});
        runCommand(stop.takeFirst(), stop, 60000);
    }
    if (!dir_.isEmpty())
        QDir(dir_).removeRecursively();
}

void PgCluster::seed(const std::vector<VersionRow>& rows, const QString& ownerPassword) {
    ASSERT_TRUE(ok_) << error_.toStdString();
    runSeedTool({QStringLiteral("postgres"), QStringLiteral("--host"), dir_,
                 QStringLiteral("--port"), QString::number(port_), QStringLiteral("--owner"),
                 QString::fromLatin1(kDbUser), QStringLiteral("--owner-password"), ownerPassword},
                rows);
}

CommandResult PgCluster::psql(const QString& database, const QString& sql) {
    return runCommand(
        QStringLiteral("psql"),
        {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"), QStringLiteral("-t"),
         QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), dir_,
         QStringLiteral("-p"), QString::number(port_), QStringLiteral("-U"),
         QStringLiteral("postgres"), QStringLiteral("-d"), database, QStringLiteral("-c"), sql});
}

QString PgCluster::setSsl(bool on) {
    const QString key = dir_ + QStringLiteral("/server.key");
    const QString cert = dir_ + QStringLiteral("/server.crt");
    if (on && !QFile::exists(cert)) {
        // Made as the server user: the server refuses a key that others can read or that belongs
        // to someone else.
        QStringList req =
            asServerUser(QStringLiteral("openssl"),
                         {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                          QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                          QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                          QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-keyout"), key,
                          QStringLiteral("-out"), cert});
        const CommandResult r = runCommand(req.takeFirst(), req);
        if (r.exitCode != 0)
            return QStringLiteral("openssl req failed: ") + QString::fromLocal8Bit(r.output);
        if (!QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner))
            return QStringLiteral("cannot make %1 private").arg(key);
    }
    // ALTER SYSTEM runs outside a transaction: one statement per session.
    const QString value = on ? QStringLiteral("on") : QStringLiteral("off");
    for (const QString& sql : {QStringLiteral("alter system set ssl_cert_file = '%1'").arg(cert),
                               QStringLiteral("alter system set ssl_key_file = '%1'").arg(key),
                               QStringLiteral("alter system set ssl = ") + value,
                               QStringLiteral("select pg_reload_conf()")}) {
        const CommandResult r = psql(QStringLiteral("postgres"), sql);
        if (r.exitCode != 0)
            return sql + QStringLiteral(": ") + QString::fromLocal8Bit(r.output);
    }
    // The server rereads its configuration after the call has returned.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
        const CommandResult r = psql(QStringLiteral("postgres"), QStringLiteral("show ssl"));
        if (r.exitCode == 0 && r.output.trimmed() == value.toLatin1())
            return QString();
        QThread::msleep(50);
    }
    return QStringLiteral("ssl is not %1 after 10 s; see %2/log").arg(value, dir_);
}

std::unique_ptr<QProcess> PgCluster::holdInTransaction(const QString& database,
                                                       const QString& sql) {
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::MergedChannels);
    p->start(QStringLiteral("psql"),
             {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"),
              QStringLiteral("-t"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
              QStringLiteral("-h"), dir_, QStringLiteral("-p"), QString::number(port_),
              QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("-d"), database});
    if (!p->waitForStarted(10000))
        return nullptr;
    p->write("begin;\n" + sql.toUtf8() + ";\nselect 'held';\n");
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (!out.contains("held") && clock.elapsed() < 30000 && p->waitForReadyRead(1000))
        out += p->readAll();
    if (!out.contains("held")) {
        p->kill();
        p->waitForFinished(5000);
        return nullptr;
    }
    return p;
}

// ---------------------------------------------------------------------------------------------

SilentServer::SilentServer() {
    // Holds every accepted connection open without a byte of answer until its stdin closes.
    static const char* const script = R"(
import select, socket, sys
s = socket.socket()
s.bind(('127.0.0.1', 0))
s.listen(16)
print(s.getsockname()[1], flush=True)
held = []
while True:
    r, _, _ = select.select([s, sys.stdin], [], [])
    if sys.stdin in r and not sys.stdin.buffer.read1(1):
        break
    if s in r:
        held.append(s.accept()[0])
)";
    process_.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral("-c"), QString::fromLatin1(script)});
    if (process_.waitForStarted(10000) && process_.waitForReadyRead(10000))
        port_ = process_.readLine().trimmed().toInt();
}

SilentServer::~SilentServer() {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

MutingProxy::MutingProxy(int targetPort, const QByteArray& marker, bool holdCancels) {
    static const char* const script = R"(
import select, socket, sys
target, marker, hold_cancels = int(sys.argv[1]), sys.argv[2].encode(), sys.argv[3] == '1'
# PostgreSQL's CancelRequest: length 16, code 80877102, on a connection of its own.
CANCEL = bytes([0, 0, 0, 16, 0x04, 0xD2, 0x16, 0x2E])
s = socket.socket()
s.bind(('127.0.0.1', 0))
s.listen(16)
print(s.getsockname()[1], flush=True)
peer = {}     # socket -> the other end, while forwarding
muted = []
while True:
    r, _, _ = select.select([s, sys.stdin] + list(peer) + muted, [], [])
    if sys.stdin in r and not sys.stdin.buffer.read1(1):
        break
    for c in r:
        if c is s:
            client = s.accept()[0]
            server = socket.create_connection(('127.0.0.1', target), 10)
            peer[client], peer[server] = server, client
            continue
        if c is sys.stdin:
            continue
        data = c.recv(65536)
        if c in muted:
            if not data:
                muted.remove(c)
                c.close()
            continue
        other = peer.get(c)
        if not data or other is None:
            for x in (c, other):
                if x is not None:
                    peer.pop(x, None)
                    x.close()
            continue
        if marker in data or (hold_cancels and data.startswith(CANCEL)):
            for x in (c, other):
                peer.pop(x, None)
                muted.append(x)
            continue
        other.sendall(data)
)";
    process_.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral("-c"), QString::fromLatin1(script), QString::number(targetPort),
                    QString::fromUtf8(marker),
                    holdCancels ? QStringLiteral("1") : QStringLiteral("0")});
    if (process_.waitForStarted(10000) && process_.waitForReadyRead(10000))
        port_ = process_.readLine().trimmed().toInt();
}

MutingProxy::~MutingProxy() {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

// ---------------------------------------------------------------------------------------------
// The test program: QtSql needs the application object for its driver plugins, and no QtSql
// warning may appear when the connections are dropped at the end.

namespace {
QtMessageHandler g_previousHandler = nullptr;
int g_sqlWarnings = 0;

void recordMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg && text.contains(QLatin1String("QSql")))
        ++g_sqlWarnings;
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}
} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    g_previousHandler = qInstallMessageHandler(recordMessages);
    int result = 0;
    {
        QCoreApplication app(argc, argv);
        result = RUN_ALL_TESTS();
        PgCluster::shutdown();
    }
    if (g_sqlWarnings > 0) {
        std::fprintf(stderr, "%d QtSql warning(s) were printed\n", g_sqlWarnings);
        return 1;
    }
    return result;
}
