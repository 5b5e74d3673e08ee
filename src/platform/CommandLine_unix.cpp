#include "CommandLine.h"

#include <QByteArray>

bool prepareDisplay(const CommandLine& commandLine) {
    const bool display =
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (commandLine.unattended) {
        if (!display)
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return true;
    }
    return display || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

QStringList programArguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

void prepareStandardStreams() {
    // The C library writes bytes as they are.
}
