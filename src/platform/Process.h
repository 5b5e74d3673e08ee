#pragma once
// Stand-in for starting a file through the shell (ShellExecuteExA with a process handle) and
// waiting on its handle (WaitForSingleObject, INFINITE).
#include <QString>
#include <cstdint>
#include <optional>

struct ProcessHandle {
    // POSIX: the child's process id; Windows: the process handle. -1: none.
    std::intptr_t id = -1;
};

// Starts file as a program with no arguments, in the current directory and environment. A
// relative name is taken from the current directory, never looked up on PATH. Fails (nullopt)
// when the file is missing, is not a regular file, is not executable (on Windows: not a
// program image) or cannot be run.
std::optional<ProcessHandle> StartProgram(const QString& file);

// Under a file-size limit (RLIMIT_FSIZE) a write past the limit then fails with EFBIG, which
// the writers report, instead of SIGXFSZ killing the launcher halfway through a download and
// leaving the partial update file behind. Programs started by StartProgram get the default
// action back.
void IgnoreFileSizeSignal();

// Blocks the thread, without handling any event, until the process has ended. Returns its
// exit code, 128 + the signal number when a signal ended it, or -1 when it cannot be waited
// for (already reaped, not a child). The handle is used up: a second wait returns -1.
int WaitForProcess(ProcessHandle process);
