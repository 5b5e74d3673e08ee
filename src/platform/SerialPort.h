#pragma once
// A blocking serial port: the Win32 port handle of the interface link. The link opens ports by
// their Windows names ("COM9", "\\.\COM12"). On Windows that is the port itself, opened as
// "\\.\COMn"; on POSIX each name is mapped to a device through [Interface] Devices of
// server.ini. Nothing here pumps events: waits block on the port.
#include <QString>
#include <cstdint>
#include <memory>

class SerialPort {
public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // The number of a Windows port name the link may open: "COM3" … "COM9" or "\\.\COM3" …
    // "\\.\COM30" (plain names above 9 cannot be opened on Windows either). 0 for any other
    // text, so that nothing outside COM3 … COM30 is ever reached.
    static int portNumber(const char* name);
    // The device standing for a port name: on Windows "\\.\COMn"; on POSIX the entry COMn of
    // the devices folder, or /dev/ttyS(n-1) when no folder is configured. Empty when the name is
    // not a valid port name.
    static QString devicePath(const char* name);

    // Opens the port for reading and writing, unshared. False when it does not exist, is not a
    // character device, or is busy.
    bool open(const char* name);
    void close();
    bool isOpen() const;

    // Applies baud rate, 8 data bits, no parity, 1 stop bit on top of the current settings.
    // False when the port refuses them.
    bool setLine(std::int32_t baud);
    // Discards every byte received and not yet read.
    void purgeInput();
    // Number of bytes received and not yet read (what ClearCommError reports), -1 when closed.
    int bytesWaiting();
    // Reads at most maximum of the waiting bytes into buffer; never blocks. Returns the count
    // read, or -1 on failure.
    int read(std::uint8_t* buffer, int maximum);
    // Writes count bytes. True when they were written or are still on their way out.
    bool write(const std::uint8_t* data, int count);
    // Blocks until input is waiting or milliseconds have passed, without using the CPU.
    void waitForInput(int milliseconds);

private:
    struct Device; // the platform's open port
    std::unique_ptr<Device> port_;
};
