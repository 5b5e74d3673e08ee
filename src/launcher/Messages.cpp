#include "Messages.h"

#include "platform/Big5.h"

#include <cstring>

char MessageBuffer[kMessageBufferSize];

void PadDbcsMessage(const char* big5Text) {
    // Leave room for the padding: n double-byte characters take 2n bytes and gain n spaces, so
    // at most two thirds of the buffer can hold text.
    const std::size_t maxText = (kMessageBufferSize - 1) * 2 / 3;
    std::size_t len = big5Text ? std::strlen(big5Text) : 0;
    if (len > maxText) {
        // Cut on a character boundary: a lead byte (0x80 and above) takes its trail byte along.
        std::size_t i = 0;
        while (i < maxText) {
            const std::size_t step =
                (static_cast<unsigned char>(big5Text[i]) >= 0x80 && i + 1 < len) ? 2 : 1;
            if (i + step > maxText)
                break;
            i += step;
        }
        len = i;
    }
    std::memcpy(MessageBuffer, big5Text ? big5Text : "", len);
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
