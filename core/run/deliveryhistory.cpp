// The delivery history, the produced-files lists and the cleaners of every delivery.
#include "core/run/deliveryhistory.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <set>

#include "core/store/datetime.h"
#include "core/store/msgtable.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"

namespace yux {

namespace fs = std::filesystem;

namespace {

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

// The lines of a preset's list file; a missing file is empty.  A file that
// exists but cannot be read throws: rewriting it from nothing would lose
// every earlier line.
std::vector<std::string> LoadListFile(const std::string& presetName, const std::string& ext) {
  if (auto lines = ReadPresetList(presetName, ext, ListText::Bytes)) return *lines;
  const std::string path = PresetFilePath(presetName, ext);
  if (Exists(path)) throw EHistoryFileError("Cannot read file \"" + path + "\".");
  return {};
}

void SaveListFile(const std::string& presetName, const std::string& ext,
                  const std::vector<std::string>& lines) {
  std::string error;
  if (!WritePresetList(presetName, ext, lines, &error)) throw EHistoryFileError(error);
}

std::string ProducedListExtension(char kind) { return std::string(".lg") + kind; }


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
  const auto lines = ReadPresetList(presetName, ".hst", ListText::Bytes);
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

void AddHistoryLine(const std::string& presetName, const std::string& kind,
                    const std::string& location, const QDateTime& when) {
  std::vector<std::string> lines = LoadListFile(presetName, ".hst");
  lines.insert(lines.begin(), DateTimeToText(when) + "\t" + kind + "\t" + location);
  SaveListFile(presetName, ".hst", lines);
}

void AppendProducedFiles(const std::string& presetName, const std::vector<std::string>& names,
                         char kind, const QDateTime& when) {
  const std::string ext = ProducedListExtension(kind);
  std::vector<std::string> lines = LoadListFile(presetName, ext);
  std::vector<std::string> block;
  block.reserve(names.size() + 2);
  block.push_back(DateTimeToText(when));
  block.insert(block.end(), names.begin(), names.end());
  block.emplace_back();
  lines.insert(lines.begin(), block.begin(), block.end());
  SaveListFile(presetName, ext, lines);
}

void SelectExpiredFiles(const std::string& presetName, int keepRuns, int keepDays, char kind,
                        std::vector<std::string>& expired, const QDateTime& now) {
  const std::string ext = ProducedListExtension(kind);
  std::vector<std::string> lines = LoadListFile(presetName, ext);
  if (lines.empty()) return;
  // Every block this program writes begins with its date line: anything
  // else on top means the file is not a list of ours, and cutting it by
  // guesswork could forget or invent delivered names.
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    if (!TextToDateTime(line))
      throw EHistoryFileError("The list \"" + PresetFilePath(presetName, ext) + "\" is damaged.");
    break;
  }

  std::size_t firstExpired = lines.size();
  std::size_t cutEnd = lines.size();
  int runs = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto date = TextToDateTime(lines[i]);
    if (!date) continue;
    ++runs;
    bool isExpired;
    if (keepRuns != 0) {
      isExpired = runs >= keepRuns;
    } else {
      // A block dated after now was written under a clock that ran ahead;
      // nothing below it can be judged by today's clock.  The newest earlier
      // run is always kept, so a clock that jumps ahead cannot expire them all.
      if (*date > now) {
        cutEnd = i;
        break;
      }
      isExpired = runs > 1 && now.addDays(-keepDays) > *date;
    }
    if (!isExpired) continue;
    if (firstExpired == lines.size()) firstExpired = i;
    for (std::size_t j = i + 1; j < lines.size() && !lines[j].empty(); ++j)
      if (std::find(expired.begin(), expired.end(), lines[j]) == expired.end())
        expired.push_back(lines[j]);
  }
  if (firstExpired < cutEnd)
    lines.erase(lines.begin() + static_cast<long>(firstExpired), lines.begin() + static_cast<long>(cutEnd));
  SaveListFile(presetName, ext, lines);
}

void RunCopyCleaner(const std::string& destination, const std::vector<std::string>& expired) {
  if (expired.empty()) return;
  std::string folder = destination;
  if (folder.empty() || folder.back() != '/') folder += '/';
  for (const std::string& name : expired) {
    const std::string path = folder + name;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
      AddPresetLog(MessageText("copycleanernofile") + path + ".");
      continue;
    }
    if (fs::remove(path, ec) && !ec)
      AddPresetLog(MessageText("copycleanerdeleted") + path + ".");
    else
      AddPresetLog(MessageText("copycleanercannotdelete") + path + ". [!]");
  }
}

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
