// Environment strings, starting programs with Windows-style parameters,
// help pages, the archiver search, the shortcut maker, copies and sizes.
#include "core/services/shellutils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "core/services/dialoghooks.h"
#include "core/store/folders.h"
#include "platform/messagebox.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class Env {
 public:
  Env(const char* name, const std::string& value) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v, had_ = true;
    setenv(name, value.c_str(), 1);
  }
  ~Env() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

void MakeExecutable(const fs::path& p, const std::string& script) {
  test::WriteFile(p, script);
  fs::permissions(p, fs::perms::owner_all, fs::perm_options::add);
}

// Waits for a file that a child writes.
std::string WaitForFile(const fs::path& p, int ms = 10000) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    std::error_code ec;
    if (fs::exists(p, ec)) {
      QThread::msleep(50);  // let the child finish writing
      return test::ReadFile(p);
    }
    QThread::msleep(20);
  }
  return "<none>";
}

class ShellUtils : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    platform::SetMessageBoxService(boxes);
  }
  void TearDown() override { platform::SetMessageBoxService(nullptr); }
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  test::TempDir dir;
};

}  // namespace

TEST(ExpandEnvVars, Table) {
  Env a("YUXT_ALPHA", "alpha");
  Env big("YUXT_BIG", std::string(4096, 'b'));
  unsetenv("YUXT_UNSET");
  struct Case {
    std::string in, out;
  } const cases[] = {
      {"%YUXT_ALPHA%/Pellmor/YUX", "alpha/Pellmor/YUX"},
      {"%yuxt_alpha%", "alpha"},                      // names without regard to case
      {"%YUXT_UNSET%/x", "%YUXT_UNSET%/x"},          // unset: left as written
      {"100% sure", "100% sure"},
      {"%%", "%%"},
      {"%YUXT_ALPHA%%YUXT_ALPHA%", "alphaalpha"},
      {"%YUXT_BIG%", std::string(4096, 'b')},        // just fits the buffer
      {"%YUXT_BIG%x", "%YUXT_BIG%x"},                // one more: returned unexpanded
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExpandEnvVars(c.in), c.out) << c.in.substr(0, 40);
    EXPECT_EQ(ExpandEnvStr(c.in), c.out);
  }
}

TEST_F(ShellUtils, ExecuteCommandHandsParametersOverAsOneQuotedText) {
  const fs::path prog = dir / "show args";
  MakeExecutable(prog, "#!/bin/sh\nfor a in \"$@\"; do printf '<%s>' \"$a\"; done > \"$0.out\"\n");
  struct Case {
    std::string params, args;
  } const cases[] = {
      {"a b", "<a b>"},
      {"", "<>"},
      {"C:\\dir\\file.txt", "<C:\\dir\\file.txt>"},
      // Quotes inside follow the Windows splitting rules.
      {"x \"y z\"", "<x y><z>"},
      {"say \\\"hi", "<say \"hi>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    fs::remove(dir / "show args.out");
    ASSERT_TRUE(ExecuteCommand(prog.string(), c.params));
    EXPECT_EQ(WaitForFile(dir / "show args.out"), c.args);
  }
  EXPECT_TRUE(boxes->Asked().empty());

  EXPECT_FALSE(ExecuteCommand((dir / "missing").string(), "x"));
  ASSERT_EQ(boxes->Asked().size(), 1u);
  EXPECT_EQ(boxes->Asked()[0].text, "\rCannot execute command.");
}

TEST_F(ShellUtils, HelpTopicsOpenOnlyWhenTheManualExists) {
  const std::string savedProgram = ProgramFolder;
  ProgramFolder = (dir / "program").string();
  fs::create_directories(dir / "bin");
  MakeExecutable(dir / "bin" / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + (dir / "opened").string() + "\"\n");
  Env path("PATH", (dir / "bin").string() + ":" + std::getenv("PATH"));

  // No manual ships: a box says so and names the page looked for.
  EXPECT_FALSE(ShowHelpTopic("configuring_the_scheduler.htm"));
  EXPECT_FALSE(fs::exists(dir / "opened"));
  ASSERT_EQ(boxes->Asked().size(), 1u);
  EXPECT_EQ(boxes->Asked()[0].text, "\rNo user manual is installed: \"" +
                                        (dir / "program" / "manual" / "configuring_the_scheduler.htm").string() +
                                        "\" does not exist.");

  test::WriteFile(dir / "program" / "manual" / "configuring_the_scheduler.htm", "<html></html>");
  EXPECT_TRUE(ShowHelpTopic("configuring_the_scheduler.htm"));
  EXPECT_EQ(WaitForFile(dir / "opened"), HelpTopicPath("configuring_the_scheduler.htm"));
  EXPECT_EQ(boxes->Asked().size(), 1u);
  ProgramFolder = savedProgram;
}

namespace {
// Records the text files the program's own text window was asked to show.
struct TextWindowHooks : DialogHooks {
  SettingsChoice ChooseSettingsFolder() override { return SettingsChoice::NotChosen; }
  void ShowPasswordDialog(const std::string&) override {}
  bool ShowTextFile(const std::string& file) override {
    shown.push_back(file);
    return window;
  }
  bool window = true;
  std::vector<std::string> shown;
};
}  // namespace

TEST_F(ShellUtils, ADocumentTheDesktopCannotOpenIsShownOrNamed) {
  // An opener that fails at once, as xdg-open does where no program is set
  // up for the type; it notes what it was given.
  fs::create_directories(dir / "bin");
  MakeExecutable(dir / "bin" / "xdg-open",
                 "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" + (dir / "opened").string() + "\"\nexit 3\n");
  Env path("PATH", (dir / "bin").string() + ":" + std::getenv("PATH"));
  const fs::path log = dir / "settings" / "winrar.log";
  test::WriteFile(log, "Cannot open C:\\x\r\n");
  const fs::path folder = dir / "backup folder";
  fs::create_directories(folder);
  // The stand-in archiver's archives hold ZIP data under a ".rar" name.
  const fs::path archive = dir / "keeper.rar";
  test::WriteFile(archive, std::string("PK\3\4\24\0\0\0\10\0", 10) + std::string(40, '\0'));
  TextWindowHooks hooks;
  SetDialogHooks(&hooks);
  struct Case {
    const char* what;
    fs::path path;
    bool window;        // the text window can be shown
    bool shownAsText;   // the text window was asked
    std::string box;    // the box after "\r", empty: none
  } const cases[] = {
      {"a text file in the text window", log, true, true, ""},
      {"a text file without a window", log, false, true,
       "The desktop could not open \"" + log.string() + "\" (xdg-open ended with code 3)."},
      {"a folder", folder, true, false,
       "The desktop could not open the folder \"" + folder.string() + "\" (xdg-open ended with code 3)."},
      {"an archive", archive, true, false,
       "The desktop could not open \"" + archive.string() + "\" (xdg-open ended with code 3)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir / "opened");
    hooks.window = c.window;
    hooks.shown.clear();
    const size_t asked = boxes->Asked().size();
    EXPECT_FALSE(ExecuteCommand(c.path.string(), ""));
    EXPECT_EQ(test::ReadFile(dir / "opened"), c.path.string() + "\n");
    EXPECT_EQ(hooks.shown, c.shownAsText ? std::vector<std::string>{c.path.string()} : std::vector<std::string>{});
    if (c.box.empty()) {
      EXPECT_EQ(boxes->Asked().size(), asked);
    } else {
      ASSERT_EQ(boxes->Asked().size(), asked + 1);
      EXPECT_EQ(boxes->Asked().back().text, "\r" + c.box);
    }
  }
  SetDialogHooks(nullptr);
}

TEST_F(ShellUtils, AnOpenerThatSucceedsOrStillRunsHasOpenedTheDocument) {
  fs::create_directories(dir / "bin");
  const fs::path log = dir / "winrar.log";
  test::WriteFile(log, "x\r\n");
  TextWindowHooks hooks;
  SetDialogHooks(&hooks);
  // Ends well at once.
  MakeExecutable(dir / "bin" / "xdg-open", "#!/bin/sh\nexit 0\n");
  {
    Env path("PATH", (dir / "bin").string() + ":" + std::getenv("PATH"));
    EXPECT_TRUE(ExecuteCommand(log.string(), ""));
  }
  // Still running when the watch ends (a viewer that stays open while
  // "hold" is there, at most 30 s), and only then failing: it opened the
  // document.
  const fs::path hold = dir / "hold";
  test::WriteFile(hold, "");
  MakeExecutable(dir / "bin" / "xdg-open",
                 "#!/bin/sh\ntouch \"" + (dir / "started").string() + "\"\ni=0\nwhile [ -e \"" + hold.string() +
                     "\" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\nexit 1\n");
  const int savedGrace = DocumentOpenerGraceMs();
  DocumentOpenerGraceMs() = 1500;
  {
    Env path("PATH", (dir / "bin").string() + ":" + std::getenv("PATH"));
    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(ExecuteCommand(log.string(), ""));
    EXPECT_GE(t.elapsed(), 1500);
  }
  DocumentOpenerGraceMs() = savedGrace;
  EXPECT_NE(WaitForFile(dir / "started"), "<none>");
  fs::remove(hold);
  EXPECT_TRUE(hooks.shown.empty());
  EXPECT_TRUE(boxes->Asked().empty());
  SetDialogHooks(nullptr);
}

TEST_F(ShellUtils, ArchiverSearchIsDepthFirstAndStopsAtTheFirst) {
  const fs::path root = dir / "tree";
  test::WriteFile(root / "0-readme.txt", "x");
  test::WriteFile(root / "a" / "a.txt", "x");
  test::WriteFile(root / "a" / "b" / "WinRAR.exe", "first");
  test::WriteFile(root / "a" / "z" / "winrar", "second");
  test::WriteFile(root / "c" / "WINRAR.EXE", "third");
  EXPECT_EQ(FindWinRarExe(root.string() + "/"), (root / "a" / "b" / "WinRAR.exe").string());

  // The stand-in's name counts, in any case.
  test::WriteFile(dir / "standin" / "sub" / "WinRar", "x");
  EXPECT_EQ(FindWinRarExe((dir / "standin").string()), (dir / "standin" / "sub" / "WinRar").string());

  // Symbolic links are not followed: neither to a folder nor to a file.
  fs::create_directories(dir / "links");
  fs::create_directory_symlink(root / "a", dir / "links" / "to-a");
  fs::create_symlink(root / "c" / "WINRAR.EXE", dir / "links" / "winrar.exe");
  EXPECT_EQ(FindWinRarExe((dir / "links").string()), "");

  // A cancel between files ends the search without a result.
  int asked = 0;
  EXPECT_EQ(FindWinRarExe(root.string(), [&] { return ++asked >= 1; }), "");
  EXPECT_EQ(asked, 1);

  // The kernel's trees are never searched.
  EXPECT_EQ(FindWinRarExe("/proc"), "");
  EXPECT_EQ(FindWinRarExe((dir / "missing").string()), "");
}

TEST_F(ShellUtils, ShortcutsAreDesktopEntries) {
  const fs::path link = dir / "Desktop" / "Daily backup.lnk";
  ASSERT_TRUE(RunSmHelper("\"/opt/yux/yux\" \"" + link.string() + "\" \"Daily backup\""));
  const std::string entry = test::ReadFile(dir / "Desktop" / "Daily backup.desktop");
  EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(entry.find("Type=Application\n"), std::string::npos);
  EXPECT_NE(entry.find("Name=Daily backup\n"), std::string::npos);
  EXPECT_NE(entry.find("Exec=/opt/yux/yux \"Daily backup\"\n"), std::string::npos) << entry;
  EXPECT_FALSE(fs::exists(link));

  // Without a link file there is nothing to make.
  for (const std::string bad : {"", "\"/opt/yux/yux\""}) {
    EXPECT_FALSE(RunSmHelper(bad));
  }
  ASSERT_EQ(boxes->Asked().size(), 2u);
  EXPECT_EQ(boxes->Asked()[0].text, "\rCannot find \"sm.exe\". Please reinstall the application.");
}

TEST_F(ShellUtils, CopyFileBlocksCopiesEveryByte) {
  for (size_t size : {0u, 1u, 2047u, 2048u, 4096u, 5000u}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + 3);
    const fs::path src = dir / ("src" + std::to_string(size));
    const fs::path dst = dir / "new" / "folder" / ("dst" + std::to_string(size));
    test::WriteFile(src, data);
    ASSERT_TRUE(CopyFileBlocks(src.string(), dst.string()));
    EXPECT_EQ(test::ReadFile(dst), data);
  }
  EXPECT_FALSE(CopyFileBlocks((dir / "missing").string(), (dir / "out").string()));
  EXPECT_FALSE(CopyFileBlocks(dir.str(), (dir / "out2").string()));
  // A target that cannot be created.
  test::WriteFile(dir / "plain", "x");
  EXPECT_FALSE(CopyFileBlocks((dir / "src1").string(), (dir / "plain" / "sub" / "t").string()));
}

TEST_F(ShellUtils, CopyFileBlocksRefusesACopyOntoItselfAndKeepsTheTargetOnFailure) {
  const std::string data = "BM" + std::string(3000, 'p');
  const fs::path pics = dir / "pics";
  fs::create_directories(pics);
  const fs::path file = pics / "picture.bmp";
  test::WriteFile(file, data);
  fs::create_symlink(file, pics / "link.bmp");
  fs::create_hard_link(file, pics / "hard.bmp");
  for (const fs::path& other : {file, pics / "link.bmp", pics / "hard.bmp", pics / "." / "picture.bmp"}) {
    SCOPED_TRACE(other.string());
    EXPECT_FALSE(CopyFileBlocks(other.string(), file.string()));
    EXPECT_FALSE(CopyFileBlocks(file.string(), other.string()));
    EXPECT_EQ(test::ReadFile(file), data);
  }
  // A source that cannot be read leaves the target as it was.
  EXPECT_FALSE(CopyFileBlocks((pics / "missing").string(), file.string()));
  EXPECT_EQ(test::ReadFile(file), data);
  // A complete copy replaces the target; nothing else is left in the folder.
  test::WriteFile(pics / "new.bmp", "BMnew");
  ASSERT_TRUE(CopyFileBlocks((pics / "new.bmp").string(), file.string()));
  EXPECT_EQ(test::ReadFile(file), "BMnew");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(pics)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"hard.bmp", "link.bmp", "new.bmp", "picture.bmp"}));
}

TEST_F(ShellUtils, FileSizesAndLibraryFunctions) {
  test::WriteFile(dir / "a.bin", std::string(3000, 'x'));
  EXPECT_EQ(GetFilesSize((dir / "a.bin").string()), 3000);
  EXPECT_EQ(GetFilesSize((dir / "*.bin").string()), 3000);
  EXPECT_EQ(GetFilesSize((dir / "*.none").string()), 0);

  EXPECT_NE(GetProcFromLibrary("libc.so.6", "strlen"), nullptr);
  EXPECT_EQ(GetProcFromLibrary("libc.so.6", "no_such_function_here"), nullptr);
  EXPECT_EQ(GetProcFromLibrary("libno-such-library.so", "strlen"), nullptr);
}
