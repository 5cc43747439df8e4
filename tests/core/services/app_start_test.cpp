// Starts the real program: first and second instances, the messenger of the
// file manager's bin verbs, the settings folder, and the end of the session.
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include <stdlib.h>
#include <sys/stat.h>

#include "core/run/sourcedelete.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/window/mainform.h"
#include "platform/broadcast.h"
#include "platform/namedobjects.h"
#include "platform/safefile.h"
#include "tests/core/yux_process.h"
#include "tests/peers/ftppeers.h"
#include "tests/peers/smtppeers.h"
#include "tests/peers/sslfixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

using test::YuxWorld;
using test::RunningYux;
using test::WaitForText;
using test::Lines;
using test::LogTexts;
using test::CountOf;

TEST(Program, FirstStartTakesTheDefaultFolderAndLaterStartsFindIt) {
  YuxWorld world;
  const fs::path log = fs::path(world.DefaultFolder()) / "yux.log";
  {
    RunningYux yux(world);
    ASSERT_TRUE(WaitForText(log, "YUX is ready now.")) << yux.Err();
    ASSERT_TRUE(yux.EndSession(20000));
    EXPECT_EQ(yux.proc().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(yux.proc().exitCode(), 0) << yux.Err();
  }
  // The headless chooser took the current user's folder and wrote it down.
  EXPECT_EQ(Lines(test::ReadFile(world.home / "yuxinfo.dat")).at(0), world.DefaultFolder());
  std::string first = test::ReadFile(log);
  EXPECT_NE(first.find("Settings folder has been set to default - \"" + world.DefaultFolder() + "\"."),
            std::string::npos);
  // The stand-in archiver beside the program was found without an error.
  const std::string archiver = test::BuiltProgram("winrar").string();
  EXPECT_NE(first.find("WinRAR path has been set to \"" + archiver + "\"."), std::string::npos) << first;
  EXPECT_EQ(first.find("WinRAR has not been found"), std::string::npos);

  // The session's end closed the program in order.
  auto texts = LogTexts(first);
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[texts.size() - 3], "Windows is shutting down.");
  EXPECT_EQ(texts[texts.size() - 2], "YUX halts.");
  EXPECT_EQ(texts.back(), "");
  EXPECT_EQ(Lines(first).back().size(), 22u) << "the last line holds only the time stamp";

  // The options were saved with what the start found.
  SettingsFolder = world.DefaultFolder();
  topt saved;
  LoadOptions(saved);
  EXPECT_EQ(saved.pwi, archiver);

  // A later start reads the location file: no chooser, and nothing found at
  // the first start is an error again.
  {
    RunningYux yux(world);
    ASSERT_TRUE(WaitForText(log, "YUX is ready now.", 15000, first.size())) << yux.Err();
    ASSERT_TRUE(yux.EndSession(20000));
  }
  const std::string second = test::ReadFile(log).substr(first.size());
  EXPECT_NE(second.find("YUX is ready now."), std::string::npos);
  EXPECT_EQ(second.find("Settings folder has been set"), std::string::npos);
  EXPECT_EQ(second.find("[!]"), std::string::npos) << second;
}

TEST(Program, SecondStartWithoutArgumentsSaysAlreadyRunning) {
  YuxWorld world;
  world.UseSettingsFolder();
  RunningYux first(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.")) << first.Err();

  auto second = test::RunProgram({test::BuiltProgram("yux").string()}, world.EnvMap(), 20000);
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_NE(second.err.find("YUX is already running!"), std::string::npos) << second.err;
  EXPECT_EQ(first.proc().state(), QProcess::Running);
}

TEST(Program, SecondStartWithArgumentsSignalsTheFirstAndHoldsTheEvent) {
  YuxWorld world;
  world.UseSettingsFolder();
  world.JoinNamespace();
  RunningYux first(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.")) << first.Err();

  QProcess second;
  second.setProcessEnvironment(world.Env());
  QElapsedTimer clock;
  clock.start();
  second.start(QString::fromStdString(test::BuiltProgram("yux").string()), {"Daily backup"});
  ASSERT_TRUE(second.waitForStarted(10000));

  // The event exists while the second instance holds it, and it was set.
  bool signalled = false;
  qint64 seenAt = -1;
  while (second.state() != QProcess::NotRunning && clock.elapsed() < 20000) {
    if (auto ev = platform::NamedEvent::Open(kSchedulerEventName)) {
      if (ev->Wait(0) == platform::WAIT_OBJECT_0) {
        signalled = true;
        seenAt = clock.elapsed();
        break;
      }
    }
    QThread::msleep(20);
  }
  ASSERT_TRUE(second.waitForFinished(20000));
  const qint64 lived = clock.elapsed();
  EXPECT_TRUE(signalled);
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
  // Held for about a second and a half after signalling.
  EXPECT_GE(lived - seenAt, 1200) << "seen at " << seenAt << " ms, ended at " << lived << " ms";
  // Gone with its holder.
  EXPECT_EQ(platform::NamedEvent::Open(kSchedulerEventName), nullptr);
  EXPECT_EQ(first.proc().state(), QProcess::Running);
}

TEST(Program, BinVerbsHandPathsToTheRunningInstance) {
  YuxWorld world;
  world.UseSettingsFolder();
  world.JoinNamespace();
  // This process is the first instance's receiving end.
  TForm1 form;
  form.RegisterParamDataReceiver();
  const std::string yux = test::BuiltProgram("yux").string();
  auto env = world.EnvMap();

  auto pumpUntil = [](const std::function<bool()>& done, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  };

  auto r = test::RunProgram({yux, "/YUX-KEEPER", "/data/My Documents/a.txt"}, env, 20000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_TRUE(pumpUntil([&] { return !form.KeeperList.empty(); }));
  EXPECT_EQ(form.KeeperList, std::vector<std::string>{"/data/My Documents/a.txt"});
  EXPECT_TRUE(form.yuxbintimerk->isActive());

  r = test::RunProgram({yux, "/YUX-RECYCLE", "/tmp/old"}, env, 20000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_TRUE(pumpUntil([&] { return !form.RecycleList.empty(); }));
  EXPECT_EQ(form.RecycleList, std::vector<std::string>{"/tmp/old"});

  // A path that does not fit the hand-over is reported, not lost silently.
  const std::string longPath = "/" + std::string(300, 'x');
  r = test::RunProgram({yux, "/YUX-KEEPER", longPath}, env, 20000);
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("cannot hand the path over"), std::string::npos) << r.err;

  // A text that is neither K nor R is ignored.
  ASSERT_GE(platform::BroadcastTextMessage(kParamDataMessage, 0, "X/elsewhere"), 1);
  pumpUntil([] { return false; }, 500);  // gives it time to arrive
  EXPECT_EQ(form.KeeperList.size(), 1u);
  EXPECT_EQ(form.RecycleList.size(), 1u);
}

TEST(Program, SecondInstanceRequestsBecomeRowsOfTheScheduleFile) {
  YuxWorld world;
  world.UseSettingsFolder();
  const fs::path presets = world.settings / "presets";
  fs::create_directories(presets);
  test::WriteFile(presets / "Daily.pst", "");
  test::WriteFile(presets / "Daily.inc", "");
  test::WriteFile(presets / "Daily.exc", "");
  RunningYux first(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.")) << first.Err();
  EXPECT_FALSE(fs::exists(world.settings / "yux.sch"));

  // One request for a preset, one for a preset that does not exist.
  auto second = test::RunProgram({test::BuiltProgram("yux").string(),
                                  "Daily[DATE=2026.12.24 22:00:00][REPEAT=-1][INTERVAL=1440]",
                                  "Weekly[DATE=2026.12.24 22:00:00]"},
                                 world.EnvMap(), 20000);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(test::ReadFile(world.settings / "yux.sch"),
            "<D>2026.12.24 22:00:00 </D><P>Daily</P>"
            "<O>REPEAT=-1 INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110</O>\r\n");
  const std::string log = world.Log();
  EXPECT_NE(log.find("SCHEDULER - Added: Daily @ 2026.12.24 22:00:00"), std::string::npos) << log;
  EXPECT_NE(log.find("SCHEDULER - No such preset - Weekly. [!]"), std::string::npos) << log;
  EXPECT_EQ(first.proc().state(), QProcess::Running);
}

TEST(Program, ASecondInstanceSchedulesAPresetAndTheFirstRunsItWhenDue) {
  YuxWorld world;
  world.UseSettingsFolder();
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  fs::create_directories(source);
  test::WriteFile(source / "notes.txt", "Notes to keep.\n");
  test::WriteFile(source / "data.bin", std::string(5000, 'x'));
  WriteDailyPreset(world, source, dest);
  RunningYux first(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.")) << first.Err();

  const QString due = QDateTime::currentDateTime().addSecs(3).toString("yyyy.MM.dd hh:mm:ss");
  auto second = test::RunProgram({test::BuiltProgram("yux").string(), "Daily[DATE=" + due.toStdString() + "]"},
                                 world.EnvMap(), 20000);
  EXPECT_EQ(second.exitCode, 0) << second.err;

  const fs::path archive = dest / "Daily.rar";
  QElapsedTimer t;
  t.start();
  while (!fs::exists(archive) && t.elapsed() < 20000) QThread::msleep(100);
  ASSERT_TRUE(fs::exists(archive)) << world.Log() << first.Err();
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: Done.")) << world.Log();
  EXPECT_EQ(test::ReadFile(archive).substr(0, 2), "PK");

  // The first instance took the request from the file, ran it once, and the
  // run-once row is gone.
  const std::vector<std::string> texts = LogTexts(world.Log());
  auto at = [&](const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) - texts.begin();
  };
  const auto noticed = at("Another instance of YUX has updated the scheduler.");
  const auto called = at("Daily: Called by the scheduler.");
  const auto done = at("Daily: Done.");
  EXPECT_LT(noticed, called);
  EXPECT_LT(called, done);
  EXPECT_LT(done, static_cast<long>(texts.size()));
  EXPECT_FALSE(fs::exists(world.settings / "yux.sch"));
  EXPECT_EQ(first.proc().state(), QProcess::Running);
}

// The first instance read its preset list at start.  A row for a preset it
// does not hold (renamed, removed) says so in an error line; a preset made
// on disk since, which a second instance found there and scheduled, runs.
TEST(Program, ScheduledPresetsMissingFromTheListAreLookedForOnDisk) {
  YuxWorld world;
  world.UseSettingsFolder();
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>Ghost</P><O>REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 "
                  "DOW=11111110</O>\r\n");
  RunningYux first(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.")) << first.Err();
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "SCHEDULER - No such preset - Ghost. [!]")) << world.Log();

  // The preset and its source, made while yux runs.
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  fs::create_directories(source);
  test::WriteFile(source / "notes.txt", "Notes to keep.\n");
  WriteDailyPreset(world, source, dest);
  const QString due = QDateTime::currentDateTime().addSecs(2).toString("yyyy.MM.dd hh:mm:ss");
  auto second = test::RunProgram({test::BuiltProgram("yux").string(), "Daily[DATE=" + due.toStdString() + "]"},
                                 world.EnvMap(), 20000);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: Done.", 30000)) << world.Log() << first.Err();
  EXPECT_EQ(test::ReadFile(dest / "Daily.rar").substr(0, 2), "PK");
  const std::vector<std::string> texts = LogTexts(world.Log());
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Ghost: Called by the scheduler."), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "SCHEDULER - No such preset - Daily. [!]"), 0);
  EXPECT_EQ(first.proc().state(), QProcess::Running);
}

TEST(Program, LowerCaseVerbIsNoMessenger) {
  YuxWorld world;
  world.UseSettingsFolder();
  world.JoinNamespace();
  TForm1 form;
  form.RegisterParamDataReceiver();
  // The test holds the instance lock, so the process becomes a second
  // instance: it hands over through the event, never through the message.
  auto lock = platform::NamedMutex::Create(kInstanceMutexName);
  ASSERT_TRUE(lock && !lock->AlreadyExisted());

  QElapsedTimer t;
  t.start();
  auto r = test::RunProgram({test::BuiltProgram("yux").string(), "/yux-keeper", "/data/a.txt"}, world.EnvMap(),
                            20000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_GE(t.elapsed(), 1400);
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_TRUE(form.KeeperList.empty());
}

TEST(Program, SettingsFolderThatCannotBeWrittenEndsTheProgram) {
  YuxWorld world;
  test::WriteFile(world.settings / "plain-file", "x");
  const std::string bad = (world.settings / "plain-file" / "settings").string();
  test::WriteFile(world.home / "yuxinfo.dat", bad + "\r\n");

  auto r = test::RunProgram({test::BuiltProgram("yux").string()}, world.EnvMap(), 20000);
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("The folder \"" + bad + "\" is not writeable under this user account."), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("yuxinfo.dat, write a correct folder name in the first line"), std::string::npos);
}

TEST(Program, UnreadableLocationFileLeadsToTheChooser) {
  YuxWorld world;
  // A folder where the file should be: it can be neither read nor written.
  fs::create_directories(world.home / "yuxinfo.dat");
  const fs::path log = fs::path(world.DefaultFolder()) / "yux.log";
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(log, "YUX is ready now.")) << yux.Err();
  EXPECT_NE(test::ReadFile(log).find("Settings folder has been set to default"), std::string::npos);
  // The failed write of the choice was reported once.
  ASSERT_TRUE(yux.EndSession(20000));
  EXPECT_EQ(CountOf(yux.Err(), "yuxinfo.dat is not writable. Rus installation as administrator!"), 1) << yux.Err();
}

TEST(Program, ExitProtectionAppliesToTheSessionsEnd) {
  struct Case {
    std::string password;
    bool closes;
  };
  for (const Case& c : {Case{"secret", false}, Case{"", true}}) {
    SCOPED_TRACE("password '" + c.password + "'");
    YuxWorld world;
    world.UseSettingsFolder();
    SettingsFolder = world.settings.str();
    test::WriteFile(OptionsFilePath(), ScrambleText("ver 0") + "\r\n" + ScrambleText("spe 1") + "\r\n" +
                                           ScrambleText("sgp " + c.password) + "\r\n");
    RunningYux yux(world);
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.")) << yux.Err();
    const bool ended = yux.EndSession(c.closes ? 20000 : 2000);
    EXPECT_EQ(ended, c.closes) << yux.Err();
    if (c.closes) {
      EXPECT_NE(world.Log().find("YUX halts."), std::string::npos);
    } else {
      // Headless, the password dialog answers OK with an empty entry.
      EXPECT_NE(yux.Err().find("Incorrect password."), std::string::npos) << yux.Err();
      EXPECT_EQ(world.Log().find("YUX halts."), std::string::npos);
    }
  }
}

// A session's end that the exit password refuses leaves yux as it was: a
// preset scheduled afterwards runs to "Done.", and the next signal is
// handled again rather than ignored.  (Without a display nobody can type
// the password, so every such close is refused.)
TEST(Program, ARefusedSessionEndLeavesYuxRunningAndTheNextSignalIsHandled) {
  YuxWorld world;
  world.UseSettingsFolder();
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "small.txt", "small");
  WriteDailyPreset(world, source, world.settings / "dest");
  SettingsFolder = world.settings.str();
  test::WriteFile(OptionsFilePath(), ScrambleText("ver 0") + "\r\n" + ScrambleText("spe 1") + "\r\n" +
                                         ScrambleText("sgp secret") + "\r\n");
  const fs::path logFile = world.settings / "yux.log";
  const std::string refused = "The close at the end of the session was refused; YUX goes on.";
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(logFile, "YUX is ready now.")) << yux.Err();

  yux.proc().terminate();
  ASSERT_TRUE(WaitForText(logFile, refused, 30000)) << world.Log() << yux.Err();

  // A request handed over by a second instance runs to its end.
  const auto second = test::RunProgram({test::BuiltProgram("yux").string(), "Daily"}, world.EnvMap(), 30000);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  ASSERT_TRUE(WaitForText(logFile, "Daily: Done.", 60000)) << world.Log();
  EXPECT_TRUE(fs::exists(world.settings / "dest" / "Daily.rar"));
  EXPECT_EQ(CountOf(world.Log(), "Daily: Called by the scheduler."), 1);

  // The next signal is asked about again.
  const size_t before = world.Log().size();
  yux.proc().terminate();
  ASSERT_TRUE(WaitForText(logFile, refused, 30000, before)) << world.Log() << yux.Err();
  EXPECT_EQ(CountOf(world.Log(), "Windows is shutting down."), 2);
  EXPECT_EQ(yux.proc().state(), QProcess::Running);
  EXPECT_EQ(world.Log().find("YUX halts."), std::string::npos);
}

TEST(Program, KeepsItsOptionsAcrossATerminatedRun) {
  YuxWorld world;
  world.UseSettingsFolder();
  SettingsFolder = world.settings.str();
  // Written by an earlier run: one damaged line among good ones.
  test::WriteFile(OptionsFilePath(), ScrambleText("ver 0") + "\r\n" + ScrambleText("lsz 33") +
                                         "\r\nnot-a-line\r\n" + ScrambleText("pwi /x y/winrar") + "\r\n");
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.")) << yux.Err();
  ASSERT_TRUE(yux.EndSession(20000));
  EXPECT_EQ(yux.proc().exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(yux.proc().exitCode(), 0) << yux.Err();
  // The damage was reported, not silently dropped.
  EXPECT_NE(yux.Err().find("damaged"), std::string::npos) << yux.Err();

  topt o;
  LoadOptions(o);
  EXPECT_EQ(o.lsz, 33);
  // A configured archiver that does not exist gave way to the stand-in.
  EXPECT_EQ(o.pwi, test::BuiltProgram("winrar").string());
  // Saved whole: every line of the rewritten file reads back.
  const std::string raw = test::ReadFile(OptionsFilePath());
  EXPECT_EQ(raw.find("not-a-line"), std::string::npos);
}

// ---- A run cut off by the end of the session or by a kill ----

// A preset "Daily" that archives `source` with "delete after archiving",
// due at the first scheduler tick, and a later entry that must survive.
void PrepareDueRun(YuxWorld& world, const fs::path& source, const std::function<void(tarcopt&)>& configure) {
  world.UseSettingsFolder();
  WriteDailyPreset(world, source, world.settings / "dest", [&](tarcopt& p) {
    p.del = true;
    configure(p);
  });
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>Daily</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n"
                  "<D>2099.01.01 10:00:00 </D><P>Later</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n");
}

// A source tree the archiver needs a while for: a large file of zeros that
// takes no room on the disk.
void MakeLargeSource(const fs::path& source) {
  fs::create_directories(source);
  test::WriteFile(source / "small.txt", "small");
  test::WriteFile(source / "large.bin", "");
  fs::resize_file(source / "large.bin", 6ull << 30);
}

bool SourceIntact(const fs::path& source) {
  std::error_code ec;
  return test::ReadFile(source / "small.txt") == "small" && fs::file_size(source / "large.bin", ec) == (6ull << 30);
}

std::vector<fs::path> FilesBelow(const fs::path& folder) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file()) out.push_back(it->path());
  return out;
}

bool WaitUntil(const std::function<bool()>& done, int ms = 20000) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) QThread::msleep(20);
  return done();
}

TEST(RunSafety, EndOfSessionDuringARunAbortsItAndCloses) {
  struct Case {
    const char* what;
    bool whileArchiving;  // else while the after-command runs
  };
  for (const Case& c : {Case{"archiver", true}, Case{"after-command", false}}) {
    SCOPED_TRACE(c.what);
    YuxWorld world;
    const fs::path source = world.settings / "source";
    if (c.whileArchiving) {
      MakeLargeSource(source);
    } else {
      fs::create_directories(source);
      test::WriteFile(source / "small.txt", "small");
    }
    PrepareDueRun(world, source, [&](tarcopt& p) {
      if (c.whileArchiving) return;
      // A destination this build cannot deliver to: the archive stays
      // undelivered, and the after-command holds the run.
      p.ctf = false;
      p.ftp = true;
      p.eaa = p.eas = true;
      p.eae = "/bin/sleep";
      p.eap = "60";
    });
    RunningYux yux(world);
    const std::string mark = c.whileArchiving ? "Daily: WinRAR - Started." : "Daily: Sync execution:  /bin/sleep";
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", mark, 30000)) << world.Log() << yux.Err();
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(yux.EndSession(30000)) << world.Log();
    EXPECT_LT(t.elapsed(), 15000);
    EXPECT_EQ(yux.proc().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(yux.proc().exitCode(), 0) << yux.Err();

    const std::string log = world.Log();
    EXPECT_NE(log.find("Abort requested."), std::string::npos) << log;
    EXPECT_NE(log.find("Aborted. [!]"), std::string::npos) << log;
    EXPECT_NE(log.find("YUX halts."), std::string::npos) << log;
    EXPECT_EQ(log.find("Daily: Done."), std::string::npos) << log;
    // Options and schedule were saved on the way out.
    EXPECT_TRUE(fs::exists(world.settings / "yux.opt"));
    EXPECT_NE(test::ReadFile(world.settings / "yux.sch").find("<P>Later</P>"), std::string::npos);
    // Nothing left in the temp folder; the sources are whole.
    EXPECT_TRUE(FilesBelow(world.temp.path()).empty());
    EXPECT_FALSE(fs::exists(world.settings / "runfolder.dat"));
    if (c.whileArchiving) {
      EXPECT_TRUE(SourceIntact(source));
      EXPECT_FALSE(fs::exists(world.settings / "kept"));
    } else {
      EXPECT_EQ(test::ReadFile(source / "small.txt"), "small");
      const auto kept = FilesBelow(world.settings / "kept");
      ASSERT_EQ(kept.size(), 1u) << log;
      EXPECT_EQ(kept[0].filename(), "Daily.rar");
      EXPECT_NE(log.find("Daily: Undelivered files were kept in \"" + kept[0].parent_path().string() + "\". [!]"),
                std::string::npos)
          << log;
    }
  }
}

// A yux started from cron has no XDG_RUNTIME_DIR, so its runtime folder is
// not the desktop instance's.  The settings folder's own lock still makes
// it refuse, with or without a request, and leaves the live run alone: the
// desktop instance's archive is delivered whole.
TEST(RunSafety, ASecondSessionsYuxLeavesTheRunningInstanceAndItsRunAlone) {
  YuxWorld world;
  test::TempDir runtime;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "small.txt", "small");
  test::WriteFile(source / "large.bin", "");
  const std::uintmax_t large = 1ull << 30;
  fs::resize_file(source / "large.bin", large);
  PrepareDueRun(world, source, [](tarcopt& p) { p.del = false; });
  QProcessEnvironment desktop = world.Env();
  desktop.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.str()));
  RunningYux first(world, {}, &desktop);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: WinRAR - Started.", 30000)) << first.Err();
  // The archiver is writing its archive.
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& f : FilesBelow(world.temp.path()))
      if (f.filename().string().find(".yuxtmp.") != std::string::npos) return true;
    return false;
  }));

  for (const bool withRequest : {false, true}) {
    SCOPED_TRACE(withRequest ? "with a request" : "without arguments");
    auto env = world.EnvMap();
    env["XDG_RUNTIME_DIR"] = "";
    std::vector<std::string> argv{test::BuiltProgram("yux").string()};
    if (withRequest) argv.push_back("Daily");
    const auto cron = test::RunProgram(argv, env, 30000);
    EXPECT_EQ(cron.exitCode, withRequest ? 1 : 0) << cron.err;
    EXPECT_NE(cron.err.find("another YUX already runs on the settings folder \"" + world.settings.str() + "\""),
              std::string::npos)
        << cron.err;
    EXPECT_EQ(cron.err.find("request was not handed over") != std::string::npos, withRequest) << cron.err;
  }

  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: Done.", 180000)) << world.Log();
  const std::string log = world.Log();
  EXPECT_EQ(log.find("A run was cut off"), std::string::npos) << log;
  EXPECT_EQ(log.substr(log.find("Daily: Called by the scheduler.")).find("[!]"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(world.settings / "kept"));
  const auto listing = ReadArchiveListing({(world.settings / "dest" / "Daily.rar").string()});
  ASSERT_TRUE(listing);
  std::map<std::string, std::int64_t> sizes;
  for (const auto& e : *listing)
    if (!e.folder) sizes[fs::path(e.name).filename().string()] = e.size;
  EXPECT_EQ(sizes, (std::map<std::string, std::int64_t>{{"large.bin", static_cast<std::int64_t>(large)},
                                                        {"small.txt", 5}}));
  EXPECT_EQ(first.proc().state(), QProcess::Running);
  EXPECT_TRUE(first.EndSession(20000));
}

TEST(RunSafety, KilledDuringArchivingLosesNothingAndIsFoundAtTheNextStart) {
  YuxWorld world;
  const fs::path source = world.settings / "source";
  MakeLargeSource(source);
  PrepareDueRun(world, source, [](tarcopt&) {});
  fs::path runFolder;
  {
    RunningYux yux(world);
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: WinRAR - Started.", 30000)) << yux.Err();
    // The archiver is writing its temporary file.
    ASSERT_TRUE(WaitUntil([&] {
      for (const auto& f : FilesBelow(world.temp.path()))
        if (f.filename().string().find(".yuxtmp.") != std::string::npos) return true;
      return false;
    }));
    runFolder = FilesBelow(world.temp.path()).at(0).parent_path();
    yux.proc().kill();
    ASSERT_TRUE(yux.proc().waitForFinished(10000));
  }
  // The archiver died with yux and removed its unfinished file itself.
  EXPECT_TRUE(WaitUntil([&] { return FilesBelow(world.temp.path()).empty(); })) << "archiver still writing";
  EXPECT_TRUE(SourceIntact(source));
  EXPECT_TRUE(fs::is_directory(runFolder));

  // What a run cut off later would have left: one finished archive and one
  // unfinished temporary file.
  test::WriteFile(runFolder / "Daily.rar", "finished archive");
  test::WriteFile(runFolder / "Daily.rar.yuxtmp.Ab12Cd", "half");
  test::WriteFile(world.settings / "yux.sch", "");
  const size_t before = world.Log().size();
  RunningYux again(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.", 15000, before)) << again.Err();
  const std::string log = world.Log();
  EXPECT_NE(log.find("Daily: A run was cut off and left its folder \"" + runFolder.string() + "\" behind. [!]"),
            std::string::npos)
      << log;
  const auto kept = FilesBelow(world.settings / "kept");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].filename(), "Daily.rar");
  EXPECT_EQ(test::ReadFile(kept[0]), "finished archive");
  EXPECT_NE(log.find("Daily: Undelivered files were kept in \"" + kept[0].parent_path().string() + "\". [!]"),
            std::string::npos)
      << log;
  EXPECT_FALSE(fs::exists(runFolder));
  EXPECT_FALSE(fs::exists(world.settings / "runfolder.dat"));
}

// A "runfolder.dat" that names a folder no run made (damaged, edited by
// hand, copied from elsewhere): the start names it once, leaves it as it
// is and forgets the entry.
TEST(RunSafety, StartLeavesAFolderNoRunMadeAsItIs) {
  YuxWorld world;
  world.UseSettingsFolder();
  const fs::path documents = world.home / "Documents";
  test::WriteFile(documents / "letter.txt", "dear");
  test::WriteFile(documents / "projects" / "plan.txt", "plan");
  fs::permissions(documents, fs::perms::owner_all);
  // The one-entry form an older YUX wrote.
  const std::string marks = documents.string() + "\r\nDaily\r\n";
  test::WriteFile(world.settings / "runfolder.dat", marks);
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.", 15000)) << yux.Err();
  const std::string log = world.Log();
  EXPECT_EQ(CountOf(log, documents.string()), 1) << log;
  EXPECT_NE(log.find("Daily: \"" + documents.string() + "\" is not a run folder of this temp folder"),
            std::string::npos)
      << log;
  EXPECT_EQ(test::ReadFile(documents / "letter.txt"), "dear");
  EXPECT_EQ(test::ReadFile(documents / "projects" / "plan.txt"), "plan");
  EXPECT_EQ(FilesBelow(documents).size(), 2u);
  EXPECT_FALSE(fs::exists(world.settings / "kept"));
  EXPECT_FALSE(fs::exists(world.settings / "runfolder.dat"));
  EXPECT_TRUE(yux.EndSession(20000));
}

// A copy cut off by a kill leaves its unfinished file in the destination.
// The next start removes the unfinished copies of the cut-off run's files
// in the destinations its entry names, and nothing else there.
TEST(RunSafety, StartRemovesTheUnfinishedCopiesOfACutOffRun) {
  YuxWorld world;
  world.UseSettingsFolder();
  const fs::path runFolder = world.temp / "QWERTYUI";
  test::WriteFile(runFolder / "Daily.part1.rar", "first volume");
  test::WriteFile(runFolder / "Daily.part2.rar", "second volume");
  fs::permissions(runFolder, fs::perms::owner_all);
  const fs::path dest = world.settings / "dest", elsewhere = world.settings / "elsewhere";
  const std::map<std::string, bool> planted = {
      // name: removed
      {".Daily.part1.rar.yuxpart.x9Y8z7", true},
      {".Daily.part2.rar.yuxpart.Ab12Cd", true},
      {".Other.rar.yuxpart.Ab12Cd", false},  // no file of that run
      {".Daily.part2.rar.yuxpart.Ab12C", false},
      {".Daily.part2.rar.yuxpart.Ab12Cd.old", false},
      {"Daily.part1.rar", false},  // an archive the user has
  };
  for (const auto& [name, removed] : planted) test::WriteFile(dest / name, "x");
  fs::create_directories(dest / ".Daily.part1.rar.yuxpart.Folder");
  test::WriteFile(elsewhere / ".Daily.part2.rar.yuxpart.Ab12Cd", "x");
  test::WriteFile(world.settings / "runfolder.dat",
                  "folder=" + runFolder.string() + "\r\npreset=Daily\r\ncopyto=" + dest.string() + "\r\n");
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.", 15000)) << yux.Err();
  const std::string log = world.Log();
  for (const auto& [name, removed] : planted) {
    EXPECT_EQ(fs::exists(dest / name), !removed) << name;
    EXPECT_EQ(log.find("Daily: The unfinished copy \"" + (dest / name).string() + "\" was removed.") !=
                  std::string::npos,
              removed)
        << name << "\n" << log;
  }
  EXPECT_TRUE(fs::is_directory(dest / ".Daily.part1.rar.yuxpart.Folder"));
  EXPECT_TRUE(fs::exists(elsewhere / ".Daily.part2.rar.yuxpart.Ab12Cd"));
  // The run's files themselves were kept.
  auto kept = FilesBelow(world.settings / "kept");
  std::sort(kept.begin(), kept.end());
  ASSERT_EQ(kept.size(), 2u) << log;
  EXPECT_EQ(test::ReadFile(kept[0]), "first volume");
  EXPECT_EQ(test::ReadFile(kept[1]), "second volume");
  EXPECT_FALSE(fs::exists(runFolder));
  EXPECT_FALSE(fs::exists(world.settings / "runfolder.dat"));
  EXPECT_TRUE(yux.EndSession(20000));
}

// Cut off while the archive is copied to a destination on another file
// system: the destination never shows a partial file under the archive's
// name, the sources stay, and the next start keeps the whole archive.
TEST(RunSafety, KilledDuringACopyToAnotherFileSystemLeavesNoPartialFile) {
  YuxWorld world;
  // The run folder is in the test's temp folder; the destination must lie
  // on another file system, which /dev/shm (a tmpfs) usually is.
  std::string pattern = "/dev/shm/yux-dest-XXXXXX";
  if (!fs::is_directory("/dev/shm") || !::mkdtemp(pattern.data())) GTEST_SKIP() << "no /dev/shm";
  const fs::path dest = pattern;
  struct Cleanup {
    fs::path p;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  } cleanup{dest};
  struct stat a {}, b {};
  if (::stat(world.temp.str().c_str(), &a) != 0 || ::stat(dest.c_str(), &b) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "/dev/shm is on the temp folder's file system";

  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "small.txt", "small");
  // Stored, not packed: an archive of 768 MB the archiver writes quickly
  // and the copy needs a moment for.
  constexpr uintmax_t kBig = 768ull << 20;
  test::WriteFile(source / "large.bin", "");
  fs::resize_file(source / "large.bin", kBig);
  PrepareDueRun(world, source, [&](tarcopt& p) {
    p.cmp = 0;
    p.dir = dest.string();
  });
  const fs::path finalName = dest / "Daily.rar";

  bool sawPartial = false;
  {
    RunningYux yux(world);
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: WinRAR - Started.", 30000)) << yux.Err();
    // Kill the moment the copy's temporary file shows in the destination.
    QElapsedTimer t;
    t.start();
    while (!sawPartial && t.elapsed() < 120000 && !fs::exists(finalName)) {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(dest, ec))
        if (platform::IsUnfinishedFileName(e.path().filename().string())) sawPartial = true;
    }
    yux.proc().kill();
    ASSERT_TRUE(yux.proc().waitForFinished(10000));
  }
  ASSERT_TRUE(sawPartial || fs::exists(finalName)) << "the copy never started\n" << world.Log();
  // Whatever the moment of the kill, a file under the final name is whole.
  std::error_code ec;
  if (fs::exists(finalName)) {
    EXPECT_GT(fs::file_size(finalName, ec), kBig);
  }
  EXPECT_EQ(test::ReadFile(source / "small.txt"), "small");
  EXPECT_EQ(fs::file_size(source / "large.bin", ec), kBig);

  // The next start keeps the whole archive from the run folder.
  const bool copied = fs::exists(finalName);
  test::WriteFile(world.settings / "yux.sch", "");
  const size_t before = world.Log().size();
  RunningYux again(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.", 30000, before)) << again.Err();
  EXPECT_NE(world.Log().find("Daily: A run was cut off and left its folder", before), std::string::npos)
      << world.Log();
  const auto kept = FilesBelow(world.settings / "kept");
  ASSERT_EQ(kept.size(), 1u) << world.Log();
  EXPECT_EQ(kept[0].filename(), "Daily.rar");
  EXPECT_GT(fs::file_size(kept[0], ec), kBig);
  if (!copied) {
    EXPECT_FALSE(fs::exists(finalName));
  }
  // The copy's unfinished file is gone with the rest of the run.
  for (const auto& e : fs::directory_iterator(dest))
    EXPECT_FALSE(platform::IsUnfinishedFileName(e.path().filename().string())) << e.path();
}

// A run that uploads to a real FTP server: the archive on the server's disk
// is the one the copy delivered, with its history line and log lines in
// order, in passive and active mode and over TLS with protected data.
TEST(FtpRun, RealRunUploadsTheArchive) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  struct Row {
    const char* name;
    bool active;
    test::FtpTls tls;
    int fss;
    const char* extra;
  };
  const Row rows[] = {
      {"passive", false, test::FtpTls::None, 0, ""},
      {"active", true, test::FtpTls::None, 0, ""},
      {"AUTH TLS, data forced to TLS", false, test::FtpTls::Explicit, 1,
       "force_anon_data_ssl=YES\nforce_anon_logins_ssl=YES\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.tls != test::FtpTls::None) ASSERT_TRUE(test::TestPki::Get().Ok());
    test::VsftpdServer server;
    ASSERT_TRUE(server.Start(row.tls, row.extra)) << server.Error();
    YuxWorld world;
    const fs::path source = world.settings / "source";
    fs::create_directories(source);
    std::string data;
    for (int i = 0; i < 300000; ++i) data.push_back(char(i * 31 % 253));
    test::WriteFile(source / "data.bin", data);
    PrepareDueRun(world, source, [&](tarcopt& p) {
      p.del = false;
      p.ftp = true;
      p.fse = "127.0.0.1:" + std::to_string(server.Port());
      p.ffo = "pub";
      p.fac = row.active;
      p.fss = row.fss;
    });
    RunningYux yux(world);
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: Done.", 60000)) << world.Log() << yux.Err();
    const std::string copied = test::ReadFile(world.settings / "dest" / "Daily.rar");
    ASSERT_FALSE(copied.empty());
    EXPECT_EQ(test::ReadFile(server.Pub() / "Daily.rar"), copied);
    const std::string port = std::to_string(server.Port());
    const std::string hst = test::ReadFile(world.settings / "presets" / "Daily.hst");
    EXPECT_EQ(CountOf(hst, "\t3-FTP\t127.0.0.1:" + port + "/pub/Daily.rar"), 1) << hst;
    EXPECT_NE(test::ReadFile(world.settings / "presets" / "Daily.lgf").find("Daily.rar"), std::string::npos);
    // Under TLS the first contact with the server's self-made certificate
    // is told by one line of its own, right after the connection.
    std::vector<std::string> texts;
    int tlsLines = 0;
    for (const std::string& t : LogTexts(world.Log())) {
      if (t.rfind("Daily: TLS server 127.0.0.1:" + port + " seen for the first time", 0) == 0) {
        ++tlsLines;
        continue;
      }
      texts.push_back(t);
    }
    EXPECT_EQ(tlsLines, row.tls == test::FtpTls::None ? 0 : 1) << world.Log();
    const std::vector<std::string> expected = {
        "Daily: FTP - Connecting to 127.0.0.1.",
        "Daily: FTP - Changing folder to \"pub\".",
        "Daily: FTP - Trying to upload \"Daily.rar\".",
        "Daily: FTP - Successfully uploaded \"Daily.rar\".",
        "Daily: FTP - Disconnected.",
    };
    auto at = std::find(texts.begin(), texts.end(), expected[0]);
    ASSERT_NE(at, texts.end()) << world.Log();
    EXPECT_EQ(std::vector<std::string>(at, std::min(texts.end(), at + expected.size())), expected)
        << world.Log();
    ASSERT_TRUE(yux.EndSession(20000));
  }
}

// "/ABORT" from a second instance while an upload crawls: the FTP stage
// winds down, the run ends aborted, and no history line claims the file.
TEST(FtpRun, AbortFromASecondInstanceDuringAnUpload) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  test::VsftpdServer server;
  ASSERT_TRUE(server.Start(test::FtpTls::None, "anon_max_rate=65536\n")) << server.Error();
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  std::string data;
  std::uint32_t x = 1;
  for (int i = 0; i < 4000000; ++i) data.push_back(char((x = x * 1664525u + 1013904223u) >> 24));
  test::WriteFile(source / "noise.bin", data);
  PrepareDueRun(world, source, [&](tarcopt& p) {
    p.del = false;
    p.ctf = false;
    p.ftp = true;
    p.fse = "127.0.0.1:" + std::to_string(server.Port());
    p.ffo = "pub";
  });
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: FTP - Trying to upload \"Daily.rar\".", 60000))
      << world.Log() << yux.Err();
  auto second = test::RunProgram({test::BuiltProgram("yux").string(), "/ABORT"}, world.EnvMap(), 20000);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Aborted. [!]", 30000)) << world.Log();
  const auto texts = LogTexts(world.Log());
  const auto wind = std::find(texts.begin(), texts.end(), "Abort requested. Waiting for 10 seconds.");
  ASSERT_NE(wind, texts.end()) << world.Log();
  EXPECT_NE(std::find(wind, texts.end(), "Aborted. [!]"), texts.end());
  EXPECT_EQ(world.Log().find("Daily: Done."), std::string::npos);
  EXPECT_EQ(world.Log().find("Successfully uploaded"), std::string::npos);
  EXPECT_EQ(test::ReadFile(world.settings / "presets" / "Daily.hst").find("3-FTP"), std::string::npos);
  // The archive did not reach the server: it is kept.
  EXPECT_EQ(FilesBelow(world.settings / "kept").size(), 1u) << world.Log();
  ASSERT_TRUE(yux.EndSession(20000));
}

// A due run uploading one small file to `server` over the phone book's
// "Office" entry, whose lines after the credentials are `entry`; the options
// turn dialling on with "dha" and the given "dac", "dnr" and "dwc".
static void PrepareDialUpUpload(YuxWorld& world, test::VsftpdServer& server, const std::string& content,
                         const std::string& entry, const std::string& dac, int dnr, int dwc) {
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "a.txt", content);
  PrepareDueRun(world, source, [&](tarcopt& p) {
    p.del = false;
    p.ctf = false;
    p.ftp = true;
    p.fse = "127.0.0.1:" + std::to_string(server.Port());
    p.ffo = "pub";
  });
  fs::create_directories(world.config / "yux");
  test::WriteFile(world.config / "yux" / "phonebook.ini",
                  "[Office]\nNumber=0123\nUser=alice\nPassword=secret\n" + entry);
  SettingsFolder = world.settings.str();
  test::WriteFile(OptionsFilePath(), ScrambleText("ver 0") + "\r\n" + ScrambleText("des 1") + "\r\n" +
                                         ScrambleText("dha 1") + "\r\n" + ScrambleText("dac " + dac) + "\r\n" +
                                         ScrambleText("dnr " + std::to_string(dnr)) + "\r\n" +
                                         ScrambleText("dwc " + std::to_string(dwc)) + "\r\n");
}

// A run that uploads over a dial-up line from the emulated phone book:
// it dials first, skips the upload without a line (the archive is kept),
// uses a connection that is already up and hangs up only its own.
TEST(DialUpRun, RunsDialBeforeUploading) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  test::VsftpdServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  struct Row {
    const char* name;
    const char* entry;  // the phone book's [Office] lines after the number
    std::vector<std::string> inOrder;
    std::vector<std::string> absent;
    bool delivered;
    std::string dac = "Office";
    int dnr = 2, dwc = 30;
  };
  const Row rows[] = {
      {"connects after 300 ms", "Answers=connect:300\n",
       {"DIALUP - Dialing Office.", "DIALUP - Waiting for connection (30 seconds max).", "DIALUP - Connected.",
        "Daily: FTP - Successfully uploaded \"Daily.rar\".", "DIALUP - Hanging up.", "Daily: Done."},
       {},
       true},
      {"busy three times", "Answers=busy,busy,busy\n",
       {"DIALUP - Dialing Office.", "DIALUP - Redialing Office [1/2].", "DIALUP - Redialing Office [2/2].",
        "DIALUP - No connection. [!]", "Daily: FTP - Skipping because of no dialup connection. [!]"},
       {"Daily: FTP - Connecting to", "Daily: Done."},
       false},
      {"already connected", "Answers=connect\nConnected=1\n",
       {"DIALUP - Connection Office is already established.", "Daily: FTP - Successfully uploaded \"Daily.rar\".",
        "Daily: Done."},
       {"DIALUP - Hanging up.", "DIALUP - Dialing"},
       true},
      // A line that never answers: each wait of "dwc" seconds is a failed
      // attempt, so one redial and then the end, within seconds.
      {"silence", "Answers=silence\n",
       {"DIALUP - Dialing Office.", "DIALUP - Waiting for connection (1 seconds max).",
        "DIALUP - No connection within 1 seconds. [!]", "DIALUP - Redialing Office [1/1].",
        "DIALUP - No connection within 1 seconds. [!]", "DIALUP - No connection. [!]",
        "Daily: FTP - Skipping because of no dialup connection. [!]"},
       {"Daily: FTP - Connecting to", "Daily: Done."},
       false, "Office", 1, 1},
      {"no entry chosen", "Answers=connect\n",
       {"DIALUP - Dialup account has not been selected yet. [!]",
        "Daily: FTP - Skipping because of no dialup connection. [!]"},
       {"DIALUP - Dialing", "Daily: FTP - Connecting to", "Daily: Done."},
       false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    YuxWorld world;
    PrepareDialUpUpload(world, server, std::string("dial-up run ") + row.name, row.entry, row.dac, row.dnr, row.dwc);
    std::error_code ec;
    fs::remove(server.Pub() / "Daily.rar", ec);
    RunningYux yux(world);
    const std::string last = row.delivered ? "Daily: Done." : "Daily: Undelivered files were kept in";
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", last, 60000)) << world.Log() << yux.Err();
    const std::string log = world.Log();
    size_t at = 0;
    for (const std::string& line : row.inOrder) {
      const size_t found = log.find(line, at);
      ASSERT_NE(found, std::string::npos) << line << "\n" << log;
      at = found + line.size();
    }
    for (const std::string& line : row.absent) EXPECT_EQ(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(fs::exists(server.Pub() / "Daily.rar"), row.delivered);
    EXPECT_EQ(FilesBelow(world.settings / "kept").size(), row.delivered ? 0u : 1u) << log;
    ASSERT_TRUE(yux.EndSession(20000));
  }
}

// "/ABORT" from a second instance while the run waits for a line that never
// answers: the pending dial is hung up, no redial follows, nothing is
// uploaded and the run ends aborted long before the wait would have run out.
TEST(DialUpRun, AbortDuringTheDialWaitHangsUpAndEndsTheRun) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  test::VsftpdServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  YuxWorld world;
  PrepareDialUpUpload(world, server, "abort while dialling", "Answers=silence\n", "Office", 2, 600);
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "DIALUP - Waiting for connection (600 seconds max).", 60000))
      << world.Log() << yux.Err();
  QElapsedTimer sinceAbort;
  sinceAbort.start();
  auto second = test::RunProgram({test::BuiltProgram("yux").string(), "/ABORT"}, world.EnvMap(), 20000);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Aborted. [!]", 60000)) << world.Log();
  // Far below one wait of 600 seconds: the abort ended the wait itself.
  EXPECT_LT(sinceAbort.elapsed(), 120000);
  const std::string log = world.Log();
  const size_t hangup = log.find("DIALUP - Hanging up.");
  EXPECT_NE(hangup, std::string::npos) << log;
  EXPECT_LT(hangup, log.find("Aborted. [!]")) << log;
  for (const char* absent : {"DIALUP - Redialing", "DIALUP - Connected.", "Daily: FTP - Connecting to", "Daily: Done."}) {
    EXPECT_EQ(log.find(absent), std::string::npos) << absent << "\n" << log;
  }
  EXPECT_FALSE(fs::exists(server.Pub() / "Daily.rar"));
  EXPECT_EQ(test::ReadFile(world.settings / "presets" / "Daily.hst").find("3-FTP"), std::string::npos);
  ASSERT_TRUE(yux.EndSession(20000));
}

// A run that mails a volume-split archive to a real SMTP server and copies
// it: one message per volume in one session, each attachment the volume
// the copy delivered, one "2-SMTP" line per volume.
TEST(MailRun, RealRunMailsEveryVolume) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::SmtpPeer peer;
  test::SmtpPeerOptions o;
  o.user = "yuxuser";
  o.password = "s3cret";
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  std::string data;
  std::uint32_t x = 7;
  for (int i = 0; i < 50000; ++i) data.push_back(char((x = x * 1664525u + 1013904223u) >> 24));
  test::WriteFile(source / "noise.bin", data);
  PrepareDueRun(world, source, [&](tarcopt& p) {
    p.del = false;
    p.vol = "20k";
    p.smt = true;
    p.sse = "127.0.0.1:" + std::to_string(peer.Port());
    p.sfr = "yux@example.test";
    p.sto = "admin@example.test";
    p.sus = "yuxuser";
    p.spa = "s3cret";
  });
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: Done.", 60000)) << world.Log() << yux.Err();
  std::vector<fs::path> volumes = FilesBelow(world.settings / "dest");
  std::sort(volumes.begin(), volumes.end());
  ASSERT_GE(volumes.size(), 2u) << world.Log();
  ASSERT_EQ(peer.MessageCount(), static_cast<int>(volumes.size())) << peer.Log();
  const std::string hst = test::ReadFile(world.settings / "presets" / "Daily.hst");
  for (size_t i = 0; i < volumes.size(); ++i) {
    const std::string name = volumes[i].filename().string();
    SCOPED_TRACE(name);
    const fs::path eml = world.settings / ("m" + std::to_string(i) + ".eml");
    test::WriteFile(eml, peer.Message(static_cast<int>(i)));
    const std::string parsed = test::ParseMailWithPython(eml.string());
    EXPECT_NE(parsed.find("\"Subject\": \"" + name + " (sent by YUX).\""), std::string::npos) << parsed;
    std::string hex;
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char c : test::ReadFile(volumes[i])) {
      hex += kHex[c >> 4];
      hex += kHex[c & 15];
    }
    EXPECT_NE(parsed.find("\"hex\": \"" + hex + "\""), std::string::npos);
    EXPECT_EQ(CountOf(hst, "\t2-SMTP\tadmin@example.test/" + name), 1) << hst;
  }
  EXPECT_EQ(CountOf(world.Log(), "Daily: SMTP - Connecting to"), 1);
  ASSERT_TRUE(yux.EndSession(20000));
}

// A hidden yux told to run a preset and exit mails the run's error lines
// to the administrator before it halts.
TEST(MailRun, ErrorLinesOfAHiddenRunAreMailedBeforeTheExit) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::SmtpPeer peer;
  ASSERT_TRUE(peer.Start({})) << peer.Error();
  int closedPort = 0;
  test::CloseFd(test::LoopbackListener(closedPort));  // an FTP server that is not there
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "a.txt", "error mail");
  world.UseSettingsFolder();
  WriteDailyPreset(world, source, world.settings / "dest", [&](tarcopt& p) {
    p.ctf = false;
    p.ftp = true;
    p.fse = "127.0.0.1:" + std::to_string(closedPort);
  });
  SettingsFolder = world.settings.str();
  test::WriteFile(OptionsFilePath(),
                  ScrambleText("ver 0") + "\r\n" + ScrambleText("ser 1") + "\r\n" +
                      ScrambleText("ssr 127.0.0.1:" + std::to_string(peer.Port())) + "\r\n" +
                      ScrambleText("sfm yux@example.test") + "\r\n" + ScrambleText("sto boss@example.test") + "\r\n");
  RunningYux yux(world, {"/hide", "Daily", "/exit"});
  ASSERT_TRUE(yux.proc().waitForFinished(90000)) << world.Log();
  const std::string log = world.Log();
  const size_t sent = log.find("Error report has been sent to boss@example.test");
  ASSERT_NE(sent, std::string::npos) << log;
  EXPECT_LT(sent, log.find("YUX halts.")) << log;
  ASSERT_GE(peer.MessageCount(), 1) << peer.Log();
  bool ftpErrorMailed = false;
  for (int i = 0; i < peer.MessageCount(); ++i) {
    const std::string m = peer.Message(i);
    EXPECT_NE(m.find("YUX error report."), std::string::npos) << m;
    if (m.find("Daily: FTP - ") != std::string::npos) ftpErrorMailed = true;
  }
  EXPECT_TRUE(ftpErrorMailed);
  EXPECT_EQ(log.find("FAILED TO SEND ERROR REPORT"), std::string::npos) << log;
}

// A request handed over while the first instance's scheduler is off is
// still in "yux.sch" after the first instance closed.
TEST(Program, RequestsWhileTheSchedulerIsOffSurviveTheClose) {
  YuxWorld world;
  world.UseSettingsFolder();
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  WriteDailyPreset(world, source, world.settings / "dest");
  SettingsFolder = world.settings.str();
  test::WriteFile(OptionsFilePath(), ScrambleText("ver 0") + "\r\n" + ScrambleText("son 0") + "\r\n");
  RunningYux first(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.")) << first.Err();

  auto second = test::RunProgram({test::BuiltProgram("yux").string(), "Daily[DATE=2099.01.02 03:04:05]"},
                                 world.EnvMap(), 20000);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  ASSERT_TRUE(first.EndSession(20000));
  EXPECT_NE(test::ReadFile(world.settings / "yux.sch").find("<D>2099.01.02 03:04:05 </D><P>Daily</P>"),
            std::string::npos)
      << world.Log();
  // Switched off, the scheduler ran nothing.
  EXPECT_EQ(world.Log().find("Daily: Called by the scheduler."), std::string::npos);
}

// With no YUX running, a bin verb's path has no receiver: the messenger
// says so and fails instead of dropping it.
TEST(Program, BinVerbWithoutARunningInstanceFails) {
  YuxWorld world;
  for (const char* verb : {"/YUX-KEEPER", "/YUX-RECYCLE"}) {
    auto r = test::RunProgram({test::BuiltProgram("yux").string(), verb, "/data/a.txt"}, world.EnvMap(), 20000);
    EXPECT_NE(r.exitCode, 0) << verb;
    EXPECT_NE(r.err.find("nothing received the path: /data/a.txt"), std::string::npos) << r.err;
  }
}
