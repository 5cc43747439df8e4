#pragma once
// Socket notifications as window messages (the WSAAsyncSelect model).
//
// A socket registered with AsyncSelect reports its network events as
// messages posted to a window: wParam = the socket, lParam = the event in
// the low word and an error (a Winsock error number) in the high word.
// One event per message.  The rules are those the socket code was written
// against:
//  - FD_CONNECT (with its error) comes once, before the first FD_WRITE; a
//    failed connect never produces FD_CLOSE;
//  - FD_READ is posted once and comes again only after a recv (even a
//    failed one), and only while data remains;
//  - FD_WRITE comes after a connect or an accept, and after a send that
//    would block or was short, once room came back; never from plain
//    writability;
//  - FD_ACCEPT comes again only after an accept;
//  - FD_OOB comes again only after a recv with MSG_OOB;
//  - FD_CLOSE comes once, after all data was read, with error 0 (graceful),
//    10053 (aborted) or 10054 (reset);
//  - every registration re-posts the conditions that already hold (data
//    waiting, a pending connection, room to send on a connected socket, a
//    closed connection); a registration with mask or message 0 stops new
//    posts and leaves those already queued;
//  - a queued message never reaches a later socket that reuses the same
//    descriptor number: a closed descriptor's number stays taken until
//    every message queued for it has been handed out.
//
// The socket calls (recv, send, connect, listen, accept, close) tell this
// layer what they did through the AsyncSelectAfter* functions; the
// Winsock wrappers call them.  Registration must happen on the thread that
// owns the window.
#include <cstdint>

#include "platform/messages.h"

namespace yux::platform {

using SocketHandle = std::intptr_t;

inline constexpr long FD_READ = 0x01;
inline constexpr long FD_WRITE = 0x02;
inline constexpr long FD_OOB = 0x04;
inline constexpr long FD_ACCEPT = 0x08;
inline constexpr long FD_CONNECT = 0x10;
inline constexpr long FD_CLOSE = 0x20;

inline constexpr LPARAM WSAMakeSelectReply(unsigned event, unsigned error) {
  return LPARAM((event & 0xFFFF) | ((error & 0xFFFF) << 16));
}
inline constexpr unsigned WSAGetSelectEvent(LPARAM l) { return unsigned(l) & 0xFFFF; }
inline constexpr unsigned WSAGetSelectError(LPARAM l) { return (unsigned(l) >> 16) & 0xFFFF; }

// Registers (or re-registers, or with msg/events 0 stops) the socket's
// notifications and makes the socket non-blocking.  0, or -1 with errno
// (ENOTSOCK for a descriptor that is not a socket, EINVAL for an unknown
// window while events are asked for).
int AsyncSelect(SocketHandle s, HWND wnd, UINT msg, long events);

// What the socket calls did.  err is the errno of a failed call.
void AsyncSelectAfterRecv(SocketHandle s, int flags);
void AsyncSelectAfterSend(SocketHandle s, long requested, long result, int err);
void AsyncSelectAfterConnect(SocketHandle s, int result, int err);
void AsyncSelectAfterListen(SocketHandle s);
void AsyncSelectAfterAccept(SocketHandle listener, SocketHandle accepted);
// Closes the descriptor; 0, or -1 with errno.  The descriptor number stays
// reserved (pointing at nothing useful) until the messages already queued
// for it are gone.
int AsyncSelectClose(SocketHandle s);

// For tests: sockets registered now, and closed descriptor numbers still
// held back.
int AsyncSelectRegisteredCount();
int AsyncSelectReservedCount();

}  // namespace yux::platform
