// The archiver locator: a chosen program, a search of a folder tree, a
// search cancelled while it runs, and the start-up that opens it.
#include "dialogs/locatorform.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "core/services/startup.h"
#include "core/store/folders.h"
#include "tests/core/program_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

class LocatorHooks : public FakeHooks {
 public:
  std::string LocateArchiver() override {
    ++asked;
    return located;
  }
  std::string located;
  int asked = 0;
};

class Locator : public ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
  }
  void TearDown() override {
    LocatedWinRarPath.clear();
    LocatorCancel = false;
    ProgramTest::TearDown();
  }
  static void Executable(const fs::path& p) {
    fs::create_directories(p.parent_path());
    WriteFile(p, "#!/bin/sh\n");
    fs::permissions(p, fs::perms::owner_all);
  }
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  LocatorHooks hooks;
  TempDir tree;
};

TEST_F(Locator, OkTakesOnlyAnExecutableFile) {
  Executable(tree / "bin" / "rar5");
  WriteFile(tree / "notes.txt", "x");
  struct Case {
    std::string path;
    bool accepted;
  } const cases[] = {
      {"", false},
      {(tree / "notes.txt").string(), false},
      {(tree / "bin").string(), false},
      {(tree / "missing").string(), false},
      {(tree / "bin" / "rar5").string(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    platform::SetMessageBoxService(boxes);
    TForm12 form;
    EXPECT_EQ(form.windowTitle().toStdString(), "Please specify WinRAR.exe location:");
    form.Edit1->setText(QString::fromStdString(c.path));
    form.bok->click();
    EXPECT_EQ(form.result(), c.accepted ? QDialog::Accepted : 0);
    EXPECT_EQ(LocatedWinRarPath, c.accepted ? c.path : "");
    const auto asked = boxes->Asked();
    ASSERT_EQ(asked.size(), c.accepted ? 0u : 1u);
    if (!c.accepted) {
      EXPECT_EQ(asked[0].text, "Wrong WinRAR.exe selection!");
    }
  }
  TForm12 later;
  LocatedWinRarPath = "old";
  emit later.Label2->linkActivated("later");
  EXPECT_EQ(LocatedWinRarPath, "");
  EXPECT_EQ(later.result(), QDialog::Rejected);
}

TEST_F(Locator, SearchFindsTheArchiverDeepInATree) {
  for (int i = 0; i < 20; ++i) WriteFile(tree / "a" / ("f" + std::to_string(i)), "x");
  Executable(tree / "b" / "c" / "WinRAR.EXE");
  TForm12 form;
  form.searchRoot = tree.str();
  form.bsearch->click();
  EXPECT_EQ(LocatedWinRarPath, (tree / "b" / "c" / "WinRAR.EXE").string());
  EXPECT_EQ(form.Label1->text().toStdString(), LocatedWinRarPath);
  EXPECT_EQ(form.bsearch->text().toStdString(), "Done");
  EXPECT_EQ(form.result(), 1);

  TempDir empty;
  TForm12 none;
  none.searchRoot = empty.str();
  none.bsearch->click();
  EXPECT_EQ(LocatedWinRarPath, "");
  EXPECT_EQ(none.Label1->text().toStdString(), "WinRAR.exe not found.");
}

TEST_F(Locator, APressDuringTheSearchCancelsIt) {
  for (int i = 0; i < 200; ++i) WriteFile(tree / ("f" + std::to_string(1000 + i)), "x");
  Executable(tree / "z" / "winrar.exe");
  TForm12 form;
  form.searchRoot = tree.str();
  QString labelDuringSearch;
  QTimer::singleShot(0, &form, [&] {
    labelDuringSearch = form.Label1->text();
    EXPECT_EQ(form.bsearch->text().toStdString(), "Cancel");
    form.bsearch->click();
  });
  form.bsearch->click();
  EXPECT_EQ(labelDuringSearch.toStdString(), "Please wait...");
  EXPECT_TRUE(LocatorCancel);
  EXPECT_EQ(LocatedWinRarPath, "");
  EXPECT_EQ(form.Label1->text().toStdString(), "WinRAR.exe not found.");
}

TEST_F(Locator, StartUpWithoutAnArchiverUsesTheLocatedOne) {
  TempDir program;
  ProgramFolder = program.str();
  for (const std::string located : {"/opt/rar/rar", ""}) {
    SCOPED_TRACE(located);
    fs::remove(settings / "yux.log");
    hooks.located = located;
    hooks.asked = 0;
    Options.pwi = "/no/such/WinRAR.exe";
    SetUpArchiverPath();
    EXPECT_EQ(hooks.asked, 1);
    const std::string log = ReadFile(settings / "yux.log");
    if (!located.empty()) {
      EXPECT_EQ(WinRarPath, located);
      EXPECT_EQ(Options.pwi, located);
      EXPECT_NE(log.find("WinRAR path has been set to \"/opt/rar/rar\"."), std::string::npos) << log;
    } else {
      EXPECT_EQ(WinRarPath, "/no/such/WinRAR.exe");
      EXPECT_NE(log.find("WinRAR has not been found. Please specify its path manually [!]"), std::string::npos)
          << log;
    }
  }
  ProgramFolder.clear();
}

}  // namespace
