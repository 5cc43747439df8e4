#include "platform/threadpriority.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace yux::platform;

// A thread's priority goes through every level and reads back as set,
// also back out of the idle class; a thread that is gone cannot be set.
TEST(ThreadPriority, EveryLevelReadsBackOnAnotherThread) {
  std::mutex m;
  std::condition_variable cv;
  int id = 0;
  bool quit = false;
  std::thread worker([&] {
    std::unique_lock lk(m);
    id = CurrentThreadId();
    cv.notify_all();
    cv.wait(lk, [&] { return quit; });
  });
  int tid;
  {
    std::unique_lock lk(m);
    cv.wait(lk, [&] { return id != 0; });
    tid = id;
  }
  EXPECT_EQ(GetThreadPriority(tid), ThreadPriority::Normal);
  const bool mayRaise = MayRaiseThreadPriority();
  // Down first, then (with the right to) up again.
  const ThreadPriority down[] = {ThreadPriority::BelowNormal, ThreadPriority::Lowest,
                                 ThreadPriority::Idle};
  for (ThreadPriority p : down) {
    SCOPED_TRACE(ThreadPriorityName(p));
    EXPECT_TRUE(SetThreadPriority(tid, p));
    EXPECT_EQ(GetThreadPriority(tid), p);
  }
  if (mayRaise) {
    const ThreadPriority up[] = {ThreadPriority::Highest, ThreadPriority::Idle,
                                 ThreadPriority::Normal, ThreadPriority::AboveNormal,
                                 ThreadPriority::Lowest, ThreadPriority::Highest};
    for (ThreadPriority p : up) {
      SCOPED_TRACE(ThreadPriorityName(p));
      EXPECT_TRUE(SetThreadPriority(tid, p));
      EXPECT_EQ(GetThreadPriority(tid), p);
    }
  } else {
    EXPECT_FALSE(SetThreadPriority(tid, ThreadPriority::Highest));
    EXPECT_EQ(GetThreadPriority(tid), ThreadPriority::Idle);  // kept
  }
  // The caller's own priority was not touched.
  EXPECT_EQ(GetThreadPriority(CurrentThreadId()), ThreadPriority::Normal);
  {
    std::lock_guard lk(m);
    quit = true;
  }
  cv.notify_all();
  worker.join();
  EXPECT_FALSE(SetThreadPriority(0, ThreadPriority::Normal));
  EXPECT_EQ(GetThreadPriority(0), std::nullopt);
}
