// Duplicating and renaming a preset: which new names are refused, what the
// copies hold, the all-or-nothing rollback, and what follows a rename.
#include "dialogs/duplicateform.h"

#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <memory>

#include "core/services/presetcopy.h"
#include "core/services/shellnotifier.h"
#include "core/store/presets.h"
#include "core/store/schedule.h"
#include "tests/core/log_lines.h"
#include "tests/core/program_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

class DuplicateDialog : public ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
    PresetsFolder = (settings / "presets").string();
    fs::create_directories(PresetsFolder);
    // A preset with text files (LF, CR LF, no last line end, UTF-8), logs
    // and a picture with every byte value.
    Put("Daily.pst", "pwd=p\xc3\xa4ss w\\rd\nx=1\r\nlast");
    Put("Daily.inc", "/home/u/Dokumente m\xc3\xbc\r\n");
    Put("Daily.exc", "");
    Put("Daily.hst", "1-COPY /a\n");
    Put("Daily.lgc", "copy log\n");
    for (int i = 0; i < 256; ++i) picture.push_back(static_cast<char>(i));
    picture += "\n\r\n";
    Put("Daily.bmp", picture);
    Put("Weekly.pst", "x=2\r\n");
    Put("Weekly.inc", "");
    Put("Weekly.exc", "");
    SetPresetListRows(&rows);
    rows.rows = {{"Daily", "", "2026.12.01 10:00:00"}, {"Weekly", "", ""}};
    ShellNotifierTasks = {};
    PresetFileFault = nullptr;
    DuplicateMode = 0;
  }
  void TearDown() override {
    PresetFileFault = nullptr;
    DuplicateMode = 0;
    SetPresetListRows(nullptr);
    ShellNotifierTasks = {};
    PresetsFolder.clear();
    ProgramTest::TearDown();
  }
  void Put(const std::string& name, const std::string& data) { WriteFile(fs::path(PresetsFolder) / name, data); }
  bool Has(const std::string& name) { return fs::exists(fs::path(PresetsFolder) / name); }
  std::string Get(const std::string& name) { return ReadFile(fs::path(PresetsFolder) / name); }
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(PresetsFolder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Opens the dialog on Daily, types the new name and presses OK.
  int Press(const std::string& target, bool rename) {
    DuplicateMode = rename ? 1 : 0;
    TForm8 form("Daily");
    form.reloadPresets = [this, rename, target] {
      ++reloads;
      if (rename)
        for (auto& r : rows.rows)
          if (r.Caption == "Daily") r = {target, "", ""};
    };
    form.Edit2->setText(QString::fromStdString(target));
    form.BitBtn1->click();
    return form.result();
  }

  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  FakeHooks hooks;
  TPresetRowList rows;
  std::string picture;
  int reloads = 0;
};

TEST_F(DuplicateDialog, RefusedNamesTouchNothingAndKeepTheDialogOpen) {
  Put("Orphan.hst", "left over\n");
  struct Case {
    const char* name;
    bool logged;  // refused with the log line (an empty name only stays open)
  } cases[] = {
      {"", false},      {"   ", false},       {"Daily", true},  {"DAILY", true}, {"weekly", true},
      {"Orphan", true}, {"*star", true},      {"a/b", true},    {"..", true},
  };
  const std::vector<std::string> before = Files();
  for (bool rename : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (rename ? " rename" : " duplicate"));
      test::LogLines log;
      log.keep = nullptr;  // whole lines, as the window's list holds them
      log.followReloads = true;
      SetLogListSink(&log);
      EXPECT_EQ(Press(c.name, rename), QDialog::Rejected);
      SetLogListSink(nullptr);
      const std::vector<std::string>& logged = log.lines;
      EXPECT_EQ(Files(), before);
      EXPECT_EQ(Get("Daily.pst"), "pwd=p\xc3\xa4ss w\\rd\nx=1\r\nlast");
      if (c.logged) {
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_TRUE(logged[0].ends_with(rename ? "Unable to rename the preset. Invalid filename? [!]"
                                    : "Unable to duplicate the preset. Invalid filename? [!]"))
            << logged[0];
      } else {
        EXPECT_TRUE(logged.empty());
      }
    }
  }
  EXPECT_EQ(reloads, 0);
}

TEST_F(DuplicateDialog, DuplicateCopiesLinesWithCrLfAndThePictureAsItIs) {
  EXPECT_EQ(Press("  Daily copy ", false), QDialog::Accepted);
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(Get("Daily copy.pst"), "pwd=p\xc3\xa4ss w\\rd\r\nx=1\r\nlast\r\n");
  EXPECT_EQ(Get("Daily copy.inc"), "/home/u/Dokumente m\xc3\xbc\r\n");
  EXPECT_EQ(Get("Daily copy.hst"), "1-COPY /a\r\n");
  EXPECT_EQ(Get("Daily copy.exc"), "");
  EXPECT_EQ(Get("Daily copy.bmp"), picture);
  // Logs start empty; missing kinds are not created.
  EXPECT_FALSE(Has("Daily copy.lgc"));
  EXPECT_FALSE(Has("Daily copy.flt"));
  EXPECT_FALSE(Has("Daily copy.cmt"));
  EXPECT_EQ(Get("Daily.pst"), "pwd=p\xc3\xa4ss w\\rd\nx=1\r\nlast");
}

TEST_F(DuplicateDialog, RenameMovesEveryFileAsItIs) {
  EXPECT_EQ(Press("Nightly", true), QDialog::Accepted);
  EXPECT_EQ(Files(), (std::vector<std::string>{"Nightly.bmp", "Nightly.exc", "Nightly.hst", "Nightly.inc",
                                               "Nightly.lgc", "Nightly.pst", "Weekly.exc", "Weekly.inc",
                                               "Weekly.pst"}));
  EXPECT_EQ(Get("Nightly.pst"), "pwd=p\xc3\xa4ss w\\rd\nx=1\r\nlast");
  EXPECT_EQ(Get("Nightly.lgc"), "copy log\n");
}

TEST_F(DuplicateDialog, AFailureAtAnyFileUndoesTheWholeAttempt) {
  const std::vector<std::string> before = Files();
  const std::string pst = Get("Daily.pst");
  // Daily has five files to duplicate and six to rename.
  for (bool rename : {false, true}) {
    for (int n = 1; n <= (rename ? 6 : 5); ++n) {
      SCOPED_TRACE((rename ? "rename at " : "duplicate at ") + std::to_string(n));
      PresetFileFault = [n](int k) { return k == n; };
      EXPECT_EQ(Press("Nightly", rename), QDialog::Rejected);
      EXPECT_EQ(Files(), before);
      EXPECT_EQ(Get("Daily.pst"), pst);
      EXPECT_EQ(Get("Daily.bmp"), picture);
    }
  }
  EXPECT_EQ(reloads, 0);
}

TEST_F(DuplicateDialog, ARenameTakesScheduleRowsNotifierTasksAndPreviousRunAlong) {
  tschopt entry;
  entry.Date = 47000.5;
  entry.Name = "Daily";
  entry.Repeat = -1;
  entry.Interval = 1440;
  Schedule.Add(ScheduleOptionsToText(entry));
  entry.Name = "Weekly";
  Schedule.Add(ScheduleOptionsToText(entry));
  ShellNotifierTasks[2].Preset = "Daily";
  ShellNotifierTasks[2].Folder = "/srv/data";
  ShellNotifierTasks[4].Preset = "Weekly";

  EXPECT_EQ(Press("Nightly", true), QDialog::Accepted);
  ASSERT_EQ(Schedule.Count(), 2u);
  std::vector<std::string> names{Schedule.Row(0).Name, Schedule.Row(1).Name};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Nightly", "Weekly"}));
  EXPECT_NE(ReadFile(settings / "yux.sch").find("Nightly"), std::string::npos);
  EXPECT_EQ(ReadFile(settings / "yux.sch").find("Daily"), std::string::npos);
  ShellNotifierArray saved;
  LoadShellNotifierTasks(saved);
  EXPECT_EQ(saved[2].Preset, "Nightly");
  EXPECT_EQ(saved[2].Folder, "/srv/data");
  EXPECT_EQ(saved[4].Preset, "Weekly");
  EXPECT_EQ(rows.rows[0].Caption, "Nightly");
  EXPECT_EQ(rows.rows[0].Previous, "2026.12.01 10:00:00");
  EXPECT_NE(ReadFile(settings / "yux.las").find("Nightly"), std::string::npos);
}

TEST_F(DuplicateDialog, ADuplicateLeavesTheScheduleAlone) {
  tschopt entry;
  entry.Date = 47000.5;
  entry.Name = "Daily";
  Schedule.Add(ScheduleOptionsToText(entry));
  EXPECT_EQ(Press("Daily 2", false), QDialog::Accepted);
  ASSERT_EQ(Schedule.Count(), 1u);
  EXPECT_EQ(Schedule.Row(0).Name, "Daily");
}

}  // namespace
