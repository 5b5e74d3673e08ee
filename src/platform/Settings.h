#pragma once
// Update-server settings: built-in defaults from the build, overridden by server.ini beside the
// executable (or the file named by --config). Missing keys keep the built-in default.
#include <QString>

// Seconds any one database statement may take ([Database] QueryTimeout): a locked table or a
// server that stops answering after the login ends in an error instead of a launcher that hangs.
inline constexpr int kDefaultQueryTimeoutSeconds = 30;
inline constexpr int kMaxQueryTimeoutSeconds = 3600;

// The whole deadline of one download attempt: AttemptSlack seconds plus the promised size at
// MinAverageRate bytes a second ([Ftp] MinAverageRate, AttemptSlack). 2 KiB/s is the slowest
// real link the update must still come over (a 2G modem link of a few KiB/s); 120 s covers the
// connection, the login, TLS and the signature on such a link.
inline constexpr int kDefaultMinAverageRate = 2048;
inline constexpr int kMaxMinAverageRate = 1024 * 1024 * 1024;
inline constexpr int kDefaultAttemptSlackSeconds = 120;
inline constexpr int kMaxAttemptSlackSeconds = 86400;

struct ServerSettings {
    QString host;        // [Server] Host: database Data Source and FTP host
    QString dbBackend;   // [Database] Backend: "odbc" or "sqlite"
    QString dbDriver;    // [Database] Driver: ODBC driver name
    QString dbPort;      // [Database] Port: empty = the driver's default
    QString dbUser;      // [Database] User
    QString dbPassword;  // [Database] Password
    QString dbDirectory; // [Database] Directory as written: see databaseDirectory
    // [Database] QueryTimeout, seconds
    int dbQueryTimeout = kDefaultQueryTimeoutSeconds;
    // [Database] Encrypt: the ODBC driver's own encryption, required (no fallback to clear text)
    bool dbEncrypt = false;
    int ftpPort = 21;    // [Ftp] Port
    QString ftpUser;     // [Ftp] User
    QString ftpPassword; // [Ftp] Password
    // [Ftp] Security: "none" (or empty) is plain FTP; "tls", and any value not understood, is
    // explicit FTPS: a mistyped value never sends the password in clear.
    bool ftpTls = false;
    // [Ftp] CaFile: PEM certificates to trust instead of the system's; a relative path is taken
    // from the executable's folder. Empty: the system's.
    QString ftpCaFile;
    // [Ftp] MinAverageRate, bytes a second, and AttemptSlack, seconds: see above.
    int ftpMinAverageRate = kDefaultMinAverageRate;
    int ftpAttemptSlack = kDefaultAttemptSlackSeconds;
    QString devices;    // [Interface] Devices: folder of COMn links; empty = /dev/ttyS(n-1)
    QString publicKeys; // [Update] PublicKeys: signing keys; empty = updates are not checked
};

// The built-in defaults.
ServerSettings defaultServerSettings();
// Reads path over the defaults. A missing file leaves the defaults; a file that is there but
// is not read (too large, not a regular file, no permission) raises EFOpenError with a message
// that names it and the reason.
ServerSettings loadServerSettings(const QString& path);

// The folder of the SQLite catalogs: [Database] Directory, the built-in one when empty, taken
// from the executable's folder when relative (the folder can move with the program).
QString databaseDirectory(const ServerSettings& settings);

// The settings in force for this run (the defaults until set).
const ServerSettings& serverSettings();
void setServerSettings(const ServerSettings& settings);
