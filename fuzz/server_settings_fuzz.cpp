// server.ini as anyone may have edited it: loading never fails, and whatever the file holds the
// settings come out usable (a known backend, ports in range, an absolute catalog folder, no
// comment or line break left in a value).
#include "FuzzCheck.h"
#include "TempFile.h"
#include "platform/Paths.h"
#include "platform/Settings.h"

#include <QDir>
#include <QRegularExpression>

namespace {

bool Clean(const QString& value) {
    static const QRegularExpression comment(QStringLiteral("[ \\t];"));
    return !value.contains(QLatin1Char('\n')) && !value.contains(comment) &&
           value == value.trimmed();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Relative catalog folders are taken from the executable's folder; this one stands for it.
    setExecutableDirForTesting(QStringLiteral("/opt/pc-velka/"));
    const QString path =
        fuzztemp::Write("server.ini", QByteArray(reinterpret_cast<const char*>(data),
                                                 static_cast<qsizetype>(size)));
    const ServerSettings s = loadServerSettings(path);

    FUZZ_CHECK(s.dbBackend == QLatin1String("odbc") || s.dbBackend == QLatin1String("sqlite"));
    FUZZ_CHECK(s.ftpPort >= 1 && s.ftpPort <= 65535);
    if (!s.dbPort.isEmpty()) {
        bool ok = false;
        const int port = s.dbPort.toInt(&ok);
        FUZZ_CHECK(ok && port >= 1 && port <= 65535 && s.dbPort == QString::number(port));
    }
    const QString catalogs = databaseDirectory(s);
    FUZZ_CHECK(!catalogs.isEmpty() && QDir::isAbsolutePath(catalogs));
    FUZZ_CHECK(catalogs == QDir::cleanPath(catalogs));
    for (const QString* value :
         {&s.host, &s.dbDriver, &s.dbUser, &s.dbPassword, &s.ftpUser, &s.ftpPassword, &s.devices}) {
        FUZZ_CHECK(Clean(*value));
    }
    return 0;
}
