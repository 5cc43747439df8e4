// The run of a preset: its stages from the archiver to the last delivery.
#include "core/run/presetrun.h"

#include <filesystem>
#include <memory>
#include <random>

#include <QCoreApplication>
#include <QTimer>

#include "core/run/cddelivery.h"
#include "core/run/dialup.h"
#include "core/run/foldercopy.h"
#include "core/run/ftpdelivery.h"
#include "core/run/maildelivery.h"
#include "core/run/rundelivery.h"
#include "core/run/sourcedelete.h"
#include "core/run/winrarcmd.h"
#include "core/store/appnames.h"
#include "core/store/datetime.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "core/store/savefile.h"
#include "core/store/schedule.h"
#include "net/protocols/ftpcli.h"
#include "net/protocols/httpcli.h"
#include "net/socket/sslcontext.h"
#include "platform/environment.h"
#include "platform/filesearch.h"
#include "platform/folders.h"
#include "platform/messagebox.h"
#include "platform/process.h"
#include "platform/safefile.h"

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
  bool refuseRuns = false;
  std::string runFolderName;
  std::string runFolder;
  std::vector<std::string> produced;
  RunDeliveries deliveries;

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
  // Awaited programs die with this one; `input` is the child's standard
  // input (empty: ours).
  std::unique_ptr<platform::Process> StartProgram(const std::string& program,
                                                  const std::string& parameters, bool hidden,
                                                  bool documents, bool awaited,
                                                  const std::string& input = {});
  // True when the process ended, false when the abort flag broke the wait.
  bool WaitForProcess(platform::Process& proc);
  // A before- or after-command; false when the run must end (logged).
  bool ExternalCommand(bool enabled, const std::string& program, const std::string& parameters,
                       bool sync, bool hidden, RunOutcome& outcome);
  // `announce`: log "Abort requested." (a delivery's wind-down has already
  // said that it waits).
  RunOutcome AbortPath(bool hideProgress = false, bool announce = true);
  FtpResult DeliverByFtpStage(const tarcopt& p, const std::string& name);
  // Hands a delivery stage this run's preset, run folder, produced files
  // and delivery record.
  void FillStageJob(StageJob& job, const tarcopt& p, const std::string& name) {
    job.presetName = name;
    job.preset = &p;
    job.runFolder = runFolder;
    job.produced = produced;
    job.deliveries = &deliveries;
  }
  // The FTP and HTTP clients of the main window, else the run's own.
  std::unique_ptr<net::TSslFtpClient> ownFtp_;
  std::unique_ptr<net::THttpCli> ownHttp_;
  std::unique_ptr<QTimer> ownDialTimer_;
  // Ends the run folder: before anything was produced it is simply
  // removed; afterwards undelivered files are kept.  False when files were
  // kept (an error line says where).
  bool RemoveTempFolder();
  void CollectProducedFiles();
  // The sources the include list reaches and what each one is, taken
  // just before the archiver starts; and the archive's listing, read while
  // it is still in the run folder.  Once the archive has been delivered,
  // the sources both name go.
  void TakeCandidatesForDeletion(const tarcopt& p, const std::string& name);
  void ReadListingForDeletion(const tarcopt& p, const std::string& name);
  void DeleteSourcesIfDelivered(const tarcopt& p);

  bool collected_ = false;
  SourceDeletion deletion_;
  SourceCandidates candidates_;
  // The include and exclude lists' bytes the candidates were taken under;
  // unset when they never held still.
  std::optional<std::pair<std::optional<std::string>, std::optional<std::string>>> listsTaken_;
  std::optional<std::vector<ArchivedEntry>> listing_;
  std::string listingError_;

  // The run dialled a line whose hang-up after the deliveries is still
  // due: every way out of the run owes it.
  bool dialHangupDue_ = false;
  void HangupDialledLine() {
    if (!dialHangupDue_) return;
    dialHangupDue_ = false;
    DialUpAfterDeliveries();
  }

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
                                                              bool hidden, bool documents, bool awaited,
                                                              const std::string& input) {
  platform::StartOptions opt;
  opt.dieWithParent = awaited;
  opt.standardInput = input;
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

RunOutcome PresetRunner::AbortPath(bool hideProgress, bool announce) {
  if (hideProgress && hooks) hooks->HideProgress();
  if (announce) AddLog(MessageText("abortrequested"));
  HangupDialledLine();
  RemoveTempFolder();
  AddLog(MessageText("aborted") + " [!]");
  return RunOutcome::Aborted;
}

FtpResult PresetRunner::DeliverByFtpStage(const tarcopt& p, const std::string& name) {
  FtpJob job;
  FillStageJob(job, p, name);
  job.client = hooks ? hooks->FtpClient() : nullptr;
  job.http = hooks ? hooks->HttpClient() : nullptr;
  if (!job.client) {
    if (!ownFtp_) ownFtp_ = std::make_unique<net::TSslFtpClient>();
    job.client = ownFtp_.get();
  }
  if (!job.http) {
    if (!ownHttp_) ownHttp_ = std::make_unique<net::THttpCli>();
    job.http = ownHttp_.get();
  }
  job.pump = [this] { KeepRunActive(); };
  job.progress = [this](int pos) {
    if (!hooks) return;
    if (pos < 0) {
      hooks->HideProgress();
    } else {
      hooks->ShowProgress(pos);
    }
  };
  job.watchdogMs = tuning.ftpWatchdogMs;
  job.secondMs = tuning.secondMs;
  // "tft" minutes bound the stage; its end is an abort of the run.
  StartOperationTimer(Options.tft);
  const FtpResult result = DeliverByFtp(job);
  StopOperationTimer();
  return result;
}

bool PresetRunner::ExternalCommand(bool enabled, const std::string& program,
                                   const std::string& parameters, bool sync, bool hidden,
                                   RunOutcome& outcome) {
  if (!enabled || program.empty()) return true;
  AddPresetLog(MessageText(sync ? "syncexecution" : "asyncexecution") + " " + program);
  auto proc = StartProgram(program, parameters, hidden, true, sync);
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

bool PresetRunner::RemoveTempFolder() {
  SetIcon(false);
  if (collected_) {
    collected_ = false;
    const KeepResult kept = SettleRunFolder(runFolder, CurrentPresetName, deliveries);
    UnmarkRunFolder(runFolder, kept.stuck.empty());
    ClearRunActive();
    return kept.kept.empty() && kept.stuck.empty();
  }
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
    UnmarkRunFolder(runFolder, !fs::exists(runFolder, ec));
  }
  ClearRunActive();
  return true;
}

void PresetRunner::CollectProducedFiles() {
  produced.clear();
  std::uint64_t total = 0;
  // Every file counts, a name beginning with "." included: an archive the
  // user named so is still the run's result.
  for (const auto& entry : platform::FindFiles(PathJoin(runFolder, "*"))) {
    if (entry.isFolder) continue;
    produced.push_back(entry.name);
    total += entry.size;
    // Archives may hold what the sources' owner alone may read.
    platform::SetFileMode(PathJoin(runFolder, entry.name), 0600);
  }
  deliveries.Start(produced);
  collected_ = true;
  AddPresetLog(ProducedFilesLogText(produced.size(), total));
}

namespace {

// The bytes of the preset's include and exclude lists, which decide what
// the archiver stores.
std::pair<std::optional<std::string>, std::optional<std::string>> ListBytes(const std::string& name) {
  return {ReadFileWhole(PresetFilePath(name, ".inc")), ReadFileWhole(PresetFilePath(name, ".exc"))};
}

}  // namespace

void PresetRunner::TakeCandidatesForDeletion(const tarcopt& p, const std::string& name) {
  deletion_ = SourceDeletion{};
  candidates_.clear();
  listsTaken_.reset();
  if (p.dra || !(p.del || p.wip)) return;
  deletion_.pathMode = p.fld;
  deletion_.recurse = p.rsf;
  deletion_.wipe = p.wip;
  deletion_.pump = [this] {
    platform::ProcessMessages();
    KeepRunActive();
  };
  // The list the archiver is about to read: an edit made while it works
  // changes nothing that is deleted.  The walk handles messages, and a
  // save of the preset during it is what the archiver will read, so the
  // list is taken again until it held still.
  // The lists' bytes are kept and compared once the archiver has ended: a
  // save between the walk and the archiver's own read of them would have
  // it store other files than those taken.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto before = ListBytes(name);
    deletion_.includes = ReadPresetList(name, ".inc").value_or(std::vector<std::string>{});
    candidates_ = TakeSourceCandidates(deletion_);
    if (ListBytes(name) == before) {
      listsTaken_ = before;
      return;
    }
  }
  // A list that never holds still: nothing is taken, nothing deleted.
  candidates_.clear();
}

void PresetRunner::ReadListingForDeletion(const tarcopt& p, const std::string& name) {
  listing_.reset();
  listingError_.clear();
  if (!(p.del || p.wip)) return;
  if (!listsTaken_ || ListBytes(name) != *listsTaken_) {
    listingError_ = MessageText("sourceslistchanged");
    return;
  }
  const std::string password = p.pas ? p.pwd : std::string();
  std::vector<ArchivedEntry> all;
  for (const auto& volumes : ArchiveVolumeGroups(runFolder, produced)) {
    std::string why;
    auto entries = ReadArchiveListing(volumes, &why, password, deletion_.pump);
    if (!entries) {
      listingError_ = fs::path(volumes.front()).filename().string() + ": " + why;
      return;
    }
    all.insert(all.end(), entries->begin(), entries->end());
  }
  listing_ = std::move(all);
}

void PresetRunner::DeleteSourcesIfDelivered(const tarcopt& p) {
  if (!(p.del || p.wip)) return;
  // Sources go only once every archive file is safe at a destination.
  if (!deliveries.EveryFileReachedOne()) {
    AddPresetLog(Format("sourcesnotdeleted", MessageText("sourcesnotdelivered")) + " [!]");
    return;
  }
  if (!listing_) {
    AddPresetLog(Format("sourcesnotdeleted", listingError_) + " [!]");
    return;
  }
  const SourceDeletionResult r = DeleteArchivedSources(*listing_, candidates_, deletion_);
  AddPresetLog(Format("sourcesdeleted", r.deleted));
  if (r.kept > 0) AddPresetLog(Format("sourceskept", r.kept));
  if (r.notOverwritten > 0) AddPresetLog(Format("sourcesnotwiped", r.notOverwritten));
}

void PresetRunner::Finish() {
  StopOperationTimer();
  try {
    HangupDialledLine();
  } catch (...) {
  }
  if (timerWindow_) {
    platform::DestroyWindow(timerWindow_);
    timerWindow_ = 0;
  }
  stage = RunStage::Idle;
  inProgress = false;
  collected_ = false;
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
  if (inProgress || RunActive || refuseRuns) return RunOutcome::Busy;
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
  const std::string temp = RunTempFolder();
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

  const std::string archiveName = platform::ExpandEnvironmentStrings(p.nam);
  // The name is a file name in the run folder: anything else would write
  // outside it, or make an archive without a name.
  if (archiveName.empty() || archiveName == "." || archiveName == ".." ||
      archiveName.find_first_of("/\\") != std::string::npos) {
    AddPresetLog(Format("badarchivename", archiveName) + " [!]");
    return RunOutcome::NotStarted;
  }
  const SwitchContext context = DefaultSwitchContext(name);
  // Outside direct mode the archiver deletes nothing: the run deletes the
  // archived sources itself once a destination holds the archive.
  tarcopt forArchiver = p;
  if (!p.dra) forArchiver.del = forArchiver.wip = false;
  // The stand-in archiver takes the password on its standard input, where
  // other users cannot read it; other archivers need it in the switch.
  std::string archiverInput;
  const bool standIn = fs::path(WinRarPath).filename() == "winrar";
  if (standIn && p.pas && !p.pwd.empty()) {
    forArchiver.pas = false;
    archiverInput = p.pwd + "\n";
  }
  std::string switches = BuildWinRarSwitches(forArchiver, name, context);
  if (!archiverInput.empty()) switches += " -hp";

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
    std::error_code ec;
    fs::permissions(runFolder, fs::perms::owner_all, ec);
    // Known until the run settles it, so that a run cut off by a kill or a
    // power cut is found at the next start.
    MarkRunFolder(runFolder, name);
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
  deliveries.Clear();
  collected_ = false;
  SetIcon(true);

  RunOutcome outcome = RunOutcome::Failed;
  stage = RunStage::BeforeCommand;
  if (!ExternalCommand(p.eba, p.ebe, p.ebp, p.ebs, p.ebh, outcome)) return outcome;

  stage = RunStage::Archiving;
  if (context.debugFlagExists)
    platform::MessageBox(parameters, kApplicationTitle, platform::MB_OK | platform::MB_ICONINFORMATION);
  TakeCandidatesForDeletion(p, name);
  auto archiver = StartProgram(WinRarPath, parameters, p.hid, false, !p.dra, archiverInput);
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
  if (produced.empty()) {
    // An archiver that ends well but leaves nothing has delivered nothing.
    AddPresetLog(MessageText("noarchiveproduced") + " [!]");
    RemoveTempFolder();
    return RunOutcome::Failed;
  }
  ReadListingForDeletion(p, name);

  stage = RunStage::Delivering;
  if (p.cdw) deliveries.Expect(DeliveryKind::Cd);
  if (p.smt) deliveries.Expect(DeliveryKind::Smtp);
  if (p.ftp) deliveries.Expect(DeliveryKind::Ftp);
  if (p.ctf) deliveries.Expect(DeliveryKind::Copy);
  if (p.cdw) {
    CdJob job;
    FillStageJob(job, p, name);
    job.burner = hooks ? hooks->Burner() : nullptr;
    job.pump = [this] {
      platform::ProcessMessages();
      KeepRunActive();
    };
    job.progress = [this](int pos) {
      if (hooks) hooks->ShowProgress(pos);
    };
    if (DeliverToDisc(job) == CdResult::Aborted) return AbortPath();
  }
  // The network deliveries may need a dial-up line first; what cannot go
  // out without it is skipped and so kept as undelivered.
  bool lineUp = true;
  if (Options.des && (p.smt || p.ftp)) {
    QTimer* timer = hooks ? hooks->DialUpTimer() : nullptr;
    if (!timer) {
      if (!ownDialTimer_) ownDialTimer_ = std::make_unique<QTimer>();
      timer = ownDialTimer_.get();
    }
    dialHangupDue_ = true;
    switch (DialUpStage(timer, [] { return AbortRequested.load(); })) {
      case DialUpResult::Aborted:
        return AbortPath(true);
      case DialUpResult::NotAvailable:
        lineUp = false;
        break;
      case DialUpResult::Available:
        break;
    }
  }
  if (p.smt && !lineUp) AddPresetLog(MessageText("smtpskipnodualup") + " [!]");
  if (p.smt && lineUp) {
    MailJob job;
    FillStageJob(job, p, name);
    job.replyLimitMs = tuning.mailReplyMs;
    job.dataEndLimitMs = tuning.mailDataEndMs;
    job.secondMs = tuning.secondMs;
    StartOperationTimer(Options.tsm);
    const MailResult mailed = DeliverByMail(job);
    StopOperationTimer();
    if (mailed == MailResult::Aborted) return AbortPath(true, false);
  }
  if (p.ftp && !lineUp) AddPresetLog(MessageText("ftpskipnodialup") + " [!]");
  if (p.ftp && lineUp && DeliverByFtpStage(p, name) == FtpResult::Aborted) return AbortPath(true, false);
  HangupDialledLine();

  if (p.ctf) {
    FolderCopyJob job;
    FillStageJob(job, p, name);
    job.destinationText = destinationText;
    job.destination = destination;
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

  DeleteSourcesIfDelivered(p);

  stage = RunStage::AfterCommand;
  if (!ExternalCommand(p.eaa, p.eae, p.eap, p.eas, p.eah, outcome)) return outcome;

  const bool allDelivered = deliveries.AllComplete();
  // "Done." only for a run whose every file reached every destination.
  if (!RemoveTempFolder() || !allDelivered) return RunOutcome::Failed;
  AddPresetLog(MessageText("doneword"));
  return RunOutcome::Done;
}

}  // namespace

void SetRunHooks(RunHooks* hooks) { Runner().hooks = hooks; }

RunOutcome RunPreset(const std::string& name) { return Runner().Run(name); }

void RefuseRunsForSessionEnd() {
  Runner().refuseRuns = true;
  if (Runner().inProgress) AbortRequested = true;
}

bool RunsRefusedForSessionEnd() { return Runner().refuseRuns; }
void AllowRunsAgain() { Runner().refuseRuns = false; }
bool RunInProgress() { return Runner().inProgress; }
RunStage CurrentRunStage() { return Runner().stage; }
std::string RunFolderName() { return Runner().runFolderName; }
std::string RunFolderPath() { return Runner().runFolder; }
const std::vector<std::string>& ProducedFiles() { return Runner().produced; }
RunDeliveries& CurrentRunDeliveries() { return Runner().deliveries; }
RunTuning& PresetRunTuning() { return Runner().tuning; }

}  // namespace yux
