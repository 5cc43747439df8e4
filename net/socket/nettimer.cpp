#include "net/socket/nettimer.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <map>

#include "net/socket/netexceptions.h"
#include "net/socket/netutils.h"

namespace yux::net {
namespace {

constexpr HWND kDeadWindow = HWND(-1);

// Live timers by address.  A tick for a timer that is gone (or whose
// address now belongs to another timer with another marker) is dropped
// without touching the object.
std::mutex g_liveLock;
std::map<std::uintptr_t, TNetTimer*> g_live;

void Register(TNetTimer* t) {
  std::lock_guard<std::mutex> g(g_liveLock);
  g_live[reinterpret_cast<std::uintptr_t>(t)] = t;
}

void Unregister(TNetTimer* t) {
  std::lock_guard<std::mutex> g(g_liveLock);
  g_live.erase(reinterpret_cast<std::uintptr_t>(t));
}

// The live timer at `address` whose marker is `marker`, or null.
TNetTimer* FindLive(std::uintptr_t address, std::uintptr_t marker) {
  std::lock_guard<std::mutex> g(g_liveLock);
  auto it = g_live.find(address);
  if (it == g_live.end() || it->second->Marker() != marker || marker == 0) return nullptr;
  return it->second;
}

std::atomic<std::uint32_t> g_uniqueId{0};

std::mutex g_poolLock;
TNetClockPool* g_pool = nullptr;

}  // namespace

UINT NetThreadTimerMessage() {
  static const UINT msg = platform::RegisterWindowMessage("YUX_NET_THREAD_TIMER");
  return msg;
}

int NetClockCount() {
  std::lock_guard<std::mutex> g(g_poolLock);
  return g_pool ? g_pool->ClockCount() : 0;
}

bool NetTimerDispatch(TMessage& msg) {
  // The owner counts as busy while its timer's handler runs: a release it
  // asks for there waits for the handler, even one that pumps messages.
  if (msg.Msg == platform::WM_TIMER) {
    TNetTimer* t = FindLive(msg.WParam, msg.WParam);
    if (t && !dynamic_cast<TNetThreadTimer*>(t)) {
      TNetWndDispatchScope scope(t->Owner());
      t->HandleTimerMessage();
    }
    return true;
  }
  if (msg.Msg == NetThreadTimerMessage()) {
    TNetTimer* t = FindLive(msg.WParam, std::uintptr_t(msg.LParam));
    if (auto* tt = dynamic_cast<TNetThreadTimer*>(t)) {
      TNetWndDispatchScope scope(tt->Owner());
      tt->HandleTimerMessage();
    }
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// TNetTimer

TNetTimer::TNetTimer(TNetWndControl* owner) : owner_(owner) {
  if (!owner) throw ENetTimerException("Owner not assigned");
  SetNetWndUnclaimedHandler(&NetTimerDispatch);
  marker_ = reinterpret_cast<std::uintptr_t>(this);
  Register(this);
}

TNetTimer::~TNetTimer() {
  marker_ = 0;
  Unregister(this);
  if (owner_->Handle()) {
    enabled_ = false;
    try {
      TNetTimer::RearmTimer();  // kills the window timer
    } catch (...) {
    }
  }
}

void TNetTimer::CheckOwnerWindow() {
  if (!owner_->Handle()) throw ENetTimerException("No window available");
}

void TNetTimer::SetEnabled(bool v) {
  if (v == enabled_) return;
  CheckOwnerWindow();
  enabled_ = v;
  RearmTimer();
}

void TNetTimer::SetInterval(DWORD v) {
  if (v == interval_) return;
  CheckOwnerWindow();
  interval_ = v;
  RearmTimer();
}

void TNetTimer::SetOnTimer(TNotifyEvent v) {
  CheckOwnerWindow();
  onTimer_ = std::move(v);
  RearmTimer();
}

void TNetTimer::RearmTimer() {
  HWND wnd = owner_->GetWindowHandle();
  auto id = reinterpret_cast<std::uintptr_t>(this);
  platform::KillTimer(wnd, id);
  if (interval_ == 0 || !enabled_ || !onTimer_) return;
  if (!platform::SetTimer(wnd, id, interval_)) {
    enabled_ = false;
    throw ENetTimerException("No more timers");
  }
  lastTick_ = platform::GetTickCount();
}

void TNetTimer::HandleTimerMessage() {
  DWORD now = platform::GetTickCount();
  bool due = onTimer_ && NetTickDiff(lastTick_, now) >= interval_;
  lastTick_ = now;
  // The window timer counts its next interval from the moment this tick
  // left the queue, a little before `now`.  Restarting it here makes the
  // next tick come at least Interval after lastTick, so that an on-time
  // tick is never mistaken for an early one and skipped.
  if (enabled_ && interval_ != 0 && onTimer_ && owner_->Handle())
    platform::SetTimer(owner_->Handle(), reinterpret_cast<std::uintptr_t>(this), interval_);
  if (due) {
    TNotifyEvent fn = onTimer_;  // the handler may replace it, or free this timer
    fn(this);
  }
}

// ---------------------------------------------------------------------------
// TNetThreadTimer

TNetThreadTimer::TNetThreadTimer(TNetWndControl* owner) : TNetTimer(owner) {
  std::uint32_t id;
  do {
    id = ++g_uniqueId;
  } while (id == 0);
  marker_ = id;
  std::lock_guard<std::mutex> g(g_poolLock);
  if (!g_pool) g_pool = new TNetClockPool;
  clock_ = g_pool->AcquireClock();
}

TNetThreadTimer::~TNetThreadTimer() {
  marker_ = 0;
  enabled_ = false;
  try {
    clock_->RemoveTimer(this);
  } catch (...) {
  }
  std::lock_guard<std::mutex> g(g_poolLock);
  if (g_pool && g_pool->ReleaseClock(clock_)) {
    delete g_pool;
    g_pool = nullptr;
  }
}

void TNetThreadTimer::RearmTimer() {
  clock_->RemoveTimer(this);
  if (!enabled_ || interval_ == 0 || !onTimer_) return;
  try {
    clock_->AddTimer(this);
  } catch (...) {
    enabled_ = false;
    throw;
  }
}

void TNetThreadTimer::HandleTimerMessage() {
  std::uintptr_t marker = marker_;
  auto self = reinterpret_cast<std::uintptr_t>(this);
  std::exception_ptr error;
  if (enabled_ && onTimer_) {
    TNotifyEvent fn = onTimer_;
    try {
      fn(this);
    } catch (...) {
      error = std::current_exception();
    }
  }
  // The handler may have freed this timer: only a live one reports back.
  if (FindLive(self, marker) == this) clock_->MessageHandled(this);
  if (error) std::rethrow_exception(error);
}

void TNetThreadTimer::SetKeepThread(bool v) { clock_->SetKeepThread(v); }

bool TNetThreadTimer::MessageQueued() const {
  std::lock_guard<std::mutex> g(clock_->listLock_);
  return messageQueued_;
}

// ---------------------------------------------------------------------------
// TNetClock

TNetClock::TNetClock() = default;

TNetClock::~TNetClock() {
  std::lock_guard<std::mutex> s(section_);
  if (threadRunning_) StopThread();
}

void TNetClock::AddTimer(TNetThreadTimer* timer) {
  std::lock_guard<std::mutex> s(section_);
  if (threadRunning_ && finished_) {
    thread_.join();  // a thread that ended on an error is replaced
    threadRunning_ = false;
  }
  HWND wnd = timer->owner_->GetWindowHandle();
  {
    std::lock_guard<std::mutex> l(listLock_);
    if (std::find(timers_.begin(), timers_.end(), timer) != timers_.end())
      throw ENetTimerException("Timer already exists");
    timer->queuedTick_ = platform::GetTickCount();
    timer->messageQueued_ = false;
    timer->wnd_ = wnd;
    timers_.push_back(timer);
  }
  if (!threadRunning_)
    StartThread();
  else if (ThreadInterval() == kInfinite)
    SetThreadInterval(kMinTimerRes);
}

void TNetClock::RemoveTimer(TNetThreadTimer* timer) {
  std::lock_guard<std::mutex> s(section_);
  bool empty;
  {
    std::lock_guard<std::mutex> l(listLock_);
    auto it = std::find(timers_.begin(), timers_.end(), timer);
    if (it == timers_.end()) return;
    timers_.erase(it);
    empty = timers_.empty();
  }
  if (!empty || !threadRunning_) return;
  if (keepThread_)
    SetThreadInterval(kInfinite);  // sleeps until a timer wakes it
  else
    StopThread();  // outside the list lock: the thread may be waiting for it
}

void TNetClock::MessageHandled(TNetThreadTimer* timer) {
  std::lock_guard<std::mutex> l(listLock_);
  timer->messageQueued_ = false;
  timer->queuedTick_ = platform::GetTickCount();
}

bool TNetClock::HasThread() {
  std::lock_guard<std::mutex> s(section_);
  return threadRunning_ && !finished_;
}

DWORD TNetClock::ThreadInterval() {
  std::lock_guard<std::mutex> e(eventLock_);
  return interval_;
}

int TNetClock::TimerCount() {
  std::lock_guard<std::mutex> l(listLock_);
  return int(timers_.size());
}

void TNetClock::StartThread() {
  {
    std::lock_guard<std::mutex> e(eventLock_);
    terminated_ = false;
    signalled_ = false;
    interval_ = kMinTimerRes;
  }
  finished_ = false;
  thread_ = std::thread(&TNetClock::Run, this);
  threadRunning_ = true;
}

void TNetClock::StopThread() {
  {
    std::lock_guard<std::mutex> e(eventLock_);
    terminated_ = true;
    signalled_ = true;
  }
  event_.notify_all();
  thread_.join();
  threadRunning_ = false;
}

void TNetClock::SetThreadInterval(DWORD ms) {
  {
    std::lock_guard<std::mutex> e(eventLock_);
    interval_ = ms == kInfinite ? kInfinite : std::max(ms, kMinTimerRes);
    signalled_ = true;  // the wait restarts with the new interval
  }
  event_.notify_all();
}

void TNetClock::Run() {
  const UINT msg = NetThreadTimerMessage();
  while (true) {
    {
      std::unique_lock<std::mutex> lk(eventLock_);
      if (terminated_) break;
      auto signalled = [&] { return signalled_; };
      bool woken;
      if (interval_ == kInfinite) {
        event_.wait(lk, signalled);
        woken = true;
      } else {
        woken = event_.wait_for(lk, std::chrono::milliseconds(interval_), signalled);
      }
      if (woken) {
        signalled_ = false;  // an auto-reset event
        continue;
      }
    }
    std::lock_guard<std::mutex> l(listLock_);
    // Read under the list lock: a handled tick stamped by the owner thread
    // is then never later than `now`.
    DWORD now = platform::GetTickCount();
    for (TNetThreadTimer* t : timers_) {
      if (terminated_) break;
      if (t->wnd_ == kDeadWindow) continue;
      if (t->messageQueued_) {
        t->queuedTick_ = now;
        continue;
      }
      if (NetTickDiff(t->queuedTick_, now) < t->interval_) continue;
      if (platform::PostMessage(t->wnd_, msg, reinterpret_cast<WPARAM>(t), LPARAM(t->marker_.load()))) {
        t->queuedTick_ = now;
        t->messageQueued_ = true;
      } else if (platform::GetLastError() == platform::ERROR_INVALID_WINDOW_HANDLE) {
        t->wnd_ = kDeadWindow;  // its window is gone: never posted again
      }
    }
  }
  finished_ = true;
}

// ---------------------------------------------------------------------------
// TNetClockPool

TNetClock* TNetClockPool::AcquireClock() {
  for (auto& e : entries_)
    if (e.users < kMaxTimerPerClock) {
      ++e.users;
      return e.clock;
    }
  auto* c = new TNetClock;
  entries_.push_back({c, 1});
  return c;
}

bool TNetClockPool::ReleaseClock(TNetClock* clock) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->clock != clock) continue;
    if (clock->KeepThread() && it->users == 1) break;  // kept with one user
    if (--it->users == 0) {
      delete it->clock;
      entries_.erase(it);
    }
    break;
  }
  return entries_.empty();
}

}  // namespace yux::net
