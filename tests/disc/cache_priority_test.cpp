// The read-ahead queue and the priorities of the threads that fill and
// drain it, read back from the system.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "disc/writer.h"
#include "platform/threadpriority.h"
#include "tests/disc/burner_fixture.h"

using namespace yux::disc;
using namespace yux::disc::test;
using yux::platform::GetThreadPriority;
using yux::platform::ThreadPriority;
using yux::platform::ThreadPriorityName;

namespace {

std::string Name(std::optional<ThreadPriority> p) {
  return p ? ThreadPriorityName(*p) : "unreadable";
}

// Polls `ok` for up to 20 s.
template <typename F>
bool Eventually(F ok) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ok()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace

TEST(WriteQueue, CapacityFollowsTheCacheUpToTheEntryCap) {
  const struct {
    uint64_t megabytes;
    uint32_t blocks;
  } cases[] = {{1, 32}, {2, 32}, {8, 128}, {32, 512}, {624, 9984}, {625, 10000}, {4096, 10000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.megabytes);
    EXPECT_EQ(QueueCapacityFor(CacheBytesFor(c.megabytes)), c.blocks);
  }
}

// The cache thread runs against a queue the test drains by hand: it idles
// while the queue is full, and once drained its priority follows how full
// the queue is when the last of the image is queued (2 MB: 32 blocks; 4
// blocks remain after the full queue of 31).
TEST(WriteQueue, CacheThreadPriorityFollowsTheFillLevel) {
  const struct {
    size_t leftAfterDrain;
    ThreadPriority level;  // with 4 more blocks queued
  } cases[] = {
      {0, ThreadPriority::Highest},  // 4 of 32: below a quarter
      {6, ThreadPriority::Normal},   // 10: below half
      {16, ThreadPriority::Lowest},  // 20
  };
  const bool mayRaise = yux::platform::MayRaiseThreadPriority();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.leftAfterDrain);
    BurnerFixture f(yux::platform::kProfileCdR);
    auto& b = *f.burner;
    auto& ctx = b.Context();
    b.SetCacheSize(2);
    // An image of 35 queue blocks (1120 sectors): the file fills the rest.
    const std::string src = f.Source("x.rar", 1, 1);
    ASSERT_NE(b.InsertFile("\\", src), nullptr);
    b.PrepareImage();
    const uint32_t fileBlocks = 1120 - ctx.tree.layout.fileAreaStart;
    MakeFile(src, size_t(fileBlocks) * 2048, 1);
    b.ClearFiles();
    ASSERT_NE(b.InsertFile("\\", src), nullptr);
    ASSERT_EQ(b.PrepareImage(), 1120u);
    ASSERT_TRUE(PrepareWrite(ctx, b.GetMediaType()));
    ASSERT_EQ(ctx.capacityBlocks, 32u);

    std::thread cache([&] { TCacheThread(ctx).Execute(); });
    auto queued = [&] {
      std::lock_guard lk(ctx.lock);
      return ctx.queue.size();
    };
    ASSERT_TRUE(Eventually([&] { return queued() == 31 && ctx.primed; }));
    const int id = ctx.cacheThreadId;
    ASSERT_NE(id, 0);
    EXPECT_TRUE(Eventually([&] { return GetThreadPriority(id) == ThreadPriority::Idle; }))
        << Name(GetThreadPriority(id));

    {
      std::lock_guard lk(ctx.lock);
      while (ctx.queue.size() > c.leftAfterDrain) ctx.queue.pop_front();
      ctx.changed.notify_all();
    }
    ASSERT_TRUE(Eventually([&] { return ctx.cacheFinished && queued() == c.leftAfterDrain + 4; }));
    if (mayRaise) EXPECT_EQ(GetThreadPriority(id), c.level) << Name(GetThreadPriority(id));

    {
      std::lock_guard lk(ctx.lock);
      ctx.queue.clear();
      ctx.remainingBlocks = 0;
      ctx.changed.notify_all();
    }
    cache.join();
    EXPECT_EQ(ctx.cacheThreadId, 0);
    EXPECT_EQ(ctx.errorCode, errNone);
  }
}

// The write thread starts below normal priority: the drive's buffer
// bridges short waits, the program stays responsive.
TEST(WriteQueue, WriteThreadRunsBelowNormal) {
  BurnerFixture f(yux::platform::kProfileCdR);
  auto& b = *f.burner;
  auto& ctx = b.Context();
  std::mutex m;
  std::vector<std::optional<ThreadPriority>> seen;
  f.drive->clock = [&]() -> uint64_t {
    const int id = ctx.writeThreadId;
    if (b.State() == stWriting && id != 0) {
      std::lock_guard lk(m);
      seen.push_back(GetThreadPriority(id));
    }
    return 0;
  };
  ASSERT_NE(b.InsertFile("\\", f.Source("x.rar", 300000, 1)), nullptr);
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  f.drive->clock = nullptr;
  ASSERT_FALSE(seen.empty());
  for (const auto& p : seen) EXPECT_EQ(p, ThreadPriority::BelowNormal) << Name(p);
  EXPECT_EQ(ctx.writeThreadId, 0);
}
