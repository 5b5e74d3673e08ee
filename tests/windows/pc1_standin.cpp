// Stands in for the diagnostics program beside the Windows launcher in the end-to-end runs under
// Wine. It notes in pc1.txt (current directory, as the launcher's own log) when it starts and
// when it ends, each time with whether DLrec.txt exists already: the launcher must wait for it,
// so the log must not appear while it runs. The same bytes as the Linux stand-in the harness
// writes as a shell script.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// Long enough that a launcher that did not wait would be past its update check before the end.
constexpr DWORD kWorkMs = 1000;

bool logExists() {
    return GetFileAttributesA("DLrec.txt") != INVALID_FILE_ATTRIBUTES;
}

void note(const char* what) {
    const HANDLE file = CreateFileA("pc1.txt", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char line[32];
    const int length = wsprintfA(line, "%s%s\n", what, logExists() ? " log" : "");
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    note("start");
    Sleep(kWorkMs);
    note("end");
    return 0;
}
