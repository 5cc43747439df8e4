#include "platform/registry.h"
#include "tests/platform/scoped_env.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace yux::platform;

TEST(Registry, ValuesAndKeysRoundTripThroughTheFile) {
  yux::test::TempDir tmp;
  const std::string verb = "HKEY_CLASSES_ROOT\\*\\shell\\YUX-KEEPER\\command";
  const std::string cmd = "\"/opt/yux/yux\" /YUX-KEEPER \"%1\"";
  {
    Registry reg((tmp / "reg.ini").string(), (tmp / "autostart").string());
    ASSERT_TRUE(reg.SetString(verb, "", cmd));
    ASSERT_TRUE(reg.SetString("HKEY_CLASSES_ROOT\\Directory\\shell\\YUX-KEEPER\\command", "", cmd));
    ASSERT_TRUE(reg.SetNumber("HKEY_CURRENT_USER\\Software\\YUX", "Count", 4000000000u));
    ASSERT_TRUE(reg.SetString("HKEY_CURRENT_USER\\Software\\YUX", "Text", "a, b; \"c\" = d\\e"));
  }
  // A second store object reads what the first one saved.
  Registry reg((tmp / "reg.ini").string(), (tmp / "autostart").string());
  EXPECT_EQ(reg.GetString(verb, ""), cmd);
  // Key names are found without regard to case.
  EXPECT_EQ(reg.GetString("hkey_classes_root\\*\\SHELL\\yux-keeper\\Command", ""), cmd);
  EXPECT_EQ(reg.GetNumber("HKEY_CURRENT_USER\\Software\\YUX", "Count"), 4000000000u);
  EXPECT_EQ(reg.GetString("HKEY_CURRENT_USER\\Software\\YUX", "Text"), "a, b; \"c\" = d\\e");
  EXPECT_EQ(reg.GetString("HKEY_CURRENT_USER\\Software\\YUX", "Count"), std::nullopt);  // a number
  EXPECT_EQ(reg.GetString("HKEY_CURRENT_USER\\Software\\YUX", "Missing"), std::nullopt);

  EXPECT_EQ(reg.SubKeys("HKEY_CLASSES_ROOT"), (std::vector<std::string>{"*", "Directory"}));
  EXPECT_EQ(reg.SubKeys("HKEY_CLASSES_ROOT\\*\\shell"), (std::vector<std::string>{"YUX-KEEPER"}));
  EXPECT_EQ(reg.ValueNames("HKEY_CURRENT_USER\\Software\\YUX"), (std::vector<std::string>{"Count", "Text"}));

  // Deleting a key takes its subkeys; its siblings stay.
  EXPECT_TRUE(reg.DeleteKey("HKEY_CLASSES_ROOT\\*\\shell\\YUX-KEEPER"));
  EXPECT_FALSE(reg.KeyExists(verb));
  EXPECT_FALSE(reg.DeleteKey("HKEY_CLASSES_ROOT\\*\\shell\\YUX-KEEPER"));
  EXPECT_TRUE(reg.KeyExists("HKEY_CLASSES_ROOT\\Directory\\shell\\YUX-KEEPER\\command"));
  EXPECT_TRUE(reg.DeleteValue("HKEY_CURRENT_USER\\Software\\YUX", "Count"));
  EXPECT_FALSE(reg.DeleteValue("HKEY_CURRENT_USER\\Software\\YUX", "Count"));
  EXPECT_TRUE(reg.CreateKey("HKEY_CURRENT_USER\\Empty\\Key"));
  EXPECT_TRUE(reg.KeyExists("HKEY_CURRENT_USER\\Empty\\Key"));
  EXPECT_TRUE(reg.ValueNames("HKEY_CURRENT_USER\\Empty\\Key").empty());
}

TEST(Registry, UnwritableStoreReportsFailure) {
  if (geteuid() == 0) {
    // root writes anywhere; a store below a plain file can never be made.
    yux::test::TempDir tmp;
    yux::test::WriteFile(tmp / "file", "x");
    Registry reg((tmp / "file" / "reg.ini").string(), (tmp / "file" / "autostart").string());
    EXPECT_FALSE(reg.SetString("HKEY_CURRENT_USER\\Software\\YUX", "A", "1"));
    EXPECT_FALSE(reg.CreateKey("HKEY_CURRENT_USER\\Software\\YUX"));
    EXPECT_EQ(reg.GetString("HKEY_CURRENT_USER\\Software\\YUX", "A"), std::nullopt);
    EXPECT_FALSE(reg.SetString(kRunKey, "Yux", "\"/opt/yux\" /hide"));
    return;
  }
  yux::test::TempDir tmp;
  std::filesystem::create_directory(tmp / "ro");
  chmod((tmp / "ro").c_str(), 0500);
  Registry reg((tmp / "ro" / "reg.ini").string(), (tmp / "ro" / "autostart").string());
  EXPECT_FALSE(reg.SetString("HKEY_CURRENT_USER\\Software\\YUX", "A", "1"));
  EXPECT_FALSE(reg.SetString(kRunKey, "Yux", "\"/opt/yux\" /hide"));
}

TEST(Registry, RunValueIsMirroredAsAutostartEntry) {
  yux::test::TempDir tmp;
  yux::test::ScopedEnv cfg("XDG_CONFIG_HOME", tmp.str());
  EXPECT_EQ(Registry::DefaultStoreFile(), tmp.str() + "/yux/registry.ini");
  EXPECT_EQ(Registry::DefaultAutostartFolder(), tmp.str() + "/autostart");
  Registry reg = Registry::User();
  auto desktop = tmp / "autostart" / "yux.desktop";
  ASSERT_TRUE(reg.SetString("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Yux",
                            "\"/opt/my yux/yux\" /hide /exit"));
  std::string text = yux::test::ReadFile(desktop);
  EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(text.find("\nExec=\"/opt/my yux/yux\" /hide /exit\n"), std::string::npos) << text;
  // Other values of the Run key are not ours.
  ASSERT_TRUE(reg.SetString(kRunKey, "Other", "x"));
  ASSERT_TRUE(reg.DeleteValue(kRunKey, "Other"));
  EXPECT_TRUE(std::filesystem::exists(desktop));
  // The key's spelling does not matter.
  ASSERT_TRUE(reg.DeleteValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "Yux"));
  EXPECT_FALSE(std::filesystem::exists(desktop));
  ASSERT_TRUE(reg.SetString(kRunKey, "Yux", "/opt/yux/yux /hide"));
  EXPECT_TRUE(reg.DeleteKey(kRunKey));
  EXPECT_FALSE(std::filesystem::exists(desktop));
}

TEST(Registry, DesktopExecQuoting) {
  struct Case {
    const char* cmd;
    const char* exec;
  } cases[] = {
      {"/usr/bin/yux /hide", "/usr/bin/yux /hide"},
      {"\"/opt/a b/yux\" /hide", "\"/opt/a b/yux\" /hide"},
      {"/opt/yux \"50%\"", "/opt/yux 50%%"},
      {"/opt/yux \"a$b\"", "/opt/yux \"a\\\\$b\""},  // $ escaped, then the backslash doubled
      {"/opt/yux \"back\\slash x\"", "/opt/yux \"back\\\\\\\\slash x\""},
  };
  for (const auto& c : cases) EXPECT_EQ(DesktopExecFromCommandLine(c.cmd), c.exec) << c.cmd;
}
