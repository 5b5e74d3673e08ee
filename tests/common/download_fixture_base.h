// What the download window's tests and the end-to-end tests of the whole update share: a
// temporary folder whose "ftproot" the scripted update server (tools/ftp_update_server.py)
// serves on loopback to velk / velkaftp, the commands it received, and the update it serves.
#pragma once

#include "common/download_log.h"
#include "common/file_helpers.h"
#include "common/helper_process.h"
#include "common/qt_print.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

class DownloadFixtureBase : public ::testing::Test {
protected:
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

    // One of the server's fault modes (see the tool); bytes is the mode's byte count.
    // faultRetr: which RETR of the server's run the fault applies to (1: the first).
    void startFtpServer(const QString& mode = QStringLiteral("normal"), qint64 bytes = 0,
                        int faultRetr = 1) {
        // Debian's interpreter: it is the one that has pyftpdlib.
        ftp = std::make_unique<Helper>(
            QStringLiteral("/usr/bin/python3"),
            QStringList{QStringLiteral(PCV_SOURCE_DIR "/tools/ftp_update_server.py"),
                        QStringLiteral("--root"), path("ftproot"), QStringLiteral("--user"),
                        QStringLiteral("velk"), QStringLiteral("--password"),
                        QStringLiteral("velkaftp"), QStringLiteral("--mode"), mode,
                        QStringLiteral("--bytes"), QString::number(bytes),
                        QStringLiteral("--fault-retr"), QString::number(faultRetr),
                        QStringLiteral("--trace"), path("ftp-trace.txt")} +
                ftpServerArgs,
            "PORT ", path("ftp-server.log"));
        ASSERT_TRUE(ftp->ready()) << ftp->line().constData();
        ASSERT_GT(ftpPort(), 0);
    }
    int ftpPort() const { return ftp ? ftp->line().mid(5).toInt() : 0; }

    // The commands the server received, "PASS ****" for the password.
    QStringList traceLines() const {
        if (!QFile::exists(path("ftp-trace.txt")))
            return {};
        return QString::fromUtf8(readAll(path("ftp-trace.txt")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // An update that proves it ran whole: it copies its own bytes to installed.bin in the
    // current directory (the launcher's, where an update installs: the launcher starts it from a
    // private copy elsewhere), does what `install` says, notes in "marker" that it ran, and
    // exits with a code that is not looked at. Padded with comment lines, then cut, to exactly
    // `size` bytes.
    static QByteArray updateScript(qsizetype size, const QByteArray& install = QByteArray()) {
        QByteArray script = "#!/bin/sh\n"
                            "here=$(pwd)\n"
                            "cp \"$0\" \"$here/installed.bin\"\n" +
                            install + "echo ran >> \"$here/marker\"\n" + "exit 7\n";
        for (int n = 0; script.size() < size; ++n)
            script += "# " + QByteArray::number(n).rightJustified(10, '0') + " padding\n";
        script.truncate(size);
        return script;
    }

    QTemporaryDir dir;
    std::unique_ptr<Helper> ftp;
    QStringList ftpServerArgs; // more options of the server (--every, --fault-on, --announce)
};
