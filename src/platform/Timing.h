#pragma once
// Stand-ins for GetTickCount and Sleep. Sleep blocks the thread without pumping events, as the
// fixed pauses of the launcher and the download sequence require.
#include <cstdint>

// Milliseconds since an arbitrary start on the steady clock; differences never wrap.
std::int64_t SteadyMilliseconds();
// The same clock wrapping at 2^32 like the Windows tick count.
std::uint32_t GetTickCount();
void Sleep(std::uint32_t milliseconds);
