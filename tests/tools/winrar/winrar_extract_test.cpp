// The x command: archives written by the archiver itself come back as they
// were, and archives from elsewhere cannot write outside the chosen folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "platform/cmdline.h"
#include "tests/support/restorecheck.h"
#include "tests/tools/winrar/winrar_testlib.h"

namespace fs = std::filesystem;
using namespace yux::test;
using namespace yux::test::winrar;

namespace {

// Every regular file below `root`, by relative path, with its bytes.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = ReadFile(e.path());
  return files;
}

struct Sources {
  TempDir t;
  std::string T() const { return t.str(); }
  std::map<std::string, std::string> files{
      {"docs/a b.txt", "alpha with blanks"},
      {"docs/sub/\xc3\xbc\xc3\xa9.txt", "utf-8 name"},
      {"docs/binary.bin", RandomBytes(300000, 7)},
  };
  Sources() {
    for (auto& [name, data] : files) {
      fs::create_directories((t / "src" / name).parent_path());
      WriteFile(t / "src" / name, data);
    }
    SetAge(t / "src/docs/a b.txt", 3);
  }
};

}  // namespace

TEST(WinrarExtract, ExitCodesAndWhatIsLeft) {
  Sources s;
  const std::string T = s.T();
  fs::create_directories(s.t / "arc");
  auto add = [&](const std::string& text) {
    ProcessResult r = RunWinrarText(Expand(text, T));
    ASSERT_EQ(r.exitCode, 0) << text << "\n" << r.err;
  };
  add("a -ep1 -r -ibck \"-hpp w\" \"{T}/arc/pw.rar\" \"{T}/src/docs\"");
  add("a -ep1 -r -ibck -v100k -m0 \"{T}/arc/vol.rar\" \"{T}/src/docs\"");
  add("a -ep3 -r -ibck \"{T}/arc/full.rar\" \"{T}/src/docs\"");
  // Names no archiver of ours writes, but an archive from elsewhere may hold:
  // made on Unix, where "\" and ":" are characters of a name, and made on
  // a system where "\" separates and a drive letter may lead.
  ProcessResult py = RunProgram(
      {"/usr/bin/python3", "-c",
       "import sys, zipfile\n"
       "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
       "for n in ['../up.txt', 'ok/../../up2.txt', '/abs/root.txt', 'fine.txt', 'unix\\\\name.txt', "
       "'c:unix.txt']: z.writestr(n, 'x')\n"
       "for n in ['..\\\\win.txt', 'C:/drive.txt', 'D:\\\\dos\\\\path.txt']:\n"
       "  i = zipfile.ZipInfo(n)\n"
       "  i.create_system = 0\n"
       "  z.writestr(i, 'x')\n"
       "z.close()\n",
       T + "/arc/evil.zip"});
  ASSERT_EQ(py.exitCode, 0) << py.err;
  // A stored archive whose binary file has one byte changed after it was
  // written: its check fails.
  add("a -ep1 -r -ibck -m0 \"{T}/arc/damaged.rar\" \"{T}/src/docs\"");
  {
    std::string bytes = ReadFile(s.t / "arc/damaged.rar");
    const size_t at = bytes.find(s.files.at("docs/binary.bin").substr(0, 64));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 1000] = static_cast<char>(bytes[at + 1000] ^ 0xff);
    WriteFile(s.t / "arc/damaged.rar", bytes);
  }
  std::map<std::string, std::string> undamaged;
  for (auto& [name, data] : s.files)
    if (name != "docs/binary.bin") undamaged[name] = data;
  fs::create_directories(s.t / "taken");
  WriteFile(s.t / "taken/docs/a b.txt", "mine");
  WriteFile(s.t / "plainfile", "not a folder");

  std::map<std::string, std::string> docs;
  for (auto& [name, data] : s.files) docs[name] = data;
  std::map<std::string, std::string> fullTree;
  for (auto& [name, data] : s.files) fullTree[(s.t / "src").string().substr(1) + "/" + name] = data;
  std::map<std::string, std::string> taken = docs;
  taken["docs/a b.txt"] = "mine";

  struct Case {
    const char* what;
    std::string text;
    std::string input;  // standard input (the password for a bare -hp)
    int code;
    const char* folder;
    std::map<std::string, std::string> tree;
  } cases[] = {
      {"password on standard input", "x -hp -ibck {T}/arc/pw.rar {T}/o1/", "p w\n", 0, "o1", docs},
      {"password in the switch", "x \"-hpp w\" -ibck {T}/arc/pw.rar {T}/o2/", "", 0, "o2", docs},
      {"volumes", "x -ibck {T}/arc/vol.part1.rar {T}/o3/", "", 0, "o3", docs},
      {"full paths without the root", "x -ibck {T}/arc/full.rar {T}/o4/", "", 0, "o4", fullTree},
      {"existing file kept", "x \"-hpp w\" -ibck {T}/arc/pw.rar {T}/taken/", "", 1, "taken", taken},
      {"unsafe names skipped", "x -ibck {T}/arc/evil.zip {T}/o5/", "", 1, "o5",
       {{"abs/root.txt", "x"},
        {"fine.txt", "x"},
        {"unix\\name.txt", "x"},
        {"c:unix.txt", "x"},
        {"drive.txt", "x"},
        {"dos/path.txt", "x"}}},
      {"wrong password", "x -hp -ibck {T}/arc/pw.rar {T}/o6/", "wrong\n", 3, "o6", {}},
      {"missing password", "x -ibck {T}/arc/pw.rar {T}/o7/", "", 3, "o7", {}},
      {"damaged data", "x -ibck {T}/arc/damaged.rar {T}/o11/", "", 3, "o11", undamaged},
      {"missing archive", "x -ibck {T}/arc/none.rar {T}/o8/", "", 6, "o8", {}},
      {"destination without a separator", "x -ibck {T}/arc/vol.part1.rar {T}/o9", "", 7, "o9", {}},
      {"destination below a file", "x -ibck {T}/arc/vol.part1.rar {T}/plainfile/o/", "", 9, "o10", {}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ProcessResult r = RunProgram(
        [&] {
          std::vector<std::string> argv{BuiltProgram("winrar").string()};
          for (auto& a : yux::platform::SplitCommandLine(Expand(c.text, T))) argv.push_back(a);
          return argv;
        }(),
        {}, 60000, c.input);
    EXPECT_EQ(r.exitCode, c.code) << r.err;
    EXPECT_EQ(Tree(s.t / c.folder), c.tree);
  }
  // Nothing landed beside or above the folders, and no temporary file stayed.
  for (const char* stray : {"up.txt", "up2.txt", "win.txt", "root.txt"}) {
    EXPECT_FALSE(fs::exists(s.t / stray)) << stray;
    EXPECT_FALSE(fs::exists(s.t.path().parent_path() / stray)) << stray;
  }
  EXPECT_FALSE(fs::exists("/abs/root.txt"));
  for (auto& e : fs::recursive_directory_iterator(s.t.path()))
    EXPECT_EQ(e.path().filename().string().find(".yuxtmp."), std::string::npos) << e.path();
  // The modification time comes back (to the second ZIP keeps).
  struct stat a {}, b {};
  ASSERT_EQ(stat((s.t / "src/docs/a b.txt").c_str(), &a), 0);
  ASSERT_EQ(stat((s.t / "o1/docs/a b.txt").c_str(), &b), 0);
  EXPECT_LE(std::llabs(static_cast<long long>(a.st_mtime - b.st_mtime)), 1);
}

namespace {

// A tree as a Linux home holds it: a name in Latin-1 (small, and large
// enough to be deflated in blocks), one in UTF-8, names with "\" and ":"
// (nested, and at the top where no "/" is in the name), files dated before
// 1970 and after 2106.
struct OddTree {
  TempDir t;
  const time_t y1966 = UtcTime(1966, 5, 4);
  const time_t y2110 = UtcTime(2110, 3, 2);
  std::map<std::string, std::string> files{
      {"tree/caf\xe9.txt", "latin-1"},
      {"tree/gro\xdf.bin", RandomBytes(1300000, 5)},
      {"tree/\xc3\xbc.txt", "utf-8"},
      {"tree/back\\slash.txt", "nested"},
      {"tree/1966.txt", "old"},
      {"tree/2110.txt", "future"},
      {"back\\top.txt", "top"},
      {"c:top.txt", "drive-like"},
  };
  std::map<std::string, time_t> dated{
      {"tree/1966.txt", y1966}, {"tree/2110.txt", y2110}, {"tree/gro\xdf.bin", y2110}};
  OddTree() {
    for (auto& [name, data] : files) {
      fs::create_directories((t / "src" / name).parent_path());
      WriteFile(t / "src" / name, data);
    }
    for (auto& [name, when] : dated) EXPECT_TRUE(SetModified(t / "src" / name, when)) << name;
  }
  // The sources as items of a command line: the folder and the two files
  // at the top, stored relative to their folder.
  std::vector<std::string> Items() const {
    return {(t / "src/tree").string(), (t / "src/back\\top.txt").string(), (t / "src/c:top.txt").string()};
  }
  void ExpectRestored(const fs::path& folder) const {
    EXPECT_EQ(Tree(folder), files);
    for (auto& [name, when] : dated) EXPECT_LE(std::llabs(ModifiedOf(folder / name) - when), 2) << name;
  }
};

}  // namespace

// However an entry was written (by the compressor or in blocks, stored,
// encrypted, split into volumes), its name comes back byte for byte and
// its time within the two seconds ZIP keeps: the test after archiving
// passes, `x` restores the tree with exit code 0, and Python's zipfile
// opens the archive.
TEST(WinrarExtract, NamesAndTimesComeBackAsStoredHoweverTheEntriesWereWritten) {
  OddTree tree;
  struct Case {
    const char* what;
    std::vector<std::string> switches;
    std::string password;
  } cases[] = {
      {"deflated", {"-m3"}, ""},
      {"stored", {"-m0"}, ""},
      {"encrypted", {"-m3", "-hpsecret"}, "secret"},
      {"volumes", {"-m3", "-v500k"}, ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = tree.t / c.what;
    fs::create_directories(folder / "out");
    std::vector<std::string> args{"a", "-ep1", "-r", "-t", "-afzip", "-INUL"};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    args.push_back((folder / "a").string());
    for (auto& item : tree.Items()) args.push_back(item);
    ProcessResult made = RunWinrar(args);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const bool split = fs::exists(folder / "a.part1.zip");
    EXPECT_EQ(split, c.switches.back() == "-v500k");

    std::vector<std::string> x{"x", "-INUL"};
    if (!c.password.empty()) x.push_back("-hp" + c.password);
    x.push_back((folder / (split ? "a.part1.zip" : "a.zip")).string());
    x.push_back((folder / "out").string() + "/");
    ProcessResult restored = RunWinrar(x);
    EXPECT_EQ(restored.exitCode, 0) << restored.err;
    tree.ExpectRestored(folder / "out");

    std::string whole;
    for (int i = 1; split && fs::exists(folder / ("a.part" + std::to_string(i) + ".zip")); ++i)
      whole += ReadFile(folder / ("a.part" + std::to_string(i) + ".zip"));
    if (split) WriteFile(folder / "a.zip", whole);
    ProcessResult py = PythonOpensZip(folder / "a.zip", c.password.empty());
    EXPECT_EQ(py.exitCode, 0) << py.err;
    EXPECT_EQ(py.out, "9\n");  // the files and the folder "tree/"
  }
}

namespace {

// Sets the "name is UTF-8" flag of every entry whose name is not ASCII, in
// its local header and its central record, as archives written before
// names were checked hold it.
void FlagNonAsciiNames(const fs::path& archive) {
  ProcessResult r = RunProgram(
      {"/usr/bin/python3", "-c",
       "import struct, sys\n"
       "p = sys.argv[1]\n"
       "d = bytearray(open(p, 'rb').read())\n"
       "end = d.rindex(b'PK\\x05\\x06')\n"
       "count, size, at = struct.unpack_from('<HII', d, end + 10)\n"
       "for _ in range(count):\n"
       "  n, m, k = struct.unpack_from('<HHH', d, at + 28)\n"
       "  name = bytes(d[at + 46:at + 46 + n])\n"
       "  if any(b >= 0x80 for b in name):\n"
       "    local = struct.unpack_from('<I', d, at + 42)[0]\n"
       "    d[at + 9] |= 0x08\n"
       "    d[local + 7] |= 0x08\n"
       "  at += 46 + n + m + k\n"
       "open(p, 'wb').write(d)\n",
       archive.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
}

}  // namespace

// An archive written before names were checked flags Latin-1 names as
// UTF-8; the reader gives no name for them, and `x` restores them under
// the bytes the directory holds, also after entries were deleted from it.
TEST(WinrarExtract, FlaggedLatin1NamesOfOlderArchivesComeBackAsTheirBytes) {
  TempDir t;
  const std::map<std::string, std::string> files{
      {"src/caf\xe9.txt", "small"},
      {"src/gro\xdf.bin", RandomBytes(1300000, 9)},
      {"src/plain.txt", "ascii"},
      {"src/\xc3\xbc.txt", "utf-8"},
  };
  for (auto& [name, data] : files) WriteFile(t / name, data);
  ASSERT_EQ(RunWinrar({"a", "-ep1", "-r", "-INUL", (t / "old.zip").string(), (t / "src").string()}).exitCode, 0);
  FlagNonAsciiNames(t / "old.zip");
  ASSERT_NE(PythonOpensZip(t / "old.zip", false).exitCode, 0) << "the flag was not set";

  ProcessResult x = RunWinrar({"x", "-INUL", (t / "old.zip").string(), (t / "o1").string() + "/"});
  EXPECT_EQ(x.exitCode, 0) << x.err;
  EXPECT_EQ(Tree(t / "o1"), files);

  // The deletion rewrites the archive: the entries after the deleted one
  // move, their names and flags stay.
  ASSERT_EQ(RunWinrar({"d", "-INUL", (t / "old.zip").string(), "plain.txt"}).exitCode, 0);
  x = RunWinrar({"x", "-INUL", (t / "old.zip").string(), (t / "o2").string() + "/"});
  EXPECT_EQ(x.exitCode, 0) << x.err;
  std::map<std::string, std::string> left = files;
  left.erase("src/plain.txt");
  EXPECT_EQ(Tree(t / "o2"), left);
}

// Times from archives of other writers: the Unix time stamp counts its 32
// bits unsigned (after 2038), except beside the lowest DOS date, where an
// older archive of ours kept a time before 1970 truncated; an NTFS time
// goes before both; a DOS date alone is local time.  An update (-u) of
// such an archive finds a file of 2040 unchanged.
TEST(WinrarExtract, TimesAreReadFromTheFieldsOfOtherWriters) {
  TempDir t;
  const time_t y2040 = UtcTime(2040, 1, 1), y1966 = UtcTime(1966, 5, 4), y2150 = UtcTime(2150, 7, 8, 9, 10, 11);
  const time_t dos1999 = LocalTime(1999, 9, 9, 10, 10, 10);
  ProcessResult py = RunProgram(
      {"/usr/bin/python3", "-c",
       "import struct, sys, zipfile\n"
       "t2040, t1966, t2150 = (int(v) for v in sys.argv[2:5])\n"
       "ut = lambda t: struct.pack('<HHBI', 0x5455, 5, 1, t & 0xffffffff)\n"
       "ft = (t2150 + 11644473600) * 10000000\n"
       "ntfs = struct.pack('<HHIHHQQQ', 0x000a, 32, 0, 1, 24, ft, ft, ft)\n"
       "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
       "for name, when, extra in [('2040.txt', (2040, 1, 1, 12, 0, 0), ut(t2040)),\n"
       "                          ('1966.txt', (1980, 1, 1, 0, 0, 0), ut(t1966)),\n"
       "                          ('2150.txt', (2000, 1, 1, 0, 0, 0), ut(946728000) + ntfs),\n"
       "                          ('1999.txt', (1999, 9, 9, 10, 10, 10), b'')]:\n"
       "  i = zipfile.ZipInfo(name, when)\n"
       "  i.extra = extra\n"
       "  z.writestr(i, name)\n"
       "z.close()\n",
       (t / "other.zip").string(), std::to_string(y2040), std::to_string(y1966), std::to_string(y2150)});
  ASSERT_EQ(py.exitCode, 0) << py.err;
  ProcessResult x = RunWinrar({"x", "-INUL", (t / "other.zip").string(), (t / "out").string() + "/"});
  ASSERT_EQ(x.exitCode, 0) << x.err;
  const std::pair<const char*, time_t> expected[] = {
      {"2040.txt", y2040}, {"1966.txt", y1966}, {"2150.txt", y2150}, {"1999.txt", dos1999}};
  for (auto& [name, when] : expected) EXPECT_EQ(ModifiedOf(t / "out" / name), when) << name;

  fs::create_directories(t / "src");
  WriteFile(t / "src/2040.txt", "2040.txt");
  ASSERT_TRUE(SetModified(t / "src/2040.txt", y2040));
  const std::string before = ReadFile(t / "other.zip");
  ProcessResult u = RunWinrar({"a", "-u", "-ep", (t / "other.zip").string(), (t / "src/2040.txt").string()});
  EXPECT_EQ(u.exitCode, 0) << u.err;
  EXPECT_NE(u.out.find("nothing to update"), std::string::npos) << u.out;
  EXPECT_TRUE(ReadFile(t / "other.zip") == before);
}
