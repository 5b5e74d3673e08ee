#include "UpdateSignature.h"

#include <QFile>
#include <memory>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace UpdateSignature {
namespace {

// Names the format, so that a signature made for another purpose or an older layout of this
// text never verifies as an update signature.
constexpr char kFormatLine[] = "pc-velka-update-signature 1";

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

// Strict base64: Qt's decoder skips what it does not know unless told otherwise, and a
// signature with stray bytes in it is not one we made.
std::optional<QByteArray> DecodeBase64(const QByteArray& text) {
    const auto result =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return *result;
}

Pkey PublicKeyObject(const QByteArray& raw) {
    return Pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                            reinterpret_cast<const unsigned char*>(raw.constData()),
                                            static_cast<size_t>(raw.size())));
}

Pkey PrivateKeyObject(const QByteArray& pem) {
    Bio bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
    if (!bio)
        return nullptr;
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return nullptr;
    return key;
}

std::optional<QByteArray> RawPublicKey(EVP_PKEY* key) {
    QByteArray raw(PublicKeyBytes, '\0');
    size_t length = static_cast<size_t>(raw.size());
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &length) !=
            1 ||
        length != static_cast<size_t>(PublicKeyBytes))
        return std::nullopt;
    return raw;
}

QByteArray Sha256(const QByteArray& data) {
    QByteArray digest(32, '\0');
    unsigned int length = 0;
    EVP_Digest(data.constData(), static_cast<size_t>(data.size()),
               reinterpret_cast<unsigned char*>(digest.data()), &length, EVP_sha256(), nullptr);
    return digest;
}

bool VerifyWith(const QByteArray& publicKey, const QByteArray& signature,
                const QByteArray& message) {
    const Pkey key = PublicKeyObject(publicKey);
    const MdCtx ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(),
                            reinterpret_cast<const unsigned char*>(signature.constData()),
                            static_cast<size_t>(signature.size()),
                            reinterpret_cast<const unsigned char*>(message.constData()),
                            static_cast<size_t>(message.size())) == 1;
}

} // namespace

QByteArray CanonicalText(const Claim& claim) {
    QByteArray text(kFormatLine);
    text += "\nproduct=" + claim.product.toUtf8();
    text += "\nversion=" + QByteArray::number(claim.version);
    text += "\nfile=" + claim.fileName.toUtf8();
    text += "\nsize=" + QByteArray::number(claim.size);
    text += "\nsha256=" + claim.sha256.toHex();
    text += '\n';
    return text;
}

std::optional<QByteArray> FileSha256(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    Sha256Stream hash;
    // One buffer for the whole file: an update may be large, and the hash must not cost an
    // allocation per block.
    QByteArray block(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(block.data(), block.size());
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        hash.Add(block.constData(), n);
    }
    return hash.Finish();
}

struct Sha256Stream::Context {
    MdCtx ctx{EVP_MD_CTX_new()};
};

Sha256Stream::Sha256Stream() : context_(std::make_unique<Context>()) {
    failed_ = !context_->ctx || EVP_DigestInit_ex(context_->ctx.get(), EVP_sha256(), nullptr) != 1;
}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::Add(const char* data, qint64 size) {
    if (!failed_ && size > 0 &&
        EVP_DigestUpdate(context_->ctx.get(), data, static_cast<size_t>(size)) != 1)
        failed_ = true;
}

std::optional<QByteArray> Sha256Stream::Finish() {
    if (failed_)
        return std::nullopt;
    QByteArray digest(32, '\0');
    unsigned int length = 0;
    failed_ = true; // finished: nothing more is added
    if (EVP_DigestFinal_ex(context_->ctx.get(), reinterpret_cast<unsigned char*>(digest.data()),
                           &length) != 1 ||
        length != 32)
        return std::nullopt;
    return digest;
}

QList<QByteArray> ParsePublicKeys(const QString& text, bool* invalid) {
    QList<QByteArray> keys;
    bool dropped = false;
    for (const QString& entry : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString trimmed = entry.trimmed();
        if (trimmed.isEmpty())
            continue;
        const auto raw = DecodeBase64(trimmed.toLatin1());
        if (!raw || raw->size() != PublicKeyBytes || !PublicKeyObject(*raw)) {
            dropped = true;
            continue;
        }
        keys.append(*raw);
    }
    if (invalid)
        *invalid = dropped;
    return keys;
}

Verdict Verify(const std::optional<QByteArray>& signatureFile, const Claim& claim,
               const QList<QByteArray>& publicKeys) {
    if (!signatureFile || signatureFile->isEmpty())
        return Verdict::Missing;
    if (signatureFile->size() > MaxSignatureFileBytes)
        return Verdict::Malformed;
    QByteArray line = *signatureFile;
    // One line: its end may be LF or CR LF (a publisher's editor), nothing else around it.
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    const auto raw = DecodeBase64(line);
    if (line.isEmpty() || !raw || raw->size() != KeyIdBytes + SignatureBytes)
        return Verdict::Malformed;
    const QByteArray keyId = raw->left(KeyIdBytes);
    const QByteArray signature = raw->mid(KeyIdBytes);
    const QByteArray message = CanonicalText(claim);
    bool knownKey = false;
    for (const QByteArray& key : publicKeys) {
        if (KeyId(key) != keyId)
            continue;
        knownKey = true;
        if (VerifyWith(key, signature, message))
            return Verdict::Verified;
    }
    return knownKey ? Verdict::WrongContents : Verdict::UnknownKey;
}

QString VerdictText(Verdict verdict) {
    switch (verdict) {
    case Verdict::Verified:
        return QStringLiteral("verified");
    case Verdict::Missing:
        return QStringLiteral("missing");
    case Verdict::Malformed:
        return QStringLiteral("malformed");
    case Verdict::UnknownKey:
        return QStringLiteral("wrong key");
    case Verdict::WrongContents:
        return QStringLiteral("wrong contents");
    }
    return QString();
}

QByteArray KeyId(const QByteArray& publicKey) {
    return Sha256(publicKey).left(KeyIdBytes);
}

std::optional<KeyPair> GenerateKeyPair() {
    EVP_PKEY* generated = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    const Pkey key(generated);
    if (!key)
        return std::nullopt;
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::nullopt;
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    const auto publicKey = RawPublicKey(key.get());
    if (length <= 0 || !publicKey)
        return std::nullopt;
    return KeyPair{QByteArray(data, static_cast<qsizetype>(length)), *publicKey};
}

std::optional<QByteArray> PublicKeyOf(const QByteArray& privateKeyPem) {
    const Pkey key = PrivateKeyObject(privateKeyPem);
    if (!key)
        return std::nullopt;
    return RawPublicKey(key.get());
}

std::optional<QByteArray> Sign(const Claim& claim, const QByteArray& privateKeyPem) {
    const Pkey key = PrivateKeyObject(privateKeyPem);
    const MdCtx ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return std::nullopt;
    const auto publicKey = RawPublicKey(key.get());
    if (!publicKey)
        return std::nullopt;
    const QByteArray message = CanonicalText(claim);
    QByteArray signature(SignatureBytes, '\0');
    size_t length = static_cast<size_t>(signature.size());
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.constData()),
                       static_cast<size_t>(message.size())) != 1 ||
        length != static_cast<size_t>(SignatureBytes))
        return std::nullopt;
    return (KeyId(*publicKey) + signature).toBase64() + '\n';
}

} // namespace UpdateSignature
