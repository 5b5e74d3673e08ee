#include <windows.h>

#include "Paths_p.h"

#include <QDir>
#include <string>

QString RunningExecutableFolder() {
    // The buffer grows until the whole name fits: a name that fills it may have been cut.
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD n = 0;
    for (;;) {
        n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            break;
        if (buffer.size() >= 32768)
            return {}; // longer than any Windows path can be
        buffer.resize(buffer.size() * 2);
    }
    QString path = QString::fromWCharArray(buffer.data(), static_cast<qsizetype>(n));
    // A program started by its long-path name reports that form; the rest of the program
    // writes paths in the usual one.
    if (path.startsWith(QLatin1String("\\\\?\\UNC\\")))
        path = QLatin1String("\\\\") + path.mid(8);
    else if (path.startsWith(QLatin1String("\\\\?\\")))
        path = path.mid(4);
    // '/' between the parts, as Qt gives paths and as the rest of the program joins them.
    path = QDir::fromNativeSeparators(path);
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0)
        return {};
    // "C:/" keeps its separator: "C:" alone would mean the drive's current folder.
    return path.left(slash == 2 && path[1] == u':' ? slash + 1 : slash);
}
