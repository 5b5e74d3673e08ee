// Pending calls ended from inside: a timer that cancels, the time-out timer, and the component
// destroyed by an event handler while one of its own calls is on the stack (run this binary in the
// sanitizer build too: a use after free shows there).
#include "common/file_helpers.h"
#include "loopback_peer.h"
#include "net/AsyncSocket.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

// The connection that takes the one queue slot of a backlog-0 listener.
int gFiller = -1;

class CancelTest : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }
    void TearDown() override { CloseNow(gFiller); }
};

std::string What(const std::exception& e) {
    return e.what();
}

// One pending call, set up against a peer that never delivers what the call waits for.
struct Pending {
    const char* name;
    std::function<void(TAsyncSocket&, LoopbackPeer&)> prepare; // runs before the call
    std::function<void(TAsyncSocket&, const QString& dir)> call;
    const char* cancelText;
    bool abortClass; // EAbortError (true) or plain ESockError
};

void ConnectToSilentPeer(TAsyncSocket& s, LoopbackPeer& peer) {
    peer.Serve([](int& fd) {
        SendAll(fd, "some bytes without a line end");
        RecvAll(fd); // until the component goes away
    });
    s.SetHost("127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
}

std::vector<Pending> PendingCalls() {
    return {
        {"ReadLn", ConnectToSilentPeer, [](TAsyncSocket& s, const QString&) { s.ReadLn(); },
         "Socket readln aborted", true},
        {"CaptureFile", ConnectToSilentPeer,
         [](TAsyncSocket& s, const QString& dir) { s.CaptureFile(dir + "/capture.bin"); },
         "Socket send aborted", true},
        {"Read", ConnectToSilentPeer, [](TAsyncSocket& s, const QString&) { s.Read(60000); },
         "Socket send aborted", true},
        {"Accept",
         [](TAsyncSocket& s, LoopbackPeer&) {
             s.SetPort(0);
             s.Listen(true);
         },
         [](TAsyncSocket& s, const QString&) { s.Accept(); }, "Accepting Canceled", false},
        {"Connect",
         [](TAsyncSocket& s, LoopbackPeer& peer) {
             // Backlog 0 with its one slot taken: the connect is never answered.
             CloseNow(gFiller);
             gFiller = ConnectTo(peer.Port());
             s.SetHost("127.0.0.1");
             s.SetPort(peer.Port());
         },
         [](TAsyncSocket& s, const QString&) { s.Connect(); }, "Connection Canceled", false},
    };
}

TEST_F(CancelTest, TimerCancelEndsEachPendingCallWithItsText) {
    QTemporaryDir dir;
    for (const Pending& p : PendingCalls()) {
        SCOPED_TRACE(p.name);
        LoopbackPeer peer(0);
        TAsyncSocket s;
        p.prepare(s, peer);
        QTimer::singleShot(300, [&s] { s.Cancel(); });
        const double cpu0 = CpuSeconds();
        try {
            p.call(s, dir.path());
            ADD_FAILURE() << "the call returned";
        } catch (const EAbortError& e) {
            EXPECT_TRUE(p.abortClass);
            EXPECT_EQ(What(e), p.cancelText);
            EXPECT_FALSE(s.Canceled()); // cleared as it raised
        } catch (const ESockError& e) {
            EXPECT_FALSE(p.abortClass);
            EXPECT_EQ(What(e), p.cancelText);
        }
        EXPECT_LT(CpuSeconds() - cpu0, 0.1) << "the wait spun";
        s.RequestCloseSocket();
    }
}

TEST_F(CancelTest, TimeOutAbortsALineRead) {
    LoopbackPeer peer;
    TAsyncSocket s;
    ConnectToSilentPeer(s, peer);
    s.SetTimeOut(400);
    try {
        s.ReadLn();
        FAIL();
    } catch (const EAbortError& e) {
        EXPECT_EQ(What(e), "Socket readln aborted");
    }
    EXPECT_TRUE(s.TimedOut());
    EXPECT_FALSE(s.TimeOutTimer()->Enabled());
    s.RequestCloseSocket();
}

// The time-out of a receive counts from the last block: a slow but steady sender is not cut off.
TEST_F(CancelTest, CaptureTimeOutMeasuresSilenceNotTotalTime) {
    QTemporaryDir dir;
    for (const bool append : {false, true}) {
        SCOPED_TRACE(append ? "AppendFile" : "CaptureFile");
        const QString file = dir.filePath(append ? "slow-append.bin" : "slow.bin");
        writeAll(file, QByteArray());
        LoopbackPeer peer;
        peer.Serve([](int& fd) {
            for (int i = 0; i < 8; ++i) {
                SendAll(fd, std::string(1000, 'b'));
                SleepMs(150);
            }
        });
        TAsyncSocket s;
        s.SetHost("127.0.0.1");
        s.SetPort(peer.Port());
        s.Connect();
        s.SetTimeOut(500); // shorter than the whole transfer, longer than any pause
        EXPECT_NO_THROW(append ? s.AppendFile(file) : s.CaptureFile(file));
        EXPECT_EQ(s.ReceivedBytes(), 8000);
        EXPECT_FALSE(s.TimedOut());
    }
}

// A resumed transfer from a peer that falls silent ends through the time-out as a fresh one
// does, instead of waiting for ever.
TEST_F(CancelTest, AppendTimesOutOnASilentPeer) {
    QTemporaryDir dir;
    const QString file = dir.filePath("part.bin");
    writeAll(file, QByteArray(100, 'a'));
    LoopbackPeer peer;
    TAsyncSocket s;
    ConnectToSilentPeer(s, peer);
    s.SetTimeOut(400);
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(s.AppendFile(file), EAbortError);
    EXPECT_TRUE(s.TimedOut());
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_FALSE(s.TimeOutTimer()->Enabled());
    s.RequestCloseSocket();
}

TEST_F(CancelTest, SendThatCannotProceedWaitsAndCanBeCanceled) {
    LoopbackPeer peer;
    std::atomic<bool> release{false};
    peer.Serve([&](int&) {
        while (!release)
            SleepMs(10); // never reads
    });
    TAsyncSocket s;
    s.SetHost("127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
    static char block[60000];
    std::memset(block, 'q', sizeof block);
    QTimer::singleShot(500, [&s] { s.Cancel(); });
    const double cpu0 = CpuSeconds();
    try {
        for (int i = 0; i < 1000; ++i) // far more than the socket buffers hold
            s.SendBuffer(block, sizeof block);
        FAIL() << "the peer took everything";
    } catch (const EAbortError& e) {
        EXPECT_EQ(What(e), "Socket send aborted");
    }
    EXPECT_LT(CpuSeconds() - cpu0, 0.3) << "the send spun";
    release = true;
}

// A line read that waits for seconds sleeps: almost no CPU is used.
TEST_F(CancelTest, WaitingLineReadUsesNoCpu) {
    LoopbackPeer peer;
    peer.Serve([](int& fd) {
        SleepMs(5000);
        SendAll(fd, "late line\r\n");
    });
    TAsyncSocket s;
    s.SetHost("127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
    const double cpu0 = CpuSeconds();
    EXPECT_EQ(s.ReadLn(), QString("late line\r\n"));
    const double used = CpuSeconds() - cpu0;
    RecordProperty("readln_cpu_seconds_for_5s_wait", QString::number(used).toStdString());
    std::printf("ReadLn waited 5 s using %.4f s of CPU\n", used);
    EXPECT_LT(used, 0.05);
}

// A deferred deletion requested inside the wait (a window closing itself, say) must not turn the
// wait into a spin.
TEST_F(CancelTest, DeferredDeletionDuringAWaitDoesNotSpin) {
    LoopbackPeer peer;
    peer.Serve([](int& fd) {
        SleepMs(1000);
        SendAll(fd, "late\n");
    });
    TAsyncSocket s;
    s.SetHost("127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
    QPointer<QObject> doomed = new QObject;
    double used = -1;
    // As in the program: the call runs from a timer inside a running event loop (a modal
    // window's), and the deletion is requested from another timer inside the call.
    QEventLoop loop;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(50, [&] { doomed->deleteLater(); });
        const double cpu0 = CpuSeconds();
        EXPECT_EQ(s.ReadLn(), QString("late\n"));
        used = CpuSeconds() - cpu0;
        loop.quit();
    });
    loop.exec();
    EXPECT_GE(used, 0);
    EXPECT_LT(used, 0.05);
    PumpUntil([&] { return doomed.isNull(); }, 500);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// --- destruction while a call of the component is pending

struct Victim {
    TAsyncSocket* socket = nullptr;
    void Kill() {
        delete socket;
        socket = nullptr;
    }
};

TEST_F(CancelTest, DestroyedFromATimerDuringEachPendingCall) {
    QTemporaryDir dir;
    const int base = WinsockUsers;
    for (const Pending& p : PendingCalls()) {
        SCOPED_TRACE(p.name);
        LoopbackPeer peer(0);
        Victim v;
        v.socket = new TAsyncSocket;
        p.prepare(*v.socket, peer);
        QTimer::singleShot(300, [&v] { v.Kill(); });
        try {
            p.call(*v.socket, dir.path());
            ADD_FAILURE() << "the call returned";
        } catch (const EAbortError&) {
        }
        EXPECT_EQ(v.socket, nullptr);
    }
    EXPECT_EQ(WinsockUsers, base);
}

TEST_F(CancelTest, DestroyedWhileCaptureFileReceives) {
    QTemporaryDir dir;
    LoopbackPeer peer;
    std::atomic<bool> stop{false};
    peer.Serve([&](int& fd) {
        const std::string chunk(16384, 'c');
        for (int i = 0; i < 2000 && !stop; ++i) {
            SendAll(fd, chunk);
            SleepMs(2);
        }
    });
    Victim v;
    v.socket = new TAsyncSocket;
    v.socket->SetHost("127.0.0.1");
    v.socket->SetPort(peer.Port());
    v.socket->Connect();
    int packets = 0;
    v.socket->OnPacketRecvd = [&](QObject*) { ++packets; };
    QTimer::singleShot(200, [&v] { v.Kill(); });
    try {
        v.socket->CaptureFile(dir.filePath("partial.bin"));
        ADD_FAILURE() << "the capture ended normally";
    } catch (const EAbortError&) {
    }
    stop = true;
    EXPECT_EQ(v.socket, nullptr);
    EXPECT_GT(packets, 0);
}

TEST_F(CancelTest, DestroyedByItsOwnEventHandlers) {
    QTemporaryDir dir;
    // Inside OnPacketRecvd, fired from the receive loop itself.
    {
        LoopbackPeer peer;
        peer.Serve([](int& fd) { SendAll(fd, std::string(200000, 'p')); });
        Victim v;
        v.socket = new TAsyncSocket;
        v.socket->SetHost("127.0.0.1");
        v.socket->SetPort(peer.Port());
        v.socket->Connect();
        // The handler goes on using its own captures after the slot that held it is gone.
        v.socket->OnPacketRecvd = [&v, tag = QString("still here")](QObject*) {
            v.Kill();
            EXPECT_EQ(tag, QString("still here"));
        };
        EXPECT_THROW(v.socket->CaptureFile(dir.filePath("p.bin")), EAbortError);
        EXPECT_EQ(v.socket, nullptr);
    }
    // Inside OnDisconnect, fired from the close notice while a line read waits.
    {
        LoopbackPeer peer;
        peer.Serve([](int&) { SleepMs(200); });
        Victim v;
        v.socket = new TAsyncSocket;
        v.socket->SetHost("127.0.0.1");
        v.socket->SetPort(peer.Port());
        v.socket->Connect();
        v.socket->OnDisconnect = [&v, tag = QString("still here")](QObject*) {
            v.Kill();
            EXPECT_EQ(tag, QString("still here"));
        };
        try {
            v.socket->ReadLn();
            // The read may have seen the close itself before the notice was handled; then the
            // notice comes later, while we pump here.
            PumpUntil([&v] { return v.socket == nullptr; }, 2000);
        } catch (const EAbortError&) {
        }
        EXPECT_EQ(v.socket, nullptr);
    }
    // Inside OnConnect, fired from the connect notice while Connect waits.
    {
        LoopbackPeer peer;
        peer.Serve([](int&) { SleepMs(100); });
        Victim v;
        v.socket = new TAsyncSocket;
        v.socket->SetHost("127.0.0.1");
        v.socket->SetPort(peer.Port());
        v.socket->OnConnect = [&v, tag = QString("still here")](QObject*) {
            v.Kill();
            EXPECT_EQ(tag, QString("still here"));
        };
        EXPECT_THROW(v.socket->Connect(), EAbortError);
        EXPECT_EQ(v.socket, nullptr);
    }
}

} // namespace
