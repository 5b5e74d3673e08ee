#include "SerialPort.h"

#include "ComPorts.h"
#include "SerialPort_p.h"

#include <cstring>

namespace {

// Decimal digits without a leading zero, nothing after them.
int parseNumber(const char* digits) {
    if (digits[0] < '1' || digits[0] > '9') {
        return 0;
    }
    int value = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || value > kLastComPort) {
            return 0;
        }
        value = value * 10 + (*p - '0');
    }
    return value;
}

} // namespace

int SerialPort::portNumber(const char* name) {
    if (name == nullptr) {
        return 0;
    }
    static constexpr char kDeviceNamespace[] = "\\\\.\\COM";
    static constexpr char kPlain[] = "COM";
    int n = 0;
    if (std::strncmp(name, kDeviceNamespace, sizeof kDeviceNamespace - 1) == 0) {
        n = parseNumber(name + sizeof kDeviceNamespace - 1);
    } else if (std::strncmp(name, kPlain, sizeof kPlain - 1) == 0) {
        n = parseNumber(name + sizeof kPlain - 1);
        if (n > 9) {
            return 0;
        }
    }
    return n >= kFirstComPort && n <= kLastComPort ? n : 0;
}

QString SerialPort::devicePath(const char* name) {
    const int n = portNumber(name);
    if (n == 0) {
        return {};
    }
    return ComPortDevice(n);
}

bool SerialPort::isOpen() const {
    return port_ != nullptr;
}
