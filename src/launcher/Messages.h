#pragma once
// Every text shown on a caption, a label or the final message passes through PadDbcsMessage:
// it drops trailing spaces and adds one space per double-byte (Big5) character.
#include <QString>
#include <cstddef>

inline constexpr std::size_t kMessageBufferSize = 1024;
// NUL-terminated Big5 text built by PadDbcsMessage; the download window uses it as scratch.
extern char MessageBuffer[kMessageBufferSize];

// Takes a NUL-terminated Big5 text. A text longer than the buffer is cut at the last whole
// character that fits.
void PadDbcsMessage(const char* big5Text);
// Converts text to Big5, pads it, and returns the buffer as Unicode for display.
QString PadDbcsMessage(const QString& text);
