#include "UpdateFiles.h"

#include "UpdateSignature.h"
#include "launcher/LogFile.h"

#include <QFileInfo>

namespace {

const QString kFolderPrefix = QStringLiteral(".update-run-");

// A record whose file, once created, is removed if a signal ends the program.
std::shared_ptr<OwnFile> ownFile(const QString& path, TerminationToken* token) {
    auto own = std::make_shared<OwnFile>();
    std::weak_ptr<OwnFile> weak = own;
    own->onCreated = [path, token, weak] {
        if (const auto o = weak.lock(); o && o->identity)
            *token = RemoveFileOnTermination(path, *o->identity);
    };
    return own;
}

} // namespace

UpdateFiles::~UpdateFiles() {
    // The transfer's record may outlive the window in a data connection still being torn down.
    if (update_)
        update_->onCreated = nullptr;
    if (signature_)
        signature_->onCreated = nullptr;
    KeepOnTermination(updateToken_);
    DiscardPrivateFolder();
}

void UpdateFiles::RemoveLeftovers(const QString& downloadDir) {
    for (const QString& name : FoldersNamedLike(downloadDir, kFolderPrefix)) {
        const QString folder = downloadDir + name;
        if (RemoveFolderWithFiles(folder))
            LogFile::Write(QStringLiteral("Leftover folder removed: "), folder);
    }
}

bool UpdateFiles::ClearPath(const QString& path) {
    if (path_ == path && UpdateIsThere())
        DeleteUpdate(); // ours, from an attempt whose file could not be started
    KeepOnTermination(updateToken_);
    if (update_)
        update_->onCreated = nullptr; // an earlier transfer's record registers nothing any more
    path_ = path;
    update_ = ownFile(path, &updateToken_);
    if (!PathTaken(path))
        return true;
    QString reason;
    const std::optional<QString> aside = SetAside(path, &reason);
    if (!aside) {
        LogFile::Write(QStringLiteral("Cannot set aside the file at "),
                       path + QStringLiteral(": ") + reason);
        return false;
    }
    LogFile::Write(QStringLiteral("Existing file set aside: "), *aside);
    return true;
}

bool UpdateFiles::UpdateIsThere() const {
    return update_ && update_->identity && IsSameFile(path_, *update_->identity);
}

void UpdateFiles::DeleteUpdate() {
    if (update_ && update_->identity && DeleteOwnFile(path_, *update_->identity))
        KeepOnTermination(updateToken_);
}

bool UpdateFiles::makePrivateFolder(QString* reason) {
    if (!folder_.isEmpty())
        return true;
    const QString dir = QFileInfo(path_).path() + QLatin1Char('/');
    const std::optional<QString> folder = CreatePrivateFolder(dir + kFolderPrefix, reason);
    if (!folder)
        return false;
    folder_ = *folder;
    folderToken_ = RemoveFolderOnTermination(folder_);
    return true;
}

std::optional<QString> UpdateFiles::SignaturePath() {
    QString reason;
    if (!makePrivateFolder(&reason))
        return std::nullopt;
    DeleteSignature();
    signaturePath_ =
        folder_ + QLatin1Char('/') + QFileInfo(path_).fileName() + QStringLiteral(".sig");
    signature_ = ownFile(signaturePath_, &signatureToken_);
    return signaturePath_;
}

std::optional<QByteArray> UpdateFiles::ReadSignature(std::int64_t limit) const {
    if (!signature_ || !signature_->identity)
        return std::nullopt;
    return ReadOwnFile(signaturePath_, *signature_->identity, limit);
}

void UpdateFiles::DeleteSignature() {
    if (signature_ && signature_->identity)
        DeleteOwnFile(signaturePath_, *signature_->identity);
    KeepOnTermination(signatureToken_);
    signature_.reset();
}

UpdateFiles::Copy UpdateFiles::CopyForRun(std::int64_t limit) {
    Copy result;
    if (!update_ || !update_->identity) {
        // Nothing created: whatever stands at the path is someone else's.
        result.result = PathTaken(path_) ? CopyOutcome::NotOwnFile : CopyOutcome::SourceMissing;
        return result;
    }
    if (!makePrivateFolder(&result.reason))
        return result;
    const QString target = folder_ + QLatin1Char('/') + QFileInfo(path_).fileName();
    UpdateSignature::Sha256Stream hash;
    const CopyOutcome copied =
        CopyOwnFile(path_, *update_->identity, target, limit,
                    [&hash](const char* data, std::int64_t size) { hash.Add(data, size); });
    result.result = copied.result;
    result.bytes = copied.bytes;
    result.reason = copied.reason;
    if (copied.result != CopyOutcome::Copied)
        return result;
    copyPath_ = target;
    copy_ = copied.copy;
    copyToken_ = RemoveFileOnTermination(copyPath_, copied.copy);
    result.sha256 = hash.Finish();
    return result;
}

void UpdateFiles::DiscardPrivateFolder() {
    DeleteSignature();
    if (copy_)
        DeleteOwnFile(copyPath_, *copy_);
    KeepOnTermination(copyToken_);
    copy_.reset();
    copyPath_.clear();
    if (!folder_.isEmpty())
        RemoveFolderWithFiles(folder_);
    KeepOnTermination(folderToken_);
    folder_.clear();
}
