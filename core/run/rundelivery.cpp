// The delivery record of a run: which destination took which file, what is kept.
#include "core/run/rundelivery.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#include <QDateTime>

#include "core/run/foldercopy.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/programlog.h"
#include "core/store/savefile.h"
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
    if (!r.folder.empty() && MoveFileTo(PathJoin(runFolder, name), PathJoin(r.folder, name)))
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

namespace {

std::string RunMarkFile() { return PathJoin(SettingsFolder, "runfolder.dat"); }

// Held by the run while its folder is marked: a start that finds the mark
// leaves a folder alone whose run is still alive.
std::string RunLockFile() { return PathJoin(SettingsFolder, "runfolder.lock"); }
std::unique_ptr<platform::NamedMutex> g_runLock;

}  // namespace

void MarkRunFolder(const std::string& runFolder, const std::string& presetName) {
  if (SettingsFolder.empty()) return;
  if (!g_runLock) g_runLock = platform::NamedMutex::CreateAt(RunLockFile());
  SaveFileWhole(RunMarkFile(), runFolder + "\r\n" + presetName + "\r\n");
}

void UnmarkRunFolder() {
  g_runLock.reset();
  if (SettingsFolder.empty()) return;
  std::error_code ec;
  fs::remove(RunMarkFile(), ec);
}

void RecoverLeftoverRunFolder() {
  if (SettingsFolder.empty()) return;
  std::ifstream in(RunMarkFile(), std::ios::binary);
  if (!in) return;
  std::string folder, preset;
  std::getline(in, folder);
  std::getline(in, preset);
  in.close();
  for (auto* s : {&folder, &preset})
    while (!s->empty() && (s->back() == '\r' || s->back() == '\n')) s->pop_back();
  const auto alive = platform::NamedMutex::CreateAt(RunLockFile());
  if (alive && alive->AlreadyExisted()) {
    AddLog(preset + ": " + Format("runfolderinuse", folder));
    return;
  }
  std::error_code ec;
  if (!folder.empty() && fs::is_directory(folder, ec)) {
    AddLog(preset + ": " + Format("leftoverrunfolder", folder) + " [!]");
    std::vector<std::string> finished;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_regular_file(ec) && !platform::IsUnfinishedFileName(name)) finished.push_back(name);
      else RemoveEntry(entry.path());
    }
    std::sort(finished.begin(), finished.end());
    KeepResult r;
    KeepFiles(folder, preset, finished, r);
    LogKept(r, folder, false, preset);
    if (r.stuck.empty()) fs::remove(folder, ec);
  }
  UnmarkRunFolder();
}

}  // namespace yux
