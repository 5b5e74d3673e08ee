#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "Win32Support_win.h"

// After <windows.h>: the header's DeleteFile is the program's own, not the Win32 macro.
#undef DeleteFile
#include "FileSystem.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>

namespace {

const QString kLinkRefused = QStringLiteral("Is a symbolic link");
const QString kNotRegular = QStringLiteral("Not a regular file");

// What stands at the path itself: a link or a junction (a reparse point) is reported as
// itself, never as what it leads to.
struct Entry {
    bool exists = false;
    DWORD attributes = 0;
    bool isLink() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool isDirectory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

Entry entryAt(const std::wstring& path) {
    Entry e;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        e.exists = true;
        e.attributes = data.dwFileAttributes;
    }
    return e;
}

// The handle's own answer counts: the name may have changed between a look and the open.
bool isRegularHandle(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
    return GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, info) &&
           (info->dwFileAttributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// Opens the entry at path for reading its attributes only, never through a reparse point.
HANDLE openEntry(const std::wstring& path) {
    return CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool regularFile(const QString& path, BY_HANDLE_FILE_INFORMATION* info) {
    if (path.isEmpty())
        return false;
    const std::wstring native = Win32Path(path);
    const Entry e = entryAt(native);
    // Checked by name first so that a device is not even opened.
    if (!e.exists || e.isLink() || e.isDirectory())
        return false;
    const HANDLE h = openEntry(native);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = isRegularHandle(h, info);
    CloseHandle(h);
    return ok;
}

OpenedFile failure(int error, const QString& reason) {
    OpenedFile f;
    f.error = error;
    f.reason = reason;
    return f;
}

OpenedFile win32Failure(DWORD error) {
    return failure(ErrnoFromWin32(error), Win32ErrorText(error));
}

} // namespace

bool FileExists(const QString& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    return regularFile(path, &info);
}

std::int64_t FileSize(const QString& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!regularFile(path, &info))
        return 0;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                     info.nFileSizeLow);
}

bool DeleteFile(const QString& path) {
    if (path.isEmpty())
        return false;
    const std::wstring native = Win32Path(path);
    const Entry e = entryAt(native);
    if (!e.exists)
        return false;
    // A link or a junction to a folder is removed itself, as a link is on POSIX; the folder it
    // leads to and whatever it holds stay. A real folder is never removed.
    if (e.isLink() && e.isDirectory())
        return RemoveDirectoryW(native.c_str()) != 0;
    if (e.isDirectory())
        return false;
    return DeleteFileW(native.c_str()) != 0; // a file link goes, its target stays
}

bool MakeExecutableByOwner(const QString& path) {
    // Windows runs a program by its name and content; there is no bit to set. What the POSIX
    // half refuses is refused here too.
    return FileExists(path);
}

OpenedFile OpenFileForWriting(const QString& path, WriteOpenMode mode) {
    if (path.isEmpty())
        return failure(ENOENT, Win32ErrorText(ERROR_FILE_NOT_FOUND));
    const std::wstring native = Win32Path(path);
    const Entry e = entryAt(native);
    if (e.exists) {
        if (e.isLink())
            return failure(ELOOP, kLinkRefused);
        if (e.isDirectory())
            return failure(EISDIR, kNotRegular);
    }
    const bool create = mode == WriteOpenMode::CreateOrTruncate;
    // OPEN_ALWAYS, not CREATE_ALWAYS: nothing is emptied before the handle shows a regular
    // file. Others may read or delete it meanwhile, as on POSIX: a clean-up at the end of the
    // session must be able to remove a half-written file that is still open.
    const HANDLE h = CreateFileW(native.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 create ? OPEN_ALWAYS : OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return win32Failure(GetLastError());
    BY_HANDLE_FILE_INFORMATION info{};
    OpenedFile result;
    if (!isRegularHandle(h, &info)) {
        const bool link = GetFileInformationByHandle(h, &info) &&
                          (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        result = link ? failure(ELOOP, kLinkRefused) : failure(EINVAL, kNotRegular);
    } else {
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(h, zero, nullptr, create ? FILE_BEGIN : FILE_END) ||
            (create && !SetEndOfFile(h)))
            result = win32Failure(GetLastError());
    }
    if (!result.reason.isEmpty()) {
        CloseHandle(h);
        return result;
    }
    // The C runtime's descriptor owns the handle from now on; appending goes to the end before
    // every write, as O_APPEND does.
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), create ? 0 : _O_APPEND);
    if (fd < 0) {
        CloseHandle(h);
        return failure(EMFILE, QString::fromLocal8Bit(std::strerror(EMFILE)));
    }
    result.fd = fd;
    return result;
}

void CloseFileDescriptor(int fd) {
    if (fd >= 0)
        _close(fd);
}

std::FILE* CreateFileStream(const QString& path) {
    const OpenedFile opened = OpenFileForWriting(path, WriteOpenMode::CreateOrTruncate);
    if (opened.fd < 0)
        return nullptr;
    std::FILE* stream = _fdopen(opened.fd, "wb");
    if (!stream)
        _close(opened.fd);
    return stream;
}

QString SystemErrorText(int error) {
    // The callers hand errno values, which the C runtime sets from the system's errors; its
    // texts are English and fixed, the same words the POSIX half gives for the common ones.
    const char* text = std::strerror(error);
    if (text && *text)
        return QString::fromLocal8Bit(text);
    return QStringLiteral("Error %1").arg(error);
}
