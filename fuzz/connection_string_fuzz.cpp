// Database connection strings and what is made of them. Any text either parses or is refused
// with EDatabaseError; values quoted the way the launcher quotes them come back unchanged, so a
// quote or a ';' in a password or host can never add a key; the ODBC attribute string, read
// back by the ODBC rules, carries exactly the given values and no key twice; the SQLite file of
// a catalog always lies directly in the catalog folder; and field texts convert to integers as
// the C library reads plain numbers.
//
// Input: a flags byte, five length-prefixed fields (password, user, catalog, host, port), then
// a connection string as text.
#include "FuzzCheck.h"
#include "platform/Database.h"
#include "platform/Numbers.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace {

QString Field(FuzzInput& in) {
    const auto bytes = in.bytes(in.byte() % 48);
    return QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()),
                             static_cast<qsizetype>(bytes.size()));
}

// The launcher's connection string, with its values quoted.
QString Build(const ConnectionKeys& k) {
    return QStringLiteral("Provider=SQLOLEDB.1;Password='") + quoteConnectionValue(k.password) +
           QStringLiteral("';User ID='") + quoteConnectionValue(k.userId) +
           QStringLiteral("';persist security catalog=experiment;Initial Catalog='") +
           quoteConnectionValue(k.initialCatalog) + QStringLiteral("';Data Source='") +
           quoteConnectionValue(k.dataSource) + QStringLiteral("'");
}

bool Same(const ConnectionKeys& a, const ConnectionKeys& b) {
    return a.password == b.password && a.userId == b.userId &&
           a.initialCatalog == b.initialCatalog && a.dataSource == b.dataSource;
}

std::optional<ConnectionKeys> Parse(const QString& text) {
    try {
        return parseConnectionString(text);
    } catch (const EDatabaseError&) {
        return std::nullopt;
    }
}

// An ODBC attribute string read the way a driver manager reads it: "key=value" pairs separated
// by ';'; a value starting with '{' runs to the matching '}', with "}}" standing for '}'.
// nullopt when the text does not follow that form.
std::optional<std::vector<std::pair<QString, QString>>> ReadOdbc(const QString& s) {
    std::vector<std::pair<QString, QString>> pairs;
    qsizetype i = 0;
    while (i < s.size()) {
        const qsizetype eq = s.indexOf(QLatin1Char('='), i);
        if (eq < 0)
            return std::nullopt;
        const QString key = s.mid(i, eq - i);
        if (key.contains(QLatin1Char(';')))
            return std::nullopt;
        i = eq + 1;
        QString value;
        if (i < s.size() && s[i] == QLatin1Char('{')) {
            ++i;
            bool closed = false;
            while (i < s.size()) {
                if (s[i] == QLatin1Char('}')) {
                    if (i + 1 < s.size() && s[i + 1] == QLatin1Char('}')) {
                        value += QLatin1Char('}');
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += s[i++];
            }
            if (!closed || (i < s.size() && s[i] != QLatin1Char(';')))
                return std::nullopt;
        } else {
            const qsizetype end = s.indexOf(QLatin1Char(';'), i);
            value = s.mid(i, (end < 0 ? s.size() : end) - i);
            i = end < 0 ? s.size() : end;
        }
        pairs.emplace_back(key.toUpper(), value);
        if (i < s.size())
            ++i; // ';'
    }
    return pairs;
}

void CheckOdbc(const ConnectionKeys& keys, const ServerSettings& settings) {
    QString odbc;
    try {
        odbc = odbcConnectionString(keys, settings);
    } catch (const EDatabaseError&) {
        return;
    }
    const auto pairs = ReadOdbc(odbc);
    FUZZ_CHECK(pairs.has_value());
    const QString port = settings.dbPort.trimmed();
    QStringList seen;
    for (const auto& [key, value] : *pairs) {
        FUZZ_CHECK(!seen.contains(key));
        seen << key;
        if (key == QLatin1String("DRIVER"))
            FUZZ_CHECK(value == settings.dbDriver.trimmed());
        else if (key == QLatin1String("SERVER"))
            FUZZ_CHECK(value == keys.dataSource ||
                       (!port.isEmpty() && value == keys.dataSource + QLatin1Char(',') + port));
        else if (key == QLatin1String("PORT"))
            FUZZ_CHECK(value == port);
        else if (key == QLatin1String("DATABASE"))
            FUZZ_CHECK(value == keys.initialCatalog);
        else if (key == QLatin1String("UID"))
            FUZZ_CHECK(value == keys.userId);
        else if (key == QLatin1String("PWD"))
            FUZZ_CHECK(value == keys.password);
        else if (key == QLatin1String("TIMEOUT"))
            FUZZ_CHECK(value.toInt() >= 1 && value.toInt() <= kMaxQueryTimeoutSeconds);
        else
            FUZZ_CHECK(key == QLatin1String("TDS_VERSION") ||
                       key == QLatin1String("CLIENTCHARSET"));
    }
    for (const char* key : {"DRIVER", "SERVER", "DATABASE", "UID", "PWD"})
        FUZZ_CHECK(seen.contains(QLatin1String(key)));
}

void CheckSqlitePath(const QString& catalog, const ServerSettings& settings) {
    QString path;
    try {
        path = sqliteCatalogPath(catalog, settings);
    } catch (const EDatabaseError&) {
        return;
    }
    QString dir = settings.dbDirectory;
    if (QDir::isRelativePath(dir))
        dir = ExecutableDir() + dir;
    const QFileInfo file(path);
    FUZZ_CHECK(file.path() == QDir::cleanPath(dir));
    FUZZ_CHECK(file.fileName() == catalog + QStringLiteral(".sqlite3"));
    FUZZ_CHECK(QDir::cleanPath(path) == path);
}

// StrToInt32 (blanks around, as fields take them) against strtoll on ASCII texts; other texts only
// must not crash.
void CheckInteger(const QString& text) {
    std::optional<std::int32_t> got;
    try {
        got = StrToInt32(text, Blanks::Around);
    } catch (const EConvertError&) {
    }
    for (QChar c : text) {
        if (c.unicode() >= 0x80)
            return;
    }
    const std::string t = text.trimmed().toStdString();
    const std::size_t digitsFrom = !t.empty() && (t[0] == '+' || t[0] == '-') ? 1 : 0;
    if (t.size() == digitsFrom ||
        t.find_first_not_of("0123456789", digitsFrom) != std::string::npos) {
        FUZZ_CHECK(!got);
        return;
    }
    errno = 0;
    const long long value = std::strtoll(t.c_str(), nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        FUZZ_CHECK(!got);
    else
        FUZZ_CHECK(got && *got == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setExecutableDirForTesting(QStringLiteral("/opt/pc-velka/"));
    FuzzInput in(data, size);
    const std::uint8_t flags = in.byte();
    ConnectionKeys given;
    given.password = Field(in);
    given.userId = Field(in);
    given.initialCatalog = Field(in);
    given.dataSource = Field(in);
    const QString port = Field(in);
    const auto rest = in.rest();
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(rest.data()),
                                           static_cast<qsizetype>(rest.size()));

    ServerSettings settings = defaultServerSettings();
    static const QString drivers[] = {QStringLiteral("FreeTDS"),
                                      QStringLiteral("ODBC Driver 18 for SQL Server"),
                                      QStringLiteral("PostgreSQL Unicode")};
    // The fourth choice takes the driver name from the host field.
    settings.dbDriver = (flags & 3) == 3 ? given.dataSource : drivers[flags & 3];
    settings.dbPort = port;
    settings.dbDirectory = (flags & 4) ? QStringLiteral("/srv/pcv db/") : QStringLiteral("db");
    // -1 to 30: a time-out set from code below the range must not reach FreeTDS as "none".
    settings.dbQueryTimeout = (flags >> 3) - 1;

    const auto quoted = Parse(Build(given));
    FUZZ_CHECK(quoted && Same(*quoted, given));
    CheckOdbc(given, settings);
    CheckSqlitePath(given.initialCatalog, settings);
    CheckInteger(port);

    if (const auto parsed = Parse(text)) {
        const auto again = Parse(Build(*parsed));
        FUZZ_CHECK(again && Same(*again, *parsed));
        CheckOdbc(*parsed, settings);
        CheckSqlitePath(parsed->initialCatalog, settings);
    }
    return 0;
}
