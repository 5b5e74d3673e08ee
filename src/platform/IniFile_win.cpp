#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "Win32Support_win.h"

#include "IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>
#include <vector>

// The profile rules are those of IniFile.cpp; what differs is how a write replaces the file:
// the temporary file is created exclusively and moved over the original with ReplaceFileW,
// which keeps the original's attributes and security, as the POSIX half keeps its mode.

namespace {

// One line of the file: [begin, end) is its text, [end, next) its line ending (may be empty
// on the last line).
struct Line {
    qsizetype begin;
    qsizetype end;
    qsizetype next;
};

struct Parsed {
    QByteArray data;
    std::vector<Line> lines;
    QByteArray eol; // line ending for new lines
    bool readable = true;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

QByteArray trimmed(const QByteArray& bytes) {
    qsizetype b = 0;
    qsizetype e = bytes.size();
    while (b < e && isBlank(bytes[b]))
        ++b;
    while (e > b && isBlank(bytes[e - 1]))
        --e;
    return bytes.mid(b, e - b);
}

bool sameName(const QByteArray& a, const QByteArray& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

Parsed load(const QString& fileName) {
    Parsed p;
    const QFileInfo info(fileName);
    if (info.exists() || info.isSymLink()) {
        // Only a regular file is read: a FIFO or a device put in its place would block the
        // open or never end.
        QFile file(fileName);
        if (!info.isFile() || !file.open(QIODevice::ReadOnly) ||
            file.size() > IniFile::kMaxFileSize) {
            p.readable = false;
            return p;
        }
        // What the file claims to hold and one byte more, so that a read does not reserve the
        // whole limit. Only a file that holds more than it claimed (one that grew meanwhile, or
        // a kernel file that reports no size) is read on, up to one byte past the limit.
        const qint64 claimed = file.size();
        p.data = file.read(claimed + 1);
        if (p.data.size() > claimed)
            p.data += file.read(IniFile::kMaxFileSize + 1 - p.data.size());
        if (p.data.size() > IniFile::kMaxFileSize) {
            p.readable = false;
            p.data.clear();
            return p;
        }
    }
    qsizetype pos = 0;
    const qsizetype size = p.data.size();
    while (pos < size) {
        qsizetype nl = p.data.indexOf('\n', pos);
        Line line;
        line.begin = pos;
        if (nl < 0) {
            line.end = size;
            line.next = size;
        } else {
            line.end = (nl > pos && p.data[nl - 1] == '\r') ? nl - 1 : nl;
            line.next = nl + 1;
            if (p.eol.isEmpty())
                p.eol = p.data.mid(line.end, line.next - line.end);
        }
        p.lines.push_back(line);
        pos = line.next;
    }
    if (p.eol.isEmpty())
        p.eol = "\r\n";
    return p;
}

QByteArray lineText(const Parsed& p, const Line& line) {
    QByteArray text = p.data.mid(line.begin, line.end - line.begin);
    // A UTF-8 byte-order mark at the very start belongs to no name.
    if (line.begin == 0 && text.startsWith("\xEF\xBB\xBF"))
        text.remove(0, 3);
    return trimmed(text);
}

// The section name if the line is a section header.
std::optional<QByteArray> sectionName(const QByteArray& text) {
    if (!text.startsWith('['))
        return std::nullopt;
    qsizetype close = text.indexOf(']');
    if (close < 0)
        return trimmed(text.mid(1));
    return trimmed(text.mid(1, close - 1));
}

struct Location {
    std::optional<std::size_t> section; // index of the header line
    std::optional<std::size_t> key;     // index of the key line
    std::size_t lastContent = 0;        // last non-blank line of the section (or its header)
    QByteArray value;
};

Location find(const Parsed& p, const QByteArray& section, const QByteArray& key) {
    Location loc;
    bool inside = false;
    for (std::size_t i = 0; i < p.lines.size(); ++i) {
        const QByteArray text = lineText(p, p.lines[i]);
        if (auto name = sectionName(text)) {
            if (inside)
                break; // the first matching section is the one that counts
            if (sameName(*name, section)) {
                inside = true;
                loc.section = i;
                loc.lastContent = i;
            }
            continue;
        }
        if (!inside || text.isEmpty())
            continue;
        loc.lastContent = i;
        if (text.startsWith(';') || loc.key)
            continue;
        const qsizetype eq = text.indexOf('=');
        const QByteArray name = trimmed(eq < 0 ? text : text.left(eq));
        if (!sameName(name, key))
            continue;
        loc.key = i;
        QByteArray value = eq < 0 ? QByteArray() : trimmed(text.mid(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        loc.value = value;
    }
    return loc;
}

bool validName(const QByteArray& name, char forbidden) {
    return !name.isEmpty() && name == trimmed(name) && !name.contains('\r') &&
           !name.contains('\n') && !name.contains(forbidden) && !name.startsWith(';') &&
           !name.startsWith('[');
}

int hexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// The temporary file of a write is "<name>.saving-" and six letters or digits, beside the
// file. While a writer fills it, it is open without delete sharing: nobody else can remove it.
const QString kTempMarker = QStringLiteral(".saving-");
constexpr int kTempRandom = 6;

bool isTempOf(const QString& entry, const QString& base) {
    const qsizetype prefix = base.size() + kTempMarker.size();
    if (entry.size() != prefix + kTempRandom ||
        !entry.startsWith(base + kTempMarker, Qt::CaseInsensitive))
        return false;
    for (qsizetype i = prefix; i < entry.size(); ++i) {
        const char16_t c = entry[i].unicode();
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// Removes what an interrupted write (a crash, a power cut) left beside target: regular files
// of our own name pattern. A write in progress holds its file without delete sharing, so the
// delete fails for it; links and folders are left alone.
void removeStaleTemps(const QString& target) {
    const QFileInfo info(target);
    const QString folder = info.absolutePath();
    const QString base = info.fileName();
    const std::wstring pattern =
        Win32Path(folder + QLatin1Char('/') + base + kTempMarker + QStringLiteral("*"));
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const QString name = QString::fromWCharArray(found.cFileName);
        if (!isTempOf(name, base) ||
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            continue;
        DeleteFileW(Win32Path(folder + QLatin1Char('/') + name).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

QString randomLetters() {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString letters;
    for (int i = 0; i < kTempRandom; ++i)
        letters += QLatin1Char(kAlphabet[QRandomGenerator::system()->bounded(62)]);
    return letters;
}

// Writes bytes to a new file beside fileName and moves it over fileName. Every byte is
// checked to be written and flushed first: a short write (a full disk, a quota) fails the whole
// write and leaves the old file as it was.
bool replaceFile(const QString& fileName, const QByteArray& bytes) {
    QString target = fileName;
    const QFileInfo info(fileName);
    if (info.isSymLink()) {
        target = info.canonicalFilePath(); // replace the file the link points at, keep the link
        if (target.isEmpty())
            return false;
    }
    const std::wstring targetPath = Win32Path(target);
    const DWORD attributes = GetFileAttributesW(targetPath.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                 FILE_ATTRIBUTE_DEVICE)))
        return false;
    removeStaleTemps(target);

    std::wstring tempPath;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        tempPath = Win32Path(target + kTempMarker + randomLetters());
        // CREATE_NEW never opens what is already there, a link included.
        h = CreateFileW(tempPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    qsizetype done = 0;
    while (ok && done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<qsizetype>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        ok = WriteFile(h, bytes.constData() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = ok && FlushFileBuffers(h);
    ok = CloseHandle(h) && ok;
    if (ok) {
        if (exists)
            ok = ReplaceFileW(targetPath.c_str(), tempPath.c_str(), nullptr,
                              REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
        else
            ok = MoveFileExW(tempPath.c_str(), targetPath.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (!ok)
        DeleteFileW(tempPath.c_str());
    return ok;
}

} // namespace

IniFile::IniFile(QString fileName) : fileName_(std::move(fileName)) {}

std::optional<QString> IniFile::Value(const QString& section, const QString& key) const {
    const Parsed p = load(fileName_);
    const Location loc = find(p, section.toUtf8(), key.toUtf8());
    if (!loc.key)
        return std::nullopt;
    return QString::fromUtf8(loc.value);
}

QString IniFile::ReadString(const QString& section, const QString& key,
                            const QString& defaultValue) const {
    return Value(section, key).value_or(defaultValue);
}

std::int32_t IniFile::ReadInteger(const QString& section, const QString& key,
                                  std::int32_t defaultValue) const {
    const auto text = Value(section, key);
    if (!text)
        return defaultValue;
    return ParseInteger(*text).value_or(defaultValue);
}

bool IniFile::SectionExists(const QString& section) const {
    const Parsed p = load(fileName_);
    return find(p, section.toUtf8(), QByteArray()).section.has_value();
}

bool IniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    const QByteArray sec = section.toUtf8();
    const QByteArray k = key.toUtf8();
    const QByteArray v = value.toUtf8();
    if (!validName(sec, ']') || !validName(k, '=') || v.contains('\r') || v.contains('\n'))
        return false;

    Parsed p = load(fileName_);
    if (!p.readable)
        return false; // never replace a file we could not read with a shorter one
    const Location loc = find(p, sec, k);

    QByteArray out;
    out.reserve(p.data.size() + sec.size() + k.size() + v.size() + 16);
    if (loc.key) {
        const Line& line = p.lines[*loc.key];
        const QByteArray text = p.data.mid(line.begin, line.end - line.begin);
        // Keep the key as it is spelt in the file; only the value changes.
        const qsizetype eq = text.indexOf('=');
        QByteArray keyPart = eq < 0 ? text : text.left(eq);
        while (!keyPart.isEmpty() && isBlank(keyPart.back()))
            keyPart.chop(1);
        const QByteArray replaced = keyPart + '=' + v;
        if (replaced == text)
            return true; // nothing to change: leave the file alone
        out.append(p.data.constData(), line.begin);
        out.append(replaced);
        out.append(p.data.mid(line.end));
    } else if (loc.section) {
        const Line& after = p.lines[loc.lastContent];
        out.append(p.data.constData(), after.next);
        if (after.next == after.end) // last line of the file without a line ending
            out.append(p.eol);
        out.append(k + '=' + v + p.eol);
        out.append(p.data.mid(after.next));
    } else {
        out = p.data;
        if (!out.isEmpty() && !out.endsWith('\n'))
            out.append(p.eol);
        out.append('[' + sec + ']' + p.eol + k + '=' + v + p.eol);
    }

    return replaceFile(fileName_, out);
}

bool IniFile::WriteInteger(const QString& section, const QString& key, std::int32_t value) {
    return WriteString(section, key, QString::number(value));
}

std::optional<std::int32_t> IniFile::ParseInteger(const QString& text) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    bool hex = false;
    if (i < text.size() && text[i] == QLatin1Char('$')) {
        hex = true;
        ++i;
    } else if (i + 1 < text.size() && text[i] == QLatin1Char('0') &&
               (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X'))) {
        hex = true;
        i += 2;
    }
    if (i >= text.size())
        return std::nullopt;
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const int d = hex ? hexDigit(text[i])
                          : (text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')
                                 ? text[i].unicode() - '0'
                                 : -1);
        if (d < 0)
            return std::nullopt;
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
        if (magnitude > 0xFFFFFFFFull)
            return std::nullopt;
    }
    if (hex) {
        // Hex fills the 32 bits; the sign then applies to the resulting value.
        const auto bits = static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude));
        return negative ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(bits)) : bits;
    }
    if (negative) {
        if (magnitude > 0x80000000ull)
            return std::nullopt;
        return static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude));
    }
    if (magnitude > 0x7FFFFFFFull)
        return std::nullopt;
    return static_cast<std::int32_t>(magnitude);
}
