#pragma once
// Chinese texts are stored, logged and counted as Big5 (code page 950) bytes. Source literals
// are UTF-8; these two convert at the edges.
#include <QByteArray>
#include <QString>

// Characters that Big5 cannot hold become '?', as the Windows conversion does.
QByteArray toBig5(const QString& text);
// Bytes that are not valid Big5 become U+FFFD; the conversion never fails.
QString fromBig5(const QByteArray& bytes);
