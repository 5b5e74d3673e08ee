#pragma once
// FTP servers on 127.0.0.1 for the FTP client's tests, started and stopped by the tests:
// the scriptable pyftpdlib server of tools/ftp_fake_server.py, and vsftpd from the system.
#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The scriptable server. Extra arguments select its faults (see the script's --help); it serves
// the directory Root() to user "velk" with password "secret".
class FakeFtpServer {
public:
    explicit FakeFtpServer(const QStringList& args = {});
    ~FakeFtpServer();
    FakeFtpServer(const FakeFtpServer&) = delete;
    FakeFtpServer& operator=(const FakeFtpServer&) = delete;

    quint16 Port() const { return port_; }
    QString Root() const { return root_.path(); }
    // Puts a file into the served directory; returns its path.
    QString Put(const QString& name, const QByteArray& bytes) const;
    // Every command line received so far, in order.
    QStringList Commands() const;
    // The same lines as the bytes that came, before any decoding (line end removed).
    QList<QByteArray> RawCommands() const;

private:
    QTemporaryDir root_;
    QTemporaryDir work_;
    QProcess process_;
    quint16 port_ = 0;
};

// Certificates made once per test process with the openssl tool: a test CA, and keys with
// certificates for a server. PEM files; paths are empty when they could not be made (Failure).
struct TestCertificates {
    QString Failure;
    QString CaFile;     // the test CA, the one CaFile= must name
    QString ServerCert; // for 127.0.0.1 and localhost, signed by the test CA
    QString ServerKey;
    QString OtherNameCert; // for other.invalid and 127.0.0.2, signed by the test CA
    QString OtherNameKey;
    QString SelfSigned; // for 127.0.0.1, its own issuer
    QString SelfSignedKey;
};
const TestCertificates& Certificates();

// vsftpd with anonymous read-only access to Root(), passive and active mode, on a free port.
// Given a certificate and key it is an explicit FTPS server that insists on TLS for the login
// and every data connection, and on data connections that resume the control session.
class Vsftpd {
public:
    explicit Vsftpd(const QString& certificate = {}, const QString& key = {});
    ~Vsftpd();
    Vsftpd(const Vsftpd&) = delete;
    Vsftpd& operator=(const Vsftpd&) = delete;

    // Empty when the server runs; otherwise why it could not be started.
    QString Failure() const { return failure_; }
    quint16 Port() const { return port_; }
    QString Root() const { return root_; }
    QString Put(const QString& name, const QByteArray& bytes) const;
    // The command lines vsftpd logged so far.
    QStringList Commands() const;
    // Stops (or lets go on) the processes serving the sessions, not the listener: a server that
    // falls silent in the middle of whatever it was doing.
    void FreezeSessions(bool frozen) const;

private:
    QTemporaryDir work_;
    QString root_;
    QProcess process_;
    quint16 port_ = 0;
    QString failure_;
};

// Deterministic test data full of the bytes a text-mode transfer would damage (CR, LF, CR LF,
// lone CR at block ends, NUL, 0xFF).
QByteArray BinaryTestData(int size, quint32 seed = 1);
QByteArray ReadAll(const QString& path);
void WriteAll(const QString& path, const QByteArray& bytes);
