// Shared by the end-to-end tests that run the whole update: the installed program with
// --unattended in a temporary folder, the interface simulator on a pseudo-terminal, SQLite
// catalogs (or the TDS test server, through FreeTDS) offering version 13 over the installed 12,
// and the scripted FTP server on loopback.
#pragma once

#include "common/download_fixture_base.h"
#include "common/e2e_fixture.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace {

class DownloadE2E : public DownloadFixtureBase {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        for (const char* sub : {"devices", "catalogs", "ftproot/tarn", "Data/LOGO", "img"})
            ASSERT_TRUE(QDir().mkpath(path(sub)));
        ASSERT_NO_FATAL_FAILURE(installProgram(dir));
        for (const char* pic :
             {"Data/main_bg03.jpg", "Data/LOGO/velkapc_logo.jpg", "img/but_exit.jpg"})
            ASSERT_TRUE(QFile::copy(kAssets + QLatin1String(pic), path(pic)));
        writeAll(path("pc1.exe"), "#!/bin/sh\nexit 0\n", true);
        writeAll(path("velka.ini"), kIni);
        seedCatalogs(QStringLiteral("update.sh"), 0);
        simulator = std::make_unique<Simulator>(path("devices"), 4, 5);
        ASSERT_TRUE(simulator->ready());
    }

    // The catalogs, through the project's seeding tool: "tarn" 12 -> 13, and the row of 13
    // names the update file.
    void seedCatalogs(const QString& fileName, qint64 fileSize) {
        QProcess seed;
        seed.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        seed.start(QStringLiteral("/usr/bin/python3"),
                   {kSeed, QStringLiteral("sqlite"), path("catalogs"), QStringLiteral("--row"),
                    QStringLiteral("tarn"), QStringLiteral("12"), QStringLiteral("13"),
                    QStringLiteral("old.exe"), QStringLiteral("10"), QStringLiteral("--row"),
                    QStringLiteral("tarn"), QStringLiteral("13"), QStringLiteral("13"), fileName,
                    QString::number(fileSize)});
        ASSERT_TRUE(seed.waitForFinished(30000));
        ASSERT_EQ(seed.exitCode(), 0);
    }

    // The update installs a new pc1.exe that reports version 13.
    QByteArray putUpdate(qsizetype size) {
        const QByteArray script =
            updateScript(size, "printf '#!/bin/sh\\necho pc1 version 13\\n' > \"$here/pc1.exe\"\n");
        writeAll(path("ftproot/tarn/update.sh"), script);
        seedCatalogs(QStringLiteral("update.sh"), script.size());
        return script;
    }

    // The database on SQL Server instead: the TDS test server with the same two rows. Start it
    // before the FTP server, which writes server.ini.
    void startTds(qint64 fileSize) {
        tds = std::make_unique<TdsServer>(
            path("tds-trace.txt"),
            QStringList{QStringLiteral("--row"), QStringLiteral("tarn"), QStringLiteral("12"),
                        QStringLiteral("13"), QStringLiteral("old.exe"), QStringLiteral("10"),
                        QStringLiteral("--row"), QStringLiteral("tarn"), QStringLiteral("13"),
                        QStringLiteral("13"), QStringLiteral("update.sh"),
                        QString::number(fileSize)});
        ASSERT_TRUE(tds->ready()) << tds->line().constData();
    }

    void startFtp(const QString& mode = QStringLiteral("normal"), qint64 bytes = 0,
                  const QString& password = QStringLiteral("velkaftp"), int faultRetr = 1) {
        ASSERT_NO_FATAL_FAILURE(startFtpServer(mode, bytes, faultRetr));
        writeServerIni(ftpPort(), password);
    }

    void writeServerIni(int ftpPort, const QString& password = QStringLiteral("velkaftp")) {
        const QByteArray database =
            tds ? "Backend=odbc\r\nDriver=FreeTDS\r\nPort=" + QByteArray::number(tds->port()) +
                      "\r\nUser=velkadb\r\nPassword=velkapwd"
                : "Backend=sqlite\r\nDirectory=" + QFile::encodeName(path("catalogs"));
        writeAll(path("server.ini"),
                 "[Server]\r\nHost=127.0.0.1\r\n[Database]\r\n" + database +
                     "\r\n[Ftp]\r\nPort=" + QByteArray::number(ftpPort) + "\r\nUser=" + ftpUser +
                     "\r\nPassword=" + password.toUtf8() + "\r\n" + ftpExtra +
                     "[Interface]\r\nDevices=" + QFile::encodeName(path("devices")) + "\r\n" +
                     extraIni);
    }

    Result run(const QStringList& extra = {}, int limitMs = 120000) {
        return runInstalled(dir, extra, limitMs);
    }

    // The log's lines, each of which must end in CR LF; the server date is replaced by DATE.
    QStringList logLines() {
        QStringList lines = decodeLogLines(readAll(path("DLrec.txt")));
        static const QRegularExpression date(QStringLiteral("^SQL_GetServerTime=\\d{8}$"));
        for (QString& line : lines) {
            if (date.match(line).hasMatch())
                line = QStringLiteral("SQL_GetServerTime=DATE");
        }
        return lines;
    }

    QStringList headLines(qint64 size) const {
        return {QStringLiteral("Ver:2.4"),
                QStringLiteral("連接SQL Server"),
                QStringLiteral("SQL_GetServerTime=DATE"),
                QStringLiteral("+LoadIni"),
                QStringLiteral("Setup=1"),
                QStringLiteral("Pc1=12"),
                QStringLiteral("Interface=1"),
                QStringLiteral("Language=2"),
                QStringLiteral("-LoadIni"),
                QStringLiteral("update.sh"),
                QStringLiteral("DownloadFileSize=%1").arg(size),
                QStringLiteral("執行下載更新檔案")};
    }
    QStringList attemptLines() const {
        return ExpectedLog::successfulAttempt(QDir(dir.path()).canonicalPath() +
                                              QStringLiteral("/update.sh"));
    }
    static QStringList successTail() {
        return {QStringLiteral("修改 velka.ini 版本"), QStringLiteral("等 100ms結束程式")};
    }
    static QStringList failedAttempts(int count) { return ExpectedLog::failedAttempts(count); }

    // The update ran, installed what the server sent and the new version was recorded.
    void expectInstalled(const QByteArray& served) {
        QByteArray ini = kIni;
        ini.replace("Pc1=12", "Pc1=13");
        EXPECT_EQ(readAll(path("velka.ini")), ini);
        EXPECT_EQ(readAll(path("marker")), "ran\n");
        EXPECT_TRUE(readAll(path("installed.bin")) == served);
    }

    void expectUntouched() {
        EXPECT_EQ(readAll(path("velka.ini")), kIni);
        EXPECT_FALSE(QFile::exists(path("marker")));
        EXPECT_FALSE(QFile::exists(path("update.sh")));
        EXPECT_FALSE(r.out.contains(QStringLiteral("軟體更新完成")));
    }

    static inline const QByteArray kIni =
        "; kept as it is\r\n[VERSION]\r\nSetup=1\r\nPc1=12\r\nInterface=1\r\n\r\n[Language]\r\n"
        "Language=2\r\n";
    static inline const QString kGiveUp = ExpectedLog::giveUp();

    QByteArray extraIni; // appended to server.ini
    QByteArray ftpUser = "velk";
    QByteArray ftpExtra; // more [Ftp] lines, each ending in CR LF
    std::unique_ptr<Helper> simulator;
    std::unique_ptr<TdsServer> tds;
    Result r;
};

} // namespace
