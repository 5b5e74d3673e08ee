#pragma once
// The update database, standing in for the framework's ADO connection and query components.
//
// A connection takes an OLE DB style connection string ("Password='…';User ID='…';Initial
// Catalog='…';Data Source='…'") and opens the backend that the update-server settings name:
// "odbc" through QtSql's ODBC driver (SQL Server through FreeTDS, PostgreSQL through psqlODBC)
// or "sqlite" through QtSql's SQLite driver, one read-only file per catalog. Every failure of the
// backend is raised as EDatabaseError carrying the driver's message.
#include "DriverSockets.h"
#include "Exception.h"
#include "Settings.h"

#include <QSqlDatabase>
#include <QSqlRecord>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

class DriverThread;
struct DriverSession;

// The keys of a connection string that the backends use; the others (Provider, …) are ignored.
struct ConnectionKeys {
    QString password;       // Password
    QString userId;         // User ID
    QString initialCatalog; // Initial Catalog
    QString dataSource;     // Data Source
};

// Parses "key=value;key='value';…". Keys are case-insensitive; a value in single or double quotes
// may hold ';' and '=', and a doubled quote inside stands for one quote. Raises EDatabaseError on
// an unterminated quote, text after a closing quote, or one of the four keys given twice.
ConnectionKeys parseConnectionString(const QString& text);

// The value for a single-quoted connection-string piece: every quote doubled, so that a quote or
// a ';' in a password or host can never end the value and add a key of its own.
QString quoteConnectionValue(const QString& value);

// Seconds a connection attempt may take before the server counts as unreachable.
inline constexpr int kConnectionTimeoutSeconds = 5;

// The ODBC connection string for the keys and settings (driver, port). Raises EDatabaseError for
// a value that the ODBC syntax cannot carry safely (';', braces, control characters in the
// host, catalog, user or port). The password travels in braces and may hold anything but NUL.
QString odbcConnectionString(const ConnectionKeys& keys, const ServerSettings& settings);
// The driver-manager options for QODBC: the login time-out.
QString odbcConnectOptions(int timeoutSeconds);

// Every statement ends within the query time-out plus this margin, whatever the server sends
// (nothing, a reply that never ends, a reply one byte at a time). Every call into the driver runs
// on a thread of the connection's own (DriverThread.h). Half a second past the time-out the
// caller cancels the statement through ODBC (SQLCancel), which ends it when the server
// acknowledges; a second later, if the driver is still waiting, the connection is cut under it
// where the system lets its sockets be found (DriverSockets.h); and if the call has not returned
// even then, it is given up: the caller gets the time-out error, and the connection is closed.
// The connection's opening (the login and the statements the ODBC layer runs on its own) ends
// within the login time-out plus the query time-out plus this margin.
inline constexpr int kStatementMarginSeconds = 2;

// The start of an error raised when Encrypt=yes and the encrypted connection could not be made;
// the driver's reason follows. Some drivers (FreeTDS) report a server without TLS only as a
// failure to connect, so that the reason alone would not say that encryption was asked for.
inline constexpr const char* kNoEncryptionPrefix = "No encrypted connection (Encrypt=yes): ";

// The SQLite file of a catalog: "<catalog>.sqlite3" in databaseDirectory(settings). Raises
// EDatabaseError for a catalog name that would leave the directory.
QString sqliteCatalogPath(const QString& catalog, const ServerSettings& settings);

enum class DbmsKind { Unknown, SqlServer, PostgreSQL, SQLite };

class TADOQuery;

class TADOConnection {
public:
    TADOConnection();
    ~TADOConnection();
    TADOConnection(const TADOConnection&) = delete;
    TADOConnection& operator=(const TADOConnection&) = delete;

    void SetConnectionString(const QString& text) { connectionString_ = text; }
    const QString& ConnectionString() const { return connectionString_; }

    // Connected := true, with the settings in force. A server that does not answer within
    // kConnectionTimeoutSeconds, a refused login, a missing catalog, an opening that outlived its
    // bound (see kStatementMarginSeconds), a connection that died while it opened:
    // EDatabaseError. Every statement on the connection then gives up after the settings' query
    // time-out.
    void Open();
    // Closes the datasets using this connection, then the connection. Does nothing when closed.
    void Close();
    bool Connected() const { return connected_; }

    // The kind of server connected to (Unknown while closed).
    DbmsKind Dbms() const { return dbms_; }

private:
    friend class TADOQuery;
    void attach(TADOQuery* query);
    void detach(TADOQuery* query);
    void openSqliteCatalog(const ConnectionKeys& keys, const ServerSettings& settings);
    void openOdbcServer(const ConnectionKeys& keys, const ServerSettings& settings);
    // Closes what was opened so far, then raises EDatabaseError.
    [[noreturn]] void fail(const QString& message);
    // After a call on the driver thread outlived its bound: the thread and the driver's side of
    // the connection are left to that call (see DriverThread.h), and the connection is closed.
    void giveUpDriver();
    // What Close and giveUpDriver end with: the datasets, the driver thread and its side go.
    void dropDriver();

    QString connectionString_;
    std::unique_ptr<DriverThread> driverThread_; // where every call on the driver runs
    std::shared_ptr<DriverSession> session_;     // the driver's side, used on that thread only
    bool connected_ = false;
    DbmsKind dbms_ = DbmsKind::Unknown;
    std::vector<TADOQuery*> datasets_;
    int queryTimeout_ = 0;                // seconds, from the settings at Open
    std::vector<SocketIdentity> sockets_; // the ODBC driver's sockets to the server
};

// A query dataset. Open runs the SQL text and keeps the first row and the number of rows; the
// backend's cursor is released at once, so nothing holds the connection between calls.
class TADOQuery {
public:
    TADOQuery() = default;
    ~TADOQuery();
    TADOQuery(const TADOQuery&) = delete;
    TADOQuery& operator=(const TADOQuery&) = delete;

    void Close();
    void ClearSql() { sql_.clear(); }
    void SetSql(const QString& text) { sql_ = text; }
    const QString& Sql() const { return sql_; }
    void SetConnection(TADOConnection* connection);
    TADOConnection* Connection() const { return connection_; }
    // Kept for the callers' sake; the result is the same either way (see Open).
    void SetPrepared(bool prepared) { prepared_ = prepared; }
    bool Prepared() const { return prepared_; }

    // Runs the SQL text on the connection. EDatabaseError when there is no open connection, the
    // backend refuses the statement, or it has not finished within the query time-out (locked
    // rows, a server that stopped answering or answers without end); the message then says
    // whether the server sent nothing at all or did not finish its answer, where the system lets
    // that be measured ("no complete answer" where not).
    void Open();
    bool Active() const { return active_; }

    // Rows of the result; 0 when there is none (also after Close).
    int RecordCount() const { return active_ ? recordCount_ : 0; }

    // Fields of the first row by name (case-insensitive). A NULL value gives "" and 0. A name that
    // is not a column: EDatabaseError. A value that is not a 32-bit integer: EConvertError.
    QString FieldAsString(const QString& name) const;
    std::int32_t FieldAsInteger(const QString& name) const;

private:
    friend class TADOConnection;
    QVariant field(const QString& name) const;

    TADOConnection* connection_ = nullptr;
    QString sql_;
    bool prepared_ = false;
    bool active_ = false;
    int recordCount_ = 0;
    QSqlRecord record_; // columns, with the first row's values when there is one
};
