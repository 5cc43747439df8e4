// "yux /ABORT" from a terminal while a run holds the scheduler and another
// preset's row is due before the abort's row: the run is aborted at once.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "core/store/folders.h"
#include "core/store/options.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

TEST(AbortProgram, AbortActsDuringARunWhileAnotherPresetsRowWaits) {
  test::YuxWorld world;
  world.UseSettingsFolder();
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "notes.txt", "Notes to keep.\n");
  test::WriteDailyPreset(world, source, world.settings / "dest");
  // An archiver that takes its time.
  test::TempDir bin;
  test::WriteFile(bin / "slow", "#!/bin/sh\nexec sleep 600\n");
  chmod((bin / "slow").c_str(), 0755);
  {
    const std::string saved = SettingsFolder;
    SettingsFolder = world.settings.str();
    topt o;
    SetOptionDefaults(o);
    o.pwi = (bin / "slow").string();
    SaveOptions(o);
    SettingsFolder = saved;
  }
  // "Daily" runs at once; "Weekly" falls due while it runs and waits.
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>Daily</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n"
                  "<D>2020.01.01 10:00:01 </D><P>Weekly</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n");
  test::RunningYux yux(world);
  const fs::path log = world.settings / "yux.log";
  ASSERT_TRUE(test::WaitForText(log, "Daily: WinRAR - Started.", 60000)) << world.Log() << yux.Err();

  auto second = test::RunProgram({test::BuiltProgram("yux").string(), "/ABORT"}, world.EnvMap(), 20000);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  // The archiver would take ten minutes: a minute tells the abort apart.
  ASSERT_TRUE(test::WaitForText(log, "Aborted. [!]", 60000)) << world.Log() << yux.Err();
  const auto texts = test::LogTexts(world.Log());
  const auto aborted = std::find(texts.begin(), texts.end(), "Aborted. [!]");
  const auto weekly = std::find(texts.begin(), texts.end(), "Weekly: Called by the scheduler.");
  EXPECT_LT(aborted, weekly) << world.Log();
  EXPECT_EQ(world.Log().find("Daily: Done."), std::string::npos);
  EXPECT_TRUE(yux.EndSession()) << world.Log() << yux.Err();
}
