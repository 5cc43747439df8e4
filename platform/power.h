#pragma once
// Power actions of the system (reboot, power off, halt, log off, suspend,
// hibernate) behind one interface.  The process uses systemd-logind through
// `systemctl` and `loginctl`; tests install a back end that only records,
// so no test ever switches a machine off.
#include "platform/messages.h"

#include <memory>
#include <string>
#include <vector>

namespace yux::platform {

// The flags of ExitWindowsEx.
inline constexpr UINT EWX_LOGOFF = 0;
inline constexpr UINT EWX_SHUTDOWN = 1;
inline constexpr UINT EWX_REBOOT = 2;
inline constexpr UINT EWX_FORCE = 4;
inline constexpr UINT EWX_POWEROFF = 8;

enum class PowerAction { LogOff, Halt, Reboot, PowerOff, Suspend, Hibernate };

const char* PowerActionName(PowerAction action);

class PowerBackend {
 public:
  virtual ~PowerBackend() = default;
  // Starts the action; `force` goes past applications and inhibitors that
  // would hold it up.  True when the system accepted it.
  virtual bool Perform(PowerAction action, bool force) = 0;
};

// A command line that carries out an action.
struct PowerCommand {
  std::string program;
  std::string parameters;  // Windows command-line rules, as Process::Start takes them
};

// The systemd-logind back end: `systemctl reboot|poweroff|halt|suspend|
// hibernate` (with --check-inhibitors=no when forced) and `loginctl
// terminate-session <id>` for the log off, the id from XDG_SESSION_ID or,
// without it, the caller's own session ("self").
class LogindPowerBackend : public PowerBackend {
 public:
  // The two programs may be given as paths (tests give stand-ins).
  explicit LogindPowerBackend(std::string systemctl = "systemctl", std::string loginctl = "loginctl",
                              DWORD timeoutMs = 30000);
  PowerCommand CommandFor(PowerAction action, bool force) const;
  // Runs the command and waits for it (at most the time-out given); true
  // when it ended with exit code 0.
  bool Perform(PowerAction action, bool force) override;

 private:
  std::string systemctl_, loginctl_;
  DWORD timeoutMs_;
};

// Records each request and answers with `result`; does nothing else.
class RecordingPowerBackend : public PowerBackend {
 public:
  struct Request {
    PowerAction action;
    bool force;
    bool operator==(const Request&) const = default;
  };
  bool Perform(PowerAction action, bool force) override {
    requests.push_back({action, force});
    return result;
  }
  std::vector<Request> requests;
  bool result = true;
};

// Installs a back end (nullptr: the process's own logind back end).  The
// back end must outlive its installation.
void SetPowerBackend(PowerBackend* backend);
PowerBackend& CurrentPowerBackend();

// EWX_REBOOT, EWX_POWEROFF, EWX_SHUTDOWN (halt) or else EWX_LOGOFF, with
// EWX_FORCE; `reason` is kept for the callers' sake.  True when accepted.
bool ExitWindowsEx(UINT flags, DWORD reason);
// Hibernate or suspend; `disableWakeEvent` has no meaning here.
bool SetSuspendState(bool hibernate, bool force, bool disableWakeEvent);

}  // namespace yux::platform
