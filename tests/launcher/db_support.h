#pragma once
// Real database peers for the update-database tests: a throwaway PostgreSQL cluster on a free
// loopback port, SQLite catalogs, a TCP server that accepts and never answers, and the seeding
// tool of tools/. Nothing is assumed to be running; everything started here is stopped here.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

// One row of pcvelka as the seeding tool takes it (text; "NULL" stores a NULL).
struct VersionRow {
    QString product, current, next, file, size;
};

struct CommandResult {
    int exitCode = -1;
    QByteArray output; // standard output and error
};
// Runs a program and waits for it (bounded). exitCode -1 when it could not run or timed out.
CommandResult runCommand(const QString& program, const QStringList& args, int timeoutMs = 60000);

// The rows as "--row" arguments of the tools (db_seed.py, tds_server.py).
QStringList rowArgs(const std::vector<VersionRow>& rows);

// tools/db_seed.py with these arguments; fails the current test when the tool fails.
void runSeedTool(const QStringList& args, const std::vector<VersionRow>& rows);

// A port on 127.0.0.1 where nothing listens (taken from the kernel, then released).
int freeLoopbackPort();

// The SQL Server login of the settings: 7 and 8 lower-case letters.
inline constexpr const char* kDbUser = "velkadb";
inline constexpr const char* kDbPassword = "velkapwd";

// A PostgreSQL cluster in a temporary folder, run as an unprivileged user when the tests run as
// root. Started on first use, stopped at the end of the test program.
class PgCluster {
public:
    static PgCluster& instance();
    static void shutdown();

    bool ok() const { return ok_; }
    const QString& error() const { return error_; }
    int port() const { return port_; }
    const QString& socketDir() const { return dir_; }

    // Re-creates the role and both catalogs with these rows.
    void seed(const std::vector<VersionRow>& rows, const QString& ownerPassword = kDbPassword);
    // Runs SQL as the superuser in a database.
    CommandResult psql(const QString& database, const QString& sql);
    // Turns TLS on the server on or off for new connections (a self-signed certificate made on
    // first use). Empty when in force, else what went wrong.
    QString setSsl(bool on);
    // A superuser session that has run sql in an open transaction (a lock stays held) until the
    // returned process ends; null when the statement did not complete.
    std::unique_ptr<QProcess> holdInTransaction(const QString& database, const QString& sql);

    ~PgCluster();

private:
    PgCluster();
    QStringList asServerUser(const QString& program, const QStringList& args) const;

    bool ok_ = false;
    QString error_;
    QString dir_;
    QString bin_;
    int port_ = 0;
    bool asRoot_ = false;
};

// A TCP server on 127.0.0.1 that accepts every connection and never sends a byte.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    int port() const { return port_; }

private:
    QProcess process_;
    int port_ = 0;
};

// A TCP proxy on 127.0.0.1 to a server on loopback that forwards both ways until the client
// sends bytes holding marker; from then on that connection is held open and nothing more is
// passed in either direction: a server that went silent after the login. With holdCancels, a
// PostgreSQL cancel request is held the same way: a server that never acknowledges a cancel.
class MutingProxy {
public:
    MutingProxy(int targetPort, const QByteArray& marker, bool holdCancels = false);
    ~MutingProxy();
    int port() const { return port_; }

private:
    QProcess process_;
    int port_ = 0;
};
