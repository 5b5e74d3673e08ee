#pragma once
// The update database queries: is the server reachable, its date, the next version of the
// product line's diagnostics program, and the file that installs it. Results go to the
// process-wide values of Globals.h; the two "no row" cases show their own message.
#include "platform/Database.h"

#include <QString>

inline constexpr const char* kMemberCatalog = "會員資料";  // reachability test and server date
inline constexpr const char* kVersionCatalog = "軟體版本"; // table pcvelka
inline constexpr const char* kVersionTable = "pcvelka";

// The connection string for a catalog, from the login and host of the update-server settings.
QString ConnectionString(const QString& catalog);

// The server-date query for the connected kind of server; the result column is "day".
QString ServerDateSql(DbmsKind dbms);

// Drops leading and trailing blanks and control characters (everything up to U+0020).
QString TrimUpdateFileName(const QString& text);

// The connection to "會員資料"; false when the server cannot be reached (errors of the database
// layer are caught here and nowhere else).
bool SQL_Connect();
// The database layer's message for the last SQL_Connect that returned false; empty otherwise.
const QString& SQL_ConnectError();
// ServerDate := the server's date, eight digits. Errors escape.
void SQL_GetServerTime();
// Reconnects to "軟體版本" and reads the installed version's row: NextVersion, or the message
// "錯誤的診斷程式版本!" and false. Errors escape.
bool SQL_GetNextVersion();
// Reads NextVersion's row on the connection left by SQL_GetNextVersion: UpdateFileName,
// UpdateFileSize, DownloadDir and two log lines, or the "更新檔名不存在!" message and false
// (a name that cannot be used, or a size of 0 or less, which is also logged in one line).
bool SQL_GetUpdateFile();

// The connection and query that the four operations share; they live until
// ReleaseUpdateDatabase, which also runs when the application object is destroyed.
TADOConnection& ADOConnection1();
TADOQuery& ADOQuery1();
void ReleaseUpdateDatabase();
