#include "core/store/msgtable.h"

#include <gtest/gtest.h>

#include <set>

using namespace yux;

namespace {

class MessageTable : public ::testing::Test {
 protected:
  void TearDown() override { ResetMessageTexts(); }
};

TEST_F(MessageTable, KeysAreUniqueAndInLanguageFileOrder) {
  const auto& keys = MessageKeys();
  std::set<std::string_view> seen(keys.begin(), keys.end());
  EXPECT_EQ(seen.size(), keys.size());
  ASSERT_GE(keys.size(), 298u);
  EXPECT_EQ(keys.front(), "dialupconnected");
  EXPECT_EQ(keys[8], "logwasreducedtolines");
  EXPECT_EQ(keys[297], "select1dow");
  // Every key has a text of its own, never the key echoed back.
  for (auto k : keys) EXPECT_NE(MessageText(k), std::string(k)) << k;
}

TEST_F(MessageTable, EnglishDefaultsOfTellingRows) {
  const std::pair<const char*, const char*> rows[] = {
      {"yuxisactive", "YUX is already running!"},
      {"calledbythescheduler", ": Called by the scheduler."},
      {"commandinvalidparam0", "Command \"%s\" - invalid parameter, set to 0."},
      {"schedulerunrecognizedparam", "SCHEDULER - Unrecognized parameter \"%s\"; skipped."},
      {"logwasreducedtolines", "Log has been reduced to %d lines."},
      {"dialupcantgetparams", "DIALUP - Can't get account params (err. %s)"},
      {"logtoemailnotsent", "Couldn't send log report. [!]"},
      {"dow1", "Sunday"},
      {"dow7", "Saturday"},
      {"schonword", "ON"},
      {"schoffword", "OFF"},
      {"reqtosavefornewpreset",
       "It is required to save file lists before you are able to edit them in Notepad.\rAccept \"%s\" as new preset name?\r"},
  };
  for (const auto& [key, text] : rows) EXPECT_EQ(MessageText(key), text) << key;
}

// Callers append the error marker; a table text carrying it would make an
// information line an error line.  Only the log-mail failure carries it.
TEST_F(MessageTable, OnlyOneTextCarriesTheErrorMarker) {
  for (auto k : MessageKeys()) {
    bool marked = MessageText(k).find("[!]") != std::string::npos;
    EXPECT_EQ(marked, k == "logtoemailnotsent") << k;
  }
}

TEST_F(MessageTable, SetAndResetTexts) {
  EXPECT_FALSE(SetMessageText("nosuchkey", "x"));
  EXPECT_EQ(MessageText("nosuchkey"), "nosuchkey");
  EXPECT_TRUE(SetMessageText("doneword", "Fertig."));
  EXPECT_EQ(MessageText("doneword"), "Fertig.");
  EXPECT_EQ(EnglishMessageText("doneword"), "Done.");
  ResetMessageTexts();
  EXPECT_EQ(MessageText("doneword"), "Done.");
}

TEST(FormatText, FillsPlaceholdersSafely) {
  struct Case {
    const char* format;
    std::vector<std::string> args;
    const char* expected;
  } cases[] = {
      {"Done (%d files, %s).", {"3", "1K"}, "Done (3 files, 1K)."},
      {"only %s", {"a", "surplus"}, "only a"},
      {"%s and %s and %d", {"a"}, "a and %s and %d"},   // too few arguments
      {"100%% of %s", {"x"}, "100% of x"},
      {"%x %5d %", {"a"}, "%x %5d %"},                 // other sequences stay
      {"%s", {"%s%d"}, "%s%d"},                         // arguments are not re-read
      {"", {"a"}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatText(c.format, c.args), c.expected) << c.format;
}

TEST_F(MessageTable, FormatUsesTheCurrentText) {
  EXPECT_EQ(Format("winrardonefiles", 2, std::string("5M")), "WinRAR - Done (2 files, 5M).");
  // A translation that dropped a placeholder, or added one, is still safe.
  SetMessageText("winrardonefiles", "WinRAR fertig: %s");
  EXPECT_EQ(Format("winrardonefiles", 2, "5M"), "WinRAR fertig: 2");
  SetMessageText("logwasreducedtolines", "%d %d %s %d");
  EXPECT_EQ(Format("logwasreducedtolines", 1000), "1000 %d %s %d");
}

}  // namespace
