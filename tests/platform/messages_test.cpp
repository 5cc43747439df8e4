#include "platform/messages.h"

#include <QCoreApplication>
#include <QString>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace yux::platform;
using Clock = std::chrono::steady_clock;

namespace {

struct Seen {
  HWND wnd;
  UINT msg;
  WPARAM wp;
};

// A window that records what it gets, destroyed with the object.
struct Recorder {
  std::vector<Seen> seen;
  HWND wnd = CreateMessageWindow([this](HWND h, UINT m, WPARAM w, LPARAM) {
    if (m != WM_DESTROY) seen.push_back({h, m, w});
    return LRESULT(0);
  });
  ~Recorder() {
    if (IsWindow(wnd)) DestroyWindow(wnd);
  }
};

void DrainAll() {
  MSG m;
  while (PeekMessage(&m, 0, 0, 0, PM_REMOVE)) DispatchMessage(m);
}

}  // namespace

TEST(Messages, PostedMessagesArriveInOrderAndPeekFilters) {
  Recorder a, b;
  for (WPARAM i = 0; i < 5; ++i) {
    ASSERT_TRUE(PostMessage(a.wnd, WM_USER + 1, i, 0));
    ASSERT_TRUE(PostMessage(b.wnd, WM_USER + 2, i, 0));
  }
  MSG m;
  // A window filter skips the other window's messages without losing them.
  ASSERT_TRUE(PeekMessage(&m, b.wnd, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.hwnd, b.wnd);
  EXPECT_EQ(m.wParam, 0u);
  ASSERT_TRUE(PeekMessage(&m, 0, WM_USER + 2, WM_USER + 2, PM_REMOVE));
  EXPECT_EQ(m.hwnd, b.wnd);
  DrainAll();
  ASSERT_EQ(a.seen.size(), 5u);
  ASSERT_EQ(b.seen.size(), 4u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(a.seen[i].wp, i);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(b.seen[i].wp, i + 1);
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
}

TEST(Messages, RemoveByWindowAndNumberRange) {
  Recorder a, b;
  for (UINT n = WM_USER + 1; n <= WM_USER + 6; ++n) {
    PostMessage(a.wnd, n, 0, 0);
    PostMessage(b.wnd, n, 0, 0);
  }
  EXPECT_EQ(RemoveMessages(a.wnd, WM_USER + 2, WM_USER + 4), 3);
  EXPECT_EQ(RemoveMessages(a.wnd, WM_USER + 2, WM_USER + 4), 0);
  DrainAll();
  std::vector<UINT> gotA, gotB;
  for (auto& s : a.seen) gotA.push_back(s.msg);
  for (auto& s : b.seen) gotB.push_back(s.msg);
  EXPECT_EQ(gotA, (std::vector<UINT>{WM_USER + 1, WM_USER + 5, WM_USER + 6}));
  EXPECT_EQ(gotB.size(), 6u);
}

TEST(Messages, DestroyedAndUnknownWindowsRefusePosts) {
  HWND first = CreateMessageWindow(DefWindowProc);
  PostMessage(first, WM_USER, 0, 0);
  ASSERT_TRUE(DestroyWindow(first));
  SetLastError(0);
  EXPECT_FALSE(PostMessage(first, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  SetLastError(0);
  EXPECT_FALSE(PostMessage(0x7fffffff, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(DestroyWindow(first));
  EXPECT_FALSE(IsWindow(first));
  // The queued message went with the window, and handles are not reused.
  MSG m;
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  HWND second = CreateMessageWindow(DefWindowProc);
  EXPECT_NE(second, first);
  DestroyWindow(second);
}

TEST(Messages, TimerNeverFiresEarly) {
  std::vector<Clock::time_point> ticks;
  HWND w = CreateMessageWindow([&](HWND, UINT m, WPARAM id, LPARAM) {
    if (m == WM_TIMER && id == 7) ticks.push_back(Clock::now());
    return LRESULT(0);
  });
  auto start = Clock::now();
  ASSERT_EQ(SetTimer(w, 7, 40), 7u);
  MSG m;
  while (ticks.size() < 3 && GetMessage(&m, 0, 0, 0)) {
    DispatchMessage(m);
    // A slow handler: the next interval counts from when the tick was taken.
    if (ticks.size() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  ASSERT_TRUE(KillTimer(w, 7));
  ASSERT_EQ(ticks.size(), 3u);
  EXPECT_GE(ticks[0] - start, std::chrono::milliseconds(40));
  EXPECT_GE(ticks[1] - ticks[0], std::chrono::milliseconds(40));
  EXPECT_GE(ticks[2] - ticks[1], std::chrono::milliseconds(40));
  DestroyWindow(w);
}

TEST(Messages, KilledTimerLeavesNoTickBehind) {
  Recorder r;
  SetTimer(r.wnd, 1, 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  MSG m;
  ASSERT_TRUE(PeekMessage(&m, 0, WM_TIMER, WM_TIMER, PM_NOREMOVE));  // the tick waits
  EXPECT_TRUE(KillTimer(r.wnd, 1));
  EXPECT_FALSE(PeekMessage(&m, 0, WM_TIMER, WM_TIMER, PM_NOREMOVE));
  EXPECT_FALSE(KillTimer(r.wnd, 1));
}

TEST(Messages, PostFromAnotherThreadWakesGetMessage) {
  Recorder r;
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostMessage(r.wnd, WM_USER + 9, 42, 0);
  });
  MSG m;
  ASSERT_TRUE(GetMessage(&m, 0, 0, 0));
  t.join();
  EXPECT_EQ(m.hwnd, r.wnd);
  EXPECT_EQ(m.message, WM_USER + 9u);
  EXPECT_EQ(m.wParam, 42u);
}

TEST(Messages, WorkerThreadLoopEndsOnQuitAndAnswersSends) {
  std::atomic<HWND> wnd{0};
  std::atomic<DWORD> tid{0};
  int got = 0;
  int exitCode = -1;
  std::thread worker([&] {
    HWND h = CreateMessageWindow([&](HWND, UINT m, WPARAM w, LPARAM) -> LRESULT {
      if (m == WM_USER) ++got;
      if (m == WM_USER + 1) return static_cast<LRESULT>(w * 2);
      return 0;
    });
    tid = GetCurrentThreadId();
    wnd = h;
    MSG m;
    while (GetMessage(&m, 0, 0, 0)) DispatchMessage(m);
    exitCode = static_cast<int>(m.wParam);
  });
  while (!wnd) std::this_thread::yield();
  EXPECT_EQ(GetWindowThreadId(wnd), tid.load());
  EXPECT_NE(tid.load(), GetCurrentThreadId());
  PostMessage(wnd, WM_USER, 0, 0);
  EXPECT_EQ(SendMessage(wnd, WM_USER + 1, 21, 0), 42);
  ASSERT_TRUE(PostThreadMessage(tid, WM_QUIT, 3, 0));
  worker.join();
  EXPECT_EQ(got, 1);
  EXPECT_EQ(exitCode, 3);
  // The thread's windows ended with it.
  EXPECT_FALSE(IsWindow(wnd));
  EXPECT_FALSE(PostMessage(wnd, WM_USER, 0, 0));
  EXPECT_FALSE(PostThreadMessage(tid, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(Messages, NestedPumpingInsideAWindowProcedure) {
  std::vector<int> order;
  HWND w = 0;
  w = CreateMessageWindow([&](HWND h, UINT m, WPARAM wp, LPARAM) {
    if (m == WM_USER) {
      order.push_back(1);
      PostMessage(h, WM_USER + 1, 0, 0);
      ProcessMessages();  // handles WM_USER + 1 before returning
      order.push_back(3);
    } else if (m == WM_USER + 1) {
      order.push_back(2);
    }
    return LRESULT(0);
  });
  PostMessage(w, WM_USER, 0, 0);
  ProcessMessages();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  DestroyWindow(w);
}

TEST(Messages, WindowDestroyingItselfInsideItsProcedure) {
  // Under ASan a use of the freed window state would show here.
  int afterDestroy = 0, destroyed = 0;
  struct Owner {
    std::vector<int> data = std::vector<int>(100, 1);
  };
  auto* owner = new Owner;
  HWND w = CreateMessageWindow([&destroyed, &afterDestroy, owner](HWND h, UINT m, WPARAM, LPARAM) mutable {
    if (m == WM_DESTROY) {
      ++destroyed;
      return LRESULT(0);
    }
    if (m == WM_USER) {
      DestroyWindow(h);
      delete owner;  // the object behind the window goes too
      owner = nullptr;
      ProcessMessages();
    } else {
      ++afterDestroy;
    }
    return LRESULT(0);
  });
  PostMessage(w, WM_USER, 0, 0);
  PostMessage(w, WM_USER + 1, 0, 0);
  SetTimer(w, 5, 10);
  ProcessMessagesFor(60);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(afterDestroy, 0);  // nothing queued reached the dead window
  EXPECT_FALSE(IsWindow(w));
}

TEST(Messages, QtEventLoopDispatchesWindowMessages) {
  // Windows work under exec(): posts from a worker and a timer are handled
  // without any explicit pumping.
  int posts = 0, timer = 0;
  HWND w = CreateMessageWindow([&](HWND h, UINT m, WPARAM, LPARAM) {
    if (m == WM_USER) ++posts;
    if (m == WM_TIMER) {
      ++timer;
      KillTimer(h, 1);
    }
    if (posts == 3 && timer == 1) QCoreApplication::exit(0);
    return LRESULT(0);
  });
  SetTimer(w, 1, 20);
  std::thread t([&] {
    for (int i = 0; i < 3; ++i) PostMessage(w, WM_USER, 0, 0);
  });
  QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
  int rc = QCoreApplication::exec();
  t.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(posts, 3);
  EXPECT_EQ(timer, 1);
  DestroyWindow(w);
}

TEST(Messages, QuitIsReturnedByGetMessageNotDispatched) {
  Recorder r;
  PostMessage(r.wnd, WM_USER, 0, 0);
  PostQuitMessage(9);
  ProcessMessages();  // dispatches the window message, keeps WM_QUIT
  EXPECT_EQ(r.seen.size(), 1u);
  MSG m;
  EXPECT_FALSE(GetMessage(&m, 0, WM_USER + 5, WM_USER + 5));  // WM_QUIT passes any range
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 9u);
}

TEST(Messages, RegisteredNumbersAndTickSource) {
  UINT a = RegisterWindowMessage("YUXParamData");
  EXPECT_GE(a, 0xC000u);
  EXPECT_EQ(RegisterWindowMessage("yuxparamdata"), a);
  EXPECT_NE(RegisterWindowMessage("YUX_NET_THREAD_TIMER"), a);
  EXPECT_EQ(RegisterWindowMessage(""), 0u);

  DWORD fake = 0xFFFFFFF0u;
  SetTickSourceForTesting([&] { return fake; });
  DWORD before = GetTickCount();
  fake += 0x20;  // wraps past 2^32
  EXPECT_EQ(GetTickCount(), 0x10u);
  EXPECT_EQ(static_cast<DWORD>(GetTickCount() - before), 0x20u);
  SetTickSourceForTesting({});
  DWORD t1 = GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(static_cast<DWORD>(GetTickCount() - t1), 20u);
}

TEST(Messages, WaitPumpingHandlesMessagesUntilDone) {
  bool done = false;
  HWND w = CreateMessageWindow([&](HWND, UINT m, WPARAM, LPARAM) {
    if (m == WM_USER) done = true;
    return LRESULT(0);
  });
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    PostMessage(w, WM_USER, 0, 0);
  });
  EXPECT_TRUE(WaitPumping([&] { return done; }, 5000, 10));
  t.join();
  EXPECT_FALSE(WaitPumping([] { return false; }, 30, 10));
  DestroyWindow(w);
}

// A send that found the window just before its thread ended must come back
// (0, invalid window) instead of waiting for a queue nobody reads again.
// The tick source runs between the sender's look-up and its enqueueing, so
// it is where the owner thread is made to end.
TEST(Messages, SendToAWindowWhoseThreadEndsMidCallReturns) {
  std::promise<HWND> made;
  std::promise<void> go;
  std::thread owner([&] {
    made.set_value(CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 7; }));
    go.get_future().wait();
  });
  HWND wnd = made.get_future().get();
  std::atomic<bool> armed{true};
  SetTickSourceForTesting([&]() -> DWORD {
    if (armed.exchange(false)) {
      go.set_value();
      owner.join();
    }
    return 0;
  });
  // The sender runs on its own thread so that a hang fails the test rather
  // than the whole run; its state outlives the test in that case.
  struct Outcome {
    std::promise<std::pair<LRESULT, DWORD>> result;
  };
  auto outcome = std::make_shared<Outcome>();
  auto fut = outcome->result.get_future();
  std::thread([outcome, wnd] {
    SetLastError(0);
    LRESULT r = SendMessage(wnd, WM_USER, 0, 0);
    outcome->result.set_value({r, GetLastError()});
  }).detach();
  bool answered = fut.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
  SetTickSourceForTesting({});
  if (owner.joinable()) owner.join();
  ASSERT_TRUE(answered) << "SendMessage hung on a window whose thread ended";
  auto [r, err] = fut.get();
  EXPECT_EQ(r, 0);
  EXPECT_EQ(err, ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(IsWindow(wnd));
}

// A timer longer than Qt's timers can count (about 24.8 days) must still
// get a wake-up from the event loop: one that Qt refuses leaves a sleeping
// loop deaf to the timer for good.  Qt says so with a warning.
TEST(Messages, VeryLongTimerIsAcceptedByTheEventLoop) {
  static std::vector<std::string> warnings;
  warnings.clear();
  QtMessageHandler old = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
    warnings.push_back(text.toStdString());
  });
  Recorder r;
  EXPECT_EQ(SetTimer(r.wnd, 5, 0x90000000u), 5u);
  ProcessMessagesFor(1);
  EXPECT_TRUE(KillTimer(r.wnd, 5));
  qInstallMessageHandler(old);
  EXPECT_TRUE(warnings.empty()) << warnings.front();
}
