#pragma once
// A settings folder with one preset, for the tests of a run and of its
// deliveries: the process's settings, presets and temp folders point into
// a temporary folder (the archiver is the built stand-in) for the test's
// life and are put back after it; the options, the abort and run flags and
// the run's timings start cleared; the log list's lines go to `log`; and
// `preset` starts at the preset defaults.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/run/presetrun.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "tests/core/log_lines.h"
#include "tests/support/testsupport.h"

namespace yux::test {

class SettingsFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = {SettingsFolder, PresetsFolder, TempFolder, WinRarPath};
    SettingsFolder = dir.str();
    PresetsFolder = (dir / "presets").string();
    TempFolder = (dir / "temp").string();
    WinRarPath = BuiltProgram("winrar").string();
    for (const char* sub : {"presets", "temp"}) std::filesystem::create_directories(dir / sub);
    Options = topt{};
    AbortRequested = false;
    RunActive = false;
    PresetRunTuning() = RunTuning{};
    SetLogListSink(&log);
    SetPresetDefaults(preset);
  }
  void TearDown() override {
    SetLogListSink(nullptr);
    PresetRunTuning() = RunTuning{};
    AbortRequested = false;
    RunActive = false;
    Options = topt{};
    if (saved_.empty()) return;  // SetUp never ran
    SettingsFolder = saved_[0];
    PresetsFolder = saved_[1];
    TempFolder = saved_[2];
    WinRarPath = saved_[3];
  }

  // Saves `preset` under `name` with the folder "src" of the temporary
  // folder as its one source and no exclusions; false when it cannot.
  bool SavePresetWithSource(const std::string& name) {
    return SavePreset(name, preset) && WritePresetList(name, ".inc", {(dir / "src").string()}) &&
           WritePresetList(name, ".exc", {});
  }

  TempDir dir;
  tarcopt preset;
  LogLines log;

 private:
  std::vector<std::string> saved_;
};

}  // namespace yux::test
