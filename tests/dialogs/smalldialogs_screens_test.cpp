// The about box on its own, and every small dialog drawn offscreen and
// saved to build/screens/ for review.
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "core/mainform.h"
#include "dialogs/aboutform.h"
#include "dialogs/duplicateform.h"
#include "dialogs/exitform.h"
#include "dialogs/locatorform.h"
#include "dialogs/shortcutform.h"
#include "tests/core/program_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

class SmallDialogs : public ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
  }
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  FakeHooks hooks;
};

TEST_F(SmallDialogs, TheAboutBoxShowsTheVersionAndClosesOnEveryWay) {
  TForm6 about;
  EXPECT_EQ(about.size(), QSize(479, 359));
  EXPECT_TRUE(about.windowFlags() & Qt::FramelessWindowHint);
  const std::string text = about.softinfo->text().toStdString();
  EXPECT_EQ(text.rfind("Yux for WinRAR\nVer. " + std::string(kVersionText) + " (", 0), 0u) << text;
  EXPECT_TRUE(about.bclose->isEnabled());
  EXPECT_EQ(about.bclose->toolTip().toStdString(), "Close this window");
  about.bclose->click();
  EXPECT_EQ(about.result(), QDialog::Accepted);

  TForm6 byMenu;
  byMenu.PopupMenu1->actions().at(0)->trigger();
  EXPECT_EQ(byMenu.result(), QDialog::Accepted);

  TForm6 byEsc;
  byEsc.show();
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(&byEsc, &esc);
  EXPECT_FALSE(byEsc.isVisible());

  // The main window's about entry opens it.
  TForm1 form;
  int opened = 0;
  form.OnAboutDialog = [&] { ++opened; };
  form.ShowAbout();
  EXPECT_EQ(opened, 1);
  EXPECT_TRUE(boxes->Asked().empty());
}

TEST_F(SmallDialogs, Screenshots) {
  const fs::path screens = BuildDir() / "screens";
  fs::create_directories(screens);
  auto save = [&](QWidget& w, const char* name) {
    w.show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.grab().save(QString::fromStdString((screens / name).string()))) << name;
  };
  DuplicateMode = 0;
  TForm8 duplicate("Daily backup");
  duplicate.Edit2->setText("Daily backup 2");
  save(duplicate, "duplicate_preset.png");
  DuplicateMode = 1;
  TForm8 rename("Daily backup");
  save(rename, "rename_preset.png");
  DuplicateMode = 0;
  TForm9 countdown;
  countdown.Timer1->stop();
  countdown.Timer1Timer();
  save(countdown, "exit_countdown.png");
  TForm10 shortcut({"Daily backup", "Weekly"}, "Weekly", nullptr);
  shortcut.Button1->click();
  save(shortcut, "create_shortcut.png");
  TForm12 locator;
  save(locator, "archiver_locator.png");
  TForm6 about;
  save(about, "about.png");
}

}  // namespace
