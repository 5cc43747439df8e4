// Copies that appear under their final name only when whole, in chunks the
// caller may pause between (to handle messages) or call off.
#include "platform/safefile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

std::size_t EntriesIn(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

}  // namespace

TEST(SafeFile, CopyAsksBetweenChunksAndACutCopyLeavesNothing) {
  test::TempDir dir;
  // Four and a half chunks, each byte told from its neighbours.
  std::string data(platform::kCopyChunkBytes * 9 / 2, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131 + i / 4093) & 0xff);
  test::WriteFile(dir / "src", data);
  struct Case {
    const char* name;
    int stopAt;  // the call of keepGoing that says no; 0 never
    bool copied;
  };
  for (const Case& c : {Case{"every chunk", 0, true}, Case{"cut after the first chunk", 1, false}, Case{"cut midway", 3, false}}) {
    SCOPED_TRACE(c.name);
    const fs::path out = dir / "out";
    fs::create_directories(out);
    int calls = 0;
    std::string error;
    const bool ok = platform::CopyFileSafely((dir / "src").string(), (out / "dst").string(), false, &error, [&] {
      ++calls;
      return c.stopAt == 0 || calls < c.stopAt;
    });
    EXPECT_EQ(ok, c.copied) << error;
    if (c.copied) {
      // One question between every two chunks.
      EXPECT_GE(calls, 4);
      EXPECT_EQ(test::ReadFile(out / "dst"), data);
      EXPECT_EQ(EntriesIn(out), 1u);
    } else {
      EXPECT_EQ(calls, c.stopAt);
      EXPECT_FALSE(error.empty());
      // No file under the final name, no temporary one left behind.
      EXPECT_EQ(EntriesIn(out), 0u);
    }
    EXPECT_EQ(test::ReadFile(dir / "src"), data);
    fs::remove_all(out);
  }
}

TEST(SafeFile, WipeOverwritesOnlyDataNoOtherNameHolds) {
  test::TempDir dir;
  const std::string data(100000, 'd');
  struct Case {
    const char* name;
    const char* otherName;  // a hard link, a symbolic link or none
    bool symbolic;
    bool overwritten;
  };
  for (const Case& c : {Case{"one name", nullptr, false, true}, Case{"hard link", "outside", false, false},
                        Case{"symbolic link", "target", true, false}}) {
    SCOPED_TRACE(c.name);
    const fs::path victim = dir / "victim";
    const fs::path other = dir / (c.otherName ? c.otherName : "unused");
    if (c.symbolic) {
      test::WriteFile(other, data);
      fs::create_symlink(other, victim);
    } else {
      test::WriteFile(victim, data);
      if (c.otherName) fs::create_hard_link(victim, other);
    }
    // A descriptor held open shows the data after the name has gone.
    FILE* held = std::fopen(victim.c_str(), "rb");
    ASSERT_NE(held, nullptr);
    bool overwritten = !c.overwritten;
    EXPECT_TRUE(platform::WipeAndDelete(victim.string(), &overwritten));
    EXPECT_EQ(overwritten, c.overwritten);
    EXPECT_FALSE(fs::exists(fs::symlink_status(victim)));
    std::string seen(data.size(), 'x');
    EXPECT_EQ(std::fread(seen.data(), 1, seen.size(), held), data.size());
    std::fclose(held);
    // Whole strings of this size would flood the failure message.
    const bool zeros = seen.find_first_not_of('\0') == std::string::npos;
    EXPECT_EQ(zeros, c.overwritten);
    EXPECT_TRUE(seen == data || c.overwritten);
    EXPECT_TRUE(!c.otherName || test::ReadFile(other) == data) << "the other name lost its data";
    fs::remove(other);
  }
}
