// Wiping a sparse file overwrites what it holds, never its holes: a large
// virtual disk holding little must not be filled to its apparent size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/safefile.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

constexpr off_t kMB = off_t{1} << 20;

off_t AllocatedBytes(int fd) {
  struct stat st {};
  EXPECT_EQ(::fstat(fd, &st), 0);
  return static_cast<off_t>(st.st_blocks) * 512;
}

}  // namespace

TEST(SafeFileSparse, WipeOfSparseFileOverwritesOnlyItsData) {
  test::TempDir dir;
  const fs::path victim = dir / "disk.img";
  const off_t apparent = 1024 * kMB;
  // 1 MB of data in the middle of 1 GB, in two pieces so that more than
  // one extent is met.
  const std::string half(kMB / 2, 'v');
  {
    const int fd = ::open(victim.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, apparent), 0);
    ASSERT_EQ(::pwrite(fd, half.data(), half.size(), 100 * kMB), static_cast<ssize_t>(half.size()));
    ASSERT_EQ(::pwrite(fd, half.data(), half.size(), 700 * kMB), static_cast<ssize_t>(half.size()));
    ASSERT_EQ(::fsync(fd), 0);
    ::close(fd);
  }
  // A descriptor held open sees the data and its blocks after the name has
  // gone.
  const int held = ::open(victim.c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  const off_t before = AllocatedBytes(held);
  if (before > 4 * kMB) {
    ::close(held);
    GTEST_SKIP() << "this file system does not keep holes";
  }
  off_t most = before;
  int calls = 0;
  bool overwritten = false;
  EXPECT_TRUE(platform::WipeAndDelete(victim.string(), &overwritten, [&] {
    ++calls;
    most = std::max(most, AllocatedBytes(held));
  }));
  EXPECT_TRUE(overwritten);
  EXPECT_FALSE(fs::exists(victim));
  EXPECT_GE(calls, 1) << "the wipe never let the caller handle messages";
  most = std::max(most, AllocatedBytes(held));
  EXPECT_LE(most, 4 * kMB) << "allocated " << most << " bytes while wiping a file holding 1 MB";
  // Every extent still allocated reads as zeros, and so does the rest.
  std::vector<char> buf(kMB);
  off_t at = 0;
  off_t data;
  while ((data = ::lseek(held, at, SEEK_DATA)) >= 0) {
    const off_t hole = ::lseek(held, data, SEEK_HOLE);
    for (off_t pos = data; pos < hole;) {
      const ssize_t n = ::pread(held, buf.data(), static_cast<size_t>(std::min<off_t>(hole - pos, kMB)), pos);
      ASSERT_GT(n, 0);
      ASSERT_TRUE(std::all_of(buf.begin(), buf.begin() + n, [](char c) { return c == 0; }))
          << "data left at " << pos;
      pos += n;
    }
    at = hole;
  }
  ::close(held);
}
