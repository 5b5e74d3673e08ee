// Registers the file named by its first argument for removal, then breaks itself as Ctrl+Break
// in its console would (the caller starts it in a process group of its own). Exit code 7 says
// that the break did not end it, 9 that there is no console to send it (Wine without one).
#include <windows.h>

#include "platform/FileSystem.h"
#include "platform/Termination.h"

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const QString path = QString::fromLocal8Bit(argv[1]);
    const std::optional<FileIdentity> identity = RegularFileIdentity(path);
    if (!identity)
        return 2;
    TerminationToken token = RemoveFileOnTermination(path, *identity);
    if (token.slot < 0)
        return 2;
    if (argc > 2)
        KeepOnTermination(token);
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetCurrentProcessId()))
        return 9;
    Sleep(5000);
    return 7;
}
