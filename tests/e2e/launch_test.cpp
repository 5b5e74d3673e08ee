// The built program run as a child process with --unattended in a temporary folder, against
// the interface simulator on a pseudo-terminal (or against an empty device folder).
#include "platform/Big5.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

namespace {

const QString kProgram = QStringLiteral(PCV_BINARY_DIR "/src/pc_velka_setup");
const QString kSimulator = QStringLiteral(PCV_SOURCE_DIR "/tools/interface_sim.py");

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeAll(const QString& path, const QByteArray& bytes, bool executable = false) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(path);
    ASSERT_EQ(f.write(bytes), bytes.size());
    f.close();
    if (executable)
        f.setPermissions(f.permissions() | QFile::ExeOwner);
}

// The interface simulator on a pty, linked as COM<port> in a devices folder.
class Simulator {
public:
    Simulator(const QString& devices, int port, int deviceType) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral("python3"),
                       {kSimulator, QStringLiteral("--devices"), devices, QStringLiteral("--port"),
                        QString::number(port), QStringLiteral("--device-type"),
                        QString::number(deviceType)});
        QByteArray out;
        while (!out.contains('\n') && process_.waitForReadyRead(5000))
            out += process_.readAllStandardOutput();
        ready_ = out.startsWith("ready ");
    }
    ~Simulator() {
        process_.terminate();
        if (!process_.waitForFinished(3000))
            process_.kill();
        process_.waitForFinished(1000);
    }
    bool ready() const { return ready_; }

private:
    QProcess process_;
    bool ready_ = false;
};

struct Result {
    bool finished = false;
    int exitCode = -1;
    QString out;
    qint64 elapsedMs = 0;
};

class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QFileInfo(kProgram).isExecutable()) << "build pc_velka_setup first";
        devices = dir.filePath(QStringLiteral("devices"));
        ASSERT_TRUE(QDir().mkpath(devices));
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("catalogs"))));
        // The program is copied into the folder, as an installation would have it; its
        // server.ini points the serial search at the devices folder and the database at an
        // empty catalog folder (an unreachable server, the same on every machine).
        ASSERT_TRUE(QFile::copy(kProgram, path("pc_velka_setup")));
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

    Result run(const QStringList& extra = {}) {
        QProcess p;
        p.setWorkingDirectory(dir.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM")); // --unattended must choose offscreen
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::SeparateChannels);
        QElapsedTimer clock;
        clock.start();
        p.start(path("pc_velka_setup"), QStringList{QStringLiteral("--unattended")} + extra);
        Result r;
        r.finished = p.waitForFinished(30000);
        r.elapsedMs = clock.elapsed();
        if (!r.finished) {
            p.kill();
            p.waitForFinished(2000);
        }
        r.exitCode = p.exitCode();
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        return r;
    }

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
    for (const auto& pic : pictures) {
        const QImage image(prefix.filePath(QString::fromLatin1(pic.file)), "JPG");
        EXPECT_FALSE(image.isNull()) << pic.file;
        EXPECT_EQ(image.size(), pic.size) << pic.file;
    }
    EXPECT_TRUE(readAll(prefix.filePath(QStringLiteral("server.ini"))).contains("[Ftp]"));
}
