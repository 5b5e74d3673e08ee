#include "FileSystem.h"

#include <QFile>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

bool lstatRegular(const QString& path, struct stat* st) {
    if (path.isEmpty())
        return false;
    return ::lstat(nativePath(path).constData(), st) == 0 && S_ISREG(st->st_mode);
}

OpenedFile failure(int error, const QString& reason = {}) {
    OpenedFile f;
    f.error = error;
    f.reason = reason.isEmpty() ? SystemErrorText(error) : reason;
    return f;
}

const QString kLinkRefused = QStringLiteral("Is a symbolic link");
const QString kNotRegular = QStringLiteral("Not a regular file");

int openNoFollow(const QByteArray& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

bool FileExists(const QString& path) {
    struct stat st {};
    return lstatRegular(path, &st);
}

std::int64_t FileSize(const QString& path) {
    struct stat st {};
    return lstatRegular(path, &st) ? static_cast<std::int64_t>(st.st_size) : 0;
}

bool DeleteFile(const QString& path) {
    if (path.isEmpty())
        return false;
    const QByteArray native = nativePath(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    return ::unlink(native.constData()) == 0; // a link goes, its target stays
}

bool MakeExecutableByOwner(const QString& path) {
#ifdef _WIN32
    Q_UNUSED(path);
    return true;
#else
    if (path.isEmpty())
        return false;
    // Through a descriptor of the file itself: a link swapped in after a check could still
    // redirect a chmod by name.
    const int fd = openNoFollow(nativePath(path), O_RDONLY);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    ::fchmod(fd, (st.st_mode & 07777) | S_IXUSR) == 0;
    ::close(fd);
    return ok;
#endif
}

OpenedFile OpenFileForWriting(const QString& path, WriteOpenMode mode) {
    if (path.isEmpty())
        return failure(ENOENT);
    const QByteArray native = nativePath(path);
    // Checked first so that a device is not even opened (opening some has effects of its own);
    // the check on the descriptor below is the one that counts.
    struct stat st {};
    if (::lstat(native.constData(), &st) == 0) {
        if (S_ISLNK(st.st_mode))
            return failure(ELOOP, kLinkRefused);
        if (!S_ISREG(st.st_mode))
            return failure(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, kNotRegular);
    }
    const int flags = O_WRONLY | (mode == WriteOpenMode::CreateOrTruncate ? O_CREAT : O_APPEND);
    const int fd = openNoFollow(native, flags, 0666);
    if (fd < 0) {
        const int error = errno;
        return failure(error, error == ELOOP ? kLinkRefused : QString());
    }
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (mode == WriteOpenMode::CreateOrTruncate && ::ftruncate(fd, 0) != 0)
        error = errno;
    else {
        // O_NONBLOCK was only for the open: a write must wait, not fail with EAGAIN.
        const int fl = ::fcntl(fd, F_GETFL);
        if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
            error = errno;
    }
    if (error != 0) {
        ::close(fd);
        return failure(error, error == EINVAL ? kNotRegular : QString());
    }
    OpenedFile f;
    f.fd = fd;
    return f;
}

void CloseFileDescriptor(int fd) {
    if (fd >= 0)
        ::close(fd);
}

std::FILE* CreateFileStream(const QString& path) {
    const OpenedFile opened = OpenFileForWriting(path, WriteOpenMode::CreateOrTruncate);
    if (opened.fd < 0)
        return nullptr;
    std::FILE* stream = ::fdopen(opened.fd, "wb");
    if (!stream)
        ::close(opened.fd);
    return stream;
}

QString SystemErrorText(int error) {
    // strerror follows LC_MESSAGES, which the application object sets from the environment.
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    if (c)
        return QString::fromLocal8Bit(::strerror_l(error, c));
    return QStringLiteral("Error %1").arg(error);
}

namespace {

// Opens path for reading without waiting and checks that it is a regular file. Returns the
// descriptor (non-blocking) or -1 with the reason set.
int openRegularForReading(const QString& path, FileContents& result) {
    if (path.isEmpty()) {
        result.missing = true;
        result.reason = QStringLiteral("not found");
        return -1;
    }
    const QByteArray native = nativePath(path);
    // Checked before the open so that a device is not even opened (opening some has effects of
    // their own); the check on the descriptor below is the one that counts.
    struct stat st {};
    if (::stat(native.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        result.reason = QStringLiteral("not a regular file");
        return -1;
    }
    int fd;
    do {
        fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        result.missing = errno == ENOENT;
        result.reason = result.missing ? QStringLiteral("not found") : SystemErrorText(errno);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        result.reason = QStringLiteral("not a regular file");
        return -1;
    }
    return fd;
}

} // namespace

FileContents ReadRegularFile(const QString& path, std::int64_t maxBytes) {
    FileContents result;
    const int fd = openRegularForReading(path, result);
    if (fd < 0)
        return result;
    const QString tooLarge = QStringLiteral("larger than ") + ByteLimitText(maxBytes);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > maxBytes) {
        ::close(fd);
        result.reason = tooLarge;
        return result;
    }
    // What the file claims to hold and one byte more, so that a read does not reserve the whole
    // limit; a file that grows meanwhile (or a kernel file that reports no size) is read on, up
    // to one byte past the limit.
    QByteArray bytes;
    bytes.resize(static_cast<qsizetype>((st.st_size < maxBytes ? st.st_size : maxBytes) + 1));
    qsizetype done = 0;
    int error = 0;
    for (;;) {
        if (done == bytes.size()) {
            if (done > maxBytes)
                break;
            const std::int64_t more = static_cast<std::int64_t>(done) * 2 + 4096;
            bytes.resize(static_cast<qsizetype>(more < maxBytes + 1 ? more : maxBytes + 1));
        }
        const ssize_t n = ::read(fd, bytes.data() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0)
            break;
        else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    ::close(fd);
    if (error != 0) {
        result.reason = SystemErrorText(error);
        return result;
    }
    if (done > maxBytes) {
        result.reason = tooLarge;
        return result;
    }
    bytes.truncate(done);
    result.ok = true;
    result.bytes = std::move(bytes);
    return result;
}

QString RegularFileProblem(const QString& path) {
    FileContents result;
    const int fd = openRegularForReading(path, result);
    if (fd < 0)
        return result.reason;
    ::close(fd);
    return {};
}

QString ByteLimitText(std::int64_t bytes) {
    constexpr std::int64_t KiB = 1024;
    if (bytes > 0 && bytes % (KiB * KiB) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (KiB * KiB));
    if (bytes > 0 && bytes % KiB == 0)
        return QStringLiteral("%1 KiB").arg(bytes / KiB);
    return QStringLiteral("%1 bytes").arg(bytes);
}
