// Whole attempts against a real FTP server (pyftpdlib, scripted faults) on loopback: the
// success road, login refused, a cut transfer with its resumption, a stall, wrong sizes, a
// silent server, a file that cannot be started, and the exit picture inside a pending call.
#include "download/DownloadState.h"
#include "download/DownloadWindow.h"
#include "download/UpdateSignature.h"
#include "download_fixture.h"
#include "launcher/Globals.h"
#include "launcher/LogFile.h"
#include "net/FtpClient.h"
#include "platform/Dialogs.h"
#include "platform/Settings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QTimer>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class TransferTest : public DownloadFixture {
protected:
    QByteArray putInstaller(qsizetype size) {
        const QByteArray script = updateScript(size);
        putRemoteFile(QStringLiteral("update.sh"), script);
        UpdateFileSize = static_cast<std::int32_t>(script.size());
        return script;
    }
    QByteArray installed() const {
        QFile f(root() + QStringLiteral("/installed.bin"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString marker() const {
        QFile f(markerPath());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString localPath() const { return downloadDir() + UpdateFileName; }

    QStringList successLines() const { return ExpectedLog::successfulAttempt(localPath()); }
    void expectInstalled(const QByteArray& served) {
        EXPECT_EQ(DownloadResult, 1);
        EXPECT_EQ(marker(), QStringLiteral("ran\n"));
        EXPECT_TRUE(installed() == served) << "installed " << installed().size() << " of "
                                           << served.size() << " bytes, or other bytes";
        EXPECT_FALSE(QFile::exists(localPath())) << "the update file was not deleted";
        EXPECT_TRUE(messages.isEmpty()) << messages.join(u'|').toStdString();
    }
    void expectNothingInstalled() {
        EXPECT_NE(DownloadResult, 1);
        EXPECT_TRUE(marker().isEmpty());
        EXPECT_FALSE(QFile::exists(localPath()));
    }
    // Runs the window and measures how long its first attempt took: from the window's start to
    // the moment the first failed attempt is counted (seen at the next event the window pumps).
    std::unique_ptr<TForm2> runTimingFirstAttempt(qint64& firstAttemptMs, int limitMs) {
        QElapsedTimer clock;
        clock.start();
        firstAttemptMs = -1;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            if (DLretry >= 1 && firstAttemptMs < 0)
                firstAttemptMs = clock.elapsed();
        });
        probe.start(5);
        auto form = runWindow(limitMs);
        std::cout << "[ measured ] first attempt ended after " << firstAttemptMs << " ms\n";
        return form;
    }
    // Signed updates on: a new key is configured and the served update signed with it.
    void signServedUpdate() {
        namespace us = UpdateSignature;
        const auto pair = us::GenerateKeyPair();
        ASSERT_TRUE(pair);
        ServerSettings s = serverSettings();
        s.publicKeys = QString::fromLatin1(pair->publicKey.toBase64());
        setServerSettings(s);
        const auto digest = us::FileSha256(ftpDir() + UpdateFileName);
        ASSERT_TRUE(digest);
        const us::Claim claim{ProductCode(), NextVersion, UpdateFileName, UpdateFileSize, *digest};
        const auto sig = us::Sign(claim, pair->privateKeyPem);
        ASSERT_TRUE(sig);
        QFile file(ftpDir() + UpdateFileName + QStringLiteral(".sig"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(*sig), sig->size());
    }

    // The exit picture ended the window inside a pending call: the component is gone, and no
    // attempt was counted or reported.
    void expectLeftByTheUser(const TForm2& form) {
        EXPECT_EQ(DownloadResult, 3);
        EXPECT_EQ(form.FtpClient1, nullptr);
        EXPECT_EQ(DLretry, 0);
        EXPECT_TRUE(messages.isEmpty()) << messages.join(u'|').toStdString();
    }
};

TEST_F(TransferTest, SuccessRunsTheUpdateAndDeletesIt) {
    const QByteArray served = putInstaller(1'500'000);
    startServer();
    auto form = runWindow();
    expectInstalled(served);
    EXPECT_EQ(logLines(), successLines());
    EXPECT_EQ(maxProgress, 100);
    EXPECT_EQ(form->Label2->text(), padded(QStringLiteral("開始下載所需的更新檔案...")));
    EXPECT_EQ(form->Label3->text(), padded(QStringLiteral("執行解壓縮中...")));
    EXPECT_EQ(DLretry, 0);
    const QStringList trace = traceLines();
    EXPECT_TRUE(trace.contains(QStringLiteral("CWD /tarn")));
    EXPECT_TRUE(trace.contains(QStringLiteral("PASV")));
    EXPECT_TRUE(trace.contains(QStringLiteral("RETR update.sh")));
    EXPECT_EQ(trace.filter(QStringLiteral("REST")).size(), 0);
}

// Through the launcher's entry to the window: application as owner, modal, destroyed.
TEST_F(TransferTest, LoginRefusedGivesUpAfterThreeAttempts) {
    putInstaller(1000);
    startServer();
    useFtpLogin(QStringLiteral("velk"), QStringLiteral("wrongpwd"));
    RunDownloadWindow();
    EXPECT_EQ(DownloadResult, 2);
    EXPECT_EQ(DLretry, 3);
    EXPECT_EQ(messages, QStringList{ExpectedLog::giveUp()});
    EXPECT_EQ(logLines(), ExpectedLog::failedAttempts(3));
    EXPECT_EQ(traceLines().filter(QStringLiteral("USER velk")).size(), 3);
    EXPECT_EQ(traceLines().filter(QStringLiteral("RETR")).size(), 0);
    expectNothingInstalled();
}

// The data connection is reset midway: one resumption in the same attempt completes the file.
TEST_F(TransferTest, BrokenTransferIsResumedOnce) {
    const QByteArray served = putInstaller(3'000'000);
    startServer(QStringLiteral("cut"), 700'000);
    auto form = runWindow();
    expectInstalled(served);
    QStringList expected = successLines();
    expected.insert(3, QStringLiteral("FTP DownloadRestore..."));
    EXPECT_EQ(logLines(), expected);
    const QStringList rest = traceLines().filter(QStringLiteral("REST "));
    ASSERT_EQ(rest.size(), 1);
    const qint64 offset = rest.first().mid(5).toLongLong();
    EXPECT_GT(offset, 0);
    EXPECT_LE(offset, 700'000);
    EXPECT_EQ(maxProgress, 100);
    EXPECT_EQ(DLretry, 0);
}

// Data stops after some bytes: the watchdog aborts, the partial file goes, the next attempt
// fetches the whole file.
TEST_F(TransferTest, StalledTransferIsAbortedAndRetried) {
    setWatchdogTimingForTesting({50, 8});
    const QByteArray served = putInstaller(2'000'000);
    startServer(QStringLiteral("stall"), 300'000);
    grabDuringTransfer = QStringLiteral(PCV_BINARY_DIR "/download_window_transfer.png");
    auto form = runWindow();
    expectInstalled(served);
    EXPECT_EQ(logLines(), ExpectedLog::stalledAttempt() + successLines());
    EXPECT_TRUE(traceLines().contains(QStringLiteral("ABOR")));
    EXPECT_EQ(DLretry, 1);
}

// Every byte arrived but the server never ends the transfer: the watchdog finds the file
// complete, ends the component, and the attempt goes on to run the file.
TEST_F(TransferTest, CompleteFileWhoseTransferNeverEndsIsRun) {
    setWatchdogTimingForTesting({50, 8});
    const QByteArray served = putInstaller(400'000);
    startServer(QStringLiteral("stall"), served.size());
    auto form = runWindow();
    expectInstalled(served);
    QStringList expected = successLines();
    // After the watchdog destroyed the component the connection counts as closed.
    expected.replace(5, QStringLiteral("FtpClient1->Connected = False"));
    expected.removeAt(6);
    expected.insert(3, QStringLiteral("delete FTP1,DLAbort=0"));
    EXPECT_EQ(logLines(), expected);
    EXPECT_EQ(traceLines().filter(QStringLiteral("REST")).size(), 0);
}

// A file that is not what was announced is never run: too long, too short, or empty.
TEST_F(TransferTest, WrongSizeIsNeverRun) {
    struct Case {
        const char* name;
        qsizetype served;
        std::int32_t announced;
    };
    const Case cases[] = {
        {"one byte too many", 5001, 5000},
        {"one byte short", 4999, 5000},
        {"empty file", 0, 5000},
    };
    startServer();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DownloadResult = 0;
        DLretry = 0;
        ASSERT_TRUE(LogFile::Open());
        messages.clear();
        putInstaller(c.served);
        UpdateFileSize = c.announced;
        auto form = runWindow();
        expectNothingInstalled();
        EXPECT_EQ(DownloadResult, 2);
        const QStringList lines = logLines();
        EXPECT_EQ(lines.count(QStringLiteral("更新檔下載不完全")), 3);
        EXPECT_EQ(lines.count(QStringLiteral("等待解壓...")), 0);
        EXPECT_EQ(lines.last(), QStringLiteral("DLretry=3"));
        EXPECT_EQ(messages, QStringList{ExpectedLog::giveUp()});
    }
}

// A server that accepts the connection and never says a word, or falls silent after the login:
// each attempt is ended by one watchdog round (the clean-up does not wait for a second one),
// and after three the window gives up by itself.
TEST_F(TransferTest, SilentServerEndsThroughTheWatchdog) {
    struct Case {
        const char* mode;
        QStringList attempt; // the lines before the clean-up's
    };
    const Case cases[] = {
        {"silent", {QStringLiteral("FTP Connect...")}},
        {"mute",
         {QStringLiteral("FTP Connect..."), QStringLiteral("FTP ChangeDir..."),
          QStringLiteral("FTP Disconnect(DLagen)")}},
    };
    // One round is 9 ticks of 150 ms; three attempts of one round each, with their sleeps,
    // take about 5 s, of two rounds each about 9 s.
    setWatchdogTimingForTesting({150, 8});
    putInstaller(1000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        DownloadResult = 0;
        DLretry = 0;
        messages.clear();
        ASSERT_TRUE(LogFile::Open());
        startServer(QString::fromLatin1(c.mode));
        QElapsedTimer clock;
        clock.start();
        auto form = runWindow(30000);
        EXPECT_LT(clock.elapsed(), 7500);
        EXPECT_EQ(DownloadResult, 2);
        EXPECT_EQ(DLretry, 3);
        EXPECT_EQ(logLines(), ExpectedLog::failedAttempts(3, c.attempt));
        expectNothingInstalled();
        stopServer();
    }
}

// A server that never stops sending: no attempt takes more than the update's size, none
// resumes, each fails as a file of the wrong size does, and after three the window gives up.
TEST_F(TransferTest, EndlessDataIsCutAtTheSize) {
    putInstaller(300'000);
    startServer(QStringLiteral("flood"));
    qint64 largest = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout,
                     [&] { largest = std::max(largest, QFileInfo(localPath()).size()); });
    probe.start(1);
    auto form = runWindow(30000);
    EXPECT_LE(largest, UpdateFileSize);
    expectNothingInstalled();
    EXPECT_EQ(DownloadResult, 2);
    EXPECT_EQ(messages, QStringList{ExpectedLog::giveUp()});
    EXPECT_EQ(logLines(),
              ExpectedLog::failedAttempts(3, successLines().mid(0, 11) +
                                                 QStringList{QStringLiteral("更新檔下載不完全")}));
    EXPECT_EQ(traceLines().filter(QStringLiteral("RETR ")).size(), 3);
    EXPECT_EQ(traceLines().filter(QStringLiteral("REST ")).size(), 0);
}

// The rate window, its length and its bytes shortened with the tick: 25 ticks of 20 ms must
// bring 256 bytes (512 bytes a second, where production asks 4096 bytes a minute). A byte every
// 0.1 s is never silent for nine ticks, yet is a stall, with the watchdog's lines; 4 KiB a
// second, the same margin as a link of a few KiB a second has in production, completes.
TEST_F(TransferTest, TransferRateWindow) {
    struct Case {
        const char* name;
        qint64 bytesPerSecond;
        bool stalls;
    };
    const Case cases[] = {
        {"trickle", 10, true},
        {"slow but steady", 4096, false},
    };
    setWatchdogTimingForTesting({20, 8, 25, 256});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DownloadResult = 0;
        DLretry = 0;
        ASSERT_TRUE(LogFile::Open());
        QFile::remove(markerPath());
        QFile::remove(root() + QStringLiteral("/installed.bin"));
        const QByteArray served = putInstaller(10'000);
        startServer(QStringLiteral("slow"), c.bytesPerSecond);
        auto form = runWindow(20000);
        expectInstalled(served);
        const QStringList stalled = c.stalls ? ExpectedLog::stalledAttempt() : QStringList();
        EXPECT_EQ(logLines(), stalled + successLines());
        EXPECT_EQ(DLretry, c.stalls ? 1 : 0);
        stopServer();
    }
}

// A server that sends just enough never trips the packet rules: a piece every 0.2 s, 250 bytes a
// second against the rate window's 100. At that pace 6000 bytes would take 24 s; at a minimum
// average of 2000 bytes a second and one second of slack the attempt's whole deadline is 4 s.
// It ends there as a stall, with the watchdog's own lines, and the next attempt brings the file.
TEST_F(TransferTest, AttemptEndsAtItsWholeDeadline) {
    setWatchdogTimingForTesting({50, 8, 20, 100});
    ServerSettings s = serverSettings();
    s.ftpMinAverageRate = 2000;
    s.ftpAttemptSlack = 1;
    setServerSettings(s);
    const QByteArray served = putInstaller(6000);
    ftpServerArgs = QStringList{QStringLiteral("--every"), QStringLiteral("0.2")};
    startServer(QStringLiteral("trickle"), 50);
    qint64 firstAttemptMs = -1;
    auto form = runTimingFirstAttempt(firstAttemptMs, 30000);
    expectInstalled(served);
    EXPECT_EQ(logLines(), ExpectedLog::stalledAttempt() + successLines());
    EXPECT_EQ(DLretry, 1);
    EXPECT_TRUE(traceLines().contains(QStringLiteral("ABOR")));
    // The attempt starts 100 ms after the window; its clean-up sleeps 300 ms.
    EXPECT_GE(firstAttemptMs, 4000);
    EXPECT_LT(firstAttemptMs, 6500);
}

// The signature trickled a byte every 0.2 s (its line would take some 20 s): the fetch ends at
// its own deadline, shortened here to 1.5 s, the part that came is refused as malformed, the
// update is deleted unrun, and the next attempt, with the signature served whole, installs it.
TEST_F(TransferTest, TrickledSignatureEndsAtItsDeadline) {
    setWatchdogTimingForTesting({50, 8, 0, 0, 1500});
    const QByteArray served = putInstaller(20'000);
    ASSERT_NO_FATAL_FAILURE(signServedUpdate());
    ftpServerArgs = QStringList{QStringLiteral("--every"), QStringLiteral("0.2"),
                                QStringLiteral("--fault-on"), QStringLiteral(".sig")};
    startServer(QStringLiteral("trickle"), 1);
    qint64 firstAttemptMs = -1;
    auto form = runTimingFirstAttempt(firstAttemptMs, 30000);
    expectInstalled(served);

    const QString fetch = QStringLiteral("FTP Download signature...");
    QStringList refused = successLines().mid(0, 11);
    refused.insert(3, fetch);
    refused << QStringLiteral("Update signature not verified: malformed")
            << QStringLiteral("刪除更新檔下載不完全") << QStringLiteral("DLretry=1")
            << QStringLiteral("Timer1->Enabled=True");
    QStringList verified = successLines();
    verified.insert(3, fetch);
    verified.insert(12, QStringLiteral("Update signature verified"));
    EXPECT_EQ(logLines(), refused + verified);
    EXPECT_EQ(traceLines().filter(QStringLiteral("RETR update.sh.sig")).size(), 2);
    // 200 ms before the update, the signature's 1.5 s, then 1 s of the sequence's own sleeps.
    EXPECT_GE(firstAttemptMs, 1500);
    EXPECT_LT(firstAttemptMs, 4500);
}

// A file the system cannot start: the message each time; attended, attempts go on without
// being counted until the user leaves; unattended, each counts and the run ends after three.
TEST_F(TransferTest, FileThatCannotStart) {
    startServer();
    QByteArray junk(4096, '\0');
    for (int i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    junk[0] = 'M'; // no "#!", no known executable format
    putRemoteFile(QStringLiteral("update.sh"), junk);
    UpdateFileSize = junk.size();

    // Attended: the user gives up after the second message.
    TForm2* running = nullptr;
    setMessageHandlerForTesting([&](const MessageRequest& r) {
        messages << r.text;
        if (messages.size() == 2 && running)
            QTimer::singleShot(0, running, [&] { running->Img3Click(); });
        return IDOK;
    });
    {
        auto form = std::make_unique<TForm2>(nullptr);
        running = form.get();
        form->exec();
    }
    EXPECT_EQ(DownloadResult, 3);
    EXPECT_EQ(DLretry, 0);
    EXPECT_EQ(messages, QStringList(2, QStringLiteral("Could not create Process.")));
    EXPECT_EQ(logLines().count(QStringLiteral("Could not create Process")), 2);

    // Unattended.
    DownloadResult = 0;
    messages.clear();
    ASSERT_TRUE(LogFile::Open());
    setMessageHandlerForTesting([&](const MessageRequest& r) {
        messages << r.text;
        return IDOK;
    });
    setUnattended({true, false});
    runWindow();
    setUnattended({false, false});
    EXPECT_EQ(DownloadResult, 2);
    EXPECT_EQ(DLretry, 3);
    EXPECT_EQ(messages,
              (QStringList{QStringLiteral("Could not create Process."),
                           QStringLiteral("Could not create Process."),
                           QStringLiteral("Could not create Process."), ExpectedLog::giveUp()}));
    EXPECT_FALSE(QFile::exists(localPath()) && DownloadResult == 1);
}

// The exit picture while Download is pending: the component is destroyed inside its own call
// (run this under AddressSanitizer), the window closes, nothing is run, retried or reported.
TEST_F(TransferTest, ExitPictureDuringTransfer) {
    setWatchdogTimingForTesting({1000, 8});
    putInstaller(2'000'000);
    startServer(QStringLiteral("stall"), 300'000);
    auto form = std::make_unique<TForm2>(nullptr);
    TForm2* f = form.get();
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, f, [f, &poll] {
        if (DLrecvd > 0 && f->FtpClient1) {
            poll.stop();
            f->Img3Click();
        }
    });
    poll.start();
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, f, [f] { f->Img3Click(); });
    limit.start(30000);
    QElapsedTimer clock;
    clock.start();
    form->exec();
    EXPECT_LT(clock.elapsed(), 10000);
    expectLeftByTheUser(*f);
    expectNothingInstalled();
    const QStringList lines = logLines();
    EXPECT_EQ(lines.count(QStringLiteral("FTP DownloadRestore...")), 0);
    EXPECT_EQ(lines.count(QStringLiteral("等待解壓...")), 0);
}

// The exit picture while Connect waits for a greeting that never comes: the component is
// destroyed inside Connect, no attempt is counted, no message is shown.
TEST_F(TransferTest, ExitPictureDuringConnect) {
    putInstaller(1000);
    startServer(QStringLiteral("silent"));
    auto form = std::make_unique<TForm2>(nullptr);
    TForm2* f = form.get();
    QTimer::singleShot(400, f, [f] { f->Img3Click(); }); // Connect is pending by then
    QElapsedTimer clock;
    clock.start();
    form->exec();
    EXPECT_LT(clock.elapsed(), 5000);
    expectLeftByTheUser(*f);
    EXPECT_EQ(logLines(), QStringList{QStringLiteral("FTP Connect...")});
}

} // namespace

namespace {

unsigned modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// What stands at the update's path before the download is not the launcher's: it is set aside
// under a name that says so (one log line), never deleted nor written, whatever then fails:
// keys configured and no signature on the server, a wrong size, a server that answers 550.
TEST_F(TransferTest, ExistingFileAtTheUpdatePathIsSetAsideNeverDeleted) {
    struct Case {
        const char* name;
        bool keys;
        qsizetype served; // -1: not on the server (550)
        std::int32_t announced;
    };
    const Case cases[] = {
        {"keys set, no signature", true, 3000, 3000},
        {"no keys, wrong size", false, 3000, 2000},
        {"550, nothing downloaded", false, -1, 3000},
    };
    const auto pair = UpdateSignature::GenerateKeyPair();
    ASSERT_TRUE(pair);
    startServer();
    const QByteArray userBytes = "the user's own database\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DownloadResult = 0;
        DLretry = 0;
        ASSERT_TRUE(LogFile::Open());
        messages.clear();
        QFile::remove(ftpDir() + QStringLiteral("mydata.db"));
        if (c.served >= 0)
            putRemoteFile(QStringLiteral("mydata.db"), updateScript(c.served));
        UpdateFileName = QStringLiteral("mydata.db");
        UpdateFileSize = c.announced;
        ServerSettings s = serverSettings();
        s.publicKeys = c.keys ? QString::fromLatin1(pair->publicKey.toBase64()) : QString();
        setServerSettings(s);
        const QString user = downloadDir() + QStringLiteral("mydata.db");
        writeAll(user, userBytes);
        ASSERT_TRUE(
            QFile::setPermissions(user, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));

        runWindow();
        EXPECT_EQ(DownloadResult, 2);
        const QString aside = user + QStringLiteral(".set-aside-1");
        EXPECT_EQ(readAll(aside), userBytes);
        EXPECT_EQ(modeOf(aside), 0640u);
        EXPECT_FALSE(QFileInfo::exists(user)) << "the launcher's own failed download stayed";
        EXPECT_FALSE(QFileInfo::exists(user + QStringLiteral(".set-aside-2")));
        const QStringList lines = logLines();
        EXPECT_EQ(lines.filter(QStringLiteral("set aside")),
                  QStringList{QStringLiteral("Existing file set aside: ") + aside});
        EXPECT_EQ(lines.count(QStringLiteral("刪除更新檔下載不完全")), 3);
        EXPECT_TRUE(marker().isEmpty());
        EXPECT_TRUE(QDir(downloadDir())
                        .entryList({QStringLiteral(".update-run-*")},
                                   QDir::AllEntries | QDir::Hidden | QDir::System)
                        .isEmpty());
        QFile::remove(aside);
    }
    ServerSettings s = serverSettings();
    s.publicKeys.clear();
    setServerSettings(s);
}

// A hard link at the update's path: the file under its other name keeps its bytes and its
// mode; the link is set aside, the update is created anew, run from a private copy and deleted.
// Private folders of a killed run are removed first; a link or a folder only named alike stays.
TEST_F(TransferTest, HardLinkAtTheUpdatePathAndLeftoversOfAKilledRun) {
    const QByteArray served = putInstaller(20'000);
    startServer();
    const QString other = root() + QStringLiteral("/other.txt");
    writeAll(other, "theirs\n");
    ASSERT_TRUE(QFile::setPermissions(other, QFile::ReadOwner | QFile::WriteOwner));
    ASSERT_EQ(
        ::link(QFile::encodeName(other).constData(), QFile::encodeName(localPath()).constData()),
        0);
    const QString leftover = downloadDir() + QStringLiteral(".update-run-Ab12Cd");
    ASSERT_TRUE(QDir().mkpath(leftover));
    writeAll(leftover + QStringLiteral("/update.sh"), "old copy");
    ASSERT_TRUE(QDir().mkpath(root() + QStringLiteral("/keep")));
    writeAll(root() + QStringLiteral("/keep/inside"), "keep");
    const QString linked = downloadDir() + QStringLiteral(".update-run-Zz99Zz");
    ASSERT_TRUE(QFile::link(root() + QStringLiteral("/keep"), linked));
    const QString alike = downloadDir() + QStringLiteral(".update-run-toolong");
    ASSERT_TRUE(QDir().mkpath(alike + QStringLiteral("x")));

    runWindow();
    expectInstalled(served);
    EXPECT_EQ(readAll(other), "theirs\n");
    EXPECT_EQ(modeOf(other), 0600u);
    EXPECT_EQ(readAll(localPath() + QStringLiteral(".set-aside-1")), "theirs\n");
    EXPECT_FALSE(QFileInfo::exists(leftover));
    EXPECT_EQ(readAll(root() + QStringLiteral("/keep/inside")), "keep");
    EXPECT_TRUE(QFileInfo(linked).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(alike + QStringLiteral("x")));
    QStringList expected = successLines();
    expected.insert(expected.indexOf(QStringLiteral("FTP Download...")),
                    QStringLiteral("Existing file set aside: ") + localPath() +
                        QStringLiteral(".set-aside-1"));
    expected.prepend(QStringLiteral("Leftover folder removed: ") + leftover);
    EXPECT_EQ(logLines(), expected);
    // The update ran from the private copy, which is gone with its folder.
    QStringList runFolders = QDir(downloadDir())
                                 .entryList({QStringLiteral(".update-run-*")},
                                            QDir::AllEntries | QDir::Hidden | QDir::System);
    runFolders.sort(Qt::CaseSensitive);
    EXPECT_EQ(runFolders, (QStringList{QStringLiteral(".update-run-Zz99Zz"),
                                       QStringLiteral(".update-run-toolongx")}));
}

} // namespace
