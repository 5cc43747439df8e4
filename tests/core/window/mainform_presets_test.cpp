// The main window's preset list and its commands: which presets appear,
// their schedule and previous-execution columns, sorting, deleting a
// preset, the password protection of actions, commands without a
// selection, and screenshots of the window.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "core/schedule/cmdline_args.h"
#include "core/services/dialoghooks.h"
#include "core/services/startup.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/language.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "core/window/mainform.h"
#include "core/window/scheduleform.h"
#include "platform/messagebox.h"
#include "platform/namedobjects.h"
#include "tests/core/program_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class PresetList : public test::ProgramTest {
 protected:
  void SetUp() override {
    fs::create_directories(settings / "presets");
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
  }
  void TearDown() override {
    test::ProgramTest::TearDown();
  }

  fs::path Presets() const { return settings / "presets"; }
  // A preset with its three list files, or only some of them.
  void MakePreset(const std::string& name, bool inc = true, bool exc = true) {
    test::WriteFile(Presets() / (name + ".pst"), ScrambleText("ver 0") + "\r\n");
    if (inc) test::WriteFile(Presets() / (name + ".inc"), "/data\r\n");
    if (exc) test::WriteFile(Presets() / (name + ".exc"), "");
  }
  static std::string SchLine(const std::string& date, const std::string& name, const std::string& options =
                                 "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110") {
    return "<D>" + date + "</D><P>" + name + "</P><O>" + options + "</O>\r\n";
  }
  // Both windows created as the program creates them.
  void Create(TForm1& form, TForm5& schedule, const std::vector<std::string>& args = {}) {
    ASSERT_EQ(form.FormCreate(args), std::nullopt);
    ASSERT_EQ(schedule.FormCreate(args), std::nullopt);
  }
  static std::vector<std::string> Column(const TForm1& form, int column) {
    std::vector<std::string> out;
    for (int i = 0; i < form.list->topLevelItemCount(); ++i)
      out.push_back(form.list->topLevelItem(i)->text(column).toStdString());
    return out;
  }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> out;
    for (const auto& r : boxes->Asked()) out.push_back(r.text);
    return out;
  }

  test::FakeHooks hooks;
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
};

}  // namespace

TEST_F(PresetList, ShowsCompletePresetsWithTheirScheduleAndPreviousRun) {
  MakePreset("Alpha");
  MakePreset("Beta");
  MakePreset("NoExclude", true, false);
  MakePreset("NoInclude", false, true);
  test::WriteFile(Presets() / "Notes.txt", "not a preset");
  // Two rows of Alpha: the earlier one shows; a row naming "beta" in
  // another case is no row of Beta's column.
  test::WriteFile(settings / "yux.sch", SchLine("2026.12.24 22:00:00 ", "Alpha") +
                                            SchLine("2026.12.31 08:00:00 ", "Alpha") +
                                            SchLine("2027.01.01", "beta"));
  test::WriteFile(settings / "yux.las", "<D>2026.11.01 10:00:00 </D><P>Beta</P>\r\n<D>x</D><P>Gone</P>\r\n");

  TForm1 form;
  TForm5 schedule(&form);
  Create(form, schedule);

  EXPECT_EQ(Column(form, kColumnName), (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(Column(form, kColumnScheduled), (std::vector<std::string>{"2026.12.24 22:00:00 ", ""}));
  EXPECT_EQ(Column(form, kColumnPrevious), (std::vector<std::string>{"", "2026.11.01 10:00:00 "}));
  ASSERT_EQ(schedule.presetbox->count(), 2);
  EXPECT_EQ(schedule.presetbox->itemText(1).toStdString(), "Beta");
  EXPECT_TRUE(form.schtimer->isActive());
  EXPECT_EQ(form.schtimer->interval(), 1000);

  // A change of the schedule reaches the column at once.
  ASSERT_TRUE(AddScheduleRequest("Beta[DATE=2026.12.01 06:30:00]"));
  EXPECT_EQ(Column(form, kColumnScheduled)[1], "2026.12.01 06:30:00 ");
  EXPECT_NE(test::ReadFile(settings / "yux.sch").find("<P>Beta</P>"), std::string::npos);
}

TEST_F(PresetList, ColumnClicksFlipTheOrderAndEqualTextsFollowTheNames) {
  // Names compare in the user's language, not by their bytes.
  const QLocale before;
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  struct Restore {
    QLocale locale;
    ~Restore() { QLocale::setDefault(locale); }
  } restore{before};
  for (const char* name : {"Delta", "alpha", "Charlie", "bravo"}) MakePreset(name);
  // Previous runs: two presets share a text, one has none.
  test::WriteFile(settings / "yux.las",
                  "<D>2026.05.01 10:00:00 </D><P>Delta</P>\r\n<D>2026.03.01 10:00:00 </D><P>alpha</P>\r\n"
                  "<D>2026.05.01 10:00:00 </D><P>Charlie</P>\r\n");
  TForm1 form;
  TForm5 schedule(&form);
  Create(form, schedule);
  const std::vector<std::string> byName = Column(form, kColumnName);
  EXPECT_EQ(byName, (std::vector<std::string>{"alpha", "bravo", "Charlie", "Delta"}));

  // With the directions at their defaults, the first click sorts
  // descending, the second ascending; equal dates stay in name order.
  form.ColumnClick(kColumnPrevious);
  EXPECT_EQ(Options.lvc, kColumnPrevious);
  EXPECT_FALSE(Options.lt3);
  EXPECT_EQ(Column(form, kColumnName), (std::vector<std::string>{"Charlie", "Delta", "alpha", "bravo"}));
  form.ColumnClick(kColumnPrevious);
  EXPECT_EQ(Column(form, kColumnName), (std::vector<std::string>{"bravo", "alpha", "Charlie", "Delta"}));

  // The names' column the same way; the saved choice sorts a reload.
  form.ColumnClick(kColumnName);
  EXPECT_EQ(Column(form, kColumnName), (std::vector<std::string>{"Delta", "Charlie", "bravo", "alpha"}));
  form.LoadPresetList();
  EXPECT_EQ(Column(form, kColumnName), (std::vector<std::string>{"Delta", "Charlie", "bravo", "alpha"}));
}

TEST_F(PresetList, DeleteRemovesExactlyThePresetsFilesAndScheduleRows) {
  MakePreset("Daily");
  MakePreset("Daily2");
  for (const auto& ext : kPresetFileExtensions) test::WriteFile(Presets() / ("Daily" + std::string(ext)), "x");
  test::WriteFile(Presets() / "Daily.keep", "not the preset's");
  test::WriteFile(settings / "yux.sch",
                  SchLine("2026.12.24 22:00:00 ", "Daily") +
                      SchLine("2026.12.25 22:00:00 ", "Daily", "REPEAT=-1 INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110") +
                      SchLine("2026.12.26 22:00:00 ", "Daily2") + SchLine("2026.12.27 00:00:00", "/EXIT"));
  TForm1 form;
  TForm5 schedule(&form);
  Create(form, schedule);

  // "No" keeps everything.
  ASSERT_TRUE(form.SelectPreset("Daily"));
  boxes->Answer(platform::IDNO);
  form.Delete1Click();
  EXPECT_TRUE(fs::exists(Presets() / "Daily.pst"));
  EXPECT_EQ(Schedule.Count(), 4u);
  ASSERT_FALSE(boxes->Asked().empty());
  EXPECT_EQ(boxes->Asked().back().text, "\rThis preset will be deleted. Proceed?");

  boxes->Answer(platform::IDYES);
  form.Delete1Click();
  for (const auto& ext : kPresetFileExtensions)
    EXPECT_FALSE(fs::exists(Presets() / ("Daily" + std::string(ext)))) << ext;
  EXPECT_TRUE(fs::exists(Presets() / "Daily.keep"));
  for (const char* ext : {".pst", ".inc", ".exc"}) EXPECT_TRUE(fs::exists(Presets() / ("Daily2" + std::string(ext))));
  EXPECT_EQ(test::ReadFile(settings / "yux.sch"),
            SchLine("2026.12.26 22:00:00 ", "Daily2") + SchLine("2026.12.27 00:00:00", "/EXIT"));
  EXPECT_EQ(Column(form, kColumnName), std::vector<std::string>{"Daily2"});
  EXPECT_EQ(schedule.presetbox->count(), 1);
  EXPECT_EQ(hooks.asked, 0);  // no protection, no password
}

TEST_F(PresetList, ProtectedActionsNeedTheRightPassword) {
  MakePreset("Daily");
  struct Case {
    const char* what;
    bool topt::*flag;
    std::function<void(TForm1&)> act;
    std::function<bool(TForm1&)> done;
  };
  std::string settingsPage, presetDialog;
  const std::vector<Case> cases = {
      {"settings page", &topt::sps, [](TForm1& f) { f.OpenSettings("Security"); },
       [&](TForm1&) { return settingsPage == "Security"; }},
      {"add new", &topt::spm, [](TForm1& f) { f.New1Click(); },
       [&](TForm1&) { return presetDialog == kNewPresetName; }},
      {"add button", &topt::spm, [](TForm1& f) { f.baddpresetClick(); },
       [&](TForm1&) { return presetDialog == kNewPresetName; }},
      {"scheduler window", &topt::sph, [](TForm1& f) { f.bschClick(); },
       [](TForm1& f) { return f.Form5->isVisible(); }},
      {"schedule preset", &topt::sph, [](TForm1& f) { f.Scheduling1Click(); },
       [](TForm1& f) { return f.Form5->isVisible() && f.Form5->presetbox->currentText() == "Daily"; }},
      {"show window", &topt::spa, [](TForm1& f) { f.ShowHide(); }, [](TForm1& f) { return f.isVisible(); }},
      {"delete", &topt::spm,
       [this](TForm1& f) {
         boxes->Answer(platform::IDYES);
         f.Delete1Click();
       },
       [this](TForm1&) { return !fs::exists(Presets() / "Daily.pst"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MakePreset("Daily");
    ReleaseSingleInstance();  // one program per case
    TForm1 form;
    TForm5 schedule(&form);
    form.OnSettingsDialog = [&](const std::string& page) { settingsPage = page; };
    form.OnPresetDialog = [&](const std::string& name, const std::string&) { presetDialog = name; };
    Create(form, schedule);
    Options.sgp = "Secret";
    Options.*c.flag = true;
    ASSERT_TRUE(form.SelectPreset("Daily"));

    // Cancelled: nothing, silently.  Wrong (case differs): refused with
    // the error box.  Right: done.
    const auto attempts = {std::pair<bool, std::string>{false, ""}, {true, "secret"}, {true, "Secret"}};
    int attempt = 0;
    for (const auto& [accept, entry] : attempts) {
      settingsPage.clear();
      presetDialog.clear();
      const size_t boxesBefore = boxes->Asked().size();
      hooks.accept = accept;
      hooks.entry = entry;
      const int askedBefore = hooks.asked;
      c.act(form);
      EXPECT_EQ(hooks.asked, askedBefore + 1);
      EXPECT_EQ(hooks.lastCaption, "Enter admin password");
      const bool wrong = attempt == 1;
      EXPECT_EQ(c.done(form), attempt == 2) << "attempt " << attempt;
      const auto texts = BoxTexts();
      const bool refusedBox = std::find(texts.begin() + boxesBefore, texts.end(), "\rIncorrect password.") != texts.end();
      EXPECT_EQ(refusedBox, wrong) << "attempt " << attempt;
      ++attempt;
    }
  }
}

TEST_F(PresetList, PresetConfigurationAsksForThePresetsOwnPassword) {
  MakePreset("Locked");
  tarcopt locked;
  SetPresetDefaults(locked);
  locked.pwd = "arc";
  SettingsFolder = settings.str();
  PresetsFolder = Presets().string();
  ASSERT_TRUE(SavePreset("Locked", locked));
  TForm1 form;
  TForm5 schedule(&form);
  std::vector<std::string> opened;
  form.OnPresetDialog = [&](const std::string& name, const std::string&) { opened.push_back(name); };
  Create(form, schedule);

  hooks.entry = "ARC";
  form.PresetConfiguration("Locked");
  EXPECT_TRUE(opened.empty());
  EXPECT_EQ(hooks.lastCaption, "Enter password for Locked");
  hooks.entry = "arc";
  form.PresetConfiguration("Locked");
  // The list editors' "*" name skips the password.
  hooks.entry = "wrong";
  form.PresetConfiguration("*Locked");
  EXPECT_EQ(opened, (std::vector<std::string>{"Locked", "Locked"}));
  EXPECT_EQ(hooks.asked, 2);
}

TEST_F(PresetList, CommandsWithoutASelectionAndThePopupMenu) {
  MakePreset("Daily");
  TForm1 form;
  TForm5 schedule(&form);
  std::string dialog;
  form.OnDuplicateDialog = [&](const std::string& name, bool rename) { dialog = name + (rename ? " rename" : " dup"); };
  Create(form, schedule);
  form.list->clearSelection();

  // Toolbar buttons that act on a preset ask for one; keys and menu items
  // just do nothing.
  form.findChild<QToolButton*>("bdelete")->click();
  form.findChild<QToolButton*>("brename")->click();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>(2, "Please select a preset first.")));
  EXPECT_TRUE(form.FormKeyDown(Qt::Key_F8, Qt::NoModifier));
  EXPECT_TRUE(fs::exists(Presets() / "Daily.pst"));
  EXPECT_EQ(boxes->Asked().size(), 2u);

  form.PreparePresetPopup();
  const auto items = form.PopupMenu1->actions();
  ASSERT_GE(items.size(), 2);
  EXPECT_FALSE(items.front()->isEnabled());
  EXPECT_TRUE(items.back()->isEnabled());
  EXPECT_EQ(items.back()->text().toStdString(), "Add new");

  ASSERT_TRUE(form.SelectPreset("Daily"));
  form.PreparePresetPopup();
  EXPECT_TRUE(items.front()->isEnabled());
  EXPECT_TRUE(form.FormKeyDown(Qt::Key_F2, Qt::NoModifier));
  EXPECT_EQ(dialog, "Daily rename");
  // Exactly Alt or exactly Ctrl: the key is left alone.
  dialog.clear();
  EXPECT_FALSE(form.FormKeyDown(Qt::Key_F5, Qt::AltModifier));
  EXPECT_FALSE(form.FormKeyDown(Qt::Key_F5, Qt::ControlModifier));
  EXPECT_TRUE(form.FormKeyDown(Qt::Key_F5, Qt::ShiftModifier));
  EXPECT_EQ(dialog, "Daily dup");
  // F11 shows and hides the function-key bar.
  EXPECT_FALSE(form.ToolBar2->isVisibleTo(&form));
  form.FormKeyDown(Qt::Key_F11, Qt::NoModifier);
  EXPECT_TRUE(form.ToolBar2->isVisibleTo(&form));
  form.FormKeyDown(Qt::Key_F11, Qt::NoModifier);
  EXPECT_FALSE(form.ToolBar2->isVisibleTo(&form));
}

TEST_F(PresetList, ScreenshotsWithAndWithoutTheToolbar) {
  for (const char* name : {"Documents", "Photos", "Mail archive"}) MakePreset(name);
  test::WriteFile(settings / "yux.sch", SchLine("2026.12.24 22:00:00 ", "Photos"));
  test::WriteFile(settings / "yux.las", "<D>2026.12.01 03:00:00 </D><P>Documents</P>\r\n");
  const fs::path screens = test::BuildDir() / "screens";
  fs::create_directories(screens);

  for (bool noToolbar : {false, true}) {
    ReleaseSingleInstance();  // one program per picture
    fs::remove(settings / "yux.log");
    Options = topt{};
    SettingsFolder = settings.str();
    topt saved;
    saved.dit = noToolbar;
    SaveOptions(saved);
    TForm1 form;
    TForm5 schedule(&form);
    Create(form, schedule);
    AddLog("Documents: WinRAR - Started.");
    AddLog("Documents: WinRAR - Done (12 files, 3.4 MB).");
    AddLog("Photos: FTP - Unable to upload photos.zip [!]");
    form.resize(720, 480);
    form.show();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    EXPECT_EQ(form.ToolBar1->isVisible(), !noToolbar);
    EXPECT_EQ(form.list->y(), noToolbar ? 10 : form.ToolBar1->height() + 10);
    const std::string file = (screens / (noToolbar ? "main_window_no_toolbar.png" : "main_window.png")).string();
    ASSERT_TRUE(form.grab().save(QString::fromStdString(file)));
    EXPECT_GT(fs::file_size(file), 1000u);
    form.hide();
  }
}

TEST_F(PresetList, CommandLineRequestsAndSwitchesAtStart) {
  MakePreset("Daily");
  TForm1 form;
  TForm5 schedule(&form);
  Create(form, schedule, {"/hide", "Daily[DATE=2026.12.24 22:00:00][REPEAT=-1][INTERVAL=1440]", "Nightly"});
  EXPECT_TRUE(form.HideAtStart);
  ASSERT_EQ(Schedule.Count(), 1u);
  EXPECT_EQ(Schedule.Row(0).Name, "Daily");
  EXPECT_EQ(Column(form, kColumnScheduled), std::vector<std::string>{"2026.12.24 22:00:00 "});
  EXPECT_NE(test::ReadFile(settings / "yux.sch").find("<P>Daily</P>"), std::string::npos);

  // The close keeps the schedule in its file.
  Schedule.Clear();
  Schedule.Add({"2027.01.01 10:00:00 ", "Daily", "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110"});
  ASSERT_TRUE(form.CloseForm());
  EXPECT_EQ(test::ReadFile(settings / "yux.sch"),
            SchLine("2027.01.01 10:00:00 ", "Daily", "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110"));
}

TEST_F(PresetList, SecondInstanceSwitchingTheSchedulerEndsAtOnce) {
  MakePreset("Daily");
  ASSERT_TRUE(SingleInstanceCheck(kInstanceMutexName));  // the "first instance"
  TForm1 form;
  TForm5 schedule(&form);
  const std::vector<std::string> args = {"Daily", "/SCHON", "Daily[DATE=2027.01.01 10:00:00]"};
  ASSERT_EQ(form.FormCreate(args), std::nullopt);
  ASSERT_TRUE(SecondInstance);
  EXPECT_EQ(schedule.FormCreate(args), 0);
  EXPECT_TRUE(ForcedClose);
  EXPECT_TRUE(form.Closed());
  // The request before the switch was added, the one after it was not.
  EXPECT_EQ(Schedule.Count(), 1u);
}

TEST_F(PresetList, RunTriggersStartTheSelectedPresetOnlyWhenIdle) {
  MakePreset("Daily");
  TForm1 form;
  TForm5 schedule(&form);
  Create(form, schedule);
  WinRarPath = (settings / "no-archiver").string();  // a run that stops at its first check
  auto attempts = [&] {
    int n = 0;
    for (const std::string& line : form.LogLines()) n += line.find("WinRAR is not found.") != std::string::npos;
    return n;
  };
  const std::vector<std::pair<const char*, std::function<void()>>> triggers = {
      {"Enter", [&] { form.FormKeyDown(Qt::Key_Return, Qt::NoModifier, form.list); }},
      {"keypad Enter", [&] { form.FormKeyDown(Qt::Key_Enter, Qt::KeypadModifier, form.list); }},
      {"Space", [&] { form.FormKeyDown(Qt::Key_Space, Qt::NoModifier, form.list); }},
      {"double click", [&] { emit form.list->itemDoubleClicked(form.list->topLevelItem(0), 0); }},
      {"menu", [&] { form.findChild<QAction*>("Run1")->trigger(); }},
      {"toolbar", [&] { form.findChild<QToolButton*>("brun")->click(); }},
  };
  for (const auto& [what, trigger] : triggers) {
    SCOPED_TRACE(what);
    form.list->clearSelection();
    int before = attempts();
    trigger();
    EXPECT_EQ(attempts(), before);  // nothing selected
    ASSERT_TRUE(form.SelectPreset("Daily"));
    RunActive = true;
    trigger();
    EXPECT_EQ(attempts(), before);  // a run is active
    RunActive = false;
    trigger();
    EXPECT_EQ(attempts(), before + 1);
  }
}

// Opening the scheduler for another preset while one runs must not rename
// the running preset in its own log lines.
TEST_F(PresetList, SchedulingAnotherPresetDuringARunKeepsTheRunsName) {
  MakePreset("Daily");
  MakePreset("Weekly");
  TForm1 form;
  TForm5 schedule(&form);
  Create(form, schedule);
  ASSERT_TRUE(form.SelectPreset("Weekly"));
  CurrentPresetName = "Daily";
  RunActive = true;
  form.Scheduling1Click();
  EXPECT_EQ(CurrentPresetName, "Daily");
  RunActive = false;
  form.Scheduling1Click();
  EXPECT_EQ(CurrentPresetName, "Weekly");
}

TEST_F(PresetList, ClearingTheLogKeepsARunsFlagAndExportWritesTheLines) {
  TForm1 form;
  TForm5 schedule(&form);
  Create(form, schedule);
  AddLog("first");
  AddLog("second [!]");
  const std::vector<std::string> lines = form.LogLines();

  const fs::path exported = settings / "export.txt";
  ASSERT_TRUE(form.ExportLog(exported.string()));
  std::string expected;
  for (const auto& l : lines) expected += l + "\r\n";
  EXPECT_EQ(test::ReadFile(exported), expected);
  EXPECT_FALSE(form.ExportLog((settings / "no-such-folder" / "x.txt").string()));

  boxes->Answer(platform::IDNO);
  form.ClearLog();
  EXPECT_TRUE(fs::exists(settings / "yux.log"));
  EXPECT_EQ(boxes->Asked().back().text, "The log file will be completely removed. Proceed?");

  // Cleared during a run: the run keeps its flag.
  RunActive = true;
  boxes->Answer(platform::IDYES);
  form.ClearLog();
  EXPECT_FALSE(fs::exists(settings / "yux.log"));
  EXPECT_EQ(form.loglist->count(), 0);
  EXPECT_TRUE(RunActive);
  RunActive = false;
}

TEST_F(PresetList, LayoutFollowsTheWindowsSize) {
  TForm1 form;
  form.show();
  struct Case {
    int width;
    bool autoWidths;
    int dateColumns;
  };
  for (const Case& c : {Case{500, true, 0}, Case{700, true, 160}, Case{500, false, 150}}) {
    SCOPED_TRACE(c.width);
    Options.acw = c.autoWidths;
    form.resize(c.width, 460);
    QCoreApplication::processEvents();
    form.LayoutControls();
    const int clientWidth = form.client->width();
    EXPECT_EQ(form.list->width(), clientWidth - 20);
    EXPECT_EQ(form.list->columnWidth(1), c.dateColumns);
    EXPECT_EQ(form.list->columnWidth(2), c.dateColumns);
    if (c.autoWidths) {
      EXPECT_EQ(form.list->columnWidth(0), clientWidth - 20 - 2 * c.dateColumns - 30);
    }
    EXPECT_EQ(form.loglist->height(),
              form.client->height() - Options.plh - 40 - form.ToolBar1->height());
  }
}
