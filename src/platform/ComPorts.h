#pragma once
// The serial ports the launcher may ever open, COM3 … COM30: the link searches them in this
// order, and the port layer refuses every other name, so that no other device is touched.
inline constexpr int kFirstComPort = 3;
inline constexpr int kLastComPort = 30;
