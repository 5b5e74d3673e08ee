#include "Settings.h"

#include "Exception.h"
#include "IniFile.h"
#include "Paths.h"

#include <QDir>
#include <QRegularExpression>

namespace {
ServerSettings g_settings = defaultServerSettings();

// server.ini is written by people and commented like any config file: a ';' that follows a
// blank starts a comment, also after a value ("Port=21   ; FTP"). A ';' inside a value with
// no blank before it (a password, say) stays.
QString withoutComment(const QString& value) {
    static const QRegularExpression comment(QStringLiteral("[ \\t];.*$"));
    return value.section(comment, 0, 0).trimmed();
}

// Sets target from section/key when the key is present (an empty value counts as present).
void read(const IniFile& ini, const char* section, const char* key, QString& target) {
    if (auto value = ini.Value(QLatin1String(section), QLatin1String(key)))
        target = withoutComment(*value);
}

// Encrypt is a safety switch: a value that is neither yes nor no (a misspelt "yes") counts as
// yes, so that a typo makes the connection fail instead of leaving it in clear text.
bool encryptionAsked(const QString& value) {
    return !value.isEmpty() && value.compare(QLatin1String("no"), Qt::CaseInsensitive) != 0;
}

// Sets target from section/key when the key holds a whole number from low to high; anything
// else (missing, not a number, out of range) keeps what target held.
void readNumber(const IniFile& ini, const char* section, const char* key, int low, int high,
                int& target) {
    QString text;
    read(ini, section, key, text);
    const auto value = IniFile::ParseInteger(text);
    if (value && *value >= low && *value <= high)
        target = *value;
}

bool validPort(const QString& text, int& port) {
    const auto value = IniFile::ParseInteger(text);
    if (!value || *value < 1 || *value > 65535)
        return false;
    port = *value;
    return true;
}
// A path that server.ini gives relative to the program's folder, as every such path is.
QString besideProgram(const QString& path) {
    return QDir::isRelativePath(path) ? QDir::cleanPath(ExecutableDir() + path) : path;
}

} // namespace

ServerSettings defaultServerSettings() {
    ServerSettings s;
    s.host = QStringLiteral(PCV_DEFAULT_HOST);
    s.dbBackend = QStringLiteral(PCV_DEFAULT_DB_BACKEND);
    s.dbDriver = QStringLiteral(PCV_DEFAULT_DB_DRIVER);
    s.dbUser = QStringLiteral(PCV_DEFAULT_DB_USER);
    s.dbPassword = QStringLiteral(PCV_DEFAULT_DB_PASSWORD);
    s.dbDirectory = QStringLiteral("db");
    s.ftpPort = 21;
    s.ftpUser = QStringLiteral(PCV_DEFAULT_FTP_USER);
    s.ftpPassword = QStringLiteral(PCV_DEFAULT_FTP_PASSWORD);
    s.publicKeys = QStringLiteral(PCV_DEFAULT_PUBLIC_KEYS);
    return s;
}

ServerSettings loadServerSettings(const QString& path) {
    ServerSettings s = defaultServerSettings();
    const IniFile ini(path);
    // A file that is there but cannot be read must not leave the built-in server, logins and
    // plain FTP in force unnoticed (nor end in a search that finds no interface).
    if (const auto refusal = ini.Refusal())
        throw EFOpenError(
            QStringLiteral("The settings file %1 was not read: %2").arg(path, *refusal));
    read(ini, "Server", "Host", s.host);
    read(ini, "Database", "Backend", s.dbBackend);
    read(ini, "Database", "Driver", s.dbDriver);
    read(ini, "Database", "User", s.dbUser);
    read(ini, "Database", "Password", s.dbPassword);
    read(ini, "Database", "Directory", s.dbDirectory);
    read(ini, "Ftp", "User", s.ftpUser);
    read(ini, "Ftp", "Password", s.ftpPassword);
    read(ini, "Interface", "Devices", s.devices);
    read(ini, "Update", "PublicKeys", s.publicKeys);

    s.dbBackend = s.dbBackend.toLower();
    if (s.dbBackend != QLatin1String("odbc") && s.dbBackend != QLatin1String("sqlite"))
        s.dbBackend = defaultServerSettings().dbBackend;

    // Port numbers that are not numbers, or out of range, keep the default.
    QString dbPort;
    read(ini, "Database", "Port", dbPort);
    int port = 0;
    if (validPort(dbPort, port))
        s.dbPort = QString::number(port);
    QString ftpPort;
    read(ini, "Ftp", "Port", ftpPort);
    if (validPort(ftpPort, port))
        s.ftpPort = port;
    readNumber(ini, "Database", "QueryTimeout", 1, kMaxQueryTimeoutSeconds, s.dbQueryTimeout);
    readNumber(ini, "Ftp", "MinAverageRate", 1, kMaxMinAverageRate, s.ftpMinAverageRate);
    readNumber(ini, "Ftp", "AttemptSlack", 1, kMaxAttemptSlackSeconds, s.ftpAttemptSlack);
    QString encrypt;
    read(ini, "Database", "Encrypt", encrypt);
    s.dbEncrypt = encryptionAsked(encrypt);

    QString security;
    read(ini, "Ftp", "Security", security);
    s.ftpTls =
        !security.isEmpty() && security.compare(QLatin1String("none"), Qt::CaseInsensitive) != 0;
    read(ini, "Ftp", "CaFile", s.ftpCaFile);
    if (!s.ftpCaFile.isEmpty())
        s.ftpCaFile = besideProgram(s.ftpCaFile);

    return s;
}

QString databaseDirectory(const ServerSettings& settings) {
    QString dir = settings.dbDirectory;
    if (dir.isEmpty())
        dir = defaultServerSettings().dbDirectory;
    return QDir::cleanPath(besideProgram(dir));
}

const ServerSettings& serverSettings() {
    return g_settings;
}

void setServerSettings(const ServerSettings& settings) {
    g_settings = settings;
}
