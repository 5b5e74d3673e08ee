#include "IniFile.h"

#include "FileSystem.h"
#include "IniFile_p.h"

#include <QFile>
#include <QFileInfo>
#include <vector>

// The profile rules, the same on both platforms; how a write replaces the file is the
// platform's (ReplaceFileAt, in IniFile_unix.cpp and IniFile_win.cpp).

namespace {

// A link at fileName is kept: the file it points at is replaced.
bool replaceIniFile(const QString& fileName, const QByteArray& bytes) {
    QString target = fileName;
    const QFileInfo info(fileName);
    if (info.isSymLink()) {
        target = info.canonicalFilePath(); // replace the file the link points at, keep the link
        if (target.isEmpty())
            return false;
    }
    return ReplaceFileAt(target, bytes);
}

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

Parsed load(const QString& fileName, QString* refusal = nullptr) {
    Parsed p;
    // Only a regular file is read, and its open never waits: a FIFO or a device put in its
    // place would block the open or never end.
    FileContents file = ReadRegularFile(fileName, IniFile::kMaxFileSize);
    if (!file.ok) {
        if (!file.missing) {
            p.readable = false;
            if (refusal)
                *refusal = file.reason;
            return p;
        }
    } else {
        p.data = std::move(file.bytes);
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
    std::optional<std::size_t> section; // index of the first matching header line
    std::optional<std::size_t> key;     // index of the key line
    // Last non-blank line of the first matching section (or its header): where a missing key
    // is added.
    std::size_t lastContent = 0;
    QByteArray value;
};

// A section whose name comes again further down (in the same or another case: "[Ftp]", later
// "[FTP]") is one section: a key is looked up in each of its parts in file order, and the first
// occurrence wins. A file edited by hand often gains a second header this way, and a key under
// it (Security=tls, say) must not be silently ignored.
Location find(const Parsed& p, const QByteArray& section, const QByteArray& key) {
    Location loc;
    bool inside = false;
    bool insideFirst = false;
    for (std::size_t i = 0; i < p.lines.size(); ++i) {
        const QByteArray text = lineText(p, p.lines[i]);
        if (auto name = sectionName(text)) {
            inside = sameName(*name, section);
            insideFirst = inside && !loc.section;
            if (insideFirst) {
                loc.section = i;
                loc.lastContent = i;
            }
            continue;
        }
        if (!inside || text.isEmpty())
            continue;
        if (insideFirst)
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

std::optional<QString> IniFile::Refusal() const {
    QString reason;
    if (load(fileName_, &reason).readable)
        return std::nullopt;
    return reason;
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

    return replaceIniFile(fileName_, out);
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
