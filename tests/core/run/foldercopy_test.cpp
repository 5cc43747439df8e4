#include "core/run/foldercopy.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/store/datetime.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "platform/driveletters.h"
#include "platform/filemove.h"
#include "platform/messagebox.h"
#include "platform/safefile.h"
#include "tests/core/run/rename_fault.h"
#include "tests/core/run/unanswered_box.h"
#include "tests/core/settings_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class FolderCopy : public test::SettingsFolderTest {
 protected:
  void SetUp() override {
    SettingsFolderTest::SetUp();
    fs::create_directories(dir / "run");
    CurrentPresetName = "P";
  }
  void TearDown() override {
    platform::SetMessageBoxService(nullptr);
    SettingsFolderTest::TearDown();
  }
  std::string Preset(const std::string& ext) const { return PathJoin(PresetsFolder, "P" + ext); }
  void Produce(const std::vector<std::string>& names) {
    for (const auto& n : names) test::WriteFile(dir / "run" / n, "data of " + n);
  }
  FolderCopyJob Job(const std::vector<std::string>& names) {
    FolderCopyJob job;
    job.presetName = "P";
    job.preset = &preset;
    job.destinationText = (dir / "dest").string();
    job.destination = job.destinationText;
    job.runFolder = (dir / "run").string();
    job.produced = names;
    return job;
  }
  // History lines without their date texts.
  std::vector<std::string> HistoryTails() {
    std::vector<std::string> out;
    const auto lines = ReadPresetList("P", ".hst");
    for (const auto& l : lines.value()) out.push_back(l.substr(l.find('\t') + 1));
    return out;
  }
  bool Has(const std::string& line) const {
    return std::find(log.lines.begin(), log.lines.end(), line) != log.lines.end();
  }

};

TEST_F(FolderCopy, HistoryIsNewestFirstWithTheDateTextsBlank) {
  AddHistoryLine("P", kHistoryCopy, "/a/x.rar", QDateTime(QDate(2024, 5, 6), QTime(13, 14, 15)));
  AddHistoryLine("P", kHistoryFtp, "host:21/x.rar", QDateTime(QDate(2024, 5, 7), QTime(0, 0, 0)));
  EXPECT_EQ(test::ReadFile(Preset(".hst")),
            "2024.05.07 00:00:00\t3-FTP\thost:21/x.rar\r\n"
            "2024.05.06 13:14:15 \t4-COPY\t/a/x.rar\r\n");
}

TEST_F(FolderCopy, ProducedBlocksAreInsertedOnTop) {
  AppendProducedFiles("P", {"a.rar"}, kListCopy, QDateTime(QDate(2024, 1, 1), QTime(10, 0, 0)));
  AppendProducedFiles("P", {"b.part1.rar", "b.part2.rar"}, kListCopy,
                      QDateTime(QDate(2024, 1, 2), QTime(10, 0, 0)));
  EXPECT_EQ(test::ReadFile(Preset(".lgc")),
            "2024.01.02 10:00:00 \r\nb.part1.rar\r\nb.part2.rar\r\n\r\n"
            "2024.01.01 10:00:00 \r\na.rar\r\n\r\n");
  AppendProducedFiles("P", {"m.rar"}, kListSmtp);
  AppendProducedFiles("P", {"f.rar"}, kListFtp);
  EXPECT_TRUE(fs::exists(Preset(".lgs")));
  EXPECT_TRUE(fs::exists(Preset(".lgf")));
}

TEST_F(FolderCopy, AnUnreadableHistoryIsNeverOverwritten) {
  fs::create_directories(Preset(".hst"));  // exists, cannot be read as a file
  EXPECT_THROW(AddHistoryLine("P", kHistoryCopy, "/x"), EHistoryFileError);
  EXPECT_TRUE(fs::is_directory(Preset(".hst")));
}

// Three earlier runs, newest first; the same name in two blocks counts
// once, and goes only with the last block that lists it.
const char kThreeRuns[] =
    "2024.03.03 10:00:00 \r\nc1.rar\r\nc2.rar\r\n\r\n"
    "2024.03.02 10:00:00 \r\nb.rar\r\nshared.rar\r\n\r\n"
    "2024.03.01 10:00:00 \r\na.rar\r\nshared.rar\r\n\r\n";

TEST_F(FolderCopy, ExpiredByRuns) {
  struct Case {
    int keep;
    std::vector<std::string> expired;
    std::string left;
  };
  const std::vector<Case> cases = {
      {1, {"c1.rar", "c2.rar", "b.rar", "shared.rar", "a.rar"}, ""},
      {2, {"b.rar", "shared.rar", "a.rar"}, "2024.03.03 10:00:00 \r\nc1.rar\r\nc2.rar\r\n\r\n"},
      {3, {"a.rar"},
       "2024.03.03 10:00:00 \r\nc1.rar\r\nc2.rar\r\n\r\n2024.03.02 10:00:00 \r\nb.rar\r\nshared.rar\r\n\r\n"},
      {4, {}, kThreeRuns},
  };
  for (const auto& c : cases) {
    test::WriteFile(Preset(".lgc"), kThreeRuns);
    std::vector<std::string> expired;
    SelectExpiredFiles("P", c.keep, 0, kListCopy, expired);
    EXPECT_EQ(expired, c.expired) << c.keep;
    EXPECT_EQ(test::ReadFile(Preset(".lgc")), c.left) << c.keep;
  }
}

TEST_F(FolderCopy, ExpiredByDays) {
  const QDateTime now = QDateTime::currentDateTime();
  std::string file;
  for (int days : {1, 2, 5})
    file += DateTimeToText(now.addDays(-days)) + "\r\nday" + std::to_string(days) + ".rar\r\nshared.rar\r\n\r\n";
  test::WriteFile(Preset(".lgc"), file);
  std::vector<std::string> expired;
  SelectExpiredFiles("P", 0, 3, kListCopy, expired, now);
  // The runs of 1 and 2 days ago are kept, and so is the name they share
  // with the expired one.
  EXPECT_EQ(expired, (std::vector<std::string>{"day5.rar"}));
  const std::string left = test::ReadFile(Preset(".lgc"));
  EXPECT_NE(left.find("day2.rar"), std::string::npos);
  EXPECT_EQ(left.find("day5"), std::string::npos);
}

// Weekday names or stamps to the minute: the archive of a kept run bears
// the name an expired run listed, and stays.  Dates out of order (a clock
// set back) make no run older than a recent one below it.
TEST_F(FolderCopy, ANameAKeptRunListsIsNeverSelected) {
  const QDateTime now = QDateTime::currentDateTime();
  const auto block = [&](int daysAgo, const std::vector<std::string>& names) {
    std::string b = DateTimeToText(now.addDays(-daysAgo)) + "\r\n";
    for (const auto& n : names) b += n + "\r\n";
    return b + "\r\n";
  };
  struct Case {
    const char* what;
    std::string file;
    int keepRuns, keepDays;
    std::vector<std::string> expired;
    std::string left;
  };
  const std::vector<Case> cases = {
      {"two runs in one minute, keep 2 runs", block(0, {"b-1200.rar"}) + block(0, {"b-1200.rar"}) + block(1, {"a.rar"}),
       2, 0, {"a.rar"}, block(0, {"b-1200.rar"})},
      {"weekday names, keep 10 days", block(1, {"Mon.rar"}) + block(8, {"Tue.rar"}) + block(15, {"Mon.rar", "old.rar"}),
       0, 10, {"old.rar"}, block(1, {"Mon.rar"}) + block(8, {"Tue.rar"})},
      {"a recent block below an old one", block(1, {"a.rar"}) + block(20, {"b.rar", "c.rar"}) + block(2, {"c.rar"}),
       0, 10, {}, block(1, {"a.rar"}) + block(20, {"b.rar", "c.rar"}) + block(2, {"c.rar"})},
      {"a name reading as a date stays with its block",
       block(1, {"a.rar"}) + block(2, {DateTimeToText(now.addDays(-30)), "b.rar"}) + block(3, {"c.rar"}), 3, 0,
       {"c.rar"}, block(1, {"a.rar"}) + block(2, {DateTimeToText(now.addDays(-30)), "b.rar"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteFile(Preset(".lgc"), c.file);
    std::vector<std::string> expired;
    SelectExpiredFiles("P", c.keepRuns, c.keepDays, kListCopy, expired, now);
    EXPECT_EQ(expired, c.expired);
    EXPECT_EQ(test::ReadFile(Preset(".lgc")), c.left);
  }
}

// By days the clock decides, and a clock can be wrong: one run under a
// clock years ahead must not expire every earlier run, and the block such a
// run left (dated in the future) is never expired and ends the walk.
TEST_F(FolderCopy, ByDaysAWrongClockNeverExpiresEverything) {
  const QDateTime now = QDateTime::currentDateTime();
  const auto block = [](const QDateTime& when, const std::string& name) {
    return DateTimeToText(when) + "\r\n" + name + "\r\n\r\n";
  };
  struct Case {
    const char* what;
    std::string file;
    QDateTime clock;
    std::vector<std::string> expired;
    std::vector<std::string> left;  // names still listed
  };
  const std::vector<Case> cases = {
      {"clock years ahead keeps the newest run",
       block(now.addDays(-1), "d1.rar") + block(now.addDays(-2), "d2.rar") + block(now.addDays(-5), "d5.rar"),
       now.addYears(5), {"d2.rar", "d5.rar"}, {"d1.rar"}},
      {"the newest run is kept however old",
       block(now.addDays(-40), "d40.rar") + block(now.addDays(-50), "d50.rar"), now, {"d50.rar"}, {"d40.rar"}},
      {"a block of next year on top ends the walk",
       block(now.addYears(1), "next.rar") + block(now.addDays(-10), "d10.rar"), now, {}, {"next.rar", "d10.rar"}},
      {"a block of next year below expired runs stays listed",
       block(now.addDays(-1), "d1.rar") + block(now.addDays(-10), "d10.rar") + block(now.addYears(1), "next.rar") +
           block(now.addDays(-20), "d20.rar"),
       now, {"d10.rar"}, {"d1.rar", "next.rar", "d20.rar"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteFile(Preset(".lgc"), c.file);
    std::vector<std::string> expired;
    SelectExpiredFiles("P", 0, 3, kListCopy, expired, c.clock);
    EXPECT_EQ(expired, c.expired);
    std::vector<std::string> left;
    const auto listed = ReadPresetList("P", ".lgc");
    ASSERT_TRUE(listed);
    for (const auto& line : *listed)
      if (line.size() > 4 && line.substr(line.size() - 4) == ".rar") left.push_back(line);
    EXPECT_EQ(left, c.left);
  }
}

// A list that cannot be read, or does not begin with a date line, selects
// nothing and is left exactly as it was.
TEST_F(FolderCopy, UnreadableOrDamagedListThrowsAndStaysAlone) {
  const std::string damaged = "\x89PNG garbage\r\n2024.01.01 10:00:00 \r\na.rar\r\n\r\n";
  test::WriteFile(Preset(".lgc"), damaged);
  std::vector<std::string> expired;
  EXPECT_THROW(SelectExpiredFiles("P", 1, 0, kListCopy, expired), EHistoryFileError);
  EXPECT_TRUE(expired.empty());
  EXPECT_EQ(test::ReadFile(Preset(".lgc")), damaged);
  fs::create_directories(Preset(".lgf"));
  EXPECT_THROW(SelectExpiredFiles("P", 1, 0, kListFtp, expired), EHistoryFileError);
  EXPECT_TRUE(fs::is_directory(Preset(".lgf")));
}

TEST_F(FolderCopy, MissingOrEmptyListSelectsNothingAndStaysAlone) {
  std::vector<std::string> expired;
  SelectExpiredFiles("P", 1, 0, kListCopy, expired);
  EXPECT_TRUE(expired.empty());
  EXPECT_FALSE(fs::exists(Preset(".lgc")));
  test::WriteFile(Preset(".lgf"), "");
  SelectExpiredFiles("P", 1, 0, kListFtp, expired);
  EXPECT_TRUE(expired.empty());
}

TEST_F(FolderCopy, CleanerDeletesWhatIsThereAndSaysWhatIsNot) {
  fs::create_directories(dir / "dest");
  test::WriteFile(dir / "dest" / "old.rar", "x");
  test::WriteFile(dir / "dest" / "keep.rar", "x");
  const std::string d = (dir / "dest").string();
  RunCopyCleaner(d, {"old.rar", "gone.rar"});
  EXPECT_FALSE(fs::exists(dir / "dest" / "old.rar"));
  EXPECT_TRUE(fs::exists(dir / "dest" / "keep.rar"));
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "P: COPY - Cleaner deleted " + d + "/old.rar.",
                           "P: COPY - Cleaner cannot find file, skipping " + d + "/gone.rar."}));
}

// A file name is bytes: a name that is no UTF-8 (an archive named in an
// 8-bit code page) is listed, kept in the history across later runs, and
// found and deleted by the cleaner exactly as the destination holds it.
TEST_F(FolderCopy, TheCleanerFindsNamesThatAreNoUtf8) {
  preset.cco = true;
  preset.ccm = 0;
  preset.ccv = 1;
  const std::string old = "Bericht \xe4.rar";  // Windows-1252
  Produce({old});
  ASSERT_EQ(CopyProducedFiles(Job({old})), FolderCopyResult::Done);
  Produce({"next.rar"});
  ASSERT_EQ(CopyProducedFiles(Job({"next.rar"})), FolderCopyResult::Done);
  const std::string d = (dir / "dest").string();
  EXPECT_FALSE(fs::exists(dir / "dest" / old));
  EXPECT_TRUE(Has("P: COPY - Cleaner deleted " + d + "/" + old + "."));
  // The history was read and written again by the second run.
  const std::string history = test::ReadFile(Preset(".hst"));
  EXPECT_NE(history.find("\t4-COPY\t" + d + "/next.rar\r\n"), std::string::npos) << history;
  EXPECT_NE(history.find("\t4-COPY\t" + d + "/" + old + "\r\n"), std::string::npos) << history;
}

TEST_F(FolderCopy, MoveNeverReplacesAndCrossesFileSystems) {
  test::WriteFile(dir / "a", "new");
  test::WriteFile(dir / "b", "old");
  EXPECT_FALSE(platform::MoveFileTo((dir / "a").string(), (dir / "b").string()));
  EXPECT_EQ(test::ReadFile(dir / "b"), "old");
  EXPECT_TRUE(fs::exists(dir / "a"));

  std::error_code ec;
  if (!fs::is_directory("/dev/shm", ec)) GTEST_SKIP() << "no second file system";
  const fs::path other = fs::path("/dev/shm") / ("yux-move-" + test::UniqueNamespace());
  fs::create_directories(other);
  std::string error;
  EXPECT_TRUE(platform::MoveFileTo((dir / "a").string(), (other / "a").string(), &error)) << error;
  EXPECT_EQ(test::ReadFile(other / "a"), "new");
  EXPECT_FALSE(fs::exists(dir / "a"));
  fs::remove_all(other, ec);
}

static bool SameDevice(const fs::path& a, const fs::path& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

// Whether a move must copy is the rename's own answer: a bind mount of the
// same file system shows the same device number and still refuses with
// EXDEV, and any other refusal is a failure even between two file systems.
TEST_F(FolderCopy, MoveCopiesExactlyWhenTheRenameSaysCrossDevice) {
  std::error_code ec;
  const fs::path shm = fs::path("/dev/shm") / ("yux-exdev-" + test::UniqueNamespace());
  const bool otherDevice = fs::create_directories(shm, ec) && !SameDevice(dir.path(), shm);
  struct Case {
    const char* what;
    int error;
    bool replace;
    fs::path folder;
    bool moved;
  };
  for (const Case& c : {Case{"cross-device on one file system", EXDEV, false, dir / "bind", true},
                        Case{"cross-device, replacing an older file", EXDEV, true, dir / "bind", true},
                        Case{"refused between two file systems", EACCES, false, shm, false}}) {
    SCOPED_TRACE(c.what);
    if (c.folder == shm && !otherDevice) continue;  // no second file system here
    fs::create_directories(c.folder);
    const fs::path from = dir / "a", to = c.folder / "a";
    test::WriteFile(from, "new");
    if (c.replace) test::WriteFile(to, "old");
    test::RenameFault fault(c.error, [&](const std::string& f, const std::string&) { return f == from.string(); });
    std::string error;
    EXPECT_EQ(platform::MoveFileTo(from.string(), to.string(), &error, c.replace), c.moved) << error;
    EXPECT_EQ(fault.failed, 1);
    if (c.moved) {
      EXPECT_EQ(test::ReadFile(to), "new");
      EXPECT_FALSE(fs::exists(from));
    } else {
      EXPECT_EQ(error, std::strerror(c.error));
      EXPECT_EQ(test::ReadFile(from), "new");
      EXPECT_FALSE(fs::exists(to));
    }
    // Nothing but the file itself in the target folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(c.folder), fs::directory_iterator()), c.moved ? 1 : 0);
    fs::remove_all(c.folder, ec);
    fs::remove(from, ec);
  }
  fs::remove_all(shm, ec);
}

TEST_F(FolderCopy, TwoFilesGiveTwoHistoryLinesSecondOnTop) {
  Produce({"x.part1.rar", "x.part2.rar"});
  EXPECT_EQ(CopyProducedFiles(Job({"x.part1.rar", "x.part2.rar"})), FolderCopyResult::Done);
  const std::string d = (dir / "dest").string();
  EXPECT_EQ(HistoryTails(), (std::vector<std::string>{"4-COPY\t" + d + "/x.part2.rar",
                                                      "4-COPY\t" + d + "/x.part1.rar"}));
  EXPECT_EQ(test::ReadFile(dir / "dest" / "x.part1.rar"), "data of x.part1.rar");
  EXPECT_TRUE(fs::is_empty(dir / "run"));
  EXPECT_EQ(log.lines, (std::vector<std::string>{"P: COPY - Successfully copied x.part1.rar.",
                                                 "P: COPY - Successfully copied x.part2.rar."}));
}

TEST_F(FolderCopy, AFailedMoveDropsEarlierNamesFromTheBlock) {
  Produce({"1.rar", "2.rar", "3.rar"});
  fs::create_directories(dir / "dest");
  test::WriteFile(dir / "dest" / "2.rar", "older");
  EXPECT_EQ(CopyProducedFiles(Job({"1.rar", "2.rar", "3.rar"})), FolderCopyResult::Done);
  const std::string d = (dir / "dest").string();
  EXPECT_EQ(test::ReadFile(dir / "dest" / "2.rar"), "older");
  EXPECT_EQ(HistoryTails(),
            (std::vector<std::string>{"4-COPY\t" + d + "/3.rar", "4-COPY\t" + d + "/1.rar"}));
  const auto block = *ReadPresetList("P", ".lgc");
  ASSERT_EQ(block.size(), 3u);
  EXPECT_EQ(block[1], "3.rar");
  EXPECT_TRUE(Has("P: COPY - File 2.rar already exists, no permission to overwrite. [!]"));
  EXPECT_TRUE(Has("P: COPY - Cannot write 2.rar to the specified location. [!]"));
}

TEST_F(FolderCopy, OverwriteReplacesAnOldVersion) {
  preset.owe = true;
  Produce({"1.rar"});
  fs::create_directories(dir / "dest");
  test::WriteFile(dir / "dest" / "1.rar", "older");
  EXPECT_EQ(CopyProducedFiles(Job({"1.rar"})), FolderCopyResult::Done);
  EXPECT_EQ(test::ReadFile(dir / "dest" / "1.rar"), "data of 1.rar");
  EXPECT_TRUE(Has("P: COPY - File 1.rar already exists, deleting."));
}

// Overwriting means replacing: when the new file cannot be moved in (here
// it has vanished from the run folder), the version the user already had
// must still be there rather than be deleted up front for nothing.
TEST_F(FolderCopy, OverwriteKeepsTheOldVersionWhenTheMoveFails) {
  preset.owe = true;
  Produce({"2.rar"});
  fs::create_directories(dir / "dest");
  test::WriteFile(dir / "dest" / "1.rar", "older");
  test::WriteFile(dir / "dest" / "2.rar", "older 2");
  EXPECT_EQ(CopyProducedFiles(Job({"1.rar", "2.rar"})), FolderCopyResult::Done);
  EXPECT_EQ(test::ReadFile(dir / "dest" / "1.rar"), "older");
  EXPECT_TRUE(Has("P: COPY - Cannot write 1.rar to the specified location. [!]"));
  EXPECT_EQ(test::ReadFile(dir / "dest" / "2.rar"), "data of 2.rar");
  EXPECT_FALSE(fs::exists(dir / "run" / "2.rar"));
  // Nothing but the two archives is left in the destination.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "dest"), fs::directory_iterator()), 2);
}

// A split archive over earlier sets of the same name: once every new
// volume is in, the earlier sets' volumes go, the longer one's last
// volumes and those numbered in another width; another name and a set not
// delivered whole leave everything as it is.  A folder in the way gets an
// error line, but the run is no failure for it (only its own files ever go
// with it): the new set reads as itself whatever lies beside it.
TEST_F(FolderCopy, AWholeSetTakesTheVolumesOfEarlierSetsWithIt) {
  preset.owe = true;
  const std::string d = (dir / "dest").string();
  const std::vector<std::string> newSet = {"a.part1.rar", "a.part2.rar", "a.part3.rar"};
  struct Case {
    const char* what;
    std::vector<std::string> produced;  // what the run folder holds of the new set
    std::vector<std::string> left;      // the destination afterwards
    std::vector<std::string> lines;     // the copy's lines about stale volumes
    bool complete;
  };
  const std::vector<Case> cases = {
      {"whole set", newSet,
       {"a.part1.rar", "a.part2.rar", "a.part3.rar", "a.part6.rar", "b.part4.rar"},
       {"P: COPY - Deleted " + d + "/a.part01.rar: a volume of an earlier set of the same name.",
        "P: COPY - Deleted " + d + "/a.part10.rar: a volume of an earlier set of the same name.",
        "P: COPY - Deleted " + d + "/a.part4.rar: a volume of an earlier set of the same name.",
        "P: COPY - Deleted " + d + "/a.part5.rar: a volume of an earlier set of the same name."},
       true},
      {"a volume missing", {"a.part1.rar", "a.part3.rar"},
       {"a.part01.rar", "a.part1.rar", "a.part10.rar", "a.part2.rar", "a.part3.rar", "a.part4.rar",
        "a.part5.rar", "a.part6.rar", "b.part4.rar"},
       {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir / "dest");
    fs::create_directories(dir / "dest");
    for (int i = 1; i <= 5; ++i) test::WriteFile(dir / "dest" / ("a.part" + std::to_string(i) + ".rar"), "old");
    // A gap, another width, another name: all but the last are earlier sets.
    test::WriteFile(dir / "dest" / "a.part01.rar", "old");
    test::WriteFile(dir / "dest" / "a.part10.rar", "old");
    test::WriteFile(dir / "dest" / "b.part4.rar", "old");
    fs::create_directories(dir / "dest" / "a.part6.rar" / "inside");
    Produce(c.produced);
    log.lines.clear();
    RunDeliveries deliveries;
    deliveries.Start(newSet);
    deliveries.Expect(DeliveryKind::Copy);
    FolderCopyJob job = Job(newSet);
    job.deliveries = &deliveries;
    EXPECT_EQ(CopyProducedFiles(job), FolderCopyResult::Done);
    std::vector<std::string> left, lines;
    for (const auto& e : fs::directory_iterator(dir / "dest")) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, c.left);
    for (const auto& l : log.lines)
      if (l.find("earlier set") != std::string::npos && l.find("a.part6.rar") == std::string::npos)
        lines.push_back(l);
    EXPECT_EQ(lines, c.lines);
    if (c.complete) {
      EXPECT_TRUE(std::any_of(log.lines.begin(), log.lines.end(), [&](const std::string& l) {
        return l.rfind("P: COPY - Cannot delete " + d + "/a.part6.rar, a volume of an earlier set of the same "
                       "name: ", 0) == 0 && l.size() > 4 && l.substr(l.size() - 4) == " [!]";
      })) << ::testing::PrintToString(log.lines);
      EXPECT_TRUE(fs::is_directory(dir / "dest" / "a.part6.rar" / "inside"));
      // Every volume arrived; the volume that stayed is left for tidying.
      EXPECT_TRUE(deliveries.AllComplete());
    }
  }
}

// The look for earlier volumes finds no folder to list (it went away once
// the set was in): one plain line names the folder, no error line, and the
// delivery is complete.
TEST_F(FolderCopy, AFolderThatCannotBeListedIsNoErrorOfTheRun) {
  preset.owe = true;
  const std::vector<std::string> set = {"a.part1.rar", "a.part2.rar"};
  Produce(set);
  RunDeliveries deliveries;
  deliveries.Start(set);
  deliveries.Expect(DeliveryKind::Copy);
  FolderCopyJob job = Job(set);
  job.deliveries = &deliveries;
  const fs::path dest = dir / "dest";
  job.pump = [&] {
    if (fs::exists(dest / "a.part2.rar") && fs::is_directory(dest)) {
      fs::rename(dest, dir / "moved");
      test::WriteFile(dest, "not a folder");
    }
  };
  EXPECT_EQ(CopyProducedFiles(job), FolderCopyResult::Done);
  std::vector<std::string> lines;
  for (const auto& l : log.lines)
    if (l.find("earlier set") != std::string::npos) lines.push_back(l);
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(lines[0].rfind("P: COPY - Cannot look for volumes of an earlier set of the same name in " + dest.string() +
                               ": ", 0),
            0u) << lines[0];
  EXPECT_EQ(lines[0].find("[!]"), std::string::npos);
  EXPECT_FALSE(ErrorOccurred);
  EXPECT_TRUE(deliveries.AllComplete());
}

// Without "Overwrite old versions" every existing volume keeps its place
// (with its line) and the next file goes on: a longer new set's later
// volumes land beside the older set.  Nothing of an older set is removed,
// not even beside a new set delivered whole, so it still reads as itself.
TEST_F(FolderCopy, WithoutOverwriteAnOlderSetStaysWhole) {
  preset.owe = false;
  auto numbered = [](int count, int width) {
    std::vector<std::string> out;
    for (int i = 1; i <= count; ++i) {
      std::string n = std::to_string(i);
      out.push_back("a.part" + std::string(width - std::min<int>(width, int(n.size())), '0') + n + ".rar");
    }
    return out;
  };
  struct Case {
    const char* what;
    std::vector<std::string> older, newer;
    std::vector<std::string> refused;  // existing names the new set met
  };
  const std::vector<Case> cases = {
      {"five over three", numbered(3, 1), numbered(5, 1), numbered(3, 1)},
      {"three beside ten of two digits", numbered(10, 2), numbered(3, 1), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir / "dest");
    fs::create_directories(dir / "dest");
    for (const auto& name : c.older) test::WriteFile(dir / "dest" / name, "old");
    Produce(c.newer);
    log.lines.clear();
    EXPECT_EQ(CopyProducedFiles(Job(c.newer)), FolderCopyResult::Done);
    for (const auto& name : c.older) EXPECT_EQ(test::ReadFile(dir / "dest" / name), "old") << name;
    for (const auto& name : c.refused)
      EXPECT_TRUE(Has("P: COPY - File " + name + " already exists, no permission to overwrite. [!]")) << name;
    for (const auto& name : c.newer)
      if (std::find(c.refused.begin(), c.refused.end(), name) == c.refused.end())
        EXPECT_EQ(test::ReadFile(dir / "dest" / name), "data of " + name);
    EXPECT_TRUE(std::none_of(log.lines.begin(), log.lines.end(),
                             [](const std::string& l) { return l.find("earlier set") != std::string::npos; }))
        << ::testing::PrintToString(log.lines);
  }
}

TEST_F(FolderCopy, ReplacingMoveAcrossFileSystems) {
  std::error_code ec;
  if (!fs::is_directory("/dev/shm", ec)) GTEST_SKIP() << "no second file system";
  const fs::path other = fs::path("/dev/shm") / ("yux-replace-" + test::UniqueNamespace());
  fs::create_directories(other);
  test::WriteFile(dir / "a", "new");
  test::WriteFile(other / "a", "old");
  std::string error;
  EXPECT_TRUE(platform::MoveFileTo((dir / "a").string(), (other / "a").string(), &error, true)) << error;
  EXPECT_EQ(test::ReadFile(other / "a"), "new");
  EXPECT_FALSE(fs::exists(dir / "a"));
  // A source that cannot be copied leaves the old target as it was.
  EXPECT_FALSE(platform::MoveFileTo((dir / "missing").string(), (other / "a").string(), &error, true));
  EXPECT_EQ(test::ReadFile(other / "a"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(other), fs::directory_iterator()), 1);
  fs::remove_all(other, ec);
}

TEST_F(FolderCopy, NothingProducedOrNoDestination) {
  EXPECT_EQ(CopyProducedFiles(Job({})), FolderCopyResult::NoFiles);
  EXPECT_TRUE(Has("P: COPY - No files to process. [!]"));

  Produce({"1.rar"});
  test::WriteFile(dir / "blocker", "a file where the folder should be");
  FolderCopyJob job = Job({"1.rar"});
  job.destination = (dir / "blocker" / "sub").string();
  EXPECT_EQ(CopyProducedFiles(job), FolderCopyResult::EndRun);
  EXPECT_TRUE(Has("P: Error creating destination folder. [!]"));
}

TEST_F(FolderCopy, AbortBetweenFilesKeepsWhatWasDelivered) {
  Produce({"1.rar", "2.rar"});
  FolderCopyJob job = Job({"1.rar", "2.rar"});
  job.pump = [] { AbortRequested = true; };
  EXPECT_EQ(CopyProducedFiles(job), FolderCopyResult::Aborted);
  EXPECT_TRUE(fs::exists(dir / "dest" / "1.rar"));
  EXPECT_FALSE(fs::exists(dir / "dest" / "2.rar"));
  const auto block = *ReadPresetList("P", ".lgc");
  ASSERT_EQ(block.size(), 3u);
  EXPECT_EQ(block[1], "1.rar");
}

// A diskette: prompted before every file and, with "empty by mask", emptied
// before every file.
TEST_F(FolderCopy, DisketteIsPromptedAndEmptiedBeforeEveryFile) {
  fs::create_directories(dir / "floppy" / "bk");
  auto& drives = platform::DriveLetterMap::Global();
  ASSERT_TRUE(drives.AssignFolder('A', (dir / "floppy").string()));
  auto boxes = std::make_shared<platform::ScriptedMessageBoxService>();
  platform::SetMessageBoxService(boxes);
  preset.edc = true;
  preset.efl = true;
  preset.ems = "*.rar";
  test::WriteFile(dir / "floppy" / "bk" / "stale.rar", "x");
  test::WriteFile(dir / "floppy" / "bk" / "note.txt", "x");
  Produce({"v1.rar", "v2.rar"});
  FolderCopyJob job = Job({"v1.rar", "v2.rar"});
  job.destinationText = "a:\\bk";
  job.destination = LocalFolderPath(job.destinationText);
  EXPECT_EQ(job.destination, (dir / "floppy" / "bk").string());
  EXPECT_EQ(CopyProducedFiles(job), FolderCopyResult::Done);
  drives.Remove('A');

  const auto asked = boxes->Asked();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].text, "\nPlease insert next diskette.");
  // The second emptying spares the first file: it is this run's, and
  // deleting it would lose the volume just delivered.
  EXPECT_FALSE(fs::exists(dir / "floppy" / "bk" / "stale.rar"));
  EXPECT_EQ(test::ReadFile(dir / "floppy" / "bk" / "v1.rar"), "data of v1.rar");
  EXPECT_TRUE(fs::exists(dir / "floppy" / "bk" / "v2.rar"));
  EXPECT_TRUE(Has("P: COPY - Emptying spares v1.rar: a file of this run."));
  EXPECT_TRUE(fs::exists(dir / "floppy" / "bk" / "note.txt"));
  EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(),
                       "P: COPY - Emptying the destination folder (mask - *.rar)."),
            2);
}

// A fixed archive name: emptying the folder must not refuse the new archive
// its place (the older file of that name goes, without "owe"), yet the older
// file is only replaced by the move, so a move that fails leaves it there.
TEST_F(FolderCopy, EmptyingLetsTheMoveReplaceAnOlderFileOfARunName) {
  preset.efl = true;
  preset.ems = "*.rar";
  preset.owe = false;
  fs::create_directories(dir / "dest");
  test::WriteFile(dir / "dest" / "fixed.rar", "older");
  test::WriteFile(dir / "dest" / "gone.rar", "older 2");
  test::WriteFile(dir / "dest" / "stale.rar", "x");
  Produce({"fixed.rar"});
  EXPECT_EQ(CopyProducedFiles(Job({"gone.rar", "fixed.rar"})), FolderCopyResult::Done);
  EXPECT_EQ(test::ReadFile(dir / "dest" / "fixed.rar"), "data of fixed.rar");
  EXPECT_EQ(test::ReadFile(dir / "dest" / "gone.rar"), "older 2");
  EXPECT_TRUE(Has("P: COPY - Cannot write gone.rar to the specified location. [!]"));
  EXPECT_FALSE(fs::exists(dir / "dest" / "stale.rar"));
  EXPECT_FALSE(Has("P: COPY - Emptying spares fixed.rar: a file of this run."));
  EXPECT_FALSE(Has("P: COPY - File fixed.rar already exists, deleting."));
}

// The diskette box, as a user sees it, while nobody is there to press OK:
// the end of the session (which aborts the run) closes it, and the stage
// ends aborted with the file still in the run folder.
TEST_F(FolderCopy, DisketteBoxClosesWhenTheRunIsAborted) {
  fs::create_directories(dir / "floppy");
  auto& drives = platform::DriveLetterMap::Global();
  ASSERT_TRUE(drives.AssignFolder('A', (dir / "floppy").string()));
  platform::SetMessageBoxService(std::make_shared<platform::QtMessageBoxService>());
  preset.edc = true;
  Produce({"v1.rar"});
  FolderCopyJob job = Job({"v1.rar"});
  job.destinationText = "A:\\";
  job.destination = LocalFolderPath(job.destinationText);
  test::UnansweredBox box;
  EXPECT_EQ(CopyProducedFiles(job), FolderCopyResult::Aborted);
  box.Stop();
  drives.Remove('A');
  EXPECT_EQ(box.shown, "Please insert next diskette.");
  EXPECT_FALSE(box.clicked);
  EXPECT_TRUE(fs::exists(dir / "run" / "v1.rar"));
  EXPECT_FALSE(fs::exists(dir / "floppy" / "v1.rar"));
  EXPECT_FALSE(Has("P: COPY - Successfully copied v1.rar."));
}

// A copy to another file system handles messages between its chunks; an
// abort that arrives meanwhile cuts it off: nothing under the archive's
// name at the destination, the archive still in the run folder, and no
// line that blames the destination.
TEST_F(FolderCopy, AnAbortCutsACopyToAnotherFileSystem) {
  // The destination lies on another mount: moving out of the run folder
  // is refused as cross-device, so the file is copied.
  test::RenameFault otherMount(EXDEV, [&](const std::string& from, const std::string&) {
    return from.starts_with((dir / "run").string());
  });
  const fs::path other = dir / "dest";
  const std::string data(platform::kCopyChunkBytes * 6, 'z');
  test::WriteFile(dir / "run" / "big.rar", data);
  FolderCopyJob job = Job({"big.rar"});
  int pumped = 0;
  job.pump = [&] {
    if (++pumped == 2) AbortRequested = true;
  };
  EXPECT_EQ(CopyProducedFiles(job), FolderCopyResult::Aborted);
  EXPECT_EQ(pumped, 2);
  EXPECT_TRUE(fs::is_empty(other)) << "a partial or whole copy was left";
  EXPECT_EQ(test::ReadFile(dir / "run" / "big.rar"), data);
  EXPECT_FALSE(Has("P: COPY - Successfully copied big.rar."));
  EXPECT_FALSE(Has("P: COPY - Cannot write big.rar to the specified location. [!]"));
  EXPECT_EQ(otherMount.failed, 1);
}

TEST_F(FolderCopy, EmptyingByMaskHappensOnceWithoutDiskette) {
  preset.efl = true;
  preset.ems = "*.rar";
  fs::create_directories(dir / "dest");
  test::WriteFile(dir / "dest" / "stale.rar", "x");
  Produce({"v1.rar", "v2.rar"});
  EXPECT_EQ(CopyProducedFiles(Job({"v1.rar", "v2.rar"})), FolderCopyResult::Done);
  EXPECT_FALSE(fs::exists(dir / "dest" / "stale.rar"));
  EXPECT_TRUE(fs::exists(dir / "dest" / "v1.rar"));
  EXPECT_TRUE(fs::exists(dir / "dest" / "v2.rar"));
  EXPECT_TRUE(IsDisketteDestination("B:\\x"));
  EXPECT_FALSE(IsDisketteDestination("/b/x"));
  EXPECT_FALSE(IsDisketteDestination("Backup"));
}

}  // namespace
