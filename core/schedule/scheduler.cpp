// The scheduler tick: due entries, their runs and commands.
#include "core/schedule/scheduler.h"

#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <utility>
#include <vector>

#include "core/run/presetrun.h"
#include "core/store/appnames.h"
#include "core/store/datetime.h"
#include "core/store/flags.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "platform/namedobjects.h"
#include "platform/power.h"
#include "platform/process.h"

namespace yux {
namespace {

constexpr std::int64_t kMsecsPerDay = 86400000;

SchedulerActions* g_actions = nullptr;
LogMailer g_mailer;
SchedulerTuning g_tuning;
// A due entry is being executed.  A preset run or an awaited program pumps
// messages, so ticks come while it lasts; they must treat it as a run even
// before (or without) the run-active flag, or a second due entry would be
// taken off the schedule and then find the run busy.
bool g_executing = false;

// Date-times compared at the millisecond: sums of interval fractions carry
// float error, and a next time a hair before the clock's "now" would make
// the entry due again at once.
std::int64_t Ms(TDateTime value) { return std::llround(value * static_cast<double>(kMsecsPerDay)); }

std::string Upper(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toUpper().toStdString();
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Decimal integer: optional sign and digits, nothing else, within 32 bits.
bool ParseInt(std::string_view s, int& out) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  out = v;
  return true;
}

// The parameter in parentheses: the name holds "(" and its first ")" is
// its last character.
std::optional<std::string> Parameter(const std::string& name) {
  const size_t open = name.find('(');
  const size_t close = name.find(')');
  if (open == std::string::npos || close == std::string::npos || close + 1 != name.size()) return std::nullopt;
  return name.substr(open + 1, close - open - 1);
}

void RunScheduledPreset(const std::string& name) {
  PresetListRows* rows = GetPresetListRows();
  const auto row = FindPresetRow(name);
  if (!rows || !row) return;
  RunPreset(rows->Caption(*row));
}

// True when there is a window to act on; otherwise says so.
bool HaveActions(const std::string& command) {
  if (g_actions) return true;
  ReportLine("SCHEDULER - " + command + ": no main window to act on. [!]");
  return false;
}

void CloseProgram(const std::string& command) {
  ForcedClose = true;
  if (HaveActions(command)) g_actions->CloseMainWindow();
}

// Keeps a flag set for a while and puts it back as it was.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag), was_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = was_; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
  bool was_;
};

// RunActive for the length of a command's work, put back however it ends.
class RunActiveScope {
 public:
  RunActiveScope() : was_(RunActive.exchange(true)) {}
  ~RunActiveScope() { RunActive = was_; }
  RunActiveScope(const RunActiveScope&) = delete;
  RunActiveScope& operator=(const RunActiveScope&) = delete;

 private:
  bool was_;
};

void SendLog(const std::string& name) {
  const topt& o = Options;
  if (o.ssr.empty() || o.sfm.empty() || o.sto.empty()) {
    AddLog(MessageText("specsmtpforlog") + " [!]");
    return;
  }
  int hours = 24;
  if (auto p = Parameter(name); p && !ParseInt(*p, hours)) hours = 24;
  AddLog(Format("logtoemailreq", hours));
  bool sent = false;
  if (g_mailer) {
    RunActiveScope active;
    try {
      sent = g_mailer(hours);
    } catch (const std::exception& e) {
      ReportLine(std::string("/SENDLOG: ") + e.what() + " [!]");
    }
  }
  AddLog(MessageText(sent ? "logtoemailsent" : "logtoemailnotsent"));
}

void Unschedule(const std::string& name) {
  int n = 1;
  if (auto p = Parameter(name); p && !ParseInt(*p, n)) {
    // The row number "set to 0" is no row: nothing is removed.
    AddLog(Format("commandinvalidparam0", name) + " [!]");
    n = 0;
  }
  if (n < 1 || static_cast<std::size_t>(n) > Schedule.Count()) {
    AddLog(Format("commandinvalidparam", name) + " [!]");
    return;
  }
  const std::size_t index = static_cast<std::size_t>(n - 1);
  AddLog(Schedule.Row(index).Name + ": " + MessageText("unschedulereq"));
  Schedule.Delete(index);
  RefreshSchedule();
}

void Execute(const std::string& name, bool sync) {
  std::string program;
  const size_t open = name.find('(');
  const size_t close = name.find(')');
  if (open != std::string::npos && close != std::string::npos && close + 1 == name.size() && open < close)
    program = name.substr(open + 1, close - open - 1);
  std::string parameters;
  if (const size_t bar = program.find('|'); bar != std::string::npos) {
    parameters = program.substr(bar + 1);
    program.erase(bar);
  }
  // Blanks around the program ("(tool | -x)") are no part of a file name.
  const size_t b = program.find_first_not_of(' ');
  program = b == std::string::npos ? std::string() : program.substr(b, program.find_last_not_of(' ') - b + 1);
  if (program.empty()) return;

  AddLog(MessageText("schedulerword") + " " + MessageText(sync ? "syncexecution" : "asyncexecution") + " " +
         program);
  // Nothing runs now (the tick starts commands only then): an abort flag
  // left from earlier is meant for nothing that this wait should end.
  AbortRequested = false;
  RunActiveScope active;
  platform::StartOptions options;
  options.expandEnvironment = true;
  options.openDocuments = true;
  options.dieWithParent = sync;
  auto proc = platform::Process::Start(program, parameters, options);
  if (!proc) {
    AddLog(MessageText("cannotexecuteexternal") + " [!]");
    return;
  }
  if (!sync) return;
  while (!AbortRequested && !QCoreApplication::closingDown()) {
    if (proc->Wait(g_tuning.processWaitMs) == platform::WAIT_OBJECT_0) break;
    platform::ProcessMessages();
    RunActive = true;  // work inside the wait must not let a run start now
  }
}

}  // namespace

// A second instance has written the schedule file and set the event.
void TakeOtherInstanceUpdate() {
  auto event = platform::NamedEvent::Open(kSchedulerEventName);
  if (!event || event->Wait(0) != platform::WAIT_OBJECT_0) return;
  event.reset();
  AddLog(MessageText("anotheryuxupdatedsch"));
  LoadSchedule();
  RefreshSchedule();
}

namespace {

// Whether `row` is still the first row.  A log line may be mailed, and
// while the mail goes out messages are handled: the schedule window may
// delete the row, or another instance's change reload the schedule.
bool StillFirst(const tschdata& row) { return !Schedule.Empty() && Schedule.Row(0) == row; }

// An "/ABORT" row acts whenever it is due, also during a run, and leaves
// without a line and without its repeat settings.
void TakeAbortRow(std::size_t index) {
  Schedule.Delete(index);
  RefreshSchedule();
  // With nothing to abort the flag would stay set and break the next
  // awaited program at once.
  if (RunActive || RunInProgress() || g_executing) AbortRequested = true;
}

// While the tick is held (a run, an awaited command, the session's end)
// the first row waits, and an "/ABORT" behind it would wait with it until
// the run it is meant to stop has ended: a due one is taken from where it
// is, and the rows before it stay as they were.
void TakeDueAbortBehind(TDateTime now) {
  const auto& rows = Schedule.Rows();
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const auto due = DateTimeFromText(rows[i].DateText);
    if (!due) continue;
    if (Ms(*due) > Ms(now)) return;  // the rows are in time order
    if (Upper(rows[i].Name) != "/ABORT") continue;
    TakeAbortRow(i);
    return;
  }
}

void RemoveFirstRow(const tschdata& row, const std::string& name, const std::string& text) {
  AddLog(name + ": " + text);
  if (StillFirst(row)) Schedule.Delete(0);
  RefreshSchedule();
}

// When each due row was first seen due by a tick that was free to take it.
// A tick takes one row, and a run holds the scheduler: rows due together
// wait behind each other, and measured against the time they are finally
// taken they would count as late although the program looked at them in
// time.  A row is late only when it was not seen in time.
std::vector<std::pair<tschdata, TDateTime>> g_seenDue;

void NoteDueRows(TDateTime now) {
  for (const auto& row : Schedule.Rows()) {
    const auto due = DateTimeFromText(row.DateText);
    if (!due || Ms(*due) > Ms(now)) break;  // the rows are in time order
    const bool known = std::any_of(g_seenDue.begin(), g_seenDue.end(), [&](const auto& s) { return s.first == row; });
    if (!known) g_seenDue.emplace_back(row, now);
  }
}

TDateTime SeenDueAt(const tschdata& row, TDateTime now) {
  for (const auto& [r, at] : g_seenDue)
    if (r == row) return at;
  return now;
}

// Rows that are gone (taken, stepped on, deleted) need no time any more.
void ForgetGoneRows() {
  const auto& rows = Schedule.Rows();
  std::erase_if(g_seenDue, [&](const auto& s) { return std::find(rows.begin(), rows.end(), s.first) == rows.end(); });
}

struct ForgetGoneRowsAtEnd {
  ~ForgetGoneRowsAtEnd() { ForgetGoneRows(); }
};

// The clock as the last tick read it.  When it has gone back since (a
// clock that was set wrong into the future and then corrected), entries
// stepped on under the wrong clock lie far ahead and would wait that long.
struct ClockWatch {
  std::optional<qint64> lastMs;
  unsigned generation = 0;
} g_clockWatch;

std::string Plural(std::int64_t n, const char* unit) {
  return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

// How far the clock went back, in words.
std::string BackText(qint64 backMs) {
  const std::int64_t seconds = backMs / 1000;
  if (seconds >= 86400) return Plural(seconds / 86400, "day");
  if (seconds >= 3600) return Plural(seconds / 3600, "hour");
  return Plural(seconds / 60, "minute");
}

// The clock went back by `backMs`: every repeating entry whose interval is
// shorter than that and whose due time lies more than one interval ahead
// steps back, by whole intervals and no further than the clock went, to
// its first step after now (on an allowed day).
void StepBackAfterClockChange(const QDateTime& was, const QDateTime& clock, qint64 backMs) {
  const TDateTime now = DateTimeFromQt(clock);
  std::vector<std::string> moved;
  std::vector<std::pair<tschdata, tschdata>> changes;
  for (const tschdata& row : Schedule.Rows()) {
    auto entry = ParseScheduleEntry(row);
    if (!entry || entry->Repeat == 0 || entry->Interval < 1) continue;
    const std::int64_t stepMs = static_cast<std::int64_t>(entry->Interval) * 60000;
    const std::int64_t aheadMs = Ms(entry->Date) - Ms(now);
    if (backMs <= stepMs || aheadMs <= stepMs) continue;
    const std::int64_t steps = std::min<std::int64_t>((aheadMs - 1) / stepMs, backMs / stepMs + 1);
    tschopt back = *entry;
    back.Date = entry->Date - static_cast<double>(steps) * (entry->Interval / 1440.0);
    if (!DowAllows(back.Dow, back.Date)) {
      back.Precise = true;
      const auto next = NextScheduleTime(back, back.Date);
      if (!next) continue;
      back.Date = *next;
      back.Precise = entry->Precise;
    }
    if (Ms(back.Date) >= Ms(entry->Date)) continue;
    changes.emplace_back(row, ScheduleOptionsToText(back));
    moved.push_back(entry->Name);
  }
  // Replacing re-sorts the rows: each is found again by its texts.
  for (const auto& [from, to] : changes) {
    const auto& rows = Schedule.Rows();
    const auto it = std::find(rows.begin(), rows.end(), from);
    if (it != rows.end()) Schedule.Replace(static_cast<std::size_t>(it - rows.begin()), to);
  }
  if (moved.empty()) return;
  std::string names;
  for (const auto& n : moved) names += (names.empty() ? "" : ", ") + n;
  AddLog(Format("clockwentback", BackText(backMs), FormatStamp(was), FormatStamp(clock), names));
  RefreshSchedule();
}

void WatchClock(const QDateTime& clock) {
  const qint64 ms = clock.toMSecsSinceEpoch();
  if (g_clockWatch.generation != ScheduleClockGeneration()) {
    g_clockWatch = {std::nullopt, ScheduleClockGeneration()};
  }
  const auto last = g_clockWatch.lastMs;
  g_clockWatch.lastMs = ms;
  if (last && *last > ms) StepBackAfterClockChange(QDateTime::fromMSecsSinceEpoch(*last), clock, *last - ms);
}

}  // namespace

void SchedulerActions::RunPresetRow(const std::string& name) { RunScheduledPreset(name); }

void SetSchedulerActions(SchedulerActions* actions) { g_actions = actions; }
void SetLogMailer(LogMailer mailer) { g_mailer = std::move(mailer); }
SchedulerTuning& SchedulerTimings() { return g_tuning; }

int WeekdayOf(TDateTime value) {
  const std::int64_t ms = Ms(value);
  std::int64_t day = ms / kMsecsPerDay;
  if (ms % kMsecsPerDay < 0) --day;
  // Day 0, 1899-12-30, was a Saturday (6).
  return static_cast<int>(((day % 7) + 7 + 5) % 7) + 1;
}

bool DowAllows(std::string_view dow, TDateTime value) {
  if (dow.size() < 8) dow = kDefaultDow;
  return dow[static_cast<size_t>(WeekdayOf(value) - 1)] == '1';
}

bool IsLate(TDateTime due, TDateTime now, int toleranceSeconds) {
  const std::int64_t tolerance = static_cast<std::int64_t>(toleranceSeconds) * 1000;
  if (Ms(now) - Ms(due) < tolerance) return false;
  // The same in time actually passed.  A wall-clock time in the hour that
  // daylight saving skips lies after the jump, so the first tick after the
  // jump finds such an entry on time rather than an hour late.
  const qint64 realNow = QtFromDateTime(now).toMSecsSinceEpoch();
  const qint64 realDue = QtFromDateTime(due).toMSecsSinceEpoch();
  return realNow - realDue >= tolerance;
}

std::optional<TDateTime> NextScheduleTime(const tschopt& e, TDateTime now) {
  if (e.Interval < 1) return std::nullopt;
  const std::string dow = e.Dow.size() < 8 ? std::string(kDefaultDow) : e.Dow;
  if (dow.substr(0, 7).find('1') == std::string::npos) return std::nullopt;
  const double step = e.Interval / 1440.0;
  const std::int64_t nowMs = Ms(now);

  // The first candidate: from the due time in whole intervals past now, or
  // one interval from now.
  TDateTime r = 0;
  if (e.Precise) {
    std::int64_t k = 0;
    if (nowMs >= Ms(e.Date)) {
      k = std::max<std::int64_t>(0, static_cast<std::int64_t>(std::floor((now - e.Date) / step)) - 1);
      while (nowMs >= Ms(e.Date + static_cast<double>(k) * step)) ++k;
    }
    r = e.Date + static_cast<double>(k) * step;
  } else {
    r = now + step;
  }
  if (DowAllows(dow, r)) return r;

  // A day the mask does not allow.  Every further candidate must lie after
  // now: one at or before it would make the entry due again at once.
  if (dow[7] == '1') {
    // Whole days from the old due time.
    std::int64_t n = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::floor(now - e.Date)));
    for (;; ++n) {
      const TDateTime d = e.Date + static_cast<double>(n);
      if (Ms(d) > nowMs && DowAllows(dow, d)) return d;
    }
  }
  // Whole intervals on from the first candidate (which already lies after
  // now).  An interval of whole weeks never leaves its weekday, and others
  // may take very long to drift to an allowed one: after a week's worth of
  // steps the entry moves on from the first candidate by days instead,
  // which ends within a week.
  const std::int64_t bound = 7 * 1440 / e.Interval + 15;
  for (std::int64_t j = 1; j <= bound; ++j) {
    const TDateTime d = r + static_cast<double>(j) * step;
    if (DowAllows(dow, d)) return d;
  }
  TDateTime d = r;
  for (;;) {
    d += 1.0;
    if (DowAllows(dow, d)) return d;
  }
}

bool ExitWindowsPrivileged(unsigned flags) {
  // The session's own rights decide here; there is no privilege to enable
  // beforehand.
  return platform::ExitWindowsEx(flags, 0);
}

bool SuspendSystem(bool hibernate, bool force, bool disableWakeEvents) {
  return platform::SetSuspendState(hibernate, force, disableWakeEvents);
}

void ExecuteSchedulerCommand(const std::string& name) {
  const std::string up = Upper(name);
  if (up == "/EXIT") CloseProgram(name);
  if (up == "/SAFEEXIT") {
    if (ErrorOccurred)
      AddLog(MessageText("safeexitignored"));
    else
      CloseProgram(name);
  }
  if (up == "/SHOW" && HaveActions(name)) {
    g_actions->ShowMainWindow();
    g_actions->RecreateTrayIcon();
  }
  if (up == "/SHOWICON" && HaveActions(name)) g_actions->RecreateTrayIcon();
  if (up == "/REBOOT") {
    AddLog(MessageText("reboot"));
    ExitWindowsPrivileged(platform::EWX_REBOOT | platform::EWX_FORCE);
  }
  if (up == "/SHUTDOWN") {
    AddLog(MessageText("shutdown"));
    ExitWindowsPrivileged(platform::EWX_POWEROFF | platform::EWX_FORCE);
  }
  if (up == "/LOGOFF") {
    AddLog(MessageText("logoff"));
    ExitWindowsPrivileged(platform::EWX_LOGOFF | platform::EWX_FORCE);
  }
  if (up == "/HIBERNATE") {
    AddLog(MessageText("hibernate"));
    SuspendSystem(true, false, false);
  }
  if (up == "/SUSPEND") {
    AddLog(MessageText("suspend"));
    SuspendSystem(false, false, false);
  }
  if (up == "/TRUNCLOG") {
    AddLog(MessageText("trunclog"));
    TruncateLog();
  }
  if (StartsWith(up, "/SENDLOG")) SendLog(name);
  if (StartsWith(up, "/UNSCHEDULE")) Unschedule(name);
  if (StartsWith(up, "/EXECSYNC")) Execute(name, true);
  if (StartsWith(up, "/EXECASYNC")) Execute(name, false);
}

void SchedulerTick() {
  // Another instance's requests are taken in also while the scheduler is
  // off, so that nothing this instance saves can overwrite them.
  TakeOtherInstanceUpdate();
  if (!Options.son) return;
  const QDateTime clock = ClockNow();
  WatchClock(clock);
  ForgetGoneRowsAtEnd forget;
  if (Schedule.Empty()) return;
  const TDateTime now = DateTimeFromQt(clock);
  if (Ms(now) < Ms(NextDueTime)) return;
  // Runs refused for the session's end hold the entries like a run does.
  const bool held = RunActive || g_executing || RunsRefusedForSessionEnd();
  if (!held) NoteDueRows(now);

  const tschdata first = Schedule.Row(0);
  std::optional<tschopt> parsed = ParseScheduleEntry(first);
  if (!parsed) {
    RefreshSchedule();  // drops the row it cannot read, with a line saying so
    return;
  }
  tschopt entry = std::move(*parsed);
  const std::string name = entry.Name;

  if (Upper(name) == "/ABORT") {
    TakeAbortRow(0);
    return;
  }
  if (held) {
    TakeDueAbortBehind(now);
    return;
  }
  // From here on the entry is this tick's: a log line may be mailed, and
  // the mail session handles messages, so a tick can come before the entry
  // is off the schedule.
  FlagScope executing(g_executing);

  AddLog(name + MessageText("calledbythescheduler"));
  if (!StillFirst(first)) return;  // taken away meanwhile: nothing left to call
  const bool late = IsLate(entry.Date, SeenDueAt(first, now), Options.shp);
  if (entry.OnDelay == 2 && late) {
    RemoveFirstRow(first, name, MessageText("delayedremoving"));
    return;
  }
  if (entry.Repeat != 0) {
    const bool skip = entry.OnDelay == 1 && late;
    if (entry.Repeat > 0) --entry.Repeat;
    const auto next = NextScheduleTime(entry, now);
    if (!next) {
      RemoveFirstRow(first, name, entry.Interval < 1
                               ? MessageText("removingbadinterval") +
                                     " [!]"
                               : MessageText("removingnoday") + " [!]");
      return;
    }
    entry.Date = *next;
    Schedule.Replace(0, ScheduleOptionsToText(entry));
    if (skip) {
      AddLog(name + ": " + MessageText("delayedskipping"));
      RefreshSchedule();
      return;
    }
  } else {
    AddLog(name + ": " + MessageText("removingrepiszero"));
    if (!StillFirst(first)) return;
    Schedule.Delete(0);
  }
  RefreshSchedule();

  if (!name.empty() && name.front() == '/') {
    ExecuteSchedulerCommand(name);
    return;
  }
  // The list was read at start and after the window's own changes: a
  // preset made on disk since (and asked for by a second instance, which
  // read the folder itself) is found by reading the folder once more.
  if (!FindPresetRow(name) && g_actions) g_actions->LoadPresetList();
  if (!FindPresetRow(name)) {
    AddLog(MessageText("schedulernosuchpreset") + name + ". [!]");
  } else if (g_actions) {
    g_actions->RunPresetRow(name);
  } else {
    RunScheduledPreset(name);
  }
}

}  // namespace yux
