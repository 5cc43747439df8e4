#pragma once
// A registered message broadcast to every YUX process of the user (the
// hand-over of the file manager's bin verbs to the running instance).
//
// Each process that registers a receiver window listens on a datagram
// socket in RuntimeFolder(); a broadcast sends the message's name, wParam
// and the atom's text to every such socket (this process included), and
// skips and removes the sockets of processes that are gone.  The receiving
// process adds the text to its atom table and posts the message (its own
// number for the registered name) to each receiver window with lParam =
// that atom; the handler reads the text with GlobalGetAtomName while it
// handles the message.  The atom is deleted after every receiver's copy has
// been dispatched in queue order.
#include "platform/atoms.h"
#include "platform/messages.h"

#include <string>

namespace yux::platform {

// Sends the message with the atom's text; returns how many processes got
// it, or -1 (last error set) when the atom is unknown, the name is empty or
// the runtime folder cannot be used.
int BroadcastAtomMessage(const std::string& messageName, WPARAM wParam, ATOM atom);
// The same with the text given directly (1 to 255 bytes).
int BroadcastTextMessage(const std::string& messageName, WPARAM wParam, const std::string& text);

// Makes a window of the calling thread a receiver.  The first call starts
// the process's listener on that thread (it needs a Qt application); later
// receivers must belong to the same thread.  false with last error on
// failure.
bool RegisterBroadcastReceiver(HWND wnd);
void UnregisterBroadcastReceiver(HWND wnd);

}  // namespace yux::platform
