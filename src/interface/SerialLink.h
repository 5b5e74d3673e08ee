#pragma once
// The serial link to the diagnostic interface: search COM3 … COM30 for a unit that answers the
// device-information request, directly at 57600 baud or at 115200 after the fast-link probe.
//
// Frames (both directions): a big-endian length counting every byte of the frame, the body
// (command first), and a checksum that is the sum modulo 256 of the bytes before it. Replies are
// never prefixed and their checksum is not verified. All buffers are fixed and process-wide.
#include "platform/ComPorts.h"

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr int kDeviceInfoSize = 99;

inline constexpr int kTransmitSize = 512;
inline constexpr int kReceiveSize = 16384;
inline constexpr int kReplySize = 1024;
// More bytes than this waiting, or a reply announcing this many or more, is an overflow.
inline constexpr int kOverflowLimit = 512;
inline constexpr int kFrameTimeoutMs = 500;
inline constexpr int kRawTimeoutMs = 50;
inline constexpr std::int32_t kNormalBaud = 57600;
inline constexpr std::int32_t kFastLinkBaud = 115200;

inline constexpr std::uint8_t kDeviceInfoCommand = 0x56;      // "V"
inline constexpr std::uint8_t kDeviceInfoReplyCommand = 0x76; // "v"

using ReplyBuffer = std::uint8_t[kReplySize];

// Copy of the device-information reply, kept for the rest of the run.
extern std::uint8_t DeviceInfo[kDeviceInfoSize];
// DeviceInfo byte 2: 1 and 5 are the two product lines the launcher knows.
extern std::uint8_t DeviceType;
// When set, every frame goes out preceded by 0x71 0x00 (the fast-link responder answered "RD").
extern bool PrefixMode;

// The device-information request: length 4, command "V", checksum filled in by Transact.
inline constexpr std::uint8_t DeviceInfoRequest[4] = {0x00, 0x04, kDeviceInfoCommand, 0x00};

// 1 if an interface answered (port left open, DeviceInfo and DeviceType valid), else 0.
int FindInterface();
// Closes the port if one is open.
void ClosePort();

// The Windows name of COM n: "COM9" below 10, "\\.\COM12" from 10 on.
void PortName(int n, char (&name)[16]);
// Opens COM n and applies the normal line settings; a port opened here starts without the
// prefix. 1 on success, 0 (no port open) when it cannot be opened or refuses the settings.
int OpenPort(int n);

// 1 if a valid device-information reply was stored in DeviceInfo, else 0.
int ReadDeviceInfo();
// Writes the checksum into request, then up to three attempts of WriteFrame + ReadFrame until
// one yields 3 bytes or more. Returns the byte count of the last attempt (0 if none).
int Transact(std::span<std::uint8_t> request, ReplyBuffer& reply);
// Sends one frame (prefixed in PrefixMode) after discarding pending input.
void WriteFrame(std::span<const std::uint8_t> frame);
// Waits up to 500 ms for a whole frame. Returns its length, or 0 on time-out or overflow.
int ReadFrame(ReplyBuffer& reply);
// Writes a counted run of bytes (count byte first), never prefixed. 1 if written, else 0.
int WriteRaw(std::span<const std::uint8_t> run);
// Writes a run, then collects whatever arrives within 50 ms. Returns the number of bytes.
int RawExchange(std::span<const std::uint8_t> run, ReplyBuffer& reply);
// Switches to 115200 baud and asks whether a fast-link responder is there. 1 if it answered
// "RD" (PrefixMode set), else 0.
int ProbeFastLink();

// The frame's checksum: the sum modulo 256 of its first length-1 bytes.
std::uint8_t FrameChecksum(std::span<const std::uint8_t> frame, int length);
