#pragma once
// The shell notifier: nine tasks, each watching a folder and scheduling a
// preset (or a scheduler command) a few seconds after a change, then
// resting for some minutes so that a burst of changes gives one run.  The
// tasks live in "yux.snt" in the program's data folder.
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "core/store/schedule.h"

namespace yux {

struct tsnopt {
  std::string Name;
  std::string Folder;
  std::string Preset;
  bool Subfolders = false;
  bool Enabled = false;
  TDateTime InactiveTill = 0;  // changes before this moment are ignored
  bool CFN = true, CDN = true, CSZ = true, CLW = true, CAT = true;
  int InactiveDelay = 60;  // minutes
  int ExecDelay = 10;      // seconds

  bool operator==(const tsnopt&) const = default;
};

inline constexpr int kShellNotifierTasks = 9;
inline constexpr char kShellNotifierFile[] = "yux.snt";

// The live tasks; index 0 is task 1.
using ShellNotifierArray = std::array<tsnopt, kShellNotifierTasks>;
extern ShellNotifierArray ShellNotifierTasks;

// The defaults of task n (1..9).
tsnopt DefaultShellNotifierTask(int n);
// Full path of "yux.snt".
std::string ShellNotifierFilePath();
// Reads "yux.snt" into `tasks`; every key missing or unreadable takes its
// default (a bad number or time is logged once per file).
void LoadShellNotifierTasks(ShellNotifierArray& tasks);
// Writes every key of every task; false (and a log line) when it cannot.
bool SaveShellNotifierTasks(const ShellNotifierArray& tasks);

// What the notifier needs from its surroundings, so that the tick can be
// tested without the window: the clock, and the dialog's working copy.
struct ShellNotifierHooks {
  std::function<TDateTime()> now;
  // The dialog, when open, takes the new inactive-till time of a task.
  std::function<void(int n, TDateTime inactiveTill)> onInactiveTillChanged;
};
void SetShellNotifierHooks(ShellNotifierHooks hooks);

// A change reported by task n's watch (on the GUI thread).  While the row
// an earlier change of the task put into the schedule is still there, the
// change is only counted: it adds no row and saves nothing.  Once the row
// has left the schedule (taken by the scheduler, deleted, dropped), one log
// line says how many changes it covered.  A save of "yux.snt" that would
// write the text the file holds is skipped.
void ShellNotifierFired(int n);

// Rebuilds every watch: the old ones are stopped (their threads joined),
// then each enabled task gets a new one.  A task whose folder cannot be
// watched at start, or goes away later (removed, moved, or replaced), logs
// an error line and tries every few seconds to watch the folder, logging
// once when it does; the folder's arrival counts as one change of the task.
// A symbolic link in the place of a folder that went away is not watched.
void StartShellNotifiers();
// Stops every watch and every retry, and forgets the rows the tasks' changes
// made (at close).
void StopShellNotifiers();
// True while task n (1..9) has a running watch.
bool ShellNotifierWatching(int n);

// How often a task whose folder cannot be watched tries again.
struct ShellNotifierTuning {
  int retryMs = 5000;
};
ShellNotifierTuning& ShellNotifierTimings();

}  // namespace yux
