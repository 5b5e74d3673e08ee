#pragma once
// A partial update file must not outlive the program: when SIGTERM, SIGINT or SIGHUP ends it
// while a download writes the file, the file is removed first. Signals that were ignored when
// the path was first registered (nohup) stay ignored.
#include <QString>

// The file to remove if the program is ended by one of those signals from now on; false (and
// nothing registered) when the path does not fit the handler's fixed buffer.
bool RemoveOnTermination(const QString& path);
// Nothing is removed any more; the signals end the program as before.
void KeepOnTermination();
