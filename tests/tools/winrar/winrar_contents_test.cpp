// What goes into an archive: list files, masks, attributes, volumes, and
// adding to, updating and cleaning an existing archive.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>

#include "tests/tools/winrar/winrar_testlib.h"

namespace fs = std::filesystem;
using namespace yux::test;
using namespace yux::test::winrar;

TEST(WinrarLists, ExcludeAndFilterListsWithWindowsMasks) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  TempDir t;
  fs::create_directories(t / "src/keep/cache");
  WriteFile(t / "src/keep/report.DOC", "d");
  WriteFile(t / "src/keep/plan.txt", "p");
  WriteFile(t / "src/keep/old.bak", "b");
  WriteFile(t / "src/keep/README", "r");
  WriteFile(t / "src/keep/cache/x.txt", "x");
  // A CRLF exclude list: an extension mask (any case) and a folder name.
  WriteFile(t / "p.exc", "*.BAK\r\ncache\r\n\r\n");
  // A filter list in LF with a mask that also matches names without a dot.
  WriteFile(t / "p.flt", "*.doc\nREADME.*\n");
  WriteFile(t / "p.inc", t.str() + "/src/keep\n");
  ProcessResult r = RunWinrarText(Expand(
      "a -ep1 -r \"-x@{T}/p.exc\" \"-n@{T}/p.flt\" \"{T}/out\" \"@{T}/p.inc\"", t.str()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(BsdtarNames(t / "out.rar"),
            (std::set<std::string>{"keep/", "keep/report.DOC", "keep/README"}));
}

TEST(WinrarLists, IncludeListInWindows1252AndMasks) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  TempDir t;
  fs::create_directories(t / "src/sub");
  WriteFile(t / "src/caf\xc3\xa9.txt", "coffee");  // "café.txt" in UTF-8 on disk
  WriteFile(t / "src/a.log", "1");
  WriteFile(t / "src/sub/b.log", "2");
  // The list names the file in Windows-1252 ("\xe9" is é) and a mask.
  WriteFile(t / "p.inc", t.str() + "/src/caf\xe9.txt\r\n" + t.str() + "/src/*.log\r\n");
  ASSERT_EQ(RunWinrarText(Expand("a -ep1 \"{T}/flat\" \"@{T}/p.inc\"", t.str())).exitCode, 0);
  EXPECT_EQ(BsdtarNames(t / "flat.rar"),
            (std::set<std::string>{"caf\xc3\xa9.txt", "a.log"}));
  // With -r the mask reaches into subfolders.
  ASSERT_EQ(RunWinrarText(Expand("a -ep1 -r \"{T}/deep\" \"@{T}/p.inc\"", t.str())).exitCode, 0);
  EXPECT_EQ(BsdtarNames(t / "deep.rar"),
            (std::set<std::string>{"caf\xc3\xa9.txt", "a.log", "sub/b.log"}));
}

// A list read literally (the bins' lists) holds names: "*", "?" and blanks
// around a name are part of it, and nothing else is taken, with or without
// -r, and a move deletes only what it named.  The same list without the
// switch keeps its usual reading as masks.
TEST(WinrarLists, LiteralListTakesExactlyTheNamedFiles) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  TempDir t;
  fs::create_directories(t / "src/sub");
  for (const char* name : {"report?.txt", "reportA.txt", "reportB.txt", " padded.txt ", "padded.txt", "*"})
    WriteFile(t / "src" / name, name);
  WriteFile(t / "src/sub/reportC.txt", "c");
  WriteFile(t / "p.lst", t.str() + "/src/report?.txt\r\n" + t.str() + "/src/ padded.txt \r\n" + t.str() + "/src/*\n");
  const std::set<std::string> named = {"report?.txt", " padded.txt ", "*"};
  for (const char* text : {"a -ep1 -listliteral \"{T}/lit\" \"@{T}/p.lst\"",
                           "a -ep1 -r -listliteral \"{T}/lit\" \"@{T}/p.lst\"",
                           "a -df -ep1 -r -listliteral \"{T}/lit\" \"@{T}/p.lst\""}) {
    SCOPED_TRACE(text);
    fs::remove(t / "lit.rar");
    ProcessResult r = RunWinrarText(Expand(text, t.str()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(BsdtarNames(t / "lit.rar"), named);
  }
  for (const char* gone : {"report?.txt", " padded.txt ", "*"}) EXPECT_FALSE(fs::exists(t / "src" / gone)) << gone;
  for (const char* kept : {"reportA.txt", "reportB.txt", "padded.txt", "sub/reportC.txt"})
    EXPECT_TRUE(fs::exists(t / "src" / kept)) << kept;

  // Without the switch: masks, and lines trimmed of their blanks (the name
  // " padded.txt" then names nothing: a warning).
  RunWinrarText(Expand("a -ep1 \"{T}/masks\" \"@{T}/p.lst\"", t.str()));
  EXPECT_EQ(BsdtarNames(t / "masks.rar"), (std::set<std::string>{"reportA.txt", "reportB.txt", "padded.txt"}));
}

TEST(WinrarLists, AttributeExclusion) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  TempDir t;
  fs::create_directories(t / "src/.git");
  WriteFile(t / "src/.git/config", "c");
  WriteFile(t / "src/.profile", "p");
  WriteFile(t / "src/locked.txt", "l");
  WriteFile(t / "src/open.txt", "o");
  fs::permissions(t / "src/locked.txt", fs::perms::owner_read | fs::perms::group_read);
  struct Case {
    const char* sw;
    std::set<std::string> names;
  } cases[] = {
      {"-eH", {"src/", "src/locked.txt", "src/open.txt"}},
      {"-eR", {"src/", "src/.git/", "src/.git/config", "src/.profile", "src/open.txt"}},
      {"-eRH", {"src/", "src/open.txt"}},
      {"-eAS", {"src/", "src/.git/", "src/.git/config", "src/.profile", "src/locked.txt", "src/open.txt"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.sw);
    fs::remove(t / "out.rar");
    ProcessResult r = RunWinrar({"a", "-ep1", "-r", c.sw, (t / "out").string(), (t / "src").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(BsdtarNames(t / "out.rar"), c.names);
  }
}

TEST(WinrarVolumes, PartsAreNumberedAndConcatenateToTheArchive) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  TempDir t;
  fs::create_directories(t / "src");
  const std::string data = RandomBytes(120000, 7);
  WriteFile(t / "src/random.bin", data);
  fs::create_directories(t / "out");
  ProcessResult r = RunWinrar({"a", "-ep1", "-v10k", "-m3", (t / "out/set").string(), (t / "src").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // 120 KB that does not compress in 10 KiB parts: 12 parts, two digits.
  std::string whole;
  for (int i = 1; i <= 12; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "set.part%02d.rar", i);
    ASSERT_TRUE(fs::exists(t / "out" / name)) << name;
    if (i < 12) EXPECT_EQ(fs::file_size(t / "out" / name), 10240u) << name;
    whole += ReadFile(t / "out" / name);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(t / "out"), fs::directory_iterator{}), 12);
  WriteFile(t / "joined.zip", whole);
  EXPECT_EQ(BsdtarNames(t / "joined.zip"), (std::set<std::string>{"src/", "src/random.bin"}));
  ProcessResult x = RunProgram({"bsdtar", "-xOf", (t / "joined.zip").string(), "src/random.bin"});
  EXPECT_TRUE(x.out == data);
  // Opening the first part lists the whole set.
  ProcessResult open = RunWinrar({(t / "out/set.part01.rar").string()});
  EXPECT_EQ(open.exitCode, 0) << open.err;
  EXPECT_NE(open.out.find(" src/random.bin\n"), std::string::npos) << open.out;
}

TEST(WinrarVolumes, SizeUnits) {
  TempDir t;
  fs::create_directories(t / "src");
  WriteFile(t / "src/random.bin", RandomBytes(40000, 3));
  struct Case {
    const char* sw;
    uintmax_t partSize;  // 0: one file, no parts
  } cases[] = {
      {"-v12", 12000},         {"-v12000b", 12000},  {"-v12k", 12288},
      {"-v0.012m", 12000},     {"-v0.012M", 12583},  {"-v0.000012g", 12000},
      {"-v0.000012G", 12885},  {"-v", 0},            {"-v1g", 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.sw);
    fs::remove_all(t / "out");
    fs::create_directories(t / "out");
    ProcessResult r = RunWinrar({"a", "-ep1", c.sw, (t / "out/v").string(), (t / "src").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    if (c.partSize == 0) {
      EXPECT_TRUE(fs::exists(t / "out/v.rar"));
      EXPECT_FALSE(fs::exists(t / "out/v.part1.rar"));
    } else {
      EXPECT_EQ(fs::file_size(t / "out/v.part1.rar"), c.partSize);
      EXPECT_FALSE(fs::exists(t / "out/v.rar"));
    }
  }
  EXPECT_EQ(RunWinrar({"a", "-v12x", (t / "out/v").string(), (t / "src").string()}).exitCode, 7);
}

TEST(WinrarExisting, AddingKeepsEntriesAndTheirPasswords) {
  YUX_REQUIRE_PROGRAM("7z");
  TempDir t;
  fs::create_directories(t / "src");
  WriteFile(t / "src/one.txt", "one");
  WriteFile(t / "src/two.txt", "two");
  WriteFile(t / "list1.txt", t.str() + "/src/one.txt\n");
  WriteFile(t / "list2.txt", t.str() + "/src/two.txt\n");
  // The keeper with one password, then the password changed in the settings.
  std::string keeper = Expand("\"{T}/bin/keeper.rar\"", t.str());
  fs::create_directories(t / "bin");
  ASSERT_EQ(RunWinrarText("a -ep -m3 -ibck -dh -r  -cfg- -hpfirst " + keeper + Expand(" \"@{T}/list1.txt\"", t.str())).exitCode, 0);
  ASSERT_EQ(RunWinrarText("a -ep -m3 -ibck -dh -r  -cfg- -hpsecond " + keeper + Expand(" \"@{T}/list2.txt\"", t.str())).exitCode, 0);
  bool ok = false;
  EXPECT_EQ(SevenZipExtract(t / "bin/keeper.rar", "one.txt", "first", &ok), "one");
  EXPECT_TRUE(ok);
  EXPECT_EQ(SevenZipExtract(t / "bin/keeper.rar", "two.txt", "second", &ok), "two");
  EXPECT_TRUE(ok);
  SevenZipExtract(t / "bin/keeper.rar", "two.txt", "first", &ok);
  EXPECT_FALSE(ok);
}

TEST(WinrarExisting, VersionsAreKeptAsNameSemicolonNumber) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  TempDir t;
  fs::create_directories(t / "src");
  WriteFile(t / "list.txt", t.str() + "/src/f.txt\n");
  for (int i = 1; i <= 4; ++i) {
    WriteFile(t / "src/f.txt", "version " + std::to_string(i));
    ASSERT_EQ(RunWinrarText(Expand("a -ep -m3 -ibck -dh -r  -cfg- -ver2 \"{T}/keeper.rar\" \"@{T}/list.txt\"",
                             t.str()))
                  .exitCode,
              0);
  }
  // The current file and the two newest older versions.
  EXPECT_EQ(BsdtarNames(t / "keeper.rar"), (std::set<std::string>{"f.txt", "f.txt;2", "f.txt;3"}));
  EXPECT_EQ(RunProgram({"bsdtar", "-xOf", (t / "keeper.rar").string(), "f.txt;3"}).out, "version 3");
  EXPECT_EQ(RunProgram({"bsdtar", "-xOf", (t / "keeper.rar").string(), "f.txt"}).out, "version 4");
  // Without -ver a new copy simply replaces the entry.
  ASSERT_EQ(RunWinrar({"a", "-ep", (t / "plain.rar").string(), (t / "src/f.txt").string()}).exitCode, 0);
  ASSERT_EQ(RunWinrar({"a", "-ep", (t / "plain.rar").string(), (t / "src/f.txt").string()}).exitCode, 0);
  EXPECT_EQ(BsdtarNames(t / "plain.rar"), (std::set<std::string>{"f.txt"}));
}

TEST(WinrarExisting, UpdateFreshenAndSynchronise) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  TempDir t;
  fs::create_directories(t / "src");
  WriteFile(t / "src/old.txt", "old");
  WriteFile(t / "src/gone.txt", "gone");
  SetAge(t / "src/old.txt", 3);
  SetAge(t / "src/gone.txt", 3);
  std::string arc = (t / "d").string(), src = (t / "src").string();
  ASSERT_EQ(RunWinrar({"a", "-ep1", "-r", arc, src}).exitCode, 0);

  WriteFile(t / "src/old.txt", "newer");  // modified now
  WriteFile(t / "src/new.txt", "new");
  // -f: only the newer copy of an existing entry.
  ASSERT_EQ(RunWinrar({"a", "-ep1", "-r", "-f", arc, src}).exitCode, 0);
  EXPECT_EQ(BsdtarNames(t / "d.rar"), (std::set<std::string>{"src/", "src/old.txt", "src/gone.txt"}));
  EXPECT_EQ(RunProgram({"bsdtar", "-xOf", (t / "d.rar").string(), "src/old.txt"}).out, "newer");
  // -u: new files too.
  ASSERT_EQ(RunWinrar({"a", "-ep1", "-r", "-u", arc, src}).exitCode, 0);
  EXPECT_EQ(BsdtarNames(t / "d.rar"),
            (std::set<std::string>{"src/", "src/old.txt", "src/gone.txt", "src/new.txt"}));
  // Nothing newer: the archive is left as it is, with success.
  auto before = fs::last_write_time(t / "d.rar");
  ASSERT_EQ(RunWinrar({"a", "-ep1", "-r", "-u", arc, src}).exitCode, 0);
  EXPECT_EQ(fs::last_write_time(t / "d.rar"), before);
  // -as: entries whose source is gone are dropped.
  fs::remove(t / "src/gone.txt");
  ASSERT_EQ(RunWinrar({"a", "-ep1", "-r", "-u", "-as", arc, src}).exitCode, 0);
  EXPECT_EQ(BsdtarNames(t / "d.rar"), (std::set<std::string>{"src/", "src/old.txt", "src/new.txt"}));
}

TEST(WinrarExisting, DeleteOlderThanRemovesOnlyOldEntriesEvenEncrypted) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  YUX_REQUIRE_PROGRAM("7z");
  TempDir t;
  fs::create_directories(t / "src");
  fs::create_directories(t / "bin");
  WriteFile(t / "src/ancient.txt", "a");
  WriteFile(t / "src/month.txt", "m");
  WriteFile(t / "src/recent.txt", "r");
  SetAge(t / "src/ancient.txt", 400);
  SetAge(t / "src/month.txt", 31);
  SetAge(t / "src/recent.txt", 29);
  WriteFile(t / "list.txt", t.str() + "/src/ancient.txt\n" + t.str() + "/src/month.txt\n" +
                                t.str() + "/src/recent.txt\n");
  ASSERT_EQ(RunWinrarText(Expand("a -ep -m3 -ibck -dh -r  -cfg- -hpkey \"{T}/bin/keeper.rar\" \"@{T}/list.txt\"",
                           t.str()))
                .exitCode,
            0);
  // The bin clean-up passes no password.
  ProcessResult r = RunWinrarText(Expand("d -to30d \"{T}/bin/keeper.rar\" *.*", t.str()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(BsdtarNames(t / "bin/keeper.rar"), (std::set<std::string>{"recent.txt"}));
  bool ok = false;
  EXPECT_EQ(SevenZipExtract(t / "bin/keeper.rar", "recent.txt", "key", &ok), "r");
  EXPECT_TRUE(ok);
  // Nothing old left: nothing changes.
  EXPECT_EQ(RunWinrarText(Expand("d -to30d \"{T}/bin/keeper.rar\" *.*", t.str())).exitCode, 0);
  EXPECT_EQ(BsdtarNames(t / "bin/keeper.rar"), (std::set<std::string>{"recent.txt"}));
  // A missing bin archive is an open error.
  EXPECT_EQ(RunWinrarText(Expand("d -to30d \"{T}/bin/recycle.rar\" *.*", t.str())).exitCode, 6);
}

TEST(WinrarExisting, EraseDestinationOnlyAfterTheNewArchiveIsComplete) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  TempDir t;
  fs::create_directories(t / "dest/keepdir");
  fs::create_directories(t / "src");
  WriteFile(t / "src/a.txt", "a");
  WriteFile(t / "dest/older-backup.rar", "x");
  WriteFile(t / "dest/keepdir/inner.txt", "i");
  // A failing run (a source list that cannot be opened) erases nothing.
  EXPECT_EQ(RunWinrar({"a", "-vd", "-ep1", (t / "dest/new").string(), "@" + (t / "nolist").string()}).exitCode, 6);
  EXPECT_TRUE(fs::exists(t / "dest/older-backup.rar"));
  ASSERT_EQ(RunWinrar({"a", "-vd", "-ep1", (t / "dest/new").string(), (t / "src").string()}).exitCode, 0);
  EXPECT_FALSE(fs::exists(t / "dest/older-backup.rar"));
  EXPECT_TRUE(fs::exists(t / "dest/keepdir/inner.txt"));
  EXPECT_EQ(BsdtarNames(t / "dest/new.rar"), (std::set<std::string>{"src/", "src/a.txt"}));
}

TEST(WinrarNames, ExtensionAndTimeStamp) {
  TempDir t;
  WriteFile(t / "f.txt", "f");
  std::string f = (t / "f.txt").string();
  struct Case {
    std::vector<std::string> sw;
    const char* given;
    std::string expectedFormat;  // strftime text of the expected name
  } cases[] = {
      {{}, "plain", "plain.rar"},
      {{"-afzip"}, "zipped", "zipped.zip"},
      {{"-afzip"}, "keeper.rar", "keeper.rar"},
      {{"-ag-YYMMDDHHMMSS"}, "stamped", "stamped-%y%m%d%H%M%S.rar"},
      {{"-ag_YYYY.MM.DD"}, "dotted", "dotted_%Y.%m.%d.rar"},
      {{"-agHHMM"}, "minutes", "minutes%H%M.rar"},
      {{"-ag"}, "named.zip", "named%Y%m%d%H%M%S.zip"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.given);
    std::vector<std::string> args{"a", "-ep"};
    args.insert(args.end(), c.sw.begin(), c.sw.end());
    args.push_back((t / c.given).string());
    args.push_back(f);
    auto expected = [&](time_t when) {
      char buf[128];
      std::strftime(buf, sizeof buf, c.expectedFormat.c_str(), std::localtime(&when));
      return t / buf;
    };
    time_t before = time(nullptr);
    ASSERT_EQ(RunWinrar(args).exitCode, 0);
    time_t after = time(nullptr);
    // The archiver stamps a moment of its own run: any second between the
    // bounds read before and after it is right, however slow the machine.
    bool found = false;
    for (time_t when = before; when <= after && !found; ++when) found = fs::exists(expected(when));
    EXPECT_TRUE(found) << expected(before) << " .. " << expected(after);
  }
}

// Two sources that would be stored under one name: the archive holds the
// first, the later is left out with one warning naming both, the exit code
// is the warning's, and a move deletes only what the archive holds.  Two
// folders of one name become one folder.
TEST(WinrarNames, TheFirstOfTwoSourcesOfOneNameIsKeptAndTheOtherNamed) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  YUX_REQUIRE_PROGRAM("7z");
  struct Case {
    const char* what;
    std::vector<std::string> items;  // "{T}" is the test's folder
    std::string prefix;              // of the stored names
  };
  const Case cases[] = {
      {"two folders named docs", {"{T}/one/docs", "{T}/two/docs"}, "docs/"},
      {"the add-files default entries", {"{T}/one/docs/*.*", "{T}/two/docs/*.*"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir t;
    for (const char* side : {"one", "two"}) {
      WriteFile(t / side / "docs/a.txt", std::string(side) + " a");
      WriteFile(t / side / "docs/sub/b.txt", std::string(side) + " b");
    }
    WriteFile(t / "two/docs/c.txt", "two c");
    const std::string log = (t / "winrar.log").string();
    std::vector<std::string> args{"m", "-ep1", "-r", "-ilog" + log, (t / "out").string()};
    for (const auto& item : c.items) args.push_back(Expand(item, t.str()));
    ProcessResult r = RunWinrar(args);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const std::string p = c.prefix;
    std::set<std::string> names{p + "a.txt", p + "sub/", p + "sub/b.txt", p + "c.txt"};
    if (!p.empty()) names.insert(p);
    EXPECT_EQ(BsdtarNames(t / "out.rar"), names);
    bool ok = false;
    EXPECT_EQ(SevenZipExtract(t / "out.rar", p + "a.txt", "", &ok), "one a");
    EXPECT_EQ(SevenZipExtract(t / "out.rar", p + "sub/b.txt", "", &ok), "one b");
    // One warning line per pair, naming both files.
    const std::string logged = ReadFile(log);
    int warnings = 0;
    for (size_t at = logged.find("WARNING"); at != std::string::npos; at = logged.find("WARNING", at + 1)) ++warnings;
    EXPECT_EQ(warnings, 2) << logged;
    for (const char* name : {"docs/a.txt", "docs/sub/b.txt"}) {
      const std::string first = (t / "one" / name).string(), later = (t / "two" / name).string();
      EXPECT_NE(logged.find("WARNING: " + later + " was left out: " + first + " is stored under the same name"),
                std::string::npos)
          << name << "\n" << logged;
      EXPECT_FALSE(fs::exists(first)) << "archived, so moved";
      EXPECT_TRUE(fs::exists(later)) << "left out, so kept";
    }
    EXPECT_FALSE(fs::exists(t / "two/docs/c.txt"));
  }
}

// A bare -hp takes the password from standard input, so that it never
// stands in the command line; without one there the command line is bad.
TEST(WinrarPassword, BarePasswordSwitchReadsStandardInput) {
  YUX_REQUIRE_PROGRAM("7z");
  TempDir t;
  WriteFile(t / "one.txt", "one");
  const std::string winrar = BuiltProgram("winrar").string();
  auto r = RunProgram({winrar, "a", "-ep", "-hp", (t / "a.rar").string(), (t / "one.txt").string()}, {}, 60000,
                      "from input\r\n");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  bool ok = false;
  EXPECT_EQ(SevenZipExtract(t / "a.rar", "one.txt", "from input", &ok), "one");
  EXPECT_TRUE(ok);
  r = RunProgram({winrar, "a", "-ep", "-hp", (t / "b.rar").string(), (t / "one.txt").string()}, {}, 60000, "");
  EXPECT_EQ(r.exitCode, 7);
  EXPECT_FALSE(fs::exists(t / "b.rar"));
}

namespace {

// Entry names as `7z l` lists them.
std::set<std::string> SevenZipNames(const fs::path& archive) {
  ProcessResult r = RunProgram({"7z", "l", "-slt", "-ba", archive.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::set<std::string> names;
  size_t start = 0;
  while (start < r.out.size()) {
    size_t end = r.out.find('\n', start);
    if (end == std::string::npos) end = r.out.size();
    std::string line = r.out.substr(start, end - start);
    if (line.rfind("Path = ", 0) == 0) names.insert(line.substr(7));
    start = end + 1;
  }
  return names;
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

// A linked folder inside the tree is walked like a linked file is read; a
// link back up the tree is one warning (exit code 1), and a name holding a
// line feed comes back unchanged.  A move leaves what the linked folder
// holds where it is: that data lives outside the tree.
TEST(WinrarLinks, LinkedFolderFollowedLoopWarnedNamesKept) {
  YUX_REQUIRE_PROGRAM("7z");
  TempDir t;
  fs::create_directories(t / "data/docs/sub");
  fs::create_directories(t / "src/real");
  WriteFile(t / "data/docs/a.txt", "alpha");
  WriteFile(t / "data/docs/sub/b.txt", "beta");
  WriteFile(t / "src/real/r.txt", "real");
  WriteFile(t / "src/new\nline.txt", "lf");
  fs::create_directory_symlink(t / "data/docs", t / "src/docs");
  fs::create_directory_symlink("..", t / "src/real/loop");
  for (const char* command : {"a", "m"}) {
    SCOPED_TRACE(command);
    const fs::path log = t / (std::string(command) + ".log");
    const fs::path archive = t / (std::string(command) + ".zip");
    ProcessResult r = RunWinrar({command, "-r", "-ep1", "-INUL", "-ILOG" + log.string(), archive.string(),
                                 (t / "src").string()});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const std::string logText = ReadFile(log);
    EXPECT_EQ(CountOf(logText, "WARNING"), 1u) << logText;
    EXPECT_EQ(CountOf(logText, (t / "src/real/loop").string()), 1u) << logText;
    std::set<std::string> names = SevenZipNames(archive);
    for (const char* name : {"src/docs", "src/docs/a.txt", "src/docs/sub/b.txt", "src/real/r.txt"})
      EXPECT_TRUE(names.count(name)) << name;
    EXPECT_EQ(names.size(), 8u) << r.out;  // those, src, src/real, src/docs/sub and the line-feed name
    bool ok = false;
    EXPECT_EQ(SevenZipExtract(archive, "src/docs/sub/b.txt", "", &ok), "beta");

    const fs::path out = t / (std::string("x-") + command);
    fs::create_directories(out);
    ProcessResult x = RunProgram({BuiltProgram("winrar").string(), "x", "-INUL", archive.string(), out.string() + "/"});
    ASSERT_EQ(x.exitCode, 0) << x.err;
    EXPECT_EQ(ReadFile(out / "src/new\nline.txt"), "lf");
    EXPECT_EQ(ReadFile(out / "src/docs/sub/b.txt"), "beta");
    EXPECT_FALSE(fs::exists(out / "src/real/loop"));
  }
  EXPECT_EQ(ReadFile(t / "data/docs/a.txt"), "alpha");
  EXPECT_EQ(ReadFile(t / "data/docs/sub/b.txt"), "beta");
  EXPECT_FALSE(fs::exists(t / "src/real/r.txt"));
}
