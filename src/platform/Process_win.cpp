#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include "Win32Support_win.h"

#include "Process.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The file must be a program image on disk: ShellExecuteEx would otherwise hand a document to
// the program associated with its extension, or follow a shortcut, which is not running the
// file that was checked. A link is followed, as the POSIX half follows it.
bool isProgramFile(const std::wstring& path) {
    const HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool regular = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    CloseHandle(h);
    DWORD kind = 0;
    return regular && GetBinaryTypeW(path.c_str(), &kind) != 0;
}

} // namespace

std::optional<ProcessHandle> StartProgram(const QString& file) {
    if (file.isEmpty())
        return std::nullopt;
    // A full path: the shell would otherwise search the program's folder and PATH for a bare
    // name.
    const std::wstring path = Win32Path(QFileInfo(file).absoluteFilePath());
    if (!isProgramFile(path))
        return std::nullopt;
    const std::wstring folder = Win32Path(QDir::currentPath());

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    // The process handle is kept for the wait; no error window: a failure is the caller's to
    // report. NOASYNC: the call returns only once the start has been done.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    info.lpFile = path.c_str();
    info.lpDirectory = folder.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info))
        return std::nullopt;
    if (!info.hProcess)
        return std::nullopt; // started by some other means that gives nothing to wait on
    return ProcessHandle{reinterpret_cast<std::intptr_t>(info.hProcess)};
}

void IgnoreFileSizeSignal() {
    // Windows has no file-size signal: a write past a limit fails and is reported as such.
}

int WaitForProcess(ProcessHandle process) {
    if (process.id == -1 || process.id == 0)
        return -1;
    const HANDLE h = reinterpret_cast<HANDLE>(process.id);
    // Blocks without pumping messages, as the caller expects: nothing runs meanwhile.
    if (WaitForSingleObject(h, INFINITE) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    const bool known = GetExitCodeProcess(h, &code) != 0;
    CloseHandle(h);
    return known ? static_cast<int>(code) : -1;
}
