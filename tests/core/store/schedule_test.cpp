#include "core/store/schedule.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "tests/core/log_lines.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

// Log lines without their time stamps.
using test::LogLines;

const QDateTime kNow(QDate(2026, 12, 10), QTime(13, 30, 0));

class ScheduleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedSettings = SettingsFolder;
    SettingsFolder = dir.str();
    Options = topt{};
    ErrorOccurred = false;
    SetLogListSink(&log);
    SetScheduleClock([] { return kNow; });
    presets.rows = {{"Daily", "", ""}, {"Weekly", "", ""}, {"Docs", "", ""}};
    SetPresetListRows(&presets);
    SetSchedulerTimerStarter([this] { ++timerStarts; });
    Schedule.Clear();
    Schedule.OnChange = nullptr;
    ScheduleNotEmpty = false;
    NextDueTime = 0;
  }
  void TearDown() override {
    Schedule.OnChange = nullptr;
    Schedule.Clear();
    SetSchedulerTimerStarter(nullptr);
    SetPresetListRows(nullptr);
    SetScheduleClock(nullptr);
    SetLogListSink(nullptr);
    SetLogHook(nullptr);
    ErrorOccurred = false;
    SettingsFolder = savedSettings;
  }
  static TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return DateTimeFromQt(QDateTime(QDate(y, mo, d), QTime(h, mi, s)));
  }
  std::vector<std::string> TakeLog() {
    auto l = std::move(log.lines);
    log.lines.clear();
    return l;
  }

  test::TempDir dir;
  std::string savedSettings;
  LogLines log;
  TPresetRowList presets;
  int timerStarts = 0;
};

const std::string kRepeatError = "SCHEDULER - Error in REPEAT format; set to default. [!]";
const std::string kIntervalError = "SCHEDULER - Error in INTERVAL format; set to default. [!]";
const std::string kOnDelayError = "SCHEDULER - Error in ONDELAY format; set to default. [!]";
const std::string kDateError = "SCHEDULER - Error in DATE format; set to default. [!]";

}  // namespace

TEST_F(ScheduleTest, DateValuesAndTexts) {
  struct Case {
    QDateTime dt;
    TDateTime value;
    const char* text;
  } cases[] = {
      {QDateTime(QDate(1899, 12, 30), QTime(0, 0)), 0.0, "1899.12.30 00:00:00"},
      {QDateTime(QDate(1900, 1, 1), QTime(12, 0)), 2.5, "1900.01.01 12:00:00 "},
      {QDateTime(QDate(2026, 12, 24), QTime(0, 0)), 46380.0, "2026.12.24 00:00:00"},
      {QDateTime(QDate(2026, 12, 24), QTime(18, 0)), 46380.75, "2026.12.24 18:00:00 "},
      {QDateTime(QDate(1899, 12, 29), QTime(6, 0)), -1.25, "1899.12.29 06:00:00 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_DOUBLE_EQ(DateTimeFromQt(c.dt), c.value);
    EXPECT_EQ(DateTimeText(c.value), c.text);
    EXPECT_EQ(QtFromDateTime(c.value), c.dt);
    EXPECT_EQ(DateTimeFromText(c.text), c.value);
  }
  // Sums of minutes carry float error; texts round to the millisecond, so
  // 24 steps of an hour still land on the hour, not a second before it.
  TDateTime t = At(2026, 12, 24, 22);
  for (int i = 0; i < 24 * 7; ++i) t += 60.0 / 1440.0;
  EXPECT_EQ(DateTimeText(t), "2026.12.31 22:00:00 ");
  // A day later keeps the clock time whatever the season.
  EXPECT_EQ(DateTimeText(At(2026, 3, 28, 22) + 1.0), "2026.03.29 22:00:00 ");
  EXPECT_DOUBLE_EQ(Now(), At(2026, 12, 10, 13, 30));
}

TEST_F(ScheduleTest, RequestParserTable) {
  const TDateTime now = Now();
  const TDateTime xmas = At(2026, 12, 24, 22);
  struct Case {
    std::string request;
    std::string name;
    TDateTime date;
    int repeat, interval, ondelay;
    bool precise;
    std::vector<std::string> log;
  } cases[] = {
      {"Daily", "Daily", now, 0, 1, 0, true, {}},
      {"/EXIT", "/EXIT", now, 0, 1, 0, true, {}},
      {"Daily[DATE=2026.12.24 22:00:00][REPEAT=-1][INTERVAL=1440]", "Daily", xmas, -1, 1440, 0, true, {}},
      {"Daily[date=2026.12.24 22:00:00 ][ondelay=2][precise=0]", "Daily", xmas, 0, 1, 2, false, {}},
      {"Daily[PRESICE=0]", "Daily", now, 0, 1, 0, false, {}},
      {"Daily[PRECISE=yes]", "Daily", now, 0, 1, 0, true, {}},
      {"Daily [DATE=2026.12.24 22:00:00]", "Daily ", xmas, 0, 1, 0, true, {}},
      {"Dai[REPEAT=3]ly", "Daily", now, 3, 1, 0, true, {}},
      {"Daily[REPEAT=-2]", "Daily", now, 0, 1, 0, true, {kRepeatError}},
      {"Daily[REPEAT=often]", "Daily", now, 0, 1, 0, true, {kRepeatError}},
      {"Daily[INTERVAL=0]", "Daily", now, 0, 1, 0, true, {kIntervalError}},
      {"Daily[INTERVAL=1h]", "Daily", now, 0, 1, 0, true, {kIntervalError}},
      {"Daily[ONDELAY=3]", "Daily", now, 0, 1, 0, true, {kOnDelayError}},
      {"Daily[ONDELAY=-1]", "Daily", now, 0, 1, 0, true, {kOnDelayError}},
      {"Daily[DATE=2026.02.30 10:00:00]", "Daily", now, 0, 1, 0, true, {kDateError}},
      {"Daily[DATE=tomorrow][REPEAT=2]", "Daily", now, 2, 1, 0, true, {kDateError}},
      {"Daily[dow=1111100][]", "Daily", now, 0, 1, 0, true,
       {"SCHEDULER - Unrecognized parameter \"DOW=1111100\"; skipped. [!]",
        "SCHEDULER - Unrecognized parameter \"\"; skipped. [!]"}},
      // A "]" before the first "[" ends the items: the rest is the name.
      {"Daily][REPEAT=5]", "Daily][REPEAT=5]", now, 0, 1, 0, true, {}},
      {"A[REPEAT=1]x]y[INTERVAL=5]", "Ax]y[INTERVAL=5]", now, 1, 1, 0, true, {}},
      {"Daily[REPEAT=1", "Daily[REPEAT=1", now, 0, 1, 0, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    const tschopt e = ParseCommandParams(c.request);
    EXPECT_EQ(e.Name, c.name);
    EXPECT_DOUBLE_EQ(e.Date, c.date);
    EXPECT_EQ(e.Repeat, c.repeat);
    EXPECT_EQ(e.Interval, c.interval);
    EXPECT_EQ(e.OnDelay, c.ondelay);
    EXPECT_EQ(e.Precise, c.precise);
    EXPECT_EQ(e.Dow, "");
    EXPECT_EQ(TakeLog(), c.log);
  }
}

TEST_F(ScheduleTest, RowTextsBothWays) {
  tschopt e;
  e.Date = At(2026, 12, 24, 22);
  e.Name = "Daily";
  e.Repeat = -1;
  e.Interval = 1440;
  e.Precise = true;
  e.OnDelay = 0;
  e.Dow = "11111110";
  const tschdata row = ScheduleOptionsToText(e);
  EXPECT_EQ(row, (tschdata{"2026.12.24 22:00:00 ", "Daily",
                           "REPEAT=-1 INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110"}));
  EXPECT_EQ(ParseScheduleEntry(row), e);

  tschopt midnight{At(2027, 1, 4), "/UNSCHEDULE(2)", 3, 10080, 2, false, "11111001"};
  const tschdata m = ScheduleOptionsToText(midnight);
  EXPECT_EQ(m.DateText, "2027.01.04 00:00:00");
  EXPECT_EQ(m.Options, "REPEAT=3 INTERVAL=10080 PRECISE=0 ONDELAY=2 DOW=11111001");
  EXPECT_EQ(ParseScheduleEntry(m), midnight);

  e.Dow = "111";  // too short: the default mask
  EXPECT_EQ(ScheduleOptionsToText(e).Options, "REPEAT=-1 INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110");
}

TEST_F(ScheduleTest, RowParserAcceptsVariantsAndRefusesDamage) {
  const std::string date = "2026.12.24 22:00:00";
  struct Good {
    std::string options;
    int repeat, interval;
    bool precise;
    int ondelay;
    std::string dow;
  } good[] = {
      {"REPEAT=5 INTERVAL=60 PRESICE=0 ONDELAY=1 DOW=10101011", 5, 60, false, 1, "10101011"},
      {"repeat=5 interval=60 precise=0 ondelay=1 dow=10101011", 5, 60, false, 1, "10101011"},
      {"REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=101", 0, 1, true, 0, "11111110"},
      {"REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0", 0, 1, true, 0, "11111110"},
  };
  for (const auto& g : good) {
    SCOPED_TRACE(g.options);
    for (const std::string& text : {date, date + " "}) {
      auto e = ParseScheduleEntry({text, "Daily", g.options});
      ASSERT_TRUE(e.has_value());
      EXPECT_DOUBLE_EQ(e->Date, At(2026, 12, 24, 22));
      EXPECT_EQ(e->Repeat, g.repeat);
      EXPECT_EQ(e->Interval, g.interval);
      EXPECT_EQ(e->Precise, g.precise);
      EXPECT_EQ(e->OnDelay, g.ondelay);
      EXPECT_EQ(e->Dow, g.dow);
    }
  }
  const tschdata bad[] = {
      {"24.12.2026 22:00", "Daily", "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110"},
      {"", "Daily", "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110"},
      {date, "Daily", "REPEAT=x INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110"},
      {date, "Daily", "INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110"},
      {date, "Daily", "REPEAT=0 INTERVAL= PRECISE=1 ONDELAY=0"},
      {date, "Daily", "REPEAT=0 INTERVAL=1 ONDELAY=0"},
      {date, "Daily", ""},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.DateText + "|" + b.Options);
    EXPECT_FALSE(ParseScheduleEntry(b).has_value());
  }
}

TEST_F(ScheduleTest, RowsStayOrderedByDateText) {
  std::vector<std::string> changes;
  Schedule.OnChange = [&] { changes.push_back("x"); };
  const std::string opts = "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110";
  Schedule.Add({"2026.12.24 22:00:00 ", "B", opts});
  Schedule.Add({"2026.12.24 00:00:00", "A", opts});
  Schedule.Add({"2026.12.24 22:00:00 ", "C", opts});  // equal texts keep their order
  EXPECT_EQ(Schedule.Add({"2025.01.01 00:00:00", "First", opts}), 0u);
  auto names = [] {
    std::string s;
    for (const auto& r : Schedule.Rows()) s += r.Name + ",";
    return s;
  };
  EXPECT_EQ(names(), "First,A,B,C,");
  EXPECT_EQ(Schedule.Replace(0, {"2027.01.01 00:00:00", "First", opts}), 3u);
  EXPECT_EQ(names(), "A,B,C,First,");
  Schedule.Delete(1);
  Schedule.Delete(17);  // out of range: nothing
  EXPECT_EQ(names(), "A,C,First,");
  EXPECT_EQ(changes.size(), 6u);
}

TEST_F(ScheduleTest, AddChecksCommandsAndPresets) {
  struct Case {
    std::string name;
    bool added;
    std::vector<std::string> log;  // before the "Added" line
  } cases[] = {
      {"/exit", true, {}},
      {"/EWX_LOGOFF", true, {}},
      {"/SendLog(48)", true, {}},
      {"/unschedule(2)", true, {"2"}},
      {"/UNSCHEDULE", true, {}},
      {"/UNSCHEDULE)1(", true, {}},
      {"/UNSCHEDULE(x)", false, {"Command \"/UNSCHEDULE(x)\" - invalid parameter, canceled. [!]"}},
      {"/EXECSYNC(/usr/bin/true|-v)", true, {}},
      {"/execasync(prog)", true, {}},
      {"/EXECSYNC", false, {"SCHEDULER - Unknown command - /EXECSYNC. [!]"}},
      {"/EXECSYNC)(", false, {"SCHEDULER - Unknown command - /EXECSYNC)(. [!]"}},
      {"/EXITNOW", false, {"SCHEDULER - Unknown command - /EXITNOW. [!]"}},
      {"/yux-keeper", false, {"SCHEDULER - Unknown command - /yux-keeper. [!]"}},
      {"Daily", true, {}},
      {"weekly", true, {}},
      {"Daily ", false, {"SCHEDULER - No such preset - Daily . [!]"}},
      {"Nope", false, {"SCHEDULER - No such preset - Nope. [!]"}},
      {"/SENDLOG\r\n<D>2020.01.01</D>", false, {"SCHEDULER - Unknown command - /SENDLOG  <D>2020.01.01</D>. [!]"}},
      {"Daily\nDaily", false, {"SCHEDULER - No such preset - Daily Daily. [!]"}},
  };
  std::size_t rows = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tschopt e;
    e.Name = c.name;
    e.Date = At(2026, 12, 24, 22);
    EXPECT_EQ(AddToSchedule(e), c.added);
    auto expected = c.log;
    if (c.added) {
      expected.push_back("SCHEDULER - Added: " + c.name + " @ 2026.12.24 22:00:00 ");
      ++rows;
    }
    EXPECT_EQ(TakeLog(), expected);
    EXPECT_EQ(Schedule.Count(), rows);
  }
  for (const auto& r : Schedule.Rows()) EXPECT_NE(r.Options.find(" DOW=11111110"), std::string::npos);
}

TEST_F(ScheduleTest, RefreshFillsColumnsAndSavesFile) {
  // Later rows first, to see the order of the rows decide.
  auto add = [](const char* name, TDateTime date, int repeat) {
    tschopt e;
    e.Name = name;
    e.Date = date;
    e.Repeat = repeat;
    e.Interval = 1440;
    ASSERT_TRUE(AddToSchedule(e));
  };
  add("Daily", At(2026, 12, 25, 8), -1);
  add("Daily", At(2026, 12, 24, 22), 0);
  add("weekly", At(2026, 12, 20, 6), 0);  // another case: accepted, but no column
  add("/EXIT", At(2026, 12, 26), 0);
  EXPECT_GE(timerStarts, 1);
  EXPECT_TRUE(ScheduleNotEmpty);
  EXPECT_DOUBLE_EQ(NextDueTime, At(2026, 12, 20, 6));
  EXPECT_EQ(presets.rows[0].Scheduled, "2026.12.24 22:00:00 ");
  EXPECT_EQ(presets.rows[1].Scheduled, "");
  EXPECT_EQ(presets.rows[2].Scheduled, "");

  EXPECT_EQ(test::ReadFile(dir / "yux.sch"),
            "<D>2026.12.20 06:00:00 </D><P>weekly</P><O>REPEAT=0 INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110</O>\r\n"
            "<D>2026.12.24 22:00:00 </D><P>Daily</P><O>REPEAT=0 INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110</O>\r\n"
            "<D>2026.12.25 08:00:00 </D><P>Daily</P><O>REPEAT=-1 INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110</O>\r\n"
            "<D>2026.12.26 00:00:00</D><P>/EXIT</P><O>REPEAT=0 INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110</O>\r\n");

  presets.rows[2].Scheduled = "stale";
  Schedule.Clear();
  RefreshSchedule();
  EXPECT_FALSE(ScheduleNotEmpty);
  EXPECT_EQ(presets.rows[2].Scheduled, "");
  EXPECT_FALSE(fs::exists(dir / "yux.sch"));
}

TEST_F(ScheduleTest, ScheduleFileRoundTripAndDamagedRows) {
  const std::string opts = "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110";
  Schedule.Add({"2026.12.24 22:00:00 ", "Daily", "REPEAT=-1 INTERVAL=1440 PRESICE=0 ONDELAY=1 DOW=11111001"});
  Schedule.Add({"2026.12.26 00:00:00", "/SENDLOG(48)", opts});
  Schedule.Add({"2026.12.25 10:15:00 ", "Gr\xc3\xb6\xc3\x9f" "e", opts});
  ASSERT_TRUE(SaveSchedule());
  const auto saved = Schedule.Rows();
  Schedule.Clear();
  LoadSchedule();
  EXPECT_EQ(Schedule.Rows(), saved);
  EXPECT_TRUE(TakeLog().empty());

  // Hand-edited and damaged lines: both date forms load, the date caption
  // is written in the canonical form, damaged rows go with one line each.
  const std::string good1 = "<D>2026.12.24 22:00:00</D><P>Daily</P><O>" + opts + "</O>";
  const std::string good2 = "<D>2026.1.5 7:00</D><P>Weekly</P><O>" + opts + "</O>";
  const std::vector<std::string> damaged = {
      "<D>someday</D><P>Daily</P><O>" + opts + "</O>",
      "<D>2026.12.24 22:00:00 </D><P>Daily</P>",
      "<D>2026.12.24 22:00:00 </D><P>Daily</P><O>REPEAT=x INTERVAL=1 PRECISE=1 ONDELAY=0</O>",
      "<D>2026.12.24 22:00:00 </D><P>Daily</P><O>REPEAT=-1 INTERVAL=0 PRECISE=1 ONDELAY=0 DOW=11111110</O>",
      "<D>2026.12.24 22:00:00 </D><P>Daily</P><O>REPEAT=2 INTERVAL=60 PRECISE=1 ONDELAY=0 DOW=00000001</O>",
  };
  std::string file = good1 + "\r\n" + damaged[0] + "\r\n\r\n" + damaged[1] + "\r\n" + damaged[2] + "\n" +
                     damaged[3] + "\r\n" + good2 + "\r\n" + damaged[4];
  test::WriteFile(dir / "yux.sch", file);
  LoadSchedule();
  ASSERT_EQ(Schedule.Count(), 2u);
  EXPECT_EQ(Schedule.Row(0), (tschdata{"2026.01.05 07:00:00 ", "Weekly", opts}));
  EXPECT_EQ(Schedule.Row(1), (tschdata{"2026.12.24 22:00:00 ", "Daily", opts}));
  const auto lines = TakeLog();
  ASSERT_EQ(lines.size(), damaged.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_NE(lines[i].find(damaged[i]), std::string::npos) << lines[i];
    EXPECT_NE(lines[i].find("[!]"), std::string::npos);
  }

  fs::remove(dir / "yux.sch");
  LoadSchedule();
  EXPECT_TRUE(Schedule.Empty());
}

TEST_F(ScheduleTest, NamesHoldingTheTagsKeepTheirRows) {
  // Names (of presets and commands) may hold the file's own tags; each
  // save and reload must give the same rows, the options not taken from
  // inside the name.
  const std::string opts = "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110";
  const char* const names[] = {"a<O>b", "x</P><O>REPEAT=5 y", "<D>z</D>", "end</O>", "<P>p</P>", "/EXECSYNC(</O>)"};
  for (const char* name : names) Schedule.Add({"2026.12.24 22:00:00 ", name, opts});
  const auto saved = Schedule.Rows();
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(SaveSchedule());
    LoadSchedule();
    EXPECT_EQ(Schedule.Rows(), saved) << "round " << round;
  }
  EXPECT_TRUE(TakeLog().empty());

  // A hand-edited line with its fields in another order still loads.
  test::WriteFile(dir / "yux.sch", "<P>Daily</P><D>2026.12.24 22:00:00</D><O>" + opts + "</O>\r\n");
  LoadSchedule();
  ASSERT_EQ(Schedule.Count(), 1u);
  EXPECT_EQ(Schedule.Row(0), (tschdata{"2026.12.24 22:00:00 ", "Daily", opts}));

  // The last runs: a name holding "</P>" is not taken for another preset.
  presets.rows = {{"a</P>b", "", "2026.12.01 10:00:00 "}, {"a", "", "2026.12.02 10:00:00 "}};
  ASSERT_TRUE(SaveLastRuns());
  presets.rows[0].Previous = presets.rows[1].Previous = "";
  LoadLastRuns();
  EXPECT_EQ(presets.rows[0].Previous, "2026.12.01 10:00:00 ");
  EXPECT_EQ(presets.rows[1].Previous, "2026.12.02 10:00:00 ");
}

// A schedule or last-runs file the program cannot even look at (here a
// link that points at itself) is never an exception out of the scheduler's
// timer.
TEST_F(ScheduleTest, AFileThatCannotBeExaminedThrowsNothing) {
  std::filesystem::create_symlink(dir / "yux.sch", dir / "yux.sch");
  std::filesystem::create_symlink(dir / "yux.las", dir / "yux.las");
  presets.rows.clear();
  EXPECT_NO_THROW(LoadSchedule());
  EXPECT_NO_THROW(RefreshSchedule());
  EXPECT_NO_THROW(SaveSchedule());
  EXPECT_NO_THROW(SaveLastRuns());
}

// A schedule file that is there but cannot be read keeps the user's
// entries: loading it gives an empty schedule, which must not delete it.
TEST_F(ScheduleTest, AnUnreadableScheduleFileIsNotDeleted) {
  std::filesystem::create_directory(dir / "yux.sch");  // opens, but reads fail
  LoadSchedule();
  EXPECT_EQ(Schedule.Count(), 0u);
  RefreshSchedule();
  SaveSchedule();
  EXPECT_TRUE(std::filesystem::exists(dir / "yux.sch"));
}

TEST_F(ScheduleTest, LastRunsRoundTrip) {
  presets.rows[0].Previous = "2026.12.09 22:00:04 ";
  presets.rows[1].Previous = "";
  presets.rows[2].Previous = "2026.11.30 00:00:00";
  ASSERT_TRUE(SaveLastRuns());
  EXPECT_EQ(test::ReadFile(dir / "yux.las"),
            "<D>2026.12.09 22:00:04 </D><P>Daily</P>\r\n"
            "<D></D><P>Weekly</P>\r\n"
            "<D>2026.11.30 00:00:00</D><P>Docs</P>\r\n");

  TPresetRowList fresh;
  fresh.rows = {{"docs", "", ""}, {"Daily", "", ""}, {"New", "", ""}};
  SetPresetListRows(&fresh);
  LoadLastRuns();  // matched without regard to case; unknown lines skipped
  EXPECT_EQ(fresh.rows[0].Previous, "2026.11.30 00:00:00");
  EXPECT_EQ(fresh.rows[1].Previous, "2026.12.09 22:00:04 ");
  EXPECT_EQ(fresh.rows[2].Previous, "");

  fresh.rows.clear();
  ASSERT_TRUE(SaveLastRuns());
  EXPECT_FALSE(fs::exists(dir / "yux.las"));
  SetPresetListRows(&presets);
}

TEST_F(ScheduleTest, DeletingRowsOfAPresetUsesExactNames) {
  const std::string opts = "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110";
  Schedule.Add({"2026.12.24 22:00:00 ", "Daily", opts});
  Schedule.Add({"2026.12.25 22:00:00 ", "DAILY", opts});
  Schedule.Add({"2026.12.26 22:00:00 ", "Daily", opts});
  EXPECT_EQ(DeleteScheduleRowsFor("Daily"), 2u);
  ASSERT_EQ(Schedule.Count(), 1u);
  EXPECT_EQ(Schedule.Row(0).Name, "DAILY");
  EXPECT_DOUBLE_EQ(NextDueTime, At(2026, 12, 25, 22));
  EXPECT_TRUE(fs::exists(dir / "yux.sch"));

  EXPECT_EQ(DeleteScheduleRowsFor("DAILY"), 1u);
  EXPECT_FALSE(ScheduleNotEmpty);
  EXPECT_FALSE(fs::exists(dir / "yux.sch"));
}

// Another instance adds rows to "yux.sch" while this one runs: saving here
// keeps them (and shows them), while rows removed here stay removed.
TEST_F(ScheduleTest, SavingKeepsRowsAnotherInstanceAdded) {
  const std::string opts = "REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110";
  const tschdata a{"2026.12.24 22:00:00 ", "Daily", opts};
  const tschdata b{"2026.12.25 08:00:00 ", "Weekly", opts};
  const tschdata c{"2026.12.26 09:00:00 ", "Docs", opts};
  Schedule.Add(a);
  ASSERT_TRUE(SaveSchedule());
  // The other instance's save: its own rows plus the new one.
  test::WriteFile(dir / "yux.sch", test::ReadFile(dir / "yux.sch") + "<D>2026.12.25 08:00:00 </D><P>Weekly</P><O>" +
                                       opts + "</O>\r\n");
  Schedule.Add(c);
  RefreshSchedule();
  EXPECT_EQ(Schedule.Rows(), (std::vector<tschdata>{a, b, c}));
  EXPECT_EQ(presets.rows[1].Scheduled, b.DateText);
  Schedule.Clear();
  LoadSchedule();
  EXPECT_EQ(Schedule.Rows(), (std::vector<tschdata>{a, b, c}));

  // Removed here: not brought back from the file.
  Schedule.Delete(0);
  RefreshSchedule();
  Schedule.Clear();
  LoadSchedule();
  EXPECT_EQ(Schedule.Rows(), (std::vector<tschdata>{b, c}));
}
