// Stands in for a downloaded update in the end-to-end runs under Wine: it copies its own bytes to
// installed.bin in the current directory (proof that the whole file arrived, padding and all),
// "installs" version 13 by writing installed.txt, notes in marker that it ran, and exits with a
// code the launcher does not look at. The current directory is the launcher's folder, where an
// update installs: the launcher runs it from a private copy elsewhere. The harness pads it to the
// same size as the Linux stand-in, so both programs log the same DownloadFileSize.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// Writes text into the file name in folder; append or replace.
void put(const char* folder, const char* name, const char* text, bool append) {
    char path[MAX_PATH + 32];
    wsprintfA(path, "%s%s", folder, name);
    const HANDLE file =
        CreateFileA(path, append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text, lstrlenA(text), &written, nullptr);
    CloseHandle(file);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 3;
    char folder[MAX_PATH];
    const DWORD here = GetCurrentDirectoryA(MAX_PATH - 1, folder);
    if (here == 0 || here >= MAX_PATH - 1)
        return 3;
    if (folder[here - 1] != '\\' && folder[here - 1] != '/')
        lstrcatA(folder, "\\");
    char copy[MAX_PATH + 32];
    wsprintfA(copy, "%sinstalled.bin", folder);
    CopyFileA(self, copy, FALSE);
    put(folder, "installed.txt", "pc1 version 13\n", false);
    put(folder, "marker", "ran\n", true);
    return 7;
}
