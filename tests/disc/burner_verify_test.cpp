#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <iterator>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "tests/disc/burner_fixture.h"

using namespace yux::disc;
using namespace yux::platform;
using yux::disc::test::BurnerFixture;
using yux::disc::test::MakeFile;
using yux::disc::test::Md5Of;

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

// Sizes around the 64 KB read piece and the sector: every file is reported
// once, in file order; a changed last sector and a source edited after the
// write fail exactly their files; the stored digests are md5sum's.
TEST(BurnerVerify, ManyFilesInOrderWithTheirOwnDigests) {
  BurnerFixture f{kProfileDvdPlusRw, 100000};
  const size_t sizes[] = {1, 2047, 2048, 65535, 65536, 65537, 1048579, 0, 3000000};
  std::vector<std::string> paths;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    paths.push_back(f.Source("f" + std::to_string(i) + ".rar", sizes[i], unsigned(10 + i)));
    ASSERT_NE(f.burner->InsertFile("\\", paths.back()), nullptr);
  }
  f.burner->PrepareImage();
  ASSERT_TRUE(f.Write());
  auto& b = *f.burner;
  auto indexOf = [&](size_t k) {
    const std::u16string name = u"f" + std::u16string(1, char16_t(u'0' + k)) + u".rar";
    for (int i = 0; i < b.GetFileCount(); ++i)
      if (b.GetFileName(i) == name) return i;
    return -1;
  };
  // The last sector of the 65537-byte file, and the source of the 1 MB one.
  const TFileEntry& tail = *b.Context().tree.files[size_t(indexOf(5))];
  const uint32_t last = FileExtent(b.Context().tree, tail) + uint32_t(BytesToSectors(65537)) - 1;
  auto data = f.drive->ReadBlocks(last, 1);
  data[0] ^= 0x01;
  f.drive->WriteBlocks(last, data);
  MakeFile(paths[6], sizes[6], 99);

  const auto v = f.Verify();
  EXPECT_TRUE(v.failed);
  ASSERT_EQ(v.files.size(), std::size(sizes));
  for (size_t k = 1; k < v.files.size(); ++k) EXPECT_LT(v.files[k - 1].first, v.files[k].first);
  for (auto& [index, failed] : v.files)
    EXPECT_EQ(failed, index == indexOf(5) || index == indexOf(6)) << b.GetFileName(index).size();
  for (size_t k = 0; k < std::size(sizes); ++k) {
    if (sizes[k] == 0) continue;
    std::string want = Md5Of(paths[k]);
    for (char& c : want) c = char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(b.Context().tree.files[size_t(indexOf(k))]->md5, want) << paths[k];
  }
}

// An abort while large sources are still being digested ends the verify
// at once; a digest cut short is never kept, so the next verify passes.
TEST(BurnerVerify, AbortCutsTheSourceDigestsShortAndKeepsNone) {
  BurnerFixture f{kProfileDvdPlusRw, 100000};
  for (unsigned i = 0; i < 3; ++i)
    ASSERT_NE(f.burner->InsertFile("\\", f.Source("big" + std::to_string(i) + ".rar", 12u << 20, i)),
              nullptr);
  f.burner->PrepareImage();
  ASSERT_TRUE(f.Write());
  auto& b = *f.burner;
  bool aborted = false;
  // Some 2 MB into the first file, when its source is being digested too.
  f.drive->clock = [&]() -> uint64_t {
    if (!aborted && b.GetVerifyPosition() >= 1024) {
      aborted = true;
      b.AbortWrite();
    }
    return 0;
  };
  const auto v = f.Verify();
  f.drive->clock = nullptr;
  ASSERT_TRUE(aborted);
  EXPECT_TRUE(v.failed);
  EXPECT_EQ(b.ErrorCode(), errAborted);
  EXPECT_LE(v.files.size(), 1u);
  const auto again = f.Verify();
  EXPECT_FALSE(again.failed);
  ASSERT_EQ(again.files.size(), 3u);
  for (auto& [index, failed] : again.files) EXPECT_FALSE(failed) << index;
}
