// The days cleaner and a clock that was once wrong: runs dated back (a
// reset clock says 2000) are no older than the runs made before them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/run/deliveryhistory.h"
#include "core/store/datetime.h"
#include "core/store/folders.h"
#include "core/store/presets.h"
#include "tests/core/settings_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;

namespace {

class CleanerClock : public test::SettingsFolderTest {};

TEST_F(CleanerClock, RunsDatedBackAreJudgedByTheRunsBeforeThem) {
  const QDateTime now = QDateTime::currentDateTime();
  const QDateTime y2000(QDate(2000, 1, 1), QTime(0, 5));
  const auto block = [](const QDateTime& when, const std::string& name) {
    return DateTimeToText(when) + "\r\n" + name + "\r\n\r\n";
  };
  struct Case {
    const char* what;
    std::string file;
    std::vector<std::string> expired;
    std::vector<std::string> left;  // names still listed
  };
  const std::vector<Case> cases = {
      {"two runs under a reset clock above yesterday's",
       block(y2000.addSecs(120), "reset2.rar") + block(y2000, "reset1.rar") + block(now.addDays(-1), "d1.rar"),
       {},
       {"reset2.rar", "reset1.rar", "d1.rar"}},
      {"a reset run above an old one: the old one still goes",
       block(now, "d0.rar") + block(y2000, "reset.rar") + block(now.addDays(-10), "d10.rar") +
           block(now.addDays(-20), "d20.rar"),
       {"reset.rar", "d10.rar", "d20.rar"},
       {"d0.rar"}},
      {"a block of 2030 below ends what is judged",
       block(now, "d0.rar") + block(now.addDays(-10), "d10.rar") +
           block(QDateTime(QDate(2030, 1, 1), QTime(12, 0)), "future.rar"),
       {"d10.rar"},
       {"d0.rar", "future.rar"}},
      {"a block of 2030 below is no date to judge by",
       block(now, "d0.rar") + block(y2000, "reset.rar") +
           block(QDateTime(QDate(2030, 1, 1), QTime(12, 0)), "future.rar"),
       {"reset.rar"},
       {"d0.rar", "future.rar"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteFile(PathJoin(PresetsFolder, "P.lgc"), c.file);
    std::vector<std::string> expired;
    SelectExpiredFiles("P", 0, 7, kListCopy, expired, now);
    EXPECT_EQ(expired, c.expired);
    std::vector<std::string> left;
    const auto listed = ReadPresetList("P", ".lgc");
    ASSERT_TRUE(listed);
    for (const auto& line : *listed)
      if (line.size() > 4 && line.substr(line.size() - 4) == ".rar") left.push_back(line);
    EXPECT_EQ(left, c.left);
  }
}

}  // namespace
