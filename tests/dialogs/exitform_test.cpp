// The exit countdown on its own (ticks driven by the test), the close query
// that shows it, and what happens where no window can be seen.
#include "dialogs/exitform.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

#include "core/window/mainform.h"
#include "core/window/tray.h"
#include "dialogs/dialoghooksimpl.h"
#include "tests/core/program_fixture.h"

using namespace yux;
using namespace yux::test;

namespace {

// Scripted answers, and a run that may start while the countdown is shown.
class CountdownHooks : public FakeHooks {
 public:
  int ShowExitCountdown() override {
    ++countdowns;
    if (runStarts) RunActive = true;
    return result;
  }
  int result = kCountdownTimedOut;
  int countdowns = 0;
  bool runStarts = false;
};

class ExitCountdown : public ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
    SetSystemTrayProbe([this] { return tray; });
  }
  void TearDown() override {
    SetSystemTrayProbe(nullptr);
    ProgramTest::TearDown();
  }
  bool tray = true;
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  CountdownHooks hooks;
};

TEST_F(ExitCountdown, CountsDownEachSecondAndRunsOutWithOne) {
  TForm9 form;
  EXPECT_EQ(form.windowTitle().toStdString(), "YUX - Exit");
  EXPECT_EQ(form.Label1->text().toStdString(), "YUX automatization will become inactive. Really exit?");
  EXPECT_TRUE(form.Timer1->isActive());
  EXPECT_EQ(form.Timer1->interval(), 1000);
  form.Timer1Timer();
  EXPECT_EQ(form.Label2->text().toStdString(), "YUX will automatically exit in 14 seconds.");
  for (int i = 0; i < 13; ++i) form.Timer1Timer();
  EXPECT_EQ(form.Label2->text().toStdString(), "YUX will automatically exit in 1 seconds.");
  EXPECT_EQ(form.result(), 0);
  form.Timer1Timer();
  EXPECT_EQ(form.result(), 1);
  EXPECT_FALSE(form.Timer1->isActive());
}

TEST_F(ExitCountdown, ButtonsAndEscGiveTheirResultsAndStopTheTimer) {
  struct Case {
    const char* what;
    std::function<void(TForm9&)> act;
    int result;
  } const cases[] = {
      {"exit", [](TForm9& f) { f.BitBtn1->click(); }, 2},
      {"hide", [](TForm9& f) { f.BitBtn2->click(); }, 4},
      {"cancel", [](TForm9& f) { f.BitBtn3->click(); }, 3},
      {"esc",
       [](TForm9& f) {
         QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
         QCoreApplication::sendEvent(&f, &esc);
       },
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TForm9 form;
    form.Timer1Timer();
    c.act(form);
    EXPECT_EQ(form.result(), c.result);
    EXPECT_FALSE(form.Timer1->isActive());
  }
}

TEST_F(ExitCountdown, HidingToTheTrayIsOfferedOnlyWhereThereIsATray) {
  for (bool available : {true, false}) {
    SCOPED_TRACE(available ? "a tray" : "no tray");
    tray = available;
    TForm9 form;
    form.show();
    EXPECT_EQ(form.BitBtn2->isVisible(), available);
    EXPECT_TRUE(form.BitBtn1->isVisible());
    EXPECT_TRUE(form.BitBtn3->isVisible());
  }
}

TEST_F(ExitCountdown, TheCloseQueryActsOnTheCountdown) {
  struct Case {
    const char* what;
    bool second, forced, dec, runStarts;
    int result;
    bool asked, allowed, hidden;
    bool tray = true;
    bool minimized = false;
  } const cases[] = {
      {"second instance", true, false, false, false, 3, false, true, false},
      {"forced close", false, true, false, false, 3, false, true, false},
      {"countdown disabled", false, false, true, false, 3, false, true, false},
      {"timed out", false, false, false, false, 1, true, true, false},
      {"exit", false, false, false, false, 2, true, true, false},
      {"cancel", false, false, false, false, 3, true, false, false},
      {"hide", false, false, false, false, 4, true, false, true},
      // Nothing would show the window again: it is minimised instead.
      {"hide without a tray", false, false, false, false, 4, true, false, false, false, true},
      {"a run started meanwhile", false, false, false, true, 1, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tray = c.tray;
    TForm1 form;
    form.CreateIcon();
    form.show();
    hooks.countdowns = 0;
    hooks.result = c.result;
    hooks.runStarts = c.runStarts;
    RunActive = false;
    SecondInstance = c.second;
    ForcedClose = c.forced;
    Options.dec = c.dec;
    EXPECT_EQ(form.FormCloseQuery(), c.allowed);
    EXPECT_EQ(hooks.countdowns, c.asked ? 1 : 0);
    EXPECT_EQ(form.isVisible(), !c.hidden);
    EXPECT_EQ(form.isMinimized(), c.minimized);
    RunActive = false;
    SecondInstance = false;
    ForcedClose = false;
  }
}

TEST_F(ExitCountdown, WithoutAWindowTheCountdownIsSkippedAndTheLocatorAnswersLater) {
  WidgetDialogHooks widgets;
  ASSERT_TRUE(platform::IsHeadless());
  testing::internal::CaptureStderr();
  EXPECT_EQ(widgets.ShowExitCountdown(), DialogHooks::kCountdownTimedOut);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("exit countdown is skipped"), std::string::npos) << err;
  EXPECT_EQ(widgets.LocateArchiver(), "");
}

}  // namespace
