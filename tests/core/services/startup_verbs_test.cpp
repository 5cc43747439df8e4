// The file manager verbs and the autostart value in the registry store,
// with the autostart value's desktop entry; the messenger that hands a
// verb's path to the running yux.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>

#include "core/services/startup.h"
#include "core/store/options.h"
#include "core/window/mainform.h"
#include "platform/broadcast.h"
#include "platform/messagebox.h"
#include "platform/registry.h"
#include "tests/core/program_fixture.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;
using test::PumpUntil;
namespace fs = std::filesystem;

namespace {

class RegistryStore : public ::testing::Test {
 protected:
  // The verbs also write the file managers' menus under the data folder:
  // both folders are the test's own.
  void SetUp() override {
    if (const char* v = std::getenv("XDG_CONFIG_HOME")) oldConfig_ = v;
    if (const char* v = std::getenv("XDG_DATA_HOME")) oldData_ = v;
    setenv("XDG_CONFIG_HOME", config.str().c_str(), 1);
    setenv("XDG_DATA_HOME", data.str().c_str(), 1);
    Options = topt{};
  }
  void TearDown() override {
    if (oldConfig_) setenv("XDG_CONFIG_HOME", oldConfig_->c_str(), 1);
    else unsetenv("XDG_CONFIG_HOME");
    if (oldData_) setenv("XDG_DATA_HOME", oldData_->c_str(), 1);
    else unsetenv("XDG_DATA_HOME");
    Options = topt{};
  }
  test::TempDir config, data;

 private:
  std::optional<std::string> oldConfig_, oldData_;
};

}  // namespace

TEST_F(RegistryStore, ShellVerbsFollowTheBinOptions) {
  const std::string exe = ExecutablePath();
  struct Case {
    bool keeper, recycle;
  } const cases[] = {{true, true}, {true, false}, {false, true}, {false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.keeper) + std::to_string(c.recycle));
    Options.obk = c.keeper;
    Options.obr = c.recycle;
    RegisterShellVerbs();
    auto reg = platform::Registry::User();
    for (const char* root : {"HKEY_CLASSES_ROOT\\*\\shell\\", "HKEY_CLASSES_ROOT\\Directory\\shell\\"}) {
      for (auto [verb, on] : {std::pair{"YUX-KEEPER", c.keeper}, std::pair{"YUX-RECYCLE", c.recycle}}) {
        const std::string key = std::string(root) + verb;
        auto value = reg.GetString(key + "\\command", "");
        if (on) {
          ASSERT_TRUE(value) << key;
          EXPECT_EQ(*value, "\"" + exe + "\" /" + verb + " \"%1\"");
        } else {
          EXPECT_FALSE(reg.KeyExists(key)) << key;
        }
      }
    }
  }
}

TEST_F(RegistryStore, AutostartValueAndItsDesktopEntry) {
  const std::string exe = ExecutablePath();
  const fs::path desktop = config / "autostart" / "yux.desktop";
  struct Case {
    int mode;
    std::string value;  // empty: no value
  } const cases[] = {{1, " /hide /exit"}, {0, ""}, {2, " /hide"}, {3, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    WriteAutostartValue(c.mode);
    auto reg = platform::Registry::User();
    auto value = reg.GetString(platform::kRunKey, "Yux");
    if (c.value.empty()) {
      EXPECT_FALSE(value);
      EXPECT_FALSE(fs::exists(desktop));
    } else {
      ASSERT_TRUE(value);
      EXPECT_EQ(*value, "\"" + exe + "\"" + c.value);
      ASSERT_TRUE(fs::exists(desktop));
      EXPECT_NE(test::ReadFile(desktop).find("Exec=" + platform::DesktopExecFromCommandLine(*value)), std::string::npos);
    }
  }
}

namespace {

class Messenger : public test::ProgramTest {
 protected:
  void SetUp() override {
    SetUpProgram(std::make_shared<platform::ScriptedMessageBoxService>(), &hooks);
    SettingsFolder = settings.str();
  }
  test::FakeHooks hooks;
};

}  // namespace

// A relative name means a file of the folder the request was made in: the
// messenger makes it whole there, and the running instance, whose folder
// is another, refuses a relative name that still reaches it.
TEST_F(Messenger, RelativeNamesAreMadeWholeWhereTheyWereGiven) {
  test::TempDir browsed;
  const fs::path old = fs::current_path();
  fs::current_path(browsed.path());
  TForm1 form;
  form.RegisterParamDataReceiver();
  std::ostringstream err;
  std::vector<std::string> told;
  const auto rc = RunMessenger({"/YUX-KEEPER", "sub dir/x.txt"}, err, [&](const std::string& t) { told.push_back(t); });
  fs::current_path(old);
  EXPECT_EQ(rc, 0) << err.str();
  EXPECT_TRUE(told.empty());
  ASSERT_TRUE(PumpUntil([&] { return !form.KeeperList.empty(); }));
  EXPECT_EQ(form.KeeperList, std::vector<std::string>{(browsed / "sub dir" / "x.txt").string()});

  for (const char* text : {"Rsame.txt", "K./same.txt", "K"}) {
    SCOPED_TRACE(text);
    ASSERT_GE(platform::BroadcastTextMessage(kParamDataMessage, 0, text), 1);
  }
  const fs::path log = settings / "yux.log";
  ASSERT_TRUE(PumpUntil([&] { return test::CountOf(test::ReadFile(log), "was refused") == 3; })) << test::ReadFile(log);
  EXPECT_NE(test::ReadFile(log).find("\"same.txt\" was refused"), std::string::npos);
  EXPECT_EQ(form.KeeperList.size(), 1u);
  EXPECT_TRUE(form.RecycleList.empty());
  EXPECT_FALSE(form.yuxbintimerr->isActive());

  // No path at all: said, and told.
  EXPECT_EQ(RunMessenger({"/YUX-RECYCLE"}, err, [&](const std::string& t) { told.push_back(t); }), 2);
  EXPECT_EQ(told.size(), 1u);
}

// The bins hand their paths to the archiver one a line: a path holding a
// line break or a NUL would become two paths (or a shorter one), so the
// messenger refuses it before sending, and the running instance refuses it
// from any other sender (another messenger, a drop).
TEST_F(Messenger, PathsWithLineBreaksAreRefused) {
  TForm1 form;
  form.RegisterParamDataReceiver();
  std::ostringstream err;
  std::vector<std::string> told;
  for (const std::string path : {"/data/report\n", "/data/a\rb", "/data/a\nreport", "rel\nname"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(RunMessenger({"/YUX-KEEPER", path}, err, [&](const std::string& t) { told.push_back(t); }), 2);
    ASSERT_FALSE(told.empty());
    EXPECT_NE(told.back().find("line break"), std::string::npos) << told.back();
    EXPECT_EQ(told.back().find_first_of("\r\n"), std::string::npos) << told.back();
  }
  EXPECT_EQ(told.size(), 4u);

  const std::string texts[] = {"K/data/report\n", "R/data/a\rb", std::string("K/data/a\0b", 10)};
  for (const std::string& text : texts) ASSERT_GE(platform::BroadcastTextMessage(kParamDataMessage, 0, text), 1);
  const fs::path log = settings / "yux.log";
  ASSERT_TRUE(PumpUntil([&] { return test::CountOf(test::ReadFile(log), "was refused") == 3; })) << test::ReadFile(log);
  const std::string written = test::ReadFile(log);
  EXPECT_NE(written.find("the path \"/data/report \" was refused"), std::string::npos) << written;
  EXPECT_NE(written.find("the path \"/data/a b\" was refused"), std::string::npos) << written;
  // One log entry a line: no piece of a refused path stands on a line of
  // its own.
  for (const std::string& line : test::Lines(written)) {
    if (line.find("data") == std::string::npos) continue;
    EXPECT_NE(line.find("was refused"), std::string::npos) << line;
  }
  EXPECT_TRUE(form.KeeperList.empty());
  EXPECT_TRUE(form.RecycleList.empty());
  EXPECT_FALSE(form.yuxbintimerk->isActive());
  EXPECT_FALSE(form.yuxbintimerr->isActive());
}

// A file manager shows no standard error: a request that reaches no running
// yux, or a path too long to hand over, is told through a desktop
// notification.
TEST(MessengerProgram, ProblemsAreToldThroughADesktopNotification) {
  test::YuxWorld world;
  test::TempDir bin;
  const fs::path calls = bin / "calls";
  const fs::path notifier = bin / "notify-send";
  test::WriteFile(notifier, "#!/bin/sh\nprintf '%s|' \"$@\" >> \"" + calls.string() + "\"\necho >> \"" +
                                calls.string() + "\"\n");
  chmod(notifier.c_str(), 0755);
  auto env = world.EnvMap();
  env["PATH"] = bin.str() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
  const std::string yux = test::BuiltProgram("yux").string();
  struct Case {
    std::string path;
    int code;
    std::string text;
  } const cases[] = {
      {"/data/a.txt", 3, "YUX is not running, so nothing received the path: /data/a.txt"},
      {"/" + std::string(300, 'x'), 2, "301 bytes long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    fs::remove(calls);
    const auto r = test::RunProgram({yux, "/YUX-KEEPER", c.path}, env, 20000);
    EXPECT_EQ(r.exitCode, c.code) << r.err;
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    const std::string told = test::ReadFile(calls);
    EXPECT_EQ(test::CountOf(told, "\n"), 1) << told;
    EXPECT_NE(told.find(std::string(kApplicationTitle) + "|"), std::string::npos) << told;
    EXPECT_NE(told.find(c.text), std::string::npos) << told;
  }
  // A notifier that fails, and no display for a box: standard error still
  // says it, and the messenger ends.
  test::WriteFile(notifier, "#!/bin/sh\nexit 1\n");
  const auto r = test::RunProgram({yux, "/YUX-RECYCLE", "/data/b.txt"}, env, 20000);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("nothing received the path: /data/b.txt"), std::string::npos) << r.err;
}
