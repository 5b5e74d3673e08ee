#pragma once
// The download window: a modal dialog that fetches the update file from the update server by
// FTP (three attempts, one resumption inside an attempt, a stall watchdog), checks its size,
// runs it and deletes it. The outcome goes back to the update check in DownloadResult.
//
// Everything runs on the GUI thread. The FTP calls of an attempt pump events while they wait,
// so the watchdog, the packet events and the exit picture's click run inside a pending call.
// Those two may destroy FtpClient1 there: every step of the attempt re-reads the pointer after
// a call that pumps, and a destroyed component counts as a closed connection.
#include "UpdateFiles.h"

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QKeyEvent;
class QMouseEvent;
class QProgressBar;
class QTimer;
class TFtpClient;
class EStreamError;

// A picture control: a stretched pixmap that reports clicks.
class TImage : public QLabel {
public:
    explicit TImage(QWidget* parent);
    // Loads a JPEG (or any format Qt reads). Raises EFOpenError when the file is missing or
    // cannot be decoded.
    void LoadFromFile(const QString& path);
    std::function<void()> OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// The signature file is one line of at most 4 KiB: on any link that carries the update it comes
// in a second or two. A server that trickles it gets this long, then the signature counts as
// not had.
inline constexpr int kSignatureDeadlineMs = 30000;

// Timing of the watchdog. Production: a tick every 1000 ms, and a stall is declared on the
// ninth tick without a packet, or when a transfer has brought fewer than 4 KiB in the last 60
// ticks (a server that trickles a byte now and then is never silent long enough for the first
// rule), or when the attempt outlives its whole deadline (AttemptDeadlineMs: a server that
// sends just enough for both rules would otherwise hold an attempt for days). Tests shorten the
// interval so that a stalled transfer is caught in well under a second, and may shorten the
// rate window and the signature's deadline with it.
struct WatchdogTiming {
    int intervalMs = 1000;
    int quietTicks = 8;         // ticks tolerated without a packet before a sample is taken
    int rateWindowTicks = 60;   // ticks over which a transfer's bytes are counted; 0: no check
    int rateWindowBytes = 4096; // fewer bytes than this over a whole window is a stall
    int signatureDeadlineMs = kSignatureDeadlineMs; // the whole fetch of the signature file
};
// Returns the previous timing.
WatchdogTiming setWatchdogTimingForTesting(const WatchdogTiming& timing);

// The whole deadline of one attempt, in milliseconds from its start: slackSeconds, plus the
// promised size at minAverageRate bytes a second (rounded up). A size of 0 or less counts as 0,
// a rate below 1 as 1. Exact in 64 bits for every 32-bit size.
std::int64_t AttemptDeadlineMs(std::int32_t promisedSize, int minAverageRate, int slackSeconds);

// The bytes a transfer brought in each of the watchdog's last ticks, to tell a transfer that
// still moves from one that only trickles.
class TransferRateWindow {
public:
    // Starts a new window at the transfer's current count (nothing judged until it is full).
    void Start(std::int64_t count, int ticks);
    void Stop();
    // One tick with the transfer's current count; true when a whole window has passed with
    // fewer than minBytes. A count that goes down (a new data connection) adds nothing.
    bool Tick(std::int64_t count, std::int64_t minBytes);

private:
    std::vector<std::int64_t> perTick_; // ring, one slot per tick of the window
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
    std::int64_t sum_ = 0;
    std::int64_t last_ = 0;
};

class TForm2 : public QDialog {
public:
    // Builds every control. Owner: a widget becomes the parent; anything else (the application
    // object) leaves the window top-level, and whoever created it destroys it. Raises
    // EFOpenError when a picture is missing or unreadable.
    explicit TForm2(QObject* Owner);
    ~TForm2() override;

    // Handlers (bound by the constructor; public so that tests can drive them).
    void Timer1Timer();                   // one download attempt
    void Timer2Timer();                   // one watchdog tick
    void FtpClient1PacketRecvd(QObject*); // progress
    void FtpClient1OnConnectionFailed(QObject*);
    void Img3Click();

    // The local path of the update file: DownloadDir followed by UpdateFileName. Empty when
    // IsUsableUpdateFileName refuses the name (the name comes from the database and must not
    // place the file anywhere but DownloadDir, nor over one of the program's own files).
    static QString LocalPath();

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    TFtpClient* FtpClient1 = nullptr; // null once the watchdog or the exit picture destroyed it
    TImage* Img1 = nullptr;
    TImage* Img2 = nullptr;
    TImage* Img3 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Construction, in the order the controls are made.
    void setUpWindow();
    void createFtpClient();
    void createWatchdog();
    void createPictures();
    void createStatusLines();
    void createProgressBar();
    void createAttemptTimer();

    void applyFtpSettings();
    bool ftpConnected() const;
    // FtpClient1, or EAbortError when the watchdog or the exit picture has destroyed it.
    TFtpClient& ftp() const;
    void destroyFtpClient();

    // One attempt. The stages that return bool answer whether the attempt goes on; false sends
    // it to the clean-up, with the reason in DLAbort.
    void runAttempt();
    void startAttempt();
    bool fetchUpdate(const QString& localPath);
    bool connectToServer();
    bool enterRemoteDir();
    void announceTransfer();
    bool transfer(const QString& localPath);
    bool resumeTransfer(const QString& localPath);
    void logLocalCause(const EStreamError& e); // the update file could not be written
    bool endSession();
    void closeConnection();
    void checkUpdate(const QString& localPath);
    void checkFile(const QString& localPath);
    void fetchSignature();
    void verifySignature();
    void cleanUp();
    void disconnectAfterAttempt();
    void discardFailedUpdate();
    void countMissingUpdate();
    bool runFile(); // false: the checked copy could not be started
    void retryDecision();

    void setCaption(QLabel* label, const QString& text);
    void leaveAfterError(const QString& message);
    void startRateWindow();
    void startDeadlines();
    bool attemptOverdue();   // true once per attempt, when its whole deadline has passed
    bool signatureOverdue(); // true once per fetch, when the signature's deadline has passed
    void abortSignature();
    void stalled(); // the watchdog's verdict: the transfer is aborted (or found complete)

    bool localCauseLogged_ = false; // this transfer's local failure is in the log already
    bool oversize_ = false;         // the server sent more than UpdateFileSize in this attempt
    TransferRateWindow rate_;
    // The update's signature file as fetched in this attempt; nullopt when it could not be had.
    std::optional<QByteArray> signature_;
    bool fetchingSignature_ = false;
    bool signatureAborted_ = false; // the watchdog ended this signature fetch at its deadline
    QElapsedTimer attemptClock_;    // since the attempt began; invalid once the deadline struck
    std::int64_t attemptDeadlineMs_ = 0;
    QElapsedTimer signatureClock_; // since the signature fetch began
    // The files this run made, and the only ones it deletes, writes or runs.
    UpdateFiles files_;
    bool leftoversRemoved_ = false;
    // SHA-256 of the private copy's bytes, taken while it was made.
    std::optional<QByteArray> runDigest_;
};
