// Runs of the real program with the stand-in archiver whose sources are
// deleted or wiped after archiving, with files as users have them: hard
// links to files outside the sources, folders of the same name.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/store/folders.h"
#include "core/store/presets.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

using test::RunningYux;
using test::WaitForText;
using test::YuxWorld;

namespace {

// The preset "Daily" of the world, due at once, archiving `includes` into
// `dest`.
void PrepareRun(YuxWorld& world, const std::vector<std::string>& includes, const fs::path& dest,
                const std::function<void(tarcopt&)>& configure) {
  world.UseSettingsFolder();
  test::WriteDailyPreset(world, includes.front(), dest, configure);
  const std::string saved = PresetsFolder;
  PresetsFolder = (world.settings / "presets").string();
  EXPECT_TRUE(WritePresetList("Daily", ".inc", includes));
  PresetsFolder = saved;
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>Daily</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n");
}

}  // namespace

// "Wipe" overwrites what only the source holds; a source that is a hard
// link of a file outside the sources is deleted as a name, and the file
// outside keeps its bytes.
TEST(SourcesRun, WipeLeavesTheDataOfAHardLinkedSourceToItsOtherName) {
  YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  test::WriteFile(source / "own.txt", "only here");
  test::WriteFile(world.settings / "outside.txt", "kept outside");
  fs::create_hard_link(world.settings / "outside.txt", source / "linked.txt");
  // A descriptor held open shows what became of the data of own.txt.
  const int held = ::open((source / "own.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  PrepareRun(world, {source.string()}, dest, [](tarcopt& p) { p.wip = true; });
  {
    RunningYux yux(world);
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: Done.", 90000)) << world.Log() << yux.Err();
    yux.EndSession(20000);
  }
  char seen[9] = {};
  const ssize_t n = ::pread(held, seen, sizeof seen, 0);
  ::close(held);
  EXPECT_EQ(n, 9);
  EXPECT_EQ(std::string(seen, sizeof seen), std::string(9, '\0')) << "own.txt was not overwritten";
  EXPECT_FALSE(fs::exists(source / "own.txt"));
  EXPECT_FALSE(fs::exists(source / "linked.txt"));
  EXPECT_EQ(test::ReadFile(world.settings / "outside.txt"), "kept outside");
  EXPECT_TRUE(fs::exists(dest / "Daily.rar"));
  const std::string log = world.Log();
  EXPECT_NE(log.find("Daily: Deleted 2 archived source file(s)."), std::string::npos) << log;
  EXPECT_NE(log.find("Daily: 1 deleted source file(s) were not overwritten: their data has other names."),
            std::string::npos)
      << log;
}

// Two sources the archive would store under one name: the archiver leaves
// the later out and warns, naming both; the run, not told to ignore
// warnings, fails, delivers nothing and deletes nothing.
TEST(SourcesRun, SourcesOfOneStoredNameFailTheRunAndDeleteNothing) {
  struct Case {
    const char* what;
    std::vector<std::string> items;  // below the world's settings folder
  };
  const Case cases[] = {
      {"two folders named docs", {"one/docs", "two/docs"}},
      {"the add-files default entries", {"one/docs/*.*", "two/docs/*.*"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    YuxWorld world;
    const fs::path dest = world.settings / "dest";
    std::vector<std::string> files;
    for (const char* side : {"one", "two"})
      for (const char* name : {"a.txt", "sub/b.txt"}) {
        const fs::path file = world.settings / side / "docs" / name;
        test::WriteFile(file, std::string(side) + " " + name);
        files.push_back(file.string());
      }
    std::vector<std::string> includes;
    for (const auto& item : c.items) includes.push_back((world.settings / item).string());
    PrepareRun(world, includes, dest, [](tarcopt& p) {
      p.fld = 1;
      p.rsf = true;
      p.del = true;
    });
    {
      RunningYux yux(world);
      ASSERT_TRUE(WaitForText(world.settings / "yux.log",
                              "Daily: WinRAR - Error 1 (see WinRAR log for details). [!]", 90000))
          << world.Log() << yux.Err();
      yux.EndSession(20000);
    }
    const std::string log = world.Log();
    EXPECT_EQ(log.find("Daily: Done."), std::string::npos) << log;
    for (const auto& f : files) EXPECT_TRUE(fs::exists(f)) << f;
    EXPECT_TRUE(!fs::exists(dest) || fs::is_empty(dest)) << "delivered";
    // The archiver's log names both files of each pair.
    const std::string winrarLog = test::ReadFile(world.settings / "winrar.log");
    for (const char* name : {"a.txt", "sub/b.txt"}) {
      const std::string first = (world.settings / "one" / "docs" / name).string();
      const std::string later = (world.settings / "two" / "docs" / name).string();
      EXPECT_NE(winrarLog.find("WARNING: " + later + " was left out: " + first), std::string::npos)
          << name << "\n" << winrarLog;
    }
  }
}
