#pragma once
// Process-wide folders and program paths.  Folders are kept without a
// trailing slash.
#include <string>

namespace yux {

// Folder of the executable; read-only files (language files, skins,
// pictures) are looked up here.
extern std::string ProgramFolder;
// Folder of all settings files (options, presets, schedule, log).
extern std::string SettingsFolder;
// SettingsFolder + "/presets".
extern std::string PresetsFolder;
// The temp folder of the runs (option pte, or the system temp folder).
extern std::string TempFolder;
// The archiver program (option pwi, or the one found at start).
extern std::string WinRarPath;

// Joins a folder and a name with exactly one "/" between them.
std::string PathJoin(const std::string& folder, const std::string& name);

}  // namespace yux
