// The process-wide folders and program paths.
#include "core/store/folders.h"

namespace yux {

std::string ProgramFolder;
std::string SettingsFolder;
std::string PresetsFolder;
std::string TempFolder;
std::string WinRarPath;

std::string PathJoin(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace yux
