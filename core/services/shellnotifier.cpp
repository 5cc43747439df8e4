// The shell notifier: folder watches that schedule presets.
#include "core/services/shellnotifier.h"

#include <QDateTime>
#include <QTimer>

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

// The tasks whose folder went away, and the timer that retries them.
std::array<bool, kShellNotifierTasks>& Gone() {
  static std::array<bool, kShellNotifierTasks> gone{};
  return gone;
}

std::unique_ptr<QTimer>& RetryTimer() {
  static std::unique_ptr<QTimer> timer;
  return timer;
}

// Watches each gone task's folder again where it can be watched: a folder
// of that name, not a link to one.  Says so once per task; a retry that
// fails says nothing.
void RetryGoneWatches() {
  bool waiting = false;
  for (int n = 1; n <= kShellNotifierTasks; ++n) {
    if (!Gone()[n - 1]) continue;
    platform::DirectoryWatch* watch = Watches()[n - 1].get();
    if (watch && !watch->Start(nullptr, false)) {
      waiting = true;
      continue;
    }
    Gone()[n - 1] = false;
    if (watch)
      AddLog("SHELL NOTIFIER: task \"" + ShellNotifierTasks[n - 1].Name + "\" watches \"" + watch->Root() +
             "\" again.");
  }
  if (!waiting && RetryTimer()) RetryTimer()->stop();
}

// The watch of task n ended with its folder: retried from now on.  Called
// from the watch's own report, so the watch is left alone until the timer.
void WatchAgainLater(int n) {
  Gone()[n - 1] = true;
  if (!RetryTimer()) {
    RetryTimer() = std::make_unique<QTimer>();
    QObject::connect(RetryTimer().get(), &QTimer::timeout, [] { RetryGoneWatches(); });
  }
  if (!RetryTimer()->isActive()) RetryTimer()->start(ShellNotifierTimings().retryMs);
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
  AddToSchedule(entry);
}

void StopShellNotifiers() {
  RetryTimer().reset();
  Gone().fill(false);
  for (auto& w : Watches()) w.reset();
}

void StartShellNotifiers() {
  StopShellNotifiers();
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
          WatchAgainLater(n);
        },
        [name](const std::string& why) { AddLog("SHELL NOTIFIER: task \"" + name + "\": " + why + ". [!]"); });
    std::string error;
    if (!watch->Start(&error)) {
      AddLog("SHELL NOTIFIER: task \"" + name + "\" cannot watch " + error + " [!]");
      continue;
    }
    Watches()[n - 1] = std::move(watch);
  }
}

bool ShellNotifierWatching(int n) {
  if (n < 1 || n > kShellNotifierTasks) return false;
  const auto& w = Watches()[n - 1];
  return w && w->Running() && !Gone()[n - 1];
}

ShellNotifierTuning& ShellNotifierTimings() {
  static ShellNotifierTuning tuning;
  return tuning;
}

}  // namespace yux
