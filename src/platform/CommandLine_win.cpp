#include "CommandLine.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h> // needs the types of windows.h

bool prepareDisplay(const CommandLine&) {
    // The desktop of the session is always there; a run without a screen chooses its platform on
    // the command line ("-platform offscreen"), since X11-style variables mean nothing here.
    return true;
}

QStringList programArguments(int argc, char** argv) {
    // The same split as the C runtime's for everything this program takes (quotes, spaces).
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    QStringList arguments;
    if (wide) {
        for (int i = 0; i < count; ++i)
            arguments << QString::fromWCharArray(wide[i]);
        ::LocalFree(wide);
        return arguments;
    }
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

void prepareStandardStreams() {
    // A window program started without redirection has no valid standard handles; the mode of
    // such a stream does not matter, so the result is not checked.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}
