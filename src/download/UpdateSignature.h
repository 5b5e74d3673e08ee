#pragma once
// Signed updates. The publisher signs, with an Ed25519 key, a short text that binds the update
// file to what the update database promised: product, version, file name, size and the file's
// SHA-256. The launcher runs an update only when a configured public key verifies it, so that
// neither the FTP folder, nor the database, nor the connection alone can make every workshop PC
// run a program of someone else's choosing. Without configured keys nothing is checked.
//
// The signature file, "<update file>.sig" beside the update, holds one line of base64: the
// signing key's 8-byte identifier (the start of the SHA-256 of its public key) followed by the
// 64-byte signature. The identifier only tells "signed by a key we do not trust" apart from
// "signed by our key, over other contents"; it carries no trust of its own.
//
// This unit depends on Qt Core and OpenSSL only, so that the publisher's tool builds from it.
#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>
#include <optional>

namespace UpdateSignature {

// The most a signature file may hold; anything longer is not ours.
constexpr qsizetype MaxSignatureFileBytes = 4096;
constexpr qsizetype PublicKeyBytes = 32;
constexpr qsizetype KeyIdBytes = 8;
constexpr qsizetype SignatureBytes = 64;

// What the signature binds. The file name is the name as the database gave it.
struct Claim {
    QString product;
    qint32 version = 0;
    QString fileName;
    qint64 size = 0;
    QByteArray sha256; // 32 raw bytes
};

// The text that is signed: a first line naming the format, then one value per line.
QByteArray CanonicalText(const Claim& claim);

// SHA-256 of a file's bytes; nullopt when the file cannot be read.
std::optional<QByteArray> FileSha256(const QString& path);

// SHA-256 of bytes handed in as they pass (a copy being made, a file being read), so that the
// digest is of exactly those bytes.
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;
    void Add(const char* data, qint64 size);
    // The 32-byte digest of everything added; nullopt when the hash failed.
    std::optional<QByteArray> Finish();

private:
    struct Context;
    std::unique_ptr<Context> context_;
    bool failed_ = false;
};

// Public keys from their configured text: base64 keys separated by commas (blanks allowed).
// Entries that are not a base64 Ed25519 public key are dropped; invalid reports whether any
// entry was dropped.
QList<QByteArray> ParsePublicKeys(const QString& text, bool* invalid = nullptr);

enum class Verdict {
    Verified,
    Missing,       // no signature file
    Malformed,     // not one line of base64 of the right length
    UnknownKey,    // signed by a key that is not configured
    WrongContents, // signed by a configured key, but not over this file and claim
};

// Checks signatureFile (the bytes of "<update>.sig", nullopt when it could not be fetched)
// against the claim and the configured keys.
Verdict Verify(const std::optional<QByteArray>& signatureFile, const Claim& claim,
               const QList<QByteArray>& publicKeys);

// The reason as it goes into the log.
QString VerdictText(Verdict verdict);

// --- the publisher's side

// The 8-byte identifier of a public key.
QByteArray KeyId(const QByteArray& publicKey);

struct KeyPair {
    QByteArray privateKeyPem; // PKCS#8 PEM
    QByteArray publicKey;     // 32 raw bytes
};
// A new key pair; nullopt when the random source fails.
std::optional<KeyPair> GenerateKeyPair();
// The public key that belongs to a PEM private key; nullopt when it is not an Ed25519 key.
std::optional<QByteArray> PublicKeyOf(const QByteArray& privateKeyPem);
// The content of the signature file (base64 line and LF); nullopt when the key is unusable.
std::optional<QByteArray> Sign(const Claim& claim, const QByteArray& privateKeyPem);

} // namespace UpdateSignature
