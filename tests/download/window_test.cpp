// The download window as built: geometry, colours, captions, the exit picture, the pictures'
// failures. No FTP server: the settings point at a loopback listener that must stay unused.
#include "download/DownloadState.h"
#include "download_fixture.h"
#include "launcher/Globals.h"
#include "net/FtpClient.h"
#include "platform/Exception.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QProgressBar>
#include <QScreen>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

namespace {

class WindowTest : public DownloadFixture {};

TEST_F(WindowTest, BuiltAsTheTableSays) {
    TForm2 form(nullptr);
    EXPECT_EQ(form.size(), QSize(620, 525));
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((form.geometry().center() - area.center()).manhattanLength(), 2);
    EXPECT_EQ(form.palette().color(QPalette::Window), QColor(255, 255, 255));
    EXPECT_TRUE(form.autoFillBackground());
    EXPECT_EQ(form.windowTitle(), QStringLiteral("正在更新您的軟體") + QString(8, u' '));
    EXPECT_EQ(form.Label1->text(), QStringLiteral("正在連線中....") + QString(5, u' '));
    EXPECT_EQ(form.Label2->text(), QString());
    EXPECT_EQ(form.Label3->text(), QString());

    struct Placed {
        const char* name;
        QWidget* widget;
        QRect rect;
    };
    const Placed pictures[] = {
        {"Img1", form.Img1, QRect(1, 2, 600, 100)},
        {"Img2", form.Img2, QRect(1, 122, 600, 320)},
        {"Img3", form.Img3, QRect(500, 122, 90, 40)},
        {"ProgressBar1", form.ProgressBar1, QRect(10, 450, 565, 25)},
    };
    for (const Placed& p : pictures) {
        EXPECT_EQ(p.widget->geometry(), p.rect) << p.name;
        EXPECT_EQ(p.widget->parentWidget(), &form) << p.name;
    }
    for (TImage* img : {form.Img1, form.Img2, form.Img3}) {
        EXPECT_TRUE(img->hasScaledContents());
        ASSERT_FALSE(img->pixmap().isNull());
    }
    EXPECT_EQ(form.Img3->cursor().shape(), Qt::PointingHandCursor);
    // The exit picture lies on top of the logo.
    EXPECT_GT(form.children().indexOf(form.Img3), form.children().indexOf(form.Img2));

    const std::pair<QLabel*, QPoint> labels[] = {
        {form.Label1, {10, 110}}, {form.Label2, {10, 140}}, {form.Label3, {10, 170}}};
    for (const auto& [label, pos] : labels) {
        EXPECT_EQ(label->pos(), pos);
        EXPECT_EQ(label->font().pointSize(), 16);
        EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        EXPECT_EQ(label->palette().color(QPalette::Window), QColor(192, 220, 192));
        EXPECT_FALSE(label->autoFillBackground()); // transparent over the logo
        EXPECT_GT(form.children().indexOf(label), form.children().indexOf(form.Img2));
    }
    // The width follows the caption.
    EXPECT_EQ(form.Label1->width(), form.Label1->sizeHint().width());

    EXPECT_EQ(form.ProgressBar1->minimum(), 0);
    EXPECT_EQ(form.ProgressBar1->maximum(), 100);
    EXPECT_EQ(form.ProgressBar1->value(), 0);
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_EQ(form.Timer1->interval(), 100);
    EXPECT_FALSE(form.Timer2->isActive());
    EXPECT_EQ(form.Timer2->interval(), 1000);

    ASSERT_NE(form.FtpClient1, nullptr);
    EXPECT_EQ(form.FtpClient1->Host(), serverSettings().host);
    EXPECT_EQ(form.FtpClient1->Port(), serverSettings().ftpPort);
    EXPECT_EQ(form.FtpClient1->UserID(), QStringLiteral("velk"));
    EXPECT_EQ(form.FtpClient1->Password(), QStringLiteral("velkaftp"));
    EXPECT_TRUE(form.FtpClient1->Passive());
    EXPECT_EQ(form.FtpClient1->parent(), &form);

    // For a person to look at.
    form.show();
    QTest::qWait(50);
    form.grab().save(QStringLiteral(PCV_BINARY_DIR "/download_window.png"));
}

// The exit picture before the first tick: result 3, the window closes, nobody is contacted.
TEST_F(WindowTest, ExitPictureBeforeFirstTick) {
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    useFtpPort(listener.serverPort());

    TForm2 form(nullptr);
    QTimer::singleShot(
        0, &form, [&form] { QTest::mouseClick(form.Img3, Qt::LeftButton, {}, QPoint(45, 20)); });
    form.exec();
    EXPECT_EQ(DownloadResult, 3);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.FtpClient1, nullptr);
    QTest::qWait(300); // a tick that slipped through would connect now
    EXPECT_FALSE(listener.hasPendingConnections());
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_EQ(DLretry, 0);
}

// Closing through the title bar (or any close) leaves the result as it was; Esc does not close.
TEST_F(WindowTest, CloseKeepsResultAndEscIsIgnored) {
    TForm2 form(nullptr);
    form.Timer1->stop(); // no attempt: only the window's own behaviour
    QTimer::singleShot(0, &form, [&form] {
        QTest::keyClick(&form, Qt::Key_Escape);
        EXPECT_TRUE(form.isVisible());
        form.close();
    });
    form.exec();
    EXPECT_EQ(DownloadResult, 0);
    EXPECT_FALSE(form.isVisible());
}

// A picture that is missing or is not a picture: the constructor raises EFOpenError.
TEST_F(WindowTest, BrokenExitPictureRaises) {
    struct Case {
        const char* name;
        QByteArray content; // empty: the file is removed
    };
    const Case cases[] = {{"missing", {}}, {"not a picture", "GIF? no, just text\n"}};
    for (const Case& c : cases) {
        QFile::remove(QStringLiteral("img/but_exit.jpg"));
        if (!c.content.isEmpty()) {
            QFile f(QStringLiteral("img/but_exit.jpg"));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.content);
        }
        try {
            TForm2 form(nullptr);
            ADD_FAILURE() << c.name << ": the window was built";
        } catch (const EFOpenError& e) {
            EXPECT_TRUE(e.message().contains(QStringLiteral("img/but_exit.jpg"))) << c.name;
        }
    }
}

// The logo is looked up beside the executable: a copy of this binary in a folder that has the
// banner but no logo cannot build the window, and says which file it could not open.
TEST_F(WindowTest, MissingLogoRaises) {
    const QString bin = root() + QStringLiteral("/bin/");
    ASSERT_TRUE(QDir().mkpath(bin + QStringLiteral("Data/LOGO")));
    const QString self = QCoreApplication::applicationFilePath();
    ASSERT_TRUE(QFile::copy(self, bin + QStringLiteral("download_tests")));
    QFile::setPermissions(bin + QStringLiteral("download_tests"), QFile::permissions(self));
    ASSERT_TRUE(QFile::copy(QStringLiteral(PCV_SOURCE_DIR "/assets/Data/main_bg03.jpg"),
                            bin + QStringLiteral("Data/main_bg03.jpg")));

    auto construct = [&] {
        QProcess child;
        child.setWorkingDirectory(root()); // has img/but_exit.jpg
        child.start(bin + QStringLiteral("download_tests"), {QStringLiteral("--construct-window")});
        EXPECT_TRUE(child.waitForFinished(30000));
        return std::make_pair(child.exitCode(), QString::fromUtf8(child.readAllStandardOutput()));
    };
    const auto [code, out] = construct();
    EXPECT_EQ(code, 3) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("Data/LOGO/velkapc_logo.jpg"))) << out.toStdString();

    // With the logo in place the same copy builds the window: the failure was the logo.
    ASSERT_TRUE(QFile::copy(QStringLiteral(PCV_SOURCE_DIR "/assets/Data/LOGO/velkapc_logo.jpg"),
                            bin + QStringLiteral("Data/LOGO/velkapc_logo.jpg")));
    const auto [code2, out2] = construct();
    EXPECT_EQ(code2, 0) << out2.toStdString();
}

} // namespace
