#include "UpdateCheck.h"

#include "Globals.h"
#include "Ini.h"
#include "LogFile.h"
#include "Messages.h"
#include "UpdateDb.h"
#include "download/DownloadWindow.h"
#include "platform/Dialogs.h"

namespace {

DownloadWindowRunner g_runDownloadWindow = &RunDownloadWindow;

// An error that escapes the check still leaves a complete file behind: every line written so far
// is already on disk, and nothing more is added.
struct LogCloser {
    ~LogCloser() { LogFile::Close(); }
};

void endStep() {
    LogFile::Write(QStringLiteral("等 100ms結束程式"));
    LogFile::Close();
}

} // namespace

DownloadWindowRunner setDownloadWindowRunner(DownloadWindowRunner runner) {
    DownloadWindowRunner previous = g_runDownloadWindow;
    g_runDownloadWindow = runner ? runner : &RunDownloadWindow;
    return previous;
}

void RunUpdateCheck() {
    LogCloser closer;
    LogFile::Open();
    LogFile::Write(QStringLiteral("Ver:2.4"));
    LogFile::Write(QStringLiteral("連接SQL Server"));
    if (!SQL_Connect()) {
        LogFile::Write(QStringLiteral("無網路 或 網路連線異常"));
        endStep();
        return;
    }

    SQL_GetServerTime();
    LogFile::Write(QStringLiteral("SQL_GetServerTime="), ServerDate);

    LogFile::Write(QStringLiteral("+LoadIni"));
    LoadIni();

    if (!SQL_GetNextVersion()) {
        endStep();
        return;
    }
    if (NextVersion <= InstalledVersion) {
        endStep();
        return;
    }

    const int answer =
        MessageBoxA(QStringLiteral("發現新的診斷程式版本! \r\n 您想要現在就要下載新版本嗎?"),
                    QStringLiteral("PC-VELKA"), MB_OKCANCEL | MB_ICONQUESTION);
    if (answer == IDCANCEL) {
        endStep();
        return;
    }

    if (!SQL_GetUpdateFile()) {
        endStep();
        return;
    }

    DownloadResult = 0;
    LogFile::Write(QStringLiteral("執行下載更新檔案"));
    g_runDownloadWindow();

    if (DownloadResult != 1) {
        endStep();
        return;
    }

    LogFile::Write(QStringLiteral("修改 velka.ini 版本"));
    InstalledVersion = NextVersion;
    SaveIni();
    LogFile::Write(QStringLiteral("等 100ms結束程式"));
    LogFile::Close();

    ShowMessage(PadDbcsMessage(QStringLiteral("軟體更新完成")));
}
