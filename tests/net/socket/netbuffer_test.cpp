// The send queue and the buffered file stream.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "net/socket/bufferedfilestream.h"
#include "net/socket/netbuffer.h"
#include "net/socket/netexceptions.h"
#include "tests/support/testsupport.h"

using namespace yux::net;

namespace {

std::string Drain(TNetBufferHandler& h) {
  std::string out;
  const std::uint8_t* p = nullptr;
  while (int n = h.PeekUnread(p)) {
    out.append(reinterpret_cast<const char*>(p), std::size_t(n));
    h.Remove(n);
  }
  return out;
}

}  // namespace

TEST(NetBufferHandler, WriteSpreadsOverBuffersAndPeekNeverSpansTwo) {
  TNetBufferHandler h;
  std::string data(3000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);
  h.Write(data.data(), int(data.size()));
  EXPECT_EQ(h.DataBufferCount(), 3);
  const std::uint8_t* p = nullptr;
  EXPECT_EQ(h.PeekUnread(p), 1460);
  EXPECT_EQ(Drain(h), data);
  EXPECT_TRUE(h.IsDrained());
}

TEST(NetBufferHandler, PartialRemoveKeepsOrderAndEmptiedHeadIsReused) {
  TNetBufferHandler h;
  h.BufSize = 8;
  h.Write("abcdefghij", 10);  // 8 + 2
  EXPECT_EQ(h.Remove(3), 3);
  const std::uint8_t* p = nullptr;
  ASSERT_EQ(h.PeekUnread(p), 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 5), "defgh");
  const TNetBuffer* head = h.DataHead();
  // Removing more than the head holds takes only the head's bytes.
  EXPECT_EQ(h.Remove(100), 5);
  EXPECT_EQ(h.FreeHead(), head);
  EXPECT_EQ(h.FreeBufferCount(), 1);
  h.Write("klmnopqrstuv", 12);  // 'ij' buffer fills up, then the freed one is reused
  EXPECT_EQ(h.FreeBufferCount(), 0);
  EXPECT_EQ(h.DataBufferCount(), 2);
  EXPECT_EQ(Drain(h), "ijklmnopqrstuv");
}

TEST(NetBufferHandler, RemoveErrorsAndDeleteAll) {
  TNetBufferHandler h;
  try {
    h.Remove(-1);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "TNetBufferHandler.Remove: Invalid Len -1");
  }
  try {
    h.Remove(1);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "TNetBufferHandler.Remove: nothing to remove");
  }
  h.Write(std::string(4000, 'x').data(), 4000);
  h.DeleteAll();
  EXPECT_TRUE(h.IsDrained());
  EXPECT_EQ(h.DataBufferCount(), 0);
  EXPECT_EQ(h.FreeBufferCount(), 3);
  h.Write("yz", 2);
  EXPECT_EQ(Drain(h), "yz");
}

TEST(BufferedFileStream, BufferSizeIsRoundedAndBounded) {
  yux::test::TempDir dir;
  struct {
    int asked, used;
  } const cases[] = {{1000, 896}, {100, 128}, {100000, 65536}, {0, 128}, {4096, 4096}};
  for (const auto& c : cases) {
    TBufferedFileStream s((dir / "f").string(), fmCreate, c.asked);
    EXPECT_EQ(s.BufferSize(), c.used) << c.asked;
  }
}

TEST(BufferedFileStream, OpenAndCreateFailuresNameTheFile) {
  yux::test::TempDir dir;
  std::string missing = (dir / "missing.bin").string();
  try {
    TBufferedFileStream s(missing, fmOpenRead, 1024);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"" + missing + "\". ", 0), 0u)
        << e.what();
  }
  EXPECT_THROW(TBufferedFileStream((dir / "no" / "dir.bin").string(), fmCreate, 1024),
               EFCreateError);
}

// Random reads, writes and seeks against a plain string model: the file
// must equal the model at every point, across window edges.
TEST(BufferedFileStream, MatchesAModelUnderRandomAccess) {
  yux::test::TempDir dir;
  std::string path = (dir / "model.bin").string();
  std::string model;
  std::mt19937 rng(5);
  {
    TBufferedFileStream s(path, fmCreate, 128);
    std::int64_t pos = 0;
    for (int step = 0; step < 2000; ++step) {
      int op = int(rng() % 3);
      if (op == 0) {
        std::string chunk(rng() % 300, '\0');
        for (auto& c : chunk) c = char('a' + rng() % 26);
        ASSERT_EQ(s.Write(chunk.data(), std::int64_t(chunk.size())), std::int64_t(chunk.size()));
        if (model.size() < std::size_t(pos) + chunk.size()) model.resize(std::size_t(pos) + chunk.size(), '\0');
        model.replace(std::size_t(pos), chunk.size(), chunk);
        pos += std::int64_t(chunk.size());
      } else if (op == 1) {
        std::string buf(rng() % 300, '\0');
        std::int64_t n = s.Read(buf.data(), std::int64_t(buf.size()));
        std::int64_t expect =
            std::max<std::int64_t>(0, std::min<std::int64_t>(std::int64_t(buf.size()), std::int64_t(model.size()) - pos));
        ASSERT_EQ(n, expect) << "step " << step;
        if (n > 0)
          ASSERT_EQ(buf.substr(0, std::size_t(n)), model.substr(std::size_t(pos), std::size_t(n)));
        pos += n;
      } else {
        // Sometimes past the end: a later write leaves a zero-filled gap.
        std::int64_t target = std::int64_t(rng() % (model.size() + 200));
        ASSERT_EQ(s.Seek(target, TSeekOrigin::soBeginning), target);
        pos = target;
      }
      ASSERT_EQ(s.FileSize(), std::int64_t(model.size()));
    }
  }
  EXPECT_EQ(yux::test::ReadFile(path), model);
}

TEST(BufferedFileStream, MovingInsideTheWindowTouchesNoFile) {
  yux::test::TempDir dir;
  std::string path = (dir / "w.bin").string();
  yux::test::WriteFile(path, std::string(1000, 'q'));
  TBufferedFileStream s(path, fmOpenReadWrite, 256);
  char c;
  ASSERT_EQ(s.Read(&c, 1), 1);  // fills the first window
  auto base = s.FileAccessCount();
  for (int i = 0; i < 50; ++i) {
    s.Seek(i % 200, TSeekOrigin::soBeginning);
    s.Seek(10, TSeekOrigin::soCurrent);
    ASSERT_EQ(s.Read(&c, 1), 1);
  }
  s.Write("zz", 2);
  s.Seek(5, TSeekOrigin::soBeginning);
  EXPECT_EQ(s.FileAccessCount(), base);
  // Leaving the window writes the changed one back.
  s.Seek(600, TSeekOrigin::soBeginning);
  EXPECT_EQ(s.FileAccessCount(), base + 1);
}

TEST(BufferedFileStream, EndOfFileSeekOriginsAndWriteOnlyOpen) {
  yux::test::TempDir dir;
  std::string path = (dir / "e.bin").string();
  yux::test::WriteFile(path, "hello");
  {
    TBufferedFileStream s(path, fmOpenWrite, 128);  // widened to read-write
    char buf[8];
    EXPECT_EQ(s.Seek(0, TSeekOrigin::soEnd), 5);
    EXPECT_EQ(s.Read(buf, 8), 0);
    EXPECT_EQ(s.Seek(-2, TSeekOrigin::soEnd), 3);
    EXPECT_EQ(s.Read(buf, 8), 2);
    EXPECT_EQ(s.Seek(-10, TSeekOrigin::soCurrent), -1);
    EXPECT_EQ(s.Seek32(0, 7), -1);
    EXPECT_EQ(s.Position(), 5);  // unchanged by the failed seeks
    EXPECT_EQ(s.Write(" world", 6), 6);
    EXPECT_EQ(s.FileSize(), 11);
  }
  EXPECT_EQ(yux::test::ReadFile(path), "hello world");
}

TEST(BufferedFileStream, SetSizeTruncatesEvenWithAChangedWindow) {
  yux::test::TempDir dir;
  std::string path = (dir / "t.bin").string();
  {
    TBufferedFileStream s(path, fmCreate, 128);
    s.Write(std::string(100, 'a').data(), 100);
    s.SetSize(40);  // the window still holds 100 changed bytes
    EXPECT_EQ(s.FileSize(), 40);
    EXPECT_EQ(s.Position(), 40);
    s.Seek(0, TSeekOrigin::soBeginning);
    s.SetSize(300);
    EXPECT_EQ(s.FileSize(), 300);
  }
  std::string content = yux::test::ReadFile(path);
  EXPECT_EQ(content, std::string(40, 'a') + std::string(260, '\0'));
}
