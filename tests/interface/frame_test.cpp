// Frames as they leave the launcher: checksums, the exact bytes on the wire, and frames that
// must never be sent.
#include "simulator.h"
#include "interface/SerialLink.h"
#include "platform/Timing.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

TEST(FrameChecksum, SumModulo256OfEveryByteBeforeIt) {
    const struct {
        std::vector<std::uint8_t> frame;
        std::uint8_t checksum;
    } cases[] = {
        {{0x00, 0x04, 0x56, 0x00}, 0x5A},
        {{0x00, 0x03, 0x00}, 0x03},
        {{0x00, 0x05, 0xFF, 0xFF, 0x00}, 0x03},       // wraps
        {{0x01, 0x00, 0x80, 0x7F, 0x01, 0x00}, 0x01}, // length byte 0 counts too
        {{0x00, 0x04, 0x76, 0xEE}, 0x7A},             // the byte in the checksum slot is ignored
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FrameChecksum(c.frame, static_cast<int>(c.frame.size())), c.checksum);
    }
}

class WireTest : public ::testing::Test {
protected:
    void TearDown() override {
        ClosePort();
        PrefixMode = false;
    }
    DevicesFolder folder;
};

TEST_F(WireTest, DeviceInfoRequestGoesOutAsFourBytes) {
    Simulator sim(folder.path(), 6);
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(OpenPort(6), 1);
    std::uint8_t request[4] = {0x00, 0x04, 0x56, 0x00};
    ReplyBuffer reply;
    EXPECT_EQ(Transact(request, reply), 103);
    EXPECT_EQ(request[3], 0x5A); // the checksum is written into the caller's frame
    EXPECT_EQ(sim.receivedBytes(), QByteArray::fromHex("0004565a"));
    EXPECT_EQ(sim.received().front().baud, 57600);
}

TEST_F(WireTest, PrefixModePutsTwoBytesBeforeTheUnchangedFrame) {
    Simulator sim(folder.path(), 6, {"--silent"});
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(OpenPort(6), 1);
    PrefixMode = true;
    const std::uint8_t request[4] = {0x00, 0x04, 0x56, 0x5A};
    WriteFrame(request);
    PrefixMode = false;
    WriteFrame(request);
    QByteArray wire;
    for (int i = 0; i < 50 && wire.size() < 10; ++i) {
        Sleep(10);
        wire = sim.receivedBytes();
    }
    EXPECT_EQ(wire, QByteArray::fromHex("71000004565a0004565a"));
}

TEST_F(WireTest, RawRunsAreWrittenUnprefixedWithoutTheirCount) {
    Simulator sim(folder.path(), 7, {"--silent"});
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(OpenPort(7), 1);
    PrefixMode = true;
    const std::uint8_t run[4] = {3, 0x80, 0x00, 0x41};
    ReplyBuffer reply;
    EXPECT_EQ(RawExchange(run, reply), 0);
    const std::uint8_t empty[1] = {0};
    EXPECT_EQ(WriteRaw(empty), 1);
    // A count running past the bytes given is not written at all.
    const std::uint8_t truncated[3] = {5, 0x01, 0x02};
    EXPECT_EQ(WriteRaw(truncated), 0);
    EXPECT_EQ(WriteRaw({}), 0);
    Sleep(50);
    EXPECT_EQ(sim.receivedBytes(), QByteArray::fromHex("800041"));
}

// A frame whose length field does not fit what the caller gave, or that would not fit the
// transmit buffer, goes nowhere: no read past the caller's bytes, no write past the buffer.
TEST_F(WireTest, FramesThatCannotBeSentAreNotSent) {
    Simulator sim(folder.path(), 8);
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(OpenPort(8), 1);
    const std::vector<std::vector<std::uint8_t>> frames = {
        {},
        {0x00},
        {0x00, 0x00, 0x56, 0x00},
        {0x00, 0x02, 0x56, 0x00},
        {0x00, 0x05, 0x56, 0x00}, // announces more than given
        {0xFF, 0xFF, 0x56, 0x00},
    };
    for (const auto& original : frames) {
        auto frame = original;
        ReplyBuffer reply;
        reply[0] = 0xEE;
        EXPECT_EQ(Transact(frame, reply), 0);
        EXPECT_EQ(frame, original) << "the checksum slot must stay untouched";
        WriteFrame(frame);
    }
    // 511 bytes fit unprefixed, not with the prefix (513 > 512).
    std::vector<std::uint8_t> large(511, 0);
    large[0] = 0x01;
    large[1] = 0xFF;
    PrefixMode = true;
    WriteFrame(large);
    PrefixMode = false;
    Sleep(50);
    EXPECT_TRUE(sim.receivedBytes().isEmpty()) << sim.receivedBytes().toHex().constData();
    WriteFrame(large);
    QByteArray wire;
    for (int i = 0; i < 50 && wire.size() < 511; ++i) {
        Sleep(10);
        wire = sim.receivedBytes();
    }
    EXPECT_EQ(wire.size(), 511);
}

} // namespace
