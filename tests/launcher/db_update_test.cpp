// The four update queries against real servers: SQLite catalogs, PostgreSQL through psqlODBC and
// the TDS test server through FreeTDS, plus the cases where the server cannot be reached or sends
// values that must not be used.
#include "db_fixture.h"
#include "platform/OdbcManager.h"

#include <QCoreApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <sys/stat.h>

namespace {

const std::vector<VersionRow> kRows = {
    {"tarn", "12", "13", "tarn_v12.exe", "1000"},
    {"tarn", "13", "13", "  upd 13.exe \t", "4096"},
    {"fen", "12", "20", "fen_v12.exe", "1000"},
    {"fen", "20", "20", "fen_v20.exe", "77"},
    {"tarn", "0", "12", "tarn_v0.exe", "1"},
    {"tarn", "30", "31", "tarn_v30.exe", "1"}, // 31 has no row
};

class DbBackendTest : public DbFixture, public ::testing::WithParamInterface<Backend> {};

INSTANTIATE_TEST_SUITE_P(Backends, DbBackendTest,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres, Backend::SqlServer),
                         backendName);

} // namespace

TEST_P(DbBackendTest, FourOperationsFindTheNextVersionAndItsFile) {
    use(GetParam(), kRows);
    ASSERT_TRUE(LogFile::Open());
    InstalledVersion = 12;

    ASSERT_TRUE(SQL_Connect());
    const DbmsKind dbms[] = {DbmsKind::SQLite, DbmsKind::PostgreSQL, DbmsKind::SqlServer};
    EXPECT_EQ(ADOConnection1().Dbms(), dbms[static_cast<int>(GetParam())]);

    SQL_GetServerTime();
    ASSERT_TRUE(QRegularExpression(QStringLiteral("^[0-9]{8}$")).match(ServerDate).hasMatch())
        << ServerDate.toStdString();
    if (GetParam() == Backend::Postgres) {
        const CommandResult r = PgCluster::instance().psql(
            QStringLiteral("postgres"), QStringLiteral("select to_char(current_date,'YYYYMMDD')"));
        EXPECT_EQ(ServerDate.toLatin1(), r.output.trimmed());
    } else if (GetParam() == Backend::SqlServer) {
        EXPECT_EQ(ServerDate, TdsServer::kDate);
    } else {
        const QDate date = QDate::fromString(ServerDate, QStringLiteral("yyyyMMdd"));
        EXPECT_LE(std::abs(date.daysTo(QDate::currentDate())), 1) << ServerDate.toStdString();
    }

    ASSERT_TRUE(SQL_GetNextVersion());
    EXPECT_EQ(NextVersion, 13);
    ASSERT_TRUE(SQL_GetUpdateFile());
    EXPECT_EQ(UpdateFileName, QStringLiteral("upd 13.exe"));
    EXPECT_EQ(UpdateFileSize, 4096);
    EXPECT_EQ(DownloadDir, dir.path() + QLatin1Char('/'));
    EXPECT_TRUE(messages.empty());
    LogFile::Close();
    EXPECT_EQ(logBytes(), QByteArray("upd 13.exe\r\nDownloadFileSize=4096\r\n"));
    if (GetParam() == Backend::SqlServer) {
        // The statements as they reached the server, on the catalog each one needs.
        EXPECT_EQ(tds->trace(),
                  (TdsServer::session(QString::fromUtf8(kMemberCatalog)) +
                   QStringList{TdsServer::kDayQuery} +
                   TdsServer::session(QString::fromUtf8(kVersionCatalog)) +
                   QStringList{TdsServer::lookup("tarn", 12), TdsServer::lookup("tarn", 13)}));
    }
}

TEST_P(DbBackendTest, RowsAreChosenByProductLineAndInstalledVersion) {
    use(GetParam(), kRows);
    ASSERT_TRUE(SQL_Connect());
    struct Case {
        int deviceType;
        int installed;
        int next;
        const char* file;
    };
    const Case cases[] = {
        {1, 12, 20, "fen_v20.exe"}, {5, 12, 13, "upd 13.exe"}, {5, 0, 12, "tarn_v12.exe"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.installed);
        DeviceType = static_cast<std::uint8_t>(c.deviceType);
        InstalledVersion = c.installed;
        ASSERT_TRUE(SQL_GetNextVersion());
        EXPECT_EQ(NextVersion, c.next);
        ASSERT_TRUE(SQL_GetUpdateFile());
        EXPECT_EQ(UpdateFileName, QString::fromUtf8(c.file));
    }
    EXPECT_TRUE(messages.empty());
}

TEST_P(DbBackendTest, NoRowGivesTheTwoMessages) {
    use(GetParam(), kRows);
    ASSERT_TRUE(SQL_Connect());

    InstalledVersion = 7;
    NextVersion = -1;
    EXPECT_FALSE(SQL_GetNextVersion());
    EXPECT_EQ(NextVersion, -1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, MessageKind::ShowMessage);
    EXPECT_EQ(messages[0].text, QStringLiteral("錯誤的診斷程式版本!"));

    ASSERT_TRUE(LogFile::Open());
    InstalledVersion = 30;
    ASSERT_TRUE(SQL_GetNextVersion());
    EXPECT_EQ(NextVersion, 31);
    UpdateFileName = QStringLiteral("before");
    EXPECT_FALSE(SQL_GetUpdateFile());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].kind, MessageKind::ShowMessage);
    EXPECT_EQ(messages[1].text, QStringLiteral("版本:31\r\n更新檔名不存在!"));
    EXPECT_EQ(UpdateFileName, QStringLiteral("before"));
    LogFile::Close();
    EXPECT_EQ(logBytes(), QByteArray());
}

TEST_P(DbBackendTest, MissingTableEscapesAsDatabaseError) {
    use(GetParam(), kRows);
    dropVersionTable(GetParam());
    ASSERT_TRUE(SQL_Connect());
    SQL_GetServerTime();
    try {
        SQL_GetNextVersion();
        FAIL() << "no error";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.message().contains(QLatin1String("pcvelka"))) << e.message().toStdString();
    }
    EXPECT_TRUE(messages.empty());
}

TEST_P(DbBackendTest, UnreachableServerMakesConnectFalse) {
    use(GetParam(), kRows);
    if (GetParam() == Backend::Sqlite) {
        ServerSettings s = serverSettings();
        s.dbDirectory = QStringLiteral("nowhere");
        setServerSettings(s);
    } else {
        ServerSettings s = serverSettings();
        s.dbPassword = QStringLiteral("wrongpwd");
        setServerSettings(s);
    }
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(SQL_Connect());
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_FALSE(ADOConnection1().Connected());
    EXPECT_FALSE(QDir(dir.filePath(QStringLiteral("nowhere"))).exists());
}

// ---------------------------------------------------------------------------------------------
// SQLite catalogs

using DbSqliteTest = DbFixture;

TEST_F(DbSqliteTest, MissingOrBrokenCatalogIsUnreachableAndNeverCreated) {
    useSqlite(kRows);
    const QString member = catalogFile(kMemberCatalog);
    ASSERT_TRUE(QFile::remove(member));
    EXPECT_FALSE(SQL_Connect());
    EXPECT_FALSE(QFile::exists(member));

    // A file that is not a database answers like a server that is not there.
    QFile junk(member);
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'x'));
    junk.close();
    EXPECT_FALSE(SQL_Connect());
    EXPECT_EQ(fileBytes(member), QByteArray(4096, 'x'));

    // The second connection is not guarded: a missing version catalog is an error that escapes.
    useSqlite(kRows);
    ASSERT_TRUE(QFile::remove(catalogFile(kVersionCatalog)));
    ASSERT_TRUE(SQL_Connect());
    try {
        SQL_GetNextVersion();
        ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.message(), QStringLiteral("unable to open database file ") +
                                   catalogFile(kVersionCatalog) + QStringLiteral(": not found"));
    }
    EXPECT_FALSE(QFile::exists(catalogFile(kVersionCatalog)));

    // A FIFO in its place is refused at once: SQLite's own open would wait for a writer.
    useSqlite(kRows);
    ASSERT_TRUE(QFile::remove(catalogFile(kVersionCatalog)));
    ASSERT_EQ(::mkfifo(QFile::encodeName(catalogFile(kVersionCatalog)).constData(), 0600), 0);
    ASSERT_TRUE(SQL_Connect());
    try {
        SQL_GetNextVersion();
        ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.message(), QStringLiteral("unable to open database file ") +
                                   catalogFile(kVersionCatalog) +
                                   QStringLiteral(": not a regular file"));
    }
}

// A catalog file has no network link to encrypt: Encrypt=yes must not cut the launcher off it.
TEST_F(DbSqliteTest, EncryptLeavesLocalCatalogsAsTheyAre) {
    useSqlite(kRows);
    ServerSettings s = serverSettings();
    s.dbEncrypt = true;
    setServerSettings(s);
    InstalledVersion = 12;
    ASSERT_TRUE(SQL_Connect());
    ASSERT_TRUE(SQL_GetNextVersion());
    EXPECT_EQ(NextVersion, 13);
}

TEST_F(DbSqliteTest, CatalogsAreOpenedReadOnly) {
    useSqlite(kRows);
    const QByteArray before = fileBytes(catalogFile(kVersionCatalog));
    InstalledVersion = 12;
    ASSERT_TRUE(SQL_Connect());
    ASSERT_TRUE(SQL_GetNextVersion());
    ADOQuery1().Close();
    ADOQuery1().SetSql(QStringLiteral("delete from pcvelka"));
    EXPECT_THROW(ADOQuery1().Open(), EDatabaseError);
    ReleaseUpdateDatabase();
    EXPECT_EQ(fileBytes(catalogFile(kVersionCatalog)), before);
}

// A catalog locked by a writer is waited for no longer than the query time-out; the error then
// escapes like any other after the first connection.
TEST_F(DbSqliteTest, LockedCatalogGivesUpAfterTheQueryTimeout) {
    useSqlite(kRows);
    ServerSettings s = serverSettings();
    s.dbQueryTimeout = 1;
    setServerSettings(s);
    QProcess writer;
    writer.setProcessChannelMode(QProcess::MergedChannels);
    writer.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sqlite3, sys\n"
                                 "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                 "c.execute('begin exclusive')\n"
                                 "print('held', flush=True)\n"
                                 "sys.stdin.read()\n"),
                  catalogFile(kVersionCatalog)});
    ASSERT_TRUE(writer.waitForStarted(10000));
    ASSERT_TRUE(writer.waitForReadyRead(10000));
    ASSERT_TRUE(writer.readAll().contains("held"));
    InstalledVersion = 12;
    ASSERT_TRUE(SQL_Connect());
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(SQL_GetNextVersion(), EDatabaseError);
    const qint64 elapsed = clock.elapsed();
    writer.closeWriteChannel();
    writer.waitForFinished(5000);
    EXPECT_GE(elapsed, 900);
    EXPECT_LT(elapsed, 3500);
}

// Names that would write or run a file outside the download folder, break the FTP command or
// the 128-byte path are not used: the "no file" message, no log line, nothing set.
TEST_F(DbSqliteTest, UpdateFileNamesThatCannotBeUsedAreRefused) {
    const QString prefix = dir.path() + QLatin1Char('/');
    const int room = 127 - static_cast<int>(prefix.toUtf8().size()); // bytes left for the name
    ASSERT_GT(room, 20);
    const QString fits = QString(room - 4, QLatin1Char('a')) + QStringLiteral(".exe");
    const QString tooLong = QString(room - 3, QLatin1Char('a')) + QStringLiteral(".exe");
    // Three bytes per CJK character in UTF-8, two in Big5: counted as the file system sees it.
    const QString cjkTooLong =
        QString(room - 6, QLatin1Char('a')) + QStringLiteral("新") + QStringLiteral(".exe");

    struct Case {
        QString stored;
        bool usable;
        QString name; // trimmed, when usable
    };
    const std::vector<Case> cases = {
        {QStringLiteral("  ok.exe  "), true, QStringLiteral("ok.exe")},
        {QStringLiteral("\r\n\tok2.exe\r\n"), true, QStringLiteral("ok2.exe")},
        {QStringLiteral("軟體更新 v2.exe"), true, QStringLiteral("軟體更新 v2.exe")},
        {fits, true, fits},
        {tooLong, false, {}},
        {cjkTooLong, false, {}},
        {QStringLiteral("../x.exe"), false, {}},
        {QStringLiteral(".."), false, {}},
        {QStringLiteral("."), false, {}},
        {QStringLiteral("a..b.exe"), false, {}},
        {QStringLiteral("a/b.exe"), false, {}},
        {QStringLiteral("/tmp/x.exe"), false, {}},
        {QStringLiteral("a\\b.exe"), false, {}},
        {QStringLiteral("..\\x.exe"), false, {}},
        {QStringLiteral("up\r\nDELE x.exe"), false, {}},
        {QStringLiteral("a\tb.exe"), false, {}},
        {QStringLiteral("a\x7f.exe"), false, {}},
        {QStringLiteral("a\u0085b.exe"), false, {}},
        {QString::fromUtf8("\xF0\x9F\x98\x80.exe"), false, {}}, // no Big5 for it
        {QStringLiteral(""), false, {}},
        {QStringLiteral("   "), false, {}},
        {QStringLiteral("NULL"), false, {}}, // stored as NULL: reads as empty
        // The program's own files, whatever the case: downloading over them would replace,
        // run and then delete them.
        {QStringLiteral("pc1.exe"), false, {}},
        {QStringLiteral("PC1.EXE"), false, {}},
        {QStringLiteral(" Velka.ini "), false, {}},
        {QStringLiteral("SERVER.INI"), false, {}},
        {QStringLiteral("dlrec.TXT"), false, {}},
        {QStringLiteral("pc_velka_setup"), false, {}},
        {QStringLiteral("PC_Velka_Setup"), false, {}},
        {QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUpper(), false, {}},
        {QStringLiteral("pc1.exe.new"), true, QStringLiteral("pc1.exe.new")},
        {QStringLiteral("velka.ini2"), true, QStringLiteral("velka.ini2")},
    };
    std::vector<VersionRow> rows = {{"tarn", "1", "2", "x", "0"}};
    for (size_t i = 0; i < cases.size(); ++i)
        rows.push_back({"tarn", QString::number(100 + int(i)), "0", cases[i].stored, "321"});
    useSqlite(rows);

    InstalledVersion = 1;
    ASSERT_TRUE(SQL_Connect());
    ASSERT_TRUE(SQL_GetNextVersion());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.stored.toStdString());
        messages.clear();
        ASSERT_TRUE(LogFile::Open());
        NextVersion = 100 + int(i);
        UpdateFileName = QStringLiteral("before");
        UpdateFileSize = -1;
        DownloadDir.clear();
        const bool ok = SQL_GetUpdateFile();
        LogFile::Close();
        EXPECT_EQ(ok, c.usable);
        if (c.usable) {
            EXPECT_EQ(UpdateFileName, c.name);
            EXPECT_EQ(UpdateFileSize, 321);
            EXPECT_EQ(DownloadDir, prefix);
            EXPECT_TRUE(messages.empty());
            EXPECT_EQ(logBytes(), big5Lines({c.name, QStringLiteral("DownloadFileSize=321")}));
        } else {
            EXPECT_EQ(UpdateFileName, QStringLiteral("before"));
            EXPECT_EQ(UpdateFileSize, -1);
            EXPECT_TRUE(DownloadDir.isEmpty());
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_EQ(messages[0].text,
                      QStringLiteral("版本:%1\r\n更新檔名不存在!").arg(100 + int(i)));
            EXPECT_EQ(logBytes(), QByteArray());
        }
    }
}

// Numbers from the database: what is not a 32-bit integer is an error of its own (it reaches the
// exception display); a NULL reads as 0; a size of 0 or less (NULL included) names no update:
// one log line says so, the file's message is shown, and the values of the run stay as they were.
TEST_F(DbSqliteTest, HostileNumbersGiveAClearOutcome) {
    useSqlite({
        {"tarn", "1", "abc", "f.exe", "1"},
        {"tarn", "2", "NULL", "f.exe", "1"},
        {"tarn", "3", "99999999999", "f.exe", "1"},
        {"tarn", "4", "-2147483648", "f.exe", "1"},
        {"tarn", "200", "0", "f.exe", "-5"},
        {"tarn", "201", "0", "f.exe", "12abc"},
        {"tarn", "202", "0", "f.exe", "NULL"},
        {"tarn", "203", "0", "f.exe", "4294967296"},
        {"tarn", "204", "0", "f.exe", "2147483647"},
        {"tarn", "205", "0", "f.exe", "1"},
    });
    ASSERT_TRUE(SQL_Connect());

    InstalledVersion = 1;
    EXPECT_THROW(SQL_GetNextVersion(), EConvertError);
    InstalledVersion = 2;
    NextVersion = 55;
    ASSERT_TRUE(SQL_GetNextVersion());
    EXPECT_EQ(NextVersion, 0);
    InstalledVersion = 3;
    EXPECT_THROW(SQL_GetNextVersion(), EConvertError);
    InstalledVersion = 4;
    ASSERT_TRUE(SQL_GetNextVersion());
    EXPECT_EQ(NextVersion, -2147483647 - 1);

    struct Case {
        int version;
        bool valid;
        std::int32_t size;
        bool refused = false;
    };
    const Case cases[] = {{200, true, -5, true}, {201, false, 0},         {202, true, 0, true},
                          {203, false, 0},       {204, true, 2147483647}, {205, true, 1}};
    std::vector<QString> shown;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        ASSERT_TRUE(LogFile::Open());
        NextVersion = c.version;
        if (!c.valid) {
            EXPECT_THROW(SQL_GetUpdateFile(), EConvertError);
            LogFile::Close();
            EXPECT_EQ(logBytes(), QByteArray());
            continue;
        }
        if (c.refused) {
            UpdateFileName = QStringLiteral("before");
            UpdateFileSize = 77;
            EXPECT_FALSE(SQL_GetUpdateFile());
            LogFile::Close();
            EXPECT_EQ(logBytes(),
                      "Update file size refused: " + QByteArray::number(c.size) + "\r\n");
            EXPECT_EQ(UpdateFileName, QStringLiteral("before"));
            EXPECT_EQ(UpdateFileSize, 77);
            shown.push_back(QStringLiteral("版本:%1\r\n更新檔名不存在!").arg(c.version));
            continue;
        }
        ASSERT_TRUE(SQL_GetUpdateFile());
        LogFile::Close();
        EXPECT_EQ(UpdateFileSize, c.size);
        EXPECT_EQ(logBytes(), "f.exe\r\nDownloadFileSize=" + QByteArray::number(c.size) + "\r\n");
    }
    ASSERT_EQ(messages.size(), shown.size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(messages[i].kind, MessageKind::ShowMessage);
        EXPECT_EQ(messages[i].text, shown[i]);
    }
}

// ---------------------------------------------------------------------------------------------
// ODBC

using DbOdbcTest = DbFixture;

// The login goes through the connection string and the ODBC string: a password made of the
// characters that delimit both still reaches the server intact.
TEST_F(DbOdbcTest, PasswordWithDelimitersReachesPostgres) {
    const QString password = QStringLiteral("p'; }{=Data Source='x");
    usePostgres(kRows, password);
    InstalledVersion = 12;
    ASSERT_TRUE(SQL_Connect());
    ASSERT_TRUE(SQL_GetNextVersion());
    EXPECT_EQ(NextVersion, 13);
}

// The driver manager's functions that bound a statement (the query time-out, the test for a dead
// link, the cancel) are found in the manager that QtSql's ODBC plugin loaded: a lookup that
// missed would leave every statement to the last resort alone, or to nothing where there is none.
TEST_F(DbOdbcTest, DriverManagerFunctionsAreFoundOnceConnected) {
    ASSERT_NO_FATAL_FAILURE(useSqlServer(kRows));
    ASSERT_TRUE(SQL_Connect()) << SQL_ConnectError().toStdString();
    for (const char* name : {"SQLSetConnectAttr", "SQLGetConnectAttr", "SQLCancel"})
        EXPECT_NE(odbcManagerFunction(name), nullptr) << name;
    EXPECT_EQ(odbcManagerFunction("SQLNoSuchFunction"), nullptr);
}

// A closed port fails at once; a server that accepts and never answers fails after the
// 5-second login time-out, with psqlODBC and with FreeTDS.
TEST_F(DbOdbcTest, UnreachableServersFailWithinTheTimeout) {
    SilentServer silent;
    ASSERT_GT(silent.port(), 0);
    const int closed = freeLoopbackPort();
    ASSERT_GT(closed, 0);
    for (const char* driver : {"PostgreSQL Unicode", "FreeTDS"}) {
        SCOPED_TRACE(driver);
        pointOdbcAt(QString::fromLatin1(driver), closed);
        QElapsedTimer clock;
        clock.start();
        EXPECT_FALSE(SQL_Connect());
        EXPECT_LT(clock.elapsed(), 3000);

        pointOdbcAt(QString::fromLatin1(driver), silent.port());
        clock.start();
        EXPECT_FALSE(SQL_Connect());
        const qint64 elapsed = clock.elapsed();
        EXPECT_GE(elapsed, 4000);
        EXPECT_LE(elapsed, 6500);
        std::printf("%s: silent server given up after %lld ms\n", driver,
                    static_cast<long long>(elapsed));
    }
}

// Faults of a SQL Server through FreeTDS: a refused login is a server that cannot be reached; a
// reply cut short and a version column of the wrong type are errors that escape the lookup. A
// server that is silent, answers without end (a byte a second) or trickles its replies (a byte
// every half second) is given up on within the query time-out plus the margin, inside the
// connection's opening (then within the login time-out plus both) as in the launcher's own
// statements, and the error says whether nothing came or the answer did not finish.
TEST_F(DbOdbcTest, SqlServerFaultsGiveAClearOutcome) {
    constexpr int kTimeout = 2;
    constexpr int kOpenBound = kConnectionTimeoutSeconds + kTimeout + kStatementMarginSeconds;
    constexpr int kStatementBound = kTimeout + kStatementMarginSeconds;
    const QString noAnswer =
        QStringLiteral("Query timeout expired: no answer from the server within 2 s");
    const QString unfinished =
        QStringLiteral("Query timeout expired: the server did not finish answering within 2 s");
    const QString openUnfinished = QStringLiteral(
        "Connection timeout expired: the server did not finish opening the connection within 7 s");
    enum Step { Connect, Date, Lookup };
    struct Case {
        const char* mode;
        Step fails;          // the step that does not succeed
        const char* error;   // what it raises (Date, Lookup)
        QString message;     // held by its message, or by SQL_Connect's reason
        int withinMs = 3000; // how long the failing step may take
        int atLeastMs = 0;
    };
    const Case cases[] = {
        {"refuse-login", Connect, "", QStringLiteral("Login failed for user 'velkadb'")},
        {"cut", Lookup, "EDatabaseError", QStringLiteral("[FreeTDS]")},
        {"wrong-type", Lookup, "EConvertError", QString()},
        // The type description QtSql asks for inside the opening: FreeTDS's own time-out, its
        // cancel unanswered, its second time-out; QtSql would go on as if connected.
        {"silent", Connect, "",
         QStringLiteral("Connection lost: the server stopped answering while the connection was "
                        "opened"),
         kOpenBound * 1000, 2 * kTimeout * 1000},
        {"stream-open", Connect, "", openUnfinished, kOpenBound * 1000,
         (kConnectionTimeoutSeconds + kTimeout) * 1000},
        {"trickle", Connect, "", openUnfinished, kOpenBound * 1000,
         (kConnectionTimeoutSeconds + kTimeout) * 1000},
        {"silent-queries", Date, "EDatabaseError", noAnswer, kStatementBound * 1000,
         kTimeout * 1000},
        {"stream", Date, "EDatabaseError", unfinished, kStatementBound * 1000, kTimeout * 1000},
        {"trickle-queries", Date, "EDatabaseError", unfinished, kStatementBound * 1000,
         kTimeout * 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        ReleaseUpdateDatabase();
        QFile::remove(dir.filePath(QStringLiteral("tds-trace.txt")));
        ASSERT_NO_FATAL_FAILURE(useSqlServer(kRows, QString::fromLatin1(c.mode)));
        ServerSettings s = serverSettings();
        s.dbQueryTimeout = kTimeout;
        setServerSettings(s);
        InstalledVersion = 12;
        NextVersion = -1;
        QElapsedTimer clock;
        clock.start();
        const bool connected = SQL_Connect();
        qint64 elapsed = clock.elapsed();
        EXPECT_EQ(connected, c.fails != Connect);
        if (c.fails == Connect) {
            EXPECT_TRUE(SQL_ConnectError().contains(c.message)) << SQL_ConnectError().toStdString();
            EXPECT_FALSE(ADOConnection1().Connected());
            EXPECT_EQ(tds->trace().value(0), QStringLiteral("-- login velkadb 會員資料"));
        } else {
            EXPECT_EQ(SQL_ConnectError(), QString());
            EXPECT_LT(elapsed, 3000);
            std::string raised = "nothing";
            QString message;
            try {
                clock.start();
                SQL_GetServerTime();
                if (c.fails == Lookup) {
                    EXPECT_EQ(ServerDate, TdsServer::kDate);
                    clock.start();
                    SQL_GetNextVersion();
                }
            } catch (const EConvertError& e) {
                raised = "EConvertError";
                message = e.message();
            } catch (const EDatabaseError& e) {
                raised = "EDatabaseError";
                message = e.message();
            }
            elapsed = clock.elapsed();
            EXPECT_EQ(raised, c.error);
            EXPECT_TRUE(message.contains(c.message)) << message.toStdString();
            EXPECT_EQ(NextVersion, -1);
            EXPECT_TRUE(messages.empty());
            EXPECT_EQ(tds->trace().last(),
                      c.fails == Lookup ? TdsServer::lookup("tarn", 12) : TdsServer::kDayQuery);
        }
        EXPECT_LT(elapsed, c.withinMs);
        EXPECT_GE(elapsed, c.atLeastMs);
        std::printf("%s: the failing step ended after %lld ms\n", c.mode,
                    static_cast<long long>(elapsed));
    }
}

// A PostgreSQL server that went silent after the login (the server-date query is muted): the
// watchdog's cancel goes over a connection of its own, which libpq holds until the server closes
// it. Whether the server takes the cancel or holds it too, the statement ends within the query
// time-out plus the margin, as a statement that got no answer.
TEST_F(DbOdbcTest, PostgresStatementEndsWhetherTheCancelIsTakenOrHeld) {
    constexpr int kTimeout = 2;
    usePostgres(kRows);
    for (const bool holdCancels : {false, true}) {
        SCOPED_TRACE(holdCancels ? "cancel held" : "cancel taken");
        ReleaseUpdateDatabase();
        MutingProxy proxy(PgCluster::instance().port(), "to_char", holdCancels);
        ASSERT_GT(proxy.port(), 0);
        pointOdbcAt(QStringLiteral("PostgreSQL Unicode"), proxy.port());
        ServerSettings s = serverSettings();
        s.dbQueryTimeout = kTimeout;
        setServerSettings(s);
        ASSERT_TRUE(SQL_Connect()) << SQL_ConnectError().toStdString();
        QElapsedTimer clock;
        clock.start();
        QString message;
        try {
            SQL_GetServerTime();
        } catch (const EDatabaseError& e) {
            message = e.message();
        }
        const qint64 elapsed = clock.elapsed();
        EXPECT_TRUE(message.startsWith(
            QLatin1String("Query timeout expired: no answer from the server within 2 s")))
            << message.toStdString();
        EXPECT_GE(elapsed, kTimeout * 1000);
        EXPECT_LT(elapsed, (kTimeout + kStatementMarginSeconds) * 1000);
        std::printf("%s: the statement ended after %lld ms\n",
                    holdCancels ? "cancel held" : "cancel taken", static_cast<long long>(elapsed));
    }
}

// Encrypt=yes through psqlODBC: the program's own connection is encrypted when the server has
// TLS and fails, naming SSL, when it has not; Encrypt=no keeps the link as it always was (clear
// text, psqlODBC's default) whatever the server offers.
TEST_F(DbOdbcTest, PostgresLinkIsEncryptedOnlyWhenAsked) {
    struct Case {
        bool encrypt;
        bool serverSsl;
        const char* link; // pg_stat_ssl.ssl of the session; null: no connection
    };
    const Case cases[] = {
        {false, false, "false"},
        {false, true, "false"},
        {true, true, "true"},
        {true, false, nullptr},
    };
    usePostgres(kRows);
    PgCluster& pg = PgCluster::instance();
    struct SslOff {
        PgCluster& pg;
        ~SslOff() { EXPECT_EQ(pg.setSsl(false), QString()); }
    } restore{pg};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("encrypt ") + (c.encrypt ? "yes" : "no") + ", server ssl " +
                     (c.serverSsl ? "on" : "off"));
        ASSERT_EQ(pg.setSsl(c.serverSsl), QString());
        ReleaseUpdateDatabase();
        ServerSettings s = serverSettings();
        s.dbEncrypt = c.encrypt;
        setServerSettings(s);
        if (!c.link) {
            TADOConnection connection;
            connection.SetConnectionString(ConnectionString(QString::fromUtf8(kMemberCatalog)));
            try {
                connection.Open();
                ADD_FAILURE() << "connected without TLS";
            } catch (const EDatabaseError& e) {
                // psqlODBC says why: "server does not support SSL, but SSL was required".
                EXPECT_TRUE(e.message().startsWith(QLatin1String("No encrypted connection")) &&
                            e.message().contains(QLatin1String("SSL")))
                    << e.message().toStdString();
            }
            EXPECT_FALSE(connection.Connected());
            EXPECT_FALSE(SQL_Connect());
            continue;
        }
        ASSERT_TRUE(SQL_Connect());
        TADOQuery& query = ADOQuery1();
        query.SetConnection(&ADOConnection1());
        query.SetSql(QStringLiteral(
            "select ssl::text as link from pg_stat_ssl where pid = pg_backend_pid()"));
        query.Open();
        EXPECT_EQ(query.FieldAsString(QStringLiteral("link")), QLatin1String(c.link));
    }
}

// The TDS test server has no TLS: with Encrypt=yes FreeTDS gives up after the pre-login, before
// a login (with its password) is sent in clear text.
TEST_F(DbOdbcTest, SqlServerWithoutTlsIsRefusedWhenEncryptIsOn) {
    ASSERT_NO_FATAL_FAILURE(useSqlServer(kRows));
    ServerSettings s = serverSettings();
    s.dbEncrypt = true;
    setServerSettings(s);
    TADOConnection connection;
    connection.SetConnectionString(ConnectionString(QString::fromUtf8(kMemberCatalog)));
    QElapsedTimer clock;
    clock.start();
    try {
        connection.Open();
        ADD_FAILURE() << "connected without TLS";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(
            e.message().startsWith(QLatin1String("No encrypted connection (Encrypt=yes): ")))
            << e.message().toStdString();
    }
    EXPECT_FALSE(SQL_Connect());
    EXPECT_LT(clock.elapsed(), 6000);
    // The update check logs this reason: FreeTDS's own words would pass for a network fault.
    EXPECT_TRUE(SQL_ConnectError().startsWith(QLatin1String(kNoEncryptionPrefix)))
        << SQL_ConnectError().toStdString();
    EXPECT_EQ(tds->trace(), QStringList());

    s.dbEncrypt = false;
    setServerSettings(s);
    EXPECT_TRUE(SQL_Connect());
    EXPECT_EQ(tds->trace().value(0), QStringLiteral("-- login velkadb 會員資料"));
}
