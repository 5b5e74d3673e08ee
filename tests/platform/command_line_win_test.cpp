#include "platform/CommandLine.h"

#include <QByteArray>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>

// A Windows session always has its desktop: neither the X11-style variables nor --unattended
// change the answer, and the Qt platform is left to the command line.
TEST(CommandLine, WindowsAlwaysHasItsDesktop) {
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    struct Case {
        bool unattended;
        const char* display;
    } cases[] = {{true, ""}, {true, ":0"}, {false, ""}, {false, ":0"}};
    for (const Case& c : cases) {
        qputenv("QT_QPA_PLATFORM", "windows");
        qputenv("DISPLAY", c.display);
        CommandLine cl;
        cl.unattended = c.unattended;
        EXPECT_TRUE(prepareDisplay(cl)) << c.display << c.unattended;
        EXPECT_EQ(qgetenv("QT_QPA_PLATFORM"), QByteArray("windows")) << c.display;
    }
    qputenv("DISPLAY", display);
    qputenv("QT_QPA_PLATFORM", platform);
}

// The C runtime starts the standard streams in text mode (a CR before every LF); the program's
// output is the same bytes as on Linux.
TEST(CommandLine, StandardStreamsAreBinary) {
    for (FILE* stream : {stdout, stderr}) {
        _setmode(_fileno(stream), _O_TEXT);
        prepareStandardStreams();
        // _setmode answers the mode it replaces.
        EXPECT_EQ(_setmode(_fileno(stream), _O_BINARY), _O_BINARY);
    }
}
