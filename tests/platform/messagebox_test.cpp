#include "platform/messagebox.h"
#include "tests/platform/scoped_env.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

using namespace yux::platform;
using yux::test::ScopedEnv;

TEST(MessageBox, DefaultAnswers) {
  struct Case {
    UINT type;
    int answer;
  } cases[] = {
      {MB_OK, IDOK},
      {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
      {MB_YESNO | MB_ICONQUESTION, IDYES},
      {MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, IDNO},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, IDRETRY},
      {MB_RETRYCANCEL, IDRETRY},
      {MB_YESNO | MB_DEFBUTTON4, IDYES},  // no fourth button: the first
  };
  for (const auto& c : cases) EXPECT_EQ((MessageBoxRequest{"t", "c", c.type}.DefaultAnswer()), c.answer) << c.type;
}

TEST(MessageBox, HeadlessBoxWritesToStandardErrorAndTakesTheDefault) {
  // The test program has no display and no widget application.
  ScopedEnv qpa("QT_QPA_PLATFORM", "offscreen");
  EXPECT_TRUE(IsHeadless());
  SetMessageBoxService(nullptr);
  testing::internal::CaptureStderr();
  int answer = MessageBox("\rIncorrect password.", "YUX", MB_YESNO | MB_ICONERROR | MB_DEFBUTTON2);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer, IDNO);
  EXPECT_EQ(err, "YUX: Incorrect password.\n");
}

TEST(MessageBox, ScriptedAnswersAndRecordedQuestions) {
  auto scripted = std::make_shared<ScriptedMessageBoxService>();
  scripted->Answer(IDRETRY);
  SetMessageBoxService(scripted);
  EXPECT_EQ(MessageBox("Exit?", "YUX", MB_ABORTRETRYIGNORE), IDRETRY);
  EXPECT_EQ(MessageBox("Sure?", "Q", MB_YESNO | MB_DEFBUTTON2), IDNO);  // script used up: default
  SetMessageBoxService(nullptr);
  auto asked = scripted->Asked();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].text, "Exit?");
  EXPECT_EQ(asked[0].Buttons(), MB_ABORTRETRYIGNORE);
  EXPECT_EQ(asked[1].caption, "Q");
}

TEST(MessageBox, HeadlessDetection) {
  struct Case {
    std::optional<std::string> qpa, display, wayland;
    bool headless;
  } cases[] = {
      {std::nullopt, std::nullopt, std::nullopt, true},
      {"offscreen", ":0", std::nullopt, true},
      {"minimal", ":0", std::nullopt, true},
      // A display, but this test program has no widget application.
      {"xcb", ":0", std::nullopt, true},
  };
  for (const auto& c : cases) {
    ScopedEnv q("QT_QPA_PLATFORM", c.qpa), d("DISPLAY", c.display), w("WAYLAND_DISPLAY", c.wayland);
    EXPECT_EQ(IsHeadless(), c.headless);
  }
}
