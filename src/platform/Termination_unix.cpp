#include "Termination.h"

#include "Termination_p.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Read by the handler, which may interrupt the program anywhere: fixed buffers, and a flag per
// slot that is cleared before its buffer changes and set only once it holds a whole path.
struct Slot {
    char path[4096];
    bool folder;
    dev_t device;
    ino_t inode;
    volatile std::sig_atomic_t armed;
};
Slot g_slots[MaxTerminationPaths];

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Only lstat, unlink and rmdir here: each is async-signal-safe.
extern "C" void removeThenEnd(int signo) {
    const int saved = errno;
    for (const bool folders : {false, true}) { // a folder empties before it can go
        for (Slot& s : g_slots) {
            if (!s.armed || s.folder != folders)
                continue;
            if (folders) {
                ::rmdir(s.path);
                continue;
            }
            struct stat st {};
            if (::lstat(s.path, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == s.device &&
                st.st_ino == s.inode)
                ::unlink(s.path);
        }
    }
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

TerminationToken ArmTerminationSlot(const QString& path, bool folder,
                                    const FileIdentity& identity) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty() || native.size() >= qsizetype(sizeof g_slots[0].path) ||
        native.contains('\0'))
        return {};
    for (int i = 0; i < MaxTerminationPaths; ++i) {
        Slot& s = g_slots[i];
        if (s.armed)
            continue;
        installOnce();
        std::memcpy(s.path, native.constData(), static_cast<size_t>(native.size()));
        s.path[native.size()] = '\0';
        s.folder = folder;
        s.device = static_cast<dev_t>(identity.volume);
        s.inode = static_cast<ino_t>(identity.index);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        s.armed = 1;
        return TerminationToken{i};
    }
    return {};
}

void DisarmTerminationSlot(int slot) {
    g_slots[slot].armed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}
