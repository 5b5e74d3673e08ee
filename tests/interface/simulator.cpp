#include "simulator.h"

#include "platform/Settings.h"

#include <QCoreApplication>
#include <QFile>
#include <gtest/gtest.h>

namespace {

// QSerialPort and QProcess want an application object on the main thread.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "interface_tests";
            static char* argv[] = {name, nullptr};
            app_ = std::make_unique<QCoreApplication>(argc, argv);
        }
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QCoreApplication> app_;
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

namespace {

QString simulatorLog(const QString& devicesDir, int port) {
    return QStringLiteral("%1/sim-COM%2.log").arg(devicesDir).arg(port);
}

QStringList simulatorArgs(const QString& devicesDir, int port, const QStringList& options) {
    const QString log = simulatorLog(devicesDir, port);
    QFile::remove(log);
    return QStringList{QStringLiteral(PCV_SOURCE_DIR "/tools/interface_sim.py"),
                       QStringLiteral("--devices"),
                       devicesDir,
                       QStringLiteral("--port"),
                       QString::number(port),
                       QStringLiteral("--log"),
                       log} +
           options;
}

} // namespace

Simulator::Simulator(const QString& devicesDir, int port, const QStringList& options)
    : Helper(QStringLiteral("/usr/bin/python3"), simulatorArgs(devicesDir, port, options),
             "ready /dev/"),
      logPath_(simulatorLog(devicesDir, port)) {}

std::vector<Simulator::Chunk> Simulator::received() const {
    std::vector<Chunk> chunks;
    QFile file(logPath_);
    if (!file.open(QIODevice::ReadOnly)) {
        return chunks;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const int space = line.indexOf(' ');
        if (space <= 0) {
            continue;
        }
        chunks.push_back({line.left(space).toInt(), QByteArray::fromHex(line.mid(space + 1))});
    }
    return chunks;
}

QByteArray Simulator::receivedBytes() const {
    QByteArray all;
    for (const Chunk& chunk : received()) {
        all += chunk.bytes;
    }
    return all;
}

int Simulator::requestCount() const {
    return static_cast<int>(receivedBytes().count(QByteArray::fromHex("0004565a")));
}

DevicesFolder::DevicesFolder() {
    ServerSettings settings = serverSettings();
    settings.devices = dir_.path();
    setServerSettings(settings);
}

DevicesFolder::~DevicesFolder() {
    ServerSettings settings = serverSettings();
    settings.devices.clear();
    setServerSettings(settings);
}
