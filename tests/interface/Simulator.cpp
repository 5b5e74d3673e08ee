#include "Simulator.h"

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

Simulator::Simulator(const QString& devicesDir, int port, const QStringList& options) {
    logPath_ = QStringLiteral("%1/sim-COM%2.log").arg(devicesDir).arg(port);
    QStringList args{QStringLiteral(PCV_SOURCE_DIR "/tools/interface_sim.py"),
                     QStringLiteral("--devices"),
                     devicesDir,
                     QStringLiteral("--port"),
                     QString::number(port),
                     QStringLiteral("--log"),
                     logPath_};
    args += options;
    QFile::remove(logPath_);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("python3"), args);
    if (!process_.waitForStarted(5000)) {
        return;
    }
    QByteArray line;
    while (!line.contains('\n') && process_.waitForReadyRead(5000)) {
        line += process_.readAll();
    }
    ready_ = line.startsWith("ready /dev/");
}

Simulator::~Simulator() {
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(3000)) {
            process_.kill();
            process_.waitForFinished(1000);
        }
    }
}

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
