// ftpget: fetches one file by FTP with the launcher's own FTP component, to check a PC's path
// to the update server (and to measure the component against other clients).
//
//   ftpget [--active] [--resume] [--cwd DIR] [--timeout MS] [--verbose] [--loop-gap]
//          [--tls] [--cafile FILE] HOST PORT USER PASSWORD REMOTE LOCAL
//
// Exit status: 0 the file was fetched, 1 the transfer failed (also when fewer bytes arrived than
// the server announced, when it answered the transfer with a 4xx/5xx reply or with none, and
// on a time-out), 2 wrong arguments. Every failure is explained in one line on stderr.
#include "net/FtpClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>
#include <cstdio>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: ftpget [--active] [--resume] [--cwd DIR] [--timeout MS] [--verbose]\n"
                 "              [--tls] [--cafile FILE] HOST PORT USER PASSWORD REMOTE LOCAL\n"
                 "  --active    the server connects back (PORT) instead of passive mode (PASV)\n"
                 "  --resume    continue LOCAL from its current size (REST)\n"
                 "  --cwd DIR   change to DIR on the server first\n"
                 "  --timeout   give up when the server leaves a reply or the data silent for\n"
                 "              MS milliseconds (default: never)\n"
                 "  --verbose   print the protocol lines\n"
                 "  --loop-gap  print the longest time the event loop went unserved during the\n"
                 "              transfer (a 1 ms timer; for the benchmarks)\n"
                 "  --tls       explicit FTPS: AUTH TLS, the certificate checked against HOST,\n"
                 "              login, data connections and transfer encrypted; no fallback\n"
                 "  --cafile    trust the certificates in FILE (PEM) instead of the system's\n"
                 "              (implies --tls)\n");
    return 2;
}

void Fail(const QString& reason) {
    std::fprintf(stderr, "ftpget: %s\n", reason.toLocal8Bit().constData());
}

// A reply line as the server sent it: its bytes, without the line end.
QString ReplyText(const QString& line) {
    return QString::fromLocal8Bit(line.trimmed().toLatin1());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    bool active = false, resume = false, verbose = false, loopGap = false, tls = false;
    QString dir, caFile;
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
        } else if (a == QLatin1String("--loop-gap")) {
            loopGap = true;
        } else if (a == QLatin1String("--tls")) {
            tls = true;
        } else if (a == QLatin1String("--cafile") && i + 1 < args.size()) {
            caFile = args[++i];
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
    // A trust file without TLS would be ignored without a word: it asks for TLS.
    ftp.SetSecurity(tls || !caFile.isEmpty() ? TFtpSecurity::Tls : TFtpSecurity::None);
    ftp.SetCaFile(caFile);
    // The user names LOCAL: /dev/null or a pipe is as good a target as a file here.
    ftp.SetAnyLocalFile(true);

    // The component's own time-out covers the connect and the data connection; a server that
    // stays silent on the control connection (no greeting, no reply) is this watchdog's. Every
    // reply line and command (the status texts) and every data block restarts its count.
    QElapsedTimer quiet;
    quiet.start();
    bool timedOut = false;
    ftp.SetReportLevel(1);
    ftp.OnStatus = [&](QObject*, const QString& status) {
        quiet.restart();
        if (verbose)
            std::fprintf(stderr, "%s%s", status.toLocal8Bit().constData(),
                         status.endsWith(QLatin1Char('\n')) ? "" : "\n");
    };
    ftp.OnPacketRecvd = [&](QObject*) { quiet.restart(); };
    QTimer watchdog;
    if (timeout > 0) {
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            // Once expired it stays so: the logout after the failure waits on the same server.
            if (timedOut || quiet.elapsed() >= timeout) {
                timedOut = true;
                ftp.Abort();
                ftp.Cancel();
            }
        });
        watchdog.start(qBound(10, timeout / 10, 100));
    }
    const QString timedOutText =
        QStringLiteral("timed out: the server sent nothing for %1 ms").arg(timeout);

    // How long timers, clicks and the watchdog can wait while a transfer keeps the thread busy:
    // the longest interval between two ticks of a 1 ms timer while the data flows.
    QTimer ticker;
    QElapsedTimer sinceTick;
    qint64 longestGapNs = 0;
    bool transferring = false;
    if (loopGap) {
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            if (transferring)
                longestGapNs = qMax(longestGapNs, sinceTick.nsecsElapsed());
            sinceTick.restart();
        });
    }

    qint32 announced = 0;
    ftp.OnTransactionStart = [&](QObject*) {
        announced = ftp.TransferSize();
        if (loopGap) {
            transferring = true;
            sinceTick.start();
            ticker.start(1);
        }
    };
    ftp.OnTransactionStop = [&](QObject*) { transferring = false; };

    const QString remote = positional[4];
    const QString local = positional[5];
    QElapsedTimer clock;
    clock.start();
    try {
        quiet.restart();
        ftp.Connect();
        if (!dir.isEmpty())
            ftp.ChangeDir(dir);
        qint64 offset = 0;
        if (resume) {
            offset = QFileInfo(local).size();
            ftp.DownloadRestore(remote, local);
        } else {
            ftp.Download(remote, local);
        }
        const qint32 received = ftp.TransferSize();
        const QString completion = ftp.LastReply();
        const qint16 code = ftp.ReplyCode();
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (timedOut) {
            Fail(timedOutText);
            return 1;
        }
        if (completion.isEmpty()) {
            Fail(QStringLiteral("no completion reply: the server closed the connection"));
            return 1;
        }
        if (code >= 400 && code <= 599) {
            Fail(QStringLiteral("transfer failed: ") + ReplyText(completion));
            return 1;
        }
        // A server announces the bytes it is going to send, or after REST the whole file.
        if (announced > 0 && received < announced && received + offset != announced) {
            Fail(QStringLiteral("short transfer: %1 of %2 announced bytes arrived")
                     .arg(received)
                     .arg(announced));
            return 1;
        }
        ftp.Disconnect();
        std::printf("%d bytes in %.3f s (%.1f MiB/s)\n", received, seconds,
                    seconds > 0 ? received / seconds / (1 << 20) : 0.0);
        if (loopGap)
            std::printf("longest event-loop gap: %.1f ms\n", longestGapNs / 1e6);
        return 0;
    } catch (const std::exception& e) {
        if (timedOut)
            Fail(timedOutText);
        else
            Fail(QString::fromStdString(e.what()).trimmed());
        return 1;
    }
}
