#include "core/run/sourcedelete.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

// Sources archived by the stand-in archiver with a path mode, so that the
// listing is the archive's own.
class SourceDelete : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(dir / "src" / "a.txt", "alpha");
    test::WriteFile(dir / "src" / "b.txt", "beta");
    test::WriteFile(dir / "src" / "deep" / "a.txt", "other alpha");
    test::WriteFile(dir / "src" / "deep" / "c.log", "log");
  }
  std::vector<ArchivedEntry> Archive(const std::string& pathSwitch, const std::vector<std::string>& items,
                                     const std::string& extra = "", int exitCode = 0,
                                     const std::string& password = "") {
    std::vector<std::string> argv = {test::BuiltProgram("winrar").string(), "a", pathSwitch, "-r", "-INUL"};
    if (!extra.empty()) argv.push_back(extra);
    argv.push_back((dir / "out").string());
    for (const auto& i : items) argv.push_back(i);
    auto r = test::RunProgram(argv);
    EXPECT_EQ(r.exitCode, exitCode) << r.err;
    std::string why;
    auto listing = ReadArchiveListing({(dir / "out.rar").string()}, &why, password);
    EXPECT_TRUE(listing) << why;
    fs::remove(dir / "out.rar");
    return listing ? *listing : std::vector<ArchivedEntry>{};
  }
  // The sources an include list reaches, taken as the run takes them
  // before the archiver starts.
  SourceCandidates Take(int mode, const std::vector<std::string>& includes, bool wipe = false) {
    how.includes = includes;
    how.pathMode = mode;
    how.recurse = true;
    how.wipe = wipe;
    return TakeSourceCandidates(how);
  }
  SourceDeletionResult Delete(const std::vector<ArchivedEntry>& listing, const SourceCandidates& taken) {
    return DeleteArchivedSources(listing, taken, how);
  }
  std::string Src() const { return (dir / "src").string(); }
  test::TempDir dir;
  SourceDeletion how;
};

TEST_F(SourceDelete, EveryPathModeFindsTheArchivedFiles) {
  struct Case {
    const char* sw;
    int mode;
  };
  for (const Case& c : {Case{"-ep1", 1}, Case{"-ep2", 2}, Case{"-ep3", 3}}) {
    SCOPED_TRACE(c.sw);
    SetUp();
    const auto taken = Take(c.mode, {Src()});
    const auto listing = Archive(c.sw, {Src()});
    const auto r = Delete(listing, taken);
    EXPECT_EQ(r.deleted, 4);
    EXPECT_EQ(r.kept, 0);
    EXPECT_FALSE(fs::exists(dir / "src")) << "emptied folders named by the archive go";
  }
}

TEST_F(SourceDelete, ChangedMissingUnlistedAndAmbiguousFilesStay) {
  const auto taken = Take(1, {Src()});
  const auto listing = Archive("-ep1", {Src()});
  // Written after archiving: same size, later time.
  test::WriteFile(dir / "src" / "b.txt", "BETA");
  fs::last_write_time(dir / "src" / "b.txt", fs::last_write_time(dir / "src" / "b.txt") + std::chrono::seconds(5));
  // Made after archiving: not in the archive.
  test::WriteFile(dir / "src" / "new.txt", "new");
  fs::remove(dir / "src" / "deep" / "c.log");
  const auto r = Delete(listing, taken);
  EXPECT_EQ(r.deleted, 2);  // a.txt, deep/a.txt
  EXPECT_EQ(r.kept, 2);     // b.txt changed, c.log missing
  EXPECT_TRUE(fs::exists(dir / "src" / "b.txt"));
  EXPECT_TRUE(fs::exists(dir / "src" / "new.txt"));
  EXPECT_FALSE(fs::exists(dir / "src" / "deep")) << "emptied by the deletion";
}

// Repeats `change` until the file's change time has moved off the one it
// had when it was taken: the clock behind file times is coarse, so one
// change may leave the time as it was.
void UntilChangeTimeMoves(const fs::path& file, const SourceIdentity& taken, const std::function<void()>& change) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < until) {
    change();
    const auto now = IdentityOf(file.string());
    if (now && (now->ctime != taken.ctime || now->ctimeNsec != taken.ctimeNsec)) return;
  }
  ADD_FAILURE() << "the change time of " << file << " never moved";
}

TEST_F(SourceDelete, OnlyAFileStillWhatItWasWhenTakenGoes) {
  struct Case {
    const char* name;
    // Changes src/b.txt after the archiver read it, keeping its size and
    // its modification time to the nanosecond.
    std::function<void(const fs::path&, const SourceIdentity&)> change;
    bool deleted;
  };
  const Case cases[] = {
      {"unchanged", [](const fs::path&, const SourceIdentity&) {}, true},
      {"same size and second",
       [](const fs::path& b, const SourceIdentity& taken) {
         const auto time = fs::last_write_time(b);
         UntilChangeTimeMoves(b, taken, [&] {
           test::WriteFile(b, "BETA");
           fs::last_write_time(b, time);
         });
       },
       false},
      {"changed inode",
       [](const fs::path& b, const SourceIdentity&) {
         const fs::path other = b.parent_path() / "b.new";
         test::WriteFile(other, test::ReadFile(b));
         fs::last_write_time(other, fs::last_write_time(b));
         fs::rename(other, b);
       },
       false},
      {"changed change time",
       [](const fs::path& b, const SourceIdentity& taken) {
         UntilChangeTimeMoves(b, taken, [&] { fs::permissions(b, fs::status(b).permissions()); });
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const fs::path b = dir / "src" / "b.txt";
    const auto taken = Take(1, {Src()});
    ASSERT_EQ(taken.count("src/b.txt"), 1u);
    const SourceIdentity was = taken.at("src/b.txt").front().identity;
    const auto listing = Archive("-ep1", {Src()});
    c.change(b, was);
    const auto now = IdentityOf(b.string());
    ASSERT_TRUE(now);
    EXPECT_EQ(now->size, was.size);
    EXPECT_EQ(now->mtime, was.mtime);
    EXPECT_EQ(now->mtimeNsec, was.mtimeNsec);
    const auto r = Delete(listing, taken);
    EXPECT_EQ(r.deleted, c.deleted ? 4 : 3);
    EXPECT_EQ(fs::exists(b), !c.deleted);
    EXPECT_FALSE(fs::exists(dir / "src" / "a.txt"));
    fs::remove_all(dir / "src");
  }
}

TEST_F(SourceDelete, NamesOnlyNeverGuessesBetweenTwoFilesOfOneName) {
  // Both a.txt fit one stored name; with equal size and time neither goes.
  test::WriteFile(dir / "src" / "deep" / "a.txt", "ALPHA");
  fs::last_write_time(dir / "src" / "deep" / "a.txt", fs::last_write_time(dir / "src" / "a.txt"));
  const auto taken = Take(0, {Src() + "/*.txt"});
  const auto listing = Archive("-ep", {Src() + "/*.txt"}, "", 1);
  const auto r = Delete(listing, taken);
  EXPECT_EQ(r.deleted, 1);  // b.txt
  EXPECT_TRUE(fs::exists(dir / "src" / "a.txt"));
  EXPECT_TRUE(fs::exists(dir / "src" / "deep" / "a.txt"));
  EXPECT_TRUE(fs::exists(dir / "src" / "deep" / "c.log"));
}

TEST_F(SourceDelete, RelativeItemsAndUnreadableArchivesDeleteNothing) {
  const auto taken = Take(1, {"src"});
  const auto listing = Archive("-ep1", {Src()});
  EXPECT_EQ(Delete(listing, taken).deleted, 0);
  EXPECT_TRUE(fs::exists(dir / "src" / "a.txt"));
  test::WriteFile(dir / "junk.rar", "not an archive at all");
  std::string why;
  EXPECT_FALSE(ReadArchiveListing({(dir / "junk.rar").string()}, &why));
  EXPECT_FALSE(why.empty());
}

TEST_F(SourceDelete, EncryptedArchiveStillListsAndWipeDeletes) {
  const auto taken = Take(1, {Src()}, true);
  const auto listing = Archive("-ep1", {Src()}, "-hpsecret", 0, "secret");
  ASSERT_EQ(listing.size(), 6u);  // src/, src/deep/ and four files
  EXPECT_EQ(Delete(listing, taken).deleted, 4);
}

TEST(ArchiveVolumeGroups, PartsFormOneArchiveInOrder) {
  const auto groups = ArchiveVolumeGroups("/r", {"x.part10.rar", "x.part2.rar", "x.part1.rar", "y.rar", ".z.zip"});
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0], std::vector<std::string>{"/r/y.rar"});
  EXPECT_EQ(groups[1], std::vector<std::string>{"/r/.z.zip"});
  EXPECT_EQ(groups[2], (std::vector<std::string>{"/r/x.part1.rar", "/r/x.part2.rar", "/r/x.part10.rar"}));
}

}  // namespace
