#include "core/store/programlog.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "tests/core/log_lines.h"
#include "tests/support/testsupport.h"

using namespace yux;

namespace {

// The whole lines as the window's list holds them, reloads included.
class RecordingList : public test::LogLines {
 public:
  RecordingList() {
    keep = nullptr;
    followReloads = true;
    onReload = [this](const std::vector<std::string>&) { runActiveDuringReload = RunActive; };
  }
  bool runActiveDuringReload = false;
};

class ProgramLog : public ::testing::Test {
 protected:
  void SetUp() override {
    savedFolder = SettingsFolder;
    SettingsFolder = dir.str();
    Options = topt{};
    ErrorOccurred = false;
    RunActive = false;
    CurrentPresetName.clear();
    SetLogListSink(&list);
  }
  void TearDown() override {
    SetLogListSink(nullptr);
    SetErrorSoundHook(nullptr);
    SetErrorMailHook(nullptr);
    SetLogHook(nullptr);
    ResetMessageTexts();
    Options = topt{};
    ErrorOccurred = false;
    RunActive = false;
    SettingsFolder = savedFolder;
  }
  // The file's lines, each checked for its CRLF end.
  std::vector<std::string> FileLines() {
    std::string all = test::ReadFile(dir / "yux.log");
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < all.size()) {
      size_t end = all.find("\r\n", pos);
      EXPECT_NE(end, std::string::npos) << "line without CRLF";
      if (end == std::string::npos) break;
      lines.push_back(all.substr(pos, end - pos));
      pos = end + 2;
    }
    return lines;
  }
  static std::string Text(const std::string& line) { return line.size() > 22 ? line.substr(22) : ""; }
  void WriteLogLines(int n) {
    std::string s;
    for (int i = 1; i <= n; ++i) s += "[2013.03.10 10:00:00] line " + std::to_string(i) + "\r\n";
    test::WriteFile(dir / "yux.log", s);
  }

  test::TempDir dir;
  std::string savedFolder;
  RecordingList list;
};

const std::regex kStamp(R"(\[\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\] .*)");

TEST_F(ProgramLog, LinesGoToListAndFileWithStampAndPrefix) {
  EXPECT_TRUE(AddLog("YUX started, loading settings."));
  CurrentPresetName = "Daily";
  EXPECT_TRUE(AddPresetLog("WinRAR - Started."));
  EXPECT_TRUE(AddLog(""));
  auto file = FileLines();
  ASSERT_EQ(file.size(), 3u);
  ASSERT_EQ(list.lines.size(), 3u);
  for (const auto& l : file) EXPECT_TRUE(std::regex_match(l, kStamp)) << l;
  EXPECT_EQ(Text(file[0]), "YUX started, loading settings.");
  EXPECT_EQ(Text(file[1]), "Daily: WinRAR - Started.");
  EXPECT_EQ(file[2].size(), 22u);  // the stamp, "] " and nothing else
  EXPECT_EQ(Text(list.lines[1]), "Daily: WinRAR - Started.");
  EXPECT_FALSE(ErrorOccurred);
}

// A huge line (a damaged file quoted whole) is cut, and control
// characters are stored as visible escapes, never as raw bytes.
TEST_F(ProgramLog, LongLinesAreCutAndControlsEscaped) {
  AddLog("bell\x07 esc\x1b[31m tab\t cr\r lf\n del\x7f end");
  const std::string huge = "SCHEDULER - Damaged entry in yux.sch skipped: " + std::string(10 << 20, 'x') + " [!]";
  AddLog(huge);
  AddLog(std::string(3999, 'a') + "\xc3\xa9" + std::string(100, 'b'));
  const auto file = FileLines();
  ASSERT_EQ(file.size(), 3u);
  EXPECT_EQ(Text(file[0]), "bell\\x07 esc\\x1B[31m tab\\x09 cr\\x0D lf\\x0A del\\x7F end");
  EXPECT_LE(file[1].size(), 22u + 4000 + 8);
  EXPECT_TRUE(file[1].ends_with("... [!]")) << file[1].substr(file[1].size() - 20);
  EXPECT_TRUE(ErrorOccurred);
  // Cut between characters, never inside one.
  EXPECT_EQ(Text(file[2]), std::string(3999, 'a') + "...");
  EXPECT_EQ(Text(list.lines[1]), Text(file[1]));
}

TEST_F(ProgramLog, ErrorMarkerAnywhereSetsFlagAndPlaysSound) {
  std::vector<std::string> played;
  SetErrorSoundHook([&](const std::string& f) { played.push_back(f); });
  Options.swf = "/opt/yux/error.wav";
  const std::pair<const char*, bool> cases[] = {
      {"plain line", false},   {"half [! marker", false}, {"Aborted. [!]", true},
      {"a [!] in the middle", true}, {"[!]", true},
  };
  for (const auto& [text, error] : cases) {
    ErrorOccurred = false;
    played.clear();
    AddLog(text);
    EXPECT_EQ(ErrorOccurred.load(), error) << text;
    EXPECT_EQ(played.size(), error ? 1u : 0u) << text;
  }
  EXPECT_EQ(played.back(), "/opt/yux/error.wav");
  // With the sound off the error flag is still set, silently.
  Options.soe = false;
  played.clear();
  AddLog("Error [!]");
  EXPECT_TRUE(played.empty());
  // The flag is never cleared by later plain lines.
  AddLog("fine again");
  EXPECT_TRUE(ErrorOccurred);
}

TEST_F(ProgramLog, ErrorMailReportsItsOutcome) {
  Options.ser = true;
  Options.sto = "admin@example.org";
  // No mailer yet: nothing is sent and nothing is claimed.
  AddLog("first [!]");
  EXPECT_EQ(FileLines().size(), 1u);

  std::vector<std::string> mailed;
  bool succeed = true;
  SetErrorMailHook([&](const std::string& line) {
    mailed.push_back(line);
    return succeed;
  });
  CurrentPresetName = "Daily";
  AddPresetLog("FTP - Error 530 [!]");
  // Mailed from the event loop, not inside the logging call.
  EXPECT_TRUE(mailed.empty());
  FlushErrorMail();
  succeed = false;
  AddLog("second [!]");
  AddLog("plain");
  FlushErrorMail();
  ASSERT_EQ(mailed.size(), 2u);
  EXPECT_TRUE(std::regex_match(mailed[0], kStamp));
  EXPECT_EQ(Text(mailed[0]), "Daily: FTP - Error 530 [!]");
  auto file = FileLines();
  ASSERT_EQ(file.size(), 6u);
  EXPECT_EQ(Text(file[2]), "Error report has been sent to admin@example.org");
  EXPECT_EQ(Text(file[5]), "FAILED TO SEND ERROR REPORT TO admin@example.org");
}

// A recipient (or a translated outcome text) holding the marker makes the
// outcome line an error line; it must not be mailed again and again.
TEST_F(ProgramLog, ErrorMailOutcomeIsNeverMailedItself) {
  Options.ser = true;
  Options.sto = "odd[!]@example.org";
  std::vector<std::string> mailed;
  SetErrorMailHook([&](const std::string& line) {
    mailed.push_back(Text(line));
    // The session pumps messages: another error line comes meanwhile.
    if (mailed.size() == 1) AddLog("logged while mailing [!]");
    return false;
  });
  AddLog("disc error [!]");
  FlushErrorMail();
  // The line logged during the report is mailed after it; the outcome
  // lines are never mailed.
  EXPECT_EQ(mailed, (std::vector<std::string>{"disc error [!]", "logged while mailing [!]"}));
  EXPECT_EQ(FileLines().size(), 4u);
  // The next error line is mailed as usual.
  AddLog("another [!]");
  FlushErrorMail();
  EXPECT_EQ(mailed.size(), 3u);
}

// A mailer that causes a new error line with every report, and a burst of
// lines: both end, with one plain line counting what was not mailed.
TEST_F(ProgramLog, ErrorMailIsBounded) {
  Options.ser = true;
  Options.sto = "admin@example.org";
  int calls = 0;
  SetErrorMailHook([&](const std::string&) {
    ++calls;
    AddLog("report failed [!]");
    return false;
  });
  AddLog("first [!]");
  FlushErrorMail();
  EXPECT_EQ(calls, 50);
  for (int i = 0; i < 70; ++i) AddLog("burst [!]");
  calls = 0;
  SetErrorMailHook([&](const std::string&) { return ++calls, true; });
  FlushErrorMail();
  EXPECT_EQ(calls, 50);
  const auto file = FileLines();
  EXPECT_EQ(Text(file.back()), "20 error line(s) were not mailed: too many at once.");
}

TEST_F(ProgramLog, NoSettingsFolderMeansNoFileLine) {
  SettingsFolder.clear();
  EXPECT_FALSE(AddLog("early [!]"));
  EXPECT_EQ(list.lines.size(), 1u);
  EXPECT_TRUE(ErrorOccurred);
}

TEST_F(ProgramLog, TruncationTable) {
  struct Case {
    int lsz, lines;
    bool reduced;
  } cases[] = {{0, 5, false}, {5, 5, false}, {6, 5, false}, {3, 5, true}, {1, 2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE("lsz " + std::to_string(c.lsz) + ", lines " + std::to_string(c.lines));
    Options.lsz = c.lsz;
    WriteLogLines(c.lines);
    list.reloads = 0;
    EXPECT_TRUE(TruncateLog());
    auto file = FileLines();
    if (!c.reduced) {
      EXPECT_EQ(static_cast<int>(file.size()), c.lines);
      EXPECT_EQ(list.reloads, c.lsz == 0 ? 0 : 1);  // lsz 0 does nothing at all
      continue;
    }
    ASSERT_EQ(static_cast<int>(file.size()), c.lsz + 1);
    EXPECT_EQ(Text(file[0]), "line " + std::to_string(c.lines - c.lsz + 1));
    EXPECT_EQ(Text(file[c.lsz - 1]), "line " + std::to_string(c.lines));
    EXPECT_EQ(Text(file.back()), "Log has been reduced to " + std::to_string(c.lsz) + " lines.");
    EXPECT_EQ(list.lines, file);
    EXPECT_FALSE(std::filesystem::exists(dir / "yux.lo_"));
  }
}

TEST_F(ProgramLog, TruncationKeepsTheRunActiveFlagAsItWas) {
  Options.lsz = 2;
  for (bool active : {false, true}) {
    WriteLogLines(4);
    RunActive = active;
    list.runActiveDuringReload = false;
    TruncateLog();
    EXPECT_TRUE(list.runActiveDuringReload);  // set while the truncation works
    EXPECT_EQ(RunActive.load(), active);
  }
}

// A window that fails while the log is reloaded must not leave the flag
// set: a stuck run-active flag blocks every later run and the window's close.
class ThrowingList : public RecordingList {
 public:
  void ReplaceLines(const std::vector<std::string>&) override { throw std::runtime_error("list is gone"); }
};

TEST_F(ProgramLog, TruncationPutsTheFlagBackWhenTheListFails) {
  ThrowingList throwing;
  SetLogListSink(&throwing);
  Options.lsz = 2;
  WriteLogLines(4);
  EXPECT_THROW(TruncateLog(), std::runtime_error);
  EXPECT_FALSE(RunActive);
}

TEST_F(ProgramLog, TruncationWithoutLogFileDoesNothing) {
  Options.lsz = 2;
  EXPECT_TRUE(TruncateLog());
  EXPECT_FALSE(std::filesystem::exists(dir / "yux.log"));
  EXPECT_EQ(list.reloads, 0);
}

// A program that is never started again cuts its log itself once the file
// has grown a step (here 100 lines) past the limit, through the truncation
// with its line; a log removed meanwhile is counted from its first line.
TEST_F(ProgramLog, ARunningProgramCutsItsGrownLog) {
  Options.lsz = 200;
  WriteLogLines(150);
  ASSERT_TRUE(TruncateLog());  // nothing to drop; the lines are counted
  ASSERT_EQ(FileLines().size(), 150u);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "counted at the truncation" : "log removed");
    const int toAdd = round == 0 ? 151 : 301;
    const int before = static_cast<int>(FileLines().size());
    int cuts = 0;
    for (int i = 1; i <= toAdd; ++i) {
      AddLog("new " + std::to_string(i));
      const auto file = FileLines();
      ASSERT_LE(file.size(), 301u) << "after line " << i;
      if (Text(file.back()) == "Log has been reduced to 200 lines.") {
        ++cuts;
        ASSERT_EQ(file.size(), 201u);
        EXPECT_EQ(Text(file[199]), "new " + std::to_string(i));
        EXPECT_EQ(i, 301 - before) << "cut at the step, not before";
      }
    }
    EXPECT_EQ(cuts, 1);
    EXPECT_EQ(list.lines, FileLines());
    std::filesystem::remove(dir / "yux.log");
  }
}

TEST_F(ProgramLog, StartUpLoadsTheFileAndRoutesReports) {
  test::WriteFile(dir / "yux.log", "[2013.03.10 10:00:00] old\r\n[2013.03.10 10:00:01] caf\xe9\r\n");
  LoadLogIntoList();
  ASSERT_EQ(list.lines.size(), 2u);
  EXPECT_EQ(list.lines[1], "[2013.03.10 10:00:01] caf\xc3\xa9");
  InstallProgramLogHook();
  ReportLine("Options file is damaged [!]");
  EXPECT_TRUE(ErrorOccurred);
  auto file = FileLines();
  ASSERT_EQ(file.size(), 3u);
  EXPECT_EQ(Text(file[2]), "Options file is damaged [!]");
}

}  // namespace
