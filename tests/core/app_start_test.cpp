// Starts the real program against a settings folder and ends it the way a
// desktop session does.
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include "core/folders.h"
#include "core/options.h"
#include "tests/support/testsupport.h"

using namespace yux;

TEST(Program, KeepsItsOptionsAcrossATerminatedRun) {
  test::TempDir home;
  SettingsFolder = home.str();
  // Written by an earlier run: one damaged line among good ones.
  test::WriteFile(OptionsFilePath(), ScrambleText("ver 0") + "\r\n" + ScrambleText("lsz 33") +
                                         "\r\nnot-a-line\r\n" + ScrambleText("pwi /x y/winrar") + "\r\n");

  QProcess yux;
  auto env = QProcessEnvironment::systemEnvironment();
  env.insert("YUX_HOME", QString::fromStdString(home.str()));
  env.insert("QT_QPA_PLATFORM", "offscreen");
  yux.setProcessEnvironment(env);
  yux.start(QString::fromStdString(test::BuiltProgram("yux").string()), {});
  ASSERT_TRUE(yux.waitForStarted(10000));
  // Give it time to load and show its window, then end the session.
  yux.waitForFinished(1500);
  ASSERT_EQ(yux.state(), QProcess::Running) << yux.readAllStandardError().toStdString();
  yux.terminate();
  ASSERT_TRUE(yux.waitForFinished(20000));
  EXPECT_EQ(yux.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(yux.exitCode(), 0) << yux.readAllStandardError().toStdString();
  // The damage was reported on standard error, not silently dropped.
  EXPECT_NE(yux.readAllStandardError().toStdString().find("damaged"), std::string::npos);

  topt o;
  LoadOptions(o);
  EXPECT_EQ(o.lsz, 33);
  EXPECT_EQ(o.pwi, "/x y/winrar");
  // Saved whole: every line of the rewritten file reads back.
  const std::string raw = test::ReadFile(OptionsFilePath());
  EXPECT_EQ(raw.find("not-a-line"), std::string::npos);
}
