#pragma once
// The launcher's command line. The program needs none; these options let it run with nobody
// at the screen (tests, the demo) and read its server settings from elsewhere.
#include <QString>
#include <QStringList>

struct CommandLine {
    bool unattended = false;   // --unattended: messages go to standard output, answered OK
    bool answerCancel = false; // --answer=cancel: the update question is answered Cancel
    QString configPath;        // --config PATH: server settings instead of server.ini
    bool help = false;         // --help
    bool version = false;      // --version
    QString error;             // not empty: the command line is wrong (say so, show usage)
};

// Looks at the program's own options (those starting with "--"); arguments with a single
// dash are left to Qt ("-platform offscreen" and the like).
CommandLine parseCommandLine(const QStringList& arguments);
CommandLine parseCommandLine(int argc, char** argv);

// The program's arguments as the system handed them over. On Windows that is the UTF-16 command
// line (argv holds them in the ANSI code page, where a --config path with a letter outside it
// arrives with '?' in its place); elsewhere argv in the locale's encoding.
QStringList programArguments(int argc, char** argv);

QString usageText();
QString versionText();

// With --unattended and no display, windows are built offscreen; call before the
// application object is created. Returns false when windows are wanted but there is no display
// and no Qt platform chosen (the program cannot show anything then). A Windows session always
// has its desktop.
bool prepareDisplay(const CommandLine& commandLine);

// Standard output and error carry the messages byte for byte (the unattended lines keep their
// own CR LF); on Windows the C runtime would otherwise put a CR before every LF. Call before
// anything is written.
void prepareStandardStreams();
