#include "common/file_helpers.h"
#include "launcher/Globals.h"
#include "launcher/Ini.h"
#include "launcher/LogFile.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// The executable's folder and the current directory both point at a fresh temporary folder,
// so that velka.ini and DLrec.txt land there.
class IniTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        setExecutableDirForTesting(dir.path());
        SetupValue = InstalledVersion = InterfaceValue = LanguageValue = -77;
    }
    void TearDown() override {
        LogFile::Close();
        setExecutableDirForTesting(QString());
        QDir::setCurrent(oldCwd);
    }
    QString ini() const { return dir.filePath(QStringLiteral("velka.ini")); }
    QString log() const { return dir.filePath(QStringLiteral("DLrec.txt")); }

    QTemporaryDir dir;
    QString oldCwd;
};

} // namespace

TEST_F(IniTest, LoadIniReadsValuesAndLogsThemInBig5CrLf) {
    writeAll(ini(), "[VERSION]\r\nSetup=3\r\nPc1=12\r\nInterface=-4\r\n[Language]\r\n"
                    "Language=2\r\n");
    ASSERT_TRUE(LogFile::Open());
    LogFile::Write(QStringLiteral("+LoadIni"));
    LoadIni();
    LogFile::Close();
    EXPECT_EQ(SetupValue, 3);
    EXPECT_EQ(InstalledVersion, 12);
    EXPECT_EQ(InterfaceValue, -4);
    EXPECT_EQ(LanguageValue, 2);
    EXPECT_EQ(readAll(log()),
              QByteArray("+LoadIni\r\nSetup=3\r\nPc1=12\r\nInterface=-4\r\nLanguage=2\r\n"
                         "-LoadIni\r\n"));
}

TEST_F(IniTest, GarbageAndMissingValuesReadAsZero) {
    struct Case {
        const char* name;
        QByteArray file; // empty: no file
        std::int32_t setup, pc1, iface, lang;
    } cases[] = {
        {"no file", {}, 0, 0, 0, 0},
        {"letters", "[VERSION]\nSetup=abc\nPc1=tarn\nInterface=12abc\n[Language]\nLanguage=\n", 0,
         0, 0, 0},
        {"overflow", "[version]\npc1=4294967296\nSETUP=2147483647\n", 2147483647, 0, 0, 0},
        {"only Pc1, lower case", "[version]\npc1=13\n", 0, 13, 0, 0},
        {"hex as the framework reads it", "[VERSION]\nPc1=$1F\nSetup=0x10\n", 16, 31, 0, 0},
    };
    for (const Case& c : cases) {
        QFile::remove(ini());
        if (!c.file.isEmpty())
            writeAll(ini(), c.file);
        LoadIni();
        EXPECT_EQ(SetupValue, c.setup) << c.name;
        EXPECT_EQ(InstalledVersion, c.pc1) << c.name;
        EXPECT_EQ(InterfaceValue, c.iface) << c.name;
        EXPECT_EQ(LanguageValue, c.lang) << c.name;
    }
    // The log was not open: LoadIni must not create it.
    EXPECT_FALSE(QFile::exists(log()));
}

TEST_F(IniTest, SaveIniAddsLanguageSectionAndKeepsEveryOtherByte) {
    const QByteArray before = "; velka\r\n[VERSION]\r\nSetup=1\r\nPc1=12\r\nInterface=7\r\n"
                              "\r\n[Extra]\r\nKeep=me  \r\n";
    writeAll(ini(), before);
    LoadIni();
    InstalledVersion = 13;
    EXPECT_TRUE(SaveIni());
    EXPECT_EQ(readAll(ini()), QByteArray("; velka\r\n[VERSION]\r\nSetup=1\r\nPc1=13\r\n"
                                         "Interface=7\r\n\r\n[Extra]\r\nKeep=me  \r\n"
                                         "[Language]\r\nLanguage=0\r\n"));
}

TEST_F(IniTest, SaveIniCreatesMissingFileAndLogsNothing) {
    InstalledVersion = 13;
    SetupValue = InterfaceValue = LanguageValue = 0;
    EXPECT_TRUE(SaveIni());
    EXPECT_EQ(readAll(ini()), QByteArray("[VERSION]\r\nSetup=0\r\nPc1=13\r\nInterface=0\r\n"
                                         "[Language]\r\nLanguage=0\r\n"));
    EXPECT_FALSE(QFile::exists(log()));
    LoadIni();
    EXPECT_EQ(InstalledVersion, 13);

    // Something that cannot be replaced in its place (a folder here; a read-only file system
    // alike): the failure is reported, not swallowed.
    ASSERT_TRUE(QFile::remove(ini()));
    ASSERT_TRUE(QDir().mkdir(ini()));
    EXPECT_FALSE(SaveIni());
    EXPECT_TRUE(QFileInfo(ini()).isDir());
}

TEST_F(IniTest, LogLinesOfAllThreeFormatsInBig5) {
    ASSERT_TRUE(LogFile::Open());
    LogFile::Write(QStringLiteral("連接SQL Server"));
    LogFile::Write(QStringLiteral("SQL_GetServerTime="), QStringLiteral("20261208"));
    LogFile::Write(QStringLiteral("DownloadFileSize="), std::int32_t{-2147483647 - 1});
    LogFile::Close();
    // 連 B3 73, 接 B1 B5 in Big5.
    EXPECT_EQ(readAll(log()), QByteArray("\xB3\x73\xB1\xB5SQL Server\r\n"
                                         "SQL_GetServerTime=20261208\r\n"
                                         "DownloadFileSize=-2147483648\r\n"));
    // A second run truncates: only its own lines stay.
    ASSERT_TRUE(LogFile::Open());
    LogFile::Write(QStringLiteral("Ver:2.4"));
    LogFile::Close();
    EXPECT_EQ(readAll(log()), QByteArray("Ver:2.4\r\n"));
}

TEST_F(IniTest, LogThatCannotBeCreatedDropsLinesQuietly) {
    // DLrec.txt cannot be created in the current directory: a folder of that name stands in its
    // place, or the directory no longer exists (where a process may remove its own current
    // directory: not on Windows).
    writeAll(ini(), "[VERSION]\r\nPc1=12\r\n");
    for (const bool removed : {false, true}) {
        QTemporaryDir cwd;
        ASSERT_TRUE(QDir::setCurrent(cwd.path()));
        if (removed) {
            if (!cwd.remove())
                continue;
        } else {
            ASSERT_TRUE(QDir(cwd.path()).mkdir(QStringLiteral("DLrec.txt")));
        }
        EXPECT_FALSE(LogFile::Open()) << removed;
        EXPECT_FALSE(LogFile::IsOpen()) << removed;
        LogFile::Write(QStringLiteral("Ver:2.4"));
        LogFile::Write(QStringLiteral("Pc1="), 12);
        InstalledVersion = 0;
        LoadIni(); // still reads velka.ini beside the executable
        EXPECT_EQ(InstalledVersion, 12) << removed;
        LogFile::Close();
        // The folder in DLrec.txt's place is left as it was.
        EXPECT_TRUE(removed || QFileInfo(cwd.path() + QStringLiteral("/DLrec.txt")).isDir());
        ASSERT_TRUE(QDir::setCurrent(dir.path())); // so that cwd can go
    }
}
