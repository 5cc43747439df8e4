// Window timers and thread timers: never early, one waiting tick per thread
// timer, the period counted from the end of the handling, the wrap of the
// tick count, dead windows and the clock pool.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "net/socket/netexceptions.h"
#include "net/socket/nettimer.h"
#include "net/socket/netutils.h"
#include "platform/messages.h"

using namespace yux::net;
namespace pf = yux::platform;

namespace {

// A control that takes all 100 numbers of a window, so that it has a
// hidden window of its own.
class WholeWindowControl : public TNetWndControl {
 public:
  std::vector<UINT> numbers;
  ~WholeWindowControl() override { ReleaseWindowOnce(); }
  int MessageNumbersNeeded() override { return kNetWndMaxMessages; }
  void AllocateMessageNumbers() override {
    TNetWndControl::AllocateMessageNumbers();
    while (int(numbers.size()) < kNetWndMaxMessages - 1) numbers.push_back(AllocateMessage());
  }
  void FreeMessageNumbers() override {
    TNetWndControl::FreeMessageNumbers();
    for (auto& n : numbers) ReleaseMessage(n);
    numbers.clear();
  }
};

// Ticks as seen by the handlers: when each handling started and ended.
struct Fires {
  std::vector<DWORD> start, end;
  TNotifyEvent Handler(DWORD busyMs = 0) {
    return [this, busyMs](TNetTimer*) {
      start.push_back(pf::GetTickCount());
      if (busyMs) std::this_thread::sleep_for(std::chrono::milliseconds(busyMs));
      end.push_back(pf::GetTickCount());
    };
  }
};

// Starts the injected tick count shortly before the 32-bit wrap and lets
// it run with real time.
struct TickNearWrap {
  explicit TickNearWrap(DWORD beforeWrapMs) {
    auto t0 = std::chrono::steady_clock::now();
    DWORD base = DWORD(0) - beforeWrapMs;
    pf::SetTickSourceForTesting([t0, base] {
      return DWORD(base + DWORD(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - t0)
                                    .count()));
    });
  }
  ~TickNearWrap() { pf::SetTickSourceForTesting({}); }
};

}  // namespace

TEST(NetTimer, NeedsAnOwnerWithAWindow) {
  try {
    TNetTimer t(nullptr);
    FAIL();
  } catch (const ENetTimerException& e) {
    EXPECT_STREQ(e.what(), "Owner not assigned");
  }
  TNetWndControl owner;  // detached: no window yet
  TNetTimer t(&owner);
  try {
    t.SetInterval(50);
    FAIL();
  } catch (const ENetTimerException& e) {
    EXPECT_STREQ(e.what(), "No window available");
  }
  EXPECT_THROW(t.SetOnTimer([](TNetTimer*) {}), ENetTimerException);
  TNetThreadTimer tt(&owner);
  EXPECT_THROW(tt.SetEnabled(false), ENetTimerException);
}

TEST(NetTimer, FiresOnTheOwnerThreadNeverEarlyAndStopsWhenDisabled) {
  TNetWndControl owner;
  owner.GetWindowHandle();
  TNetTimer t(&owner);
  Fires f;
  t.SetInterval(40);
  DWORD armed = pf::GetTickCount();
  t.SetOnTimer(f.Handler());
  pf::WaitPumping([&] { return f.start.size() >= 4; }, 3000, 5);
  ASSERT_GE(f.start.size(), 4u);
  EXPECT_GE(NetTickDiff(armed, f.start[0]), 40u);
  // The timer measures from its own reading of the tick, taken just before
  // the handler; the handler's stamp may fall one tick later, so two stamps
  // of on-time fires can lie one tick short of the interval.
  for (std::size_t i = 1; i < f.start.size(); ++i)
    EXPECT_GE(NetTickDiff(f.start[i - 1], f.start[i]), 40u - 1);
  t.SetEnabled(false);
  std::size_t n = f.start.size();
  pf::ProcessMessagesFor(150);
  EXPECT_EQ(f.start.size(), n);
}

TEST(NetTimer, EarlyTickFiresNothingAndFreedTimerIsIgnored) {
  TNetWndControl owner;
  HWND wnd = owner.GetWindowHandle();
  auto* t = new TNetTimer(&owner);
  Fires f;
  t->SetInterval(500);
  t->SetOnTimer(f.Handler());
  // A WM_TIMER long before the interval: nothing fires.
  pf::PostMessage(wnd, pf::WM_TIMER, reinterpret_cast<WPARAM>(t), 0);
  pf::ProcessMessagesFor(30);
  EXPECT_TRUE(f.start.empty());
  // A WM_TIMER for a timer already freed: dropped without reading it (the
  // sanitizer build fails on any read of the freed object).
  WPARAM stale = reinterpret_cast<WPARAM>(t);
  delete t;
  pf::PostMessage(wnd, pf::WM_TIMER, stale, 0);
  pf::PostMessage(wnd, NetThreadTimerMessage(), stale, 1);
  pf::ProcessMessagesFor(30);
  EXPECT_TRUE(f.start.empty());
}

TEST(NetTimer, WindowTimerAcrossTheTickWrap) {
  // The count wraps some thirty periods after the start, so that a slow
  // machine still sees fires on both sides of it.
  TickNearWrap wrap(1000);
  TNetWndControl owner;
  owner.GetWindowHandle();
  TNetTimer t(&owner);
  Fires f;
  t.SetInterval(30);
  t.SetOnTimer(f.Handler());
  auto wrapped = [&] { return f.start.size() >= 2 && f.start.front() > f.start.back(); };
  pf::WaitPumping([&] { return f.start.size() >= 8 && wrapped(); }, 20000, 5);
  ASSERT_GE(f.start.size(), 8u);
  EXPECT_TRUE(wrapped()) << "the count must have wrapped";
  for (std::size_t i = 1; i < f.start.size(); ++i) {
    EXPECT_GE(NetTickDiff(f.start[i - 1], f.start[i]), 30u - 1);  // one tick, as above
    EXPECT_LT(NetTickDiff(f.start[i - 1], f.start[i]), 10000u);
  }
}

TEST(NetThreadTimer, PeriodCountsFromTheEndOfTheHandlingAndIsNeverEarly) {
  TNetWndControl owner;
  owner.GetWindowHandle();
  TNetThreadTimer t(&owner);
  Fires f;
  t.SetInterval(150);
  DWORD armed = pf::GetTickCount();
  t.SetOnTimer(f.Handler(60));  // each handling takes 60 ms
  pf::WaitPumping([&] { return f.start.size() >= 4; }, 5000, 5);
  ASSERT_GE(f.start.size(), 4u);
  EXPECT_GE(NetTickDiff(armed, f.start[0]), 150u);
  for (std::size_t i = 1; i < f.start.size(); ++i)
    EXPECT_GE(NetTickDiff(f.end[i - 1], f.start[i]), 150u) << i;
}

// The clock thread looks at its timers in coarse steps, so a short
// interval still fires repeatedly and never earlier than asked; how long the
// steps are depends on the machine's load, which a test must not assume.
TEST(NetThreadTimer, ShortIntervalKeepsFiringNeverEarly) {
  TNetWndControl owner;
  owner.GetWindowHandle();
  TNetThreadTimer t(&owner);
  Fires f;
  t.SetInterval(20);
  t.SetOnTimer(f.Handler());
  pf::WaitPumping([&] { return f.start.size() >= 4; }, 3000, 5);
  ASSERT_GE(f.start.size(), 4u);
  for (std::size_t i = 1; i < f.start.size(); ++i)
    EXPECT_GE(NetTickDiff(f.start[i - 1], f.start[i]), 20u);
}

TEST(NetThreadTimer, AtMostOneTickWaitsInTheQueue) {
  TNetWndControl owner;
  HWND wnd = owner.GetWindowHandle();
  TNetThreadTimer t(&owner);
  Fires f;
  t.SetInterval(50);
  t.SetOnTimer(f.Handler());
  // The owner thread does not pump for a while: the clock posts once.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_TRUE(t.MessageQueued());
  int waiting = 0;
  pf::MSG m;
  while (pf::PeekMessage(&m, wnd, NetThreadTimerMessage(), NetThreadTimerMessage(), pf::PM_REMOVE)) {
    ++waiting;
    pf::DispatchMessage(m);
  }
  EXPECT_EQ(waiting, 1);
  EXPECT_EQ(f.start.size(), 1u);
  EXPECT_FALSE(t.MessageQueued());
}

TEST(NetThreadTimer, TickCountWrapDoesNotStallOrRushTheClock) {
  TickNearWrap wrap(250);
  TNetWndControl owner;
  owner.GetWindowHandle();
  TNetThreadTimer t(&owner);
  Fires f;
  t.SetInterval(100);
  t.SetOnTimer(f.Handler());
  pf::WaitPumping([&] { return f.start.size() >= 6; }, 5000, 5);
  ASSERT_GE(f.start.size(), 6u);
  EXPECT_GT(f.start.front(), f.start.back()) << "the count must have wrapped";
  for (std::size_t i = 1; i < f.start.size(); ++i) {
    EXPECT_GE(NetTickDiff(f.end[i - 1], f.start[i]), 100u);
    EXPECT_LT(NetTickDiff(f.end[i - 1], f.start[i]), 1000u);
  }
}

TEST(NetThreadTimer, DeadWindowStopsOnlyItsOwnTimer) {
  WholeWindowControl gone, stays;
  gone.GetWindowHandle();
  stays.GetWindowHandle();
  ASSERT_NE(gone.Handle(), stays.Handle());
  TNetThreadTimer a(&gone), b(&stays);
  Fires fa, fb;
  a.SetInterval(100);
  b.SetInterval(100);
  a.SetOnTimer(fa.Handler());
  b.SetOnTimer(fb.Handler());
  ASSERT_EQ(a.Clock(), b.Clock());
  gone.DetachHiddenWindow();  // the window of timer a is destroyed
  fb.start.clear();
  pf::WaitPumping([&] { return fb.start.size() >= 3; }, 3000, 5);
  EXPECT_GE(fb.start.size(), 3u);
  EXPECT_TRUE(fa.start.empty());
}

TEST(NetThreadTimer, KeepThreadSleepsWithoutTimersAndWakesAgain) {
  TNetWndControl owner;
  owner.GetWindowHandle();
  {
    TNetThreadTimer t(&owner);
    t.SetKeepThread(true);
    Fires f;
    t.SetInterval(100);
    t.SetOnTimer(f.Handler());
    TNetClock* clock = t.Clock();
    EXPECT_TRUE(clock->HasThread());
    t.SetEnabled(false);
    EXPECT_TRUE(clock->HasThread());
    EXPECT_EQ(clock->ThreadInterval(), kInfinite);
    t.SetEnabled(true);
    EXPECT_EQ(clock->ThreadInterval(), kMinTimerRes);
    pf::WaitPumping([&] { return !f.start.empty(); }, 2000, 5);
    EXPECT_EQ(f.start.size(), 1u);
    t.SetKeepThread(false);
  }
  // Without keep-thread, the last timer takes the clock with it.
  TNetThreadTimer u(&owner);
  TNetClock* clock = u.Clock();
  u.SetInterval(100);
  u.SetOnTimer([](TNetTimer*) {});
  EXPECT_TRUE(clock->HasThread());
  u.SetEnabled(false);
  EXPECT_FALSE(clock->HasThread());
}

TEST(NetThreadTimer, ThousandAndFirstTimerGetsASecondClock) {
  TNetWndControl owner;
  owner.GetWindowHandle();
  EXPECT_EQ(NetClockCount(), 0);
  std::vector<std::unique_ptr<TNetThreadTimer>> timers;
  for (int i = 0; i < kMaxTimerPerClock; ++i) timers.push_back(std::make_unique<TNetThreadTimer>(&owner));
  EXPECT_EQ(NetClockCount(), 1);
  timers.push_back(std::make_unique<TNetThreadTimer>(&owner));
  EXPECT_EQ(NetClockCount(), 2);
  EXPECT_NE(timers.front()->Clock(), timers.back()->Clock());
  timers.clear();
  EXPECT_EQ(NetClockCount(), 0);
}

TEST(NetThreadTimer, HandlerMayFreeItsOwnTimer) {
  TNetWndControl owner;
  owner.GetWindowHandle();
  auto* t = new TNetThreadTimer(&owner);
  bool fired = false;
  t->SetInterval(100);
  t->SetOnTimer([&](TNetTimer* self) {
    fired = true;
    delete self;
  });
  pf::WaitPumping([&] { return fired; }, 2000, 5);
  EXPECT_TRUE(fired);
  pf::ProcessMessagesFor(250);
}

// The owner released from its timer's handler, which then waits pumping
// messages: the owner stays until the handler returned.
TEST(NetTimer, OwnerReleasedInATimerHandlerThatPumpsOutlivesIt) {
  struct Owner : TNetWndControl {
    bool* destroyed = nullptr;
    ~Owner() override {
      ReleaseWindowOnce();
      *destroyed = true;
    }
  };
  for (bool threadTimer : {false, true}) {
    SCOPED_TRACE(threadTimer ? "thread timer" : "window timer");
    bool destroyed = false;
    auto* owner = new Owner;
    owner->destroyed = &destroyed;
    owner->GetWindowHandle();
    TNetTimer* t = threadTimer ? new TNetThreadTimer(owner) : new TNetTimer(owner);
    bool fired = false, aliveAfterPump = false;
    t->SetInterval(50);
    t->SetOnTimer([&](TNetTimer* self) {
      if (fired) return;
      fired = true;
      self->SetEnabled(false);
      owner->ReleaseDeferred();
      pf::ProcessMessagesFor(50);
      aliveAfterPump = !destroyed;
      delete self;  // touches its owner
    });
    pf::WaitPumping([&] { return destroyed; }, 2000, 5);
    EXPECT_TRUE(fired);
    EXPECT_TRUE(aliveAfterPump);
    EXPECT_TRUE(destroyed);
  }
}
