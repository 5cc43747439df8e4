// Runs of the real program with "delete after archiving" where the names,
// sizes and times of the sources fit the archive but the archive does not
// hold their bytes: a linked folder whose file is stored in place of one
// beside it, and an include list changed after the sources were taken.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

using test::RunningYux;
using test::WaitForText;
using test::YuxWorld;

namespace {

// The preset "Daily", due at once, archiving `source` into `dest`, with
// `options` as the options file's lines.
void PrepareRun(YuxWorld& world, const fs::path& source, const fs::path& dest,
                const std::vector<std::string>& options, const std::function<void(tarcopt&)>& configure) {
  world.UseSettingsFolder();
  test::WriteDailyPreset(world, source, dest, configure);
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>Daily</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n");
  const std::string saved = SettingsFolder;
  SettingsFolder = world.settings.str();
  std::string text = ScrambleText("ver 0") + "\r\n";
  for (const auto& l : options) text += ScrambleText(l) + "\r\n";
  test::WriteFile(OptionsFilePath(), text);
  SettingsFolder = saved;
}

// Runs the preset until it is done; the program log.
std::string RunDaily(YuxWorld& world) {
  RunningYux yux(world);
  EXPECT_TRUE(WaitForText(world.settings / "yux.log", "Daily: Done.", 90000)) << world.Log() << yux.Err();
  yux.EndSession(20000);
  return world.Log();
}

}  // namespace

// Names only, warnings ignored: the archiver stores the file of the linked
// folder (its name sorts first) and leaves out the one of the same name,
// size and second beside the link.  That one is still there.
TEST(SourceBytesRun, TheFileBesideALinkedFolderOfTheSameNameStays) {
  YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  test::WriteFile(world.settings / "elsewhere" / "report.txt", "linked bytes");
  test::WriteFile(source / "report.txt", "beside bytes");
  fs::last_write_time(source / "report.txt", fs::last_write_time(world.settings / "elsewhere" / "report.txt"));
  fs::create_directory_symlink(world.settings / "elsewhere", source / "a-linked");
  test::WriteFile(source / "plain.txt", "plain");
  PrepareRun(world, source, dest, {"cie 1"}, [](tarcopt& p) {
    p.fld = 0;
    p.rsf = true;
    p.del = true;
  });
  const std::string log = RunDaily(world);
  EXPECT_NE(log.find("Daily: WinRAR reported a warning (non-critical)."), std::string::npos) << log;
  EXPECT_EQ(test::ReadFile(source / "report.txt"), "beside bytes");
  EXPECT_EQ(test::ReadFile(world.settings / "elsewhere" / "report.txt"), "linked bytes");
  EXPECT_FALSE(fs::exists(source / "plain.txt"));
  EXPECT_NE(log.find("Daily: Deleted 1 archived source file(s)."), std::string::npos) << log;
  EXPECT_NE(log.find("Daily: 1 source file(s) were kept"), std::string::npos) << log;
}

// The include list is saved anew (one more folder) after the run took its
// sources and before the archiver read it: an archiver named as the
// stand-in that rewrites the list, then starts the stand-in.  Nothing is
// deleted, and the log says why.
TEST(SourceBytesRun, AListChangedWhileArchivingDeletesNothing) {
  YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path more = world.settings / "more";
  const fs::path dest = world.settings / "dest";
  test::WriteFile(source / "a.txt", "alpha");
  test::WriteFile(source / "sub" / "b.txt", "beta");
  test::WriteFile(more / "c.txt", "gamma");
  const fs::path wrapper = world.settings / "bin" / test::BuiltProgram("winrar").filename();
  test::WriteFile(wrapper,
                  "#!/bin/sh\n"
                  "for a in \"$@\"; do\n"
                  "  case \"$a\" in @*) printf '%s\\r\\n' '" + more.string() + "' >> \"${a#@}\" ;; esac\n"
                  "done\n"
                  "exec '" + test::BuiltProgram("winrar").string() + "' \"$@\"\n");
  fs::permissions(wrapper, fs::perms::owner_all);
  PrepareRun(world, source, dest, {"pwi " + wrapper.string()}, [](tarcopt& p) {
    p.fld = 1;
    p.rsf = true;
    p.del = true;
  });
  const std::string log = RunDaily(world);
  EXPECT_NE(log.find("Daily: The sources were not deleted: the include or exclude list was changed while the "
                     "archive was made. [!]"),
            std::string::npos)
      << log;
  for (const fs::path& f : {source / "a.txt", source / "sub" / "b.txt", more / "c.txt"})
    EXPECT_TRUE(fs::exists(f)) << f;
  // The wrapper did run: the new folder is in the archive.
  EXPECT_NE(test::ReadFile(world.settings / "presets" / "Daily.inc").find(more.string()), std::string::npos);
}

// With a password: the small file's entry keeps no CRC and is read back
// with the run's password; both unchanged files go.
TEST(SourceBytesRun, UnchangedFilesOfAnEncryptedArchiveGo) {
  YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  test::WriteFile(source / "small.txt", "0123456789");
  test::WriteFile(source / "big.bin", std::string(100 * 1024, 'b'));
  PrepareRun(world, source, dest, {}, [](tarcopt& p) {
    p.fld = 1;
    p.del = true;
    p.pas = true;
    p.pwd = "secret";
  });
  const std::string log = RunDaily(world);
  EXPECT_FALSE(fs::exists(source / "small.txt"));
  EXPECT_FALSE(fs::exists(source / "big.bin"));
  EXPECT_NE(log.find("Daily: Deleted 2 archived source file(s)."), std::string::npos) << log;
}
