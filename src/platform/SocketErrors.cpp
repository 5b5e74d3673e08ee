#include "SocketErrors.h"

namespace {

thread_local int lastError = 0;

} // namespace

int WsGetLastError() {
    return lastError;
}

void WsSetLastError(int code) {
    lastError = code;
}
