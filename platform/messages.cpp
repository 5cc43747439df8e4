#include "platform/messages.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimerEvent>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <time.h>

namespace yux::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT kMinTimerMs = 10;

struct ThreadQueue;

struct Window {
  HWND hwnd = 0;
  WndProc proc;
  DWORD threadId = 0;
  std::weak_ptr<ThreadQueue> queue;
  std::atomic<bool> alive{true};
  bool destroying = false;  // owner thread only
};

struct QueuedMsg {
  MSG msg;
  std::uint64_t seq = 0;
  bool fromTimer = false;
};

struct SentMsg {
  MSG msg;
  std::promise<LRESULT> done;
};

struct Timer {
  HWND wnd = 0;
  std::uintptr_t id = 0;
  UINT ms = 0;
  Clock::time_point due;
  bool pending = false;  // its WM_TIMER waits in the queue
  int qtTimer = 0;       // Qt timer that wakes the owner at `due`
};

// Receives the wake-up events and timer events of one thread's queue so
// that Qt's own event loop hands out window messages.
class Pump : public QObject {
 public:
  explicit Pump(ThreadQueue* q) : q_(q) {}
  bool event(QEvent* e) override;

 protected:
  void timerEvent(QTimerEvent* e) override;

 private:
  ThreadQueue* q_;
};

struct ThreadQueue {
  DWORD threadId = 0;
  std::mutex mu;
  std::condition_variable cv;
  std::deque<QueuedMsg> posted;
  std::deque<std::shared_ptr<SentMsg>> sent;
  std::vector<Timer> timers;
  std::uint64_t nextSeq = 1;
  bool wakePending = false;
  // The owner thread has ended: nothing put here would ever be handled.
  bool closed = false;
  Pump* pump = nullptr;  // guarded by mu for other threads
  // Owner thread only:
  std::unique_ptr<QEventLoop> loop;
  int suppressLevel = -1;  // loop level of an explicit GetMessage/PeekMessage
  std::vector<int> wakeTimers;  // Qt timers ending ProcessMessagesFor waits
};

int WakeEventType() {
  static const int type = QEvent::registerEventType();
  return type;
}

std::mutex gMu;
std::unordered_map<HWND, std::shared_ptr<Window>> gWindows;
std::unordered_map<DWORD, std::weak_ptr<ThreadQueue>> gQueues;
HWND gNextHwnd = 0x10000;
std::atomic<DWORD> gNextThreadId{1};

std::mutex gTickMu;
std::function<DWORD()> gTickSource;

std::mutex gRegMu;
std::map<std::string, UINT> gRegistered;
UINT gNextRegistered = 0xC000;

thread_local DWORD tLastError = 0;

struct ThreadState {
  DWORD id = 0;
  std::shared_ptr<ThreadQueue> queue;
  ~ThreadState();
};
thread_local ThreadState tState;

DWORD CurrentId() {
  if (tState.id == 0) tState.id = gNextThreadId++;
  return tState.id;
}

bool HaveQt(ThreadQueue& q) { return q.pump != nullptr; }

// Qt counts timer intervals in an int: a longer wait is made of wake-ups
// no longer than that (the timer is checked again at each one).
std::chrono::milliseconds QtInterval(long long ms) {
  return std::chrono::milliseconds(std::clamp<long long>(ms, 1, std::numeric_limits<int>::max()));
}

// Creates the Qt side of the queue once an application object exists: a
// thread without an event dispatcher gets one through its QEventLoop.
void EnsureQt(ThreadQueue& q) {
  if (q.pump || !QCoreApplication::instance()) return;
  q.loop = std::make_unique<QEventLoop>();
  if (!QAbstractEventDispatcher::instance()) {
    q.loop.reset();
    return;
  }
  auto* p = new Pump(&q);
  std::lock_guard lk(q.mu);
  q.pump = p;
  if (!q.posted.empty() || !q.sent.empty()) {
    q.wakePending = true;
    QCoreApplication::postEvent(q.pump, new QEvent(static_cast<QEvent::Type>(WakeEventType())));
  }
}

ThreadQueue& CurrentQueue() {
  if (!tState.queue) {
    auto q = std::make_shared<ThreadQueue>();
    q->threadId = CurrentId();
    {
      std::lock_guard lk(gMu);
      gQueues[q->threadId] = q;
    }
    tState.queue = q;
  }
  EnsureQt(*tState.queue);
  return *tState.queue;
}

ThreadQueue* CurrentQueueIfAny() { return tState.queue.get(); }

// Must be called with q.mu held.
void WakeLocked(ThreadQueue& q) {
  q.cv.notify_all();
  if (!q.wakePending && q.pump) {
    q.wakePending = true;
    QCoreApplication::postEvent(q.pump, new QEvent(static_cast<QEvent::Type>(WakeEventType())));
  }
}

// Must be called with q.mu held.
void PushLocked(ThreadQueue& q, const MSG& m, bool fromTimer) {
  q.posted.push_back({m, q.nextSeq++, fromTimer});
  WakeLocked(q);
}

std::shared_ptr<Window> FindWindow(HWND wnd) {
  std::lock_guard lk(gMu);
  auto it = gWindows.find(wnd);
  if (it == gWindows.end() || !it->second->alive) return nullptr;
  return it->second;
}

// Owner thread: moves due timers into the queue and keeps a Qt timer
// running for each one still waiting, so that a sleeping loop wakes.
void CheckTimers(ThreadQueue& q) {
  std::lock_guard lk(q.mu);
  auto now = Clock::now();
  for (auto& t : q.timers) {
    if (t.pending) continue;
    if (now >= t.due) {
      if (t.qtTimer && q.pump) q.pump->killTimer(t.qtTimer);
      t.qtTimer = 0;
      t.pending = true;
      MSG m;
      m.hwnd = t.wnd;
      m.message = WM_TIMER;
      m.wParam = t.id;
      m.time = GetTickCount();
      PushLocked(q, m, true);
    } else if (!t.qtTimer && q.pump) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(t.due - now).count();
      t.qtTimer = q.pump->startTimer(QtInterval(left), Qt::PreciseTimer);
    }
  }
}

// With q.mu held: a timer's WM_TIMER left the queue; the next interval
// counts from now.
void TimerTakenLocked(ThreadQueue& q, const MSG& m) {
  for (auto& t : q.timers) {
    if (t.wnd == m.hwnd && t.id == m.wParam) {
      t.pending = false;
      t.due = Clock::now() + std::chrono::milliseconds(t.ms);
      break;
    }
  }
}

bool Matches(const MSG& m, HWND wnd, UINT lo, UINT hi) {
  if (wnd != 0 && m.hwnd != wnd) return false;
  if (lo == 0 && hi == 0) return true;
  if (m.message == WM_QUIT && m.hwnd == 0) return true;
  return m.message >= lo && m.message <= hi;
}

// Owner thread.  Takes (or looks at) the first queued message that matches.
bool Take(ThreadQueue& q, MSG* out, HWND wnd, UINT lo, UINT hi, bool remove,
          std::uint64_t seqLimit = std::numeric_limits<std::uint64_t>::max(), bool windowedOnly = false) {
  CheckTimers(q);
  bool rearm = false;
  {
    std::lock_guard lk(q.mu);
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
      if (it->seq >= seqLimit) break;
      if (windowedOnly && it->msg.hwnd == 0) continue;
      if (!Matches(it->msg, wnd, lo, hi)) continue;
      if (out) *out = it->msg;
      if (remove) {
        if (it->fromTimer) {
          TimerTakenLocked(q, it->msg);
          rearm = true;
        }
        q.posted.erase(it);
      }
      goto found;
    }
    return false;
  }
found:
  if (rearm) CheckTimers(q);
  return true;
}

LRESULT CallProc(const std::shared_ptr<Window>& w, UINT msg, WPARAM wp, LPARAM lp) {
  // `w` keeps the procedure alive while it runs, even when it destroys its
  // own window.
  if (!w->proc) return 0;
  return w->proc(w->hwnd, msg, wp, lp);
}

// Owner thread: handles messages sent from other threads.
void ProcessSent(ThreadQueue& q) {
  for (;;) {
    std::shared_ptr<SentMsg> s;
    {
      std::lock_guard lk(q.mu);
      if (q.sent.empty()) return;
      s = q.sent.front();
      q.sent.pop_front();
    }
    LRESULT r = 0;
    auto w = FindWindow(s->msg.hwnd);
    if (w && w->threadId == q.threadId) {
      try {
        r = CallProc(w, s->msg.message, s->msg.wParam, s->msg.lParam);
      } catch (...) {
        s->done.set_exception(std::current_exception());
        continue;
      }
    }
    s->done.set_value(r);
  }
}

bool HasWindowedLocked(const ThreadQueue& q) {
  for (const auto& m : q.posted)
    if (m.msg.hwnd != 0) return true;
  return false;
}

// Owner thread: asks Qt's loop to come back for window messages still queued.
void EnsureWake(ThreadQueue& q) {
  std::lock_guard lk(q.mu);
  if (!q.sent.empty() || HasWindowedLocked(q)) WakeLocked(q);
}

// Owner thread: dispatches the window messages queued so far (messages
// posted meanwhile wait for the next round, so a window that keeps posting
// to itself cannot starve Qt's other events).  `swallow`: drop what a
// procedure throws (Qt's event loop must not see exceptions).
void DispatchQueued(ThreadQueue& q, bool swallow) {
  ProcessSent(q);
  CheckTimers(q);
  std::uint64_t limit;
  {
    std::lock_guard lk(q.mu);
    limit = q.nextSeq;
  }
  MSG m;
  while (Take(q, &m, 0, 0, 0, true, limit, true)) {
    if (swallow) {
      try {
        DispatchMessage(m);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "yux: exception in window procedure dropped: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "yux: exception in window procedure dropped\n");
      }
    } else {
      DispatchMessage(m);
    }
    ProcessSent(q);
  }
}

bool Suppressed(const ThreadQueue& q) {
  if (q.suppressLevel < 0) return false;
  return QThread::currentThread()->loopLevel() <= q.suppressLevel;
}

// While an explicit GetMessage/PeekMessage lets Qt run, the wake-up events
// must not dispatch the messages that call is looking for.
class SuppressGuard {
 public:
  explicit SuppressGuard(ThreadQueue& q) : q_(q), old_(q.suppressLevel) {
    q_.suppressLevel = QThread::currentThread()->loopLevel();
  }
  ~SuppressGuard() { q_.suppressLevel = old_; }

 private:
  ThreadQueue& q_;
  int old_;
};

bool Pump::event(QEvent* e) {
  if (e->type() != WakeEventType()) return QObject::event(e);
  {
    std::lock_guard lk(q_->mu);
    q_->wakePending = false;
  }
  ProcessSent(*q_);
  if (!Suppressed(*q_)) {
    DispatchQueued(*q_, true);
    EnsureWake(*q_);
  }
  return true;
}

void Pump::timerEvent(QTimerEvent* e) {
  {
    std::lock_guard lk(q_->mu);
    auto wt = std::find(q_->wakeTimers.begin(), q_->wakeTimers.end(), e->timerId());
    if (wt != q_->wakeTimers.end()) {
      killTimer(*wt);
      q_->wakeTimers.erase(wt);
      return;
    }
    bool known = false;
    for (auto& t : q_->timers) {
      if (t.qtTimer == e->timerId()) {
        killTimer(t.qtTimer);
        t.qtTimer = 0;
        known = true;
      }
    }
    if (!known) killTimer(e->timerId());
  }
  CheckTimers(*q_);
}

ThreadState::~ThreadState() {
  if (!queue) return;
  ThreadQueue& q = *queue;
  {
    std::lock_guard lk(gMu);
    gQueues.erase(q.threadId);
    for (auto it = gWindows.begin(); it != gWindows.end();) {
      if (it->second->threadId == q.threadId) {
        it->second->alive = false;
        it = gWindows.erase(it);
      } else {
        ++it;
      }
    }
  }
  Pump* p;
  std::deque<std::shared_ptr<SentMsg>> sent;
  {
    std::lock_guard lk(q.mu);
    p = q.pump;
    q.pump = nullptr;
    q.closed = true;
    q.timers.clear();
    q.posted.clear();
    sent.swap(q.sent);
  }
  for (auto& s : sent) s->done.set_value(0);
  delete p;
  q.loop.reset();
  queue.reset();
}

DWORD RealTick() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}

// Lets the calling thread's Qt loop sleep until something arrives or `ms`
// passed.  Window messages are not dispatched by the wake-up event while
// `suppress` is set.
void WaitForEvents(ThreadQueue& q, DWORD ms, bool suppress) {
  if (HaveQt(q)) {
    int wake = 0;
    if (ms != 0xFFFFFFFF) {
      std::lock_guard lk(q.mu);
      wake = q.pump->startTimer(QtInterval(ms), Qt::PreciseTimer);
      if (wake) q.wakeTimers.push_back(wake);
    }
    if (suppress) {
      SuppressGuard g(q);
      q.loop->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    } else {
      q.loop->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    std::lock_guard lk(q.mu);
    auto wt = std::find(q.wakeTimers.begin(), q.wakeTimers.end(), wake);
    if (wake && wt != q.wakeTimers.end()) {
      q.pump->killTimer(wake);
      q.wakeTimers.erase(wt);
    }
    return;
  }
  // No Qt event loop on this thread: sleep on the queue itself.
  std::unique_lock lk(q.mu);
  auto until = Clock::now() + std::chrono::milliseconds(ms == 0xFFFFFFFF ? 100 : ms);
  for (const auto& t : q.timers)
    if (!t.pending) until = std::min(until, t.due);
  q.cv.wait_until(lk, until, [&] { return !q.posted.empty() || !q.sent.empty(); });
}

}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD code) { tLastError = code; }

DWORD GetCurrentThreadId() { return CurrentId(); }

HWND CreateMessageWindow(WndProc proc) {
  ThreadQueue& q = CurrentQueue();
  auto w = std::make_shared<Window>();
  w->proc = std::move(proc);
  w->threadId = q.threadId;
  w->queue = tState.queue;
  std::lock_guard lk(gMu);
  w->hwnd = gNextHwnd++;
  if (gNextHwnd == HWND_BROADCAST) ++gNextHwnd;
  gWindows[w->hwnd] = w;
  return w->hwnd;
}

bool DestroyWindow(HWND wnd) {
  auto w = FindWindow(wnd);
  if (!w || w->threadId != CurrentId()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (w->destroying) return true;
  w->destroying = true;
  try {
    CallProc(w, WM_DESTROY, 0, 0);
  } catch (...) {
    // The window goes in any case.
  }
  {
    std::lock_guard lk(gMu);
    w->alive = false;
    gWindows.erase(wnd);
  }
  if (auto q = w->queue.lock()) {
    std::lock_guard lk(q->mu);
    std::erase_if(q->posted, [&](const QueuedMsg& m) { return m.msg.hwnd == wnd; });
    for (auto& t : q->timers)
      if (t.wnd == wnd && t.qtTimer && q->pump) q->pump->killTimer(t.qtTimer);
    std::erase_if(q->timers, [&](const Timer& t) { return t.wnd == wnd; });
  }
  return true;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

bool IsWindow(HWND wnd) { return FindWindow(wnd) != nullptr; }

DWORD GetWindowThreadId(HWND wnd) {
  auto w = FindWindow(wnd);
  return w ? w->threadId : 0;
}

bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto w = FindWindow(wnd);
  auto q = w ? w->queue.lock() : nullptr;
  if (!q) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  MSG m{wnd, msg, wParam, lParam, GetTickCount()};
  std::lock_guard lk(q->mu);
  // Checked again under the queue lock: DestroyWindow purges the queue
  // after clearing `alive`, so nothing lands for a dead window.
  if (!w->alive || q->closed) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  PushLocked(*q, m, false);
  return true;
}

void PostQuitMessage(int exitCode) {
  ThreadQueue& q = CurrentQueue();
  MSG m{0, WM_QUIT, static_cast<WPARAM>(exitCode), 0, GetTickCount()};
  std::lock_guard lk(q.mu);
  PushLocked(q, m, false);
}

bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> q;
  {
    std::lock_guard lk(gMu);
    auto it = gQueues.find(threadId);
    if (it != gQueues.end()) q = it->second.lock();
  }
  if (!q) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return false;
  }
  MSG m{0, msg, wParam, lParam, GetTickCount()};
  std::lock_guard lk(q->mu);
  if (q->closed) {  // the thread ended after the look-up
    SetLastError(ERROR_INVALID_THREAD_ID);
    return false;
  }
  PushLocked(*q, m, false);
  return true;
}

LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto w = FindWindow(wnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->threadId == CurrentId()) return CallProc(w, msg, wParam, lParam);
  auto q = w->queue.lock();
  if (!q) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  auto s = std::make_shared<SentMsg>();
  s->msg = MSG{wnd, msg, wParam, lParam, GetTickCount()};
  auto fut = s->done.get_future();
  {
    std::lock_guard lk(q->mu);
    // The owner thread may have ended since the look-up: its pending sends
    // were answered then, and one queued now would wait for ever.
    if (q->closed || !w->alive) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    q->sent.push_back(s);
    WakeLocked(*q);
  }
  ThreadQueue* own = CurrentQueueIfAny();
  while (fut.wait_for(std::chrono::milliseconds(own ? 5 : 50)) != std::future_status::ready) {
    if (own) ProcessSent(*own);
  }
  return fut.get();
}

bool PeekMessage(MSG* out, HWND wnd, UINT msgMin, UINT msgMax, UINT removeFlags) {
  ThreadQueue& q = CurrentQueue();
  ProcessSent(q);
  if (HaveQt(q)) {
    SuppressGuard g(q);
    q.loop->processEvents(QEventLoop::AllEvents);
  }
  ProcessSent(q);
  bool got = Take(q, out, wnd, msgMin, msgMax, (removeFlags & PM_REMOVE) != 0);
  EnsureWake(q);
  return got;
}

bool GetMessage(MSG* out, HWND wnd, UINT msgMin, UINT msgMax) {
  ThreadQueue& q = CurrentQueue();
  MSG m;
  for (;;) {
    ProcessSent(q);
    if (Take(q, &m, wnd, msgMin, msgMax, true)) break;
    WaitForEvents(q, 0xFFFFFFFF, true);
  }
  EnsureWake(q);
  if (out) *out = m;
  return m.message != WM_QUIT;
}

LRESULT DispatchMessage(const MSG& msg) {
  if (msg.hwnd == 0) return 0;
  auto w = FindWindow(msg.hwnd);
  if (!w || w->threadId != CurrentId()) return 0;
  return CallProc(w, msg.message, msg.wParam, msg.lParam);
}

int RemoveMessages(HWND wnd, UINT msgMin, UINT msgMax) {
  auto w = FindWindow(wnd);
  auto q = w ? w->queue.lock() : nullptr;
  if (!q) return 0;
  int n = 0;
  std::lock_guard lk(q->mu);
  for (auto it = q->posted.begin(); it != q->posted.end();) {
    const MSG& m = it->msg;
    bool inRange = (msgMin == 0 && msgMax == 0) || (m.message >= msgMin && m.message <= msgMax);
    if (m.hwnd == wnd && inRange) {
      if (it->fromTimer) TimerTakenLocked(*q, m);
      it = q->posted.erase(it);
      ++n;
    } else {
      ++it;
    }
  }
  // A removed WM_TIMER re-arms its timer; the owner thread restarts the
  // Qt timer when it wakes.
  if (n) WakeLocked(*q);
  return n;
}

UINT RegisterWindowMessage(const std::string& name) {
  if (name.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string key = name;
  for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::lock_guard lk(gRegMu);
  auto it = gRegistered.find(key);
  if (it != gRegistered.end()) return it->second;
  if (gNextRegistered == 0) {  // all 16384 numbers handed out
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  UINT n = gNextRegistered;
  gNextRegistered = gNextRegistered == 0xFFFF ? 0 : gNextRegistered + 1;
  gRegistered.emplace(std::move(key), n);
  return n;
}

std::uintptr_t SetTimer(HWND wnd, std::uintptr_t id, UINT ms) {
  auto w = FindWindow(wnd);
  if (!w || w->threadId != CurrentId()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (id == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  ThreadQueue& q = CurrentQueue();
  ms = std::max(ms, kMinTimerMs);
  {
    std::lock_guard lk(q.mu);
    auto it = std::find_if(q.timers.begin(), q.timers.end(),
                           [&](const Timer& t) { return t.wnd == wnd && t.id == id; });
    if (it == q.timers.end()) {
      q.timers.push_back({});
      it = q.timers.end() - 1;
    } else {
      if (it->qtTimer && q.pump) q.pump->killTimer(it->qtTimer);
      // A restarted timer must not deliver the tick of its old period.
      std::erase_if(q.posted, [&](const QueuedMsg& m) {
        return m.fromTimer && m.msg.hwnd == wnd && m.msg.wParam == id;
      });
    }
    it->wnd = wnd;
    it->id = id;
    it->ms = ms;
    it->due = Clock::now() + std::chrono::milliseconds(ms);
    it->pending = false;
    it->qtTimer = 0;
  }
  CheckTimers(q);
  return id;
}

bool KillTimer(HWND wnd, std::uintptr_t id) {
  ThreadQueue* q = CurrentQueueIfAny();
  auto w = FindWindow(wnd);
  if (!q || !w || w->threadId != CurrentId()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  std::lock_guard lk(q->mu);
  auto it = std::find_if(q->timers.begin(), q->timers.end(),
                         [&](const Timer& t) { return t.wnd == wnd && t.id == id; });
  if (it == q->timers.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (it->qtTimer && q->pump) q->pump->killTimer(it->qtTimer);
  q->timers.erase(it);
  // The id may name an object that is freed right after this call: its
  // waiting tick must never reach the window.
  std::erase_if(q->posted, [&](const QueuedMsg& m) {
    return m.fromTimer && m.msg.hwnd == wnd && m.msg.wParam == id;
  });
  return true;
}

DWORD GetTickCount() {
  {
    std::lock_guard lk(gTickMu);
    if (gTickSource) return gTickSource();
  }
  return RealTick();
}

void SetTickSourceForTesting(std::function<DWORD()> source) {
  std::lock_guard lk(gTickMu);
  gTickSource = std::move(source);
}

void ProcessMessages() {
  ThreadQueue& q = CurrentQueue();
  ProcessSent(q);
  if (HaveQt(q)) q.loop->processEvents(QEventLoop::AllEvents);
  DispatchQueued(q, false);
  EnsureWake(q);
}

void ProcessMessagesFor(DWORD ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  ThreadQueue& q = CurrentQueue();
  for (;;) {
    ProcessMessages();
    auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return;
    WaitForEvents(q, static_cast<DWORD>(left), false);
  }
}

bool WaitPumping(const std::function<bool()>& done, DWORD timeoutMs, DWORD pumpEveryMs) {
  auto start = Clock::now();
  pumpEveryMs = std::max<DWORD>(pumpEveryMs, 1);
  for (;;) {
    if (done()) return true;
    DWORD slice = pumpEveryMs;
    if (timeoutMs != 0xFFFFFFFF) {
      auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      if (spent >= timeoutMs) return done();
      slice = std::min<DWORD>(slice, static_cast<DWORD>(timeoutMs - spent));
    }
    ProcessMessagesFor(slice);
  }
}

}  // namespace yux::platform
