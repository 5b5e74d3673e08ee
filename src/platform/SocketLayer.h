#pragma once
// What the shared parts and the platform halves of the socket layer (Socket, SocketNotifier) ask
// of each other. Internal to the platform layer: no component above includes it.
#include "Socket.h"

// Socket: the observer the calls report to (nullptr: none), and forgetting a socket's recorded
// reset when its handle is closed or handed out again.
SocketObserver* ActiveSocketObserver();
void ForgetReset(WsHandle s);

// Socket: the steps of the calls that do not depend on the system. A handle made or handed out
// (its old reset forgotten, the observer told), a handle about to be closed (likewise), a
// socket that listens (the observer told), the address and port a call gives back (to either
// pointer the caller passed), and a receive on a socket with a recorded reset, which fails with it
// every time (true: the last error is set).
void NoteCreated(WsHandle s, bool connected);
void NoteClosing(WsHandle s);
void NoteListening(WsHandle s);
void GiveAddress(quint32 addressN, quint16 portN, quint32* addressOut, quint16* portOut);
bool FailWithRecordedReset(WsHandle s);

// SocketNotifier: true while serial names the current registration of socket s, so that a notice
// of a socket closed (or registered again) since it was posted is dropped.
bool IsCurrentRegistration(WsHandle s, quint64 serial);
