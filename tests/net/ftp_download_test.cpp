// Retrievals against the scriptable server: passive and active, byte for byte, resumption,
// broken, cut, stalled and aborted transfers, refused commands and malformed replies.
#include "ftp_fixture.h"
#include "platform/Big5.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <climits>
#include <gtest/gtest.h>

namespace {

constexpr int FileSize = 1 << 20; // 1 MiB + some: several receive blocks
const QByteArray Original = BinaryTestData(FileSize + 4321, 7);

QString Crlf(const char* s) {
    return QString::fromLatin1(s) + QStringLiteral("\r\n");
}

class FtpDownload : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        ASSERT_TRUE(local_.isValid());
    }
    QString Local(const char* name = "update.bin") const {
        return local_.filePath(QString::fromLatin1(name));
    }
    // A client logged in to the server, which serves bytes under name.
    static std::unique_ptr<TFtpClient>
    ConnectedClient(FakeFtpServer& server, const QString& name = QStringLiteral("update.bin"),
                    const QByteArray& bytes = Original, bool passive = true) {
        server.Put(name, bytes);
        auto c = MakeClient(server.Port(), passive);
        c->Connect();
        return c;
    }
    QTemporaryDir local_;
};

// --- the normal path, passive and active, fresh and resumed

struct ModeCase {
    bool passive;
    bool restore;
};

class FtpDownloadModes : public FtpDownload, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(FtpDownloadModes, ByteForByte) {
    const ModeCase mc = GetParam();
    FakeFtpServer server;
    auto c = ConnectedClient(server, QStringLiteral("update.bin"), Original, mc.passive);
    Recorder rec;
    rec.Attach(*c);
    int packets = 0;
    qint32 sizeAtStart = -1;
    c->OnTransactionStart = [&](QObject* Sender) {
        EXPECT_EQ(Sender, c.get());
        sizeAtStart = c->TransferSize();
        rec.Events << QStringLiteral("start");
    };
    c->OnPacketRecvd = [&](QObject* Sender) {
        // The packet event comes from the data connection, whose count grows per block.
        EXPECT_EQ(Sender, c->DataConnection());
        EXPECT_EQ(c->ReceivedBytes(), c->DataConnection()->ReceivedBytes());
        ++packets;
    };
    const int kept = 300001;
    if (mc.restore)
        WriteAll(Local(), Original.left(kept));

    EXPECT_EQ(c->ReceivedBytes(), 0);
    if (mc.restore)
        c->DownloadRestore(QStringLiteral("update.bin"), Local());
    else
        c->Download(QStringLiteral("update.bin"), Local());

    EXPECT_EQ(ReadAll(Local()), Original);
    const int sent = mc.restore ? Original.size() - kept : Original.size();
    EXPECT_EQ(sizeAtStart, sent); // the "(N bytes)" of the RETR reply
    EXPECT_EQ(c->TransferSize(), sent);
    EXPECT_EQ(c->ReceivedBytes(), 0);
    EXPECT_EQ(c->DataConnection(), nullptr);
    EXPECT_GE(packets, 2);
    const QString kind = mc.restore ? QStringLiteral("success:8") : QStringLiteral("success:9");
    EXPECT_EQ(rec.Events, (QStringList{"start", "stop", "stop", kind}));
    EXPECT_TRUE(rec.Status.contains(QStringLiteral("Received %1 Bytes").arg(sent)));
    EXPECT_TRUE(rec.Status.contains(Crlf("226 Transfer complete.")));
    // The completion reply is the last reply, for a caller that judges the transfer by it.
    EXPECT_EQ(c->LastReply(), Crlf("226 Transfer complete."));
    EXPECT_EQ(c->ReplyCode(), 226);
    EXPECT_TRUE(rec.Status.contains(mc.restore ? QStringLiteral("REST RETR update.bin")
                                               : QStringLiteral("RETR update.bin")));

    QStringList cmds = server.Commands().mid(2);
    ASSERT_GE(cmds.size(), 3);
    EXPECT_EQ(cmds[0], QStringLiteral("TYPE I"));
    if (mc.passive) {
        EXPECT_EQ(cmds[1], QStringLiteral("PASV"));
    } else {
        // PORT h1,h2,h3,h4,p1,p2: the control connection's own address and a live port.
        QStringList f = cmds[1].mid(5).split(QLatin1Char(','));
        ASSERT_EQ(f.size(), 6) << cmds[1].toStdString();
        EXPECT_EQ(f.mid(0, 4).join(QLatin1Char('.')), QStringLiteral("127.0.0.1"));
        EXPECT_GT(f[4].toInt() * 256 + f[5].toInt(), 0);
    }
    if (mc.restore) {
        EXPECT_EQ(cmds.mid(2),
                  (QStringList{QStringLiteral("REST %1").arg(kept), "RETR update.bin"}));
    } else {
        EXPECT_EQ(cmds.mid(2), QStringList{"RETR update.bin"});
    }

    // The session goes on after the transfer.
    c->Disconnect();
    EXPECT_EQ(server.Commands().last(), QStringLiteral("QUIT"));
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpDownloadModes,
                         ::testing::Values(ModeCase{true, false}, ModeCase{false, false},
                                           ModeCase{true, true}, ModeCase{false, true}),
                         [](const ::testing::TestParamInfo<ModeCase>& info) {
                             return std::string(info.param.passive ? "Passive" : "Active") +
                                    (info.param.restore ? "Restore" : "Download");
                         });

TEST_F(FtpDownload, EmptyLocalNameWritesTheRemoteNameHere) {
    FakeFtpServer server;
    auto c = ConnectedClient(server, QStringLiteral("a.zip"), Original.left(5000));
    const QString before = QDir::currentPath();
    QDir::setCurrent(local_.path());
    c->Download(QStringLiteral("a.zip"), QString());
    QDir::setCurrent(before);
    EXPECT_EQ(ReadAll(Local("a.zip")), Original.left(5000));
}

TEST_F(FtpDownload, EmptyFile) {
    FakeFtpServer server;
    auto c = ConnectedClient(server, QStringLiteral("empty.bin"), QByteArray());
    WriteAll(Local(), "old contents");
    c->Download(QStringLiteral("empty.bin"), Local());
    EXPECT_TRUE(QFile::exists(Local()));
    EXPECT_EQ(QFileInfo(Local()).size(), 0);
    EXPECT_EQ(c->TransferSize(), 0);
}

TEST_F(FtpDownload, PassiveHostIsIgnored) {
    // The reply names 127.0.0.2, where nobody listens; the data must come from the control host.
    FakeFtpServer server({"--masquerade", "127.0.0.2"});
    auto c = ConnectedClient(server);
    c->Download(QStringLiteral("update.bin"), Local());
    EXPECT_EQ(ReadAll(Local()), Original);
}

TEST_F(FtpDownload, ServerCutsTheTransferShort) {
    // A clean close before the end is no error here: the caller compares the size itself.
    FakeFtpServer server({"--data-cut", "200000"});
    auto c = ConnectedClient(server);
    Recorder rec;
    rec.Attach(*c);
    c->Download(QStringLiteral("update.bin"), Local());
    EXPECT_EQ(ReadAll(Local()), Original.left(200000));
    EXPECT_EQ(c->TransferSize(), 200000);
    EXPECT_EQ(rec.Events.last(), QStringLiteral("success:9"));
}

TEST_F(FtpDownload, CompletionReply426StillCounts) {
    FakeFtpServer server({"--data-cut", "1000", "--data-cut-reply", "426 Transfer aborted."});
    auto c = ConnectedClient(server);
    Recorder rec;
    rec.Attach(*c);
    c->Download(QStringLiteral("update.bin"), Local());
    EXPECT_EQ(rec.Events.last(), QStringLiteral("success:9"));
    EXPECT_EQ(QFileInfo(Local()).size(), 1000);
    EXPECT_EQ(c->ReplyCode(), 426);
}

TEST_F(FtpDownload, NameGoesOutInBig5) {
    // The characters of U+0080..U+00FF too: the server must be asked for the name the log
    // holds, not for its Latin-1 twin. This server reads names as Big5.
    FakeFtpServer server({"--encoding", "cp950"});
    const QString name = QStringLiteral("v13\u00D7.sh");
    auto c = ConnectedClient(server, name, Original.left(5000));
    c->Download(name, Local());
    EXPECT_EQ(ReadAll(Local()), Original.left(5000));
    const QByteArray retr = "RETR " + toBig5(name);
    EXPECT_EQ(retr, QByteArray("RETR v13\xA1\xD1.sh"));
    EXPECT_TRUE(server.RawCommands().contains(retr));
}

TEST_F(FtpDownload, BrokenConnectionRaisesAndResumeCompletesTheFile) {
    FakeFtpServer server({"--data-reset", "400000", "--data-fault-count", "1"});
    auto c = ConnectedClient(server);
    Recorder rec;
    rec.Attach(*c);
    EXPECT_THROW(c->Download(QStringLiteral("update.bin"), Local()), ESockError);
    EXPECT_EQ(c->DataConnection(), nullptr);
    EXPECT_FALSE(rec.Events.contains(QStringLiteral("success:9")));
    const QByteArray part = ReadAll(Local());
    EXPECT_LE(part.size(), 400000);
    EXPECT_EQ(part, Original.left(part.size())); // what arrived is kept, and it is right

    c->DownloadRestore(QStringLiteral("update.bin"), Local());
    EXPECT_EQ(ReadAll(Local()), Original);
    EXPECT_TRUE(server.Commands().contains(QStringLiteral("REST %1").arg(part.size())));
}

TEST_F(FtpDownload, AbortAndCancelFromATimerDuringTheReceive) {
    FakeFtpServer server({"--data-stall", "100000", "--data-fault-count", "1"});
    auto c = ConnectedClient(server);
    Recorder rec;
    rec.Attach(*c);
    // The watchdog's pair: stop the receive, and make the clean-up tell the server.
    QTimer watchdog;
    bool sawData = false;
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        if (c->ReceivedBytes() < 100000)
            return;
        sawData = true;
        c->Abort();
        c->Cancel();
    });
    watchdog.start(50);
    try {
        c->Download(QStringLiteral("update.bin"), Local());
        ADD_FAILURE() << "no exception";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Socket send aborted"));
    }
    watchdog.stop();
    EXPECT_TRUE(sawData);
    EXPECT_EQ(c->DataConnection(), nullptr);
    EXPECT_FALSE(c->Canceled());
    EXPECT_EQ(server.Commands().last(), QStringLiteral("ABOR"));
    EXPECT_EQ(ReadAll(Local()), Original.left(100000));
    EXPECT_EQ(rec.Events, QStringList{"start"});

    // The connection is still logged in, and the rest comes by resumption.
    c->DownloadRestore(QStringLiteral("update.bin"), Local());
    EXPECT_EQ(ReadAll(Local()), Original);
}

TEST_F(FtpDownload, StalledTransferEndsOnTheDataTimeOut) {
    FakeFtpServer server({"--data-stall", "70000"});
    auto c = ConnectedClient(server);
    c->SetTimeOut(300);
    EXPECT_THROW(c->Download(QStringLiteral("update.bin"), Local()), EAbortError);
    EXPECT_EQ(QFileInfo(Local()).size(), 70000);
    EXPECT_EQ(c->DataConnection(), nullptr);
}

// MaxFileSize: the file exactly at the limit still comes; a server that sends more is cut off
// at the limit, whether the file is fetched anew or resumed; one that announces more is refused.
TEST_F(FtpDownload, MaxFileSizeCutsTheReceiveAtTheLimit) {
    struct Case {
        const char* name;
        QStringList serverArgs;
        qsizetype kept; // -1: a fresh Download, else a resumption after this many bytes
        qint64 max;
        const char* error; // nullptr: success
        qsizetype left;    // bytes of Original in the local file afterwards (-1: no file)
    };
    const qint64 size = Original.size();
    const Case cases[] = {
        {"exact size", {}, -1, size, nullptr, size},
        {"endless data",
         {"--data-endless"},
         -1,
         size,
         "File larger than %1 bytes: update.bin",
         size},
        {"endless data on resume",
         {"--data-endless"},
         300001,
         size,
         "File larger than %1 bytes: update.bin",
         size},
        {"announced one byte more", {}, -1, size - 1, "File larger than %1 bytes: update.bin", -1},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        QFile::remove(Local());
        FakeFtpServer server(tc.serverArgs);
        server.Put(QStringLiteral("update.bin"), Original);
        auto c = MakeClient(server.Port());
        c->SetMaxFileSize(tc.max);
        c->Connect();
        try {
            if (tc.kept >= 0) {
                WriteAll(Local(), Original.left(tc.kept));
                c->DownloadRestore(QStringLiteral("update.bin"), Local());
            } else {
                c->Download(QStringLiteral("update.bin"), Local());
            }
            EXPECT_EQ(tc.error, nullptr) << "no exception";
        } catch (const EFileTooLarge& e) {
            ASSERT_NE(tc.error, nullptr) << Text(e);
            EXPECT_EQ(e.message(), QString::fromLatin1(tc.error).arg(tc.max));
        }
        if (tc.left < 0)
            EXPECT_FALSE(QFile::exists(Local()));
        else
            EXPECT_TRUE(ReadAll(Local()) == Original.left(tc.left)) << QFileInfo(Local()).size();
        EXPECT_EQ(c->DataConnection(), nullptr);
        c->SendCommand(QStringLiteral("NOOP")); // still in step with the server
        EXPECT_EQ(c->ReplyCode(), 200);
    }
}

// A server that has stopped answering: once the watchdog's pair has ended the transfer, ABOR's
// reply is awaited only briefly; once a reply is owed (that wait ran out, or a wait for one was
// cancelled), QUIT is sent and the connection closed without waiting for an answer.
TEST_F(FtpDownload, NoSecondWaitOnAServerThatStoppedAnswering) {
    FakeFtpServer server({"--data-stall", "100000", "--reply", "ABOR=@silent", "--reply",
                          "QUIT=@silent", "--reply", "NOOP=@silent"});
    server.Put(QStringLiteral("update.bin"), Original);
    auto c = MakeClient(server.Port());
    auto d = MakeClient(server.Port());
    c->Connect();
    d->Connect();
    // The watchdog's pair once the data stops, and a cancel of the NOOP below; later cancels
    // only end what would otherwise wait for ever, and must not be needed.
    int extra = 0;
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        if (c->ReceivedBytes() >= 100000) {
            c->Abort();
            c->Cancel();
        }
    });
    watchdog.start(100);
    QTimer safety;
    QObject::connect(&safety, &QTimer::timeout, [&] {
        ++extra;
        c->Cancel();
        d->Cancel();
    });
    safety.start(6000);
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(c->Download(QStringLiteral("update.bin"), Local()), EAbortError);
    watchdog.stop();
    EXPECT_LT(clock.restart(), 3000);
    c->Disconnect();
    EXPECT_LT(clock.restart(), 1000);
    EXPECT_FALSE(c->Connected());

    QTimer::singleShot(200, [&] { d->Cancel(); });
    EXPECT_THROW(d->SendCommand(QStringLiteral("NOOP")), EAbortError);
    clock.restart();
    d->Disconnect();
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_FALSE(d->Connected());
    EXPECT_EQ(extra, 0);
    // The server logs the last QUIT in its own time.
    const QRegularExpression cleanUp(QStringLiteral("^(ABOR|NOOP|QUIT)$"));
    for (int i = 0; i < 100 && server.Commands().filter(cleanUp).size() < 4; ++i)
        QThread::msleep(20);
    EXPECT_EQ(server.Commands().filter(cleanUp).join(u' '), QStringLiteral("ABOR QUIT NOOP QUIT"));
}

// --- refusals by the server

struct RefusalCase {
    const char* name;
    QStringList serverArgs;
    bool restore;
    int onFailure;        // -1 none, 0 declines, 1 handles
    const char* error;    // nullptr: returns normally
    QStringList failures; // kinds offered to OnFailure
    const char* lastCommand;
};

std::vector<RefusalCase> RefusalCases() {
    return {
        {"RETR 550", {}, false, -1, "550 No such file or directory.\r\n", {}, "RETR missing.bin"},
        {"RETR 550 handled", {}, false, 1, nullptr, {"failure:9"}, "RETR missing.bin"},
        {"RETR 550 declined twice",
         {},
         false,
         0,
         "550 No such file or directory.\r\n",
         {"failure:9", "failure:9"},
         "RETR missing.bin"},
        {"restore RETR 550 handled", {}, true, 1, nullptr, {"failure:8"}, "RETR missing.bin"},
        {"restore RETR 550 declined once",
         {},
         true,
         0,
         "550 No such file or directory.\r\n",
         {"failure:8"},
         "RETR missing.bin"},
        {"RETR 502 fires no unsupported event",
         {"--reply", "RETR=502 No."},
         false,
         -1,
         "502 No.\r\n",
         {},
         "RETR missing.bin"},
        {"TYPE I refused",
         {"--reply", "TYPE=504 Type not supported."},
         false,
         -1,
         "504 Type not supported.\r\n",
         {},
         "TYPE I"},
        {"TYPE I 4xx passes on",
         {"--reply", "TYPE=421 later"},
         false,
         -1,
         "550 No such file or directory.\r\n",
         {},
         "RETR missing.bin"},
        {"PASV refused",
         {"--reply", "PASV=500 PASV not understood."},
         false,
         0,
         "500 PASV not understood.\r\n",
         {"failure:9", "failure:9"},
         "PASV"},
        {"PASV without its fields",
         {"--reply", "PASV=227 Entering Passive Mode"},
         false,
         -1,
         "227 Entering Passive Mode\r\n",
         {},
         "PASV"},
        {"PASV port 0",
         {"--reply", "PASV=227 Entering Passive Mode (127,0,0,1,0,0)"},
         false,
         -1,
         "227 Entering Passive Mode (127,0,0,1,0,0)\r\n",
         {},
         "PASV"},
        {"PASV port 65536",
         {"--reply", "PASV=227 Entering Passive Mode (127,0,0,1,256,0)"},
         false,
         -1,
         "227 Entering Passive Mode (127,0,0,1,256,0)\r\n",
         {},
         "PASV"},
        {"REST refused",
         {"--reply", "REST=502 REST not implemented."},
         true,
         -1,
         "502 REST not implemented.\r\n",
         {},
         "REST 1000"},
        {"REST refused, handled",
         {"--reply", "REST=501 No."},
         true,
         1,
         nullptr,
         {"failure:8"},
         "REST 1000"},
        {"huge announced size",
         {"--retr-reply",
          "150 Opening BINARY mode data connection for {name} (99999999999 bytes)."},
         false,
         -1,
         "File of 2 GiB or more not supported: present.bin",
         {},
         "RETR present.bin"},
        {"announced size of 2 GiB",
         {"--retr-reply", "150 Opening BINARY mode data connection (2147483648 bytes)."},
         false,
         -1,
         "File of 2 GiB or more not supported: present.bin",
         {},
         "RETR present.bin"},
        {"server closes on RETR",
         {"--reply", "RETR=@close"},
         false,
         -1,
         "Connection closed by the server",
         {},
         "RETR missing.bin"},
    };
}

class FtpDownloadRefusals : public FtpDownload,
                            public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(FtpDownloadRefusals, Outcome) {
    const RefusalCase& rc = GetParam();
    FakeFtpServer server(rc.serverArgs);
    auto c = ConnectedClient(server, QStringLiteral("present.bin"), Original.left(3000));
    Recorder rec;
    rec.Attach(*c);
    if (rc.onFailure >= 0)
        rec.HandleFailures(*c, rc.onFailure == 1);
    const QByteArray localBefore = Original.left(1000);
    WriteAll(Local(), localBefore);
    const QString remote = QString::fromLatin1(rc.name).contains(QLatin1String("size"))
                               ? QStringLiteral("present.bin")
                               : QStringLiteral("missing.bin");
    try {
        if (rc.restore)
            c->DownloadRestore(remote, Local());
        else
            c->Download(remote, Local());
        EXPECT_EQ(rc.error, nullptr) << "no exception";
    } catch (const Exception& e) {
        ASSERT_NE(rc.error, nullptr) << e.what();
        EXPECT_EQ(e.message(), QString::fromLatin1(rc.error));
    }
    QStringList failures;
    for (const QString& ev : rec.Events)
        if (ev.startsWith(QLatin1String("failure")))
            failures << ev;
    EXPECT_EQ(failures, rc.failures);
    for (const QString& ev : rec.Events) {
        EXPECT_FALSE(ev.startsWith(QLatin1String("success"))) << ev.toStdString();
        EXPECT_FALSE(ev.startsWith(QLatin1String("unsupported"))) << ev.toStdString();
        EXPECT_NE(ev, QStringLiteral("start"));
    }
    EXPECT_EQ(server.Commands().last(), QString::fromLatin1(rc.lastCommand));
    EXPECT_EQ(c->DataConnection(), nullptr);
    EXPECT_EQ(ReadAll(Local()), localBefore); // nothing written on a refusal
    if (!QByteArray(rc.name).contains("closes")) {
        c->SendCommand(QStringLiteral("NOOP"));
        EXPECT_EQ(c->ReplyCode(), 200);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpDownloadRefusals, ::testing::ValuesIn(RefusalCases()),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) {
                             std::string n;
                             for (const char* p = info.param.name; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

// --- local files

TEST_F(FtpDownload, RestoreOfAMissingLocalFile) {
    FakeFtpServer server;
    auto c = ConnectedClient(server);
    const QString path = Local("missing.bin");
    try {
        c->DownloadRestore(QStringLiteral("update.bin"), path);
        ADD_FAILURE() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Cannot open file ") + path +
                                   QStringLiteral(": No such file or directory"));
    }
    EXPECT_TRUE(server.Commands().contains(QStringLiteral("REST 0")));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(c->DataConnection(), nullptr);
}

TEST_F(FtpDownload, LocalFileThatCannotBeCreated) {
    FakeFtpServer server;
    auto c = ConnectedClient(server);
    const QString path = Local("no/such/dir/update.bin");
    try {
        c->Download(QStringLiteral("update.bin"), path);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Cannot create file ") + path +
                                   QStringLiteral(": No such file or directory"));
    }
    EXPECT_EQ(c->DataConnection(), nullptr);
}

TEST_F(FtpDownload, RestoreOfA2GiBLocalFileIsRefusedBeforeRest) {
    FakeFtpServer server;
    auto c = ConnectedClient(server);
    {
        QFile big(Local());
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        ASSERT_TRUE(big.resize(qint64(1) << 31)); // sparse: no disk space used
    }
    try {
        c->DownloadRestore(QStringLiteral("update.bin"), Local());
        ADD_FAILURE() << "no exception";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.message(), QStringLiteral("File of 2 GiB or more not supported: update.bin"));
    }
    for (const QString& cmd : server.Commands()) {
        EXPECT_FALSE(cmd.startsWith(QLatin1String("REST")) ||
                     cmd.startsWith(QLatin1String("RETR")));
    }
    EXPECT_EQ(QFileInfo(Local()).size(), qint64(1) << 31);
}

TEST_F(FtpDownload, ReceiveStopsBeforeTheFileReaches2GiB) {
    // The server announces no size, so only the count of what arrives can tell: the local file
    // is 100000 bytes short of 2 GiB, the remote one is larger (both sparse).
    FakeFtpServer server({"--retr-reply", "150 Opening data connection."});
    {
        QFile remote(server.Root() + QStringLiteral("/big.bin"));
        ASSERT_TRUE(remote.open(QIODevice::WriteOnly));
        ASSERT_TRUE(remote.resize((qint64(1) << 31) + (qint64(1) << 20)));
        QFile local(Local());
        ASSERT_TRUE(local.open(QIODevice::WriteOnly));
        ASSERT_TRUE(local.resize(qint64(INT_MAX) - 100000));
    }
    auto c = MakeClient(server.Port());
    c->Connect();
    Recorder rec;
    rec.Attach(*c);
    try {
        c->DownloadRestore(QStringLiteral("big.bin"), Local());
        ADD_FAILURE() << "no exception";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.message(), QStringLiteral("File of 2 GiB or more not supported: big.bin"));
    }
    EXPECT_TRUE(server.Commands().contains(QStringLiteral("REST %1").arg(INT_MAX - 100000)));
    EXPECT_LE(QFileInfo(Local()).size(), qint64(INT_MAX) + 65536);
    EXPECT_FALSE(rec.Events.contains(QStringLiteral("success:8")));
    EXPECT_EQ(c->DataConnection(), nullptr);
    c->SendCommand(QStringLiteral("NOOP")); // still in step with the server
    EXPECT_EQ(c->ReplyCode(), 200);
}

TEST_F(FtpDownload, NotConnected) {
    auto c = MakeClient(UnusedPort());
    try {
        c->Download(QStringLiteral("update.bin"), Local());
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Not Connected"));
    }
    EXPECT_FALSE(QFile::exists(Local()));
}

// --- the component destroyed by a handler while its own call is pending (run under ASan too)

TEST_F(FtpDownload, DeletedFromATimerInsidePendingDownload) {
    FakeFtpServer server({"--data-stall", "100000"});
    TFtpClient* c = ConnectedClient(server).release();
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (c && c->ReceivedBytes() >= 100000) {
            delete c;
            c = nullptr;
        }
    });
    timer.start(20);
    EXPECT_THROW(c->Download(QStringLiteral("update.bin"), Local()), EAbortError);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(ReadAll(Local()), Original.left(100000));
}

TEST_F(FtpDownload, DeletedFromThePacketEvent) {
    FakeFtpServer server;
    TFtpClient* c = ConnectedClient(server).release();
    c->OnPacketRecvd = [&](QObject*) {
        delete c;
        c = nullptr;
    };
    EXPECT_THROW(c->Download(QStringLiteral("update.bin"), Local()), EAbortError);
    EXPECT_EQ(c, nullptr);
}

TEST_F(FtpDownload, DeletedFromOnFailureAtAReplyCheck) {
    FakeFtpServer server;
    TFtpClient* c = MakeClient(server.Port()).release();
    c->Connect();
    c->OnFailure = [&](bool& Handled, TCmdType) {
        delete c;
        c = nullptr;
        Handled = true;
    };
    EXPECT_THROW(c->Download(QStringLiteral("missing.bin"), Local()), Exception);
    EXPECT_EQ(c, nullptr);
}

TEST_F(FtpDownload, DeletedWhileConnectWaitsForTheGreeting) {
    FakeFtpServer server({"--greeting", "@silent"});
    TFtpClient* c = MakeClient(server.Port()).release();
    QTimer::singleShot(200, [&] {
        delete c;
        c = nullptr;
    });
    EXPECT_THROW(c->Connect(), EAbortError);
    EXPECT_EQ(c, nullptr);
}

} // namespace
