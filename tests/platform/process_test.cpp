#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Termination.h"
#include "platform/TrustStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

// SIGTERM, SIGINT and SIGHUP remove the registered files, then the registered folders, then
// end the program as they would have; an ignored signal stays ignored; nothing registered,
// nothing removed; a file put in place of the registered one (another identity) stays, and so
// does the folder it keeps from being empty.
TEST_F(ProcessTest, TerminationRemovesTheRegisteredFiles) {
    struct Case {
        int signo;
        bool registered;
        bool ignored;
        bool swapped; // another file stands at the registered name by the time the signal comes
    };
    for (const Case c : {Case{SIGTERM, true, false, false}, Case{SIGINT, true, false, false},
                         Case{SIGHUP, true, false, false}, Case{SIGTERM, false, false, false},
                         Case{SIGHUP, true, true, false}, Case{SIGTERM, true, false, true}}) {
        SCOPED_TRACE(testing::Message() << c.signo << (c.swapped ? " swapped" : ""));
        ASSERT_TRUE(QDir().mkpath(QStringLiteral("run")));
        script(QStringLiteral("part"), "half", false);
        script(QStringLiteral("run/copy"), "copy", false);
        script(QStringLiteral("other"), "other", false);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (c.ignored)
                std::signal(c.signo, SIG_IGN);
            TerminationToken other =
                RemoveFileOnTermination(dir.filePath(QStringLiteral("other")),
                                        *RegularFileIdentity(QStringLiteral("other")));
            KeepOnTermination(other);
            if (c.registered) {
                RemoveFileOnTermination(dir.filePath(QStringLiteral("part")),
                                        *RegularFileIdentity(QStringLiteral("part")));
                RemoveFolderOnTermination(dir.filePath(QStringLiteral("run")));
                RemoveFileOnTermination(dir.filePath(QStringLiteral("run/copy")),
                                        *RegularFileIdentity(QStringLiteral("run/copy")));
            }
            if (c.swapped) {
                // Renamed over it, as a swap would be made (a file made after the removal
                // could be given the freed inode number again).
                script(QStringLiteral("run/new"), "someone else's", false);
                ::rename("run/new", "run/copy");
            }
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
        const bool removed = c.registered && !c.ignored;
        EXPECT_EQ(QFile::exists(QStringLiteral("part")), !removed);
        EXPECT_EQ(QFile::exists(QStringLiteral("run/copy")), !removed || c.swapped);
        EXPECT_EQ(QFileInfo::exists(QStringLiteral("run")), !removed || c.swapped);
        EXPECT_EQ(read(QStringLiteral("other")), "other");
        if (c.swapped) {
            EXPECT_EQ(read(QStringLiteral("run/copy")), "someone else's");
        }
        QDir(QStringLiteral("run")).removeRecursively();
    }
}

// Whatever stands at a name, of any kind, is set aside under the first free numbered name,
// never over anything already there, and keeps its bytes, its mode and its links.
TEST_F(ProcessTest, SetAsideMovesAnythingToTheFirstFreeName) {
    enum Kind { Regular, HardLink, SymLink, DanglingLink, Fifo };
    for (const Kind kind : {Regular, HardLink, SymLink, DanglingLink, Fifo}) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(QDir().mkpath(QStringLiteral("k")));
        ASSERT_TRUE(QDir::setCurrent(dir.filePath(QStringLiteral("k"))));
        script(QStringLiteral("elsewhere"), "theirs", false);
        switch (kind) {
        case Regular:
            script(QStringLiteral("name"), "mine", false);
            break;
        case HardLink:
            ASSERT_EQ(::link("elsewhere", "name"), 0);
            break;
        case SymLink:
            ASSERT_TRUE(QFile::link(QStringLiteral("elsewhere"), QStringLiteral("name")));
            break;
        case DanglingLink:
            ASSERT_TRUE(QFile::link(QStringLiteral("nowhere"), QStringLiteral("name")));
            break;
        case Fifo:
            ASSERT_EQ(::mkfifo("name", 0600), 0);
            break;
        }
        script(QStringLiteral("name.set-aside-1"), "earlier", false);
        ASSERT_TRUE(PathTaken(QStringLiteral("name")));
        QString reason;
        const std::optional<QString> aside = SetAside(QStringLiteral("name"), &reason);
        ASSERT_TRUE(aside.has_value()) << reason.toStdString();
        EXPECT_EQ(*aside, QStringLiteral("name.set-aside-2"));
        EXPECT_FALSE(PathTaken(QStringLiteral("name")));
        EXPECT_EQ(read(QStringLiteral("name.set-aside-1")), "earlier");
        EXPECT_EQ(read(QStringLiteral("elsewhere")), "theirs");
        if (kind == Regular) {
            EXPECT_EQ(read(QStringLiteral("name.set-aside-2")), "mine");
        }
        if (kind == SymLink || kind == DanglingLink) {
            EXPECT_TRUE(QFileInfo(QStringLiteral("name.set-aside-2")).isSymLink());
        }
        EXPECT_FALSE(SetAside(QStringLiteral("name"), &reason).has_value()) << "nothing there";
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        QDir(QStringLiteral("k")).removeRecursively();
    }
}

// The program's own file: created anew only where nothing stands, written and appended only
// while the name stands for it, never through a link; a copy checks the source on its
// descriptor and counts exactly what it copied.
TEST_F(ProcessTest, OwnFileIsWrittenOnlyWhileItIsTheOneCreated) {
    script(QStringLiteral("taken"), "theirs", false);
    OwnFile refused;
    EXPECT_EQ(
        OpenFileForWriting(QStringLiteral("taken"), WriteOpenMode::CreateOrTruncate, &refused).fd,
        -1);
    EXPECT_FALSE(refused.identity.has_value());
    EXPECT_EQ(read(QStringLiteral("taken")), "theirs");
    EXPECT_EQ(
        OpenFileForWriting(QStringLiteral("taken"), WriteOpenMode::AppendExisting, &refused).fd,
        -1);

    OwnFile own;
    int created = 0;
    own.onCreated = [&created] { ++created; };
    OpenedFile f =
        OpenFileForWriting(QStringLiteral("mine"), WriteOpenMode::CreateOrTruncate, &own);
    ASSERT_GE(f.fd, 0) << f.reason.toStdString();
    ASSERT_EQ(::write(f.fd, "abc", 3), 3);
    CloseFileDescriptor(f.fd);
    ASSERT_TRUE(own.identity.has_value());
    EXPECT_EQ(created, 1);
    EXPECT_EQ(QFileInfo(QStringLiteral("mine")).permissions() & 0x0077, 0) << "group/other bits";
    f = OpenFileForWriting(QStringLiteral("mine"), WriteOpenMode::AppendExisting, &own);
    ASSERT_GE(f.fd, 0);
    ASSERT_EQ(::write(f.fd, "de", 2), 2);
    CloseFileDescriptor(f.fd);
    EXPECT_EQ(read(QStringLiteral("mine")), "abcde");

    std::string seen;
    CopyOutcome copy = CopyOwnFile(QStringLiteral("mine"), *own.identity, QStringLiteral("copy"), 4,
                                   [&seen](const char* d, std::int64_t n) { seen.append(d, n); });
    EXPECT_EQ(copy.result, CopyOutcome::Copied);
    EXPECT_EQ(copy.bytes, 4);
    EXPECT_EQ(seen, "abcd");
    EXPECT_EQ(read(QStringLiteral("copy")), "abcd");
    EXPECT_TRUE(QFile::permissions(QStringLiteral("copy")) & QFile::ExeOwner);
    EXPECT_EQ(
        CopyOwnFile(QStringLiteral("mine"), *own.identity, QStringLiteral("copy"), 9, {}).result,
        CopyOutcome::Failed)
        << "a copy never replaces what is there";
    EXPECT_EQ(ReadOwnFile(QStringLiteral("mine"), *own.identity, 3), QByteArray("abc"));

    // Swapped for a hard link to another file, then for a symbolic link to the very file.
    for (const bool symbolic : {false, true}) {
        SCOPED_TRACE(symbolic);
        ASSERT_TRUE(QFile::rename(QStringLiteral("mine"), QStringLiteral("moved")));
        if (symbolic) {
            ASSERT_TRUE(QFile::link(QStringLiteral("moved"), QStringLiteral("mine")));
        } else {
            ASSERT_EQ(::link("taken", "mine"), 0);
        }
        EXPECT_FALSE(IsSameFile(QStringLiteral("mine"), *own.identity));
        for (const WriteOpenMode mode :
             {WriteOpenMode::CreateOrTruncate, WriteOpenMode::AppendExisting})
            EXPECT_EQ(OpenFileForWriting(QStringLiteral("mine"), mode, &own).fd, -1);
        EXPECT_EQ(CopyOwnFile(QStringLiteral("mine"), *own.identity, QStringLiteral("copy2"), 9, {})
                      .result,
                  CopyOutcome::NotOwnFile);
        EXPECT_FALSE(QFile::exists(QStringLiteral("copy2")));
        EXPECT_FALSE(ReadOwnFile(QStringLiteral("mine"), *own.identity, 9).has_value());
        EXPECT_FALSE(DeleteOwnFile(QStringLiteral("mine"), *own.identity));
        EXPECT_TRUE(PathTaken(QStringLiteral("mine")));
        EXPECT_EQ(read(QStringLiteral("taken")), "theirs");
        ASSERT_TRUE(QFile::remove(QStringLiteral("mine")));
        ASSERT_TRUE(QFile::rename(QStringLiteral("moved"), QStringLiteral("mine")));
    }
    EXPECT_TRUE(DeleteOwnFile(QStringLiteral("mine"), *own.identity));
    EXPECT_FALSE(PathTaken(QStringLiteral("mine")));
}

// A private folder is the user's alone; removing one takes its regular files and itself, never
// a link's target nor a subfolder's contents; only folders named as they are made are found.
TEST_F(ProcessTest, PrivateFoldersAndTheirRemoval) {
    QString reason;
    const std::optional<QString> made =
        CreatePrivateFolder(dir.filePath(QStringLiteral(".run-")), &reason);
    ASSERT_TRUE(made.has_value()) << reason.toStdString();
    EXPECT_EQ(QFileInfo(*made).permissions() & 0x0077, 0);
    const QString name = QFileInfo(*made).fileName();
    script(QStringLiteral("outside"), "keep", false);
    script(*made + QStringLiteral("/copy"), "copy", false);
    ASSERT_TRUE(
        QFile::link(dir.filePath(QStringLiteral("outside")), *made + QStringLiteral("/link")));
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("decoy")));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("decoy")),
                            dir.filePath(QStringLiteral(".run-abcdef"))));
    ASSERT_TRUE(QDir().mkpath(QStringLiteral(".run-toolong1")));
    EXPECT_EQ(FoldersNamedLike(dir.path(), QStringLiteral(".run-")), QStringList{name});

    EXPECT_FALSE(RemoveFolderWithFiles(*made)) << "the link keeps it from being empty";
    EXPECT_FALSE(QFile::exists(*made + QStringLiteral("/copy")));
    EXPECT_EQ(read(QStringLiteral("outside")), "keep");
    ASSERT_TRUE(QFile::remove(*made + QStringLiteral("/link")));
    EXPECT_TRUE(RemoveFolderWithFiles(*made));
    EXPECT_FALSE(QFileInfo::exists(*made));
    script(QStringLiteral("decoy/inside"), "keep", false);
    EXPECT_FALSE(RemoveFolderWithFiles(dir.filePath(QStringLiteral(".run-abcdef"))));
    EXPECT_EQ(read(QStringLiteral("decoy/inside")), "keep");
}

// OpenSSL reads the Linux system's CA folder itself: no roots are handed over one by one.
TEST(SystemTrustAnchors, OpenSslReadsTheSystemFolderItself) {
    const SystemTrust trust = SystemTrustAnchors();
    EXPECT_TRUE(trust.openSslDefaults);
    EXPECT_TRUE(trust.certificates.isEmpty());
}
