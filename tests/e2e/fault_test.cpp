// Faults around a whole update, end to end: the installed program with --unattended in a
// temporary folder, as in download_test.cpp. Each case checks what the user is shown, what the
// log holds, that velka.ini keeps its bytes, and that no partial update file is run or left.
//
// Files and folders are made read-only with the immutable attribute (chattr +i): the tests run
// as root here, and root writes through permission bits.
#include "download/UpdateSignature.h"
#include "download_fixture.h"
#include "platform/Process.h"

#include <QCryptographicHash>
#include <QThread>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

class FaultE2E : public DownloadE2E {
protected:
    void TearDown() override {
        // The temporary folder can only be removed once nothing in it is immutable.
        for (const QString& p : immutable_)
            chattr(QStringLiteral("-i"), p);
    }

    static bool chattr(const QString& flag, const QString& target) {
        QProcess p;
        p.start(QStringLiteral("chattr"), {flag, target});
        return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit &&
               p.exitCode() == 0;
    }
    void makeImmutable(const QString& target) {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the immutable attribute needs root";
        ASSERT_TRUE(chattr(QStringLiteral("+i"), target))
            << "chattr +i needs root and a file system with the attribute: " << qPrintable(target);
        immutable_ << target;
    }

    std::unique_ptr<QProcess> start(const QStringList& prefix = {}) {
        auto p = std::make_unique<QProcess>();
        startInstalled(*p, dir, {}, prefix);
        EXPECT_TRUE(p->waitForStarted(5000));
        return p;
    }
    Result finish(QProcess& p, int limitMs = 120000) {
        Result res;
        res.finished = p.waitForFinished(limitMs);
        if (!res.finished) {
            p.kill();
            p.waitForFinished(2000);
        }
        res.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        res.out = QString::fromUtf8(p.readAllStandardOutput());
        return res;
    }

    // Files in the folder whose names start with prefix (temporary files of the INI writer).
    QStringList filesStartingWith(const QString& prefix) const {
        return QDir(dir.path()).entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden);
    }

    // A give-up after three failed attempts whose each attempt deleted what it had fetched.
    void expectGaveUpCleanly(const QStringList& lines) {
        EXPECT_TRUE(r.out.contains(kGiveUp + QLatin1Char('\n'))) << r.out.toStdString();
        EXPECT_EQ(lines.filter(QStringLiteral("DLretry=")),
                  (QStringList{QStringLiteral("DLretry=1"), QStringLiteral("DLretry=2"),
                               QStringLiteral("DLretry=3")}));
        EXPECT_EQ(lines.count(QStringLiteral("等待解壓...")), 0) << "a partial file was run";
        EXPECT_FALSE(lines.contains(QStringLiteral("修改 velka.ini 版本")));
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_EQ(lines.last(), QStringLiteral("等 100ms結束程式"));
        expectUntouched();
    }

    // The update on the server signed for tarn 13 with a key made here, and that key configured.
    void signUpdate(const QByteArray& served) {
        const auto pair = UpdateSignature::GenerateKeyPair();
        ASSERT_TRUE(pair);
        const UpdateSignature::Claim claim{
            QStringLiteral("tarn"), 13, QStringLiteral("update.sh"), served.size(),
            QCryptographicHash::hash(served, QCryptographicHash::Sha256)};
        const auto sig = UpdateSignature::Sign(claim, pair->privateKeyPem);
        ASSERT_TRUE(sig);
        writeAll(path("ftproot/tarn/update.sh.sig"), *sig);
        extraIni = "[Update]\r\nPublicKeys=" + pair->publicKey.toBase64() + "\r\n";
    }

    // The program's private folders beside it (a run's copy of the update, its signature).
    QStringList runFolders() const {
        return QDir(dir.path())
            .entryList({QStringLiteral(".update-run-*")},
                       QDir::AllEntries | QDir::Hidden | QDir::System);
    }

    // Waits (bounded) until check() holds or the program has ended; false if it never held.
    static bool waitFor(QProcess& p, const std::function<bool()>& check, int limitMs = 60000) {
        QElapsedTimer clock;
        clock.start();
        while (!check()) {
            if (clock.elapsed() > limitMs || p.waitForFinished(0))
                return false;
            QThread::usleep(500);
        }
        return true;
    }

    QStringList immutable_;
};

// From start() until stop(), keeps replacing whatever is at `target` by an unsigned update of
// the same size, in turn: renamed over it, a hard link, a symbolic link, rewritten in place
// (which writes into the launcher's own file when that is still there). Bounded to 3 minutes.
class Swapper {
public:
    Swapper(const QString& folder, const QByteArray& bytes)
        : target_(QFile::encodeName(folder + QStringLiteral("/update.sh"))),
          source_(QFile::encodeName(folder + QStringLiteral("/swap-source"))),
          temp_(QFile::encodeName(folder + QStringLiteral("/swap-temp"))), bytes_(bytes) {
        writeAll(QFile::decodeName(source_), bytes, true);
    }
    ~Swapper() { stop(); }
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int swaps() const { return swaps_; }

private:
    void writeTo(const QByteArray& name, int flags) {
        const int fd = ::open(name.constData(), flags | O_WRONLY | O_NOFOLLOW | O_NONBLOCK, 0755);
        if (fd < 0)
            return;
        if (::write(fd, bytes_.constData(), static_cast<size_t>(bytes_.size())) < 0) {
        }
        ::close(fd);
    }
    void run() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(3);
        for (int i = 0; !stop_ && std::chrono::steady_clock::now() < end; ++i) {
            switch (i % 4) {
            case 0:
                writeTo(temp_, O_CREAT | O_TRUNC);
                ::rename(temp_.constData(), target_.constData());
                break;
            case 1:
                ::unlink(target_.constData());
                ::link(source_.constData(), target_.constData());
                break;
            case 2:
                ::unlink(target_.constData());
                if (::symlink(source_.constData(), target_.constData()) != 0) {
                }
                break;
            case 3:
                writeTo(target_, O_TRUNC);
                break;
            }
            ++swaps_;
            ::usleep(300);
        }
    }

    const QByteArray target_, source_, temp_, bytes_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> swaps_{0};
};

qint64 fileSize(const QString& p) {
    return QFileInfo(p).exists() ? QFileInfo(p).size() : -1;
}

int closedPort() {
    // A port that was just free on loopback: bound, then released, so nothing listens there.
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    ::close(s);
    return ntohs(a.sin_port);
}

// The server dies (SIGKILL) while the file is half sent: the partial file is never run, it is
// deleted, and the later attempts find nobody listening.
TEST_F(FaultE2E, FtpServerKilledMidTransfer) {
    putUpdate(3'000'000);
    startFtp(QStringLiteral("stall"), 1'500'000); // sends half, then holds the line open
    auto p = start();
    QElapsedTimer clock;
    clock.start();
    while (fileSize(path("update.sh")) < 1'500'000 && clock.elapsed() < 30000 &&
           !p->waitForFinished(0))
        QThread::msleep(20);
    ASSERT_EQ(fileSize(path("update.sh")), 1'500'000) << "the transfer never got half way";
    ftp->kill();
    r = finish(*p);
    ASSERT_TRUE(r.finished);
    const QStringList lines = logLines();
    EXPECT_EQ(lines.count(QStringLiteral("FTP Download...")), 1) << lines.join(u'|').toStdString();
    EXPECT_EQ(lines.count(QStringLiteral("FTP Connect...")), 3);
    EXPECT_GE(lines.count(QStringLiteral("刪除更新檔下載不完全")), 3);
    expectGaveUpCleanly(lines);
}

// Nothing listens on the FTP port: three refused connections, nothing downloaded.
TEST_F(FaultE2E, FtpPortClosed) {
    putUpdate(10'000);
    const int port = closedPort();
    ASSERT_GT(port, 0);
    writeServerIni(port);
    QElapsedTimer clock;
    clock.start();
    r = run();
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(logLines(), headLines(10'000) + failedAttempts(3) +
                              QStringList(QStringLiteral("等 100ms結束程式")));
    expectGaveUpCleanly(logLines());
    EXPECT_LT(clock.elapsed(), 30000) << "a refused connection must not wait for the watchdog";
}

// "會員資料" answers the first connection; the version catalog is then gone or not a database.
// The lookup's error reaches the exception display, no FTP server is contacted, nothing is
// recorded.
TEST_F(FaultE2E, DatabaseGoneAfterTheFirstConnection) {
    const QString versions = path("catalogs") + QStringLiteral("/軟體版本.sqlite3");
    for (const bool garbage : {false, true}) {
        SCOPED_TRACE(garbage ? "version catalog is not a database" : "version catalog missing");
        putUpdate(10'000);
        ASSERT_TRUE(QFile::exists(versions));
        ASSERT_TRUE(QFile::remove(versions));
        if (garbage)
            writeAll(versions, QByteArray(4096, '\x5a'));
        startFtp();
        r = run();
        ASSERT_TRUE(r.finished);
        // The exception display: the error's own message under the program's name.
        EXPECT_TRUE(r.out.startsWith(QStringLiteral("[pc_velka_setup] "))) << r.out.toStdString();
        EXPECT_TRUE(r.out.contains(garbage ? QStringLiteral("not a database")
                                           : QStringLiteral("軟體版本.sqlite3")))
            << r.out.toStdString();
        EXPECT_FALSE(r.out.contains(QStringLiteral("發現新的診斷程式版本!")));
        QStringList expected = headLines(10'000).mid(0, 9); // up to "-LoadIni"
        EXPECT_EQ(logLines(), expected);
        EXPECT_TRUE(traceLines().isEmpty());
        expectUntouched();
        ftp.reset();
    }
}

// A file-size limit (RLIMIT_FSIZE) below the update's size: the launcher keeps running (a write
// beyond the limit fails instead of killing it), the partial file is deleted each time, and the
// program gives up. Run with SIGXFSZ at its default action, as a user's ulimit would leave it.
TEST_F(FaultE2E, DiskRefusesWritesDuringTheDownload) {
    putUpdate(2'000'000);
    startFtp();
    auto p = start({QStringLiteral("prlimit"), QStringLiteral("--fsize=300000")});
    r = finish(*p);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << "the launcher was killed (SIGXFSZ?)";
    const QStringList lines = logLines();
    EXPECT_EQ(lines.count(QStringLiteral("FTP Download...")), 3) << lines.join(u'|').toStdString();
    // The local cause, once per attempt, not mistaken for the server's.
    EXPECT_EQ(lines.count(QStringLiteral("Cannot write file ") + QDir(dir.path()).canonicalPath() +
                          QStringLiteral("/update.sh: File too large")),
              3);
    expectGaveUpCleanly(lines);
    EXPECT_TRUE(filesStartingWith(QStringLiteral("velka.ini.")).isEmpty());
}

// A server that never stops sending, under a file-size limit of exactly the update's size: a
// single byte written past the size would fail the write and change the road. Each attempt is
// cut at the size, fails as a wrong size does, and does not resume; the third gives up.
TEST_F(FaultE2E, ServerThatNeverStopsSending) {
    putUpdate(200'000);
    startFtp(QStringLiteral("flood"));
    auto p = start({QStringLiteral("prlimit"), QStringLiteral("--fsize=200000")});
    r = finish(*p);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0);
    const QStringList lines = logLines();
    const QStringList expected =
        headLines(200'000) +
        ExpectedLog::failedAttempts(3, attemptLines().mid(0, 11) +
                                           QStringList{QStringLiteral("更新檔下載不完全")}) +
        QStringList{QStringLiteral("等 100ms結束程式")};
    EXPECT_EQ(lines, expected) << lines.join(u'|').toStdString();
    EXPECT_EQ(traceLines().filter(QStringLiteral("REST ")).size(), 0);
    expectGaveUpCleanly(lines);
}

// A server that sends 100 bytes every half second never trips the watchdog's packet rules (no
// silence of 9 s; 200 bytes a second, far above the floor of 4 KiB a minute), and would take 50 s
// for the 10,000 bytes. With MinAverageRate=1000 and AttemptSlack=2 the attempt's whole deadline
// is 2 + 10 = 12 s: the first attempt ends there with the stall's lines, the second (served
// normally) installs the update.
TEST_F(FaultE2E, TrickleEndsAtTheAttemptsWholeDeadline) {
    const QByteArray served = putUpdate(10'000);
    ftpServerArgs = QStringList{QStringLiteral("--every"), QStringLiteral("0.5")};
    ftpExtra = "MinAverageRate=1000\r\nAttemptSlack=2\r\n";
    startFtp(QStringLiteral("trickle"), 100);
    r = run();
    std::printf("[ measured ] trickled update: the run took %lld ms\n",
                static_cast<long long>(r.elapsedMs));
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(logLines(),
              headLines(10'000) + ExpectedLog::stalledAttempt() + attemptLines() + successTail());
    expectInstalled(served);
    // The deadline, then the clean-up and a whole second attempt with its fixed sleeps (3.5 s).
    EXPECT_GE(r.elapsedMs, 12'000);
    EXPECT_LT(r.elapsedMs, 35'000);
}

// A size row of 0 or less names no update: refused when the row is read, in one log line, with
// the message for an update file that does not exist; no FTP connection is even opened (a
// listener on the configured port is never called), velka.ini keeps its bytes.
TEST_F(FaultE2E, SizeOfZeroOrLessIsRefusedBeforeAnyConnection) {
    for (const qint64 size : {qint64(0), qint64(-5)}) {
        SCOPED_TRACE(size);
        QFile::remove(path("DLrec.txt"));
        seedCatalogs(QStringLiteral("update.sh"), size);
        writeAll(path("ftproot/tarn/update.sh"), updateScript(1000));
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(listener, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(listener, 4), 0);
        ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
        writeServerIni(ntohs(a.sin_port));
        r = run();
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0);
        std::printf("[ measured ] size %lld refused: the run took %lld ms\n",
                    static_cast<long long>(size), static_cast<long long>(r.elapsedMs));
        // A connection would wait in the backlog, readable, even though nobody accepts it.
        pollfd pending{listener, POLLIN, 0};
        EXPECT_EQ(::poll(&pending, 1, 0), 0) << "the launcher connected to the FTP port";
        ::close(listener);
        const QStringList refused = {QStringLiteral("Update file size refused: %1").arg(size),
                                     QStringLiteral("等 100ms結束程式")};
        EXPECT_EQ(logLines(), headLines(size).mid(0, 9) + refused);
        EXPECT_TRUE(r.out.contains(QStringLiteral("版本:13\r\n更新檔名不存在!")))
            << r.out.toStdString();
        EXPECT_FALSE(r.out.contains(kGiveUp));
        expectUntouched();
    }
}

// velka.ini cannot be replaced: the update is installed and run once, the file keeps its
// bytes, and the INI writer leaves no temporary file behind. The version is not recorded, so the
// update would be offered again next time: the log and the final message say so instead of
// reporting a complete update.
TEST_F(FaultE2E, ReadOnlyVelkaIni) {
    const QByteArray served = putUpdate(200'000);
    startFtp();
    makeImmutable(path("velka.ini"));
    if (IsSkipped() || HasFatalFailure())
        return;
    r = run();
    ASSERT_TRUE(r.finished);
    const QStringList unrecorded = {QStringLiteral("修改 velka.ini 版本"),
                                    QStringLiteral("velka.ini 版本寫入失敗"),
                                    QStringLiteral("等 100ms結束程式")};
    EXPECT_EQ(logLines(), headLines(served.size()) + attemptLines() + unrecorded);
    EXPECT_TRUE(r.out.endsWith(QStringLiteral("] 軟體更新完成, \r\n 但無法記錄新版本!") +
                               QString(14, QLatin1Char(' ')) + QLatin1Char('\n')))
        << r.out.toStdString();
    EXPECT_EQ(readAll(path("velka.ini")), kIni);
    EXPECT_EQ(readAll(path("marker")), "ran\n");
    EXPECT_FALSE(QFile::exists(path("update.sh")));
    EXPECT_TRUE(filesStartingWith(QStringLiteral("velka.ini.")).isEmpty());
}

// The launcher's folder (its current directory) refuses new files: no DLrec.txt, no update
// file; the program still ends by itself with the give-up message and records nothing.
TEST_F(FaultE2E, ReadOnlyCurrentDirectory) {
    putUpdate(10'000);
    startFtp();
    writeAll(path("ftp-trace.txt"), {}); // the server appends to it; it cannot create it
    makeImmutable(dir.path());
    if (IsSkipped() || HasFatalFailure())
        return;
    r = run();
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(QFile::exists(path("DLrec.txt")));
    EXPECT_TRUE(r.out.contains(QStringLiteral("發現新的診斷程式版本!"))) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(kGiveUp + QLatin1Char('\n'))) << r.out.toStdString();
    expectUntouched();
    EXPECT_TRUE(filesStartingWith(QStringLiteral("velka.ini.")).isEmpty());
}

// The program's folder refuses new files but DLrec.txt is there already: each attempt's log
// names the local cause once, right after the transfer that met it, and the attempts go on as
// they always did until the give-up.
TEST_F(FaultE2E, ReadOnlyProgramFolderIsNamedInTheLog) {
    putUpdate(10'000);
    startFtp();
    writeAll(path("ftp-trace.txt"), {});
    writeAll(path("DLrec.txt"), {});
    makeImmutable(dir.path());
    if (IsSkipped() || HasFatalFailure())
        return;
    r = run();
    ASSERT_TRUE(r.finished);
    const QStringList lines = logLines();
    const QString cause = QStringLiteral("Cannot create file ") + QDir(dir.path()).canonicalPath() +
                          QStringLiteral("/update.sh: Operation not permitted");
    EXPECT_EQ(lines.count(cause), 3) << lines.join(u'|').toStdString();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines[i] == cause) {
            EXPECT_EQ(lines[i - 1], QStringLiteral("FTP Download..."));
        }
    }
    EXPECT_EQ(lines.count(QStringLiteral("FTP DownloadRestore...")), 3);
    EXPECT_EQ(lines.count(QStringLiteral("更新檔不存在")), 3);
    expectGaveUpCleanly(lines);
}

// SIGTERM while the file is half written: the program ends by the signal, the partial file is
// gone and velka.ini keeps its bytes.
TEST_F(FaultE2E, TerminatedMidTransferLeavesNoPartialFile) {
    putUpdate(3'000'000);
    startFtp(QStringLiteral("stall"), 1'000'000);
    auto p = start();
    QElapsedTimer clock;
    clock.start();
    while (fileSize(path("update.sh")) < 1'000'000 && clock.elapsed() < 30000 &&
           !p->waitForFinished(0))
        QThread::msleep(20);
    ASSERT_EQ(fileSize(path("update.sh")), 1'000'000) << "the transfer never got that far";
    ::kill(static_cast<pid_t>(p->processId()), SIGTERM);
    r = finish(*p, 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(p->exitStatus(), QProcess::CrashExit);
    EXPECT_FALSE(QFileInfo::exists(path("update.sh")));
    EXPECT_EQ(readAll(path("velka.ini")), kIni);
    EXPECT_FALSE(QFile::exists(path("marker")));
    EXPECT_EQ(logLines().last(), QStringLiteral("FTP Download..."));
}

// SIGKILL while velka.ini is being saved: the launcher is stopped (SIGSTOP) when the INI
// writer's temporary file appears (at once, 2 ms and 10 ms later), then killed. velka.ini must
// hold either all the old or all the new bytes, never a part, and the temporary file left is
// gone after the next run's save. A large file (the reader's limit
// is 4 MiB) makes the write long enough to be caught in it.
TEST_F(FaultE2E, KillWhileSavingVelkaIniNeverTruncatesIt) {
    QByteArray big = kIni;
    for (int n = 0; big.size() < 4'000'000; ++n) // the INI reader takes files up to 4 MiB
        big += "; comment line " + QByteArray::number(n).rightJustified(10, '0') + " kept\r\n";
    QByteArray updated = big;
    updated.replace("Pc1=12", "Pc1=13");
    int caughtBeforeRename = 0;
    bool cleanedUp = false;
    for (const int delayUs : {0, 2000, 10000}) {
        SCOPED_TRACE(delayUs);
        writeAll(path("velka.ini"), big);
        QFile::remove(path("marker"));
        for (const QString& t : filesStartingWith(QStringLiteral("velka.ini.")))
            QFile::remove(path(t.toLatin1().constData()));
        putUpdate(20'000);
        startFtp();
        const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, QFile::encodeName(dir.path()).constData(), IN_CREATE),
                  0);
        auto p = start();
        const pid_t pid = static_cast<pid_t>(p->processId());
        int seen = 0;
        QString temp;
        QElapsedTimer clock;
        clock.start();
        while (seen < 1 && clock.elapsed() < 60000 && !p->waitForFinished(0)) {
            pollfd pfd{watch, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            alignas(inotify_event) char buf[4096];
            const ssize_t n = ::read(watch, buf, sizeof buf);
            for (ssize_t off = 0; off < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                const QString name = ev->len ? QFile::decodeName(ev->name) : QString();
                if (name.startsWith(QStringLiteral("velka.ini.")) && ++seen == 1) {
                    if (delayUs > 0)
                        ::usleep(delayUs);
                    ::kill(pid, SIGSTOP);
                    temp = name;
                    break;
                }
                off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        ::close(watch);
        if (seen != 1) {
            r = finish(*p, 1000);
            FAIL() << "the launcher never saved velka.ini: " << logLines().join(u'|').toStdString()
                   << r.out.toStdString();
        }
        const qint64 tempSize = fileSize(path(temp.toLatin1().constData()));
        std::fprintf(stderr,
                     "stopped %d us after the temporary file appeared: %lld of %lld bytes\n",
                     delayUs, static_cast<long long>(tempSize), static_cast<long long>(big.size()));
        const bool beforeRename = tempSize >= 0;
        caughtBeforeRename += beforeRename;
        ::kill(pid, SIGKILL);
        r = finish(*p, 10000);
        const QByteArray after = readAll(path("velka.ini"));
        if (beforeRename) {
            EXPECT_TRUE(after == big) << "replaced before its new contents were complete";
        }
        EXPECT_TRUE(after == big || after == updated)
            << "velka.ini is " << after.size() << " bytes, neither the old nor the new file";
        EXPECT_EQ(readAll(path("marker")), "ran\n");
        ftp.reset();
        if (beforeRename && !cleanedUp) {
            // What the killed save left is removed by the next one, which records the version.
            ASSERT_FALSE(filesStartingWith(QStringLiteral("velka.ini.saving-")).isEmpty());
            putUpdate(20'000);
            startFtp();
            r = run();
            ASSERT_TRUE(r.finished);
            EXPECT_EQ(readAll(path("velka.ini")), updated);
            EXPECT_TRUE(filesStartingWith(QStringLiteral("velka.ini.")).isEmpty());
            cleanedUp = true;
            ftp.reset();
        }
    }
    // At least one kill must have come while the temporary file was still unrenamed (written
    // or being written), the moment where writing velka.ini in place would have truncated it.
    EXPECT_GE(caughtBeforeRename, 1);
}

// The launcher ignores SIGXFSZ so that a write past a file-size limit fails instead of killing
// it; the programs it starts (pc1.exe, the update) must not inherit that.
TEST(FileSizeSignal, IgnoredHereDefaultInStartedPrograms) {
    const auto ignoresXfsz = [](const QByteArray& status) {
        const qsizetype at = status.indexOf("SigIgn:");
        const QByteArray mask = status.mid(at + 7, status.indexOf('\n', at) - at - 7).trimmed();
        return at >= 0 && (mask.toULongLong(nullptr, 16) >> (SIGXFSZ - 1) & 1) != 0;
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString script = dir.filePath(QStringLiteral("child.sh"));
    writeAll(script, "#!/bin/sh\ncat /proc/self/status > \"$(dirname \"$0\")/status\"\n", true);
    IgnoreFileSizeSignal();
    EXPECT_TRUE(ignoresXfsz(readAll(QStringLiteral("/proc/self/status"))));
    const auto child = StartProgram(script);
    ASSERT_TRUE(child.has_value());
    WaitForProcess(*child);
    const QByteArray status = readAll(dir.filePath(QStringLiteral("status")));
    ASSERT_TRUE(status.contains("SigIgn:"));
    EXPECT_FALSE(ignoresXfsz(status));
    std::signal(SIGXFSZ, SIG_DFL);
}

// A signed update whose file at the public path is replaced, from the moment its download is
// complete (and a while later), by an unsigned one of the same size, again and again, until
// the launcher ends: the unsigned bytes never run, and the update is reported and recorded
// only after the signed bytes ran. The launcher judges and runs a private copy of the file it
// created; a swap before the copy fails the attempt, one after it does not matter.
TEST_F(FaultE2E, UpdateSwappedAfterTheDownloadNeverRuns) {
    int refused = 0;
    for (const int delayMs : {0, 400, 800, 1200, 1600}) {
        SCOPED_TRACE(delayMs);
        writeAll(path("velka.ini"), kIni);
        for (const char* name : {"marker", "installed.bin", "evil", "DLrec.txt", "update.sh"})
            QFile::remove(path(name));
        for (const QString& f : filesStartingWith(QStringLiteral("update.sh.set-aside-")))
            QFile::remove(path(f.toLatin1().constData()));
        const QByteArray served = putUpdate(200'000);
        ASSERT_NO_FATAL_FAILURE(signUpdate(served));
        const QByteArray unsigned_ = updateScript(served.size(), "echo evil >> \"$here/evil\"\n");
        ASSERT_EQ(unsigned_.size(), served.size());
        startFtp();
        Swapper swapper(dir.path(), unsigned_);
        QElapsedTimer clock;
        clock.start();
        auto p = start();
        ASSERT_TRUE(waitFor(*p, [&] { return fileSize(path("update.sh")) == served.size(); }))
            << "the download never completed";
        const qint64 downloadedMs = clock.elapsed();
        QThread::msleep(static_cast<unsigned long>(delayMs));
        swapper.start();
        r = finish(*p);
        swapper.stop();
        ASSERT_TRUE(r.finished);
        const QStringList lines = logLines();
        const bool installed = r.out.contains(QStringLiteral("軟體更新完成"));
        std::fprintf(stderr,
                     "swaps from %d ms after the download (at %lld ms): %d swaps, run %lld ms, %s, "
                     "%lld refused as another file, %lld signatures refused\n",
                     delayMs, static_cast<long long>(downloadedMs), swapper.swaps(),
                     static_cast<long long>(clock.elapsed()), installed ? "installed" : "gave up",
                     static_cast<long long>(
                         lines.filter(QStringLiteral("Not the file this download created")).size()),
                     static_cast<long long>(
                         lines.filter(QStringLiteral("Update signature not verified")).size()));
        EXPECT_FALSE(QFile::exists(path("evil"))) << "the unsigned update ran";
        EXPECT_GT(swapper.swaps(), 0);
        // Every start of the update follows a verified signature in its attempt.
        QString last;
        for (const QString& line : lines) {
            if (line == QStringLiteral("等待解壓...")) {
                EXPECT_EQ(last, QStringLiteral("Update signature verified"));
            }
            if (!line.startsWith(QStringLiteral("Existing file set aside")))
                last = line;
        }
        if (installed) {
            EXPECT_TRUE(readAll(path("installed.bin")) == served);
            EXPECT_EQ(readAll(path("marker")), "ran\n");
            QByteArray ini = kIni;
            ini.replace("Pc1=12", "Pc1=13");
            EXPECT_EQ(readAll(path("velka.ini")), ini);
        } else {
            EXPECT_EQ(readAll(path("velka.ini")), kIni);
            EXPECT_FALSE(lines.contains(QStringLiteral("修改 velka.ini 版本")));
            ++refused;
        }
        EXPECT_TRUE(runFolders().isEmpty()) << runFolders().join(u' ').toStdString();
        ftp.reset();
    }
    // The race must have been met at least once before the copy was made.
    EXPECT_GE(refused, 1);
}

// SIGTERM while the signature file arrives (the server holds its transfer after 20 bytes): the
// program ends by the signal, and neither the update, nor the signature file, nor the private
// folder is left.
TEST_F(FaultE2E, TerminatedWhileTheSignatureArrivesLeavesNoFile) {
    const QByteArray served = putUpdate(200'000);
    ASSERT_NO_FATAL_FAILURE(signUpdate(served));
    startFtp(QStringLiteral("stall"), 20, QStringLiteral("velkaftp"), 2);
    auto p = start();
    QString sig;
    ASSERT_TRUE(waitFor(*p, [&] {
        for (const QString& folder : runFolders()) {
            sig = path((folder + QStringLiteral("/update.sh.sig")).toLatin1().constData());
            if (fileSize(sig) == 20)
                return true;
        }
        return false;
    })) << logLines().join(u'|').toStdString();
    ::kill(static_cast<pid_t>(p->processId()), SIGTERM);
    r = finish(*p, 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(p->exitStatus(), QProcess::CrashExit);
    EXPECT_FALSE(QFileInfo::exists(sig));
    EXPECT_TRUE(runFolders().isEmpty()) << runFolders().join(u' ').toStdString();
    EXPECT_FALSE(QFileInfo::exists(path("update.sh")));
    EXPECT_EQ(readAll(path("velka.ini")), kIni);
    EXPECT_FALSE(QFile::exists(path("marker")));
    EXPECT_EQ(logLines().last(), QStringLiteral("FTP Download signature..."));
}

// The launcher ended while the update runs. SIGTERM: it removes the update and its private
// copy and folder, then ends; the update itself runs on to its end. SIGKILL leaves the folder,
// which the next start removes. Either way velka.ini is not written, and the next start offers
// the update again and records it.
TEST_F(FaultE2E, LauncherEndedWhileTheUpdateRuns) {
    for (const int signo : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signo);
        writeAll(path("velka.ini"), kIni);
        for (const char* name : {"marker", "started", "DLrec.txt"})
            QFile::remove(path(name));
        const QByteArray script = updateScript(50'000, "touch \"$here/started\"\nsleep 2\n");
        writeAll(path("ftproot/tarn/update.sh"), script);
        seedCatalogs(QStringLiteral("update.sh"), script.size());
        startFtp();
        auto p = start();
        ASSERT_TRUE(waitFor(*p, [&] { return QFile::exists(path("started")); }));
        const QStringList folders = runFolders();
        ASSERT_EQ(folders.size(), 1);
        ::kill(static_cast<pid_t>(p->processId()), signo);
        r = finish(*p, 10000);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(p->exitStatus(), QProcess::CrashExit);
        EXPECT_FALSE(QFileInfo::exists(path("update.sh")) && signo == SIGTERM);
        EXPECT_EQ(runFolders().isEmpty(), signo == SIGTERM);
        EXPECT_EQ(readAll(path("velka.ini")), kIni);
        EXPECT_EQ(logLines().last(), QStringLiteral("執行-解壓..."));
        // Not ended by the launcher's end: it finishes its work.
        QElapsedTimer clock;
        clock.start();
        while (!QFile::exists(path("marker")) && clock.elapsed() < 10000)
            QThread::msleep(50);
        EXPECT_EQ(readAll(path("marker")), "ran\n");

        QFile::remove(path("marker"));
        r = run();
        ASSERT_TRUE(r.finished);
        const QStringList lines = logLines();
        EXPECT_EQ(lines.contains(QStringLiteral("Leftover folder removed: ") +
                                 QDir(dir.path()).canonicalPath() + QLatin1Char('/') +
                                 folders.first()),
                  signo == SIGKILL)
            << lines.join(u'|').toStdString();
        EXPECT_TRUE(r.out.contains(QStringLiteral("軟體更新完成"))) << r.out.toStdString();
        EXPECT_EQ(readAll(path("marker")), "ran\n");
        EXPECT_TRUE(runFolders().isEmpty());
        ftp.reset();
    }
}

} // namespace
