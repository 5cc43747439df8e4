// The real program on a real X server (Xvfb) with a window manager
// (openbox) and no tray, as a desktop without a panel has it: started with
// "/hide" it cannot hide to a tray, so its window starts minimised and a
// second start with "/SHOW" brings it back.
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "core/store/appnames.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;

namespace {

// An X server on a display number it chooses itself (a free one), with
// openbox managing its windows; both end with the object.
class XDesktop {
 public:
  ~XDesktop() {
    for (QProcess* p : {&openbox_, &xvfb_}) {
      if (p->state() == QProcess::NotRunning) continue;
      p->terminate();
      if (!p->waitForFinished(5000)) p->kill();
      p->waitForFinished(5000);
    }
  }
  // Empty when it could not be started; `error` then says why.
  std::string Start() {
    xvfb_.setProgram(QString::fromStdString(test::FindProgram("Xvfb")));
    xvfb_.setArguments({"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
    xvfb_.start();
    if (!xvfb_.waitForStarted(10000)) return error_ = "Xvfb does not start";
    std::string number;
    QElapsedTimer t;
    t.start();
    while (number.find('\n') == std::string::npos && t.elapsed() < 20000) {
      xvfb_.waitForReadyRead(200);
      number += xvfb_.readAllStandardOutput().toStdString();
      if (xvfb_.state() == QProcess::NotRunning) break;
    }
    if (number.find('\n') == std::string::npos) return error_ = "Xvfb names no display: " + Err(xvfb_);
    display_ = ":" + number.substr(0, number.find('\n'));

    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", QString::fromStdString(display_));
    openbox_.setProcessEnvironment(env);
    openbox_.setProgram(QString::fromStdString(test::FindProgram("openbox")));
    openbox_.start();
    if (!openbox_.waitForStarted(10000)) return error_ = "openbox does not start";
    // The window manager has taken over once it names itself on the root.
    if (!Await({"-root", "_NET_SUPPORTING_WM_CHECK"}, "window id")) return error_ = "openbox does not manage the display";
    return {};
  }
  const std::string& Display() const { return display_; }

  // xprop's answer on this display.
  std::string Xprop(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{test::FindProgram("xprop"), "-display", display_};
    argv.insert(argv.end(), args.begin(), args.end());
    const test::ProcessResult r = test::RunProgram(argv, {}, 20000);
    return r.out + r.err;
  }
  // Waits until xprop's answer holds `text`; the last answer in `last`.
  bool Await(const std::vector<std::string>& args, const std::string& text, std::string* last = nullptr,
             int ms = 30000) const {
    QElapsedTimer t;
    t.start();
    std::string answer;
    while (t.elapsed() < ms) {
      answer = Xprop(args);
      if (answer.find(text) != std::string::npos) break;
      QThread::msleep(100);
    }
    if (last) *last = answer;
    return answer.find(text) != std::string::npos;
  }

 private:
  static std::string Err(QProcess& p) { return p.readAllStandardError().toStdString(); }
  QProcess xvfb_, openbox_;  // openbox ends first
  std::string display_, error_;
};

}  // namespace

TEST(HiddenStart, WithoutATrayTheWindowStartsMinimisedAndShowBringsItBack) {
  YUX_REQUIRE_PROGRAM("Xvfb");
  YUX_REQUIRE_PROGRAM("openbox");
  YUX_REQUIRE_PROGRAM("xprop");
  XDesktop desktop;
  const std::string error = desktop.Start();
  ASSERT_EQ(error, "");

  test::YuxWorld world;
  world.UseSettingsFolder();
  // On a real display Qt's platform plugin loads libraries whose own leaks
  // the sanitizer is told about.
  const std::string suppressions = "suppressions=" + (test::SourceDir() / "tests" / "lsan.supp").string();
  QProcessEnvironment env = world.Env();
  env.insert("DISPLAY", QString::fromStdString(desktop.Display()));
  env.insert("QT_QPA_PLATFORM", "xcb");
  env.insert("LSAN_OPTIONS", QString::fromStdString(suppressions));
  test::RunningYux yux(world, {"/hide"}, &env);
  const std::vector<std::string> state{"-name", kApplicationTitle, "WM_STATE"};
  std::string answer;
  // The window exists, minimised (not withdrawn, which leaves nothing to
  // click where there is no tray).
  EXPECT_TRUE(desktop.Await(state, "window state: Iconic", &answer)) << answer << yux.Err();

  // A second start with "/SHOW" hands it to the first, which shows its
  // window.
  std::map<std::string, std::string> second = world.EnvMap();
  second["DISPLAY"] = desktop.Display();
  second["QT_QPA_PLATFORM"] = "xcb";
  second["LSAN_OPTIONS"] = suppressions;
  const test::ProcessResult shown = test::RunProgram({test::BuiltProgram("yux").string(), "/SHOW"}, second, 60000);
  EXPECT_EQ(shown.exitCode, 0) << shown.err;
  EXPECT_TRUE(desktop.Await(state, "window state: Normal", &answer)) << answer << yux.Err();
  EXPECT_TRUE(yux.EndSession());
}
