// The command-line downloader (tools/ftpget) against the scriptable server (and vsftpd for
// FTPS): fresh, active and resumed downloads byte for byte, and its exit status on failures and
// wrong arguments.
#include "ftp_fixture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct ToolRun {
    int status;
    QString out;
    QString err;
};

ToolRun Ftpget(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(PCV_BINARY_DIR "/tools/ftpget"), args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return {-1, {}, {}};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
}

TEST(Ftpget, DownloadsActiveAndResumes) {
    TestApp();
    FakeFtpServer server;
    const QByteArray original = BinaryTestData(700001, 3);
    server.Put(QStringLiteral("update.bin"), original);
    QTemporaryDir dir;
    const QString local = dir.filePath(QStringLiteral("update.bin"));
    const QString port = QString::number(server.Port());
    const QStringList common{QStringLiteral("127.0.0.1"),  port,
                             QStringLiteral("velk"),       QStringLiteral("secret"),
                             QStringLiteral("update.bin"), local};

    ToolRun r = Ftpget(common);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith(QStringLiteral("700001 bytes in "))) << r.out.toStdString();
    EXPECT_EQ(ReadAll(local), original);

    r = Ftpget(QStringList{QStringLiteral("--active")} + common);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(ReadAll(local), original);

    WriteAll(local, original.left(123456));
    r = Ftpget(QStringList{QStringLiteral("--resume")} + common);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(ReadAll(local), original);
    EXPECT_TRUE(server.Commands().contains(QStringLiteral("REST 123456")));
    EXPECT_TRUE(server.Commands().filter(QStringLiteral("PORT 127,0,0,1,")).size() == 1);

    // The tool's user names the target: a device is one (the benchmarks write to /dev/null).
    QStringList toNull = common;
    toNull.last() = QStringLiteral("/dev/null");
    r = Ftpget(QStringList{QStringLiteral("--loop-gap")} + toNull);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("\nlongest event-loop gap: ")))
        << r.out.toStdString();
}

// --tls and --cafile against vsftpd insisting on TLS: the file with the test CA given, a refusal
// in one line without it, and without --tls no login at all.
TEST(Ftpget, Ftps) {
    TestApp();
    const TestCertificates& certs = Certificates();
    ASSERT_TRUE(certs.Failure.isEmpty()) << certs.Failure.toStdString();
    Vsftpd server(certs.ServerCert, certs.ServerKey);
    ASSERT_TRUE(server.Failure().isEmpty()) << server.Failure().toStdString();
    const QByteArray original = BinaryTestData(300007, 4);
    server.Put(QStringLiteral("update.bin"), original);
    QTemporaryDir dir;
    const QString local = dir.filePath(QStringLiteral("update.bin"));
    const QStringList common{QStringLiteral("127.0.0.1"),  QString::number(server.Port()),
                             QStringLiteral("anonymous"),  QStringLiteral("x@"),
                             QStringLiteral("update.bin"), local};

    ToolRun r = Ftpget(QStringList{QStringLiteral("--tls"), QStringLiteral("--cafile"),
                                   certs.CaFile, QStringLiteral("--active")} +
                       common);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(ReadAll(local), original);

    r = Ftpget(QStringList{QStringLiteral("--tls")} + common);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, QStringLiteral("ftpget: TLS handshake failed: certificate refused: unable to "
                                    "get local issuer certificate\n"));

    r = Ftpget(common); // vsftpd wants TLS before the login
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(server.Commands().filter(QStringLiteral("AUTH TLS")).size(), 2);
}

TEST(Ftpget, FailuresAndWrongArguments) {
    TestApp();
    FakeFtpServer server;
    QTemporaryDir dir;
    const QString port = QString::number(server.Port());
    ToolRun r = Ftpget({QStringLiteral("127.0.0.1"), port, QStringLiteral("velk"),
                        QStringLiteral("wrong"), QStringLiteral("a"), dir.filePath("a")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("530"))) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains(QStringLiteral("wrong")));

    r = Ftpget({QStringLiteral("127.0.0.1"), port, QStringLiteral("velk"), QStringLiteral("secret"),
                QStringLiteral("missing.bin"), dir.filePath("m")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("550"))) << r.err.toStdString();

    EXPECT_EQ(Ftpget({QStringLiteral("127.0.0.1"), port}).status, 2);
    EXPECT_EQ(
        Ftpget({QStringLiteral("--bogus"), QStringLiteral("127.0.0.1"), port, QStringLiteral("u"),
                QStringLiteral("p"), QStringLiteral("r"), QStringLiteral("l")})
            .status,
        2);
    EXPECT_EQ(Ftpget({QStringLiteral("127.0.0.1"), QStringLiteral("70000"), QStringLiteral("u"),
                      QStringLiteral("p"), QStringLiteral("r"), QStringLiteral("l")})
                  .status,
              2);
}

// A silent server and a transfer that went wrong on the server's side end the run with status
// 1 and one line that says why, never with a hang or a false success.
TEST(Ftpget, SilenceShortTransfersAndFailureReplies) {
    TestApp();
    QTemporaryDir dir;
    const QByteArray original = BinaryTestData(3000, 5);
    struct Case {
        QStringList serverArgs;
        QStringList toolArgs;
        const char* reason;
    } cases[] = {
        {{"--greeting", "@silent"},
         {"--timeout", "500"},
         "timed out: the server sent nothing for 500 ms"},
        {{"--reply", "TYPE=@silent"},
         {"--timeout", "500"},
         "timed out: the server sent nothing for 500 ms"},
        {{"--data-cut", "1000"}, {}, "short transfer: 1000 of 3000 announced bytes arrived"},
        {{"--data-cut", "3000", "--data-cut-reply", "451 Local error in processing."},
         {},
         "transfer failed: 451 Local error in processing."},
    };
    for (const Case& c : cases) {
        FakeFtpServer server(c.serverArgs);
        server.Put(QStringLiteral("update.bin"), original);
        QElapsedTimer clock;
        clock.start();
        const ToolRun r =
            Ftpget(c.toolArgs + QStringList{QStringLiteral("127.0.0.1"),
                                            QString::number(server.Port()), QStringLiteral("velk"),
                                            QStringLiteral("secret"), QStringLiteral("update.bin"),
                                            dir.filePath(QStringLiteral("u"))});
        EXPECT_EQ(r.status, 1) << c.reason << ": " << r.err.toStdString();
        EXPECT_EQ(r.err.toStdString(), std::string("ftpget: ") + c.reason + "\n");
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        EXPECT_LT(clock.elapsed(), 10000) << c.reason;
    }
}

} // namespace
