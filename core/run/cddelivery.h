#pragma once
// The disc delivery of a run: every produced file goes into the root of
// the disc in the preset's drive as a new session that keeps what the disc
// holds, after an erase of a rewritable disc when the preset asks for one
// or the room runs out, and is read back by MD5 when the preset asks.  The
// component's erase, write and verify work runs on its own threads; the
// stage waits for their done events on the GUI thread while handling
// messages, so the events reach the handlers connected by
// ConnectDiscEvents.
#include <functional>
#include <string>
#include <vector>

#include "core/run/rundelivery.h"
#include "platform/messages.h"

namespace yux {

namespace disc {
class TLCDBurnerPro;
}
struct tarcopt;

// Connects the component's erase, write and verify done events to the
// stage's handlers (the main window's burner, or a test's).
void ConnectDiscEvents(disc::TLCDBurnerPro& burner);

// Writes one program log line for each drive of the letter map that the
// burner's InitializeDevices left out, with its reason.
void LogRefusedDrives(disc::TLCDBurnerPro& burner);

struct CdJob : StageJob {
  disc::TLCDBurnerPro* burner = nullptr;
  // Handles messages and keeps the run state (called in every wait).
  std::function<void()> pump;
  // The progress bar: 0..100 shows it at that position, -1 hides it.
  std::function<void(int)> progress;
};

enum class CdResult {
  NoFiles,  // nothing produced: logged, nothing done
  Ended,    // the stage ended (delivered or not, every refusal logged)
  Aborted,  // the abort flag: the write or verify was stopped, the run ends
};

CdResult DeliverToDisc(const CdJob& job);

// Timing of the stage's waits.  Tests shorten them.
struct CdTuning {
  platform::DWORD pollMs = 500;        // one readiness poll
  int readyPolls = 40;                 // polls before "no writable CD"
  platform::DWORD settleMs = 1000;     // the pauses around the tray and the medium info
  platform::DWORD loopMs = 1000;       // one turn of the write and verify waits
  platform::DWORD eraseTickMs = 100;   // one move of the erase's moving bar
  platform::DWORD abortDoneMs = 60000; // wait for the worker after an abort
};
CdTuning& CdDeliveryTuning();

}  // namespace yux
