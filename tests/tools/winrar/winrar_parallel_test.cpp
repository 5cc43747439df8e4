// Entries deflated on many threads make the same archive as one thread:
// same entry order, headers, sizes and CRCs, byte for byte; with a password
// (whose salts are random) the same entries and contents.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "tests/tools/winrar/winrar_testlib.h"

namespace fs = std::filesystem;
using namespace yux::test;
using namespace yux::test::winrar;

namespace {

constexpr int kTimeoutMs = 900000;  // a 1 GB entry under the sanitizers on a loaded machine

// A tree with what tends to go wrong when entries are packed apart: empty
// files and an empty folder, names beyond ASCII, many small entries of mixed
// compressibility, entries large enough to be kept on disk while they wait,
// and a 1 GB sparse file (one long run of zeros).
void MakeTree(const fs::path& root) {
  fs::create_directories(root / "empty folder");
  fs::create_directories(root / "caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e");
  WriteFile(root / "caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e/\xe5\x90\x8d\xe5\x89\x8d.txt",
            "names in UTF-8");
  WriteFile(root / "caf\xc3\xa9/\xc3\xbcml\xc3\xa4ut \xf0\x9f\x93\x81.dat", "");
  WriteFile(root / "zero.txt", "");
  fs::create_directories(root / "mixed");
  for (int i = 0; i < 120; ++i) {
    std::string name = "mixed/f" + std::to_string(i) + ".bin";
    size_t size = static_cast<size_t>(i % 7) * 9000;
    std::string data = i % 2 ? RandomBytes(size, static_cast<unsigned>(i))
                             : std::string(size, static_cast<char>('a' + i % 26));
    WriteFile(root / name, data);
  }
  WriteFile(root / "large/random.bin", RandomBytes(6 << 20, 11));
  WriteFile(root / "large/text.txt", std::string(9 << 20, 'x') + "end");
  WriteFile(root / "sparse.bin", "");
  ASSERT_EQ(truncate((root / "sparse.bin").c_str(), off_t{1} << 30), 0);
}

ProcessResult Archive(const fs::path& archive, const fs::path& tree, const std::string& threads,
                      const std::string& password = {}) {
  std::vector<std::string> argv{BuiltProgram("winrar").string(), "a", "-m3", "-r", "-ep1"};
  if (!password.empty()) argv.push_back("-hp" + password);
  argv.push_back(archive.string());
  argv.push_back(tree.string());
  return RunProgram(argv, {{"YUX_WINRAR_THREADS", threads}}, kTimeoutMs);
}

// The entry listing of `7z l -slt` below its archive header: path, sizes,
// times, attributes, CRC and method of every entry, in order.
std::string EntryListing(const fs::path& archive, const std::string& password) {
  ProcessResult r = RunProgram({"7z", "l", "-slt", "-p" + password, archive.string()}, {}, kTimeoutMs);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  size_t at = r.out.find("\n----------\n");
  EXPECT_NE(at, std::string::npos) << r.out;
  return at == std::string::npos ? std::string() : r.out.substr(at);
}

// The length of an entry as `7z x -so` writes it out; -1 when 7z fails (a
// wrong CRC after decryption among others).
long long ExtractedLength(const fs::path& archive, const std::string& entry,
                          const std::string& password) {
  ProcessResult r = RunProgram({"bash", "-c", "set -o pipefail; 7z x -so \"-p$1\" \"$2\" \"$3\" | wc -c",
                                "-", password, archive.string(), entry},
                               {}, kTimeoutMs);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return r.exitCode == 0 ? std::stoll(r.out) : -1;
}

// Every file below `root` but `except`, relative path to contents.
std::map<std::string, std::string> FilesBelow(const fs::path& root, const std::string& except = {}) {
  std::map<std::string, std::string> files;
  for (auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).string();
    if (rel == except) continue;
    files[rel] = e.is_directory() ? "<folder>" : ReadFile(e.path());
  }
  return files;
}

}  // namespace

TEST(WinrarParallel, ManyThreadsWriteWhatOneThreadWrites) {
  YUX_REQUIRE_PROGRAM("7z");
  TempDir t;
  MakeTree(t / "tree");
  fs::create_directories(t / "out");
  ProcessResult one = Archive(t / "out/one.rar", t / "tree", "1");
  ASSERT_EQ(one.exitCode, 0) << one.err;
  ProcessResult many = Archive(t / "out/many.rar", t / "tree", "8");
  ASSERT_EQ(many.exitCode, 0) << many.err;
  const std::string a = ReadFile(t / "out/one.rar"), b = ReadFile(t / "out/many.rar");
  EXPECT_GT(a.size(), 6u << 20);
  EXPECT_TRUE(a == b) << "sizes " << a.size() << " and " << b.size();
  // Entries kept on disk while they waited left nothing behind.
  EXPECT_EQ(FilesBelow(t / "out").size(), 2u);

  // And what was written is the tree: every CRC checks, names and sizes as
  // on disk.
  ProcessResult test = RunProgram({"7z", "t", (t / "out/many.rar").string()}, {}, kTimeoutMs);
  EXPECT_EQ(test.exitCode, 0) << test.out;
  const std::string listing = EntryListing(t / "out/many.rar", "");
  EXPECT_NE(listing.find("Path = tree/sparse.bin\nFolder = -\nSize = 1073741824\n"), std::string::npos);
  EXPECT_NE(listing.find("Path = tree/caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e/"
                         "\xe5\x90\x8d\xe5\x89\x8d.txt\n"),
            std::string::npos);
  EXPECT_NE(listing.find("Path = tree/empty folder\nFolder = +\n"), std::string::npos);
  ProcessResult x = RunProgram({"bsdtar", "-xOf", (t / "out/many.rar").string(), "tree/large/random.bin"});
  EXPECT_TRUE(x.out == ReadFile(t / "tree/large/random.bin"));
}

TEST(WinrarParallel, WithAPasswordTheSameEntriesDecryptToTheSameContents) {
  YUX_REQUIRE_PROGRAM("7z");
  TempDir t;
  MakeTree(t / "tree");
  const std::string pw = "s\xc3\xa9same 42";
  ProcessResult one = Archive(t / "one.rar", t / "tree", "1", pw);
  ASSERT_EQ(one.exitCode, 0) << one.err;
  ProcessResult many = Archive(t / "many.rar", t / "tree", "8", pw);
  ASSERT_EQ(many.exitCode, 0) << many.err;
  // The salts differ, so the bytes do; the entries may not.
  EXPECT_FALSE(ReadFile(t / "one.rar") == ReadFile(t / "many.rar"));
  const std::string listing = EntryListing(t / "one.rar", pw);
  EXPECT_NE(listing.find("Path = tree/sparse.bin"), std::string::npos);
  EXPECT_NE(listing.find("Encrypted = +"), std::string::npos);
  EXPECT_EQ(EntryListing(t / "many.rar", pw), listing);

  // Contents after decryption: the other files against their sources.
  for (const char* name : {"one", "many"}) {
    SCOPED_TRACE(name);
    fs::path dest = t / (std::string("x-") + name);
    ProcessResult x = RunProgram({"7z", "x", "-y", "-p" + pw, "-o" + dest.string(), "-x!tree/sparse.bin",
                                  (t / (std::string(name) + ".rar")).string()},
                                 {}, kTimeoutMs);
    ASSERT_EQ(x.exitCode, 0) << x.out << x.err;
    auto files = FilesBelow(dest / "tree");
    auto source = FilesBelow(t / "tree", "sparse.bin");
    EXPECT_TRUE(files == source) << files.size() << " files against " << source.size();
  }
  // The 1 GB entry decrypts and inflates to its length with the CRC that
  // both listings show (7z checks it as it extracts).
  for (const char* name : {"one.rar", "many.rar"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ExtractedLength(t / name, "tree/sparse.bin", pw), 1LL << 30);
  }
}

// One large entry (sparse, with incompressible stretches at the start, the
// middle and the end, none on a block boundary) is deflated in blocks on
// every thread: one thread and eight write the same archive, and an outside
// reader finds its size and CRC right.
TEST(WinrarParallel, OneLargeEntryTheSameOnOneAndEightThreads) {
  YUX_REQUIRE_PROGRAM("7z");
  TempDir t;
  fs::create_directories(t / "in");
  const off_t size = (off_t{96} << 20) + 12345;
  const fs::path big = t / "in/big.bin";
  int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, size), 0);
  const std::string noise = RandomBytes(3 << 20, 5);
  for (off_t at : {off_t{0}, (off_t{40} << 20) + 777, size - static_cast<off_t>(noise.size())})
    ASSERT_EQ(pwrite(fd, noise.data(), noise.size(), at), static_cast<ssize_t>(noise.size()));
  close(fd);
  for (const char* threads : {"1", "8"}) {
    std::vector<std::string> argv{BuiltProgram("winrar").string(), "a", "-m1", "-ep1", "-INUL",
                                  (t / (std::string("t") + threads + ".zip")).string(), big.string()};
    ProcessResult r = RunProgram(argv, {{"YUX_WINRAR_THREADS", threads}}, kTimeoutMs);
    ASSERT_EQ(r.exitCode, 0) << threads << ": " << r.err;
  }
  EXPECT_TRUE(ReadFile(t / "t1.zip") == ReadFile(t / "t8.zip"));
  ProcessResult test = RunProgram({"7z", "t", (t / "t8.zip").string()}, {}, kTimeoutMs);
  EXPECT_EQ(test.exitCode, 0) << test.out;
  EXPECT_NE(EntryListing(t / "t8.zip", "").find("Path = big.bin\nFolder = -\nSize = " + std::to_string(size) + "\n"),
            std::string::npos);
}
