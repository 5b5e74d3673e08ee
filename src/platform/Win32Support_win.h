#pragma once
// What the Windows halves of the platform layer share. Included only by *_win.cpp files, after
// <windows.h>: no other floor sees it.
#include <QString>
#include <string>

// The path as the wide Win32 calls take it: native separators, and the "\\?\" form for an
// absolute path too long for the classic limit.
std::wstring Win32Path(const QString& path);

// The system's text for a Win32 error code (GetLastError), in English whatever the user's
// language, without the trailing line break; "Error N" when the system has no English text.
QString Win32ErrorText(unsigned long error);

// The errno value closest to a Win32 error code, for callers that report errno values.
int ErrnoFromWin32(unsigned long error);
