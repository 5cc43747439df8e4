// Split backups in the restore window: the row of any volume restores the
// whole set from its first volume, from a copy and from the FTP server, where
// the download window fetches the volumes one number after another until
// the server has no file of the next number.
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/run/deliveryhistory.h"
#include "dialogs/ftpdlform.h"
#include "tests/dialogs/ftpdialogs_fixture.h"
#include "tests/dialogs/restore_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

TEST(SplitVolumeNames, AVolumeLeadsToTheFirstOfItsSetAtItsWidth) {
  struct Case {
    const char* name;
    const char* first;
    const char* tenth;  // volume 10 of the same set; "" when the width has no room
  } cases[] = {
      {"V.part3.rar", "V.part1.rar", ""},
      {"V.part07.rar", "V.part01.rar", "V.part10.rar"},
      {"a b.part1.zip", "a b.part1.zip", ""},
      {"Daily 2024.PART012.RAR", "Daily 2024.PART001.RAR", "Daily 2024.PART010.RAR"},
      {"x.part2.part5.rar", "x.part2.part1.rar", ""},
      // Not volumes: the name stays as it is.
      {"Daily.rar", "Daily.rar", nullptr},
      {"V.part.rar", "V.part.rar", nullptr},
      {"V.part3.7z", "V.part3.7z", nullptr},
      {"V.part3", "V.part3", nullptr},
      {"Vpart3.rar", "Vpart3.rar", nullptr},
      {"V.part1234567890.rar", "V.part1234567890.rar", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FirstVolumeName(c.name), c.first);
    const auto v = ParseSplitVolume(c.name);
    ASSERT_EQ(v.has_value(), c.tenth != nullptr);
    if (v) {
      EXPECT_EQ(v->Name(10), c.tenth);
    }
  }
}

namespace {

// A tree whose archive, stored, fills several volumes.
std::map<std::string, std::string> SplitSources(const fs::path& src) {
  std::string big;
  for (int i = 0; big.size() < 200000; ++i) big += std::to_string(i * 7919 % 100003) + ";";
  const std::map<std::string, std::string> files{{"a b.txt", "alpha"}, {"sub/big.bin", big}};
  for (auto& [n, d] : files) {
    fs::create_directories((src / n).parent_path());
    WriteFile(src / n, d);
  }
  return files;
}

// Splits the tree at `src` into volumes of `volume` with the stand-in
// archiver; the volumes' names, in order.
std::vector<std::string> MakeSet(const std::string& winrar, const fs::path& src, const fs::path& archive,
                                 const std::string& volume, const std::vector<std::string>& more = {}) {
  fs::create_directories(archive.parent_path());
  std::vector<std::string> argv{winrar, "a", "-ep1", "-r", "-ibck", "-m0", "-v" + volume};
  argv.insert(argv.end(), more.begin(), more.end());
  argv.insert(argv.end(), {archive.string(), src.string()});
  ProcessResult made = RunProgram(argv);
  EXPECT_EQ(made.exitCode, 0) << made.err;
  std::vector<std::string> names;
  const std::string stem = archive.stem().string() + ".part";
  for (auto& e : fs::directory_iterator(archive.parent_path()))
    if (e.path().filename().string().starts_with(stem)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, std::string> Prefixed(const std::map<std::string, std::string>& files) {
  std::map<std::string, std::string> out;
  for (auto& [n, d] : files) out["src/" + n] = d;
  return out;
}

bool AnyBoxSays(const platform::ScriptedMessageBoxService& boxes, const std::string& text) {
  const auto asked = boxes.Asked();
  return std::any_of(asked.begin(), asked.end(), [&](const auto& b) { return b.text.find(text) != std::string::npos; });
}

using RestoreSplitCopy = RestoreTest;

}  // namespace

// Copy rows, one per volume as a delivery writes them: the row of a later
// volume restores the set from its first, in the rar and the zip format.
TEST_F(RestoreSplitCopy, TheRowOfAnyVolumeRestoresTheSet) {
  WinRarPath = BuiltProgram("winrar").string();
  const auto files = SplitSources(work / "src");
  const fs::path dest = work / "dest";
  const std::vector<std::string> rar = MakeSet(WinRarPath, work / "src", dest / "V.rar", "60k");
  const std::vector<std::string> zip = MakeSet(WinRarPath, work / "src", dest / "Z", "60k", {"-afzip"});
  ASSERT_EQ(rar.size(), 4u);
  ASSERT_EQ(zip.size(), 4u);
  tarcopt preset;
  SetPresetDefaults(preset);
  ASSERT_TRUE(SavePreset("P", preset));
  for (const auto& n : rar) AddHistoryLine("P", kHistoryCopy, (dest / n).string());
  for (const auto& n : zip) AddHistoryLine("P", kHistoryCopy, (dest / n).string());

  Trestoreform f("P");
  f.only3items->setChecked(false);
  ASSERT_TRUE(f.LoadRestoreHistory());
  fs::create_directories(work / "to");
  f.chooseFolder = [&] { return (work / "to").string(); };
  std::vector<std::string> shown;
  f.showFolder = [&](const std::string& folder) { shown.push_back(folder); };
  struct Case {
    std::string row;
    std::string folder;
  } cases[] = {{rar[2], "V.part1"}, {zip[3], "Z.part1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    f.histlistDblClick(Row(f, (dest / c.row).string()));
    EXPECT_EQ(FilesBelow(work / "to" / c.folder), Prefixed(files));
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), (work / "to" / c.folder).string());
  }
  EXPECT_FALSE(AnyBoxSays(*boxes, "ended with code"));
}

namespace {

class RestoreSplitFtp : public FtpDialogTest {};

}  // namespace

// A run's FTP delivery leaves one row per volume, and the window shows only
// the newest three: the first volume's row is hidden.  Double clicking a
// later volume downloads the set from its first volume into the local
// folder and restores it; a set whose middle volume is not on the server
// stops there, names it and is not said to be restored.
TEST_F(RestoreSplitFtp, AVolumeRowDownloadsItsSetAndAGapIsNamed) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  YUX_REQUIRE_PROGRAM("curl");
  VsftpdServer server;
  ASSERT_TRUE(server.Start(FtpTls::None, "")) << server.Error();
  WinRarPath = BuiltProgram("winrar").string();
  const auto files = SplitSources(work / "src");
  // Ten volumes or more: two digits.
  const std::vector<std::string> wide = MakeSet(WinRarPath, work / "src", work / "up/W.rar", "20k");
  const std::vector<std::string> gap = MakeSet(WinRarPath, work / "src", work / "up/G.rar", "60k");
  ASSERT_EQ(wide.size(), 10u);
  ASSERT_EQ(wide.front(), "W.part01.rar");
  ASSERT_EQ(gap.size(), 4u);
  for (const auto& n : wide) ASSERT_TRUE(CurlUpload(server, work / "up" / n));
  for (const auto& n : gap) {
    if (n != "G.part2.rar") {
      ASSERT_TRUE(CurlUpload(server, work / "up" / n));
    }
  }
  const std::string serverText = "127.0.0.1:" + std::to_string(server.Port());
  preset.fse = serverText;
  preset.ffo = "pub";

  struct Case {
    std::vector<std::string> set;  // the rows of the history, one per volume
    std::string row;
    std::string first;
    std::string refused;  // where the download stopped
    std::vector<std::string> local;
    bool restored;
  } cases[] = {
      {wide, "W.part08.rar", "W.part01.rar", "W.part11.rar", wide, true},
      {gap, "G.part4.rar", "G.part1.rar", "G.part2.rar", {"G.part1.rar"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    fs::remove(PresetFilePath("P", ".hst"));
    std::vector<std::string> rows;
    for (auto it = c.set.rbegin(); it != c.set.rend(); ++it) rows.push_back(serverText + "/pub/" + *it);
    SavePresetWithFtpRows(rows);
    Trestoreform f("P");
    ASSERT_TRUE(f.LoadRestoreHistory());
    ASSERT_EQ(f.histlist->topLevelItemCount(), 3);  // the first volumes' rows are hidden
    const fs::path to = work / "to" / c.first;
    fs::create_directories(to);
    f.chooseFolder = [&] { return to.string(); };
    std::vector<std::string> shown;
    f.showFolder = [&](const std::string& folder) { shown.push_back(folder); };
    std::vector<std::string> memo;
    f.execFtpDialog = [&](QDialog& d) {
      auto& dl = dynamic_cast<Tftpdl&>(d);
      EXPECT_EQ(dl.efile->text().toStdString(), c.first);
      const int result = Download(dl);
      memo = Lines(dl.elog);
      return result;
    };
    const size_t boxesBefore = boxes->Asked().size();
    f.histlistDblClick(Row(f, serverText + "/pub/" + c.row));

    std::vector<std::string> expected = {"FTP - Connecting to " + serverText + ".",
                                         "FTP - Changing folder to \"pub\"."};
    for (const auto& n : c.local) {
      expected.push_back("FTP - Trying to download \"" + n + "\".");
      expected.push_back("FTP - Successfully downloaded \"" + n + "\".");
    }
    expected.push_back("FTP - Trying to download \"" + c.refused + "\".");
    expected.push_back("FTP - Unable to download \"" + c.refused + "\".");
    expected.push_back("FTP - Disconnected.");
    EXPECT_EQ(memo, expected);
    // The volumes stay in the local folder, each as it is on the server.
    std::vector<std::string> local;
    for (const auto& n : Entries(temp.path()))
      if (n.starts_with(c.first.substr(0, 1))) local.push_back(n);
    std::sort(local.begin(), local.end());
    EXPECT_EQ(local, c.local);
    for (const auto& n : c.local) EXPECT_TRUE(ReadFile(temp / n) == ReadFile(work / "up" / n)) << n;

    const auto asked = boxes->Asked();
    ASSERT_EQ(asked.size(), boxesBefore + 1);
    const std::string folder = (to / fs::path(c.first).stem()).string();
    if (c.restored) {
      EXPECT_NE(asked.back().text.find("The archive was restored to " + folder), std::string::npos)
          << asked.back().text;
      EXPECT_EQ(FilesBelow(folder), Prefixed(files));
    } else {
      EXPECT_EQ(asked.back().text.find("restored to"), std::string::npos) << asked.back().text;
      EXPECT_NE(asked.back().text.find("ended with code 2"), std::string::npos) << asked.back().text;
      EXPECT_TRUE(FilesBelow(to).empty());
    }
  }
  // Nothing else stays behind: no file of an unfinished transfer.
  std::vector<std::string> left = Entries(temp.path());
  std::sort(left.begin(), left.end());
  std::vector<std::string> kept = wide;
  kept.insert(kept.begin(), "G.part1.rar");
  EXPECT_EQ(left, kept);
  EXPECT_TRUE(Entries(program.path()).empty());
}
