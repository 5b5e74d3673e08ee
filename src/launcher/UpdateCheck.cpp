#include "UpdateCheck.h"

#include "LogFile.h"

// The database layer is not in this build yet, so every run takes the "server not reachable"
// road of the check: it is what a PC without a network sees.
void RunUpdateCheck() {
    LogFile::Open();
    LogFile::Write(QStringLiteral("Ver:2.4"));
    LogFile::Write(QStringLiteral("連接SQL Server"));
    LogFile::Write(QStringLiteral("無網路 或 網路連線異常"));
    LogFile::Write(QStringLiteral("等 100ms結束程式"));
    LogFile::Close();
}
