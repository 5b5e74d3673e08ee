#pragma once
// What the two halves of IniFile provide to the shared part (IniFile.cpp).
#include <QByteArray>
#include <QString>

// Writes bytes to a new file beside target and puts it in target's place in one step, so that a
// reader sees the old file or the new one, never a part. Every byte is checked to be written and
// synced first: a short write fails the whole write and leaves the old file as it was. target is
// no link (the shared part has followed it); anything but a regular file there is refused.
bool ReplaceFileAt(const QString& target, const QByteArray& bytes);
