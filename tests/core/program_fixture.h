#pragma once
// The program's surroundings for tests of its windows: private home,
// configuration and data folders, a settings folder named in yuxinfo.dat,
// a namespace of its own for the named objects, scripted message boxes and
// dialogs, and every process-wide flag cleared before and after.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/services/dialoghooks.h"
#include "core/services/startup.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/language.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "platform/messagebox.h"
#include "platform/namedobjects.h"
#include "tests/support/testsupport.h"

namespace yux::test {

// Dialog answers a test scripts: the password dialog accepts `entry` or is
// cancelled, and records what it was asked.
class FakeHooks : public DialogHooks {
 public:
  SettingsChoice ChooseSettingsFolder() override { return SettingsChoice::NotChosen; }
  void ShowPasswordDialog(const std::string& caption) override {
    ++asked;
    lastCaption = caption;
    PasswordAccepted = accept;
    if (accept) PasswordText = entry;
  }
  bool accept = true;
  std::string entry;
  int asked = 0;
  std::string lastCaption;
};

class ProgramTest : public ::testing::Test {
 protected:
  // Call from SetUp with the services that answer boxes and dialogs.
  void SetUpProgram(std::shared_ptr<platform::MessageBoxService> boxes, DialogHooks* hooks) {
    for (const char* name : kVariables)
      if (const char* v = std::getenv(name)) saved_.emplace_back(name, v);
    setenv("YUX_HOME", home.str().c_str(), 1);
    setenv("YUX_NS", UniqueNamespace().c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.str().c_str(), 1);
    setenv("XDG_DATA_HOME", data.str().c_str(), 1);
    WriteFile(home / "yuxinfo.dat", settings.str() + "\r\n");
    platform::SetMessageBoxService(std::move(boxes));
    SetDialogHooks(hooks);
    ClearProcessState();
  }
  void TearDown() override {
    SetDialogHooks(nullptr);
    platform::SetMessageBoxService(nullptr);
    SetLogHook(nullptr);
    SetLogListSink(nullptr);
    ResetMessageTexts();
    ResetLanguageReports();
    ReleaseSingleInstance();
    std::error_code ec;
    const std::string rt = platform::RuntimeFolder();
    if (!rt.empty()) std::filesystem::remove_all(rt, ec);
    for (const char* name : kVariables) unsetenv(name);
    for (auto& [k, v] : saved_) setenv(k.c_str(), v.c_str(), 1);
    ClearProcessState();
    SettingsFolder.clear();
    WinRarPath.clear();
  }

  // The bins as their tests use them: the settings folder in use, the bin
  // folder "YUX-BIN" in it, the built stand-in archiver, no "done" box.
  void SetUpBins() {
    SettingsFolder = settings.str();
    Options.obf = (settings / "YUX-BIN").string();
    Options.obn = false;
    WinRarPath = BuiltProgram("winrar").string();
  }

  TempDir home, config, data, settings;

 private:
  static constexpr const char* kVariables[] = {"YUX_HOME", "YUX_NS", "XDG_CONFIG_HOME", "XDG_DATA_HOME"};
  static void ClearProcessState() {
    Options = topt{};
    RunActive = false;
    AbortRequested = false;
    ErrorOccurred = false;
    ForcedClose = false;
    SecondInstance = false;
    Schedule.Clear();
  }
  std::vector<std::pair<std::string, std::string>> saved_;
};

}  // namespace yux::test
