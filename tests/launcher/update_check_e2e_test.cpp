// The built program run with --unattended in a temporary folder, against the interface simulator
// and SQLite catalogs made by tools/db_seed.py, a PostgreSQL cluster, or SQL Server through FreeTDS
// (the TDS test server): each road of the update check that ends before the download, seen from
// outside (DLrec.txt byte for byte, the messages printed, velka.ini, the statements that reached
// the server).
#include "common/e2e_fixture.h"
#include "db_support.h"
#include "launcher/UpdateDb.h"
#include "platform/Big5.h"
#include "platform/Database.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct Scenario {
    const char* name;
    int deviceType;
    int pc1; // -1: no velka.ini
    bool cancel;
    bool dropTable;
    QStringList tail;    // log lines after "-LoadIni"
    QStringList printed; // messages on standard output, "[caption] text"
};

const std::vector<VersionRow> kRows = {
    {"tarn", "0", "12", "tarn_v0.exe", "1"},    {"tarn", "12", "13", "tarn_v12.exe", "10"},
    {"tarn", "13", "13", "tarn_v13.exe", "10"}, {"tarn", "20", "21", "tarn_v20.exe", "10"},
    {"fen", "3", "3", "fen_v3.exe", "10"},
};

} // namespace

TEST(UpdateCheckE2e, EachRoadThatEndsBeforeTheDownload) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString devices = dir.filePath(QStringLiteral("devices"));
    const QString catalogs = dir.filePath(QStringLiteral("catalogs"));
    const QString ini = dir.filePath(QStringLiteral("velka.ini"));
    const QString log = dir.filePath(QStringLiteral("DLrec.txt"));
    ASSERT_TRUE(QDir().mkpath(devices));
    ASSERT_NO_FATAL_FAILURE(installProgram(dir));
    ASSERT_NO_FATAL_FAILURE(
        writeAll(dir.filePath(QStringLiteral("server.ini")),
                 "[Server]\r\nHost=127.0.0.1\r\n[Database]\r\nBackend=sqlite\r\n"
                 "Directory=catalogs\r\n[Interface]\r\nDevices=" +
                     QFile::encodeName(devices) + "\r\n"));
    ASSERT_NO_FATAL_FAILURE(
        writeAll(dir.filePath(QStringLiteral("pc1.exe")), "#!/bin/sh\nexit 0\n", true));

    const QString end = QStringLiteral("等 100ms結束程式");
    const QString question =
        QStringLiteral("[PC-VELKA] 發現新的診斷程式版本! \r\n 您想要現在就要下載新版本嗎?");
    const QString title = QStringLiteral("[pc_velka_setup] ");
    const std::vector<Scenario> scenarios = {
        {"unreachable: no catalogs", 5, 12, false, false, {}, {}},
        {"no row for the installed version",
         5,
         7,
         false,
         false,
         {end},
         {title + QStringLiteral("錯誤的診斷程式版本!")}},
        {"no newer version", 5, 13, false, false, {end}, {}},
        {"no velka.ini: version 0, answered Cancel", 5, -1, true, false, {end}, {question}},
        {"answered OK, no row for the new version's file",
         5,
         20,
         false,
         false,
         {end},
         {question, title + QStringLiteral("版本:21\r\n更新檔名不存在!")}},
        {"device type 1 reads the fen rows", 1, 3, false, false, {end}, {}},
        {"missing table: the error display, the log so far", 5, 12, false, true, {}, {}},
    };

    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        QDir(catalogs).removeRecursively();
        const bool unreachable = QString::fromLatin1(s.name).startsWith(QLatin1String("unreach"));
        if (!unreachable) {
            runSeedTool({QStringLiteral("sqlite"), catalogs}, kRows);
            if (s.dropTable) {
                const CommandResult r = runCommand(QStringLiteral("sqlite3"),
                                                   {catalogs + QStringLiteral("/軟體版本.sqlite3"),
                                                    QStringLiteral("drop table pcvelka")});
                ASSERT_EQ(r.exitCode, 0);
            }
        }
        QFile::remove(ini);
        if (s.pc1 >= 0) {
            ASSERT_NO_FATAL_FAILURE(
                writeAll(ini, "[VERSION]\r\nSetup=3\r\nPc1=" + QByteArray::number(s.pc1) +
                                  "\r\nInterface=4\r\n"));
        }
        const QByteArray iniBefore = readAll(ini);
        QFile::remove(log);

        Simulator sim(devices, 4, s.deviceType);
        ASSERT_TRUE(sim.ready());
        QStringList args;
        if (s.cancel)
            args << QStringLiteral("--answer=cancel");
        const Result run = runInstalled(dir, args, 30000);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0);
        const QString out = run.out;

        const QByteArray bytes = readAll(log);
        QStringList expected = {QStringLiteral("Ver:2.4"), QStringLiteral("連接SQL Server")};
        if (unreachable) {
            expected << QStringLiteral("無網路 或 網路連線異常") << end;
        } else {
            const QRegularExpressionMatch date =
                QRegularExpression(QStringLiteral("SQL_GetServerTime=([0-9]{8})\r\n"))
                    .match(QString::fromLatin1(bytes));
            ASSERT_TRUE(date.hasMatch()) << bytes.constData();
            const bool withIni = s.pc1 >= 0;
            expected << QStringLiteral("SQL_GetServerTime=") + date.captured(1)
                     << QStringLiteral("+LoadIni")
                     << QStringLiteral("Setup=%1").arg(withIni ? 3 : 0)
                     << QStringLiteral("Pc1=%1").arg(withIni ? s.pc1 : 0)
                     << QStringLiteral("Interface=%1").arg(withIni ? 4 : 0)
                     << QStringLiteral("Language=0") << QStringLiteral("-LoadIni") << s.tail;
        }
        QByteArray want;
        for (const QString& line : expected)
            want += toBig5(line) + "\r\n";
        EXPECT_EQ(bytes, want);

        if (s.dropTable) {
            // The exception display: one message, the driver's text naming the table.
            EXPECT_TRUE(out.startsWith(title)) << out.toStdString();
            EXPECT_TRUE(out.contains(QLatin1String("pcvelka"))) << out.toStdString();
        } else {
            QString printed;
            for (const QString& m : s.printed)
                printed += m + QLatin1Char('\n');
            EXPECT_EQ(out, printed);
        }
        EXPECT_EQ(readAll(ini), iniBefore); // velka.ini is never written on these roads
    }
}

// A statement that never finishes on a real PostgreSQL server: the table locked by another
// session, or a server that accepted the login and then answers nothing. With the query time-out
// shortened in server.ini, each run ends by itself through the exception display, and the log
// stops after the last line written before the statement.
TEST(UpdateCheckE2e, StatementsGiveUpAfterTheQueryTimeout) {
    PgCluster& pg = PgCluster::instance();
    ASSERT_TRUE(pg.ok()) << pg.error().toStdString();
    pg.seed(kRows);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString devices = dir.filePath(QStringLiteral("devices"));
    ASSERT_TRUE(QDir().mkpath(devices));
    ASSERT_NO_FATAL_FAILURE(installProgram(dir));
    ASSERT_NO_FATAL_FAILURE(
        writeAll(dir.filePath(QStringLiteral("pc1.exe")), "#!/bin/sh\nexit 0\n", true));
    ASSERT_NO_FATAL_FAILURE(writeAll(dir.filePath(QStringLiteral("velka.ini")),
                                     "[VERSION]\r\nSetup=3\r\nPc1=12\r\nInterface=4\r\n"));
    constexpr int kTimeout = 2;
    const auto serverIni = [&](int port) {
        return "[Server]\r\nHost=127.0.0.1\r\n[Database]\r\nBackend=odbc\r\n"
               "Driver=PostgreSQL Unicode\r\nPort=" +
               QByteArray::number(port) + "\r\nUser=" + kDbUser + "\r\nPassword=" + kDbPassword +
               "\r\nQueryTimeout=" + QByteArray::number(kTimeout) +
               "\r\n[Interface]\r\nDevices=" + QFile::encodeName(devices) + "\r\n";
    };
    const QStringList head = {QStringLiteral("Ver:2.4"), QStringLiteral("連接SQL Server")};
    const QStringList loadIni = {QStringLiteral("+LoadIni"),   QStringLiteral("Setup=3"),
                                 QStringLiteral("Pc1=12"),     QStringLiteral("Interface=4"),
                                 QStringLiteral("Language=0"), QStringLiteral("-LoadIni")};

    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "server silent after the login" : "table locked by another session");
        std::unique_ptr<QProcess> lock;
        std::unique_ptr<MutingProxy> proxy;
        if (silent) {
            // The server-date query is the first statement after the login.
            proxy = std::make_unique<MutingProxy>(pg.port(), "to_char");
            ASSERT_GT(proxy->port(), 0);
        } else {
            lock =
                pg.holdInTransaction(QString::fromUtf8(kVersionCatalog),
                                     QStringLiteral("lock table pcvelka in access exclusive mode"));
            ASSERT_TRUE(lock);
        }
        ASSERT_NO_FATAL_FAILURE(writeAll(dir.filePath(QStringLiteral("server.ini")),
                                         serverIni(silent ? proxy->port() : pg.port())));
        QFile::remove(dir.filePath(QStringLiteral("DLrec.txt")));

        Simulator sim(devices, 4, 5);
        ASSERT_TRUE(sim.ready());
        QElapsedTimer clock;
        clock.start();
        const Result run = runInstalled(dir, {}, 40000);
        const qint64 elapsed = clock.elapsed();
        if (lock) {
            lock->closeWriteChannel();
            lock->waitForFinished(5000);
        }
        ASSERT_TRUE(run.finished) << "still waiting for the statement after 40 s";
        EXPECT_GE(elapsed, kTimeout * 1000);
        EXPECT_LT(elapsed, (kTimeout + kStatementMarginSeconds + 8) * 1000);
        EXPECT_TRUE(run.out.startsWith(QStringLiteral("[pc_velka_setup] ")))
            << run.out.toStdString();
        EXPECT_TRUE(run.out.contains(silent ? QStringLiteral("Query timeout expired")
                                            : QStringLiteral("statement timeout")))
            << run.out.toStdString();

        QStringList expected = head;
        QByteArray bytes = readAll(dir.filePath(QStringLiteral("DLrec.txt")));
        if (!silent) {
            const QRegularExpressionMatch date =
                QRegularExpression(QStringLiteral("SQL_GetServerTime=([0-9]{8})\r\n"))
                    .match(QString::fromLatin1(bytes));
            ASSERT_TRUE(date.hasMatch()) << bytes.constData();
            expected << QStringLiteral("SQL_GetServerTime=") + date.captured(1) << loadIni;
        }
        QByteArray want;
        for (const QString& line : expected)
            want += toBig5(line) + "\r\n";
        EXPECT_EQ(bytes, want);
    }
}

// The same roads with Backend=odbc and Driver=FreeTDS against the TDS test server, and the
// server's faults. The server's trace shows exactly the launcher's statements, in order, each on
// the catalog it needs, besides what the ODBC layer sends of its own on each connection.
class UpdateCheckOverTds : public ::testing::Test {
protected:
    struct Case {
        const char* name;
        const char* mode = "normal";
        const char* password = "velkapwd"; // in server.ini
        const char* settings = "";         // more [Database] lines in server.ini
        int pc1 = 12;
        bool cancel = false;
        bool reached = true;   // the server date came: the log goes on to "-LoadIni"
        QStringList tail = {}; // log lines after "-LoadIni" (or "連接SQL Server" if not reached)
        QStringList printed = {};    // messages on standard output
        const char* error = nullptr; // instead: the error display, with a message holding this text
        QStringList trace = {};
    };

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir().mkpath(devices));
        ASSERT_NO_FATAL_FAILURE(installProgram(dir));
        ASSERT_NO_FATAL_FAILURE(
            writeAll(dir.filePath(QStringLiteral("pc1.exe")), "#!/bin/sh\nexit 0\n", true));
    }

    // One run of the installed program against a fresh server; returns how long it took.
    qint64 runRoad(const Case& c) {
        SCOPED_TRACE(c.name);
        const QString trace = dir.filePath(QStringLiteral("tds-trace.txt"));
        const QString ini = dir.filePath(QStringLiteral("velka.ini"));
        const QString log = dir.filePath(QStringLiteral("DLrec.txt"));
        QFile::remove(trace);
        QFile::remove(log);
        TdsServer tds(trace, rowArgs(kRows), QString::fromLatin1(c.mode));
        EXPECT_TRUE(tds.ready()) << tds.line().constData();
        writeAll(dir.filePath(QStringLiteral("server.ini")),
                 "[Server]\r\nHost=127.0.0.1\r\n[Database]\r\nBackend=odbc\r\nDriver=FreeTDS\r\n"
                 "Port=" +
                     QByteArray::number(tds.port()) + "\r\nUser=velkadb\r\nPassword=" + c.password +
                     "\r\n" + c.settings + "[Interface]\r\nDevices=" + QFile::encodeName(devices) +
                     "\r\n");
        writeAll(ini, "[VERSION]\r\nSetup=3\r\nPc1=" + QByteArray::number(c.pc1) +
                          "\r\nInterface=4\r\n");
        const QByteArray iniBefore = readAll(ini);

        Simulator sim(devices, 4, 5);
        EXPECT_TRUE(sim.ready());
        QStringList args;
        if (c.cancel)
            args << QStringLiteral("--answer=cancel");
        const Result run = runInstalled(dir, args, 30000);
        EXPECT_TRUE(run.finished) << "the run must end by itself";
        EXPECT_EQ(run.exitCode, 0);
        std::printf("%s: the run %s after %lld ms\n", c.name, run.finished ? "ended" : "was killed",
                    static_cast<long long>(run.elapsedMs));

        QStringList expected = {QStringLiteral("Ver:2.4"), QStringLiteral("連接SQL Server")};
        if (c.reached) {
            expected << QStringLiteral("SQL_GetServerTime=") + TdsServer::kDate
                     << QStringLiteral("+LoadIni") << QStringLiteral("Setup=3")
                     << QStringLiteral("Pc1=%1").arg(c.pc1) << QStringLiteral("Interface=4")
                     << QStringLiteral("Language=0") << QStringLiteral("-LoadIni");
        }
        expected << c.tail;
        QByteArray want;
        for (const QString& line : expected)
            want += toBig5(line) + "\r\n";
        EXPECT_EQ(readAll(log), want);

        if (c.error) {
            // The error display: one message, the driver's or the conversion's own text.
            EXPECT_TRUE(run.out.startsWith(kTitle)) << run.out.toStdString();
            EXPECT_TRUE(run.out.contains(QLatin1String(c.error))) << run.out.toStdString();
            EXPECT_EQ(run.out.count(QLatin1Char('\n')), 1) << run.out.toStdString();
        } else {
            QString printed;
            for (const QString& m : c.printed)
                printed += m + QLatin1Char('\n');
            EXPECT_EQ(run.out, printed);
        }
        EXPECT_EQ(tds.trace(), c.trace);
        EXPECT_EQ(readAll(ini), iniBefore);
        return run.elapsedMs;
    }

    static inline const QString kEnd = QStringLiteral("等 100ms結束程式");
    static inline const QString kTitle = QStringLiteral("[pc_velka_setup] ");
    static inline const QString kUnreachable = QStringLiteral("無網路 或 網路連線異常");
    static inline const QString kMember = QString::fromUtf8(kMemberCatalog);
    static inline const QStringList kRefused = {QStringLiteral("-- login velkadb ") + kMember};

    QTemporaryDir dir;
    QString devices = dir.filePath(QStringLiteral("devices"));
};

TEST_F(UpdateCheckOverTds, EachRoadAndFault) {
    const QString question =
        QStringLiteral("[PC-VELKA] 發現新的診斷程式版本! \r\n 您想要現在就要下載新版本嗎?");
    const QStringList bothLogins = TdsServer::session(kMember) + QStringList{TdsServer::kDayQuery} +
                                   TdsServer::session(QString::fromUtf8(kVersionCatalog));
    const std::vector<Case> cases = {
        {.name = "no row for the installed version",
         .pc1 = 7,
         .tail = {kEnd},
         .printed = {kTitle + QStringLiteral("錯誤的診斷程式版本!")},
         .trace = bothLogins + QStringList{TdsServer::lookup("tarn", 7)}},
        {.name = "update found, answered Cancel",
         .cancel = true,
         .tail = {kEnd},
         .printed = {question},
         .trace = bothLogins + QStringList{TdsServer::lookup("tarn", 12)}},
        {.name = "answered OK, no row for the new version's file",
         .pc1 = 20,
         .tail = {kEnd},
         .printed = {question, kTitle + QStringLiteral("版本:21\r\n更新檔名不存在!")},
         .trace = bothLogins +
                  QStringList{TdsServer::lookup("tarn", 20), TdsServer::lookup("tarn", 21)}},
        {.name = "login refused",
         .mode = "refuse-login",
         .reached = false,
         .tail = {kUnreachable, kEnd},
         .trace = kRefused},
        {.name = "wrong password",
         .password = "wrongpwd",
         .reached = false,
         .tail = {kUnreachable, kEnd},
         .trace = kRefused},
        // FreeTDS gives up after the pre-login, before the password goes out in clear text; the
        // reason line is what tells the user that encryption, not the network, is the cause.
        {.name = "Encrypt=yes, server without TLS",
         .settings = "Encrypt=yes\r\n",
         .reached = false,
         .tail = {kUnreachable,
                  QString::fromLatin1(kNoEncryptionPrefix) +
                      QStringLiteral("[FreeTDS][SQL Server]Unable to connect to data source "
                                     "[FreeTDS][SQL Server]Adaptive Server connection failed "
                                     "QODBC: Unable to connect"),
                  kEnd}},
        {.name = "reply cut in the middle",
         .mode = "cut",
         .error = "[FreeTDS]",
         .trace = bothLogins + QStringList{TdsServer::lookup("tarn", 12)}},
        {.name = "next version of the wrong type",
         .mode = "wrong-type",
         .error = "is not a valid integer value",
         .trace = bothLogins + QStringList{TdsServer::lookup("tarn", 12)}},
    };
    for (const Case& c : cases)
        runRoad(c);
}

// Hostile servers after the login, with QueryTimeout=2: silent, answering without end (a byte a
// second) or trickling every byte (one every half second), inside the connection's opening (the
// statements QtSql's ODBC driver runs there) or in the launcher's first statement. Each run ends
// by itself: an opening that does not complete is an unreachable server (the log's four lines),
// a statement is the error display naming what happened. The program's own start and the
// interface search come on top of the database's bound.
TEST_F(UpdateCheckOverTds, HostileServersAfterTheLoginEndWithinTheBound) {
    constexpr int kTimeout = 2;
    constexpr qint64 kRunOverheadMs = 3000;
    const qint64 openBound =
        (kConnectionTimeoutSeconds + kTimeout + kStatementMarginSeconds) * 1000 + kRunOverheadMs;
    const qint64 statementBound = (kTimeout + kStatementMarginSeconds) * 1000 + kRunOverheadMs;
    const QStringList opening = TdsServer::session(kMember).mid(0, 2);
    const QStringList firstStatement =
        TdsServer::session(kMember) + QStringList{TdsServer::kDayQuery};
    struct Hostile {
        Case road;
        qint64 boundMs;
    };
    const std::vector<Hostile> cases = {
        {{.name = "silent inside the opening",
          .mode = "silent",
          .settings = "QueryTimeout=2\r\n",
          .reached = false,
          .tail = {kUnreachable, kEnd},
          .trace = opening},
         openBound},
        {{.name = "endless reply inside the opening",
          .mode = "stream-open",
          .settings = "QueryTimeout=2\r\n",
          .reached = false,
          .tail = {kUnreachable, kEnd},
          .trace = opening},
         openBound},
        {{.name = "trickled replies inside the opening",
          .mode = "trickle",
          .settings = "QueryTimeout=2\r\n",
          .reached = false,
          .tail = {kUnreachable, kEnd},
          .trace = opening},
         openBound},
        {{.name = "no answer to the server-date query",
          .mode = "silent-queries",
          .settings = "QueryTimeout=2\r\n",
          .reached = false,
          .error = "Query timeout expired: no answer from the server within 2 s",
          .trace = firstStatement},
         statementBound},
        {{.name = "endless reply to the server-date query",
          .mode = "stream",
          .settings = "QueryTimeout=2\r\n",
          .reached = false,
          .error = "Query timeout expired: the server did not finish answering within 2 s",
          .trace = firstStatement},
         statementBound},
        {{.name = "trickled reply to the server-date query",
          .mode = "trickle-queries",
          .settings = "QueryTimeout=2\r\n",
          .reached = false,
          .error = "Query timeout expired: the server did not finish answering within 2 s",
          .trace = firstStatement},
         statementBound},
    };
    for (const Hostile& c : cases) {
        const qint64 elapsed = runRoad(c.road);
        EXPECT_GE(elapsed, kTimeout * 1000) << c.road.name;
        EXPECT_LT(elapsed, c.boundMs) << c.road.name;
    }
}
