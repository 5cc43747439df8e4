#pragma once
// The base of every network component: a share of a hidden message window
// that belongs to the thread using the component, and a few message numbers
// on it.  Socket notifications, lookup replies, timer ticks, deferred
// releases and the components' own "later" requests all arrive as messages
// to that window and are handled on the owning thread.
//
// The controls of one thread share hidden windows, 100 message numbers per
// window from 1025 (WM_USER + 1) up; a control never spans two windows.
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/messages.h"

namespace yux::net {

using platform::DWORD;
using platform::HWND;
using platform::LPARAM;
using platform::LRESULT;
using platform::UINT;
using platform::WPARAM;

inline constexpr int kNetWndMaxMessages = 100;
inline constexpr UINT kNetWndMsgLow = platform::WM_USER + 1;  // 1025

struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

class TNetWndControl;
class TNetWndHandlerList;

// One hidden window and its table of 100 message numbers.
class TNetWndHandler {
 public:
  explicit TNetWndHandler(TNetWndHandlerList* list);
  ~TNetWndHandler();
  TNetWndHandler(const TNetWndHandler&) = delete;
  TNetWndHandler& operator=(const TNetWndHandler&) = delete;

  // The first free entry takes the control; returns MsgLow + the entry.
  UINT AllocateMessage(TNetWndControl* control);
  // Clears the entry, removes every message with that number still queued
  // for the window, sets number to 0 and destroys the window when no entry
  // is left in use.  Nothing for 0.
  void ReleaseMessage(UINT& number);
  // Releases every number the control still holds.
  void ReleaseAllOf(TNetWndControl* control);
  void CreateHiddenWindow();
  void DestroyHiddenWindow();
  void HandleWindowMessage(TMessage& msg);

  HWND Handle() const { return handle_; }
  UINT MsgLow() const { return msgLow_; }
  int UsedCount() const { return used_; }
  TNetWndHandlerList* List() const { return list_; }

 private:
  friend class TNetWndHandlerPool;
  struct Slot;
  HWND handle_ = 0;
  std::array<TNetWndControl*, kNetWndMaxMessages> table_{};
  UINT msgLow_ = kNetWndMsgLow;
  int used_ = 0;
  TNetWndHandlerList* list_;
  std::shared_ptr<Slot> slot_;  // what the window procedure reaches the handler through
};

using TNetBgExceptionEvent =
    std::function<void(TNetWndControl* sender, const std::exception& e, bool& canClose)>;

// What the dispatch knows of a control across its handlers: how many of
// them run (nested through message pumps) and whether a release waits for
// the outermost one to return.  Outlives the control.
struct TNetWndDispatchState {
  TNetWndControl* control = nullptr;  // null once the control is gone
  int depth = 0;
  bool releaseWaiting = false;
};

// Marks a handler of the control as running for its lifetime; when the
// outermost one ends, a release asked for meanwhile is posted.  Safe when
// the handler freed the control.
class TNetWndDispatchScope {
 public:
  explicit TNetWndDispatchScope(TNetWndControl* control);
  ~TNetWndDispatchScope();
  TNetWndDispatchScope(const TNetWndDispatchScope&) = delete;
  TNetWndDispatchScope& operator=(const TNetWndDispatchScope&) = delete;

 private:
  std::shared_ptr<TNetWndDispatchState> state_;
};

class TNetWndControl {
 public:
  TNetWndControl();
  // Descendants that take message numbers of their own call
  // ReleaseWindowOnce() in their own destructor, where their
  // FreeMessageNumbers is still reachable; numbers a descendant left behind
  // are released here all the same, so no message can reach a freed control.
  virtual ~TNetWndControl();
  TNetWndControl(const TNetWndControl&) = delete;
  TNetWndControl& operator=(const TNetWndControl&) = delete;

  // The hidden window, attached first when there is none.
  HWND GetWindowHandle();
  HWND Handle() const { return handle_; }
  DWORD ThreadId() const { return threadId_; }
  TNetWndHandler* WndHandler() const { return handler_; }
  UINT ReleaseMessageNumber() const { return releaseMsg_; }

  bool MultiThreaded() const { return multiThreaded_; }
  const TNetBgExceptionEvent& OnBgException() const { return onBgException_; }
  std::function<void(TNetWndControl*)> OnMessagePumpRequest;
  // Set by an owning component on its inner control: called after a
  // background exception that may close.
  std::function<void()> ExceptionAbortHook;

  virtual void ReleaseWindowOnce();
  virtual void SetMultiThreaded(bool v) { multiThreaded_ = v; }
  virtual bool IsTerminated();
  virtual void MarkTerminated(bool v) { terminated_ = v; }
  virtual void SetMessagePumpHandler(std::function<void(TNetWndControl*)> v) {
    OnMessagePumpRequest = std::move(v);
  }
  virtual void SetOnBgException(TNetBgExceptionEvent v) { onBgException_ = std::move(v); }
  virtual void HandleWindowMessage(TMessage& msg);
  virtual void ProcessBgException(const std::exception& e);
  virtual void TriggerBgException(const std::exception& e, bool& canClose);
  // Frees the control (delete this): controls are made with new.
  virtual void HandleReleaseMessage();
  virtual void AttachHiddenWindow();
  virtual void DetachHiddenWindow();
  virtual int MessageNumbersNeeded() { return 1; }
  virtual void AllocateMessageNumbers();
  virtual void FreeMessageNumbers();
  virtual void AbortAfterError() {}
  // Frees the control once the current event handler has returned (the
  // outermost one, when handlers of the control pump messages).
  virtual void ReleaseDeferred();
  const std::shared_ptr<TNetWndDispatchState>& DispatchState() const { return dispatch_; }
  virtual void AttachToThread();
  virtual void DetachFromThread();
  virtual void RunMessageLoop();
  virtual bool HandleOneMessage();
  virtual void DrainMessageQueue();
  virtual void PumpMessages();

 protected:
  // Takes one number on the control's handler for a descendant.
  UINT AllocateMessage();
  void ReleaseMessage(UINT& number);

 private:
  bool windowReleased_ = false;
  HWND handle_ = 0;
  DWORD threadId_ = 0;
  bool terminated_ = false;
  bool multiThreaded_ = false;
  TNetWndHandler* handler_ = nullptr;
  UINT releaseMsg_ = 0;
  TNetBgExceptionEvent onBgException_;
  std::shared_ptr<TNetWndDispatchState> dispatch_;
};

// The handlers of one thread.
class TNetWndHandlerList {
 public:
  explicit TNetWndHandlerList(DWORD threadId) : threadId_(threadId) {}
  ~TNetWndHandlerList();
  DWORD ThreadId() const { return threadId_; }
  std::vector<TNetWndHandler*>& Handlers() { return handlers_; }

 private:
  DWORD threadId_;
  std::vector<TNetWndHandler*> handlers_;
};

// Process-wide: one list of handlers per thread that attached a control.
class TNetWndHandlerPool {
 public:
  TNetWndHandlerPool() = default;
  ~TNetWndHandlerPool();
  TNetWndHandlerPool(const TNetWndHandlerPool&) = delete;
  TNetWndHandlerPool& operator=(const TNetWndHandlerPool&) = delete;

  TNetWndHandler* AcquireHandler(int needed, DWORD threadId);
  void ReleaseHandler(TNetWndHandler* handler);
  std::recursive_mutex& Lock() { return lock_; }
  bool Empty() const { return lists_.empty(); }
  // For tests: the number of handlers the thread holds.
  int HandlerCount(DWORD threadId);

 private:
  std::vector<TNetWndHandlerList*> lists_;
  std::recursive_mutex lock_;
};

// The pool of the process (null once the unit is finalised and empty).
TNetWndHandlerPool* NetWndHandlerPool();
// The number of hidden windows that exist.
int NetWndWindowCount();

// The receiver of the messages of a hidden window that no control claims,
// asked before the default procedure; true when it took the message.  The
// timers (net/socket/nettimer.h) install theirs when the first is made, so
// that this unit never calls into them by name.
using TNetWndUnclaimedHandler = bool (*)(TMessage& msg);
void SetNetWndUnclaimedHandler(TNetWndUnclaimedHandler handler);

}  // namespace yux::net
