#include "Paths.h"

#include "Paths_p.h"

namespace {
QString g_override;
}

QString ExecutableDir() {
    QString dir = g_override.isEmpty() ? RunningExecutableFolder() : g_override;
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

QString setExecutableDirForTesting(const QString& dir) {
    QString previous = g_override;
    g_override = dir;
    return previous;
}
