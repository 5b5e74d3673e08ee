#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Termination.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
    }
    void TearDown() override { QDir::setCurrent(oldCwd); }

    static void script(const QString& name, const QByteArray& body, bool executable = true) {
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(body);
        f.close();
        auto perms = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            perms |= QFile::ExeOwner;
        f.setPermissions(perms);
    }
    static QByteArray read(const QString& name) {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir dir;
    QString oldCwd;
};

} // namespace

TEST_F(ProcessTest, RunsProgramFromCurrentDirectoryAndWaitsForIt) {
    // The script sleeps before leaving its mark: returning early from the wait would miss it.
    script(QStringLiteral("pc1.exe"),
           "#!/bin/sh\nsleep 0.3\necho \"ran $# $(pwd)\" >> marker\nexit 3\n");
    const auto start = std::chrono::steady_clock::now();
    const auto handle = StartProgram(QStringLiteral("pc1.exe"));
    ASSERT_TRUE(handle.has_value());
    EXPECT_EQ(WaitForProcess(*handle), 3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(read(QStringLiteral("marker")), "ran 0 " + QFile::encodeName(dir.path()) + "\n");
    // A second wait on the same, already reaped handle does not block.
    EXPECT_EQ(WaitForProcess(*handle), -1);
}

TEST_F(ProcessTest, UnstartableFilesFail) {
    script(QStringLiteral("plain.txt"), "#!/bin/sh\nexit 0\n", false);
    script(QStringLiteral("noshebang"),
           "\x7F"
           "ELF garbage",
           true);
    script(QStringLiteral("badinterp"), "#!/nonexistent/interpreter\n", true);
    QDir().mkdir(QStringLiteral("folder.exe"));
    QFile::setPermissions(QStringLiteral("folder.exe"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    for (const char* name :
         {"missing.exe", "plain.txt", "noshebang", "badinterp", "folder.exe", ""})
        EXPECT_FALSE(StartProgram(QString::fromLatin1(name)).has_value()) << name;
}

TEST_F(ProcessTest, NameIsNotLookedUpOnPath) {
    // "sh" exists on PATH but not in the current directory.
    EXPECT_FALSE(StartProgram(QStringLiteral("sh")).has_value());
}

TEST_F(ProcessTest, SignalEndsWaitWithSignalCode) {
    script(QStringLiteral("self_kill"), "#!/bin/sh\nkill -TERM $$\nsleep 5\n");
    const auto handle = StartProgram(QStringLiteral("self_kill"));
    ASSERT_TRUE(handle.has_value());
    EXPECT_EQ(WaitForProcess(*handle), 128 + SIGTERM);
}

TEST_F(ProcessTest, WaitSurvivesInterruptingSignals) {
    // An interval timer interrupts waitpid every 20 ms; the wait must still last until the
    // child has ended.
    struct sigaction onAlarm {};
    onAlarm.sa_handler = [](int) {};
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGALRM, &onAlarm, &old), 0);
    itimerval every20ms{{0, 20000}, {0, 20000}};
    itimerval off{};
    script(QStringLiteral("slow"), "#!/bin/sh\nsleep 0.3\ntouch done\n");
    const auto handle = StartProgram(QStringLiteral("slow"));
    ASSERT_TRUE(handle.has_value());
    setitimer(ITIMER_REAL, &every20ms, nullptr);
    const int code = WaitForProcess(*handle);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(QFile::exists(QStringLiteral("done")));
}

// A link at the update file's path is never followed: not to write, not to make executable,
// not to delete (the link goes, the target stays), and it is not an existing file.
TEST_F(ProcessTest, FileCallsNeverFollowALink) {
    script(QStringLiteral("target"), "keep", false);
    ASSERT_TRUE(QFile::link(QStringLiteral("target"), QStringLiteral("link")));
    EXPECT_FALSE(FileExists(QStringLiteral("link")));
    EXPECT_EQ(FileSize(QStringLiteral("link")), 0);
    EXPECT_FALSE(MakeExecutableByOwner(QStringLiteral("link")));
    EXPECT_FALSE(QFile::permissions(QStringLiteral("target")) & QFile::ExeOwner);
    EXPECT_EQ(OpenFileForWriting(QStringLiteral("link"), WriteOpenMode::CreateOrTruncate).fd, -1);
    EXPECT_EQ(CreateFileStream(QStringLiteral("link")), nullptr);
    EXPECT_TRUE(DeleteFile(QStringLiteral("link")));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("link")));
    EXPECT_EQ(read(QStringLiteral("target")), "keep");
    EXPECT_TRUE(FileExists(QStringLiteral("target")));
    EXPECT_TRUE(MakeExecutableByOwner(QStringLiteral("target")));
    EXPECT_TRUE(QFile::permissions(QStringLiteral("target")) & QFile::ExeOwner);
}

// SIGTERM, SIGINT and SIGHUP remove the registered file, then end the program as they would
// have; an ignored signal stays ignored; nothing registered, nothing removed.
TEST_F(ProcessTest, TerminationRemovesTheRegisteredFile) {
    struct Case {
        int signo;
        bool registered;
        bool ignored;
    };
    for (const Case c :
         {Case{SIGTERM, true, false}, Case{SIGINT, true, false}, Case{SIGHUP, true, false},
          Case{SIGTERM, false, false}, Case{SIGHUP, true, true}}) {
        SCOPED_TRACE(c.signo);
        script(QStringLiteral("part"), "half", false);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (c.ignored)
                std::signal(c.signo, SIG_IGN);
            RemoveOnTermination(dir.filePath(QStringLiteral("other")));
            if (c.registered)
                RemoveOnTermination(dir.filePath(QStringLiteral("part")));
            else
                KeepOnTermination();
            ::raise(c.signo);
            ::_exit(7);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        if (c.ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signo) << status;
        }
        EXPECT_EQ(QFile::exists(QStringLiteral("part")), !c.registered || c.ignored);
    }
}
