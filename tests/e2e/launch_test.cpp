// The built program run as a child process with --unattended in a temporary folder, against
// the interface simulator on a pseudo-terminal (or against an empty device folder).
#include "common/e2e_fixture.h"
#include "platform/Big5.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSize>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        devices = dir.filePath(QStringLiteral("devices"));
        ASSERT_TRUE(QDir().mkpath(devices));
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("catalogs"))));
        // The program is copied into the folder, as an installation would have it; its
        // server.ini points the serial search at the devices folder and the database at an
        // empty catalog folder (an unreachable server, the same on every machine).
        ASSERT_NO_FATAL_FAILURE(installProgram(dir));
        writeAll(path("server.ini"),
                 "[Server]\r\nHost=127.0.0.1\r\n[Database]\r\nBackend=sqlite\r\nDirectory=" +
                     QFile::encodeName(dir.filePath(QStringLiteral("catalogs"))) +
                     "\r\n[Interface]\r\nDevices=" + QFile::encodeName(devices) + "\r\n");
    }

    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

    // pc1.exe: notes whether the log already exists while it runs (it must not: the update
    // check comes after the wait), then sleeps before leaving its mark, so a launcher that
    // did not wait would be past the update check before the mark appears.
    void makePc1() {
        writeAll(path("pc1.exe"),
                 "#!/bin/sh\n"
                 "[ -e DLrec.txt ] && echo log-during-run >> marker\n"
                 "sleep 0.4\n"
                 "echo ran >> marker\n",
                 true);
    }

    Result run(const QStringList& extra = {}) { return runInstalled(dir, extra, 30000); }

    QTemporaryDir dir;
    QString devices;
};

const QByteArray kLastLogLine = toBig5(QStringLiteral("等 100ms結束程式\r\n"));

} // namespace

TEST_F(LaunchTest, NoInterfaceShowsSetErrorAndTouchesNothing) {
    makePc1();
    const QByteArray earlier = "an earlier run's log\r\n";
    writeAll(path("DLrec.txt"), earlier);
    const Result r = run();
    ASSERT_TRUE(r.finished) << "the program must end by itself";
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, QStringLiteral("[Set error] Interface install fail !\n"));
    EXPECT_EQ(readAll(path("DLrec.txt")), earlier);
    EXPECT_FALSE(QFile::exists(path("marker"))) << "pc1.exe must not be started";
}

TEST_F(LaunchTest, NoInterfaceCreatesNoLog) {
    const Result r = run();
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.out, QStringLiteral("[Set error] Interface install fail !\n"));
    EXPECT_FALSE(QFile::exists(path("DLrec.txt")));
}

// A server.ini that is there but not read says so, naming the file and why, and the program
// ends: it never goes on with the built-in server and logins (nor reports a missing interface).
TEST_F(LaunchTest, RefusedServerIniSaysWhy) {
    Simulator sim(devices, 4, 5);
    ASSERT_TRUE(sim.ready());
    makePc1();
    const QString ini = QFileInfo(path("server.ini")).canonicalFilePath();
    const struct {
        const char* name;
        std::function<void()> make;
        QString reason;
    } cases[] = {
        {"over 4 MiB",
         [&] {
             writeAll(path("server.ini"),
                      readAll(path("server.ini")) + QByteArray(4 * 1024 * 1024, ';'));
         },
         QStringLiteral("larger than 4 MiB")},
        {"a FIFO",
         [&] {
             QFile::remove(path("server.ini"));
             ASSERT_EQ(::mkfifo(QFile::encodeName(path("server.ini")).constData(), 0600), 0);
         },
         QStringLiteral("not a regular file")},
        {"a folder",
         [&] {
             QFile::remove(path("server.ini"));
             ASSERT_TRUE(QDir().mkdir(path("server.ini")));
         },
         QStringLiteral("not a regular file")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        const Result r = run();
        ASSERT_TRUE(r.finished) << "the program must end by itself";
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.out.endsWith(QStringLiteral("] The settings file ") + ini +
                                   QStringLiteral(" was not read: ") + c.reason + u'\n'))
            << r.out.toStdString();
        EXPECT_FALSE(r.out.contains(QStringLiteral("Interface install fail")));
        EXPECT_FALSE(QFile::exists(path("marker"))) << "pc1.exe must not be started";
        EXPECT_FALSE(QFile::exists(path("DLrec.txt")));
    }
}

TEST_F(LaunchTest, DeviceType5RunsPc1ThenTheUpdateCheck) {
    Simulator sim(devices, 4, 5);
    ASSERT_TRUE(sim.ready());
    makePc1();
    const Result r = run();
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readAll(path("marker")), QByteArray("ran\n"));
    EXPECT_GE(r.elapsedMs, 400) << "the launcher must wait for pc1.exe";
    EXPECT_FALSE(r.out.contains(QStringLiteral("Interface install fail")));
    EXPECT_FALSE(r.out.contains(QStringLiteral("Could not create Process.")));
    // The update check ran after pc1.exe: the log exists now, and pc1.exe did not see it.
    const QByteArray log = readAll(path("DLrec.txt"));
    EXPECT_TRUE(log.startsWith("Ver:2.4\r\n")) << log.constData();
    EXPECT_TRUE(log.endsWith(kLastLogLine)) << log.constData();
}

TEST_F(LaunchTest, DeviceType1IsTheOtherProductLine) {
    Simulator sim(devices, 30, 1);
    ASSERT_TRUE(sim.ready());
    makePc1();
    const Result r = run();
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(readAll(path("marker")), QByteArray("ran\n"));
    EXPECT_TRUE(readAll(path("DLrec.txt")).startsWith("Ver:2.4\r\n"));
}

TEST_F(LaunchTest, OtherDeviceTypesDoNothing) {
    for (int type : {2, 0, 255}) {
        Simulator sim(devices, 3, type);
        ASSERT_TRUE(sim.ready());
        makePc1();
        const Result r = run();
        ASSERT_TRUE(r.finished) << type;
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, QString()) << type;
        EXPECT_FALSE(QFile::exists(path("marker"))) << type;
        EXPECT_FALSE(QFile::exists(path("DLrec.txt"))) << type;
    }
}

TEST_F(LaunchTest, MissingOrUnrunnablePc1StillRunsTheUpdateCheck) {
    Simulator sim(devices, 5, 5);
    ASSERT_TRUE(sim.ready());
    struct Case {
        const char* name;
        std::function<void()> prepare;
    } cases[] = {
        {"missing", [] {}},
        {"not executable", [&] { writeAll(path("pc1.exe"), "#!/bin/sh\necho ran >> marker\n"); }},
        {"a folder", [&] { QDir().mkdir(path("pc1.exe")); }},
    };
    for (const Case& c : cases) {
        QFile::remove(path("pc1.exe"));
        QDir().rmdir(path("pc1.exe"));
        QFile::remove(path("DLrec.txt"));
        c.prepare();
        const Result r = run();
        ASSERT_TRUE(r.finished) << c.name;
        EXPECT_TRUE(
            r.out.startsWith(QStringLiteral("[pc_velka_setup] Could not create Process.\n")))
            << c.name << ": " << qPrintable(r.out);
        EXPECT_FALSE(QFile::exists(path("marker"))) << c.name;
        const QByteArray log = readAll(path("DLrec.txt"));
        EXPECT_TRUE(log.startsWith("Ver:2.4\r\n")) << c.name;
        EXPECT_TRUE(log.endsWith(kLastLogLine)) << c.name;
    }
}

TEST_F(LaunchTest, WrongCommandLineIsRefused) {
    QProcess p;
    p.start(kProgram, {QStringLiteral("--no-such-option")});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 2);
    EXPECT_TRUE(p.readAllStandardError().contains("Usage:"));
    p.start(kProgram, {QStringLiteral("--version")});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.readAllStandardOutput(), QByteArray("pc_velka_setup 1.6\n"));
}

TEST(InstallLayout, SelfContainedFolder) {
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral("cmake"),
                  {QStringLiteral("--install"), QStringLiteral(PCV_BINARY_DIR),
                   QStringLiteral("--prefix"), prefix.path()});
    ASSERT_TRUE(install.waitForFinished(60000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAll().constData();
    EXPECT_TRUE(QFileInfo(prefix.filePath(QStringLiteral("pc_velka_setup"))).isExecutable());
    const struct {
        const char* file;
        QSize size;
    } pictures[] = {{"Data/main_bg03.jpg", {600, 100}},
                    {"Data/LOGO/velkapc_logo.jpg", {600, 320}},
                    {"img/but_exit.jpg", {90, 40}}};
    // Decoded by ImageMagick in a process of its own: Qt's image plugins loaded into this test
    // process pull in libraries with dynamic thread-local storage, over which the leak checker
    // of the sanitizer build crashes at exit.
    for (const auto& pic : pictures) {
        QProcess identify;
        identify.start(QStringLiteral("identify"),
                       {QStringLiteral("-format"), QStringLiteral("%m %wx%h"),
                        prefix.filePath(QString::fromLatin1(pic.file))});
        ASSERT_TRUE(identify.waitForFinished(30000)) << pic.file;
        EXPECT_EQ(identify.exitCode(), 0) << pic.file;
        EXPECT_EQ(QString::fromLatin1(identify.readAllStandardOutput()),
                  QStringLiteral("JPEG %1x%2").arg(pic.size.width()).arg(pic.size.height()))
            << pic.file;
    }
    EXPECT_TRUE(readAll(prefix.filePath(QStringLiteral("server.ini"))).contains("[Ftp]"));
}
