#pragma once
// Counters of the download sequence, shared by the attempt, the watchdog and the progress
// handler. Plain integers: everything runs on the one GUI thread.
#include <cstdint>

extern std::int32_t DLAbort;  // reason code of the current attempt's failure; 0 = none
extern std::int32_t DLretry;  // failed attempts so far; never reset
extern std::int32_t DLstall;  // watchdog ticks since the last packet
extern std::int32_t DLsample; // ReceivedBytes at the watchdog's last sample
extern std::int32_t DLrecvd;  // ReceivedBytes at the last packet event
extern std::int32_t DLbase;   // bytes received before a resumption within the attempt
