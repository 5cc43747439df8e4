// What the desktop's opener cannot open: with an xdg-open that fails at
// once, as it does where no program is set up for the type, "View WinRAR
// log" shows the log in the program's own text window, read-only, and the
// restore window's folder link names the folder in a box; the folder a
// restore has just filled is only noted in the program log.
#include <QAction>
#include <QPlainTextEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "core/run/deliveryhistory.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/presets.h"
#include "core/window/mainform.h"
#include "dialogs/restoreform.h"
#include "dialogs/texteditorform.h"
#include "tests/dialogs/presetform_fixture.h"
#include "tests/dialogs/restore_fixture.h"
#include "tests/platform/scoped_env.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

// The text window as the installed dialogs show it where a window can be
// seen (these tests run offscreen, where the installed ones name the file).
struct TextWindowHooks : test::FakeHooks {
  bool ShowTextFile(const std::string& file) override {
    ShowTextFileReadOnly(file);
    return true;
  }
};

// The restore window's surroundings (settings folder, presets, a work
// folder) with the text window installed and a failing opener.
class DesktopOpen : public test::RestoreTest {
 protected:
  void SetUp() override {
    test::RestoreTest::SetUp();
    SetDialogHooks(&textHooks);
    // First on PATH: an opener that notes what it was given and fails.
    test::WriteFile(work / "bin" / "xdg-open",
                    "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" + (work / "opened").string() + "\"\nexit 1\n");
    fs::permissions(work / "bin" / "xdg-open", fs::perms::owner_all, fs::perm_options::add);
    path.emplace("PATH", (work / "bin").string() + ":" + std::getenv("PATH"));
  }
  void TearDown() override {
    path.reset();
    test::RestoreTest::TearDown();
  }
  std::string Opened() const { return test::ReadFile(work / "opened"); }
  TextWindowHooks textHooks;
  std::optional<test::ScopedEnv> path;
};

}  // namespace

TEST_F(DesktopOpen, ViewWinRarLogShowsTheLogReadOnlyInTheTextWindow) {
  const fs::path log = settings / "winrar.log";
  const std::string text = "Cannot open /home/me/x.doc\r\nError 1\r\n";
  test::WriteFile(log, text);
  TForm1 form;
  bool shown = false;
  test::WhenShown<TTextEditorForm>([&](TTextEditorForm* viewer) {
    shown = true;
    EXPECT_EQ(viewer->memo->toPlainText().toStdString(), "Cannot open /home/me/x.doc\nError 1\n");
    EXPECT_TRUE(viewer->memo->isReadOnly());
    EXPECT_FALSE(viewer->bsave->isVisible());
    viewer->bclose->click();
  });
  form.findChild<QAction*>("ViewWinRARlog1")->trigger();
  EXPECT_TRUE(shown);
  EXPECT_EQ(Opened(), log.string() + "\n");
  EXPECT_TRUE(boxes->Asked().empty());
  EXPECT_EQ(test::ReadFile(log), text);
}

TEST_F(DesktopOpen, TheRestoreWindowsFolderLinkNamesAFolderItCannotOpen) {
  const fs::path folder = work / "backup folder";
  fs::create_directories(folder);
  tarcopt preset;
  SetPresetDefaults(preset);
  preset.nam = "P";
  preset.dir = folder.string();
  ASSERT_TRUE(SavePreset("P", preset));
  Trestoreform f("P");
  f.openfolder->click();
  EXPECT_EQ(Opened(), folder.string() + "\n");
  ASSERT_EQ(boxes->Asked().size(), 1u);
  EXPECT_EQ(boxes->Asked()[0].text,
            "\rThe desktop could not open the folder \"" + folder.string() + "\" (xdg-open ended with code 1).");
}

// After a restore that worked, opening its folder is a courtesy: where the
// desktop cannot (its opener fails, or there is none), the restore still
// ends on its own notice and the program log says why no folder came up.
TEST_F(DesktopOpen, ARestoreThatWorkedEndsOnItsNoticeWhenTheDesktopCannotShowTheFolder) {
  WinRarPath = test::BuiltProgram("winrar").string();
  test::WriteFile(work / "src" / "a.txt", "alpha");
  fs::create_directories(work / "dest");
  const std::string archive = (work / "dest" / "P.rar").string();
  test::ProcessResult made =
      test::RunProgram({WinRarPath, "a", "-ep1", "-r", "-ibck", archive, (work / "src").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  tarcopt preset;
  SetPresetDefaults(preset);
  ASSERT_TRUE(SavePreset("P", preset));
  AddHistoryLine("P", kHistoryCopy, archive);
  fs::create_directories(work / "empty bin");

  struct Case {
    const char* what;
    bool opener;  // a failing xdg-open on PATH, or none at all
    std::string reason;
  } cases[] = {
      {"the opener fails", true, "xdg-open ended with code 1"},
      {"no opener", false, "no xdg-open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.opener) path.emplace("PATH", (work / "empty bin").string());
    const fs::path to = work / (std::string("to ") + c.what);
    fs::create_directories(to);
    fs::remove(work / "opened");
    fs::remove(settings / "yux.log");
    const size_t boxesBefore = boxes->Asked().size();
    Trestoreform f("P");
    ASSERT_TRUE(f.LoadRestoreHistory());
    f.chooseFolder = [&] { return to.string(); };
    f.histlistDblClick(Row(f, archive));
    const fs::path restored = to / "P";
    EXPECT_EQ(test::ReadFile(restored / "src" / "a.txt"), "alpha");
    EXPECT_EQ(Opened(), c.opener ? restored.string() + "\n" : "");
    const auto asked = boxes->Asked();
    ASSERT_EQ(asked.size(), boxesBefore + 1);
    EXPECT_EQ(asked.back().text, "\rThe archive was restored to " + restored.string());
    const std::string log = test::ReadFile(settings / "yux.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("\"" + restored.string() + "\""), std::string::npos) << log;
    EXPECT_NE(log.find(c.reason), std::string::npos) << log;
    EXPECT_EQ(log.find("[!]"), std::string::npos) << log;
  }
}
