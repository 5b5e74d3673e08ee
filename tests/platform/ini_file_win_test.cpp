// The Windows replace of a profile file: a new file created exclusively beside the old one and
// moved over it (ReplaceFileW), the old file left whole when that fails, and what interrupted
// writes left behind removed unless a writer still holds it.
#include <windows.h>

#include "common/file_helpers.h"
#include "platform/IniFile.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class IniFileTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("velka.ini")); }
    QStringList temporaries() const {
        return QDir(dir.path())
            .entryList({QStringLiteral("velka.ini.saving-*")},
                       QDir::AllEntries | QDir::Hidden | QDir::System);
    }
};

HANDLE openShared(const QString& path, DWORD share) {
    return CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(), GENERIC_READ, share,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

TEST_F(IniFileTest, MissingFileIsCreatedWithCrLfAndReadBack) {
    IniFile ini(path());
    ASSERT_TRUE(ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 12));
    ASSERT_TRUE(ini.WriteString(QStringLiteral("Language"), QStringLiteral("Language"),
                                QStringLiteral("0")));
    EXPECT_EQ(readAll(path()), QByteArray("[VERSION]\r\nPc1=12\r\n[Language]\r\nLanguage=0\r\n"));
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("version"), QStringLiteral("PC1"), 0), 12);
    EXPECT_TRUE(temporaries().isEmpty());
}

TEST_F(IniFileTest, WriteReplacesByMoveNotInPlace) {
    // A reader holding the old file keeps reading complete old contents.
    ASSERT_NO_FATAL_FAILURE(writeAll(path(), "[VERSION]\r\nPc1=12\r\n"));
    const HANDLE reader =
        openShared(path(), FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    IniFile ini(path());
    const bool written = ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 13);
    char buffer[64] = {};
    DWORD n = 0;
    ReadFile(reader, buffer, sizeof buffer, &n, nullptr);
    CloseHandle(reader);
    EXPECT_TRUE(written);
    EXPECT_EQ(QByteArray(buffer, static_cast<int>(n)), QByteArray("[VERSION]\r\nPc1=12\r\n"));
    EXPECT_EQ(readAll(path()), QByteArray("[VERSION]\r\nPc1=13\r\n"));
    EXPECT_TRUE(temporaries().isEmpty());
}

TEST_F(IniFileTest, FailedReplaceKeepsOldFileAndLeavesNoTemporary) {
    const QByteArray before = "[VERSION]\r\nPc1=12\r\n";
    ASSERT_NO_FATAL_FAILURE(writeAll(path(), before));
    // Another program holds the file without letting it be replaced.
    const HANDLE holder = openShared(path(), FILE_SHARE_READ);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    IniFile ini(path());
    const bool written = ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 13);
    CloseHandle(holder);
    EXPECT_FALSE(written);
    EXPECT_EQ(readAll(path()), before);
    EXPECT_TRUE(temporaries().isEmpty()) << qPrintable(temporaries().join(u' '));
    // Once it is free, the next write goes through.
    EXPECT_TRUE(ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 13));
    EXPECT_EQ(readAll(path()), QByteArray("[VERSION]\r\nPc1=13\r\n"));
}

TEST_F(IniFileTest, WriteRemovesOnlyStaleTemporariesOfItsOwnPattern) {
    ASSERT_NO_FATAL_FAILURE(writeAll(path(), "[VERSION]\r\nPc1=12\r\n"));
    const QStringList stale = {QStringLiteral("velka.ini.saving-AbC123"),
                               QStringLiteral("velka.ini.saving-000000")};
    for (const QString& name : stale)
        ASSERT_NO_FATAL_FAILURE(writeAll(dir.filePath(name), "[VERSION]\r\nPc1="));
    const QStringList kept = {
        QStringLiteral("velka.ini.saving-Held01"), QStringLiteral("velka.ini.backup"),
        QStringLiteral("velka.ini.saving-abc12"),  QStringLiteral("velka.ini.saving-abc1234"),
        QStringLiteral("velka.ini.saving-ab.123"), QStringLiteral("other.ini.saving-AbC123")};
    for (const QString& name : kept)
        ASSERT_NO_FATAL_FAILURE(writeAll(dir.filePath(name), "x"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("velka.ini.saving-Dir001")));
    // A writer at work holds its temporary without delete sharing.
    const HANDLE held = openShared(dir.filePath(kept.first()), FILE_SHARE_READ);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    IniFile ini(path());
    const bool written = ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 13);
    CloseHandle(held);
    ASSERT_TRUE(written);
    EXPECT_EQ(readAll(path()), QByteArray("[VERSION]\r\nPc1=13\r\n"));
    for (const QString& name : stale)
        EXPECT_FALSE(QFileInfo::exists(dir.filePath(name))) << qPrintable(name);
    for (const QString& name : kept)
        EXPECT_TRUE(QFileInfo::exists(dir.filePath(name))) << qPrintable(name);
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("velka.ini.saving-Dir001"))).isDir());
    EXPECT_EQ(temporaries().size(), 5);
}

TEST_F(IniFileTest, FolderInPlaceOfTheFileIsNeitherReadNorReplaced) {
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("velka.ini")));
    IniFile ini(path());
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 7), 7);
    EXPECT_FALSE(ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 13));
    EXPECT_TRUE(QFileInfo(path()).isDir());
    EXPECT_TRUE(temporaries().isEmpty());
}
