// The restore window over archives someone could have changed: a name that
// climbs out through a NUL byte, and a FIFO where the set's second volume
// should be.  The restore ends, writes nothing outside the chosen folder,
// says the archiver failed and never asks for a password.
#include <QTreeWidget>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "core/run/deliveryhistory.h"
#include "core/store/folders.h"
#include "dialogs/restoreform.h"
#include "tests/dialogs/restore_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

using RestoreHostile = RestoreTest;

// Should the archiver wait on the FIFO, after a generous bound this opens
// it for writing and closes it again, so that the reader sees its end and
// the test fails instead of hanging.
class FifoWatchdog {
 public:
  explicit FifoWatchdog(fs::path fifo)
      : thread_([this, fifo] {
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
          while (!done_) {
            if (std::chrono::steady_clock::now() > deadline) {
              const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
              if (fd >= 0) {
                fired_ = true;
                ::close(fd);
              }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
        }) {}
  ~FifoWatchdog() {
    done_ = true;
    thread_.join();
  }
  bool fired() const { return fired_; }

 private:
  std::atomic<bool> done_{false}, fired_{false};
  std::thread thread_;
};

}  // namespace

TEST_F(RestoreHostile, ANulNameAndAFifoVolumeEndWithoutAPasswordPromptAndStayInside) {
  WinRarPath = BuiltProgram("winrar").string();
  fs::create_directories(work / "dest");
  const fs::path nul = work / "dest/nul.rar";
  ProcessResult made = RunProgram({"/usr/bin/python3", (SourceDir() / "tests/tools/winrar/hostile_zips.py").string(),
                                   "nul-name", nul.string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  WriteFile(work / "src/a.bin", std::string(250000, 'v'));
  WriteFile(work / "src/b.txt", "b");
  made = RunProgram({WinRarPath, "a", "-ep1", "-r", "-m0", "-v100k", "-INUL", (work / "dest/set.rar").string(),
                     (work / "src").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  ASSERT_TRUE(fs::exists(work / "dest/set.part3.rar"));
  const fs::path part2 = work / "dest/set.part2.rar";
  fs::remove(part2);
  ASSERT_EQ(mkfifo(part2.c_str(), 0600), 0);

  AddHistoryLine("P", kHistoryCopy, nul.string());
  AddHistoryLine("P", kHistoryCopy, (work / "dest/set.part1.rar").string());
  const fs::path to = work / "restored";
  fs::create_directories(to);

  struct Case {
    const char* what;
    fs::path archive;
  } cases[] = {
      {"a NUL byte before /..", nul},
      {"a FIFO as the second volume", work / "dest/set.part1.rar"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FifoWatchdog watchdog(part2);
    hooks.asked = 0;
    const size_t boxesBefore = boxes->Asked().size();
    Trestoreform f("P");
    ASSERT_TRUE(f.LoadRestoreHistory());
    f.chooseFolder = [&] { return to.string(); };
    f.showFolder = [](const std::string&) {};
    f.histlistDblClick(Row(f, c.archive.string()));
    EXPECT_FALSE(watchdog.fired()) << "the restore waited on the FIFO";
    EXPECT_EQ(hooks.asked, 0);
    const auto asked = boxes->Asked();
    ASSERT_EQ(asked.size(), boxesBefore + 1);
    EXPECT_NE(asked.back().text.find("The archiver ended with code "), std::string::npos) << asked.back().text;
  }
  // The one safe entry came back in its folder; nothing landed beside it
  // or above the chosen folder.
  EXPECT_EQ(FilesBelow(to), (std::map<std::string, std::string>{{"nul/fine.txt", "fine"}}));
  for (const char* stray : {"escaped.txt", "deep.txt"}) {
    EXPECT_FALSE(fs::exists(work / stray)) << stray;
    EXPECT_FALSE(fs::exists(work / "dest" / stray)) << stray;
  }
  EXPECT_TRUE(fs::is_fifo(part2));
}
