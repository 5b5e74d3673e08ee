#pragma once
// A profile file (.ini) read and written the way the Windows profile functions do it:
//  - section and key names compare case-insensitively (ASCII), surrounding blanks ignored;
//  - a section whose name comes again (in any case) is one section: a key is looked up in all
//    its parts in file order and the first occurrence wins; a missing key is added to the
//    first part;
//  - a value is the text after the first '=', trimmed, with one pair of enclosing quotes
//    removed; lines starting with ';' are comments;
//  - there is no cache: every call reads the file again, every write rewrites it;
//  - a write changes one line (or appends the missing section or key) and keeps every other
//    byte of the file, line endings included; new lines use the file's own line ending (the
//    first one it contains), CR LF for a file that has none;
//  - a missing or unreadable file reads as empty, and failures are not reported beyond the
//    result of the write.
// A write goes to a temporary file in the same folder ("<name>.saving-" and six letters or
// digits) that is then renamed over the original, so a crash or a full disk never leaves a
// truncated file behind; the next write removes such a file that an interrupted one left.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

class IniFile {
public:
    explicit IniFile(QString fileName);

    const QString& fileName() const { return fileName_; }

    // The value, or nullopt when the section or the key is missing.
    std::optional<QString> Value(const QString& section, const QString& key) const;
    // The value, or defaultValue when the section or the key is missing. A key that is
    // present with an empty value reads as "".
    QString ReadString(const QString& section, const QString& key,
                       const QString& defaultValue) const;
    // The value as a 32-bit signed integer, or defaultValue when it is missing or not a valid
    // integer (see ParseInteger).
    std::int32_t ReadInteger(const QString& section, const QString& key,
                             std::int32_t defaultValue) const;
    bool SectionExists(const QString& section) const;
    // Why the file is treated as unreadable ("larger than 4 MiB", "not a regular file", the
    // system's text), or nullopt when it reads (a missing file reads as empty).
    std::optional<QString> Refusal() const;

    // Sets section/key to value, creating the file, the section or the key as needed.
    // Returns false when the write failed (the old file is then left as it was) or when the
    // names or the value cannot be stored in a profile file (line breaks, '=' in a key, ']'
    // in a section name, blanks around a name).
    bool WriteString(const QString& section, const QString& key, const QString& value);
    bool WriteInteger(const QString& section, const QString& key, std::int32_t value);

    // The framework's string-to-integer rule: optional sign, then decimal digits, or hex
    // digits after "$", "0x" or "0X" (hex may use all 32 bits, "$FFFFFFFF" is -1). Nothing
    // else may follow; decimal values must fit in 32 bits.
    static std::optional<std::int32_t> ParseInteger(const QString& text);

    // Files larger than this are treated as unreadable (and are never rewritten).
    static constexpr qint64 kMaxFileSize = 4 * 1024 * 1024;

private:
    QString fileName_;
};
