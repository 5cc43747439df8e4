// Message numbers on shared hidden windows, their release and purge, the
// dispatch, background exceptions and message pumping.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "net/socket/netexceptions.h"
#include "net/socket/netwndcontrol.h"
#include "platform/messages.h"

using namespace yux::net;
namespace pf = yux::platform;

namespace {

// A control with one number of its own besides the release number.
class TestControl : public TNetWndControl {
 public:
  UINT extra = 0;
  std::vector<WPARAM> got;
  int aborts = 0;
  std::function<void(TMessage&)> onExtra;
  bool* destroyed = nullptr;

  ~TestControl() override {
    ReleaseWindowOnce();
    if (destroyed) *destroyed = true;
  }
  int MessageNumbersNeeded() override { return TNetWndControl::MessageNumbersNeeded() + 1; }
  void AllocateMessageNumbers() override {
    TNetWndControl::AllocateMessageNumbers();
    extra = AllocateMessage();
  }
  void FreeMessageNumbers() override {
    TNetWndControl::FreeMessageNumbers();
    ReleaseMessage(extra);
  }
  void HandleWindowMessage(TMessage& m) override {
    if (extra && m.Msg == extra) {
      try {
        got.push_back(m.WParam);
        if (onExtra) onExtra(m);
      } catch (const std::exception& e) {
        ProcessBgException(e);
      }
      return;
    }
    TNetWndControl::HandleWindowMessage(m);
  }
  void AbortAfterError() override { ++aborts; }
};

void Pump() { pf::ProcessMessagesFor(20); }

}  // namespace

TEST(NetWndControl, HundredNumbersPerWindowFirstFreeSlotShared) {
  DWORD me = pf::GetCurrentThreadId();
  int windowsBefore = NetWndWindowCount();
  std::vector<std::unique_ptr<TNetWndControl>> controls;
  for (int i = 0; i < 101; ++i) {
    controls.push_back(std::make_unique<TNetWndControl>());
    EXPECT_EQ(controls.back()->Handle(), 0u) << "no window is made at creation";
    controls.back()->GetWindowHandle();
  }
  EXPECT_EQ(NetWndHandlerPool()->HandlerCount(me), 2);
  EXPECT_EQ(NetWndWindowCount(), windowsBefore + 2);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(controls[i]->ReleaseMessageNumber(), UINT(1025 + i));
    EXPECT_EQ(controls[i]->Handle(), controls[0]->Handle());
    EXPECT_EQ(controls[i]->ThreadId(), me);
  }
  // The 101st gets a second window, numbered from 1025 again.
  EXPECT_NE(controls[100]->Handle(), controls[0]->Handle());
  EXPECT_EQ(controls[100]->ReleaseMessageNumber(), 1025u);

  // A freed slot is the first free one: the next control takes it.
  controls[5].reset();
  auto again = std::make_unique<TNetWndControl>();
  again->GetWindowHandle();
  EXPECT_EQ(again->Handle(), controls[0]->Handle());
  EXPECT_EQ(again->ReleaseMessageNumber(), 1030u);

  // A window goes with its last number.
  controls[100].reset();
  EXPECT_EQ(NetWndHandlerPool()->HandlerCount(me), 1);
  EXPECT_EQ(NetWndWindowCount(), windowsBefore + 1);
  controls.clear();
  again.reset();
  EXPECT_EQ(NetWndHandlerPool()->HandlerCount(me), 0);
  EXPECT_EQ(NetWndWindowCount(), windowsBefore);
}

TEST(NetWndControl, ControlNeverSpansTwoWindows) {
  std::vector<std::unique_ptr<TNetWndControl>> fill;
  for (int i = 0; i < 99; ++i) {
    fill.push_back(std::make_unique<TNetWndControl>());
    fill.back()->GetWindowHandle();
  }
  TestControl two;  // needs 2 numbers, only 1 left on the first window
  two.GetWindowHandle();
  EXPECT_NE(two.Handle(), fill[0]->Handle());
  EXPECT_EQ(two.ReleaseMessageNumber(), 1025u);
  EXPECT_EQ(two.extra, 1026u);
}

TEST(NetWndControl, ReleasingANumberPurgesItsQueuedMessages) {
  TestControl keep;  // keeps the shared window alive
  keep.GetWindowHandle();
  auto* c = new TestControl;
  HWND wnd = c->GetWindowHandle();
  UINT n = c->extra;
  ASSERT_TRUE(pf::PostMessage(wnd, n, 7, 0));
  c->DetachHiddenWindow();
  EXPECT_EQ(c->Handle(), 0u);
  // A new control takes the same number; the old message must not reach it.
  TestControl next;
  next.GetWindowHandle();
  ASSERT_EQ(next.extra, n);
  ASSERT_TRUE(pf::PostMessage(wnd, n, 8, 0));
  Pump();
  EXPECT_TRUE(c->got.empty());
  EXPECT_EQ(next.got, std::vector<WPARAM>{8});
  delete c;
}

TEST(NetWndControl, ReleaseDeferredFreesAfterTheHandlerReturns) {
  bool destroyed = false;
  auto* c = new TestControl;
  c->destroyed = &destroyed;
  bool stillAliveAfterRequest = false;
  c->onExtra = [&](TMessage&) {
    c->ReleaseDeferred();
    stillAliveAfterRequest = !destroyed;
    c->got.push_back(99);  // touching the control here must be safe
  };
  HWND wnd = c->GetWindowHandle();
  pf::PostMessage(wnd, c->extra, 1, 0);
  pf::WaitPumping([&] { return destroyed; }, 2000, 10);
  EXPECT_TRUE(stillAliveAfterRequest);
  EXPECT_TRUE(destroyed);
}

// A handler that asks for its release and then waits pumping messages (a
// synchronous call) is still running: the release waits for it to return.
TEST(NetWndControl, ReleaseDeferredWaitsForAHandlerThatPumps) {
  bool destroyed = false;
  auto* c = new TestControl;
  c->destroyed = &destroyed;
  bool aliveAfterNestedPump = false;
  int depth = 0;
  c->onExtra = [&](TMessage& m) {
    if (m.WParam != 1) return;
    c->ReleaseDeferred();
    ++depth;
    pf::PostMessage(c->GetWindowHandle(), c->extra, 2, 0);  // a nested event of the same control
    pf::ProcessMessagesFor(50);
    aliveAfterNestedPump = !destroyed;
    c->got.push_back(99);
  };
  HWND wnd = c->GetWindowHandle();
  pf::PostMessage(wnd, c->extra, 1, 0);
  pf::WaitPumping([&] { return destroyed; }, 2000, 10);
  EXPECT_EQ(depth, 1);
  EXPECT_TRUE(aliveAfterNestedPump);
  EXPECT_TRUE(destroyed);
}

TEST(NetWndControl, ThreadRules) {
  TestControl c;
  c.GetWindowHandle();
  try {
    c.AttachToThread();
    FAIL();
  } catch (const ENetException& e) {
    EXPECT_STREQ(e.what(), "Cannot attach when not detached");
  }
  std::string otherError;
  std::thread([&] {
    try {
      c.DetachFromThread();
    } catch (const ENetException& e) {
      otherError = e.what();
    }
  }).join();
  EXPECT_EQ(otherError, "Cannot detach from another thread");
  EXPECT_NE(c.Handle(), 0u);

  // Detached here, attached to another thread, detached there.
  c.DetachFromThread();
  EXPECT_EQ(c.Handle(), 0u);
  EXPECT_EQ(c.ThreadId(), 0u);
  DWORD other = 0, owner = 0;
  std::thread([&] {
    other = pf::GetCurrentThreadId();
    c.AttachToThread();
    owner = c.ThreadId();
    c.DetachFromThread();
  }).join();
  EXPECT_EQ(owner, other);
  EXPECT_EQ(c.Handle(), 0u);
}

TEST(NetWndControl, BackgroundExceptionPolicy) {
  struct Case {
    const char* name;
    bool raiseAbort;
    bool handler;
    bool canClose;
    int aborts;
    int hookCalls;
  } const cases[] = {
      {"abort is ignored", true, true, true, 0, 0},
      {"no handler: dropped after abort", false, false, true, 1, 1},
      {"handler lets it close", false, true, true, 1, 1},
      {"handler keeps it open", false, true, false, 0, 0},
  };
  for (const auto& k : cases) {
    TestControl c;
    int handled = 0, hook = 0;
    c.onExtra = [&](TMessage&) {
      if (k.raiseAbort) throw EAbort();
      throw std::runtime_error("boom");
    };
    if (k.handler)
      c.SetOnBgException([&](TNetWndControl* s, const std::exception& e, bool& canClose) {
        EXPECT_EQ(s, &c);
        EXPECT_STREQ(e.what(), "boom");
        ++handled;
        canClose = k.canClose;
        throw std::runtime_error("handler failure is swallowed");
      });
    c.ExceptionAbortHook = [&] {
      ++hook;
      throw std::runtime_error("hook failure is swallowed");
    };
    HWND wnd = c.GetWindowHandle();
    pf::PostMessage(wnd, c.extra, 0, 0);
    Pump();
    EXPECT_EQ(c.got.size(), 1u) << k.name;
    EXPECT_EQ(c.aborts, k.aborts) << k.name;
    EXPECT_EQ(hook, k.hookCalls) << k.name;
    EXPECT_EQ(handled, k.handler && !k.raiseAbort ? 1 : 0) << k.name;
  }
}

TEST(NetWndControl, UnknownNumbersAndStaleTimerMessagesAreHarmless) {
  TestControl c;
  HWND wnd = c.GetWindowHandle();
  // A number of the range without a control, and a WM_TIMER whose wParam
  // is no timer at all: both are ignored.
  pf::PostMessage(wnd, 1100, 0, 0);
  int local = 0;
  pf::PostMessage(wnd, pf::WM_TIMER, reinterpret_cast<WPARAM>(&local), 0);
  pf::PostMessage(wnd, c.extra, 3, 0);
  Pump();
  EXPECT_EQ(c.got, std::vector<WPARAM>{3});
}

TEST(NetWndControl, PumpingAndQuit) {
  TestControl c;
  int pumped = 0;
  HWND wnd = c.GetWindowHandle();
  pf::PostMessage(wnd, c.extra, 1, 0);
  c.SetMultiThreaded(true);
  c.PumpMessages();  // drains the queue itself
  EXPECT_EQ(c.got.size(), 1u);
  c.SetMessagePumpHandler([&](TNetWndControl*) { ++pumped; });
  c.PumpMessages();
  EXPECT_EQ(pumped, 1);

  // WM_QUIT marks the control terminated and is not dispatched.
  EXPECT_FALSE(c.IsTerminated());
  pf::PostQuitMessage(0);
  pf::PostMessage(wnd, c.extra, 2, 0);
  while (c.HandleOneMessage()) {
  }
  EXPECT_TRUE(c.IsTerminated());
  EXPECT_EQ(c.got.size(), 2u);
  EXPECT_FALSE(c.HandleOneMessage());

  // A message loop ends at WM_QUIT too.
  TestControl d;
  d.onExtra = [](TMessage&) { pf::PostQuitMessage(0); };
  HWND dw = d.GetWindowHandle();
  pf::PostMessage(dw, d.extra, 0, 0);
  d.RunMessageLoop();
  EXPECT_TRUE(d.IsTerminated());
}

TEST(NetWndControl, TooManyNumbersAreRefused) {
  class Greedy : public TNetWndControl {
   public:
    int MessageNumbersNeeded() override { return 101; }
  } g;
  try {
    g.GetWindowHandle();
    FAIL();
  } catch (const ENetException& e) {
    EXPECT_STREQ(e.what(), "NET message IDs out of bounds!");
  }
  EXPECT_EQ(g.Handle(), 0u);
}

TEST(NetWndControl, NumbersLeftByADescendantAreReleasedWithIt) {
  // Takes a second number but never releases it itself.
  class Forgetful : public TNetWndControl {
   public:
    UINT extra = 0;
    int MessageNumbersNeeded() override { return 2; }
    void AllocateMessageNumbers() override {
      TNetWndControl::AllocateMessageNumbers();
      extra = AllocateMessage();
    }
  };
  TestControl keep;
  HWND wnd = keep.GetWindowHandle();
  auto* f = new Forgetful;
  f->GetWindowHandle();
  UINT n = f->extra;
  pf::PostMessage(wnd, n, 0, 0);
  delete f;
  Pump();  // purged: nothing reaches the freed control
  TestControl next;
  next.GetWindowHandle();
  EXPECT_EQ(next.extra, n);  // the number is free again
}
