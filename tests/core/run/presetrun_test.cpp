#include "core/run/presetrun.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <QTimer>

#include "core/run/foldercopy.h"
#include "core/services/startup.h"
#include "core/store/datetime.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "platform/messagebox.h"
#include "platform/messages.h"
#include "platform/namedobjects.h"
#include "tests/core/run/rename_fault.h"
#include "tests/core/settings_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class RecordingHooks : public RunHooks {
 public:
  void SetRunIcon(bool running) override { events.push_back(running ? "icon run" : "icon normal"); }
  void HideProgress() override { events.push_back("progress hidden"); }
  void RunStateChanged(bool active) override { events.push_back(active ? "busy" : "idle"); }
  std::vector<std::string> events;
};

// A settings folder, a presets folder, a temp folder, a source folder and
// a destination, all in one temporary folder; the archiver is the real
// stand-in unless a test writes a fake one.
class PresetRun : public test::SettingsFolderTest {
 protected:
  void SetUp() override {
    SettingsFolderTest::SetUp();
    fs::create_directories(dir / "src");
    test::WriteFile(dir / "src" / "a.txt", std::string(3000, 'a'));
    test::WriteFile(dir / "src" / "b.txt", "bee");
    SetRunHooks(&hooks);
    rows.rows = {{"Daily", "", ""}};
    SetPresetListRows(&rows);
    preset.nam = "Daily";
    preset.dtf.clear();  // a name without a time stamp, so tests know it
    preset.vol = "None";
    preset.ctf = true;
    preset.dir = Dest();
  }
  void TearDown() override {
    SetPresetListRows(nullptr);
    SetRunHooks(nullptr);
    platform::SetMessageBoxService(nullptr);
    SettingsFolderTest::TearDown();
  }

  std::string Dest() const { return (dir / "dest").string(); }
  void Save(const std::string& name = "Daily") {
    ASSERT_TRUE(SavePresetWithSource(name));
  }
  RunOutcome Run(const std::string& name = "Daily") {
    Save(name);
    return RunPreset(name);
  }

  // A stand-in for the archiver: records its arguments and its process id,
  // writes "<archive>.rar", runs `extra` and exits with `code`.
  void FakeArchiver(int code, const std::string& extra = "") {
    const fs::path script = dir / "fake-archiver.sh";
    test::WriteFile(script,
                    "#!/bin/sh\n"
                    "printf '%s\\n' \"$@\" > '" + (dir / "args.txt").string() + "'\n"
                    "echo $$ > '" + (dir / "pid.txt").string() + "'\n"
                    "target=''\n"
                    "for a in \"$@\"; do case \"$a\" in a|-*|@*) ;; *) target=\"$a\";; esac; done\n"
                    "printf 'archive' > \"$target.rar\"\n" +
                        extra + "\nexit " + std::to_string(code) + "\n");
    fs::permissions(script, fs::perms::owner_all);
    WinRarPath = script.string();
  }
  std::vector<std::string> FakeArgs() {
    std::vector<std::string> out;
    std::string all = test::ReadFile(dir / "args.txt"), line;
    for (char c : all) {
      if (c == '\n') out.push_back(std::exchange(line, {}));
      else line += c;
    }
    return out;
  }
  bool Logged(const std::string& line) const {
    return std::find(log.lines.begin(), log.lines.end(), line) != log.lines.end();
  }
  // Position of the first line that begins with `prefix`; -1 when none.
  long Find(const std::string& prefix) const {
    for (size_t i = 0; i < log.lines.size(); ++i)
      if (log.lines[i].rfind(prefix, 0) == 0) return static_cast<long>(i);
    return -1;
  }
  // Bytes that do not compress.
  static std::string Noise(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string noise(size, '\0');
    for (auto& c : noise) c = static_cast<char>(rng());
    return noise;
  }
  void ExpectTempFolderEmpty() { EXPECT_TRUE(fs::is_empty(dir / "temp")) << "run folder left behind"; }
  void ExpectEndedCleanly() {
    EXPECT_FALSE(RunActive);
    EXPECT_FALSE(RunInProgress());
    ASSERT_FALSE(hooks.events.empty());
    EXPECT_EQ(hooks.events.back(), "idle");
    EXPECT_EQ(std::count(hooks.events.begin(), hooks.events.end(), "icon run"),
              std::count(hooks.events.begin(), hooks.events.end(), "icon normal"));
  }
  std::vector<std::string> History(const std::string& name = "Daily") {
    auto lines = ReadPresetList(name, ".hst");
    return lines ? *lines : std::vector<std::string>{};
  }

  RecordingHooks hooks;
  TPresetRowList rows;
};

TEST_F(PresetRun, NormalRunArchivesCopiesAndRecords) {
  EXPECT_EQ(Run(), RunOutcome::Done);

  const fs::path archive = dir / "dest" / "Daily.rar";
  ASSERT_TRUE(fs::exists(archive));
  EXPECT_EQ(test::ReadFile(archive).substr(0, 2), "PK");
  ASSERT_EQ(log.lines.size(), 4u) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(log.lines[0], "Daily: WinRAR - Started.");
  EXPECT_EQ(log.lines[1].rfind("Daily: WinRAR - Done (1 file, ", 0), 0u) << log.lines[1];
  EXPECT_EQ(log.lines[2], "Daily: COPY - Successfully copied Daily.rar.");
  EXPECT_EQ(log.lines[3], "Daily: Done.");

  const auto history = History();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_NE(history[0].find(" \t4-COPY\t" + archive.string()), std::string::npos) << history[0];
  EXPECT_EQ(ReadPresetList("Daily", ".lgc")->at(1), "Daily.rar");

  const std::string runFolder = RunFolderName();
  EXPECT_EQ(runFolder.size(), 8u);
  EXPECT_TRUE(std::all_of(runFolder.begin(), runFolder.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
      << runFolder;
  ExpectTempFolderEmpty();
  ExpectEndedCleanly();
  EXPECT_EQ(hooks.events, (std::vector<std::string>{"busy", "icon run", "icon normal", "idle"}));
  EXPECT_TRUE(TextToDateTime(rows.rows[0].Previous).has_value());
  EXPECT_NE(test::ReadFile(dir / "yux.las").find("<P>Daily</P>"), std::string::npos);
}

TEST_F(PresetRun, DirectModeArchivesIntoTheDestinationWithoutWaiting) {
  preset.dra = true;
  EXPECT_EQ(Run(), RunOutcome::DirectDone);
  EXPECT_FALSE(RunActive);
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "Daily: WinRAR - Started (direct raring mode, expect no further notifications)."}));
  const fs::path archive = dir / "dest" / "Daily.rar";
  platform::WaitPumping([&] { return fs::exists(archive); }, 10000, 20);
  EXPECT_TRUE(fs::exists(archive));
  ExpectTempFolderEmpty();
  ExpectEndedCleanly();
  EXPECT_FALSE(fs::exists(dir / "presets" / "Daily.hst"));
}

TEST_F(PresetRun, VolumesAreAllDeliveredAndListed) {
  const std::string noise = Noise(100000, 7);
  test::WriteFile(dir / "src" / "noise.bin", noise);
  preset.vol = "20k";
  EXPECT_EQ(Run(), RunOutcome::Done);

  std::vector<std::string> delivered;
  for (const auto& e : fs::directory_iterator(dir / "dest")) delivered.push_back(e.path().filename());
  ASSERT_GE(delivered.size(), 5u);
  const std::string count = std::to_string(delivered.size());
  EXPECT_GE(Find("Daily: WinRAR - Done (" + count + " files, "), 0) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(History().size(), delivered.size());
  EXPECT_EQ(ReadPresetList("Daily", ".lgc")->size(), delivered.size() + 2);
  ExpectTempFolderEmpty();
}

TEST_F(PresetRun, BeforeCommandThatCannotStartEndsTheRun) {
  preset.eba = true;
  preset.ebs = true;
  preset.ebe = (dir / "no-such-program").string();
  EXPECT_EQ(Run(), RunOutcome::Failed);
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "Daily: Sync execution:  " + preset.ebe,
                           "Cannot execute external program [!]"}));
  EXPECT_FALSE(fs::exists(dir / "dest" / "Daily.rar"));
  ExpectTempFolderEmpty();
  ExpectEndedCleanly();
}

// A sync before-command is finished before the archiver starts; an async
// one is not awaited.
TEST_F(PresetRun, BeforeAndAfterCommandsSyncAndAsync) {
  const fs::path marker = dir / "marker";
  const fs::path cmd = dir / "before.sh";
  test::WriteFile(cmd, "#!/bin/sh\nsleep \"$1\"\ntouch '" + marker.string() + "'\n");
  fs::permissions(cmd, fs::perms::owner_all);
  FakeArchiver(0, "[ -e '" + marker.string() + "' ] && echo present > '" + (dir / "seen").string() +
                      "' || echo absent > '" + (dir / "seen").string() + "'");
  for (bool sync : {true, false}) {
    SCOPED_TRACE(sync);
    fs::remove(marker);
    log.lines.clear();
    preset.eba = true;
    preset.ebs = sync;
    preset.ebe = cmd.string();
    preset.ebp = sync ? "0.2" : "1";
    preset.eaa = true;
    preset.eas = true;
    preset.eae = "/bin/sh";
    preset.eap = "-c \"echo after > '" + (dir / "after").string() + "'\"";
    preset.owe = true;
    EXPECT_EQ(Run(), RunOutcome::Done);
    EXPECT_EQ(test::ReadFile(dir / "seen"), sync ? "present\n" : "absent\n");
    EXPECT_EQ(test::ReadFile(dir / "after"), "after\n");
    EXPECT_EQ(log.lines.front(),
              std::string("Daily: ") + (sync ? "Sync" : "Async") + " execution:  " + cmd.string());
    EXPECT_LT(Find("Daily: Sync execution:  /bin/sh"), Find("Daily: Done."));
    // The async command was started and finishes on its own.
    EXPECT_TRUE(platform::WaitPumping([&] { return fs::exists(marker); }, 5000, 20));
  }
}

TEST_F(PresetRun, ExitCodesDecideWhetherTheRunDelivers) {
  struct Case {
    int code;
    bool cie;
    std::string line;
    RunOutcome outcome;
  };
  const std::vector<Case> cases = {
      {1, true, "Daily: WinRAR reported a warning (non-critical).", RunOutcome::Done},
      {1, false, "Daily: WinRAR - Error 1 (see WinRAR log for details). [!]", RunOutcome::Failed},
      {255, false, "Daily: WinRAR - Canceled by the user. [!]", RunOutcome::Done},
      {2, true, "Daily: WinRAR - Error 2 (see WinRAR log for details). [!]", RunOutcome::Failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    fs::remove_all(dir / "dest");
    log.lines.clear();
    Options.cie = c.cie;
    FakeArchiver(c.code);
    EXPECT_EQ(Run(), c.outcome);
    EXPECT_EQ(log.lines.at(1), c.line);
    const bool delivered = c.outcome == RunOutcome::Done;
    EXPECT_EQ(fs::exists(dir / "dest" / "Daily.rar"), delivered);
    EXPECT_EQ(Find("Daily: WinRAR - Done (1 file, 7b)."), delivered ? 2 : -1);
    EXPECT_EQ(log.lines.back(), delivered ? "Daily: Done." : c.line);
    ExpectTempFolderEmpty();
    ExpectEndedCleanly();
  }
}

// An archiver that ends well but leaves no file (or whose file was taken
// out of the run folder while it worked) delivered nothing: no "Done.".
TEST_F(PresetRun, ArchiverThatLeavesNoFileIsNoSuccess) {
  for (const bool afterCommand : {false, true}) {
    SCOPED_TRACE(afterCommand ? "after-command set" : "plain");
    log.lines.clear();
    fs::remove_all(dir / "dest");
    FakeArchiver(0, "rm -f \"$target.rar\"");
    preset.eaa = afterCommand;
    preset.eas = true;
    preset.eae = "/bin/true";
    EXPECT_EQ(Run(), RunOutcome::Failed);
    EXPECT_TRUE(Logged("Daily: WinRAR - No archive was produced; nothing was delivered. [!]")) << log.lines.back();
    EXPECT_EQ(Find("Daily: Done."), -1);
    EXPECT_EQ(Find("Daily: Sync execution:"), -1);
    EXPECT_FALSE(fs::exists(dir / "dest" / "Daily.rar"));
    EXPECT_FALSE(fs::exists(dir / "runfolder.dat"));
    ExpectTempFolderEmpty();
    ExpectEndedCleanly();
  }
}

// A start-up's recovery (another process on the same settings folder)
// that comes while a run archives leaves the live run folder alone; the
// run delivers its archive whole.  Once the run is gone, a folder it left
// behind is recovered as before.
TEST_F(PresetRun, RecoveryLeavesTheFolderOfALiveRunAlone) {
  FakeArchiver(0, "sleep 1");
  QTimer::singleShot(300, [] { RecoverLeftoverRunFolder(); });
  EXPECT_EQ(Run(), RunOutcome::Done) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(test::ReadFile(dir / "dest" / "Daily.rar"), "archive");
  EXPECT_FALSE(fs::exists(dir / "kept"));
  const long leftAlone = Find("Daily: The run folder \"");
  ASSERT_GE(leftAlone, 0) << ::testing::PrintToString(log.lines);
  EXPECT_NE(log.lines[leftAlone].find("still going on; it was left alone."), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "runfolder.dat"));

  // A folder whose run has ended is recovered, named in the one-entry
  // form an older YUX wrote.
  const fs::path left = dir / "temp" / "ABCDEFGH";
  test::WriteFile(left / "Daily.rar", "finished");
  fs::permissions(left, fs::perms::owner_all);
  test::WriteFile(dir / "runfolder.dat", left.string() + "\r\nDaily\r\n");
  RecoverLeftoverRunFolder();
  EXPECT_FALSE(fs::exists(left));
  EXPECT_FALSE(fs::exists(dir / "runfolder.dat"));
  ASSERT_TRUE(fs::is_directory(dir / "kept"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "kept"), fs::directory_iterator()), 1);
}

// While another YUX holds the run lock of this settings folder, one of the
// folders is its live run's and only it knows which: every folder waits for
// a later start.
TEST_F(PresetRun, RecoveryWaitsWhileAnotherProcessRuns) {
  const fs::path left = dir / "temp" / "ABCDEFGH";
  test::WriteFile(left / "Daily.rar", "finished");
  fs::permissions(left, fs::perms::owner_all);
  const std::string marks = "folder=" + left.string() + "\r\npreset=Daily\r\nfolder=" + (dir / "temp" / "IJKLMNOP").string() +
                            "\r\npreset=Weekly\r\n";
  test::WriteFile(dir / "runfolder.dat", marks);
  const auto otherRun = platform::NamedMutex::CreateAt((dir / "runfolder.lock").string());
  ASSERT_TRUE(otherRun && !otherRun->AlreadyExisted());
  RecoverLeftoverRunFolder();
  EXPECT_EQ(test::ReadFile(left / "Daily.rar"), "finished");
  EXPECT_EQ(test::ReadFile(dir / "runfolder.dat"), marks);
  const std::string later = "\" is left for a later start.";
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "Daily: Another YUX runs a backup on this settings folder; the run folder \"" +
                               left.string() + later,
                           "Weekly: Another YUX runs a backup on this settings folder; the run folder \"" +
                               (dir / "temp" / "IJKLMNOP").string() + later}));
}

// Everything below `root` as it is: names, kinds, modes, owners, contents
// and link targets.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " ";
    if (S_ISLNK(st.st_mode)) what += "-> " + fs::read_symlink(it->path()).string();
    else if (S_ISREG(st.st_mode)) what += test::ReadFile(it->path());
    out[fs::relative(it->path(), root).string()] = what;
  }
  return out;
}

// Recovery trusts no entry of "runfolder.dat": a folder that a run did not
// make as it makes its folders (eight capital letters, directly in the temp
// folder, the user's own, mode 0700) is named in one line and left as it is,
// subfolders and all, and its entry stays.
TEST_F(PresetRun, RecoveryLeavesAloneWhatNoRunMade) {
  const fs::path temp = dir / "temp";
  const auto tree = [](const fs::path& folder) {
    test::WriteFile(folder / "report.doc", "mine");
    test::WriteFile(folder / "projects" / "plan.txt", "plan");
    fs::permissions(folder, fs::perms::owner_all);
  };
  struct Case {
    const char* what;
    fs::path entry;
    std::function<void()> make;
    bool needsRoot = false;
  };
  const std::vector<Case> cases = {
      {"a folder outside the temp folder", dir / "Documents", [&] { tree(dir / "Documents"); }},
      {"eight capitals outside the temp folder", dir / "ABCDEFGH", [&] { tree(dir / "ABCDEFGH"); }},
      {"a way out of the temp folder", temp.string() + "/../ABCDEFGH", [&] { tree(dir / "ABCDEFGH"); }},
      {"a small letter", temp / "ABCDEFGh", [&] { tree(temp / "ABCDEFGh"); }},
      {"seven letters", temp / "ABCDEFG", [&] { tree(temp / "ABCDEFG"); }},
      {"below a run folder", temp / "ABCDEFGH" / "IJKLMNOP",
       [&] {
         tree(temp / "ABCDEFGH");
         tree(temp / "ABCDEFGH" / "IJKLMNOP");
       }},
      {"open to others", temp / "ABCDEFGH",
       [&] {
         tree(temp / "ABCDEFGH");
         fs::permissions(temp / "ABCDEFGH", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                                fs::perms::others_read | fs::perms::others_exec);
       }},
      {"a link to a private folder", temp / "ABCDEFGH",
       [&] {
         tree(dir / "Documents");
         fs::create_directory_symlink(dir / "Documents", temp / "ABCDEFGH");
       }},
      {"another user's", temp / "ABCDEFGH",
       [&] {
         tree(temp / "ABCDEFGH");
         ASSERT_EQ(::chown((temp / "ABCDEFGH").c_str(), 65534, 65534), 0);
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && geteuid() != 0) continue;  // only root gives a folder away
    for (const fs::path& p : {dir / "Documents", dir / "ABCDEFGH", dir / "kept"}) fs::remove_all(p);
    for (const auto& e : fs::directory_iterator(temp)) fs::remove_all(e.path());
    c.make();
    const auto before = Snapshot(dir / "Documents"), beforeAbc = Snapshot(dir / "ABCDEFGH"),
               beforeTemp = Snapshot(temp);
    const std::string marks = c.entry.string() + "\r\nDaily\r\n";
    test::WriteFile(dir / "runfolder.dat", marks);
    log.lines.clear();
    RecoverLeftoverRunFolder();
    EXPECT_EQ(Snapshot(dir / "Documents"), before);
    EXPECT_EQ(Snapshot(dir / "ABCDEFGH"), beforeAbc);
    EXPECT_EQ(Snapshot(temp), beforeTemp);
    EXPECT_FALSE(fs::exists(dir / "kept"));
    // Named once: the entry is gone, so the next start says nothing more.
    EXPECT_FALSE(fs::exists(dir / "runfolder.dat"));
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Daily: \"" + c.entry.string() +
                                                   "\" is not a run folder of this temp folder (a private folder of "
                                                   "eight capital letters); it was left alone. [!]"}));
  }

  // A run folder: its finished file is kept, the archiver's unfinished one
  // goes, and a subfolder (no run makes one) stays where it is.
  for (const auto& e : fs::directory_iterator(temp)) fs::remove_all(e.path());
  const fs::path left = temp / "QWERTYUI";
  tree(left);
  test::WriteFile(left / "Daily.rar.yuxtmp.Ab12Cd", "half");
  test::WriteFile(dir / "runfolder.dat", "folder=" + left.string() + "\r\npreset=Daily\r\n");
  log.lines.clear();
  RecoverLeftoverRunFolder();
  EXPECT_FALSE(fs::exists(dir / "runfolder.dat"));
  EXPECT_EQ(test::ReadFile(left / "projects" / "plan.txt"), "plan");
  EXPECT_FALSE(fs::exists(left / "report.doc"));
  EXPECT_FALSE(fs::exists(left / "Daily.rar.yuxtmp.Ab12Cd"));
  ASSERT_TRUE(fs::is_directory(dir / "kept"));
  const fs::path kept = fs::directory_iterator(dir / "kept")->path();
  EXPECT_EQ(test::ReadFile(kept / "report.doc"), "mine");
  EXPECT_EQ(std::distance(fs::directory_iterator(kept), fs::directory_iterator()), 1);
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "Daily: A run was cut off and left its folder \"" + left.string() + "\" behind. [!]",
                           "Daily: Undelivered files were kept in \"" + kept.string() + "\". [!]"}));
}

// The copy's destination is in the run's entry before anything moves
// there, so that a start after a kill knows where a copy was cut off.
TEST_F(PresetRun, CopyDestinationIsRecordedBeforeTheFirstMove) {
  std::string atMove;
  test::RenameFault watch(0, [&](const std::string&, const std::string& to) {
    if (atMove.empty() && to.starts_with(Dest())) atMove = test::ReadFile(dir / "runfolder.dat");
    return false;
  });
  EXPECT_EQ(Run(), RunOutcome::Done) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(atMove, "folder=" + RunFolderPath() + "\r\npreset=Daily\r\ncopyto=" + Dest() + "\r\n");
  EXPECT_FALSE(fs::exists(dir / "runfolder.dat"));
}

bool ProcessGone(const fs::path& pidFile) {
  std::string pid = test::ReadFile(pidFile);
  while (!pid.empty() && pid.back() == '\n') pid.pop_back();
  return !pid.empty() && !fs::exists("/proc/" + pid);
}

TEST_F(PresetRun, AbortStopsASlowArchiver) {
  FakeArchiver(0, "exec sleep 30");
  QTimer::singleShot(300, [] { AbortRequested = true; });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run(), RunOutcome::Aborted);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(log.lines, (std::vector<std::string>{"Daily: WinRAR - Started.", "Abort requested.",
                                                 "Aborted. [!]"}));
  EXPECT_TRUE(ProcessGone(dir / "pid.txt"));
  EXPECT_FALSE(fs::exists(dir / "dest" / "Daily.rar"));
  ExpectTempFolderEmpty();
  ExpectEndedCleanly();
}

TEST_F(PresetRun, OperationTimeoutAbortsTheArchiver) {
  FakeArchiver(0, "exec sleep 30");
  Options.twr = 1;
  PresetRunTuning().minuteMs = 300;
  EXPECT_EQ(Run(), RunOutcome::Aborted);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"Daily: WinRAR - Started.",
                                                 "Daily: Operation timeout, aborting. [!]",
                                                 "Abort requested.", "Aborted. [!]"}));
  EXPECT_TRUE(ProcessGone(dir / "pid.txt"));
  ExpectTempFolderEmpty();
}

// Work that runs inside the run's waits can neither start a second run nor
// take the first one's flag away.
TEST_F(PresetRun, WaitsAreReentrantButTheRunStaysOne) {
  FakeArchiver(0, "exec sleep 30");
  std::vector<RunOutcome> nested;
  bool activeLater = false;
  QTimer::singleShot(100, [&] {
    nested.push_back(RunPreset("Daily"));
    RunActive = false;  // as a "clear log" in the window would do
  });
  QTimer::singleShot(1200, [&] {
    activeLater = RunActive;
    nested.push_back(RunPreset("Other"));
    AbortRequested = true;
  });
  EXPECT_EQ(Run(), RunOutcome::Aborted);
  EXPECT_EQ(nested, (std::vector<RunOutcome>{RunOutcome::Busy, RunOutcome::Busy}));
  EXPECT_TRUE(activeLater);
  EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), "Daily: WinRAR - Started."), 1);
  ExpectEndedCleanly();
}

// A failure nobody expected, after the run-active flag is set, still ends
// the run: flag cleared, run folder removed.
class ThrowingHooks : public RecordingHooks {
 public:
  void SetRunIcon(bool running) override {
    RecordingHooks::SetRunIcon(running);
    if (running) throw std::runtime_error("tray is gone");
  }
};

TEST_F(PresetRun, AnExceptionNeverLeavesTheRunActive) {
  ThrowingHooks throwing;
  SetRunHooks(&throwing);
  EXPECT_EQ(Run(), RunOutcome::Failed);
  EXPECT_FALSE(RunActive);
  EXPECT_FALSE(RunInProgress());
  EXPECT_TRUE(Logged("Daily: Error during the operation. tray is gone [!]"));
  ExpectTempFolderEmpty();
  EXPECT_EQ(throwing.events.back(), "idle");
  // And the next run works.
  SetRunHooks(&hooks);
  EXPECT_EQ(RunPreset("Daily"), RunOutcome::Done);
}

TEST_F(PresetRun, PasswordAndPercentReachTheArchiverAsTyped) {
  FakeArchiver(0);
  preset.pas = true;
  preset.pwd = "a \"quoted\" pass %HOME% ends\\";
  EXPECT_EQ(Run(), RunOutcome::Done);
  const auto args = FakeArgs();
  EXPECT_NE(std::find(args.begin(), args.end(), "-hp" + preset.pwd), args.end())
      << ::testing::PrintToString(args);
  EXPECT_EQ(args.front(), "a");
  EXPECT_EQ(args.back(), "@" + PathJoin(PresetsFolder, "Daily.inc"));
}

TEST_F(PresetRun, DebugFlagShowsTheCommandLineAndKeepsTheArchiverVisible) {
  FakeArchiver(0);
  test::WriteFile(dir / "debug.flg", "");
  auto boxes = std::make_shared<platform::ScriptedMessageBoxService>();
  platform::SetMessageBoxService(boxes);
  EXPECT_EQ(Run(), RunOutcome::Done);
  ASSERT_EQ(boxes->Asked().size(), 1u);
  const std::string shown = boxes->Asked()[0].text;
  EXPECT_EQ(shown.rfind(" a  -CFG- -m0 -ep1 -s -dh -r \"-ILOG", 0), 0u) << shown;
  EXPECT_EQ(shown.find("-INUL"), std::string::npos);
  const auto args = FakeArgs();
  EXPECT_EQ(std::find(args.begin(), args.end(), "-INUL"), args.end());
}

TEST_F(PresetRun, RunsThatDoNotStart) {
  WinRarPath = (dir / "missing-archiver").string();
  EXPECT_EQ(Run(), RunOutcome::NotStarted);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"WinRAR is not found. Check paths. [!]"}));

  WinRarPath = test::BuiltProgram("winrar").string();
  log.lines.clear();
  preset.ctf = false;
  EXPECT_EQ(Run(), RunOutcome::NotStarted);
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{"Daily: YUX - there are no tasks for this preset, operation canceled. [!]"}));

  log.lines.clear();
  preset.ctf = true;
  test::WriteFile(dir / "blocker", "x");
  preset.dir = (dir / "blocker" / "sub").string();
  EXPECT_EQ(Run(), RunOutcome::NotStarted);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"Daily: Error creating destination folder. [!]"}));

  log.lines.clear();
  EXPECT_EQ(RunPreset("Nobody"), RunOutcome::NotStarted);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_NE(log.lines[0].find("[!]"), std::string::npos);
  EXPECT_FALSE(RunActive);
  ExpectTempFolderEmpty();
}

// Deliveries that fail are named as errors; the copy still happens.
TEST_F(PresetRun, UnavailableDeliveriesAreNamedAndTheCopyGoesOn) {
  preset.cdw = preset.smt = preset.ftp = true;
  // Undelivered by three destinations: the run is no success.
  EXPECT_EQ(Run(), RunOutcome::Failed);
  EXPECT_EQ(Find("Daily: Done."), -1);
  EXPECT_EQ(log.lines.back(), "Daily: Daily.rar did not reach every destination; it is in \"" +
                                  (dir / "dest" / "Daily.rar").string() + "\". [!]");
  const long cd = Find("Daily: CD - "), smtp = Find("Daily: SMTP - "), ftp = Find("Daily: FTP - ");
  ASSERT_GE(cd, 0);
  EXPECT_EQ(smtp, cd + 1);
  // No disc component in these hooks: the disc stage says so.
  EXPECT_EQ(log.lines[cd], "Daily: CD - The disc writing service is not available. [!]");
  // No e-mail server set: the session fails and, with retries off, ends.
  EXPECT_EQ(log.lines[smtp], "Daily: SMTP - Connecting to .");
  ASSERT_GT(ftp, smtp);
  EXPECT_EQ(log.lines[ftp - 1],
            "Daily: SMTP - All SMTP tasks have been canceled (reiteration feature is off). [!]");
  // No FTP server set either: the same, and the copy follows.
  EXPECT_EQ(log.lines[ftp], "Daily: FTP - Connecting to .");
  const long ftpEnd = Find("Daily: FTP - All FTP tasks have been canceled (reiteration feature is off). [!]");
  ASSERT_GT(ftpEnd, ftp);
  EXPECT_EQ(Find("Daily: COPY - Successfully copied Daily.rar."), ftpEnd + 1);
  EXPECT_TRUE(fs::exists(dir / "dest" / "Daily.rar"));
}

// Earlier runs in the destination and their blocks in ".lgc"; the cleaner
// runs before the current run's block is added.
TEST_F(PresetRun, CopyCleanersByCountAndByAge) {
  struct Case {
    const char* what;
    int mode, limit;
    std::vector<std::string> kept, removed;
  };
  const std::vector<Case> cases = {
      {"keep 2 runs", 0, 2, {"r1.rar"}, {"r3.rar", "r5.rar"}},
      {"keep 1 run", 0, 1, {}, {"r1.rar", "r3.rar", "r5.rar"}},
      {"keep 3 days", 1, 3, {"r1.rar"}, {"r3.rar", "r5.rar"}},
      {"keep 4 days", 1, 4, {"r1.rar", "r3.rar"}, {"r5.rar"}},
  };
  const QDateTime now = QDateTime::currentDateTime();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir / "dest");
    fs::create_directories(dir / "dest");
    log.lines.clear();
    std::string blocks;
    for (int days : {1, 3, 5}) {
      const std::string name = "r" + std::to_string(days) + ".rar";
      test::WriteFile(dir / "dest" / name, "old");
      blocks += DateTimeToText(now.addDays(-days)) + "\r\n" + name + "\r\n\r\n";
    }
    blocks += DateTimeToText(now.addDays(-9)) + "\r\nlost.rar\r\n\r\n";
    test::WriteFile(dir / "presets" / "Daily.lgc", blocks);
    // Each earlier run delivered its archive here.
    fs::remove(dir / "presets" / "Daily.hst");
    for (const char* name : {"lost.rar", "r5.rar", "r3.rar", "r1.rar"})
      AddHistoryLine("Daily", kHistoryCopy, Dest() + "/" + name);
    preset.cco = true;
    preset.ccm = c.mode;
    preset.ccv = c.limit;
    EXPECT_EQ(Run(), RunOutcome::Done);
    EXPECT_TRUE(fs::exists(dir / "dest" / "Daily.rar"));
    for (const auto& k : c.kept) EXPECT_TRUE(fs::exists(dir / "dest" / k)) << k;
    for (const auto& r : c.removed) {
      EXPECT_FALSE(fs::exists(dir / "dest" / r)) << r;
      EXPECT_TRUE(Logged("Daily: COPY - Cleaner deleted " + Dest() + "/" + r + "."));
    }
    EXPECT_TRUE(Logged("Daily: COPY - Cleaner cannot find file, skipping " + Dest() + "/lost.rar."));
    // The current run's block on top, then the kept ones.
    const auto lgc = *ReadPresetList("Daily", ".lgc");
    EXPECT_EQ(lgc.at(1), "Daily.rar");
    EXPECT_EQ(lgc.size(), 3 * (c.kept.size() + 1));
  }
}

// The copy cleaner deletes an expired name only where the history says this
// preset delivered it, in the destination as it is today, and never a name
// of the current run: only this preset's expired archives here go.
TEST_F(PresetRun, CopyCleanerDeletesOnlyThisPresetsExpiredArchivesHere) {
  const QDateTime now = QDateTime::currentDateTime();
  const auto block = [](const QDateTime& when, const std::string& names) {
    return DateTimeToText(when) + "\r\n" + names + "\r\n\r\n";
  };
  const std::string elsewhere = (dir / "olddest").string();
  struct Case {
    const char* what;
    int mode, limit;
    bool owe;
    std::string lgc;
    std::vector<std::string> placedHere;   // 4-COPY lines at the destination
    std::vector<std::string> placedThere;  // history lines elsewhere
    std::vector<std::string> removed, kept;  // files in the destination
    std::vector<std::string> logged;
  };
  const std::vector<Case> cases = {
      {"destination changed between runs", 0, 1, false, block(now.addDays(-2), "moved.rar"), {},
       {"4-COPY\t" + elsewhere + "/moved.rar"}, {}, {"moved.rar"},
       {"Daily: COPY - Cleaner skips moved.rar: the history does not place it in this destination folder."}},
      {"fixed archive name", 0, 1, true, block(now.addDays(-1), "Daily.rar"), {"Daily.rar"}, {}, {}, {},
       {"Daily: COPY - Cleaner keeps a file of this run: Daily.rar.",
        "Daily: COPY - File Daily.rar already exists, deleting."}},
      {"a block dated next year", 1, 3, false,
       block(now.addYears(1), "next.rar") + block(now.addDays(-10), "d10.rar"), {"next.rar", "d10.rar"}, {}, {},
       {"next.rar", "d10.rar"}, {}},
      {"an expired name placed only by another delivery", 0, 1, false,
       block(now.addDays(-1), "gone.rar\r\nstray.rar"), {"gone.rar"}, {"3-FTP\tftp.example:21/stray.rar"},
       {"gone.rar"}, {"stray.rar"},
       {"Daily: COPY - Cleaner deleted " + Dest() + "/gone.rar.",
        "Daily: COPY - Cleaner skips stray.rar: the history does not place it in this destination folder."}},
      {"a damaged list", 0, 1, false, "not a list\r\n" + block(now.addDays(-1), "kept.rar"), {"kept.rar"}, {}, {},
       {"kept.rar"},
       {"Daily: COPY - Cleaner stopped: The list \"" + (dir / "presets" / "Daily.lgc").string() +
        "\" is damaged. [!]"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const fs::path& d : {dir / "dest", dir / "olddest"}) {
      fs::remove_all(d);
      fs::create_directories(d);
    }
    fs::remove(dir / "presets" / "Daily.hst");
    log.lines.clear();
    test::WriteFile(dir / "presets" / "Daily.lgc", c.lgc);
    for (const auto& line : c.placedThere) {
      const auto tab = line.find('\t');
      AddHistoryLine("Daily", line.substr(0, tab), line.substr(tab + 1));
      if (line.rfind("4-COPY", 0) == 0) test::WriteFile(line.substr(tab + 1), "elsewhere");
    }
    for (const auto& name : c.placedHere) AddHistoryLine("Daily", kHistoryCopy, Dest() + "/" + name);
    for (const auto& name : c.removed) test::WriteFile(dir / "dest" / name, "old");
    for (const auto& name : c.kept) test::WriteFile(dir / "dest" / name, "old");
    if (c.owe) test::WriteFile(dir / "dest" / "Daily.rar", "old");
    preset.cco = true;
    preset.ccm = c.mode;
    preset.ccv = c.limit;
    preset.owe = c.owe;
    EXPECT_EQ(Run(), RunOutcome::Done) << ::testing::PrintToString(log.lines);
    EXPECT_NE(test::ReadFile(dir / "dest" / "Daily.rar"), "old");
    for (const auto& name : c.removed) EXPECT_FALSE(fs::exists(dir / "dest" / name)) << name;
    for (const auto& name : c.kept) EXPECT_EQ(test::ReadFile(dir / "dest" / name), "old") << name;
    for (const auto& line : c.placedThere)
      if (line.rfind("4-COPY", 0) == 0) EXPECT_EQ(test::ReadFile(line.substr(line.find('\t') + 1)), "elsewhere");
    for (const auto& line : c.logged) EXPECT_TRUE(Logged(line)) << line << "\n" << ::testing::PrintToString(log.lines);
    const long deleted = std::count_if(log.lines.begin(), log.lines.end(), [](const std::string& l) {
      return l.rfind("Daily: COPY - Cleaner deleted ", 0) == 0;
    });
    EXPECT_EQ(deleted, static_cast<long>(c.removed.size()));
  }
}

}  // namespace

// ---- Undelivered archives are kept; sources go only after a delivery ----

class KeptRun : public PresetRun {
 protected:
  void SetUp() override {
    PresetRun::SetUp();
    preset.del = true;
    test::WriteFile(dir / "src" / "sub" / "c.txt", "sea");
  }
  std::vector<fs::path> KeptFolders() const {
    std::vector<fs::path> out;
    if (fs::is_directory(dir / "kept"))
      for (const auto& e : fs::directory_iterator(dir / "kept")) out.push_back(e.path());
    return out;
  }
  bool SourcesIntact() const {
    return test::ReadFile(dir / "src" / "a.txt") == std::string(3000, 'a') &&
           test::ReadFile(dir / "src" / "b.txt") == "bee" && test::ReadFile(dir / "src" / "sub" / "c.txt") == "sea";
  }
  bool SourcesGone() const {
    return !fs::exists(dir / "src" / "a.txt") && !fs::exists(dir / "src" / "b.txt") &&
           !fs::exists(dir / "src" / "sub");
  }
  // The run kept its archive: one kept folder holding `names`, named in
  // one error line, and no "Done.".
  void ExpectKept(const std::vector<std::string>& names) {
    const auto kept = KeptFolders();
    ASSERT_EQ(kept.size(), 1u) << ::testing::PrintToString(log.lines);
    std::vector<std::string> held;
    for (const auto& e : fs::directory_iterator(kept[0])) held.push_back(e.path().filename());
    std::sort(held.begin(), held.end());
    EXPECT_EQ(held, names);
    EXPECT_EQ(kept[0].filename().string().rfind("Daily ", 0), 0u) << kept[0];
    EXPECT_GE(Find("Daily: Undelivered files were kept in \"" + kept[0].string() + "\". [!]"), 0)
        << ::testing::PrintToString(log.lines);
    EXPECT_EQ(Find("Daily: Done."), -1);
    ExpectTempFolderEmpty();
    ExpectEndedCleanly();
  }
};

TEST_F(KeptRun, DeliveredArchiveDeletesExactlyTheArchivedSources) {
  test::WriteFile(dir / "elsewhere.txt", "not a source");
  EXPECT_EQ(Run(), RunOutcome::Done) << ::testing::PrintToString(log.lines);
  EXPECT_TRUE(fs::exists(dir / "dest" / "Daily.rar"));
  EXPECT_TRUE(SourcesGone());
  // The include item itself was archived as a folder and is empty now.
  EXPECT_FALSE(fs::exists(dir / "src"));
  EXPECT_TRUE(fs::exists(dir / "elsewhere.txt"));
  EXPECT_GE(Find("Daily: Deleted 3 archived source file(s)."), 0) << ::testing::PrintToString(log.lines);
  // The archiver itself was told to delete nothing.
  FakeArchiver(0);
  preset.owe = true;
  fs::create_directories(dir / "src");
  Run();
  const auto args = FakeArgs();
  EXPECT_EQ(std::find(args.begin(), args.end(), "-df"), args.end());
  EXPECT_TRUE(KeptFolders().empty());
}

TEST_F(KeptRun, MoveRefusedByAnExistingFileKeepsTheArchiveAndTheSources) {
  test::WriteFile(dir / "dest" / "Daily.rar", "the user's older archive");
  EXPECT_EQ(Run(), RunOutcome::Failed);
  EXPECT_EQ(test::ReadFile(dir / "dest" / "Daily.rar"), "the user's older archive");
  EXPECT_GE(Find("Daily: COPY - File Daily.rar already exists, no permission to overwrite. [!]"), 0);
  EXPECT_TRUE(SourcesIntact());
  ExpectKept({"Daily.rar"});
  EXPECT_GE(Find("Daily: The sources were not deleted: the archive did not reach any destination. [!]"), 0);
}

TEST_F(KeptRun, DeliveryThisBuildCannotMakeKeepsTheArchive) {
  preset.ctf = false;
  preset.ftp = true;
  EXPECT_EQ(Run(), RunOutcome::Failed);
  EXPECT_TRUE(SourcesIntact());
  ExpectKept({"Daily.rar"});
  const auto kept = KeptFolders();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(test::ReadFile(kept[0] / "Daily.rar").substr(0, 2), "PK");
  EXPECT_EQ(fs::status(kept[0] / "Daily.rar").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

// A destination that cannot take the archive: a full file system when the
// tests may mount one, else a folder nobody may write.
TEST_F(KeptRun, FullOrUnwritableDestinationKeepsTheArchive) {
  const std::string noise = Noise(200000, 3);
  test::WriteFile(dir / "src" / "a.txt", noise);
  fs::create_directories(dir / "dest");
  bool mounted = false;
  if (geteuid() == 0) {
    mounted = std::system(("mount -t tmpfs -o size=64k tmpfs '" + Dest() + "' 2>/dev/null").c_str()) == 0;
    if (!mounted) GTEST_SKIP() << "running as root, but no tmpfs can be mounted";
  } else {
    fs::permissions(dir / "dest", fs::perms::owner_read | fs::perms::owner_exec);
  }
  const RunOutcome outcome = Run();
  std::vector<std::string> inDest;
  for (const auto& e : fs::directory_iterator(dir / "dest")) inDest.push_back(e.path().filename());
  if (mounted) std::system(("umount '" + Dest() + "'").c_str());
  else fs::permissions(dir / "dest", fs::perms::owner_all);
  EXPECT_EQ(outcome, RunOutcome::Failed);
  // Nothing half-written under any name.
  EXPECT_TRUE(inDest.empty()) << ::testing::PrintToString(inDest);
  EXPECT_GE(Find("Daily: COPY - Cannot write Daily.rar to the specified location. [!]"), 0)
      << ::testing::PrintToString(log.lines);
  EXPECT_EQ(test::ReadFile(dir / "src" / "a.txt"), noise);
  ExpectKept({"Daily.rar"});
}

// A destination on a bind mount of the temp folder's file system: both
// show one device number, yet the rename refuses as cross-device, and the
// archive is copied there.
TEST_F(KeptRun, DestinationOnABindMountOfTheSameFileSystem) {
  if (geteuid() != 0) GTEST_SKIP() << "a bind mount needs root";
  fs::create_directories(dir / "mounted");
  fs::create_directories(dir / "dest");
  if (std::system(("mount --bind '" + (dir / "mounted").string() + "' '" + Dest() + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "running as root, but no bind mount can be made";
  struct Unmount {
    std::string at;
    ~Unmount() { (void)std::system(("umount '" + at + "'").c_str()); }
  } unmount{Dest()};
  EXPECT_EQ(Run(), RunOutcome::Done) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(test::ReadFile(dir / "mounted" / "Daily.rar").substr(0, 2), "PK");
  EXPECT_GE(Find("Daily: COPY - Successfully copied Daily.rar."), 0);
  EXPECT_TRUE(SourcesGone());
  EXPECT_TRUE(KeptFolders().empty());
  ExpectTempFolderEmpty();
}

// Two runs whose archives can be neither delivered nor kept ("kept" is a
// file): each leaves its own entry.  A recovery that cannot move the files
// either leaves both entries; once it can, it keeps both runs' archives
// and takes out both entries.
TEST_F(KeptRun, EveryUnsettledRunFolderKeepsItsEntryUntilItsFilesAreMoved) {
  test::WriteFile(dir / "dest" / "Daily.rar", "the user's older archive");
  test::WriteFile(dir / "kept", "a file where the kept folder goes");
  std::vector<fs::path> runFolders;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Run(), RunOutcome::Failed);
    runFolders.push_back(RunFolderPath());
    EXPECT_GE(Find("Daily: Undelivered files were kept in \"" + RunFolderPath() + "\". [!]"), 0)
        << ::testing::PrintToString(log.lines);
    ExpectEndedCleanly();
  }
  ASSERT_NE(runFolders[0], runFolders[1]);
  const std::string marks = test::ReadFile(dir / "runfolder.dat");
  EXPECT_EQ(marks, "folder=" + runFolders[0].string() + "\r\npreset=Daily\r\ncopyto=" + Dest() +
                       "\r\nfolder=" + runFolders[1].string() + "\r\npreset=Daily\r\ncopyto=" + Dest() + "\r\n");

  log.lines.clear();
  RecoverLeftoverRunFolder();
  EXPECT_EQ(test::ReadFile(dir / "runfolder.dat"), marks);
  for (const auto& f : runFolders) {
    EXPECT_EQ(test::ReadFile(f / "Daily.rar").substr(0, 2), "PK");
    EXPECT_GE(Find("Daily: Undelivered files were kept in \"" + f.string() + "\". [!]"), 0);
  }

  fs::remove(dir / "kept");
  log.lines.clear();
  RecoverLeftoverRunFolder();
  EXPECT_FALSE(fs::exists(dir / "runfolder.dat"));
  ExpectTempFolderEmpty();
  const auto kept = KeptFolders();
  ASSERT_EQ(kept.size(), 2u) << ::testing::PrintToString(log.lines);
  for (const auto& k : kept) EXPECT_EQ(test::ReadFile(k / "Daily.rar").substr(0, 2), "PK");
  EXPECT_TRUE(SourcesIntact());
  EXPECT_EQ(test::ReadFile(dir / "dest" / "Daily.rar"), "the user's older archive");
}

TEST_F(KeptRun, HistoryThatCannotBeWrittenStillCopiesEveryVolume) {
  const std::string noise = Noise(100000, 9);
  test::WriteFile(dir / "src" / "a.txt", noise);
  preset.vol = "20k";
  // A folder where the history file should be: it can be neither read nor
  // written.
  fs::create_directories(dir / "presets" / "Daily.hst");
  EXPECT_EQ(Run(), RunOutcome::Failed);
  std::vector<std::string> delivered;
  for (const auto& e : fs::directory_iterator(dir / "dest")) delivered.push_back(e.path().filename());
  ASSERT_GE(delivered.size(), 5u);
  const long copies = std::count_if(log.lines.begin(), log.lines.end(), [](const std::string& l) {
    return l.rfind("Daily: COPY - Successfully copied ", 0) == 0;
  });
  EXPECT_EQ(copies, static_cast<long>(delivered.size()));
  const long failures = std::count_if(log.lines.begin(), log.lines.end(), [](const std::string& l) {
    return l.rfind("Daily: COPY - Cannot record the delivery of ", 0) == 0 && l.ends_with(" [!]");
  });
  EXPECT_EQ(failures, copies);
  EXPECT_EQ(Find("Daily: Done."), -1);
  // Every volume is at the destination, so the sources went.
  EXPECT_TRUE(SourcesGone());
  EXPECT_TRUE(KeptFolders().empty());
  ExpectTempFolderEmpty();
}

TEST_F(KeptRun, ArchiveNamedWithALeadingDotIsDelivered) {
  preset.nam = ".hidden";
  EXPECT_EQ(Run(), RunOutcome::Done) << ::testing::PrintToString(log.lines);
  EXPECT_TRUE(fs::exists(dir / "dest" / ".hidden.rar"));
  EXPECT_EQ(Find("Daily: WinRAR - Done (1 file, "), 1);
  EXPECT_TRUE(SourcesGone());
}

// The include list rewritten while the archiver works, to a folder of
// files with the same stored names, sizes and times: which list the
// archiver read cannot be told, so no source goes, and the log says why.
TEST_F(KeptRun, IncludeListRewrittenWhileArchivingDeletesNothing) {
  const fs::path other = dir / "elsewhere" / "src";
  for (const char* name : {"a.txt", "b.txt", "sub/c.txt"}) {
    std::string text = test::ReadFile(dir / "src" / name);
    for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    test::WriteFile(other / name, text);
    fs::last_write_time(other / name, fs::last_write_time(dir / "src" / name));
  }
  // The stand-in archives; then, before the run hears of its end, the
  // preset's list is pointed elsewhere.
  const fs::path archiver = dir / "archive-then-edit.sh";
  test::WriteFile(archiver, "#!/bin/sh\n'" + test::BuiltProgram("winrar").string() +
                                "' \"$@\"\nrc=$?\nprintf '%s\\r\\n' '" + other.string() + "' > '" +
                                (dir / "presets" / "Daily.inc").string() + "'\nexit $rc\n");
  fs::permissions(archiver, fs::perms::owner_all);
  WinRarPath = archiver.string();
  EXPECT_EQ(Run(), RunOutcome::Done) << ::testing::PrintToString(log.lines);
  ASSERT_EQ(ReadPresetList("Daily", ".inc"), std::vector<std::string>{other.string()});
  EXPECT_TRUE(SourcesIntact());
  EXPECT_GE(Find("Daily: The sources were not deleted: the include or exclude list was changed while the archive "
                 "was made. [!]"),
            0)
      << ::testing::PrintToString(log.lines);
  EXPECT_TRUE(test::ReadFile(other / "a.txt") == std::string(3000, 'A'));
  EXPECT_EQ(test::ReadFile(other / "b.txt"), "BEE");
  EXPECT_EQ(test::ReadFile(other / "sub" / "c.txt"), "SEA");
}

// The walk for the sources to delete handles messages before the archiver
// starts; a save of the preset meanwhile is the list the archiver reads,
// and the deletion follows it.
TEST_F(KeptRun, IncludeListSavedBeforeTheArchiverStartsIsTheOneThatCounts) {
  const fs::path other = dir / "elsewhere" / "src";
  // Enough files for the walk to handle messages, each also elsewhere with
  // the same name, size and time.
  for (int i = 0; i < 300; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    test::WriteFile(dir / "src" / name, "here");
    test::WriteFile(other / name, "away");
    fs::last_write_time(other / name, fs::last_write_time(dir / "src" / name));
  }
  bool saved = false;
  std::function<void()> saveWhileWalking = [&] {
    if (CurrentRunStage() != RunStage::Archiving) {
      QTimer::singleShot(0, saveWhileWalking);
      return;
    }
    // Not yet started: this is the walk's handling of messages.
    if (Find("Daily: WinRAR - Started.") >= 0) return;
    saved = WritePresetList("Daily", ".inc", {other.string()});
  };
  Save();
  QTimer::singleShot(0, saveWhileWalking);
  EXPECT_EQ(RunPreset("Daily"), RunOutcome::Done) << ::testing::PrintToString(log.lines);
  ASSERT_TRUE(saved) << "the walk handled no messages";
  EXPECT_TRUE(SourcesIntact());
  int lost = 0, left = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    lost += test::ReadFile(dir / "src" / name) != "here";
    left += fs::exists(other / name);
  }
  EXPECT_EQ(lost, 0) << "files deleted that the archive does not hold";
  EXPECT_EQ(left, 0) << "archived files not deleted";
}

// Two folders of one name, with archiver warnings ignored: the archive
// holds the first folder's files, and of the files the deletion finds for
// one stored name none goes, so the file left out stays.
TEST_F(KeptRun, FileLeftOutForItsNameStaysWhenWarningsAreIgnored) {
  Options.cie = true;
  for (const char* side : {"one", "two"}) test::WriteFile(dir / side / "docs" / "a.txt", std::string(side) + " a");
  test::WriteFile(dir / "two" / "docs" / "only.txt", "only in two");
  Save();
  ASSERT_TRUE(WritePresetList("Daily", ".inc", {(dir / "one" / "docs").string(), (dir / "two" / "docs").string()}));
  EXPECT_EQ(RunPreset("Daily"), RunOutcome::Done) << ::testing::PrintToString(log.lines);
  EXPECT_GE(Find("Daily: WinRAR reported a warning (non-critical)."), 0) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(test::ReadFile(dir / "two" / "docs" / "a.txt"), "two a");
  EXPECT_FALSE(fs::exists(dir / "two" / "docs" / "only.txt"));
  EXPECT_TRUE(SourcesIntact());
}

TEST_F(PresetRun, ArchiveNameMustBeAFileName) {
  setenv("YUX_TEST_EMPTY", "", 1);
  setenv("YUX_TEST_UP", "../x", 1);
  for (const std::string nam : {"%YUX_TEST_EMPTY%", ".", "..", "a/b", "a\\b", "%YUX_TEST_UP%"}) {
    SCOPED_TRACE(nam);
    log.lines.clear();
    preset.nam = nam;
    EXPECT_EQ(Run(), RunOutcome::NotStarted);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].rfind("Daily: The archive name \"", 0), 0u) << log.lines[0];
    EXPECT_TRUE(log.lines[0].ends_with("\" is not a file name. [!]"));
    EXPECT_FALSE(RunActive);
  }
  unsetenv("YUX_TEST_EMPTY");
  unsetenv("YUX_TEST_UP");
  ExpectTempFolderEmpty();
}

// The stand-in archiver gets the password on its standard input, never in
// its command line; the archive is still encrypted with it.
TEST_F(PresetRun, StandInTakesThePasswordOnItsInput) {
  YUX_REQUIRE_PROGRAM("7z");
  preset.pas = true;
  preset.pwd = "pa ss%word";
  EXPECT_EQ(Run(), RunOutcome::Done) << ::testing::PrintToString(log.lines);
  const std::string archive = (dir / "dest" / "Daily.rar").string();
  auto right = test::RunProgram({"7z", "x", "-so", "-ppa ss%word", archive, "src/b.txt"});
  EXPECT_EQ(right.out, "bee");
  auto wrong = test::RunProgram({"7z", "x", "-so", "-pother", archive, "src/b.txt"});
  EXPECT_NE(wrong.exitCode, 0);
  // What the command line carried: a bare switch.
  FakeArchiver(0);
  const std::string fake = WinRarPath;
  fs::rename(fake, dir / "winrar");
  WinRarPath = (dir / "winrar").string();
  preset.owe = true;
  Run();
  const auto args = FakeArgs();
  EXPECT_NE(std::find(args.begin(), args.end(), "-hp"), args.end()) << ::testing::PrintToString(args);
  for (const auto& a : args) EXPECT_EQ(a.find("word"), std::string::npos) << a;
}
