#pragma once
// The socket handle the socket layer hands out. It is wide enough for every platform's handle
// (a Windows SOCKET is pointer-sized, a POSIX descriptor an int), so the components above hold
// one without knowing which; the value for "no socket" is the same everywhere.
#include <cstdint>

using WsHandle = std::uintptr_t;
inline constexpr WsHandle WS_INVALID_SOCKET = ~WsHandle(0);
