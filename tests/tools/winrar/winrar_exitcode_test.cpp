// Exit codes, stopping by signal, and when sources may be deleted.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/tools/winrar/winrar_testlib.h"

namespace fs = std::filesystem;
using namespace yux::test;
using namespace yux::test::winrar;

namespace {

struct Sources {
  TempDir t;
  std::string T() const { return t.str(); }
  Sources() {
    fs::create_directories(t / "src/docs/sub");
    fs::create_directories(t / "bin");
    WriteFile(t / "src/docs/a.txt", "alpha");
    WriteFile(t / "src/docs/sub/b.txt", "beta");
    WriteFile(t / "src/single.txt", "single");
    WriteFile(t / "plainfile", "not a folder");
    WriteFile(t / "bin/garbage.rar", "this is no archive at all, not even close to one");
    EXPECT_EQ(mkfifo((t / "src/fifo").c_str(), 0644), 0);
    fs::create_symlink(t / "src/nowhere", t / "src/dangling");
    WriteFile(t / "good.lst", T() + "/src/docs\n" + T() + "/src/single.txt\n");
    WriteFile(t / "fifo.lst", T() + "/src/single.txt\n" + T() + "/src/fifo\n");
    WriteFile(t / "link.lst", T() + "/src/single.txt\n" + T() + "/src/dangling\n");
  }
};

}  // namespace

TEST(WinrarExitCodes, EachCodeFromACaseThatProvokesIt) {
  Sources s;
  const std::string std = "a -ep1 -m3 -ibck -dh -r  -cfg- ";
  struct Case {
    const char* what;
    std::string text;
    int code;
  } cases[] = {
      {"success", std + "\"{T}/out/ok\" \"@{T}/good.lst\"", 0},
      {"FIFO skipped", std + "\"{T}/out/fifo\" \"@{T}/fifo.lst\"", 1},
      {"dangling link skipped", std + "\"{T}/out/link\" \"@{T}/link.lst\"", 1},
      {"existing archive unreadable", std + "\"{T}/bin/garbage.rar\" \"@{T}/good.lst\"", 2},
      {"list file missing", std + "\"{T}/out/x\" \"@{T}/missing.lst\"", 6},
      {"exclude list missing", std + "\"-x@{T}/missing.exc\" \"{T}/out/x\" \"@{T}/good.lst\"", 6},
      {"unknown switch", std + "-qq \"{T}/out/x\" \"@{T}/good.lst\"", 7},
      {"password without text", std + "-hp \"{T}/out/x\" \"@{T}/good.lst\"", 7},
      {"unknown command", "q \"{T}/out/x.rar\" \"{T}/here\"", 7},
      {"delete without masks", "d \"{T}/out/ok.rar\"", 7},
      {"archive under a regular file", std + "\"{T}/plainfile/sub/x\" \"@{T}/good.lst\"", 9},
      {"no files matched", std + "\"{T}/out/none\" \"{T}/src/*.nothing\"", 10},
      {"only unreadable sources", std + "\"{T}/out/none\" \"{T}/src/fifo\"", 10},
  };
  fs::create_directories(s.t / "out");
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ProcessResult r = RunWinrarText(Expand(c.text, s.T()));
    EXPECT_EQ(r.exitCode, c.code) << r.err;
  }
  // A warning still writes the readable sources; failures write nothing.
  EXPECT_TRUE(fs::exists(s.t / "out/fifo.rar"));
  EXPECT_TRUE(fs::exists(s.t / "out/link.rar"));
  EXPECT_FALSE(fs::exists(s.t / "out/x.rar"));
  EXPECT_FALSE(fs::exists(s.t / "out/none.rar"));
  EXPECT_EQ(ReadFile(s.t / "bin/garbage.rar"), "this is no archive at all, not even close to one");
  for (auto& e : fs::directory_iterator(s.t / "out"))
    EXPECT_EQ(e.path().filename().string().find("yuxtmp"), std::string::npos) << e.path();
}

TEST(WinrarExitCodes, FailedTestIsThreeAndKeepsTheOldArchive) {
  Sources s;
  // A stored entry whose data is then damaged on disk; the directory stays
  // intact, so only reading the data reveals it.
  WriteFile(s.t / "src/plain.txt", std::string(4000, 'Q'));
  ASSERT_EQ(RunWinrar({"a", "-ep", "-m0", (s.t / "bin/k.rar").string(), (s.t / "src/plain.txt").string()})
                .exitCode,
            0);
  std::string bytes = ReadFile(s.t / "bin/k.rar");
  size_t at = bytes.find(std::string(100, 'Q'));
  ASSERT_NE(at, std::string::npos);
  bytes[at + 50] = 'R';
  WriteFile(s.t / "bin/k.rar", bytes);
  // Adding with a test carries the damaged entry along: the test fails,
  // the archive is not replaced and the sources are not deleted.
  ProcessResult r = RunWinrar({"a", "-ep", "-t", "-df", "-INUL", "-ILOG" + (s.t / "w.log").string(),
                         (s.t / "bin/k.rar").string(), (s.t / "src/single.txt").string()});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(ReadFile(s.t / "bin/k.rar"), bytes);
  EXPECT_TRUE(fs::exists(s.t / "src/single.txt"));
  EXPECT_NE(ReadFile(s.t / "w.log").find("test failed"), std::string::npos);
  // Without the damage the same run passes its test.
  ASSERT_EQ(RunWinrar({"a", "-ep", "-t", (s.t / "bin/fine.rar").string(), (s.t / "src/single.txt").string()})
                .exitCode,
            0);
}

TEST(WinrarSources, RecycleDeletesSourcesOnlyAfterSuccess) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  Sources s;
  WriteFile(s.t / "settings-r.txt", s.T() + "/src/docs\n" + s.T() + "/src/single.txt\n" + s.T() +
                                        "/src/fifo\n");
  const std::string recycle = "a -df -ep3 -m3 -ibck -dh -r  -cfg- ";
  // A create error leaves every source in place.
  ProcessResult failed = RunWinrarText(Expand(recycle + "\"{T}/plainfile/recycle.rar\" \"@{T}/settings-r.txt\"", s.T()));
  EXPECT_EQ(failed.exitCode, 9);
  EXPECT_TRUE(fs::exists(s.t / "src/docs/sub/b.txt"));
  EXPECT_TRUE(fs::exists(s.t / "src/single.txt"));

  ProcessResult r = RunWinrarText(Expand(recycle + "\"{T}/bin/recycle.rar\" \"@{T}/settings-r.txt\"", s.T()));
  EXPECT_EQ(r.exitCode, 1);  // the FIFO was skipped
  const std::string root = s.T().substr(1);  // stored without the leading '/'
  EXPECT_EQ(BsdtarNames(s.t / "bin/recycle.rar"),
            (std::set<std::string>{root + "/src/docs/", root + "/src/docs/a.txt", root + "/src/docs/sub/",
                                   root + "/src/docs/sub/b.txt", root + "/src/single.txt"}));
  EXPECT_FALSE(fs::exists(s.t / "src/docs"));  // the folders went with their files
  EXPECT_FALSE(fs::exists(s.t / "src/single.txt"));
  EXPECT_TRUE(fs::exists(s.t / "src/fifo"));  // not archived, so not deleted
}

TEST(WinrarSources, MoveByMaskLeavesFoldersItDidNotEmpty) {
  Sources s;
  fs::create_directories(s.t / "logs/old/empty");
  fs::create_directories(s.t / "logs/keep");
  WriteFile(s.t / "logs/a.log", "a");
  WriteFile(s.t / "logs/old/b.log", "b");
  WriteFile(s.t / "logs/keep/c.txt", "c");
  ProcessResult r = RunWinrar({"m", "-r", "-ep1", (s.t / "out").string(), (s.t / "logs/*.log").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_FALSE(fs::exists(s.t / "logs/a.log"));
  EXPECT_FALSE(fs::exists(s.t / "logs/old/b.log"));
  EXPECT_TRUE(fs::exists(s.t / "logs/old/empty"));  // held nothing that was archived
  EXPECT_TRUE(fs::exists(s.t / "logs/keep/c.txt"));
}

TEST(WinrarSources, WipeOverwritesBeforeDeletingUnlessTheDataHasOtherNames) {
  Sources s;
  // A descriptor held open shows what happened to the file's data.
  const int held = open((s.t / "src/single.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  // A source that is a hard link of a file outside the sources: the outside
  // name keeps the data, and the log says the source was only deleted.
  WriteFile(s.t / "outside.txt", "outside data");
  fs::create_hard_link(s.t / "outside.txt", s.t / "src/linked.txt");
  const std::string log = (s.t / "wipe.log").string();
  ProcessResult r = RunWinrar({"m", "-ep", "-dw", "-ilog" + log, (s.t / "out").string(),
                               (s.t / "src/single.txt").string(), (s.t / "src/linked.txt").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_FALSE(fs::exists(s.t / "src/single.txt"));
  EXPECT_FALSE(fs::exists(s.t / "src/linked.txt"));
  char seen[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(pread(held, seen, sizeof seen, 0), 6);
  close(held);
  EXPECT_EQ(std::string(seen, sizeof seen), std::string(6, '\0'));
  EXPECT_EQ(ReadFile(s.t / "outside.txt"), "outside data");
  EXPECT_EQ(BsdtarNames(s.t / "out.rar"), (std::set<std::string>{"single.txt", "linked.txt"}));
  const std::string logged = ReadFile(log);
  EXPECT_NE(logged.find("NOTE: " + (s.t / "src/linked.txt").string() + " was deleted, not overwritten"),
            std::string::npos)
      << logged;
  EXPECT_EQ(logged.find("single.txt was deleted"), std::string::npos) << logged;
  fs::create_hard_link(s.t / "src/docs/a.txt", s.t / "witness-move");
  ASSERT_EQ(RunWinrar({"m", "-ep", (s.t / "out").string(), (s.t / "src/docs/a.txt").string()}).exitCode, 0);
  EXPECT_FALSE(fs::exists(s.t / "src/docs/a.txt"));
  EXPECT_EQ(ReadFile(s.t / "witness-move"), "alpha");
}

TEST(WinrarSources, WipeOfALinkedSourceLeavesTheLinkTargetAlone) {
  Sources s;
  // The link's target lies outside everything named on the command line;
  // wiping the archived link must not overwrite the file the user kept.
  for (const char* how : {"-dw", "-df"}) {
    WriteFile(s.t / "kept.txt", "kept data");
    fs::create_directories(s.t / "linked");
    fs::create_symlink(s.t / "kept.txt", s.t / "linked/alias.txt");
    ProcessResult r = RunWinrar({"a", "-r", "-ep1", how, (s.t / (std::string("out") + how)).string(),
                                 (s.t / "linked").string()});
    ASSERT_EQ(r.exitCode, 0) << how << ": " << r.err;
    EXPECT_FALSE(fs::is_symlink(s.t / "linked/alias.txt")) << how;
    EXPECT_EQ(ReadFile(s.t / "kept.txt"), "kept data") << how;
  }
}

TEST(WinrarSources, AFileThatGrowsWhileArchivedIsNotDeleted) {
  Sources s;
  // A log still being written: whatever is appended after the archiver read
  // the file is in no archive, so moving the file must keep it.
  const fs::path log = s.t / "src/growing.log";
  WriteFile(log, RandomBytes(4 << 20, 7));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    while (!done) {
      ASSERT_EQ(write(fd, "x", 1), 1);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    close(fd);
  });
  ProcessResult r = RunWinrar({"m", "-ep", "-m0", (s.t / "moved").string(), log.string()});
  done = true;
  writer.join();
  EXPECT_EQ(r.exitCode, 1) << r.err;  // a warning, not success
  ASSERT_TRUE(fs::exists(log));
  EXPECT_GT(fs::file_size(log), size_t{4} << 20);
}

TEST(WinrarExitCodes, SigtermStopsWith255AndRemovesPartialOutput) {
  Sources s;
  // A large sparse file keeps the compressor busy long enough to be stopped.
  {
    int fd = ::open((s.t / "src/big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 16LL << 30), 0);
    ::close(fd);
  }
  fs::create_directories(s.t / "out");
  WriteFile(s.t / "src/after.txt", "after");
  std::string prog = BuiltProgram("winrar").string(), arc = (s.t / "out/big").string(),
              big = (s.t / "src/big.bin").string(), after = (s.t / "src/after.txt").string();
  std::vector<char*> argv{prog.data(), const_cast<char*>("a"), const_cast<char*>("-m5"),
                          const_cast<char*>("-df"), const_cast<char*>("-INUL"), arc.data(),
                          big.data(), after.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, prog.c_str(), nullptr, nullptr, argv.data(), environ), 0);
  // Wait for its temporary output to appear, then stop it.
  bool started = false;
  for (int i = 0; i < 400 && !started; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    started = !fs::is_empty(s.t / "out");
  }
  EXPECT_TRUE(started);
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255);
  EXPECT_TRUE(fs::is_empty(s.t / "out"));
  EXPECT_TRUE(fs::exists(s.t / "src/big.bin"));
  EXPECT_TRUE(fs::exists(s.t / "src/after.txt"));
}

TEST(WinrarExitCodes, DamagedArchivesAreRefusedNotMisread) {
  Sources s;
  ASSERT_EQ(RunWinrar({"a", "-ep1", "-r", "-z" + (s.t / "good.lst").string(), (s.t / "bin/ok.rar").string(),
                 (s.t / "src/docs").string()})
                .exitCode,
            0);
  const std::string good = ReadFile(s.t / "bin/ok.rar");
  const size_t cd = good.find("PK\x01\x02");
  ASSERT_NE(cd, std::string::npos);
  struct Damage {
    const char* what;
    std::string bytes;
  } damages[] = {
      {"cut in the middle", good.substr(0, good.size() / 2)},
      {"cut in the end record", good.substr(0, good.size() - 30)},
      {"empty", ""},
      {"directory offset beyond the end",
       [&] {
         std::string b = good;
         size_t end = b.rfind("PK\x05\x06");
         b[end + 16] = b[end + 17] = b[end + 18] = b[end + 19] = '\x7f';
         return b;
       }()},
      {"name length beyond the directory",
       [&] {
         std::string b = good;
         b[cd + 28] = b[cd + 29] = '\xff';
         return b;
       }()},
      {"local offset beyond the directory",
       [&] {
         std::string b = good;
         b[cd + 42] = b[cd + 43] = b[cd + 44] = '\xff';
         b[cd + 45] = '\x0f';
         return b;
       }()},
  };
  for (auto& d : damages) {
    SCOPED_TRACE(d.what);
    WriteFile(s.t / "bin/bad.rar", d.bytes);
    ProcessResult open = RunWinrar({(s.t / "bin/bad.rar").string()});
    EXPECT_EQ(open.exitCode, 2) << open.out << open.err;
    EXPECT_EQ(RunWinrar({"d", (s.t / "bin/bad.rar").string(), "*.*"}).exitCode, 2);
    EXPECT_EQ(RunWinrar({"a", "-ep", (s.t / "bin/bad.rar").string(), (s.t / "src/single.txt").string()}).exitCode, 2);
    EXPECT_EQ(ReadFile(s.t / "bin/bad.rar"), d.bytes);
  }
}
