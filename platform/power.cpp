#include "platform/power.h"

#include "platform/cmdline.h"
#include "platform/namedobjects.h"
#include "platform/process.h"

#include <cstdlib>
#include <utility>

namespace yux::platform {
namespace {

PowerBackend* g_backend = nullptr;

}  // namespace

const char* PowerActionName(PowerAction action) {
  switch (action) {
    case PowerAction::LogOff: return "logoff";
    case PowerAction::Halt: return "halt";
    case PowerAction::Reboot: return "reboot";
    case PowerAction::PowerOff: return "poweroff";
    case PowerAction::Suspend: return "suspend";
    case PowerAction::Hibernate: return "hibernate";
  }
  return "?";
}

LogindPowerBackend::LogindPowerBackend(std::string systemctl, std::string loginctl, DWORD timeoutMs)
    : systemctl_(std::move(systemctl)), loginctl_(std::move(loginctl)), timeoutMs_(timeoutMs) {}

PowerCommand LogindPowerBackend::CommandFor(PowerAction action, bool force) const {
  if (action == PowerAction::LogOff) {
    // Terminating the session ends its processes whatever they say, so
    // there is no stronger form for the forced log off.
    const char* id = std::getenv("XDG_SESSION_ID");
    const std::string session = id && *id ? id : "self";
    return {loginctl_, "terminate-session " + QuoteArgument(session)};
  }
  std::string params = PowerActionName(action);
  // Inhibitor locks are how applications hold up a shutdown here.
  if (force) params += " --check-inhibitors=no";
  return {systemctl_, params};
}

bool LogindPowerBackend::Perform(PowerAction action, bool force) {
  const PowerCommand cmd = CommandFor(action, force);
  auto proc = Process::Start(cmd.program, cmd.parameters);
  if (!proc) return false;
  if (proc->Wait(timeoutMs_) != WAIT_OBJECT_0) return false;
  return proc->ExitCode() == 0;
}

void SetPowerBackend(PowerBackend* backend) { g_backend = backend; }

PowerBackend& CurrentPowerBackend() {
  if (g_backend) return *g_backend;
  static LogindPowerBackend logind;
  return logind;
}

bool ExitWindowsEx(UINT flags, DWORD reason) {
  (void)reason;
  const bool force = (flags & EWX_FORCE) != 0;
  PowerAction action = PowerAction::LogOff;
  if (flags & EWX_REBOOT)
    action = PowerAction::Reboot;
  else if (flags & EWX_POWEROFF)
    action = PowerAction::PowerOff;
  else if (flags & EWX_SHUTDOWN)
    action = PowerAction::Halt;
  return CurrentPowerBackend().Perform(action, force);
}

bool SetSuspendState(bool hibernate, bool force, bool disableWakeEvent) {
  (void)disableWakeEvent;
  return CurrentPowerBackend().Perform(hibernate ? PowerAction::Hibernate : PowerAction::Suspend, force);
}

}  // namespace yux::platform
