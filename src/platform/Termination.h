#pragma once
// Files the program made must not outlive it: when SIGTERM, SIGINT or SIGHUP ends it while a
// download writes the update, or while the update runs from the program's private folder, the
// registered files are removed first, then the registered folders. Signals that were ignored
// when the first path was registered (nohup) stay ignored.
//
// A file is removed only while its name still stands for the file registered with it (the
// same identity), so that nothing put in its place is ever deleted; a folder only when it is
// empty by then.
#include "FileSystem.h"

#include <QString>

// At most this many paths are registered at once.
constexpr int MaxTerminationPaths = 6;

// Which registration to undo; a default one undoes nothing.
struct TerminationToken {
    int slot = -1;
};

// Registers a file or an (empty by then) folder; a token with no slot (nothing registered)
// when the path does not fit the handler's fixed buffer or every slot is taken.
TerminationToken RemoveFileOnTermination(const QString& path, const FileIdentity& identity);
TerminationToken RemoveFolderOnTermination(const QString& path);
// That path is no longer removed; the token is reset.
void KeepOnTermination(TerminationToken& token);
