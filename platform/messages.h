#pragma once
// Message windows on Qt's event loop.
//
// The system is written against window messages: hidden windows with a
// window procedure, messages posted from any thread and handled on the
// window's own thread, window timers, and loops that pump messages while
// they wait.  This is that facility, kept in its Windows shape:
//
//  - every thread that creates a window has one message queue; posted
//    messages of all its windows are kept there in order and handed out by
//    GetMessage/PeekMessage or dispatched by Qt's event loop;
//  - window handles are never reused within a process;
//  - PostMessage works from any thread; a post to a destroyed (or never
//    created) window fails with last error 1400 (invalid window handle);
//  - SendMessage calls the window procedure directly when called on the
//    owner thread;
//  - WM_TIMER comes from SetTimer, never before its interval has passed.
#include <cstdint>
#include <functional>
#include <string>

namespace yux::platform {

using HWND = std::uintptr_t;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using DWORD = std::uint32_t;

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr HWND HWND_BROADCAST = 0xFFFF;

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;

// PeekMessage removal flags.
inline constexpr UINT PM_NOREMOVE = 0;
inline constexpr UINT PM_REMOVE = 1;

struct MSG {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;  // tick count when posted
};

using WndProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// Last error of the calling thread (Windows error numbers).
DWORD GetLastError();
void SetLastError(DWORD code);

// Creates a hidden message window owned by the calling thread.  A window
// procedure may destroy its own window, pump nested messages or throw: a
// message dispatched by Qt's event loop drops what the procedure throws,
// DispatchMessage passes it on to its caller.
HWND CreateMessageWindow(WndProc proc);
// Destroys a window: WM_DESTROY goes to its procedure first, then its
// queued messages and timers go with it.  Only the owner thread may destroy
// it (false and 1400 otherwise, or when unknown).
bool DestroyWindow(HWND wnd);
// The default procedure: handles nothing, returns 0.
LRESULT DefWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
bool IsWindow(HWND wnd);
// Thread id (platform's own numbering, never 0) that owns the window, or 0.
DWORD GetWindowThreadId(HWND wnd);
DWORD GetCurrentThreadId();

// Any thread.  HWND_BROADCAST is not a window here (1400): broadcasts
// between processes go through platform/broadcast.h.
bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Posts to the calling thread's queue with no window (hwnd 0): WM_QUIT.
// Messages without a window are only handed out by GetMessage/PeekMessage;
// Qt's event loop and ProcessMessages leave them queued.
void PostQuitMessage(int exitCode);
// Fails with 1444 when the thread has no message queue.
bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// On the owner thread the procedure is called directly.  From another
// thread the call waits until the owner thread handles it (it does so in
// every queue access and in Qt's event loop); messages sent to the waiting
// thread meanwhile are handled, so two threads sending to each other do
// not dead-lock.  0 and 1400 for an unknown window.
LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Queue access for the calling thread.  wnd 0 means every window of the
// thread (and thread messages); msgMin = msgMax = 0 means every number;
// WM_QUIT passes every number range.  Both let Qt's pending events run
// first (socket notifiers and timers post from there).
bool PeekMessage(MSG* out, HWND wnd, UINT msgMin, UINT msgMax, UINT removeFlags);
// Blocks (pumping Qt's event loop) until a message is there; false for WM_QUIT.
bool GetMessage(MSG* out, HWND wnd, UINT msgMin, UINT msgMax);
LRESULT DispatchMessage(const MSG& msg);
// Removes every queued message of the window within [msgMin, msgMax]
// (0, 0: every number); any thread; returns how many were removed.
int RemoveMessages(HWND wnd, UINT msgMin, UINT msgMax);

// Stable numbers from 0xC000 upward, the same for the same name (ASCII
// case-insensitive) within a process.
UINT RegisterWindowMessage(const std::string& name);

// Window timers: WM_TIMER (wParam = id, lParam 0) to the window, never
// before `ms` milliseconds after SetTimer or after the previous WM_TIMER of
// the timer was taken from the queue; at most one WM_TIMER per timer waits
// in the queue.  Intervals below 10 ms count as 10.  Setting an existing id
// restarts it.  Only the owner thread may set or kill a window's timers.
// KillTimer also removes its WM_TIMER still waiting in the queue.  Returns
// the id, 0 on failure (id 0 is refused with 87).
std::uintptr_t SetTimer(HWND wnd, std::uintptr_t id, UINT ms);
bool KillTimer(HWND wnd, std::uintptr_t id);

// Milliseconds since an arbitrary start, wrapping at 2^32 like the Windows
// tick count.  Tests may inject a source.
DWORD GetTickCount();
void SetTickSourceForTesting(std::function<DWORD()> source);  // empty = real

// Handles everything waiting: Qt events, then the calling thread's queued
// window messages.  May be called from inside a window procedure (nested
// pumping).
void ProcessMessages();
// Sleeps up to `ms` while handling messages as they arrive.
void ProcessMessagesFor(DWORD ms);

// Waits until `done` returns true or `timeoutMs` passed (0xFFFFFFFF: no
// limit), handling messages every `pumpEveryMs` meanwhile; returns the last
// result of `done`.  For the "wait on the handle, pump messages" loops.
bool WaitPumping(const std::function<bool()>& done, DWORD timeoutMs, DWORD pumpEveryMs = 50);

}  // namespace yux::platform
