#include "platform/Big5.h"

#include <gtest/gtest.h>

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
