#pragma once
// A scripted serial line for the frame reader. It replaces SerialPort and the tick count at link
// time, so the link's own code runs unchanged against bytes chosen by the fuzzer, and time is
// virtual: a 500 ms time-out costs nothing.
//
// Script: a list of replies. Every write to the port releases the next reply; each reply is a
// list of chunks, each arriving a given number of milliseconds after the one before it (after the
// write for the first). Bytes of an earlier reply still on their way keep arriving.
#include <cstdint>
#include <vector>

namespace fakewire {

struct Chunk {
    std::uint32_t delayMs;
    std::vector<std::uint8_t> bytes;
};
using Reply = std::vector<Chunk>;

struct Write {
    std::int32_t baud;
    std::vector<std::uint8_t> bytes;
};

// Starts a new run: no port open, the clock at startTick, replies to be released in order.
// Replies released before the first write: the first reply arrives without being asked for.
void Reset(std::uint32_t startTick, std::vector<Reply> replies, bool firstReplyUnasked);
// Ports 3 … 30 that exist (bit n); the others fail to open.
void SetPresentPorts(std::uint32_t mask);

// Bytes the link has taken from the port since the last mark.
void MarkRead();
const std::vector<std::uint8_t>& ReadSinceMark();

const std::vector<Write>& Writes();
std::uint32_t Now();
bool IsOpen();
// Number of port calls so far: a bound on the work of one run.
std::uint64_t Calls();

} // namespace fakewire
