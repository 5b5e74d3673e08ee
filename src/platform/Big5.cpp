#include "Big5.h"

#include <QList>
#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <vector>

namespace {

// iconv is stateless for these two encodings, but a descriptor is not safe to share between
// threads; one per call is cheap enough for the few texts the program converts.
QByteArray convert(const char* to, const char* from, const QByteArray& in, const char* bad,
                   size_t badLen, size_t unit) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return {};
    QByteArray out;
    out.reserve(in.size() * 2 + 16);
    std::vector<char> chunk(4096);
    char* src = const_cast<char*>(in.constData());
    size_t srcLeft = static_cast<size_t>(in.size());
    while (srcLeft > 0) {
        char* dst = chunk.data();
        size_t dstLeft = chunk.size();
        size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(chunk.data(), static_cast<qsizetype>(chunk.size() - dstLeft));
        if (rc == static_cast<size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL: replace one input unit and go on.
            out.append(bad, static_cast<qsizetype>(badLen));
            size_t skip = std::min(unit, srcLeft);
            src += skip;
            srcLeft -= skip;
        }
    }
    iconv_close(cd);
    return out;
}

} // namespace

QByteArray toBig5(const QString& text) {
    QByteArray out;
    out.reserve(text.size() * 2);
    // Convert per code point so that one unmappable character costs one '?', never more.
    const QList<uint> ucs = text.toUcs4();
    for (uint cp : ucs) {
        if (cp < 0x80) {
            out.append(static_cast<char>(cp));
            continue;
        }
        QByteArray utf8 = QString::fromUcs4(reinterpret_cast<const char32_t*>(&cp), 1).toUtf8();
        iconv_t cd = iconv_open("CP950", "UTF-8");
        if (cd == reinterpret_cast<iconv_t>(-1)) {
            out.append('?');
            continue;
        }
        char buf[8];
        char* src = utf8.data();
        size_t srcLeft = static_cast<size_t>(utf8.size());
        char* dst = buf;
        size_t dstLeft = sizeof buf;
        size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        iconv_close(cd);
        if (rc == static_cast<size_t>(-1) || dst == buf)
            out.append('?');
        else
            out.append(buf, static_cast<qsizetype>(dst - buf));
    }
    return out;
}

QString fromBig5(const QByteArray& bytes) {
    static const char replacement[] = "\xEF\xBF\xBD";
    return QString::fromUtf8(convert("UTF-8", "CP950", bytes, replacement, 3, 1));
}
