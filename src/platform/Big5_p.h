#pragma once
// What the two halves of the Big5 conversion provide to the shared part (Big5.cpp).
#include <QByteArray>

// The Big5 bytes of one code point (1 or 2 of them, written to out), or 0 when Big5 has no
// byte sequence for it. The same table on every platform: the log's bytes must not depend on
// where it was written.
int EncodeBig5CodePoint(char32_t codePoint, char out[2]);
