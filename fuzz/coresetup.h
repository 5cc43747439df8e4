#pragma once
// The setting the core's file parsers need in a fuzz target: the core
// application, settings and program folders of their own, and a log that
// goes nowhere.  Call once, from the target's own set-up.
#include <filesystem>
#include <string>

#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "fuzz/fuzzsupport.h"

namespace yux::fuzz {

// withPresets: also the presets folder, made.
inline void UseScratchSettings(bool withPresets = false) {
  EnsureCoreApplication();
  SettingsFolder = ScratchFolder();
  ProgramFolder = ScratchFolder();
  if (withPresets) {
    PresetsFolder = PathJoin(SettingsFolder, "presets");
    std::filesystem::create_directories(PresetsFolder);
  }
  SetLogHook([](const std::string&) {});
}

}  // namespace yux::fuzz
