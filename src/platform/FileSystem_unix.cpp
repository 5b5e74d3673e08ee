#include "FileSystem.h"

#include "FileSystem_p.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <memory>
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
const QString kNotOwn = QStringLiteral("Not the file this download created");

FileIdentity identityOf(const struct stat& st) {
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino)};
}

// Owns a descriptor for the length of a scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

ssize_t readRetrying(int fd, char* buffer, size_t size) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

// The descriptor's reads as the shared loops take them.
auto reader(int fd) {
    return [fd](char* buffer, std::int64_t size) -> std::int64_t {
        return readRetrying(fd, buffer, static_cast<size_t>(size));
    };
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The regular file at path opened for reading, when it is the file with this identity; the
// check is made on the descriptor, so whatever is swapped in at the name afterwards is not read.
int openOwnForReading(const QString& path, const FileIdentity& identity, CopyOutcome* outcome) {
    const int fd = path.isEmpty() ? -1 : [&] {
        int f;
        do {
            f = ::open(QFile::encodeName(path).constData(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        } while (f < 0 && errno == EINTR);
        return f;
    }();
    if (fd < 0) {
        if (outcome) {
            outcome->result = errno == ELOOP ? CopyOutcome::NotOwnFile : CopyOutcome::SourceMissing;
            outcome->reason = errno == ELOOP ? kNotOwn : SystemErrorText(errno);
        }
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || identityOf(st) != identity) {
        ::close(fd);
        if (outcome) {
            outcome->result = CopyOutcome::NotOwnFile;
            outcome->reason = kNotOwn;
        }
        return -1;
    }
    return fd;
}

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
}

namespace {

// The program's own download: see OpenFileForWriting.
OpenedFile openOwnForWriting(const QByteArray& native, WriteOpenMode mode, OwnFile& own) {
    const bool create = mode == WriteOpenMode::CreateOrTruncate && !own.identity;
    if (mode == WriteOpenMode::AppendExisting && !own.identity)
        return failure(ENOENT); // nothing was created to append to
    const int flags = create ? O_WRONLY | O_CREAT | O_EXCL
                             : O_WRONLY | (mode == WriteOpenMode::AppendExisting ? O_APPEND : 0);
    Descriptor fd(openNoFollow(native, flags, 0600));
    if (fd.get() < 0) {
        const int error = errno;
        return failure(error, error == ELOOP ? kNotOwn : QString());
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return failure(errno);
    if (!S_ISREG(st.st_mode) || (!create && identityOf(st) != *own.identity))
        return failure(EINVAL, kNotOwn);
    if (mode == WriteOpenMode::CreateOrTruncate && !create && ::ftruncate(fd.get(), 0) != 0)
        return failure(errno);
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0)
        return failure(errno);
    if (create) {
        own.identity = identityOf(st);
        if (own.onCreated)
            own.onCreated();
    }
    OpenedFile f;
    f.identity = identityOf(st);
    f.fd = fd.release();
    return f;
}

} // namespace

OpenedFile OpenFileForWriting(const QString& path, WriteOpenMode mode, OwnFile* own) {
    if (path.isEmpty())
        return failure(ENOENT);
    const QByteArray native = nativePath(path);
    if (own)
        return openOwnForWriting(native, mode, *own);
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
    f.identity = identityOf(st);
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
    if (NamesNothing(path, result))
        return -1;
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
    struct stat st {};
    const std::int64_t claimed = ::fstat(fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
    const bool read = ReadWhole(reader(fd), claimed, maxBytes, result);
    const int error = errno;
    ::close(fd);
    if (!read)
        result.reason = SystemErrorText(error);
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

std::optional<FileIdentity> RegularFileIdentity(const QString& path) {
    struct stat st {};
    if (!lstatRegular(path, &st))
        return std::nullopt;
    return identityOf(st);
}

bool PathTaken(const QString& path) {
    struct stat st {};
    return !path.isEmpty() && ::lstat(nativePath(path).constData(), &st) == 0;
}

bool DeleteOwnFile(const QString& path, const FileIdentity& identity) {
    // POSIX cannot unlink through a descriptor: the name is checked right before. Only this
    // user can write the folder's entry in that instant, and no one else's file is ever named.
    return IsSameFile(path, identity) && ::unlink(nativePath(path).constData()) == 0;
}

std::optional<QString> SetAside(const QString& path, QString* reason) {
    const QByteArray from = nativePath(path);
    int error = ENOENT;
    for (int n = 1; !path.isEmpty() && n <= MaxSetAsideNumber; ++n) {
        const QString target = path + QStringLiteral(".set-aside-%1").arg(n);
        const QByteArray to = nativePath(target);
        // Never over anything: an earlier set-aside, or a name someone placed there, stays.
        int rc =
            ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the no-replace rename: link fails on an existing name too.
            rc = ::link(from.constData(), to.constData());
            if (rc == 0 && ::unlink(from.constData()) != 0) {
                error = errno;
                ::unlink(to.constData());
                break;
            }
        }
        if (rc == 0)
            return target;
        error = errno;
        if (error != EEXIST)
            break;
    }
    if (reason)
        *reason = SystemErrorText(error);
    return std::nullopt;
}

std::optional<QString> CreatePrivateFolder(const QString& prefix, QString* reason) {
    QByteArray name = nativePath(prefix + QStringLiteral("XXXXXX"));
    if (!::mkdtemp(name.data())) { // 0700 whatever the umask
        if (reason)
            *reason = SystemErrorText(errno);
        return std::nullopt;
    }
    return QFile::decodeName(name);
}

bool RemoveFolderWithFiles(const QString& folder) {
    const QByteArray native = nativePath(folder);
    const int fd = openNoFollow(native, O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        if (DIR* d = ::fdopendir(fd)) {
            while (const dirent* e = ::readdir(d)) {
                struct stat st {};
                if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
                    ::unlinkat(fd, e->d_name, 0);
            }
            ::closedir(d); // closes fd
        } else {
            ::close(fd);
        }
    }
    ::rmdir(native.constData()); // a link in its place is no folder: rmdir refuses it
    struct stat st {};
    return ::lstat(native.constData(), &st) != 0;
}

QStringList FoldersNamedLike(const QString& parent, const QString& prefix) {
    QStringList found;
    const int fd = openNoFollow(nativePath(parent.isEmpty() ? QStringLiteral(".") : parent),
                                O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return found;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return found;
    }
    const QByteArray start = nativePath(prefix);
    while (const dirent* e = ::readdir(d)) {
        const QByteArray name(e->d_name);
        struct stat st {};
        if (name.size() == start.size() + 6 && name.startsWith(start) &&
            ::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
            st.st_uid == ::geteuid())
            found << QFile::decodeName(name);
    }
    ::closedir(d);
    found.sort();
    return found;
}

CopyOutcome CopyOwnFile(const QString& source, const FileIdentity& sourceIdentity,
                        const QString& target, std::int64_t limit,
                        const std::function<void(const char*, std::int64_t)>& onBlock) {
    CopyOutcome outcome;
    Descriptor in(openOwnForReading(source, sourceIdentity, &outcome));
    if (in.get() < 0)
        return outcome;
    const QByteArray to = nativePath(target);
    Descriptor out(openNoFollow(to, O_WRONLY | O_CREAT | O_EXCL, 0700));
    struct stat st {};
    if (out.get() < 0 || ::fstat(out.get(), &st) != 0 || ::fchmod(out.get(), 0700) != 0) {
        outcome.result = CopyOutcome::Failed;
        outcome.reason = SystemErrorText(errno);
        if (out.get() >= 0)
            ::unlink(to.constData());
        return outcome;
    }
    if (!CopyBlocks(
            reader(in.get()),
            [&](const char* data, std::int64_t size) {
                return writeAll(out.get(), data, static_cast<size_t>(size));
            },
            limit, onBlock, outcome)) {
        outcome.result = CopyOutcome::Failed;
        outcome.reason = SystemErrorText(errno);
        ::unlink(to.constData());
        return outcome;
    }
    outcome.copy = identityOf(st);
    return outcome;
}

std::optional<QByteArray> ReadOwnFile(const QString& path, const FileIdentity& identity,
                                      std::int64_t limit) {
    Descriptor in(openOwnForReading(path, identity, nullptr));
    if (in.get() < 0)
        return std::nullopt;
    return ReadAtMost(reader(in.get()), limit);
}
