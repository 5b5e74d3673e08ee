#include "platform/CommandLine.h"

#include <QByteArray>
#include <gtest/gtest.h>

TEST(CommandLine, OffscreenOnlyWhenUnattendedWithoutDisplay) {
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    struct Case {
        bool unattended;
        const char* display;
        const char* platformBefore;
        const char* platformAfter;
        bool ok;
    } cases[] = {
        {true, "", "xcb", "offscreen", true}, {true, ":0", "xcb", "xcb", true},
        {false, ":0", "", "", true},          {false, "", "vnc", "vnc", true},
        {false, "", "", "", false},
    };
    for (const Case& c : cases) {
        qputenv("QT_QPA_PLATFORM", c.platformBefore);
        qputenv("DISPLAY", c.display);
        qunsetenv("WAYLAND_DISPLAY");
        CommandLine cl;
        cl.unattended = c.unattended;
        EXPECT_EQ(prepareDisplay(cl), c.ok) << c.display << c.unattended;
        EXPECT_EQ(qgetenv("QT_QPA_PLATFORM"), QByteArray(c.platformAfter)) << c.display;
    }
    qputenv("DISPLAY", display);
    qputenv("WAYLAND_DISPLAY", wayland);
    qputenv("QT_QPA_PLATFORM", platform);
}
