#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "Win32Support_win.h"

#include "Termination.h"

#include <atomic>
#include <cstring>
#include <mutex>

// Windows ends a program by console events (Ctrl+C, Ctrl+Break, the console closed, log-off,
// shut-down: delivered on a thread of their own) and, for a program with windows, by the end of
// the session (WM_QUERYENDSESSION, then WM_ENDSESSION to a top-level window of the thread).
// Either way the registered file is removed first.

namespace {

// A fixed buffer, as the console handler's thread must not allocate while the program may be
// anywhere; the lock keeps it whole while the program changes it.
wchar_t g_path[32768];
std::atomic<bool> g_armed{false};
std::mutex g_lock;

void removeRegistered() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_armed.load())
        return;
    // The link or junction at the path goes, never what it leads to; a file still open for
    // writing (shared for deletion) goes when its last handle closes, at the exit.
    const DWORD attributes = GetFileAttributesW(g_path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            RemoveDirectoryW(g_path);
    } else {
        DeleteFileW(g_path);
    }
    g_armed = false;
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

bool RemoveOnTermination(const QString& path) {
    const std::wstring native = Win32Path(path);
    std::lock_guard<std::mutex> hold(g_lock);
    g_armed = false;
    if (native.empty() || native.size() >= sizeof g_path / sizeof g_path[0] ||
        native.find(L'\0') != std::wstring::npos)
        return false;
    installOnce();
    std::memcpy(g_path, native.c_str(), (native.size() + 1) * sizeof(wchar_t));
    g_armed = true;
    return true;
}

void KeepOnTermination() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_armed = false;
}
