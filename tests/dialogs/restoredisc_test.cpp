// Disc rows of the restore window: an archive the disc library wrote to an
// emulated drive is found by "Refresh CDRW", read off the disc and restored
// with the real stand-in archiver; a blank disc shows it missing.
#include <QCheckBox>
#include <QCoreApplication>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include "core/run/foldercopy.h"
#include "core/services/restorehistory.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/presets.h"
#include "dialogs/restoreform.h"
#include "disc/lcdbpro.h"
#include "platform/driveletters.h"
#include "platform/messages.h"
#include "platform/mmc_emulated.h"
#include "tests/dialogs/restore_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

class RestoreDisc : public RestoreTest {
 protected:
  void TearDown() override {
    platform::DriveLetterMap::Global().Clear();
    RestoreTest::TearDown();
  }
  // Writes the files into the root of the disc in the drive of `letter`.
  void Burn(char letter, const std::vector<std::string>& files, bool joliet) {
    int owner = 0;
    disc::TLCDBurnerPro burner(&owner);
    ASSERT_TRUE(burner.InitializeDevices(false));
    ASSERT_TRUE(burner.SelectDeviceByLetter(letter));
    burner.SetJolietFileSystem(joliet);
    bool done = false, failed = true;
    burner.OnWriteDone = [&](disc::TLCDBurnerPro*, uint8_t, bool f) {
      failed = f;
      done = true;
    };
    for (const auto& f : files) ASSERT_NE(burner.InsertFile("\\", f), nullptr) << f;
    ASSERT_GT(burner.PrepareImage(), 0u);
    ASSERT_TRUE(burner.WriteDisc());
    ASSERT_TRUE(platform::WaitPumping([&] { return done; }, 60000, 5));
    ASSERT_FALSE(failed);
  }
  void RestoreSetFromRow(const std::vector<std::string>& format, const std::string& archive,
                         const std::string& row, const std::string& folder);
};

// Data of several blocks that does not repeat, so that a block read from
// the wrong place shows.
std::string BigFile() {
  std::string b;
  for (int i = 0; i < 150000; ++i) b += std::to_string(i) + ",";
  return b;
}

// Compares trees by names and sizes first, so that a failure stays short.
void ExpectTree(const std::map<std::string, std::string>& got, const std::map<std::string, std::string>& want) {
  std::map<std::string, size_t> gotSizes, wantSizes;
  for (auto& [n, d] : got) gotSizes[n] = d.size();
  for (auto& [n, d] : want) wantSizes[n] = d.size();
  ASSERT_EQ(gotSizes, wantSizes);
  for (auto& [n, d] : want) EXPECT_TRUE(got.at(n) == d) << n;
}

// Splits a small tree into volumes named after `archive` (with the format
// switches `format`), writes them all to the disc in E:, double clicks the
// disc row of the volume `row` and expects the tree restored into the
// folder `folder`, without a copy left in the temp folder.
void RestoreDisc::RestoreSetFromRow(const std::vector<std::string>& format, const std::string& archive,
                                    const std::string& row, const std::string& folder) {
  WinRarPath = BuiltProgram("winrar").string();
  const std::map<std::string, std::string> files{{"a.txt", "alpha"}, {"big.bin", BigFile()}};
  for (auto& [n, d] : files) WriteFile(work / "src" / n, d);
  fs::create_directories(work / "run");
  std::vector<std::string> argv{WinRarPath, "a", "-ep1", "-r", "-ibck", "-m0", "-v300k"};
  argv.insert(argv.end(), format.begin(), format.end());
  argv.insert(argv.end(), {(work / "run" / archive).string(), (work / "src").string()});
  ProcessResult made = RunProgram(argv);
  ASSERT_EQ(made.exitCode, 0) << made.err;
  std::vector<std::string> volumes;
  for (auto& e : fs::directory_iterator(work / "run")) volumes.push_back(e.path().string());
  ASSERT_GE(volumes.size(), 3u);
  ASSERT_TRUE(fs::exists(work / "run" / row));

  tarcopt preset;
  SetPresetDefaults(preset);
  ASSERT_TRUE(SavePreset("P", preset));
  auto& drives = platform::DriveLetterMap::Global();
  drives.Clear();
  ASSERT_EQ(drives.Load("E=emulated:DVD+RW:" + (work / "e.img").string()), 1);
  Burn('E', volumes, true);
  AddHistoryLine("P", kHistoryCd, "E:\\" + row, QDateTime(QDate(2024, 5, 6), QTime(10, 0)));

  Trestoreform f("P");
  ASSERT_TRUE(f.LoadRestoreHistory());
  fs::create_directories(work / "to");
  f.chooseFolder = [&] { return (work / "to").string(); };
  std::vector<std::string> shown;
  f.showFolder = [&](const std::string& shownFolder) { shown.push_back(shownFolder); };
  f.histlistDblClick(Row(f, "E:\\" + row));
  std::map<std::string, std::string> expected;
  for (auto& [n, d] : files) expected["src/" + n] = d;
  ExpectTree(FilesBelow(work / "to" / folder), expected);
  const auto asked = boxes->Asked();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_NE(asked[0].text.find("restored to " + (work / "to" / folder).string()), std::string::npos)
      << asked[0].text;
  EXPECT_EQ(shown, std::vector<std::string>{(work / "to" / folder).string()});
  EXPECT_TRUE(fs::is_empty(work / "tmp"));
}

}  // namespace

TEST_F(RestoreDisc, AnArchiveOnTheDiscIsFoundReadAndRestoredAndABlankDiscHasNone) {
  WinRarPath = BuiltProgram("winrar").string();
  std::map<std::string, std::string> files{{"a b.txt", "alpha"},
                                           {"sub/\xc3\xbc\xc3\xa9.bin", std::string("\0\1\xfe\xff", 4)},
                                           {"big.bin", BigFile()}};
  for (auto& [n, d] : files) {
    fs::create_directories((work / "src" / n).parent_path());
    WriteFile(work / "src" / n, d);
  }
  fs::create_directories(work / "run");
  const std::string archive = (work / "run/P 2024.rar").string();
  ProcessResult made = RunProgram({WinRarPath, "a", "-ep1", "-r", "-ibck", "-hpp w", archive, (work / "src").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  fs::copy_file(archive, work / "run/plain.rar");
  made = RunProgram({WinRarPath, "a", "-ep1", "-r", "-ibck", "-m0", "-v300k", "-hpp w", (work / "run/V.rar").string(),
                     (work / "src").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  std::vector<std::string> onE{archive};
  for (auto& e : fs::directory_iterator(work / "run"))
    if (e.path().filename().string().starts_with("V.part")) onE.push_back(e.path().string());
  ASSERT_EQ(onE.size(), 5u);

  tarcopt preset;
  SetPresetDefaults(preset);
  preset.pwd = "p w";
  ASSERT_TRUE(SavePreset("P", preset));

  // E: holds the archive with Joliet names, G: with ISO 9660 names only,
  // F: a blank medium.
  const std::string img = (work / "img").string();
  fs::create_directories(img);
  auto& drives = platform::DriveLetterMap::Global();
  drives.Clear();
  ASSERT_EQ(drives.Load("E=emulated:DVD+RW:" + img + "/e.img;F=emulated:DVD+RW:" + img +
                        "/f.img;G=emulated:DVD+RW:" + img + "/g.img"),
            3);
  Burn('E', onE, true);
  Burn('G', {(work / "run/plain.rar").string()}, false);

  QDateTime t(QDate(2024, 5, 6), QTime(10, 0));
  AddHistoryLine("P", kHistoryCd, "E:\\P 2024.rar", t);
  AddHistoryLine("P", kHistoryCd, "E:\\p 2024.RAR", t.addSecs(60));
  AddHistoryLine("P", kHistoryCd, "F:\\P 2024.rar", t.addSecs(120));
  AddHistoryLine("P", kHistoryCd, "G:\\plain.rar", t.addSecs(180));
  AddHistoryLine("P", kHistoryCd, "H:\\P 2024.rar", t.addSecs(240));
  AddHistoryLine("P", kHistoryCd, "E:\\V.part1.rar", t.addSecs(300));

  Trestoreform f("P");
  f.only3items->setChecked(false);  // six disc rows
  ASSERT_TRUE(f.LoadRestoreHistory());
  for (int i = 0; i < f.histlist->topLevelItemCount(); ++i)
    EXPECT_EQ(Trestoreform::RowImage(f.histlist->topLevelItem(i)), 2);
  f.brefrcd->click();
  struct Case {
    const char* location;
    int image;
  } cases[] = {
      {"E:\\P 2024.rar", 0},  // the Joliet name, exactly
      {"E:\\p 2024.RAR", 1},  // Joliet names are not matched in another case
      {"F:\\P 2024.rar", 1},  // a blank disc
      {"G:\\plain.rar", 0},   // the ISO name "PLAIN.RAR" in any case
      {"H:\\P 2024.rar", 1},  // no drive behind the letter
  };
  for (const auto& c : cases) EXPECT_EQ(Trestoreform::RowImage(Row(f, c.location)), c.image) << c.location;

  fs::create_directories(work / "to");
  f.chooseFolder = [&] { return (work / "to").string(); };
  std::vector<std::string> shown;
  f.showFolder = [&](const std::string& folder) { shown.push_back(folder); };
  f.histlistDblClick(Row(f, "E:\\P 2024.rar"));
  EXPECT_EQ(hooks.asked, 0);
  EXPECT_EQ(shown, std::vector<std::string>{(work / "to/P 2024").string()});
  std::map<std::string, std::string> expected;
  for (auto& [n, d] : files) expected["src/" + n] = d;
  ExpectTree(FilesBelow(work / "to/P 2024"), expected);
  f.histlistDblClick(Row(f, "G:\\plain.rar"));
  ExpectTree(FilesBelow(work / "to/plain"), expected);
  // The first volume of a split archive brings the others along.
  f.histlistDblClick(Row(f, "E:\\V.part1.rar"));
  ExpectTree(FilesBelow(work / "to/V.part1"), expected);
  // The copies read off the discs are gone with their folders.
  EXPECT_TRUE(fs::is_empty(work / "tmp"));

  // Missing rows start nothing.
  f.histlistDblClick(Row(f, "F:\\P 2024.rar"));
  f.histlistDblClick(Row(f, "E:\\p 2024.RAR"));
  auto asked = boxes->Asked();
  ASSERT_EQ(asked.size(), 5u);
  EXPECT_NE(asked[0].text.find("restored to " + (work / "to/P 2024").string()), std::string::npos)
      << asked[0].text;
  EXPECT_NE(asked[2].text.find("restored to " + (work / "to/V.part1").string()), std::string::npos)
      << asked[2].text;
  EXPECT_NE(asked[3].text.find("Cannot locate this file"), std::string::npos) << asked[3].text;
  EXPECT_NE(asked[4].text.find("Cannot locate this file"), std::string::npos) << asked[4].text;
  EXPECT_EQ(shown.size(), 3u);

  // A block of the archive that cannot be read: said plainly, nothing is
  // restored and no copy stays behind.
  platform::DriveMapping e;
  ASSERT_TRUE(drives.Find('E', e));
  const auto where = DiscContents('E').Find("P 2024.rar");
  ASSERT_TRUE(where.has_value());
  e.emulated->InjectMediumError(where->extents[0].first + 1);
  f.histlistDblClick(Row(f, "E:\\P 2024.rar"));
  asked = boxes->Asked();
  ASSERT_EQ(asked.size(), 6u);
  EXPECT_NE(asked[5].text.find("The disc could not be read at block"), std::string::npos) << asked[5].text;
  EXPECT_FALSE(fs::exists(work / "to/P 2024 (2)"));
  EXPECT_TRUE(fs::is_empty(work / "tmp"));
  EXPECT_EQ(shown.size(), 3u);

  const fs::path screens = BuildDir() / "screens";
  fs::create_directories(screens);
  f.show();
  QCoreApplication::processEvents();
  EXPECT_TRUE(f.grab().save(QString::fromStdString((screens / "restoreform_disc.png").string())));
}

// A volume set in the ZIP format ("name.partN.zip") comes off the disc
// whole with its first volume and restores.
TEST_F(RestoreDisc, AZipVolumeSetOnTheDiscIsReadWholeAndRestored) {
  RestoreSetFromRow({"-afzip"}, "Z", "Z.part1.zip", "Z.part1");
}

// The row of a later volume: the set comes off the disc and is restored
// from its first volume.
TEST_F(RestoreDisc, ALaterVolumeRowRestoresItsSetFromTheFirst) {
  RestoreSetFromRow({}, "V.rar", "V.part3.rar", "V.part1");
}
