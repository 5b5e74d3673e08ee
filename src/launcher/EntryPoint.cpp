#include "EntryPoint.h"

#include "Setup1.h"
#include "platform/Dialogs.h"
#include "platform/Exception.h"
#include "platform/MessageWindows.h"

#include <QApplication>
#include <memory>

int RunEntryPoint(int& argc, char** argv, const std::function<void()>& createMainForm) {
    // The application object outlives the protected block so that an error that escapes it
    // can still be shown in a window.
    std::unique_ptr<QApplication> app;
    try {
        app = std::make_unique<QApplication>(argc, argv);
        InstallMessageWindows();
        // Boxes shown during construction are the only windows then; closing them must not
        // end the program before its loop has even started.
        QApplication::setQuitOnLastWindowClosed(false);
        createMainForm();
        QApplication::setQuitOnLastWindowClosed(true);
        if (Form1) {
            Form1->show();
            QApplication::exec();
        }
    } catch (const Exception& e) {
        ShowException(e.message());
    } catch (...) {
        ShowException(QString());
    }
    delete Form1;
    Form1 = nullptr;
    return 0;
}
