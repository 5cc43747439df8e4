#pragma once
// Named mutexes and named auto-reset events shared between processes of
// the same user, as the single-instance check and the scheduler's "another
// instance has updated the schedule" signal need them.
//
// They live as files in the runtime folder (RuntimeFolder()).  Names are
// exact and case-sensitive; a "\" in a name is an ordinary character.
#include "platform/messages.h"

#include <memory>
#include <string>

namespace yux::platform {

inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD INFINITE = 0xFFFFFFFF;

// The per-user folder of named objects and broadcast sockets:
// $XDG_RUNTIME_DIR/yux, or a 0700 folder /tmp/yux-<uid> when
// XDG_RUNTIME_DIR is unset; with YUX_NS set, a sub-folder for that value,
// so that processes of different namespaces never meet.  Created on demand;
// empty when it cannot be made or is not safely ours.
std::string RuntimeFolder();

// A file name for an object name: bytes other than letters, digits, '-',
// '_' and '.' are written as %XX, so every name maps to one distinct file.
std::string ObjectFileName(const std::string& name);

// A named mutex, held by the process that created it first until the
// handle goes or the process ends (also by a crash: the lock is the
// kernel's).  Creating one that a live handle holds gives a handle whose
// AlreadyExisted() is true, with last error ERROR_ALREADY_EXISTS.
class NamedMutex {
 public:
  // nullptr (with the last error set) when the runtime folder or the lock
  // file cannot be used.
  static std::unique_ptr<NamedMutex> Create(const std::string& name);
  // The same over the file `path` (created 0600 when missing) instead of a
  // name in the runtime folder: processes meet on it whatever their runtime
  // folder, so it guards data that lives beside it.  nullptr (with the last
  // error set) when the file cannot be opened or the file system cannot
  // lock it.
  static std::unique_ptr<NamedMutex> CreateAt(const std::string& path);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  bool AlreadyExisted() const { return !owned_; }

 private:
  NamedMutex() = default;
  int fd_ = -1;
  bool owned_ = false;
};

// A named auto-reset event.  One SetEvent is consumed by exactly one
// successful wait, in whichever process waits first.
//
// Lifetime: the event exists while at least one handle to it is open in
// some process (each handle holds a shared lock).  When the last handle is
// gone (closed or its process ended, even by a crash), the event is gone:
// the next Create starts it afresh in its initial state, and Open fails.
// So a "set" never outlives its holders to surprise the next start, just as
// a kernel event vanishes with its last handle.
class NamedEvent {
 public:
  // Creates the event or opens the existing one (AlreadyExisted() and last
  // error ERROR_ALREADY_EXISTS; the initial state is then ignored).
  static std::unique_ptr<NamedEvent> Create(const std::string& name, bool initiallySet);
  // Opens an existing event; nullptr and ERROR_FILE_NOT_FOUND when no
  // handle to it is open anywhere.
  static std::unique_ptr<NamedEvent> Open(const std::string& name);
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  bool AlreadyExisted() const { return existed_; }
  bool Set();
  bool Reset();
  // WAIT_OBJECT_0 when the event was set (it is reset by this wait),
  // WAIT_TIMEOUT when `timeoutMs` passed first (0: test without waiting),
  // WAIT_FAILED on an error.
  DWORD Wait(DWORD timeoutMs);

 private:
  NamedEvent() = default;
  static std::unique_ptr<NamedEvent> Make(const std::string& name, bool create, bool initiallySet);
  bool WriteState(char c);
  int stateFd_ = -1;    // holds '1' or '0'; its exclusive lock guards changes
  int holderFd_ = -1;   // shared lock while this handle is open
  bool existed_ = false;
};

}  // namespace yux::platform
