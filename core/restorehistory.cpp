#include "core/restorehistory.h"

#include <array>
#include <filesystem>

#include "core/msgtable.h"
#include "core/presets.h"
#include "core/winrarcmd.h"

namespace fs = std::filesystem;

namespace yux {

bool ReadRestoreHistory(const std::string& presetName, bool onlyThree,
                        std::vector<RestoreRow>* rows) {
  auto lines = ReadPresetList(presetName, ".hst");
  if (!lines || lines->empty()) return false;
  rows->clear();
  std::array<int, 4> counts{};
  for (const std::string& line : *lines) {
    size_t tab = line.find('\t');
    std::string date = line.substr(0, tab);
    std::string rest = tab == std::string::npos ? std::string() : line.substr(tab + 1);
    if (!rest.empty() && rest[0] >= '1' && rest[0] <= '4') {
      int& n = counts[static_cast<size_t>(rest[0] - '1')];
      if (++n > 3 && onlyThree) continue;
    }
    size_t next = rest.find('\t');
    RestoreRow row{date, rest.substr(0, next),
                   next == std::string::npos ? std::string() : rest.substr(next + 1)};
    rows->push_back(std::move(row));
  }
  return true;
}

std::string RestoreEmailText(const RestoreRow& row) {
  size_t slash = row.location.find('/');
  std::string recipient = row.location.substr(0, slash);
  std::string file = slash == std::string::npos ? std::string() : row.location.substr(slash + 1);
  return Format("restoreemail", recipient, file, MessageText("sentbyyux"),
                row.date.substr(0, row.date.find(' ')));
}

std::string RestoreTargetFolder(const std::string& parent, const std::string& archive) {
  std::string base = fs::path(archive).stem().string();
  if (base.empty()) base = fs::path(archive).filename().string();
  fs::path first = fs::path(parent) / base;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(first, ec))) return first.string();
  for (int n = 2;; ++n) {
    fs::path p = fs::path(parent) / (base + " (" + std::to_string(n) + ")");
    if (!fs::exists(fs::symlink_status(p, ec))) return p.string();
  }
}

std::string RestoreArchiverParameters(const std::string& archive, const std::string& folder,
                                      const std::string& settingsFolder,
                                      const std::string& password, bool standIn) {
  std::string text = "x";
  if (!password.empty()) text += standIn ? " -hp" : " " + QuoteAlways("-hp" + password);
  text += " -ibck " + QuoteAlways("-ILOG" + (fs::path(settingsFolder) / "winrar.log").string());
  std::string dest = folder;
  if (dest.empty() || dest.back() != '/') dest += '/';
  text += " " + QuoteAlways(archive) + " " + QuoteAlways(dest);
  return text;
}

}  // namespace yux
