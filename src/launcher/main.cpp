// Entry point of the launcher: the application object, the main form (whose construction is
// the whole launcher) and the message loop, in one protected block.
#include "Setup1.h"
#include "platform/CommandLine.h"
#include "platform/Dialogs.h"
#include "platform/Exception.h"
#include "platform/Paths.h"
#include "platform/Settings.h"

#include <QApplication>
#include <cstdio>
#include <memory>

namespace {
void print(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}
} // namespace

int main(int argc, char** argv) {
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
    prepareDisplay(cl);
    setUnattended({cl.unattended, cl.answerCancel});

    // The application object outlives the protected block so that an error that escapes it
    // can still be shown.
    std::unique_ptr<QApplication> app;
    try {
        app = std::make_unique<QApplication>(argc, argv);
        setServerSettings(loadServerSettings(cl.configPath.isEmpty()
                                                 ? ExecutableDir() + QStringLiteral("server.ini")
                                                 : cl.configPath));
        // Boxes shown during construction are the only windows then; closing them must not
        // end the program before its loop has even started.
        QApplication::setQuitOnLastWindowClosed(false);
        Form1 = new TForm1(nullptr);
        QApplication::setQuitOnLastWindowClosed(true);
        Form1->show();
        QApplication::exec();
    } catch (const Exception& e) {
        ShowException(e.message());
    } catch (...) {
        ShowException(QString());
    }
    delete Form1;
    Form1 = nullptr;
    return 0;
}
