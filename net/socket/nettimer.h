#pragma once
// Timers whose ticks arrive as messages on the hidden window of an owning
// control, so that OnTimer runs on the owner's thread.
//
// TNetTimer uses a window timer.  TNetThreadTimer is driven by a shared
// clock thread that posts a registered message; up to 1000 of them share
// one clock thread, each has at most one tick waiting in the owner's queue,
// and its period counts from the end of the previous tick's handling.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "net/socket/netwndcontrol.h"

namespace yux::net {

inline constexpr int kMaxTimerPerClock = 1000;
inline constexpr DWORD kMinTimerRes = 100;  // ms
inline constexpr DWORD kInfinite = 0xFFFFFFFF;

class TNetTimer;
using TNotifyEvent = std::function<void(TNetTimer* sender)>;

class TNetTimer {
 public:
  // Raises ENetTimerException "Owner not assigned" without an owner.
  explicit TNetTimer(TNetWndControl* owner);
  virtual ~TNetTimer();
  TNetTimer(const TNetTimer&) = delete;
  TNetTimer& operator=(const TNetTimer&) = delete;

  bool Enabled() const { return enabled_; }
  DWORD Interval() const { return interval_.load(); }
  // The setters need the owner's window ("No window available").
  void SetEnabled(bool v);
  void SetInterval(DWORD v);
  void SetOnTimer(TNotifyEvent v);
  TNetWndControl* Owner() const { return owner_; }
  std::uintptr_t Marker() const { return marker_.load(); }

  virtual void RearmTimer();
  virtual void HandleTimerMessage();

 protected:
  void CheckOwnerWindow();

  std::atomic<std::uintptr_t> marker_;  // this object (thread timers: unique id)
  std::atomic<DWORD> interval_{1000};  // read by the clock thread too
  bool enabled_ = true;
  TNotifyEvent onTimer_;
  DWORD lastTick_ = 0;
  TNetWndControl* owner_;
};

class TNetClock;

class TNetThreadTimer : public TNetTimer {
 public:
  explicit TNetThreadTimer(TNetWndControl* owner);
  ~TNetThreadTimer() override;

  void RearmTimer() override;
  void HandleTimerMessage() override;
  void SetKeepThread(bool v);
  TNetClock* Clock() const { return clock_; }
  // For tests: a tick of this timer waits in the owner's queue.
  bool MessageQueued() const;

 private:
  friend class TNetClock;
  TNetClock* clock_ = nullptr;
  HWND wnd_ = 0;             // the window posted to; kDeadWindow once gone
  bool messageQueued_ = false;
  DWORD queuedTick_ = 0;     // the next interval counts from here
};

// A clock thread and the thread timers it drives.
class TNetClock {
 public:
  TNetClock();
  ~TNetClock();
  TNetClock(const TNetClock&) = delete;
  TNetClock& operator=(const TNetClock&) = delete;

  void AddTimer(TNetThreadTimer* timer);
  void RemoveTimer(TNetThreadTimer* timer);
  void MessageHandled(TNetThreadTimer* timer);
  void SetKeepThread(bool v) { keepThread_ = v; }
  bool KeepThread() const { return keepThread_; }
  // For tests.
  bool HasThread();
  DWORD ThreadInterval();
  int TimerCount();

 private:
  friend class TNetThreadTimer;
  void StartThread();
  void StopThread();
  void SetThreadInterval(DWORD ms);
  void Run();

  std::mutex section_;   // adding and removing timers
  std::mutex listLock_;  // the list and each timer's queued state
  std::vector<TNetThreadTimer*> timers_;
  std::atomic<bool> keepThread_{false};
  // The clock thread.
  std::thread thread_;
  bool threadRunning_ = false;
  std::mutex eventLock_;
  std::condition_variable event_;
  bool signalled_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  DWORD interval_ = kMinTimerRes;
};

// The clocks of the process.
class TNetClockPool {
 public:
  TNetClock* AcquireClock();
  // Returns true when the pool has no clock left.
  bool ReleaseClock(TNetClock* clock);
  int ClockCount() const { return int(entries_.size()); }

 private:
  struct Entry {
    TNetClock* clock;
    int users;
  };
  std::vector<Entry> entries_;
};

// The registered message the clock threads post.
UINT NetThreadTimerMessage();
// For tests: the number of clocks in the pool (0 when there is none).
int NetClockCount();

// Handles WM_TIMER and thread-timer messages of a hidden window: only a live
// timer whose marker matches is called; any other such message is ignored.
// Returns false for every other message.
bool NetTimerDispatch(TMessage& msg);

}  // namespace yux::net
