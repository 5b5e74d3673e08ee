// The serial link's reply handling (frame reader, request/reply, device-information block,
// fast-link probe, whole port search) against replies chosen by the fuzzer, on a scripted line
// with virtual time (FakeWire).
//
// Input: a mode byte, a byte placing the clock just before the wrap of the tick count, a byte
// choosing which ports exist, then chunks: [control][length][bytes]. Control bit 7 starts the
// reply to the next write; bit 6 makes the chunk a flood of length*16 copies of one byte (so
// that a few input bytes can fill the port); the low 6 bits are the delay before the chunk in
// steps of 16 ms.
#include "FakeWire.h"
#include "FuzzCheck.h"
#include "interface/SerialLink.h"

#include <algorithm>
#include <cstring>

namespace {

// Every wait of the link is bounded: a frame read ends 501 ms after it starts at the latest.
constexpr std::uint32_t kFrameBoundMs = kFrameTimeoutMs + 1;
constexpr std::uint32_t kRawBoundMs = kRawTimeoutMs + 1;
constexpr std::uint64_t kCallBound = 1'000'000;

const std::vector<std::uint8_t> kRequestOnWire = {0x00, 0x04, 0x56, 0x5A};

std::vector<fakewire::Reply> ParseReplies(FuzzInput& in) {
    std::vector<fakewire::Reply> replies(1);
    while (!in.empty()) {
        const std::uint8_t control = in.byte();
        const std::uint8_t length = in.byte();
        if ((control & 0x80) != 0 && !replies.back().empty()) {
            replies.emplace_back();
        }
        const std::uint32_t delay = (control & 0x3Fu) * 16u;
        if ((control & 0x40) != 0) {
            replies.back().push_back({delay, std::vector<std::uint8_t>(length * 16u, in.byte())});
        } else {
            replies.back().push_back({delay, in.bytes(length)});
        }
    }
    return replies;
}

// A frame read either failed (0) or returned exactly the first bytes taken from the port, and
// the rest of the caller's buffer is clear.
void CheckFrame(int count, const ReplyBuffer& reply) {
    FUZZ_CHECK(count >= 0 && count < kOverflowLimit);
    const auto& read = fakewire::ReadSinceMark();
    FUZZ_CHECK(read.size() >= static_cast<std::size_t>(count));
    FUZZ_CHECK(std::equal(reply, reply + count, read.begin()));
    FUZZ_CHECK(
        std::all_of(reply + count, reply + kReplySize, [](std::uint8_t b) { return b == 0; }));
    if (count >= 2) {
        FUZZ_CHECK(reply[0] * 256 + reply[1] == count);
    }
}

std::uint32_t Since(std::uint32_t start) {
    return fakewire::Now() - start;
}

// Frames sent at the normal rate are never prefixed: a port opened fresh starts without it.
void CheckRequestsAtNormalRate() {
    for (const auto& w : fakewire::Writes()) {
        if (w.baud == kNormalBaud) {
            FUZZ_CHECK(w.bytes == kRequestOnWire);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const int mode = in.byte() % 6;
    const std::uint32_t start = 0xFFFFFF00u + in.byte();
    const std::uint8_t ports = in.byte();
    std::vector<fakewire::Reply> replies = ParseReplies(in);

    // The frame and raw reads listen before anything is written; the others get their replies
    // in answer to their writes.
    fakewire::Reset(start, std::move(replies), mode == 0 || mode == 5);
    PrefixMode = false;
    std::memset(DeviceInfo, 0, sizeof DeviceInfo);
    DeviceType = 0;
    static ReplyBuffer reply;

    switch (mode) {
    case 0: {
        FUZZ_CHECK(OpenPort(3) == 1);
        fakewire::MarkRead();
        const std::uint32_t t0 = fakewire::Now();
        const int count = ReadFrame(reply);
        CheckFrame(count, reply);
        FUZZ_CHECK(Since(t0) <= kFrameBoundMs);
        break;
    }
    case 1: {
        FUZZ_CHECK(OpenPort(4) == 1);
        std::uint8_t request[4] = {0x00, 0x04, kDeviceInfoCommand, 0x00};
        const std::uint32_t t0 = fakewire::Now();
        const int count = Transact(request, reply);
        FUZZ_CHECK(count >= 0 && count < kOverflowLimit);
        FUZZ_CHECK(request[3] == 0x5A);
        const auto& writes = fakewire::Writes();
        FUZZ_CHECK(!writes.empty() && writes.size() <= 3);
        // Another attempt is made only after one that brought less than 3 bytes.
        FUZZ_CHECK(count >= 3 || writes.size() == 3);
        CheckRequestsAtNormalRate();
        FUZZ_CHECK(Since(t0) <= 3 * kFrameBoundMs);
        break;
    }
    case 2: {
        FUZZ_CHECK(OpenPort(5) == 1);
        PrefixMode = (ports & 1) != 0;
        const int found = ReadDeviceInfo();
        if (found) {
            FUZZ_CHECK(DeviceType == DeviceInfo[2]);
        } else {
            FUZZ_CHECK(DeviceType == 0);
        }
        for (const auto& w : fakewire::Writes()) {
            if (PrefixMode) {
                FUZZ_CHECK(
                    w.bytes.size() == 6 && w.bytes[0] == 0x71 && w.bytes[1] == 0x00 &&
                    std::equal(kRequestOnWire.begin(), kRequestOnWire.end(), w.bytes.begin() + 2));
            } else {
                FUZZ_CHECK(w.bytes == kRequestOnWire);
            }
        }
        break;
    }
    case 3: {
        // No port, every port, or one of COM3 … COM30.
        const std::uint32_t mask = ports == 0 ? 0u : ports == 1 ? ~0u : 1u << (3 + ports % 28);
        fakewire::SetPresentPorts(mask);
        const std::uint32_t t0 = fakewire::Now();
        const int found = FindInterface();
        // The port of the unit found stays open; after a fruitless search none is.
        FUZZ_CHECK(fakewire::IsOpen() == (found == 1));
        if (found) {
            FUZZ_CHECK(DeviceType == DeviceInfo[2]);
        }
        CheckRequestsAtNormalRate();
        // Per port: two device-information requests of three attempts, the probe's pauses and
        // three raw exchanges.
        const std::uint32_t perPort = 6 * kFrameBoundMs + 2 * 10 + 3 * kRawBoundMs;
        FUZZ_CHECK(Since(t0) <= 28 * perPort);
        ClosePort();
        break;
    }
    case 4: {
        FUZZ_CHECK(OpenPort(6) == 1);
        const int fast = ProbeFastLink();
        FUZZ_CHECK(fast == (PrefixMode ? 1 : 0));
        const auto& writes = fakewire::Writes();
        FUZZ_CHECK(writes.size() == (fast ? 3u : 2u));
        FUZZ_CHECK(writes[0].bytes.size() == 127 && writes[0].bytes[0] == 1 &&
                   writes[0].bytes[126] == 127);
        FUZZ_CHECK(writes[1].bytes == std::vector<std::uint8_t>{0x80});
        for (const auto& w : writes) {
            FUZZ_CHECK(w.baud == kFastLinkBaud);
        }
        if (fast) {
            ReadDeviceInfo();
        }
        break;
    }
    case 5: {
        FUZZ_CHECK(OpenPort(7) == 1);
        // Listening only: the run's count byte is zero, nothing is sent.
        const std::uint8_t run[1] = {0};
        fakewire::MarkRead();
        const std::uint32_t t0 = fakewire::Now();
        const int count = RawExchange(run, reply);
        FUZZ_CHECK(count >= 0 && count <= kReplySize);
        const auto& read = fakewire::ReadSinceMark();
        FUZZ_CHECK(read.size() >= static_cast<std::size_t>(count));
        FUZZ_CHECK(std::equal(reply, reply + count, read.begin()));
        FUZZ_CHECK(Since(t0) <= kRawBoundMs);
        break;
    }
    }
    ClosePort();
    PrefixMode = false;
    FUZZ_CHECK(fakewire::Calls() < kCallBound);
    return 0;
}
