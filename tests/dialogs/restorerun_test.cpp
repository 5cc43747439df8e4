// The restore window over what a real run delivered: a yux process archives
// a tree with a password that holds a blank and copies the archive to a
// folder; the window restores its copy row with the real stand-in archiver.
#include <QCheckBox>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include "core/run/foldercopy.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/presets.h"
#include "dialogs/restoreform.h"
#include "platform/driveletters.h"
#include "tests/core/yux_process.h"
#include "tests/dialogs/restore_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

// Every regular file below `root` with its bytes, by the path after the
// first folder named `base` (the archive's own folder layout aside).
std::map<std::string, std::string> TreeBelow(const fs::path& root, const std::string& base) {
  std::map<std::string, std::string> files;
  for (auto& [rel, data] : FilesBelow(root)) {
    const size_t at = rel.find(base + "/");
    files[at == std::string::npos ? rel : rel.substr(at + base.size() + 1)] = data;
  }
  return files;
}

// Every path below `root`, files and folders.
std::vector<std::string> AllBelow(const fs::path& root) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it)
    paths.push_back(fs::relative(it->path(), root).string());
  std::sort(paths.begin(), paths.end());
  return paths;
}

using RestoreRun = RestoreTest;

}  // namespace

TEST_F(RestoreRun, CopyRowsOfARealRunRestoreTheTreeAskForAChangedPasswordAndStayInTheFolder) {
  YuxWorld world;
  world.UseSettingsFolder();
  const fs::path source = world.settings / "source";
  const std::map<std::string, std::string> sources{
      {"a b.txt", "alpha with blanks"},
      {"\xc3\xbc\xc3\xa9 dir/\xe2\x82\xac sign.txt", "utf-8 names"},
      {"bin/data.bin", [] {
         std::string b;
         for (int i = 0; i < 70000; ++i) b.push_back(static_cast<char>((i * 7919) >> 3));
         return b;
       }()},
  };
  for (auto& [n, d] : sources) {
    fs::create_directories((source / n).parent_path());
    WriteFile(source / n, d);
  }
  const fs::path dest = world.settings / "dest";
  WriteDailyPreset(world, source, dest, [](tarcopt& p) {
    p.pas = true;
    p.pwd = "p w";
  });
  RunningYux yux(world, {"/hide", "Daily", "/exit"});
  ASSERT_TRUE(yux.proc().waitForFinished(90000)) << world.Log();
  const std::string archive = (dest / "Daily.rar").string();
  ASSERT_TRUE(fs::exists(archive)) << world.Log() << yux.Err();

  // An archive from elsewhere, delivered under the same preset, whose
  // names lead out of any folder.
  const std::string evil = (dest / "evil.rar").string();
  ProcessResult py = RunProgram(
      {"/usr/bin/python3", "-c",
       "import sys, zipfile\n"
       "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
       "for n in ['../x', 'a/../../y', '/abs/z', 'fine.txt']: z.writestr(n, 'x')\n"
       "z.close()\n",
       evil});
  ASSERT_EQ(py.exitCode, 0) << py.err;

  SettingsFolder = world.settings.str();
  PresetsFolder = (world.settings / "presets").string();
  WinRarPath = BuiltProgram("winrar").string();
  AddHistoryLine("Daily", kHistoryCopy, evil);
  const fs::path to = world.settings / "restored";
  fs::create_directories(to);

  struct Case {
    const char* what;
    std::string location;
    std::string presetPassword;  // the preset's password at the restore
    std::string typed;           // what the user types when asked
    int asked;
    std::string folder;
    std::map<std::string, std::string> tree;
    const char* box;
  } cases[] = {
      {"the tree comes back", archive, "p w", "", 0, "Daily", sources, "The archive was restored to "},
      {"a changed password is asked for", archive, "new one", "p w", 1, "Daily (2)", sources,
       "The archive was restored to "},
      {"names leading out stay inside", evil, "", "", 0, "evil", {{"fine.txt", "x"}, {"abs/z", "x"}},
       "The archiver ended with code 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tarcopt preset;
    LoadPreset("Daily", preset);
    preset.pwd = c.presetPassword;
    ASSERT_TRUE(SavePreset("Daily", preset));
    hooks.asked = 0;
    hooks.entry = c.typed;
    const size_t boxesBefore = boxes->Asked().size();
    Trestoreform f("Daily");
    ASSERT_TRUE(f.LoadRestoreHistory());
    f.chooseFolder = [&] { return to.string(); };
    std::vector<std::string> shown;
    f.showFolder = [&](const std::string& folder) { shown.push_back(folder); };
    f.histlistDblClick(Row(f, c.location));
    EXPECT_EQ(hooks.asked, c.asked);
    if (c.asked) EXPECT_EQ(hooks.lastCaption, "Enter password for " + fs::path(c.location).filename().string());
    EXPECT_EQ(shown, std::vector<std::string>{(to / c.folder).string()});
    EXPECT_EQ(TreeBelow(to / c.folder, "source"), c.tree);
    const auto asked = boxes->Asked();
    ASSERT_EQ(asked.size(), boxesBefore + 1);
    EXPECT_NE(asked.back().text.find(c.box), std::string::npos) << asked.back().text;
  }
  // Nothing was written beside the restored folders or above them.
  std::vector<std::string> top;
  for (auto& e : fs::directory_iterator(to)) top.push_back(e.path().filename().string());
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (std::vector<std::string>{"Daily", "Daily (2)", "evil"}));
  for (const fs::path& stray : {world.settings / "x", world.settings / "y", to / "x", to / "y"})
    EXPECT_FALSE(fs::exists(stray)) << stray;
  EXPECT_FALSE(fs::exists("/abs/z"));
  EXPECT_EQ(AllBelow(to / "evil"), (std::vector<std::string>{"abs", "abs/z", "fine.txt"}));
}

// The disc delivery of a real run (an emulated DVD+RW given by YUX_DRIVES)
// writes the "1-CD" line the window finds on the disc and restores from.
TEST_F(RestoreRun, ADiscRowOfARealRunIsFoundOnTheDiscAndRestored) {
  YuxWorld world;
  world.UseSettingsFolder();
  const fs::path source = world.settings / "source";
  const std::map<std::string, std::string> sources{{"a b.txt", "alpha"}, {"\xc3\xbc/\xc3\xa9.txt", "utf-8"}};
  for (auto& [n, d] : sources) {
    fs::create_directories((source / n).parent_path());
    WriteFile(source / n, d);
  }
  WriteDailyPreset(world, source, world.settings / "dest", [](tarcopt& p) {
    p.ctf = false;
    p.cdw = true;
    p.cdr = "E";
    p.cne = true;
    p.pas = true;
    p.pwd = "p w";
  });
  const std::string drives = "E=emulated:DVD+RW:" + (world.settings / "e.img").string();
  setenv("YUX_DRIVES", drives.c_str(), 1);
  RunningYux yux(world, {"/hide", "Daily", "/exit"});
  unsetenv("YUX_DRIVES");
  ASSERT_TRUE(yux.proc().waitForFinished(120000)) << world.Log();

  SettingsFolder = world.settings.str();
  PresetsFolder = (world.settings / "presets").string();
  WinRarPath = BuiltProgram("winrar").string();
  TempFolder = world.temp.str();
  auto& map = platform::DriveLetterMap::Global();
  map.Clear();
  ASSERT_EQ(map.Load(drives), 1);
  Trestoreform f("Daily");
  ASSERT_TRUE(f.LoadRestoreHistory()) << world.Log() << yux.Err();
  ASSERT_EQ(f.histlist->topLevelItemCount(), 1) << world.Log();
  QTreeWidgetItem* row = f.histlist->topLevelItem(0);
  EXPECT_EQ(row->text(1).toStdString(), "1-CD");
  EXPECT_EQ(row->text(2).toStdString(), "E:\\Daily.rar");
  f.brefrcd->click();
  EXPECT_EQ(Trestoreform::RowImage(row), 0);
  const fs::path to = world.settings / "restored";
  fs::create_directories(to);
  f.chooseFolder = [&] { return to.string(); };
  f.showFolder = [](const std::string&) {};
  f.histlistDblClick(row);
  EXPECT_EQ(hooks.asked, 0);
  EXPECT_EQ(TreeBelow(to / "Daily", "source"), sources);
  map.Clear();
}
