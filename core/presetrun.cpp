#include "core/presetrun.h"

#include <filesystem>
#include <memory>
#include <random>

#include <QCoreApplication>

#include "core/datetime.h"
#include "core/flags.h"
#include "core/foldercopy.h"
#include "core/folders.h"
#include "core/msgtable.h"
#include "core/options.h"
#include "core/presets.h"
#include "core/programlog.h"
#include "core/schedule.h"
#include "core/startup.h"
#include "core/winrarcmd.h"
#include "platform/environment.h"
#include "platform/filesearch.h"
#include "platform/folders.h"
#include "platform/messagebox.h"
#include "platform/process.h"

namespace yux {

namespace fs = std::filesystem;
using platform::DWORD;

namespace {

constexpr std::uintptr_t kOperationTimerId = 1;

bool IsFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(path, ec);
}

bool MakeFolder(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  fs::create_directories(path, ec);
  return fs::is_directory(path, ec);
}

std::string WithoutTrailingSlash(std::string s) {
  while (s.size() > 1 && (s.back() == '/' || s.back() == '\\')) s.pop_back();
  return s;
}

std::string NewRunFolderName() {
  static std::mt19937 rng{std::random_device{}()};
  std::uniform_int_distribution<int> letter(0, 25);
  std::string name;
  for (int i = 0; i < 8; ++i) name += static_cast<char>('A' + letter(rng));
  return name;
}

class PresetRunner {
 public:
  RunOutcome Run(const std::string& name);

  RunHooks* hooks = nullptr;
  RunTuning tuning;
  RunStage stage = RunStage::Idle;
  bool inProgress = false;
  std::string runFolderName;
  std::string runFolder;
  std::vector<std::string> produced;

 private:
  // Everything that must be true again when a run ends, whichever way it
  // ends (a thrown exception included).
  struct EndGuard {
    PresetRunner& r;
    ~EndGuard() { r.Finish(); }
  };

  RunOutcome Steps(const std::string& name);
  void Finish();

  void SetRunActive();
  void ClearRunActive();
  void KeepRunActive();
  void SetIcon(bool running);

  void StartOperationTimer(int minutes);
  void StopOperationTimer();
  void OperationTimeout();

  // Starts a program the way the shell's "open" verb does; nullptr when it
  // cannot be started.
  std::unique_ptr<platform::Process> StartProgram(const std::string& program,
                                                  const std::string& parameters, bool hidden,
                                                  bool documents);
  // True when the process ended, false when the abort flag broke the wait.
  bool WaitForProcess(platform::Process& proc);
  // A before- or after-command; false when the run must end (logged).
  bool ExternalCommand(bool enabled, const std::string& program, const std::string& parameters,
                       bool sync, bool hidden, RunOutcome& outcome);
  RunOutcome AbortPath(bool hideProgress = false);
  void RemoveTempFolder();
  void CollectProducedFiles();

  bool holdsRunActive_ = false;
  bool iconShown_ = false;
  platform::HWND timerWindow_ = 0;
};

PresetRunner& Runner() {
  static PresetRunner runner;
  return runner;
}

void PresetRunner::SetRunActive() {
  RunActive = true;
  holdsRunActive_ = true;
  if (hooks) hooks->RunStateChanged(true);
}

void PresetRunner::ClearRunActive() {
  if (!holdsRunActive_) return;
  holdsRunActive_ = false;
  RunActive = false;
  if (hooks) hooks->RunStateChanged(false);
}

// Work done inside a wait (a log truncation, a cleared log) may set and
// clear the run-active flag for itself; the run's own claim wins.
void PresetRunner::KeepRunActive() {
  if (holdsRunActive_ && !RunActive) RunActive = true;
}

void PresetRunner::SetIcon(bool running) {
  if (iconShown_ == running) return;
  iconShown_ = running;
  if (hooks) hooks->SetRunIcon(running);
}

void PresetRunner::StartOperationTimer(int minutes) {
  StopOperationTimer();
  if (minutes <= 0) return;
  if (!timerWindow_) {
    timerWindow_ = platform::CreateMessageWindow(
        [this](platform::HWND wnd, platform::UINT msg, platform::WPARAM wp, platform::LPARAM lp) {
          if (msg == platform::WM_TIMER && wp == kOperationTimerId) {
            OperationTimeout();
            return platform::LRESULT{0};
          }
          return platform::DefWindowProc(wnd, msg, wp, lp);
        });
  }
  const std::uint64_t ms = static_cast<std::uint64_t>(minutes) * tuning.minuteMs;
  platform::SetTimer(timerWindow_, kOperationTimerId,
                     static_cast<platform::UINT>(std::min<std::uint64_t>(ms, 0x7FFFFFFF)));
}

void PresetRunner::StopOperationTimer() {
  if (timerWindow_) platform::KillTimer(timerWindow_, kOperationTimerId);
}

void PresetRunner::OperationTimeout() {
  StopOperationTimer();
  AddPresetLog(MessageText("operationtimeout") + " [!]");
  AbortRequested = true;
}

std::unique_ptr<platform::Process> PresetRunner::StartProgram(const std::string& program,
                                                              const std::string& parameters,
                                                              bool hidden, bool documents) {
  platform::StartOptions opt;
  // The shell expands environment strings in the program, never in the
  // parameters: a password holding "%" must reach the archiver as typed.
  opt.expandEnvironment = false;
  opt.hidden = hidden;
  opt.openDocuments = documents;
  return platform::Process::Start(platform::ExpandEnvironmentStrings(program), parameters, opt);
}

bool PresetRunner::WaitForProcess(platform::Process& proc) {
  while (!AbortRequested) {
    if (proc.Wait(tuning.processWaitMs) == platform::WAIT_OBJECT_0) return true;
    if (QCoreApplication::closingDown()) return true;
    platform::ProcessMessages();
    KeepRunActive();
  }
  return false;
}

RunOutcome PresetRunner::AbortPath(bool hideProgress) {
  if (hideProgress && hooks) hooks->HideProgress();
  AddLog(MessageText("abortrequested"));
  RemoveTempFolder();
  AddLog(MessageText("aborted") + " [!]");
  return RunOutcome::Aborted;
}

bool PresetRunner::ExternalCommand(bool enabled, const std::string& program,
                                   const std::string& parameters, bool sync, bool hidden,
                                   RunOutcome& outcome) {
  if (!enabled || program.empty()) return true;
  AddPresetLog(MessageText(sync ? "syncexecution" : "asyncexecution") + " " + program);
  auto proc = StartProgram(program, parameters, hidden, true);
  if (!proc) {
    AddLog(MessageText("cannotexecuteexternal") + " [!]");
    // The run folder and the run icon go with the run.
    RemoveTempFolder();
    outcome = RunOutcome::Failed;
    return false;
  }
  if (!sync) return true;
  if (!WaitForProcess(*proc)) {
    proc->Terminate(0);
    outcome = AbortPath();
    return false;
  }
  return true;
}

void PresetRunner::RemoveTempFolder() {
  SetIcon(false);
  if (!runFolder.empty()) {
    std::error_code ec;
    if (fs::is_directory(runFolder, ec)) {
      for (const auto& entry : platform::FindFiles(PathJoin(runFolder, "*"))) {
        const fs::path p = fs::path(runFolder) / entry.name;
        bool ok = entry.isFolder ? (fs::remove_all(p, ec), !ec) : (fs::remove(p, ec) && !ec);
        if (!ok) AddPresetLog(MessageText("cantdeltempfile") + " [!]");
      }
      if (!fs::remove(runFolder, ec) || ec) AddPresetLog(MessageText("cantdeltempfile") + " [!]");
    }
  }
  ClearRunActive();
}

void PresetRunner::CollectProducedFiles() {
  produced.clear();
  std::uint64_t total = 0;
  for (const auto& entry : platform::FindFiles(PathJoin(runFolder, "*"))) {
    if (entry.isFolder || (entry.attributes & platform::FILE_ATTRIBUTE_HIDDEN)) continue;
    produced.push_back(entry.name);
    total += entry.size;
  }
  AddPresetLog(ProducedFilesLogText(produced.size(), total));
}

void PresetRunner::Finish() {
  StopOperationTimer();
  if (timerWindow_) {
    platform::DestroyWindow(timerWindow_);
    timerWindow_ = 0;
  }
  stage = RunStage::Idle;
  inProgress = false;
  // The flags are down before the window hears of it, so a hook that
  // throws here cannot leave the run active.
  try {
    SetIcon(false);
  } catch (...) {
  }
  try {
    ClearRunActive();
  } catch (...) {
  }
}

RunOutcome PresetRunner::Run(const std::string& name) {
  if (inProgress || RunActive) return RunOutcome::Busy;
  if (!IsFile(WinRarPath)) {
    AddLog(MessageText("winrarnotfound") + " [!]");
    return RunOutcome::NotStarted;
  }
  if (name.empty()) return RunOutcome::NotStarted;
  inProgress = true;
  stage = RunStage::Preparing;
  EndGuard guard{*this};
  try {
    return Steps(name);
  } catch (const std::exception& e) {
    AddPresetLog(MessageText("errorduringoperation") + " " + e.what() + " [!]");
    RemoveTempFolder();
    return RunOutcome::Failed;
  }
}

RunOutcome PresetRunner::Steps(const std::string& name) {
  CurrentPresetName = name;
  if (PresetListRows* rows = GetPresetListRows()) {
    if (auto row = FindPresetRow(name)) {
      rows->SetPreviousText(*row, DateTimeToText(QDateTime::currentDateTime()));
      SaveLastRuns();
    }
  }

  runFolderName = NewRunFolderName();
  std::string temp = WithoutTrailingSlash(TempFolder.empty() ? platform::TempFolder() : TempFolder);
  runFolder.clear();

  SetPresetDefaults(CurrentPreset);
  tarcopt loaded;
  try {
    LoadPreset(name, loaded);
  } catch (const EPresetFileError& e) {
    AddPresetLog(std::string(e.what()) + " [!]");
    return RunOutcome::NotStarted;
  }
  CurrentPreset = loaded;
  const tarcopt& p = CurrentPreset;

  const std::string destinationText = platform::ExpandEnvironmentStrings(p.dir);
  const std::string destination = LocalFolderPath(destinationText);
  if (!p.ctf && !p.cdw && !p.ftp && !p.smt) {
    AddPresetLog(MessageText("notasksforpreset") + " [!]");
    return RunOutcome::NotStarted;
  }
  if (p.ctf && !p.cdw && !p.ftp && !p.smt && !p.dra && !MakeFolder(destination)) {
    AddPresetLog(MessageText("cantcreatedestfolder") + " [!]");
    return RunOutcome::NotStarted;
  }

  const SwitchContext context = DefaultSwitchContext(name);
  const std::string switches = BuildWinRarSwitches(p, name, context);
  const std::string archiveName = platform::ExpandEnvironmentStrings(p.nam);

  SetRunActive();
  std::string parameters;
  if (!p.dra) {
    // A name that is taken already (an earlier run's leftovers) is not reused.
    for (int i = 0; i < 16 && fs::exists(PathJoin(temp, runFolderName)); ++i)
      runFolderName = NewRunFolderName();
    runFolder = PathJoin(temp, runFolderName);
    parameters = BuildWinRarCommandLine(switches, name, PresetsFolder, runFolder, archiveName);
    if (!MakeFolder(runFolder)) {
      AddPresetLog(MessageText("cantcreatetempfolder") + " [!]");
      runFolder.clear();
      ClearRunActive();
      return RunOutcome::NotStarted;
    }
  } else {
    parameters = BuildWinRarCommandLine(switches, name, PresetsFolder, destination, archiveName);
    if (p.ctf && !MakeFolder(destination)) {
      AddPresetLog(MessageText("cantcreatedestfolder") + " [!]");
      ClearRunActive();
      return RunOutcome::NotStarted;
    }
  }

  AbortRequested = false;
  StartOperationTimer(Options.twr);
  produced.clear();
  SetIcon(true);

  RunOutcome outcome = RunOutcome::Failed;
  stage = RunStage::BeforeCommand;
  if (!ExternalCommand(p.eba, p.ebe, p.ebp, p.ebs, p.ebh, outcome)) return outcome;

  stage = RunStage::Archiving;
  if (context.debugFlagExists)
    platform::MessageBox(parameters, kApplicationTitle, platform::MB_OK | platform::MB_ICONINFORMATION);
  auto archiver = StartProgram(WinRarPath, parameters, p.hid, false);
  if (!archiver) {
    AddLog(MessageText("errorrunningwinrar") + " [!]");
    RemoveTempFolder();
    return RunOutcome::Failed;
  }
  AddPresetLog(MessageText(p.dra ? "directraringstarted" : "winrarstarted"));

  if (p.dra) {
    // The archiver works on alone; nothing is awaited or delivered.
    archiver.reset();
    stage = RunStage::AfterCommand;
    if (!ExternalCommand(p.eaa, p.eae, p.eap, p.eas, p.eah, outcome)) return outcome;
    SetIcon(false);
    ClearRunActive();
    return RunOutcome::DirectDone;
  }

  if (!WaitForProcess(*archiver)) {
    archiver->Terminate(1);
    return AbortPath();
  }
  const int code = static_cast<int>(archiver->ExitCode());
  const WinRarJudgement judged = JudgeWinRarExitCode(code, Options.cie);
  if (!judged.logText.empty()) AddPresetLog(judged.logText);
  if (judged.verdict == WinRarVerdict::Fail) {
    RemoveTempFolder();
    return RunOutcome::Failed;
  }

  StopOperationTimer();
  CollectProducedFiles();

  stage = RunStage::Delivering;
  // The disc, e-mail and FTP deliveries are not part of this program yet:
  // a preset that asks for one is told so, and the copy still happens.
  if (p.cdw)
    AddPresetLog(MessageText("cdnotavailable") + " [!]");
  if (p.smt)
    AddPresetLog(MessageText("smtpnotavailable") + " [!]");
  if (p.ftp)
    AddPresetLog(MessageText("ftpnotavailable") + " [!]");

  if (p.ctf) {
    FolderCopyJob job;
    job.presetName = name;
    job.preset = &p;
    job.destinationText = destinationText;
    job.destination = destination;
    job.runFolder = runFolder;
    job.produced = produced;
    job.pump = [this] {
      platform::ProcessMessages();
      KeepRunActive();
    };
    switch (CopyProducedFiles(job)) {
      case FolderCopyResult::EndRun:
        RemoveTempFolder();
        return RunOutcome::Failed;
      case FolderCopyResult::Aborted:
        return AbortPath(true);
      case FolderCopyResult::Done:
      case FolderCopyResult::NoFiles:
        break;
    }
  }

  stage = RunStage::AfterCommand;
  if (!ExternalCommand(p.eaa, p.eae, p.eap, p.eas, p.eah, outcome)) return outcome;

  RemoveTempFolder();
  AddPresetLog(MessageText("doneword"));
  return RunOutcome::Done;
}

}  // namespace

void SetRunHooks(RunHooks* hooks) { Runner().hooks = hooks; }

RunOutcome RunPreset(const std::string& name) { return Runner().Run(name); }

bool RunInProgress() { return Runner().inProgress; }
RunStage CurrentRunStage() { return Runner().stage; }
std::string RunFolderName() { return Runner().runFolderName; }
std::string RunFolderPath() { return Runner().runFolder; }
const std::vector<std::string>& ProducedFiles() { return Runner().produced; }
RunTuning& PresetRunTuning() { return Runner().tuning; }

}  // namespace yux
