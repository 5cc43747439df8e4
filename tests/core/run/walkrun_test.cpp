// A run of the real program over a tree as a home folder holds it: a
// private folder, a browser profile's lock link that leads nowhere, a
// FIFO.  With the default settings and deletion after archiving, the run
// succeeds, the link and the FIFO stay where they are, and the archive
// gives the private folder back private, with its time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

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

// The first folder named `name` below `root`.
fs::path FindFolder(const fs::path& root, const std::string& name) {
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_directory() && e.path().filename() == name) return e.path();
  return {};
}

}  // namespace

TEST(WalkRun, LinksToNothingAndFifosAreLeftOutAndThePrivateFolderComesBackPrivate) {
  YuxWorld world;
  world.UseSettingsFolder();
  const fs::path source = world.settings / "home";
  const fs::path dest = world.settings / "dest";
  test::WriteFile(source / "notes.txt", "notes");
  test::WriteFile(source / "private/key", "secret");
  fs::permissions(source / "private", fs::perms(0700));
  const time_t privateTime = 1136214245;  // 2006-01-02 15:04:05 UTC
  const struct timespec times[2] = {{privateTime, 0}, {privateTime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (source / "private").c_str(), times, 0), 0);
  fs::create_symlink("nowhere/lock-target", source / "lock");
  ASSERT_EQ(mkfifo((source / "pipe").c_str(), 0600), 0);

  test::WriteDailyPreset(world, source, dest, [](tarcopt& p) { p.del = true; });
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>Daily</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n");
  {
    RunningYux yux(world);
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: Done.", 90000)) << world.Log() << yux.Err();
    yux.EndSession(20000);
  }
  const std::string winrarLog = test::ReadFile(world.settings / "winrar.log");
  EXPECT_NE(winrarLog.find("NOTE: link to nothing, left out: " + (source / "lock").string()), std::string::npos)
      << winrarLog;
  EXPECT_NE(winrarLog.find("NOTE: not a regular file, left out: " + (source / "pipe").string()), std::string::npos)
      << winrarLog;
  EXPECT_TRUE(fs::is_symlink(source / "lock"));
  EXPECT_TRUE(fs::is_fifo(source / "pipe"));
  EXPECT_FALSE(fs::exists(source / "notes.txt")) << "the archived file was not deleted";

  const fs::path out = world.settings / "out";
  test::ProcessResult x = test::RunProgram(
      {test::BuiltProgram("winrar").string(), "x", "-INUL", (dest / "Daily.rar").string(), out.string() + "/"});
  ASSERT_EQ(x.exitCode, 0) << x.err;
  const fs::path restored = FindFolder(out, "private");
  ASSERT_FALSE(restored.empty());
  struct stat st {};
  ASSERT_EQ(::stat(restored.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_mtime, privateTime);
  EXPECT_EQ(test::ReadFile(restored / "key"), "secret");
}
