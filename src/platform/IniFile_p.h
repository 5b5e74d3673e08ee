#pragma once
// What the two halves of IniFile provide to the shared part (IniFile.cpp).
#include <QByteArray>
#include <QString>

// Writes bytes to a new file beside fileName and puts it in fileName's place in one step, so
// that a reader sees the old file or the new one, never a part. Every byte is checked to be
// written and synced first: a short write fails the whole write and leaves the old file as it
// was. A link at fileName is kept: the file it points at is replaced.
bool ReplaceIniFile(const QString& fileName, const QByteArray& bytes);
