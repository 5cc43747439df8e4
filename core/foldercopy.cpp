#include "core/foldercopy.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <system_error>

#include "core/datetime.h"
#include "core/deliverycleaner.h"
#include "core/flags.h"
#include "core/folders.h"
#include "core/msgtable.h"
#include "core/programlog.h"
#include "core/startup.h"
#include "platform/driveletters.h"
#include "platform/filesearch.h"
#include "platform/messagebox.h"
#include "platform/safefile.h"

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
  if (auto lines = ReadPresetList(presetName, ext)) return *lines;
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

bool MoveFileTo(const std::string& from, const std::string& to, std::string* error, bool replace,
                const std::function<bool()>& keepGoing) {
  std::string why;
  if (platform::RenameFile(from, to, replace, &why)) return true;
  if (!platform::IsCrossDeviceError(from, fs::path(to).parent_path().string())) {
    if (error) *error = why;
    return false;
  }
  if (!platform::CopyFileSafely(from, to, replace, error, keepGoing)) return false;
  // A source that cannot be deleted goes with the run folder later.
  std::error_code ec;
  fs::remove(from, ec);
  return true;
}

std::string LocalFolderPath(const std::string& destination) {
  return platform::DriveLetterMap::Global().ToLocalPath(destination);
}

bool IsDisketteDestination(const std::string& destination) {
  if (destination.empty()) return false;
  const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(destination[0])));
  return (c == 'A' || c == 'B') && destination.size() >= 2 && destination[1] == ':';
}

namespace {

// Deletes every file of the destination that matches the mask, but for the
// names of this run: with "edc" the folder is emptied before every file,
// and the volumes delivered a moment ago must not go with it (each spared
// name is logged once per run).  An older file under a name this run is
// about to deliver is not deleted either: it is named in `replaceable`, and
// the move replaces it, so that a move that fails leaves the older version.
void EmptyDestination(const std::string& destination, const std::string& mask,
                      const std::vector<std::string>& produced, const std::set<std::string>& delivered,
                      std::set<std::string>& sparedLogged, std::set<std::string>& replaceable) {
  for (const auto& entry : platform::FindFiles(PathJoin(destination, mask))) {
    if (entry.isFolder) continue;
    if (delivered.count(entry.name)) {
      if (sparedLogged.insert(entry.name).second) AddPresetLog(Format("emptyingspares", entry.name));
      continue;
    }
    if (std::find(produced.begin(), produced.end(), entry.name) != produced.end()) {
      replaceable.insert(entry.name);
      continue;
    }
    std::error_code ec;
    fs::remove(PathJoin(destination, entry.name), ec);
  }
}

}  // namespace

FolderCopyResult CopyProducedFiles(const FolderCopyJob& job) {
  const tarcopt& p = *job.preset;
  if (job.produced.empty()) {
    AddPresetLog(MessageText("nofilestoprecess") + " [!]");
    return FolderCopyResult::NoFiles;
  }
  try {
    if (p.cco) {
      CleanerRequest cleaner;
      cleaner.presetName = job.presetName;
      cleaner.mode = p.ccm;
      cleaner.limit = p.ccv;
      cleaner.listKind = kListCopy;
      cleaner.historyKind = kHistoryCopy;
      cleaner.locationOf = [&job](const std::string& name) { return PathJoin(job.destination, name); };
      cleaner.currentRun = job.produced;
      RunCopyCleaner(job.destination, SelectCleanerFiles(cleaner));
    }

    std::vector<std::string> copied;
    std::set<std::string> delivered, spared, replaceable;
    bool first = true;
    const auto aborted = [&] {
      // What was delivered before the abort stays known to the cleaner.
      try {
        if (!copied.empty()) AppendProducedFiles(job.presetName, copied, kListCopy);
      } catch (const std::exception&) {
        AddPresetLog(MessageText("errorduringoperation") + " [!]");
      }
      return FolderCopyResult::Aborted;
    };
    for (const std::string& name : job.produced) {
      if (AbortRequested) return aborted();
      if (p.edc && IsDisketteDestination(job.destinationText)) {
        // The box closes when the run is aborted (the session ends, say):
        // that is no OK to go on with.
        platform::MessageBox("\n" + MessageText("insertnextdisk"), kApplicationTitle,
                             platform::MB_OK | platform::MB_ICONINFORMATION,
                             [] { return AbortRequested.load(); });
        if (AbortRequested) return aborted();
      }

      std::error_code ec;
      if (job.destination.empty() || (fs::create_directories(job.destination, ec), ec) ||
          !fs::is_directory(job.destination, ec)) {
        AddPresetLog(MessageText("cantcreatedestfolder") + " [!]");
        return FolderCopyResult::EndRun;
      }
      if (p.efl && !p.ems.empty() && (p.edc || first)) {
        AddPresetLog(MessageText("emptyingfolder") + p.ems + ").");
        EmptyDestination(job.destination, p.ems, job.produced, delivered, spared, replaceable);
      }
      first = false;

      const std::string target = PathJoin(job.destination, name);
      bool replace = false;
      if (Exists(target)) {
        // An older file the emptying left for the move counts as emptied.
        if (p.owe || replaceable.count(name)) {
          if (p.owe) AddPresetLog(Format("fileexistsdelete", name));
          // An old file is replaced by the move itself, so that a move that
          // fails leaves the user's older version where it was.
          if (fs::is_directory(fs::symlink_status(target, ec)))
            fs::remove(target, ec);
          else
            replace = true;
        } else {
          AddPresetLog(Format("nopermissiondelete", name) + " [!]");
        }
      }
      // A copy to another file system handles messages between its chunks
      // and stops when the run is aborted.
      const auto keepCopying = [&] {
        if (job.pump) job.pump();
        return !AbortRequested;
      };
      if (MoveFileTo(PathJoin(job.runFolder, name), target, nullptr, replace, keepCopying)) {
        // Private while it waited in the run folder; at the destination it
        // takes the mode any new file there would have.
        platform::SetFileMode(target, platform::DefaultFileMode());
        if (job.deliveries) {
          job.deliveries->Delivered(DeliveryKind::Copy, name);
          job.deliveries->MovedOut(name, target);
        }
        AddPresetLog(MessageText("successfullycopied") + " " + name + ".");
        // A history that cannot be written must not stop the files after
        // this one (the other volumes of the archive) from being copied.
        try {
          AddHistoryLine(job.presetName, kHistoryCopy, target);
        } catch (const std::exception& e) {
          AddPresetLog(Format("historywritefailed", name, e.what()) + " [!]");
          if (job.deliveries) job.deliveries->NoteFailure();
        }
        copied.push_back(name);
        delivered.insert(name);
      } else {
        if (AbortRequested) return aborted();
        AddPresetLog(Format("cannotwrite", name) + " [!]");
        copied.clear();
      }
      if (job.pump) job.pump();
    }
    if (!copied.empty()) AppendProducedFiles(job.presetName, copied, kListCopy);
  } catch (const std::exception&) {
    AddPresetLog(MessageText("errorduringoperation") + " [!]");
    if (job.deliveries) job.deliveries->NoteFailure();
  }
  return FolderCopyResult::Done;
}

}  // namespace yux
