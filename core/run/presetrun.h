#pragma once
// The run of a preset: the archiver into a fresh run folder (or straight
// into the destination in direct mode), the judgement of its exit code, the
// deliveries, the before- and after-commands, and the clean-up.  The run
// happens on the GUI thread as one long call; every wait handles messages,
// so timers, the web panel and the scheduler keep working inside it.  One
// run state guards that: while a run is in progress no second run starts
// and nothing that runs inside a wait can clear the run-active flag.
#include <cstdint>
#include <string>
#include <vector>

#include "core/run/rundelivery.h"
#include "platform/messages.h"

class QTimer;

namespace yux {

namespace disc {
class TLCDBurnerPro;
}
namespace net {
class TSslFtpClient;
class THttpCli;
}  // namespace net

// What the main window shows of a run; every method may be left as it is.
class RunHooks {
 public:
  virtual ~RunHooks() = default;
  // The tray icon: the run icon while `running`, else the normal one.
  virtual void SetRunIcon(bool running) { (void)running; }
  // The deliveries' progress bar is hidden (an aborted copy).
  virtual void HideProgress() {}
  // The deliveries' progress bar at `pos` (0..100), or hidden (-1).
  virtual void ShowProgress(int pos) { (void)pos; }
  // The disc component the disc delivery uses (none: no disc delivery).
  virtual disc::TLCDBurnerPro* Burner() { return nullptr; }
  // The FTP and HTTP clients of the FTP delivery (none: the run's own).
  virtual net::TSslFtpClient* FtpClient() { return nullptr; }
  virtual net::THttpCli* HttpClient() { return nullptr; }
  // The wait timer of the dial-up stage (none: the run's own).
  virtual QTimer* DialUpTimer() { return nullptr; }
  // A run began (`active`) or ended: the window may disable its run
  // triggers and show that it is busy.
  virtual void RunStateChanged(bool active) { (void)active; }
};
// Installs the hooks (nullptr: none).  They must outlive the installation.
void SetRunHooks(RunHooks* hooks);

enum class RunStage {
  Idle,
  Preparing,      // loading the preset, building the command line
  BeforeCommand,  // awaiting the before-command
  Archiving,      // awaiting the archiver
  Delivering,     // produced files handed to the destinations
  AfterCommand,   // awaiting the after-command
};

enum class RunOutcome {
  Busy,          // a run (or other run-active work) is in progress: nothing done
  NotStarted,    // no archiver, no preset name, a preset that cannot be
                 // read, no destination, or a folder that cannot be made
  Failed,        // ended early with an error line (start failure, exit code)
  Aborted,       // ended by the abort flag or the operation timeout
  Done,          // "Done." logged
  DirectDone,    // direct mode: the archiver was started and left to work
};

// Runs the preset `name` from start to end.  A call made while a run is in
// progress (from inside one of its waits, say) returns Busy at once.
RunOutcome RunPreset(const std::string& name);

// The session is ending: the run in progress (if any) is aborted and no
// new run starts for the rest of the process.
void RefuseRunsForSessionEnd();
// The session is ending (RefuseRunsForSessionEnd was called): waits that
// can give up should.
bool RunsRefusedForSessionEnd();
// The session's end was refused (the exit password): runs start again.
void AllowRunsAgain();

// The state of the run in progress.
bool RunInProgress();
RunStage CurrentRunStage();
// The run folder's eight capital letters of the current (or last) run.
std::string RunFolderName();
// Full path of the run folder.
std::string RunFolderPath();
// Names (without folder) of the files the archiver produced in this run.
const std::vector<std::string>& ProducedFiles();
// Which destination took which produced file in this run.  Every delivery
// stage reports what it delivered here (Delivered), the folder copy also
// where each moved file went (MovedOut); files that miss a destination the
// preset asks for are kept when the run ends.
RunDeliveries& CurrentRunDeliveries();

// Timing of the waits.  Tests shorten the minute of the operation timeout.
struct RunTuning {
  platform::DWORD processWaitMs = 500;  // one wait on a process before messages are handled
  platform::DWORD minuteMs = 60000;     // one minute of the timeout options
  unsigned ftpWatchdogMs = 30000;       // an FTP request without progress is aborted
  unsigned secondMs = 1000;             // one second of the FTP and e-mail retry intervals
  // The e-mail session drops a server silent for this long (a reply, and
  // the reply to the end of a message).
  unsigned mailReplyMs = 300000;
  unsigned mailDataEndMs = 600000;
};
RunTuning& PresetRunTuning();

}  // namespace yux
