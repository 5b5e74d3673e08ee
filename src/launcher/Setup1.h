#pragma once
// The main form. It has no work of its own for the user: its construction runs the whole
// launcher (find the interface, start pc1.exe and wait for it, run the update check), and its
// timer closes it 100 ms after the message loop has shown it.
#include "platform/Process.h"

#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

class QLabel;
class QTimer;

// The steps the launch sequence calls, so that tests can watch the sequence with stand-ins.
struct LaunchSteps {
    std::function<int()> findInterface;
    std::function<void()> closePort;
    std::function<std::uint8_t()> deviceType;
    std::function<std::optional<ProcessHandle>(const QString&)> startProgram;
    std::function<int(ProcessHandle)> waitForProcess;
    std::function<void()> runUpdateCheck;
};
// The real steps: the serial link, the start of a program, the update check.
LaunchSteps defaultLaunchSteps();
// The steps the next forms run instead of the real ones (nullopt: the real ones again).
// Returns the previous ones.
std::optional<LaunchSteps> setLaunchStepsForTesting(std::optional<LaunchSteps> steps);

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // Builds the form and runs the launch sequence before returning.
    explicit TForm1(QWidget* owner = nullptr);

    QLabel* Label4 = nullptr;
    QTimer* Timer1 = nullptr;

public slots:
    void Timer1Timer();

private:
    void buildFromResource();
    void launch(const LaunchSteps& steps);
};

// The main form, set by the entry point.
extern TForm1* Form1;

inline constexpr const char* kDiagnosticsProgram = "pc1.exe";
