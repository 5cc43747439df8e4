// The folder copy: moving the produced files into the destination folder.
#include "core/run/foldercopy.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <system_error>

#include "core/run/volumesets.h"
#include "core/store/appnames.h"
#include "core/store/datetime.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/programlog.h"
#include "platform/driveletters.h"
#include "platform/filemove.h"
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


}  // namespace

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

// Removes from the destination the volumes of an earlier set of a name
// whose new set the copy delivered whole: an older backup under the new
// one's name, of its width or of another.  The reader no longer takes them
// for the new set, so this is tidying: a volume that stays is logged as an
// error line, and a folder that cannot be listed gets a plain line, but
// neither fails the run.  Only where old versions may be overwritten: else
// the older set stays readable beside the new one.
void RemoveStaleVolumes(const FolderCopyJob& job, const std::set<std::string>& delivered) {
  if (!job.preset->owe) return;
  const std::vector<std::string> names(delivered.begin(), delivered.end());
  if (!HasWholeVolumeSet(names)) return;
  std::vector<std::string> present;
  std::error_code ec;
  for (fs::directory_iterator it(job.destination, ec), end; !ec && it != end; it.increment(ec))
    present.push_back(it->path().filename().string());
  if (ec) {
    AddPresetLog(Format("copystalevolumesnotlisted", job.destination, ec.message()));
    return;
  }
  for (const std::string& name : StaleVolumes(names, present)) {
    const std::string path = PathJoin(job.destination, name);
    // Never a folder's contents: a folder of that name goes only when empty.
    const bool removed = fs::remove(path, ec);
    if (ec)
      AddPresetLog(Format("copystalevolumecannotdelete", path, ec.message()) + " [!]");
    else if (removed)
      AddPresetLog(Format("copystalevolumedeleted", path));
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
    // Known before the first move: a copy cut off by a kill leaves its
    // unfinished file there for the next start to remove.
    NoteCopyDestination(job.runFolder, job.destination);
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
      if (platform::MoveFileTo(PathJoin(job.runFolder, name), target, nullptr, replace, keepCopying)) {
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
    RemoveStaleVolumes(job, delivered);
    if (!copied.empty()) AppendProducedFiles(job.presetName, copied, kListCopy);
  } catch (const std::exception&) {
    AddPresetLog(MessageText("errorduringoperation") + " [!]");
    if (job.deliveries) job.deliveries->NoteFailure();
  }
  return FolderCopyResult::Done;
}

}  // namespace yux
