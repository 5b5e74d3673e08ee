#include "TempFile.h"

#include "FuzzCheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdlib>

namespace fuzztemp {
namespace {

QString g_folder;

void RemoveFolder() {
    if (!g_folder.isEmpty())
        QDir(g_folder).removeRecursively();
}

const QString& Folder() {
    if (g_folder.isEmpty()) {
        // Memory-backed where there is one: the targets write a file per input.
        const QFileInfo shm(QStringLiteral("/dev/shm"));
        const QString base = shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
        QTemporaryDir folder(base + QStringLiteral("/pcv-fuzz-XXXXXX"));
        FUZZ_CHECK(folder.isValid());
        folder.setAutoRemove(false);
        g_folder = folder.path();
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
