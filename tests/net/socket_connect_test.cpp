// Connecting, host look-up, closing, cancel, time-out, status reporting and the timer component,
// against peers on 127.0.0.1.
#include "loopback_peer.h"
#include "net/AsyncSocket.h"
#include "platform/Socket.h"
#include "platform/SocketNotifier.h"

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

class ConnectTest : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }
};

std::string What(const std::exception& e) {
    return e.what();
}

TEST_F(ConnectTest, DottedAddressConnectsWithoutLookup) {
    LoopbackPeer peer;
    peer.Serve([](int& fd) { SendAll(fd, "hi\r\n"); });
    TAsyncSocket s;
    int resolved = 0, connected = 0;
    s.OnHostResolved = [&](QObject*) { ++resolved; };
    s.OnConnect = [&](QObject* sender) {
        EXPECT_EQ(sender, &s);
        ++connected;
    };
    s.SetHost("127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
    EXPECT_TRUE(s.Connected());
    EXPECT_EQ(resolved, 0);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(s.ReadLn(), QString("hi\r\n"));
}

TEST_F(ConnectTest, NameIsLookedUpAndEventsComeInOrder) {
    LoopbackPeer peer;
    peer.Serve([](int&) {});
    TAsyncSocket s;
    std::vector<QString> log;
    s.SetReportLevel(8);
    s.OnStatus = [&](QObject*, const QString& text) { log.push_back(text); };
    s.OnHostResolved = [&](QObject*) { log.push_back("<resolved>"); };
    s.OnConnect = [&](QObject*) { log.push_back("<connect>"); };
    s.SetHost("localhost");
    s.SetPort(peer.Port());
    s.Connect();
    EXPECT_TRUE(s.Connected());
    const std::vector<QString> expected = {"Connecting", "Resolve Host", "Timer On",  "Timer Off",
                                           "<resolved>", "Timer On",     "<connect>", "Timer Off"};
    EXPECT_EQ(log, expected);
    peer.Join();
    EXPECT_TRUE(peer.Accepted());
}

TEST_F(ConnectTest, RefusedFiresConnectionFailedOnceThenRaises) {
    TAsyncSocket s;
    int failed = 0;
    s.OnConnectionFailed = [&](QObject*) { ++failed; };
    s.SetHost("127.0.0.1");
    s.SetPort(UnusedPort());
    try {
        s.Connect();
        FAIL() << "connect to a closed port succeeded";
    } catch (const ESockError& e) {
        EXPECT_EQ(What(e), "Connection Failed");
    }
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(s.Connected());
    EXPECT_FALSE(s.AsyncOK());
}

// The refusal reaches the notification as WinSock's code, which reads as the table's text.
TEST_F(ConnectTest, RefusalArrivesAsWinsockCode) {
    quint16 error = 0, event = 0;
    auto* window = new TSockWindow([&](quint32 msg, quintptr, qintptr lParam) {
        EXPECT_EQ(msg, SocketMessage);
        event = static_cast<quint16>(lParam & 0xFFFF);
        error = static_cast<quint16>(lParam >> 16);
    });
    const WsHandle h = WsSocket();
    ASSERT_NE(h, WS_INVALID_SOCKET);
    ASSERT_EQ(WsAsyncSelect(h, window, SocketMessage, 61), 0);
    EXPECT_EQ(WsConnect(h, WsInetAddr("127.0.0.1"), WsHtons(UnusedPort())), WS_SOCKET_ERROR);
    EXPECT_EQ(WsGetLastError(), WSAEWOULDBLOCK);
    EXPECT_TRUE(PumpUntil([&] { return event != 0; }, 3000));
    EXPECT_EQ(event, FD_CONNECT);
    EXPECT_EQ(error, 10061);
    TAsyncSocket s;
    EXPECT_EQ(s.LookupErrorMessage(error), QString("10061:Connection refused"));
    WsCloseSocket(h);
    TSockWindow::Destroy(window);
}

// A listener with backlog 0 whose one queue slot is taken: the next connect is never answered.
struct StuckListener {
    LoopbackPeer listener{0};
    int filler = ConnectTo(listener.Port());
    ~StuckListener() { CloseNow(filler); }
};

TEST_F(ConnectTest, TimeOutEndsAConnectThatNeverCompletes) {
    StuckListener stuck;
    ASSERT_GE(stuck.filler, 0);
    TAsyncSocket s;
    int failed = 0;
    s.OnConnectionFailed = [&](QObject*) { ++failed; };
    s.SetHost("127.0.0.1");
    s.SetPort(stuck.listener.Port());
    s.SetTimeOut(3000);
    QElapsedTimer t;
    t.start();
    const double cpu0 = CpuSeconds();
    try {
        s.Connect();
        FAIL() << "connect completed";
    } catch (const ESockError& e) {
        EXPECT_EQ(What(e), "Connection Timed out");
    }
    const qint64 elapsed = t.elapsed();
    EXPECT_GE(elapsed, 2900);
    EXPECT_LE(elapsed, 4000);
    EXPECT_TRUE(s.TimedOut());
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(failed, 1);
    // The wait slept in the event loop.
    EXPECT_LT(CpuSeconds() - cpu0, 0.1);
}

TEST_F(ConnectTest, LookupFailureAndTheOneSecondChance) {
    LoopbackPeer peer;
    peer.Serve([](int&) {});
    struct Case {
        const char* name;
        std::function<void(TAsyncSocket&, bool&)> handler; // null: no OnInvalidHost
        const char* error;                                 // null: connects
        int calls;
    };
    const std::vector<Case> cases = {
        {"no handler", nullptr, "Null Remote Address", 0},
        {"handler declines", [](TAsyncSocket&, bool&) {}, "Null Remote Address", 1},
        {"handler supplies another bad name",
         [](TAsyncSocket& s, bool& handled) {
             s.SetHost("still-nowhere.invalid");
             handled = true;
         },
         "Null Remote Address", 1},
        {"handler supplies a good name",
         [](TAsyncSocket& s, bool& handled) {
             s.SetHost("localhost");
             handled = true;
         },
         nullptr, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TAsyncSocket s;
        int calls = 0;
        if (c.handler)
            s.OnInvalidHost = [&](bool& handled) {
                ++calls;
                c.handler(s, handled);
            };
        s.SetHost("nowhere.invalid");
        s.SetPort(peer.Port());
        s.SetTimeOut(5000);
        if (c.error) {
            try {
                s.Connect();
                ADD_FAILURE() << "connected";
            } catch (const ESockError& e) {
                EXPECT_EQ(What(e), c.error);
            }
            EXPECT_FALSE(s.TimedOut());
        } else {
            EXPECT_NO_THROW(s.Connect());
            EXPECT_TRUE(s.Connected());
        }
        EXPECT_EQ(calls, c.calls);
    }
}

// A look-up that was given up is not withdrawn; once a newer one has started, its late reply is
// dropped, so it can neither end the newer wait nor hand over the old name's address.
TEST_F(ConnectTest, SupersededLookupReplyIsDropped) {
    int replies = 0;
    quint16 error = 0xFFFF;
    auto* window = new TSockWindow([&](quint32 msg, quintptr, qintptr lParam) {
        EXPECT_EQ(msg, AsyncReplyMessage);
        ++replies;
        error = static_cast<quint16>(lParam >> 16);
    });
    WsAsyncGetHostByName(window, AsyncReplyMessage, "localhost"); // given up
    WsAsyncGetHostByName(window, AsyncReplyMessage, "localhost"); // the one waited for
    EXPECT_TRUE(PumpUntil([&] { return replies > 0; }, 3000));
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(replies, 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(window->HostEntryAddress(), WsInetAddr("127.0.0.1"));
    WsAsyncGetHostByName(window, AsyncReplyMessage, "host.example.INVALID.");
    EXPECT_TRUE(PumpUntil([&] { return replies == 2; }, 3000));
    EXPECT_EQ(error, 11001);
    TSockWindow::Destroy(window);
}

// A cancel while the look-up is pending leaves Connect at once with the look-up's own text; the
// caller's next Connect still works.
TEST_F(ConnectTest, CancelDuringLookup) {
    LoopbackPeer peer;
    peer.Serve([](int& fd) { SendAll(fd, "after\n"); });
    TAsyncSocket s;
    bool cancelNext = true;
    s.SetReportLevel(8);
    s.OnStatus = [&](QObject*, const QString& text) {
        if (text == "Timer On" && cancelNext) {
            cancelNext = false;
            s.Cancel();
        }
    };
    s.SetHost("localhost");
    s.SetPort(peer.Port());
    try {
        s.Connect();
        FAIL() << "connected";
    } catch (const ESockError& e) {
        EXPECT_EQ(What(e), "Host Lookup Canceled");
    }
    EXPECT_FALSE(s.Connected());
    s.Connect();
    EXPECT_EQ(s.ReadLn(), QString("after\n"));
}

TEST_F(ConnectTest, ProxyReplacesHostAndPort) {
    LoopbackPeer proxy;
    proxy.Serve([](int& fd) { SendAll(fd, "proxy\r\n"); });
    TAsyncSocket s;
    int resolved = 0;
    s.OnHostResolved = [&](QObject*) { ++resolved; };
    s.SetHost("nowhere.invalid");
    s.SetPort(1);
    s.SetProxy("127.0.0.1");
    s.SetProxyPort(proxy.Port());
    s.Connect();
    EXPECT_EQ(resolved, 0);
    EXPECT_EQ(s.ReadLn(), QString("proxy\r\n"));
}

TEST_F(ConnectTest, DisconnectThenConnectAgainAndAlreadyConnected) {
    LoopbackPeer first, second;
    first.Serve([](int& fd) { RecvAll(fd); });
    second.Serve([](int& fd) { SendAll(fd, "second\r\n"); });
    TAsyncSocket s;
    int disconnects = 0;
    s.OnDisconnect = [&](QObject*) { ++disconnects; };
    s.SetHost("127.0.0.1");
    s.SetPort(first.Port());
    s.Connect();
    const WsHandle before = s.SocketHandle();
    try {
        s.Connect();
        FAIL() << "second connect accepted";
    } catch (const ESockError& e) {
        EXPECT_EQ(What(e), "Already connected");
    }
    EXPECT_TRUE(s.Connected());
    s.Disconnect();
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_NE(s.SocketHandle(), INVALID_SOCKET_HANDLE); // a fresh socket is ready
    first.Join();
    s.SetPort(second.Port());
    s.Connect();
    EXPECT_TRUE(s.Connected());
    EXPECT_EQ(s.ReadLn(), QString("second\r\n"));
    (void)before;
}

TEST_F(ConnectTest, PeerCloseClosesAndReplacesTheSocket) {
    LoopbackPeer peer;
    peer.Serve([](int&) {});
    TAsyncSocket s;
    int disconnects = 0;
    s.OnDisconnect = [&](QObject*) { ++disconnects; };
    s.SetHost("127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
    EXPECT_TRUE(PumpUntil([&] { return !s.Connected(); }, 3000));
    EXPECT_EQ(disconnects, 1);
    // On the replacement socket a line read ends at once: not connected, nothing taken.
    EXPECT_EQ(s.ReadLn(), QString());
    EXPECT_EQ(s.LastErrorNo(), 10057);
}

TEST_F(ConnectTest, RequireConnectionAsksOnce) {
    LoopbackPeer peer;
    peer.Serve([](int&) { SleepMs(200); });
    TAsyncSocket s;
    EXPECT_THROW(
        {
            try {
                s.RequireConnection();
            } catch (const ESockError&) {
                ADD_FAILURE() << "not the base class";
                throw;
            } catch (const Exception& e) {
                EXPECT_EQ(What(e), "Not Connected");
                throw;
            }
        },
        Exception);
    int asked = 0;
    s.OnConnectionRequired = [&](bool& handled) {
        ++asked;
        handled = true; // claims success without connecting
    };
    EXPECT_THROW(s.RequireConnection(), Exception);
    EXPECT_EQ(asked, 1);
    s.OnConnectionRequired = [&](bool& handled) {
        ++asked;
        s.SetHost("127.0.0.1");
        s.SetPort(peer.Port());
        s.Connect();
        handled = true;
    };
    EXPECT_NO_THROW(s.RequireConnection());
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(s.Connected());
}

// Status texts reach OnStatus only up to ReportLevel; LastStatus follows what was reported.
TEST_F(ConnectTest, StatusFilteredByReportLevel) {
    struct Row {
        int level;
        std::vector<QString> mustSee;
        std::vector<QString> mustNotSee;
    };
    const std::vector<Row> rows = {
        {0, {}, {"Connecting", "Sending Buffer", "200 fine\r\n", "Request Close Socket"}},
        {1, {"200 fine\r\n"}, {"Connecting", "Sending Buffer", "Request Close Socket"}},
        {4,
         {"200 fine\r\n", "Sending Buffer", "Request Close Socket"},
         {"Connecting", "Transaction", "ReadLn", "Timer On"}},
        {8,
         {"200 fine\r\n", "Sending Buffer", "Request Close Socket", "Connecting", "Transaction",
          "Writeln", "Write", "ReadLn", "Timer On", "Timer Off", "Disconnecting", "Resolve Host"},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.level);
        LoopbackPeer peer;
        peer.Serve([](int& fd) {
            RecvLine(fd);
            SendAll(fd, "200 fine\r\n");
            RecvAll(fd);
        });
        TAsyncSocket s;
        std::vector<QString> seen;
        s.SetReportLevel(row.level);
        s.OnStatus = [&](QObject* sender, const QString& text) {
            EXPECT_EQ(sender, &s);
            seen.push_back(text);
        };
        s.SetHost("127.0.0.1");
        s.SetPort(peer.Port());
        s.Connect();
        EXPECT_EQ(s.Transaction("NOOP"), QString("200 fine\r\n"));
        s.Disconnect();
        for (const QString& t : row.mustSee)
            EXPECT_NE(std::find(seen.begin(), seen.end(), t), seen.end()) << t.toStdString();
        for (const QString& t : row.mustNotSee)
            EXPECT_EQ(std::find(seen.begin(), seen.end(), t), seen.end()) << t.toStdString();
        if (row.level == 0)
            EXPECT_TRUE(seen.empty());
        else
            EXPECT_EQ(s.LastStatus(), seen.back());
    }
}

TEST_F(ConnectTest, StatusHandlerExceptionsAreSwallowed) {
    TAsyncSocket s;
    s.SetReportLevel(8);
    s.OnStatus = [](QObject*, const QString&) { throw Exception("handler failed"); };
    EXPECT_NO_THROW(s.Cancel());
    EXPECT_TRUE(s.Canceled());
    EXPECT_EQ(s.LastStatus(), QString("Canceling"));
}

TEST_F(ConnectTest, FirstComponentStartsTheLayerOnce) {
    const int base = WinsockUsers;
    auto first = std::make_unique<TAsyncSocket>();
    auto second = std::make_unique<TAsyncSocket>();
    EXPECT_EQ(WinsockUsers, base + 2);
    if (base == 0) {
        ASSERT_EQ(first->WinsockInfo().size(), 6);
        EXPECT_EQ(first->WinsockInfo()[0], QString("Version= 1.1"));
        EXPECT_TRUE(first->WinsockInfo()[4].startsWith("Max Sockets= "));
    }
    EXPECT_TRUE(second->WinsockInfo().isEmpty());
    first.reset();
    EXPECT_EQ(WinsockUsers, base + 1);
    // The second still works after the first is gone.
    LoopbackPeer peer;
    peer.Serve([](int& fd) { SendAll(fd, "ok\n"); });
    second->SetHost("127.0.0.1");
    second->SetPort(peer.Port());
    second->Connect();
    EXPECT_EQ(second->ReadLn(), QString("ok\n"));
    second.reset();
    EXPECT_EQ(WinsockUsers, base);
}

TEST_F(ConnectTest, OwnerDestroysTheComponent) {
    const int base = WinsockUsers;
    auto* owner = new QObject;
    auto* s = new TAsyncSocket(owner);
    EXPECT_EQ(s->parent(), owner);
    EXPECT_EQ(WinsockUsers, base + 1);
    delete owner;
    EXPECT_EQ(WinsockUsers, base);
}

// No socket for the component (here: no descriptor left): construction fails cleanly.
TEST_F(ConnectTest, SocketCreationFailureFailsConstruction) {
    // A component made and destroyed first lets UndefinedBehaviorSanitizer learn the class's
    // type while it can still open files; without a free descriptor it cannot check the
    // unwinding of the failed construction below and reports a false "invalid vptr".
    { TAsyncSocket warmUp; }
    const int base = WinsockUsers;
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree); // every descriptor below is in use
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::string error;
    try {
        TAsyncSocket s;
        setrlimit(RLIMIT_NOFILE, &old);
    } catch (const ESockError& e) {
        // Limit back first: the sanitizer build needs descriptors to check the object.
        setrlimit(RLIMIT_NOFILE, &old);
        error = e.what();
    }
    EXPECT_EQ(error, "Initializaton of windows sockets failed");
    EXPECT_EQ(WinsockUsers, base);
    EXPECT_NO_THROW(TAsyncSocket());
}

TEST_F(ConnectTest, ThreadTimerRearmsOnlyOnChange) {
    TThreadTimer timer;
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    int fired = 0;
    QElapsedTimer since;
    // No handler: never armed.
    EXPECT_FALSE(PumpUntil([&] { return fired > 0; }, 50));
    timer.SetInterval(60);
    timer.SetOnTimer([&](QObject* sender) {
        EXPECT_EQ(sender, &timer);
        ++fired;
    });
    since.start();
    ASSERT_TRUE(PumpUntil([&] { return fired >= 2; }, 2000)); // keeps firing
    EXPECT_GE(since.elapsed(), 110);
    timer.SetEnabled(false);
    const int now = fired;
    EXPECT_FALSE(PumpUntil([&] { return fired > now; }, 150));
    timer.SetInterval(0);
    timer.SetEnabled(true); // interval 0: not armed
    EXPECT_FALSE(PumpUntil([&] { return fired > now; }, 150));

    // Setting an unchanged Enabled or Interval does not restart the count: a caller that keeps
    // setting them more often than the interval still sees the timer fire.
    timer.SetInterval(200);
    const int before = fired;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 700) {
        timer.SetEnabled(true);
        timer.SetInterval(200);
        PumpUntil([] { return false; }, 50);
    }
    EXPECT_GE(fired - before, 2);
}

} // namespace
