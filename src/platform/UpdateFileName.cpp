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
    static const char* const kOwn[] = {"pc_velka_setup", "pc_velka_setup.exe", "pc1.exe",
                                       "velka.ini",      "server.ini",         "DLrec.txt"};
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

// Names that Windows takes for a device or strips, whatever the folder: "nul.exe" is the null
// device, "a.exe." and "a.exe " are "a.exe", and "a:b" is the stream b of the file a. A
// download there would write to, run or delete something else than the file it names. They
// are refused on every platform, so that a database row is treated the same everywhere.
bool isWindowsDeviceOrAlias(const QString& name) {
    if (name.endsWith(u'.') || name.endsWith(u' '))
        return true;
    if (std::any_of(name.begin(), name.end(), [](QChar c) {
            return c == u':' || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' ||
                   c == u'*';
        }))
        return true;
    // The device name is what stands before the first dot, blanks before the dot ignored.
    QString stem = name.left(name.indexOf(u'.'));
    while (stem.endsWith(u' '))
        stem.chop(1);
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (std::any_of(std::begin(kDevices), std::end(kDevices), [&stem](const char* device) {
            return stem.compare(QLatin1String(device), Qt::CaseInsensitive) == 0;
        }))
        return true;
    if (stem.size() != 4)
        return false;
    const QString port = stem.left(3);
    const char16_t digit = stem[3].unicode();
    const bool isPort = port.compare(QLatin1String("COM"), Qt::CaseInsensitive) == 0 ||
                        port.compare(QLatin1String("LPT"), Qt::CaseInsensitive) == 0;
    // COM0 to COM9 and the superscript ones that Windows also reserves.
    return isPort && ((digit >= u'0' && digit <= u'9') || digit == u'\u00B9' ||
                      digit == u'\u00B2' || digit == u'\u00B3');
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
    if (isOwnFile(name) || isWindowsDeviceOrAlias(name))
        return false;
    // UTF-8 is what the file system stores; it never counts fewer bytes than Big5 would.
    return (downloadDir + name).toUtf8().size() <= kMaxUpdatePathBytes;
}
