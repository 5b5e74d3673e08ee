#include "DownloadFixture.h"

#include "download/DownloadState.h"
#include "launcher/Globals.h"
#include "launcher/LogFile.h"
#include "launcher/Messages.h"
#include "platform/Big5.h"
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
    ASSERT_TRUE(tmp_.isValid());
    oldCwd_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp_.path()));
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
    SetWatchdogTiming(WatchdogTiming{});

    ServerSettings s = defaultServerSettings();
    s.host = QStringLiteral("127.0.0.1");
    s.ftpPort = 1; // nothing listens there until a server is started
    s.ftpUser = QStringLiteral("velk");
    s.ftpPassword = QStringLiteral("velkaftp");
    setServerSettings(s);

    setMessageHandler([this](const MessageRequest& request) {
        messages << request.text;
        return IDOK;
    });
    ASSERT_TRUE(LogFile::Open());
}

void DownloadFixture::TearDown() {
    LogFile::Close();
    setMessageHandler(nullptr);
    stopServer();
    SetWatchdogTiming(WatchdogTiming{});
    QDir::setCurrent(oldCwd_);
}

QByteArray DownloadFixture::putUpdate(const QString& name, qsizetype size) {
    QByteArray script = "#!/bin/sh\n"
                        "echo ran >> \"$(dirname \"$0\")/marker\"\n"
                        "exit 7\n";
    while (script.size() < size) {
        const QByteArray line =
            "# padding " + QByteArray::number(script.size()).rightJustified(12, '0') + "\n";
        script += line;
    }
    if (size >= 0 && script.size() > size)
        script.truncate(size);
    putRemoteFile(name, script);
    UpdateFileSize = static_cast<std::int32_t>(script.size());
    return script;
}

void DownloadFixture::putRemoteFile(const QString& name, const QByteArray& bytes) {
    QFile f(ftpDir() + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
    UpdateFileName = name;
}

void DownloadFixture::startServer(const QString& mode, qint64 bytes) {
    server_ = std::make_unique<QProcess>();
    server_->setProcessChannelMode(QProcess::SeparateChannels);
    server_->setStandardErrorFile(tmp_.path() + QStringLiteral("/ftp-server.log"));
    // Debian's interpreter: it is the one that has pyftpdlib.
    server_->start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(PCV_SOURCE_DIR "/tools/ftp_update_server.py"),
                    QStringLiteral("--root"), tmp_.path() + QStringLiteral("/ftproot"),
                    QStringLiteral("--user"), QStringLiteral("velk"), QStringLiteral("--password"),
                    QStringLiteral("velkaftp"), QStringLiteral("--mode"), mode,
                    QStringLiteral("--bytes"), QString::number(bytes), QStringLiteral("--trace"),
                    tracePath()});
    ASSERT_TRUE(server_->waitForStarted(5000));
    QByteArray line;
    for (int i = 0; i < 100 && !line.contains('\n'); ++i) {
        server_->waitForReadyRead(100);
        line += server_->readAllStandardOutput();
    }
    ASSERT_TRUE(line.startsWith("PORT ")) << line.constData();
    port_ = line.mid(5).trimmed().toInt();
    ASSERT_GT(port_, 0);
    ServerSettings s = serverSettings();
    s.ftpPort = port_;
    setServerSettings(s);
}

void DownloadFixture::stopServer() {
    if (!server_)
        return;
    server_->closeWriteChannel(); // the server leaves when its stdin closes
    if (!server_->waitForFinished(3000)) {
        server_->kill();
        server_->waitForFinished(3000);
    }
    server_.reset();
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
    QStringList lines;
    if (bytes.isEmpty())
        return lines;
    EXPECT_TRUE(bytes.endsWith("\r\n")) << "last line without CR LF";
    QList<QByteArray> raws = bytes.split('\n');
    raws.removeLast(); // after the final line end
    for (const QByteArray& raw : raws) {
        EXPECT_TRUE(raw.endsWith('\r')) << "line without CR LF: " << raw.constData();
        lines << fromBig5(raw.endsWith('\r') ? raw.chopped(1) : raw);
    }
    return lines;
}

QStringList DownloadFixture::traceLines() const {
    QFile f(tracePath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
