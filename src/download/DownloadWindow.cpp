#include "DownloadWindow.h"

#include "launcher/Globals.h"

// The download window is not in this build yet: nothing is fetched, so nothing may be recorded.
void RunDownloadWindow() {
    DownloadResult = 0;
}
