// Asks the interface on a COM port for its device-information block through the plain Win32
// serial calls, as the launcher does, and prints "device type N" (or what went wrong, exit 1).
// The end-to-end harness runs it under Wine to prove that the interface simulator's pty, linked
// as $WINEPREFIX/dosdevices/comN, is the port \\.\COMN before any launcher runs there.
// Usage: com_probe.exe N
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr DWORD kReplyBytes = 103; // length (2), command, the 99-byte block, checksum
constexpr DWORD kWaitMs = 3000;

int fail(const char* what) {
    std::printf("%s failed: error %lu\n", what, GetLastError());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", std::atoi(argv[1]));
    const HANDLE port =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return fail("CreateFile");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb))
        return fail("GetCommState");
    dcb.BaudRate = 57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutX = dcb.fInX = FALSE;
    if (!SetCommState(port, &dcb))
        return fail("SetCommState");
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD; // a read returns what is there
    if (!SetCommTimeouts(port, &timeouts))
        return fail("SetCommTimeouts");
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    const unsigned char request[] = {0x00, 0x04, 0x56, 0x5A};
    DWORD done = 0;
    if (!WriteFile(port, request, sizeof request, &done, nullptr) || done != sizeof request)
        return fail("WriteFile");
    unsigned char reply[kReplyBytes];
    DWORD have = 0;
    const DWORD start = GetTickCount();
    while (have < kReplyBytes && GetTickCount() - start < kWaitMs) {
        DWORD got = 0;
        if (!ReadFile(port, reply + have, kReplyBytes - have, &got, nullptr))
            return fail("ReadFile");
        have += got;
        if (got == 0)
            Sleep(10);
    }
    CloseHandle(port);
    if (have < kReplyBytes || reply[2] != 0x76) {
        std::printf("no reply: %lu bytes\n", have);
        return 1;
    }
    std::printf("device type %d\n", reply[3 + 2]);
    return 0;
}
