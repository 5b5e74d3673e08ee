#pragma once
// The files one run of the download window makes, and the rule that it deletes, writes or runs
// none but those: the update at its path beside the program (DownloadDir + UpdateFileName), and
// a private folder beside it that only this user can write, holding the signature file and
// the copy of the update that is checked and run.
//
// The update's name comes from the database and the program's folder may hold anything under
// it: a user's file, a link, the leftover of a killed run. Whatever stands at the path before
// a transfer and is not this run's own file is set aside under "<name>.set-aside-N" (one log
// line), never deleted or written; the update is then created anew, and every later delete
// goes by the identity of the file created. The copy is made from the file created, hashed and
// counted on its way, so the size and signature checks judge exactly the bytes that run, and a
// file swapped in at the public path afterwards is never run.
//
// A run killed by SIGTERM, SIGINT or SIGHUP removes these files and the folder first
// (Termination). A folder left by a run that could not (SIGKILL, a power cut) is removed when
// the next download starts.
#include "platform/FileSystem.h"
#include "platform/Termination.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

class UpdateFiles {
public:
    UpdateFiles() = default;
    // Removes the private folder; the update at the public path is left to the window.
    ~UpdateFiles();
    UpdateFiles(const UpdateFiles&) = delete;
    UpdateFiles& operator=(const UpdateFiles&) = delete;

    // The private folders of killed runs beside the program: their regular files and
    // themselves (one log line each). Only folders named as this class names them.
    static void RemoveLeftovers(const QString& downloadDir);

    // Before a transfer to path: this run's own earlier file there is deleted, anything else
    // set aside. False (with one log line, the thing at path untouched) when it cannot be.
    bool ClearPath(const QString& path);
    // The update file as the FTP component is to write it: created anew by the transfer.
    std::shared_ptr<OwnFile> Update() const { return update_; }
    // The path still names the update this run created.
    bool UpdateIsThere() const;
    // Deletes the update, only while the path still names it.
    void DeleteUpdate();

    // The signature file's path in the private folder (made now if need be) and the record the
    // FTP component creates it through; nullopt when the folder cannot be made.
    std::optional<QString> SignaturePath();
    std::shared_ptr<OwnFile> Signature() const { return signature_; }
    // What the signature file holds, at most limit bytes; nullopt when it was not made.
    std::optional<QByteArray> ReadSignature(std::int64_t limit) const;
    void DeleteSignature();

    // The update copied into the private folder, with its size and SHA-256 over the copied
    // bytes. At most limit bytes are copied.
    struct Copy {
        CopyOutcome::Result result = CopyOutcome::Failed;
        std::int64_t bytes = 0;
        std::optional<QByteArray> sha256;
        QString reason;
    };
    Copy CopyForRun(std::int64_t limit);
    // The copy to run; empty when none was made.
    QString RunCopy() const { return copyPath_; }

    // The private folder, with the copy and the signature file in it.
    void DiscardPrivateFolder();

private:
    bool makePrivateFolder(QString* reason);

    QString path_;
    std::shared_ptr<OwnFile> update_;
    TerminationToken updateToken_;
    QString folder_;
    TerminationToken folderToken_;
    std::shared_ptr<OwnFile> signature_;
    QString signaturePath_;
    TerminationToken signatureToken_;
    QString copyPath_;
    std::optional<FileIdentity> copy_;
    TerminationToken copyToken_;
};
