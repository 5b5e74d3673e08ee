#include "common/scoped_hook.h"
#include "platform/CommandLine.h"
#include "platform/Dialogs.h"

#include <QTemporaryFile>
#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

TEST(CommandLine, Options) {
    struct Case {
        QStringList args;
        bool unattended, cancel, help, version;
        const char* config;
        bool error;
    } cases[] = {
        {{}, false, false, false, false, "", false},
        {{"--unattended"}, true, false, false, false, "", false},
        {{"--unattended", "--answer=cancel"}, true, true, false, false, "", false},
        {{"--answer=cancel", "--unattended"}, true, true, false, false, "", false},
        {{"--unattended", "--answer=ok"}, true, false, false, false, "", false},
        {{"--config", "/etc/x.ini"}, false, false, false, false, "/etc/x.ini", false},
        {{"--config=rel.ini", "--unattended"}, true, false, false, false, "rel.ini", false},
        {{"--help"}, false, false, true, false, "", false},
        {{"--version"}, false, false, false, true, "", false},
        // Qt's own options pass through.
        {{"-platform", "offscreen", "--unattended"}, true, false, false, false, "", false},
        {{"--config"}, false, false, false, false, "", true},
        {{"--config="}, false, false, false, false, "", true},
        {{"--answer=maybe", "--unattended"}, true, false, false, false, "", true},
        {{"--answer=cancel"}, false, true, false, false, "", true},
        {{"--unatended"}, false, false, false, false, "", true},
        {{"stray"}, false, false, false, false, "", true},
        {{"--unattended", "stray"}, true, false, false, false, "", true},
    };
    for (const Case& c : cases) {
        QStringList argv{QStringLiteral("pc_velka_setup")};
        argv += c.args;
        const CommandLine cl = parseCommandLine(argv);
        const QString what = c.args.join(QLatin1Char(' '));
        EXPECT_EQ(!cl.error.isEmpty(), c.error) << qPrintable(what) << qPrintable(cl.error);
        if (c.error)
            continue;
        EXPECT_EQ(cl.unattended, c.unattended) << qPrintable(what);
        EXPECT_EQ(cl.answerCancel, c.cancel) << qPrintable(what);
        EXPECT_EQ(cl.help, c.help) << qPrintable(what);
        EXPECT_EQ(cl.version, c.version) << qPrintable(what);
        EXPECT_EQ(cl.configPath, QString::fromLatin1(c.config)) << qPrintable(what);
    }
}

// With --unattended each message is one line "[caption] text" on standard output, and the
// question takes the configured answer.
TEST(Dialogs, UnattendedWritesToStandardOutput) {
    QTemporaryFile capture;
    ASSERT_TRUE(capture.open());
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_GE(dup2(capture.handle(), STDOUT_FILENO), 0);
    // As the program does first thing: the lines below must arrive byte for byte.
    prepareStandardStreams();

    setUnattended({true, false});
    const int a =
        MessageBoxA(QStringLiteral("Interface install fail !"), QStringLiteral("Set error"), MB_OK);
    const int b =
        MessageBoxA(QStringLiteral("下載?  "), QStringLiteral("Q"), MB_OKCANCEL | MB_ICONQUESTION);
    setUnattended({true, true});
    const int c =
        MessageBoxA(QStringLiteral("x\r\ny"), QStringLiteral("Q"), MB_OKCANCEL | MB_ICONQUESTION);
    const int d = MessageBoxA(QStringLiteral("ok only"), QStringLiteral("Set error"), MB_OK);
    ShowMessage(QStringLiteral("Could not create Process."));
    setUnattended({});

    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ(a, IDOK);
    EXPECT_EQ(b, IDOK);
    EXPECT_EQ(c, IDCANCEL);
    EXPECT_EQ(d, IDOK); // a box with only OK is answered OK even when questions get Cancel
    capture.seek(0);
    EXPECT_EQ(QString::fromUtf8(capture.readAll()),
              QStringLiteral("[Set error] Interface install fail !\n[Q] 下載?  \n[Q] x\r\ny\n"
                             "[Set error] ok only\n[%1] Could not create Process.\n")
                  .arg(ApplicationTitle()));
}

TEST(Dialogs, HandlerAnswersFromCode) {
    std::vector<MessageRequest> seen;
    {
        const ScopedHook messagesHook(&setMessageHandlerForTesting, [&](const MessageRequest& r) {
            seen.push_back(r);
            return IDCANCEL;
        });
        EXPECT_EQ(MessageBoxA(QStringLiteral("t"), QStringLiteral("c"), MB_OKCANCEL), IDCANCEL);
        ShowException(QStringLiteral("boom"));
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, MessageKind::Box);
    EXPECT_EQ(seen[0].type, unsigned{MB_OKCANCEL});
    EXPECT_EQ(seen[1].kind, MessageKind::Exception);
    EXPECT_EQ(seen[1].text, QStringLiteral("boom"));
}
