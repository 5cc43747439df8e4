// The file manager verbs and the autostart value in the registry store,
// with the autostart value's desktop entry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "core/options.h"
#include "core/startup.h"
#include "platform/registry.h"
#include "tests/support/testsupport.h"

using namespace yux;
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
