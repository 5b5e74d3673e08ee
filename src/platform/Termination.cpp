#include "Termination.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

// Read by the handler, which may interrupt the program anywhere: a fixed buffer, and a flag
// that is cleared before the buffer changes and set only once it holds a whole path.
char g_path[4096];
volatile std::sig_atomic_t g_armed = 0;

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void removeThenEnd(int signo) {
    const int saved = errno;
    if (g_armed)
        ::unlink(g_path); // a link at the path is removed itself, not its target
    // The default action ends the program once this handler returns (the signal is blocked
    // until then), with the status a shell expects for it.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(signo, &dfl, nullptr);
    ::raise(signo);
    errno = saved;
}

void installOnce() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (const int signo : kSignals) {
        struct sigaction old {};
        if (::sigaction(signo, nullptr, &old) != 0 || old.sa_handler != SIG_DFL ||
            (old.sa_flags & SA_SIGINFO))
            continue; // ignored or handled by someone else: left as it is
        struct sigaction act {};
        act.sa_handler = removeThenEnd;
        sigemptyset(&act.sa_mask);
        for (const int other : kSignals)
            sigaddset(&act.sa_mask, other); // one clean-up at a time
        ::sigaction(signo, &act, nullptr);
    }
}

} // namespace

bool RemoveOnTermination(const QString& path) {
    g_armed = 0;
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty() || native.size() >= qsizetype(sizeof g_path) || native.contains('\0'))
        return false;
    installOnce();
    std::memcpy(g_path, native.constData(), static_cast<size_t>(native.size()));
    g_path[native.size()] = '\0';
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_armed = 1;
    return true;
}

void KeepOnTermination() {
    g_armed = 0;
}
