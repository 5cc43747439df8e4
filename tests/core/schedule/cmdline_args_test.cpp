#include "core/schedule/cmdline_args.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/language.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "tests/core/log_lines.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

using test::LogLines;

class StartArguments : public ::testing::Test {
 protected:
  void SetUp() override {
    savedSettings = SettingsFolder;
    savedProgram = ProgramFolder;
    SettingsFolder = (dir / "settings").string();
    ProgramFolder = (dir / "program").string();
    fs::create_directories(SettingsFolder);
    fs::create_directories(ProgramFolder);
    Options = topt{};
    SecondInstance = false;
    ServiceMode = false;
    ForcedClose = false;
    SetLogListSink(&log);
    SetLogHook([this](const std::string& t) { log.lines.push_back(t); });
    presets.rows = {{"Daily", "", ""}, {"Weekly", "", ""}};
    SetPresetListRows(&presets);
    Schedule.Clear();
    // After the dated request, so the rows' order is known.
    SetScheduleClock([] { return QDateTime(QDate(2027, 1, 1), QTime(9, 0)); });
  }
  void TearDown() override {
    SetScheduleClock(nullptr);
    Schedule.Clear();
    SetPresetListRows(nullptr);
    SetLogHook(nullptr);
    SetLogListSink(nullptr);
    ResetMessageTexts();
    ResetLanguageReports();
    Options = topt{};
    SecondInstance = false;
    ServiceMode = false;
    ForcedClose = false;
    ErrorOccurred = false;
    SettingsFolder = savedSettings;
    ProgramFolder = savedProgram;
  }
  std::vector<std::string> ScheduledNames() const {
    std::vector<std::string> names;
    for (const auto& r : Schedule.Rows()) names.push_back(r.Name);
    return names;
  }

  test::TempDir dir;
  std::string savedSettings, savedProgram;
  LogLines log;
  TPresetRowList presets;
};

}  // namespace

TEST_F(StartArguments, SwitchesAndRequestsInOrder) {
  Options.son = false;
  const auto a = ExamineCommandLine({"/hide", "Daily[DATE=2026.12.24 22:00:00][REPEAT=-1][INTERVAL=1440]",
                                     "/SCHON", "/exit", "Nope", "/yux-keeper", "/tmp/some file"});
  EXPECT_TRUE(a.hideAtStart);
  EXPECT_FALSE(a.closeNow);
  EXPECT_FALSE(a.applyLanguageForms);
  EXPECT_FALSE(ServiceMode);
  EXPECT_TRUE(Options.son);
  EXPECT_EQ(a.requestsAdded, 2u);
  EXPECT_EQ(a.requestsRefused, 3u);
  EXPECT_EQ(ScheduledNames(), (std::vector<std::string>{"Daily", "/exit"}));
  EXPECT_EQ(Schedule.Row(0).DateText, "2026.12.24 22:00:00 ");
  EXPECT_EQ(Schedule.Row(0).Options, "REPEAT=-1 INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110");

  const std::vector<std::string> expected = {
      "SCHEDULER - Added: Daily @ 2026.12.24 22:00:00 ",
      "SCHEDULER - turned ON from command line.",
  };
  ASSERT_GE(log.lines.size(), 6u);
  EXPECT_EQ(log.lines[0], expected[0]);
  EXPECT_EQ(log.lines[1], expected[1]);
  EXPECT_EQ(log.lines[2], "SCHEDULER - Added: /exit @ 2027.01.01 09:00:00 ");
  EXPECT_EQ(log.lines[3], "SCHEDULER - No such preset - Nope. [!]");
  EXPECT_EQ(log.lines[4], "SCHEDULER - Unknown command - /yux-keeper. [!]");
  EXPECT_EQ(log.lines[5], "SCHEDULER - Unknown command - /tmp/some file. [!]");

  // The schedule file holds what was added.
  const std::string file = test::ReadFile(fs::path(SettingsFolder) / "yux.sch");
  EXPECT_NE(file.find("<P>Daily</P>"), std::string::npos);
  EXPECT_NE(file.find("<P>/exit</P>"), std::string::npos);

  log.lines.clear();
  const auto b = ExamineCommandLine({"/SVC", "/schoff"});
  EXPECT_TRUE(b.hideAtStart);
  EXPECT_TRUE(ServiceMode);
  EXPECT_FALSE(Options.son);
  EXPECT_EQ(b.requestsAdded + b.requestsRefused, 0u);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"SCHEDULER - turned OFF from command line."}));
}

TEST_F(StartArguments, SecondInstanceStopsAtSchedulerSwitch) {
  SecondInstance = true;
  for (const std::string sw : {"/SCHON", "/schoff"}) {
    SCOPED_TRACE(sw);
    Schedule.Clear();
    log.lines.clear();
    ForcedClose = false;
    Options.son = true;
    const auto a = ExamineCommandLine({"Daily", sw, "Weekly"});
    EXPECT_TRUE(a.closeNow);
    EXPECT_TRUE(ForcedClose);
    EXPECT_TRUE(Options.son);
    // The request before the switch is added; the one after it is never
    // looked at.
    EXPECT_EQ(ScheduledNames(), (std::vector<std::string>{"Daily"}));
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[1], sw == "/SCHON"
                                ? "SCHEDULER - cannot turn on: another instance of YUX is already running. [!]"
                                : "SCHEDULER - cannot turn off: another instance of YUX is already running. [!]");
  }
}

// A second instance leaves the running one's options alone.
TEST_F(StartArguments, SecondInstanceCannotChangeTheLanguage) {
  test::WriteFile(fs::path(ProgramFolder) / "Deutsch.lng", "[STRINGS]\r\nlangwassetto=\"Sprache gesetzt: \"\r\n");
  SecondInstance = true;
  Options = topt{};
  Options.lng = "";
  fs::remove(fs::path(SettingsFolder) / "yux.opt");
  const auto a = ExamineCommandLine({"/LANGUAGE(Deutsch.lng)", "Daily"});
  EXPECT_FALSE(a.applyLanguageForms);
  EXPECT_EQ(Options.lng, "");
  EXPECT_FALSE(fs::exists(fs::path(SettingsFolder) / "yux.opt"));
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.lines[0], "LANGUAGE - cannot change the language: another instance of YUX is already running. [!]");
  EXPECT_EQ(ScheduledNames(), (std::vector<std::string>{"Daily"}));
}

TEST_F(StartArguments, LanguageSwitch) {
  test::WriteFile(fs::path(ProgramFolder) / "Deutsch.lng",
                  "[INFO]\r\nName=Deutsch\r\n[STRINGS]\r\nlangwassetto=\"Sprache gesetzt: \"\r\n");
  test::WriteFile(dir / "Outside.lng", "[STRINGS]\r\nlangwassetto=Outside \r\n");

  struct Case {
    std::string arg;
    bool applied;
    std::string lng;
    std::string log;
  } cases[] = {
      {"/language(Deutsch.lng)", true, "Deutsch.lng", "Sprache gesetzt: Deutsch.lng."},
      {"/LANGUAGE(English (default).lng)", true, "English (default).lng",
       "Default English language was set. Please restart to apply changes."},
      {"/LANGUAGE(Deutsch.lng", true, "Deutsch.lng", "Sprache gesetzt: Deutsch.lng."},
      {"/LANGUAGE(Klingon.lng)", false, "", "Language Klingon.lng doesn't exist [!]"},
      {"/LANGUAGE(../Outside.lng)", false, "", "Language ../Outside.lng doesn't exist [!]"},
      {"/LANGUAGE()", false, "", "Language  doesn't exist [!]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    ResetMessageTexts();
    Options = topt{};
    Options.lng = "";
    log.lines.clear();
    fs::remove(fs::path(SettingsFolder) / "yux.opt");
    const auto a = ExamineCommandLine({c.arg});
    EXPECT_EQ(a.applyLanguageForms, c.applied);
    EXPECT_EQ(a.requestsAdded + a.requestsRefused, 0u);
    EXPECT_EQ(Options.lng, c.lng);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.back(), c.log);
    // A chosen language is kept in the saved options at once.
    EXPECT_EQ(fs::exists(fs::path(SettingsFolder) / "yux.opt"), c.applied);
    if (c.applied) {
      topt saved;
      LoadOptions(saved);
      EXPECT_EQ(saved.lng, c.lng);
    }
  }
}
