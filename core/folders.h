#pragma once
// Process-wide folders.  All are kept without a trailing slash.
#include <string>

namespace yux {

// Folder of the executable; read-only files (language files, skins,
// pictures) are looked up here.
extern std::string ProgramFolder;
// Folder of all settings files (options, presets, schedule, log).
extern std::string SettingsFolder;
// SettingsFolder + "/presets".
extern std::string PresetsFolder;

// Joins a folder and a name with exactly one "/" between them.
std::string PathJoin(const std::string& folder, const std::string& name);

}  // namespace yux
