#pragma once
// Files for the targets that read from disk: one private folder per process (in memory where
// the system offers it, so that the writer's fsync costs nothing), removed at exit.
#include <QByteArray>
#include <QString>

namespace fuzztemp {

// Replaces name in the folder with bytes; returns its path.
QString Write(const char* name, const QByteArray& bytes);
QByteArray Read(const QString& path);

} // namespace fuzztemp
