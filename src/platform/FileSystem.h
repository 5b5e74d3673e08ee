#pragma once
// Stand-ins for the file calls of the download sequence: the runtime's file-exists test and
// size query (stat), DeleteFileA, and the owner's execute bit that FTP cannot carry.
//
// The update file's name comes from the server and its folder may hold anything: none of these
// follows a symbolic link at the path, so that a planted link cannot redirect a write, a chmod
// or a delete to the file it points to.
#include <QString>
#include <cstdint>
#include <cstdio>

// True when path names an existing regular file; a symbolic link, a directory, a fifo or a
// device is not one.
bool FileExists(const QString& path);
// The regular file's size in bytes; 0 when it cannot be queried or is not a regular file, as
// the runtime's stat-based query gives.
std::int64_t FileSize(const QString& path);
// Deletes a file; a symbolic link is removed itself, never its target. False when it could not
// be deleted (or was not there, or is a directory).
bool DeleteFile(const QString& path);
// Lets the file's owner run it (adds the owner's execute bit). False on failure, and for a path
// that is not a regular file (a link is never followed); a no-op where the file system has no
// such bit.
bool MakeExecutableByOwner(const QString& path);

enum class WriteOpenMode {
    CreateOrTruncate, // created when missing, emptied when there
    AppendExisting,   // must exist; written at its end
};

// A descriptor opened for writing, or the reason it could not be.
struct OpenedFile {
    int fd = -1;    // close-on-exec and blocking; the caller owns it
    int error = 0;  // the errno value when fd is -1
    QString reason; // the system's text for it, in English ("Permission denied")
};

// Opens a regular file for writing without ever going through a symbolic link at path, and
// without writing to anything that is not a regular file (a planted fifo cannot hold the open
// either): such a path fails as a file that cannot be created. Nothing is truncated before the
// file is known to be a regular one.
OpenedFile OpenFileForWriting(const QString& path, WriteOpenMode mode);

// Closes a descriptor that OpenFileForWriting returned and nobody took over.
void CloseFileDescriptor(int fd);

// The C runtime's "wb" stream on a file opened as OpenFileForWriting does; null when it cannot
// be created.
std::FILE* CreateFileStream(const QString& path);

// The system's text for an errno value, in English whatever the user's locale, as every other
// diagnostic line of the log is.
QString SystemErrorText(int error);

// A file whose bytes the program reads whole (a settings file, a certificate file): its bytes,
// or why it was not read. The open never waits (a FIFO or a device put at the path is refused,
// not waited on) and only a regular file is read, at most maxBytes of it. A link is followed:
// certificate stores are links as a rule.
struct FileContents {
    bool ok = false;
    bool missing = false; // nothing at the path (the reason is then "not found")
    QByteArray bytes;
    QString reason; // why not: "not found", "not a regular file", "larger than 1 MiB", ...
};
FileContents ReadRegularFile(const QString& path, std::int64_t maxBytes);
// The same checks without reading: empty when path names a regular file that can be opened for
// reading, else the reason as above.
QString RegularFileProblem(const QString& path);
// A byte count as the reasons above give it: "1 MiB", "4 KiB", "100 bytes".
QString ByteLimitText(std::int64_t bytes);
