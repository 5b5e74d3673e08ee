// The Windows halves of Process, FileSystem and Termination, on the same cases as the POSIX
// tests in process_test.cpp where Windows has them.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#undef DeleteFile

#include "common/file_helpers.h"
#include "platform/Dialogs.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Termination.h"

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
    // The system's own words (they differ between Windows and Wine), one line, no period.
    EXPECT_FALSE(missing.reason.isEmpty());
    EXPECT_FALSE(missing.reason.startsWith(QStringLiteral("Error ")));
    EXPECT_FALSE(missing.reason.contains(u'\n') || missing.reason.endsWith(u'.'));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("missing")));
    const OpenedFile noFolder =
        OpenFileForWriting(QStringLiteral("nowhere/file"), WriteOpenMode::CreateOrTruncate);
    EXPECT_EQ(noFolder.error, ENOENT);
    EXPECT_NE(noFolder.reason, missing.reason);

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

// The end of the session (WM_ENDSESSION to the program's windows) removes the registered file;
// a session that does not end (the question alone, or the end called off) removes nothing, and
// neither does a file that is no longer registered.
TEST_F(ProcessTest, EndOfSessionRemovesTheRegisteredFile) {
    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("part"), "half"));
    ASSERT_TRUE(RemoveOnTermination(dir.filePath(QStringLiteral("other"))));
    ASSERT_TRUE(RemoveOnTermination(dir.filePath(QStringLiteral("part"))));
    // Without a window station (Wine with no display) no window can be made, and no session
    // can end either.
    const HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                       nullptr, nullptr, nullptr);
    if (!probe)
        GTEST_SKIP() << "no windows can be made here";
    DestroyWindow(probe);
    const HWND window = FindWindowW(L"PcvSessionEndWatch", nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, 0), TRUE);
    SendMessageW(window, WM_ENDSESSION, FALSE, 0);
    EXPECT_TRUE(QFileInfo::exists(QStringLiteral("part")));
    SendMessageW(window, WM_ENDSESSION, TRUE, 0);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("part")));

    ASSERT_NO_FATAL_FAILURE(writeAll(QStringLiteral("part"), "half"));
    ASSERT_TRUE(RemoveOnTermination(dir.filePath(QStringLiteral("part"))));
    KeepOnTermination();
    SendMessageW(window, WM_ENDSESSION, TRUE, 0);
    EXPECT_TRUE(QFileInfo::exists(QStringLiteral("part")));
    EXPECT_FALSE(RemoveOnTermination(QString()));
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
