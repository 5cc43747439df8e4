// The shell notifier: folder watches that schedule presets.
#include "core/services/shellnotifier.h"

#include <QDateTime>
#include <QTimer>

#include <algorithm>
#include <vector>

#include "core/store/inifile.h"
#include "core/store/msgtable.h"
#include "core/store/programlog.h"
#include "core/store/savefile.h"
#include "core/store/textutil.h"
#include "platform/dirwatch.h"
#include "platform/folders.h"

namespace yux {

ShellNotifierArray ShellNotifierTasks = [] {
  ShellNotifierArray a;
  for (int n = 1; n <= kShellNotifierTasks; ++n) a[n - 1] = DefaultShellNotifierTask(n);
  return a;
}();

namespace {

constexpr char kDefaultInactiveTill[] = "2000.01.01 00:00:00";

ShellNotifierHooks& Hooks() {
  static ShellNotifierHooks hooks;
  return hooks;
}

std::array<std::unique_ptr<platform::DirectoryWatch>, kShellNotifierTasks>& Watches() {
  static std::array<std::unique_ptr<platform::DirectoryWatch>, kShellNotifierTasks> watches;
  return watches;
}

// The tasks whose folder cannot be watched now, and the timer that
// retries them.  A folder missing at start may be a link, as a folder given
// at start may; one that went away may not be replaced by a link.
enum class Waiting { No, Missing, Gone };

std::array<Waiting, kShellNotifierTasks>& WaitingTasks() {
  static std::array<Waiting, kShellNotifierTasks> waiting{};
  return waiting;
}

std::unique_ptr<QTimer>& RetryTimer() {
  static std::unique_ptr<QTimer> timer;
  return timer;
}

// Watches each waiting task's folder where it can be watched now.  Says so
// once per task (a retry that fails says nothing), and counts the folder's
// arrival as one change of its task: a folder that was made, or put in
// place by a rename, holds what its task is there to act on.
void RetryWaitingWatches() {
  bool waiting = false;
  std::vector<int> arrived;
  for (int n = 1; n <= kShellNotifierTasks; ++n) {
    const Waiting why = WaitingTasks()[n - 1];
    if (why == Waiting::No) continue;
    platform::DirectoryWatch* watch = Watches()[n - 1].get();
    if (watch && !watch->Start(nullptr, why == Waiting::Missing)) {
      waiting = true;
      continue;
    }
    WaitingTasks()[n - 1] = Waiting::No;
    if (!watch) continue;
    AddLog("SHELL NOTIFIER: task \"" + ShellNotifierTasks[n - 1].Name + "\" watches \"" + watch->Root() +
           "\" again.");
    arrived.push_back(n);
  }
  if (!waiting && RetryTimer()) RetryTimer()->stop();
  for (int n : arrived) ShellNotifierFired(n);
}

// Task n cannot watch its folder now: retried from now on.  Called from the
// watch's own report, so the watch is left alone until the timer.
void WatchLater(int n, Waiting why) {
  WaitingTasks()[n - 1] = why;
  if (!RetryTimer()) {
    RetryTimer() = std::make_unique<QTimer>();
    QObject::connect(RetryTimer().get(), &QTimer::timeout, [] { RetryWaitingWatches(); });
  }
  if (!RetryTimer()->isActive()) RetryTimer()->start(ShellNotifierTimings().retryMs);
}

// The row a task's change put into the schedule, while it is there, and
// how many changes it stands for.  A run that has not started yet will see
// every later change anyway: a burst (a build, an unpacked archive) must
// not make a row, and a save of the whole schedule, for each change.
struct PendingRun {
  bool open = false;
  tschdata row;
  long long changes = 0;
};

std::array<PendingRun, kShellNotifierTasks>& Pending() {
  static std::array<PendingRun, kShellNotifierTasks> pending;
  return pending;
}

bool InSchedule(const tschdata& row) {
  const auto& rows = Schedule.Rows();
  return std::find(rows.begin(), rows.end(), row) != rows.end();
}

// A row is taken once it is no longer in the schedule: run by the
// scheduler, deleted by the user or dropped by the schedule.
void NoteTakenRuns() {
  for (int n = 1; n <= kShellNotifierTasks; ++n) {
    PendingRun& p = Pending()[n - 1];
    if (!p.open || InSchedule(p.row)) continue;
    p.open = false;
    std::string when = p.row.DateText;
    while (!when.empty() && when.back() == ' ') when.pop_back();
    AddLog("SHELL NOTIFIER: task \"" + ShellNotifierTasks[n - 1].Name + "\": the run of \"" + p.row.Name +
           "\" scheduled to " + when + " covers " + std::to_string(p.changes) +
           (p.changes == 1 ? " change." : " changes."));
  }
}

TDateTime NotifierNow() {
  if (Hooks().now) return Hooks().now();
  return DateTimeFromQt(QDateTime::currentDateTime());
}

std::string Section(int n) { return "TASK" + std::to_string(n); }

const char* Flag(bool b) { return b ? "1" : "0"; }

}  // namespace

tsnopt DefaultShellNotifierTask(int n) {
  tsnopt t;
  t.Name = "Task " + std::to_string(n);
  t.InactiveTill = *DateTimeFromText(kDefaultInactiveTill);
  return t;
}

std::string ShellNotifierFilePath() {
  std::string folder = platform::ProgramDataFolder();
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + kShellNotifierFile;
}

void LoadShellNotifierTasks(ShellNotifierArray& tasks) {
  const TIniFile ini(ShellNotifierFilePath());
  std::vector<std::string> bad;
  for (int n = 1; n <= kShellNotifierTasks; ++n) {
    const std::string s = Section(n);
    tsnopt t = DefaultShellNotifierTask(n);
    auto flag = [&](const char* key, bool def) {
      const auto v = ini.Find(s, key);
      return v ? *v != "0" : def;
    };
    auto number = [&](const char* key, int def) {
      const auto v = ini.Find(s, key);
      if (!v) return def;
      int out = def;
      if (ParseInt(*v, out)) return out;
      bad.push_back(s + "." + key + "=" + *v);
      return def;
    };
    t.Name = ini.ReadString(s, "NAME", t.Name);
    t.Folder = ini.ReadString(s, "FOLDER", "");
    t.Preset = ini.ReadString(s, "PRESET", "");
    t.Subfolders = flag("SUBFOLDERS", false);
    t.Enabled = flag("ENABLED", false);
    if (const auto v = ini.Find(s, "INACTIVETILL")) {
      if (const auto when = DateTimeFromText(*v))
        t.InactiveTill = *when;
      else
        bad.push_back(s + ".INACTIVETILL=" + *v);
    }
    t.CFN = flag("CFN", true);
    t.CDN = flag("CDN", true);
    t.CSZ = flag("CSZ", true);
    t.CLW = flag("CLW", true);
    t.CAT = flag("CAT", true);
    t.InactiveDelay = number("INACTIVEDELAY", 60);
    t.ExecDelay = number("EXECDELAY", 10);
    tasks[n - 1] = t;
  }
  if (!bad.empty()) {
    std::string joined;
    for (const auto& b : bad) joined += (joined.empty() ? "" : ", ") + b;
    AddLog("SHELL NOTIFIER: unreadable values in \"" + ShellNotifierFilePath() + "\" took their defaults (" +
           joined + ").");
  }
}

bool SaveShellNotifierTasks(const ShellNotifierArray& tasks) {
  std::string text;
  for (int n = 1; n <= kShellNotifierTasks; ++n) {
    const tsnopt& t = tasks[n - 1];
    text += "[" + Section(n) + "]\r\n";
    text += std::string("ENABLED=") + Flag(t.Enabled) + "\r\n";
    text += "NAME=" + t.Name + "\r\n";
    text += "PRESET=" + t.Preset + "\r\n";
    text += "FOLDER=" + t.Folder + "\r\n";
    text += std::string("SUBFOLDERS=") + Flag(t.Subfolders) + "\r\n";
    text += "EXECDELAY=" + std::to_string(t.ExecDelay) + "\r\n";
    text += "INACTIVEDELAY=" + std::to_string(t.InactiveDelay) + "\r\n";
    text += "INACTIVETILL=" + DateTimeText(t.InactiveTill) + "\r\n";
    text += std::string("CFN=") + Flag(t.CFN) + "\r\n";
    text += std::string("CDN=") + Flag(t.CDN) + "\r\n";
    text += std::string("CSZ=") + Flag(t.CSZ) + "\r\n";
    text += std::string("CLW=") + Flag(t.CLW) + "\r\n";
    text += std::string("CAT=") + Flag(t.CAT) + "\r\n";
  }
  // Every change of a task saves the tasks: the same text again is no
  // reason to write the file.
  if (const auto old = ReadFileWhole(ShellNotifierFilePath()); old && *old == text) return true;
  std::string error;
  if (SaveFileWhole(ShellNotifierFilePath(), text, &error)) return true;
  AddLog("SHELL NOTIFIER: cannot save \"" + ShellNotifierFilePath() + "\": " + error + " [!]");
  return false;
}

void SetShellNotifierHooks(ShellNotifierHooks hooks) { Hooks() = std::move(hooks); }

void ShellNotifierFired(int n) {
  if (n < 1 || n > kShellNotifierTasks) return;
  tsnopt& task = ShellNotifierTasks[n - 1];
  const TDateTime now = NotifierNow();
  if (now < task.InactiveTill) return;
  NoteTakenRuns();
  PendingRun& pending = Pending()[n - 1];
  if (pending.open) {
    ++pending.changes;
    return;
  }
  if (task.InactiveDelay > 0) {
    task.InactiveTill = now + task.InactiveDelay / 1440.0;
    if (Hooks().onInactiveTillChanged) Hooks().onInactiveTillChanged(n, task.InactiveTill);
  }
  SaveShellNotifierTasks(ShellNotifierTasks);
  tschopt entry;
  entry.Date = now + task.ExecDelay / 86400.0;
  entry.Name = task.Preset;
  entry.Repeat = 0;
  entry.Interval = 1;
  entry.OnDelay = 0;
  entry.Precise = true;
  entry.Dow = std::string(kDefaultDow);
  AddLog(Format("shellnotifiercall", task.Name, task.Preset, DateTimeText(entry.Date)));
  if (!AddToSchedule(entry)) return;
  pending = {true, ScheduleOptionsToText(entry), 1};
  SetScheduleRefreshedHook(NoteTakenRuns);
}

namespace {

void StopWatches() {
  RetryTimer().reset();
  WaitingTasks().fill(Waiting::No);
  for (auto& w : Watches()) w.reset();
}

}  // namespace

void StopShellNotifiers() {
  StopWatches();
  Pending().fill({});
}

void StartShellNotifiers() {
  // Rows of earlier changes still wait in the schedule: the new watches'
  // changes are covered by them too.
  StopWatches();
  for (int n = 1; n <= kShellNotifierTasks; ++n) {
    const tsnopt& t = ShellNotifierTasks[n - 1];
    if (!t.Enabled) continue;
    platform::DirWatchFilters filters{t.CFN, t.CDN, t.CSZ, t.CLW, t.CAT};
    const std::string name = t.Name;
    auto watch = std::make_unique<platform::DirectoryWatch>(
        t.Folder, t.Subfolders, filters, [n] { ShellNotifierFired(n); },
        [n, name](const std::string& why) {
          AddLog("SHELL NOTIFIER: task \"" + name + "\" stopped watching: " + why +
                 "; it watches again once the folder is back. [!]");
          WatchLater(n, Waiting::Gone);
        },
        [name](const std::string& why) { AddLog("SHELL NOTIFIER: task \"" + name + "\": " + why + ". [!]"); });
    std::string error;
    const bool started = watch->Start(&error);
    Watches()[n - 1] = std::move(watch);
    if (!started) {
      AddLog("SHELL NOTIFIER: task \"" + name + "\" cannot watch " + error +
             "; it watches once the folder is there. [!]");
      WatchLater(n, Waiting::Missing);
    }
  }
}

bool ShellNotifierWatching(int n) {
  if (n < 1 || n > kShellNotifierTasks) return false;
  const auto& w = Watches()[n - 1];
  return w && w->Running() && WaitingTasks()[n - 1] == Waiting::No;
}

ShellNotifierTuning& ShellNotifierTimings() {
  static ShellNotifierTuning tuning;
  return tuning;
}

}  // namespace yux
