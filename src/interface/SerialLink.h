#pragma once
// The serial link to the diagnostic interface: search COM3 … COM30 for a unit that answers the
// device-information request, directly at 57600 baud or at 115200 after the fast-link probe.
#include <cstdint>

inline constexpr int kDeviceInfoSize = 99;

// Copy of the device-information reply, kept for the rest of the run.
extern std::uint8_t DeviceInfo[kDeviceInfoSize];
// DeviceInfo byte 2: 1 and 5 are the two product lines the launcher knows.
extern std::uint8_t DeviceType;

// 1 if an interface answered (port left open, DeviceInfo and DeviceType valid), else 0.
int FindInterface();
// Closes the port if one is open.
void ClosePort();
