#include "Big5.h"

#include "Big5_p.h"

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

int EncodeBig5CodePoint(char32_t codePoint, char out[2]) {
    const QByteArray utf8 = QString::fromUcs4(&codePoint, 1).toUtf8();
    iconv_t cd = iconv_open("CP950", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return 0;
    char buf[8];
    char* src = const_cast<char*>(utf8.constData());
    size_t srcLeft = static_cast<size_t>(utf8.size());
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    const auto n = static_cast<int>(dst - buf);
    if (rc == static_cast<size_t>(-1) || n < 1 || n > 2)
        return 0;
    std::copy(buf, buf + n, out);
    return n;
}

QString fromBig5(const QByteArray& bytes) {
    static const char replacement[] = "\xEF\xBF\xBD";
    return QString::fromUtf8(convert("UTF-8", "CP950", bytes, replacement, 3, 1));
}
