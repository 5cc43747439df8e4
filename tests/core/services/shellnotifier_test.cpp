// The shell notifier: "yux.snt", the fired handler with its inactivity,
// the watches scheduling presets, the dialog, and a real yux that runs a
// preset after a file appears in a watched folder.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "core/schedule/scheduler.h"
#include "core/services/shellnotifier.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "platform/messagebox.h"
#include "tests/core/program_fixture.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;
using test::PumpUntil;
namespace fs = std::filesystem;

namespace {

class Notifier : public test::ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
    PresetsFolder = (settings / "presets").string();
    fs::create_directories(PresetsFolder);
    for (int n = 1; n <= kShellNotifierTasks; ++n) ShellNotifierTasks[n - 1] = DefaultShellNotifierTask(n);
  }
  void TearDown() override {
    StopShellNotifiers();
    ShellNotifierTimings() = {};
    SetShellNotifierHooks({});
    SetPresetListRows(nullptr);
    test::ProgramTest::TearDown();
  }
  // Presets are known to the schedule through the main window's rows.
  void KnowPresets(const std::vector<std::string>& names) {
    for (const auto& n : names) rows_.rows.push_back({n, "", ""});
    SetPresetListRows(&rows_);
  }
  std::string Log() const { return test::ReadFile(settings / "yux.log"); }
  // Task n, enabled: "Inbox", which schedules "Daily" after a change in
  // `folder`.
  tsnopt& InboxTask(int n, const fs::path& folder) {
    tsnopt& task = ShellNotifierTasks[n - 1];
    task.Name = "Inbox";
    task.Folder = folder.string();
    task.Preset = "Daily";
    task.Enabled = true;
    return task;
  }

  TPresetRowList rows_;
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  test::FakeHooks hooks;
};

TDateTime At(const char* text) { return *DateTimeFromText(text); }

}  // namespace

TEST_F(Notifier, TasksFileKeysInOrderDefaultsAndBadValues) {
  ShellNotifierArray tasks;
  for (int n = 1; n <= kShellNotifierTasks; ++n) tasks[n - 1] = DefaultShellNotifierTask(n);
  tasks[2].Name = "Photos";
  tasks[2].Folder = "/home/u/Pictures";
  tasks[2].Preset = "Daily";
  tasks[2].Enabled = true;
  tasks[2].Subfolders = true;
  tasks[2].CSZ = false;
  tasks[2].ExecDelay = 5;
  tasks[2].InactiveDelay = 0;
  tasks[2].InactiveTill = At("2026.12.24 22:00:00");
  ASSERT_TRUE(SaveShellNotifierTasks(tasks));
  const std::string text = test::ReadFile(home / "yux.snt");
  EXPECT_NE(text.find("[TASK3]\r\nENABLED=1\r\nNAME=Photos\r\nPRESET=Daily\r\nFOLDER=/home/u/Pictures\r\n"
                      "SUBFOLDERS=1\r\nEXECDELAY=5\r\nINACTIVEDELAY=0\r\nINACTIVETILL=2026.12.24 22:00:00 \r\n"
                      "CFN=1\r\nCDN=1\r\nCSZ=0\r\nCLW=1\r\nCAT=1\r\n[TASK4]"),
            std::string::npos)
      << text;
  ShellNotifierArray back;
  LoadShellNotifierTasks(back);
  EXPECT_EQ(back, tasks);

  // Unreadable numbers and times take their defaults, with one log line;
  // booleans follow the "0" rule.
  test::WriteFile(home / "yux.snt",
                  "[TASK1]\r\nENABLED=yes\r\nEXECDELAY=ten\r\nINACTIVEDELAY=\r\nINACTIVETILL=soon\r\nCFN=0\r\n");
  LoadShellNotifierTasks(back);
  EXPECT_TRUE(back[0].Enabled);
  EXPECT_EQ(back[0].ExecDelay, 10);
  EXPECT_EQ(back[0].InactiveDelay, 60);
  EXPECT_EQ(back[0].InactiveTill, At("2000.01.01 00:00:00"));
  EXPECT_FALSE(back[0].CFN);
  EXPECT_EQ(back[0].Name, "Task 1");
  EXPECT_EQ(back[8], DefaultShellNotifierTask(9));
  const std::string log = Log();
  EXPECT_EQ(test::CountOf(log, "SHELL NOTIFIER: unreadable values"), 1) << log;
  EXPECT_NE(log.find("TASK1.EXECDELAY=ten"), std::string::npos);
}

TEST_F(Notifier, AChangeSchedulesOnceThenRestsForItsMinutes) {
  KnowPresets({"Daily"});
  TDateTime now = At("2026.12.10 12:00:00");
  SetShellNotifierHooks({[&] { return now; }, {}});
  tsnopt& task = ShellNotifierTasks[1];
  task.Name = "Docs";
  task.Preset = "Daily";

  ShellNotifierFired(2);
  ASSERT_EQ(Schedule.Rows().size(), 1u);
  EXPECT_EQ(Schedule.Rows()[0].Name, "Daily");
  EXPECT_EQ(Schedule.Rows()[0].DateText, "2026.12.10 12:00:10 ");
  EXPECT_NE(Log().find("SHELL NOTIFIER: task \"Docs\" schedules \"Daily\" to 2026.12.10 12:00:10 ."),
            std::string::npos)
      << Log();
  EXPECT_DOUBLE_EQ(task.InactiveTill, At("2026.12.10 13:00:00"));
  // Saved at once.
  ShellNotifierArray saved;
  LoadShellNotifierTasks(saved);
  EXPECT_DOUBLE_EQ(saved[1].InactiveTill, task.InactiveTill);

  now = At("2026.12.10 12:59:59");
  ShellNotifierFired(2);
  EXPECT_EQ(Schedule.Rows().size(), 1u);
  // The scheduler took the row long ago; an hour on, a change schedules.
  auto takeFirstRow = [] {
    Schedule.Delete(0);
    RefreshSchedule();
  };
  takeFirstRow();
  now = At("2026.12.10 13:00:00");
  ShellNotifierFired(2);
  ASSERT_EQ(Schedule.Rows().size(), 1u);
  EXPECT_EQ(Schedule.Rows()[0].DateText, "2026.12.10 13:00:10 ");

  // No inactivity: every change after the last run was taken schedules
  // (and is saved and logged).
  Schedule.Clear();
  RefreshSchedule();
  task.InactiveDelay = 0;
  task.InactiveTill = 0;
  const int logged = test::CountOf(Log(), "SHELL NOTIFIER: task \"Docs\" schedules");
  for (int i = 0; i < 3; ++i) {
    now += 1.0 / 86400;
    ShellNotifierFired(2);
    ASSERT_EQ(Schedule.Rows().size(), 1u);
    takeFirstRow();
  }
  EXPECT_EQ(test::CountOf(Log(), "SHELL NOTIFIER: task \"Docs\" schedules"), logged + 3);

  // A preset that does not exist is refused by the schedule.
  Schedule.Clear();
  task.Preset = "Nothing";
  ShellNotifierFired(2);
  EXPECT_TRUE(Schedule.Rows().empty());
}

TEST_F(Notifier, WatchesFollowTheEnabledTasksAndScheduleAfterAChange) {
  KnowPresets({"Daily"});
  test::TempDir watched;
  tsnopt& task = InboxTask(5, watched.path());
  task.ExecDelay = 30;
  ShellNotifierTasks[5].Folder = watched.str();  // not enabled: no watch
  StartShellNotifiers();
  EXPECT_TRUE(ShellNotifierWatching(5));
  EXPECT_FALSE(ShellNotifierWatching(6));

  const QDateTime before = QDateTime::currentDateTime();
  test::WriteFile(watched / "new.txt", "x");
  QElapsedTimer t;
  t.start();
  while (Schedule.Rows().empty() && t.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  const QDateTime after = QDateTime::currentDateTime();
  ASSERT_EQ(Schedule.Rows().size(), 1u) << Log();
  const QDateTime due = QtFromDateTime(*DateTimeFromText(Schedule.Rows()[0].DateText));
  EXPECT_GE(due, before.addSecs(30).addMSecs(-1000));
  EXPECT_LE(due, after.addSecs(30).addMSecs(1000));

  // A rebuild without the task stops its watch.
  task.Enabled = false;
  StartShellNotifiers();
  EXPECT_FALSE(ShellNotifierWatching(5));
}

// A watched folder that goes away is an error, and the task watches it
// again once a folder of that name is back: one line says so, however many
// tries it took.  A symbolic link in its place is not watched.
TEST_F(Notifier, AFolderThatGoesAwayIsWatchedAgainWhenItIsBack) {
  KnowPresets({"Daily"});
  ShellNotifierTimings().retryMs = 20;
  test::TempDir parent;
  const fs::path inbox = parent / "inbox";
  const fs::path elsewhere = parent / "elsewhere";
  fs::create_directories(inbox);
  fs::create_directories(elsewhere);
  InboxTask(7, inbox).InactiveDelay = 0;
  StartShellNotifiers();
  ASSERT_TRUE(ShellNotifierWatching(7));
  auto pumpUntil = [](const std::function<bool()>& done, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  };

  fs::remove(inbox);
  ASSERT_TRUE(pumpUntil([&] { return Log().find("stopped watching") != std::string::npos; })) << Log();
  EXPECT_NE(Log().find("SHELL NOTIFIER: task \"Inbox\" stopped watching: the folder \"" + inbox.string() +
                       "\" was removed or moved; it watches again once the folder is back. [!]"),
            std::string::npos)
      << Log();
  EXPECT_FALSE(ShellNotifierWatching(7));

  // A link in the folder's place: many retries, none watches through it.
  fs::create_directory_symlink(elsewhere, inbox);
  pumpUntil([] { return false; }, 300);
  test::WriteFile(elsewhere / "through-the-link.txt", "x");
  pumpUntil([] { return !Schedule.Rows().empty(); }, 300);
  EXPECT_TRUE(Schedule.Rows().empty());
  EXPECT_FALSE(ShellNotifierWatching(7));
  EXPECT_EQ(Log().find("again."), std::string::npos) << Log();

  // The folder back: watched again, said once.
  fs::remove(inbox);
  fs::create_directory(inbox);
  ASSERT_TRUE(pumpUntil([&] { return ShellNotifierWatching(7); })) << Log();
  pumpUntil([] { return false; }, 200);
  EXPECT_EQ(test::CountOf(Log(), "SHELL NOTIFIER: task \"Inbox\" watches \"" + inbox.string() + "\" again."), 1)
      << Log();
  test::WriteFile(inbox / "new.txt", "x");
  ASSERT_TRUE(pumpUntil([] { return !Schedule.Rows().empty(); })) << Log();
  EXPECT_EQ(Schedule.Rows()[0].Name, "Daily");
}

namespace {

// Counts the files saved into folders, by name: a replacing save puts its
// file in place by a link or a rename.
class FileWrites {
 public:
  explicit FileWrites(const std::vector<fs::path>& folders) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    for (const auto& f : folders) inotify_add_watch(fd_, f.c_str(), IN_MOVED_TO | IN_CREATE);
  }
  ~FileWrites() { close(fd_); }
  // The writes of `name` so far; a queue that overflowed counts as many.
  int Of(const std::string& name) {
    alignas(inotify_event) char buf[65536];
    for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;) {
      for (ssize_t off = 0; off < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & IN_Q_OVERFLOW) overflowed_ = true;
        if (ev->len > 0) ++counts_[ev->name];
      }
    }
    return overflowed_ ? 1 << 30 : counts_[name];
  }

 private:
  int fd_;
  bool overflowed_ = false;
  std::map<std::string, int> counts_;
};

}  // namespace

// "Make inactive for" 0 minutes: a burst of changes while the row of the
// first one waits in the schedule adds no row and saves nothing; once the
// row has left the schedule, one line says how many changes it covered and
// the next change schedules again.
TEST_F(Notifier, ABurstWhileItsRowWaitsMakesOneRow) {
  KnowPresets({"Daily", "Weekly"});
  TDateTime now = At("2026.12.10 12:00:00");
  SetShellNotifierHooks({[&] { return now; }, {}});
  tsnopt& task = ShellNotifierTasks[3];
  task.Name = "Build";
  task.Preset = "Daily";
  task.InactiveDelay = 0;
  auto rowsOfTask = [] {
    return std::count_if(Schedule.Rows().begin(), Schedule.Rows().end(),
                         [](const tschdata& r) { return r.Name == "Daily"; });
  };
  struct Take {
    const char* how;
    std::function<void()> take;
  } takes[] = {
      {"run by the scheduler",
       [] {
         Schedule.Delete(0);
         RefreshSchedule();
       }},
      {"deleted by the user", [] { DeleteScheduleRowsFor("Daily"); }},
      {"gone from a schedule another instance saved",
       [this] {
         test::WriteFile(settings / "yux.sch", "<D>2026.12.31 10:00:00 </D><P>Weekly</P>"
                                               "<O>REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110</O>\r\n");
         LoadSchedule();
         RefreshSchedule();
       }},
  };
  int changes = 10000;
  for (const Take& t : takes) {
    SCOPED_TRACE(t.how);
    now += 1.0 / 1440;
    FileWrites writes({settings.path(), home.path()});
    for (int i = 0; i < changes; ++i) {
      now += 0.001 / 86400;
      ShellNotifierFired(4);
      ASSERT_EQ(rowsOfTask(), 1) << "after change " << i + 1;
    }
    EXPECT_LE(writes.Of("yux.sch"), 3);
    EXPECT_LE(writes.Of("yux.snt"), 1);
    // Watches rebuilt (the dialog's OK) leave the waiting row in charge.
    StartShellNotifiers();
    ShellNotifierFired(4);
    ASSERT_EQ(rowsOfTask(), 1);
    ++changes;
    std::string scheduled = Schedule.Rows()[0].DateText;
    while (scheduled.ends_with(' ')) scheduled.pop_back();
    const std::string covered = "SHELL NOTIFIER: task \"Build\": the run of \"Daily\" scheduled to " + scheduled +
                                " covers " + std::to_string(changes) + " changes.";
    EXPECT_EQ(Log().find(covered), std::string::npos);
    t.take();
    EXPECT_EQ(rowsOfTask(), 0);
    EXPECT_EQ(test::CountOf(Log(), covered), 1) << Log();
    changes = 3;
  }
  // A row taken, the next change schedules again.
  const int scheduled = test::CountOf(Log(), "SHELL NOTIFIER: task \"Build\" schedules");
  ShellNotifierFired(4);
  EXPECT_EQ(rowsOfTask(), 1);
  EXPECT_EQ(test::CountOf(Log(), "SHELL NOTIFIER: task \"Build\" schedules"), scheduled + 1);
}

// A save of the tasks that would write what the file holds leaves it alone.
TEST_F(Notifier, SavingTheSameTasksAgainWritesNothing) {
  FileWrites writes({home.path()});
  ASSERT_TRUE(SaveShellNotifierTasks(ShellNotifierTasks));
  ASSERT_TRUE(SaveShellNotifierTasks(ShellNotifierTasks));
  EXPECT_EQ(writes.Of("yux.snt"), 1);
  ShellNotifierTasks[0].Name = "Renamed";
  ASSERT_TRUE(SaveShellNotifierTasks(ShellNotifierTasks));
  EXPECT_EQ(writes.Of("yux.snt"), 2);
  ShellNotifierArray back;
  LoadShellNotifierTasks(back);
  EXPECT_EQ(back, ShellNotifierTasks);
}

namespace {

// The scheduler's tick as the main window's timer drives it, with the runs
// it starts recorded instead of run.
class TickingScheduler : public SchedulerActions {
 public:
  TickingScheduler() {
    Options.son = true;
    SetSchedulerActions(this);
    QObject::connect(&timer_, &QTimer::timeout, [] { SchedulerTick(); });
    timer_.start(20);
  }
  ~TickingScheduler() override { SetSchedulerActions(nullptr); }
  void CloseMainWindow() override {}
  void ShowMainWindow() override {}
  void RecreateTrayIcon() override {}
  void RunPresetRow(const std::string& name) override { runs.push_back(name); }
  std::vector<std::string> runs;

 private:
  QTimer timer_;
};

}  // namespace

// A folder that is missing at start, and a watched folder replaced by a
// rename (a new one built beside it and moved into place, the old one moved
// aside or renamed over): the task watches the folder that is there now,
// and its arrival is one change, which leads to one run.
TEST_F(Notifier, AFolderThatArrivesLeadsToOneRun) {
  KnowPresets({"Daily"});
  ShellNotifierTimings().retryMs = 20;
  enum class Arrival { MadeAfterStart, MovedAsideAndReplaced, RenamedOver };
  struct Case {
    const char* what;
    Arrival arrival;
  } cases[] = {{"made after the start", Arrival::MadeAfterStart},
               {"moved aside and replaced", Arrival::MovedAsideAndReplaced},
               {"renamed over", Arrival::RenamedOver}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Schedule.Clear();
    test::TempDir parent;
    const fs::path inbox = parent / "inbox";
    const fs::path built = parent / "inbox.new";
    if (c.arrival != Arrival::MadeAfterStart) fs::create_directories(inbox);
    // The run comes a second after the change, as the retry's interval is
    // shorter; a folder renamed over the old one changes the old one too,
    // and both changes are covered by that run.  No rest after a change:
    // one run is not owed to the inactivity.
    tsnopt& task = InboxTask(8, inbox);
    task.ExecDelay = 1;
    task.InactiveDelay = 0;
    TickingScheduler scheduler;
    const std::size_t logStart = Log().size();
    StartShellNotifiers();
    if (c.arrival == Arrival::MadeAfterStart) {
      EXPECT_NE(Log().find("SHELL NOTIFIER: task \"Inbox\" cannot watch \"" + inbox.string() +
                               "\": No such file or directory; it watches once the folder is there. [!]",
                           logStart),
                std::string::npos)
          << Log();
      EXPECT_FALSE(ShellNotifierWatching(8));
      PumpUntil([] { return false; }, 100);
      fs::create_directory(built);
      test::WriteFile(built / "new.txt", "x");
      fs::rename(built, inbox);
    } else {
      ASSERT_TRUE(ShellNotifierWatching(8));
      fs::create_directory(built);
      test::WriteFile(built / "new.txt", "x");
      if (c.arrival == Arrival::MovedAsideAndReplaced) fs::rename(inbox, parent / "inbox.old");
      fs::rename(built, inbox);
    }
    ASSERT_TRUE(PumpUntil([&] { return !scheduler.runs.empty(); })) << Log().substr(logStart);
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(scheduler.runs, std::vector<std::string>{"Daily"}) << Log().substr(logStart);
    EXPECT_TRUE(ShellNotifierWatching(8));
    EXPECT_EQ(test::CountOf(Log().substr(logStart), "SHELL NOTIFIER: task \"Inbox\" watches \"" + inbox.string() +
                                                        "\" again."),
              1);
    // The new folder is the one watched.
    test::WriteFile(inbox / "later.txt", "x");
    ASSERT_TRUE(PumpUntil([&] { return scheduler.runs.size() == 2; })) << Log().substr(logStart);
    StopShellNotifiers();
  }
}

namespace {

// Folders deeper than a path can name, made and removed through descriptors.
class DeepChain {
 public:
  // Makes `top`/`name`/n/n/... until a folder's path passes 4096 bytes;
  // Parent() is then the deepest folder whose path still fits.
  DeepChain(const fs::path& top, const std::string& name) : top_(top), name_(name) {
    int fd = open(top.c_str(), O_DIRECTORY | O_CLOEXEC);
    std::string path = top.string(), part = name;
    while (fd >= 0 && path.size() < 4096) {
      mkdirat(fd, part.c_str(), 0755);
      const int next = openat(fd, part.c_str(), O_DIRECTORY | O_CLOEXEC);
      path += "/" + part;
      // Paths of 4096 bytes and more cannot be named (PATH_MAX).
      if (path.size() < 4096 && path.size() + 251 >= 4096 && parent_ < 0) parent_ = next >= 0 ? dup(next) : -1;
      close(fd);
      fd = next;
      part = std::string(250, 'n');
    }
    if (fd >= 0) close(fd);
  }
  ~DeepChain() {
    if (parent_ >= 0) close(parent_);
    const int fd = open(top_.c_str(), O_DIRECTORY | O_CLOEXEC);
    Remove(fd, name_);
    close(fd);
  }
  int Parent() const { return parent_; }

 private:
  static void Remove(int dirFd, const std::string& name) {
    const int fd = openat(dirFd, name.c_str(), O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      std::vector<std::string> children;
      if (DIR* d = fdopendir(dup(fd))) {
        while (dirent* e = readdir(d))
          if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") children.push_back(e->d_name);
        closedir(d);
      }
      for (const auto& c : children) Remove(fd, c);
      close(fd);
    }
    unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
  }
  fs::path top_;
  std::string name_;
  int parent_ = -1;
};

}  // namespace

// Subfolders that cannot be watched (the system's watch limit, or here a
// path too long to name) leave changes unseen: the task says so in the log,
// once, however many there are and whenever they come.
TEST_F(Notifier, SubfoldersThatCannotBeWatchedAreLoggedOnce) {
  KnowPresets({"Daily"});
  test::TempDir watched;
  DeepChain a(watched.path(), "a"), b(watched.path(), "b");
  ASSERT_GE(a.Parent(), 0);
  tsnopt& task = ShellNotifierTasks[2];
  task.Name = "Deep";
  task.Folder = watched.str();
  task.Preset = "Daily";
  task.Enabled = true;
  task.Subfolders = true;
  StartShellNotifiers();
  ASSERT_TRUE(ShellNotifierWatching(3));
  QElapsedTimer t;
  t.start();
  while (Log().find("cannot be watched") == std::string::npos && t.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_NE(Log().find("SHELL NOTIFIER: task \"Deep\": 2 subfolders cannot be watched"), std::string::npos) << Log();
  EXPECT_NE(Log().find("File name too long"), std::string::npos) << Log();

  // One more such folder, made while the task watches: seen as a change,
  // not logged again.
  ASSERT_EQ(mkdirat(a.Parent(), std::string(250, 'm').c_str(), 0755), 0);
  t.restart();
  while (Schedule.Rows().empty() && t.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_EQ(Schedule.Rows().size(), 1u) << Log();
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_EQ(test::CountOf(Log(), "cannot be watched"), 1) << Log();
  StopShellNotifiers();
}

namespace {

// A real yux's settings: the preset "Daily", and task 2 "Inbox", which
// runs it a second after a change in the folder "inbox" and then rests for
// `inactiveMinutes`.
class ShellNotifierProgram : public ::testing::Test {
 protected:
  void Prepare(int inactiveMinutes) {
    world.UseSettingsFolder();
    fs::create_directories(source);
    fs::create_directories(inbox);
    test::WriteFile(source / "notes.txt", "Notes to keep.\n");
    test::WriteDailyPreset(world, source, dest);
    test::WriteFile(world.home / "yux.snt", "[TASK2]\r\nENABLED=1\r\nNAME=Inbox\r\nPRESET=Daily\r\nFOLDER=" +
                                                inbox.string() + "\r\nEXECDELAY=1\r\nINACTIVEDELAY=" +
                                                std::to_string(inactiveMinutes) + "\r\n");
  }
  test::YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  const fs::path inbox = world.settings / "inbox";
};

}  // namespace

TEST_F(ShellNotifierProgram, ANewFileInAWatchedFolderRunsThePreset) {
  Prepare(60);
  test::RunningYux yux(world);
  ASSERT_TRUE(test::WaitForText(world.settings / "yux.log", "YUX is ready now.")) << yux.Err();
  test::WriteFile(inbox / "arrived.txt", "new");
  ASSERT_TRUE(test::WaitForText(world.settings / "yux.log", "SHELL NOTIFIER: task \"Inbox\" schedules \"Daily\""))
      << world.Log();
  ASSERT_TRUE(test::WaitForText(world.settings / "yux.log", "Daily: Done.", 30000)) << world.Log();
  EXPECT_TRUE(fs::exists(dest / "Daily.rar"));
  // The task rests now: it was saved with its inactive-till time.
  const std::string snt = test::ReadFile(world.home / "yux.snt");
  const std::size_t task2 = snt.find("[TASK2]");
  ASSERT_NE(task2, std::string::npos) << snt;
  const std::size_t till = snt.find("INACTIVETILL=", task2);
  EXPECT_NE(snt.substr(till, 17), "INACTIVETILL=2000") << snt;
}

// The watched folder removed and made again while yux runs: the folder's
// return is a change that runs the preset, and a file written into it
// afterwards runs it again.
TEST_F(ShellNotifierProgram, AFolderMadeAgainIsWatchedAgain) {
  Prepare(0);
  test::RunningYux yux(world);
  const fs::path log = world.settings / "yux.log";
  ASSERT_TRUE(test::WaitForText(log, "YUX is ready now.")) << yux.Err();
  fs::remove(inbox);
  ASSERT_TRUE(test::WaitForText(log, "SHELL NOTIFIER: task \"Inbox\" stopped watching")) << world.Log();
  const std::size_t removed = world.Log().size();
  fs::create_directory(inbox);
  ASSERT_TRUE(test::WaitForText(log, "SHELL NOTIFIER: task \"Inbox\" watches \"" + inbox.string() + "\" again."))
      << world.Log();
  ASSERT_TRUE(test::WaitForText(log, "Daily: Done.", 30000, removed)) << world.Log();
  fs::remove(dest / "Daily.rar");  // the next run's archive has the same name
  const std::size_t resumed = world.Log().size();
  test::WriteFile(inbox / "arrived.txt", "new");
  ASSERT_TRUE(test::WaitForText(log, "SHELL NOTIFIER: task \"Inbox\" schedules \"Daily\"", 15000, resumed))
      << world.Log();
  ASSERT_TRUE(test::WaitForText(log, "Daily: Done.", 30000, resumed)) << world.Log();
  EXPECT_TRUE(fs::exists(dest / "Daily.rar"));
}
