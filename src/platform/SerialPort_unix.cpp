#include "SerialPort.h"

#include "SerialPort_p.h"

#include "Settings.h"

#include <QSerialPort>
#include <algorithm>
#include <chrono>
#include <climits>
#include <sys/stat.h>
#include <thread>

namespace {

// A write of the link's largest frame (512 bytes) takes about 90 ms at 57600 baud. Whatever has
// not gone out by then stays queued in the port and counts as "still in progress", as an
// overlapped write reporting ERROR_IO_PENDING does.
constexpr int kWriteWaitMs = 200;

} // namespace

// QSerialPort is the open port; the calls below use it as they always did.
struct SerialPort::Device : QSerialPort {};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
    close();
}

QString ComPortDevice(int n) {
    const QString& folder = serverSettings().devices;
    if (folder.isEmpty()) {
        return QStringLiteral("/dev/ttyS%1").arg(n - 1);
    }
    QString path = folder;
    if (!path.endsWith(QLatin1Char('/'))) {
        path += QLatin1Char('/');
    }
    return path + QStringLiteral("COM%1").arg(n);
}

bool SerialPort::open(const char* name) {
    close();
    const QString path = devicePath(name);
    if (path.isEmpty()) {
        return false;
    }
    // Only a character device is a port (the entry may be a link to one, such as a pty slave).
    // This keeps a stray regular file or pipe in the devices folder from being opened at all.
    struct stat info {};
    if (::stat(path.toLocal8Bit().constData(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    auto port = std::make_unique<Device>();
    // An absolute path is used as it stands; Qt only prefixes bare names with /dev/.
    port->setPortName(path);
    // Opening also puts the line into raw mode (no echo, no line editing, no flow control) and
    // takes the port exclusively (TIOCEXCL plus a lock file): the counterpart of an unshared
    // CreateFile on a COM port, whose bytes are never interpreted by the system either.
    if (!port->open(QIODevice::ReadWrite)) {
        return false;
    }
    port_ = std::move(port);
    return true;
}

void SerialPort::close() {
    if (port_) {
        port_->close();
        port_.reset();
    }
}

bool SerialPort::setLine(std::int32_t baud) {
    if (!port_) {
        return false;
    }
    return port_->setBaudRate(baud) && port_->setDataBits(QSerialPort::Data8) &&
           port_->setParity(QSerialPort::NoParity) && port_->setStopBits(QSerialPort::OneStop);
}

void SerialPort::purgeInput() {
    if (port_) {
        port_->clear(QSerialPort::Input);
        port_->clearError();
    }
}

int SerialPort::bytesWaiting() {
    if (!port_) {
        return -1;
    }
    // Bytes still in the driver are waiting too, as ClearCommError counts them: move them into
    // the port's buffer without blocking.
    port_->waitForReadyRead(0);
    port_->clearError();
    return static_cast<int>(std::min<qint64>(port_->bytesAvailable(), INT_MAX));
}

int SerialPort::read(std::uint8_t* buffer, int maximum) {
    if (!port_ || maximum < 0) {
        return -1;
    }
    const qint64 got = port_->read(reinterpret_cast<char*>(buffer), maximum);
    return static_cast<int>(got);
}

bool SerialPort::write(const std::uint8_t* data, int count) {
    if (!port_ || count < 0) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    if (port_->write(reinterpret_cast<const char*>(data), count) != count) {
        port_->clearError();
        return false;
    }
    port_->waitForBytesWritten(kWriteWaitMs);
    port_->clearError();
    return true;
}

void SerialPort::waitForInput(int milliseconds) {
    if (!port_ || milliseconds <= 0 || port_->bytesAvailable() > 0) {
        return;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    const bool arrived = port_->waitForReadyRead(milliseconds);
    const QSerialPort::SerialPortError error = port_->error();
    port_->clearError();
    // A port that fails (a device unplugged, a pty whose other end is gone) reports readiness
    // at once on every call; sleeping out the rest of the wait keeps the caller's polling loop
    // from spinning until its time-out.
    if (!arrived && error != QSerialPort::NoError && error != QSerialPort::TimeoutError) {
        std::this_thread::sleep_until(deadline);
    }
}
