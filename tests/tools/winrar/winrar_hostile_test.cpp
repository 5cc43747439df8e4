// Archives from elsewhere (a disc, a server, a shared folder) may have been
// made to harm: the archiver writes nothing outside the chosen folder,
// always ends, lists what it writes, and never crashes on them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "tests/support/restorecheck.h"
#include "tests/tools/winrar/winrar_testlib.h"

namespace fs = std::filesystem;
using namespace yux::test;
using namespace yux::test::winrar;

namespace {

// A hand-made archive of the given kind (see hostile_zips.py).
fs::path Hostile(const fs::path& folder, const std::string& kind, size_t entrySize = 1 << 20) {
  const fs::path archive = folder / (kind + ".zip");
  ProcessResult r = RunProgram({"/usr/bin/python3", (SourceDir() / "tests/tools/winrar/hostile_zips.py").string(),
                                kind, archive.string(), std::to_string(entrySize)});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return archive;
}

mode_t ModeOf(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Every path below `root` (folders end in "/"), with the bytes of small
// files; links and special files are shown as such, never followed.
void Collect(const fs::path& root, const fs::path& folder, std::map<std::string, std::string>* all) {
  for (auto& e : fs::directory_iterator(folder)) {
    const std::string rel = e.path().lexically_relative(root).string();
    const mode_t mode = ModeOf(e.path());
    if (S_ISLNK(mode)) {
      (*all)[rel] = "<link>";
    } else if (S_ISDIR(mode)) {
      (*all)[rel + "/"] = "";
      Collect(root, e.path(), all);
    } else {
      // Large files by their size, so that a failure stays readable.
      const std::string data = S_ISREG(mode) ? ReadFile(e.path()) : "<special>";
      (*all)[rel] = data.size() <= 64 ? data : "<" + std::to_string(data.size()) + " bytes>";
    }
  }
}

std::map<std::string, std::string> Everything(const fs::path& root) {
  std::map<std::string, std::string> all;
  if (fs::exists(root)) Collect(root, root, &all);
  return all;
}

mode_t CurrentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// A run of the archiver (output off) and the log it wrote.
struct LoggedRun {
  ProcessResult result;
  std::string log;
};

LoggedRun WithLog(const fs::path& t, std::vector<std::string> args) {
  const fs::path log = t / "winrar.log";
  fs::remove(log);
  args.insert(args.begin() + 1, {"-INUL", "-ILOG" + log.string()});
  LoggedRun run{RunWinrar(args), {}};
  if (fs::exists(log)) run.log = ReadFile(log);
  return run;
}

}  // namespace

// `x` of each kind: the exit code, what the log names, and that nothing
// but the expected files came out, inside the target, without temporary
// files.  The layouts are small, but each holds the fault in full: twenty
// entries of a megabyte named by one local header, twenty stored entries
// whose declared data runs over all entries after them (one stream
// written again and again), a name with a NUL byte before "/.." climbing.
TEST(WinrarHostile, ExtractWritesOnlyWhatTheListingShowsInsideTheTarget) {
  struct Case {
    const char* kind;
    int code;
    std::string logged;
    std::map<std::string, std::string> tree;
  } cases[] = {
      {"nul-name", 1, "unsafe name, skipped: a/..\\x00/..\\x00/deep.txt", {{"fine.txt", "fine"}}},
      {"same-header", 2, "overlapping entries: f00.bin runs into f01.bin", {}},
      {"shared-stream", 2, "overlapping entries: s00.bin runs into s01.bin", {}},
      {"unlisted-record", 2, "damaged central directory", {}},
      {"local-name-differs", 1, "unsafe name, skipped: good.txt (its local header names evil.txt)", {}},
      {"unicode-path", 1, "unsafe name, skipped: good.txt (an extra field names evil.txt)", {}},
      {"strong-encryption", 3, "damaged archive", {}},
      {"false-locator", 0, "", {{"first.txt", "first"}, {"second.txt", "second"}}},
      {"wide-extra", 2, "damaged archive: big.txt is listed with 4294967295 bytes, its local header says 3",
       {{"small.txt", "small"}}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.kind);
    TempDir t;
    const fs::path archive = Hostile(t.path(), c.kind, std::string(c.kind) == "shared-stream" ? 256 << 10 : 1 << 20);
    const std::string before = ReadFile(archive);
    LoggedRun run = WithLog(t.path(), {"x", archive.string(), (t / "deep/down/out").string() + "/"});
    EXPECT_EQ(run.result.exitCode, c.code) << run.result.err;
    EXPECT_NE(run.log.find(c.logged), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find('\0'), std::string::npos) << "a raw NUL in the log";
    EXPECT_EQ(Everything(t / "deep/down/out"), c.tree);
    // Beside the target only what the test put there.
    std::map<std::string, std::string> around = Everything(t.path());
    for (auto it = around.begin(); it != around.end();)
      it = it->first.rfind("deep/down/out/", 0) == 0 ? around.erase(it) : std::next(it);
    around.erase(fs::path(archive).filename().string());
    for (const char* mine : {"winrar.log", "deep/", "deep/down/"}) around.erase(mine);
    EXPECT_EQ(around, (std::map<std::string, std::string>{}));
    EXPECT_EQ(ReadFile(archive), before);
  }
}

// A damaged directory is the same fault for every command: the listing,
// `d` and `a` refuse it with exit code 2 and leave the archive as it was
// (a deletion must not lose what the listing did not show).
TEST(WinrarHostile, EveryCommandRefusesADamagedDirectory) {
  TempDir t;
  WriteFile(t / "new.txt", "new");
  for (const char* kind : {"unlisted-record", "same-header", "shared-stream"}) {
    const fs::path archive = Hostile(t.path(), kind, 4096);
    const std::string before = ReadFile(archive);
    const std::vector<std::vector<std::string>> commands{
        {archive.string()},
        {"d", archive.string(), "*.txt"},
        {"d", archive.string(), "*.bin"},
        {"a", "-ep", archive.string(), (t / "new.txt").string()},
    };
    for (auto& args : commands) {
      SCOPED_TRACE(std::string(kind) + ": " + args.front());
      LoggedRun run = WithLog(t.path(), args);
      EXPECT_EQ(run.result.exitCode, 2) << run.result.out << run.result.err;
      EXPECT_EQ(ReadFile(archive), before);
    }
  }
}

// An entry whose data inflates past its declared size stops at that size:
// with the file size limit a little above it, `x` names the entry instead
// of dying by SIGXFSZ, and nothing of the entry stays.
TEST(WinrarHostile, AnEntryLongerThanDeclaredStopsAtItsDeclaredSize) {
  TempDir t;
  const fs::path archive = Hostile(t.path(), "longer-than-declared");
  ProcessResult r = RunProgram(
      {"/usr/bin/python3", "-c",
       "import os, resource, signal, sys\n"
       "resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))\n"
       "signal.signal(signal.SIGXFSZ, signal.SIG_DFL)  # Python ignores it, and exec keeps that\n"
       "os.execv(sys.argv[1], sys.argv[1:])\n",
       BuiltProgram("winrar").string(), "x", "-INUL", "-ILOG" + (t / "x.log").string(), archive.string(),
       (t / "out").string() + "/"});
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_NE(ReadFile(t / "x.log").find("damaged archive: long.bin holds more than the 1000 bytes"), std::string::npos)
      << ReadFile(t / "x.log");
  EXPECT_EQ(Everything(t / "out"), (std::map<std::string, std::string>{}));
}

// A FIFO where the archive or one of its volumes should be: every command
// ends (the bound is generous), fails and names it.
TEST(WinrarHostile, AFifoInPlaceOfAnArchiveOrVolumeIsRefusedWithoutWaiting) {
  TempDir t;
  ASSERT_EQ(mkfifo((t / "fifo.rar").c_str(), 0600), 0);
  WriteFile(t / "src/a.bin", RandomBytes(250000, 3));
  ASSERT_EQ(RunWinrar({"a", "-ep1", "-r", "-m0", "-v100k", "-INUL", (t / "set.rar").string(), (t / "src").string()})
                .exitCode,
            0);
  ASSERT_TRUE(fs::exists(t / "set.part3.rar"));
  ASSERT_FALSE(fs::exists(t / "set.part4.rar"));
  fs::remove(t / "set.part2.rar");
  ASSERT_EQ(mkfifo((t / "set.part2.rar").c_str(), 0600), 0);
  WriteFile(t / "new.txt", "new");

  const std::string fifo = (t / "fifo.rar").string(), part2 = (t / "set.part2.rar").string();
  struct Case {
    std::vector<std::string> args;
    std::string named;
  } cases[] = {
      {{"x", fifo, (t / "o1").string() + "/"}, fifo},
      {{fifo}, fifo},
      {{"d", fifo, "*"}, fifo},
      {{"a", "-ep", fifo, (t / "new.txt").string()}, fifo},
      {{"x", (t / "set.part1.rar").string(), (t / "o2").string() + "/"}, part2},
      {{(t / "set.part1.rar").string()}, part2},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    LoggedRun run = WithLog(t.path(), c.args);
    EXPECT_GT(run.result.exitCode, 0) << "it did not end";
    EXPECT_LT(run.result.exitCode, 128) << run.result.err;
    EXPECT_NE(run.log.find(c.named + ": not a regular file"), std::string::npos) << run.log;
  }
  EXPECT_FALSE(fs::exists(t / "o1/a.bin"));
  EXPECT_FALSE(fs::exists(t / "o2/a.bin"));
  EXPECT_TRUE(fs::is_fifo(t / "fifo.rar"));
}

// Old entries that the add and delete paths must carry without harm: one
// named "/" (skipped with a warning, never a crash), a comment ending like
// a ZIP64 locator (read as the plain archive it is, also once `d` has
// rewritten it), and an extra field that copying would push past its
// 16-bit length (refused, the archive unchanged).
TEST(WinrarHostile, AddAndDeleteCarryOddOldEntriesOrRefuseThem) {
  TempDir t;
  WriteFile(t / "new.txt", "new");
  for (const char* sync : {"-u", "-as"}) {
    SCOPED_TRACE(sync);
    const fs::path root = Hostile(t.path(), "root-entry");
    LoggedRun run = WithLog(t.path(), {"a", "-ep", sync, root.string(), (t / "new.txt").string()});
    EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
    EXPECT_NE(run.log.find("WARNING: the entry / names nothing below the root; it was skipped"), std::string::npos)
        << run.log;
    LoggedRun x = WithLog(t.path(), {"x", root.string(), (t / "o" / sync).string() + "/"});
    EXPECT_EQ(Everything(t / "o" / sync)["new.txt"], "new");
  }

  const fs::path locator = Hostile(t.path(), "false-locator");
  ASSERT_EQ(WithLog(t.path(), {"d", locator.string(), "first.txt"}).result.exitCode, 0);
  LoggedRun x = WithLog(t.path(), {"x", locator.string(), (t / "o2").string() + "/"});
  EXPECT_EQ(x.result.exitCode, 0) << x.log;
  EXPECT_EQ(Everything(t / "o2"), (std::map<std::string, std::string>{{"second.txt", "second"}}));

  // The same archive cut into two volumes: the set still ends where its
  // plain end record ends.
  const std::string whole = ReadFile(Hostile(t.path(), "false-locator"));
  WriteFile(t / "cut.part1.rar", whole.substr(0, whole.size() / 2));
  WriteFile(t / "cut.part2.rar", whole.substr(whole.size() / 2));
  LoggedRun xs = WithLog(t.path(), {"x", (t / "cut.part1.rar").string(), (t / "o3").string() + "/"});
  EXPECT_EQ(xs.result.exitCode, 0) << xs.log;
  EXPECT_EQ(Everything(t / "o3"), (std::map<std::string, std::string>{{"first.txt", "first"}, {"second.txt", "second"}}));

  const fs::path wide = Hostile(t.path(), "wide-extra");
  const std::string before = ReadFile(wide);
  LoggedRun d = WithLog(t.path(), {"d", wide.string(), "small.txt"});
  EXPECT_EQ(d.result.exitCode, 2);
  EXPECT_NE(d.log.find("the extra fields of big.txt would outgrow 65,535 bytes"), std::string::npos) << d.log;
  EXPECT_EQ(ReadFile(wide), before);

  // A comment too long for its 16-bit length is refused, not cut: into an
  // existing archive and into a new one.
  WriteFile(t / "comment.txt", std::string(70000, 'c'));
  const fs::path plain = Hostile(t.path(), "plain", 100);
  const std::string plainBefore = ReadFile(plain);
  for (const fs::path& archive : {plain, t / "fresh.zip"}) {
    SCOPED_TRACE(archive.filename().string());
    LoggedRun z = WithLog(t.path(), {"a", "-ep", "-z" + (t / "comment.txt").string(), archive.string(),
                                     (t / "new.txt").string()});
    EXPECT_EQ(z.result.exitCode, 2);
    EXPECT_NE(z.log.find("the archive comment is longer than 65,535 bytes"), std::string::npos) << z.log;
  }
  EXPECT_EQ(ReadFile(plain), plainBefore);
  EXPECT_FALSE(fs::exists(t / "fresh.zip"));
}

// Folders `x` makes get the mode (set-id and sticky bits dropped, under
// the umask) and the time of their entries, even with files written into
// them afterwards; a folder that was there keeps its own, and an entry
// without a Unix mode leaves the default.
TEST(WinrarHostile, FoldersComeBackWithTheirModesAndTimes) {
  TempDir t;
  const fs::path archive = Hostile(t.path(), "folders");
  fs::create_directories(t / "out/existing");
  fs::permissions(t / "out/existing", fs::perms(0751));
  ASSERT_TRUE(SetModified(t / "out/existing", UtcTime(1999, 1, 1)));
  LoggedRun run = WithLog(t.path(), {"x", archive.string(), (t / "out").string() + "/"});
  ASSERT_EQ(run.result.exitCode, 0) << run.log;
  const mode_t mask = CurrentUmask();
  const time_t early = 981173106, late = 1323785716;
  struct Case {
    const char* folder;
    mode_t mode;
    time_t when;
  } cases[] = {
      {"private", 0700 & ~mask, early},
      {"private/inner", 0750 & ~mask, late},
      {"sgid", 0755 & ~mask, late},
      {"existing", 0751, UtcTime(1999, 1, 1)},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.folder);
    EXPECT_EQ(ModeOf(t / "out" / c.folder) & 07777, c.mode);
    EXPECT_EQ(ModifiedOf(t / "out" / c.folder), c.when);
  }
  EXPECT_EQ(ModeOf(t / "out/other") & 07777, 0777 & ~mask);
  EXPECT_EQ(ReadFile(t / "out/private/inner/f.txt"), "f");
}

// Links to nothing and special files met in a folder walk have no content:
// they are left out with a note, the run succeeds, and a deletion after
// archiving leaves them alone.  Named as items themselves they stay
// warnings.
TEST(WinrarHostile, DanglingLinksAndSpecialFilesInAFolderAreLeftOutWithANote) {
  TempDir t;
  WriteFile(t / "src/profile/prefs.js", "prefs");
  fs::create_directories(t / "src/profile/private");
  WriteFile(t / "src/profile/private/key", "key");
  fs::permissions(t / "src/profile/private", fs::perms(0700));
  const time_t privateTime = UtcTime(2005, 6, 7, 8, 9, 10);
  ASSERT_TRUE(SetModified(t / "src/profile/private", privateTime));
  fs::create_symlink("nothing-here", t / "src/profile/lock");
  fs::create_symlink("prefs.js/below", t / "src/profile/notdir");
  fs::create_symlink("loop", t / "src/profile/loop");
  ASSERT_EQ(mkfifo((t / "src/profile/pipe").c_str(), 0600), 0);

  LoggedRun run = WithLog(t.path(), {"a", "-r", "-ep1", "-df", (t / "arc.zip").string(), (t / "src/profile").string()});
  EXPECT_EQ(run.result.exitCode, 0) << run.log;
  for (const char* name : {"lock", "notdir", "loop"})
    EXPECT_NE(run.log.find("NOTE: link to nothing, left out: " + (t / "src/profile" / name).string()),
              std::string::npos)
        << name << "\n" << run.log;
  EXPECT_NE(run.log.find("NOTE: not a regular file, left out: " + (t / "src/profile/pipe").string()),
            std::string::npos)
      << run.log;
  EXPECT_EQ(run.log.find("WARNING"), std::string::npos) << run.log;
  EXPECT_EQ(Everything(t / "src"), (std::map<std::string, std::string>{{"profile/", ""},
                                                                       {"profile/lock", "<link>"},
                                                                       {"profile/loop", "<link>"},
                                                                       {"profile/notdir", "<link>"},
                                                                       {"profile/pipe", "<special>"}}));
  LoggedRun x = WithLog(t.path(), {"x", (t / "arc.zip").string(), (t / "out").string() + "/"});
  EXPECT_EQ(x.result.exitCode, 0) << x.log;
  EXPECT_EQ(Everything(t / "out"), (std::map<std::string, std::string>{{"profile/", ""},
                                                                       {"profile/prefs.js", "prefs"},
                                                                       {"profile/private/", ""},
                                                                       {"profile/private/key", "key"}}));
  EXPECT_EQ(ModeOf(t / "out/profile/private") & 0777, 0700);
  EXPECT_EQ(ModifiedOf(t / "out/profile/private"), privateTime);

  LoggedRun named = WithLog(t.path(), {"a", "-ep1", (t / "arc2.zip").string(), (t / "src/profile/lock").string(),
                                 (t / "src/profile/pipe").string(), (t / "arc.zip").string()});
  EXPECT_EQ(named.result.exitCode, 1) << named.log;
  EXPECT_NE(named.log.find("WARNING: cannot open " + (t / "src/profile/lock").string()), std::string::npos);
  EXPECT_NE(named.log.find("WARNING: not a regular file, skipped: " + (t / "src/profile/pipe").string()),
            std::string::npos);
}
