#include "Socket.h"

#include "SocketLayer.h"

#include <unordered_map>

namespace {

SocketObserver* observer = nullptr;

// Sockets with a recorded reset; few at any time, so a receive usually finds the table empty.
std::unordered_map<WsHandle, int>& Resets() {
    static std::unordered_map<WsHandle, int> resets;
    return resets;
}

} // namespace

SocketObserver* ActiveSocketObserver() {
    return observer;
}

void ForgetReset(WsHandle s) {
    auto& resets = Resets();
    if (!resets.empty())
        resets.erase(s);
}

void WsRecordReset(WsHandle s, int wsCode) {
    if (wsCode != 0)
        Resets().try_emplace(s, wsCode);
}

int WsResetError(WsHandle s) {
    const auto& resets = Resets();
    if (resets.empty())
        return 0;
    const auto it = resets.find(s);
    return it == resets.end() ? 0 : it->second;
}

void SetSocketObserver(SocketObserver* o) {
    observer = o;
}
