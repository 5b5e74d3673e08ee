#include "Paths_p.h"

#include <QCoreApplication>

QString RunningExecutableFolder() {
    return QCoreApplication::applicationDirPath();
}
