#include "platform/Big5.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

QByteArray hex(const char* digits) {
    return QByteArray::fromHex(digits);
}

// FNV-1a, to hold a whole conversion table in one number.
struct Digest {
    std::uint64_t value = 0xcbf29ce484222325ull;
    void add(std::uint32_t x) {
        for (int i = 0; i < 4; ++i) {
            value ^= (x >> (8 * i)) & 0xFF;
            value *= 0x100000001b3ull;
        }
    }
};

} // namespace

TEST(Big5, RoundTripsChineseAndAscii) {
    const QString text = QStringLiteral("軟體更新完成 Ver:2.4");
    const QByteArray big5 = toBig5(text);
    // Six double-byte characters, then 8 ASCII bytes.
    ASSERT_EQ(big5.size(), 12 + 8);
    EXPECT_EQ(static_cast<unsigned char>(big5[0]), 0xB3); // 軟 = B3 6E
    EXPECT_EQ(static_cast<unsigned char>(big5[1]), 0x6E);
    EXPECT_EQ(fromBig5(big5), text);
}

TEST(Big5, UnmappableAndInvalidBytesDoNotFail) {
    EXPECT_EQ(toBig5(QStringLiteral("a\U0001F600b")), QByteArray("a?b"));
    const QString decoded = fromBig5(QByteArray("x\xFF\xFFy"));
    EXPECT_TRUE(decoded.startsWith(QLatin1Char('x')));
    EXPECT_TRUE(decoded.endsWith(QLatin1Char('y')));
}

// The bytes of the log and the messages, the same wherever the program runs: these are
// glibc's CP950 bytes, which the Windows conversion must give too.
TEST(Big5, TextsGiveTheSameBytesOnEveryPlatform) {
    struct Case {
        QString text;
        QByteArray big5;
    };
    const Case cases[] = {
        {QStringLiteral("刪除更新檔下載不完全"), hex("a752b0a3a7f3b773c0c9a455b8fca4a3a7b9a5fe")},
        {QStringLiteral("無網路 或 網路連線異常"),
         hex("b54cbaf4b8f420a9ce20baf4b8f4b373bd75b2a7b160")},
        {QStringLiteral("軟體更新完成"), hex("b36ec5e9a7f3b773a7b9a6a8")},
        {QStringLiteral("FTP Download OK\r\n"), QByteArray("FTP Download OK\r\n")},
        {QString(QChar(u'\0')) + QStringLiteral("\x7f"), QByteArray("\0\x7f", 2)},
        // The euro sign has a code in this table.
        {QStringLiteral("€"), hex("a3e1")},
        // Box-drawing characters that the table holds twice: the first code is written.
        {QStringLiteral("═╞╡╪"), hex("a2a4a2a5a2a7a2a6")},
        // Not in Big5: one '?' per character, a character beyond 16 bits included.
        {QStringLiteral("é"), QByteArray("?")},
        {QStringLiteral("a\U0001F600b"), QByteArray("a?b")},
        {QStringLiteral("中\U00020000文"), hex("a4a43fa4e5")},
        // Private-use characters, which Windows maps to its user-defined rows: none here, but
        // for the user-defined codes that both tables share.
        {QString(QChar(0xE000)) + QChar(0xF8F8) + QChar(0xF6B0) + QChar(0xF849), "????"},
        {QString(QChar(0xF6B1)) + QChar(0xF848), hex("c6a1c8fe")},
        // No look-alike stands in for a missing character (Windows' "best fit").
        {QStringLiteral("ÀŁ"), QByteArray("??")},
        {QStringLiteral("\u0080"), hex("80")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(toBig5(c.text).toHex(), c.big5.toHex());
    }
}

TEST(Big5, BytesReadTheSameOnEveryPlatform) {
    struct Case {
        QByteArray big5;
        QString text;
    };
    const QChar bad(QChar::ReplacementCharacter);
    const Case cases[] = {
        {hex("a752b0a3a7f3b773c0c9a455b8fca4a3a7b9a5fe"), QStringLiteral("刪除更新檔下載不完全")},
        {hex("a3e1"), QStringLiteral("€")},
        // The second codes of the box-drawing characters read as the same characters.
        {hex("f9f9f9e9f9ebf9ea"), QStringLiteral("═╞╡╪")},
        {hex("80"), QStringLiteral("\u0080")},
        // A user-defined code is no character: one U+FFFD for its first byte, and the second
        // byte is read on its own.
        {hex("8140"), QString(bad) + QLatin1Char('@')},
        {hex("c6a1c8fe"), QString(QChar(0xF6B1)) + QChar(0xF848)},
        // A user-defined lead byte is bad on its own; reading goes on with the next byte, which
        // here starts a character of its own (A1 A4), and then a lead byte is left over.
        {hex("faa1a4a4"), QString(bad) + QChar(0xFE5E) + bad},
        {hex("faa1a4a4a4"), QString(bad) + QChar(0xFE5E) + QStringLiteral("\u4E2D")},
        // A lead byte at the end, and bytes that lead nowhere.
        {hex("41a4"), QStringLiteral("A") + bad},
        {hex("ff41"), QString(bad) + QLatin1Char('A')},
        {hex("a430"), QString(bad) + QLatin1Char('0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.big5.toHex().toStdString());
        EXPECT_EQ(fromBig5(c.big5), c.text);
    }
}

// Both whole tables, in both directions: every code point of the basic plane and every pair of
// bytes with the high bit set in its first. The digests are those of glibc's CP950 with the
// conversions' own rules ('?' for one unmappable character, U+FFFD for one bad byte); a Windows
// build that differed anywhere from the Linux one fails here.
TEST(Big5, WholeTablesMatchTheLinuxConversion) {
    Digest encoded;
    int encodable = 0;
    for (std::uint32_t cp = 0x80; cp <= 0xFFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        const QByteArray bytes = toBig5(QString(QChar(static_cast<char16_t>(cp))));
        if (bytes != "?")
            ++encodable;
        encoded.add(cp);
        for (const char b : bytes)
            encoded.add(static_cast<unsigned char>(b));
    }
    Digest decoded;
    int decodable = 0;
    for (std::uint32_t lead = 0x80; lead <= 0xFF; ++lead) {
        for (std::uint32_t trail = 0; trail <= 0xFF; ++trail) {
            const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
            const QString text = fromBig5(QByteArray(pair, 2));
            if (text.size() == 1 && text[0] != QChar(QChar::ReplacementCharacter))
                ++decodable;
            decoded.add(lead << 8 | trail);
            for (const QChar c : text)
                decoded.add(c.unicode());
        }
    }
    EXPECT_EQ(encodable, 13902);
    EXPECT_EQ(decodable, 13911);
    EXPECT_EQ(encoded.value, 4988983614034762189u);
    EXPECT_EQ(decoded.value, 262183992923695911u);
}
