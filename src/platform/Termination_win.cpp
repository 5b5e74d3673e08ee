#include <windows.h>

#include "Win32Support_win.h"

#include "Termination.h"

#include "Termination_p.h"

#include <cstring>
#include <mutex>

// Windows ends a program by console events (Ctrl+C, Ctrl+Break, the console closed, log-off,
// shut-down: delivered on a thread of their own) and, for a program with windows, by the end of
// the session (WM_QUERYENDSESSION, then WM_ENDSESSION to a top-level window of the thread).
// Either way the registered files, then the registered (empty) folders, are removed first.

namespace {

// Fixed buffers, as the console handler's thread must not allocate while the program may be
// anywhere; the lock keeps a slot whole while the program changes it.
struct Slot {
    wchar_t path[32768];
    bool folder;
    unsigned long long volume;
    unsigned long long index;
    bool armed;
};
Slot g_slots[MaxTerminationPaths];
std::mutex g_lock;

void removeRegistered() {
    std::lock_guard<std::mutex> hold(g_lock);
    for (const bool folders : {false, true}) { // a folder empties before it can go
        for (Slot& s : g_slots) {
            if (!s.armed || s.folder != folders)
                continue;
            s.armed = false;
            if (!folders) {
                // Only while the name still stands for the registered file; a file still open
                // for writing (shared for deletion) goes when its last handle closes, at the exit.
                DeleteRegularFileWithIdentity(s.path, s.volume, s.index);
                continue;
            }
            // An empty folder, never a link or junction in its place.
            const DWORD attributes = GetFileAttributesW(s.path);
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveDirectoryW(s.path);
        }
    }
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        removeRegistered();
        break;
    default:
        break;
    }
    return FALSE; // the next handler, in the end the system's, ends the program as before
}

LRESULT CALLBACK onSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Only an ending that happens: a shut-down that another program vetoes after the question
    // must not cost the download its file.
    if (message == WM_ENDSESSION && wParam)
        removeRegistered();
    if (message == WM_QUERYENDSESSION)
        return TRUE;
    return DefWindowProcW(window, message, wParam, lParam);
}

constexpr wchar_t kWindowClass[] = L"PcvSessionEndWatch";

void installOnce() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    // A hidden top-level window, as a message-only one would not be told of the session's
    // end. It belongs to the thread that registers (the GUI thread, whose event loop
    // dispatches its messages) and lives as long as the program.
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = onSessionMessage;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    if (RegisterClassW(&windowClass))
        CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                        windowClass.hInstance, nullptr);
}

} // namespace

TerminationToken ArmTerminationSlot(const QString& path, bool folder,
                                    const FileIdentity& identity) {
    const std::wstring native = Win32Path(path);
    if (native.empty() || native.size() >= sizeof g_slots[0].path / sizeof(wchar_t) ||
        native.find(L'\0') != std::wstring::npos)
        return {};
    std::lock_guard<std::mutex> hold(g_lock);
    for (int i = 0; i < MaxTerminationPaths; ++i) {
        Slot& s = g_slots[i];
        if (s.armed)
            continue;
        installOnce();
        std::memcpy(s.path, native.c_str(), (native.size() + 1) * sizeof(wchar_t));
        s.folder = folder;
        s.volume = identity.volume;
        s.index = identity.index;
        s.armed = true;
        return TerminationToken{i};
    }
    return {};
}

void DisarmTerminationSlot(int slot) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_slots[slot].armed = false;
}
