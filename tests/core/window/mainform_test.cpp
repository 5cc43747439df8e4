// The main window in this process: its creation, the log list, the close
// query with the exit password, the end of the session during a run, and
// language files applied to the main and the schedule window.
#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QComboBox>
#include <QGroupBox>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "core/schedule/scheduler.h"
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
#include "platform/broadcast.h"
#include "platform/messagebox.h"
#include "platform/messages.h"
#include "platform/namedobjects.h"
#include "tests/core/program_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class MainWindow : public test::ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
  }
  void TearDown() override {
    test::ProgramTest::TearDown();
  }
  std::vector<std::string> LogTexts() {
    std::vector<std::string> out;
    std::string all = test::ReadFile(settings / "yux.log");
    size_t pos = 0;
    while (pos < all.size()) {
      size_t end = all.find("\r\n", pos);
      if (end == std::string::npos) break;
      out.push_back(all.substr(pos + 22, end - pos - 22));
      pos = end + 2;
    }
    return out;
  }
  static void PumpFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }

  test::FakeHooks hooks;
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
};

}  // namespace

TEST_F(MainWindow, SessionEndDuringARunAbortsWaitsForTheWindDownAndClosesInOrder) {
  TForm1 form;
  ASSERT_EQ(form.FormCreate({}), std::nullopt);
  ASSERT_FALSE(SecondInstance);

  // A run that does not wind down in time keeps the program open.
  RunActive = true;
  form.SessionEnding(300);
  EXPECT_TRUE(AbortRequested);
  EXPECT_FALSE(form.Closed());
  EXPECT_FALSE(form.QueryEndSession());

  // A run that ends its wind-down while the session waits for it.
  AbortRequested = false;
  bool sawAbort = false;
  QTimer windDown;
  windDown.setInterval(20);
  QObject::connect(&windDown, &QTimer::timeout, [&] {
    if (AbortRequested) {
      sawAbort = true;
      RunActive = false;
    }
  });
  windDown.start();
  form.SessionEnding(5000);
  EXPECT_TRUE(sawAbort);
  EXPECT_TRUE(form.Closed());

  auto texts = LogTexts();
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[texts.size() - 3], "Windows is shutting down.");
  EXPECT_EQ(texts[texts.size() - 2], "YUX halts.");
  EXPECT_EQ(texts.back(), "");
  // The refused attempt was logged too, but closed nothing.
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "YUX halts."), 1);
  EXPECT_TRUE(fs::exists(settings / "yux.opt"));
}

// An end of the session whose close the exit password refuses leaves the
// program as it was: a scheduled preset runs to its end, and the next
// signal is asked about again and, with the right password, closes.
TEST_F(MainWindow, RefusedSessionEndLeavesTheProgramRunning) {
  TForm1 form;
  ASSERT_EQ(form.FormCreate({}), std::nullopt);
  ASSERT_FALSE(SecondInstance);
  const std::string savedArchiver = WinRarPath;
  struct Restore {
    std::string archiver;
    ~Restore() { WinRarPath = archiver; }
  } restore{savedArchiver};
  WinRarPath = test::BuiltProgram("winrar").string();
  test::WriteFile(settings / "source" / "a.txt", "a");
  tarcopt preset;
  SetPresetDefaults(preset);
  preset.nam = "Daily";
  preset.dtf.clear();
  preset.vol = "None";
  preset.ctf = true;
  preset.dir = (settings / "dest").string();
  ASSERT_TRUE(SavePreset("Daily", preset));
  ASSERT_TRUE(WritePresetList("Daily", ".inc", {(settings / "source").string()}));
  ASSERT_TRUE(WritePresetList("Daily", ".exc", {}));
  form.LoadPresetList();
  Options.spe = true;
  Options.sgp = "pw";
  const std::string refused = "The close at the end of the session was refused; YUX goes on.";
  auto count = [&](const std::string& text) {
    const auto texts = LogTexts();
    return std::count(texts.begin(), texts.end(), text);
  };

  struct Signal {
    const char* what;
    bool accept;
    std::string entry;
  };
  const Signal refusedSignals[] = {{"dialog cancelled", false, ""}, {"wrong password", true, "wrong"}};
  for (const Signal& sig : refusedSignals) {
    SCOPED_TRACE(sig.what);
    const auto before = count(refused);
    hooks.accept = sig.accept;
    hooks.entry = sig.entry;
    form.TerminationSignal();
    ASSERT_TRUE(platform::WaitPumping([&] { return count(refused) == before + 1; }, 20000, 20)) << hooks.asked;
    EXPECT_FALSE(form.Closed());
    EXPECT_FALSE(ForcedClose);

    // Runs go on: a due entry runs its preset to the end.
    fs::remove_all(settings / "dest");
    tschopt entry = ParseCommandParams("Daily");
    ASSERT_TRUE(AddToSchedule(entry));
    const auto done = count("Daily: Done.");
    SchedulerTick();
    EXPECT_EQ(count("Daily: Done."), done + 1);
    EXPECT_EQ(count("Daily: Called by the scheduler."), done + 1);
    EXPECT_TRUE(Schedule.Empty());
    EXPECT_TRUE(fs::exists(settings / "dest" / "Daily.rar"));
  }
  EXPECT_EQ(hooks.asked, 2);

  hooks.accept = true;
  hooks.entry = "pw";
  form.TerminationSignal();
  ASSERT_TRUE(platform::WaitPumping([&] { return form.Closed(); }, 20000, 20));
  EXPECT_EQ(hooks.asked, 3);
  const auto texts = LogTexts();
  EXPECT_EQ(texts[texts.size() - 2], "YUX halts.");
}

TEST_F(MainWindow, CloseQueryAndTheExitPassword) {
  struct Case {
    const char* what;
    bool runActive, second, protect;
    std::string sgp;
    bool accept;
    std::string entry;
    bool allowed;
    int asked;
    bool incorrectBox;
  };
  const Case cases[] = {
      {"run active", true, false, false, "", true, "", false, 0, false},
      {"unprotected", false, false, false, "pw", true, "", true, 0, false},
      {"right password", false, false, true, "Pw", true, "Pw", true, 1, false},
      {"wrong case", false, false, true, "Pw", true, "pw", false, 1, true},
      {"dialog cancelled", false, false, true, "Pw", false, "", false, 1, false},
      {"empty password, empty entry", false, false, true, "", true, "", true, 1, false},
      {"second instance", false, true, true, "Pw", true, "", true, 0, false},
  };
  TForm1 form;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    platform::SetMessageBoxService(boxes);
    hooks = test::FakeHooks{};
    hooks.accept = c.accept;
    hooks.entry = c.entry;
    RunActive = c.runActive;
    SecondInstance = c.second;
    Options.spe = c.protect;
    Options.sgp = c.sgp;
    ForcedClose = true;  // the check applies to forced closes too
    EXPECT_EQ(form.FormCloseQuery(), c.allowed);
    EXPECT_EQ(hooks.asked, c.asked);
    if (c.asked) {
      EXPECT_EQ(hooks.lastCaption, "Enter admin password");
    }
    const auto asked = boxes->Asked();
    EXPECT_EQ(!asked.empty(), c.incorrectBox);
    if (!asked.empty()) {
      EXPECT_EQ(asked[0].text, "\rIncorrect password.");
      EXPECT_EQ(asked[0].Icon(), platform::MB_ICONERROR);
    }
  }
}

TEST_F(MainWindow, LogListShowsStampedLinesAndFollowsTheTruncation) {
  SettingsFolder = settings.str();
  TForm1 form;
  form.resize(640, 480);
  SetLogListSink(&form);
  std::string old;
  for (int i = 1; i <= 8; ++i) old += "[2013.03.10 10:00:0" + std::to_string(i) + "] old line " + std::to_string(i) + "\r\n";
  test::WriteFile(settings / "yux.log", old);
  LoadLogIntoList();
  ASSERT_EQ(form.LogLines().size(), 8u);

  AddLog("Backup started");
  AddPresetLog("WinRAR error 2 [!] while archiving");
  const auto lines = form.LogLines();
  const std::regex stamp(R"(\[\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\] .*)");
  EXPECT_TRUE(std::regex_match(lines[8], stamp)) << lines[8];
  EXPECT_EQ(lines[8].substr(22), "Backup started");
  EXPECT_TRUE(ErrorOccurred);

  // Truncation during a run keeps the run's flag and reloads the list.
  Options.lsz = 4;
  RunActive = true;
  TruncateLog();
  EXPECT_TRUE(RunActive);
  // The file keeps its last 4 lines and says so; the list shows no more
  // lines than the log keeps, the newest.
  const auto file = LogTexts();
  ASSERT_EQ(file.size(), 5u);
  EXPECT_EQ(file[0], "old line 7");
  EXPECT_EQ(file[4], "Log has been reduced to 4 lines.");
  const auto after = form.LogLines();
  ASSERT_EQ(after.size(), 4u);
  EXPECT_EQ(after[0].substr(22), "old line 8");
  EXPECT_EQ(after[3].substr(22), "Log has been reduced to 4 lines.");

  const fs::path screens = test::BuildDir() / "screens";
  fs::create_directories(screens);
  form.show();
  PumpFor(50);
  ASSERT_TRUE(form.grab().save(QString::fromStdString((screens / "mainwindow.png").string())));
  EXPECT_GT(fs::file_size(screens / "mainwindow.png"), 0u);
  form.hide();
}

TEST_F(MainWindow, FirstActivationTruncatesTheLogAndSaysReady) {
  SettingsFolder = settings.str();
  test::WriteFile(OptionsFilePath(), ScrambleText("ver 0") + "\r\n" + ScrambleText("lsz 5") + "\r\n");
  std::string old;
  for (int i = 0; i < 20; ++i) old += "[2013.03.10 10:00:00] old\r\n";
  test::WriteFile(settings / "yux.log", old);

  TForm1 form;
  ASSERT_EQ(form.FormCreate({}), std::nullopt);
  form.show();
  form.activateWindow();
  QElapsedTimer t;
  t.start();
  while (LogTexts().empty() || LogTexts().back() != "YUX is ready now.") {
    ASSERT_LT(t.elapsed(), 5000) << "no first activation";
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  const auto texts = LogTexts();
  ASSERT_EQ(texts.size(), 7u);  // the last 5 lines, the reduction line, ready
  EXPECT_EQ(texts[5], "Log has been reduced to 5 lines.");
  // The list holds the newest lines, no more than the log keeps.
  const auto shown = form.LogLines();
  ASSERT_EQ(shown.size(), 5u);
  for (std::size_t i = 0; i < shown.size(); ++i) EXPECT_EQ(shown[i].substr(22), texts[i + 2]);
  // A later activation does nothing.
  form.hide();
  form.show();
  form.activateWindow();
  PumpFor(100);
  EXPECT_EQ(LogTexts().size(), 7u);
}

TEST_F(MainWindow, LanguageFileTranslatesTheWindowsAndTheMessages) {
  test::TempDir program;
  ProgramFolder = program.str();
  test::WriteFile(program / "Deutsch.lng",
                  "[INFO]\r\nlanguage=Deutsch\r\n"
                  "[FORMS]\r\nForm1=YUX fuer WinRAR (de)\r\nForm1ListColumn1=Vorlage\r\n"
                  "Form5=YUX - Zeitplan\r\nForm5bAdd=Hinzufuegen\r\nForm5ondelay2=Diesmal auslassen\r\n"
                  "Form5presetbox=not translated\r\nForm5ondelay=Bei Verspaetung\r\n"
                  "[STRINGS]\r\nyuxisreadynow='YUX ist bereit.'\r\nyuxhaltsword=\"YUX h\xc3\xa4lt an.\r\n");
  TForm1 form;
  form.ApplyLanguage("Deutsch.lng");
  EXPECT_EQ(form.windowTitle().toStdString(), "YUX fuer WinRAR (de)");
  EXPECT_EQ(form.list->headerItem()->text(0).toStdString(), "Vorlage");
  EXPECT_EQ(form.list->headerItem()->text(1).toStdString(), "Scheduled execution");
  EXPECT_EQ(MessageText("yuxisreadynow"), "YUX ist bereit.");
  // A quote only at the start stays.
  EXPECT_EQ(MessageText("yuxhaltsword"), "\"YUX h\xc3\xa4lt an.");

  TForm5 schedule(&form);
  schedule.ApplyLanguage("Deutsch.lng");
  EXPECT_EQ(schedule.windowTitle().toStdString(), "YUX - Zeitplan");
  EXPECT_EQ(schedule.bAdd->text().toStdString(), "Hinzufuegen");
  EXPECT_EQ(schedule.ondelayItems[1]->text().toStdString(), "Diesmal auslassen");
  EXPECT_EQ(schedule.ondelay->title().toStdString(), "Bei Verspaetung");
  // The schedule window does not translate its edit boxes.
  EXPECT_NE(schedule.presetbox->currentText().toStdString(), "not translated");

  // A missing file keeps every text.
  ResetMessageTexts();
  TForm1 other;
  other.ApplyLanguage("Missing.lng");
  EXPECT_EQ(other.windowTitle().toStdString(), "YUX for WinRAR");
  EXPECT_EQ(MessageText("yuxisreadynow"), "YUX is ready now.");
}

TEST_F(MainWindow, ScheduleWindowPlacesTheMainWindowAndNamesTheDays) {
  TForm1 form;
  TForm5 schedule(&form);
  Options.px1 = 40;
  Options.py1 = 50;
  Options.px2 = 700;
  Options.py2 = 500;
  ASSERT_EQ(schedule.FormCreate({}), std::nullopt);
  EXPECT_EQ(form.geometry(), QRect(40, 50, 700, 500));
  EXPECT_EQ(schedule.DayNames[0], "Sunday");
  EXPECT_EQ(schedule.DayNames[6], "Saturday");

  Options.px2 = 0;  // unusable size
  schedule.PlaceMainWindow();
  EXPECT_EQ(form.geometry(), QRect(30, 30, 640, 480));
}

TEST_F(MainWindow, BinRequestsWaitWhileTheirListIsInUseAndTheAbortItemAborts) {
  TForm1 form;
  form.RegisterParamDataReceiver();
  int keeperTicks = 0;
  form.OnKeeperTimer = [&] {
    ++keeperTicks;
    form.yuxbintimerk->stop();
  };
  form.KeeperInUse = true;
  QTimer::singleShot(200, [&] {
    // Nothing was added while the list was in use.
    EXPECT_TRUE(form.KeeperList.empty());
    form.KeeperInUse = false;
  });
  // Read before the arrivals: they may be taken (and the timer started)
  // while they are sent.
  QElapsedTimer t;
  t.start();
  ASSERT_GE(platform::BroadcastTextMessage(kParamDataMessage, 0, "K/data/first"), 1);
  ASSERT_GE(platform::BroadcastTextMessage(kParamDataMessage, 0, "K/data/second"), 1);
  while (keeperTicks == 0 && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_EQ(form.KeeperList, (std::vector<std::string>{"/data/first", "/data/second"}));
  // One tick for the batch, a second after the last arrival (a coarse
  // timer may fire up to 5% early, and the elapsed time is cut to whole
  // milliseconds: 949 was seen).
  EXPECT_EQ(keeperTicks, 1);
  EXPECT_GE(t.elapsed(), 900);

  ASSERT_NE(form.abortItem, nullptr);
  EXPECT_EQ(form.abortItem->text().toStdString(), "Send ABORT request");
  AbortRequested = false;
  form.abortItem->trigger();
  EXPECT_TRUE(AbortRequested);
}
