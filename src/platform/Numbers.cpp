#include "Numbers.h"

#include "Exception.h"

#include <limits>

void throwNotAnInteger(const QString& text) {
    throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
}

std::int32_t StrToInt32(const QString& text, Blanks blanks) {
    qsizetype i = 0;
    qsizetype end = text.size();
    if (blanks == Blanks::Around) {
        while (i < end && text[i].isSpace())
            ++i;
        while (end > i && text[end - 1].isSpace())
            --end;
    } else {
        while (i < end && text[i] == QLatin1Char(' '))
            ++i;
    }
    bool negative = false;
    if (i < end && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i >= end)
        throwNotAnInteger(text);
    // Accumulated as a negative number, which has room for the smallest 32-bit value.
    constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    std::int64_t value = 0;
    for (; i < end; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            throwNotAnInteger(text);
        value = value * 10 - (c - u'0');
        if (value < lo)
            throwNotAnInteger(text);
    }
    if (!negative) {
        value = -value;
        if (value > std::numeric_limits<std::int32_t>::max())
            throwNotAnInteger(text);
    }
    return static_cast<std::int32_t>(value);
}
