#pragma once
// Strict text-to-integer conversion, shared by every place that turns outside text (a reply
// line, a database field) into a number: no partial results, no silent wrap-around.
#include <QString>
#include <cstdint>

// Which blanks may stand around the number.
enum class Blanks {
    // Spaces before the number only, as the framework's StrToInt takes them.
    Leading,
    // White space on both sides: fixed-width text columns come padded.
    Around,
};

// Text to 32-bit integer: the blanks allowed, an optional sign and decimal digits (ASCII) up to
// the end. Anything else, or a value out of range: EConvertError "'<text>' is not a valid
// integer value", with the text as given.
std::int32_t StrToInt32(const QString& text, Blanks blanks = Blanks::Leading);

// Raises that EConvertError for a value that is no 32-bit integer (a number out of range, say).
[[noreturn]] void throwNotAnInteger(const QString& text);
