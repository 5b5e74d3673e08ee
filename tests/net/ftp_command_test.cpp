// Commands on a logged-in FTP control connection: the kinds, the success and failure events,
// multi-line replies, malformed replies, and arguments that must never reach the server.
#include "ftp_fixture.h"
#include "platform/Big5.h"

#include <gtest/gtest.h>

namespace {

QString Crlf(const char* s) {
    return QString::fromLatin1(s) + QStringLiteral("\r\n");
}

struct CommandCase {
    const char* name;
    QStringList serverArgs;
    const char* command;
    int onFailure;     // -1: no OnFailure; 0: leaves Handled false; 1: sets it
    const char* error; // nullptr: returns normally
    QStringList events;
};

std::vector<CommandCase> CommandCases() {
    return {
        {"CWD 250", {}, "CWD /", -1, nullptr, {"success:0"}},
        {"CWD 550 without OnFailure",
         {"--reply", "CWD=550 No such directory."},
         "CWD /tarn",
         -1,
         "550 No such directory.\r\n",
         {}},
        {"CWD 550 handled",
         {"--reply", "CWD=550 No such directory."},
         "CWD /tarn",
         1,
         nullptr,
         {"failure:0"}},
        {"CWD 550 declined",
         {"--reply", "CWD=550 No such directory."},
         "CWD /tarn",
         0,
         "550 No such directory.\r\n",
         {"failure:0"}},
        {"502 unsupported then failure",
         {"--reply", "CWD=502 Not implemented."},
         "CWD /",
         0,
         "502 Not implemented.\r\n",
         {"unsupported:0", "failure:0"}},
        {"500 unsupported",
         {},
         "XYZZY",
         -1,
         "500 Command \"XYZZY\" not understood.\r\n",
         {"unsupported:14"}},
        {"503 failure only",
         {"--reply", "CWD=503 Bad sequence."},
         "CWD /",
         0,
         "503 Bad sequence.\r\n",
         {"failure:0"}},
        {"400 is a failure", {"--reply", "NOOP#1=400 odd"}, "NOOP", -1, "400 odd\r\n", {}},
        {"399 is a success", {"--reply", "NOOP#1=399 odd"}, "NOOP", -1, nullptr, {"success:14"}},
        {"600 is a success", {"--reply", "NOOP#1=600 odd"}, "NOOP", -1, nullptr, {"success:14"}},
        {"PWD kind 15", {}, "PWD", -1, nullptr, {"success:15"}},
        {"PWD with argument kind 14", {}, "PWD x", 1, nullptr, {"unsupported:14", "failure:14"}},
        {"pwd lower case kind 14", {}, "pwd", -1, nullptr, {"success:14"}},
        {"MKD kind 1", {}, "MKD new", 1, nullptr, {"failure:1"}}, // read-only user: 550
        {"DELE kind 2", {}, "DELE a.bin", 1, nullptr, {"failure:2"}},
        {"RMD kind 3", {}, "RMD old", 1, nullptr, {"failure:3"}},
        {"garbage reply has code 0 and passes",
         {"--reply", "NOOP#1=\\x01\\x02garbage"},
         "NOOP",
         -1,
         nullptr,
         {"success:14"}},
        {"server closes instead of replying",
         {"--reply", "NOOP#1=@close"},
         "NOOP",
         1,
         "Connection closed by the server",
         {}},
    };
}

class FtpCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(FtpCommand, Events) {
    const CommandCase& cc = GetParam();
    FakeFtpServer server(cc.serverArgs);
    server.Put(QStringLiteral("a.bin"), "x");
    auto c = MakeClient(server.Port());
    c->Connect();
    Recorder rec;
    rec.Attach(*c);
    if (cc.onFailure >= 0)
        rec.HandleFailures(*c, cc.onFailure == 1);
    try {
        c->SendCommand(QString::fromLatin1(cc.command));
        EXPECT_EQ(cc.error, nullptr) << "no exception";
    } catch (const FTPException& e) {
        ASSERT_NE(cc.error, nullptr) << e.what();
        EXPECT_EQ(e.message(), QString::fromLatin1(cc.error));
    }
    EXPECT_EQ(rec.Events, cc.events);
    EXPECT_EQ(server.Commands().last(), QString::fromLatin1(cc.command));
    EXPECT_TRUE(rec.Status.contains(QString::fromLatin1(cc.command)));
    // A refused command leaves the session logged in; a closed one does not.
    if (QByteArray(cc.name).contains("closes")) {
        EXPECT_FALSE(c->Connected());
    } else {
        c->OnSuccess = nullptr;
        c->SendCommand(QStringLiteral("NOOP"));
        EXPECT_EQ(c->ReplyCode(), 200);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpCommand, ::testing::ValuesIn(CommandCases()),
                         [](const ::testing::TestParamInfo<CommandCase>& info) {
                             std::string n;
                             for (const char* p = info.param.name; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

TEST(FtpCommandReplies, MultiLineReplyReadToItsEnd) {
    FakeFtpServer server({"--reply", "STAT=211-status\\r\\n first\\r\\n second\\r\\n211 end"});
    auto c = MakeClient(server.Port());
    c->Connect();
    Recorder rec;
    rec.Attach(*c);
    c->SendCommand(QStringLiteral("STAT"));
    EXPECT_EQ(c->ReplyCode(), 211);
    EXPECT_EQ(c->LastReply(), Crlf("211-status"));
    EXPECT_EQ(rec.Status, (QStringList{"STAT", Crlf("211-status"), Crlf(" first"), Crlf(" second"),
                                       Crlf("211 end")}));
    // Nothing of that reply is left to be mistaken for the next one.
    EXPECT_EQ(c->Transaction(QStringLiteral("NOOP")), Crlf("200 I successfully did nothing'."));
}

TEST(FtpCommandReplies, ChangeDirSendsCwd) {
    FakeFtpServer server;
    auto c = MakeClient(server.Port());
    c->Connect();
    std::vector<TCmdType> kinds;
    c->OnSuccess = [&](TCmdType k) { kinds.push_back(k); };
    c->ChangeDir(QStringLiteral("/"));
    EXPECT_EQ(server.Commands().last(), QStringLiteral("CWD /"));
    EXPECT_EQ(kinds, std::vector<TCmdType>{ctChangeDir});
    // The real server's own refusal of a missing directory, line end included.
    try {
        c->ChangeDir(QStringLiteral("/tarn"));
        ADD_FAILURE() << "no exception";
    } catch (const FTPException& e) {
        EXPECT_TRUE(e.message().startsWith(QLatin1String("550 "))) << e.what();
        EXPECT_TRUE(e.message().endsWith(QLatin1String("\r\n")));
    }
    EXPECT_TRUE(c->Connected());
}

TEST(FtpCommandReplies, OverlongReplyLineIsAnError) {
    FakeFtpServer server(
        {"--reply", QStringLiteral("NOOP=200 ") + QString(70000, QLatin1Char('x'))});
    auto c = MakeClient(server.Port());
    c->Connect();
    EXPECT_THROW(c->SendCommand(QStringLiteral("NOOP")), ESockError);
}

TEST(FtpCommandReplies, EndlessContinuationIsCutOff) {
    QString reply = QStringLiteral("NOOP=200-start\\r\\n");
    for (int i = 0; i < 5000; ++i)
        reply += QStringLiteral("200-more\\r\\n");
    reply += QStringLiteral("200 end");
    FakeFtpServer server({"--reply", reply});
    auto c = MakeClient(server.Port());
    c->Connect();
    try {
        c->SendCommand(QStringLiteral("NOOP"));
        ADD_FAILURE() << "no exception";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Reply too long: 200-start\r\n"));
    }
}

TEST(FtpCommandReplies, LineBreaksNeverReachTheServer) {
    FakeFtpServer server;
    auto c = MakeClient(server.Port());
    c->Connect();
    const QStringList before = server.Commands();
    for (const QString& bad : {QStringLiteral("/tarn\r\nDELE a.bin"), QStringLiteral("/tarn\n"),
                               QStringLiteral("/t\rarn"), QStringLiteral("/tarn") + QChar(0)}) {
        EXPECT_THROW(c->ChangeDir(bad), FTPException);
        EXPECT_THROW(c->SendCommand(QStringLiteral("CWD ") + bad), FTPException);
        EXPECT_THROW(c->Download(bad, QStringLiteral("x")), FTPException);
        EXPECT_THROW(c->DownloadRestore(bad, QStringLiteral("x")), FTPException);
    }
    EXPECT_EQ(server.Commands(), before);
    c->SendCommand(QStringLiteral("NOOP"));
    EXPECT_EQ(c->ReplyCode(), 200);
}

TEST(FtpCommandReplies, OverlongArgumentsNeverReachTheServer) {
    FakeFtpServer server;
    auto c = MakeClient(server.Port());
    c->Connect();
    const QList<QByteArray> before = server.RawCommands();
    const QChar zhong(0x4E2D); // two bytes in Big5
    for (const QString& bad : {QString(1025, QLatin1Char('a')), QString(100000, QLatin1Char('a')),
                               QString(513, zhong)}) {
        EXPECT_THROW(c->ChangeDir(bad), FTPException);
        EXPECT_THROW(c->SendCommand(QStringLiteral("CWD ") + bad), FTPException);
        EXPECT_THROW(c->Download(bad, QStringLiteral("x")), FTPException);
        try {
            c->DownloadRestore(bad, QStringLiteral("x"));
            ADD_FAILURE() << "sent " << bad.size() << " characters";
        } catch (const FTPException& e) {
            EXPECT_EQ(e.message(), QStringLiteral("FTP argument longer than 1024 bytes"));
        }
    }
    EXPECT_EQ(server.RawCommands(), before);
    // 1024 bytes as sent is still an argument: the server gets it whole, as Big5.
    const QString longest = QStringLiteral("CWD ") + QString(510, zhong);
    EXPECT_THROW(c->SendCommand(longest), FTPException); // 550: no such directory
    ASSERT_FALSE(server.RawCommands().isEmpty());
    EXPECT_EQ(server.RawCommands().last(), toBig5(longest));
    c->SendCommand(QStringLiteral("NOOP"));
    EXPECT_EQ(c->ReplyCode(), 200);
}

TEST(FtpCommandReplies, NotConnected) {
    TestApp();
    TFtpClient c;
    int asked = 0;
    try {
        c.ChangeDir(QStringLiteral("/tarn"));
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Not Connected"));
    }
    c.OnConnectionRequired = [&](bool& Handled) {
        ++asked;
        Handled = false;
    };
    EXPECT_THROW(c.SendCommand(QStringLiteral("PWD")), Exception);
    EXPECT_EQ(asked, 1);
}

TEST(FtpCommandReplies, PendingInputIsDiscardedBeforeACommand) {
    // A late second line (as after ABOR) must not be taken for the next command's reply.
    FakeFtpServer server({"--reply", "NOOP#1=200 first\\r\\n226 stray late line"});
    auto c = MakeClient(server.Port());
    c->Connect();
    c->SendCommand(QStringLiteral("NOOP"));
    EXPECT_TRUE(PumpUntil([&] { return c->DataAvailable(); }, 2000));
    c->SendCommand(QStringLiteral("PWD"));
    EXPECT_EQ(c->ReplyCode(), 257);
}

} // namespace
