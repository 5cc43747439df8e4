#include "platform/power.h"
#include "tests/platform/scoped_env.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace yux::platform;
namespace fs = std::filesystem;

namespace {

// Installs a back end for one test and always puts the default back.
class ScopedBackend {
 public:
  explicit ScopedBackend(PowerBackend* b) { SetPowerBackend(b); }
  ~ScopedBackend() { SetPowerBackend(nullptr); }
};

// A stand-in for systemctl or loginctl: appends its arguments as one line
// to `log` and ends with `code`.
fs::path StandIn(const yux::test::TempDir& dir, const std::string& name, const fs::path& log, int code) {
  const fs::path p = dir / name;
  yux::test::WriteFile(p, "#!/bin/sh\necho \"" + name + " $*\" >> '" + log.string() + "'\nexit " +
                              std::to_string(code) + "\n");
  fs::permissions(p, fs::perms::owner_all);
  return p;
}

}  // namespace

TEST(Power, WindowsFlagsAndSuspendMapToActions) {
  RecordingPowerBackend rec;
  ScopedBackend scoped(&rec);
  using R = RecordingPowerBackend::Request;
  struct Case {
    UINT flags;
    R want;
  } cases[] = {
      {EWX_REBOOT | EWX_FORCE, {PowerAction::Reboot, true}},
      {EWX_POWEROFF | EWX_FORCE, {PowerAction::PowerOff, true}},
      {EWX_LOGOFF | EWX_FORCE, {PowerAction::LogOff, true}},
      {EWX_LOGOFF, {PowerAction::LogOff, false}},
      {EWX_SHUTDOWN, {PowerAction::Halt, false}},
      {EWX_SHUTDOWN | EWX_POWEROFF, {PowerAction::PowerOff, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    rec.requests.clear();
    EXPECT_TRUE(ExitWindowsEx(c.flags, 0));
    ASSERT_EQ(rec.requests.size(), 1u);
    EXPECT_EQ(rec.requests[0], c.want);
  }
  rec.requests.clear();
  rec.result = false;
  EXPECT_FALSE(SetSuspendState(true, false, false));
  EXPECT_FALSE(SetSuspendState(false, true, true));
  EXPECT_EQ(rec.requests, (std::vector<R>{{PowerAction::Hibernate, false}, {PowerAction::Suspend, true}}));
}

// The logind back end run against stand-in programs: the command lines it
// starts, and its answer from their exit codes.
TEST(Power, LogindBackendRunsSystemctlAndLoginctl) {
  yux::test::TempDir dir;
  const fs::path log = dir / "calls";
  const fs::path systemctl = StandIn(dir, "systemctl", log, 0);
  const fs::path loginctl = StandIn(dir, "loginctl", log, 0);
  LogindPowerBackend logind(systemctl.string(), loginctl.string(), 10000);

  {
    yux::test::ScopedEnv session("XDG_SESSION_ID", "c7");
    EXPECT_TRUE(logind.Perform(PowerAction::Reboot, true));
    EXPECT_TRUE(logind.Perform(PowerAction::PowerOff, false));
    EXPECT_TRUE(logind.Perform(PowerAction::Halt, false));
    EXPECT_TRUE(logind.Perform(PowerAction::Suspend, false));
    EXPECT_TRUE(logind.Perform(PowerAction::Hibernate, true));
    EXPECT_TRUE(logind.Perform(PowerAction::LogOff, true));
  }
  {
    yux::test::ScopedEnv session("XDG_SESSION_ID", std::nullopt);
    EXPECT_TRUE(logind.Perform(PowerAction::LogOff, false));
  }
  EXPECT_EQ(yux::test::ReadFile(log),
            "systemctl reboot --check-inhibitors=no\n"
            "systemctl poweroff\n"
            "systemctl halt\n"
            "systemctl suspend\n"
            "systemctl hibernate --check-inhibitors=no\n"
            "loginctl terminate-session c7\n"
            "loginctl terminate-session self\n");

  // A refusal (polkit, no logind) is a failure, as is a missing program.
  LogindPowerBackend refusing(StandIn(dir, "refusing", log, 1).string(), loginctl.string(), 10000);
  EXPECT_FALSE(refusing.Perform(PowerAction::Reboot, true));
  LogindPowerBackend missing((dir / "nowhere").string(), (dir / "nowhere").string(), 10000);
  EXPECT_FALSE(missing.Perform(PowerAction::Suspend, false));
  EXPECT_FALSE(missing.Perform(PowerAction::LogOff, false));
}
