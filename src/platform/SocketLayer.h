#pragma once
// What the shared parts and the platform halves of the socket layer (Socket, SocketNotifier) ask
// of each other. Internal to the platform layer: no component above includes it.
#include "Socket.h"

// Socket: the observer the calls report to (nullptr: none), and forgetting a socket's recorded
// reset when its handle is closed or handed out again.
SocketObserver* ActiveSocketObserver();
void ForgetReset(WsHandle s);

// SocketNotifier: true while serial names the current registration of socket s, so that a notice
// of a socket closed (or registered again) since it was posted is dropped.
bool IsCurrentRegistration(WsHandle s, quint64 serial);
