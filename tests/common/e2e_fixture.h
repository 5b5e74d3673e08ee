// Shared by the end-to-end tests: the built program installed into a temporary folder and run
// there with --unattended, and the helper processes it talks to (the interface simulator on a
// pseudo-terminal, the scripted FTP server, the update database spoken as TDS).
#pragma once

#include "common/file_helpers.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << "{";
    for (const QString& s : list)
        *os << "\n  \"" << s.toStdString() << '"';
    *os << " }";
}

namespace {

const QString kProgram = QStringLiteral(PCV_BINARY_DIR "/src/pc_velka_setup");
const QString kSimulator = QStringLiteral(PCV_SOURCE_DIR "/tools/interface_sim.py");
const QString kFtpServer = QStringLiteral(PCV_SOURCE_DIR "/tools/ftp_update_server.py");
const QString kSeed = QStringLiteral(PCV_SOURCE_DIR "/tools/db_seed.py");
const QString kAssets = QStringLiteral(PCV_SOURCE_DIR "/assets/");
const QString kTdsServer = QStringLiteral(PCV_SOURCE_DIR "/tools/tds_server.py");

// A helper process that prints one line ("ready ..." / "PORT n") once it is up.
class Helper {
public:
    Helper(const QString& program, const QStringList& args, const QByteArray& readyPrefix,
           const QString& errorLog = QString()) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (!errorLog.isEmpty())
            process_.setStandardErrorFile(errorLog);
        process_.start(program, args);
        QByteArray out;
        while (!out.contains('\n') && process_.waitForReadyRead(5000))
            out += process_.readAllStandardOutput();
        line_ = out.trimmed();
        ready_ = out.startsWith(readyPrefix);
    }
    ~Helper() {
        process_.closeWriteChannel();
        process_.terminate();
        if (!process_.waitForFinished(3000))
            process_.kill();
        process_.waitForFinished(1000);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    bool ready() const { return ready_; }
    // SIGKILL: the process ends without closing anything itself, as a crashed server would.
    void kill() {
        process_.kill();
        process_.waitForFinished(3000);
    }
    QByteArray line() const { return line_; }

private:
    QProcess process_;
    QByteArray line_;
    bool ready_ = false;
};

// The interface simulator on a pty, linked as COM<port> in a devices folder.
class Simulator : public Helper {
public:
    Simulator(const QString& devices, int port, int deviceType)
        : Helper(QStringLiteral("python3"),
                 {kSimulator, QStringLiteral("--devices"), devices, QStringLiteral("--port"),
                  QString::number(port), QStringLiteral("--device-type"),
                  QString::number(deviceType)},
                 "ready ") {}
};

// The update database as a TDS server on loopback (tools/tds_server.py) for the FreeTDS path:
// the login velkadb / velkapwd, the pcvelka rows given as the tool's "--row" arguments, a server
// date of its own (kDate, so that a run shows where its date came from), one of the tool's fault
// modes, and every statement it receives traced to a file.
class TdsServer : public Helper {
public:
    static inline const QString kDate = QStringLiteral("20310415");

    TdsServer(const QString& traceFile, const QStringList& rowArgs,
              const QString& mode = QStringLiteral("normal"))
        : Helper(QStringLiteral("/usr/bin/python3"),
                 QStringList{kTdsServer, QStringLiteral("--user"), QStringLiteral("velkadb"),
                             QStringLiteral("--password"), QStringLiteral("velkapwd"),
                             QStringLiteral("--date"), kDate, QStringLiteral("--mode"), mode,
                             QStringLiteral("--trace"), traceFile} +
                     rowArgs,
                 "PORT "),
          traceFile_(traceFile) {}
    int port() const { return line().mid(5).toInt(); }

    // What reached the server, one entry per batch, login ("-- login USER DATABASE") or RPC.
    QStringList trace() const {
        QFile f(traceFile_);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // An accepted login to a catalog and what the ODBC layer then sends of its own on every
    // connection: QtSql asks for the timestamp type's description, and sets quoted identifiers
    // through a server cursor.
    static QStringList session(const QString& catalog) {
        return {QStringLiteral("-- login velkadb ") + catalog, kTypeInfoQuery,
                QStringLiteral("-- rpc sp_cursoropen SET QUOTED_IDENTIFIER ON")};
    }
    static inline const QString kTypeInfoQuery = QStringLiteral("sp_datatype_info_100 11");
    static QString lookup(const char* product, int version) {
        return QStringLiteral("select * from pcvelka where 車種='%1' and 目前版本='%2'")
            .arg(QLatin1String(product))
            .arg(version);
    }
    static inline const QString kDayQuery =
        QStringLiteral("Select convert(char(8),getdate(),112) as day");

private:
    QString traceFile_;
};

// The program copied into the folder, as an installation would have it.
inline void installProgram(const QTemporaryDir& dir) {
    ASSERT_TRUE(QFileInfo(kProgram).isExecutable()) << "build pc_velka_setup first";
    ASSERT_TRUE(QFile::copy(kProgram, dir.filePath(QStringLiteral("pc_velka_setup"))));
}

struct Result {
    bool finished = false;
    int exitCode = -1;
    QString out;
    qint64 elapsedMs = 0;
};

// Runs the installed program in its folder with --unattended and no display in the
// environment (--unattended must choose offscreen itself); killed after limitMs.
inline Result runInstalled(const QTemporaryDir& dir, const QStringList& extra, int limitMs) {
    QProcess p;
    p.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    p.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    p.start(dir.filePath(QStringLiteral("pc_velka_setup")),
            QStringList{QStringLiteral("--unattended")} + extra);
    Result r;
    r.finished = p.waitForFinished(limitMs);
    r.elapsedMs = clock.elapsed();
    if (!r.finished) {
        p.kill();
        p.waitForFinished(2000);
    }
    r.exitCode = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    return r;
}

} // namespace
