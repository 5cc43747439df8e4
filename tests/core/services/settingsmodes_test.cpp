// Settings files hold (scrambled) passwords: a user's own settings folder
// and everything written into it stay private; the folder all users share
// keeps group access.
#include <QDateTime>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "core/run/foldercopy.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "core/store/savefile.h"
#include "core/store/schedule.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

unsigned ModeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

class SettingsModes : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"YUX_HOME", "YUX_SHARED_DATA"})
      if (const char* v = std::getenv(name)) saved_.emplace_back(name, v);
    setenv("YUX_HOME", home.str().c_str(), 1);
    setenv("YUX_SHARED_DATA", (shared / "lib").c_str(), 1);
    SettingsFolder.clear();
    Options = topt{};
  }
  void TearDown() override {
    unsetenv("YUX_HOME");
    unsetenv("YUX_SHARED_DATA");
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    Schedule.Clear();
    SettingsFolder.clear();
    PresetsFolder.clear();
    Options = topt{};
  }

  // Finds the settings folder named by the location file, then writes every
  // kind of settings file there.
  void StartAndSaveEverything(const std::string& folder) {
    test::WriteFile(home / "yuxinfo.dat", folder + "\r\n");
    ASSERT_EQ(LocateSettingsFolder(), SettingsChoice::Chosen);
    ASSERT_EQ(SettingsFolder, folder);
    PresetsFolder = PathJoin(SettingsFolder, "presets");  // as the main window sets it
    ASSERT_TRUE(SettingsFolderWriteTest());
    ASSERT_TRUE(SaveOptions(Options));
    ASSERT_TRUE(SavePreset("Daily", tarcopt{}));
    tschopt entry;
    entry.Date = 46000;
    entry.Name = "Daily";
    Schedule.Add(ScheduleOptionsToText(entry));
    ASSERT_TRUE(SaveSchedule());
    AddHistoryLine("Daily", "C", "/backup/a.rar", QDateTime::currentDateTime());
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(AddLog("line " + std::to_string(i)));
    Options.lsz = 2;
    ASSERT_TRUE(TruncateLog());  // rewrites the log through a new file
  }

  void ExpectModes(const fs::path& folder, unsigned folderMode, unsigned fileMode) {
    EXPECT_EQ(ModeOf(folder), folderMode);
    EXPECT_EQ(ModeOf(folder / "presets"), folderMode);
    int files = 0;
    for (const fs::path& dir : {folder, folder / "presets"}) {
      for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        ++files;
        EXPECT_EQ(ModeOf(e.path()), fileMode) << e.path();
      }
    }
    // yux.run, yux.opt, yux.sch, yux.log, the preset and its history.
    for (const char* name : {"yux.run", "yux.opt", "yux.sch", "yux.log"}) EXPECT_TRUE(fs::exists(folder / name)) << name;
    EXPECT_GE(files, 6);
  }

  test::TempDir home, own, shared;

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

}  // namespace

TEST_F(SettingsModes, AUsersOwnFolderAndItsFilesArePrivate) {
  ::umask(022);
  const fs::path folder = own / "Pellmor" / "YUX";
  StartAndSaveEverything(folder.string());
  ExpectModes(folder, 0700, 0600);
}

TEST_F(SettingsModes, TheAllUsersFolderKeepsGroupAccess) {
  ::umask(022);
  EXPECT_EQ(AllUsersSettingsFolder(), (shared / "lib" / "Pellmor" / "YUX").string());
  StartAndSaveEverything(AllUsersSettingsFolder());
  ExpectModes(AllUsersSettingsFolder(), 02770, 0660);
}

TEST_F(SettingsModes, AnExistingFolderAndItsOldFilesAreNarrowedAtStart) {
  const fs::path folder = own / "old";
  test::WriteFile(folder / "yux.opt", "[x]");
  test::WriteFile(folder / "presets" / "Daily.pst", "[x]");
  fs::permissions(folder, fs::perms(0755));
  fs::permissions(folder / "yux.opt", fs::perms(0644));
  test::WriteFile(home / "yuxinfo.dat", folder.string() + "\r\n");
  ASSERT_EQ(LocateSettingsFolder(), SettingsChoice::Chosen);
  EXPECT_EQ(ModeOf(folder), 0700u);
  EXPECT_EQ(ModeOf(folder / "presets"), 0700u);
  EXPECT_EQ(ModeOf(folder / "yux.opt"), 0600u);
  EXPECT_EQ(ModeOf(folder / "presets" / "Daily.pst"), 0600u);
}

TEST(SettingsFileModeRule, FollowsTheFolder) {
  test::TempDir dir;
  struct Case {
    unsigned folderMode;
    std::optional<unsigned> fileMode;
  };
  for (const Case& c : {Case{0700, 0600}, Case{02770, 0660}, Case{0755, std::nullopt}, Case{0770, std::nullopt},
                        Case{02775, std::nullopt}}) {
    fs::permissions(dir.path(), fs::perms(c.folderMode & 0777));
    ::chmod(dir.path().c_str(), c.folderMode);
    EXPECT_EQ(SettingsFileMode(dir.str()), c.fileMode) << std::oct << c.folderMode;
  }
  fs::permissions(dir.path(), fs::perms(0700));
}
