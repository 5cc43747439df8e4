// Runs of the real program that copy into a folder with the stand-in
// archiver: a split archive emptied into a folder volume by volume must
// leave every volume there before the sources go, and the cleaner keeps
// an archive name that a kept run lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/store/presets.h"
#include "tests/core/run/volume_extract.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

using test::LogTexts;
using test::RunningYux;
using test::WaitForText;
using test::YuxWorld;

namespace {

// Incompressible bytes, so the archive is about as large as the source.
std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string data;
  data.reserve(size);
  std::uint32_t x = seed;
  for (std::size_t i = 0; i < size; ++i) data.push_back(char((x = x * 1664525u + 1013904223u) >> 24));
  return data;
}

long IndexOf(const std::vector<std::string>& texts, const std::string& prefix, bool last = false) {
  long found = -1;
  for (std::size_t i = 0; i < texts.size(); ++i)
    if (texts[i].rfind(prefix, 0) == 0) {
      found = static_cast<long>(i);
      if (!last) break;
    }
  return found;
}

// Runs "Daily" once with a yux of its own until the log (after `from`)
// shows `end`.
::testing::AssertionResult RunOnce(YuxWorld& world, const std::string& end, std::size_t from) {
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>Daily</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n");
  RunningYux yux(world);
  const bool ended = WaitForText(world.settings / "yux.log", end, 90000, from);
  yux.EndSession(20000);
  if (!ended) return ::testing::AssertionFailure() << "no \"" << end << "\"\n" << world.Log() << yux.Err();
  return ::testing::AssertionSuccess();
}

std::vector<std::string> FileNames(const fs::path& folder) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// The names of a set of `count` volumes of "Daily.rar", sorted.
std::vector<std::string> SetNames(std::size_t count) {
  std::vector<std::string> out;
  const std::size_t width = std::to_string(count).size();
  for (std::size_t i = 1; i <= count; ++i) {
    std::string n = std::to_string(i);
    n.insert(0, width - n.size(), '0');
    out.push_back("Daily.part" + n + ".rar");
  }
  std::sort(out.begin(), out.end());
  return out;
}

// One run of "Daily" archiving `bytes` as "noise.bin" into `dest` in
// volumes of 5 kB.
::testing::AssertionResult RunVolumes(YuxWorld& world, const fs::path& source, const fs::path& dest,
                                      const std::string& bytes, bool overwrite) {
  test::WriteFile(source / "noise.bin", bytes);
  world.UseSettingsFolder();
  test::WriteDailyPreset(world, source, dest, [&](tarcopt& p) {
    p.vol = "5k";
    p.owe = overwrite;
  });
  return RunOnce(world, "Daily: Done.", world.Log().size());
}

}  // namespace

// Volumes with "insert new disk" ("edc"), emptying by the mask "*" and
// deleting the sources: the folder is emptied before every volume, but
// never of the volumes this run delivered, and the sources go only once
// every volume is in the destination.
TEST(CopyRun, VolumesEmptiedBeforeEveryFileAllStayAndOnlyThenTheSourcesGo) {
  YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  fs::create_directories(source);
  fs::create_directories(dest);
  const std::string noise = Noise(70000, 3);
  test::WriteFile(source / "noise.bin", noise);
  test::WriteFile(dest / "stale.txt", "from an earlier run");
  world.UseSettingsFolder();
  test::WriteDailyPreset(world, source, dest, [](tarcopt& p) {
    p.vol = "20k";
    p.efl = true;
    p.ems = "*";
    p.edc = true;
    p.del = true;
  });
  ASSERT_TRUE(RunOnce(world, "Daily: Done.", 0));

  const std::vector<std::string> volumes = FileNames(dest);
  ASSERT_GE(volumes.size(), 3u) << world.Log();
  EXPECT_EQ(std::count(volumes.begin(), volumes.end(), "stale.txt"), 0) << world.Log();
  const auto texts = LogTexts(world.Log());
  const std::string hst = test::ReadFile(world.settings / "presets" / "Daily.hst");
  for (const auto& v : volumes) {
    EXPECT_GT(fs::file_size(dest / v), 0u) << v;
    EXPECT_GE(IndexOf(texts, "Daily: COPY - Successfully copied " + v + "."), 0) << v << "\n" << world.Log();
    EXPECT_NE(hst.find("\t4-COPY\t" + (dest / v).string() + "\r\n"), std::string::npos) << v << "\n" << hst;
  }
  // Emptied before every volume; each earlier volume spared once.
  EXPECT_EQ(test::CountOf(world.Log(), "Daily: COPY - Emptying the destination folder (mask - *)."),
            static_cast<int>(volumes.size()));
  EXPECT_EQ(test::CountOf(world.Log(), "Daily: COPY - Emptying spares "), static_cast<int>(volumes.size()) - 1);
  // The sources went after the last volume reached the destination.
  EXPECT_FALSE(fs::exists(source / "noise.bin"));
  const long lastCopy = IndexOf(texts, "Daily: COPY - Successfully copied", true);
  const long deleted = IndexOf(texts, "Daily: Deleted 1 archived source file(s).");
  EXPECT_GT(deleted, lastCopy) << world.Log();
  EXPECT_GT(IndexOf(texts, "Daily: Done."), deleted) << world.Log();
}

// An archive name that repeats: the second run's "Same.zip" replaces the
// first's, and the third run, keeping 2 runs, keeps it although the
// expired first run listed the same name.
TEST(CopyRun, TheCleanerKeepsANameAKeptRunListsToo) {
  YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  fs::create_directories(source);
  world.UseSettingsFolder();
  std::size_t from = 0;
  for (const char* name : {"Same", "Same", "Other"}) {
    SCOPED_TRACE(name);
    test::WriteFile(source / "a.txt", std::string("run archived as ") + name);
    test::WriteDailyPreset(world, source, dest, [&](tarcopt& p) {
      p.nam = name;
      p.fmt = 1;
      p.owe = true;
      p.cco = true;
      p.ccm = 0;
      p.ccv = 2;
    });
    from = world.Log().size();
    ASSERT_TRUE(RunOnce(world, "Daily: Done.", from));
  }
  EXPECT_EQ(FileNames(dest), (std::vector<std::string>{"Other.zip", "Same.zip"})) << world.Log();
  EXPECT_EQ(test::CountOf(world.Log().substr(from), "Daily: COPY - Cleaner"), 0) << world.Log();
  // The expired run's block is gone; the kept run's lists Same.zip.
  const std::string lgc = test::ReadFile(world.settings / "presets" / "Daily.lgc");
  EXPECT_EQ(test::CountOf(lgc, "Same.zip"), 1) << lgc;
  EXPECT_EQ(test::CountOf(lgc, "Other.zip"), 1) << lgc;
}

// One name kept for years as the backup grows past nine volumes and
// shrinks back, with "Overwrite old versions" on: after every run the
// folder holds the newest set alone, and "x" of its first volume gives the
// newest sources back byte for byte.
TEST(CopyRun, TheNewestSetAloneWhateverItsWidth) {
  YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  fs::create_directories(source);
  struct Step {
    std::size_t bytes, volumes;
  };
  // 5 kB volumes of incompressible data, a little room for the headers.
  const Step steps[] = {{52000, 11}, {42000, 9}, {53000, 11}};
  std::uint32_t seed = 20;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.volumes);
    const std::string bytes = Noise(step.bytes, ++seed);
    ASSERT_TRUE(RunVolumes(world, source, dest, bytes, true));
    EXPECT_EQ(FileNames(dest), SetNames(step.volumes)) << world.Log();
    std::string why;
    const std::string first = SetNames(step.volumes).front();
    const std::string back = test::ExtractedFile(dest / first, "noise.bin", &why);
    EXPECT_TRUE(back == bytes) << why << " (" << back.size() << " of " << bytes.size() << " bytes)";
  }
}

// "Overwrite old versions" off: a set of three volumes, then one of five
// of the same name.  The three old volumes stay as they were (each with
// its line), the two new ones land beside them, and the first set still
// restores as itself.
TEST(CopyRun, WithoutOverwriteTheOlderSetStillRestores) {
  YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  fs::create_directories(source);
  const std::string first = Noise(12000, 31);
  ASSERT_TRUE(RunVolumes(world, source, dest, first, false));
  ASSERT_EQ(FileNames(dest), SetNames(3)) << world.Log();
  const std::size_t from = world.Log().size();
  test::WriteFile(source / "noise.bin", Noise(22000, 32));
  test::WriteDailyPreset(world, source, dest, [&](tarcopt& p) {
    p.vol = "5k";
    p.owe = false;
  });
  // Volumes that could not be delivered are kept: the run ends so, not
  // with "Done.".
  ASSERT_TRUE(RunOnce(world, "Daily: Undelivered files were kept in ", from));
  EXPECT_NE(world.Log().find("Daily: COPY - Successfully copied Daily.part5.rar.", from), std::string::npos)
      << world.Log();
  EXPECT_EQ(FileNames(dest), SetNames(5)) << world.Log();
  for (const auto& name : SetNames(3))
    EXPECT_EQ(test::CountOf(world.Log().substr(from),
                            "Daily: COPY - File " + name + " already exists, no permission to overwrite. [!]"),
              1)
        << world.Log();
  std::string why;
  const std::string back = test::ExtractedFile(dest / "Daily.part1.rar", "noise.bin", &why);
  EXPECT_TRUE(back == first) << why << " (" << back.size() << " of " << first.size() << " bytes)";
}
