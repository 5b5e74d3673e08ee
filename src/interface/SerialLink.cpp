#include "SerialLink.h"

#include "platform/SerialPort.h"
#include "platform/Timing.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

std::uint8_t DeviceInfo[kDeviceInfoSize];
std::uint8_t DeviceType = 0;
bool PrefixMode = false;

namespace {

SerialPort g_port;
std::uint8_t g_transmit[kTransmitSize];
std::uint8_t g_receive[kReceiveSize];
ReplyBuffer g_reply;

constexpr std::uint8_t kPrefix[2] = {0x71, 0x00};
constexpr int kProbeSettleMs = 10;

// The raw runs of the fast-link probe: a count byte, then the bytes to send.
constexpr auto kPatternRun = [] {
    std::array<std::uint8_t, 128> run{};
    run[0] = 127;
    for (int i = 1; i <= 127; ++i) {
        run[i] = static_cast<std::uint8_t>(i);
    }
    return run;
}();
constexpr std::uint8_t kProbeRun[2] = {1, 0x80};
constexpr std::uint8_t kConfirmRun[2] = {1, 0x00};

// The length a frame announces, or 0 when the frame cannot be sent as it stands: shorter than
// its own header and checksum, longer than the caller's bytes, or too long for the transmit
// buffer once prefixed.
int FrameLength(std::span<const std::uint8_t> frame) {
    if (frame.size() < 2) {
        return 0;
    }
    const int length = frame[0] * 256 + frame[1];
    if (length < 3 || static_cast<std::size_t>(length) > frame.size() ||
        length + (PrefixMode ? static_cast<int>(sizeof kPrefix) : 0) > kTransmitSize) {
        return 0;
    }
    return length;
}

// Appends what is waiting to the receive buffer. The count grows only while it is below the
// overflow limit; bytes arriving after that are consumed and dropped. A read never takes more
// than the room left in the buffer.
void Collect(int waiting, int& received) {
    if (waiting <= 0) {
        return;
    }
    if (received >= kOverflowLimit) {
        g_port.purgeInput();
        return;
    }
    const int room = kReceiveSize - received;
    const int got = g_port.read(g_receive + received, std::min(waiting, room));
    if (got > 0) {
        received += got;
    }
}

// Milliseconds since start, correct across the wrap of the tick count.
std::uint32_t Elapsed(std::uint32_t start) {
    return GetTickCount() - start;
}

// More bytes already waiting than any reply can hold: the line is flooded, discard them.
bool DiscardOverflow(int waiting) {
    if (waiting <= kOverflowLimit)
        return false;
    g_port.purgeInput();
    return true;
}

void ClearForRead(ReplyBuffer& reply) {
    std::memset(reply, 0, kReplySize);
    std::memset(g_receive, 0, kReplySize);
}

} // namespace

std::uint8_t FrameChecksum(std::span<const std::uint8_t> frame, int length) {
    std::uint8_t sum = 0;
    for (int i = 0; i < length - 1 && static_cast<std::size_t>(i) < frame.size(); ++i) {
        sum = static_cast<std::uint8_t>(sum + frame[i]);
    }
    return sum;
}

void PortName(int n, char (&name)[16]) {
    std::snprintf(name, sizeof name, n < 10 ? "COM%d" : "\\\\.\\COM%d", n);
}

int OpenPort(int n) {
    if (n < kFirstComPort || n > kLastComPort) {
        return 0;
    }
    char name[16];
    PortName(n, name);
    if (!g_port.open(name)) {
        return 0;
    }
    // The prefix belongs to the unit that answered the probe; a unit on another port that only
    // speaks unprefixed frames would otherwise never see a request it understands.
    PrefixMode = false;
    if (!g_port.setLine(kNormalBaud)) {
        g_port.close();
        return 0;
    }
    return 1;
}

int FindInterface() {
    ClosePort();
    for (int n = kFirstComPort; n <= kLastComPort; ++n) {
        if (!OpenPort(n)) {
            continue;
        }
        // Reads take only the bytes already waiting and never block, so the Win32 read
        // time-outs have nothing to stand for here.
        if (ReadDeviceInfo()) {
            return 1;
        }
        Sleep(kProbeSettleMs);
        if (ProbeFastLink() && ReadDeviceInfo()) {
            return 1;
        }
        ClosePort();
    }
    return 0;
}

void ClosePort() {
    g_port.close();
}

int ReadDeviceInfo() {
    std::uint8_t request[sizeof DeviceInfoRequest];
    std::memcpy(request, DeviceInfoRequest, sizeof request);
    const int count = Transact(request, g_reply);
    if (count != 0 && g_reply[2] == kDeviceInfoReplyCommand) {
        std::memcpy(DeviceInfo, g_reply + 3, kDeviceInfoSize);
        DeviceType = DeviceInfo[2];
        return 1;
    }
    return 0;
}

int Transact(std::span<std::uint8_t> request, ReplyBuffer& reply) {
    const int length = FrameLength(request);
    if (length == 0) {
        return 0;
    }
    request[length - 1] = FrameChecksum(request, length);
    int count = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        WriteFrame(request);
        count = ReadFrame(reply);
        if (count >= 3) {
            break;
        }
    }
    return count;
}

void WriteFrame(std::span<const std::uint8_t> frame) {
    const int length = FrameLength(frame);
    if (length == 0) {
        return;
    }
    int total = length;
    if (PrefixMode) {
        std::memcpy(g_transmit, kPrefix, sizeof kPrefix);
        std::memcpy(g_transmit + sizeof kPrefix, frame.data(), length);
        total += sizeof kPrefix;
    } else {
        std::memcpy(g_transmit, frame.data(), length);
    }
    g_port.purgeInput();
    // A failed write is not reported: the reply simply never comes.
    g_port.write(g_transmit, total);
}

int ReadFrame(ReplyBuffer& reply) {
    ClearForRead(reply);
    int expected = 256; // until the length is in
    int waiting = g_port.bytesWaiting();
    if (DiscardOverflow(waiting))
        return 0;
    const std::uint32_t start = GetTickCount();
    int received = 0;
    for (;;) {
        Collect(waiting, received);
        if (received >= 4) {
            expected = g_receive[0] * 256 + g_receive[1];
            if (expected >= kOverflowLimit) {
                g_port.purgeInput();
                return 0;
            }
        }
        if (received >= expected) {
            g_port.purgeInput();
            std::memcpy(reply, g_receive, expected);
            return expected;
        }
        const std::uint32_t elapsed = Elapsed(start);
        if (elapsed > kFrameTimeoutMs) {
            return 0;
        }
        g_port.waitForInput(static_cast<int>(kFrameTimeoutMs + 1 - elapsed));
        waiting = g_port.bytesWaiting();
    }
}

int WriteRaw(std::span<const std::uint8_t> run) {
    if (run.empty() || run[0] + 1u > run.size()) {
        return 0;
    }
    const int count = run[0];
    std::memcpy(g_transmit, run.data() + 1, count);
    g_port.purgeInput();
    return g_port.write(g_transmit, count) ? 1 : 0;
}

int RawExchange(std::span<const std::uint8_t> run, ReplyBuffer& reply) {
    WriteRaw(run);
    ClearForRead(reply);
    int waiting = g_port.bytesWaiting();
    if (DiscardOverflow(waiting))
        return 0;
    const std::uint32_t start = GetTickCount();
    int received = 0;
    for (;;) {
        Collect(waiting, received);
        const std::uint32_t elapsed = Elapsed(start);
        if (elapsed > kRawTimeoutMs) {
            g_port.purgeInput();
            break;
        }
        g_port.waitForInput(static_cast<int>(kRawTimeoutMs + 1 - elapsed));
        waiting = g_port.bytesWaiting();
    }
    // The count may pass the overflow limit by one read; the caller's buffer bounds the copy.
    const int count = std::min(received, kReplySize);
    std::memcpy(reply, g_receive, count);
    return count;
}

int ProbeFastLink() {
    if (!g_port.setLine(kFastLinkBaud)) {
        return 0;
    }
    RawExchange(kPatternRun, g_reply);
    Sleep(kProbeSettleMs);
    const int count = RawExchange(kProbeRun, g_reply);
    if (count >= 1 && g_reply[0] == 'R' && g_reply[1] == 'D') {
        PrefixMode = true;
        RawExchange(kConfirmRun, g_reply);
        return 1;
    }
    PrefixMode = false;
    return 0;
}
