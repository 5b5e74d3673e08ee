#include "Database.h"

#include "DriverThread.h"
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

// The driver's side of a connection, which the jobs on the driver thread work on. Shared with
// each job, so that a call that was given up keeps it for as long as the call runs.
struct DriverSession {
    QSqlDatabase db;
};

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
using Clock = DriverThread::Clock;
constexpr Millis kCancelAfterTimeout{500}; // the drivers' own time-out has its turn first
constexpr Millis kCutAfterCancel{1000};    // a server that acknowledges does so at once
constexpr Millis kGiveUpAfterCut{350};     // a driver whose link was cut returns at once
constexpr Millis kGiveUpAfterTimeout = kCancelAfterTimeout + kCutAfterCancel + kGiveUpAfterCut;
static_assert(kGiveUpAfterTimeout < std::chrono::seconds(kStatementMarginSeconds),
              "a call given up must leave its caller time to report it within the margin");

// A connection outside QtSql's list of named connections. That list's clean-up at the end of the
// process closes each driver in it, and would wait for ever on one that a given-up call still
// holds; a connection of the launcher's own is closed on its driver thread, or never.
class UnlistedDatabase : public QSqlDatabase {
public:
    explicit UnlistedDatabase(const QString& type) : QSqlDatabase(type) {}
};

// A cancel, run beside the call it cancels: a driver may cancel over a connection of its own
// (psqlODBC through libpq waits for the server to close it), which a hostile server can hold as
// long as the statement itself. Shared with its thread, which may outlive the watch.
class Canceller {
public:
    static std::shared_ptr<Canceller> start(std::function<void()> cancel) {
        auto self = std::make_shared<Canceller>();
        std::thread([self, cancel = std::move(cancel)] {
            cancel();
            {
                const std::lock_guard<std::mutex> lock(self->mutex_);
                self->returned_ = true;
            }
            self->wake_.notify_all();
        }).detach();
        return self;
    }
    bool waitUntil(Clock::time_point when) {
        std::unique_lock<std::mutex> lock(mutex_);
        return wake_.wait_until(lock, when, [this] { return returned_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool returned_ = false;
};

// What happened while a driver call was watched.
struct CallWatch {
    // Cancelled: the deadline passed (and the statement, if any, was cancelled); Cut: then the
    // driver's sockets were shut under it.
    enum class Stage { Waiting, Cancelled, Cut };
    // Whether the server was sending near the deadline; Unknown where it cannot be measured.
    enum class Receiving { Unknown, No, Yes };
    Stage stage = Stage::Waiting;
    Receiving receiving = Receiving::Unknown;
    bool finished = true; // false: the call was given up
};

// Waits for one call on the driver thread that must end by a deadline. At the deadline it notes
// whether the server is still sending and cancels through ODBC when there is a statement to
// cancel; if the call is still running kCutAfterCancel later (at once when there was nothing to
// cancel), it cuts the driver's sockets; kGiveUpAfterCut after that the call is given up. Where the
// system gives no way to find the sockets (see DriverSockets.h), the cancel and the drivers' own
// time-outs end what they can, and giving up ends the rest.
// cancel: null when there is nothing to cancel. sockets: the driver's sockets at the moment they
// are needed (the opening learns them only as the driver makes them).
CallWatch watchDriverCall(DriverThread::Call& call, Millis deadline, std::function<void()> cancel,
                          const std::function<std::vector<SocketIdentity>()>& sockets) {
    CallWatch watch;
    const auto start = Clock::now();
    if (call.waitUntil(start + deadline / 2))
        return watch;
    // The second half of the wait only: a driver's own exchanges at the start of a call
    // (psqlODBC sets the statement time-out first) do not make a server that then went silent
    // look busy.
    const std::optional<std::uint64_t> halfway = bytesReceived(sockets());
    if (call.waitUntil(start + deadline))
        return watch;
    const std::optional<std::uint64_t> atDeadline = bytesReceived(sockets());
    if (halfway && atDeadline)
        watch.receiving =
            *atDeadline > *halfway ? CallWatch::Receiving::Yes : CallWatch::Receiving::No;
    watch.stage = CallWatch::Stage::Cancelled;
    std::vector<SocketIdentity> cut;
    const auto cutAt = start + deadline + (cancel ? kCutAfterCancel : Millis(0));
    if (!cancel) {
        cut = sockets();
    } else {
        const std::vector<SocketIdentity> beforeCancel = openSockets();
        const std::shared_ptr<Canceller> canceller = Canceller::start(std::move(cancel));
        const bool finished = call.waitUntil(cutAt);
        if (!finished)
            cut = sockets();
        if (!canceller->waitUntil(finished ? Clock::now() : cutAt)) {
            const std::vector<SocketIdentity> cancels = socketsOpenedSince(beforeCancel);
            cut.insert(cut.end(), cancels.begin(), cancels.end());
        }
        if (finished && cut.empty())
            return watch;
    }
    if (!cut.empty() && !call.waitUntil(Clock::now()))
        watch.stage = CallWatch::Stage::Cut;
    shutDownSockets(cut);
    watch.finished = call.waitUntil(cutAt + kGiveUpAfterCut);
    return watch;
}

// What a statement that the watchdog had to stop did: the error names the difference between a
// server that sent nothing and one that kept sending without finishing, where it is known.
QString statementTimeoutMessage(const CallWatch& watch, int seconds, const QString& driverMessage) {
    QString message;
    switch (watch.receiving) {
    case CallWatch::Receiving::Yes:
        message = QStringLiteral("Query timeout expired: the server did not finish answering "
                                 "within %1 s")
                      .arg(seconds);
        break;
    case CallWatch::Receiving::No:
        message = QStringLiteral("Query timeout expired: no answer from the server within %1 s")
                      .arg(seconds);
        break;
    case CallWatch::Receiving::Unknown:
        message = QStringLiteral("Query timeout expired: no complete answer from the server "
                                 "within %1 s")
                      .arg(seconds);
        break;
    }
    // After a cancel the driver's own words say how the server took it; after a cut they only
    // say that the link is gone.
    if (watch.stage == CallWatch::Stage::Cancelled && !driverMessage.isEmpty())
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

TADOConnection::TADOConnection() = default;

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
    if (driverThread_ && session_) {
        // Closing tells the server goodbye; a server that holds even that is not waited for
        // longer than a login.
        auto call = driverThread_->post([session = session_] {
            session->db.close();
            session->db = QSqlDatabase();
        });
        if (!call->waitUntil(Clock::now() + std::chrono::seconds(kConnectionTimeoutSeconds)))
            driverThread_->giveUp();
    }
    dropDriver();
}

void TADOConnection::giveUpDriver() {
    if (driverThread_)
        driverThread_->giveUp();
    dropDriver();
}

void TADOConnection::dropDriver() {
    for (TADOQuery* query : datasets_)
        query->Close();
    session_.reset();
    driverThread_.reset(); // joins it, or leaves it to a call that was given up
    connected_ = false;
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
    if (backend != QLatin1String("sqlite") && backend != QLatin1String("odbc"))
        throw EDatabaseError(
            QStringLiteral("Unknown database backend \"%1\"").arg(settings.dbBackend));
    driverThread_ = std::make_unique<DriverThread>();
    session_ = std::make_shared<DriverSession>();
    if (backend == QLatin1String("sqlite"))
        openSqliteCatalog(keys, settings);
    else
        openOdbcServer(keys, settings);
    connected_ = true;
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
        fail(QStringLiteral("unable to open database file %1: %2").arg(path, problem));
    struct Opening {
        QString error;
    };
    auto opening = std::make_shared<Opening>();
    const int timeout = queryTimeout_;
    auto call = driverThread_->post([session = session_, opening, path, timeout] {
        QSqlDatabase& db = session->db;
        db = UnlistedDatabase(QStringLiteral("QSQLITE"));
        if (!db.isValid()) {
            opening->error = QStringLiteral("The SQLite driver is not available");
            return;
        }
        db.setDatabaseName(path);
        // A catalog locked by a writer is waited for as long as a statement may take.
        db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(timeout * 1000));
        if (!db.open()) {
            opening->error = backendMessage(db.lastError());
            return;
        }
        // SQLite reads the file only on the first statement: read the schema now, so that a
        // file that is not a database counts as unreachable like a server that does not answer.
        QSqlQuery probe(db);
        if (!probe.exec(QStringLiteral("select count(*) from sqlite_master")))
            opening->error = backendMessage(probe.lastError());
    });
    // The file stands on a disk that may hang (a share gone away); the busy time-out bounds a
    // locked one.
    const int openSeconds = kConnectionTimeoutSeconds + queryTimeout_;
    if (!call->waitUntil(Clock::now() + std::chrono::seconds(openSeconds) + kGiveUpAfterTimeout)) {
        giveUpDriver();
        throw EDatabaseError(
            QStringLiteral("Connection timeout expired: the catalog %1 did not open within %2 s")
                .arg(path)
                .arg(openSeconds));
    }
    if (!opening->error.isEmpty())
        fail(opening->error);
    dbms_ = DbmsKind::SQLite;
}

void TADOConnection::openOdbcServer(const ConnectionKeys& keys, const ServerSettings& settings) {
    const QString odbc = odbcConnectionString(keys, settings);
    struct Opening {
        bool available = false;
        bool opened = false;
        QString error;
        bool dead = false;
        DbmsKind dbms = DbmsKind::Unknown;
    };
    auto opening = std::make_shared<Opening>();
    // The sockets that the driver opens for this connection are the ones a watchdog may cut.
    const std::vector<SocketIdentity> before = openSockets();
    auto call = driverThread_->post([session = session_, opening, odbc, timeout = queryTimeout_,
                                     driverName = settings.dbDriver] {
        QSqlDatabase& db = session->db;
        db = UnlistedDatabase(QStringLiteral("QODBC"));
        opening->available = db.isValid();
        if (!opening->available)
            return;
        db.setDatabaseName(odbc);
        db.setConnectOptions(odbcConnectOptions(kConnectionTimeoutSeconds));
        opening->opened = db.open();
        if (!opening->opened) {
            opening->error = backendMessage(db.lastError());
            return;
        }
        opening->dead = odbcConnectionDead(db);
        setOdbcQueryTimeout(db, timeout);
        opening->dbms = connectedDbms(db, driverName);
    });
    // The opening is the login and then the statements that QtSql's ODBC driver runs on its own
    // (the type descriptions, quoted identifiers), one call without a statement handle to cancel
    // and without a way to see where the login ends: it has the two time-outs together.
    const int openSeconds = kConnectionTimeoutSeconds + queryTimeout_;
    const CallWatch watch =
        watchDriverCall(*call, std::chrono::seconds(openSeconds) + kCancelAfterTimeout, nullptr,
                        [&before] { return socketsOpenedSince(before); });
    const QString timedOut = QStringLiteral("Connection timeout expired: the server did not "
                                            "finish opening the connection within %1 s")
                                 .arg(openSeconds);
    if (!watch.finished) {
        giveUpDriver();
        throw EDatabaseError(timedOut);
    }
    if (!opening->available)
        fail(QStringLiteral("The ODBC driver is not available"));
    if (watch.stage != CallWatch::Stage::Waiting)
        fail(timedOut);
    if (!opening->opened) {
        if (settings.dbEncrypt)
            fail(QString::fromLatin1(kNoEncryptionPrefix) + opening->error);
        fail(opening->error);
    }
    if (opening->dead)
        fail(QStringLiteral("Connection lost: the server stopped answering while the connection "
                            "was opened"));
    sockets_ = socketsOpenedSince(before);
    dbms_ = opening->dbms;
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

namespace {

// One statement, shared by the caller, the driver thread that runs it and a cancel.
struct Statement {
    std::shared_ptr<DriverSession> session;
    QString sql;
    QSqlRecord record; // columns, with the first row's values when there is one
    int count = 0;
    QString failure;
    // The query while it runs, for the cancel; the driver thread releases it only once no
    // cancel is using its handle.
    std::mutex mutex;
    std::condition_variable idle;
    QSqlQuery* query = nullptr;
    bool cancelling = false;
};

void runStatement(Statement& st) {
    QSqlQuery query(st.session->db);
    query.setForwardOnly(true);
    {
        const std::lock_guard<std::mutex> lock(st.mutex);
        st.query = &query;
    }
    // Prepared is a hint for commands run again with parameters; these run once and carry
    // none, so they are executed directly (psqlODBC also leaks memory on a failed prepare).
    if (!query.exec(st.sql)) {
        st.failure = backendMessage(query.lastError());
    } else if (!query.isSelect()) {
        st.failure = QStringLiteral("CommandText does not return a result set");
    } else {
        // Forward-only results do not know their size (QtSql reports -1): count while reading.
        st.record = query.record();
        if (query.next()) {
            st.record = query.record();
            st.count = 1;
            while (st.count < kMaxCountedRows && query.next())
                ++st.count;
        }
        if (query.lastError().isValid())
            st.failure = backendMessage(query.lastError());
    }
    std::unique_lock<std::mutex> lock(st.mutex);
    st.query = nullptr;
    st.idle.wait(lock, [&st] { return !st.cancelling; });
}

// QtSql allocates the statement handle inside exec, before it calls the driver; the cancel
// reads it only at the deadline, long after.
void cancelStatement(Statement& st) {
    SQLHANDLE hstmt = nullptr;
    {
        const std::lock_guard<std::mutex> lock(st.mutex);
        if (!st.query)
            return;
        hstmt = odbcHandle(st.query->result()->handle());
        st.cancelling = true;
    }
    cancelOdbcStatement(hstmt);
    {
        const std::lock_guard<std::mutex> lock(st.mutex);
        st.cancelling = false;
    }
    st.idle.notify_all();
}

} // namespace

void TADOQuery::Open() {
    Close();
    if (!connection_ || !connection_->Connected())
        throw EDatabaseError(QStringLiteral("Missing Connection or ConnectionString"));
    if (sql_.trimmed().isEmpty())
        throw EDatabaseError(QStringLiteral("CommandText does not return a result set"));

    auto st = std::make_shared<Statement>();
    st->session = connection_->session_;
    st->sql = sql_;
    const int timeout = connection_->queryTimeout_;
    auto call = connection_->driverThread_->post([st] { runStatement(*st); });
    CallWatch watch;
    if (connection_->dbms_ == DbmsKind::SQLite) {
        // SQLite waits for a locked catalog with its own busy time-out and has no link to cut.
        watch.finished =
            call->waitUntil(Clock::now() + std::chrono::seconds(timeout) + kGiveUpAfterTimeout);
    } else {
        watch = watchDriverCall(
            *call, std::chrono::seconds(timeout) + kCancelAfterTimeout,
            [st] { cancelStatement(*st); }, [sockets = connection_->sockets_] { return sockets; });
    }
    if (!watch.finished) {
        // The driver still holds the statement: nothing more can go over this connection.
        connection_->giveUpDriver();
        throw EDatabaseError(statementTimeoutMessage(watch, timeout, QString()));
    }
    // Whatever the driver reports after the watchdog had to step in, the statement outlived its
    // time: a result that came after a cancel may be cut short.
    if (watch.stage != CallWatch::Stage::Waiting)
        throw EDatabaseError(statementTimeoutMessage(watch, timeout, st->failure));
    if (!st->failure.isEmpty())
        throw EDatabaseError(st->failure);
    record_ = st->record;
    recordCount_ = st->count;
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
