#pragma once

// After pc1.exe has ended: open the log, reach the update database, compare versions, ask the
// user, let the download window fetch and run the update, record the new version. Returns with
// the log closed. Errors of the later database queries escape to the entry point.
void RunUpdateCheck();

// The step that shows the download window. The entry point puts the window here
// (RunDownloadWindow); tests put a stand-in to play each outcome. With none, nothing is
// downloaded and no version is recorded. Returns the previous one.
using DownloadWindowRunner = void (*)();
DownloadWindowRunner setDownloadWindowRunner(DownloadWindowRunner runner);
