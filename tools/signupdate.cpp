// signupdate: the publisher's side of signed updates, built from the launcher's own check.
//
//   signupdate keygen PRIVATE_KEY
//       makes a key pair; the private key goes to PRIVATE_KEY (a new file, mode 0600, never
//       printed), the public key is printed as the server.ini line that trusts it
//   signupdate sign PRIVATE_KEY PRODUCT VERSION FILE
//       writes FILE.sig for the update FILE of PRODUCT (fen, tarn) and VERSION (0 or more), and
//       prints the file name and size that the database row of that version must hold; a link
//       at FILE.sig is replaced, never written through
//   signupdate verify PUBLIC_KEYS PRODUCT VERSION FILE [SIGNATURE]
//       checks FILE against SIGNATURE (default FILE.sig) as the launcher would
//
// Exit status: 0 done (verified), 1 failed (not verified), 2 wrong arguments (a negative version
// to sign among them).
#include "download/UpdateSignature.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryFile>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace us = UpdateSignature;

namespace {

int Usage() {
    std::fprintf(stderr, "usage: signupdate keygen PRIVATE_KEY\n"
                         "       signupdate sign PRIVATE_KEY PRODUCT VERSION FILE\n"
                         "       signupdate verify PUBLIC_KEYS PRODUCT VERSION FILE [SIGNATURE]\n");
    return 2;
}

int Fail(const QString& text) {
    std::fprintf(stderr, "signupdate: %s\n", text.toLocal8Bit().constData());
    return 1;
}

// Writes a new file that only its owner can read; an existing file is never replaced, so a
// second keygen cannot destroy the key that the installed launchers trust. The create is
// exclusive (O_EXCL, CREATE_NEW), which also refuses a link at the path instead of following it.
bool WriteNewPrivateFile(const QString& path, const QByteArray& bytes, QString* reason) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *reason = file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        *reason = file.errorString();
        file.close();
        file.remove(); // a partial key is no key
        return false;
    }
    file.close();
    return true;
}

// Writes bytes as path through a new file beside it (exclusive create, so no link of any kind
// can carry the write elsewhere) that is then renamed over path (rename, MoveFileEx with
// MOVEFILE_REPLACE_EXISTING): a link standing at path is replaced, never written through, and
// readers never see half a file.
bool ReplaceFile(const QString& path, const QByteArray& bytes, QString& error) {
    QTemporaryFile temp(path + QStringLiteral(".XXXXXX"));
    if (!temp.open()) {
        error = temp.errorString();
        return false;
    }
    // The temporary file is private; a signature is public.
    const bool written = temp.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                             QFileDevice::ReadGroup | QFileDevice::ReadOther) &&
                         temp.write(bytes) == bytes.size() && temp.flush();
    if (!written) {
        error = temp.errorString();
        return false; // the temporary file goes with temp
    }
    temp.close();
    std::error_code failure;
    std::filesystem::rename(std::filesystem::path(temp.fileName().toStdU16String()),
                            std::filesystem::path(path.toStdU16String()), failure);
    if (failure) {
        error = QString::fromStdString(failure.message());
        return false;
    }
    temp.setAutoRemove(false); // its name is path's now
    return true;
}

std::optional<QByteArray> ReadSmallFile(const QString& path, qint64 limit) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(limit + 1);
    if (bytes.size() > limit)
        return std::nullopt;
    return bytes;
}

// The claim for FILE as the launcher will build it from the database row.
std::optional<us::Claim> ClaimFor(const QString& product, const QString& versionText,
                                  const QString& path, QString& error) {
    bool ok = false;
    const int version = versionText.toInt(&ok);
    if (!ok) {
        error = QStringLiteral("the version is not a number: ") + versionText;
        return std::nullopt;
    }
    if (product.isEmpty() || product.contains(QLatin1Char('\n')) ||
        product.contains(QLatin1Char('\r'))) {
        error = QStringLiteral("the product must be one word (fen, tarn)");
        return std::nullopt;
    }
    const QFileInfo info(path);
    const QString name = info.fileName();
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            error = QStringLiteral("the file name holds a control character");
            return std::nullopt;
        }
    }
    if (!info.isFile() || info.size() > INT_MAX) {
        error = QStringLiteral("not a file of less than 2 GiB: ") + path;
        return std::nullopt;
    }
    const auto digest = us::FileSha256(path);
    if (!digest) {
        error = QStringLiteral("cannot read ") + path;
        return std::nullopt;
    }
    return us::Claim{product, version, name, info.size(), *digest};
}

int Keygen(const QString& privatePath) {
    const auto pair = us::GenerateKeyPair();
    if (!pair)
        return Fail(QStringLiteral("no key pair could be made"));
    QString reason;
    if (!WriteNewPrivateFile(privatePath, pair->privateKeyPem, &reason))
        return Fail(QStringLiteral("cannot write %1: %2").arg(privatePath, reason));
    std::printf("[Update]\nPublicKeys=%s\n", pair->publicKey.toBase64().constData());
    return 0;
}

int Sign(const QStringList& args) {
    // Versions count up from the installed one, which is 0 at the least: a negative version
    // names no update that a launcher would ever fetch.
    bool number = false;
    if (const int version = args[2].toInt(&number); number && version < 0) {
        std::fprintf(stderr, "signupdate: the version must not be negative: %s\n",
                     args[2].toLocal8Bit().constData());
        return 2;
    }
    const auto pem = ReadSmallFile(args[0], 64 * 1024);
    if (!pem)
        return Fail(QStringLiteral("cannot read the private key ") + args[0]);
    QString error;
    const auto claim = ClaimFor(args[1], args[2], args[3], error);
    if (!claim)
        return Fail(error);
    const auto signature = us::Sign(*claim, *pem);
    if (!signature)
        return Fail(QStringLiteral("not an Ed25519 private key: ") + args[0]);
    const QString sigPath = args[3] + QStringLiteral(".sig");
    QString writeError;
    if (!ReplaceFile(sigPath, *signature, writeError))
        return Fail(QStringLiteral("cannot write %1: %2").arg(sigPath, writeError));
    std::printf("檔名=%s\n檔案大小=%lld\nsignature: %s\n", claim->fileName.toUtf8().constData(),
                static_cast<long long>(claim->size), QFile::encodeName(sigPath).constData());
    return 0;
}

int Verify(const QStringList& args) {
    bool invalid = false;
    const QList<QByteArray> keys = us::ParsePublicKeys(args[0], &invalid);
    if (keys.isEmpty() || invalid)
        return Fail(QStringLiteral("PUBLIC_KEYS must be base64 Ed25519 public keys"));
    QString error;
    const auto claim = ClaimFor(args[1], args[2], args[3], error);
    if (!claim)
        return Fail(error);
    const QString sigPath = args.size() > 4 ? args[4] : args[3] + QStringLiteral(".sig");
    const auto signature = ReadSmallFile(sigPath, us::MaxSignatureFileBytes);
    const us::Verdict verdict = us::Verify(signature, *claim, keys);
    std::printf("%s\n", us::VerdictText(verdict).toUtf8().constData());
    return verdict == us::Verdict::Verified ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return Usage();
    const QString& command = args[0];
    const QStringList rest = args.mid(1);
    if (command == QLatin1String("keygen") && rest.size() == 1)
        return Keygen(rest[0]);
    if (command == QLatin1String("sign") && rest.size() == 4)
        return Sign(rest);
    if (command == QLatin1String("verify") && (rest.size() == 4 || rest.size() == 5))
        return Verify(rest);
    return Usage();
}
