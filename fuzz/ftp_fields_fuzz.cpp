// The fields the FTP client takes out of a reply line: the data port of a PASV reply
// (PasvPort), the strict integer conversion it uses (StrToInt), the comma fields (NthField),
// and the size a RETR reply announces (ExtractByteCount, AnnouncedByteCount).
//
// Checked: a port comes back only from the first list of six comma-separated numbers 0..255
// after the code (parentheses or not), not both port numbers 0, and it is exactly
// p1 * 256 + p2; every other line raises FTPException with the line, nothing else. StrToInt agrees
// with strtoll over the accepted syntax and the 32-bit range. Field N is the text between
// delimiters N-1 and N. An announced count is the digit run nearest before the first "BYTE", never
// negative; the 32-bit count is that value when it fits, else 0.
//
// Input: a selector byte (0: PASV reply; 1: StrToInt; 2: NthField with the next byte as N and
// the one after as delimiter; 3: byte count), then the text as Latin-1.
#include "FuzzCheck.h"
#include "net/FtpClient.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The strict conversion, built from the C library: blanks, optional sign, digits, nothing else.
bool ModelStrToInt(const std::string& s, long long& value) {
    std::size_t i = s.find_first_not_of(' ');
    if (i == std::string::npos)
        return false;
    std::size_t digits = i;
    if (s[digits] == '+' || s[digits] == '-')
        ++digits;
    if (digits == s.size())
        return false;
    for (std::size_t k = digits; k < s.size(); ++k)
        if (s[k] < '0' || s[k] > '9')
            return false;
    errno = 0;
    value = std::strtoll(s.c_str() + i, nullptr, 10);
    return errno != ERANGE && value >= INT_MIN && value <= INT_MAX;
}

bool Converts(const QString& text, qint32& value) {
    try {
        value = TFtpClient::StrToInt(text);
        return true;
    } catch (const EConvertError& e) {
        FUZZ_CHECK(e.message() == QStringLiteral("'%1' is not a valid integer value").arg(text));
        return false;
    }
}

bool Digit(char c) {
    return c >= '0' && c <= '9';
}

bool Word(char c) {
    return Digit(c) || c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The PASV port as the reply format has it, 0 for none: the text after the code is cut into
// lists of numbers (digit runs joined by a comma and optional blanks); lists glued to a word, a
// sign or a dotted number, and lists of fewer than six, do not count; the first list that
// counts must be six numbers of 0..255, not followed by a word or ".digit", with a port.
int ModelPasvPort(const std::string& s) {
    struct List {
        std::size_t begin, end;
        std::vector<std::string> numbers;
    };
    std::vector<List> lists;
    std::size_t i = 0;
    while (i < s.size() && Digit(s[i]))
        ++i;
    while (i < s.size()) {
        if (!Digit(s[i])) {
            ++i;
            continue;
        }
        List list{i, i, {}};
        for (;;) {
            std::size_t j = i;
            while (j < s.size() && Digit(s[j]))
                ++j;
            list.numbers.push_back(s.substr(i, j - i));
            list.end = j;
            std::size_t k = j;
            if (k < s.size() && s[k] == ',') {
                ++k;
                while (k < s.size() && s[k] == ' ')
                    ++k;
            }
            if (k == j || k >= s.size() || !Digit(s[k])) {
                i = j;
                break;
            }
            i = k;
        }
        lists.push_back(list);
    }
    for (const List& l : lists) {
        const char before = l.begin > 0 ? s[l.begin - 1] : ' ';
        if (Word(before) || before == '-' || before == '+' ||
            (before == '.' && l.begin > 1 && Digit(s[l.begin - 2])) || l.numbers.size() < 6)
            continue;
        if (l.numbers.size() != 6)
            return 0;
        if (l.end < s.size() &&
            (Word(s[l.end]) || (s[l.end] == '.' && l.end + 1 < s.size() && Digit(s[l.end + 1]))))
            return 0;
        int value[6];
        for (int k = 0; k < 6; ++k) {
            const std::string& n = l.numbers[static_cast<std::size_t>(k)];
            const std::size_t first = n.find_first_not_of('0');
            const std::string digits = first == std::string::npos ? "0" : n.substr(first);
            if (digits.size() > 3 || std::stoi(digits) > 255)
                return 0;
            value[k] = std::stoi(digits);
        }
        return value[4] * 256 + value[5];
    }
    return 0;
}

QString ModelField(const QString& text, QChar delimiter, int n) {
    if (n < 1)
        return {};
    const QStringList parts = text.split(delimiter);
    return n <= parts.size() ? parts[n - 1] : QString();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t selector = in.byte() & 3;
    const std::uint8_t n = selector == 2 ? in.byte() : 0;
    const char delimiter = selector == 2 ? static_cast<char>(in.byte()) : ',';
    const auto rest = in.rest();
    const std::string bytes(reinterpret_cast<const char*>(rest.data()), rest.size());
    const QString text = QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));

    switch (selector) {
    case 0: {
        const int expected = ModelPasvPort(bytes);
        try {
            const quint16 port = TFtpClient::PasvPort(text);
            FUZZ_CHECK(expected > 0);
            FUZZ_CHECK(port == expected);
        } catch (const FTPException& e) {
            FUZZ_CHECK(expected == 0);
            FUZZ_CHECK(e.message() == text);
        }
        break;
    }
    case 1: {
        long long expected = 0;
        const bool accepted = ModelStrToInt(bytes, expected);
        qint32 value = 0;
        FUZZ_CHECK(Converts(text, value) == accepted);
        if (accepted)
            FUZZ_CHECK(value == expected);
        break;
    }
    case 2: {
        const QChar d = QLatin1Char(delimiter);
        const int field = static_cast<int>(n) - 8; // also 0 and negative field numbers
        const QString got = NthField(text, d, field);
        FUZZ_CHECK(got == ModelField(text, d, field));
        FUZZ_CHECK(!got.contains(d));
        break;
    }
    default: {
        const std::optional<quint64> announced = TFtpClient::AnnouncedByteCount(text);
        const qint32 count = TFtpClient::ExtractByteCount(text);
        FUZZ_CHECK(count >= 0);
        // The model: the digit run that ends nearest before the first "BYTE", any case.
        std::string upper = bytes;
        for (char& c : upper)
            c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        const std::size_t at = upper.find("BYTE");
        std::string digits;
        if (at != std::string::npos) {
            std::size_t end = at;
            while (end > 0 && !(bytes[end - 1] >= '0' && bytes[end - 1] <= '9'))
                --end;
            std::size_t begin = end;
            while (begin > 0 && bytes[begin - 1] >= '0' && bytes[begin - 1] <= '9')
                --begin;
            digits = bytes.substr(begin, end - begin);
        }
        if (digits.empty()) {
            FUZZ_CHECK(!announced);
            FUZZ_CHECK(count == 0);
            break;
        }
        FUZZ_CHECK(announced.has_value());
        errno = 0;
        const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
        FUZZ_CHECK(*announced == (errno == ERANGE ? ULLONG_MAX : value));
        FUZZ_CHECK(count == (*announced <= INT_MAX ? static_cast<qint32>(*announced) : 0));
        break;
    }
    }
    return 0;
}
