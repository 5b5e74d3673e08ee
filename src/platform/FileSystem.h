#pragma once
// Stand-ins for the file calls of the download sequence: the runtime's file-exists test and
// size query (stat), DeleteFileA, and the owner's execute bit that FTP cannot carry.
//
// The update file's name comes from the server and its folder may hold anything: none of these
// follows a symbolic link at the path, so that a planted link cannot redirect a write, a chmod
// or a delete to the file it points to.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>

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

// Which file a name stands for: two names with the same identity are one file (hard links),
// and a file put in place of another under the same name has another identity. On POSIX the
// device and inode numbers; on Windows the volume serial number and the file index.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// A file the program creates for itself. Whoever writes it or deletes it later goes by the
// identity, never by the name alone: anything that stands at the name instead is not ours.
struct OwnFile {
    std::optional<FileIdentity> identity; // set once the file has been created
    std::function<void()> onCreated;      // called right after the creation, before any write
};

// The identity of the regular file at path (a link is not followed and is no regular file).
std::optional<FileIdentity> RegularFileIdentity(const QString& path);
// True when anything at all stands at path: a file, a link (even a dangling one), a folder.
bool PathTaken(const QString& path);
// True when path names the regular file with this identity.
bool IsSameFile(const QString& path, const FileIdentity& identity);
// Deletes path only while it still names the file with this identity.
bool DeleteOwnFile(const QString& path, const FileIdentity& identity);

// Moves whatever stands at path (of any kind; a link is moved itself) to the first free name
// path + ".set-aside-1", "-2", … without ever replacing anything there. The new name, or
// nullopt with the system's reason.
std::optional<QString> SetAside(const QString& path, QString* reason);
constexpr int MaxSetAsideNumber = 99;

// A new folder that only this user may enter or write (0700), named prefix followed by six
// random characters; nullopt with the reason when it cannot be made.
std::optional<QString> CreatePrivateFolder(const QString& prefix, QString* reason);
// Deletes the regular files directly in folder (never following a link, never descending),
// then the folder itself. False when the folder is still there afterwards.
bool RemoveFolderWithFiles(const QString& folder);
// The folders directly in parent (not links to folders) whose names are prefix followed by
// six characters, as CreatePrivateFolder makes them, and that this user owns.
QStringList FoldersNamedLike(const QString& parent, const QString& prefix);

// What CopyOwnFile did.
struct CopyOutcome {
    enum Result {
        Copied,
        SourceMissing, // nothing (or no regular file) at the source
        NotOwnFile,    // another file stands at the source's name
        Failed,        // reading or writing failed; reason says why
    } result = Failed;
    std::int64_t bytes = 0; // bytes copied (and handed to onBlock)
    FileIdentity copy;      // the copy, when Copied
    QString reason;
};
// Copies the regular file at source, which must be the file with sourceIdentity (checked on the
// open descriptor, so a file swapped in at the name is never read), into target, created anew
// (never replacing or following anything there) with the owner's read, write and execute bits
// only. At most limit bytes are copied; onBlock sees every block as it is copied, so a digest
// and a count judge exactly the copy's bytes.
CopyOutcome CopyOwnFile(const QString& source, const FileIdentity& sourceIdentity,
                        const QString& target, std::int64_t limit,
                        const std::function<void(const char*, std::int64_t)>& onBlock);
// At most limit bytes of the regular file at path, which must be the file with this identity;
// nullopt when it is not there, not that file, or cannot be read.
std::optional<QByteArray> ReadOwnFile(const QString& path, const FileIdentity& identity,
                                      std::int64_t limit);
enum class WriteOpenMode {
    CreateOrTruncate, // created when missing, emptied when there
    AppendExisting,   // must exist; written at its end
};

// A descriptor opened for writing, or the reason it could not be.
struct OpenedFile {
    int fd = -1;           // close-on-exec and blocking; the caller owns it
    int error = 0;         // the errno value when fd is -1
    QString reason;        // the system's text for it, in English ("Permission denied")
    FileIdentity identity; // of the file opened
};

// Opens a regular file for writing without ever going through a symbolic link at path, and
// without writing to anything that is not a regular file (a planted fifo cannot hold the open
// either): such a path fails as a file that cannot be created. Nothing is truncated before the
// file is known to be a regular one.
//
// With own (the program's own download), nothing that already stands at path is ever opened
// unless it is that file: CreateOrTruncate creates the file anew (exclusively, owner-only) when
// own has no identity yet and records it there, or else empties the file only when the name
// still stands for own's file; AppendExisting writes only to own's file. Anything else fails as
// "Not the file this download created" (or "File exists" for a new file).
OpenedFile OpenFileForWriting(const QString& path, WriteOpenMode mode, OwnFile* own = nullptr);

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
