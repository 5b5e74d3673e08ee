#include "Settings.h"

namespace {
ServerSettings g_settings = defaultServerSettings();
}

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
    return s;
}

const ServerSettings& serverSettings() {
    return g_settings;
}

void setServerSettings(const ServerSettings& settings) {
    g_settings = settings;
}
