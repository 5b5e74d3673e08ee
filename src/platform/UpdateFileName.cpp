#include "UpdateFileName.h"

#include "Big5.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <iterator>

namespace {

// Files beside the program (or in its current directory) that a download must never replace:
// writing, running and deleting the update would do that to them. Case is ignored, as on the
// file systems the program was made for.
bool isOwnFile(const QString& name) {
    static const char* const kOwn[] = {"pc_velka_setup", "pc1.exe", "velka.ini", "server.ini",
                                       "DLrec.txt"};
    const auto same = [&name](const QString& own) {
        return name.compare(own, Qt::CaseInsensitive) == 0;
    };
    if (std::any_of(std::begin(kOwn), std::end(kOwn),
                    [&same](const char* own) { return same(QString::fromLatin1(own)); }))
        return true;
    // The executable may have been renamed.
    return QCoreApplication::instance() &&
           same(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

} // namespace

bool IsUsableUpdateFileName(const QString& downloadDir, const QString& name) {
    if (name.isEmpty() || name == QLatin1String(".") || name.contains(QLatin1String("..")))
        return false;
    const bool badChar = std::any_of(name.begin(), name.end(), [](QChar c) {
        return c == u'/' || c == u'\\' || c.unicode() < 0x20 || c.unicode() == 0x7F ||
               c.category() == QChar::Other_Control || c.isSurrogate() || c.unicode() == 0xFFFD;
    });
    if (badChar)
        return false;
    // The name is logged and sent as Big5: one that Big5 cannot hold would name another file.
    if (fromBig5(toBig5(name)) != name)
        return false;
    if (isOwnFile(name))
        return false;
    // UTF-8 is what the file system stores; it never counts fewer bytes than Big5 would.
    return (downloadDir + name).toUtf8().size() <= kMaxUpdatePathBytes;
}
