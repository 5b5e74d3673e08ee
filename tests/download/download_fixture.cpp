#include "download_fixture.h"

#include "download/DownloadState.h"
#include "launcher/Globals.h"
#include "launcher/LogFile.h"
#include "launcher/Messages.h"
#include "platform/Dialogs.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QTimer>

QString padded(const QString& text) {
    return PadDbcsMessage(text);
}

void DownloadFixture::SetUp() {
    ASSERT_TRUE(dir.isValid());
    oldCwd_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("img")));
    ASSERT_TRUE(QFile::copy(QStringLiteral(PCV_SOURCE_DIR "/assets/img/but_exit.jpg"),
                            QStringLiteral("img/but_exit.jpg")));
    ASSERT_TRUE(QDir().mkpath(downloadDir()));
    ASSERT_TRUE(QDir().mkpath(ftpDir()));

    DLAbort = DLretry = DLstall = DLsample = DLrecvd = DLbase = 0;
    DownloadResult = 0;
    DownloadDir = downloadDir();
    UpdateFileName = QStringLiteral("update.sh");
    UpdateFileSize = 0;
    setWatchdogTimingForTesting(WatchdogTiming{});

    ServerSettings s = defaultServerSettings();
    s.host = QStringLiteral("127.0.0.1");
    s.ftpPort = 1; // nothing listens there until a server is started
    s.ftpUser = QStringLiteral("velk");
    s.ftpPassword = QStringLiteral("velkaftp");
    setServerSettings(s);

    setMessageHandlerForTesting([this](const MessageRequest& request) {
        messages << request.text;
        return IDOK;
    });
    ASSERT_TRUE(LogFile::Open());
}

void DownloadFixture::TearDown() {
    LogFile::Close();
    setMessageHandlerForTesting(nullptr);
    stopServer();
    setWatchdogTimingForTesting(WatchdogTiming{});
    QDir::setCurrent(oldCwd_);
}

void DownloadFixture::putRemoteFile(const QString& name, const QByteArray& bytes) {
    QFile f(ftpDir() + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
    UpdateFileName = name;
}

void DownloadFixture::startServer(const QString& mode, qint64 bytes) {
    ASSERT_NO_FATAL_FAILURE(startFtpServer(mode, bytes));
    useFtpPort(ftpPort());
}

void DownloadFixture::useFtpPort(int port) {
    ServerSettings s = serverSettings();
    s.ftpPort = port;
    setServerSettings(s);
}

void DownloadFixture::useFtpLogin(const QString& user, const QString& password) {
    ServerSettings s = serverSettings();
    s.ftpUser = user;
    s.ftpPassword = password;
    setServerSettings(s);
}

std::unique_ptr<TForm2> DownloadFixture::runWindow(int limitMs) {
    auto form = std::make_unique<TForm2>(nullptr);
    TForm2* f = form.get();
    label1Captions = {f->Label1->text()};
    maxProgress = 0;
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, [this, f] {
        if (label1Captions.last() != f->Label1->text())
            label1Captions << f->Label1->text();
        maxProgress = std::max(maxProgress, f->ProgressBar1->value());
        if (!grabDuringTransfer.isEmpty() && f->ProgressBar1->value() > 0) {
            f->grab().save(grabDuringTransfer);
            grabDuringTransfer.clear();
        }
    });
    watch.start();
    bool timedOut = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [&timedOut, f] {
        timedOut = true;
        f->Img3Click(); // ends whatever call is pending, closes the window
    });
    limit.start(limitMs);
    form->exec();
    maxProgress = std::max(maxProgress, f->ProgressBar1->value());
    EXPECT_FALSE(timedOut) << "the window did not close within " << limitMs << " ms";
    return form;
}

QStringList DownloadFixture::logLines() {
    LogFile::Close();
    QFile f(QString::fromLatin1(LogFile::kFileName));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    return bytes.isEmpty() ? QStringList() : decodeLogLines(bytes);
}
