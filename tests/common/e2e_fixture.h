// Shared by the end-to-end tests: the built program installed into a temporary folder and run
// there with --unattended, and the helper processes it talks to (the interface simulator on a
// pseudo-terminal, the scripted FTP server, the update database spoken as TDS).
#pragma once

#include "common/file_helpers.h"
#include "common/helper_process.h"
#include "common/qt_print.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QString kProgram = QStringLiteral(PCV_BINARY_DIR "/src/pc_velka_setup");
const QString kSimulator = QStringLiteral(PCV_SOURCE_DIR "/tools/interface_sim.py");
const QString kSeed = QStringLiteral(PCV_SOURCE_DIR "/tools/db_seed.py");
const QString kAssets = QStringLiteral(PCV_SOURCE_DIR "/assets/");
const QString kTdsServer = QStringLiteral(PCV_SOURCE_DIR "/tools/tds_server.py");

// The interface simulator on a pty, linked as COM<port> in a devices folder.
class Simulator : public Helper {
public:
    Simulator(const QString& devices, int port, int deviceType)
        : Helper(QStringLiteral("/usr/bin/python3"),
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

// Starts the installed program in its folder with --unattended and no display in the
// environment (--unattended must choose offscreen itself), behind a command prefix if given
// (prlimit and its limits).
inline void startInstalled(QProcess& p, const QTemporaryDir& dir, const QStringList& extra,
                           const QStringList& prefix = {}) {
    p.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    p.setProcessEnvironment(env);
    QStringList args = prefix;
    args << dir.filePath(QStringLiteral("pc_velka_setup")) << QStringLiteral("--unattended")
         << extra;
    const QString program = args.takeFirst();
    p.start(program, args);
}

// Runs the installed program as startInstalled does; killed after limitMs.
inline Result runInstalled(const QTemporaryDir& dir, const QStringList& extra, int limitMs) {
    QProcess p;
    QElapsedTimer clock;
    clock.start();
    startInstalled(p, dir, extra);
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
