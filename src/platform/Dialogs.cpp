#include "Dialogs.h"

#include <QCoreApplication>
#include <cstdio>

namespace {
MessageHandler g_handler;
MessageHandler g_windows;
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
    if (g_windows)
        return g_windows(request);
    // No windows in this program (a command-line tool): the message goes to standard error
    // rather than nowhere.
    const QByteArray line =
        QStringLiteral("[%1] %2\n").arg(request.caption, request.text).toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    return IDOK;
}
} // namespace

MessageHandler setMessageHandlerForTesting(MessageHandler handler) {
    MessageHandler previous = std::move(g_handler);
    g_handler = std::move(handler);
    return previous;
}

void setMessageWindows(MessageHandler windows) {
    g_windows = std::move(windows);
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
