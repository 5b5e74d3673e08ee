#include "platform/Exception.h"
#include "platform/Paths.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        setExecutableDirForTesting(dir.path() + QStringLiteral("/bin/"));
    }
    void TearDown() override { setExecutableDirForTesting(QString()); }
    ServerSettings load(const QByteArray& text) {
        const QString path = dir.filePath(QStringLiteral("server.ini"));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        f.close();
        return loadServerSettings(path);
    }
    QTemporaryDir dir;
};

} // namespace

TEST_F(SettingsTest, MissingFileGivesBuiltInDefaults) {
    const ServerSettings d = defaultServerSettings();
    const ServerSettings s = loadServerSettings(dir.filePath(QStringLiteral("none.ini")));
    EXPECT_EQ(s.host, d.host);
    EXPECT_EQ(s.dbBackend, QStringLiteral("odbc"));
    EXPECT_EQ(s.dbUser, d.dbUser);
    EXPECT_EQ(s.ftpPort, 21);
    EXPECT_EQ(s.ftpUser, d.ftpUser);
    EXPECT_TRUE(s.dbPort.isEmpty());
    EXPECT_TRUE(s.devices.isEmpty());
    // The default catalog folder is taken from the executable's folder too.
    EXPECT_EQ(databaseDirectory(s), dir.path() + QStringLiteral("/bin/db"));
}

TEST_F(SettingsTest, KeysOverrideAndCommentsAreDropped) {
    const ServerSettings s = load("; update server\r\n"
                                  "[server]\r\nhost = 127.0.0.1   ; loopback\r\n"
                                  "[Database]\r\nBackend=SQLite\r\nDriver=PostgreSQL Unicode\r\n"
                                  "Port=5433\r\nUser=velkadb\r\nPassword=pa;ss ; comment\r\n"
                                  "Directory=/srv/catalogs\r\n"
                                  "[Ftp]\r\nPort=2121\r\nUser=u\r\nPassword=\r\n"
                                  "[Interface]\r\nDevices=/tmp/com\r\n");
    EXPECT_EQ(s.host, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(s.dbBackend, QStringLiteral("sqlite"));
    EXPECT_EQ(s.dbDriver, QStringLiteral("PostgreSQL Unicode"));
    EXPECT_EQ(s.dbPort, QStringLiteral("5433"));
    EXPECT_EQ(s.dbPassword, QStringLiteral("pa;ss"));
    EXPECT_EQ(databaseDirectory(s), QStringLiteral("/srv/catalogs"));
    EXPECT_EQ(s.ftpPort, 2121);
    EXPECT_EQ(s.ftpUser, QStringLiteral("u"));
    EXPECT_EQ(s.ftpPassword, QString()); // present but empty: empty, not the default
    EXPECT_EQ(s.devices, QStringLiteral("/tmp/com"));
}

TEST_F(SettingsTest, BadValuesKeepDefaults) {
    struct Case {
        const char* text;
        int ftpPort;
        const char* dbPort;
        const char* backend;
        int queryTimeout = kDefaultQueryTimeoutSeconds;
        int minAverageRate = kDefaultMinAverageRate;
        int attemptSlack = kDefaultAttemptSlackSeconds;
    } cases[] = {
        {"[Ftp]\nPort=ftp\n[Database]\nPort=x\nBackend=mysql\nQueryTimeout=x\n", 21, "", "odbc"},
        {"[Ftp]\nPort=0\n[Database]\nPort=65536\nQueryTimeout=0\n", 21, "", "odbc"},
        {"[Ftp]\nPort=-21\n[Database]\nPort=\nQueryTimeout=-5\n", 21, "", "odbc"},
        {"[Ftp]\nPort=21abc\n[Database]\nPort=1433\nQueryTimeout=3601\n", 21, "1433", "odbc"},
        {"[Ftp]\nPort=65535\n[Database]\nQueryTimeout=2 ; seconds\n", 65535, "", "odbc", 2},
        {"[Database]\nQueryTimeout=3600\n", 21, "", "odbc", 3600},
        // The whole deadline of an attempt: a rate of at least a byte a second, a slack of at
        // least a second and at most a day; anything else keeps the default.
        {"[Ftp]\nMinAverageRate=0\nAttemptSlack=0\n", 21, "", "odbc"},
        {"[Ftp]\nMinAverageRate=-2048\nAttemptSlack=-1\n", 21, "", "odbc"},
        {"[Ftp]\nMinAverageRate=2k\nAttemptSlack=2 min\n", 21, "", "odbc"},
        {"[Ftp]\nMinAverageRate=1073741825\nAttemptSlack=86401\n", 21, "", "odbc"},
        {"[Ftp]\nMinAverageRate=99999999999\nAttemptSlack=\n", 21, "", "odbc"},
        {"[Database]\nMinAverageRate=512\nAttemptSlack=5\n", 21, "", "odbc"},
        {"[Ftp]\nMinAverageRate=1\nAttemptSlack=1\n", 21, "", "odbc", 30, 1, 1},
        {"[ftp]\nminaveragerate = 512 ; B/s\nAttemptSlack=600\n", 21, "", "odbc", 30, 512, 600},
        {"[Ftp]\nMinAverageRate=1073741824\nAttemptSlack=86400\n", 21, "", "odbc", 30, 1073741824,
         86400},
    };
    for (const Case& c : cases) {
        const ServerSettings s = load(c.text);
        EXPECT_EQ(s.ftpPort, c.ftpPort) << c.text;
        EXPECT_EQ(s.dbPort, QLatin1String(c.dbPort)) << c.text;
        EXPECT_EQ(s.dbBackend, QLatin1String(c.backend)) << c.text;
        EXPECT_EQ(s.dbQueryTimeout, c.queryTimeout) << c.text;
        EXPECT_EQ(s.ftpMinAverageRate, c.minAverageRate) << c.text;
        EXPECT_EQ(s.ftpAttemptSlack, c.attemptSlack) << c.text;
    }
}

TEST_F(SettingsTest, RelativeDirectoryIsTakenFromExecutableFolder) {
    EXPECT_EQ(databaseDirectory(load("[Database]\nDirectory=catalogs/../db2\n")),
              dir.path() + QStringLiteral("/bin/db2"));
    EXPECT_EQ(databaseDirectory(load("[Database]\nDirectory=/srv//db/./x/\n")),
              QStringLiteral("/srv/db/x"));
    EXPECT_EQ(databaseDirectory(load("[Database]\nDirectory=\n")),
              dir.path() + QStringLiteral("/bin/db"));
}

// Only "no" (or nothing) leaves the link as it was; anything else asks for encryption, so that a
// misspelt "yes" fails loudly instead of connecting in clear text.
TEST_F(SettingsTest, EncryptIsOffOnlyWhenSaidSo) {
    const std::pair<const char*, bool> cases[] = {
        {"[Database]\nUser=u\n", false},
        {"[Database]\nEncrypt=\n", false},
        {"[Database]\nEncrypt=no\n", false},
        {"[database]\nencrypt = NO   ; plain\r\n", false},
        {"[Database]\nEncrypt=yes\n", true},
        {"[Database]\nEncrypt=Yes ; TLS\n", true},
        {"[Database]\nEncrypt=yess\n", true},
        {"[Database]\nEncrypt=no;\n", true},
        {"[Database]\nEncrypt=n\xc3\xb6\n", true},
        {"[Ftp]\nEncrypt=yes\n", false},
    };
    for (const auto& [text, encrypt] : cases)
        EXPECT_EQ(load(text).dbEncrypt, encrypt) << text;
}

// Only "none" (or nothing) is plain FTP: a value that is not understood must not send the
// password in clear.
TEST_F(SettingsTest, FtpSecurityAndTrustFile) {
    const struct {
        const char* text;
        bool tls;
        QString caFile;
    } cases[] = {
        {"[Ftp]\nPort=21\n", false, {}},
        {"[Ftp]\nSecurity=\n", false, {}},
        {"[Ftp]\nSecurity=None ; plain\n", false, {}},
        {"[Ftp]\nSecurity=tls\nCaFile=/etc/pcv/ca.pem\n", true, QStringLiteral("/etc/pcv/ca.pem")},
        {"[Ftp]\nSecurity=TLS\n", true, {}},
        {"[Ftp]\nSecurity=yes\n", true, {}},
        {"[Ftp]\nSecurity=nonee\n", true, {}},
        // The same section again under another case: its keys count (hand-edited files).
        {"[Ftp]\nUser=u\n[Server]\nHost=h\n[FTP]\nSecurity=tls\nCaFile=/ca.pem\n", true,
         QStringLiteral("/ca.pem")},
        {"[Ftp]\nSecurity=none\n[FTP]\nSecurity=tls\n", false, {}},
        {"[Ftp]\nSecurity=tls\nCaFile=certs/../ca.pem\n", true,
         dir.path() + QStringLiteral("/bin/ca.pem")},
    };
    for (const auto& c : cases) {
        const ServerSettings s = load(c.text);
        EXPECT_EQ(s.ftpTls, c.tls) << c.text;
        EXPECT_EQ(s.ftpCaFile, c.caFile) << c.text;
    }
}

// A file that is there but is not read is not a missing one: the built-in server and logins
// must not quietly take its place.
TEST_F(SettingsTest, RefusedFileNamesItselfAndTheReason) {
    const QString path = dir.filePath(QStringLiteral("server.ini"));
    const struct {
        const char* name;
        QByteArray text; // empty: a folder at the path
        QString reason;
    } cases[] = {
        {"over the limit", QByteArray("[Ftp]\nSecurity=tls\n") + QByteArray(4 << 20, ';'),
         QStringLiteral("larger than 4 MiB")},
        {"a folder", {}, QStringLiteral("not a regular file")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.text.isEmpty()) {
            QFile::remove(path);
            ASSERT_TRUE(QDir().mkdir(path));
        } else {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            ASSERT_EQ(f.write(c.text), c.text.size());
        }
        try {
            loadServerSettings(path);
            ADD_FAILURE() << "read";
        } catch (const EFOpenError& e) {
            EXPECT_EQ(e.message(), QStringLiteral("The settings file ") + path +
                                       QStringLiteral(" was not read: ") + c.reason);
        }
    }
    // Exactly at the limit it is read.
    ASSERT_TRUE(QDir().rmdir(path));
    QByteArray text("[Ftp]\nSecurity=tls\n");
    text += QByteArray(4 * 1024 * 1024 - text.size(), ';');
    EXPECT_TRUE(load(text).ftpTls);
}

TEST(ShippedServerIni, HoldsTheBuiltInDefaults) {
    // The commented file that is installed beside the program must not change anything.
    const ServerSettings d = defaultServerSettings();
    const ServerSettings s = loadServerSettings(QStringLiteral(PCV_BINARY_DIR "/server.ini"));
    EXPECT_EQ(s.host, d.host);
    EXPECT_EQ(s.dbBackend, d.dbBackend);
    EXPECT_EQ(s.dbDriver, d.dbDriver);
    EXPECT_EQ(s.dbUser, d.dbUser);
    EXPECT_EQ(s.dbQueryTimeout, kDefaultQueryTimeoutSeconds);
    EXPECT_FALSE(s.dbEncrypt);
    EXPECT_EQ(s.dbPassword, d.dbPassword);
    EXPECT_EQ(s.ftpPort, d.ftpPort);
    EXPECT_EQ(s.ftpUser, d.ftpUser);
    EXPECT_EQ(s.ftpPassword, d.ftpPassword);
    EXPECT_FALSE(s.ftpTls);
    EXPECT_TRUE(s.ftpCaFile.isEmpty());
    EXPECT_EQ(s.ftpMinAverageRate, kDefaultMinAverageRate);
    EXPECT_EQ(s.ftpAttemptSlack, kDefaultAttemptSlackSeconds);
    EXPECT_TRUE(s.dbPort.isEmpty());
    EXPECT_TRUE(s.devices.isEmpty());
    // The deadline's keys are written out, so that whoever edits the file finds them.
    QFile shipped(QStringLiteral(PCV_BINARY_DIR "/server.ini"));
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly));
    const QByteArray text = shipped.readAll();
    EXPECT_TRUE(
        text.contains("\nMinAverageRate=" + QByteArray::number(kDefaultMinAverageRate) + "\n"));
    EXPECT_TRUE(
        text.contains("\nAttemptSlack=" + QByteArray::number(kDefaultAttemptSlackSeconds) + "\n"));
}
