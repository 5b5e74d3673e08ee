#include "Process.h"

#include <QFile>
#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::optional<ProcessHandle> StartProgram(const QString& file) {
    if (file.isEmpty())
        return std::nullopt;
    QByteArray path = QFile::encodeName(file);
    // posix_spawn takes a name without a slash from the current directory already; the "./"
    // only makes that plain in argv[0] and in any error a reader sees.
    if (!path.contains('/'))
        path.prepend("./");
    struct stat st {};
    if (::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::access(path.constData(), X_OK) != 0)
        return std::nullopt;

    char* argv[] = {path.data(), nullptr};
    pid_t pid = -1;
    // The started program gets the default action for SIGXFSZ back (see IgnoreFileSizeSignal).
    posix_spawnattr_t attr;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    if (::posix_spawnattr_init(&attr) != 0)
        return std::nullopt;
    const bool attrOk = ::posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
                        ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF) == 0;
    // glibc reports a failed exec (wrong format, no interpreter) as the result of posix_spawn.
    const bool started =
        attrOk && ::posix_spawn(&pid, path.constData(), nullptr, &attr, argv, environ) == 0;
    ::posix_spawnattr_destroy(&attr);
    if (!started)
        return std::nullopt;
    return ProcessHandle{static_cast<std::intptr_t>(pid)};
}

void IgnoreFileSizeSignal() {
    std::signal(SIGXFSZ, SIG_IGN);
}

int WaitForProcess(ProcessHandle process) {
    if (process.id <= 0)
        return -1;
    const auto pid = static_cast<pid_t>(process.id);
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc != pid)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}
