// Interoperability with an independent server: vsftpd from the system, started on loopback by
// the test, passive and active, fresh and resumed, compared byte for byte.
#include "ftp_fixture.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class FtpInterop : public ::testing::TestWithParam<bool> {};

TEST_P(FtpInterop, VsftpdDownloadAndResume) {
    TestApp();
    Vsftpd server;
    ASSERT_TRUE(server.Failure().isEmpty()) << server.Failure().toStdString();
    const QByteArray original = BinaryTestData((3 << 20) + 17, 11);
    server.Put(QStringLiteral("update.bin"), original);
    QTemporaryDir local;
    const QString path = local.filePath(QStringLiteral("update.bin"));

    auto c = MakeClient(server.Port(), GetParam());
    c->SetUserID(QStringLiteral("anonymous"));
    c->SetPassword(QStringLiteral("pc-velka@"));
    Recorder rec;
    rec.Attach(*c);
    c->Connect();
    c->ChangeDir(QStringLiteral("/"));
    c->Download(QStringLiteral("update.bin"), path);
    EXPECT_EQ(ReadAll(path), original);
    EXPECT_EQ(c->TransferSize(), original.size());

    // Cut the local copy and let the server restart from there.
    WriteAll(path, original.left(1234567));
    c->DownloadRestore(QStringLiteral("update.bin"), path);
    EXPECT_EQ(ReadAll(path), original);
    EXPECT_EQ(c->TransferSize(), original.size() - 1234567);

    // A missing file is vsftpd's own 550.
    EXPECT_THROW(c->Download(QStringLiteral("missing.bin"), path + ".x"), FTPException);
    c->Disconnect();

    EXPECT_EQ(rec.Events, (QStringList{"connect", "success:0", "start", "stop", "stop", "success:9",
                                       "start", "stop", "stop", "success:8"}));
    const QStringList cmds = server.Commands();
    EXPECT_TRUE(cmds.contains(QStringLiteral("TYPE I")));
    EXPECT_TRUE(cmds.contains(QStringLiteral("REST 1234567")));
    EXPECT_TRUE(cmds.contains(GetParam() ? QStringLiteral("PASV") : QStringLiteral("PORT"),
                              Qt::CaseSensitive) ||
                std::any_of(cmds.begin(), cmds.end(), [](const QString& s) {
                    return s.startsWith(QLatin1String("PORT 127,0,0,1,"));
                }));
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpInterop, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Passive" : "Active");
                         });

TEST(FtpInteropLogin, VsftpdRefusesAWrongUser) {
    TestApp();
    Vsftpd server;
    ASSERT_TRUE(server.Failure().isEmpty()) << server.Failure().toStdString();
    auto c = MakeClient(server.Port());
    c->SetUserID(QStringLiteral("nosuchuser"));
    Recorder rec;
    rec.Attach(*c);
    EXPECT_THROW(c->Connect(), FTPException);
    EXPECT_FALSE(c->Connected());
    EXPECT_EQ(rec.Events, QStringList{"connectionfailed"});
    EXPECT_EQ(rec.Status.last(), QStringLiteral("Disconnected"));
}

} // namespace
