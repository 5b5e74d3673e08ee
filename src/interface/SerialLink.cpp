#include "SerialLink.h"

std::uint8_t DeviceInfo[kDeviceInfoSize];
std::uint8_t DeviceType = 0;
