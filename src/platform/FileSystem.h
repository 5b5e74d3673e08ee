#pragma once
// Stand-ins for the file calls of the download sequence: the runtime's file-exists test and
// size query (stat), DeleteFileA, and the owner's execute bit that FTP cannot carry.
#include <QString>
#include <cstdint>

// True when path names an existing file (not a directory).
bool FileExists(const QString& path);
// The file's size in bytes; 0 when it cannot be queried, as the runtime's stat-based query gives.
std::int64_t FileSize(const QString& path);
// Deletes a file. False when it could not be deleted (or was not there).
bool DeleteFile(const QString& path);
// Lets the file's owner run it (adds the owner's execute bit). False on failure; a no-op where
// the file system has no such bit.
bool MakeExecutableByOwner(const QString& path);
