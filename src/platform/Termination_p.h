#pragma once
// What the two halves of Termination provide to the shared part (Termination.cpp): the slots the
// handler reads, which each half guards in its own way from the handler that runs meanwhile.
#include "Termination.h"

// Arms a free slot for path (a file with this identity, or a folder); a token with no slot when
// the path does not fit or every slot is taken.
TerminationToken ArmTerminationSlot(const QString& path, bool folder, const FileIdentity& identity);
// The slot is no longer acted on.
void DisarmTerminationSlot(int slot);
