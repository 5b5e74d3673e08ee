// DLrec.txt read back, and what it holds for the download window's attempts. The window's own
// tests and the end-to-end tests compare the log line for line against these, so one change to
// the sequence's log is one change here.
#pragma once

#include "platform/Big5.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

// The log's lines, decoded from Big5; each must end in CR LF, the last one too.
inline QStringList decodeLogLines(const QByteArray& bytes) {
    EXPECT_TRUE(bytes.endsWith("\r\n")) << "last line without CR LF";
    QList<QByteArray> raws = bytes.split('\n');
    raws.removeLast(); // after the final line end
    QStringList lines;
    for (const QByteArray& raw : raws) {
        EXPECT_TRUE(raw.endsWith('\r')) << "line without CR LF: " << raw.constData();
        lines << fromBig5(raw.endsWith('\r') ? raw.chopped(1) : raw);
    }
    return lines;
}

namespace ExpectedLog {

// The message the window gives up with after its third failed attempt.
inline QString giveUp() {
    return QStringLiteral("FTP連線異常或忙線,\r\n 請稍後再重試");
}

// An attempt that fetched the file to localPath and ran it.
inline QStringList successfulAttempt(const QString& localPath) {
    return {QStringLiteral("FTP Connect..."),     QStringLiteral("FTP ChangeDir..."),
            QStringLiteral("FTP Download..."),    QStringLiteral("Timer2->Enabled=False"),
            QStringLiteral("Sleep(500)"),         QStringLiteral("FTP RequestCloseSocket..."),
            QStringLiteral("FTP Disconnect..."),  QStringLiteral("下載完成，等一秒解壓"),
            QStringLiteral("Sleep(500)"),         localPath,
            QStringLiteral("檢查更新檔是否存在"), QStringLiteral("等待解壓..."),
            QStringLiteral("執行-解壓..."),       QStringLiteral("執行-解壓...完成")};
}

// The first attempt, ended by the watchdog on its ninth quiet tick during the transfer; the
// next one is armed.
inline QStringList stalledAttempt() {
    return {QStringLiteral("FTP Connect..."),
            QStringLiteral("FTP ChangeDir..."),
            QStringLiteral("FTP Download..."),
            QStringLiteral("更新檔下載中..8"),
            QStringLiteral("FTP Disconnect(DLagen)"),
            QStringLiteral("刪除更新檔下載不完全"),
            QStringLiteral("DLretry=1"),
            QStringLiteral("Timer1->Enabled=True")};
}

// The first `count` failed attempts, each `attempt` followed by the clean-up's lines; the third
// is the last, so only the ones before it arm another.
inline QStringList failedAttempts(int count,
                                  const QStringList& attempt = {QStringLiteral("FTP Connect...")}) {
    QStringList lines;
    for (int n = 1; n <= count; ++n) {
        lines << attempt << QStringLiteral("刪除更新檔下載不完全")
              << QStringLiteral("DLretry=%1").arg(n);
        if (n < 3)
            lines << QStringLiteral("Timer1->Enabled=True");
    }
    return lines;
}

} // namespace ExpectedLog
