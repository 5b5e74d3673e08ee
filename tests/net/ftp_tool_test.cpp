// The command-line downloader (tools/ftpget) against the scriptable server: fresh, active and
// resumed downloads byte for byte, and its exit status on failures and wrong arguments.
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

// A resumed transfer from a server that falls silent ends through --timeout, as a fresh one
// does: the append waits under the same time-out as the capture.
TEST(Ftpget, ResumedTransferFromASilentServerTimesOut) {
    TestApp();
    FakeFtpServer server({QStringLiteral("--data-stall"), QStringLiteral("1000")});
    const QByteArray original = BinaryTestData(200000, 5);
    server.Put(QStringLiteral("update.bin"), original);
    QTemporaryDir dir;
    const QString local = dir.filePath(QStringLiteral("update.bin"));
    WriteAll(local, original.left(5000));
    QElapsedTimer clock;
    clock.start();
    const ToolRun r =
        Ftpget({QStringLiteral("--resume"), QStringLiteral("--timeout"), QStringLiteral("500"),
                QStringLiteral("127.0.0.1"), QString::number(server.Port()), QStringLiteral("velk"),
                QStringLiteral("secret"), QStringLiteral("update.bin"), local});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_LT(clock.elapsed(), 15000);
    EXPECT_TRUE(server.Commands().contains(QStringLiteral("REST 5000")));
    EXPECT_EQ(ReadAll(local), original.left(6000));
}

} // namespace
