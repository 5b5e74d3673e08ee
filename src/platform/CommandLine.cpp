#include "CommandLine.h"

#include <QByteArray>

CommandLine parseCommandLine(const QStringList& arguments) {
    CommandLine cl;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == QLatin1String("--unattended")) {
            cl.unattended = true;
        } else if (arg == QLatin1String("--answer=cancel")) {
            cl.answerCancel = true;
        } else if (arg == QLatin1String("--answer=ok")) {
            cl.answerCancel = false;
        } else if (arg.startsWith(QLatin1String("--answer="))) {
            cl.error = QStringLiteral("--answer takes ok or cancel, not \"%1\"").arg(arg.mid(9));
        } else if (arg == QLatin1String("--config")) {
            if (i + 1 >= arguments.size() || arguments[i + 1].isEmpty()) {
                cl.error = QStringLiteral("--config needs a file name");
                break;
            }
            cl.configPath = arguments[++i];
        } else if (arg.startsWith(QLatin1String("--config="))) {
            cl.configPath = arg.mid(9);
            if (cl.configPath.isEmpty())
                cl.error = QStringLiteral("--config needs a file name");
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            cl.help = true;
        } else if (arg == QLatin1String("--version")) {
            cl.version = true;
        } else if (arg.startsWith(QLatin1String("--"))) {
            cl.error = QStringLiteral("unknown option %1").arg(arg);
        } else if (!arg.startsWith(QLatin1Char('-'))) {
            // Qt's own options take a value ("-platform offscreen"); anything else is ours.
            const QString& prev = arguments[i - 1];
            if (i == 1 || !prev.startsWith(QLatin1Char('-')) ||
                prev.startsWith(QLatin1String("--")))
                cl.error = QStringLiteral("unexpected argument %1").arg(arg);
        }
        if (!cl.error.isEmpty())
            break;
    }
    if (cl.error.isEmpty() && cl.answerCancel && !cl.unattended)
        cl.error = QStringLiteral("--answer=cancel is only meaningful with --unattended");
    return cl;
}

CommandLine parseCommandLine(int argc, char** argv) {
    return parseCommandLine(programArguments(argc, argv));
}

QString usageText() {
    return QStringLiteral(
        "Usage: pc_velka_setup [options]\n"
        "Finds the diagnostic interface, starts pc1.exe from the current directory, waits for\n"
        "it, then checks the update server for a newer version and offers to install it.\n"
        "\n"
        "Options:\n"
        "  --unattended      nobody is at the screen: every message is printed to standard\n"
        "                    output as \"[caption] text\" and answered OK; windows are built\n"
        "                    offscreen when there is no display\n"
        "  --answer=cancel   with --unattended: answer the update question Cancel\n"
        "  --config PATH     read the update-server settings from PATH instead of server.ini\n"
        "                    beside the program\n"
        "  --help            show this text\n"
        "  --version         show the version\n");
}

QString versionText() {
    return QStringLiteral("pc_velka_setup " PCV_VERSION "\n");
}
