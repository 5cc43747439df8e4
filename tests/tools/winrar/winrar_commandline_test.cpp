// The archiver driven by the parameter texts the backup program builds,
// checked with outside readers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "tests/tools/winrar/winrar_testlib.h"

namespace fs = std::filesystem;
using namespace yux::test;
using namespace yux::test::winrar;

namespace {

// src/docs/{a.txt, notes.tmp, .hidden, sub/b.txt}, src/single.txt, the
// presets folder with the include and exclude lists, a run folder.
struct Fixture {
  TempDir t;
  std::string T() const { return t.str(); }
  Fixture() {
    fs::create_directories(t / "src/docs/sub");
    fs::create_directories(t / "presets");
    fs::create_directories(t / "settings");
    fs::create_directories(t / "run/ABCDEFGH");
    WriteFile(t / "src/docs/a.txt", "alpha\n");
    WriteFile(t / "src/docs/notes.tmp", "scratch\n");
    WriteFile(t / "src/docs/.hidden", "hidden\n");
    WriteFile(t / "src/docs/sub/b.txt", "beta\n");
    WriteFile(t / "src/single.txt", "single\n");
    WriteFile(t / "presets/p.inc", T() + "/src/docs\r\n" + T() + "/src/single.txt\r\n");
    WriteFile(t / "presets/p.exc", "*.TMP\r\n");
  }
};

}  // namespace

TEST(WinrarCommandLine, PresetLineWritesStampedArchiveWithRelativePaths) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  Fixture f;
  // The default preset: ignore profile, time stamp, bare -v, -m3, -ep1,
  // solid, shared, recurse, quiet, log; the text begins with a blank.
  std::string text = Expand(
      "  a  -CFG- -ag-YYMMDDHHMMSS -v -m3 -ep1 -s -dh -r -INUL \"-ILOG{T}/settings/winrar.log\" "
      "\"-x@{T}/presets/p.exc\" \"{T}/run/ABCDEFGH/backup\" \"@{T}/presets/p.inc\"",
      f.T());
  ProcessResult r = RunWinrarText(text);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");  // -INUL: no output
  std::vector<fs::path> produced;
  for (auto& e : fs::directory_iterator(f.t / "run/ABCDEFGH")) produced.push_back(e.path());
  ASSERT_EQ(produced.size(), 1u);  // no temporary file left beside it
  EXPECT_TRUE(std::regex_match(produced[0].filename().string(),
                               std::regex(R"(backup-\d{12}\.rar)")))
      << produced[0];
  EXPECT_EQ(BsdtarNames(produced[0]),
            (std::set<std::string>{"docs/", "docs/.hidden", "docs/a.txt", "docs/sub/",
                                   "docs/sub/b.txt", "single.txt"}));
  // -s cannot be honoured in ZIP: said once in the log, not an error.
  std::string log = ReadFile(f.t / "settings/winrar.log");
  EXPECT_NE(log.find("-s: solid"), std::string::npos) << log;
  EXPECT_NE(log.find("\r\n"), std::string::npos);
}

TEST(WinrarCommandLine, PathModesStoreTheExpectedNames) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  Fixture f;
  const std::string root = f.T().substr(1);  // without the leading '/'
  struct Case {
    const char* paths;
    std::set<std::string> names;
  } cases[] = {
      {"", {root + "/src/docs/", root + "/src/docs/a.txt", root + "/src/docs/.hidden",
            root + "/src/docs/sub/", root + "/src/docs/sub/b.txt", root + "/src/single.txt"}},
      {"-ep", {"a.txt", "b.txt", ".hidden", "single.txt"}},
      {"-ep1", {"docs/", "docs/a.txt", "docs/.hidden", "docs/sub/", "docs/sub/b.txt", "single.txt"}},
      {"-ep2",
       {root + "/src/docs/", root + "/src/docs/a.txt", root + "/src/docs/.hidden",
        root + "/src/docs/sub/", root + "/src/docs/sub/b.txt", root + "/src/single.txt"}},
      // A ZIP name never begins with "/": the absolute path is stored as -ep2 stores it.
      {"-ep3",
       {root + "/src/docs/", root + "/src/docs/a.txt", root + "/src/docs/.hidden",
        root + "/src/docs/sub/", root + "/src/docs/sub/b.txt", root + "/src/single.txt"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.paths);
    fs::remove_all(f.t / "run/ABCDEFGH");
    fs::create_directories(f.t / "run/ABCDEFGH");
    ProcessResult r = RunWinrarText(Expand(std::string(" a  -CFG- -m1 ") + c.paths +
                                         " -r -INUL \"-x@{T}/presets/p.exc\" "
                                         "\"{T}/run/ABCDEFGH/backup\" \"@{T}/presets/p.inc\"",
                                     f.T()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(BsdtarNames(f.t / "run/ABCDEFGH/backup.rar"), c.names);
  }
}

// Full paths with the root (-ep3) are stored without the leading "/", which
// ZIP names never have: unzip extracts them below its target without a
// warning.  In an older archive whose entries still begin with "/", the
// file of the same path replaces its entry, or keeps it as a version.
TEST(WinrarCommandLine, AbsolutePathsAreStoredWithoutTheRoot) {
  YUX_REQUIRE_PROGRAM("unzip");
  YUX_REQUIRE_PROGRAM("bsdtar");
  TempDir t;
  WriteFile(t / "src/f.txt", "new");
  const std::string root = t.str().substr(1);
  ASSERT_EQ(RunWinrar({"a", "-ep3", "-INUL", (t / "abs.zip").string(), (t / "src").string()}).exitCode, 0);
  ProcessResult unzip = RunProgram({"unzip", "-o", (t / "abs.zip").string(), "-d", (t / "out").string()});
  EXPECT_EQ(unzip.exitCode, 0) << unzip.out << unzip.err;
  EXPECT_EQ(unzip.out.find("warning"), std::string::npos) << unzip.out;
  EXPECT_EQ(unzip.err, "");
  EXPECT_EQ(ReadFile(t / "out" / root / "src/f.txt"), "new");

  struct Case {
    const char* what;
    std::vector<std::string> switches;
    std::set<std::string> names;
  } cases[] = {
      {"replaced", {}, {root + "/src/f.txt"}},
      {"kept as a version", {"-ver5"}, {root + "/src/f.txt", root + "/src/f.txt;1"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path keeper = t / (std::string(c.what) + ".zip");
    ProcessResult py = RunProgram({"/usr/bin/python3", "-c",
                                   "import sys, zipfile\n"
                                   "with zipfile.ZipFile(sys.argv[1], 'w') as z: z.writestr(sys.argv[2], 'old')\n",
                                   keeper.string(), "/" + root + "/src/f.txt"});
    ASSERT_EQ(py.exitCode, 0) << py.err;
    std::vector<std::string> args{"a", "-ep3", "-INUL"};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    args.insert(args.end(), {keeper.string(), (t / "src/f.txt").string()});
    ASSERT_EQ(RunWinrar(args).exitCode, 0);
    EXPECT_EQ(BsdtarNames(keeper), c.names);
    EXPECT_EQ(RunProgram({"bsdtar", "-xOf", keeper.string(), root + "/src/f.txt"}).out, "new");
  }
  EXPECT_EQ(RunProgram({"bsdtar", "-xOf", (t / "kept as a version.zip").string(), root + "/src/f.txt;1"}).out,
            "old");
}

TEST(WinrarCommandLine, ZipPresetWithPasswordLockAndTest) {
  YUX_REQUIRE_PROGRAM("7z");
  YUX_REQUIRE_PROGRAM("bsdtar");
  Fixture f;
  ProcessResult r = RunWinrarText(Expand(
      " a  -afzip -m5 -ep \"-hpsecret word\" -k -t -dh -r -INUL \"-ILOG{T}/settings/winrar.log\" "
      "\"-x@{T}/presets/p.exc\" \"{T}/run/ABCDEFGH/backup\" \"@{T}/presets/p.inc\"",
      f.T()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  fs::path zip = f.t / "run/ABCDEFGH/backup.zip";
  ASSERT_TRUE(fs::exists(zip));
  EXPECT_EQ(fs::status(zip).permissions() & fs::perms::owner_write, fs::perms::none);

  bool ok = false;
  EXPECT_EQ(SevenZipExtract(zip, "a.txt", "secret word", &ok), "alpha\n");
  EXPECT_TRUE(ok);
  SevenZipExtract(zip, "a.txt", "secret", &ok);
  EXPECT_FALSE(ok);
  ProcessResult good = RunProgram({"bsdtar", "--passphrase", "secret word", "-xOf", zip.string(), "b.txt"});
  EXPECT_EQ(good.exitCode, 0) << good.err;
  EXPECT_EQ(good.out, "beta\n");
  ProcessResult bad = RunProgram({"bsdtar", "--passphrase", "wrong", "-xOf", zip.string(), "b.txt"});
  EXPECT_NE(bad.exitCode, 0);
  EXPECT_NE(bad.out, "beta\n");
}

TEST(WinrarCommandLine, SelfExtractingIsRefusedWithAClearMessage) {
  Fixture f;
  ProcessResult r = RunWinrarText(Expand(" a  -sfx -m3 -ep1 -INUL \"-ILOG{T}/settings/winrar.log\" "
                                   "\"{T}/run/ABCDEFGH/backup\" \"@{T}/presets/p.inc\"",
                                   f.T()));
  EXPECT_EQ(r.exitCode, 7);
  EXPECT_TRUE(fs::is_empty(f.t / "run/ABCDEFGH"));
  EXPECT_NE(ReadFile(f.t / "settings/winrar.log").find("self-extracting"), std::string::npos);
}

TEST(WinrarCommandLine, OpenListsTheArchive) {
  Fixture f;
  ASSERT_EQ(RunWinrarText(Expand("a -ep1 -r -z{T}/presets/c.txt \"{T}/run/x\" \"{T}/src/docs\"", f.T()))
                .exitCode,
            6);  // the comment file does not exist yet
  WriteFile(f.t / "presets/c.txt", "made by the tests");
  ASSERT_EQ(RunWinrarText(Expand("a -ep1 -r -z{T}/presets/c.txt \"{T}/run/x\" \"{T}/src/docs\"", f.T()))
                .exitCode,
            0);
  ProcessResult r = RunWinrarText(Expand("\"{T}/run/x.rar\"", f.T()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Comment: made by the tests"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" docs/sub/b.txt\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("6 entries"), std::string::npos) << r.out;
  if (!FindProgram("7z").empty()) {
    ProcessResult l = RunProgram({"7z", "l", (f.t / "run/x.rar").string()});
    EXPECT_NE(l.out.find("made by the tests"), std::string::npos) << l.out;
  }
  EXPECT_EQ(RunWinrarText(Expand("\"{T}/run/missing.rar\"", f.T())).exitCode, 6);
}

TEST(WinrarCommandLine, SwitchesWithoutMeaningHereAreAcceptedAndNotedOnce) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  Fixture f;
  // Switches in any case; each one that cannot be honoured in ZIP is one
  // line in the log however often it is given.
  ProcessResult r = RunWinrarText(Expand(
      " a  -cfg- -MD4096 -Rr3% -av -RI10:100 -s -S -dh -Ibck -EP1 -R -m0 "
      "\"-ILOG{T}/settings/winrar.log\" \"{T}/run/ABCDEFGH/backup\" \"@{T}/presets/p.inc\"",
      f.T()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(BsdtarNames(f.t / "run/ABCDEFGH/backup.rar").count("docs/sub/b.txt"), 1u);
  std::string log = ReadFile(f.t / "settings/winrar.log");
  for (const char* sw : {"-md:", "-rr:", "-AV:", "-ri:", "-s:"}) {
    size_t first = log.find(sw);
    EXPECT_NE(first, std::string::npos) << sw << "\n" << log;
    EXPECT_EQ(log.find(sw, first + 1), std::string::npos) << sw << "\n" << log;
  }
}

TEST(WinrarCommandLine, BinParameterTextsInTheOrderTheProgramUsesThem) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  Fixture f;
  fs::create_directories(f.t / "YUX-BIN");
  WriteFile(f.t / "settings/yuxbin-k.txt", f.T() + "/src/docs/a.txt\r\n" + f.T() + "/src/single.txt\r\n");
  WriteFile(f.t / "settings/yuxbin-r.txt", f.T() + "/src/docs/sub\r\n");
  SetAge(f.t / "src/single.txt", 90);
  const std::string root = f.T().substr(1);  // stored without the leading '/'
  struct Use {
    const char* what;
    const char* text;
    int code;
    const char* archive;  // listed afterwards with bsdtar, when set
    std::set<std::string> names;
  } uses[] = {
      {"keeper", "a -ep3 -m3 -ibck -dh -r  -cfg- -hpkeep -ver5 \"{T}/YUX-BIN/keeper.rar\" \"@{T}/settings/yuxbin-k.txt\"",
       0, "YUX-BIN/keeper.rar", {root + "/src/docs/a.txt", root + "/src/single.txt"}},
      {"keeper again", "a -ep3 -m3 -ibck -dh -r  -cfg- -hpkeep -ver5 \"{T}/YUX-BIN/keeper.rar\" \"@{T}/settings/yuxbin-k.txt\"",
       0, "YUX-BIN/keeper.rar",
       {root + "/src/docs/a.txt", root + "/src/single.txt", root + "/src/docs/a.txt;1",
        root + "/src/single.txt;1"}},
      {"recycle", "a -df -ep3 -m3 -ibck -dh -r  -cfg- \"{T}/YUX-BIN/recycle.rar\" \"@{T}/settings/yuxbin-r.txt\"",
       0, "YUX-BIN/recycle.rar", {root + "/src/docs/sub/", root + "/src/docs/sub/b.txt"}},
      {"keeper clean-up", "d -to60d \"{T}/YUX-BIN/keeper.rar\" *.*", 0, "YUX-BIN/keeper.rar",
       {root + "/src/docs/a.txt", root + "/src/docs/a.txt;1"}},
      {"open the recycle bin", "\"{T}/YUX-BIN/recycle.rar\"", 0, nullptr, {}},
  };
  for (auto& u : uses) {
    SCOPED_TRACE(u.what);
    ProcessResult r = RunWinrarText(Expand(u.text, f.T()));
    ASSERT_EQ(r.exitCode, u.code) << r.err;
    if (u.archive) EXPECT_EQ(BsdtarNames(f.t / u.archive), u.names);
  }
  EXPECT_FALSE(fs::exists(f.t / "src/docs/sub"));  // recycled
  EXPECT_TRUE(fs::exists(f.t / "src/docs/a.txt"));  // kept, not moved
}
