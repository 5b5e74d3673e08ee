// ftpget: fetches one file by FTP with the launcher's own FTP component, to check a PC's path
// to the update server (and to measure the component against other clients).
//
//   ftpget [--active] [--resume] [--cwd DIR] [--timeout MS] [--verbose]
//          HOST PORT USER PASSWORD REMOTE LOCAL
//
// Exit status: 0 the file was fetched, 1 the transfer failed, 2 wrong arguments.
#include "net/FtpClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <cstdio>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: ftpget [--active] [--resume] [--cwd DIR] [--timeout MS] [--verbose]\n"
                 "              HOST PORT USER PASSWORD REMOTE LOCAL\n"
                 "  --active    the server connects back (PORT) instead of passive mode (PASV)\n"
                 "  --resume    continue LOCAL from its current size (REST)\n"
                 "  --cwd DIR   change to DIR on the server first\n"
                 "  --timeout   give up when no data arrives for MS milliseconds (default: never)\n"
                 "  --verbose   print the protocol lines\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    bool active = false, resume = false, verbose = false;
    QString dir;
    int timeout = 0;
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--active")) {
            active = true;
        } else if (a == QLatin1String("--resume")) {
            resume = true;
        } else if (a == QLatin1String("--verbose")) {
            verbose = true;
        } else if (a == QLatin1String("--cwd") && i + 1 < args.size()) {
            dir = args[++i];
        } else if (a == QLatin1String("--timeout") && i + 1 < args.size()) {
            bool ok = false;
            timeout = args[++i].toInt(&ok);
            if (!ok || timeout < 0)
                return Usage();
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            Usage();
            return 0;
        } else if (a.startsWith(QLatin1String("--"))) {
            return Usage();
        } else {
            positional << a;
        }
    }
    if (positional.size() != 6)
        return Usage();
    bool portOk = false;
    const int port = positional[1].toInt(&portOk);
    if (!portOk || port < 1 || port > 65535)
        return Usage();

    TFtpClient ftp;
    ftp.SetHost(positional[0]);
    ftp.SetPort(port);
    ftp.SetUserID(positional[2]);
    ftp.SetPassword(positional[3]);
    ftp.SetPassive(!active);
    ftp.SetTimeOut(timeout);
    if (verbose) {
        ftp.SetReportLevel(1);
        ftp.OnStatus = [](QObject*, const QString& status) {
            std::fprintf(stderr, "%s%s", status.toLocal8Bit().constData(),
                         status.endsWith(QLatin1Char('\n')) ? "" : "\n");
        };
    }
    const QString remote = positional[4];
    const QString local = positional[5];
    QElapsedTimer clock;
    clock.start();
    try {
        ftp.Connect();
        if (!dir.isEmpty())
            ftp.ChangeDir(dir);
        if (resume)
            ftp.DownloadRestore(remote, local);
        else
            ftp.Download(remote, local);
        const qint32 received = ftp.TransferSize();
        const double seconds = clock.nsecsElapsed() / 1e9;
        ftp.Disconnect();
        std::printf("%d bytes in %.3f s (%.1f MiB/s)\n", received, seconds,
                    seconds > 0 ? received / seconds / (1 << 20) : 0.0);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpget: %s\n",
                     QString::fromStdString(e.what()).trimmed().toLocal8Bit().constData());
        return 1;
    }
}
