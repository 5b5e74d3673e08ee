#include <windows.h>

#include "Win32Support_win.h"

#include "IniFile_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>

// The temporary file is created exclusively and moved over the original with ReplaceFileW,
// which keeps the original's attributes and security, as the POSIX half keeps its mode.

namespace {

// The temporary file of a write is "<name>.saving-" and six letters or digits, beside the
// file. While a writer fills it, it is open without delete sharing: nobody else can remove it.
const QString kTempMarker = QStringLiteral(".saving-");
constexpr int kTempRandom = 6;

bool isTempOf(const QString& entry, const QString& base) {
    const qsizetype prefix = base.size() + kTempMarker.size();
    if (entry.size() != prefix + kTempRandom ||
        !entry.startsWith(base + kTempMarker, Qt::CaseInsensitive))
        return false;
    for (qsizetype i = prefix; i < entry.size(); ++i) {
        const char16_t c = entry[i].unicode();
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// Removes what an interrupted write (a crash, a power cut) left beside target: regular files
// of our own name pattern. A write in progress holds its file without delete sharing, so the
// delete fails for it; links and folders are left alone.
void removeStaleTemps(const QString& target) {
    const QFileInfo info(target);
    const QString folder = info.absolutePath();
    const QString base = info.fileName();
    const std::wstring pattern =
        Win32Path(folder + QLatin1Char('/') + base + kTempMarker + QStringLiteral("*"));
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const QString name = QString::fromWCharArray(found.cFileName);
        if (!isTempOf(name, base) ||
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            continue;
        DeleteFileW(Win32Path(folder + QLatin1Char('/') + name).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

QString randomLetters() {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString letters;
    for (int i = 0; i < kTempRandom; ++i)
        letters += QLatin1Char(kAlphabet[QRandomGenerator::system()->bounded(62)]);
    return letters;
}

} // namespace

// Writes bytes to a new file beside target and moves it over target. Every byte is
// checked to be written and flushed first: a short write (a full disk, a quota) fails the whole
// write and leaves the old file as it was.
bool ReplaceFileAt(const QString& target, const QByteArray& bytes) {
    const std::wstring targetPath = Win32Path(target);
    const DWORD attributes = GetFileAttributesW(targetPath.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                 FILE_ATTRIBUTE_DEVICE)))
        return false;
    removeStaleTemps(target);

    std::wstring tempPath;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        tempPath = Win32Path(target + kTempMarker + randomLetters());
        // CREATE_NEW never opens what is already there, a link included.
        h = CreateFileW(tempPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    qsizetype done = 0;
    while (ok && done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<qsizetype>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        ok = WriteFile(h, bytes.constData() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = ok && FlushFileBuffers(h);
    ok = CloseHandle(h) && ok;
    if (ok) {
        if (exists)
            ok = ReplaceFileW(targetPath.c_str(), tempPath.c_str(), nullptr,
                              REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
        else
            ok = MoveFileExW(tempPath.c_str(), targetPath.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (!ok)
        DeleteFileW(tempPath.c_str());
    return ok;
}
