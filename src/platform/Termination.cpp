#include "Termination.h"

#include "Termination_p.h"

// What both halves share: no system call of its own.

TerminationToken RemoveFileOnTermination(const QString& path, const FileIdentity& identity) {
    return ArmTerminationSlot(path, false, identity);
}

TerminationToken RemoveFolderOnTermination(const QString& path) {
    return ArmTerminationSlot(path, true, FileIdentity{});
}

void KeepOnTermination(TerminationToken& token) {
    if (token.slot >= 0 && token.slot < MaxTerminationPaths)
        DisarmTerminationSlot(token.slot);
    token = {};
}
