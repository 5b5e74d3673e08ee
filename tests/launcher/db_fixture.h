#pragma once
// A test with its own folder as the executable's folder and the current directory (velka.ini,
// DLrec.txt, SQLite catalogs), its own server settings, and every message box answered from
// code and recorded. The update database is SQLite catalogs, a PostgreSQL cluster through
// psqlODBC, or SQL Server through FreeTDS, spoken by the TDS test server.
#include "common/e2e_fixture.h"
#include "db_support.h"
#include "interface/SerialLink.h"
#include "launcher/Globals.h"
#include "launcher/LogFile.h"
#include "launcher/UpdateDb.h"
#include "platform/Big5.h"
#include "platform/Dialogs.h"
#include "platform/Paths.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

// One copy per test program, like the TDS server helper it holds.
namespace {

enum class Backend { Sqlite, Postgres, SqlServer };

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    switch (info.param) {
    case Backend::Sqlite:
        return "Sqlite";
    case Backend::Postgres:
        return "Postgres";
    case Backend::SqlServer:
        break;
    }
    return "SqlServer";
}

class DbFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        setExecutableDirForTesting(dir.path());
        savedSettings = serverSettings();
        previousHandler = setMessageHandlerForTesting([this](const MessageRequest& r) {
            messages.push_back(r);
            if (r.kind == MessageKind::Box && !boxAnswers.empty()) {
                const int a = boxAnswers.front();
                boxAnswers.erase(boxAnswers.begin());
                return a;
            }
            return int(IDOK);
        });
        DeviceType = 5;
        SetupValue = InstalledVersion = InterfaceValue = LanguageValue = 0;
        NextVersion = 0;
        UpdateFileSize = 0;
        DownloadResult = 0;
        ServerDate.clear();
        UpdateFileName.clear();
        DownloadDir.clear();
    }

    void TearDown() override {
        ReleaseUpdateDatabase();
        LogFile::Close();
        setMessageHandlerForTesting(previousHandler);
        setServerSettings(savedSettings);
        setExecutableDirForTesting(QString());
        QDir::setCurrent(oldCwd);
    }

    QString dbDir() const { return dir.path() + QStringLiteral("/db"); }
    QString catalogFile(const char* catalog) const {
        return dbDir() + QLatin1Char('/') + QString::fromUtf8(catalog) + QStringLiteral(".sqlite3");
    }

    void useSqlite(const std::vector<VersionRow>& rows) {
        runSeedTool({QStringLiteral("sqlite"), dbDir()}, rows);
        ServerSettings s = defaultServerSettings();
        s.dbBackend = QStringLiteral("sqlite");
        s.dbDirectory = QStringLiteral("db"); // relative: taken from the executable's folder
        setServerSettings(s);
    }

    void usePostgres(const std::vector<VersionRow>& rows,
                     const QString& password = QString::fromLatin1(kDbPassword)) {
        PgCluster& pg = PgCluster::instance();
        ASSERT_TRUE(pg.ok()) << pg.error().toStdString();
        pg.seed(rows, password);
        pointOdbcAt(QStringLiteral("PostgreSQL Unicode"), pg.port(), password);
    }

    // A fresh TDS server with these rows in one of its modes (tools/tds_server.py); its trace
    // goes to tds-trace.txt in the test's folder.
    void useSqlServer(const std::vector<VersionRow>& rows,
                      const QString& mode = QStringLiteral("normal")) {
        tds.reset();
        tdsRows = rows;
        tds = std::make_unique<TdsServer>(dir.filePath(QStringLiteral("tds-trace.txt")),
                                          rowArgs(rows), mode);
        ASSERT_TRUE(tds->ready()) << tds->line().constData();
        pointOdbcAt(QStringLiteral("FreeTDS"), tds->port());
    }

    void pointOdbcAt(const QString& driver, int port,
                     const QString& password = QString::fromLatin1(kDbPassword)) {
        ServerSettings s = defaultServerSettings();
        s.dbBackend = QStringLiteral("odbc");
        s.dbDriver = driver;
        s.host = QStringLiteral("127.0.0.1");
        s.dbPort = QString::number(port);
        s.dbUser = QString::fromLatin1(kDbUser);
        s.dbPassword = password;
        setServerSettings(s);
    }

    void use(Backend backend, const std::vector<VersionRow>& rows) {
        if (backend == Backend::Sqlite)
            useSqlite(rows);
        else if (backend == Backend::Postgres)
            usePostgres(rows);
        else
            useSqlServer(rows);
    }

    // Removes the version table behind the launcher's back.
    void dropVersionTable(Backend backend) {
        if (backend == Backend::Sqlite) {
            const CommandResult r =
                runCommand(QStringLiteral("sqlite3"),
                           {catalogFile(kVersionCatalog), QStringLiteral("drop table pcvelka")});
            ASSERT_EQ(r.exitCode, 0) << r.output.constData();
        } else if (backend == Backend::SqlServer) {
            useSqlServer(tdsRows, QStringLiteral("no-table"));
        } else {
            const CommandResult r = PgCluster::instance().psql(
                QString::fromUtf8(kVersionCatalog), QStringLiteral("drop table pcvelka"));
            ASSERT_EQ(r.exitCode, 0) << r.output.constData();
        }
    }

    QByteArray fileBytes(const QString& path) const {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    QByteArray logBytes() const { return fileBytes(dir.filePath(QStringLiteral("DLrec.txt"))); }

    // The log as it must be on disk: Big5, CR LF after every line.
    static QByteArray big5Lines(const QStringList& lines) {
        QByteArray bytes;
        for (const QString& line : lines)
            bytes += toBig5(line) + "\r\n";
        return bytes;
    }

    QTemporaryDir dir;
    QString oldCwd;
    ServerSettings savedSettings;
    MessageHandler previousHandler;
    std::vector<MessageRequest> messages;
    std::vector<int> boxAnswers; // answers for the OK/Cancel boxes, in order (then OK)
    // Declared after the folder that holds its trace, so that it stops first.
    std::unique_ptr<TdsServer> tds;
    std::vector<VersionRow> tdsRows;
};

} // namespace
