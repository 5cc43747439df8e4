#pragma once
// Scheduling priority of single threads, in the levels the worker threads
// ask for. On Linux a thread is a task of its own: the levels map to its
// nice value relative to the process (the main thread), and the idle level
// to the idle scheduling class. A thread is named by its kernel id, so one
// thread can read back another's priority.
#include <optional>

namespace yux::platform {

enum class ThreadPriority { Idle, Lowest, BelowNormal, Normal, AboveNormal, Highest };

// The kernel id of the calling thread.
int CurrentThreadId();

// Sets the thread's priority. False when the thread does not exist or the
// system refuses (raising a priority back above the process's own needs
// the right to lower nice values: root, CAP_SYS_NICE or RLIMIT_NICE);
// the thread then keeps the priority it had.
bool SetThreadPriority(int threadId, ThreadPriority priority);

// The thread's priority as the system holds it: the level nearest to its
// nice value, or Idle for the idle class. Nothing when it cannot be read.
std::optional<ThreadPriority> GetThreadPriority(int threadId);

// Whether this process may raise a thread's priority again after lowering
// it (without that right a priority only goes down).
bool MayRaiseThreadPriority();

const char* ThreadPriorityName(ThreadPriority priority);

}  // namespace yux::platform
