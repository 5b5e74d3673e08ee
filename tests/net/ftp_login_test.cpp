// Login and logout of the FTP client against the scriptable server: greetings, USER/PASS with
// the answers real servers give, the firewall and proxy variants, and refused logins.
#include "ftp_fixture.h"

#include <gtest/gtest.h>

namespace {

struct LoginCase {
    const char* name;
    QStringList serverArgs;
    std::function<void(TFtpClient&)> setup;
    QStringList commands; // what the server must have received, in order
    const char* error;    // nullptr: Connect succeeds; otherwise the exception's text
    QStringList events;
};

QString Crlf(const char* s) {
    return QString::fromLatin1(s) + QStringLiteral("\r\n");
}

std::vector<LoginCase> LoginCases() {
    const auto none = [](TFtpClient&) {};
    return {
        {"plain", {}, none, {"USER velk", "PASS secret"}, nullptr, {"connect"}},
        {"two-line greeting",
         {"--greeting", "220-Welcome to the update server\\r\\n220 ready"},
         none,
         {"USER velk", "PASS secret"},
         nullptr,
         {"connect"}},
        {"greeting continued by indented lines",
         {"--greeting", "220-first\\r\\n indented second\\r\\n third-with-dash\\r\\n220 end"},
         none,
         {"USER velk", "PASS secret"},
         nullptr,
         {"connect"}},
        {"greeting 421",
         {"--greeting", "421 Too many users, try later."},
         none,
         {"QUIT"},
         "421 Too many users, try later.\r\n",
         {"connectionfailed"}},
        {"greeting 401 is a failure",
         {"--greeting", "401 no"},
         none,
         {"QUIT"},
         "401 no\r\n",
         {"connectionfailed"}},
        {"greeting 400 passes",
         {"--greeting", "400 odd but not above 400"},
         none,
         {"USER velk", "PASS secret"},
         nullptr,
         {"connect"}},
        {"USER answered 230",
         {"--reply", "USER=230 No password needed."},
         none,
         {"USER velk"},
         nullptr,
         {"connect"}},
        {"PASS answered 530",
         {"--reply", "PASS=530 Login incorrect."},
         none,
         {"USER velk", "PASS secret", "QUIT"},
         "530 Login incorrect.\r\n",
         {"connectionfailed"}},
        {"wrong password (the server's own 530)",
         {},
         [](TFtpClient& c) { c.SetPassword(QStringLiteral("wrong")); },
         {"USER velk", "PASS wrong", "QUIT"},
         "530 Authentication failed.\r\n",
         {"connectionfailed"}},
        {"USER answered 599",
         {"--reply", "USER=599 odd"},
         none,
         {"USER velk", "QUIT"},
         "599 odd\r\n",
         {"connectionfailed"}},
        {"USER answered 600 passes without PASS",
         {"--reply", "USER=600 odd"},
         none,
         {"USER velk"},
         nullptr,
         {"connect"}},
        {"firewall login first",
         {"--reply", "USER#1=331 Firewall password please.", "--reply", "PASS#1=230 Through."},
         [](TFtpClient& c) {
             c.SetFWAuthenticate(true);
             c.SetFWUserID(QStringLiteral("fw"));
             c.SetFWPassword(QStringLiteral("fwpw"));
         },
         {"USER fw", "PASS fwpw", "USER velk", "PASS secret"},
         nullptr,
         {"connect"}},
        {"firewall refuses",
         {"--reply", "USER#1=331 Firewall password please.", "--reply", "PASS#1=530 No."},
         [](TFtpClient& c) {
             c.SetFWAuthenticate(true);
             c.SetFWUserID(QStringLiteral("fw"));
             c.SetFWPassword(QStringLiteral("fwpw"));
         },
         {"USER fw", "PASS fwpw", "QUIT"},
         "530 No.\r\n",
         {"connectionfailed"}},
        {"credentials asked for",
         {},
         [](TFtpClient& c) {
             c.SetUserID(QString());
             c.SetPassword(QString());
             c.OnAuthenticationNeeded = [&c](bool&) {
                 c.SetUserID(QStringLiteral("velk"));
                 c.SetPassword(QStringLiteral("secret"));
             };
         },
         {"USER velk", "PASS secret"},
         nullptr,
         {"connect"}},
        {"proxy, user@host",
         {"--reply", "USER=331 Proxy wants a password.", "--reply", "PASS=230 ok"},
         [](TFtpClient& c) {
             // The socket goes to the proxy; Host only names the target in the USER text.
             c.SetProxy(QStringLiteral("127.0.0.1"));
             c.SetProxyPort(c.Port());
             c.SetPort(1);
             c.SetHost(QStringLiteral("update.example.invalid"));
         },
         {"USER velk@update.example.invalid", "PASS secret"},
         nullptr,
         {"connect"}},
        {"proxy, user@host without password",
         {"--reply", "USER=230 ok"},
         [](TFtpClient& c) {
             c.SetProxy(QStringLiteral("127.0.0.1"));
             c.SetProxyPort(c.Port());
             c.SetHost(QStringLiteral("update.example.invalid"));
         },
         {"USER velk@update.example.invalid"},
         nullptr,
         {"connect"}},
        {"proxy, OPEN then login",
         {},
         [](TFtpClient& c) {
             c.SetProxy(QStringLiteral("127.0.0.1"));
             c.SetProxyPort(c.Port());
             c.SetHost(QStringLiteral("update.example.invalid"));
             c.SetFirewallType(FtOpen);
         },
         {"OPEN update.example.invalid", "USER velk", "PASS secret"},
         nullptr,
         {"connect"}},
        {"proxy, SITE then login",
         {},
         [](TFtpClient& c) {
             c.SetProxy(QStringLiteral("127.0.0.1"));
             c.SetProxyPort(c.Port());
             c.SetHost(QStringLiteral("update.example.invalid"));
             c.SetFirewallType(FtSite);
         },
         {"SITE update.example.invalid", "USER velk", "PASS secret"},
         nullptr,
         {"connect"}},
        {"server closes instead of greeting",
         {"--greeting", "@close"},
         none,
         {},
         "Connection closed by the server",
         {"connectionfailed"}},
        {"server closes after USER",
         {"--reply", "USER=@close"},
         none,
         {"USER velk"},
         "Connection closed by the server",
         {"connectionfailed"}},
        {"line break in the user name",
         {},
         [](TFtpClient& c) { c.SetUserID(QStringLiteral("velk\r\nDELE x")); },
         {},
         "Invalid character (CR, LF or NUL) in FTP argument",
         {}},
        {"line break in the password",
         {},
         [](TFtpClient& c) { c.SetPassword(QStringLiteral("a\nb")); },
         {},
         "Invalid character (CR, LF or NUL) in FTP argument",
         {}},
        // Counted in bytes as sent: a server cuts an overlong line, and the rest of it (or the
        // next command glued to it) would pass as a command of its own.
        {"100 KB user name",
         {},
         [](TFtpClient& c) { c.SetUserID(QString(100000, QLatin1Char('u'))); },
         {},
         "FTP argument longer than 1024 bytes",
         {}},
        {"password of 1025 bytes",
         {},
         [](TFtpClient& c) { c.SetPassword(QString(1025, QLatin1Char('p'))); },
         {},
         "FTP argument longer than 1024 bytes",
         {}},
        {"user name of 513 Big5 characters",
         {},
         [](TFtpClient& c) { c.SetUserID(QString(513, QChar(0x4E2D))); },
         {},
         "FTP argument longer than 1024 bytes",
         {}},
        {"overlong name from OnAuthenticationNeeded",
         {},
         [](TFtpClient& c) {
             c.SetUserID(QString());
             c.OnAuthenticationNeeded = [&c](bool&) {
                 c.SetUserID(QString(2000, QLatin1Char('u')));
             };
         },
         {"QUIT"}, // the greeting was read: the failed login logs out
         "FTP argument longer than 1024 bytes",
         {}},
    };
}

class FtpLogin : public ::testing::TestWithParam<LoginCase> {};

TEST_P(FtpLogin, Sequence) {
    const LoginCase& lc = GetParam();
    FakeFtpServer server(lc.serverArgs);
    auto c = MakeClient(server.Port());
    Recorder rec;
    rec.Attach(*c);
    lc.setup(*c);
    if (lc.error) {
        try {
            c->Connect();
            ADD_FAILURE() << "Connect succeeded";
        } catch (const Exception& e) {
            EXPECT_EQ(e.message(), QString::fromLatin1(lc.error));
        }
        EXPECT_FALSE(c->Connected());
    } else {
        c->Connect();
        EXPECT_TRUE(c->Connected());
    }
    EXPECT_EQ(rec.Events, lc.events);
    EXPECT_EQ(server.Commands(), lc.commands);
    // The password is never shown; the PASS step is reported as "PASS " alone.
    for (const QString& s : rec.Status) {
        EXPECT_FALSE(s.contains(QLatin1String("secret"))) << s.toStdString();
        EXPECT_FALSE(s.contains(QLatin1String("fwpw"))) << s.toStdString();
    }
    if (lc.commands.contains(QStringLiteral("PASS secret"))) {
        EXPECT_TRUE(rec.Status.contains(QStringLiteral("PASS ")));
    }
    if (lc.error && !lc.commands.isEmpty()) {
        EXPECT_EQ(rec.Status.last(), QStringLiteral("Disconnected"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpLogin, ::testing::ValuesIn(LoginCases()),
                         [](const ::testing::TestParamInfo<LoginCase>& info) {
                             std::string n;
                             for (const char* p = info.param.name; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

TEST(FtpLoginStatus, GreetingLinesAndUserReported) {
    FakeFtpServer server({"--greeting", "220-Welcome\\r\\n second\\r\\n220 ready"});
    auto c = MakeClient(server.Port());
    Recorder rec;
    rec.Attach(*c);
    c->Connect();
    const QStringList expected{Crlf("220-Welcome"), Crlf(" second"), Crlf("220 ready"),
                               QStringLiteral("USER velk")};
    ASSERT_GE(rec.Status.size(), expected.size());
    EXPECT_EQ(rec.Status.mid(0, expected.size()), expected);
    EXPECT_EQ(c->ReplyCode(), 230);
}

TEST(FtpLoginStatus, ConnectWhileConnectedSendsNothing) {
    FakeFtpServer server;
    auto c = MakeClient(server.Port());
    Recorder rec;
    rec.Attach(*c);
    c->Connect();
    c->Connect();
    EXPECT_EQ(server.Commands(), (QStringList{"USER velk", "PASS secret"}));
    EXPECT_EQ(rec.Events, QStringList{"connect"});
}

TEST(FtpLoginStatus, RefusedConnectionLeavesConnectAsIs) {
    TestApp();
    auto c = MakeClient(UnusedPort());
    Recorder rec;
    rec.Attach(*c);
    try {
        c->Connect();
        ADD_FAILURE() << "Connect succeeded";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Connection Failed"));
    }
    EXPECT_EQ(rec.Events, QStringList{"connectionfailed"});
    EXPECT_FALSE(rec.Status.contains(QStringLiteral("Disconnected")));
}

TEST(FtpLogout, QuitAndReconnect) {
    FakeFtpServer server;
    auto c = MakeClient(server.Port());
    int disconnects = 0;
    c->OnDisconnect = [&](QObject*) { ++disconnects; };
    c->Disconnect(); // not connected: nothing at all
    EXPECT_TRUE(server.Commands().isEmpty());
    c->Connect();
    c->SetVendor(7);
    c->Disconnect(); // 221: nothing raised
    EXPECT_FALSE(c->Connected());
    EXPECT_EQ(c->Vendor(), 2411);
    EXPECT_EQ(disconnects, 1);
    c->Connect(); // the same object logs in again
    EXPECT_TRUE(c->Connected());
    c->Disconnect();
    EXPECT_EQ(server.Commands(), (QStringList{"USER velk", "PASS secret", "QUIT", "USER velk",
                                              "PASS secret", "QUIT"}));
}

TEST(FtpLogout, RefusedQuitRaisesAfterClosing) {
    for (const char* reply : {"500 QUIT not understood.", "301 odd", "599 odd"}) {
        FakeFtpServer server({"--reply", QStringLiteral("QUIT=%1").arg(reply)});
        auto c = MakeClient(server.Port());
        c->Connect();
        try {
            c->Disconnect();
            ADD_FAILURE() << "no exception for " << reply;
        } catch (const FTPException& e) {
            EXPECT_EQ(e.message(), Crlf(reply));
        }
        EXPECT_FALSE(c->Connected()) << reply;
    }
    FakeFtpServer server({"--reply", "QUIT=300 fine"});
    auto c = MakeClient(server.Port());
    c->Connect();
    c->Disconnect();
    EXPECT_FALSE(c->Connected());
}

} // namespace
