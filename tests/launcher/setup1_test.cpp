#include "common/scoped_hook.h"
#include "launcher/Setup1.h"
#include "platform/Dialogs.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QLabel>
#include <QTimer>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "setup1_test";
        static char* argv[] = {name, nullptr};
        app = new QApplication(argc, argv);
    }
    void TearDown() override { delete app; }
    QApplication* app = nullptr;
};
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// True while the main form under construction has Timer1 running. The form is reached
// through the application's widgets, since its pointer is not known until construction ends.
bool formTimerActive() {
    for (QWidget* w : QApplication::allWidgets())
        if (auto* f = qobject_cast<TForm1*>(w); f && f->Timer1 && f->Timer1->isActive())
            return true;
    return false;
}

// Runs the sequence with stand-ins that record every step and every message shown. A step
// that runs while Timer1 is on (it could close the form in a nested loop) is marked.
struct SequenceRun {
    std::vector<std::string> trace;
};

SequenceRun runSequence(int found, std::uint8_t type, bool startOk) {
    SequenceRun run;
    auto note = [&run](std::string step) {
        run.trace.push_back(formTimerActive() ? step + " (timer on)" : std::move(step));
    };
    LaunchSteps steps;
    steps.findInterface = [&] {
        note("find");
        return found;
    };
    steps.closePort = [&] { note("close"); };
    steps.deviceType = [&] { return type; };
    steps.startProgram = [&](const QString& file) -> std::optional<ProcessHandle> {
        note("start " + file.toStdString());
        if (!startOk)
            return std::nullopt;
        return ProcessHandle{4242};
    };
    steps.waitForProcess = [&](ProcessHandle p) {
        note("wait " + std::to_string(p.id));
        return 0;
    };
    steps.runUpdateCheck = [&] { note("update check"); };
    TForm1* form = nullptr;
    {
        const ScopedHook stepsHook(&setLaunchStepsForTesting, std::optional(steps));
        const ScopedHook messagesHook(&setMessageHandlerForTesting, [&](const MessageRequest& r) {
            note("[" + r.caption.toStdString() + "] " + r.text.toStdString() +
                 (r.type == MB_OK ? "" : " type!=MB_OK"));
            return IDOK;
        });
        form = new TForm1(nullptr);
    }
    EXPECT_TRUE(form->Timer1->isActive()) << "Timer1 must be enabled when construction ends";
    EXPECT_EQ(form->Timer1->interval(), 100);
    delete form;
    return run;
}

// The real steps but for the serial link: an interface found or not, of the given type.
LaunchSteps stepsWithInterface(int found, std::uint8_t type) {
    LaunchSteps steps = defaultLaunchSteps();
    steps.findInterface = [found] { return found; };
    steps.closePort = [] {};
    steps.deviceType = [type] { return type; };
    return steps;
}

} // namespace

TEST(LaunchSequence, StepsInOrder) {
    using V = std::vector<std::string>;
    const std::string title = ApplicationTitle().toStdString();
    struct Case {
        const char* name;
        int found;
        std::uint8_t type;
        bool startOk;
        V expected;
    } cases[] = {
        {"no interface", 0, 5, true, V{"find", "close", "[Set error] Interface install fail !"}},
        {"type 5", 1, 5, true, V{"find", "close", "start pc1.exe", "wait 4242", "update check"}},
        {"type 1", 1, 1, true, V{"find", "close", "start pc1.exe", "wait 4242", "update check"}},
        {"type 2", 1, 2, true, V{"find", "close"}},
        {"type 0", 1, 0, true, V{"find", "close"}},
        {"type 255", 1, 255, true, V{"find", "close"}},
        {"pc1.exe cannot start", 1, 5, false,
         V{"find", "close", "start pc1.exe", "[" + title + "] Could not create Process.",
           "update check"}},
    };
    for (const Case& c : cases) {
        const SequenceRun run = runSequence(c.found, c.type, c.startOk);
        EXPECT_EQ(run.trace, c.expected) << c.name;
    }
}

TEST(MainForm, BuiltAsItsResourceSays) {
    const ScopedHook stepsHook(&setLaunchStepsForTesting, std::optional(stepsWithInterface(0, 2)));
    const ScopedHook messagesHook(&setMessageHandlerForTesting,
                                  [](const MessageRequest&) { return IDOK; });
    TForm1 form(nullptr);

    EXPECT_EQ(form.windowTitle(), QStringLiteral("PC_Velka_Setup"));
    EXPECT_EQ(form.pos(), QPoint(192, 107));
    EXPECT_EQ(form.size(), QSize(604, 520));
    EXPECT_EQ(form.font().family(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(form.font().pixelSize(), 11);
    EXPECT_EQ(form.palette().color(QPalette::Window),
              QApplication::palette().color(QPalette::Button));
    ASSERT_NE(form.Label4, nullptr);
    EXPECT_EQ(form.Label4->text(), QStringLiteral("Ver: 1.6"));
    EXPECT_EQ(form.Label4->pos(), QPoint(464, 432));
    EXPECT_TRUE(form.Label4->isVisibleTo(&form));
    EXPECT_EQ(form.Timer1->interval(), 100);
}

TEST(MainForm, TimerClosesFormAbout100msAfterShow) {
    const ScopedHook stepsHook(&setLaunchStepsForTesting, std::optional(stepsWithInterface(1, 2)));
    TForm1 form(nullptr);
    form.show();
    ASSERT_TRUE(form.isVisible());
    QElapsedTimer clock;
    clock.start();
    while (form.isVisible() && clock.elapsed() < 2000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_FALSE(form.isVisible());
    EXPECT_LT(clock.elapsed(), 1000);
}

TEST(MainForm, ScreenshotForAPerson) {
    const ScopedHook stepsHook(&setLaunchStepsForTesting, std::optional(stepsWithInterface(1, 2)));
    TForm1 form(nullptr);
    form.Timer1->stop();
    form.show();
    QApplication::processEvents();
    const QString path = QStringLiteral(PCV_BINARY_DIR "/tests/launcher/form1.png");
    const QPixmap shot = form.grab();
    EXPECT_EQ(shot.size(), QSize(604, 520));
    EXPECT_TRUE(shot.save(path));
}
