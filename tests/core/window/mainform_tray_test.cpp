// The tray icon's menu and mini-schedule balloon, and the details a double
// click on a log line shows.
#include <QAction>
#include <QMenu>

#include <gtest/gtest.h>

#include "core/store/flags.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "core/window/mainform.h"
#include "core/window/tray.h"

using namespace yux;

namespace {

std::vector<std::string> MenuTexts(const QMenu* menu) {
  std::vector<std::string> out;
  for (const QAction* a : menu->actions()) out.push_back(a->isSeparator() ? "-" : a->text().toStdString());
  return out;
}

TDateTime At(const char* text) { return *DateTimeFromText(text); }

}  // namespace

TEST(TrayIcon, MenuEntriesAndShowHide) {
  Options = topt{};
  TForm1 form;
  EXPECT_EQ(MenuTexts(form.mainmenu),
            (std::vector<std::string>{"Show / Hide", "-", "&Scheduler", "Shell &Notifier", "Settings", "YUX-BIN", "-",
                                      "Exit"}));
  QMenu* bins = form.mainmenu->actions()[5]->menu();
  ASSERT_NE(bins, nullptr);
  EXPECT_EQ(MenuTexts(bins), (std::vector<std::string>{"Off", "Keeper", "Recycle"}));

  // Show / Hide toggles the window; no protection, no password.
  QAction* showHide = form.mainmenu->actions()[0];
  showHide->trigger();
  EXPECT_TRUE(form.isVisible());
  showHide->trigger();
  EXPECT_FALSE(form.isVisible());

  // A bin that is switched off in the options cannot be chosen.
  Options.obk = false;
  form.SetBinMode(1);
  EXPECT_EQ(Options.obt, 0);
  form.SetBinMode(2);
  EXPECT_EQ(Options.obt, 2);
  EXPECT_TRUE(bins->actions()[2]->isChecked());
  Options = topt{};
}

TEST(TrayIcon, MiniScheduleTextFollowsTheSchedulerState) {
  auto row = [](const char* date, const char* name) { return tschdata{date, name, ""}; };
  const std::vector<tschdata> two = {row("2026.12.24 22:00:00 ", "Daily"), row("2026.12.25", "/EXIT")};
  std::vector<tschdata> five = two;
  for (const char* n : {"A", "B", "C"}) five.push_back(row("2027.01.01", n));
  struct Case {
    bool on;
    std::vector<tschdata> rows;
    bool running;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {false, two, false, "Scheduler is turned off \n"},
      {true, {}, false, "Schedule is empty \n"},
      {true, two, false, "2026.12.24 22:00:00  - Daily\n2026.12.25 - /EXIT\n"},
      {true, five, false, "2026.12.24 22:00:00  - Daily\n2026.12.25 - /EXIT\n2027.01.01 - A\n...\n"},
      {false, {}, true, "Scheduler is turned off \n\n'Weekly' is running at the moment\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(MiniScheduleText(c.on, c.rows, c.running, "Weekly"), c.expected);
}

TEST(TrayIcon, BalloonTextsAreCutToTheirLimitsWithoutSplittingCharacters) {
  EXPECT_EQ(CutText(std::string(300, 'a')), std::string(255, 'a'));
  EXPECT_EQ(CutText("short"), "short");
  // Two-byte characters: 255 characters are 510 bytes.
  std::string umlauts;
  for (int i = 0; i < 300; ++i) umlauts += "\xc3\xa4";
  EXPECT_EQ(CutText(umlauts, 255).size(), 510u);
  EXPECT_EQ(CutText("ab\xe2\x82\xac" "cd", 3), "ab\xe2\x82\xac");
  // A broken sequence counts byte by byte.
  EXPECT_EQ(CutText("\xe2\x82" "xyz", 2), "\xe2\x82");

  // The window's balloon: long preset names in the schedule, a long
  // translated title.
  Options = topt{};
  Schedule.Clear();
  for (int i = 0; i < 3; ++i) Schedule.Add({"2026.12.2" + std::to_string(i) + " 10:00:00 ", std::string(120, 'P'), ""});
  ASSERT_TRUE(SetMessageText("yuxschedulertip", std::string(80, 'T')));
  TForm1 form;
  form.ShowMiniSchedule();
  EXPECT_EQ(form.BalloonTitle(), std::string(63, 'T'));
  EXPECT_EQ(form.BalloonText().size(), 255u);
  EXPECT_EQ(form.BalloonText().rfind("2026.12.20 10:00:00  - PPP", 0), 0u);
  Schedule.Clear();
  ResetMessageTexts();
}

TEST(LogList, DoubleClickDetailsNameTheDayAndStripTheMarker) {
  const TDateTime now = At("2026.12.10 13:00:00");  // a Thursday
  struct Case {
    std::string line;
    std::string text;
    bool error;
  };
  const std::vector<Case> cases = {
      {"[2026.12.10 08:00:00] FTP - Unable to upload [!]",
       "The event occurred today (on Thursday).\n\nFTP - Unable to upload ", true},
      {"[2026.12.09 12:00:00] Done.", "The event occurred yesterday (on Wednesday).\n\nDone.", false},
      {"[2026.12.05 13:00:00] Done.", "The event occurred on Saturday, 5 days ago.\n\nDone.", false},
      {"[2026.12.10 13:00:00] ", "         :-)", false},
      {"[2026.12.10 13:00:00]", "         :-)", false},
      {"no time stamp here, but text after it", "t text after it", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const LogLineDetails d = DescribeLogLine(c.line, now);
    EXPECT_EQ(d.text, c.text);
    EXPECT_EQ(d.error, c.error);
  }
}
