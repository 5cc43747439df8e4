#include "net/socket/netwndcontrol.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <string>

#include "net/socket/netexceptions.h"

namespace yux::net {
namespace {

std::atomic<TNetWndUnclaimedHandler> g_unclaimed{nullptr};

// Unit-wide state.  It is never destroyed: handlers still attached when the
// process ends keep the pool until their last detach.
struct Unit {
  TNetWndHandlerPool* pool = new TNetWndHandlerPool;
  std::mutex poolPtrLock;  // guards `pool` itself once finalised
  std::mutex classLock;    // guards the window count
  int windowCount = 0;
  std::atomic<bool> finalised{false};
};

Unit& U() {
  static Unit* unit = new Unit;
  return *unit;
}

// Marks the unit finalised at the end of the process and frees the pool
// when nothing holds a handler any more.
struct Finaliser {
  Finaliser() { U(); }
  ~Finaliser() {
    Unit& u = U();
    u.finalised = true;
    std::lock_guard<std::mutex> g(u.poolPtrLock);
    if (u.pool && u.pool->Empty()) {
      delete u.pool;
      u.pool = nullptr;
    }
  }
} g_finaliser;

TNetWndHandlerPool& Pool() {
  TNetWndHandlerPool* p = U().pool;
  if (!p) throw ENetException("Unit is already finalized, check your threads!!!");
  return *p;
}

}  // namespace

struct TNetWndHandler::Slot {
  std::atomic<TNetWndHandler*> handler{nullptr};
};

TNetWndHandlerPool* NetWndHandlerPool() { return U().pool; }

void SetNetWndUnclaimedHandler(TNetWndUnclaimedHandler handler) { g_unclaimed.store(handler); }

int NetWndWindowCount() {
  std::lock_guard<std::mutex> g(U().classLock);
  return U().windowCount;
}

// ---------------------------------------------------------------------------
// TNetWndHandler

TNetWndHandler::TNetWndHandler(TNetWndHandlerList* list)
    : list_(list), slot_(std::make_shared<Slot>()) {}

TNetWndHandler::~TNetWndHandler() { DestroyHiddenWindow(); }

UINT TNetWndHandler::AllocateMessage(TNetWndControl* control) {
  if (msgLow_ < 1024) throw ENetException("MsgLow not defined");
  if (used_ >= kNetWndMaxMessages) throw ENetException("No more free message");
  for (int i = 0; i < kNetWndMaxMessages; ++i) {
    if (!table_[i]) {
      table_[i] = control;
      ++used_;
      return msgLow_ + UINT(i);
    }
  }
  throw ENetException("No more free message");
}

void TNetWndHandler::ReleaseMessage(UINT& number) {
  if (number == 0) return;
  if (msgLow_ < 1024) throw ENetException("MsgLow not defined");
  if (number < msgLow_ || number >= msgLow_ + kNetWndMaxMessages)
    throw ENetException("Msg value out of bound");
  int i = int(number - msgLow_);
  if (!table_[i]) throw ENetException("Msg not registered");
  table_[i] = nullptr;
  --used_;
  // A stale message must never reach a later owner of the number.
  if (handle_) platform::RemoveMessages(handle_, number, number);
  number = 0;
  if (used_ == 0) DestroyHiddenWindow();
}

void TNetWndHandler::ReleaseAllOf(TNetWndControl* control) {
  for (int i = 0; i < kNetWndMaxMessages && handle_; ++i) {
    if (table_[i] != control) continue;
    UINT n = msgLow_ + UINT(i);
    ReleaseMessage(n);
  }
}

void TNetWndHandler::CreateHiddenWindow() {
  if (handle_) return;
  std::shared_ptr<Slot> slot = slot_;
  HWND wnd = platform::CreateMessageWindow([slot](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
    TNetWndHandler* h = slot->handler.load();
    if (!h) return platform::DefWindowProc(w, m, wp, lp);
    TMessage msg{m, wp, lp, 0};
    h->HandleWindowMessage(msg);
    return msg.Result;
  });
  if (!wnd)
    throw ENetException("Unable to create TNetWndControl hidden window.  Error #" +
                        std::to_string(platform::GetLastError()) + ".");
  handle_ = wnd;
  slot_->handler = this;
  std::lock_guard<std::mutex> g(U().classLock);
  ++U().windowCount;
}

void TNetWndHandler::DestroyHiddenWindow() {
  if (!handle_) return;
  table_.fill(nullptr);
  slot_->handler = nullptr;
  platform::DestroyWindow(handle_);
  handle_ = 0;
  std::lock_guard<std::mutex> g(U().classLock);
  --U().windowCount;
}

void TNetWndHandler::HandleWindowMessage(TMessage& msg) {
  try {
    if (msg.Msg >= msgLow_ && msg.Msg < msgLow_ + kNetWndMaxMessages) {
      if (TNetWndControl* c = table_[msg.Msg - msgLow_]) {
        // The control may free itself, and with its last number this
        // handler: nothing of either is touched afterwards, only the
        // dispatch state, which outlives both.
        TNetWndDispatchScope scope(c);
        c->HandleWindowMessage(msg);
        return;
      }
    }
    if (TNetWndUnclaimedHandler unclaimed = g_unclaimed.load(); unclaimed && unclaimed(msg)) return;
    msg.Result = platform::DefWindowProc(handle_, msg.Msg, msg.WParam, msg.LParam);
  } catch (const std::exception&) {
    // Dropped: nothing raised by a handler leaves the window procedure.
  }
}

// ---------------------------------------------------------------------------
// TNetWndDispatchScope

TNetWndDispatchScope::TNetWndDispatchScope(TNetWndControl* control)
    : state_(control->DispatchState()) {
  ++state_->depth;
}

TNetWndDispatchScope::~TNetWndDispatchScope() {
  TNetWndDispatchState& s = *state_;
  // A release asked for under a running handler is due now that the
  // outermost handler returned.
  if (--s.depth == 0 && s.releaseWaiting && s.control) {
    s.releaseWaiting = false;
    try {
      s.control->ReleaseDeferred();
    } catch (...) {
      // No window to post to any more: the control stays, as a failed
      // release request leaves it.
    }
  }
}

// ---------------------------------------------------------------------------
// TNetWndHandlerList and TNetWndHandlerPool

TNetWndHandlerList::~TNetWndHandlerList() {
  for (auto* h : handlers_) delete h;
}

TNetWndHandlerPool::~TNetWndHandlerPool() {
  for (auto* l : lists_) delete l;
}

TNetWndHandler* TNetWndHandlerPool::AcquireHandler(int needed, DWORD threadId) {
  if (needed > kNetWndMaxMessages) throw ENetException("NET message IDs out of bounds!");
  TNetWndHandlerList* list = nullptr;
  for (auto it = lists_.rbegin(); it != lists_.rend(); ++it)
    if ((*it)->ThreadId() == threadId) {
      list = *it;
      break;
    }
  if (!list) {
    list = new TNetWndHandlerList(threadId);
    lists_.push_back(list);
  }
  for (auto* h : list->Handlers())
    if (kNetWndMaxMessages - h->UsedCount() >= needed) return h;
  auto* h = new TNetWndHandler(list);
  list->Handlers().push_back(h);
  return h;
}

void TNetWndHandlerPool::ReleaseHandler(TNetWndHandler* handler) {
  TNetWndHandlerList* list = handler->List();
  auto& hs = list->Handlers();
  hs.erase(std::remove(hs.begin(), hs.end(), handler), hs.end());
  if (hs.empty()) {
    lists_.erase(std::remove(lists_.begin(), lists_.end(), list), lists_.end());
    delete list;
  }
  delete handler;
}

int TNetWndHandlerPool::HandlerCount(DWORD threadId) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  int n = 0;
  for (auto* l : lists_)
    if (l->ThreadId() == threadId) n += int(l->Handlers().size());
  return n;
}

// ---------------------------------------------------------------------------
// TNetWndControl

TNetWndControl::TNetWndControl() : dispatch_(std::make_shared<TNetWndDispatchState>()) {
  dispatch_->control = this;
}

TNetWndControl::~TNetWndControl() {
  dispatch_->control = nullptr;
  try {
    if (!windowReleased_ && handler_ && handle_) {
      std::lock_guard<std::recursive_mutex> g(Pool().Lock());
      handler_->ReleaseAllOf(this);
      releaseMsg_ = 0;
    }
    ReleaseWindowOnce();
  } catch (...) {
    // A destructor cannot report; the numbers are gone with the window.
  }
}

HWND TNetWndControl::GetWindowHandle() {
  if (!handle_) AttachHiddenWindow();
  return handle_;
}

void TNetWndControl::ReleaseWindowOnce() {
  if (windowReleased_) return;
  DetachHiddenWindow();
  windowReleased_ = true;
}

bool TNetWndControl::IsTerminated() {
  return terminated_ || QCoreApplication::closingDown();
}

void TNetWndControl::HandleWindowMessage(TMessage& msg) {
  try {
    if (releaseMsg_ != 0 && msg.Msg == releaseMsg_) {
      if (dispatch_->depth > 1) {
        // Reached through a message pump inside a handler of this control:
        // that handler still runs on it.  The release follows its return.
        dispatch_->releaseWaiting = true;
        return;
      }
      HandleReleaseMessage();  // frees this control: return at once
      return;
    }
    msg.Result = platform::DefWindowProc(handle_, msg.Msg, msg.WParam, msg.LParam);
  } catch (const std::exception& e) {
    ProcessBgException(e);
  }
}

void TNetWndControl::ProcessBgException(const std::exception& e) {
  if (dynamic_cast<const EAbort*>(&e)) return;
  bool canClose = true;
  if (onBgException_) {
    try {
      TriggerBgException(e, canClose);
    } catch (...) {
    }
  }
  if (!canClose) return;
  if (ExceptionAbortHook) {
    try {
      ExceptionAbortHook();
    } catch (...) {
    }
  }
  try {
    AbortAfterError();
  } catch (...) {
  }
}

void TNetWndControl::TriggerBgException(const std::exception& e, bool& canClose) {
  if (onBgException_) onBgException_(this, e, canClose);
}

void TNetWndControl::HandleReleaseMessage() { delete this; }

void TNetWndControl::AttachHiddenWindow() {
  if (handle_) return;
  if (U().finalised) throw ENetException("Unit is already finalized, check your threads!!!");
  threadId_ = platform::GetCurrentThreadId();
  TNetWndHandlerPool& pool = Pool();
  std::lock_guard<std::recursive_mutex> g(pool.Lock());
  if (!handler_) handler_ = pool.AcquireHandler(MessageNumbersNeeded(), threadId_);
  try {
    if (!handler_->Handle()) handler_->CreateHiddenWindow();
  } catch (...) {
    if (handler_->UsedCount() == 0) pool.ReleaseHandler(handler_);
    handler_ = nullptr;
    threadId_ = 0;
    throw;
  }
  handle_ = handler_->Handle();
  AllocateMessageNumbers();
}

void TNetWndControl::DetachHiddenWindow() {
  if (!handle_) return;
  Unit& u = U();
  {
    TNetWndHandlerPool& pool = Pool();
    std::lock_guard<std::recursive_mutex> g(pool.Lock());
    FreeMessageNumbers();
    if (handler_ && handler_->UsedCount() == 0) pool.ReleaseHandler(handler_);
    handle_ = 0;
    handler_ = nullptr;
    threadId_ = 0;
  }
  if (u.finalised) {
    std::lock_guard<std::mutex> g(u.poolPtrLock);
    if (u.pool && u.pool->Empty()) {
      delete u.pool;
      u.pool = nullptr;
    }
  }
}

void TNetWndControl::AllocateMessageNumbers() { releaseMsg_ = AllocateMessage(); }

void TNetWndControl::FreeMessageNumbers() { ReleaseMessage(releaseMsg_); }

UINT TNetWndControl::AllocateMessage() {
  if (!handler_) throw ENetException("No window available");
  return handler_->AllocateMessage(this);
}

void TNetWndControl::ReleaseMessage(UINT& number) {
  if (handler_) handler_->ReleaseMessage(number);
}

void TNetWndControl::ReleaseDeferred() {
  platform::PostMessage(GetWindowHandle(), releaseMsg_, 0, 0);
}

void TNetWndControl::AttachToThread() {
  if (handle_) throw ENetException("Cannot attach when not detached");
  AttachHiddenWindow();
}

void TNetWndControl::DetachFromThread() {
  if (platform::GetCurrentThreadId() != threadId_)
    throw ENetException("Cannot detach from another thread");
  DetachHiddenWindow();
}

void TNetWndControl::RunMessageLoop() {
  platform::MSG m;
  while (platform::GetMessage(&m, 0, 0, 0)) platform::DispatchMessage(m);
  MarkTerminated(true);
}

bool TNetWndControl::HandleOneMessage() {
  platform::MSG m;
  if (!platform::PeekMessage(&m, 0, 0, 0, platform::PM_REMOVE)) return false;
  if (m.message == platform::WM_QUIT)
    MarkTerminated(true);
  else
    platform::DispatchMessage(m);
  return true;
}

void TNetWndControl::DrainMessageQueue() {
  while (HandleOneMessage()) {
  }
}

void TNetWndControl::PumpMessages() {
  if (OnMessagePumpRequest)
    OnMessagePumpRequest(this);
  else if (multiThreaded_)
    DrainMessageQueue();
  else
    platform::ProcessMessages();
}

}  // namespace yux::net
