#include "Messages.h"

#include "platform/Big5.h"

#include <algorithm>
#include <cstring>

char MessageBuffer[kMessageBufferSize];

void PadDbcsMessage(const char* big5Text) {
    // The text is copied as it is (never used as a format, so a "%" is just a character).
    // Every double-byte character later gains a space, so the text is cut, at a character
    // boundary, where its bytes plus those spaces would no longer fit with the NUL.
    const std::size_t capacity = kMessageBufferSize - 1;
    const std::size_t full = big5Text ? std::strlen(big5Text) : 0;
    std::size_t len = 0;
    std::size_t needed = 0; // bytes plus padding so far
    while (len < full) {
        const bool lead = static_cast<unsigned char>(big5Text[len]) >= 0x80;
        // A lead byte takes its trail byte along (if there is one) and costs one space.
        const std::size_t bytes = lead ? std::min<std::size_t>(2, full - len) : 1;
        const std::size_t cost = bytes + (lead ? 1 : 0);
        if (needed + cost > capacity)
            break;
        needed += cost;
        len += bytes;
    }
    // memmove: callers may build the text in MessageBuffer itself.
    std::memmove(MessageBuffer, big5Text ? big5Text : "", len);
    MessageBuffer[len] = '\0';

    std::size_t doubles = 0;
    std::size_t pos = 0;
    while (true) {
        if (static_cast<unsigned char>(MessageBuffer[pos]) >= 0x80) {
            ++doubles;
            ++pos; // onto the trail byte
        }
        if (MessageBuffer[pos] == '\0')
            break;
        ++pos;
    }

    std::size_t end = len;
    while (end > 0 && MessageBuffer[end - 1] == ' ')
        --end;
    std::memset(MessageBuffer + end, ' ', doubles);
    MessageBuffer[end + doubles] = '\0';
}

QString PadDbcsMessage(const QString& text) {
    const QByteArray big5 = toBig5(text);
    PadDbcsMessage(big5.constData());
    return fromBig5(QByteArray(MessageBuffer));
}
