#pragma once
// The scheduler: once a second the main window's `schtimer` calls
// SchedulerTick, which looks at the earliest schedule row, records the
// call, computes the entry's next due time (or removes it), and runs the
// preset or executes the scheduler command that the entry names.  The tick
// also notices schedule changes that a second instance announces through
// the named event.  GUI thread only; a preset run and "/EXECSYNC" pump
// messages, so ticks happen inside them: while they last only "/ABORT"
// acts (a due one wherever it stands in the schedule), every other due
// entry waits.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/store/schedule.h"

namespace yux {

// What the commands need from the main window.  The window installs its
// own at start; without one the commands that need a window log that they
// could not act.
class SchedulerActions {
 public:
  virtual ~SchedulerActions() = default;
  // Closes the main window through its close query; ForcedClose is set
  // before ("/EXIT", "/SAFEEXIT").
  virtual void CloseMainWindow() = 0;
  // Makes the main window visible ("/SHOW").
  virtual void ShowMainWindow() = 0;
  // Deletes the tray icon and creates it again ("/SHOW", "/SHOWICON").
  virtual void RecreateTrayIcon() = 0;
  // Runs the preset of the first preset row whose caption equals `name`
  // without regard to case; nothing without such a row.  The default runs
  // it with RunPreset; the window may select the row first.
  virtual void RunPresetRow(const std::string& name);
  // Reads the presets folder into the preset list again; asked when a due
  // entry names a preset the list does not hold (made, renamed or removed
  // since the list was read).  The default has no list to read.
  virtual void LoadPresetList() {}
};
// Installs the actions (nullptr: none).  They must outlive the installation.
void SetSchedulerActions(SchedulerActions* actions);

// Mails the log of the last `hours` hours; true when it was sent.  Until a
// mailer is installed, "/SENDLOG" logs that mail is not available.
using LogMailer = std::function<bool(int hours)>;
void SetLogMailer(LogMailer mailer);

// One scheduler tick (the body of `schtimer`'s event).
void SchedulerTick();

// Takes in the schedule file when a second instance announces that it
// wrote to it (the tick does so first).  A second instance holds its
// announcement for 1.5 s only, and a run's waits handle messages only every
// half second, so a tick delivered through the event loop may come too
// late: the main window asks more often as well.
void TakeOtherInstanceUpdate();

// ---- the pieces of the tick, for the schedule window and tests ----------

// Weekday of a date-time: 1 = Monday .. 7 = Sunday.
int WeekdayOf(TDateTime value);
// Whether the day mask allows the weekday of `value` (a mask shorter than
// eight characters counts as every day).
bool DowAllows(std::string_view dow, TDateTime value);
// An entry is late when `now` is at least its due time plus the tolerance,
// on the clock and in time actually passed: a due time that the clock
// jumped over (the hour lost to daylight saving) is not late when the tick
// meets it just after the jump.
bool IsLate(TDateTime due, TDateTime now, int toleranceSeconds);

// The next due time of a repeating entry that falls due at `now`, always
// later than `now`, on a day the mask allows.  Nothing when there is none:
// no day allowed, or an interval below one minute.
std::optional<TDateTime> NextScheduleTime(const tschopt& entry, TDateTime now);

// Executes a scheduler command (a name beginning with "/").
void ExecuteSchedulerCommand(const std::string& name);

// The power calls of the commands.  `flags` are ExitWindowsEx flags.
bool ExitWindowsPrivileged(unsigned flags);
bool SuspendSystem(bool hibernate, bool force, bool disableWakeEvents);

// Timing of "/EXECSYNC"'s wait on its program, before messages are handled.
struct SchedulerTuning {
  unsigned processWaitMs = 500;
};
SchedulerTuning& SchedulerTimings();

}  // namespace yux
