#include "UpdateDb.h"

#include "Globals.h"
#include "LogFile.h"
#include "platform/Big5.h"
#include "platform/Dialogs.h"
#include "platform/Paths.h"
#include "platform/Settings.h"
#include "platform/UpdateFileName.h"

#include <QCoreApplication>

namespace {

struct Components {
    // The query is declared last so that it is destroyed first, while its connection lives.
    TADOConnection connection;
    TADOQuery query;
};

Components* g_components = nullptr;
QString g_connectError; // why the last SQL_Connect returned false

// Runs from QCoreApplication's destructor as well: QtSql connections must be gone before the
// application object and the driver plugins are.
void releaseComponents() {
    delete g_components;
    g_components = nullptr;
}

Components& components() {
    if (!g_components) {
        g_components = new Components;
        qAddPostRoutine(releaseComponents);
    }
    return *g_components;
}

QString versionRowSql(std::int32_t version) {
    return QStringLiteral("select * from ") + QString::fromUtf8(kVersionTable) +
           QStringLiteral(" where 車種='") + ProductCode() + QStringLiteral("' and 目前版本='") +
           QString::number(version) + QStringLiteral("'");
}

void showNoUpdateFile() {
    ShowMessage(QStringLiteral("版本:") + QString::number(NextVersion) +
                QStringLiteral("\r\n更新檔名不存在!"));
}

// Close, (optionally) clear the text and set the connection, set the text, prepare, open.
void runQuery(const QString& sql, bool reset) {
    TADOQuery& query = ADOQuery1();
    query.Close();
    if (reset) {
        query.ClearSql();
        query.SetConnection(&ADOConnection1());
    }
    query.SetSql(sql);
    query.SetPrepared(true);
    query.Open();
}

void connectTo(const QString& catalog) {
    TADOConnection& connection = ADOConnection1();
    connection.Close();
    connection.SetConnectionString(ConnectionString(catalog));
    connection.Open();
}

} // namespace

TADOConnection& ADOConnection1() {
    return components().connection;
}

TADOQuery& ADOQuery1() {
    return components().query;
}

void ReleaseUpdateDatabase() {
    if (g_components)
        qRemovePostRoutine(releaseComponents);
    releaseComponents();
}

QString ConnectionString(const QString& catalog) {
    const ServerSettings& s = serverSettings();
    // The values are quoted as the pieces expect; a quote inside one is doubled so that it can
    // neither end the value nor add a key (none of the production values holds one).
    return QStringLiteral("Provider=SQLOLEDB.1;") + QStringLiteral("Password='") +
           quoteConnectionValue(s.dbPassword) + QStringLiteral("';User ID='") +
           quoteConnectionValue(s.dbUser) +
           QStringLiteral("';persist security catalog=experiment;") +
           QStringLiteral("Initial Catalog='") + quoteConnectionValue(catalog) +
           QStringLiteral("';Data Source='") + quoteConnectionValue(s.host) + QStringLiteral("'");
}

QString ServerDateSql(DbmsKind dbms) {
    switch (dbms) {
    case DbmsKind::PostgreSQL:
        return QStringLiteral("select to_char(current_date,'YYYYMMDD') as day");
    case DbmsKind::SQLite:
        // getdate() is the server's local time; on a single PC the server is this machine.
        return QStringLiteral("select strftime('%Y%m%d','now','localtime') as day");
    case DbmsKind::SqlServer:
    case DbmsKind::Unknown:
        break;
    }
    return QStringLiteral("Select convert(char(8),getdate(),112) as day");
}

QString TrimUpdateFileName(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin].unicode() <= 0x20)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= 0x20)
        --end;
    return text.mid(begin, end - begin);
}

bool SQL_Connect() {
    g_connectError.clear();
    try {
        connectTo(QString::fromUtf8(kMemberCatalog));
        return true;
    } catch (const Exception& e) {
        g_connectError = e.message();
        return false;
    }
}

const QString& SQL_ConnectError() {
    return g_connectError;
}

void SQL_GetServerTime() {
    runQuery(ServerDateSql(ADOConnection1().Dbms()), true);
    ServerDate = ADOQuery1().FieldAsString(QStringLiteral("day"));
}

bool SQL_GetNextVersion() {
    connectTo(QString::fromUtf8(kVersionCatalog));
    runQuery(versionRowSql(InstalledVersion), true);
    if (ADOQuery1().RecordCount() <= 0) {
        ShowMessage(QStringLiteral("錯誤的診斷程式版本!"));
        return false;
    }
    NextVersion = ADOQuery1().FieldAsInteger(QStringLiteral("下一版本"));
    return true;
}

bool SQL_GetUpdateFile() {
    runQuery(versionRowSql(NextVersion), false);
    TADOQuery& query = ADOQuery1();
    if (query.RecordCount() <= 0) {
        showNoUpdateFile();
        return false;
    }
    // The name becomes a local path that is written, run and deleted, and goes into an FTP
    // command: one that could leave the download folder, break the command line or replace one
    // of the program's own files is treated as missing.
    const QString name = TrimUpdateFileName(query.FieldAsString(QStringLiteral("檔名")));
    const QString dir = ExecutableDir();
    if (!IsUsableUpdateFileName(dir, name)) {
        showNoUpdateFile();
        return false;
    }
    // A file of no bytes (or fewer) is no update: an empty download would pass the size check
    // and be run. Refused here, before anything is downloaded, with what the row said.
    const std::int32_t size = query.FieldAsInteger(QStringLiteral("檔案大小"));
    if (size <= 0) {
        LogFile::Write(QStringLiteral("Update file size refused: "), size);
        showNoUpdateFile();
        return false;
    }
    UpdateFileName = name;
    UpdateFileSize = size;
    LogFile::Write(UpdateFileName);
    LogFile::Write(QStringLiteral("DownloadFileSize="), UpdateFileSize);
    DownloadDir = dir;
    return true;
}
