// Reading a split set back: the reader takes the volumes of the set and
// nothing else, whatever older volumes of the same name lie beside it,
// and a set whose volumes are not all there names the first one missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "tests/tools/winrar/winrar_testlib.h"

namespace fs = std::filesystem;
using namespace yux::test;
using namespace yux::test::winrar;

namespace {

using Files = std::map<std::string, std::string>;

// Every regular file below `root`, by relative path, with its bytes.
Files Tree(const fs::path& root) {
  Files files;
  if (!fs::exists(root)) return files;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = ReadFile(e.path());
  return files;
}

// The bytes of an unsplit archive of `files` (stored, so that the files'
// bytes stand in it as they are), with an optional comment.
std::string Archive(const fs::path& work, const Files& files, const std::string& comment = {}) {
  static int serial = 0;
  const fs::path at = work / ("build" + std::to_string(++serial));
  for (auto& [name, data] : files) {
    fs::create_directories((at / "src" / name).parent_path());
    WriteFile(at / "src" / name, data);
  }
  std::vector<std::string> args{"a", "-ep1", "-r", "-ibck", "-m0"};
  if (!comment.empty()) {
    WriteFile(at / "comment.txt", comment);
    args.push_back("-z" + (at / "comment.txt").string());
  }
  args.push_back((at / "whole.rar").string());
  for (auto& e : fs::directory_iterator(at / "src")) args.push_back(e.path().string());
  ProcessResult r = RunWinrar(args);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return ReadFile(at / "whole.rar");
}

std::string Numbered(const std::string& stem, size_t number, size_t width, const std::string& ext) {
  std::string n = std::to_string(number);
  if (n.size() < width) n.insert(0, width - n.size(), '0');
  return stem + ".part" + n + ext;
}

// Cuts `bytes` into volumes ending at `ends` (the last end is the size),
// written into `folder` as "stem.partN.ext" with numbers `width` wide.
void Cut(const std::string& bytes, const std::vector<size_t>& ends, const fs::path& folder,
         const std::string& stem, size_t width, const std::string& ext = ".rar") {
  fs::create_directories(folder);
  size_t from = 0;
  for (size_t i = 0; i < ends.size(); ++i) {
    WriteFile(folder / Numbered(stem, i + 1, width, ext), bytes.substr(from, ends[i] - from));
    from = ends[i];
  }
}

// Ends of `count` volumes of equal size but for the last.
std::vector<size_t> Even(size_t size, size_t count) {
  const size_t each = (size + count - 1) / count;
  std::vector<size_t> ends;
  for (size_t i = 1; i <= count; ++i) ends.push_back(std::min(size, i * each));
  return ends;
}

struct Extracted {
  ProcessResult run;
  Files files;
};

Extracted Extract(const fs::path& first, const fs::path& out) {
  Extracted e{RunWinrar({"x", first.string(), out.string() + "/"}), {}};
  e.files = Tree(out);
  return e;
}

// Names and sizes, to show a difference without the bytes.
std::string Describe(const Files& files) {
  std::string out;
  for (auto& [name, data] : files) out += name + " (" + std::to_string(data.size()) + " bytes) ";
  return out.empty() ? "nothing" : out;
}

Files Prefixed(const Files& files, const std::string& folder) {
  Files out;
  for (auto& [name, data] : files) out[folder + "/" + name] = data;
  return out;
}

}  // namespace

// A set delivered where an older set of the same name lay: volumes of the
// older set beside it, of its width or of another, are never read as more
// of it, wherever its end record lies; and the older set, where it is
// still whole, reads as itself.
TEST(WinrarVolumes, ASetBesideOlderVolumesReadsAsItself) {
  TempDir t;
  const Files newer{{"a.txt", "the newest backup"}, {"b.bin", RandomBytes(30000, 1)}};
  const Files older{{"a.txt", "an older, longer backup"}, {"b.bin", RandomBytes(70000, 2)}};
  // A stored archive among the sources: its own end record can end a
  // volume of the outer set.
  const std::string inner = Archive(t.path(), {{"inner.txt", "inside"}});
  const Files withZip{{"a.txt", "holds an archive"}, {"inner.zip", inner}, {"z.bin", RandomBytes(5000, 3)}};

  struct Case {
    const char* what;
    Files files;
    std::string comment;
    // Where the set's volumes end, from the archive's bytes.
    std::function<std::vector<size_t>(const std::string&)> cut;
    size_t width;
    size_t olderCount, olderWidth;  // the older set cut likewise (0: none)
  };
  const std::vector<Case> cases = {
      {"an archive comment, an older fourth volume", newer, "kept for years",
       [](const std::string& b) { return Even(b.size(), 3); }, 1, 4, 1},
      {"the end record straddles the last two volumes", newer, "",
       [](const std::string& b) { return std::vector<size_t>{b.size() - 7, b.size()}; }, 1, 3, 1},
      {"nine volumes where eleven of two digits lay", newer, "",
       [](const std::string& b) { return Even(b.size(), 9); }, 1, 11, 2},
      {"a volume ends where a stored archive does", withZip, "",
       [&inner](const std::string& b) {
         const size_t at = b.find(inner);
         return at == std::string::npos ? std::vector<size_t>{b.size()}
                                        : std::vector<size_t>{at + inner.size(), b.size()};
       },
       1, 0, 0},
  };
  for (size_t n = 0; n < cases.size(); ++n) {
    const Case& c = cases[n];
    SCOPED_TRACE(c.what);
    const fs::path dest = t / ("dest" + std::to_string(n));
    const std::string olderBytes = Archive(t.path(), Prefixed(older, "src"));
    if (c.olderCount) Cut(olderBytes, Even(olderBytes.size(), c.olderCount), dest, "set", c.olderWidth);
    const std::string bytes = Archive(t.path(), Prefixed(c.files, "src"), c.comment);
    const std::vector<size_t> ends = c.cut(bytes);
    ASSERT_GE(ends.size(), 2u);
    Cut(bytes, ends, dest, "set", c.width);

    const Extracted x = Extract(dest / Numbered("set", 1, c.width, ".rar"), t / ("out" + std::to_string(n)));
    EXPECT_EQ(x.run.exitCode, 0) << x.run.err;
    EXPECT_TRUE(x.files == Prefixed(c.files, "src")) << Describe(x.files);
    const ProcessResult list = RunWinrar({(dest / Numbered("set", 1, c.width, ".rar")).string()});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    // The set's own entries (and its folder), with its comment.
    EXPECT_NE(list.out.find(std::to_string(c.files.size() + 1) + " entries"), std::string::npos) << list.out;
    for (auto& [name, data] : c.files) EXPECT_NE(list.out.find(" src/" + name + "\n"), std::string::npos) << name;
    if (!c.comment.empty()) {
      EXPECT_NE(list.out.find("Comment: " + c.comment), std::string::npos) << list.out;
    }
    if (c.olderWidth > c.width) {
      // The older set kept its own volumes of its own width.
      const Extracted o = Extract(dest / Numbered("set", 1, c.olderWidth, ".rar"), t / ("older" + std::to_string(n)));
      EXPECT_EQ(o.run.exitCode, 0) << o.run.err;
      EXPECT_TRUE(o.files == Prefixed(older, "src")) << Describe(o.files);
    }
  }
}

// Volumes present that end no archive: x and the listing exit 2 and name
// the first volume missing, numbered as wide as the set, with the set's
// own extension.
TEST(WinrarVolumes, ASetWithoutItsLastVolumesNamesTheFirstMissing) {
  TempDir t;
  const std::string bytes = Archive(t.path(), {{"a.bin", RandomBytes(40000, 4)}});
  struct Case {
    const char* what;
    size_t count, width;
    std::string ext;
    std::vector<size_t> removed;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"the last of three", 3, 1, ".rar", {3}, "backup.part3.rar is missing"},
      {"two in the middle of twelve", 12, 2, ".zip", {5, 6}, "backup.part05.zip is missing"},
  };
  for (size_t n = 0; n < cases.size(); ++n) {
    const Case& c = cases[n];
    SCOPED_TRACE(c.what);
    const fs::path dest = t / ("dest" + std::to_string(n));
    Cut(bytes, Even(bytes.size(), c.count), dest, "backup", c.width, c.ext);
    for (size_t k : c.removed) fs::remove(dest / Numbered("backup", k, c.width, c.ext));
    const fs::path first = dest / Numbered("backup", 1, c.width, c.ext);
    const Extracted x = Extract(first, t / ("out" + std::to_string(n)));
    EXPECT_EQ(x.run.exitCode, 2);
    EXPECT_NE(x.run.err.find(c.message), std::string::npos) << x.run.err;
    EXPECT_TRUE(x.files.empty());
    const ProcessResult list = RunWinrar({first.string()});
    EXPECT_EQ(list.exitCode, 2);
    EXPECT_NE(list.err.find(c.message), std::string::npos) << list.err;
  }
}
