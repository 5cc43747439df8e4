#pragma once
// The process-wide flags that govern runs and the life of the process.
// They are atomics so that a worker thread may read them (a wait loop
// testing AbortRequested, say); they are set on the GUI thread.
#include <atomic>

namespace yux {

// A preset run, a log truncation, a log mail or an awaited external
// program is active; no second run starts while it is set.
extern std::atomic<bool> RunActive;
// An abort was requested; it breaks every wait of the run.
extern std::atomic<bool> AbortRequested;
// A logged text contained "[!]"; never cleared.
extern std::atomic<bool> ErrorOccurred;
// Close without the exit countdown.
extern std::atomic<bool> ForcedClose;
// Another first instance already holds the single-instance lock.
extern std::atomic<bool> SecondInstance;
// Started with "/SVC".
extern std::atomic<bool> ServiceMode;

}  // namespace yux
