#include "core/schedule/scheduler.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/run/presetrun.h"
#include "core/services/startup.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "platform/messages.h"
#include "platform/namedobjects.h"
#include "platform/power.h"
#include "tests/core/log_lines.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

// Log lines without their time stamps.
using test::LogLines;

// The main window as the commands see it: every call is recorded.
class RecordingActions : public SchedulerActions {
 public:
  void CloseMainWindow() override { calls.push_back(ForcedClose ? "close(forced)" : "close"); }
  void ShowMainWindow() override { calls.push_back("show"); }
  void RecreateTrayIcon() override { calls.push_back("icon"); }
  void RunPresetRow(const std::string& name) override {
    calls.push_back("run " + name);
    if (onRun) onRun();
  }
  void LoadPresetList() override {
    calls.push_back("reload");
    if (onReload) onReload();
  }
  std::vector<std::string> calls;
  std::function<void()> onRun, onReload;
};

// Sets an environment variable for a scope (an empty optional unsets it).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
    tzset();
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
    tzset();
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return DateTimeFromQt(QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms)));
}

tschopt Entry(const std::string& name, TDateTime date, int repeat = 0, int interval = 1, int ondelay = 0,
              bool precise = true, const std::string& dow = "11111110") {
  tschopt e;
  e.Name = name;
  e.Date = date;
  e.Repeat = repeat;
  e.Interval = interval;
  e.OnDelay = ondelay;
  e.Precise = precise;
  e.Dow = dow;
  return e;
}

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedSettings = SettingsFolder;
    SettingsFolder = dir.str();
    Options = topt{};
    Options.son = true;
    Options.shp = 1;
    ErrorOccurred = false;
    RunActive = false;
    AbortRequested = false;
    ForcedClose = false;
    SetLogListSink(&log);
    now = QDateTime(QDate(2026, 12, 7), QTime(10, 0));  // a Monday
    SetScheduleClock([this] { return now; });
    presets.rows = {{"Daily", "", ""}, {"Weekly", "", ""}};
    SetPresetListRows(&presets);
    SetSchedulerActions(&actions);
    platform::SetPowerBackend(&power);
    SetLogMailer(nullptr);
    Schedule.Clear();
    Schedule.OnChange = nullptr;
    ScheduleNotEmpty = false;
    NextDueTime = 0;
    SchedulerTimings().processWaitMs = 20;
  }
  void TearDown() override {
    Schedule.Clear();
    SetLogMailer(nullptr);
    platform::SetPowerBackend(nullptr);
    SetSchedulerActions(nullptr);
    SetPresetListRows(nullptr);
    SetScheduleClock(nullptr);
    SetLogListSink(nullptr);
    SchedulerTimings() = {};
    ErrorOccurred = false;
    RunActive = false;
    AbortRequested = false;
    ForcedClose = false;
    SettingsFolder = savedSettings;
  }
  void Add(const tschopt& e) {
    Schedule.Add(ScheduleOptionsToText(e));
    RefreshSchedule();
  }
  // Ticks at a clock time of the test's Monday week.
  void TickAt(int day, int h, int mi, int s = 0) {
    now = QDateTime(QDate(2026, 12, day), QTime(h, mi, s));
    SchedulerTick();
  }
  std::vector<std::string> TakeLog() {
    auto l = std::move(log.lines);
    log.lines.clear();
    return l;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& r : Schedule.Rows()) out.push_back(r.Name);
    return out;
  }

  test::TempDir dir;
  std::string savedSettings;
  LogLines log;
  QDateTime now;
  TPresetRowList presets;
  RecordingActions actions;
  platform::RecordingPowerBackend power;
};

using Strings = std::vector<std::string>;

TEST(SchedulerTime, WeekdaysAndMasks) {
  EXPECT_EQ(WeekdayOf(At(2026, 12, 7)), 1);
  EXPECT_EQ(WeekdayOf(At(2026, 12, 13, 23, 59, 59)), 7);
  EXPECT_EQ(WeekdayOf(At(1899, 12, 30)), 6);
  // A sum of many float steps that ends a hair before midnight counts as
  // the day it stands for.
  TDateTime t = At(2026, 12, 11);
  for (int i = 0; i < 96; ++i) t += 15.0 / 1440.0;
  EXPECT_EQ(WeekdayOf(t), 6);
  EXPECT_TRUE(DowAllows("00000100", At(2026, 12, 12, 8)));
  EXPECT_FALSE(DowAllows("11111000", At(2026, 12, 12, 8)));
  EXPECT_TRUE(DowAllows("", At(2026, 12, 12, 8)));  // short mask: the default
}

TEST(SchedulerTime, NextTimeTable) {
  struct Case {
    const char* what;
    tschopt entry;
    TDateTime now;
    std::optional<TDateTime> next;
  } cases[] = {
      {"precise steps from the due time", Entry("P", At(2026, 12, 7, 10), -1, 60, 0, true),
       At(2026, 12, 7, 12, 30), At(2026, 12, 7, 13)},
      {"not precise steps from now", Entry("P", At(2026, 12, 7, 10), -1, 60, 0, false), At(2026, 12, 7, 12, 30),
       At(2026, 12, 7, 13, 30)},
      {"on time, a tick into the second", Entry("P", At(2026, 12, 7, 10), -1, 60),
       At(2026, 12, 7, 10, 0, 0, 400), At(2026, 12, 7, 11)},
      {"exactly on a later step moves past it", Entry("P", At(2026, 12, 7, 10), -1, 60),
       At(2026, 12, 7, 13), At(2026, 12, 7, 14)},
      {"weekdays only, Friday to Monday", Entry("P", At(2026, 12, 11, 10), -1, 1440, 0, true, "11111000"),
       At(2026, 12, 11, 10), At(2026, 12, 14, 10)},
      {"day skip adds whole days from the due time",
       Entry("P", At(2026, 12, 11, 23, 30), -1, 60, 0, true, "11111001"), At(2026, 12, 11, 23, 30),
       At(2026, 12, 14, 23, 30)},
      {"the week mode keeps its 10080 minutes", Entry("P", At(2026, 12, 7, 10), -1, 10080, 0, true, "10101001"),
       At(2026, 12, 7, 10), At(2026, 12, 14, 10)},
      // An allowed day found from the old due time may already be past; it
      // must not be taken, or the entry would run again at once.
      {"late, no day skip: never a past time", Entry("P", At(2026, 12, 9, 10), -1, 1440, 0, true, "11110000"),
       At(2026, 12, 10, 12, 30), At(2026, 12, 14, 10)},
      {"late, day skip: never a past time", Entry("P", At(2026, 12, 10, 10), -1, 1440, 0, true, "11111001"),
       At(2026, 12, 11, 12), At(2026, 12, 14, 10)},
      {"late by days, day skip", Entry("P", At(2026, 12, 9, 10), -1, 1440, 0, true, "11111001"),
       At(2026, 12, 12, 12), At(2026, 12, 14, 10)},
      // Stepping that can never reach an allowed day ends all the same.
      {"not precise, no day skip, weekend", Entry("P", At(2026, 12, 11, 14), -1, 1440, 0, false, "11111000"),
       At(2026, 12, 11, 14), At(2026, 12, 14, 14)},
      {"whole weeks on a disallowed day", Entry("P", At(2026, 12, 8, 10), -1, 10080, 0, true, "10000000"),
       At(2026, 12, 8, 10), At(2026, 12, 21, 10)},
      {"no day allowed", Entry("P", At(2026, 12, 7, 10), -1, 60, 0, true, "00000001"), At(2026, 12, 7, 10),
       std::nullopt},
      {"no interval", Entry("P", At(2026, 12, 7, 10), -1, 0), At(2026, 12, 7, 10), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto next = NextScheduleTime(c.entry, c.now);
    ASSERT_EQ(next.has_value(), c.next.has_value());
    if (next) {
      EXPECT_EQ(DateTimeText(*next), DateTimeText(*c.next));
      EXPECT_GT(*next, c.now);
    }
  }
}

// Daylight saving in Berlin: 2026-03-29 02:00 jumps to 03:00, 2026-10-25
// 03:00 goes back to 02:00.  Schedule times are clock times.
TEST(SchedulerTime, DaylightSavingChange) {
  ScopedEnv tz("TZ", "Europe/Berlin");
  struct Case {
    const char* what;
    tschopt entry;
    TDateTime now;
    TDateTime next;
  } cases[] = {
      {"daily keeps its clock time into summer", Entry("P", At(2026, 3, 28, 10), -1, 1440),
       At(2026, 3, 28, 10), At(2026, 3, 29, 10)},
      {"daily keeps its clock time into winter", Entry("P", At(2026, 10, 24, 10), -1, 1440),
       At(2026, 10, 24, 10), At(2026, 10, 25, 10)},
      {"hourly lands in the skipped hour", Entry("P", At(2026, 3, 29, 1, 30), -1, 60), At(2026, 3, 29, 1, 30),
       At(2026, 3, 29, 2, 30)},
      {"met after the jump, it steps on", Entry("P", At(2026, 3, 29, 2, 30), -1, 60), At(2026, 3, 29, 3),
       At(2026, 3, 29, 3, 30)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto next = NextScheduleTime(c.entry, c.now);
    ASSERT_TRUE(next);
    EXPECT_EQ(DateTimeText(*next), DateTimeText(c.next));
  }

  struct Late {
    const char* what;
    TDateTime due, now;
    int tolerance;
    bool late;
  } lates[] = {
      {"within the tolerance", At(2026, 12, 7, 10), At(2026, 12, 7, 10, 0, 0, 999), 1, false},
      {"at the tolerance", At(2026, 12, 7, 10), At(2026, 12, 7, 10, 0, 1), 1, true},
      {"a skipped time met at the jump", At(2026, 3, 29, 2, 30), At(2026, 3, 29, 3), 1, false},
      {"a skipped time met well after", At(2026, 3, 29, 2, 30), At(2026, 3, 29, 3, 31), 1, true},
      {"half an hour late in summer", At(2026, 7, 1, 2, 30), At(2026, 7, 1, 3), 1, true},
      {"the repeated hour", At(2026, 10, 25, 2, 30), At(2026, 10, 25, 2, 40), 60, true},
  };
  for (const auto& c : lates) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(IsLate(c.due, c.now, c.tolerance), c.late);
  }
}

TEST_F(SchedulerTest, RepeatOnceMoreRunsTwiceThenGoes) {
  Add(Entry("Daily", At(2026, 12, 7, 10), 1, 60));
  TakeLog();
  TickAt(7, 10, 0);
  EXPECT_EQ(actions.calls, Strings{"run Daily"});
  ASSERT_EQ(Schedule.Count(), 1u);
  EXPECT_EQ(Schedule.Row(0).DateText, "2026.12.07 11:00:00 ");
  EXPECT_EQ(Schedule.Row(0).Options, "REPEAT=0 INTERVAL=60 PRECISE=1 ONDELAY=0 DOW=11111110");
  EXPECT_EQ(presets.rows[0].Scheduled, "2026.12.07 11:00:00 ");
  EXPECT_EQ(TakeLog(), Strings{"Daily: Called by the scheduler."});
  // The file follows the rows.
  EXPECT_NE(test::ReadFile(dir / "yux.sch").find("<D>2026.12.07 11:00:00 </D><P>Daily</P>"), std::string::npos);

  TickAt(7, 10, 59, 59);
  EXPECT_EQ(actions.calls.size(), 1u);
  TickAt(7, 11, 0);
  EXPECT_EQ(actions.calls, (Strings{"run Daily", "run Daily"}));
  EXPECT_TRUE(Schedule.Empty());
  EXPECT_FALSE(ScheduleNotEmpty);
  EXPECT_FALSE(fs::exists(dir / "yux.sch"));
  EXPECT_EQ(TakeLog(), (Strings{"Daily: Called by the scheduler.", "Daily: Removing from the schedule (repeat=0)."}));
  TickAt(7, 12, 0);
  EXPECT_EQ(actions.calls.size(), 2u);
}

TEST_F(SchedulerTest, OnDelayModes) {
  struct Case {
    int ondelay, repeat;
    int tickMinute;  // the entry is due at 10:00
    bool runs;
    Strings rows;
    std::string line;
  } cases[] = {
      {0, -1, 5, true, {"Daily"}, ""},
      {1, -1, 5, false, {"Daily"}, "Daily: Delayed, skipping the execution according to the options."},
      {2, -1, 5, false, {}, "Daily: Delayed, removing from the schedule according to the options."},
      {1, -1, 0, true, {"Daily"}, ""},
      {2, -1, 0, true, {"Daily"}, ""},
      // A one-time entry has no next time to skip to: it runs late.
      {1, 0, 5, true, {}, "Daily: Removing from the schedule (repeat=0)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("ondelay " + std::to_string(c.ondelay) + " repeat " + std::to_string(c.repeat) + " at :" +
                 std::to_string(c.tickMinute));
    Schedule.Clear();
    actions.calls.clear();
    Add(Entry("Daily", At(2026, 12, 7, 10), c.repeat, 60, c.ondelay));
    TakeLog();
    TickAt(7, 10, c.tickMinute);
    EXPECT_EQ(actions.calls.size(), c.runs ? 1u : 0u);
    EXPECT_EQ(Names(), c.rows);
    if (!c.rows.empty() && c.repeat != 0) {
      EXPECT_EQ(Schedule.Row(0).DateText, "2026.12.07 11:00:00 ");
    }
    const auto lines = TakeLog();
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Daily: Called by the scheduler.");
    EXPECT_EQ(lines.size() > 1 ? lines[1] : "", c.line);
  }
}

TEST_F(SchedulerTest, NothingHappensOffOrBeforeTime) {
  Add(Entry("Daily", At(2026, 12, 7, 10, 0, 5)));
  TakeLog();
  TickAt(7, 10, 0, 4);
  EXPECT_EQ(Schedule.Count(), 1u);
  Options.son = false;
  TickAt(7, 10, 0, 5);
  EXPECT_EQ(Schedule.Count(), 1u);
  EXPECT_TRUE(actions.calls.empty());
  EXPECT_TRUE(TakeLog().empty());
  Options.son = true;
  TickAt(7, 10, 0, 5);
  EXPECT_TRUE(Schedule.Empty());
  EXPECT_EQ(actions.calls, Strings{"run Daily"});
}

TEST_F(SchedulerTest, ActiveRunHoldsEntriesButAbortActsAtOnce) {
  Add(Entry("Daily", At(2026, 12, 7, 9, 59), -1, 60));
  Add(Entry("/abort", At(2026, 12, 7, 10)));
  TakeLog();
  RunActive = true;
  // The earliest waits, and the abort behind it does not wait with it.
  TickAt(7, 10, 0);
  EXPECT_EQ(Names(), Strings{"Daily"});
  EXPECT_TRUE(AbortRequested);
  AbortRequested = false;

  // With the abort first, it goes during the run, without a line, whatever
  // its repeat settings say.
  Schedule.Clear();
  Add(Entry("/abort", At(2026, 12, 7, 9, 58), -1, 60));
  Add(Entry("Daily", At(2026, 12, 7, 9, 59), -1, 60));
  TakeLog();
  TickAt(7, 10, 0);
  EXPECT_TRUE(AbortRequested);
  EXPECT_EQ(Names(), Strings{"Daily"});
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_TRUE(actions.calls.empty());

  RunActive = false;
  TickAt(7, 10, 0, 1);
  EXPECT_EQ(actions.calls, Strings{"run Daily"});
}

// While a run holds the scheduler, a due "/ABORT" behind rows that wait is
// taken at the next tick, and only it: the rows before it and any row not
// yet due stay as they were.
TEST_F(SchedulerTest, AHeldTickTakesADueAbortFromBehindTheWaitingRows) {
  Add(Entry("Daily", At(2026, 12, 7, 9, 58), -1, 60));
  Add(Entry("Weekly", At(2026, 12, 7, 9, 59)));
  Add(Entry("/ABORT", At(2026, 12, 7, 10, 0, 30)));
  Add(Entry("/ABORT", At(2026, 12, 7, 10, 1)));
  Add(Entry("Weekly", At(2026, 12, 7, 11)));
  const std::vector<tschdata> before = Schedule.Rows();
  TakeLog();
  RunActive = true;
  TickAt(7, 10, 0);  // the first abort is not due yet
  EXPECT_EQ(Schedule.Rows(), before);
  EXPECT_FALSE(AbortRequested);

  TickAt(7, 10, 0, 30);
  std::vector<tschdata> expected = before;
  expected.erase(expected.begin() + 2);
  EXPECT_EQ(Schedule.Rows(), expected);
  EXPECT_TRUE(AbortRequested);
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_TRUE(actions.calls.empty());
  // The file holds the same rows.
  Schedule.Clear();
  LoadSchedule();
  EXPECT_EQ(Schedule.Rows(), expected);
}

// A run pumps messages and the timer ticks inside it: those ticks must not
// take the next due entry (it would be gone, its run refused as busy),
// whether or not the run has raised its flag yet; an abort still acts.
TEST_F(SchedulerTest, TicksInsideARunWait) {
  Add(Entry("Daily", At(2026, 12, 7, 9, 58)));
  Add(Entry("/ABORT", At(2026, 12, 7, 9, 59)));
  Add(Entry("Weekly", At(2026, 12, 7, 10)));
  Strings rowsInside;
  actions.onRun = [&] {
    SchedulerTick();
    SchedulerTick();
    rowsInside = Names();
  };
  TickAt(7, 10, 0);
  EXPECT_EQ(actions.calls, Strings{"run Daily"});
  EXPECT_EQ(rowsInside, Strings{"Weekly"});
  EXPECT_TRUE(AbortRequested);
  actions.onRun = nullptr;
  TickAt(7, 10, 0, 1);
  EXPECT_EQ(actions.calls, (Strings{"run Daily", "run Weekly"}));
}

// Logging an error line may mail it, and the mail session handles
// messages, so a tick can come while the first one is still taking its
// entry off the schedule.  That tick must leave the entry to the first one:
// otherwise the preset runs twice and the first tick then removes or
// overwrites the next entry in its place.
TEST_F(SchedulerTest, ATickInsideTheErrorMailLeavesTheEntryAlone) {
  presets.rows = {{"Nightly [!]", "", ""}, {"Weekly", "", ""}};
  Add(Entry("Nightly [!]", At(2026, 12, 7, 10)));
  Add(Entry("Weekly", At(2026, 12, 7, 11)));
  Add(Entry("Daily", At(2026, 12, 7, 12), 2, 60));
  Options.ser = true;
  int mails = 0;
  SetErrorMailHook([&](const std::string&) {
    ++mails;
    SchedulerTick();
    return true;
  });
  TickAt(7, 10, 0);
  // The mail waits for the event loop: never sent inside the tick.
  EXPECT_EQ(mails, 0);
  FlushErrorMail();
  SetErrorMailHook(nullptr);
  EXPECT_GE(mails, 1);
  EXPECT_EQ(actions.calls, Strings{"run Nightly [!]"});
  EXPECT_EQ(Names(), (Strings{"Weekly", "Daily"}));
}

// The error mail goes out from the event loop after the tick, so the
// schedule window (or a reload after another instance's change) can no
// longer take the entry away in the middle of a tick: the tick runs and
// steps its entry, and the mail then sees the schedule as the tick left it.
TEST_F(SchedulerTest, TheErrorMailComesAfterTheTick) {
  presets.rows = {{"Nightly [!]", "", ""}, {"Weekly", "", ""}};
  for (int repeat : {0, 2}) {
    SCOPED_TRACE("repeat " + std::to_string(repeat));
    Schedule.Clear();
    actions.calls.clear();
    Add(Entry("Nightly [!]", At(2026, 12, 7, 10), repeat, 60));
    Add(Entry("Weekly", At(2026, 12, 7, 11)));
    Options.ser = true;
    std::vector<std::string> firstWhenMailed;
    SetErrorMailHook([&](const std::string&) {
      firstWhenMailed.push_back(Schedule.Empty() ? "" : Schedule.Row(0).Name);
      return true;
    });
    TickAt(7, 10, 0);
    EXPECT_TRUE(firstWhenMailed.empty());
    EXPECT_EQ(actions.calls, Strings{"run Nightly [!]"});
    FlushErrorMail();
    SetErrorMailHook(nullptr);
    ASSERT_FALSE(firstWhenMailed.empty());
    // A repeating entry was stepped to 11:00 and now follows "Weekly"'s
    // own 11:00 or leads; a single one is gone.
    if (repeat == 0) {
      EXPECT_EQ(Names(), Strings{"Weekly"});
      EXPECT_EQ(firstWhenMailed.front(), "Weekly");
    }
  }
}

// Entries due at the same second are taken one per tick, and a run holds
// the rest: none of them is late for that, whatever its delay option, and
// the next day is the same.  An entry the program could not look at in
// time (a run held it, or the scheduler tick came late) is late.
TEST_F(SchedulerTest, EntriesDueTogetherAreNotLateForWaitingBehindEachOther) {
  struct Case {
    const char* what;
    int runSeconds;      // how long each preset run takes on the clock
    bool heldAtFirst;    // a run holds the scheduler when they fall due
    int firstTickSecond;  // when the first tick comes (due at :00)
    Strings ran;
    Strings rows;
    Strings delayed;
  } cases[] = {
      {"one tick a second", 0, false, 0, {"run Zero", "run One", "run Two"}, {"Zero", "One", "Two"}, {}},
      {"runs of five minutes", 300, false, 0, {"run Zero", "run One", "run Two"}, {"Zero", "One", "Two"}, {}},
      {"held by a run", 0, true, 0, {"run Zero"}, {"Zero", "One"},
       {"One: Delayed, skipping the execution according to the options.",
        "Two: Delayed, removing from the schedule according to the options."}},
      {"first tick late", 0, false, 5, {"run Zero"}, {"Zero", "One"},
       {"One: Delayed, skipping the execution according to the options.",
        "Two: Delayed, removing from the schedule according to the options."}},
  };
  presets.rows = {{"Zero", "", ""}, {"One", "", ""}, {"Two", "", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Schedule.Clear();
    actions.calls.clear();
    for (int ondelay : {0, 1, 2})
      Add(Entry(Strings{"Zero", "One", "Two"}[ondelay], At(2026, 12, 7, 12, 30), -1, 1440, ondelay));
    actions.onRun = [&] { now = now.addSecs(c.runSeconds); };
    for (int day : {7, 8}) {
      SCOPED_TRACE(day);
      TakeLog();
      actions.calls.clear();
      if (c.heldAtFirst) {
        RunActive = true;
        TickAt(day, 12, 30, 0);
        RunActive = false;
        now = now.addSecs(600);
      } else {
        TickAt(day, 12, 30, c.firstTickSecond);
      }
      for (int i = 0; i < 4; ++i) {
        now = now.addSecs(1);
        SchedulerTick();
      }
      EXPECT_EQ(actions.calls, c.ran);
      Strings delayed;
      for (const auto& line : TakeLog())
        if (line.find("Delayed") != std::string::npos) delayed.push_back(line);
      EXPECT_EQ(delayed, c.delayed);
      EXPECT_EQ(Names(), c.rows);
      for (const auto& row : Schedule.Rows()) EXPECT_EQ(row.DateText, "2026.12.0" + std::to_string(day + 1) + " 12:30:00 ");
      if (!c.delayed.empty()) break;  // the case has shown its point
    }
  }
  actions.onRun = nullptr;
}

// While runs are refused for the end of the session, due entries wait as
// they do behind a run: nothing is called, nothing moves on.
TEST_F(SchedulerTest, RunsRefusedForTheSessionEndHoldTheEntries) {
  Add(Entry("Daily", At(2026, 12, 7, 10), -1, 1440));
  TakeLog();
  RefuseRunsForSessionEnd();
  TickAt(7, 10, 0);
  AllowRunsAgain();
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_TRUE(actions.calls.empty());
  EXPECT_EQ(Schedule.Row(0).DateText, "2026.12.07 10:00:00 ");
  TickAt(7, 10, 0, 1);
  EXPECT_EQ(actions.calls, Strings{"run Daily"});
  EXPECT_EQ(Schedule.Row(0).DateText, "2026.12.08 10:00:00 ");
}

// A clock set a year ahead steps repeating entries on by that clock; once
// it is set right they come back to their first step after now, with one
// line naming the change.  One-time entries, entries whose interval is
// longer than the change, and small corrections are left alone.
TEST_F(SchedulerTest, EntriesComeBackWhenTheClockGoesBack) {
  presets.rows = {{"Daily", "", ""}, {"Hourly", "", ""}, {"Weekdays", "", ""}, {"Once", "", ""}};
  Add(Entry("Daily", At(2026, 12, 7, 10), -1, 1440));
  Add(Entry("Hourly", At(2026, 12, 7, 10, 15), -1, 60, 0, false));
  Add(Entry("Weekdays", At(2026, 12, 7, 10, 30), -1, 1440, 0, true, "11111000"));
  Add(Entry("Once", At(2027, 12, 24, 18)));
  TickAt(7, 9, 0);  // the clock as it should be

  // Set wrong: a year ahead (a Tuesday).  Every repeating entry is late
  // and steps on by that clock.
  now = QDateTime(QDate(2027, 12, 7), QTime(11, 0));
  for (int i = 0; i < 3; ++i) SchedulerTick();
  EXPECT_EQ(actions.calls, (Strings{"run Daily", "run Hourly", "run Weekdays"}));
  EXPECT_EQ(Names(), (Strings{"Hourly", "Daily", "Weekdays", "Once"}));
  TakeLog();

  // Set right again: 2026-12-11 is a Friday and its 10:30 has passed, so
  // the weekday entry's next step is Monday.
  now = QDateTime(QDate(2026, 12, 11), QTime(10, 40));
  SchedulerTick();
  EXPECT_EQ(actions.calls.size(), 3u);
  std::vector<std::pair<std::string, std::string>> rows;
  for (const auto& r : Schedule.Rows()) rows.emplace_back(r.Name, r.DateText);
  EXPECT_EQ(rows, (std::vector<std::pair<std::string, std::string>>{{"Hourly", "2026.12.11 11:00:00 "},
                                                                    {"Daily", "2026.12.12 10:00:00 "},
                                                                    {"Weekdays", "2026.12.14 10:30:00 "},
                                                                    {"Once", "2027.12.24 18:00:00 "}}));
  EXPECT_EQ(TakeLog(), Strings{"SCHEDULER - The clock went back by 361 days (from 2027.12.07 11:00:00 to "
                               "2026.12.11 10:40:00); moved back to their first time after now: Hourly, "
                               "Daily, Weekdays."});
  // The file holds the corrected rows.
  EXPECT_NE(test::ReadFile(dir / "yux.sch").find("<D>2026.12.12 10:00:00 </D><P>Daily</P>"), std::string::npos);

  // Going back by less than an entry's interval moves nothing.
  now = now.addSecs(-1800);
  SchedulerTick();
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_EQ(Schedule.Row(0).DateText, "2026.12.11 11:00:00 ");
  // And the entries run when they are due on the right clock.
  TickAt(11, 11, 0);
  EXPECT_EQ(actions.calls.back(), "run Hourly");
}

TEST_F(SchedulerTest, MaskWithoutAnyDayIsRemoved) {
  Add(Entry("Daily", At(2026, 12, 7, 10), -1, 1440, 0, true, "00000001"));
  TakeLog();
  TickAt(7, 10, 0);
  EXPECT_TRUE(Schedule.Empty());
  EXPECT_TRUE(actions.calls.empty());
  EXPECT_EQ(TakeLog(), (Strings{"Daily: Called by the scheduler.",
                                "Daily: No day of the week is allowed, removing from the schedule. [!]"}));
}

TEST_F(SchedulerTest, PresetsAreFoundWithoutRegardToCase) {
  // Without the window's actions the scheduler runs the preset itself; the
  // run refuses here for want of an archiver, which shows that it was
  // started for "daily" and not for a preset the list does not have.
  SetSchedulerActions(nullptr);
  const std::string savedWinRar = WinRarPath;
  WinRarPath = (dir / "no-archiver").string();
  Add(Entry("daily", At(2026, 12, 7, 10)));
  Add(Entry("Gone", At(2026, 12, 7, 10, 0, 1)));
  TakeLog();
  TickAt(7, 10, 0);
  TickAt(7, 10, 0, 1);
  WinRarPath = savedWinRar;
  const auto lines = TakeLog();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "daily: Called by the scheduler.");
  EXPECT_NE(lines[2].find("[!]"), std::string::npos);  // the run's refusal
  EXPECT_EQ(lines[3], "Gone: Called by the scheduler.");
  EXPECT_EQ(lines[4], "Gone: Removing from the schedule (repeat=0).");
  EXPECT_EQ(lines[5], "SCHEDULER - No such preset - Gone. [!]");
  EXPECT_TRUE(Schedule.Empty());
}

// A due entry whose preset the list does not hold has the list read again
// once: a preset made on disk since then runs; one that is still missing
// is an error line, never a silent nothing.  The entry is rescheduled or
// removed as always.
TEST_F(SchedulerTest, APresetMissingFromTheListIsLookedForOnDiskOnce) {
  struct Case {
    const char* what;
    std::string name;
    bool appearsOnReload;
    int repeat;
    Strings calls;
    Strings log;
    Strings rows;
  } const cases[] = {
      {"in the list", "Daily", false, 0, {"run Daily"},
       {"Daily: Called by the scheduler.", "Daily: Removing from the schedule (repeat=0)."}, {}},
      {"made on disk since", "Monthly", true, 0, {"reload", "run Monthly"},
       {"Monthly: Called by the scheduler.", "Monthly: Removing from the schedule (repeat=0)."}, {}},
      {"still missing", "Gone", false, 0, {"reload"},
       {"Gone: Called by the scheduler.", "Gone: Removing from the schedule (repeat=0).",
        "SCHEDULER - No such preset - Gone. [!]"},
       {}},
      {"still missing, repeating", "Gone", false, -1, {"reload"},
       {"Gone: Called by the scheduler.", "SCHEDULER - No such preset - Gone. [!]"}, {"Gone"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    presets.rows = {{"Daily", "", ""}};
    actions.calls.clear();
    actions.onReload = [&] {
      if (c.appearsOnReload) presets.rows.push_back({c.name, "", ""});
    };
    ErrorOccurred = false;
    Schedule.Clear();
    Add(Entry(c.name, At(2026, 12, 7, 10), c.repeat, 60));
    TakeLog();
    TickAt(7, 10, 0);
    EXPECT_EQ(actions.calls, c.calls);
    EXPECT_EQ(TakeLog(), c.log);
    EXPECT_EQ(Names(), c.rows);
    EXPECT_EQ(ErrorOccurred, c.name == "Gone");
  }
  actions.onReload = nullptr;
  // The next due time of the repeating entry is kept.
  ASSERT_EQ(Schedule.Rows().size(), 1u);
  EXPECT_EQ(Schedule.Rows()[0].DateText, "2026.12.07 11:00:00 ");
}

TEST_F(SchedulerTest, SecondInstanceSignalsAReload) {
  ScopedEnv ns("YUX_NS", test::UniqueNamespace());
  struct RemoveRuntime {
    ~RemoveRuntime() {
      std::error_code ec;
      if (const std::string d = platform::RuntimeFolder(); !d.empty()) fs::remove_all(d, ec);
    }
  } removeRuntime;
  Add(Entry("Daily", At(2026, 12, 8, 10)));
  // What a second instance does: it writes the file and sets the event.
  test::WriteFile(dir / "yux.sch",
                  "<D>2026.12.07 10:00:00 </D><P>Weekly</P><O>REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 "
                  "DOW=11111110</O>\r\n<D>2026.12.08 10:00:00 </D><P>Daily</P><O>REPEAT=0 INTERVAL=1 "
                  "PRECISE=1 ONDELAY=0 DOW=11111110</O>\r\n");
  auto event = platform::NamedEvent::Create(kSchedulerEventName, true);
  ASSERT_TRUE(event);
  TakeLog();

  // Switched off, the scheduler runs nothing but still takes the other
  // instance's rows in, so that its own saves cannot lose them.
  Options.son = false;
  TickAt(7, 9, 0);
  EXPECT_EQ(TakeLog(), Strings{"Another instance of YUX has updated the scheduler."});
  EXPECT_EQ(Names(), (Strings{"Weekly", "Daily"}));
  EXPECT_EQ(presets.rows[1].Scheduled, "2026.12.07 10:00:00 ");
  TickAt(7, 10, 0);
  EXPECT_TRUE(actions.calls.empty());

  Options.son = true;
  // The event was consumed: the next tick reloads nothing.
  TickAt(7, 10, 0, 1);
  EXPECT_EQ(TakeLog(), (Strings{"Weekly: Called by the scheduler.", "Weekly: Removing from the schedule (repeat=0)."}));
  EXPECT_EQ(actions.calls, Strings{"run Weekly"});
}

TEST_F(SchedulerTest, WindowAndPowerCommands) {
  using P = platform::PowerAction;
  using R = platform::RecordingPowerBackend::Request;
  struct Case {
    std::string command;
    Strings calls;
    std::vector<R> power;
    std::string line;
  } cases[] = {
      {"/EXIT", {"close(forced)"}, {}, ""},
      {"/SafeExit", {"close(forced)"}, {}, ""},
      {"/SHOW", {"show", "icon"}, {}, ""},
      {"/SHOWICON", {"icon"}, {}, ""},
      {"/REBOOT", {}, {{P::Reboot, true}}, "Rebooting the system."},
      {"/shutdown", {}, {{P::PowerOff, true}}, "Shutting down the system."},
      {"/LOGOFF", {}, {{P::LogOff, true}}, "Logging off from the system."},
      {"/HIBERNATE", {}, {{P::Hibernate, false}}, "Hibernating."},
      {"/SUSPEND", {}, {{P::Suspend, false}}, "Suspending."},
      {"/EWX_LOGOFF", {}, {}, ""},
  };
  power.result = false;  // a refused power action changes nothing else
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    actions.calls.clear();
    power.requests.clear();
    ForcedClose = false;
    Add(Entry(c.command, At(2026, 12, 7, 10)));
    TakeLog();
    TickAt(7, 10, 0);
    EXPECT_TRUE(Schedule.Empty());
    EXPECT_EQ(actions.calls, c.calls);
    EXPECT_EQ(power.requests, c.power);
    const auto lines = TakeLog();
    ASSERT_EQ(lines.size(), c.line.empty() ? 2u : 3u);
    EXPECT_EQ(lines[0], c.command + ": Called by the scheduler.");
    if (!c.line.empty()) {
      EXPECT_EQ(lines[2], c.line);
    }
  }

  // After an error line the safe exit is refused.
  actions.calls.clear();
  ForcedClose = false;
  AddLog("something failed [!]");
  Add(Entry("/SAFEEXIT", At(2026, 12, 7, 10)));
  TakeLog();
  TickAt(7, 10, 0);
  EXPECT_TRUE(actions.calls.empty());
  EXPECT_FALSE(ForcedClose);
  EXPECT_EQ(TakeLog().back(), "/SAFEEXIT call was ignored due to an error.");
}

TEST_F(SchedulerTest, TruncateLogCommand) {
  std::string text;
  for (int i = 1; i <= 10; ++i) text += "[2026.12.01 10:00:00] line " + std::to_string(i) + "\r\n";
  test::WriteFile(dir / "yux.log", text);
  Options.lsz = 3;
  Add(Entry("/TRUNCLOG", At(2026, 12, 7, 10)));
  TickAt(7, 10, 0);
  const std::string after = test::ReadFile(dir / "yux.log");
  EXPECT_EQ(after.find("line 1\r\n"), std::string::npos);
  EXPECT_NE(after.find("Truncating the log file.\r\n"), std::string::npos);
  EXPECT_NE(after.find("Log has been reduced to 3 lines."), std::string::npos);
  EXPECT_FALSE(RunActive);
}

TEST_F(SchedulerTest, SendLogCommand) {
  std::vector<int> mailed;
  bool activeWhileMailing = false;
  bool mailResult = true;
  auto mailer = [&](int hours) {
    mailed.push_back(hours);
    activeWhileMailing = RunActive;
    return mailResult;
  };
  struct Case {
    std::string command;
    bool settings, mailer, result;
    std::vector<int> mailed;
    Strings lines;  // after the two lines of the call
  } cases[] = {
      {"/SENDLOG", false, true, true, {},
       {"/SENDLOG requires SMTP server name, FROM and TO emails specified on settings/error reporting page. [!]"}},
      {"/SENDLOG(48)", true, true, true, {48},
       {"/SENDLOG requested log for 48 hours.", "Log report was successfully sent."}},
      {"/SENDLOG(48", true, true, true, {24},
       {"/SENDLOG requested log for 24 hours.", "Log report was successfully sent."}},
      {"/sendlog(x)", true, true, false, {24},
       {"/SENDLOG requested log for 24 hours.", "Couldn't send log report. [!]"}},
      {"/SENDLOG", true, false, true, {},
       {"/SENDLOG requested log for 24 hours.", "Couldn't send log report. [!]"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    Options.ssr = c.settings ? "smtp.example" : "";
    Options.sfm = "yux@example";
    Options.sto = "admin@example";
    mailed.clear();
    mailResult = c.result;
    activeWhileMailing = false;
    if (c.mailer)
      SetLogMailer(mailer);
    else
      SetLogMailer(nullptr);
    Add(Entry(c.command, At(2026, 12, 7, 10)));
    TakeLog();
    TickAt(7, 10, 0);
    EXPECT_EQ(mailed, c.mailed);
    EXPECT_EQ(activeWhileMailing, !c.mailed.empty());
    EXPECT_FALSE(RunActive);
    auto lines = TakeLog();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Strings(lines.begin() + 2, lines.end()), c.lines);
  }
}

TEST_F(SchedulerTest, UnscheduleCommand) {
  struct Case {
    std::string command;
    Strings left;
    Strings lines;  // after the two lines of the call
  } cases[] = {
      {"/UNSCHEDULE", {"Weekly"}, {"Daily: Removing from the schedule (/unschedule request)."}},
      {"/unschedule(2)", {"Daily"}, {"Weekly: Removing from the schedule (/unschedule request)."}},
      {"/UNSCHEDULE(3)", {"Daily", "Weekly"}, {"Command \"/UNSCHEDULE(3)\" - invalid parameter. [!]"}},
      {"/UNSCHEDULE(0)", {"Daily", "Weekly"}, {"Command \"/UNSCHEDULE(0)\" - invalid parameter. [!]"}},
      {"/UNSCHEDULE(x)", {"Daily", "Weekly"},
       {"Command \"/UNSCHEDULE(x)\" - invalid parameter, set to 0. [!]",
        "Command \"/UNSCHEDULE(x)\" - invalid parameter. [!]"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    Schedule.Clear();
    Schedule.Add(ScheduleOptionsToText(Entry(c.command, At(2026, 12, 7, 10))));
    Add(Entry("Daily", At(2026, 12, 8, 10)));
    Add(Entry("Weekly", At(2026, 12, 9, 10)));
    TakeLog();
    TickAt(7, 10, 0);
    EXPECT_EQ(Names(), c.left);
    auto lines = TakeLog();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Strings(lines.begin() + 2, lines.end()), c.lines);
  }
}

// The two execute commands with real child processes.
TEST_F(SchedulerTest, ExecuteCommandsStartRealPrograms) {
  const fs::path done = dir / "done";
  const std::string shell = test::FindProgram("sh");
  ASSERT_FALSE(shell.empty());
  ScopedEnv var("YUX_TEST_SHELL", shell);

  // Sync: the tick returns once the program has ended; the environment
  // string is expanded.
  Add(Entry("/EXECSYNC(%YUX_TEST_SHELL%|-c \"sleep 0.3; echo sync > '" + done.string() + "'\")",
            At(2026, 12, 7, 10)));
  TakeLog();
  TickAt(7, 10, 0);
  EXPECT_EQ(test::ReadFile(done), "sync\n");
  EXPECT_FALSE(RunActive);
  auto lines = TakeLog();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "SCHEDULER -  Sync execution:  %YUX_TEST_SHELL%");

  // Async: the tick returns at once, the program goes on.
  fs::remove(done);
  Add(Entry("/EXECASYNC( " + shell + " |-c \"sleep 0.3; echo async > '" + done.string() + "'\")",
            At(2026, 12, 7, 10)));
  TakeLog();
  TickAt(7, 10, 0);
  EXPECT_FALSE(fs::exists(done));
  EXPECT_FALSE(RunActive);
  EXPECT_EQ(TakeLog().back(), "SCHEDULER -  Async execution:  " + shell);
  for (int i = 0; i < 100 && !fs::exists(done); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(test::ReadFile(done), "async\n");

  // No program, a program that cannot start.
  for (const std::string command : {"/EXECSYNC()", "/EXECSYNC(|x)", "/EXECSYNC(x)y"}) {
    Add(Entry(command, At(2026, 12, 7, 10)));
    TakeLog();
    TickAt(7, 10, 0);
    EXPECT_EQ(TakeLog().size(), 2u) << command;
  }
  Add(Entry("/EXECSYNC(" + (dir / "missing").string() + ")", At(2026, 12, 7, 10)));
  TakeLog();
  TickAt(7, 10, 0);
  EXPECT_EQ(TakeLog().back(), "Cannot execute external program [!]");
  EXPECT_FALSE(RunActive);
}

// While "/EXECSYNC" waits, the timer's ticks go on: a due preset waits for
// the program, a due "/ABORT" ends the wait.
TEST_F(SchedulerTest, SyncExecutionWaitsUnderTicks) {
  const std::string sleeper = test::FindProgram("sleep");
  ASSERT_FALSE(sleeper.empty());
  QTimer timer;
  int ticks = 0;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    ++ticks;
    now = now.addMSecs(250);
    SchedulerTick();
  });

  Add(Entry("/EXECSYNC(" + sleeper + "|1)", At(2026, 12, 7, 10)));
  Add(Entry("Daily", At(2026, 12, 7, 10, 0, 1)));
  timer.start(10);
  TickAt(7, 10, 0);
  timer.stop();
  EXPECT_GE(ticks, 5);
  EXPECT_TRUE(actions.calls.empty());
  EXPECT_EQ(Names(), Strings{"Daily"});
  EXPECT_FALSE(RunActive);

  // The abandoned program keeps no pipe of the test runner open.
  Schedule.Clear();
  ticks = 0;
  const std::string shell = test::FindProgram("sh");
  ASSERT_FALSE(shell.empty());
  Add(Entry("/EXECSYNC(" + shell + "|-c \"exec " + sleeper + " 5 >/dev/null 2>&1\")", At(2026, 12, 7, 10)));
  Add(Entry("/ABORT", At(2026, 12, 7, 10, 0, 1)));
  timer.start(10);
  const auto start = std::chrono::steady_clock::now();
  TickAt(7, 10, 0);
  timer.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_TRUE(AbortRequested);
  EXPECT_FALSE(RunActive);
  EXPECT_TRUE(Schedule.Empty());
}

// "/ABORT" with nothing to abort leaves no flag behind, and a later
// "/EXECSYNC" (or one after a stray abort of the window) still waits.
TEST_F(SchedulerTest, AbortWithNothingRunningLeavesNoFlag) {
  const std::string sleeper = test::FindProgram("sleep");
  ASSERT_FALSE(sleeper.empty());
  Add(Entry("/ABORT", At(2026, 12, 7, 9, 59)));
  TickAt(7, 10, 0);
  EXPECT_FALSE(AbortRequested);
  for (bool stray : {false, true}) {
    SCOPED_TRACE(stray);
    AbortRequested = stray;
    Add(Entry("/EXECSYNC(" + sleeper + "|0.5)", At(2026, 12, 7, 10)));
    const auto start = std::chrono::steady_clock::now();
    TickAt(7, 10, 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
  }
}

}  // namespace
