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

// Deletes the regular file at path only while it is the file with this identity (volume serial
// number and file index), checked on a handle opened on the entry itself (never through a
// reparse point) and deleted through that same handle: nothing put in its place is removed.
// Allocates nothing, so the end-of-session handler may call it.
bool DeleteRegularFileWithIdentity(const wchar_t* path, unsigned long long volume,
                                   unsigned long long index);
