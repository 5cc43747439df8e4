// The x command: archives written by the archiver itself come back as they
// were, and archives from elsewhere cannot write outside the chosen folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "platform/cmdline.h"
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
  // Names no archiver of ours writes, but an archive from elsewhere may hold.
  ProcessResult py = RunProgram(
      {"/usr/bin/python3", "-c",
       "import sys, zipfile\n"
       "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
       "for n in ['../up.txt', 'ok/../../up2.txt', '..\\\\win.txt', '/abs/root.txt', "
       "'C:/drive.txt', 'fine.txt']: z.writestr(n, 'x')\n"
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
       {{"abs/root.txt", "x"}, {"drive.txt", "x"}, {"fine.txt", "x"}}},
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
