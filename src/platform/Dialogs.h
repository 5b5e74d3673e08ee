#pragma once
// Modal message boxes: MessageBoxA with its own caption, the framework's ShowMessage (caption =
// the application's title) and the exception display of the entry point.
//
// With --unattended nobody is at the screen: each message is written to standard output as
// "[caption] text" (UTF-8, text exactly as it would be shown) and answered without a window.
// Tests install a handler that answers from code and records what was shown.
#include <QString>
#include <functional>

// MessageBoxA flags and answers used by this program. <windows.h> defines the same names as
// macros with the same values: they are set aside while these are declared, so that a file may
// include both, in either order, and then uses the system's.
#pragma push_macro("MB_OK")
#pragma push_macro("MB_OKCANCEL")
#pragma push_macro("MB_ICONQUESTION")
#pragma push_macro("IDOK")
#pragma push_macro("IDCANCEL")
#undef MB_OK
#undef MB_OKCANCEL
#undef MB_ICONQUESTION
#undef IDOK
#undef IDCANCEL
enum : unsigned {
    MB_OK = 0x00,
    MB_OKCANCEL = 0x01,
    MB_ICONQUESTION = 0x20,
};
enum : int {
    IDOK = 1,
    IDCANCEL = 2,
};
#pragma pop_macro("MB_OK")
#pragma pop_macro("MB_OKCANCEL")
#pragma pop_macro("MB_ICONQUESTION")
#pragma pop_macro("IDOK")
#pragma pop_macro("IDCANCEL")

enum class MessageKind { Box, ShowMessage, Exception };

struct MessageRequest {
    MessageKind kind;
    QString caption;
    QString text;
    unsigned type; // MB_* flags
};

using MessageHandler = std::function<int(const MessageRequest&)>;

// Installs a handler that answers every message instead of a window (nullptr: back to windows
// or the unattended answer). Returns the previous one.
MessageHandler setMessageHandlerForTesting(MessageHandler handler);

// How messages are shown when neither a handler nor the unattended mode answers them. A program
// with windows installs the message boxes (InstallMessageWindows, MessageWindows.h); without
// them every message goes to standard error as "[caption] text", so that a command-line tool
// needs no window system.
void setMessageWindows(MessageHandler windows);

struct UnattendedMode {
    bool enabled = false;
    bool answerCancel = false; // the OK/Cancel question is answered Cancel
};
void setUnattended(UnattendedMode mode);
UnattendedMode unattended();

// Returns IDOK or IDCANCEL. No owner window.
int MessageBoxA(const QString& text, const QString& caption, unsigned type);
// A message dialog with a single OK button, captioned with the application's title.
void ShowMessage(const QString& text);
// The application's standard exception display.
void ShowException(const QString& message);
// The application's title: the caption of ShowMessage and of the exception display.
QString ApplicationTitle();
