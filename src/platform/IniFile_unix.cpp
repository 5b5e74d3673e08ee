#include "IniFile_p.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file of a write is "<name>.saving-" and six letters or digits (mkstemp's), beside
// the file; the writer holds a lock on it until it is renamed.
constexpr char kTempMarker[] = ".saving-";
constexpr int kTempRandom = 6;

bool isTempOf(const char* entry, const QByteArray& base) {
    const std::size_t prefix = static_cast<std::size_t>(base.size()) + sizeof(kTempMarker) - 1;
    if (std::strlen(entry) != prefix + kTempRandom ||
        std::strncmp(entry, base.constData(), static_cast<std::size_t>(base.size())) != 0 ||
        std::strncmp(entry + base.size(), kTempMarker, sizeof(kTempMarker) - 1) != 0)
        return false;
    for (int i = 0; i < kTempRandom; ++i) {
        const char c = entry[prefix + static_cast<std::size_t>(i)];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// Removes what an interrupted write (a crash, a power cut) left beside targetPath: regular files
// of our own name pattern that no writer holds locked. Links and anything else are left alone,
// and nothing is followed.
void removeStaleTemps(const QByteArray& targetPath) {
    const qsizetype slash = targetPath.lastIndexOf('/');
    const QByteArray dirPath = slash < 0 ? QByteArray(".") : targetPath.left(slash + 1);
    const QByteArray base = slash < 0 ? targetPath : targetPath.mid(slash + 1);
    const int dirFd = ::open(dirPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (!isTempOf(entry->d_name, base))
            continue;
        const int fd = ::openat(dirFd, entry->d_name,
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat opened {};
        struct stat named {};
        // The name must still lead to the file that was opened and locked, and no writer may
        // hold it: a lock that can be taken belongs to a write that has ended.
        if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
            ::unlinkat(dirFd, entry->d_name, 0);
        ::close(fd);
    }
    ::closedir(dir);
}

} // namespace

// Writes bytes to a new file beside target and renames it over target. Every byte is
// checked to be written and synced first: a short write (a full disk, a size limit) fails the
// whole write and leaves the old file as it was. (QSaveFile was not used because it commits a
// file whose write came up short without reporting it.)
bool ReplaceFileAt(const QString& target, const QByteArray& bytes) {
    const QByteArray targetPath = QFile::encodeName(target);
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(targetPath.constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return false;
        mode = st.st_mode & 07777;
    }
    removeStaleTemps(targetPath);
    QByteArray temp = targetPath + kTempMarker + QByteArray(kTempRandom, 'X');
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    // Held until the file is closed: it tells a concurrent save that this file is in use.
    bool ok = ::flock(fd, LOCK_EX) == 0;
    ok = ok && ::fchmod(fd, mode) == 0;
    qsizetype done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            ok = false;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ok && ::rename(temp.constData(), targetPath.constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    ok = (::close(fd) == 0) && ok;
    return ok;
}
