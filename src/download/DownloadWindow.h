#pragma once

// Creates the download window with the application object as owner, shows it modally and
// destroys it. On return DownloadResult tells the outcome (1 = update fetched, run and ended).
// Errors raised while the window is built escape to the caller.
void RunDownloadWindow();
