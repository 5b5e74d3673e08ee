#include "SocketErrors.h"

// Winsock's calls already give WinSock codes (WSAGetLastError); only a value outside its range,
// such as a C runtime errno, needs a code that cannot be mistaken for a known one.
int TranslateSocketError(int e) {
    if (e == 0 || (e >= 10000 && e < WS_UNKNOWN_ERROR_BASE))
        return e;
    return WS_UNKNOWN_ERROR_BASE + e;
}
