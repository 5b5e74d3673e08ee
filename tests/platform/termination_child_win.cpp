// Registers the file named by its first argument for removal, then breaks itself as Ctrl+Break
// in its console would (the caller starts it in a process group of its own). Exit code 7 says
// that the break did not end it, 9 that there is no console to send it (Wine without one).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/Termination.h"

int main(int argc, char** argv) {
    if (argc < 2 || !RemoveOnTermination(QString::fromLocal8Bit(argv[1])))
        return 2;
    if (argc > 2)
        KeepOnTermination();
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetCurrentProcessId()))
        return 9;
    Sleep(5000);
    return 7;
}
