#include "UpdateCheck.h"

#include "Globals.h"
#include "Ini.h"
#include "LogFile.h"
#include "Messages.h"
#include "UpdateDb.h"
#include "platform/Dialogs.h"

#include <algorithm>

namespace {

DownloadWindowRunner g_runDownloadWindow = nullptr;

constexpr qsizetype kMaxReasonChars = 300;

// An error that escapes the check still leaves a complete file behind: every line written so far
// is already on disk, and nothing more is added.
struct LogCloser {
    ~LogCloser() { LogFile::Close(); }
};

// The date comes from the server: it is logged only up to its first control character, so that
// a line break in it cannot add lines of the server's own to the log.
QString upToControl(const QString& text) {
    const auto end = std::find_if(text.begin(), text.end(), [](QChar c) {
        return c.unicode() < 0x20 || c.unicode() == 0x7F || c.category() == QChar::Other_Control;
    });
    return text.left(end - text.begin());
}

void endStep() {
    LogFile::Write(QStringLiteral("等 100ms結束程式"));
    LogFile::Close();
}

bool reachUpdateServer() {
    LogFile::Write(QStringLiteral("Ver:2.4"));
    LogFile::Write(QStringLiteral("連接SQL Server"));
    if (SQL_Connect())
        return true;
    LogFile::Write(QStringLiteral("無網路 或 網路連線異常"));
    // A server without encryption fails the connection like a network fault; the user who asked
    // for encryption must be able to tell. The reason holds the driver's (and the server's) words:
    // one line of bounded length.
    if (SQL_ConnectError().startsWith(QLatin1String(kNoEncryptionPrefix)))
        LogFile::Write(upToControl(SQL_ConnectError()).left(kMaxReasonChars));
    return false;
}

void logServerDateAndLoadIni() {
    SQL_GetServerTime();
    LogFile::Write(QStringLiteral("SQL_GetServerTime="), upToControl(ServerDate));
    LogFile::Write(QStringLiteral("+LoadIni"));
    LoadIni();
}

// The installed version's row names the next one; the user is asked only when it is newer.
bool newerVersionAccepted() {
    if (!SQL_GetNextVersion())
        return false;
    if (NextVersion <= InstalledVersion)
        return false;
    const int answer =
        MessageBoxA(QStringLiteral("發現新的診斷程式版本! \r\n 您想要現在就要下載新版本嗎?"),
                    QStringLiteral("PC-VELKA"), MB_OKCANCEL | MB_ICONQUESTION);
    return answer != IDCANCEL;
}

// The download window fetches and runs the update; only DownloadResult 1 (it ran) is recorded.
bool updateDownloaded() {
    if (!SQL_GetUpdateFile())
        return false;
    DownloadResult = 0;
    LogFile::Write(QStringLiteral("執行下載更新檔案"));
    if (g_runDownloadWindow)
        g_runDownloadWindow();
    return DownloadResult == 1;
}

void recordInstalledUpdate() {
    LogFile::Write(QStringLiteral("修改 velka.ini 版本"));
    InstalledVersion = NextVersion;
    const bool recorded = SaveIni();
    if (!recorded)
        LogFile::Write(QStringLiteral("velka.ini 版本寫入失敗"));
    LogFile::Write(QStringLiteral("等 100ms結束程式"));
    LogFile::Close();

    // The update did run; without its version in velka.ini it would be offered again at every
    // start, so the user is told that it was not recorded.
    ShowMessage(PadDbcsMessage(recorded ? QStringLiteral("軟體更新完成")
                                        : QStringLiteral("軟體更新完成, \r\n 但無法記錄新版本!")));
}

} // namespace

DownloadWindowRunner setDownloadWindowRunner(DownloadWindowRunner runner) {
    DownloadWindowRunner previous = g_runDownloadWindow;
    g_runDownloadWindow = runner;
    return previous;
}

void RunUpdateCheck() {
    LogCloser closer;
    LogFile::Open();
    if (!reachUpdateServer()) {
        endStep();
        return;
    }
    logServerDateAndLoadIni();
    if (!newerVersionAccepted() || !updateDownloaded()) {
        endStep();
        return;
    }
    recordInstalledUpdate();
}
