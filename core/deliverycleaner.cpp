#include "core/deliverycleaner.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <set>

#include "core/foldercopy.h"
#include "core/msgtable.h"
#include "core/presets.h"
#include "core/programlog.h"

namespace yux {

namespace {

// The message key of this cleaner: "copy..." or "ftp...".
std::string Key(char listKind, const char* what) {
  return std::string(listKind == kListFtp ? "ftp" : "copy") + what;
}

// A name a cleaner may join to a folder: no folder part, no "." or "..".
bool IsBareFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// The locations of the history's lines of one kind.  Throws when the
// history exists but cannot be read.
std::set<std::string> HistoryLocations(const std::string& presetName, const std::string& kind) {
  std::set<std::string> out;
  const auto lines = ReadPresetList(presetName, ".hst");
  if (!lines) {
    const std::string path = PresetFilePath(presetName, ".hst");
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, ec)))
      throw EHistoryFileError("Cannot read file \"" + path + "\".");
    return out;
  }
  for (const std::string& line : *lines) {
    const auto tab1 = line.find('\t');
    if (tab1 == std::string::npos) continue;
    const auto tab2 = line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos || line.compare(tab1 + 1, tab2 - tab1 - 1, kind) != 0) continue;
    out.insert(line.substr(tab2 + 1));
  }
  return out;
}

}  // namespace

std::vector<std::string> SelectCleanerFiles(const CleanerRequest& request, const QDateTime& now) {
  const char kind = request.listKind;
  std::vector<std::string> expired;
  std::set<std::string> placed;
  try {
    // The history first: when it cannot be read, the list stays as it is.
    placed = HistoryLocations(request.presetName, request.historyKind);
    SelectExpiredFiles(request.presetName, request.mode == 0 ? request.limit : 0,
                       request.mode == 0 ? 0 : request.limit, kind, expired, now);
  } catch (const std::exception& e) {
    AddPresetLog(Format(Key(kind, "cleanerstopped"), e.what()) + " [!]");
    return {};
  }
  std::vector<std::string> out;
  for (const std::string& name : expired) {
    if (std::find(request.currentRun.begin(), request.currentRun.end(), name) != request.currentRun.end()) {
      AddPresetLog(MessageText(Key(kind, "cleanerkept")) + name + ".");
    } else if (!IsBareFileName(name)) {
      AddPresetLog(Format(Key(kind, "cleanerbadname"), name));
    } else if (!placed.count(request.locationOf(name))) {
      AddPresetLog(Format(Key(kind, "cleanernotplaced"), name));
    } else {
      out.push_back(name);
    }
  }
  return out;
}

}  // namespace yux
