#pragma once
// Shared set-up of the download tests: a temporary folder as the current directory (log,
// exit picture, download folder, FTP root), the run's globals reset, messages recorded instead
// of shown, and a scripted FTP server (tools/ftp_update_server.py) on loopback when asked for.
#include "download/Download.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>

class DownloadFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString root() const { return tmp_.path(); }
    QString downloadDir() const { return tmp_.path() + QStringLiteral("/install/"); }
    QString ftpDir() const { return tmp_.path() + QStringLiteral("/ftproot/tarn/"); }
    QString markerPath() const { return downloadDir() + QStringLiteral("marker"); }
    QString tracePath() const { return tmp_.path() + QStringLiteral("/ftp-trace.txt"); }

    // Places an update on the server: a shell script that writes "ran" into markerPath(),
    // padded after its exit to `size` bytes. Sets UpdateFileName and UpdateFileSize.
    QByteArray putUpdate(const QString& name, qsizetype size);
    // Places arbitrary bytes on the server under UpdateFileName.
    void putRemoteFile(const QString& name, const QByteArray& bytes);

    // Starts the scripted server and points the FTP settings at it (login velk / velkaftp).
    void startServer(const QString& mode = QStringLiteral("normal"), qint64 bytes = 0);
    void stopServer();
    void useFtpLogin(const QString& user, const QString& password);

    // Builds the window, runs its modal loop with a safety limit, returns it (still alive).
    std::unique_ptr<TForm2> runWindow(int limitMs = 60000);

    // DLrec.txt as decoded lines (each checked to end with CR LF).
    QStringList logLines();
    QStringList traceLines() const;

    QStringList messages;       // texts shown by ShowMessage / the exception display
    QStringList label1Captions; // distinct captions of Label1, in order, while the window ran
    int maxProgress = 0;
    // When set, runWindow saves a picture of the window here once the progress bar has moved.
    QString grabDuringTransfer;

private:
    QTemporaryDir tmp_;
    QString oldCwd_;
    std::unique_ptr<QProcess> server_;
    int port_ = 0;
};

// Readable failure output for texts and lists of texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << "{";
    for (const QString& s : list)
        *os << "\n  \"" << s.toStdString() << '"';
    *os << " }";
}

// "正在連線中...." and the other captions as the labels show them after padding.
QString padded(const QString& text);
