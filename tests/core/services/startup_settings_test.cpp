// The start-up steps outside the windows: the messenger's command line, the
// instance lock, finding the settings folder and moving old files into it,
// the temp folder and the archiver path.
#include "core/services/startup.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "core/services/shellutils.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "platform/namedobjects.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* v = std::getenv("YUX_HOME")) oldHome_ = v;
    setenv("YUX_HOME", home.str().c_str(), 1);
    setenv("YUX_NS", test::UniqueNamespace().c_str(), 1);
    SettingsFolder = settings.str();
    savedProgram_ = ProgramFolder;
    Options = topt{};
    ErrorOccurred = false;
  }
  void TearDown() override {
    std::error_code ec;
    const std::string rt = platform::RuntimeFolder();
    if (!rt.empty()) fs::remove_all(rt, ec);
    unsetenv("YUX_NS");
    if (oldHome_) setenv("YUX_HOME", oldHome_->c_str(), 1);
    else unsetenv("YUX_HOME");
    ProgramFolder = savedProgram_;
    SettingsFolder.clear();
    Options = topt{};
    ErrorOccurred = false;
    ReleaseSingleInstance();
  }
  std::string Log() { return test::ReadFile(settings / "yux.log"); }

  test::TempDir home, settings;

 private:
  std::optional<std::string> oldHome_;
  std::string savedProgram_;
};

}  // namespace

TEST_F(Startup, OnlyTheExactVerbSwitchesMakeAMessenger) {
  const std::vector<std::vector<std::string>> notMessengers = {
      {}, {"/yux-keeper", "/a"}, {"/Yux-Recycle", "/a"}, {"/YUX-KEEPERS", "/a"},
      {"Daily backup"}, {"/HIDE", "/YUX-KEEPER"}, {" /YUX-KEEPER", "/a"},
  };
  for (const auto& args : notMessengers) {
    std::ostringstream err;
    EXPECT_EQ(RunMessenger(args, err), std::nullopt) << (args.empty() ? "" : args[0]);
  }
  // Nobody listens: the path reaches no one, and the messenger says so.
  std::ostringstream err;
  EXPECT_EQ(RunMessenger({"/YUX-KEEPER", "/data/a"}, err), 3);
  EXPECT_EQ(err.str(), "yux: YUX is not running, so nothing received the path: /data/a\n");
  // The longest path that fits (it is sent, and nobody takes it), and one
  // byte more (it cannot be sent at all).
  std::ostringstream longErr;
  EXPECT_EQ(RunMessenger({"/YUX-RECYCLE", "/" + std::string(253, 'p')}, longErr), 3);
  EXPECT_EQ(longErr.str().find("bytes long"), std::string::npos) << longErr.str();
  EXPECT_EQ(RunMessenger({"/YUX-RECYCLE", "/" + std::string(254, 'p')}, longErr), 2);
  EXPECT_NE(longErr.str().find("255 bytes long"), std::string::npos) << longErr.str();
}

TEST_F(Startup, InstanceLockTurnsBackslashesIntoUnderscores) {
  EXPECT_TRUE(SingleInstanceCheck("YUX\\TEST"));
  auto other = platform::NamedMutex::Create("YUX_TEST");
  ASSERT_TRUE(other);
  EXPECT_TRUE(other->AlreadyExisted());
  other.reset();
  ReleaseSingleInstance();
  auto again = platform::NamedMutex::Create("YUX_TEST");
  ASSERT_TRUE(again);
  EXPECT_FALSE(again->AlreadyExisted());
  // Held elsewhere: this process is a second instance.
  EXPECT_FALSE(SingleInstanceCheck("YUX_TEST"));
}

TEST_F(Startup, LocationFileNamesTheFolderAndOldFilesMoveIn) {
  test::WriteFile(home / "yuxinfo.dat", settings.str() + "/\r\nsecond line is ignored\r\n");
  // Left in the program-data folder by an older version.
  test::WriteFile(home / "yux.opt", "old options");
  test::WriteFile(home / "yux.log", "old log");
  test::WriteFile(home / "winrar.log", "old archiver log");
  test::WriteFile(home / "presets" / "Daily.pst", "p");
  test::WriteFile(home / "presets" / "Daily.inc", "i");
  fs::create_directories(home / "presets" / "folder.pst");
  // The settings folder already has its own log: it is kept.
  test::WriteFile(settings / "yux.log", "current log");
  test::WriteFile(settings / "presets" / "Daily.inc", "current list");

  SettingsFolder.clear();
  EXPECT_EQ(LocateSettingsFolder(), SettingsChoice::Chosen);
  EXPECT_EQ(SettingsFolder, settings.str());
  EXPECT_EQ(test::ReadFile(settings / "yux.opt"), "old options");
  EXPECT_FALSE(fs::exists(home / "yux.opt"));
  EXPECT_EQ(test::ReadFile(settings / "winrar.log"), "old archiver log");
  EXPECT_EQ(test::ReadFile(settings / "yux.log"), "current log");
  EXPECT_EQ(test::ReadFile(home / "yux.log"), "old log");
  EXPECT_EQ(test::ReadFile(settings / "presets" / "Daily.pst"), "p");
  EXPECT_EQ(test::ReadFile(settings / "presets" / "Daily.inc"), "current list");
  EXPECT_TRUE(fs::is_directory(home / "presets" / "folder.pst"));

  EXPECT_TRUE(SettingsFolderWriteTest());
  EXPECT_TRUE(fs::exists(settings / "yux.run"));
}

// The location file is the only pointer to the user's settings: a write
// that fails half-way (a full disk, here a file-size limit) must leave the
// old pointer readable rather than an empty or cut file.
TEST_F(Startup, AFailedLocationWriteKeepsTheOldLocation) {
  ASSERT_TRUE(WriteSettingsLocation("/old"));
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = WriteSettingsLocation("/" + std::string(200, 'n'));
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldSignal);
  EXPECT_FALSE(written);
  EXPECT_EQ(ReadSettingsLocation(), "/old");
}

// A relative folder in the location file is never taken against the
// working folder; bytes that are no valid UTF-8 stay as the file system
// has them.
TEST_F(Startup, LocationFileWithARelativeOrNonUtf8Folder) {
  SetDialogHooks(nullptr);
  test::WriteFile(home / "yuxinfo.dat", "settings-here\r\n");
  SettingsFolder.clear();
  EXPECT_EQ(LocateSettingsFolder(), SettingsChoice::NotChosen);
  EXPECT_EQ(SettingsFolder, "");
  EXPECT_FALSE(fs::exists("settings-here"));

  const std::string odd = settings.str() + "/caf\xe9";
  test::WriteFile(home / "yuxinfo.dat", odd + "\r\n");
  EXPECT_EQ(LocateSettingsFolder(), SettingsChoice::Chosen);
  EXPECT_EQ(SettingsFolder, odd);
  EXPECT_TRUE(fs::is_directory(fs::path(odd) / "presets"));
}

TEST_F(Startup, NoLocationAndNoChooserMeansNoFolder) {
  SetDialogHooks(nullptr);
  SettingsFolder.clear();
  EXPECT_EQ(ReadSettingsLocation(), "");
  EXPECT_EQ(LocateSettingsFolder(), SettingsChoice::NotChosen);
  EXPECT_EQ(SettingsFolder, "");
  EXPECT_FALSE(SettingsFolderWriteTest());
}

TEST_F(Startup, TempFolderTable) {
  test::WriteFile(settings / "plain", "x");
  struct Case {
    std::string pte;
    std::string logged;  // empty: nothing logged
    bool isDefault;
  } const cases[] = {
      {"", "Temp folder has been set to default - \"", true},
      {(settings / "plain" / "tmp").string(), "Invalid temp folder. Changed to default - \"", true},
      {(settings / "new" / "tmp").string(), "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pte);
    fs::remove(settings / "yux.log");
    Options.pte = c.pte;
    SetUpTempFolder();
    if (c.isDefault) {
      EXPECT_EQ(TempFolder, GetTempDir().substr(0, GetTempDir().size() - 1));
      EXPECT_EQ(Options.pte, TempFolder);
      EXPECT_NE(Log().find(c.logged + TempFolder + "\". [!]"), std::string::npos) << Log();
    } else {
      EXPECT_EQ(TempFolder, c.pte);
      EXPECT_TRUE(fs::is_directory(c.pte));
      EXPECT_EQ(Log(), "");
    }
  }
}

TEST_F(Startup, ArchiverPathTable) {
  test::TempDir program;
  ProgramFolder = program.str();
  test::WriteFile(settings / "own-winrar", "x");
  const std::string standIn = (program / "winrar").string();
  struct Case {
    std::string pwi;
    bool standInPresent;
    std::string expected;
    std::string logged;
    bool error;
  } const cases[] = {
      {(settings / "own-winrar").string(), true, (settings / "own-winrar").string(), "", false},
      {"", true, standIn, "WinRAR path has been set to \"" + standIn + "\".", false},
      {"/no/such/WinRAR.exe", true, standIn, "WinRAR path has been set to \"" + standIn + "\".", false},
      {"", false, "", "WinRAR has not been found. Please specify its path manually [!]", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pwi + (c.standInPresent ? " with stand-in" : " without stand-in"));
    fs::remove(settings / "yux.log");
    fs::remove(standIn);
    if (c.standInPresent) test::WriteFile(standIn, "#!/bin/sh\n");
    ErrorOccurred = false;
    Options.pwi = c.pwi;
    SetUpArchiverPath();
    EXPECT_EQ(WinRarPath, c.expected);
    if (!c.error) {
      EXPECT_EQ(Options.pwi, c.expected);
    }
    if (c.logged.empty()) EXPECT_EQ(Log(), "");
    else EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    EXPECT_EQ(ErrorOccurred.load(), c.error);
  }
}

TEST_F(Startup, NotWritableMessageNamesBothFolders) {
  SettingsFolder = "/some/settings";
  const std::string m = NotWritableMessage();
  EXPECT_EQ(m.rfind("The folder \"/some/settings\" is not writeable under this user account.\r\n\r\n", 0), 0u) << m;
  EXPECT_NE(m.find("edit " + home.str() + "/yuxinfo.dat, write a correct folder name"), std::string::npos) << m;
  EXPECT_NE(m.find("(\"/some/settings\") to the new one manually."), std::string::npos);
}
