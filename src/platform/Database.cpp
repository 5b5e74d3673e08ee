#include "Database.h"

#include "FileSystem.h"
#include "Numbers.h"
#include "OdbcManager.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlResult>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>

namespace {

// Counting stops here: callers only ask whether there is a row, and a server that streams rows
// without end must not keep the launcher busy.
constexpr int kMaxCountedRows = 1000000;

QString backendMessage(const QSqlError& error) {
    QString text = error.text().trimmed();
    return text.isEmpty() ? QStringLiteral("Unknown database error") : text;
}

bool isControl(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7F || c.category() == QChar::Other_Control;
}

// A value that goes into the ODBC string without braces. Drivers differ in how (and whether) they
// unwrap braces around anything but the password, so these values must not need them.
void checkPlainOdbcValue(const QString& what, const QString& value) {
    static const QString forbidden = QStringLiteral(";{}=");
    const bool bad = std::any_of(value.begin(), value.end(),
                                 [](QChar c) { return isControl(c) || forbidden.contains(c); }) ||
                     value != value.trimmed();
    if (bad)
        throw EDatabaseError(
            QStringLiteral("Invalid character in the database %1 \"%2\"").arg(what, value));
}

QString braced(const QString& value) {
    QString inner = value;
    inner.replace(QLatin1Char('}'), QStringLiteral("}}"));
    return QLatin1Char('{') + inner + QLatin1Char('}');
}

bool isFreeTds(const QString& driver) {
    return driver.contains(QLatin1String("freetds"), Qt::CaseInsensitive) ||
           driver.contains(QLatin1String("tdsodbc"), Qt::CaseInsensitive);
}

// Microsoft's drivers take the port after the host; FreeTDS and psqlODBC take a PORT key.
bool isMicrosoftDriver(const QString& driver) {
    return driver.contains(QLatin1String("SQL Server"), Qt::CaseInsensitive) && !isFreeTds(driver);
}

DbmsKind dbmsFromDriverName(const QString& driver) {
    if (driver.contains(QLatin1String("postgres"), Qt::CaseInsensitive) ||
        driver.contains(QLatin1String("psql"), Qt::CaseInsensitive))
        return DbmsKind::PostgreSQL;
    if (driver.contains(QLatin1String("sqlite"), Qt::CaseInsensitive))
        return DbmsKind::SQLite;
    return DbmsKind::SqlServer;
}

// Each driver's own key for an encrypted link that it must not give up on: without TLS on the
// server, the login fails instead of going on in clear text. A driver without a known key is
// refused for the same reason.
QString encryptionPiece(const QString& driver) {
    if (isFreeTds(driver))
        return QStringLiteral("Encryption=require;");
    if (isMicrosoftDriver(driver))
        return QStringLiteral("Encrypt=yes;");
    if (dbmsFromDriverName(driver) == DbmsKind::PostgreSQL)
        return QStringLiteral("SSLMode=require;");
    throw EDatabaseError(
        QString::fromLatin1(kNoEncryptionPrefix) +
        QStringLiteral("no known way to ask the ODBC driver \"%1\" for encryption").arg(driver));
}

// Connection-string pieces ("key=value", separated by ';'). i is the reading position in text.

// Passes blanks and empty pieces; false at the end of the text.
bool skipToNextPiece(const QString& text, qsizetype& i) {
    while (i < text.size() && (text[i].isSpace() || text[i] == QLatin1Char(';')))
        ++i;
    return i < text.size();
}

// The key up to its '=', which is passed too. A piece without '=' cannot be told from a value
// that lost its key, so it is refused.
QString readPieceKey(const QString& text, qsizetype& i) {
    QString key;
    while (i < text.size() && text[i] != QLatin1Char('=')) {
        if (text[i] == QLatin1Char(';'))
            throw EDatabaseError(
                QStringLiteral("Invalid connection string: \"%1\" has no value").arg(key));
        key += text[i++];
    }
    if (i >= text.size())
        throw EDatabaseError(
            QStringLiteral("Invalid connection string: \"%1\" has no value").arg(key));
    ++i;
    return key;
}

// A value in quotes, the opening quote at i: a doubled quote stands for one, and only blanks
// may follow the closing one, so that nothing after it can pass for part of the value.
QString readQuotedValue(const QString& text, qsizetype& i, const QString& key) {
    const qsizetype n = text.size();
    const QChar quote = text[i++];
    QString value;
    bool closed = false;
    while (i < n) {
        if (text[i] == quote) {
            if (i + 1 < n && text[i + 1] == quote) {
                value += quote;
                i += 2;
                continue;
            }
            ++i;
            closed = true;
            break;
        }
        value += text[i++];
    }
    if (!closed)
        throw EDatabaseError(
            QStringLiteral("Invalid connection string: unterminated quote in \"%1\"")
                .arg(key.trimmed()));
    while (i < n && text[i].isSpace())
        ++i;
    if (i < n && text[i] != QLatin1Char(';'))
        throw EDatabaseError(
            QStringLiteral("Invalid connection string: text after the value of \"%1\"")
                .arg(key.trimmed()));
    return value;
}

// The value after '=': quoted, or up to the next ';' without the blanks around it.
QString readPieceValue(const QString& text, qsizetype& i, const QString& key) {
    while (i < text.size() && text[i].isSpace())
        ++i;
    if (i < text.size() && (text[i] == QLatin1Char('\'') || text[i] == QLatin1Char('"')))
        return readQuotedValue(text, i, key);
    QString value;
    while (i < text.size() && text[i] != QLatin1Char(';'))
        value += text[i++];
    return value.trimmed();
}

// The ConnectionKeys field that a key fills (0 password, 1 user, 2 catalog, 3 host), with the
// ODBC spellings that people also write; -1 for keys the backends ignore.
int keySlot(const QString& key) {
    const QString name = key.simplified().toLower();
    if (name == QLatin1String("password") || name == QLatin1String("pwd"))
        return 0;
    if (name == QLatin1String("user id") || name == QLatin1String("uid"))
        return 1;
    if (name == QLatin1String("initial catalog") || name == QLatin1String("database"))
        return 2;
    if (name == QLatin1String("data source") || name == QLatin1String("server"))
        return 3;
    return -1;
}

QString nextConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("pcv-ado-%1").arg(++counter);
}

// QODBC hands out its SQLHDBC and SQLHSTMT as a void* in a QVariant; any other type is not an
// ODBC handle.
SQLHANDLE odbcHandle(const QVariant& handle) {
    if (!handle.isValid() || handle.metaType() != QMetaType::fromType<SQLHANDLE>())
        return nullptr;
    return *static_cast<const SQLHANDLE*>(handle.constData());
}

// Sets the statement time-out on the ODBC connection, as the default of all its statements.
// psqlODBC turns it into statement_timeout on the server; a driver that refuses it leaves the
// watchdog as the bound.
void setOdbcQueryTimeout(const QSqlDatabase& db, int seconds) {
    using SetConnectAttr = SQLRETURN(SQL_API*)(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER);
    const auto set = reinterpret_cast<SetConnectAttr>(odbcManagerFunction("SQLSetConnectAttr"));
    if (SQLHANDLE hdbc = odbcHandle(db.driver()->handle()); hdbc && set)
        set(hdbc, SQL_ATTR_QUERY_TIMEOUT,
            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), SQL_IS_UINTEGER);
}

// Whether the driver knows its link to the server to be gone. QtSql ignores the failures of the
// statements it runs inside the opening, so an opening during which the server stopped answering
// (and the driver gave up on it) still reports success.
bool odbcConnectionDead(const QSqlDatabase& db) {
    using GetConnectAttr =
        SQLRETURN(SQL_API*)(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER, SQLINTEGER*);
    const auto get = reinterpret_cast<GetConnectAttr>(odbcManagerFunction("SQLGetConnectAttr"));
    SQLHANDLE hdbc = odbcHandle(db.driver()->handle());
    if (!hdbc || !get)
        return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN r = get(hdbc, SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr);
    return SQL_SUCCEEDED(r) && dead == SQL_CD_TRUE;
}

// Asks the driver to stop a statement that another thread is running (ODBC allows SQLCancel from
// any thread for this). It ends the call only when the server acknowledges.
void cancelOdbcStatement(SQLHANDLE hstmt) {
    using Cancel = SQLRETURN(SQL_API*)(SQLHSTMT);
    const auto cancel = reinterpret_cast<Cancel>(odbcManagerFunction("SQLCancel"));
    if (hstmt && cancel)
        cancel(hstmt);
}

using Millis = std::chrono::milliseconds;
constexpr Millis kCancelAfterTimeout{500}; // the drivers' own time-out has its turn first
constexpr Millis kCutAfterCancel{1000};    // a server that acknowledges does so at once
static_assert(kCancelAfterTimeout + kCutAfterCancel < std::chrono::seconds(kStatementMarginSeconds),
              "the call must still have time to return after the cut");

// Watches one call into the driver that must end by a deadline. At the deadline it notes whether
// the server is still sending and cancels through ODBC when there is a statement to cancel; if
// the call is still running kCutAfterCancel later (at once when there was nothing to cancel), it
// cuts the driver's sockets. Where the system gives no way to find them (see DriverSockets.h), the
// cancel and the drivers' own time-outs are all there is, and the call ends when the driver
// returns. The destructor stops the watch (and waits for a cancel or cut in progress).
class DriverWatchdog {
public:
    // Cancelled: the deadline passed (and the statement, if any, was cancelled); Cut: then the
    // driver's sockets were shut under it.
    enum class Stage { Waiting, Cancelled, Cut };
    // Whether the server was sending near the deadline; Unknown where it cannot be measured.
    enum class Receiving { Unknown, No, Yes };

    // cancel: null when there is nothing to cancel. sockets: the driver's sockets at the moment
    // they are needed (the opening learns them only as the driver makes them).
    DriverWatchdog(Millis deadline, std::function<void()> cancel,
                   std::function<std::vector<SocketIdentity>()> sockets)
        : cancel_(std::move(cancel)), sockets_(std::move(sockets)) {
        thread_ = std::thread([this, deadline] { run(deadline); });
    }
    ~DriverWatchdog() { stop(); }
    // Ends the watch; afterwards stage() and receiving() no longer change.
    void stop() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    DriverWatchdog(const DriverWatchdog&) = delete;
    DriverWatchdog& operator=(const DriverWatchdog&) = delete;

    Stage stage() const { return stage_.load(); }
    // Whether the server was still sending in the second half of the time before the deadline:
    // a driver's own exchanges at the start of a call (psqlODBC sets the statement time-out
    // first) do not make a server that then went silent look busy.
    Receiving receiving() const { return receiving_.load(); }

private:
    void run(Millis deadline) {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_until(lock, start + deadline / 2, [this] { return done_; }))
            return;
        const std::optional<std::uint64_t> halfway = bytesReceived(sockets_());
        if (wake_.wait_until(lock, start + deadline, [this] { return done_; }))
            return;
        const std::optional<std::uint64_t> atDeadline = bytesReceived(sockets_());
        if (halfway && atDeadline)
            receiving_ = *atDeadline > *halfway ? Receiving::Yes : Receiving::No;
        stage_ = Stage::Cancelled;
        if (!cancel_) { // nothing to wait for before the cut
            const std::vector<SocketIdentity> cut = sockets_();
            if (!cut.empty())
                stage_ = Stage::Cut;
            shutDownSockets(cut);
            return;
        }
        // The cancel runs beside the watch: a driver may cancel over a connection of its own
        // (psqlODBC through libpq waits for the server to close it), which a hostile server can
        // hold as long as the statement itself.
        const std::vector<SocketIdentity> beforeCancel = openSockets();
        std::thread canceller([this] {
            cancel_();
            const std::lock_guard<std::mutex> guard(mutex_);
            cancelReturned_ = true;
            wake_.notify_all();
        });
        wake_.wait_until(lock, start + deadline + kCutAfterCancel,
                         [this] { return done_ && cancelReturned_; });
        std::vector<SocketIdentity> cut;
        if (!done_) {
            cut = sockets_();
            if (!cut.empty())
                stage_ = Stage::Cut;
        }
        if (!cancelReturned_) {
            const std::vector<SocketIdentity> cancels = socketsOpenedSince(beforeCancel);
            cut.insert(cut.end(), cancels.begin(), cancels.end());
        }
        shutDownSockets(cut);
        lock.unlock();
        canceller.join();
    }

    std::function<void()> cancel_;
    std::function<std::vector<SocketIdentity>()> sockets_;
    std::atomic<Stage> stage_{Stage::Waiting};
    std::atomic<Receiving> receiving_{Receiving::Unknown};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool cancelReturned_ = false;
    std::thread thread_;
};

// What a statement that the watchdog had to stop did: the error names the difference between a
// server that sent nothing and one that kept sending without finishing, where it is known.
QString statementTimeoutMessage(const DriverWatchdog& watchdog, int seconds,
                                const QString& driverMessage) {
    QString message;
    switch (watchdog.receiving()) {
    case DriverWatchdog::Receiving::Yes:
        message = QStringLiteral("Query timeout expired: the server did not finish answering "
                                 "within %1 s")
                      .arg(seconds);
        break;
    case DriverWatchdog::Receiving::No:
        message = QStringLiteral("Query timeout expired: no answer from the server within %1 s")
                      .arg(seconds);
        break;
    case DriverWatchdog::Receiving::Unknown:
        message = QStringLiteral("Query timeout expired: no complete answer from the server "
                                 "within %1 s")
                      .arg(seconds);
        break;
    }
    // After a cancel the driver's own words say how the server took it; after a cut they only
    // say that the link is gone.
    if (watchdog.stage() == DriverWatchdog::Stage::Cancelled && !driverMessage.isEmpty())
        message += QStringLiteral(" (%1)").arg(driverMessage);
    return message;
}

// Qt 6.4's ODBC driver does not name every DBMS (PostgreSQL among them): then the configured
// driver's name decides.
DbmsKind connectedDbms(const QSqlDatabase& db, const QString& driverName) {
    switch (db.driver()->dbmsType()) {
    case QSqlDriver::MSSqlServer:
    case QSqlDriver::Sybase:
        return DbmsKind::SqlServer;
    case QSqlDriver::PostgreSQL:
        return DbmsKind::PostgreSQL;
    case QSqlDriver::SQLite:
        return DbmsKind::SQLite;
    default:
        return dbmsFromDriverName(driverName);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Connection strings

ConnectionKeys parseConnectionString(const QString& text) {
    ConnectionKeys keys;
    QString* const targets[4] = {&keys.password, &keys.userId, &keys.initialCatalog,
                                 &keys.dataSource};
    bool seen[4] = {false, false, false, false};
    qsizetype i = 0;
    while (skipToNextPiece(text, i)) {
        const QString key = readPieceKey(text, i);
        const QString value = readPieceValue(text, i, key);
        const int slot = keySlot(key);
        if (slot < 0)
            continue; // Provider and the other keys mean nothing to these backends
        if (seen[slot])
            throw EDatabaseError(
                QStringLiteral("Invalid connection string: \"%1\" given twice").arg(key.trimmed()));
        seen[slot] = true;
        *targets[slot] = value;
    }
    return keys;
}

QString quoteConnectionValue(const QString& value) {
    QString quoted = value;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    return quoted;
}

QString odbcConnectionString(const ConnectionKeys& keys, const ServerSettings& settings) {
    const QString driver = settings.dbDriver.trimmed();
    if (driver.isEmpty() || driver.contains(QLatin1Char('}')) ||
        std::any_of(driver.begin(), driver.end(), isControl))
        throw EDatabaseError(QStringLiteral("Invalid ODBC driver name \"%1\"").arg(driver));
    checkPlainOdbcValue(QStringLiteral("server"), keys.dataSource);
    checkPlainOdbcValue(QStringLiteral("catalog"), keys.initialCatalog);
    checkPlainOdbcValue(QStringLiteral("user"), keys.userId);
    if (keys.password.contains(QChar(0)))
        throw EDatabaseError(QStringLiteral("Invalid character in the database password"));

    const QString port = settings.dbPort.trimmed();
    if (!port.isEmpty()) {
        bool ok = false;
        const int number = port.toInt(&ok);
        const bool digitsOnly =
            std::all_of(port.begin(), port.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (!ok || !digitsOnly || number < 1 || number > 65535)
            throw EDatabaseError(QStringLiteral("Invalid database port \"%1\"").arg(port));
    }

    QString s = QStringLiteral("DRIVER={%1};").arg(driver);
    if (isMicrosoftDriver(driver)) {
        s += QStringLiteral("SERVER=") + keys.dataSource;
        if (!port.isEmpty())
            s += QLatin1Char(',') + port;
        s += QLatin1Char(';');
    } else {
        s += QStringLiteral("SERVER=") + keys.dataSource + QLatin1Char(';');
        if (!port.isEmpty())
            s += QStringLiteral("PORT=") + port + QLatin1Char(';');
    }
    s += QStringLiteral("DATABASE=") + keys.initialCatalog + QLatin1Char(';');
    s += QStringLiteral("UID=") + keys.userId + QLatin1Char(';');
    s += QStringLiteral("PWD=") + braced(keys.password) + QLatin1Char(';');
    if (isFreeTds(driver)) {
        // Without a fixed protocol version FreeTDS probes old TDS versions first, and with a
        // non-ASCII catalog it then waits on a silent server without any time-out. Its query
        // time-out (Timeout) is kept on the client, so it also ends a wait for a silent server.
        // (0 would mean no time-out at all).
        s += QStringLiteral("TDS_Version=7.4;ClientCharset=UTF-8;Timeout=%1;")
                 .arg(std::clamp(settings.dbQueryTimeout, 1, kMaxQueryTimeoutSeconds));
    }
    if (settings.dbEncrypt)
        s += encryptionPiece(driver);
    return s;
}

QString odbcConnectOptions(int timeoutSeconds) {
    return QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(timeoutSeconds);
}

QString sqliteCatalogPath(const QString& catalog, const ServerSettings& settings) {
    if (catalog.isEmpty() || catalog == QLatin1String(".") || catalog == QLatin1String("..") ||
        catalog.contains(QLatin1Char('/')) || catalog.contains(QLatin1Char('\\')) ||
        std::any_of(catalog.begin(), catalog.end(), isControl))
        throw EDatabaseError(QStringLiteral("Invalid catalog name \"%1\"").arg(catalog));
    return databaseDirectory(settings) + QLatin1Char('/') + catalog + QStringLiteral(".sqlite3");
}

// ---------------------------------------------------------------------------------------------
// TADOConnection

TADOConnection::TADOConnection() : name_(nextConnectionName()) {}

TADOConnection::~TADOConnection() {
    Close();
    for (TADOQuery* query : datasets_)
        query->connection_ = nullptr;
}

void TADOConnection::attach(TADOQuery* query) {
    datasets_.push_back(query);
}

void TADOConnection::detach(TADOQuery* query) {
    datasets_.erase(std::remove(datasets_.begin(), datasets_.end(), query), datasets_.end());
}

void TADOConnection::Close() {
    for (TADOQuery* query : datasets_)
        query->Close();
    if (db_.isValid())
        db_.close();
    // The last handle on the connection must be gone before QtSql can drop it without a warning.
    db_ = QSqlDatabase();
    if (QSqlDatabase::contains(name_))
        QSqlDatabase::removeDatabase(name_);
    dbms_ = DbmsKind::Unknown;
    sockets_.clear();
}

void TADOConnection::Open() {
    if (Connected())
        return;
    Close();
    const ConnectionKeys keys = parseConnectionString(connectionString_);
    const ServerSettings& settings = serverSettings();
    queryTimeout_ = std::clamp(settings.dbQueryTimeout, 1, kMaxQueryTimeoutSeconds);
    const QString backend = settings.dbBackend.trimmed().toLower();
    if (backend == QLatin1String("sqlite"))
        openSqliteCatalog(keys, settings);
    else if (backend == QLatin1String("odbc"))
        openOdbcServer(keys, settings);
    else
        throw EDatabaseError(
            QStringLiteral("Unknown database backend \"%1\"").arg(settings.dbBackend));
}

void TADOConnection::fail(const QString& message) {
    Close();
    throw EDatabaseError(message);
}

void TADOConnection::openSqliteCatalog(const ConnectionKeys& keys, const ServerSettings& settings) {
    const QString path = sqliteCatalogPath(keys.initialCatalog, settings);
    // A missing catalog is a server that cannot be reached; opening it must never create it.
    // Only a regular file is handed to SQLite, whose open would wait on a FIFO for ever.
    if (const QString problem = RegularFileProblem(path); !problem.isEmpty())
        throw EDatabaseError(
            QStringLiteral("unable to open database file %1: %2").arg(path, problem));
    db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
    if (!db_.isValid())
        fail(QStringLiteral("The SQLite driver is not available"));
    db_.setDatabaseName(path);
    // A catalog locked by a writer is waited for as long as a statement may take.
    db_.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(queryTimeout_ * 1000));
    if (!db_.open())
        fail(backendMessage(db_.lastError()));
    // SQLite reads the file only on the first statement: read the schema now, so that a file
    // that is not a database counts as unreachable like a server that does not answer.
    QString probeError;
    {
        QSqlQuery probe(db_);
        if (!probe.exec(QStringLiteral("select count(*) from sqlite_master")))
            probeError = backendMessage(probe.lastError());
    }
    if (!probeError.isEmpty())
        fail(probeError);
    dbms_ = DbmsKind::SQLite;
}

void TADOConnection::openOdbcServer(const ConnectionKeys& keys, const ServerSettings& settings) {
    const QString odbc = odbcConnectionString(keys, settings);
    db_ = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), name_);
    if (!db_.isValid())
        fail(QStringLiteral("The ODBC driver is not available"));
    db_.setDatabaseName(odbc);
    db_.setConnectOptions(odbcConnectOptions(kConnectionTimeoutSeconds));
    // The sockets that the driver opens for this connection are the ones a watchdog may cut.
    const std::vector<SocketIdentity> before = openSockets();
    // The opening is the login and then the statements that QtSql's ODBC driver runs on its own
    // (the type descriptions, quoted identifiers), one call without a statement handle to cancel
    // and without a way to see where the login ends: it has the two time-outs together.
    const int openSeconds = kConnectionTimeoutSeconds + queryTimeout_;
    DriverWatchdog watchdog(std::chrono::seconds(openSeconds) + kCancelAfterTimeout, nullptr,
                            [&before] { return socketsOpenedSince(before); });
    const bool opened = db_.open();
    watchdog.stop();
    if (watchdog.stage() != DriverWatchdog::Stage::Waiting)
        fail(QStringLiteral("Connection timeout expired: the server did not finish opening the "
                            "connection within %1 s")
                 .arg(openSeconds));
    if (!opened) {
        if (settings.dbEncrypt)
            fail(QString::fromLatin1(kNoEncryptionPrefix) + backendMessage(db_.lastError()));
        fail(backendMessage(db_.lastError()));
    }
    if (odbcConnectionDead(db_))
        fail(QStringLiteral("Connection lost: the server stopped answering while the connection "
                            "was opened"));
    sockets_ = socketsOpenedSince(before);
    setOdbcQueryTimeout(db_, queryTimeout_);
    dbms_ = connectedDbms(db_, settings.dbDriver);
}

// ---------------------------------------------------------------------------------------------
// TADOQuery

TADOQuery::~TADOQuery() {
    if (connection_)
        connection_->detach(this);
}

void TADOQuery::SetConnection(TADOConnection* connection) {
    if (connection == connection_)
        return;
    Close();
    if (connection_)
        connection_->detach(this);
    connection_ = connection;
    if (connection_)
        connection_->attach(this);
}

void TADOQuery::Close() {
    active_ = false;
    recordCount_ = 0;
    record_ = QSqlRecord();
}

void TADOQuery::Open() {
    Close();
    if (!connection_ || !connection_->Connected())
        throw EDatabaseError(QStringLiteral("Missing Connection or ConnectionString"));
    if (sql_.trimmed().isEmpty())
        throw EDatabaseError(QStringLiteral("CommandText does not return a result set"));

    QSqlRecord record;
    int count = 0;
    QString failure;
    {
        QSqlQuery query(connection_->db_);
        query.setForwardOnly(true);
        // SQLite waits for a locked catalog with its own busy time-out and has no link to cut.
        std::optional<DriverWatchdog> watchdog;
        if (connection_->dbms_ != DbmsKind::SQLite) {
            // QtSql allocates the statement handle inside exec, before it calls the driver; the
            // watchdog reads it only at the deadline, long after.
            watchdog.emplace(
                std::chrono::seconds(connection_->queryTimeout_) + kCancelAfterTimeout,
                [&query] { cancelOdbcStatement(odbcHandle(query.result()->handle())); },
                [sockets = connection_->sockets_] { return sockets; });
        }
        // Prepared is a hint for commands run again with parameters; these run once and carry
        // none, so they are executed directly (psqlODBC also leaks memory on a failed prepare).
        if (!query.exec(sql_)) {
            failure = backendMessage(query.lastError());
        } else if (!query.isSelect()) {
            failure = QStringLiteral("CommandText does not return a result set");
        } else {
            // Forward-only results do not know their size (QtSql reports -1): count while
            // reading.
            record = query.record();
            if (query.next()) {
                record = query.record();
                count = 1;
                while (count < kMaxCountedRows && query.next())
                    ++count;
            }
            if (query.lastError().isValid())
                failure = backendMessage(query.lastError());
        }
        // Whatever the driver reports after the watchdog had to step in, the statement outlived
        // its time: a result that came after a cancel may be cut short.
        if (watchdog) {
            watchdog->stop();
            if (watchdog->stage() != DriverWatchdog::Stage::Waiting)
                failure = statementTimeoutMessage(*watchdog, connection_->queryTimeout_, failure);
        }
    }
    if (!failure.isEmpty())
        throw EDatabaseError(failure);
    record_ = record;
    recordCount_ = count;
    active_ = true;
}

QVariant TADOQuery::field(const QString& name) const {
    if (!active_)
        throw EDatabaseError(QStringLiteral("Cannot perform this operation on a closed dataset"));
    const int index = record_.indexOf(name);
    if (index < 0)
        throw EDatabaseError(QStringLiteral("Field '%1' not found").arg(name));
    if (recordCount_ <= 0)
        return QVariant();
    return record_.value(index);
}

QString TADOQuery::FieldAsString(const QString& name) const {
    const QVariant value = field(name);
    return value.isNull() ? QString() : value.toString();
}

std::int32_t TADOQuery::FieldAsInteger(const QString& name) const {
    const QVariant value = field(name);
    if (value.isNull())
        return 0;
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return value.toBool() ? 1 : 0;
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong: {
        const qlonglong v = value.toLongLong();
        if (v < lo || v > hi)
            throwNotAnInteger(value.toString());
        return static_cast<std::int32_t>(v);
    }
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        const qulonglong v = value.toULongLong();
        if (v > static_cast<qulonglong>(hi))
            throwNotAnInteger(value.toString());
        return static_cast<std::int32_t>(v);
    }
    case QMetaType::Float:
    case QMetaType::Double: {
        const double v = value.toDouble();
        if (!std::isfinite(v) || v != std::trunc(v) || v < lo || v > hi)
            throwNotAnInteger(value.toString());
        return static_cast<std::int32_t>(v);
    }
    default:
        return StrToInt32(value.toString(), Blanks::Around);
    }
}
