#pragma once
// The numbers a socket notice carries, shared by the notification layer that posts notices
// (SocketNotifier) and the socket component that receives them (net/AsyncSocket). WinSock fixes
// them; a notice's lParam holds the event in its low word and the error code in its high word.
#include <QtGlobal>

// Notice numbers posted to a socket's notification object.
constexpr quint32 SocketMessage = 1125;     // WM_USER + 101
constexpr quint32 AsyncReplyMessage = 1126; // WM_USER + 102

// Socket events carried in the low word of a notice (the high word holds the error code). The
// system's Winsock header defines the same names as macros with the same values; a platform file
// that includes it first keeps those.
#ifndef FD_READ
constexpr quint16 FD_READ = 1;
constexpr quint16 FD_WRITE = 2;
constexpr quint16 FD_OOB = 4;
constexpr quint16 FD_ACCEPT = 8;
constexpr quint16 FD_CONNECT = 16;
constexpr quint16 FD_CLOSE = 32;
#endif
