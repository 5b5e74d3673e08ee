#include "Timing.h"

#include <chrono>
#include <thread>

std::int64_t SteadyMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::uint32_t GetTickCount() {
    return static_cast<std::uint32_t>(SteadyMilliseconds());
}

void Sleep(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
