#pragma once
// The message boxes of a program with windows: Qt Widgets behind the messages of Dialogs.h.
// Kept apart from Dialogs so that the socket and FTP layers, and the tools built on them, link
// no window system.

// Shows every message that no handler and no unattended mode answers in a modal box. Before the
// application object exists (or in a program without one) messages still go to standard error.
void InstallMessageWindows();
