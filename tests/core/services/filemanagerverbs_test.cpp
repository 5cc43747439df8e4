// The bin verbs in the file managers' menus: written and removed with the
// options and at close, and each script and the service menu's command
// line handing every selected path, unchanged, to its own call.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <filesystem>

#include "core/services/bins.h"
#include "core/services/filemanagerverbs.h"
#include "core/store/options.h"
#include "core/window/mainform.h"
#include "platform/messagebox.h"
#include "tests/core/program_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
using test::PumpUntil;
namespace fs = std::filesystem;

namespace {

bool Executable(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IXUSR);
}

// The arguments of a desktop entry's Exec line: the entry file's escapes
// undone, then the line split by its quoting rules, %F replaced by `files`.
std::vector<std::string> ExecArguments(const std::string& exec, const std::vector<std::string>& files) {
  std::string line;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    if (exec[i] == '\\' && i + 1 < exec.size()) {
      const char n = exec[++i];
      line += n == 's' ? ' ' : n == 'n' ? '\n' : n == 't' ? '\t' : n;
    } else {
      line += exec[i];
    }
  }
  std::vector<std::string> args;
  std::string cur;
  bool inArg = false, quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size()) cur += line[++i];
      else if (c == '"') quoted = false;
      else cur += c;
    } else if (c == '"') {
      quoted = inArg = true;
    } else if (c == ' ') {
      if (inArg) args.push_back(cur), cur.clear(), inArg = false;
    } else {
      cur += c;
      inArg = true;
    }
  }
  if (inArg) args.push_back(cur);
  std::vector<std::string> out;
  for (const std::string& a : args) {
    if (a == "%F") out.insert(out.end(), files.begin(), files.end());
    else {
      std::string b;
      for (std::size_t i = 0; i < a.size(); ++i) {
        b += a[i];
        if (a[i] == '%' && i + 1 < a.size() && a[i + 1] == '%') ++i;
      }
      out.push_back(b);
    }
  }
  return out;
}

std::string ExecOf(const std::string& desktop, const std::string& action) {
  const std::size_t at = desktop.find("[Desktop Action " + action + "]");
  if (at == std::string::npos) return {};
  const std::size_t e = desktop.find("Exec=", at);
  return desktop.substr(e + 5, desktop.find('\n', e) - e - 5);
}

class Verbs : public test::ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    // A program in yux's place that records its arguments, one per line.
    program = (tools / "rec yux 'x'").string();
    test::WriteFile(program, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"" + (tools / "calls").string() + "\"\n");
    chmod(program.c_str(), 0755);
  }
  std::string Calls() const { return test::ReadFile(tools / "calls"); }
  test::TempDir tools;
  std::string program;
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  test::FakeHooks hooks;
};

}  // namespace

TEST_F(Verbs, ScriptsAndTheServiceMenuHandEachPathToItsOwnCall) {
  ASSERT_TRUE(WriteFileManagerVerbs(program, true, true));
  const FileManagerVerbFiles f = FileManagerVerbPaths();
  EXPECT_NE(f.serviceMenu.find(data.str()), std::string::npos);
  ASSERT_EQ(f.keeperScripts.size(), 3u);
  EXPECT_NE(f.keeperScripts[2].find(config.str() + "/caja/scripts"), std::string::npos);
  const std::vector<std::string> paths = {"/tmp/a b/c \"d\"", "/srv/$HOME `x` 50% \\z"};
  const std::string expected = "/YUX-KEEPER\n" + paths[0] + "\n/YUX-KEEPER\n" + paths[1] + "\n";

  for (const std::string& script : f.keeperScripts) {
    SCOPED_TRACE(script);
    ASSERT_TRUE(Executable(script));
    fs::remove(tools / "calls");
    std::vector<std::string> argv = {script};
    argv.insert(argv.end(), paths.begin(), paths.end());
    ASSERT_EQ(test::RunProgram(argv).exitCode, 0);
    EXPECT_EQ(Calls(), expected);
  }
  for (const std::string& script : f.recycleScripts) ASSERT_TRUE(Executable(script));

  const std::string desktop = test::ReadFile(f.serviceMenu);
  EXPECT_NE(desktop.find("Actions=yuxkeeper;yuxrecycle;"), std::string::npos);
  EXPECT_TRUE(Executable(f.serviceMenu));
  for (const auto& [action, verb] : {std::pair{"yuxkeeper", "/YUX-KEEPER"}, std::pair{"yuxrecycle", "/YUX-RECYCLE"}}) {
    SCOPED_TRACE(action);
    fs::remove(tools / "calls");
    ASSERT_EQ(test::RunProgram(ExecArguments(ExecOf(desktop, action), paths)).exitCode, 0);
    EXPECT_EQ(Calls(), std::string(verb) + "\n" + paths[0] + "\n" + verb + "\n" + paths[1] + "\n");
  }

  // The keeper off: its scripts and its action go, the recycle bin's stay.
  ASSERT_TRUE(WriteFileManagerVerbs(program, false, true));
  for (const std::string& script : f.keeperScripts) EXPECT_FALSE(fs::exists(script));
  for (const std::string& script : f.recycleScripts) EXPECT_TRUE(fs::exists(script));
  EXPECT_EQ(test::ReadFile(f.serviceMenu).find("yuxkeeper"), std::string::npos);
  // Both off: nothing is left.
  ASSERT_TRUE(WriteFileManagerVerbs(program, false, false));
  EXPECT_FALSE(fs::exists(f.serviceMenu));
  EXPECT_FALSE(fs::exists(f.runner));
  for (const std::string& script : f.recycleScripts) EXPECT_FALSE(fs::exists(script));
}

TEST_F(Verbs, TheyFollowTheOptionsAtStartAndGoAtClose) {
  topt saved;
  saved.obk = true;
  saved.obr = false;
  SettingsFolder = settings.str();
  SaveOptions(saved);
  const FileManagerVerbFiles f = FileManagerVerbPaths();
  {
    TForm1 form;
    ASSERT_EQ(form.FormCreate({}), std::nullopt);
    for (const std::string& script : f.keeperScripts) EXPECT_TRUE(fs::exists(script));
    for (const std::string& script : f.recycleScripts) EXPECT_FALSE(fs::exists(script));
    EXPECT_TRUE(fs::exists(f.serviceMenu));
    form.FormClose();
  }
  for (const std::string& script : f.keeperScripts) EXPECT_FALSE(fs::exists(script));
  EXPECT_FALSE(fs::exists(f.serviceMenu));
}

namespace {

// Makes `folder` the working folder until the end of the scope.
class WorkingFolder {
 public:
  explicit WorkingFolder(const fs::path& folder) : old_(fs::current_path()) { fs::current_path(folder); }
  ~WorkingFolder() { fs::current_path(old_); }

 private:
  fs::path old_;
};

}  // namespace

// The scripts run in the folder the file manager shows and get the selected
// names as they are; the running yux works in a folder of its own that
// holds a file of the same name.  Only the selected file is handed over,
// archived and (recycle bin) removed.
TEST_F(Verbs, ScriptsInTheBrowsedFolderHandOverTheSelectedFileOnly) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  SetUpBins();
  ASSERT_TRUE(WriteFileManagerVerbs(test::BuiltProgram("yux").string(), true, true));
  const FileManagerVerbFiles f = FileManagerVerbPaths();
  test::TempDir ours, browsed;
  test::WriteFile(ours / "same.txt", "yux's own\n");
  test::WriteFile(browsed / "same.txt", "selected\n");
  const std::string selected = (browsed / "same.txt").string();
  WorkingFolder here(ours.path());
  TForm1 form;
  form.RegisterParamDataReceiver();
  auto runInBrowsed = [&](const std::string& script) {
    return test::RunProgram({"/bin/sh", "-c", "cd \"$1\" && exec \"$2\" same.txt", "sh", browsed.str(), script});
  };

  for (const std::string& script : f.keeperScripts) {
    SCOPED_TRACE(script);
    form.KeeperList.clear();
    const auto r = runInBrowsed(script);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(PumpUntil([&] { return !form.KeeperList.empty(); }));
    EXPECT_EQ(form.KeeperList, std::vector<std::string>{selected});
  }
  form.KeeperList.clear();
  form.yuxbintimerk->stop();

  form.OnRecycleTimer = [&form] { RecycleTick(form); };
  boxes->Answer(platform::IDYES);
  const auto r = runInBrowsed(f.recycleScripts[0]);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const fs::path archive = settings / "YUX-BIN" / "recycle.rar";
  ASSERT_TRUE(PumpUntil([&] { return fs::exists(archive) && !BinArchiving(BinKind::Recycle); }));
  ASSERT_EQ(boxes->Asked().size(), 1u) << boxes->Asked().back().text;
  EXPECT_EQ(boxes->Asked()[0].text, "\rMove 1 item(s) to YUX-RECYCLE?");
  EXPECT_FALSE(fs::exists(browsed / "same.txt"));
  EXPECT_EQ(test::ReadFile(ours / "same.txt"), "yux's own\n");
  const std::string listing = test::RunProgram({"bsdtar", "-tf", archive.string()}).out;
  EXPECT_NE(listing.find(browsed.path().relative_path().string() + "/same.txt"), std::string::npos) << listing;
  EXPECT_EQ(listing.find(ours.path().relative_path().string()), std::string::npos) << listing;
  const std::string content =
      test::RunProgram({"bsdtar", "-xOf", archive.string(), "*same.txt"}).out;
  EXPECT_EQ(content, "selected\n");
}
