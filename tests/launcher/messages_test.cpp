#include "launcher/Messages.h"
#include "platform/Big5.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string buffer() {
    return std::string(MessageBuffer);
}

} // namespace

TEST(PadDbcsMessage, Examples) {
    const QByteArray update = toBig5(QStringLiteral("軟體更新完成"));
    const QByteArray twoChars = toBig5(QStringLiteral("下載"));
    ASSERT_EQ(update.size(), 12);
    ASSERT_EQ(twoChars.size(), 4);
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    } cases[] = {
        {"ascii with trailing spaces", "ab  ", "ab"},
        {"empty", "", ""},
        {"spaces only", "    ", ""},
        {"one space", " ", ""},
        {"two Big5 chars and a space", twoChars.toStdString() + " ", twoChars.toStdString() + "  "},
        {"six Big5 chars", update.toStdString(), update.toStdString() + std::string(6, ' ')},
        {"mixed, leading spaces kept", "  Ver " + twoChars.toStdString() + "\t ",
         "  Ver " + twoChars.toStdString() + "\t" + "  "},
        {"percent is not a format", "100%s%d%n", "100%s%d%n"},
        {"lone lead byte at the end counts", "ab\xA4", "ab\xA4 "},
        {"trailing spaces inside Big5 text", twoChars.toStdString() + "   " + "x",
         twoChars.toStdString() + "   x  "},
    };
    for (const Case& c : cases) {
        std::memset(MessageBuffer, 'Z', kMessageBufferSize);
        PadDbcsMessage(c.in.c_str());
        EXPECT_EQ(buffer(), c.out) << c.name;
    }
}

TEST(PadDbcsMessage, NullTextLeavesBufferEmpty) {
    std::memset(MessageBuffer, 'Z', kMessageBufferSize);
    PadDbcsMessage(static_cast<const char*>(nullptr));
    EXPECT_EQ(buffer(), "");
}

TEST(PadDbcsMessage, TextAlreadyInTheBuffer) {
    // The download window builds texts in MessageBuffer and pads them in place.
    const QByteArray twoChars = toBig5(QStringLiteral("下載"));
    std::strcpy(MessageBuffer, (twoChars + " ").constData());
    PadDbcsMessage(MessageBuffer);
    EXPECT_EQ(buffer(), twoChars.toStdString() + "  ");
}

// Overlong texts are cut at a character boundary so that text plus padding plus NUL fit the
// 1024 bytes; the bytes after the buffer are never touched.
TEST(PadDbcsMessage, OverlongTextNeverOverrunsTheBuffer) {
    const std::string lead = "\xB3\x6E"; // one Big5 character
    struct Case {
        const char* name;
        std::string in;
        std::size_t bytes;   // expected text bytes kept
        std::size_t doubles; // expected padding
    } cases[] = {
        {"ascii 5000", std::string(5000, 'a'), 1023, 0},
        {"ascii exactly 1023", std::string(1023, 'a'), 1023, 0},
        {"big5 2000 chars",
         [&] {
             std::string s;
             for (int i = 0; i < 2000; ++i)
                 s += lead;
             return s;
         }(),
         682, 341},
        {"ascii then big5 across the limit", std::string(1021, 'a') + lead + lead, 1021, 0},
        {"ascii then big5 that fits", std::string(1020, 'a') + lead, 1022, 1},
        {"lone lead bytes", std::string(3000, '\xA4'), 682, 341},
    };
    for (const Case& c : cases) {
        // A guard region after the buffer would catch a write past it under ASan too.
        std::memset(MessageBuffer, 'Z', kMessageBufferSize);
        PadDbcsMessage(c.in.c_str());
        const std::string out = buffer();
        ASSERT_LT(out.size(), kMessageBufferSize) << c.name;
        EXPECT_EQ(out.size(), c.bytes + c.doubles) << c.name;
        EXPECT_EQ(out.substr(0, c.bytes), c.in.substr(0, c.bytes)) << c.name;
        EXPECT_EQ(out.substr(c.bytes), std::string(c.doubles, ' ')) << c.name;
    }
}

TEST(PadDbcsMessage, UnicodeOverloadRoundTrips) {
    EXPECT_EQ(PadDbcsMessage(QStringLiteral("軟體更新完成")), QStringLiteral("軟體更新完成      "));
    EXPECT_EQ(PadDbcsMessage(QStringLiteral("Set error  ")), QStringLiteral("Set error"));
    EXPECT_EQ(PadDbcsMessage(QStringLiteral("100% 完成 ")), QStringLiteral("100% 完成  "));
}
