#include <gtest/gtest.h>

#include <filesystem>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "tests/disc/burner_fixture.h"

using namespace yux::disc;
using namespace yux::platform;
using yux::disc::test::BurnerFixture;

namespace {

// Writes three files (one of them empty) to a DVD+RW.
struct Written {
  BurnerFixture f{kProfileDvdPlusRw, 100000};
  std::string a, b, empty;
  Written() {
    a = f.Source("a.rar", 200000, 1);
    b = f.Source("b.rar", 300000, 2);
    empty = f.Source("empty.txt", 0, 3);
    auto& burner = *f.burner;
    EXPECT_NE(burner.InsertFile("\\", a), nullptr);
    EXPECT_NE(burner.InsertFile("\\", b), nullptr);
    EXPECT_NE(burner.InsertFile("\\", empty), nullptr);
    burner.PrepareImage();
    EXPECT_TRUE(f.Write());
  }
  int IndexOf(const std::u16string& name) {
    for (int i = 0; i < f.burner->GetFileCount(); ++i)
      if (f.burner->GetFileName(i) == name) return i;
    return -1;
  }
};

}  // namespace

TEST(BurnerVerify, AllFilesMatchAfterAWrite) {
  Written w;
  auto& b = *w.f.burner;
  const auto v = w.f.Verify();
  EXPECT_FALSE(v.failed);
  ASSERT_EQ(v.files.size(), 3u);
  for (auto& [index, failed] : v.files) EXPECT_FALSE(failed) << index;
  EXPECT_EQ(b.GetVerifyPosition(), b.GetVerifyTotal());
  EXPECT_EQ(b.GetVerifyTotal(), uint32_t(BytesToSectors(200000) + BytesToSectors(300000)));
  EXPECT_EQ(b.State(), stIdle);
  // Upper-case digests, "-" for the empty file.
  const auto& files = b.Context().tree.files;
  EXPECT_EQ(files[size_t(w.IndexOf(u"a.rar"))]->md5.size(), 32u);
  EXPECT_EQ(files[size_t(w.IndexOf(u"a.rar"))]->md5.find_first_of("abcdef"), std::string::npos);
}

// One corrupted sector fails exactly its file, which GetFileName names.
TEST(BurnerVerify, CorruptedSectorNamesItsFile) {
  Written w;
  auto& b = *w.f.burner;
  const int ib = w.IndexOf(u"b.rar");
  ASSERT_GE(ib, 0);
  const TFileEntry& e = *b.Context().tree.files[size_t(ib)];
  const uint32_t sector = FileExtent(b.Context().tree, e) + 50;
  auto data = w.f.drive->ReadBlocks(sector, 1);
  data[100] ^= 0x5A;
  w.f.drive->WriteBlocks(sector, data);

  const auto v = w.f.Verify();
  EXPECT_TRUE(v.failed);
  std::vector<int> failedFiles;
  for (auto& [index, failed] : v.files)
    if (failed) failedFiles.push_back(index);
  ASSERT_EQ(failedFiles.size(), 1u);
  EXPECT_EQ(b.GetFileName(failedFiles[0]), u"b.rar");

  // An unreadable sector fails its file the same way.
  data[100] ^= 0x5A;
  w.f.drive->WriteBlocks(sector, data);
  const int ia = w.IndexOf(u"a.rar");
  w.f.drive->InjectMediumError(FileExtent(b.Context().tree, *b.Context().tree.files[size_t(ia)]));
  const auto v2 = w.f.Verify();
  EXPECT_TRUE(v2.failed);
  for (auto& [index, failed] : v2.files) EXPECT_EQ(failed, index == ia) << index;
  EXPECT_EQ(b.GetVerifyPosition(), b.GetVerifyTotal());
}

// Source digests are computed once; a source that vanished before the
// first verify fails its file and the final result still comes.
TEST(BurnerVerify, SourceDigestOnceAndMissingSourceFails) {
  Written w;
  const auto v1 = w.f.Verify();
  ASSERT_FALSE(v1.failed);
  std::filesystem::remove(w.a);
  std::filesystem::remove(w.b);
  const auto v2 = w.f.Verify();
  EXPECT_FALSE(v2.failed) << "the stored digests serve the second verify";

  Written fresh;
  std::filesystem::remove(fresh.b);
  const auto v3 = fresh.f.Verify();
  EXPECT_TRUE(v3.failed);
  for (auto& [index, failed] : v3.files) EXPECT_EQ(failed, index == fresh.IndexOf(u"b.rar"));
}

// A verify stopped by abort never reports "all OK", and the next one runs.
TEST(BurnerVerify, AbortedVerifyReportsFailureAndTheNextOneWorks) {
  Written w;
  auto& b = *w.f.burner;
  b.AbortWrite();  // an abort before the verify is forgotten by it
  bool aborted = false;
  w.f.drive->clock = [&]() -> uint64_t {
    if (!aborted) {
      aborted = true;
      b.AbortWrite();
    }
    return 0;
  };
  const auto v = w.f.Verify();
  w.f.drive->clock = nullptr;
  EXPECT_TRUE(aborted);
  EXPECT_TRUE(v.failed);
  EXPECT_EQ(b.State(), stAborted);
  EXPECT_EQ(b.ErrorCode(), errAborted);

  const auto again = w.f.Verify();
  EXPECT_FALSE(again.failed);
  EXPECT_EQ(again.files.size(), 3u);
}
