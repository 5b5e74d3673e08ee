#pragma once
// The system's trusted root certificates for TLS when server.ini names no CaFile. OpenSSL reads
// the Linux system's CA folder itself, but not the Windows certificate store: there the roots
// come from the "ROOT" store (crypt32) and are handed to OpenSSL one by one.
#include <QByteArray>
#include <QList>

struct SystemTrust {
    bool openSslDefaults = false;   // OpenSSL's own default paths hold the roots
    QList<QByteArray> certificates; // otherwise: the roots, DER-encoded
};
SystemTrust SystemTrustAnchors();
