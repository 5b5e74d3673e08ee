// The link against the simulated interface on real pseudo-terminals.
#include "simulator.h"
#include "interface/SerialLink.h"
#include "platform/Timing.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>

namespace {

const QByteArray kRequest = QByteArray::fromHex("0004565a");
const std::uint8_t kWireRequest[4] = {0x00, 0x04, 0x56, 0x5A};
const QByteArray kPrefixedRequest = QByteArray::fromHex("71000004565a");

QByteArray Pattern() {
    QByteArray pattern;
    for (int i = 1; i <= 127; ++i) {
        pattern += static_cast<char>(i);
    }
    return pattern;
}

// The bytes received at one baud rate, in order.
QByteArray BytesAt(const Simulator& sim, int baud) {
    QByteArray bytes;
    for (const auto& chunk : sim.received()) {
        if (chunk.baud == baud) {
            bytes += chunk.bytes;
        }
    }
    return bytes;
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        PrefixMode = false;
        DeviceType = 0;
        std::memset(DeviceInfo, 0, sizeof DeviceInfo);
    }
    void TearDown() override {
        ClosePort();
        PrefixMode = false;
    }
    DevicesFolder folder;
};

TEST_F(LinkTest, FoundOnCom4At57600WithItsDeviceType) {
    for (int type : {5, 1, 0xFF}) {
        Simulator sim(folder.path(), 4, {"--device-type", QString::number(type)});
        ASSERT_TRUE(sim.ready());
        EXPECT_EQ(FindInterface(), 1);
        EXPECT_EQ(DeviceType, type);
        EXPECT_EQ(DeviceInfo[2], type);
        EXPECT_EQ(DeviceInfo[3], 1) << "the block of the first reply";
        EXPECT_EQ(DeviceInfo[0], 1);
        EXPECT_EQ(DeviceInfo[98], (98 * 7 + 1) & 0xFF);
        EXPECT_EQ(BytesAt(sim, 57600), kRequest);
        EXPECT_EQ(sim.receivedBytes(), kRequest);
        ClosePort();
    }
}

TEST_F(LinkTest, PortsFromTenOnAreReachedThroughTheirDeviceNamespaceName) {
    Simulator sim(folder.path(), 12, {"--device-type", "1"});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(FindInterface(), 1);
    EXPECT_EQ(DeviceType, 1);
}

TEST_F(LinkTest, Com1Com2AndAbove30AreNeverTried) {
    Simulator com1(folder.path(), 1);
    Simulator com2(folder.path(), 2);
    Simulator com31(folder.path(), 31);
    ASSERT_TRUE(com1.ready() && com2.ready() && com31.ready());
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(FindInterface(), 0);
    EXPECT_LT(timer.elapsed(), 300);
    Sleep(50);
    EXPECT_TRUE(com1.receivedBytes().isEmpty());
    EXPECT_TRUE(com2.receivedBytes().isEmpty());
    EXPECT_TRUE(com31.receivedBytes().isEmpty());
}

TEST_F(LinkTest, NothingOnAnyPortFailsAtOnce) {
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(FindInterface(), 0);
    EXPECT_LT(timer.elapsed(), 300);
    EXPECT_EQ(DeviceType, 0);
}

TEST_F(LinkTest, FoundThroughTheFastLinkWithPrefixedRequests) {
    Simulator sim(folder.path(), 5, {"--fast-link", "--device-type", "5"});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(FindInterface(), 1);
    EXPECT_EQ(DeviceType, 5);
    EXPECT_TRUE(PrefixMode);
    // Three unanswered attempts at the normal rate, then the probe sequence and the prefixed
    // request at the fast rate.
    EXPECT_EQ(BytesAt(sim, 57600), kRequest + kRequest + kRequest);
    EXPECT_EQ(BytesAt(sim, 115200), Pattern() + QByteArray::fromHex("8000") + kPrefixedRequest);
}

// A port that never answers costs the three 500 ms attempts and the probe; the search then
// finds the unit on the next port.
TEST_F(LinkTest, SilentPortCostsAboutOnePointSixSecondsThenTheSearchMovesOn) {
    Simulator silent(folder.path(), 3, {"--silent"});
    Simulator unit(folder.path(), 4, {"--device-type", "1"});
    ASSERT_TRUE(silent.ready() && unit.ready());
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(FindInterface(), 1);
    const qint64 elapsed = timer.elapsed();
    EXPECT_GE(elapsed, 1500 + 120);
    EXPECT_LT(elapsed, 2600);
    EXPECT_EQ(DeviceType, 1);
    EXPECT_EQ(BytesAt(silent, 57600), kRequest + kRequest + kRequest);
    EXPECT_EQ(BytesAt(silent, 115200), Pattern() + QByteArray::fromHex("80"));
    EXPECT_EQ(unit.receivedBytes(), kRequest);
}

// A unit that answered the probe on one port and then failed must not leave the prefix on for
// the next port, whose unit only understands unprefixed frames.
TEST_F(LinkTest, NextPortStartsWithoutThePrefix) {
    Simulator fast(folder.path(), 3, {"--fast-link", "--garbage", "40"});
    Simulator unit(folder.path(), 4, {"--device-type", "5"});
    ASSERT_TRUE(fast.ready() && unit.ready());
    EXPECT_EQ(FindInterface(), 1);
    EXPECT_EQ(DeviceType, 5);
    EXPECT_FALSE(PrefixMode);
    EXPECT_EQ(BytesAt(fast, 115200).right(18), kPrefixedRequest.repeated(3));
    EXPECT_EQ(unit.receivedBytes(), kRequest);
}

// What comes back on the wire, and what the link makes of it. Every case runs one
// device-information exchange against a unit that misbehaves in one way.
TEST_F(LinkTest, MalformedAndLateReplies) {
    const struct {
        const char* what;
        QStringList options;
        int found;
        int requests; // attempts that went out: any reply of 3 bytes or more ends the retries
    } cases[] = {
        {"a good reply", {}, 1, 1},
        {"reply in pieces, 200 ms apart", {"--split", "200"}, 1, 1},
        {"reply 400 ms late", {"--delay", "400"}, 1, 1},
        {"wrong checksum (not verified)", {"--bad-checksum"}, 1, 1},
        {"command byte 'V' instead of 'v'", {"--command-byte", "0x56"}, 0, 1},
        {"announces 512 bytes", {"--length", "512"}, 0, 3},
        {"announces 65535 bytes", {"--length", "65535"}, 0, 3},
        {"announces 511 and sends 103", {"--length", "511"}, 0, 3},
        {"announces 2 bytes", {"--length", "2"}, 0, 3},
        {"announces 0 bytes", {"--length", "0"}, 0, 3},
        {"three garbage bytes", {"--garbage", "3"}, 0, 3},
        {"forty garbage bytes", {"--garbage", "40"}, 0, 3},
        {"a zero byte before the frame", {"--noise", "00"}, 0, 3},
        {"0xff before the frame", {"--noise", "ff"}, 0, 3},
        {"silence", {"--silent"}, 0, 3},
    };
    int port = 3;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Simulator sim(folder.path(), port, c.options);
        ASSERT_TRUE(sim.ready());
        ASSERT_EQ(OpenPort(port), 1);
        std::memset(DeviceInfo, 0xEE, sizeof DeviceInfo);
        DeviceType = 0xEE;
        EXPECT_EQ(ReadDeviceInfo(), c.found);
        if (c.found) {
            EXPECT_EQ(DeviceType, 5);
            EXPECT_EQ(DeviceInfo[3], 1);
        } else {
            EXPECT_EQ(DeviceType, 0xEE) << "a failed exchange leaves the block alone";
            EXPECT_EQ(DeviceInfo[0], 0xEE);
        }
        EXPECT_EQ(sim.requestCount(), c.requests);
        ClosePort();
        port = port == kLastComPort ? kFirstComPort : port + 1;
    }
}

// The first reply comes 600 ms late: the first attempt misses it, the second takes its own
// (prompt) reply, and the late one, which lands after that, is purged by the next exchange's
// write instead of being taken for its answer.
TEST_F(LinkTest, LateReplyIsMissedAndPurgedByTheNextWrite) {
    Simulator sim(folder.path(), 9, {"--delay", "600", "--delay-count", "1"});
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(OpenPort(9), 1);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(ReadDeviceInfo(), 1);
    EXPECT_GE(timer.elapsed(), 500);
    EXPECT_EQ(sim.requestCount(), 2);
    EXPECT_EQ(DeviceInfo[3], 2) << "the answer to the second request";
    Sleep(300); // the late answer to the first request is now waiting
    EXPECT_EQ(ReadDeviceInfo(), 1);
    EXPECT_EQ(DeviceInfo[3], 3) << "the answer to the third request, not the stale first one";
}

// More than 512 bytes already waiting when a read starts: all of them are discarded.
TEST_F(LinkTest, MoreThan512BytesWaitingIsAnOverflowAndIsPurged) {
    Simulator sim(folder.path(), 10, {"--garbage", "600"});
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(OpenPort(10), 1);
    WriteFrame(kWireRequest);
    Sleep(150);
    ReplyBuffer reply;
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(ReadFrame(reply), 0);
    EXPECT_LT(timer.elapsed(), 300) << "refused at once, not after the time-out";
    // Nothing is left: the next read waits out its whole time-out.
    timer.restart();
    EXPECT_EQ(ReadFrame(reply), 0);
    EXPECT_GE(timer.elapsed(), 500);
}

// A flood that arrives during a raw exchange is collected only up to the caller's buffer.
TEST_F(LinkTest, RawExchangeNeverCopiesMoreThanTheReplyBuffer) {
    Simulator sim(folder.path(), 11, {"--garbage", "5000", "--delay", "10"});
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(OpenPort(11), 1);
    WriteFrame(kWireRequest);
    // Room for the flood to arrive in the middle of the 50 ms window.
    const std::uint8_t run[2] = {1, 0x55};
    ReplyBuffer reply;
    const int count = RawExchange(run, reply);
    EXPECT_GT(count, kOverflowLimit) << "the flood arrived within the window";
    EXPECT_LE(count, kReplySize);
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(reply[i], 0xA5) << i;
    }
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Waiting for a reply blocks on the port: three silent 500 ms attempts and a probe cost wall
// time, not processor time.
TEST_F(LinkTest, WaitingForASilentUnitDoesNotUseTheProcessor) {
    Simulator sim(folder.path(), 14, {"--silent"});
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(OpenPort(14), 1);
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = CpuSeconds();
    EXPECT_EQ(ReadDeviceInfo(), 0);
    EXPECT_EQ(ProbeFastLink(), 0);
    const double cpu = CpuSeconds() - cpuBefore;
    EXPECT_GE(timer.elapsed(), 1500 + 100);
    EXPECT_LT(cpu, 0.1) << cpu << " s of processor time";
}

TEST_F(LinkTest, SimulatorRemovesItsLinkWhenStopped) {
    const QString link = folder.path() + QStringLiteral("/COM15");
    {
        Simulator sim(folder.path(), 15);
        ASSERT_TRUE(sim.ready());
        EXPECT_TRUE(QFileInfo(link).isSymLink());
    }
    EXPECT_FALSE(QFileInfo::exists(link) || QFileInfo(link).isSymLink());
    EXPECT_EQ(OpenPort(15), 0);
}

TEST_F(LinkTest, ProbeAnswers) {
    const struct {
        const char* answer;
        int result;
    } cases[] = {{"RD", 1}, {"RD?", 1}, {"RDxyz", 1}, {"DR", 0},
                 {"", 0},   {"R", 0},   {"rd", 0},    {"xRD", 0}};
    int port = 13;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        Simulator sim(folder.path(), port, {"--fast-link", "--probe-answer", c.answer});
        ASSERT_TRUE(sim.ready());
        ASSERT_EQ(OpenPort(port), 1);
        PrefixMode = c.result == 0; // a failed probe clears it, a good one sets it
        EXPECT_EQ(ProbeFastLink(), c.result);
        EXPECT_EQ(PrefixMode, c.result == 1);
        const QByteArray sent = BytesAt(sim, 115200);
        EXPECT_EQ(sent, Pattern() + QByteArray::fromHex(c.result ? "8000" : "80"));
        if (c.result) {
            EXPECT_EQ(ReadDeviceInfo(), 1);
            EXPECT_EQ(DeviceType, 5);
        }
        ClosePort();
        ++port;
    }
}

} // namespace
