#include "Download.h"

#include "DownloadState.h"
#include "UpdateFiles.h"
#include "UpdateSignature.h"
#include "launcher/Globals.h"
#include "launcher/LogFile.h"
#include "launcher/Messages.h"
#include "net/FtpClient.h"
#include "net/TlsChannel.h"
#include "platform/Dialogs.h"
#include "platform/Exception.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Settings.h"
#include "platform/Timing.h"
#include "platform/UpdateFileName.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPixmap>
#include <QProgressBar>
#include <QScopeGuard>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <optional>

namespace {

WatchdogTiming g_watchdog;

const QString kRemoteDir = QStringLiteral("/tarn");

void Log(const QString& text) {
    LogFile::Write(text);
}

void Log(const QString& text, std::int32_t value) {
    LogFile::Write(text, value);
}

void Log(const QString& label, const QString& text) {
    LogFile::Write(label, text);
}

// Signed updates are required as soon as a key is configured; without one nothing changes.
bool SignaturesRequired() {
    return !serverSettings().publicKeys.trimmed().isEmpty();
}

// What the signature check is given for a signature that came in part (broken off, or ended at
// its deadline) or longer than one can be: more bytes than a signature file may hold, which the
// check refuses as malformed whatever they are. A part that happens to hold a whole line must
// not count: the fetch did not end as a transfer ends.
QByteArray IncompleteSignature() {
    return QByteArray(UpdateSignature::MaxSignatureFileBytes + 1, '\0');
}

const QColor kGreen(0, 128, 0);
const QColor kPaleGreen(192, 220, 192);

} // namespace

WatchdogTiming setWatchdogTimingForTesting(const WatchdogTiming& timing) {
    const WatchdogTiming previous = g_watchdog;
    g_watchdog = timing;
    return previous;
}

std::int64_t AttemptDeadlineMs(std::int32_t promisedSize, int minAverageRate, int slackSeconds) {
    const std::int64_t size = std::max<std::int32_t>(promisedSize, 0);
    const std::int64_t rate = std::max(minAverageRate, 1);
    const std::int64_t slack = std::max(slackSeconds, 0);
    return slack * 1000 + (size * 1000 + rate - 1) / rate;
}

void TransferRateWindow::Start(std::int64_t count, int ticks) {
    perTick_.assign(static_cast<std::size_t>(std::max(ticks, 0)), 0);
    next_ = 0;
    filled_ = 0;
    sum_ = 0;
    last_ = count;
}

void TransferRateWindow::Stop() {
    perTick_.clear();
}

bool TransferRateWindow::Tick(std::int64_t count, std::int64_t minBytes) {
    if (perTick_.empty())
        return false;
    const std::int64_t added = std::max<std::int64_t>(count - last_, 0);
    last_ = count;
    sum_ += added - perTick_[next_];
    perTick_[next_] = added;
    next_ = (next_ + 1) % perTick_.size();
    filled_ = std::min(filled_ + 1, perTick_.size());
    return filled_ == perTick_.size() && sum_ < minBytes;
}

// ---------------------------------------------------------------------------------------------

TImage::TImage(QWidget* parent) : QLabel(parent) {
    setScaledContents(true);
    // A JPEG has no transparent pixels; "transparent" only means nothing is painted behind it.
    setAutoFillBackground(false);
}

void TImage::LoadFromFile(const QString& path) {
    QImageReader reader(path);
    const QImage image = reader.read();
    if (image.isNull())
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2")
                              .arg(QDir::toNativeSeparators(path), reader.errorString()));
    setPixmap(QPixmap::fromImage(image));
}

void TImage::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        OnClick)
        OnClick();
}

// ---------------------------------------------------------------------------------------------

TForm2::TForm2(QObject* Owner) : QDialog(qobject_cast<QWidget*>(Owner)) {
    setUpWindow();
    createFtpClient();
    createWatchdog();
    createPictures();
    createStatusLines();
    createProgressBar();
    createAttemptTimer();
}

void TForm2::setUpWindow() {
    resize(620, 525);
    if (const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen()) {
        const QRect area = s->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    setWindowTitle(PadDbcsMessage(QStringLiteral("正在更新您的軟體")));
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, Qt::white);
    setPalette(windowPalette);
    setAutoFillBackground(true);
    setWindowState(Qt::WindowNoState);
}

void TForm2::createWatchdog() {
    Timer2 = new QTimer(this);
    Timer2->setInterval(g_watchdog.intervalMs);
    connect(Timer2, &QTimer::timeout, this, &TForm2::Timer2Timer);
}

void TForm2::createPictures() {
    // A missing picture raises, and the window is not created.
    Img1 = new TImage(this);
    Img1->setGeometry(1, 2, 600, 100);
    Img1->LoadFromFile(ExecutableDir() + QStringLiteral("/Data/main_bg03.jpg"));

    Img2 = new TImage(this);
    Img2->setGeometry(1, 122, 600, 320);
    Img2->LoadFromFile(ExecutableDir() + QStringLiteral("/Data/LOGO/velkapc_logo.jpg"));

    Img3 = new TImage(this);
    Img3->setGeometry(500, 122, 90, 40);
    Img3->LoadFromFile(QStringLiteral("img/but_exit.jpg"));
    Img3->setCursor(Qt::PointingHandCursor);
    Img3->OnClick = [this] { Img3Click(); };
}

void TForm2::createStatusLines() {
    // Created after the logo, so that they lie over it.
    auto makeLabel = [this](int left, int top, int width) {
        auto* label = new QLabel(this);
        QFont font = label->font();
        font.setPointSize(16);
        label->setFont(font);
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, kGreen);
        p.setColor(QPalette::Window, kPaleGreen);
        label->setPalette(p);
        label->setAutoFillBackground(false); // transparent: the pale green is never painted
        label->setGeometry(left, top, width, label->sizeHint().height());
        return label;
    };
    Label1 = makeLabel(10, 110, 200);
    setCaption(Label1, QStringLiteral("正在連線中.... "));
    Label2 = makeLabel(10, 140, 540);
    setCaption(Label2, QString());
    Label3 = makeLabel(10, 170, 400);
    setCaption(Label3, QString());
}

void TForm2::createProgressBar() {
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setGeometry(10, 450, 565, 25);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setVisible(true);
}

void TForm2::createAttemptTimer() {
    Timer1 = new QTimer(this);
    Timer1->setInterval(100);
    connect(Timer1, &QTimer::timeout, this, &TForm2::Timer1Timer);
    Timer2->stop();
    // The first attempt starts once the modal loop runs.
    Timer1->start();
}

TForm2::~TForm2() {
    Timer1->stop();
    Timer2->stop();
    destroyFtpClient();
}

void TForm2::createFtpClient() {
    FtpClient1 = new TFtpClient(this);
    applyFtpSettings();
    FtpClient1->SetPassive(true);
    FtpClient1->OnPacketRecvd = [this](QObject* sender) { FtpClient1PacketRecvd(sender); };
    FtpClient1->OnConnectionFailed = [this](QObject* sender) {
        FtpClient1OnConnectionFailed(sender);
    };
}

void TForm2::applyFtpSettings() {
    const ServerSettings& settings = serverSettings();
    FtpClient1->SetHost(settings.host);
    FtpClient1->SetPort(settings.ftpPort);
    FtpClient1->SetUserID(settings.ftpUser);
    FtpClient1->SetPassword(settings.ftpPassword);
    FtpClient1->SetSecurity(settings.ftpTls ? TFtpSecurity::Tls : TFtpSecurity::None);
    FtpClient1->SetCaFile(settings.ftpCaFile);
    // A server that keeps sending must not fill the disk: nothing beyond the announced size of
    // the update is taken.
    FtpClient1->SetMaxFileSize(std::max<std::int64_t>(UpdateFileSize, 0));
}

bool TForm2::ftpConnected() const {
    return FtpClient1 && FtpClient1->Connected();
}

void TForm2::destroyFtpClient() {
    // Cleared first: whatever runs while the component shuts down already sees it gone.
    TFtpClient* client = FtpClient1;
    FtpClient1 = nullptr;
    delete client;
}

QString TForm2::LocalPath() {
    // The update check has applied the same rule; this keeps the window safe on its own.
    if (!IsUsableUpdateFileName(DownloadDir, UpdateFileName))
        return {};
    return DownloadDir + UpdateFileName;
}

void TForm2::setCaption(QLabel* label, const QString& text) {
    label->setText(PadDbcsMessage(text));
    label->adjustSize(); // the label's width follows its caption
}

void TForm2::keyPressEvent(QKeyEvent* event) {
    // The window is left through the exit picture or the title bar, not by a stray Esc.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

// ---------------------------------------------------------------------------------------------
// The attempt

void TForm2::Timer1Timer() {
    Timer1->stop();
    if (DownloadResult > 0) {
        // The window is already on its way out (exit picture): no new attempt.
        close();
        return;
    }
    try {
        runAttempt();
    } catch (const Exception& e) {
        leaveAfterError(e.message());
        return;
    } catch (const std::exception& e) {
        leaveAfterError(QString::fromLocal8Bit(e.what()));
        return;
    }
    if (DownloadResult > 0)
        close();
}

void TForm2::leaveAfterError(const QString& message) {
    // The attempt ends here with Timer1 disabled; the window waits for the user. Nobody is there
    // to close it in an unattended run, so it closes itself (DownloadResult stays as it was).
    ShowException(message);
    if (unattended().enabled)
        close();
}

void TForm2::runAttempt() {
    if (!leftoversRemoved_) {
        // A run killed while its update ran could not remove its private folder.
        leftoversRemoved_ = true;
        UpdateFiles::RemoveLeftovers(DownloadDir);
    }
    startAttempt();
    const QString localPath = LocalPath();
    // Unless the user has left through the exit picture meanwhile: what arrived then is not
    // checked, let alone run.
    if (fetchUpdate(localPath) && endSession() && DownloadResult <= 0)
        checkUpdate(localPath);
    cleanUp();
}

TFtpClient& TForm2::ftp() const {
    // The watchdog or the exit picture may have destroyed the component while an earlier call
    // waited: the call fails as on a broken connection.
    if (!FtpClient1)
        throw EAbortError(QStringLiteral("FTP component destroyed"));
    return *FtpClient1;
}

void TForm2::startAttempt() {
    // A connection left from before is ended (an error here leaves the attempt).
    if (ftpConnected())
        FtpClient1->Disconnect();
    if (!FtpClient1)
        createFtpClient();
    applyFtpSettings();

    // The watchdog runs from the very start, so that a server that accepts the connection and
    // never answers cannot hold the attempt forever: the FTP component has no time-out.
    DLAbort = 0;
    DLstall = 0;
    DLsample = 0;
    oversize_ = false;
    rate_.Stop(); // judged only while a transfer runs
    startDeadlines();
    Timer2->start(g_watchdog.intervalMs);
}

bool TForm2::fetchUpdate(const QString& localPath) {
    if (localPath.isEmpty()) {
        Log(QStringLiteral("Local path refused: "), DownloadDir + UpdateFileName);
        DLAbort = 6;
        Log(QStringLiteral("更新檔不存在"));
        return false;
    }
    if (!connectToServer() || !enterRemoteDir())
        return false;
    announceTransfer();
    if (!ftpConnected()) {
        DLAbort = 2;
        return false;
    }
    if (!transfer(localPath))
        return false;
    if (!SignaturesRequired())
        return true;
    // In the same session as the update, so that both come from the server the attempt reached.
    fetchSignature();
    return DLAbort <= 0;
}

bool TForm2::connectToServer() {
    Log(QStringLiteral("FTP Connect..."));
    try {
        ftp().Connect();
        if (FtpClient1)
            return true; // otherwise destroyed while Connect waited: there is no session
    } catch (const ETlsError& e) {
        // Otherwise a server without TLS, or with a certificate that does not check out, looks
        // like one that is down or busy.
        Log(e.message());
    } catch (...) {
    }
    DLAbort = 1;
    return false;
}

bool TForm2::enterRemoteDir() {
    Log(QStringLiteral("FTP ChangeDir..."));
    try {
        ftp().ChangeDir(kRemoteDir);
        return true;
    } catch (...) {
        DLAbort = 4;
        return false;
    }
}

void TForm2::announceTransfer() {
    DLstall = 0;
    DLsample = 0;
    if (!Timer2->isActive())
        Timer2->start(g_watchdog.intervalMs);
    setCaption(Label2, QStringLiteral("開始下載所需的更新檔案..."));
    DLbase = 0;
    startRateWindow();
}

void TForm2::logLocalCause(const EStreamError& e) {
    // Otherwise a folder that refuses the file looks like a server that is down or busy. The
    // resumption meets the same file (or its absence) again: one line per transfer says it.
    if (localCauseLogged_)
        return;
    Log(e.message());
    localCauseLogged_ = true;
}

bool TForm2::transfer(const QString& localPath) {
    localCauseLogged_ = false;
    // The path is written only as a file this transfer creates: whatever stands there now is
    // not ours to write or delete.
    if (!files_.ClearPath(localPath)) {
        DLAbort = 6;
        return false;
    }
    FtpClient1->SetOwnLocalFile(files_.Update());
    Sleep(200);
    Log(QStringLiteral("FTP Download..."));
    try {
        ftp().Download(UpdateFileName, localPath);
        return true;
    } catch (const EFileTooLarge&) {
        oversize_ = true;
    } catch (const EStreamError& e) {
        logLocalCause(e);
    } catch (const ETlsError& e) {
        Log(e.message()); // a data connection the server or the certificate check refused
    } catch (...) {
    }
    if (DLAbort > 0)
        return false; // the watchdog aborted the transfer
    if (!FtpClient1 || DownloadResult > 0)
        return true; // destroyed while waiting: nothing more is done on that connection
    // More than the update's size is no broken transfer: a resumption would only bring more of
    // the same. The file check fails the attempt.
    if (oversize_)
        return true;
    return resumeTransfer(localPath);
}

bool TForm2::resumeTransfer(const QString& localPath) {
    // One resumption, from what the broken transfer left in the file. The component's size
    // limit counts the part already there, so the resumption is bounded too.
    Sleep(200);
    DLbase = DLrecvd;
    DLstall = 0;
    startRateWindow();
    Log(QStringLiteral("FTP DownloadRestore..."));
    try {
        FtpClient1->DownloadRestore(UpdateFileName, localPath);
        return true;
    } catch (const EFileTooLarge&) {
        oversize_ = true;
    } catch (const EStreamError& e) {
        logLocalCause(e);
    } catch (...) {
    }
    // A resumption that fails on its own goes on to the file check; one that the watchdog
    // aborted goes to the clean-up.
    return DLAbort <= 0;
}

bool TForm2::endSession() {
    Log(QStringLiteral("Timer2->Enabled=False"));
    Timer2->stop();
    Sleep(500);
    Log(QStringLiteral("Sleep(500)"));
    closeConnection();
    if (DLAbort <= 0)
        return true;
    // The watchdog struck while the connection was being closed.
    Log(QStringLiteral("DLAbort="), DLAbort);
    Log(QStringLiteral("goto DLagen"));
    return false;
}

void TForm2::closeConnection() {
    if (!ftpConnected()) {
        Log(QStringLiteral("FtpClient1->Connected = False"));
        return;
    }
    try {
        Log(QStringLiteral("FTP RequestCloseSocket..."));
        FtpClient1->RequestCloseSocket();
        Log(QStringLiteral("FTP Disconnect..."));
        try {
            if (FtpClient1)
                FtpClient1->Disconnect();
        } catch (...) {
            Log(QStringLiteral("FTP Disconnect retry..."));
            if (FtpClient1)
                FtpClient1->Disconnect();
        }
    } catch (...) {
        // Last resort; an error from here leaves the attempt.
        Log(QStringLiteral("FTP RequestCloseSocket retry..."));
        if (FtpClient1)
            FtpClient1->RequestCloseSocket();
        Log(QStringLiteral("FTP Disconnect retry1..."));
        if (FtpClient1)
            FtpClient1->Disconnect();
    }
}

void TForm2::checkUpdate(const QString& localPath) {
    Log(QStringLiteral("下載完成，等一秒解壓"));
    Log(QStringLiteral("Sleep(500)"));
    Sleep(500);
    checkFile(localPath);
    if (DLAbort == 0 && SignaturesRequired())
        verifySignature();
}

void TForm2::checkFile(const QString& localPath) {
    Log(localPath);
    Log(QStringLiteral("檢查更新檔是否存在"));
    // Only the announced size counts as complete: an empty file (or one whose size cannot be
    // read) from a server that sent nothing must not be run and recorded as installed. A file
    // cut at the announced size because more kept coming has that size, and is not the update
    // either.
    runDigest_.reset();
    if (oversize_) {
        Log(QStringLiteral("更新檔下載不完全"));
        DLAbort = 3;
        return;
    }
    // What is judged from here on, and run, is a private copy of the file this attempt
    // created: the file at the public path can be replaced at any moment, the copy cannot. One
    // byte more than announced is enough to tell a longer file.
    const UpdateFiles::Copy copy =
        files_.CopyForRun(static_cast<std::int64_t>(std::max<std::int32_t>(UpdateFileSize, 0)) + 1);
    switch (copy.result) {
    case CopyOutcome::Copied:
        if (copy.bytes != static_cast<std::int64_t>(UpdateFileSize)) {
            Log(QStringLiteral("更新檔下載不完全"));
            DLAbort = 3;
            return;
        }
        runDigest_ = copy.sha256;
        return;
    case CopyOutcome::NotOwnFile:
        Log(QStringLiteral("Not the file this download created: "), localPath);
        break;
    case CopyOutcome::Failed:
        Log(QStringLiteral("Cannot copy the update to a private folder: "), copy.reason);
        DLAbort = 6;
        return;
    case CopyOutcome::SourceMissing:
        break;
    }
    DLAbort = 6;
    Log(QStringLiteral("更新檔不存在"));
}

void TForm2::fetchSignature() {
    signature_.reset();
    if (!ftpConnected())
        return; // the watchdog ended the session with the file complete: nothing to fetch
    // Fetched into a file of our own making in the private folder, and read back at most one
    // byte past the limit: a signature is a line, not a download.
    const std::optional<QString> signaturePath = files_.SignaturePath();
    if (!signaturePath) {
        Log(QStringLiteral("Cannot create a file for the update's signature"));
        return;
    }
    const std::shared_ptr<OwnFile> updateFile = FtpClient1->OwnLocalFile();
    FtpClient1->SetOwnLocalFile(files_.Signature());
    const auto restore = qScopeGuard([this, updateFile] {
        if (FtpClient1)
            FtpClient1->SetOwnLocalFile(updateFile);
        files_.DeleteSignature();
    });
    Log(QStringLiteral("FTP Download signature..."));
    fetchingSignature_ = true;
    signatureAborted_ = false;
    signatureClock_.start(); // the watchdog ends the fetch at its deadline
    rate_.Stop(); // the update's transfer is over; a signature is too short to judge a rate by
    const qint64 updateLimit = FtpClient1->MaxFileSize();
    FtpClient1->SetMaxFileSize(UpdateSignature::MaxSignatureFileBytes);
    bool complete = false;
    bool tooLong = false;
    try {
        FtpClient1->Download(UpdateFileName + QStringLiteral(".sig"), *signaturePath);
        complete = true;
    } catch (const EFileTooLarge&) {
        // Announced longer than the limit (nothing was taken), or cut there.
        tooLong = true;
    } catch (...) {
        // Refused (no such file), broken off, or ended by the watchdog at the deadline.
    }
    fetchingSignature_ = false;
    signatureAborted_ = false;
    if (FtpClient1)
        FtpClient1->SetMaxFileSize(updateLimit);
    if (tooLong) {
        signature_ = IncompleteSignature();
        return;
    }
    const std::optional<QByteArray> bytes =
        files_.ReadSignature(UpdateSignature::MaxSignatureFileBytes + 1);
    if (!bytes)
        return;
    if (complete)
        signature_ = *bytes;
    else if (!bytes->isEmpty())
        signature_ = IncompleteSignature();
    // Nothing arrived: the check reports the signature missing.
}

void TForm2::verifySignature() {
    bool invalidKey = false;
    const QList<QByteArray> keys =
        UpdateSignature::ParsePublicKeys(serverSettings().publicKeys, &invalidKey);
    if (invalidKey)
        Log(QStringLiteral("PublicKeys: an entry that is not an Ed25519 public key is ignored"));
    // The digest of the private copy's bytes, taken while it was made: the bytes that run.
    const std::optional<QByteArray> digest = runDigest_;
    UpdateSignature::Claim claim;
    claim.product = ProductCode();
    claim.version = NextVersion;
    claim.fileName = UpdateFileName;
    claim.size = UpdateFileSize;
    claim.sha256 = digest.value_or(QByteArray());
    const UpdateSignature::Verdict verdict = digest
                                                 ? UpdateSignature::Verify(signature_, claim, keys)
                                                 : UpdateSignature::Verdict::WrongContents;
    signature_.reset();
    if (verdict == UpdateSignature::Verdict::Verified) {
        Log(QStringLiteral("Update signature verified"));
        return;
    }
    // Never run, never made executable: the clean-up deletes it and counts a failed attempt.
    Log(QStringLiteral("Update signature not verified: "), UpdateSignature::VerdictText(verdict));
    DLAbort = 9;
}

void TForm2::cleanUp() {
    disconnectAfterAttempt();
    if (DownloadResult > 0) {
        // The user left through the exit picture while the attempt waited: drop what arrived,
        // count no attempt, ask nothing; the window closes.
        if (files_.UpdateIsThere()) {
            Log(QStringLiteral("刪除更新檔下載不完全"));
            files_.DeleteUpdate();
        }
        files_.DiscardPrivateFolder();
        ProgressBar1->setValue(0);
        return;
    }
    if (DLAbort > 0)
        discardFailedUpdate();
    else if (files_.RunCopy().isEmpty())
        countMissingUpdate(); // nothing checked: nothing to run
    else if (runFile())
        return;
    retryDecision();
}

void TForm2::disconnectAfterAttempt() {
    if (!ftpConnected())
        return;
    Log(QStringLiteral("FTP Disconnect(DLagen)"));
    try {
        FtpClient1->Disconnect();
    } catch (...) {
        Log(QStringLiteral("FTP Disconnect(DLagen) retry"));
        if (FtpClient1)
            FtpClient1->Disconnect();
    }
}

void TForm2::discardFailedUpdate() {
    Log(QStringLiteral("刪除更新檔下載不完全"));
    // Only the file this attempt created: a refused name, a failed set-aside or a transfer the
    // server refused leaves whatever stands at the path as it is.
    files_.DeleteUpdate();
    files_.DiscardPrivateFolder();
    ProgressBar1->setValue(0);
    ++DLretry;
    Log(QStringLiteral("DLretry="), DLretry);
}

void TForm2::countMissingUpdate() {
    Log(QStringLiteral("更新檔下載失敗"));
    ++DLretry;
}

bool TForm2::runFile() {
    setCaption(Label3, QStringLiteral("執行解壓縮中..."));
    repaint();
    Log(QStringLiteral("等待解壓..."));
    Sleep(1000);

    // The private copy that was checked (made executable by its owner only), never the file at
    // the public path.
    const std::optional<ProcessHandle> process = StartProgram(files_.RunCopy());
    if (!process) {
        files_.DiscardPrivateFolder();
        Log(QStringLiteral("Could not create Process"));
        ShowMessage(QStringLiteral("Could not create Process."));
        // Nobody can click the exit picture in an unattended run: a file that cannot be
        // started counts as a failed attempt there, so the run ends after three.
        if (unattended().enabled)
            ++DLretry;
        return false;
    }
    Log(QStringLiteral("執行-解壓..."));
    WaitForProcess(*process); // the exit code is not looked at
    Sleep(1000);
    Log(QStringLiteral("執行-解壓...完成"));
    DownloadResult = 1;
    files_.DeleteUpdate();
    if (files_.UpdateIsThere()) {
        Sleep(300);
        files_.DeleteUpdate();
    }
    files_.DiscardPrivateFolder();
    return true;
}

void TForm2::retryDecision() {
    if (DLretry >= 3) {
        ShowMessage(QStringLiteral("FTP連線異常或忙線,\r\n 請稍後再重試"));
        if (DownloadResult <= 0)
            DownloadResult = 2;
        return;
    }
    QString text = QStringLiteral("正在連線中.... ");
    if (DLretry > 0)
        text += QStringLiteral("重試 ") + QString::number(DLretry);
    setCaption(Label1, text);
    setCaption(Label2, QString());
    Sleep(300);
    Log(QStringLiteral("Timer1->Enabled=True"));
    Timer1->start();
}

// ---------------------------------------------------------------------------------------------
// The watchdog, the progress and the exit picture. They run inside a pending FTP call, so they
// never throw into the event loop.

void TForm2::startRateWindow() {
    const std::int32_t received = FtpClient1 ? FtpClient1->ReceivedBytes() : 0;
    rate_.Start(static_cast<std::int64_t>(DLbase) + received, g_watchdog.rateWindowTicks);
}

void TForm2::startDeadlines() {
    const ServerSettings& settings = serverSettings();
    attemptDeadlineMs_ =
        AttemptDeadlineMs(UpdateFileSize, settings.ftpMinAverageRate, settings.ftpAttemptSlack);
    attemptClock_.start();
    signatureClock_.invalidate();
}

bool TForm2::attemptOverdue() {
    if (!attemptClock_.isValid() || attemptClock_.elapsed() < attemptDeadlineMs_)
        return false;
    // One verdict per attempt: the ticks that run on through its clean-up must not repeat it.
    attemptClock_.invalidate();
    return true;
}

bool TForm2::signatureOverdue() {
    return fetchingSignature_ && !signatureAborted_ && signatureClock_.isValid() &&
           signatureClock_.elapsed() >= g_watchdog.signatureDeadlineMs;
}

void TForm2::abortSignature() {
    // Only the signature's transfer ends, not the attempt: the update is complete, and the
    // check that follows refuses the signature (missing, or malformed when a part came).
    signatureAborted_ = true;
    if (FtpClient1) {
        try {
            FtpClient1->Abort();
            FtpClient1->Cancel();
        } catch (...) {
        }
    }
}

void TForm2::Timer2Timer() {
    Timer2->stop();
    ++DLstall;
    if (signatureOverdue()) {
        abortSignature();
        Timer2->start();
        return;
    }
    if (attemptOverdue()) {
        // Packets may still come, but too few for the promised size to arrive in time: a
        // stall all the same.
        stalled();
        return;
    }
    // Without a transfer the count reads 0.
    const std::int32_t received = FtpClient1 ? FtpClient1->ReceivedBytes() : 0;
    if (rate_.Tick(static_cast<std::int64_t>(DLbase) + received, g_watchdog.rateWindowBytes)) {
        // Packets keep coming, but too few bytes to ever finish: a stall all the same.
        stalled();
        return;
    }
    if (DLstall <= g_watchdog.quietTicks) {
        Timer2->start();
        return;
    }
    // No packet for a whole window: take a sample.
    if (received != DLsample) {
        DLsample = received;
        DLstall = 0;
        Timer2->start();
        return;
    }
    stalled();
}

void TForm2::stalled() {
    rate_.Stop();
    const QString localPath = LocalPath();
    if (FileExists(localPath)) {
        if (FileSize(localPath) == static_cast<std::int64_t>(UpdateFileSize)) {
            // The file is all there although the transfer never finished.
            DLAbort = 0;
            Log(QStringLiteral("delete FTP1,DLAbort="), DLAbort);
            destroyFtpClient();
            return;
        }
        DLAbort = 8;
        Log(QStringLiteral("更新檔下載中.."), DLAbort);
    }
    // Ends the pending transfer (when there is one) and the pending wait on the control
    // connection, so that a silent server cannot hold the attempt either.
    if (FtpClient1) {
        try {
            FtpClient1->Abort();
            FtpClient1->Cancel();
        } catch (...) {
        }
    }
    DLAbort = 7;
    DLstall = 0;
    Timer2->start();
}

void TForm2::FtpClient1PacketRecvd(QObject*) {
    if (!FtpClient1)
        return;
    DLstall = 0;
    if (fetchingSignature_)
        return; // the bar shows the update, which is complete
    const std::int32_t received = FtpClient1->ReceivedBytes();
    DLrecvd = received;
    int position = 0;
    if (UpdateFileSize > 0) {
        const std::int64_t percent =
            (static_cast<std::int64_t>(received) + DLbase) * 100 / UpdateFileSize;
        position = static_cast<int>(std::clamp<std::int64_t>(percent, 0, 100));
    }
    ProgressBar1->setValue(position);
}

void TForm2::FtpClient1OnConnectionFailed(QObject*) {
    // The attempt learns of the failure from the exception that follows.
}

void TForm2::Img3Click() {
    DownloadResult = 3;
    Timer1->stop();
    Timer2->stop();
    destroyFtpClient(); // ends its connections; a pending call on it returns with an error
    close();
}
