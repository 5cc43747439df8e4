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

// One run's block of a produced-files list: its date line, its names and
// the empty line that closes it (none at the end of the file).
struct ListBlock {
  std::size_t begin = 0;  // the date line
  std::size_t end = 0;    // one past the block's last line
  QDateTime date;
};

// The blocks of a list, top down, as AppendProducedFiles writes them: a
// name that reads as a date is still a name of its block.  Lines outside
// every block (no date line above them) belong to none.
std::vector<ListBlock> ListBlocks(const std::vector<std::string>& lines) {
  std::vector<ListBlock> out;
  for (std::size_t i = 0; i < lines.size();) {
    const auto date = TextToDateTime(lines[i]);
    if (!date) {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < lines.size() && !lines[end].empty()) ++end;
    if (end < lines.size()) ++end;
    out.push_back({i, end, *date});
    i = end;
  }
  return out;
}


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

  const std::vector<ListBlock> blocks = ListBlocks(lines);
  std::vector<bool> expiredBlock(blocks.size(), false);
  // Blocks from here on are not judged and stay listed: a block dated after
  // now was written under a clock that ran ahead, and nothing below it can
  // be judged by today's clock.
  std::size_t judged = blocks.size();
  if (keepRuns == 0)
    for (std::size_t b = 0; b < blocks.size(); ++b)
      if (blocks[b].date > now) {
        judged = b;
        break;
      }
  // Blocks are newest first, so a run is never older than one below it: a
  // block dated earlier than one below it was written while the clock was
  // set back (a reset clock dates runs to 2000), and is judged by the
  // latest date below it instead.
  std::vector<QDateTime> age(judged);
  for (std::size_t b = judged; b-- > 0;)
    age[b] = b + 1 < judged ? std::max(blocks[b].date, age[b + 1]) : blocks[b].date;
  for (std::size_t b = 0; b < judged; ++b) {
    const int runs = static_cast<int>(b) + 1;
    // The newest run is always kept, so a clock that jumps ahead cannot
    // expire them all.
    expiredBlock[b] = keepRuns != 0 ? runs >= keepRuns : runs > 1 && now.addDays(-keepDays) > age[b];
  }

  // Archive names repeat (no time stamp, or one to the minute or the
  // weekday): a name that a kept run lists is that run's archive too, and
  // stays at the destination however many expired runs list it as well.
  std::set<std::string> kept;
  for (std::size_t b = 0; b < blocks.size(); ++b)
    if (!expiredBlock[b])
      for (std::size_t i = blocks[b].begin + 1; i < blocks[b].end && !lines[i].empty(); ++i)
        kept.insert(lines[i]);
  std::size_t firstExpired = lines.size();
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (!expiredBlock[b]) continue;
    firstExpired = std::min(firstExpired, blocks[b].begin);
    for (std::size_t i = blocks[b].begin + 1; i < blocks[b].end && !lines[i].empty(); ++i)
      if (!kept.count(lines[i]) && std::find(expired.begin(), expired.end(), lines[i]) == expired.end())
        expired.push_back(lines[i]);
  }

  // The expired blocks go, with whatever stray lines lie between them; a
  // kept block among them (dates out of order) stays where it is.
  const std::size_t cutEnd = judged < blocks.size() ? blocks[judged].begin : lines.size();
  std::vector<bool> keepLine(lines.size(), true);
  for (std::size_t i = firstExpired; i < cutEnd; ++i) keepLine[i] = false;
  for (std::size_t b = 0; b < blocks.size(); ++b)
    if (!expiredBlock[b])
      for (std::size_t i = blocks[b].begin; i < blocks[b].end; ++i) keepLine[i] = true;
  std::vector<std::string> left;
  left.reserve(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (keepLine[i]) left.push_back(std::move(lines[i]));
  SaveListFile(presetName, ext, left);
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
