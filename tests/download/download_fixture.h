#pragma once
// Shared set-up of the download window's tests: the temporary folder as the current directory
// (log, exit picture, download folder, FTP root), the run's globals reset, messages recorded
// instead of shown, and the scripted FTP server on loopback when asked for.
#include "common/download_fixture_base.h"
#include "download/Download.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

class DownloadFixture : public DownloadFixtureBase {
protected:
    void SetUp() override;
    void TearDown() override;

    QString root() const { return dir.path(); }
    QString downloadDir() const { return dir.path() + QStringLiteral("/install/"); }
    QString ftpDir() const { return dir.path() + QStringLiteral("/ftproot/tarn/"); }
    // What the update leaves in the current directory, where it installs.
    QString markerPath() const { return root() + QStringLiteral("/marker"); }

    // Places bytes on the server and names them in UpdateFileName.
    void putRemoteFile(const QString& name, const QByteArray& bytes);

    // Starts the scripted server and points the FTP settings at it (login velk / velkaftp).
    void startServer(const QString& mode = QStringLiteral("normal"), qint64 bytes = 0);
    void stopServer() { ftp.reset(); }
    void useFtpPort(int port);
    void useFtpLogin(const QString& user, const QString& password);

    // Builds the window, runs its modal loop with a safety limit, returns it (still alive).
    std::unique_ptr<TForm2> runWindow(int limitMs = 60000);

    // DLrec.txt as decoded lines (each checked to end with CR LF).
    QStringList logLines();

    QStringList messages;       // texts shown by ShowMessage / the exception display
    QStringList label1Captions; // distinct captions of Label1, in order, while the window ran
    int maxProgress = 0;
    // When set, runWindow saves a picture of the window here once the progress bar has moved.
    QString grabDuringTransfer;

private:
    QString oldCwd_;
};

// "正在連線中...." and the other captions as the labels show them after padding.
QString padded(const QString& text);
