#include <windows.h>

#include "Big5.h"

#include "Big5_p.h"

// Code page 950 as Windows has it, narrowed to the table that the POSIX half (glibc's CP950)
// uses, so that a text gives the same bytes wherever the program runs:
//  - Windows maps the user-defined rows (lead bytes 0x81-0xA0 and 0xFA-0xFE) to private-use
//    characters, which glibc does not have, so neither direction takes them; the user-defined
//    codes C6A1-C8FE (U+F6B1-U+F848) both tables share, and they stay;
//  - four box-drawing characters that the table holds twice are written with their first code,
//    as glibc does (Windows writes the second; both codes read back as the same character).

namespace {

constexpr UINT kBig5 = 950;

bool isUnsharedPrivateUse(char32_t c) {
    return c >= 0xE000 && c <= 0xF8FF && !(c >= 0xF6B1 && c <= 0xF848);
}

struct Duplicate {
    char32_t codePoint;
    unsigned char lead;
    unsigned char trail;
};
constexpr Duplicate kFirstCode[] = {
    {0x2550, 0xA2, 0xA4},
    {0x255E, 0xA2, 0xA5},
    {0x256A, 0xA2, 0xA6},
    {0x2561, 0xA2, 0xA7},
};

// The character that bytes[0..length) stand for, or nothing when they are not one character.
bool decodeOne(const char* bytes, int length, wchar_t* out) {
    wchar_t wide[2];
    const int n = MultiByteToWideChar(kBig5, MB_ERR_INVALID_CHARS, bytes, length, wide, 2);
    if (n != 1 || isUnsharedPrivateUse(wide[0]))
        return false;
    *out = wide[0];
    return true;
}

} // namespace

int EncodeBig5CodePoint(char32_t codePoint, char out[2]) {
    if (codePoint > 0xFFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
        isUnsharedPrivateUse(codePoint))
        return 0;
    for (const Duplicate& d : kFirstCode) {
        if (d.codePoint == codePoint) {
            out[0] = static_cast<char>(d.lead);
            out[1] = static_cast<char>(d.trail);
            return 2;
        }
    }
    const wchar_t wide = static_cast<wchar_t>(codePoint);
    char bytes[4];
    BOOL usedDefault = FALSE;
    // No best fit: a character without its own code is unconvertible, not a look-alike.
    const int n = WideCharToMultiByte(kBig5, WC_NO_BEST_FIT_CHARS, &wide, 1, bytes, sizeof bytes,
                                      nullptr, &usedDefault);
    if (n < 1 || n > 2 || usedDefault)
        return 0;
    out[0] = bytes[0];
    if (n == 2)
        out[1] = bytes[1];
    return n;
}

QString fromBig5(const QByteArray& bytes) {
    // Byte by byte as the POSIX half's conversion goes: a pair that is one character is taken
    // whole, a single byte that is one is taken alone, and any other byte becomes U+FFFD on its
    // own, the conversion going on at the next byte.
    QString out;
    out.reserve(bytes.size());
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i < size;) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out.append(QChar(b));
            ++i;
            continue;
        }
        wchar_t c = 0;
        if (i + 1 < size && decodeOne(bytes.constData() + i, 2, &c)) {
            out.append(QChar(static_cast<char16_t>(c)));
            i += 2;
        } else if (decodeOne(bytes.constData() + i, 1, &c)) {
            out.append(QChar(static_cast<char16_t>(c)));
            ++i;
        } else {
            out.append(QChar(QChar::ReplacementCharacter));
            ++i;
        }
    }
    return out;
}
