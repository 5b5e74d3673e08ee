#include "DownloadState.h"

std::int32_t DLAbort = 0;
std::int32_t DLretry = 0;
std::int32_t DLstall = 0;
std::int32_t DLsample = 0;
std::int32_t DLrecvd = 0;
std::int32_t DLbase = 0;
