#pragma once
// The one rule for the update file's name, which comes from the database and becomes a local
// path that the download writes, runs and deletes. The update check applies it to the row it
// reads, and the download window again to the path it writes.
#include <QString>

// The update file is stored at a path held in a 128-byte buffer with its terminator.
inline constexpr int kMaxUpdatePathBytes = 127;

// True when downloadDir + name names a file directly in downloadDir: not empty, no separator,
// no "..", no control character, representable in Big5, the path (UTF-8, as the file system
// stores it) shorter than 128 bytes, not one of the program's own files (its executable,
// pc1.exe, velka.ini, server.ini, DLrec.txt), whatever the case of its letters, and nothing
// that Windows takes for another file: a device (CON, PRN, AUX, NUL, COM0-9, LPT0-9, also with
// an extension: "nul.txt"), a name ending in a dot or a blank, a stream ("a:b") or a wildcard.
bool IsUsableUpdateFileName(const QString& downloadDir, const QString& name);
