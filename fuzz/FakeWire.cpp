// SerialPort, GetTickCount and Sleep for the frame-reader fuzzer (see FakeWire.h). The link holds
// one port, so the state of the line is kept here rather than in the object.
#include "FakeWire.h"

#include "platform/SerialPort.h"
#include "platform/Timing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

namespace fakewire {
namespace {

struct State {
    std::uint32_t now = 0;
    std::uint32_t present = 0;
    bool open = false;
    std::int32_t baud = 0;
    std::vector<Reply> replies;
    std::size_t nextReply = 0;
    // Arrival times as offsets from the start of the run, so that the wrap of the tick count
    // does not reorder them.
    std::uint64_t elapsed = 0;
    std::multimap<std::uint64_t, std::vector<std::uint8_t>> scheduled;
    std::deque<std::uint8_t> arrived;
    std::vector<std::uint8_t> readSinceMark;
    std::vector<Write> writes;
    std::uint64_t calls = 0;
};

State g;

void Advance(std::uint64_t ms) {
    g.elapsed += ms;
    g.now += static_cast<std::uint32_t>(ms);
}

void Deliver() {
    while (!g.scheduled.empty() && g.scheduled.begin()->first <= g.elapsed) {
        const auto& bytes = g.scheduled.begin()->second;
        g.arrived.insert(g.arrived.end(), bytes.begin(), bytes.end());
        g.scheduled.erase(g.scheduled.begin());
    }
}

void Release() {
    if (g.nextReply >= g.replies.size()) {
        return;
    }
    std::uint64_t at = g.elapsed;
    for (const Chunk& chunk : g.replies[g.nextReply]) {
        at += chunk.delayMs;
        g.scheduled.emplace(at, chunk.bytes);
    }
    ++g.nextReply;
}

int PortNumberOf(const char* name) {
    int n = 0;
    char tail = 0;
    if (std::sscanf(name, "\\\\.\\COM%d%c", &n, &tail) == 1 ||
        std::sscanf(name, "COM%d%c", &n, &tail) == 1) {
        return n;
    }
    return 0;
}

} // namespace

void Reset(std::uint32_t startTick, std::vector<Reply> replies, bool firstReplyUnasked) {
    g = State{};
    g.now = startTick;
    g.replies = std::move(replies);
    g.present = ~0u;
    if (firstReplyUnasked) {
        Release();
    }
}

void SetPresentPorts(std::uint32_t mask) {
    g.present = mask;
}

void MarkRead() {
    g.readSinceMark.clear();
}

const std::vector<std::uint8_t>& ReadSinceMark() {
    return g.readSinceMark;
}

const std::vector<Write>& Writes() {
    return g.writes;
}

std::uint32_t Now() {
    return g.now;
}

bool IsOpen() {
    return g.open;
}

std::uint64_t Calls() {
    return g.calls;
}

} // namespace fakewire

using fakewire::g;

// The line's state lives in g: the port object holds nothing of its own.
struct SerialPort::Device {};

SerialPort::SerialPort() = default;
SerialPort::~SerialPort() = default;

bool SerialPort::open(const char* name) {
    ++g.calls;
    const int n = fakewire::PortNumberOf(name);
    g.open = n >= 3 && n <= 30 && (g.present >> n & 1u) != 0;
    // A new port is a new device: nothing of the last one is still on its way.
    g.scheduled.clear();
    g.arrived.clear();
    return g.open;
}

void SerialPort::close() {
    ++g.calls;
    g.open = false;
    g.scheduled.clear();
    g.arrived.clear();
}

bool SerialPort::isOpen() const {
    return g.open;
}

bool SerialPort::setLine(std::int32_t baud) {
    ++g.calls;
    g.baud = baud;
    return g.open;
}

void SerialPort::purgeInput() {
    ++g.calls;
    fakewire::Deliver();
    g.arrived.clear();
}

int SerialPort::bytesWaiting() {
    ++g.calls;
    if (!g.open) {
        return -1;
    }
    fakewire::Deliver();
    return static_cast<int>(g.arrived.size());
}

int SerialPort::read(std::uint8_t* buffer, int maximum) {
    ++g.calls;
    if (!g.open || maximum < 0) {
        return -1;
    }
    const int count = std::min(maximum, static_cast<int>(g.arrived.size()));
    std::copy_n(g.arrived.begin(), count, buffer);
    g.readSinceMark.insert(g.readSinceMark.end(), g.arrived.begin(), g.arrived.begin() + count);
    g.arrived.erase(g.arrived.begin(), g.arrived.begin() + count);
    return count;
}

bool SerialPort::write(const std::uint8_t* data, int count) {
    ++g.calls;
    if (!g.open || count < 0) {
        return false;
    }
    g.writes.push_back({g.baud, std::vector<std::uint8_t>(data, data + count)});
    fakewire::Release();
    return true;
}

void SerialPort::waitForInput(int milliseconds) {
    ++g.calls;
    if (!g.open || milliseconds <= 0) {
        return;
    }
    fakewire::Deliver();
    if (!g.arrived.empty()) {
        return;
    }
    std::uint64_t step = static_cast<std::uint64_t>(milliseconds);
    if (!g.scheduled.empty()) {
        step = std::min(step, g.scheduled.begin()->first - g.elapsed);
    }
    fakewire::Advance(step);
}

std::uint32_t GetTickCount() {
    ++g.calls;
    return g.now;
}

void Sleep(std::uint32_t milliseconds) {
    ++g.calls;
    fakewire::Advance(milliseconds);
}
