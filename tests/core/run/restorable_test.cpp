// Runs of the real program over a tree as a Linux home holds it (a name in
// Latin-1, names with "\" and a leading "c:", files dated 1966 and 2110),
// ZIP with the test after archiving: the run delivers, and what it
// delivered restores with the stand-in's own `x`, 7z, bsdtar, unzip and
// Python's zipfile.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "core/store/presets.h"
#include "tests/core/yux_process.h"
#include "tests/support/restorecheck.h"
#include "tests/support/testsupport.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

std::string Noise(std::size_t size) {
  std::string data(size, '\0');
  std::uint32_t x = 7;
  for (auto& c : data) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
  return data;
}

// Every regular file below `root` with its bytes, by relative path.
std::map<std::string, std::string> FilesIn(const fs::path& root) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file()) files[fs::relative(it->path(), root).string()] = ReadFile(it->path());
  return files;
}

class RestorableRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* p : {"7z", "bsdtar", "unzip"}) {
      YUX_REQUIRE_PROGRAM(p);
    }
    for (auto& [name, data] : files) WriteFile(source / name, data);
    for (auto& [name, when] : dated) ASSERT_TRUE(SetModified(source / name, when)) << name;
    world.UseSettingsFolder();
  }

  // Runs the preset "Daily" once to its end; the archiver and its test
  // must pass and every file reach the folder.
  void Run(const std::function<void(tarcopt&)>& configure) {
    WriteDailyPreset(world, source, dest, [&](tarcopt& p) {
      p.fmt = 1;
      p.cmp = 3;  // deflated: the large file in blocks
      p.tst = true;
      configure(p);
    });
    RunningYux yux(world, {"/hide", "Daily", "/exit"});
    ASSERT_TRUE(yux.proc().waitForFinished(120000)) << world.Log();
    const std::string log = world.Log();
    EXPECT_NE(log.find("Daily: WinRAR - Done ("), std::string::npos) << log << yux.Err();
    EXPECT_NE(log.find("Daily: COPY - Successfully copied"), std::string::npos) << log;
    EXPECT_EQ(log.find("Daily: COPY - Cannot write"), std::string::npos) << log;
    EXPECT_NE(log.find("Daily: Done."), std::string::npos) << log;
  }

  // The tree by the names the archive stores: `stored` gives the name of a
  // path below the source folder.
  struct Stored {
    std::map<std::string, std::string> files;
    std::map<std::string, time_t> dated;
  };
  Stored StoredAs(const std::function<std::string(const std::string&)>& stored) const {
    Stored s;
    for (auto& [name, data] : files) s.files[stored(name)] = data;
    for (auto& [name, when] : dated) s.dated[stored(name)] = when;
    return s;
  }

  // Restores `first` (the archive, or its first volume) with `x`, and the
  // whole archive `whole` with the other tools.
  void ExpectRestores(const fs::path& first, const fs::path& whole, const Stored& tree) {
    const fs::path out = world.temp / "x";
    ProcessResult x =
        RunProgram({BuiltProgram("winrar").string(), "x", "-INUL", first.string(), out.string() + "/"});
    EXPECT_EQ(x.exitCode, 0) << x.err;
    EXPECT_EQ(FilesIn(out), tree.files);

    const fs::path seven = world.temp / "7z";
    ProcessResult r = RunProgram({"7z", "x", "-y", "-o" + seven.string(), whole.string()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    for (auto& [name, when] : tree.dated) {
      SCOPED_TRACE(name);
      EXPECT_LE(std::llabs(ModifiedOf(out / name) - when), 2);
      EXPECT_LE(std::llabs(ModifiedOf(seven / name) - when), 2);
    }

    // The readers that take the DOS date get its nearest value, never a
    // date wrapped around.
    const fs::path bsd = world.temp / "bsdtar";
    fs::create_directories(bsd);
    r = RunProgram({"bsdtar", "-xf", whole.string(), "-C", bsd.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = RunProgram({"unzip", "-l", whole.string()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string listing = r.out;
    const std::pair<std::string, time_t> clamps[] = {
        {"1980-01-01 00:00", LocalTime(1980, 1, 1, 0, 0, 0)},
        {"2107-12-31 23:59", LocalTime(2107, 12, 31, 23, 59, 58)}};
    for (auto& [name, when] : tree.dated) {
      SCOPED_TRACE(name);
      const auto& [text, clamp] = clamps[when < 0 ? 0 : 1];
      EXPECT_EQ(ModifiedOf(bsd / name), clamp);
      EXPECT_NE(listing.find(text + "   " + name + "\n"), std::string::npos) << listing;
    }
    r = RunProgram({"unzip", "-qo", whole.string(), "-d", (world.temp / "unzip").string()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;

    r = PythonOpensZip(whole, true);
    EXPECT_EQ(r.exitCode, 0) << r.err;
  }

  YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  const std::map<std::string, std::string> files{
      {"caf\xe9.txt", "latin-1"},
      {"sub/gro\xdf.bin", Noise(1300000)},  // large enough to be deflated in blocks
      {"\xc3\xbc.txt", "utf-8"},
      {"back\\slash.txt", "backslash"},
      {"c:drive.txt", "drive-like"},
      {"sub/1966.txt", "old"},
      {"sub/2110.txt", "future"},
  };
  const std::map<std::string, time_t> dated{{"sub/1966.txt", UtcTime(1966, 5, 4)},
                                            {"sub/2110.txt", UtcTime(2110, 3, 2)},
                                            {"sub/gro\xdf.bin", UtcTime(2110, 3, 2)}};
};

}  // namespace

// One archive, its sources deleted after the delivery.  The deletion reads
// the archive's times as the compressor's reader gives them (no NTFS time,
// the DOS date where the Unix time stamp cannot hold a time): the files
// dated outside 1970-2106 look changed and are kept.
TEST_F(RestorableRun, OneArchiveRestoresEveryNameAndTimeAndItsSourcesGo) {
  Run([](tarcopt& p) { p.del = true; });
  ASSERT_TRUE(fs::exists(dest / "Daily.zip")) << world.Log();
  ExpectRestores(dest / "Daily.zip", dest / "Daily.zip",
                 StoredAs([](const std::string& name) { return "source/" + name; }));
  for (const char* gone : {"caf\xe9.txt", "\xc3\xbc.txt", "back\\slash.txt", "c:drive.txt"})
    EXPECT_FALSE(fs::exists(source / gone)) << gone;
  for (auto& [name, when] : dated) EXPECT_TRUE(fs::exists(source / name)) << name;
  EXPECT_NE(world.Log().find("Daily: Deleted 4 archived source file(s)."), std::string::npos) << world.Log();
}

// Volumes with names only (so that "back\slash.txt" and "c:drive.txt" lead
// their names): `x` reads the set as it is, the other tools read the parts
// joined in order.
TEST_F(RestorableRun, VolumesRestoreEveryNameAndTime) {
  Run([](tarcopt& p) {
    p.vol = "600k";
    p.fld = 0;
  });
  ASSERT_TRUE(fs::exists(dest / "Daily.part2.zip")) << world.Log();
  const fs::path whole = world.temp / "whole.zip";
  ProcessResult cat =
      RunProgram({"bash", "-c", "cat \"$1\"/Daily.part*.zip > \"$2\"", "-", dest.string(), whole.string()});
  ASSERT_EQ(cat.exitCode, 0) << cat.err;
  // Names only: the files of "sub" stand at the top.
  ExpectRestores(dest / "Daily.part1.zip", whole,
                 StoredAs([](const std::string& name) { return fs::path(name).filename().string(); }));
}
