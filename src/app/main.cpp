// Entry point of the launcher: the application object, the main form (whose construction is
// the whole launcher) and the message loop, in one protected block.
#include "download/DownloadWindow.h"
#include "launcher/EntryPoint.h"
#include "launcher/Setup1.h"
#include "launcher/UpdateCheck.h"
#include "platform/CommandLine.h"
#include "platform/Dialogs.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Settings.h"

#include <QString>
#include <cstdio>

namespace {
void print(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}
} // namespace

int main(int argc, char** argv) {
    prepareStandardStreams();
    IgnoreFileSizeSignal();
    const CommandLine cl = parseCommandLine(argc, argv);
    if (!cl.error.isEmpty()) {
        print(stderr, QStringLiteral("pc_velka_setup: %1\n\n").arg(cl.error) + usageText());
        return 2;
    }
    if (cl.help) {
        print(stdout, usageText());
        return 0;
    }
    if (cl.version) {
        print(stdout, versionText());
        return 0;
    }
    if (!prepareDisplay(cl)) {
        print(stderr, QStringLiteral("pc_velka_setup: no display to show windows on; run it on "
                                     "a desktop, or with --unattended\n"));
        return 1;
    }
    setUnattended({cl.unattended, cl.answerCancel});
    // The entry point is the one place that knows both floors: the update check reaches the
    // download window through it.
    setDownloadWindowRunner(&RunDownloadWindow);

    return RunEntryPoint(argc, argv, [&cl] {
        setServerSettings(loadServerSettings(cl.configPath.isEmpty()
                                                 ? ExecutableDir() + QStringLiteral("server.ini")
                                                 : cl.configPath));
        Form1 = new TForm1(nullptr);
    });
}
