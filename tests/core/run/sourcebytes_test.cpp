// A source is deleted only when the archive holds its very bytes: a file
// the archiver left out (a name clash through a linked folder) or whose
// bytes differ from the entry of its name stays, whatever its name, size
// and time say.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/run/sourcedelete.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

// Writes `data` into `path` with the modification time of `like`.
void WriteLike(const fs::path& path, const std::string& data, const fs::path& like) {
  test::WriteFile(path, data);
  fs::last_write_time(path, fs::last_write_time(like));
}

class SourceBytes : public ::testing::Test {
 protected:
  // Runs the stand-in archiver on `items` into out.rar; its exit code.
  int Archive(const std::vector<std::string>& switches, const std::vector<std::string>& items) {
    std::vector<std::string> argv = {test::BuiltProgram("winrar").string(), "a", "-INUL"};
    argv.insert(argv.end(), switches.begin(), switches.end());
    argv.push_back((dir / "out").string());
    argv.insert(argv.end(), items.begin(), items.end());
    return test::RunProgram(argv).exitCode;
  }
  std::vector<std::string> Volumes() const {
    std::vector<std::string> v;
    if (fs::exists(dir / "out.rar")) return {(dir / "out.rar").string()};
    for (int i = 1; fs::exists(dir / ("out.part" + std::to_string(i) + ".rar")); ++i)
      v.push_back((dir / ("out.part" + std::to_string(i) + ".rar")).string());
    return v;
  }
  SourceCandidates Take(int mode, const std::vector<std::string>& includes) {
    how.includes = includes;
    how.pathMode = mode;
    how.recurse = true;
    how.pump = [this] { ++pumped; };
    return TakeSourceCandidates(how);
  }
  test::TempDir dir;
  SourceDeletion how;
  int pumped = 0;
};

// Names only, a linked folder sorting first and holding a file of the same
// name, size and second as one beside the link: the archiver stores the
// linked file and leaves the other out with a warning.  Neither goes.
TEST_F(SourceBytes, ALinkedFolderMakesANameClashSeen) {
  const fs::path src = dir / "src";
  test::WriteFile(dir / "elsewhere" / "report.txt", "linked bytes");
  WriteLike(src / "report.txt", "beside bytes", dir / "elsewhere" / "report.txt");
  fs::create_directory_symlink(dir / "elsewhere", src / "a-linked");
  test::WriteFile(src / "plain.txt", "plain");
  const auto taken = Take(0, {src.string()});
  ASSERT_EQ(taken.count("report.txt"), 1u);
  EXPECT_EQ(taken.at("report.txt").size(), 2u);
  EXPECT_EQ(Archive({"-ep", "-r"}, {src.string()}), 1) << "the archiver warns of the name clash";
  std::string why;
  const auto listing = ReadArchiveListing(Volumes(), &why);
  ASSERT_TRUE(listing) << why;
  const auto r = DeleteArchivedSources(*listing, taken, how);
  EXPECT_EQ(r.deleted, 1);  // plain.txt
  EXPECT_EQ(r.kept, 1);
  EXPECT_EQ(test::ReadFile(src / "report.txt"), "beside bytes");
  EXPECT_EQ(test::ReadFile(dir / "elsewhere" / "report.txt"), "linked bytes");
}

// Files met through a linked folder are archived but never deleted, nor
// is the folder they lie in; a link back up the tree is not walked twice.
TEST_F(SourceBytes, FilesThroughALinkedFolderAreNeverDeleted) {
  const fs::path src = dir / "src";
  test::WriteFile(dir / "elsewhere" / "deep" / "shared.txt", "shared");
  test::WriteFile(src / "own" / "mine.txt", "mine");
  fs::create_directory_symlink(dir / "elsewhere", src / "linked");
  fs::create_directory_symlink(src, src / "own" / "back-up");
  const auto taken = Take(1, {src.string()});
  EXPECT_EQ(taken.count("src/linked/deep/shared.txt"), 1u) << "the linked folder is walked";
  EXPECT_EQ(taken.count("src/own/back-up/own/mine.txt"), 0u) << "the link back up is not walked";
  EXPECT_EQ(Archive({"-ep1", "-r"}, {src.string()}), 1) << "the archiver warns of the link back up";
  std::string why;
  const auto listing = ReadArchiveListing(Volumes(), &why);
  ASSERT_TRUE(listing) << why;
  const auto r = DeleteArchivedSources(*listing, taken, how);
  EXPECT_EQ(r.deleted, 1);  // mine.txt
  EXPECT_EQ(r.kept, 1);     // shared.txt
  EXPECT_FALSE(fs::exists(src / "own" / "mine.txt"));
  EXPECT_EQ(test::ReadFile(dir / "elsewhere" / "deep" / "shared.txt"), "shared");
  EXPECT_TRUE(fs::is_symlink(src / "linked"));
  EXPECT_TRUE(fs::is_directory(dir / "elsewhere" / "deep"));
}

// An encrypted archive: entries under 20 bytes keep no CRC and are read
// back with the password.  A file whose name, size and second fit but
// whose bytes differ from the entry stays.
TEST_F(SourceBytes, OnlyTheArchivedBytesAreDeleted) {
  const fs::path src = dir / "src", decoys = dir / "decoys";
  struct Case {
    const char* name;
    std::size_t size;
    bool sameBytes;
  };
  const Case cases[] = {{"small.bin", 10, true},
                        {"big.bin", 100 * 1024, true},
                        {"small-other.bin", 10, false},
                        {"big-other.bin", 100 * 1024, false}};
  std::vector<std::string> items;
  unsigned seed = 1;
  for (const Case& c : cases) {
    const std::string data = RandomBytes(c.size, seed++);
    test::WriteFile(src / c.name, data);
    if (c.sameBytes) {
      items.push_back((src / c.name).string());
    } else {
      // The archive gets other bytes under the same name, size and time.
      WriteLike(decoys / c.name, RandomBytes(c.size, 100 + seed), src / c.name);
      items.push_back((decoys / c.name).string());
    }
  }
  const auto taken = Take(0, {src.string() + "/*"});
  ASSERT_EQ(Archive({"-ep", "-hpsecret"}, items), 0);
  std::string why;
  EXPECT_FALSE(ReadArchiveListing(Volumes(), &why)) << "a small entry's CRC needs the password";
  EXPECT_NE(why.find("password"), std::string::npos) << why;
  EXPECT_FALSE(ReadArchiveListing(Volumes(), &why, "wrong")) << "nor can a wrong password read it";
  const auto listing = ReadArchiveListing(Volumes(), &why, "secret");
  ASSERT_TRUE(listing) << why;
  pumped = 0;
  const auto r = DeleteArchivedSources(*listing, taken, how);
  EXPECT_EQ(r.deleted, 2);
  EXPECT_EQ(r.kept, 2);
  for (const Case& c : cases) EXPECT_EQ(fs::exists(src / c.name), !c.sameBytes) << c.name;
  EXPECT_GE(pumped, 2) << "the sources were read without handling messages";
}

// The parts of a split archive are read as one stream; an archive of
// another format, whose CRCs cannot be had, deletes nothing and says why.
TEST_F(SourceBytes, SplitArchivesAreReadWholeAndOtherFormatsKeepTheirSources) {
  const fs::path src = dir / "src";
  std::string why;
  // Plain and encrypted: the small entry of the encrypted one is read back
  // across the volumes.
  for (const std::string password : {"", "secret"}) {
    SCOPED_TRACE(password);
    test::WriteFile(src / "a.bin", RandomBytes(300 * 1024, 7));
    test::WriteFile(src / "b.bin", RandomBytes(10, 8));
    const auto taken = Take(0, {src.string() + "/*"});
    std::vector<std::string> switches = {"-ep", "-v100k", "-m0"};
    if (!password.empty()) switches.push_back("-hp" + password);
    ASSERT_EQ(Archive(switches, {src.string() + "/*"}), 0);
    const auto volumes = Volumes();
    ASSERT_GE(volumes.size(), 3u);
    const auto listing = ReadArchiveListing(volumes, &why, password);
    ASSERT_TRUE(listing) << why;
    EXPECT_EQ(DeleteArchivedSources(*listing, taken, how).deleted, 2);
    for (const auto& v : volumes) fs::remove(v);
  }

  test::WriteFile(src / "c.txt", "tar me");
  const fs::path tarred = dir / "other.rar";
  ASSERT_EQ(test::RunProgram({"tar", "-cf", tarred.string(), "-C", src.string(), "c.txt"}).exitCode, 0);
  EXPECT_FALSE(ReadArchiveListing({tarred.string()}, &why));
  EXPECT_NE(why.find("CRC"), std::string::npos) << why;
}

// A long wipe lets the window handle messages while it overwrites, as a
// copy does between its chunks.
TEST_F(SourceBytes, AWipeHandlesMessagesWhileItOverwrites) {
  const fs::path src = dir / "src";
  const fs::path file = src / "large.bin";
  test::WriteFile(file, std::string(3 << 20, 'w'));
  const auto taken = Take(0, {src.string() + "/*"});
  how.wipe = true;
  ASSERT_EQ(Archive({"-ep", "-m0"}, {file.string()}), 0);
  std::string why;
  const auto listing = ReadArchiveListing(Volumes(), &why);
  ASSERT_TRUE(listing) << why;
  FILE* held = std::fopen(file.c_str(), "rb");
  ASSERT_NE(held, nullptr);
  bool duringWipe = false;
  how.pump = [&] {
    // Still named, and its first bytes already zeros: the wipe is under way.
    char first = 'w';
    if (fs::exists(file) && ::pread(::fileno(held), &first, 1, 0) == 1 && first == '\0') duringWipe = true;
  };
  EXPECT_EQ(DeleteArchivedSources(*listing, taken, how).deleted, 1);
  std::fclose(held);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(duringWipe) << "no message was handled while the file was overwritten";
}

}  // namespace
