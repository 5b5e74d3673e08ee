#pragma once
// The update log DLrec.txt in the current directory: one process-wide byte stream, opened "wb"
// by the update check, written as Big5 with CR LF line ends in three line formats.
#include <QString>
#include <cstdint>

namespace LogFile {

// Creates or truncates DLrec.txt. Returns false when it cannot be created, or when the name is
// a symbolic link or anything but a regular file; the lines written while it is not open are
// dropped (the run goes on, as nothing checks the log).
bool Open();
bool IsOpen();
void Close();

// "%s\r\n"
void Write(const QString& text);
// "%s%s\r\n"
void Write(const QString& label, const QString& text);
// "%s%d\r\n"
void Write(const QString& label, std::int32_t value);

// The file name, relative to the current directory.
inline constexpr const char* kFileName = "DLrec.txt";

} // namespace LogFile
