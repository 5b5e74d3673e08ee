// The sequence's own rules, driven without a working FTP server: the local path, the progress
// arithmetic, the watchdog's decisions, and attempts that fail before any transfer.
#include "download/DownloadState.h"
#include "download/UpdateSignature.h"
#include "download_fixture.h"
#include "launcher/Globals.h"
#include "launcher/LogFile.h"
#include "net/FtpClient.h"

#include <QFile>
#include <QProgressBar>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

namespace {

class SequenceTest : public DownloadFixture {};

void writeFile(const QString& path, qsizetype size) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(QByteArray(size, 'x')), size);
}

TEST_F(SequenceTest, LocalPathIsDownloadDirPlusASafeShortName) {
    struct Case {
        QString dir;
        QString name;
        bool accepted;
    };
    const QString d = QStringLiteral("/opt/pcv/");
    const Case cases[] = {
        {d, QStringLiteral("pc1_13.exe"), true},
        {d, QString(), false},
        {d, QStringLiteral("."), false},
        {d, QStringLiteral(".."), false},
        {d, QStringLiteral("../evil.sh"), false},
        {d, QStringLiteral("sub/evil.sh"), false},
        {d, QStringLiteral("..\\evil.sh"), false},
        {d, QStringLiteral("line\nbreak"), false},
        // The update check's rule, applied again: no ".." anywhere, Big5 only, and never one of
        // the program's own files.
        {d, QStringLiteral("..ok"), false},
        {d, QString::fromUtf8("\xF0\x9F\x98\x80.exe"), false},
        {d, QStringLiteral("PC1.EXE"), false},
        {d, QStringLiteral("Velka.ini"), false},
        {d, QStringLiteral("dlrec.txt"), false},
        {d, QStringLiteral("pc_velka_setup"), false},
        {d, QStringLiteral("pc1.exe.bak"), true},
        {d, QStringLiteral("PC_VELKA_SETUP.EXE"), false},
        // What Windows takes for a device, strips or opens as a stream, refused everywhere.
        {d, QStringLiteral("nul"), false},
        {d, QStringLiteral("NUL.txt"), false},
        {d, QStringLiteral("nul .exe"), false},
        {d, QStringLiteral("Con.tar.gz"), false},
        {d, QStringLiteral("prn.exe"), false},
        {d, QStringLiteral("aux"), false},
        {d, QStringLiteral("com1.exe"), false},
        {d, QStringLiteral("COM9"), false},
        {d, QStringLiteral("lpt1.exe"), false},
        {d, QStringLiteral("LPT9.bin"), false},
        {d, QStringLiteral("conout$.exe"), false},
        {d, QStringLiteral("update.exe."), false},
        {d, QStringLiteral("update.exe "), false},
        {d, QStringLiteral("update.exe:hidden"), false},
        {d, QStringLiteral("a:b"), false},
        {d, QStringLiteral("upd*.exe"), false},
        {d, QStringLiteral("upd?.exe"), false},
        {d, QStringLiteral("a|b.exe"), false},
        {d, QStringLiteral("a<b>.exe"), false},
        {d, QStringLiteral("\"a\".exe"), false},
        // Names that only begin like a device are ordinary files.
        {d, QStringLiteral("console.exe"), true},
        {d, QStringLiteral("com10.exe"), true},
        {d, QStringLiteral("lpt.exe"), true},
        {d, QStringLiteral("nul_update.exe"), true},
        {d, QStringLiteral("auxiliary"), true},
        {d, QStringLiteral("update.v2.exe"), true},
        {d, QStringLiteral("com1x.exe"), true},
        // 127 bytes fit the buffer with its terminator, 128 do not.
        {d, QString(127 - d.size(), u'a'), true},
        {d, QString(128 - d.size(), u'a'), false},
        // Counted in bytes, not characters: 3 bytes per CJK character in UTF-8.
        {d, QString(39, u'更'), true},  // 9 + 117 = 126
        {d, QString(40, u'更'), false}, // 9 + 120 = 129
    };
    for (const Case& c : cases) {
        DownloadDir = c.dir;
        UpdateFileName = c.name;
        const QString path = TForm2::LocalPath();
        if (c.accepted)
            EXPECT_EQ(path, c.dir + c.name) << c.name.toStdString();
        else
            EXPECT_TRUE(path.isEmpty()) << c.name.toStdString();
    }
}

// Position = (count + bytes before the resumption) * 100 / size, without overflow, in 0..100.
TEST_F(SequenceTest, ProgressIsClampedAndWide) {
    struct Case {
        std::int32_t base;
        std::int32_t size;
        int expected;
    };
    const Case cases[] = {
        {0, 100, 0},
        {50, 100, 50},
        {99, 100, 99},
        {100, 100, 100},
        {250, 100, 100},              // more than announced
        {-10, 100, 0},                // never below the range
        {10, 0, 0},                   // no size: no division
        {10, -5, 0},                  // nonsense size
        {30'000'000, 60'000'000, 50}, // 32-bit arithmetic would overflow here
        {2'000'000'000, 2'147'483'647, 93},
    };
    TForm2 form(nullptr);
    form.Timer1->stop();
    for (const Case& c : cases) {
        DLbase = c.base;
        UpdateFileSize = c.size;
        DLstall = 5;
        form.ProgressBar1->setValue(42);
        form.FtpClient1PacketRecvd(form.FtpClient1);
        EXPECT_EQ(form.ProgressBar1->value(), c.expected) << c.base << "/" << c.size;
        EXPECT_EQ(DLstall, 0);
        EXPECT_EQ(DLrecvd, 0); // no transfer: the count reads 0
    }
}

// Nine ticks without a packet and nothing new received: the attempt is aborted (7) and the
// watchdog goes on; a file at the announced size instead ends the component (0).
TEST_F(SequenceTest, WatchdogDecisions) {
    struct Case {
        const char* name;
        qsizetype fileSize; // -1: no file
        std::int32_t announced;
        std::int32_t abortCode;
        bool componentDestroyed;
        QStringList log;
    };
    const Case cases[] = {
        {"no file", -1, 1000, 7, false, {}},
        {"partial file", 400, 1000, 7, false, {QStringLiteral("更新檔下載中..8")}},
        {"empty file is not complete", 0, 1000, 7, false, {QStringLiteral("更新檔下載中..8")}},
        {"complete file", 1000, 1000, 0, true, {QStringLiteral("delete FTP1,DLAbort=0")}},
        {"empty file announced empty", 0, 0, 0, true, {QStringLiteral("delete FTP1,DLAbort=0")}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(LogFile::Open()); // a fresh log per case
        QFile::remove(downloadDir() + UpdateFileName);
        if (c.fileSize >= 0)
            writeFile(downloadDir() + UpdateFileName, c.fileSize);
        UpdateFileSize = c.announced;
        DLAbort = 0;
        DLstall = 0;
        DLsample = 0;

        TForm2 form(nullptr);
        form.Timer1->stop();
        form.Timer2->start();
        for (int tick = 1; tick <= 8; ++tick) {
            form.Timer2Timer();
            EXPECT_EQ(DLstall, tick) << c.name;
            EXPECT_TRUE(form.Timer2->isActive()) << c.name;
        }
        EXPECT_EQ(DLAbort, 0) << c.name;
        form.Timer2Timer();
        EXPECT_EQ(DLAbort, c.abortCode) << c.name;
        EXPECT_EQ(form.FtpClient1 == nullptr, c.componentDestroyed) << c.name;
        EXPECT_EQ(form.Timer2->isActive(), !c.componentDestroyed) << c.name;
        EXPECT_EQ(DLstall, c.componentDestroyed ? 9 : 0) << c.name;
        EXPECT_EQ(logLines(), c.log) << c.name;
    }
}

// A watchdog window in which bytes arrived only takes a new sample.
TEST_F(SequenceTest, WatchdogSampleDifferentFromLastOneRearms) {
    TForm2 form(nullptr);
    form.Timer1->stop();
    DLsample = 1234; // the transfer had counted something; now no transfer reads 0
    DLstall = 8;
    form.Timer2Timer();
    EXPECT_EQ(DLsample, 0);
    EXPECT_EQ(DLstall, 0);
    EXPECT_EQ(DLAbort, 0);
    EXPECT_TRUE(form.Timer2->isActive());
}

// A name that would leave the download folder is refused before anything is contacted, and
// the attempt counts as failed.
TEST_F(SequenceTest, RefusedNameFailsWithoutContactingTheServer) {
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    useFtpPort(listener.serverPort());
    UpdateFileName = QStringLiteral("../outside.sh");
    UpdateFileSize = 10;

    TForm2 form(nullptr);
    form.Timer1->stop();
    form.Timer1Timer();
    // Waits without handling events: the re-armed Timer1 must not start a second attempt.
    EXPECT_FALSE(listener.waitForNewConnection(100));
    EXPECT_EQ(DLretry, 1);
    EXPECT_EQ(DownloadResult, 0);
    EXPECT_TRUE(form.Timer1->isActive()); // the next attempt is armed
    EXPECT_EQ(logLines(),
              (QStringList{QStringLiteral("Local path refused: ") + downloadDir() +
                               QStringLiteral("../outside.sh"),
                           QStringLiteral("更新檔不存在"), QStringLiteral("刪除更新檔下載不完全"),
                           QStringLiteral("DLretry=1"), QStringLiteral("Timer1->Enabled=True")}));
    EXPECT_EQ(form.Label1->text(), padded(QStringLiteral("正在連線中.... 重試 1")));
}

// Nobody listens: three attempts, the retry count on Label1 between them, the give-up message,
// result 2, and the window closes by itself.
TEST_F(SequenceTest, UnreachableServerGivesUpAfterThreeAttempts) {
    QTcpServer probe; // take a free port and release it: nothing listens there afterwards
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    useFtpPort(probe.serverPort());
    probe.close();
    UpdateFileSize = 10;

    auto form = runWindow();
    EXPECT_EQ(DownloadResult, 2);
    EXPECT_EQ(DLretry, 3);
    EXPECT_EQ(messages, QStringList{ExpectedLog::giveUp()});
    EXPECT_EQ(label1Captions, (QStringList{padded(QStringLiteral("正在連線中.... ")),
                                           padded(QStringLiteral("正在連線中.... 重試 1")),
                                           padded(QStringLiteral("正在連線中.... 重試 2"))}));
    EXPECT_EQ(logLines(), ExpectedLog::failedAttempts(3));
    EXPECT_FALSE(QFile::exists(downloadDir() + UpdateFileName));
}

// An attempt's whole deadline: the slack plus the promised size at the minimum average rate,
// rounded up to the millisecond, in 64 bits for every 32-bit size.
TEST(AttemptDeadlineTest, SlackPlusSizeAtTheMinimumRate) {
    struct Case {
        std::int32_t size;
        int rate;
        int slack;
        std::int64_t ms;
    };
    const Case cases[] = {
        {10'000'000, 2048, 120, 120'000 + 4'882'813}, // 10 MB at the defaults: 83 minutes
        {1'048'576, 2048, 120, 120'000 + 512'000},
        {1, 2048, 120, 120'001},  // a part of a millisecond counts whole
        {0, 2048, 120, 120'000},  // no size: the slack alone
        {-5, 2048, 120, 120'000}, // a negative size adds nothing
        {2'147'483'647, 1, 86'400, 86'400'000 + 2'147'483'647'000LL}, // no 32-bit overflow
        {2'147'483'647, 2048, 120, 120'000 + 1'048'576'000},
        {6'000, 2'000, 1, 4'000},
        {100, 0, 1, 101'000},  // a rate below 1 counts as 1
        {100, 100, -3, 1'000}, // a negative slack as none
    };
    for (const Case& c : cases)
        EXPECT_EQ(AttemptDeadlineMs(c.size, c.rate, c.slack), c.ms)
            << c.size << " B at " << c.rate << " B/s + " << c.slack << " s";
}

} // namespace

namespace {

// What the signature binds: every value of the claim, each changed alone, breaks it; the line
// end a publisher's editor may add does not; keys that are not keys are dropped, not trusted.
TEST(UpdateSignatureTest, EveryBoundValueMattersAndOnlyConfiguredKeysCount) {
    namespace us = UpdateSignature;
    const auto pair = us::GenerateKeyPair();
    const auto stranger = us::GenerateKeyPair();
    ASSERT_TRUE(pair && stranger);
    const us::Claim claim{QStringLiteral("tarn"), 13, QStringLiteral("pc1_v13.sh"), 4096,
                          QByteArray(32, '\x5a')};
    const auto sig = us::Sign(claim, pair->privateKeyPem);
    ASSERT_TRUE(sig && sig->endsWith('\n'));
    EXPECT_EQ(us::PublicKeyOf(pair->privateKeyPem), pair->publicKey);
    const QList<QByteArray> keys{stranger->publicKey, pair->publicKey};
    EXPECT_EQ(us::Verify(sig, claim, keys), us::Verdict::Verified);
    EXPECT_EQ(us::Verify(sig->chopped(1) + "\r\n", claim, keys), us::Verdict::Verified);

    const std::function<void(us::Claim&)> changes[] = {
        [](us::Claim& c) { c.product = QStringLiteral("fen"); },
        [](us::Claim& c) { c.version = 12; },
        [](us::Claim& c) { c.fileName = QStringLiteral("pc1_v13.SH"); },
        [](us::Claim& c) { c.size = 4097; },
        [](us::Claim& c) { c.sha256[31] = '\x5b'; },
    };
    for (const auto& change : changes) {
        us::Claim other = claim;
        change(other);
        EXPECT_EQ(us::Verify(sig, other, keys), us::Verdict::WrongContents);
    }
    EXPECT_EQ(us::Verify(sig, claim, {stranger->publicKey}), us::Verdict::UnknownKey);
    EXPECT_EQ(us::Verify(std::nullopt, claim, keys), us::Verdict::Missing);
    EXPECT_EQ(us::Verify(QByteArray(), claim, keys), us::Verdict::Missing);
    for (const QByteArray& bad :
         {QByteArray("\n"), sig->left(40) + "\n", " " + *sig, *sig + *sig, QByteArray(5000, 'A'),
          // What the window hands over for a signature that came in part or too long.
          QByteArray(us::MaxSignatureFileBytes + 1, '\0')})
        EXPECT_EQ(us::Verify(bad, claim, keys), us::Verdict::Malformed) << bad.constData();

    bool invalid = false;
    const QString configured = QStringLiteral(" %1 ,, not-a-key , %2")
                                   .arg(QString::fromLatin1(pair->publicKey.toBase64()),
                                        QString::fromLatin1(QByteArray(31, 'k').toBase64()));
    EXPECT_EQ(us::ParsePublicKeys(configured, &invalid), QList<QByteArray>{pair->publicKey});
    EXPECT_TRUE(invalid);
    us::ParsePublicKeys(QString::fromLatin1(pair->publicKey.toBase64()), &invalid);
    EXPECT_FALSE(invalid);
}

} // namespace
