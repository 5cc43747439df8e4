#include "core/foldercopy.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "core/datetime.h"
#include "core/flags.h"
#include "core/folders.h"
#include "core/msgtable.h"
#include "core/programlog.h"
#include "core/startup.h"
#include "platform/driveletters.h"
#include "platform/filesearch.h"
#include "platform/messagebox.h"

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

  std::size_t firstExpired = lines.size();
  int runs = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto date = TextToDateTime(lines[i]);
    if (!date) continue;
    bool isExpired;
    if (keepRuns != 0) {
      ++runs;
      isExpired = runs >= keepRuns;
    } else {
      isExpired = now.addDays(-keepDays) > *date;
    }
    if (!isExpired) continue;
    if (firstExpired == lines.size()) firstExpired = i;
    for (std::size_t j = i + 1; j < lines.size() && !lines[j].empty(); ++j)
      if (std::find(expired.begin(), expired.end(), lines[j]) == expired.end())
        expired.push_back(lines[j]);
  }
  if (firstExpired < lines.size()) lines.erase(lines.begin() + static_cast<long>(firstExpired), lines.end());
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

bool MoveFileTo(const std::string& from, const std::string& to, std::string* error, bool replace) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  // rename() would silently replace an existing target.
  if (!replace && Exists(to)) return fail("the target exists");
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return true;
  if (ec != std::errc::cross_device_link) return fail(ec.message());
  // Another file system: copy, then delete the source.  A half-written
  // copy is removed so that it is never taken for a good archive.
  if (!replace) {
    if (!fs::copy_file(from, to, fs::copy_options::none, ec) || ec) {
      const std::string why = ec.message();
      if (ec != std::errc::file_exists) fs::remove(to, ec);
      return fail(why);
    }
  } else {
    // The copy goes beside the target under a free name and replaces it in
    // one step once it is complete, so the old version survives a copy
    // that fails half-way.
    std::string part;
    for (int i = 0;; ++i) {
      part = to + ".yux" + std::to_string(i) + ".tmp";
      if (!Exists(part)) break;
      if (i >= 99) return fail("no free name for a temporary copy");
    }
    if (!fs::copy_file(from, part, fs::copy_options::none, ec) || ec) {
      const std::string why = ec.message();
      if (ec != std::errc::file_exists) fs::remove(part, ec);
      return fail(why);
    }
    fs::rename(part, to, ec);
    if (ec) {
      const std::string why = ec.message();
      fs::remove(part, ec);
      return fail(why);
    }
  }
  // A source that cannot be deleted goes with the run folder later.
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

// Deletes every file of the destination that matches the mask.
void EmptyDestination(const std::string& destination, const std::string& mask) {
  for (const auto& entry : platform::FindFiles(PathJoin(destination, mask))) {
    if (entry.isFolder) continue;
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
      std::vector<std::string> expired;
      SelectExpiredFiles(job.presetName, p.ccm == 0 ? p.ccv : 0, p.ccm == 0 ? 0 : p.ccv,
                         kListCopy, expired);
      RunCopyCleaner(job.destination, expired);
    }

    std::vector<std::string> copied;
    bool first = true;
    for (const std::string& name : job.produced) {
      if (AbortRequested) {
        // What was delivered before the abort stays known to the cleaner.
        try {
          if (!copied.empty()) AppendProducedFiles(job.presetName, copied, kListCopy);
        } catch (const std::exception&) {
          AddPresetLog(MessageText("errorduringoperation") + " [!]");
        }
        return FolderCopyResult::Aborted;
      }
      if (p.edc && IsDisketteDestination(job.destinationText))
        platform::MessageBox("\n" + MessageText("insertnextdisk"), kApplicationTitle,
                             platform::MB_OK | platform::MB_ICONINFORMATION);

      std::error_code ec;
      if (job.destination.empty() || (fs::create_directories(job.destination, ec), ec) ||
          !fs::is_directory(job.destination, ec)) {
        AddPresetLog(MessageText("cantcreatedestfolder") + " [!]");
        return FolderCopyResult::EndRun;
      }
      if (p.efl && !p.ems.empty() && (p.edc || first)) {
        AddPresetLog(MessageText("emptyingfolder") + p.ems + ").");
        EmptyDestination(job.destination, p.ems);
      }
      first = false;

      const std::string target = PathJoin(job.destination, name);
      bool replace = false;
      if (Exists(target)) {
        if (p.owe) {
          AddPresetLog(Format("fileexistsdelete", name));
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
      if (MoveFileTo(PathJoin(job.runFolder, name), target, nullptr, replace)) {
        AddPresetLog(MessageText("successfullycopied") + " " + name + ".");
        AddHistoryLine(job.presetName, kHistoryCopy, target);
        copied.push_back(name);
      } else {
        AddPresetLog(Format("cannotwrite", name) + " [!]");
        copied.clear();
      }
      if (job.pump) job.pump();
    }
    if (!copied.empty()) AppendProducedFiles(job.presetName, copied, kListCopy);
  } catch (const std::exception&) {
    AddPresetLog(MessageText("errorduringoperation") + " [!]");
  }
  return FolderCopyResult::Done;
}

}  // namespace yux
