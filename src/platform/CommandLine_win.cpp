#include "CommandLine.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

bool prepareDisplay(const CommandLine&) {
    // The desktop of the session is always there; a run without a screen chooses its platform on
    // the command line ("-platform offscreen"), since X11-style variables mean nothing here.
    return true;
}

void prepareStandardStreams() {
    // A window program started without redirection has no valid standard handles; the mode of
    // such a stream does not matter, so the result is not checked.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}
