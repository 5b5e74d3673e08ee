#include "MessageWindows.h"

#include "Dialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

namespace {
int showBox(const MessageRequest& request) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // No application object (an error before it existed): a window cannot be built.
        const QByteArray line =
            QStringLiteral("[%1] %2\n").arg(request.caption, request.text).toLocal8Bit();
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
        return IDOK;
    }
    QMessageBox box;
    box.setWindowTitle(request.caption);
    box.setText(request.text);
    if ((request.type & 0xF0) == MB_ICONQUESTION)
        box.setIcon(QMessageBox::Question);
    else if (request.kind == MessageKind::Exception)
        box.setIcon(QMessageBox::Critical);
    if ((request.type & 0x0F) == MB_OKCANCEL) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    // Esc and the close button give IDCANCEL on a box that has Cancel, as on Windows.
    return box.exec() == QMessageBox::Cancel ? IDCANCEL : IDOK;
}
} // namespace

void InstallMessageWindows() {
    setMessageWindows(showBox);
}
