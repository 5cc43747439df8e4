#include "platform/threadpriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace yux::platform {

namespace {

// Nice steps of the levels above the idle class, from the process's own.
struct Level {
  ThreadPriority priority;
  int offset;
};
constexpr Level kLevels[] = {
    {ThreadPriority::Lowest, 10},      {ThreadPriority::BelowNormal, 5},
    {ThreadPriority::Normal, 0},       {ThreadPriority::AboveNormal, -5},
    {ThreadPriority::Highest, -10},
};

int ProcessNice() {
  errno = 0;
  // Who 0 would be the calling thread; the process id is the main thread.
  const int nice = getpriority(PRIO_PROCESS, id_t(getpid()));
  return errno == 0 ? nice : 0;
}

int Clamp(int nice) { return nice < -20 ? -20 : nice > 19 ? 19 : nice; }

}  // namespace

int CurrentThreadId() { return int(syscall(SYS_gettid)); }

bool SetThreadPriority(int threadId, ThreadPriority priority) {
  if (threadId <= 0) return false;
  sched_param param{};
  if (priority == ThreadPriority::Idle) {
    // The idle class runs the thread only when nothing else wants the CPU.
    return sched_setscheduler(threadId, SCHED_IDLE, &param) == 0;
  }
  int offset = 0;
  for (const Level& l : kLevels)
    if (l.priority == priority) offset = l.offset;
  const int policy = sched_getscheduler(threadId);
  if (policy < 0) return false;
  // Leaving the idle class and lowering the nice value are checked by the
  // system alike; the class is left first so that the nice value counts.
  if (policy != SCHED_OTHER && sched_setscheduler(threadId, SCHED_OTHER, &param) != 0)
    return false;
  return setpriority(PRIO_PROCESS, id_t(threadId), Clamp(ProcessNice() + offset)) == 0;
}

std::optional<ThreadPriority> GetThreadPriority(int threadId) {
  if (threadId <= 0) return std::nullopt;
  const int policy = sched_getscheduler(threadId);
  if (policy < 0) return std::nullopt;
  if (policy == SCHED_IDLE) return ThreadPriority::Idle;
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, id_t(threadId));
  if (errno != 0) return std::nullopt;
  const int offset = nice - ProcessNice();
  ThreadPriority best = ThreadPriority::Normal;
  int distance = 100;
  for (const Level& l : kLevels) {
    if (std::abs(l.offset - offset) < distance) {
      distance = std::abs(l.offset - offset);
      best = l.priority;
    }
  }
  return best;
}

bool MayRaiseThreadPriority() {
  // Tried once on a thread of its own: a step down and back up.
  static const bool may = [] {
    bool ok = false;
    std::thread probe([&ok] {
      const int self = CurrentThreadId();
      ok = SetThreadPriority(self, ThreadPriority::BelowNormal) &&
           SetThreadPriority(self, ThreadPriority::Normal);
    });
    probe.join();
    return ok;
  }();
  return may;
}

const char* ThreadPriorityName(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::Idle: return "idle";
    case ThreadPriority::Lowest: return "lowest";
    case ThreadPriority::BelowNormal: return "below normal";
    case ThreadPriority::Normal: return "normal";
    case ThreadPriority::AboveNormal: return "above normal";
    case ThreadPriority::Highest: return "highest";
  }
  return "?";
}

}  // namespace yux::platform
