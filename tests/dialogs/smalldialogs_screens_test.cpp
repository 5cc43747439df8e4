// The about box on its own, and every small dialog drawn offscreen and
// saved to build/screens/ for review.
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "core/window/mainform.h"
#include "dialogs/aboutform.h"
#include "dialogs/duplicateform.h"
#include "dialogs/exitform.h"
#include "dialogs/locatorform.h"
#include "dialogs/shortcutform.h"
#include "dialogs/smalldialogs.h"
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

// The splash the main window shows; nothing when none is shown.
TForm6* ShownSplash() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* about = qobject_cast<TForm6*>(w); about && about->isVisible()) return about;
  return nullptr;
}

TEST_F(SmallDialogs, AtStartTheAboutBoxIsTheSplashWhileTheMainWindowsTimerRuns) {
  for (const char* name : {"Daily backup", "Weekly"}) {
    WriteFile(settings / "presets" / (std::string(name) + ".pst"), "");
    WriteFile(settings / "presets" / (std::string(name) + ".inc"), "");
    WriteFile(settings / "presets" / (std::string(name) + ".exc"), "");
  }
  PresetsFolder = (settings / "presets").string();
  TForm1 form;
  InstallSmallDialogs(form);
  form.LoadPresetList();
  form.AppendLine("[2026.12.10 08:00:00] YUX started, loading settings. (v.3.00 beta 4 [2013.03.10]).");
  form.AppendLine("[2026.12.10 08:00:01] YUX is ready now.");
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  form.setGeometry(QRect(QPoint(0, 0), QSize(640, 480)).translated(screen.center() - QPoint(320, 240)));
  form.show();
  EXPECT_EQ(form.splashtimer->interval(), 3000);
  EXPECT_TRUE(form.splashtimer->isSingleShot());

  // Closed before its time: the close button cannot do it, Esc can, and
  // that stops the timer.
  form.ShowSplash();
  QPointer<TForm6> splash = ShownSplash();
  ASSERT_TRUE(splash);
  EXPECT_TRUE(form.splashtimer->isActive());
  EXPECT_FALSE(splash->bclose->isEnabled());
  EXPECT_FALSE(splash->isModal()) << "the program goes on under the splash";
  splash->bclose->click();
  EXPECT_TRUE(splash->isVisible());

  QCoreApplication::processEvents();
  const fs::path screens = BuildDir() / "screens";
  fs::create_directories(screens);
  QPixmap shot = form.grab();
  {
    QPainter painter(&shot);
    painter.drawPixmap(splash->geometry().topLeft() - form.geometry().topLeft(), splash->grab());
  }
  EXPECT_TRUE(shot.save(QString::fromStdString((screens / "splash.png").string())));

  ASSERT_TRUE(splash->isVisible());
  ASSERT_TRUE(form.splashtimer->isActive());
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(splash, &esc);
  EXPECT_FALSE(form.splashtimer->isActive());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(splash) << "the splash goes away with its window";

  // Left alone it stays for the timer's three seconds, then closes.
  QElapsedTimer waited;
  waited.start();
  form.ShowSplash();
  splash = ShownSplash();
  ASSERT_TRUE(splash);
  while (splash && splash->isVisible() && waited.elapsed() < 20000) {
    QApplication::processEvents();
    QThread::msleep(10);
  }
  EXPECT_TRUE(!splash || !splash->isVisible());
  EXPECT_GE(waited.elapsed(), 2800);
  EXPECT_FALSE(form.splashtimer->isActive());

  // Afterwards the about box closes with its button again.
  form.OnAboutDialog = [&form] {
    TForm6 about(form.splashtimer, &form);
    EXPECT_TRUE(about.bclose->isEnabled());
  };
  form.ShowAbout();
  PresetsFolder.clear();
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
