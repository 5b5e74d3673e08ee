// The Windows halves of Process, FileSystem and Termination, on the same cases as the POSIX
// tests in process_test.cpp where Windows has them.
#include <windows.h>
#undef DeleteFile

#include "common/file_helpers.h"
#include "platform/Dialogs.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Termination.h"
#include "platform/TrustStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <io.h>

// The message-box names of the program and those of <windows.h>, seen in one file: the same.
static_assert(MB_OK == 0 && MB_OKCANCEL == 1 && MB_ICONQUESTION == 0x20 && IDOK == 1 &&
              IDCANCEL == 2);

namespace {

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
    }
    void TearDown() override { QDir::setCurrent(oldCwd); }

    // The test program, built beside this test, copied into the folder under name.
    static void program(const QString& name) {
        const QString built = ExecutableDir() + QStringLiteral("child_program_win.exe");
        ASSERT_TRUE(QFile::exists(built)) << qPrintable(built);
        ASSERT_TRUE(QFile::copy(built, name));
    }

    QTemporaryDir dir;
    QString oldCwd;
};

} // namespace

TEST_F(ProcessTest, RunsProgramFromCurrentDirectoryAndWaitsForIt) {
    ASSERT_NO_FATAL_FAILURE(program(QStringLiteral("pc1.exe")));
    const auto start = std::chrono::steady_clock::now();
    const auto handle = StartProgram(QStringLiteral("pc1.exe"));
    ASSERT_TRUE(handle.has_value());
    EXPECT_EQ(WaitForProcess(*handle), 3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    // No arguments, and the current directory is the caller's.
    EXPECT_EQ(readAll(QStringLiteral("marker")),
              "ran 0 " + QDir(dir.path()).canonicalPath().toUtf8() + "\n");
    // The handle is used up: a second wait does not block.
    EXPECT_EQ(WaitForProcess(*handle), -1);
}

TEST_F(ProcessTest, ExitCodesComeBackWhole) {
    ASSERT_NO_FATAL_FAILURE(program(QStringLiteral("update.exe")));
    for (const int code : {0, 1, 255, 1000}) {
        ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("exitcode"), QByteArray::number(code)));
        const auto handle = StartProgram(dir.filePath(QStringLiteral("update.exe")));
        ASSERT_TRUE(handle.has_value());
        EXPECT_EQ(WaitForProcess(*handle), code);
    }
}

TEST_F(ProcessTest, UnstartableFilesFail) {
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("plain.txt"), "not a program"));
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("garbage.exe"), "MZ garbage"));
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("script.bat"), "@echo off\r\nexit 0\r\n"));
    ASSERT_TRUE(QDir().mkdir(QStringLiteral("folder.exe")));
    for (const char* name :
         {"missing.exe", "plain.txt", "garbage.exe", "script.bat", "folder.exe", ""})
        EXPECT_FALSE(StartProgram(QString::fromLatin1(name)).has_value()) << name;
    EXPECT_EQ(WaitForProcess(ProcessHandle{}), -1);
}

TEST_F(ProcessTest, NameIsNotLookedUpOnPath) {
    // cmd.exe is found on PATH (in the system folder) but not in the current directory.
    EXPECT_FALSE(StartProgram(QStringLiteral("cmd.exe")).has_value());
}

// The file calls: regular files only, nothing emptied before the handle shows one, append at
// the end, delete of files and never of folders, a "wb" stream on the created file.
TEST_F(ProcessTest, FileCallsTakeRegularFilesOnly) {
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("target"), "keep"));
    ASSERT_TRUE(QDir().mkdir(QStringLiteral("folder")));
    EXPECT_TRUE(FileExists(QStringLiteral("target")));
    EXPECT_EQ(FileSize(QStringLiteral("target")), 4);
    EXPECT_TRUE(MakeExecutableByOwner(QStringLiteral("target")));
    for (const char* name : {"folder", "missing", "", "NUL", "CON"}) {
        SCOPED_TRACE(name);
        const QString path = QString::fromLatin1(name);
        EXPECT_FALSE(FileExists(path));
        EXPECT_EQ(FileSize(path), 0);
        EXPECT_FALSE(MakeExecutableByOwner(path));
        EXPECT_FALSE(DeleteFile(path));
    }
    // A folder or a device is never opened for writing; the refusal says why.
    for (const char* name : {"folder", "NUL"}) {
        const OpenedFile opened =
            OpenFileForWriting(QString::fromLatin1(name), WriteOpenMode::CreateOrTruncate);
        EXPECT_EQ(opened.fd, -1) << name;
        EXPECT_EQ(opened.reason, QStringLiteral("Not a regular file")) << name;
        EXPECT_EQ(CreateFileStream(QString::fromLatin1(name)), nullptr) << name;
    }
    EXPECT_TRUE(QFileInfo(QStringLiteral("folder")).isDir());
    const OpenedFile missing =
        OpenFileForWriting(QStringLiteral("missing"), WriteOpenMode::AppendExisting);
    EXPECT_EQ(missing.fd, -1);
    EXPECT_EQ(missing.error, ENOENT);
    // The words of the errno value, as the POSIX half gives them, so that the log reads the
    // same on both (the system's own texts differ between Windows versions and Wine).
    EXPECT_EQ(missing.reason, QStringLiteral("No such file or directory"));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("missing")));
    const OpenedFile noFolder =
        OpenFileForWriting(QStringLiteral("nowhere/file"), WriteOpenMode::CreateOrTruncate);
    EXPECT_EQ(noFolder.error, ENOENT);
    EXPECT_EQ(noFolder.reason, QStringLiteral("No such file or directory"));

    // Append writes at the end, through the C runtime's descriptor as the download uses it.
    OpenedFile appended =
        OpenFileForWriting(QStringLiteral("target"), WriteOpenMode::AppendExisting);
    ASSERT_GE(appended.fd, 0);
    EXPECT_EQ(_write(appended.fd, "+more", 5), 5);
    CloseFileDescriptor(appended.fd);
    EXPECT_EQ(readAll(QStringLiteral("target")), QByteArray("keep+more"));

    // Create empties an existing file, and the stream is binary: no CR is added.
    std::FILE* stream = CreateFileStream(QStringLiteral("target"));
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(std::fputs("line\r\nnext\n", stream), 0);
    EXPECT_EQ(std::fclose(stream), 0);
    EXPECT_EQ(readAll(QStringLiteral("target")), QByteArray("line\r\nnext\n"));

    // A file still open for writing can be deleted, as the clean-up at the end of a session
    // must.
    OpenedFile open = OpenFileForWriting(QStringLiteral("target"), WriteOpenMode::AppendExisting);
    ASSERT_GE(open.fd, 0);
    EXPECT_TRUE(DeleteFile(QStringLiteral("target")));
    CloseFileDescriptor(open.fd);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("target")));
    EXPECT_FALSE(DeleteFile(QStringLiteral("target")));
}

// A symbolic link at the update file's path is never followed: not to write, not to delete
// (the link goes, the target stays), and it is not an existing file. Wine 8 has no reparse
// points (CreateSymbolicLinkW makes nothing there), and Windows without the privilege or the
// developer mode refuses the link: the test runs where a link can be made.
TEST_F(ProcessTest, FileCallsNeverFollowALink) {
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("target"), "keep"));
    CreateSymbolicLinkW(L"link", L"target", SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = GetFileAttributesW(L"link");
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "no symbolic link can be made here";
    EXPECT_FALSE(FileExists(QStringLiteral("link")));
    EXPECT_EQ(FileSize(QStringLiteral("link")), 0);
    EXPECT_FALSE(MakeExecutableByOwner(QStringLiteral("link")));
    const OpenedFile opened =
        OpenFileForWriting(QStringLiteral("link"), WriteOpenMode::CreateOrTruncate);
    EXPECT_EQ(opened.fd, -1);
    EXPECT_EQ(opened.reason, QStringLiteral("Is a symbolic link"));
    EXPECT_EQ(CreateFileStream(QStringLiteral("link")), nullptr);
    EXPECT_EQ(readAll(QStringLiteral("target")), QByteArray("keep"));
    EXPECT_TRUE(DeleteFile(QStringLiteral("link")));
    EXPECT_EQ(GetFileAttributesW(L"link"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(readAll(QStringLiteral("target")), QByteArray("keep"));
    EXPECT_TRUE(FileExists(QStringLiteral("target")));
}

TEST(SystemErrorText, EnglishTextsOfErrnoValues) {
    EXPECT_EQ(SystemErrorText(ENOENT), QStringLiteral("No such file or directory"));
    EXPECT_EQ(SystemErrorText(ENOSPC), QStringLiteral("No space left on device"));
    EXPECT_EQ(SystemErrorText(EACCES), QStringLiteral("Permission denied"));
}

TEST(ExecutableDir, IsTheFolderOfThisProgramWithASlash) {
    const QString dir = ExecutableDir();
    EXPECT_TRUE(dir.endsWith(u'/')) << qPrintable(dir);
    EXPECT_FALSE(dir.contains(u'\\')) << qPrintable(dir);
    EXPECT_TRUE(QFileInfo::exists(dir + QStringLiteral("platform_tests.exe"))) << qPrintable(dir);
}

// The end of the session (WM_ENDSESSION to the program's windows) removes the registered files
// while their names still stand for them, then the registered folders once empty; a session
// that does not end (the question alone, or the end called off) removes nothing, and neither
// does a registration that was taken back.
TEST_F(ProcessTest, EndOfSessionRemovesTheRegisteredFiles) {
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("part"), "half"));
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("swapped"), "mine"));
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("theirs"), "theirs"));
    ASSERT_TRUE(QDir().mkdir(QStringLiteral("run")));
    const std::optional<FileIdentity> part = RegularFileIdentity(QStringLiteral("part"));
    const std::optional<FileIdentity> swapped = RegularFileIdentity(QStringLiteral("swapped"));
    ASSERT_TRUE(part && swapped);
    EXPECT_NE(*part, *swapped);
    TerminationToken tokens[] = {
        RemoveFileOnTermination(dir.filePath(QStringLiteral("part")), *part),
        RemoveFileOnTermination(dir.filePath(QStringLiteral("swapped")), *swapped),
        RemoveFolderOnTermination(dir.filePath(QStringLiteral("run"))),
        RemoveFileOnTermination(dir.filePath(QStringLiteral("other")), *part),
    };
    for (const TerminationToken& token : tokens)
        ASSERT_GE(token.slot, 0);
    // Another file put in place of the registered one under its name.
    ASSERT_TRUE(QFile::remove(QStringLiteral("swapped")));
    ASSERT_TRUE(QFile::rename(QStringLiteral("theirs"), QStringLiteral("swapped")));
    // Without a window station (Wine with no display) no window can be made, and no session
    // can end either.
    const HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                       nullptr, nullptr, nullptr);
    if (!probe) {
        for (TerminationToken& token : tokens)
            KeepOnTermination(token);
        GTEST_SKIP() << "no windows can be made here";
    }
    DestroyWindow(probe);
    const HWND window = FindWindowW(L"PcvSessionEndWatch", nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, 0), TRUE);
    SendMessageW(window, WM_ENDSESSION, FALSE, 0);
    EXPECT_TRUE(QFileInfo::exists(QStringLiteral("part")));
    SendMessageW(window, WM_ENDSESSION, TRUE, 0);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("part")));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("run")));
    EXPECT_EQ(readAll(QStringLiteral("swapped")), QByteArray("theirs"));

    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("part"), "half"));
    TerminationToken kept = RemoveFileOnTermination(dir.filePath(QStringLiteral("part")),
                                                    *RegularFileIdentity(QStringLiteral("part")));
    ASSERT_GE(kept.slot, 0);
    KeepOnTermination(kept);
    EXPECT_EQ(kept.slot, -1);
    SendMessageW(window, WM_ENDSESSION, TRUE, 0);
    EXPECT_TRUE(QFileInfo::exists(QStringLiteral("part")));
    EXPECT_EQ(RemoveFolderOnTermination(QString()).slot, -1);
}

// Every slot taken: one more registration is refused, and a slot given back is used again.
TEST(Termination, SlotsAreBoundedAndReused) {
    TerminationToken tokens[MaxTerminationPaths];
    for (TerminationToken& token : tokens) {
        token = RemoveFolderOnTermination(QStringLiteral("C:/nowhere/run"));
        ASSERT_GE(token.slot, 0);
    }
    EXPECT_EQ(RemoveFolderOnTermination(QStringLiteral("C:/nowhere/more")).slot, -1);
    KeepOnTermination(tokens[2]);
    tokens[2] = RemoveFolderOnTermination(QStringLiteral("C:/nowhere/more"));
    EXPECT_GE(tokens[2].slot, 0);
    for (TerminationToken& token : tokens)
        KeepOnTermination(token);
}

// Whatever stands at a name is set aside under the first free numbered name, never over
// anything already there (MoveFileEx without MOVEFILE_REPLACE_EXISTING), and keeps its bytes.
TEST_F(ProcessTest, SetAsideMovesToTheFirstFreeName) {
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder);
        if (folder) {
            ASSERT_TRUE(QDir().mkdir(QStringLiteral("name")));
        } else {
            ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("name"), "mine"));
        }
        ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("name.set-aside-1"), "earlier"));
        ASSERT_TRUE(PathTaken(QStringLiteral("name")));
        QString reason;
        const std::optional<QString> aside = SetAside(QStringLiteral("name"), &reason);
        ASSERT_TRUE(aside.has_value()) << reason.toStdString();
        EXPECT_EQ(*aside, QStringLiteral("name.set-aside-2"));
        EXPECT_FALSE(PathTaken(QStringLiteral("name")));
        EXPECT_EQ(readAll(QStringLiteral("name.set-aside-1")), QByteArray("earlier"));
        EXPECT_EQ(QFileInfo(QStringLiteral("name.set-aside-2")).isDir(), folder);
        if (!folder) {
            EXPECT_EQ(readAll(QStringLiteral("name.set-aside-2")), QByteArray("mine"));
        }
        EXPECT_FALSE(SetAside(QStringLiteral("name"), &reason).has_value()) << "nothing there";
        EXPECT_FALSE(reason.isEmpty());
        ASSERT_TRUE(QFile::remove(QStringLiteral("name.set-aside-1")));
        ASSERT_TRUE(QDir().rmdir(QStringLiteral("name.set-aside-2")) ||
                    QFile::remove(QStringLiteral("name.set-aside-2")));
    }
}

// The program's own file: created anew only where nothing stands (CREATE_NEW), written and
// appended only while the name stands for it (volume serial number and file index); a copy
// checks the source on its handle and counts exactly what it copied.
TEST_F(ProcessTest, OwnFileIsWrittenOnlyWhileItIsTheOneCreated) {
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("taken"), "theirs"));
    OwnFile refused;
    const OpenedFile exists =
        OpenFileForWriting(QStringLiteral("taken"), WriteOpenMode::CreateOrTruncate, &refused);
    EXPECT_EQ(exists.fd, -1);
    EXPECT_EQ(exists.reason, QStringLiteral("File exists"));
    EXPECT_FALSE(refused.identity.has_value());
    EXPECT_EQ(readAll(QStringLiteral("taken")), QByteArray("theirs"));
    EXPECT_EQ(
        OpenFileForWriting(QStringLiteral("taken"), WriteOpenMode::AppendExisting, &refused).fd,
        -1);

    OwnFile own;
    int created = 0;
    own.onCreated = [&created] { ++created; };
    OpenedFile f =
        OpenFileForWriting(QStringLiteral("mine"), WriteOpenMode::CreateOrTruncate, &own);
    ASSERT_GE(f.fd, 0) << f.reason.toStdString();
    ASSERT_EQ(_write(f.fd, "abc", 3), 3);
    CloseFileDescriptor(f.fd);
    ASSERT_TRUE(own.identity.has_value());
    EXPECT_EQ(f.identity, *own.identity);
    EXPECT_EQ(RegularFileIdentity(QStringLiteral("mine")), own.identity);
    EXPECT_EQ(created, 1);
    f = OpenFileForWriting(QStringLiteral("mine"), WriteOpenMode::AppendExisting, &own);
    ASSERT_GE(f.fd, 0);
    ASSERT_EQ(_write(f.fd, "de", 2), 2);
    CloseFileDescriptor(f.fd);
    EXPECT_EQ(readAll(QStringLiteral("mine")), QByteArray("abcde"));
    f = OpenFileForWriting(QStringLiteral("mine"), WriteOpenMode::CreateOrTruncate, &own);
    ASSERT_GE(f.fd, 0) << "the own file is emptied, not created again";
    ASSERT_EQ(_write(f.fd, "abcde", 5), 5);
    CloseFileDescriptor(f.fd);
    EXPECT_EQ(created, 1);

    std::string seen;
    CopyOutcome copy = CopyOwnFile(QStringLiteral("mine"), *own.identity, QStringLiteral("copy"), 4,
                                   [&seen](const char* d, std::int64_t n) { seen.append(d, n); });
    EXPECT_EQ(copy.result, CopyOutcome::Copied);
    EXPECT_EQ(copy.bytes, 4);
    EXPECT_EQ(seen, "abcd");
    EXPECT_EQ(readAll(QStringLiteral("copy")), QByteArray("abcd"));
    EXPECT_EQ(RegularFileIdentity(QStringLiteral("copy")), copy.copy);
    EXPECT_EQ(
        CopyOwnFile(QStringLiteral("mine"), *own.identity, QStringLiteral("copy"), 9, {}).result,
        CopyOutcome::Failed)
        << "a copy never replaces what is there";
    EXPECT_EQ(readAll(QStringLiteral("copy")), QByteArray("abcd"));
    EXPECT_EQ(ReadOwnFile(QStringLiteral("mine"), *own.identity, 3), QByteArray("abc"));
    EXPECT_EQ(CopyOwnFile(QStringLiteral("gone"), *own.identity, QStringLiteral("c"), 9, {}).result,
              CopyOutcome::SourceMissing);

    // Another file put in its place under the same name.
    ASSERT_TRUE(QFile::rename(QStringLiteral("mine"), QStringLiteral("moved")));
    ASSERT_TRUE(QFile::copy(QStringLiteral("taken"), QStringLiteral("mine")));
    EXPECT_FALSE(IsSameFile(QStringLiteral("mine"), *own.identity));
    for (const WriteOpenMode mode :
         {WriteOpenMode::CreateOrTruncate, WriteOpenMode::AppendExisting}) {
        const OpenedFile other = OpenFileForWriting(QStringLiteral("mine"), mode, &own);
        EXPECT_EQ(other.fd, -1);
        EXPECT_EQ(other.reason, QStringLiteral("Not the file this download created"));
    }
    EXPECT_EQ(
        CopyOwnFile(QStringLiteral("mine"), *own.identity, QStringLiteral("copy2"), 9, {}).result,
        CopyOutcome::NotOwnFile);
    EXPECT_FALSE(QFile::exists(QStringLiteral("copy2")));
    EXPECT_FALSE(ReadOwnFile(QStringLiteral("mine"), *own.identity, 9).has_value());
    EXPECT_FALSE(DeleteOwnFile(QStringLiteral("mine"), *own.identity));
    EXPECT_EQ(readAll(QStringLiteral("mine")), QByteArray("theirs"));
    ASSERT_TRUE(QFile::remove(QStringLiteral("mine")));
    ASSERT_TRUE(QFile::rename(QStringLiteral("moved"), QStringLiteral("mine")));
    EXPECT_TRUE(IsSameFile(QStringLiteral("mine"), *own.identity)) << "a rename keeps the file";
    EXPECT_TRUE(DeleteOwnFile(QStringLiteral("mine"), *own.identity));
    EXPECT_FALSE(PathTaken(QStringLiteral("mine")));
}

// A private folder is found again by its name pattern; removing one takes the regular files
// directly in it and itself, never a subfolder's contents.
TEST_F(ProcessTest, PrivateFoldersAndTheirRemoval) {
    QString reason;
    const std::optional<QString> made =
        CreatePrivateFolder(dir.filePath(QStringLiteral(".run-")), &reason);
    ASSERT_TRUE(made.has_value()) << reason.toStdString();
    EXPECT_TRUE(QFileInfo(*made).isDir());
    const QString name = QFileInfo(*made).fileName();
    EXPECT_EQ(name.size(), 11);
    ASSERT_NO_FATAL_FAILURE(writeAll(*made + QStringLiteral("/copy"), "copy"));
    ASSERT_TRUE(QDir().mkpath(*made + QStringLiteral("/sub")));
    ASSERT_NO_FATAL_FAILURE(writeAll(*made + QStringLiteral("/sub/inner"), "inner"));
    ASSERT_TRUE(QDir().mkpath(QStringLiteral(".run-toolong1")));
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral(".run-file01"), "a file"));
    EXPECT_EQ(FoldersNamedLike(dir.path(), QStringLiteral(".run-")), QStringList{name});
    // A subfolder stays, and so does the folder that holds it.
    EXPECT_FALSE(RemoveFolderWithFiles(*made));
    EXPECT_FALSE(QFileInfo::exists(*made + QStringLiteral("/copy")));
    EXPECT_EQ(readAll(*made + QStringLiteral("/sub/inner")), QByteArray("inner"));
    ASSERT_TRUE(QDir(*made + QStringLiteral("/sub")).removeRecursively());
    EXPECT_TRUE(RemoveFolderWithFiles(*made));
    EXPECT_FALSE(QFileInfo::exists(*made));
    EXPECT_TRUE(FoldersNamedLike(dir.path(), QStringLiteral(".run-")).isEmpty());
    EXPECT_FALSE(RemoveFolderWithFiles(QStringLiteral(".run-file01")));
    EXPECT_EQ(readAll(QStringLiteral(".run-file01")), QByteArray("a file"));
}

// A file read whole: regular files only, at most the limit, a missing one said to be missing.
TEST_F(ProcessTest, RegularFilesAreReadWholeWithinTheLimit) {
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("small"), "12345"));
    ASSERT_TRUE(QDir().mkdir(QStringLiteral("folder")));
    FileContents file = ReadRegularFile(QStringLiteral("small"), 5);
    EXPECT_TRUE(file.ok);
    EXPECT_EQ(file.bytes, QByteArray("12345"));
    file = ReadRegularFile(QStringLiteral("small"), 4);
    EXPECT_FALSE(file.ok);
    EXPECT_EQ(file.reason, QStringLiteral("larger than 4 bytes"));
    file = ReadRegularFile(QStringLiteral("missing"), 4);
    EXPECT_TRUE(file.missing);
    EXPECT_EQ(file.reason, QStringLiteral("not found"));
    for (const char* name : {"folder", "NUL"}) {
        file = ReadRegularFile(QString::fromLatin1(name), 4);
        EXPECT_FALSE(file.ok || file.missing) << name;
        EXPECT_EQ(file.reason, QStringLiteral("not a regular file")) << name;
        EXPECT_EQ(RegularFileProblem(QString::fromLatin1(name)),
                  QStringLiteral("not a regular file"));
    }
    EXPECT_EQ(RegularFileProblem(QStringLiteral("small")), QString());
}

// Ctrl+Break (as Ctrl+C, the console closed, log-off and shut-down) removes the registered file
// and then ends the program as it would have ended; nothing registered, nothing removed.
TEST_F(ProcessTest, ConsoleBreakRemovesTheRegisteredFile) {
    for (const bool registered : {true, false}) {
        SCOPED_TRACE(registered);
        ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("part"), "half"));
        std::wstring command =
            L"\"" +
            QDir::toNativeSeparators(ExecutableDir() + QStringLiteral("termination_child_win.exe"))
                .toStdWString() +
            L"\" part" + (registered ? L"" : L" keep");
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child{};
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                                   CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &child));
        CloseHandle(child.hThread);
        ASSERT_EQ(WaitForSingleObject(child.hProcess, 20000), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        CloseHandle(child.hProcess);
        if (code == 9)
            GTEST_SKIP() << "no console that can send Ctrl+Break here";
        EXPECT_EQ(code, 0xC000013Au); // ended by the break, not after it
        EXPECT_EQ(QFileInfo::exists(QStringLiteral("part")), !registered);
    }
}

// OpenSSL does not read the Windows certificate store: the roots come from the "ROOT" store,
// each a DER certificate (an ASN.1 SEQUENCE). Wine fills that store from the host's roots.
TEST(SystemTrustAnchors, TheRootStoreOfWindows) {
    const SystemTrust trust = SystemTrustAnchors();
    EXPECT_FALSE(trust.openSslDefaults);
    EXPECT_FALSE(trust.certificates.isEmpty());
    for (const QByteArray& der : trust.certificates) {
        ASSERT_GE(der.size(), 64);
        EXPECT_EQ(static_cast<unsigned char>(der[0]), 0x30);
    }
}
