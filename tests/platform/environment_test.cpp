#include "platform/environment.h"
#include "platform/filesearch.h"
#include "platform/folders.h"
#include "tests/platform/scoped_env.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace yux::platform;
using yux::test::ScopedEnv;

TEST(Environment, ExpandsLikeWindows) {
  ScopedEnv a("YUX_T_A", "alpha");
  ScopedEnv b("yux_t_b", "beta");
  ScopedEnv e("YUX_T_EMPTY", "");
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"%YUX_T_A%", "alpha"},
      {"x%yux_t_a%y", "xalphay"},  // names without regard to case
      {"%YUX_T_B%", "beta"},
      {"%YUX_T_A%%YUX_T_B%", "alphabeta"},
      {"%YUX_T_NONE%", "%YUX_T_NONE%"},  // unknown names stay
      {"%YUX_T_NONE%YUX_T_A%", "%YUX_T_NONEalpha"},
      {"100%% sure", "100%% sure"},
      {"50% off", "50% off"},
      {"%", "%"},
      {"%%", "%%"},
      {"a%YUX_T_EMPTY%b", "ab"},  // set but empty
      {"%YUX_T_A", "%YUX_T_A"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ExpandEnvironmentStrings(c.in), c.out) << c.in;
  EXPECT_EQ(GetEnvironmentVariable("yux_T_a"), "alpha");
  EXPECT_EQ(GetEnvironmentVariable("YUX_T_NONE"), std::nullopt);
}

TEST(FileSearch, MasksAttributesAndOrder) {
  yux::test::TempDir tmp;
  yux::test::WriteFile(tmp / "b.txt", "12345");
  yux::test::WriteFile(tmp / "A.TXT", "1");
  yux::test::WriteFile(tmp / "README", "");
  yux::test::WriteFile(tmp / ".hidden", "");
  yux::test::WriteFile(tmp / "ro.dat", "");
  std::filesystem::create_directory(tmp / "sub.d");
  chmod((tmp / "ro.dat").c_str(), 0444);

  struct Case {
    const char* mask;
    std::vector<std::string> names;
  } cases[] = {
      {"*.*", {".hidden", "A.TXT", "README", "b.txt", "ro.dat", "sub.d"}},  // also names without a dot
      {"*", {".hidden", "A.TXT", "README", "b.txt", "ro.dat", "sub.d"}},
      {"*.txt", {"A.TXT", "b.txt"}},
      {"?.txt", {"A.TXT", "b.txt"}},
      {"readme", {"README"}},
      {"*.zip", {}},
  };
  for (const auto& c : cases) {
    DWORD err = 99;
    std::vector<std::string> got;
    for (const auto& e : FindFiles(tmp.str() + "/" + c.mask, &err)) got.push_back(e.name);
    EXPECT_EQ(got, c.names) << c.mask;
    EXPECT_EQ(err, c.names.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS) << c.mask;
  }

  auto all = FindFiles(tmp.str() + "/*.*");
  auto find = [&](const std::string& n) {
    for (const auto& e : all)
      if (e.name == n) return e;
    return FindEntry{};
  };
  EXPECT_EQ(find("b.txt").size, 5u);
  EXPECT_EQ(find("b.txt").attributes, FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_GT(find("b.txt").mtime, 1600000000);
  EXPECT_TRUE(find(".hidden").attributes & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(find("ro.dat").attributes & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(find("sub.d").isFolder);
  EXPECT_EQ(find("sub.d").attributes, FILE_ATTRIBUTE_DIRECTORY);

  FileFinder f;
  FindEntry e;
  ASSERT_TRUE(f.First(tmp.str() + "\\*.txt", &e));
  EXPECT_EQ(e.name, "A.TXT");
  ASSERT_TRUE(f.Next(&e));
  EXPECT_EQ(e.name, "b.txt");
  EXPECT_FALSE(f.Next(&e));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
}

TEST(FileSearch, MissingAndUnreadableFoldersGiveEmptyResultsWithAnError) {
  yux::test::TempDir tmp;
  DWORD err = 0;
  EXPECT_TRUE(FindFiles(tmp.str() + "/missing/*.*", &err).empty());
  EXPECT_EQ(err, ERROR_PATH_NOT_FOUND);
  yux::test::WriteFile(tmp / "locked" / "x", "");
  chmod((tmp / "locked").c_str(), 0);
  if (geteuid() != 0) {  // root reads it anyway
    EXPECT_TRUE(FindFiles(tmp.str() + "/locked/*", &err).empty());
    EXPECT_EQ(err, ERROR_ACCESS_DENIED);
  }
  chmod((tmp / "locked").c_str(), 0700);
}

TEST(Folders, ProgramDataTempAndNames) {
  std::string prog = ProgramFolder();
  EXPECT_TRUE(std::filesystem::exists(prog + "/platform_tests"));
  EXPECT_NE(prog.back(), '/');
  yux::test::TempDir tmp;
  {
    ScopedEnv home("YUX_HOME", tmp.str() + "/");
    EXPECT_EQ(ProgramDataFolder(), tmp.str());
  }
  {
    ScopedEnv home("YUX_HOME", std::nullopt);
    EXPECT_EQ(ProgramDataFolder(), prog);  // the build folder is writable
  }
  {
    ScopedEnv t("TMPDIR", tmp.str() + "/");
    EXPECT_EQ(TempFolder(), tmp.str());
  }
  {
    ScopedEnv t("TMPDIR", std::nullopt);
    EXPECT_EQ(TempFolder(), "/tmp");
  }
  {
    ScopedEnv c("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv h("HOME", tmp.str());
    EXPECT_EQ(HomeFolder(), tmp.str());
    EXPECT_EQ(ConfigHomeFolder(), tmp.str() + "/.config");
  }
  EXPECT_FALSE(HostName().empty());
  EXPECT_FALSE(UserName().empty());
}
