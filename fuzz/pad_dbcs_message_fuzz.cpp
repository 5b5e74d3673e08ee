// PadDbcsMessage on any bytes, including texts longer than the buffer, lone lead bytes and a
// text that already lives in the buffer: the result always fits, is cut at a character boundary,
// and is the kept text without its trailing spaces plus one space per double-byte character.
// The Big5 conversions it relies on take any bytes and any text.
//
// Input: a mode byte, then the text (a NUL ends it early, as it would in the program).
#include "FuzzCheck.h"
#include "launcher/Messages.h"
#include "platform/Big5.h"

#include <cstring>
#include <string>

namespace {

// The longest prefix whose bytes plus one space per lead byte fit the buffer with its NUL,
// never ending between a lead byte and its trail byte.
std::string Expected(const std::string& text) {
    std::string kept;
    std::size_t leads = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const bool lead = static_cast<unsigned char>(text[i]) >= 0x80;
        const std::size_t width = lead && i + 1 < text.size() ? 2 : 1;
        if (kept.size() + width + leads + (lead ? 1 : 0) > kMessageBufferSize - 1)
            break;
        kept.append(text, i, width);
        leads += lead ? 1 : 0;
        i += width;
    }
    while (!kept.empty() && kept.back() == ' ')
        kept.pop_back();
    return kept + std::string(leads, ' ');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t mode = in.byte();
    const auto rest = in.rest();
    std::string text(rest.begin(), rest.end());
    text = text.substr(0, text.find('\0'));

    if (mode & 1) {
        // Built in the buffer itself, as the download window does.
        const std::size_t n = std::min(text.size(), kMessageBufferSize - 1);
        std::memcpy(MessageBuffer, text.data(), n);
        MessageBuffer[n] = '\0';
        text.resize(n);
        PadDbcsMessage(MessageBuffer);
    } else {
        std::memset(MessageBuffer, 'Z', kMessageBufferSize);
        PadDbcsMessage(text.c_str());
    }
    const std::size_t length = strnlen(MessageBuffer, kMessageBufferSize);
    FUZZ_CHECK(length < kMessageBufferSize);
    FUZZ_CHECK(std::string(MessageBuffer, length) == Expected(text));

    if (mode & 2) {
        // The text as shown: the bytes read as Big5, or as UTF-8 for characters Big5 lacks.
        const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
        const QString shown = (mode & 4) ? QString::fromUtf8(bytes) : fromBig5(bytes);
        const QByteArray big5 = toBig5(shown);
        const std::string expected =
            Expected(big5.toStdString().substr(0, static_cast<std::size_t>(big5.indexOf('\0'))));
        FUZZ_CHECK(PadDbcsMessage(shown) ==
                   fromBig5(QByteArray(expected.data(), static_cast<qsizetype>(expected.size()))));
    }
    return 0;
}
