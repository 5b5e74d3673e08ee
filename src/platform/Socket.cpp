#include "Socket.h"

#include "SocketLayer.h"

#include <QtEndian>
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

void NoteCreated(WsHandle s, bool connected) {
    ForgetReset(s);
    if (observer)
        observer->Created(s, connected);
}

void NoteClosing(WsHandle s) {
    ForgetReset(s);
    if (observer)
        observer->Closed(s);
}

void NoteListening(WsHandle s) {
    if (observer)
        observer->Listening(s);
}

void GiveAddress(quint32 addressN, quint16 portN, quint32* addressOut, quint16* portOut) {
    if (addressOut)
        *addressOut = addressN;
    if (portOut)
        *portOut = portN;
}

bool FailWithRecordedReset(WsHandle s) {
    const int reset = WsResetError(s);
    if (reset != 0)
        WsSetLastError(reset);
    return reset != 0;
}

// The byte order and the dotted text need no system call: network order is big-endian
// everywhere.
QString WsInetNtoa(quint32 addressN) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&addressN);
    return QStringLiteral("%1.%2.%3.%4").arg(bytes[0]).arg(bytes[1]).arg(bytes[2]).arg(bytes[3]);
}

quint16 WsHtons(quint16 value) {
    return qToBigEndian(value);
}

quint16 WsNtohs(quint16 value) {
    return qFromBigEndian(value);
}

void SetSocketObserver(SocketObserver* o) {
    observer = o;
}
