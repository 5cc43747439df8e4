// The delivery record of a run: which destination took which file, what is kept.
#include "core/run/rundelivery.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string_view>
#include <system_error>

#include <QDateTime>

#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/programlog.h"
#include "core/store/savefile.h"
#include "platform/filemove.h"
#include "platform/folders.h"
#include "platform/namedobjects.h"
#include "platform/safefile.h"

namespace yux {

namespace fs = std::filesystem;

void RunDeliveries::Start(std::vector<std::string> produced) {
  Clear();
  produced_ = std::move(produced);
}

void RunDeliveries::Clear() {
  produced_.clear();
  expected_.clear();
  delivered_.clear();
  movedTo_.clear();
  failed_ = false;
}

void RunDeliveries::Expect(DeliveryKind kind) { expected_.insert(kind); }

void RunDeliveries::Delivered(DeliveryKind kind, const std::string& name) { delivered_[name].insert(kind); }

void RunDeliveries::Delivered(DeliveryKind kind, const std::vector<std::string>& names) {
  for (const auto& n : names) Delivered(kind, n);
}

void RunDeliveries::MovedOut(const std::string& name, const std::string& path) { movedTo_[name] = path; }

bool RunDeliveries::Complete(const std::string& name) const {
  auto it = delivered_.find(name);
  const std::set<DeliveryKind> none;
  const auto& got = it == delivered_.end() ? none : it->second;
  return std::all_of(expected_.begin(), expected_.end(), [&](DeliveryKind k) { return got.count(k) > 0; });
}

bool RunDeliveries::ReachedAny(const std::string& name) const {
  auto it = delivered_.find(name);
  return it != delivered_.end() && !it->second.empty();
}

bool RunDeliveries::AllComplete() const {
  return !failed_ && std::all_of(produced_.begin(), produced_.end(), [&](const auto& n) { return Complete(n); });
}

bool RunDeliveries::EveryFileReachedOne() const {
  return !produced_.empty() &&
         std::all_of(produced_.begin(), produced_.end(), [&](const auto& n) { return ReachedAny(n); });
}

std::optional<std::string> RunDeliveries::MovedTo(const std::string& name) const {
  auto it = movedTo_.find(name);
  if (it == movedTo_.end()) return std::nullopt;
  return it->second;
}

std::string KeptFolder() { return PathJoin(SettingsFolder, "kept"); }

std::string NewKeptRunFolder(const std::string& presetName) {
  std::string base = presetName;
  std::replace(base.begin(), base.end(), '/', '_');
  if (base.empty() || base == "." || base == "..") base = "run";
  base += " " + QDateTime::currentDateTime().toString("yyyy.MM.dd hh.mm.ss").toStdString();
  std::error_code ec;
  fs::create_directories(KeptFolder(), ec);
  fs::permissions(KeptFolder(), fs::perms::owner_all, ec);
  for (int i = 1; i < 1000; ++i) {
    const std::string folder = PathJoin(KeptFolder(), i == 1 ? base : base + " (" + std::to_string(i) + ")");
    if (fs::create_directory(folder, ec) && !ec) {
      fs::permissions(folder, fs::perms::owner_all, ec);
      return folder;
    }
    if (ec && ec != std::errc::file_exists) return {};
  }
  return {};
}

namespace {

bool RemoveEntry(const fs::path& p) {
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status(p, ec))) {
    fs::remove_all(p, ec);
    return !ec;
  }
  return fs::remove(p, ec) && !ec;
}

// Moves the files into a new kept subfolder; what cannot be moved is
// returned in `stuck`.
void KeepFiles(const std::string& runFolder, const std::string& presetName, const std::vector<std::string>& names,
               KeepResult& r) {
  if (names.empty()) return;
  r.folder = NewKeptRunFolder(presetName);
  for (const auto& name : names) {
    if (!r.folder.empty() && platform::MoveFileTo(PathJoin(runFolder, name), PathJoin(r.folder, name)))
      r.kept.push_back(name);
    else
      r.stuck.push_back(name);
  }
  std::error_code ec;
  if (r.kept.empty() && !r.folder.empty()) {
    fs::remove(r.folder, ec);
    r.folder.clear();
  }
}

void LogKept(const KeepResult& r, const std::string& runFolder, bool presetLog, const std::string& presetName) {
  auto log = [&](const std::string& text) {
    if (presetLog) AddPresetLog(text);
    else AddLog(presetName + ": " + text);
  };
  if (!r.kept.empty()) log(Format("keptfiles", r.folder) + " [!]");
  if (!r.stuck.empty()) log(Format("keptfiles", runFolder) + " [!]");
}

}  // namespace

KeepResult SettleRunFolder(const std::string& runFolder, const std::string& presetName,
                           const RunDeliveries& deliveries) {
  KeepResult r;
  std::error_code ec;
  if (runFolder.empty()) return r;
  const auto& produced = deliveries.Produced();
  std::vector<std::string> undelivered;
  if (fs::is_directory(runFolder, ec)) {
    for (const auto& entry : fs::directory_iterator(runFolder, ec)) {
      const std::string name = entry.path().filename().string();
      const bool isProduced = std::find(produced.begin(), produced.end(), name) != produced.end();
      if (isProduced && !deliveries.Complete(name) && !fs::is_directory(entry.symlink_status(ec))) {
        undelivered.push_back(name);
        continue;
      }
      if (RemoveEntry(entry.path())) r.deleted.push_back(name);
      else AddPresetLog(MessageText("cantdeltempfile") + " [!]");
    }
  }
  std::sort(undelivered.begin(), undelivered.end());
  KeepFiles(runFolder, presetName, undelivered, r);
  for (const auto& name : produced) {
    if (deliveries.Complete(name)) continue;
    if (auto where = deliveries.MovedTo(name)) AddPresetLog(Format("keptelsewhere", name, *where) + " [!]");
  }
  LogKept(r, runFolder, true, presetName);
  if (r.stuck.empty() && fs::exists(runFolder, ec) && !fs::remove(runFolder, ec))
    AddPresetLog(MessageText("cantdeltempfile") + " [!]");
  return r;
}

std::string RunTempFolder() {
  std::string temp = TempFolder.empty() ? platform::TempFolder() : TempFolder;
  while (temp.size() > 1 && (temp.back() == '/' || temp.back() == '\\')) temp.pop_back();
  return temp;
}

namespace {

// One entry of "runfolder.dat": a run folder its run has not settled, the
// run's preset, and the folders the run's copy wrote into.
struct RunFolderEntry {
  std::string folder;
  std::string preset;
  std::vector<std::string> copyTargets;
};

std::string RunMarkFile() { return PathJoin(SettingsFolder, "runfolder.dat"); }

// Held by the run while its folder is marked: a start that finds the lock
// taken leaves the folders alone, as one of them belongs to a live run.
std::string RunLockFile() { return PathJoin(SettingsFolder, "runfolder.lock"); }
std::unique_ptr<platform::NamedMutex> g_runLock;
// The run folder of this process's run in progress (empty: none).
std::string g_liveRunFolder;

constexpr std::string_view kFolderKey = "folder=";
constexpr std::string_view kPresetKey = "preset=";
constexpr std::string_view kCopyKey = "copyto=";

bool IsOneLine(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

// One "key=value" line each: "folder=" begins an entry, "preset=" and
// "copyto=" belong to the entry above.  An older YUX wrote one entry as two
// bare lines, the folder and the preset.
std::vector<RunFolderEntry> ReadRunFolderEntries() {
  std::vector<std::string> lines;
  std::ifstream in(RunMarkFile(), std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  std::vector<RunFolderEntry> entries;
  if (lines.empty()) return entries;
  if (!lines[0].starts_with(kFolderKey)) {
    entries.push_back({lines[0], lines.size() > 1 ? lines[1] : std::string(), {}});
    return entries;
  }
  for (const auto& line : lines) {
    const auto value = [&](std::string_view key) { return line.substr(key.size()); };
    if (line.starts_with(kFolderKey)) entries.push_back({value(kFolderKey), {}, {}});
    else if (line.starts_with(kPresetKey)) entries.back().preset = value(kPresetKey);
    else if (line.starts_with(kCopyKey)) entries.back().copyTargets.push_back(value(kCopyKey));
  }
  return entries;
}

void WriteRunFolderEntries(const std::vector<RunFolderEntry>& entries) {
  std::error_code ec;
  if (entries.empty()) {
    fs::remove(RunMarkFile(), ec);
    return;
  }
  std::string text;
  for (const auto& e : entries) {
    text.append(kFolderKey).append(e.folder).append("\r\n");
    text.append(kPresetKey).append(e.preset).append("\r\n");
    for (const auto& target : e.copyTargets) text.append(kCopyKey).append(target).append("\r\n");
  }
  SaveFileWhole(RunMarkFile(), text);
}

// Takes the entries of `folders` out of the file as it is now.
void RemoveRunFolderEntries(const std::set<std::string>& folders) {
  if (folders.empty()) return;
  auto entries = ReadRunFolderEntries();
  if (std::erase_if(entries, [&](const RunFolderEntry& e) { return folders.count(e.folder) > 0; }) > 0)
    WriteRunFolderEntries(entries);
}

void LogFor(const RunFolderEntry& e, const std::string& text) { AddLog(e.preset + ": " + text); }

// A folder as a run makes it: eight capital letters, directly in the
// current temp folder, this user's and closed to others.  Anything else was
// never a run folder (the file was damaged, edited or copied) or is not ours
// to empty any more.
bool IsRunFolder(const std::string& folder) {
  const std::string name = platform::PathNameOf(folder);
  return name.size() == 8 && std::all_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; }) &&
         folder == PathJoin(RunTempFolder(), name) && platform::IsOwnPrivateFolder(folder);
}

// A copy cut off by a kill leaves its unfinished file in the destination;
// only those of this run's files go.
void RemovePartialCopies(const RunFolderEntry& e, const std::vector<std::string>& names) {
  for (const auto& target : e.copyTargets) {
    std::error_code ec;
    std::vector<fs::path> partial;
    for (auto it = fs::directory_iterator(target, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const std::string file = it->path().filename().string();
      if (std::any_of(names.begin(), names.end(), [&](const auto& n) { return platform::IsCopyTempNameOf(file, n); }) &&
          it->symlink_status(ec).type() == fs::file_type::regular)
        partial.push_back(it->path());
    }
    for (const auto& p : partial)
      if (fs::remove(p, ec)) LogFor(e, Format("partialcopyremoved", p.string()));
  }
}

// Recovers one entry's folder; true when the entry has nothing left to
// settle (its files were moved out, the folder is gone, or it is no run
// folder, which is never touched).
bool RecoverRunFolder(const RunFolderEntry& e) {
  std::error_code ec;
  if (e.folder.empty() || fs::symlink_status(e.folder, ec).type() == fs::file_type::not_found) return true;
  if (e.folder == g_liveRunFolder) {
    LogFor(e, Format("runfolderinuse", e.folder));
    return false;
  }
  if (!IsRunFolder(e.folder)) {
    // Said once: the entry goes, the folder stays as it is.  Kept, the
    // entry would add an error line at every start for good.
    LogFor(e, Format("notarunfolder", e.folder) + " [!]");
    return true;
  }
  LogFor(e, Format("leftoverrunfolder", e.folder) + " [!]");
  // Files only: a subfolder (the run makes none) is left as it is.
  std::vector<std::string> finished;
  for (auto it = fs::directory_iterator(e.folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (it->symlink_status(typeError).type() != fs::file_type::regular) continue;
    const std::string name = it->path().filename().string();
    if (platform::IsUnfinishedFileName(name)) fs::remove(it->path(), typeError);
    else finished.push_back(name);
  }
  std::sort(finished.begin(), finished.end());
  RemovePartialCopies(e, finished);
  KeepResult r;
  KeepFiles(e.folder, e.preset, finished, r);
  LogKept(r, e.folder, false, e.preset);
  if (!r.stuck.empty()) return false;
  fs::remove(e.folder, ec);
  return true;
}

}  // namespace

void MarkRunFolder(const std::string& runFolder, const std::string& presetName) {
  if (SettingsFolder.empty() || runFolder.empty() || !IsOneLine(runFolder)) return;
  if (!g_runLock) g_runLock = platform::NamedMutex::CreateAt(RunLockFile());
  g_liveRunFolder = runFolder;
  std::string preset = presetName;
  std::replace_if(preset.begin(), preset.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
  auto entries = ReadRunFolderEntries();
  std::erase_if(entries, [&](const RunFolderEntry& e) { return e.folder == runFolder; });
  entries.push_back({runFolder, preset, {}});
  WriteRunFolderEntries(entries);
}

void NoteCopyDestination(const std::string& runFolder, const std::string& destination) {
  if (SettingsFolder.empty() || runFolder.empty() || destination.empty() || !IsOneLine(destination)) return;
  auto entries = ReadRunFolderEntries();
  auto it = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.folder == runFolder; });
  if (it == entries.end() ||
      std::find(it->copyTargets.begin(), it->copyTargets.end(), destination) != it->copyTargets.end())
    return;
  it->copyTargets.push_back(destination);
  WriteRunFolderEntries(entries);
}

void UnmarkRunFolder(const std::string& runFolder, bool settled) {
  if (!runFolder.empty() && runFolder == g_liveRunFolder) {
    g_runLock.reset();
    g_liveRunFolder.clear();
  }
  if (settled && !SettingsFolder.empty()) RemoveRunFolderEntries({runFolder});
}

void RecoverLeftoverRunFolder() {
  if (SettingsFolder.empty()) return;
  const auto entries = ReadRunFolderEntries();
  if (entries.empty()) return;
  if (g_liveRunFolder.empty()) {
    // Another YUX runs on this settings folder: one of the folders is its
    // run's, and which one only it knows.
    const auto lock = platform::NamedMutex::CreateAt(RunLockFile());
    if (lock && lock->AlreadyExisted()) {
      for (const auto& e : entries) LogFor(e, Format("runfolderlater", e.folder));
      return;
    }
  }
  std::set<std::string> settled;
  for (const auto& e : entries)
    if (RecoverRunFolder(e)) settled.insert(e.folder);
  RemoveRunFolderEntries(settled);
}

}  // namespace yux
