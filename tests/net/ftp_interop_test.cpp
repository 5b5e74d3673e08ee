// Interoperability with an independent server: vsftpd from the system, started on loopback by
// the test, passive and active, fresh and resumed, compared byte for byte.
#include "ftp_fixture.h"
#include "net/TlsChannel.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

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

// --- explicit FTPS: vsftpd insisting on TLS for the login and on data connections that
// resume the control session, with certificates made by the test.

std::unique_ptr<TFtpClient> MakeTlsClient(quint16 port, const QString& caFile,
                                          bool passive = true) {
    auto c = MakeClient(port, passive);
    c->SetUserID(QStringLiteral("anonymous"));
    c->SetPassword(QStringLiteral("pc-velka@"));
    c->SetSecurity(TFtpSecurity::Tls);
    c->SetCaFile(caFile);
    return c;
}

class FtpsInterop : public ::testing::TestWithParam<bool> {};

// A whole file, a transfer aborted from the packet event (as the watchdog does) and its REST
// resumption, all over TLS, byte for byte.
TEST_P(FtpsInterop, VsftpdDownloadAbortAndResume) {
    const TestCertificates& certs = Certificates();
    ASSERT_TRUE(certs.Failure.isEmpty()) << certs.Failure.toStdString();
    Vsftpd server(certs.ServerCert, certs.ServerKey);
    ASSERT_TRUE(server.Failure().isEmpty()) << server.Failure().toStdString();
    const QByteArray original = BinaryTestData((3 << 20) + 17, 12);
    server.Put(QStringLiteral("update.bin"), original);
    QTemporaryDir local;
    const QString path = local.filePath(QStringLiteral("update.bin"));

    auto c = MakeTlsClient(server.Port(), certs.CaFile, GetParam());
    Recorder rec;
    rec.Attach(*c);
    c->Connect();
    ASSERT_NE(c->Tls(), nullptr);
    // Bytes by count, then the rest of the line: it is already decrypted and the socket has
    // nothing more, so the line read must take it from TLS instead of waiting.
    c->SetTimeOut(5000);
    c->Writeln(QStringLiteral("NOOP"));
    EXPECT_EQ(c->Read(4), QStringLiteral("200 "));
    EXPECT_EQ(c->ReadLn(), QStringLiteral("NOOP ok.\r\n"));
    c->SetTimeOut(0);
    c->ChangeDir(QStringLiteral("/"));
    c->Download(QStringLiteral("update.bin"), path);
    EXPECT_EQ(ReadAll(path), original);
    EXPECT_EQ(c->TransferSize(), original.size());

    TFtpClient* client = c.get();
    client->OnPacketRecvd = [client](QObject*) {
        if (client->ReceivedBytes() >= (1 << 20)) {
            client->Abort();
            client->Cancel();
        }
    };
    EXPECT_THROW(c->Download(QStringLiteral("update.bin"), path), ESockError);
    const qint64 part = QFileInfo(path).size();
    EXPECT_GE(part, 1 << 20);
    EXPECT_LT(part, original.size());
    ASSERT_TRUE(c->Connected());
    client->OnPacketRecvd = nullptr;
    c->DownloadRestore(QStringLiteral("update.bin"), path);
    EXPECT_EQ(ReadAll(path), original);
    EXPECT_EQ(c->TransferSize(), original.size() - part);
    c->Disconnect();

    const QStringList cmds = server.Commands();
    // Nothing of the login before the handshake (vsftpd wants no password from anonymous);
    // the data protected right after it.
    EXPECT_EQ(cmds.mid(0, 4), (QStringList{"AUTH TLS", "USER anonymous", "PBSZ 0", "PROT P"}));
    EXPECT_TRUE(cmds.contains(QStringLiteral("ABOR")));
    EXPECT_TRUE(cmds.contains(QStringLiteral("REST %1").arg(part)));
    EXPECT_EQ(rec.Events.count(QStringLiteral("success:9")), 1);
    EXPECT_EQ(rec.Events.count(QStringLiteral("success:8")), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpsInterop, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Passive" : "Active");
                         });

// Every way the server's certificate can fail the check, and the ways it passes: a refusal
// ends Connect with ETlsError naming the reason, after AUTH TLS and before the user name.
TEST(FtpsInteropLogin, CertificateChecks) {
    const TestCertificates& certs = Certificates();
    ASSERT_TRUE(certs.Failure.isEmpty()) << certs.Failure.toStdString();
    struct Case {
        const char* name;
        QString cert, key, caFile, host;
        const char* refusal; // nullptr: accepted
    };
    const Case cases[] = {
        {"trusted through CaFile", certs.ServerCert, certs.ServerKey, certs.CaFile, "127.0.0.1",
         nullptr},
        {"host name in the certificate", certs.ServerCert, certs.ServerKey, certs.CaFile,
         "localhost", nullptr},
        {"self-signed, itself the CaFile", certs.SelfSigned, certs.SelfSignedKey, certs.SelfSigned,
         "127.0.0.1", nullptr},
        {"CA not among the system's", certs.ServerCert, certs.ServerKey, QString(), "127.0.0.1",
         "TLS handshake failed: certificate refused: unable to get local issuer certificate"},
        {"self-signed, system trust", certs.SelfSigned, certs.SelfSignedKey, QString(), "127.0.0.1",
         "TLS handshake failed: certificate refused: self-signed certificate"},
        {"certificate for another address", certs.OtherNameCert, certs.OtherNameKey, certs.CaFile,
         "127.0.0.1", "TLS handshake failed: certificate refused: IP address mismatch"},
        {"certificate for another name", certs.OtherNameCert, certs.OtherNameKey, certs.CaFile,
         "localhost", "TLS handshake failed: certificate refused: hostname mismatch"},
        {"another CA as CaFile", certs.ServerCert, certs.ServerKey, certs.SelfSigned, "127.0.0.1",
         "TLS handshake failed: certificate refused: unable to get local issuer certificate"},
        // Partial chain: the server's CA-signed certificate trusted on its own, without its CA;
        // the name is still checked.
        {"CA-signed server certificate alone as CaFile", certs.ServerCert, certs.ServerKey,
         certs.ServerCert, "127.0.0.1", nullptr},
        {"CA-signed certificate alone, another name", certs.OtherNameCert, certs.OtherNameKey,
         certs.OtherNameCert, "127.0.0.1",
         "TLS handshake failed: certificate refused: IP address mismatch"},
        {"another server's certificate as CaFile", certs.ServerCert, certs.ServerKey,
         certs.OtherNameCert, "127.0.0.1",
         "TLS handshake failed: certificate refused: unable to get local issuer certificate"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Vsftpd server(k.cert, k.key);
        ASSERT_TRUE(server.Failure().isEmpty()) << server.Failure().toStdString();
        auto c = MakeTlsClient(server.Port(), k.caFile);
        c->SetHost(k.host);
        if (!k.refusal) {
            EXPECT_NO_THROW(c->Connect());
            EXPECT_TRUE(c->Connected());
            EXPECT_NO_THROW(c->Disconnect());
            continue;
        }
        try {
            c->Connect();
            ADD_FAILURE() << "connected";
        } catch (const ETlsError& e) {
            EXPECT_EQ(e.message(), QLatin1String(k.refusal));
        }
        EXPECT_FALSE(c->Connected());
        EXPECT_EQ(server.Commands(), QStringList{"AUTH TLS"});
    }
}

// No fallback: a server without TLS, one that says yes to AUTH TLS and then speaks no TLS, and
// a CaFile that cannot be read. The password never reaches the server, and the reason is one
// line.
TEST(FtpsInteropLogin, NoFallbackToClearText) {
    const TestCertificates& certs = Certificates();
    ASSERT_TRUE(certs.Failure.isEmpty()) << certs.Failure.toStdString();
    {
        Vsftpd plain;
        ASSERT_TRUE(plain.Failure().isEmpty()) << plain.Failure().toStdString();
        auto c = MakeTlsClient(plain.Port(), certs.CaFile);
        Recorder rec;
        rec.Attach(*c);
        try {
            c->Connect();
            ADD_FAILURE() << "connected";
        } catch (const ETlsError& e) {
            EXPECT_EQ(
                e.message(),
                QStringLiteral("TLS refused by the server: 530 Please login with USER and PASS."));
        }
        EXPECT_FALSE(c->Connected());
        EXPECT_EQ(plain.Commands(), QStringList{"AUTH TLS"});
        EXPECT_EQ(rec.Status.last(), QStringLiteral("Disconnected"));
    }
    // CaFiles that cannot be used: each refused at once with its reason. A FIFO would hold a
    // plain open until a writer comes (forever); a device would be read without end.
    QTemporaryDir bad;
    ASSERT_TRUE(bad.isValid());
    const QString fifo = bad.filePath(QStringLiteral("ca.fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString big = bad.filePath(QStringLiteral("big.pem"));
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray pem = ReadAll(certs.CaFile);
        while (pem.size() <= TTlsContext::MaxCaFileBytes)
            pem += pem;
        ASSERT_EQ(f.write(pem), pem.size());
    }
    const QString garbage = bad.filePath(QStringLiteral("garbage.pem"));
    {
        QFile f(garbage);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
    }
    const QString empty = bad.filePath(QStringLiteral("empty.pem"));
    {
        QFile f(empty);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QString caPrefix = QStringLiteral("TLS: CaFile cannot be used: ");
    const struct {
        const char* name;
        QStringList serverArgs;
        QString caFile;
        QString refusal;
    } cases[] = {
        {"no TLS", {}, certs.CaFile, QStringLiteral("TLS refused by the server: 50")},
        {"yes, but no TLS",
         {QStringLiteral("--reply"), QStringLiteral("AUTH=234 go ahead")},
         certs.CaFile,
         QStringLiteral("TLS handshake ")},
        {"missing CaFile",
         {},
         certs.CaFile + QStringLiteral(".missing"),
         caPrefix + certs.CaFile + QStringLiteral(".missing: not found")},
        {"CaFile is a FIFO", {}, fifo, caPrefix + fifo + QStringLiteral(": not a regular file")},
        {"CaFile is a folder",
         {},
         bad.path(),
         caPrefix + bad.path() + QStringLiteral(": not a regular file")},
        {"CaFile is a device",
         {},
         QStringLiteral("/dev/zero"),
         caPrefix + QStringLiteral("/dev/zero: not a regular file")},
        {"CaFile over 1 MiB", {}, big, caPrefix + big + QStringLiteral(": larger than 1 MiB")},
        {"CaFile with a broken certificate",
         {},
         garbage,
         caPrefix + garbage + QStringLiteral(": not a PEM certificate file")},
        {"empty CaFile", {}, empty, caPrefix + empty},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        FakeFtpServer server(k.serverArgs);
        auto c = MakeClient(server.Port());
        c->SetSecurity(TFtpSecurity::Tls);
        c->SetCaFile(k.caFile);
        c->SetTimeOut(1500);
        QElapsedTimer clock;
        clock.start();
        try {
            c->Connect();
            ADD_FAILURE() << "connected";
        } catch (const ETlsError& e) {
            EXPECT_TRUE(e.message().startsWith(k.refusal)) << e.message().toStdString();
            EXPECT_FALSE(e.message().contains(QLatin1Char('\n')));
        }
        // Refused before anything waits: far below the 1.5 s that a silent server would take.
        if (k.caFile != certs.CaFile) {
            EXPECT_LT(clock.elapsed(), 1000) << k.name;
        }
        EXPECT_FALSE(c->Connected());
        for (const QByteArray& line : server.RawCommands()) {
            EXPECT_FALSE(line.contains("secret")) << line.toHex().constData();
            EXPECT_FALSE(line.startsWith("USER")) << line.constData();
        }
        EXPECT_EQ(server.Commands().filter(QStringLiteral("AUTH TLS")).size(),
                  k.refusal.startsWith(caPrefix) ? 0 : 1);
    }
}

// A server that answers the ClientHello with an alert and closes: the alert is the reason given.
TEST(FtpsInteropLogin, ServerAlertIsTheReason) {
    const TestCertificates& certs = Certificates();
    ASSERT_TRUE(certs.Failure.isEmpty()) << certs.Failure.toStdString();
    LoopbackPeer peer;
    peer.Serve([](int& fd) {
        SendAll(fd, "220 ready\r\n");
        if (RecvLine(fd) != "AUTH TLS\r\n")
            return;
        SendAll(fd, "234 go ahead\r\n");
        SleepMs(200);
        char hello[4096];
        if (::recv(fd, hello, sizeof hello, MSG_DONTWAIT) <= 0) // taken, or the close would reset
            return;
        SendAll(fd, std::string("\x15\x03\x03\x00\x02\x02\x28", 7)); // fatal: handshake failure
        CloseNow(fd); // alert and close notice together: the alert must still be read
    });
    auto c = MakeTlsClient(peer.Port(), certs.CaFile);
    c->SetTimeOut(5000);
    try {
        c->Connect();
        ADD_FAILURE() << "connected";
    } catch (const ETlsError& e) {
        EXPECT_EQ(e.message(),
                  QStringLiteral("TLS handshake failed: sslv3 alert handshake failure"));
    }
    EXPECT_FALSE(c->Connected());
    peer.Join();
}

// A server that falls silent in the middle of a TLS transfer: the data connection's time-out
// ends the receive, and the wait costs no CPU (a TLS read that wants more bytes sleeps in the
// event loop like a plain one).
TEST(FtpsInteropStall, SilentServerTimesOutWithoutSpinning) {
    const TestCertificates& certs = Certificates();
    ASSERT_TRUE(certs.Failure.isEmpty()) << certs.Failure.toStdString();
    Vsftpd server(certs.ServerCert, certs.ServerKey);
    ASSERT_TRUE(server.Failure().isEmpty()) << server.Failure().toStdString();
    server.Put(QStringLiteral("big.bin"), BinaryTestData(16 << 20, 13));
    QTemporaryDir local;
    auto c = MakeTlsClient(server.Port(), certs.CaFile);
    c->SetTimeOut(1500);
    c->Connect();
    double frozenAt = -1;
    QElapsedTimer clock;
    c->OnPacketRecvd = [&](QObject*) {
        if (frozenAt < 0) {
            server.FreezeSessions(true);
            frozenAt = CpuSeconds();
            clock.start();
        }
    };
    EXPECT_THROW(c->Download(QStringLiteral("big.bin"), local.filePath(QStringLiteral("big.bin"))),
                 ESockError);
    ASSERT_GE(frozenAt, 0);
    const double cpu = CpuSeconds() - frozenAt;
    server.FreezeSessions(false);
    EXPECT_GE(clock.elapsed(), 1400);
    EXPECT_LT(clock.elapsed(), 8000);
    EXPECT_LT(cpu, 0.25) << "CPU seconds while the server was silent";
}

// The component destroyed by an event while a TLS call waits, in the handshake of the control
// connection and in a TLS data transfer: the call ends with EAbortError and touches nothing
// (run under the sanitizers too).
TEST(FtpsInteropDestroyed, WhileTheHandshakeWaitsAndWhileDataArrive) {
    const TestCertificates& certs = Certificates();
    ASSERT_TRUE(certs.Failure.isEmpty()) << certs.Failure.toStdString();
    {
        LoopbackPeer peer;
        peer.Serve([](int& fd) {
            SendAll(fd, "220 ready\r\n");
            if (RecvLine(fd) == "AUTH TLS\r\n")
                SendAll(fd, "234 go ahead\r\n");
            RecvAll(fd); // the ClientHello, never answered, until the client is gone
        });
        TFtpClient* c = MakeTlsClient(peer.Port(), certs.CaFile).release();
        QTimer::singleShot(300, [&] {
            delete c;
            c = nullptr;
        });
        EXPECT_THROW(c->Connect(), EAbortError);
        EXPECT_EQ(c, nullptr);
        peer.Join();
    }
    Vsftpd server(certs.ServerCert, certs.ServerKey);
    ASSERT_TRUE(server.Failure().isEmpty()) << server.Failure().toStdString();
    server.Put(QStringLiteral("update.bin"), BinaryTestData(4 << 20, 14));
    QTemporaryDir local;
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        TFtpClient* c = MakeTlsClient(server.Port(), certs.CaFile, passive).release();
        c->Connect();
        c->OnPacketRecvd = [&](QObject*) {
            delete c;
            c = nullptr;
        };
        EXPECT_THROW(
            c->Download(QStringLiteral("update.bin"), local.filePath(QStringLiteral("update.bin"))),
            EAbortError);
        EXPECT_EQ(c, nullptr);
    }
}

} // namespace
