#include "Big5.h"

#include "Big5_p.h"

#include <QList>

QByteArray toBig5(const QString& text) {
    QByteArray out;
    out.reserve(text.size() * 2);
    // Converted per code point so that one unmappable character costs one '?', never more.
    const QList<uint> ucs = text.toUcs4();
    for (const uint cp : ucs) {
        if (cp < 0x80) {
            out.append(static_cast<char>(cp));
            continue;
        }
        char bytes[2];
        const int n = EncodeBig5CodePoint(static_cast<char32_t>(cp), bytes);
        if (n <= 0)
            out.append('?');
        else
            out.append(bytes, n);
    }
    return out;
}
