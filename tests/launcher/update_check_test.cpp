// The update check from the opened log to the end step, against real catalogs: the log byte for
// byte (Big5, CR LF), the boxes shown, and velka.ini written only after a successful download.
#include "db_fixture.h"
#include "launcher/UpdateCheck.h"

#include <QElapsedTimer>

namespace {

const std::vector<VersionRow> kRows = {
    {"tarn", "0", "12", "tarn_v0.exe", "1"},        {"tarn", "12", "13", "tarn_v12.exe", "10"},
    {"tarn", "13", "13", " tarn_v13.exe ", "4096"}, {"tarn", "20", "19", "tarn_v20.exe", "10"},
    {"tarn", "30", "31", "tarn_v30.exe", "10"}, // 31 has no row
    {"tarn", "40", "41", "tarn_v40.exe", "10"},     {"tarn", "41", "41", "../evil.exe", "10"},
    {"tarn", "50", "51", "tarn_v50.exe", "10"},     {"tarn", "51", "51", "tarn_v51.exe", "0"},
    {"tarn", "60", "61", "tarn_v60.exe", "10"},     {"tarn", "61", "61", "tarn_v61.exe", "-1"},
};

const char* const kWindowLine = "window ran";
int g_windowResult = 0;
int g_windowRuns = 0;
QString g_windowReplacesIni; // non-empty: velka.ini is turned into a folder meanwhile

// Stands in for the download window: what it writes to the log and the result it leaves.
void fakeWindow() {
    ++g_windowRuns;
    if (!g_windowReplacesIni.isEmpty() && QFile::remove(g_windowReplacesIni))
        QDir().mkdir(g_windowReplacesIni);
    LogFile::Write(QString::fromLatin1(kWindowLine));
    DownloadResult = g_windowResult;
}

const QString kQuestion = QStringLiteral("發現新的診斷程式版本! \r\n 您想要現在就要下載新版本嗎?");

class UpdateCheckTest : public DbFixture {
protected:
    void SetUp() override {
        DbFixture::SetUp();
        previousRunner = setDownloadWindowRunner(&fakeWindow);
        g_windowRuns = 0;
        g_windowResult = 0;
        g_windowReplacesIni.clear();
    }
    void TearDown() override {
        setDownloadWindowRunner(previousRunner);
        DbFixture::TearDown();
    }
    QString iniPath() const { return dir.filePath(QStringLiteral("velka.ini")); }
    void writeIni(int pc1) {
        QFile f(iniPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[VERSION]\r\nSetup=3\r\nPc1=" + QByteArray::number(pc1) +
                "\r\nInterface=4\r\n[Language]\r\nLanguage=1\r\n");
    }
    // The lines every run that reached the database writes before the version lookup.
    QStringList head(int pc1, bool withIni) const {
        return {QStringLiteral("Ver:2.4"),
                QStringLiteral("連接SQL Server"),
                QStringLiteral("SQL_GetServerTime=") + ServerDate,
                QStringLiteral("+LoadIni"),
                QStringLiteral("Setup=%1").arg(withIni ? 3 : 0),
                QStringLiteral("Pc1=%1").arg(pc1),
                QStringLiteral("Interface=%1").arg(withIni ? 4 : 0),
                QStringLiteral("Language=%1").arg(withIni ? 1 : 0),
                QStringLiteral("-LoadIni")};
    }

    DownloadWindowRunner previousRunner = nullptr;
};

class UpdateCheckBackendTest : public UpdateCheckTest,
                               public ::testing::WithParamInterface<Backend> {};

INSTANTIATE_TEST_SUITE_P(Backends, UpdateCheckBackendTest,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres, Backend::SqlServer),
                         backendName);

const QString kEnd = QStringLiteral("等 100ms結束程式");

} // namespace

TEST_F(UpdateCheckTest, UnreachableDatabaseLogsExactlyFourLines) {
    useSqlite(kRows);
    ASSERT_TRUE(QFile::remove(catalogFile(kMemberCatalog)));
    writeIni(12);
    const QByteArray iniBefore = fileBytes(iniPath());
    {
        QFile old(dir.filePath(QStringLiteral("DLrec.txt")));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("an earlier run\r\n");
    }
    RunUpdateCheck();
    EXPECT_EQ(logBytes(), QByteArray("Ver:2.4\r\n") + toBig5(QStringLiteral("連接SQL Server")) +
                              "\r\n" + toBig5(QStringLiteral("無網路 或 網路連線異常")) + "\r\n" +
                              toBig5(kEnd) + "\r\n");
    EXPECT_FALSE(LogFile::IsOpen());
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(InstalledVersion, 0); // velka.ini is not even read
    EXPECT_EQ(fileBytes(iniPath()), iniBefore);
    EXPECT_FALSE(QFile::exists(catalogFile(kMemberCatalog)));
}

// Each road of the check that ends before the download: its log, its boxes, velka.ini untouched.
TEST_P(UpdateCheckBackendTest, EndsBeforeTheDownload) {
    use(GetParam(), kRows);
    struct Case {
        const char* name;
        int pc1; // -1: no velka.ini
        std::vector<int> answers;
        QStringList tail;  // lines after -LoadIni
        QStringList shown; // texts of the messages, in order
    };
    const QString noFile31 = QStringLiteral("版本:31\r\n更新檔名不存在!");
    const QString noFile41 = QStringLiteral("版本:41\r\n更新檔名不存在!");
    const std::vector<Case> cases = {
        {"no row for the installed version",
         7,
         {},
         {kEnd},
         {QStringLiteral("錯誤的診斷程式版本!")}},
        {"next version lower", 20, {}, {kEnd}, {}},
        {"next version equal", 13, {}, {kEnd}, {}},
        {"cancel", 12, {IDCANCEL}, {kEnd}, {kQuestion}},
        {"no velka.ini reads as 0, then cancel", -1, {IDCANCEL}, {kEnd}, {kQuestion}},
        {"no row for the new version's file", 30, {IDOK}, {kEnd}, {kQuestion, noFile31}},
        {"file name leaving the folder", 40, {IDOK}, {kEnd}, {kQuestion, noFile41}},
        // Nothing to download: refused before the window, in one line.
        {"file of size 0",
         50,
         {IDOK},
         {QStringLiteral("Update file size refused: 0"), kEnd},
         {kQuestion, QStringLiteral("版本:51\r\n更新檔名不存在!")}},
        {"file of negative size",
         60,
         {IDOK},
         {QStringLiteral("Update file size refused: -1"), kEnd},
         {kQuestion, QStringLiteral("版本:61\r\n更新檔名不存在!")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(iniPath());
        if (c.pc1 >= 0)
            writeIni(c.pc1);
        const QByteArray iniBefore = fileBytes(iniPath());
        messages.clear();
        boxAnswers = c.answers;

        RunUpdateCheck();

        EXPECT_FALSE(LogFile::IsOpen());
        EXPECT_EQ(logBytes(), big5Lines(head(c.pc1 < 0 ? 0 : c.pc1, c.pc1 >= 0) + c.tail));
        EXPECT_EQ(ServerDate.size(), 8);
        QStringList shown;
        for (const MessageRequest& m : messages) {
            shown << m.text;
            if (m.kind == MessageKind::Box) {
                EXPECT_EQ(m.caption, QStringLiteral("PC-VELKA"));
                EXPECT_EQ(m.type, 0x21u);
            } else {
                EXPECT_EQ(m.kind, MessageKind::ShowMessage);
            }
        }
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(fileBytes(iniPath()), iniBefore);
        EXPECT_EQ(g_windowRuns, 0);
    }
}

// The download window runs; only DownloadResult 1 records the version and says so.
TEST_P(UpdateCheckBackendTest, RecordsTheVersionOnlyAfterASuccessfulDownload) {
    use(GetParam(), kRows);
    // 4: the download succeeds, but velka.ini can no longer be replaced when it is recorded.
    for (int result : {0, 2, 3, 1, 4}) {
        SCOPED_TRACE(result);
        QDir(iniPath()).removeRecursively();
        writeIni(12);
        const QByteArray iniBefore = fileBytes(iniPath());
        messages.clear();
        g_windowResult = result == 4 ? 1 : result;
        g_windowReplacesIni = result == 4 ? iniPath() : QString();
        DownloadResult = 77; // the check itself resets it before the window

        RunUpdateCheck();

        QStringList tail = {QStringLiteral("tarn_v13.exe"), QStringLiteral("DownloadFileSize=4096"),
                            QStringLiteral("執行下載更新檔案"), QString::fromLatin1(kWindowLine)};
        if (result == 1 || result == 4)
            tail << QStringLiteral("修改 velka.ini 版本");
        if (result == 4)
            tail << QStringLiteral("velka.ini 版本寫入失敗");
        tail << kEnd;
        EXPECT_EQ(logBytes(), big5Lines(head(12, true) + tail));
        EXPECT_FALSE(LogFile::IsOpen());
        EXPECT_EQ(UpdateFileName, QStringLiteral("tarn_v13.exe"));
        EXPECT_EQ(DownloadDir, dir.path() + QLatin1Char('/'));
        if (result == 1) {
            EXPECT_EQ(fileBytes(iniPath()), "[VERSION]\r\nSetup=3\r\nPc1=13\r\nInterface=4\r\n"
                                            "[Language]\r\nLanguage=1\r\n");
            ASSERT_EQ(messages.size(), 2u);
            EXPECT_EQ(messages[1].kind, MessageKind::ShowMessage);
            EXPECT_EQ(messages[1].text, QStringLiteral("軟體更新完成      "));
        } else if (result == 4) {
            EXPECT_TRUE(QFileInfo(iniPath()).isDir());
            ASSERT_EQ(messages.size(), 2u);
            EXPECT_EQ(messages[1].kind, MessageKind::ShowMessage);
            EXPECT_EQ(messages[1].text, QStringLiteral("軟體更新完成, \r\n 但無法記錄新版本!") +
                                            QString(14, QLatin1Char(' ')));
        } else {
            EXPECT_EQ(fileBytes(iniPath()), iniBefore);
            ASSERT_EQ(messages.size(), 1u);
        }
        EXPECT_EQ(messages[0].text, kQuestion);
    }
    EXPECT_EQ(g_windowRuns, 5);
    QDir(iniPath()).removeRecursively();
}

// An error after the first connection stops the check: it reaches the caller (and so the entry
// point's exception display); the log keeps the lines written so far and is closed.
TEST_P(UpdateCheckBackendTest, ErrorAfterTheFirstConnectionEscapes) {
    use(GetParam(), kRows);
    dropVersionTable(GetParam());
    writeIni(12);
    const QByteArray iniBefore = fileBytes(iniPath());
    EXPECT_THROW(RunUpdateCheck(), EDatabaseError);
    EXPECT_FALSE(LogFile::IsOpen());
    EXPECT_EQ(logBytes(), big5Lines(head(12, true)));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(fileBytes(iniPath()), iniBefore);
}

// A download window that cannot be built (a picture missing, say): the error reaches the caller,
// the log ends with the line before the window, velka.ini stays as it was.
TEST_F(UpdateCheckTest, WindowThatCannotBeBuiltLeavesTheLogAtTheDownloadLine) {
    useSqlite(kRows);
    writeIni(12);
    const QByteArray iniBefore = fileBytes(iniPath());
    setDownloadWindowRunner([] { throw EFOpenError(QStringLiteral("Data/main_bg03.jpg")); });
    EXPECT_THROW(RunUpdateCheck(), EFOpenError);
    EXPECT_FALSE(LogFile::IsOpen());
    EXPECT_EQ(logBytes(),
              big5Lines(head(12, true) + QStringList{QStringLiteral("tarn_v13.exe"),
                                                     QStringLiteral("DownloadFileSize=4096"),
                                                     QStringLiteral("執行下載更新檔案")}));
    EXPECT_EQ(fileBytes(iniPath()), iniBefore);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, kQuestion);
}

// Through psqlODBC: a server that accepts and never answers, and a refused login.
TEST_F(UpdateCheckTest, UnreachablePostgresLogsExactlyFourLines) {
    SilentServer silent;
    ASSERT_GT(silent.port(), 0);
    usePostgres(kRows);
    const int realPort = PgCluster::instance().port();
    const QByteArray fourLines =
        big5Lines({QStringLiteral("Ver:2.4"), QStringLiteral("連接SQL Server"),
                   QStringLiteral("無網路 或 網路連線異常"), kEnd});
    for (const bool refusedLogin : {false, true}) {
        SCOPED_TRACE(refusedLogin ? "refused login" : "silent server");
        if (refusedLogin)
            pointOdbcAt(QStringLiteral("PostgreSQL Unicode"), realPort, QStringLiteral("wrongpwd"));
        else
            pointOdbcAt(QStringLiteral("PostgreSQL Unicode"), silent.port());
        QElapsedTimer clock;
        clock.start();
        RunUpdateCheck();
        EXPECT_LE(clock.elapsed(), 6500);
        EXPECT_EQ(logBytes(), fourLines);
        EXPECT_FALSE(QFile::exists(iniPath()));
        EXPECT_TRUE(messages.empty());
    }
}

// Encrypt=yes against a server without TLS (the TDS test server; PostgreSQL with ssl off): the
// check still ends as for an unreachable server, and one more line says that no encrypted
// connection could be made and why, in the driver's words, which also tell a server that is not
// there at all from one that refused encryption.
TEST_F(UpdateCheckTest, RefusedEncryptionIsNamedInTheLog) {
    struct Case {
        Backend backend;
        bool reachable;
        const char* driverWords; // in the reason line
    };
    const Case cases[] = {
        {Backend::SqlServer, true, "[FreeTDS]"},
        {Backend::Postgres, true, "SSL"},
        {Backend::SqlServer, false, "unavailable or does not exist"},
    };
    const QStringList head = {QStringLiteral("Ver:2.4"), QStringLiteral("連接SQL Server"),
                              QStringLiteral("無網路 或 網路連線異常")};
    for (const Case& c : cases) {
        SCOPED_TRACE(backendName({c.backend, 0}) + (c.reachable ? "" : ", no server"));
        ReleaseUpdateDatabase();
        ASSERT_NO_FATAL_FAILURE(use(c.backend, kRows));
        ServerSettings s = serverSettings();
        s.dbEncrypt = true;
        if (!c.reachable)
            s.dbPort = QString::number(freeLoopbackPort());
        setServerSettings(s);
        RunUpdateCheck();
        const QStringList lines =
            fromBig5(logBytes()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 5) << lines.join(u'|').toStdString();
        EXPECT_EQ(lines.mid(0, 3), head);
        EXPECT_TRUE(lines[3].startsWith(QLatin1String(kNoEncryptionPrefix)) &&
                    lines[3].contains(QLatin1String(c.driverWords)))
            << lines[3].toStdString();
        EXPECT_EQ(lines.last(), kEnd);
        EXPECT_TRUE(messages.empty());
    }
}

// The server date is the server's text: a line break or another control character in it ends
// what is logged, so the server cannot add lines of its own to DLrec.txt.
TEST_F(UpdateCheckTest, ServerDateIsLoggedUpToItsFirstControlCharacter) {
    usePostgres(kRows);
    if (HasFatalFailure())
        return;
    PgCluster& pg = PgCluster::instance();
    const QString members = QString::fromUtf8(kMemberCatalog);
    // The launcher's role finds this to_char before the built-in one.
    CommandResult r = pg.psql(members, QStringLiteral("alter role %1 in database \"%2\" set "
                                                      "search_path = public, pg_catalog")
                                           .arg(QString::fromLatin1(kDbUser), members));
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
    for (const char* tail : {"chr(13) || chr(10) || '修改 velka.ini 版本'", "chr(9) || 'x'",
                             "chr(27) || '[2J'", "chr(127)"}) {
        SCOPED_TRACE(tail);
        r = pg.psql(members, QStringLiteral("create or replace function public.to_char(date, "
                                            "text) returns text language sql as "
                                            "$$select '20261208' || %1$$")
                                 .arg(QString::fromUtf8(tail)));
        ASSERT_EQ(r.exitCode, 0) << r.output.constData();
        writeIni(13); // no newer version: the check ends after the lookup
        RunUpdateCheck();
        EXPECT_TRUE(ServerDate.startsWith(QStringLiteral("20261208")));
        EXPECT_GT(ServerDate.size(), 8);
        QStringList expected = head(13, true);
        expected[2] = QStringLiteral("SQL_GetServerTime=20261208");
        EXPECT_EQ(logBytes(), big5Lines(expected << kEnd));
    }
}
