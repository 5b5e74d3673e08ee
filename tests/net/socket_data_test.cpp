// Sending, reading bytes and lines, transactions, receiving into files, listening and accepting,
// the address texts and the text helpers.
#include "loopback_peer.h"
#include "net/AsyncSocket.h"
#include "platform/Socket.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class DataTest : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }

    // A component connected to a fresh peer that runs script.
    std::unique_ptr<TAsyncSocket> ConnectTo(LoopbackPeer& peer, std::function<void(int&)> script) {
        peer.Serve(std::move(script));
        auto s = std::make_unique<TAsyncSocket>();
        s->SetHost("127.0.0.1");
        s->SetPort(peer.Port());
        s->Connect();
        return s;
    }
};

std::string What(const std::exception& e) {
    return e.what();
}

QByteArray RandomBytes(int size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    gen.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

TEST_F(DataTest, ReadLnTable) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, int>> pieces; // bytes, then pause in ms
        std::vector<QString> lines;                      // successive ReadLn results
    };
    const std::vector<Case> cases = {
        {"two lines pending", {{"first\r\nsecond\r\n", 0}}, {"first\r\n", "second\r\n"}},
        {"line in pieces",
         {{"22", 100}, {"0 Wel", 100}, {"come\r", 100}, {"\nnext\n", 0}},
         {"220 Welcome\r\n", "next\n"}},
        {"bare LF and CR kept", {{"a\rb\nc\n", 0}}, {"a\rb\n", "c\n"}},
        {"closed with nothing pending", {}, {"", ""}},
        {"peer closes mid-line", {{"partial", 300}}, {"", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPeer peer;
        auto s = ConnectTo(peer, [&](int& fd) {
            for (const auto& [bytes, pause] : c.pieces) {
                SendAll(fd, bytes);
                SleepMs(pause);
            }
        });
        for (const QString& expected : c.lines)
            EXPECT_EQ(s->ReadLn(), expected);
    }
}

TEST_F(DataTest, ReadLnLeavesTheRestPending) {
    LoopbackPeer peer;
    std::atomic<bool> done{false};
    auto s = ConnectTo(peer, [&](int& fd) {
        SendAll(fd, "line\r\ntail");
        while (!done)
            SleepMs(10);
    });
    EXPECT_EQ(s->ReadLn(), QString("line\r\n"));
    EXPECT_TRUE(PumpUntil([&] { return s->DataAvailable(); }, 2000));
    EXPECT_EQ(s->Read(0), QString("tail"));
    done = true;
}

TEST_F(DataTest, LineLongerThanTheBufferIsAnError) {
    LoopbackPeer peer;
    auto s = ConnectTo(peer, [](int& fd) {
        SendAll(fd, std::string(70000, 'x') + "\n");
        SleepMs(500);
    });
    quint16 reported = 0;
    s->OnError = [&](QObject*, quint16 code, const QString&) { reported = code; };
    try {
        s->ReadLn();
        FAIL() << "an over-long line was accepted";
    } catch (const ESockError& e) {
        EXPECT_EQ(What(e), "10040:Message too long");
    }
    EXPECT_EQ(reported, 10040);
}

TEST_F(DataTest, TransactionReplyCodes) {
    struct Case {
        std::string reply; // "" = the peer closes instead of answering
        qint16 code;
        bool reported;
    };
    const std::vector<Case> cases = {
        {"200 NOOP ok\r\n", 200, true},
        {"no digits here\r\n", 0, true},
        {"", 0, false},
        {"0421 leading zero\r\n", 421, true},
        {"99999 too big\r\n", 0, true},
        {"12345678901234 overflow\r\n", 0, true},
        {"150-continued\r\n", 150, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        LoopbackPeer peer;
        std::string received;
        auto s = ConnectTo(peer, [&](int& fd) {
            received = RecvLine(fd);
            if (!c.reply.empty())
                SendAll(fd, c.reply);
        });
        s->SetReplyCode(777);
        s->SetReportLevel(1);
        std::vector<QString> status;
        s->OnStatus = [&](QObject*, const QString& t) { status.push_back(t); };
        const QString reply = s->Transaction("NOOP");
        EXPECT_EQ(reply, QString::fromStdString(c.reply));
        EXPECT_EQ(s->LastReply(), reply);
        EXPECT_EQ(s->ReplyCode(), c.code);
        EXPECT_EQ(status.size(), c.reported ? 1u : 0u);
        peer.Join();
        EXPECT_EQ(received, "NOOP\r\n");
    }
}

TEST_F(DataTest, ReadCountedAndPending) {
    LoopbackPeer peer;
    std::atomic<bool> done{false};
    auto s = ConnectTo(peer, [&](int& fd) {
        SendAll(fd, "0123456789");
        SleepMs(300);
        SendAll(fd, "ab");
        SleepMs(300);
        SendAll(fd, "cdefg");
        while (!done)
            SleepMs(10);
    });
    ASSERT_TRUE(PumpUntil([&] { return s->DataAvailable(); }, 2000));
    SleepMs(50);
    EXPECT_EQ(s->Read(0), QString("0123456789"));
    EXPECT_EQ(s->Read(0), QString()); // nothing pending
    const double cpu0 = CpuSeconds();
    EXPECT_EQ(s->Read(5), QString("abcde")); // waits for the second piece
    EXPECT_LT(CpuSeconds() - cpu0, 0.1);
    ASSERT_TRUE(PumpUntil([&] { return s->DataAvailable(); }, 2000));
    EXPECT_EQ(s->Read(0), QString("fg"));
    done = true;
}

TEST_F(DataTest, ReadCountedEndsWhenThePeerCloses) {
    struct Case {
        std::string sent;
        QString expected;
    };
    for (const Case& c : std::vector<Case>{{"", ""}, {"ab", "ab"}}) {
        LoopbackPeer peer;
        auto s = ConnectTo(peer, [&](int& fd) {
            SendAll(fd, c.sent);
            SleepMs(200);
        });
        s->SetTimeOut(0);
        QString got;
        try {
            got = s->Read(5);
        } catch (const ESockError& e) {
            // The close notice may have replaced the socket before the first peek.
            EXPECT_EQ(What(e), "10057:Socket is not connected");
            EXPECT_TRUE(c.sent.empty());
        }
        EXPECT_EQ(got, c.expected);
    }
}

TEST_F(DataTest, WriteAndSendBuffer) {
    std::string expected(65535, 'z');
    expected += "abc";
    expected += std::string("abc\0def", 7);
    expected += "\xa4\xa4\xa4\xe5\r\n";
    expected += "v13\xa1\xd1.sh\r\n";
    LoopbackPeer peer;
    std::string received;
    // The component closes with an immediate reset, so the peer takes what it expects first.
    auto s = ConnectTo(peer, [&](int& fd) {
        char buffer[4096];
        while (received.size() < expected.size()) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            received.append(buffer, static_cast<size_t>(n));
        }
    });
    // A text that does not fit one send is refused whole, never cut (a cut line loses its end,
    // and the next one is glued to it); also when only the line end no longer fits.
    try {
        s->Write(QString(70000, QChar('z')));
        ADD_FAILURE() << "a cut text was sent";
    } catch (const ESockError& e) {
        EXPECT_EQ(What(e), "10040:Message too long");
    }
    EXPECT_THROW(s->Writeln(QString(65534, QChar('z'))), ESockError);
    s->Write(QString(65535, QChar('z')));
    const char withNul[] = "abc\0def";
    s->SendBuffer(withNul, 0);                  // up to the NUL
    s->SendBuffer(withNul, 7);                  // counted, NUL included
    s->Writeln(QStringLiteral("中文"));         // Big5
    s->Writeln(QStringLiteral("v13\u00D7.sh")); // Big5 also below U+0100, never Latin-1
    peer.Join();
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

// One FD_READ per arrival until the next receive, however many pieces come meanwhile.
TEST_F(DataTest, OneReadNoticeUntilTheNextReceive) {
    LoopbackPeer peer;
    std::atomic<int> step{0};
    auto s = ConnectTo(peer, [&](int& fd) {
        for (int i = 0; i < 3; ++i) {
            SendAll(fd, "piece");
            SleepMs(80);
        }
        step = 1;
        while (step != 2)
            SleepMs(10);
        SendAll(fd, "more");
        SleepMs(300);
    });
    int notices = 0;
    s->OnReadReady = [&](QObject*) { ++notices; };
    PumpUntil([&] { return step == 1; }, 3000);
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(s->Read(0), QString("piecepiecepiece"));
    step = 2;
    EXPECT_TRUE(PumpUntil([&] { return notices == 2; }, 2000));
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(notices, 2);
    EXPECT_EQ(s->Read(0), QString("more"));
}

TEST_F(DataTest, CaptureFileAndAppendFileByteForByte) {
    QTemporaryDir dir;
    const QByteArray payload = RandomBytes(3 * 1024 * 1024 + 123, 42);
    const std::string bytes(payload.constData(), static_cast<size_t>(payload.size()));
    {
        LoopbackPeer peer;
        auto s = ConnectTo(peer, [&](int& fd) { SendAll(fd, bytes); });
        int packets = 0;
        s->OnPacketRecvd = [&](QObject* sender) {
            EXPECT_EQ(sender, s.get());
            ++packets;
        };
        const QString path = dir.filePath("capture.bin");
        s->CaptureFile(path);
        EXPECT_EQ(s->ReceivedBytes(), payload.size());
        EXPECT_GT(packets, 1);
        EXPECT_TRUE(FileBytes(path) == payload);
    }
    {
        const QString path = dir.filePath("append.bin");
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("PREFIX");
        f.close();
        LoopbackPeer peer;
        auto s = ConnectTo(peer, [&](int& fd) { SendAll(fd, bytes); });
        s->AppendFile(path);
        EXPECT_EQ(s->ReceivedBytes(), payload.size());
        EXPECT_TRUE(FileBytes(path) == QByteArray("PREFIX") + payload);
    }
}

// A transfer that the peer resets is an error, whichever comes first: the receive that meets
// the reset, or the close notice that carries it.
TEST_F(DataTest, ResetTransferIsAnError) {
    QTemporaryDir dir;
    const QByteArray payload = RandomBytes(200000, 7);
    const std::string bytes(payload.constData(), static_cast<size_t>(payload.size()));
    for (int pause : {0, 300}) {
        for (bool append : {false, true}) {
            SCOPED_TRACE(testing::Message() << "pause " << pause << " append " << append);
            LoopbackPeer peer;
            auto s = ConnectTo(peer, [&](int& fd) {
                // A reset that beats the client's own connect notice would fail the connect
                // instead of the transfer: wait until the client says it is connected.
                RecvLine(fd);
                SendAll(fd, bytes);
                SleepMs(pause); // 300: the receiver is asleep in the event loop when it comes
                linger l{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                CloseNow(fd); // reset
            });
            s->Writeln(QStringLiteral("go"));
            const QString path = dir.filePath("reset.bin");
            QFile(path).remove();
            if (append) {
                QFile f(path);
                ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            }
            try {
                if (append)
                    s->AppendFile(path);
                else
                    s->CaptureFile(path);
                ADD_FAILURE() << "the reset went unnoticed";
            } catch (const ESockError& e) {
                EXPECT_EQ(What(e), "10054:Connection reset by peer");
            }
            const QByteArray got = FileBytes(path);
            EXPECT_LE(got.size(), payload.size());
            EXPECT_TRUE(got == payload.left(got.size())); // what arrived is right
        }
    }
}

TEST_F(DataTest, FileErrors) {
    QTemporaryDir dir;
    LoopbackPeer peer;
    auto s = ConnectTo(peer, [](int&) { SleepMs(100); });
    const QString missing = dir.filePath("missing.bin");
    try {
        s->AppendFile(missing);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.message(), "Cannot open file " + missing + ": No such file or directory");
        EXPECT_EQ(e.ErrorCode(), ENOENT);
    }
    EXPECT_FALSE(QFile::exists(missing)); // never created
    const QString bad = dir.filePath("no/such/dir/file.bin");
    try {
        s->CaptureFile(bad);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.message(), "Cannot create file " + bad + ": No such file or directory");
    }

    // Nothing but a regular file is written, and a link is never followed: not even the open
    // of a fifo that nobody reads may hang.
    const QString target = dir.filePath("target.bin");
    {
        QFile f(target);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write("keep"), 4);
    }
    const QString link = dir.filePath("link.bin");
    const QString dangling = dir.filePath("dangling.bin");
    const QString fifo = dir.filePath("fifo.bin");
    const QString sub = dir.filePath("sub.bin");
    ASSERT_TRUE(QFile::link(target, link));
    ASSERT_TRUE(QFile::link(dir.filePath("nothing.bin"), dangling));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(QDir().mkdir(sub));
    const struct {
        QString path;
        const char* reason;
    } refused[] = {{link, "Is a symbolic link"},
                   {dangling, "Is a symbolic link"},
                   {fifo, "Not a regular file"},
                   {sub, "Not a regular file"}};
    for (const auto& c : refused) {
        for (const bool append : {false, true}) {
            SCOPED_TRACE(c.path.toStdString() + (append ? " append" : " capture"));
            try {
                append ? s->AppendFile(c.path) : s->CaptureFile(c.path);
                ADD_FAILURE() << "written";
            } catch (const EStreamError& e) {
                EXPECT_EQ(e.message(), (append ? "Cannot open file " : "Cannot create file ") +
                                           c.path + ": " + c.reason);
            }
        }
    }
    EXPECT_EQ(FileBytes(target), "keep");
    EXPECT_FALSE(QFile::exists(dir.filePath("nothing.bin")));
}

// FD_CLOSE while data is still pending leaves the socket open so the data can be read; with
// nothing pending the socket is closed.
TEST_F(DataTest, CloseNoticeWithDataPending) {
    LoopbackPeer peer;
    auto s = ConnectTo(peer, [](int& fd) { SendAll(fd, std::string(100, 'd')); });
    int disconnects = 0;
    s->OnDisconnect = [&](QObject*) { ++disconnects; };
    peer.Join(); // the peer has sent and closed
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(s->Connected());
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(s->Read(0), QString(100, 'd'));
    PumpUntil([] { return false; }, 200);
    EXPECT_TRUE(s->Connected());       // no second close notice
    EXPECT_EQ(s->ReadLn(), QString()); // the peer has closed
}

TEST_F(DataTest, DedicatedListenAndAccept) {
    QTemporaryDir dir;
    TAsyncSocket s;
    int disconnects = 0;
    s.OnDisconnect = [&](QObject*) { ++disconnects; };
    s.SetPort(0);
    s.Listen(true);
    const QString portText = s.LocalPortText();
    const QStringList parts = portText.split(',');
    ASSERT_EQ(parts.size(), 3);
    const int port = parts[1].toInt() * 256 + parts[2].toInt();
    EXPECT_EQ(s.LocalAddressText(), QString("0,0,0,0"));
    std::thread client([port] {
        int fd = ::ConnectTo(static_cast<quint16>(port));
        SendAll(fd, "data over the accepted socket");
        CloseNow(fd);
    });
    const WsHandle listening = s.SocketHandle();
    const WsHandle accepted = s.Accept();
    client.join();
    ASSERT_NE(accepted, INVALID_SOCKET_HANDLE);
    EXPECT_NE(accepted, listening);
    EXPECT_TRUE(s.Connected());
    EXPECT_EQ(disconnects, 1); // the accept notice of a dedicated listener fires OnDisconnect
    s.SetSocketHandle(accepted);
    TAsyncSocket::CloseSocketHandle(listening);
    const QString path = dir.filePath("accepted.txt");
    s.CaptureFile(path);
    EXPECT_EQ(FileBytes(path), QByteArray("data over the accepted socket"));
}

TEST_F(DataTest, OrdinaryListenFiresOnAccept) {
    TAsyncSocket s;
    int accepts = 0;
    s.OnAccept = [&](QObject*) { ++accepts; };
    s.SetPort(0);
    s.Listen(false);
    const QStringList parts = s.LocalPortText().split(',');
    const int port = parts[1].toInt() * 256 + parts[2].toInt();
    int fd = ::ConnectTo(static_cast<quint16>(port));
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(PumpUntil([&] { return accepts == 1; }, 2000));
    EXPECT_TRUE(s.Connected());
    EXPECT_FALSE(s.AsyncReplied());
    CloseNow(fd);
}

TEST_F(DataTest, ListenRejectsPortsBeyond16Bits) {
    TAsyncSocket s;
    s.SetPort(70000);
    try {
        s.Listen(true);
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_EQ(What(e), "10022:Invalid argument");
    }
}

TEST_F(DataTest, LocalAddressAndPortTexts) {
    LoopbackPeer peer;
    auto s = ConnectTo(peer, [](int&) { SleepMs(100); });
    EXPECT_EQ(s->LocalAddressText(), QString("127,0,0,1"));
    quint16 portN = 0;
    ASSERT_EQ(WsGetSockName(s->SocketHandle(), nullptr, &portN), 0);
    const quint16 port = WsNtohs(portN);
    EXPECT_EQ(s->LocalPortText(), QString(",%1,%2").arg(port >> 8).arg(port & 0xFF));

    // A listener on the address 127.0.0.5 and a chosen port gives the texts an FTP PORT needs.
    TAsyncSocket l;
    for (quint16 p : {quint16(5001), quint16(40961), quint16(51234)}) {
        if (WsBind(l.SocketHandle(), WsInetAddr("127.0.0.5"), WsHtons(p)) == 0) {
            EXPECT_EQ(l.LocalAddressText(), QString("127,0,0,5"));
            EXPECT_EQ(l.LocalPortText(), QString(",%1,%2").arg(p / 256).arg(p % 256));
            if (p == 5001) {
                EXPECT_EQ(l.LocalPortText(), QString(",19,137"));
            }
            break;
        }
    }
}

TEST(NthFieldTest, Table) {
    struct Case {
        QString text;
        QChar delimiter;
        int n;
        QString field;
    };
    const std::vector<Case> cases = {
        {"227 Entering Passive Mode (10,0,0,1,7,138)", ',', 5, "7"},
        {"227 Entering Passive Mode (10,0,0,1,7,138)", ',', 6, "138)"},
        {"227 Entering Passive Mode (10,0,0,1,7,138)", ',', 1, "227 Entering Passive Mode (10"},
        {"227 Entering Passive Mode (10,0,0,1,7,138)", ',', 7, ""},
        {"a,,b", ',', 2, ""},
        {"a,,b", ',', 3, "b"},
        {"abc", ',', 1, "abc"},
        {"abc", ',', 2, ""},
        {"", ',', 1, ""},
        {"", ',', 3, ""},
        {",x", ',', 1, ""},
        {"a,b", ',', 0, ""},
        {"a,b", ',', -1, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NthField(c.text, c.delimiter, c.n), c.field)
            << c.text.toStdString() << " #" << c.n;
}

TEST(ErrorTextTest, LookupErrorMessageTable) {
    TestApp();
    TAsyncSocket s;
    const std::vector<std::pair<quint16, QString>> rows = {
        {0, ""},
        {10004, "10004:Interrupted system call"},
        {10035, "10035:Operation would block"},
        {10047, "10047:Address family not supported by protocol family"},
        {10061, "10061:Connection refused"},
        {10065, "10065:No route to Host"},
        {10093, "10093:Successful WSAStartup not yet performed"},
        {11003, "11003:Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
        {11004, "11004:Valid name, no data record of requested type"},
        {10000, "Unknown Error No. 10000"},
        {10072, "Unknown Error No. 10072"},
        {12005, "Unknown Error No. 12005"},
    };
    for (const auto& [code, text] : rows)
        EXPECT_EQ(s.LookupErrorMessage(code), text) << code;
    int known = 0;
    for (int code = 10000; code <= 11010; ++code)
        if (!s.LookupErrorMessage(static_cast<quint16>(code)).startsWith("Unknown"))
            ++known;
    EXPECT_EQ(known, 50);
}

TEST(ErrorTextTest, PosixErrorsBecomeWinsockCodes) {
    const std::vector<std::pair<int, int>> rows = {
        {0, 0},
        {ECONNREFUSED, 10061},
        {EAGAIN, 10035},
        {EWOULDBLOCK, 10035},
        {EINPROGRESS, 10036},
        {ENOTCONN, 10057},
        {ECONNRESET, 10054},
        {ETIMEDOUT, 10060},
        {EADDRINUSE, 10048},
        {EMFILE, 10024},
        {EHOSTUNREACH, 10065},
        {EPIPE, 10058},
        {EDEADLK, WS_UNKNOWN_ERROR_BASE + EDEADLK}, // never read as "would block"
    };
    for (const auto& [posix, winsock] : rows)
        EXPECT_EQ(TranslateSocketError(posix), winsock) << posix;
}

} // namespace
