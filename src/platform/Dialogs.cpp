#include "Dialogs.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <cstdio>

namespace {
MessageHandler g_handler;
UnattendedMode g_unattended;

int answer(const MessageRequest& request) {
    if (g_handler)
        return g_handler(request);
    if (g_unattended.enabled) {
        const QByteArray line =
            QStringLiteral("[%1] %2\n").arg(request.caption, request.text).toUtf8();
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
        std::fflush(stdout);
        if ((request.type & 0x0F) == MB_OKCANCEL && g_unattended.answerCancel)
            return IDCANCEL;
        return IDOK;
    }
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // No application object (an error before it existed): a window cannot be built, so
        // the message goes to standard error rather than nowhere.
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

MessageHandler setMessageHandler(MessageHandler handler) {
    MessageHandler previous = std::move(g_handler);
    g_handler = std::move(handler);
    return previous;
}

void setUnattended(UnattendedMode mode) {
    g_unattended = mode;
}

UnattendedMode unattended() {
    return g_unattended;
}

QString ApplicationTitle() {
    // The framework's default title is the executable's name without its extension.
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("pc_velka_setup") : name;
}

int MessageBoxA(const QString& text, const QString& caption, unsigned type) {
    return answer({MessageKind::Box, caption, text, type});
}

void ShowMessage(const QString& text) {
    answer({MessageKind::ShowMessage, ApplicationTitle(), text, MB_OK});
}

void ShowException(const QString& message) {
    answer({MessageKind::Exception, ApplicationTitle(), message, MB_OK});
}
