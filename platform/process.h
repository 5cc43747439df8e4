#pragma once
// Starting other programs the way the system starts them on Windows: a
// program and one parameter text split by the Windows command-line rules,
// waited for with a timeout, asked for its exit code, terminated.
#include "platform/messages.h"
#include "platform/namedobjects.h"

#include <memory>
#include <string>

namespace yux::platform {

inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD ERROR_DIRECTORY = 267;
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
inline constexpr DWORD ERROR_NO_ASSOCIATION = 1155;

struct StartOptions {
  // Expand %NAME% in the program, the parameters and the folder first.
  bool expandEnvironment = false;
  // Working folder of the child; empty: ours.
  std::string workingFolder;
  // Hidden or shown window: kept for the callers' sake, no meaning here.
  bool hidden = false;
  // A program that is not executable (a document, a folder) is opened with
  // xdg-open, as the shell's "open" verb would.
  bool openDocuments = true;
  // The child is sent SIGTERM when this program ends, however it ends (a
  // kill included), so a program we wait for never works on unattended.
  bool dieWithParent = false;
  // Given to the child as its standard input (then end of file); empty:
  // the child shares ours.  For secrets that must not stand in a command
  // line other users can read.
  std::string standardInput;
};

class Process {
 public:
  // Starts `program` (a path, or a name looked up in PATH) with the
  // arguments of `parameters`.  The child gets none of our descriptors
  // beyond standard input, output and error.  nullptr on failure, with last
  // error ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_DIRECTORY (bad
  // working folder), ERROR_BAD_EXE_FORMAT or ERROR_NO_ASSOCIATION (a
  // document and no xdg-open) and LastStartError() telling why.
  static std::unique_ptr<Process> Start(const std::string& program, const std::string& parameters,
                                        const StartOptions& options = {});
  // A child that is still running when its object goes is left running and
  // reaped in the background when it ends.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  int Pid() const { return pid_; }
  // True when the desktop's opener (xdg-open) was started for a document
  // or a folder rather than the program itself.
  bool ThroughOpener() const { return throughOpener_; }
  // WAIT_OBJECT_0 when the child has ended, WAIT_TIMEOUT when `timeoutMs`
  // passed (0 only looks; INFINITE waits for ever).  Handles no messages.
  DWORD Wait(DWORD timeoutMs);
  // The same, handling messages (ProcessMessages) every `pumpEveryMs`.
  DWORD WaitPumping(DWORD timeoutMs, DWORD pumpEveryMs = 50);
  bool Running();
  // STILL_ACTIVE while running; then the exit status, 128 + the signal
  // number for a child ended by a signal, or the code given to Terminate.
  DWORD ExitCode();
  // SIGTERM, then SIGKILL when the child is still there after `graceMs`;
  // waits for its end.  The exit code becomes `exitCode`.  False when it
  // had already ended.
  bool Terminate(DWORD exitCode = 1, DWORD graceMs = 2000);

 private:
  Process() = default;
  bool Reap(bool block);
  int pid_ = -1;
  int pidfd_ = -1;
  bool throughOpener_ = false;
  bool ended_ = false;
  DWORD exitCode_ = STILL_ACTIVE;
  bool terminated_ = false;
  DWORD terminateCode_ = 1;
};

// Why the last Start of the calling thread failed.
std::string LastStartError();

}  // namespace yux::platform
