#include <windows.h>

#include "Win32Support_win.h"

#include <QDir>
#include <cerrno>

std::wstring Win32Path(const QString& path) {
    const QString native = QDir::toNativeSeparators(path);
    std::wstring wide = native.toStdWString();
    const bool driveAbsolute = native.size() > 2 && native[1] == u':' && native[2] == u'\\';
    if (!driveAbsolute || wide.size() < MAX_PATH - 12)
        return wide;
    // The long form takes the path literally: "." and ".." must be resolved first.
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return wide;
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed)
        return wide;
    full.resize(written);
    return L"\\\\?\\" + full;
}

QString Win32ErrorText(unsigned long error) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                   reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    QString text;
    if (n > 0 && buffer)
        text = QString::fromWCharArray(buffer, static_cast<qsizetype>(n)).trimmed();
    if (buffer)
        LocalFree(buffer);
    // A single log line: the system's texts end with a period and a line break.
    if (text.endsWith(u'.'))
        text.chop(1);
    if (text.isEmpty())
        text = QStringLiteral("Error %1").arg(error);
    return text;
}

int ErrnoFromWin32(unsigned long error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_DIRECTORY:
        return EINVAL;
    case ERROR_CANT_RESOLVE_FILENAME:
    case ERROR_CANT_ACCESS_FILE:
        return ELOOP;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    default:
        return EIO;
    }
}

bool DeleteRegularFileWithIdentity(const wchar_t* path, unsigned long long volume,
                                   unsigned long long index) {
    const HANDLE h = CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool same =
        GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0 &&
        info.dwVolumeSerialNumber == volume &&
        ((static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow) ==
            index;
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    const bool deleted =
        same && SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose);
    CloseHandle(h);
    return deleted;
}
