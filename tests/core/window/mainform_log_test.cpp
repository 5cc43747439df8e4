// The main window's log at a start that never shows the window (started
// hidden): the log is cut at the start itself, only the kept lines are
// loaded, and the list stays within the log's size however much is logged.
#include <QListWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/window/mainform.h"
#include "platform/messagebox.h"
#include "tests/core/program_fixture.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class HiddenLog : public test::ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
  }
  void WriteOptions(int lsz) {
    SettingsFolder = settings.str();
    test::WriteFile(OptionsFilePath(), ScrambleText("ver 0") + "\r\n" + ScrambleText("lsz " + std::to_string(lsz)) + "\r\n");
  }
  void WriteOldLog(int lines) {
    std::ofstream out(settings / "yux.log", std::ios::binary);
    for (int i = 1; i <= lines; ++i) out << "[2013.03.10 10:00:00] old line " << i << "\r\n";
  }
  std::vector<std::string> FileTexts() const { return test::LogTexts(test::ReadFile(settings / "yux.log")); }

  test::FakeHooks hooks;
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
};

}  // namespace

// The window is created and never shown or activated.
TEST_F(HiddenLog, StartCutsTheLogAndLoadsOnlyWhatItKeeps) {
  struct Case {
    int lsz, oldLines;
    bool reduced;
  } cases[] = {{5000, 100000, true}, {10, 8, false}, {0, 50, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("lsz " + std::to_string(c.lsz) + ", " + std::to_string(c.oldLines) + " lines");
    WriteOptions(c.lsz);
    WriteOldLog(c.oldLines);
    struct Release {
      ~Release() { ReleaseSingleInstance(); }  // the next case starts as a first instance again
    } release;
    TForm1 form;
    ASSERT_EQ(form.FormCreate({}), std::nullopt);
    ASSERT_FALSE(form.isVisible());

    const auto texts = FileTexts();
    const auto started = std::find(texts.begin(), texts.end(), "YUX started, loading settings. (v.3.00 beta 4 [2013.03.10]).");
    ASSERT_NE(started, texts.end());
    const std::vector<std::string> beforeStart(texts.begin(), started);
    const int kept = c.reduced ? c.lsz : c.oldLines;
    ASSERT_EQ(beforeStart.size(), static_cast<std::size_t>(kept + (c.reduced ? 1 : 0)));
    EXPECT_EQ(beforeStart.front(), "old line " + std::to_string(c.oldLines - kept + 1));
    if (c.reduced) {
      EXPECT_EQ(beforeStart.back(), "Log has been reduced to " + std::to_string(c.lsz) + " lines.");
    }
    EXPECT_FALSE(fs::exists(settings / "yux.lo_"));

    // The list shows the newest lines of the file, no more than the log keeps.
    const auto shown = form.LogLines();
    const std::size_t limit = c.lsz > 0 ? static_cast<std::size_t>(c.lsz) : texts.size();
    ASSERT_EQ(shown.size(), std::min(limit, texts.size()));
    for (std::size_t i = 0; i < shown.size(); ++i)
      ASSERT_EQ(shown[i].substr(22), texts[texts.size() - shown.size() + i]) << i;
  }
}

// Fifty runs' worth of lines later (forty lines a run) the list still holds
// no more than the log's size, and the file was cut once it passed the limit
// by a step.
TEST_F(HiddenLog, ListAndFileStayWithinTheLimitWhileTheProgramRuns) {
  WriteOptions(5000);
  WriteOldLog(100000);
  TForm1 form;
  ASSERT_EQ(form.FormCreate({}), std::nullopt);
  CurrentPresetName = "Daily";
  for (int run = 1; run <= 50; ++run) {
    for (int line = 1; line <= 40; ++line) AddPresetLog("run " + std::to_string(run) + " line " + std::to_string(line));
    ASSERT_LE(form.loglist->count(), 5000) << "after run " << run;
  }
  CurrentPresetName.clear();
  const auto shown = form.LogLines();
  ASSERT_EQ(shown.size(), 5000u);
  EXPECT_EQ(shown.back().substr(22), "Daily: run 50 line 40");
  const auto texts = FileTexts();
  EXPECT_LE(texts.size(), 5000u + 500u + 1u);
  EXPECT_EQ(texts.back(), "Daily: run 50 line 40");
}

// The real program started hidden with no tray to open it from: its window
// is never activated, yet the start cuts the log.
TEST(HiddenLogProgram, AHiddenStartCutsTheLog) {
  test::YuxWorld world;
  world.UseSettingsFolder();
  test::WriteFile(world.settings / "yux.opt", ScrambleText("ver 0") + "\r\n" + ScrambleText("lsz 5000") + "\r\n");
  {
    std::ofstream out(world.settings / "yux.log", std::ios::binary);
    for (int i = 1; i <= 100000; ++i) out << "[2013.03.10 10:00:00] old line " << i << "\r\n";
  }
  test::RunningYux yux(world, {"/hide"});
  const fs::path log = world.settings / "yux.log";
  ASSERT_TRUE(test::WaitForText(log, "YUX started, loading settings.", 60000)) << yux.Err();
  const auto texts = test::LogTexts(world.Log());
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Log has been reduced to 5000 lines."), 1);
  EXPECT_LE(texts.size(), 5000u + 10u);
  EXPECT_EQ(texts.front(), "old line 95001");
  EXPECT_EQ(test::CountOf(world.Log(), "YUX is ready now."), 0) << "the window was activated";
  EXPECT_TRUE(yux.EndSession());
}
