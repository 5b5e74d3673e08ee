#include "SerialPort.h"

#include "SerialPort_p.h"

#include <chrono>
#include <climits>

#include <windows.h>

namespace {

// A write of the link's largest frame (512 bytes) takes about 90 ms at 57600 baud. A write that
// has not finished by then returns; the rest stays queued in the port and the write counts as
// "still in progress", as an overlapped write reporting ERROR_IO_PENDING does.
constexpr DWORD kWriteWaitMs = 200;

// How often a wait for input looks at the port. Waiting for a comm event would need overlapped
// I/O, and cannot be had on every port (not on a pty behind a COM name under Wine); a short
// sleep between two status queries keeps the wait off the CPU all the same.
constexpr DWORD kInputPollMs = 1;

} // namespace

struct SerialPort::Device {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
    close();
}

QString ComPortDevice(int n) {
    // The device namespace form opens every COM number alike (COM10 and above need it).
    return QStringLiteral("\\\\.\\COM%1").arg(n);
}

bool SerialPort::open(const char* name) {
    close();
    const QString path = devicePath(name);
    if (path.isEmpty()) {
        return false;
    }
    // Read and write, unshared, an existing device, no overlapped I/O.
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Only a communications device is a port: a name that opened something else (GetCommState
    // refuses it) is let go. The line is raw: no flow control by characters, no byte dropped or
    // replaced, no stop on an error, as a POSIX port in raw mode; the modem lines are left alone.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool ok = GetCommState(handle, &dcb) != 0;
    if (ok) {
        dcb.fBinary = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fAbortOnError = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        ok = SetCommState(handle, &dcb) != 0;
    }
    // Reads take what is waiting and return at once; writes give up waiting after kWriteWaitMs.
    COMMTIMEOUTS timeouts{};
    if (ok && GetCommTimeouts(handle, &timeouts)) {
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = kWriteWaitMs;
        ok = SetCommTimeouts(handle, &timeouts) != 0;
    } else {
        ok = false;
    }
    if (!ok) {
        CloseHandle(handle);
        return false;
    }
    port_ = std::make_unique<Device>();
    port_->handle = handle;
    return true;
}

void SerialPort::close() {
    if (port_) {
        CloseHandle(port_->handle);
        port_.reset();
    }
}

bool SerialPort::setLine(std::int32_t baud) {
    if (!port_ || baud <= 0) {
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_->handle, &dcb)) {
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return SetCommState(port_->handle, &dcb) != 0;
}

void SerialPort::purgeInput() {
    if (port_) {
        PurgeComm(port_->handle, PURGE_RXCLEAR | PURGE_RXABORT);
        DWORD errors = 0;
        ClearCommError(port_->handle, &errors, nullptr);
    }
}

int SerialPort::bytesWaiting() {
    if (!port_) {
        return -1;
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_->handle, &errors, &status)) {
        return 0; // a failed status query is no reason to stop an exchange: nothing is waiting
    }
    return status.cbInQue > static_cast<DWORD>(INT_MAX) ? INT_MAX
                                                        : static_cast<int>(status.cbInQue);
}

int SerialPort::read(std::uint8_t* buffer, int maximum) {
    if (!port_ || maximum < 0) {
        return -1;
    }
    DWORD got = 0;
    if (!ReadFile(port_->handle, buffer, static_cast<DWORD>(maximum), &got, nullptr)) {
        DWORD errors = 0;
        ClearCommError(port_->handle, &errors, nullptr);
        return -1;
    }
    return static_cast<int>(got);
}

bool SerialPort::write(const std::uint8_t* data, int count) {
    if (!port_ || count < 0) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    DWORD written = 0;
    if (WriteFile(port_->handle, data, static_cast<DWORD>(count), &written, nullptr)) {
        return true; // all written, or the rest still on its way after kWriteWaitMs
    }
    const bool pending = GetLastError() == ERROR_IO_PENDING;
    DWORD errors = 0;
    ClearCommError(port_->handle, &errors, nullptr);
    return pending;
}

void SerialPort::waitForInput(int milliseconds) {
    if (!port_ || milliseconds <= 0) {
        return;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (bytesWaiting() <= 0 && std::chrono::steady_clock::now() < deadline) {
        Sleep(kInputPollMs);
    }
}
