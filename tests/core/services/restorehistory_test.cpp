#include "core/services/restorehistory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "core/run/foldercopy.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "platform/cmdline.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class RestoreHistory : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = PresetsFolder;
    PresetsFolder = (dir / "presets").string();
    fs::create_directories(PresetsFolder);
  }
  void TearDown() override { PresetsFolder = saved; }
  test::TempDir dir;
  std::string saved;
};

}  // namespace

TEST_F(RestoreHistory, ThreeFreshestPerKindAndOtherKindsAlways) {
  std::vector<RestoreRow> rows{{"x", "y", "z"}};
  EXPECT_FALSE(ReadRestoreHistory("P", true, &rows));  // no file: rows untouched
  EXPECT_EQ(rows.size(), 1u);
  QDateTime t(QDate(2024, 5, 6), QTime(10, 0));
  // Added oldest first: the file lists the newest at the top.
  for (int i = 1; i <= 5; ++i)
    AddHistoryLine("P", kHistoryCopy, "/dest/copy" + std::to_string(i) + ".rar", t.addSecs(i * 60));
  AddHistoryLine("P", kHistoryFtp, "ftp1.rar", t.addSecs(600));
  AddHistoryLine("P", kHistoryFtp, "ftp2.rar", t.addSecs(660));
  AddHistoryLine("P", "0-OTHER", "what\tever", t.addSecs(720));

  ASSERT_TRUE(ReadRestoreHistory("P", true, &rows));
  std::vector<std::string> seen;
  for (auto& r : rows) seen.push_back(r.kind + " " + r.location);
  EXPECT_EQ(seen, (std::vector<std::string>{"0-OTHER what\tever", "3-FTP ftp2.rar", "3-FTP ftp1.rar",
                                            "4-COPY /dest/copy5.rar", "4-COPY /dest/copy4.rar",
                                            "4-COPY /dest/copy3.rar"}));
  ASSERT_TRUE(ReadRestoreHistory("P", false, &rows));
  EXPECT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows.back().location, "/dest/copy1.rar");
  EXPECT_FALSE(rows.back().date.empty());
}

TEST_F(RestoreHistory, EmailTextNamesAccountSubjectAndDay) {
  RestoreRow row{"06.05.2024 10:00:00 ", "2-SMTP", "me@example.org/a.rar"};
  std::string text = RestoreEmailText(row);
  EXPECT_NE(text.find("open me@example.org account"), std::string::npos) << text;
  EXPECT_NE(text.find("\"a.rar (sent by YUX).\""), std::string::npos) << text;
  EXPECT_NE(text.find("sent on 06.05.2024."), std::string::npos) << text;
}

TEST_F(RestoreHistory, TargetFolderAvoidsTakenNames) {
  std::string parent = dir.str();
  EXPECT_EQ(RestoreTargetFolder(parent, "/x/backup 1.rar"), parent + "/backup 1");
  fs::create_directories(dir / "backup 1");
  test::WriteFile(dir / "backup 1 (2)", "a file takes the name too");
  EXPECT_EQ(RestoreTargetFolder(parent, "/x/backup 1.rar"), parent + "/backup 1 (3)");
}

TEST_F(RestoreHistory, ArchiverParametersComeBackAsMeant) {
  struct Case {
    std::string password;
    bool standIn;
    std::vector<std::string> args;
  } cases[] = {
      {"p w", true, {"x", "-hp", "-ibck", "-ILOG/s et/winrar.log", "/a \"q\".rar", "/to dir/"}},
      {"p \"w\\", false, {"x", "-hpp \"w\\", "-ibck", "-ILOG/s et/winrar.log", "/a \"q\".rar", "/to dir/"}},
      {"", true, {"x", "-ibck", "-ILOG/s et/winrar.log", "/a \"q\".rar", "/to dir/"}},
  };
  for (auto& c : cases) {
    std::string text = RestoreArchiverParameters("/a \"q\".rar", "/to dir", "/s et", c.password, c.standIn);
    EXPECT_EQ(platform::SplitCommandLine(text), c.args) << text;
  }
}

TEST_F(RestoreHistory, RestoreAsksForAChangedPasswordAndExtractsTheTree) {
  const std::string winrar = test::BuiltProgram("winrar").string();
  fs::create_directories(dir / "src/sub dir");
  std::map<std::string, std::string> files{{"a b.txt", "alpha"},
                                           {"sub dir/\xc3\xbc.bin", std::string("\0\1\2\xff", 4)}};
  for (auto& [n, d] : files) test::WriteFile(dir / "src" / n, d);
  fs::create_directories(dir / "arc");
  test::ProcessResult made = test::RunProgram(
      {winrar, "a", "-ep1", "-r", "-ibck", "-hpnew pw", (dir / "arc/run 1.rar").string(),
       (dir / "src").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  fs::create_directories(dir / "to");
  struct Case {
    const char* what;
    std::string password;
    std::optional<std::string> answer;
    int code;
    int asked;
    bool restored;
  } cases[] = {
      {"right password", "new pw", std::nullopt, 0, 0, true},
      {"changed password, the user knows the new one", "old pw", "new pw", 0, 1, true},
      {"changed password, the user cancels", "old pw", std::nullopt, 3, 1, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    int asked = 0;
    std::string caption;
    RunActive = false;
    RestoreOutcome out = RestoreArchive(
        winrar, (dir / "arc/run 1.rar").string(), (dir / "to").string(), dir.str(), c.password,
        [&](const std::string& text) {
          ++asked;
          caption = text;
          EXPECT_TRUE(RunActive.load());
          return c.answer;
        });
    EXPECT_FALSE(RunActive.load());
    EXPECT_TRUE(out.started);
    EXPECT_EQ(out.exitCode, c.code);
    EXPECT_EQ(asked, c.asked);
    if (asked) EXPECT_EQ(caption, "Enter password for run 1.rar");
    EXPECT_EQ(fs::path(out.folder).parent_path(), dir / "to");
    for (auto& [n, d] : files) {
      fs::path p = fs::path(out.folder) / "src" / n;
      EXPECT_EQ(fs::exists(p), c.restored) << p;
      if (c.restored) EXPECT_EQ(test::ReadFile(p), d);
    }
  }
  // Each restore went into a folder of its own.
  EXPECT_TRUE(fs::exists(dir / "to/run 1"));
  EXPECT_TRUE(fs::exists(dir / "to/run 1 (2)"));
  EXPECT_TRUE(fs::exists(dir / "to/run 1 (3)"));
}
