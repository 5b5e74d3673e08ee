#include "Setup1.h"

#include "UpdateCheck.h"
#include "interface/SerialLink.h"
#include "platform/Dialogs.h"

#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QTimer>
#include <utility>

TForm1* Form1 = nullptr;

namespace {
std::optional<LaunchSteps> g_stepsForTesting;
}

LaunchSteps defaultLaunchSteps() {
    LaunchSteps s;
    s.findInterface = [] { return FindInterface(); };
    s.closePort = [] { ClosePort(); };
    s.deviceType = [] { return DeviceType; };
    s.startProgram = [](const QString& file) { return StartProgram(file); };
    s.waitForProcess = [](ProcessHandle process) { return WaitForProcess(process); };
    s.runUpdateCheck = [] { RunUpdateCheck(); };
    return s;
}

std::optional<LaunchSteps> setLaunchStepsForTesting(std::optional<LaunchSteps> steps) {
    std::optional<LaunchSteps> previous = std::move(g_stepsForTesting);
    g_stepsForTesting = std::move(steps);
    return previous;
}

TForm1::TForm1(QWidget* owner) : QWidget(owner) {
    buildFromResource();
    launch(g_stepsForTesting ? *g_stepsForTesting : defaultLaunchSteps());
}

void TForm1::buildFromResource() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("PC_Velka_Setup"));
    move(192, 107);
    resize(604, 520);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button)); // clBtnFace
    setPalette(pal);
    setAutoFillBackground(true);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11); // a font height of -11 is 11 pixels of character height
    setFont(font);

    Label4 = new QLabel(QStringLiteral("Ver: 1.6"), this);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->move(464, 432);
    Label4->adjustSize();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(100);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    Timer1->start(); // enabled as loaded
}

void TForm1::launch(const LaunchSteps& steps) {
    // Off until the end: no tick may close the form while a box or the download window runs
    // its own message loop.
    Timer1->stop();

    const int found = steps.findInterface();
    steps.closePort();
    if (!found) {
        MessageBoxA(QStringLiteral("Interface install fail !"), QStringLiteral("Set error"), MB_OK);
    } else if (const std::uint8_t type = steps.deviceType(); type == 1 || type == 5) {
        if (const auto process = steps.startProgram(QString::fromLatin1(kDiagnosticsProgram)))
            steps.waitForProcess(*process); // blocks, no messages, as long as pc1.exe runs
        else
            ShowMessage(QStringLiteral("Could not create Process."));
        steps.runUpdateCheck();
    }

    Timer1->start();
}

void TForm1::Timer1Timer() {
    close();
}
