#include "common/scoped_hook.h"
#include "launcher/EntryPoint.h"
#include "launcher/Setup1.h"
#include "platform/Dialogs.h"
#include "platform/Exception.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>
#include <stdexcept>
#include <vector>

namespace {

struct Outcome {
    int result = -1;
    std::vector<MessageRequest> shown;
    bool loopRan = false;
};

Outcome runEntry(const std::function<void()>& createMainForm) {
    Outcome o;
    static int argc = 1;
    static char name[] = "entry_point_test";
    static char* argv[] = {name, nullptr};
    const ScopedHook messagesHook(&setMessageHandlerForTesting, [&o](const MessageRequest& r) {
        o.shown.push_back(r);
        return IDOK;
    });
    o.result = RunEntryPoint(argc, argv, [&] {
        createMainForm();
        // Runs only once the loop is up: proves the loop ran.
        QTimer::singleShot(0, [&o] { o.loopRan = true; });
    });
    return o;
}

} // namespace

TEST(EntryPoint, EscapedErrorsAreShownAndTheProgramEnds) {
    struct Case {
        const char* name;
        std::function<void()> thrower;
        MessageKind kind;
        QString text;
    } cases[] = {
        {"framework error", [] { throw Exception(QStringLiteral("Login failed")); },
         MessageKind::Exception, QStringLiteral("Login failed")},
        {"derived error", [] { throw EDatabaseError(QStringLiteral("timeout")); },
         MessageKind::Exception, QStringLiteral("timeout")},
        {"foreign std error", [] { throw std::runtime_error("not shown"); }, MessageKind::Exception,
         QString()},
        {"anything else", [] { throw 42; }, MessageKind::Exception, QString()},
    };
    for (const Case& c : cases) {
        const Outcome o = runEntry(c.thrower);
        EXPECT_EQ(o.result, 0) << c.name;
        EXPECT_FALSE(o.loopRan) << c.name;
        ASSERT_EQ(o.shown.size(), 1u) << c.name;
        EXPECT_EQ(o.shown[0].kind, c.kind) << c.name;
        EXPECT_EQ(o.shown[0].text, c.text) << c.name;
        EXPECT_EQ(Form1, nullptr);
    }
}

TEST(EntryPoint, MainFormIsShownAndClosesItself) {
    QElapsedTimer clock;
    clock.start();
    LaunchSteps steps = defaultLaunchSteps();
    steps.findInterface = [] { return 1; };
    steps.closePort = [] {};
    steps.deviceType = [] { return std::uint8_t{2}; };
    const ScopedHook stepsHook(&setLaunchStepsForTesting, std::optional(steps));
    const Outcome o = runEntry([] { Form1 = new TForm1(nullptr); });
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(o.loopRan);
    EXPECT_TRUE(o.shown.empty());
    EXPECT_GE(clock.elapsed(), 100);
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_EQ(Form1, nullptr);
}

TEST(EntryPoint, RealBoxDuringConstructionDoesNotEndTheLoopEarly) {
    // A real (offscreen) "Set error" box is the only window when it closes; the main form must
    // still be shown afterwards and close by its own timer.
    static int argc = 1;
    static char name[] = "entry_point_test";
    static char* argv[] = {name, nullptr};
    bool boxSeen = false;
    bool loopRan = false;
    LaunchSteps steps = defaultLaunchSteps();
    steps.findInterface = [] { return 0; };
    steps.closePort = [] {};
    const ScopedHook stepsHook(&setLaunchStepsForTesting, std::optional(steps));
    const int result = RunEntryPoint(argc, argv, [&] {
        auto* closer = new QTimer(qApp);
        QObject::connect(closer, &QTimer::timeout, [&boxSeen] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                boxSeen = true;
                box->close();
            }
        });
        closer->start(20);
        Form1 = new TForm1(nullptr);
        QTimer::singleShot(0, [&loopRan] { loopRan = true; });
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(boxSeen);
    EXPECT_TRUE(loopRan);
}
