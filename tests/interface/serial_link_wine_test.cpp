// The serial search through the Win32 serial calls, run under Wine: the interface simulator (the
// Linux program the Linux tests use, on a pseudo-terminal) is linked as a COM port of the Wine
// prefix, and the link must find it, at 57600 baud directly or at 115200 after the fast-link
// probe, with the very bytes on the wire the Linux build sends.
#include "interface/SerialLink.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <gtest/gtest.h>
#include <vector>

namespace {

// Under Wine a POSIX path is a path on the current drive; the prefix's devices folder is where
// Wine looks up COMn (in lower case).
QString DosDevices() {
    QString prefix = qEnvironmentVariable("WINEPREFIX");
    if (prefix.isEmpty())
        prefix = qEnvironmentVariable("HOME") + QStringLiteral("/.wine");
    return prefix + QStringLiteral("/dosdevices");
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void RunShell(const QString& command) {
    QProcess::startDetached(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
}

// The simulator on a pty whose slave is linked as dosdevices/com<port>; killed and unlinked at
// the end. Linux programs started from Wine do not get QProcess's pipes: output goes to files.
class Simulator {
public:
    Simulator(const QString& dir, int port, const QStringList& options) : dir_(dir) {
        link_ = DosDevices() + QStringLiteral("/com%1").arg(port);
        const QString sim =
            QStringLiteral(PCV_SOURCE_DIR) + QStringLiteral("/tools/interface_sim.py");
        RunShell(QStringLiteral("exec </dev/null >%1/sim.out 2>&1; echo $$ >%1/sim.pid; exec "
                                "/usr/bin/timeout 120 /usr/bin/python3 %2 --devices %1/dev "
                                "--port %3 --log %1/sim.log %4")
                     .arg(dir, sim, QString::number(port), options.join(QLatin1Char(' '))));
        QElapsedTimer t;
        t.start();
        QByteArray out;
        while (!out.contains("ready ") && t.elapsed() < 20000) {
            QThread::msleep(50);
            out = ReadAll(dir + QStringLiteral("/sim.out"));
        }
        const int at = out.indexOf("ready ");
        if (at < 0)
            return;
        const QString slave = QString::fromLocal8Bit(out.mid(at + 6).trimmed());
        // Wine does not show the link as a file of its own: the shell says when it is there.
        RunShell(QStringLiteral("ln -sfn %1 %2 && echo linked >%3/linked").arg(slave, link_, dir));
        while (!QFileInfo::exists(dir + QStringLiteral("/linked")) && t.elapsed() < 25000)
            QThread::msleep(20);
        ready = QFileInfo::exists(dir + QStringLiteral("/linked"));
    }
    ~Simulator() {
        const QString pid =
            QString::fromLatin1(ReadAll(dir_ + QStringLiteral("/sim.pid")).trimmed());
        RunShell(QStringLiteral("rm -f %1; echo gone >%2/unlinked; kill %3")
                     .arg(link_, dir_, pid.isEmpty() ? QStringLiteral("0") : pid));
        QElapsedTimer t;
        t.start();
        while (!QFileInfo::exists(dir_ + QStringLiteral("/unlinked")) && t.elapsed() < 5000)
            QThread::msleep(20);
    }
    // Everything the simulator read, at the given baud rate, in order.
    QByteArray ReceivedAt(int baud) const {
        QByteArray bytes;
        for (const QByteArray& line : ReadAll(dir_ + QStringLiteral("/sim.log")).split('\n')) {
            const QList<QByteArray> parts = line.trimmed().split(' ');
            if (parts.size() >= 2 && parts[0].toInt() == baud)
                for (int i = 1; i < parts.size(); ++i)
                    bytes += QByteArray::fromHex(parts[i]);
        }
        return bytes;
    }
    bool ready = false;

private:
    QString dir_;
    QString link_;
};

TEST(SerialLinkWine, FindsTheSimulatedInterface) {
    struct Case {
        const char* name;
        int port;
        QStringList options;
        int deviceType;
        bool prefixed;
        QByteArray wire57600; // what the unit must have received at 57600 baud (its start)
    };
    const QByteArray request = QByteArray::fromHex("0004565a");
    const std::vector<Case> cases = {
        {"COM3 at 57600", 3, {}, 5, false, request},
        {"COM12 after the fast-link probe",
         12,
         {QStringLiteral("--fast-link"), QStringLiteral("--device-type"), QStringLiteral("1")},
         1,
         true,
         request + request + request},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir(QStringLiteral(PCV_BINARY_DIR) + QStringLiteral("/serial-wine-XXXXXX"));
        ASSERT_TRUE(dir.isValid());
        QString posixDir = QDir::fromNativeSeparators(dir.path());
        if (posixDir.size() > 1 && posixDir.at(1) == QLatin1Char(':'))
            posixDir.remove(0, 2);
        Simulator sim(posixDir, c.port, c.options);
        ASSERT_TRUE(sim.ready) << "the simulator did not start: "
                               << ReadAll(posixDir + QStringLiteral("/sim.out")).constData();
        PrefixMode = false;
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(FindInterface(), 1);
        const qint64 searchMs = t.elapsed();
        EXPECT_EQ(DeviceType, c.deviceType);
        EXPECT_EQ(DeviceInfo[2], c.deviceType);
        EXPECT_EQ(PrefixMode, c.prefixed);
        ClosePort();
        EXPECT_TRUE(sim.ReceivedAt(57600).startsWith(c.wire57600))
            << sim.ReceivedAt(57600).toHex().constData();
        if (c.prefixed) {
            // After the probe the request goes out at 115200 with the two-byte prefix.
            EXPECT_TRUE(sim.ReceivedAt(115200).endsWith(QByteArray::fromHex("71000004565a")))
                << sim.ReceivedAt(115200).toHex().constData();
        }
        std::printf("[ search    ] %s: found in %lld ms\n", c.name,
                    static_cast<long long>(searchMs));
    }
}

} // namespace
