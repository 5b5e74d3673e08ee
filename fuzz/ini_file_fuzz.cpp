// The profile-file reader and writer on any file content: reads never fail, a write either
// changes nothing or changes one line (or appends what is missing) and reads back, and the
// integer rule agrees with the C library on plain numbers.
//
// Input: three length-prefixed fields (section, key, value), then the file's bytes.
#include "FuzzCheck.h"
#include "TempFile.h"
#include "platform/IniFile.h"

#include <QString>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

std::vector<QByteArray> Lines(const QByteArray& data) {
    std::vector<QByteArray> lines;
    qsizetype pos = 0;
    while (pos < data.size()) {
        qsizetype nl = data.indexOf('\n', pos);
        const qsizetype next = nl < 0 ? data.size() : nl + 1;
        lines.push_back(data.mid(pos, next - pos));
        pos = next;
    }
    return lines;
}

// Lines of before that are missing from after, and lines of after that are new, once the
// common lines at both ends are set aside.
std::pair<std::size_t, std::size_t> ChangedLines(const QByteArray& before,
                                                 const QByteArray& after) {
    const auto a = Lines(before);
    const auto b = Lines(after);
    std::size_t head = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head])
        ++head;
    std::size_t tail = 0;
    while (tail < a.size() - head && tail < b.size() - head &&
           a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
        ++tail;
    return {a.size() - head - tail, b.size() - head - tail};
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// What a value written as text reads back as: blanks around it dropped, one pair of enclosing
// quotes removed.
QString ReadBack(const QString& text) {
    QByteArray v = text.toUtf8();
    while (!v.isEmpty() && IsBlank(v.front()))
        v.remove(0, 1);
    while (!v.isEmpty() && IsBlank(v.back()))
        v.chop(1);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.mid(1, v.size() - 2);
    return QString::fromUtf8(v);
}

// ParseInteger against strtoll/strtoull on texts that are plainly a sign and digits.
void CheckInteger(const QByteArray& raw) {
    const QString text = QString::fromLatin1(raw);
    const auto parsed = IniFile::ParseInteger(text);
    std::string s = raw.toStdString();
    std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    const bool negative = i == 1 && s[0] == '-';
    bool hex = false;
    if (s.compare(i, 1, "$") == 0) {
        hex = true;
        i += 1;
    } else if (s.compare(i, 2, "0x") == 0 || s.compare(i, 2, "0X") == 0) {
        hex = true;
        i += 2;
    }
    const std::string digits = s.substr(std::min(i, s.size()));
    const char* set = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(set) != std::string::npos) {
        FUZZ_CHECK(!parsed);
        return;
    }
    errno = 0;
    const unsigned long long magnitude = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    const bool huge = errno == ERANGE;
    if (hex) {
        if (huge || magnitude > 0xFFFFFFFFull) {
            FUZZ_CHECK(!parsed);
            return;
        }
        const auto bits = static_cast<std::uint32_t>(magnitude);
        FUZZ_CHECK(parsed && static_cast<std::uint32_t>(*parsed) == (negative ? 0u - bits : bits));
        return;
    }
    const long long limit = negative ? 0x80000000ll : 0x7FFFFFFFll;
    if (huge || magnitude > static_cast<unsigned long long>(limit)) {
        FUZZ_CHECK(!parsed);
        return;
    }
    const long long value =
        negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    FUZZ_CHECK(parsed && *parsed == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    auto field = [&in] {
        const auto bytes = in.bytes(in.byte() % 24);
        return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                          static_cast<qsizetype>(bytes.size()));
    };
    const QByteArray sectionBytes = field();
    const QByteArray keyBytes = field();
    const QByteArray valueBytes = field();
    const auto rest = in.rest();
    const QByteArray before(reinterpret_cast<const char*>(rest.data()),
                            static_cast<qsizetype>(rest.size()));

    CheckInteger(valueBytes);

    const QString section = QString::fromUtf8(sectionBytes);
    const QString key = QString::fromUtf8(keyBytes);
    const QString value = QString::fromUtf8(valueBytes);
    const QString path = fuzztemp::Write("fuzz.ini", before);
    IniFile ini(path);

    const auto found = ini.Value(section, key);
    FUZZ_CHECK(!found || ini.SectionExists(section));

    if (!ini.WriteString(section, key, value)) {
        // A refused or failed write leaves the file exactly as it was.
        FUZZ_CHECK(fuzztemp::Read(path) == before);
        return 0;
    }
    const QByteArray after = fuzztemp::Read(path);
    FUZZ_CHECK(ini.Value(section, key) == ReadBack(value));
    FUZZ_CHECK(ini.SectionExists(section));
    // Every other line stays byte for byte: one line at most is changed, and at most three
    // are new (a line ending for an unterminated last line, a section header, the key).
    const auto [removed, added] = ChangedLines(before, after);
    FUZZ_CHECK(removed <= 1 && added <= 3);
    if (found) {
        FUZZ_CHECK(removed == added && added <= 1);
    }
    // Writing the same again changes nothing.
    FUZZ_CHECK(ini.WriteString(section, key, value));
    FUZZ_CHECK(fuzztemp::Read(path) == after);
    return 0;
}
