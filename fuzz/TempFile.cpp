#include "TempFile.h"

#include "FuzzCheck.h"

#include <QDir>
#include <QFile>
#include <cstdlib>
#include <unistd.h>

namespace fuzztemp {
namespace {

QString g_folder;

void RemoveFolder() {
    if (!g_folder.isEmpty())
        QDir(g_folder).removeRecursively();
}

const QString& Folder() {
    if (g_folder.isEmpty()) {
        QByteArray pattern = (::access("/dev/shm", W_OK) == 0 ? QByteArray("/dev/shm")
                                                              : QDir::tempPath().toLocal8Bit()) +
                             "/pcv-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        g_folder = QString::fromLocal8Bit(pattern);
        std::atexit(RemoveFolder);
    }
    return g_folder;
}

} // namespace

QString Write(const char* name, const QByteArray& bytes) {
    const QString path = Folder() + QLatin1Char('/') + QLatin1String(name);
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
    return path;
}

QByteArray Read(const QString& path) {
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

} // namespace fuzztemp
