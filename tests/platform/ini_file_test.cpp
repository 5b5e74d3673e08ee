#include "common/file_helpers.h"
#include "platform/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

class IniFileTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("velka.ini")); }
};

} // namespace

TEST(IniParseInteger, FrameworkRules) {
    struct Case {
        const char* text;
        std::optional<std::int32_t> expected;
    } cases[] = {
        {"12", 12},
        {"+12", 12},
        {"-12", -12},
        {"0", 0},
        {"007", 7},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"$1F", 31},
        {"0x1F", 31},
        {"0X1f", 31},
        {"-$10", -16},
        {"$FFFFFFFF", -1},
        {"$100000000", std::nullopt},
        {"12abc", std::nullopt},
        {"abc", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"1 2", std::nullopt},
        {"1.5", std::nullopt},
        {"$G", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IniFile::ParseInteger(QString::fromLatin1(c.text)), c.expected) << c.text;
}

TEST_F(IniFileTest, ReadsCaseInsensitiveTrimmedFirstMatch) {
    writeAll(path(), "; comment=1\r\n"
                     "Pc1=99\r\n" // before any section: belongs to none
                     "  [ version ]  \r\n"
                     "  PC1 =  12  \r\n"
                     ";Setup=5\r\n"
                     "Setup=\"7\"\r\n"
                     "pc1=13\r\n"
                     "Empty=\r\n"
                     "[VERSION]\r\n"
                     "Interface=3\r\n"
                     "Setup=8\r\n"
                     "[Language]\nLanguage=junk\n"
                     "[Ftp]\nUser=u\n[Other]\nSecurity=none\n[FTP]\nSecurity=tls\nUser=v\n");
    IniFile ini(path());
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), -1), 12);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("Version"), QStringLiteral("setup"), -1), 7);
    // A section that comes again, in any case, is one section: a key that only its later part
    // holds is found, and a key in both parts is the first one's.
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("VERSION"), QStringLiteral("Interface"), -1), 3);
    EXPECT_EQ(ini.ReadString(QStringLiteral("Ftp"), QStringLiteral("Security"), "d"), "tls");
    EXPECT_EQ(ini.ReadString(QStringLiteral("ftp"), QStringLiteral("User"), "d"), "u");
    EXPECT_EQ(ini.ReadString(QStringLiteral("Other"), QStringLiteral("User"), "d"), "d");
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("Language"), QStringLiteral("Language"), -1), -1);
    EXPECT_EQ(ini.ReadString(QStringLiteral("VERSION"), QStringLiteral("Empty"), "d"), "");
    EXPECT_EQ(ini.ReadString(QStringLiteral("VERSION"), QStringLiteral("None"), "d"), "d");
    EXPECT_EQ(ini.ReadString(QStringLiteral("Other"), QStringLiteral("Pc1"), "d"), "d");
    EXPECT_TRUE(ini.SectionExists(QStringLiteral("language")));
    EXPECT_FALSE(ini.SectionExists(QStringLiteral("Server")));
}

TEST_F(IniFileTest, MissingFileReadsDefaultsAndWriteCreatesItWithCrLf) {
    IniFile ini(path());
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 4), 4);
    EXPECT_FALSE(QFile::exists(path()));
    ASSERT_TRUE(ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 13));
    ASSERT_TRUE(ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Setup"), -2));
    EXPECT_EQ(readAll(path()), QByteArray("[VERSION]\r\nPc1=13\r\nSetup=-2\r\n"));
}

// Every line that a write does not change keeps its bytes, whatever its line ending.
TEST_F(IniFileTest, WritesKeepOtherBytes) {
    struct Case {
        const char* name;
        QByteArray before;
        const char* section;
        const char* key;
        const char* value;
        QByteArray after;
    } cases[] = {
        {"replace CRLF", "; top\r\n[VERSION]\r\nSetup = 1 \r\nPc1=12\r\n\r\n[X]\r\na=b\r\n",
         "version", "PC1", "13",
         "; top\r\n[VERSION]\r\nSetup = 1 \r\nPc1=13\r\n\r\n[X]\r\na=b\r\n"},
        {"replace keeps key spelling", "[VERSION]\n  pC1  =  12\n", "VERSION", "Pc1", "13",
         "[VERSION]\n  pC1=13\n"},
        {"mixed endings", "[VERSION]\nSetup=1\r\nPc1=12\nInterface=0\r\n", "VERSION", "Pc1", "13",
         "[VERSION]\nSetup=1\r\nPc1=13\nInterface=0\r\n"},
        {"append key after last line of section", "[VERSION]\nPc1=12\n\n[Other]\nx=1\n", "VERSION",
         "Setup", "0", "[VERSION]\nPc1=12\nSetup=0\n\n[Other]\nx=1\n"},
        {"append section LF", "[VERSION]\nPc1=12\n", "Language", "Language", "0",
         "[VERSION]\nPc1=12\n[Language]\nLanguage=0\n"},
        {"append section CRLF no final newline", "[VERSION]\r\nPc1=12", "Language", "Language", "0",
         "[VERSION]\r\nPc1=12\r\n[Language]\r\nLanguage=0\r\n"},
        {"append key to section at end without newline", "[VERSION]\r\nPc1=12", "VERSION", "Setup",
         "3", "[VERSION]\r\nPc1=12\r\nSetup=3\r\n"},
        {"empty section header at end", "[A]\r\nk=1\r\n[VERSION]", "VERSION", "Pc1", "5",
         "[A]\r\nk=1\r\n[VERSION]\r\nPc1=5\r\n"},
        {"comment line in section is not a key", "[VERSION]\n;Pc1=3\n", "VERSION", "Pc1", "4",
         "[VERSION]\n;Pc1=3\nPc1=4\n"},
        {"key in a later part of the section is replaced there",
         "[Ftp]\nUser=u\n[X]\n[FTP]\nPort=21\n", "Ftp", "Port", "2121",
         "[Ftp]\nUser=u\n[X]\n[FTP]\nPort=2121\n"},
        {"key in both parts: the first one is replaced", "[ftp]\nPort=1\n[FTP]\nPort=2\n", "Ftp",
         "Port", "3", "[ftp]\nPort=3\n[FTP]\nPort=2\n"},
        {"missing key goes to the first part", "[Ftp]\nUser=u\n\n[FTP]\nPort=21\n", "FTP",
         "Security", "tls", "[Ftp]\nUser=u\nSecurity=tls\n\n[FTP]\nPort=21\n"},
    };
    for (const Case& c : cases) {
        writeAll(path(), c.before);
        IniFile ini(path());
        EXPECT_TRUE(ini.WriteString(QString::fromLatin1(c.section), QString::fromLatin1(c.key),
                                    QString::fromLatin1(c.value)))
            << c.name;
        EXPECT_EQ(readAll(path()), c.after) << c.name;
    }
}

TEST_F(IniFileTest, UnchangedValueLeavesFileAlone) {
    writeAll(path(), "[VERSION]\r\nPc1=12\r\n");
    const QDateTime before = QFileInfo(path()).lastModified();
    QFile::setPermissions(path(), QFile::ReadOwner); // a rewrite would have to replace it
    IniFile ini(path());
    EXPECT_TRUE(ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 12));
    EXPECT_EQ(QFileInfo(path()).lastModified(), before);
    QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner);
}

TEST_F(IniFileTest, RefusesTextThatWouldBreakTheFile) {
    writeAll(path(), "[VERSION]\r\nPc1=12\r\n");
    IniFile ini(path());
    const std::tuple<const char*, const char*, const char*> bad[] = {
        {"VERSION", "Pc1", "13\r\n[Evil]"}, {"VERSION", "Pc1", "13\n"}, {"VER]SION", "Pc1", "1"},
        {"VERSION", "P=c1", "1"},           {"", "Pc1", "1"},           {"VERSION", "", "1"},
        {" VERSION", "Pc1", "1"},           {"VERSION", "Pc1 ", "1"},   {"VERSION", ";Pc1", "1"},
    };
    for (const auto& [s, k, v] : bad)
        EXPECT_FALSE(
            ini.WriteString(QString::fromLatin1(s), QString::fromLatin1(k), QString::fromLatin1(v)))
            << s << "/" << k;
    EXPECT_EQ(readAll(path()), QByteArray("[VERSION]\r\nPc1=12\r\n"));
}

TEST_F(IniFileTest, FailedWriteKeepsOldFile) {
    // A file-size limit makes the write of the new contents fail part-way (EFBIG), as a full
    // disk would; it works for root too, unlike folder permissions.
    const QByteArray before = "[VERSION]\r\nPc1=12\r\n";
    writeAll(path(), before);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldAction {};
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &oldAction), 0);
    rlimit oldLimit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    rlimit small = oldLimit;
    small.rlim_cur = static_cast<rlim_t>(before.size());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    IniFile ini(path());
    const bool written =
        ini.WriteString(QStringLiteral("Language"), QStringLiteral("Language"), "0");
    setrlimit(RLIMIT_FSIZE, &oldLimit);
    sigaction(SIGXFSZ, &oldAction, nullptr);
    EXPECT_FALSE(written);
    EXPECT_EQ(readAll(path()), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1); // no temporary left behind
}

TEST_F(IniFileTest, WriteReplacesByRenameNotInPlace) {
    // A reader holding the old file keeps seeing complete old contents: the new file is a new
    // inode renamed over the name, never the old one truncated and rewritten.
    writeAll(path(), "[VERSION]\r\nPc1=12\r\n");
    QFile old(path());
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    IniFile ini(path());
    ASSERT_TRUE(ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 13));
    EXPECT_EQ(old.readAll(), QByteArray("[VERSION]\r\nPc1=12\r\n"));
    EXPECT_EQ(readAll(path()), QByteArray("[VERSION]\r\nPc1=13\r\n"));
}

TEST_F(IniFileTest, WriteRemovesOnlyStaleTemporariesOfItsOwnPattern) {
    // What an interrupted write leaves ("<name>.saving-" and six letters or digits) goes at the
    // next write; a temporary still locked by its writer, links, folders and other names stay.
    writeAll(path(), "[VERSION]\r\nPc1=12\r\n");
    const QString outside = dir.filePath(QStringLiteral("outside.txt"));
    writeAll(outside, "keep");
    const QStringList stale = {QStringLiteral("velka.ini.saving-AbC123"),
                               QStringLiteral("velka.ini.saving-000000")};
    for (const QString& name : stale)
        writeAll(dir.filePath(name), "[VERSION]\r\nPc1=");
    const QStringList kept = {
        QStringLiteral("velka.ini.saving-Locked"), QStringLiteral("velka.ini.backup"),
        QStringLiteral("velka.ini.saving-abc12"),  QStringLiteral("velka.ini.saving-abc1234"),
        QStringLiteral("velka.ini.saving-ab.123"), QStringLiteral("other.ini.saving-AbC123")};
    for (const QString& name : kept)
        writeAll(dir.filePath(name), "x");
    ASSERT_TRUE(QFile::link(outside, dir.filePath(QStringLiteral("velka.ini.saving-Link01"))));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("velka.ini.saving-Dir001")));
    QFile locked(dir.filePath(kept.first()));
    ASSERT_TRUE(locked.open(QIODevice::ReadOnly));
    ASSERT_EQ(::flock(locked.handle(), LOCK_EX), 0);

    IniFile ini(path());
    ASSERT_TRUE(ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 13));
    EXPECT_EQ(readAll(path()), QByteArray("[VERSION]\r\nPc1=13\r\n"));
    for (const QString& name : stale)
        EXPECT_FALSE(QFileInfo::exists(dir.filePath(name))) << qPrintable(name);
    for (const QString& name : kept)
        EXPECT_TRUE(QFileInfo::exists(dir.filePath(name))) << qPrintable(name);
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("velka.ini.saving-Link01"))).isSymLink());
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("velka.ini.saving-Dir001"))).isDir());
    EXPECT_EQ(readAll(outside), QByteArray("keep"));
    // The write's own temporary is gone too: only what was kept above is left of the pattern.
    EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("velka.ini.saving-*")}).size(), 6);
}

TEST_F(IniFileTest, OversizedFileIsNeitherReadNorRewritten) {
    QByteArray big = "[VERSION]\r\nPc1=12\r\n";
    big.append(QByteArray(IniFile::kMaxFileSize, ';'));
    writeAll(path(), big);
    IniFile ini(path());
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 0), 0);
    EXPECT_FALSE(ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 13));
    EXPECT_EQ(QFileInfo(path()).size(), big.size());
}

TEST_F(IniFileTest, NonRegularFileIsNeitherReadNorReplaced) {
    // A FIFO in place of the file would block a plain open for reading forever.
    ASSERT_EQ(mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
    IniFile ini(path());
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 7), 7);
    EXPECT_FALSE(ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 13));
    EXPECT_FALSE(QFileInfo(path()).isFile());
}

// Random files built from the pieces that matter (headers, keys, comments, blanks, both line
// endings, stray bytes): after any write, the written key reads back, and every other key
// that could be read before reads the same.
TEST_F(IniFileTest, RandomFilesKeepEveryOtherValue) {
    const char* const pieces[] = {
        "[VERSION]", "[version]", "[Language]", "[ x ]", "[",      "]",        "Pc1=12",
        "pc1 = 3",   "Setup=1",   "Language=2", "=",     ";Pc1=9", "Pc1",      " ",
        "\t",        "\r\n",      "\n",         "\r",    "\"q\"",  "\xB3\x6E", "Pc1=$1F"};
    const char* const sections[] = {"VERSION", "Language", "x", "New"};
    const char* const keys[] = {"Pc1", "Setup", "Language", "Interface"};
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (int round = 0; round < 400; ++round) {
        QByteArray file;
        const std::uint32_t count = next(25);
        for (std::uint32_t i = 0; i < count; ++i)
            file += pieces[next(std::size(pieces))];
        writeAll(path(), file);
        IniFile ini(path());
        std::map<std::pair<int, int>, std::optional<QString>> before;
        for (int s = 0; s < 4; ++s)
            for (int k = 0; k < 4; ++k)
                before[{s, k}] = ini.Value(QLatin1String(sections[s]), QLatin1String(keys[k]));
        const int ws = static_cast<int>(next(4));
        const int wk = static_cast<int>(next(4));
        const QString value = QString::number(next(1000));
        ASSERT_TRUE(ini.WriteString(QLatin1String(sections[ws]), QLatin1String(keys[wk]), value))
            << file.toHex().constData();
        for (int s = 0; s < 4; ++s)
            for (int k = 0; k < 4; ++k) {
                const auto now = ini.Value(QLatin1String(sections[s]), QLatin1String(keys[k]));
                // Names compare case-insensitively, so only the exact pair written changes.
                if (s == ws && k == wk)
                    EXPECT_EQ(now, value) << file.toHex().constData();
                else
                    EXPECT_EQ(now, (before[{s, k}]))
                        << file.toHex().constData() << " " << sections[s] << "/" << keys[k];
            }
    }
}
