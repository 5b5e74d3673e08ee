#include "DownloadWindow.h"

#include "Download.h"

#include <QCoreApplication>
#include <memory>

void RunDownloadWindow() {
    // The application object owns the window in name; it is destroyed here as soon as the modal
    // loop has returned, which happens only after the last attempt's tick has ended.
    std::unique_ptr<TForm2> form = std::make_unique<TForm2>(QCoreApplication::instance());
    form->exec();
}
