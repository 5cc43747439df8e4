#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "disc/sessionimport.h"
#include "disc/tree.h"
#include "tests/disc/drive_fixture.h"
#include "tests/disc/imagefile.h"
#include "tests/support/testsupport.h"

using namespace yux::disc;
using namespace yux::platform;
using yux::disc::test::BuildSession;
using yux::disc::test::BurnSession;
using yux::disc::test::EmulatedDriveFixture;
using yux::disc::test::MakeFile;
using yux::disc::test::Md5Of;
using yux::test::RunProgram;

namespace {

TFindData Folder(const std::u16string& name) {
  TFindData fd;
  fd.fileName = name;
  fd.attributes = kAttrDirectory;
  fd.lastWriteUtc = 1700000000;
  return fd;
}

std::string Src(EmulatedDriveFixture& f, const std::string& name, size_t size, unsigned seed) {
  auto dir = f.dir / ("s" + std::to_string(seed));
  std::filesystem::create_directories(dir);
  auto p = (dir / name).string();
  MakeFile(p, size, seed);
  return p;
}

size_t CountFiles(const TTreeContext& t) {
  size_t n = 0;
  for (auto& f : t.files) n += f->IsDirectory() ? 0 : 1;
  return n;
}

}  // namespace

TEST(SessionImport, SecondSessionCarriesTheFirstAndTheNewBackupWins) {
  YUX_REQUIRE_PROGRAM("xorriso");
  YUX_REQUIRE_PROGRAM("isoinfo");
  EmulatedDriveFixture f(kProfileCdR);
  const auto a = Src(f, "a.rar", 30000, 1), oldB = Src(f, "b.rar", 5000, 2),
             c = Src(f, "c.rar", 9000, 3);
  TTreeContext first;
  first.volumeLabel = "YUX-BACKUP";
  ASSERT_NE(first.InsertFile("\\", a), nullptr);
  ASSERT_NE(first.InsertFile("\\", oldB), nullptr);
  ASSERT_NE(first.CreateDirectory(first.root, Folder(u"Old")), nullptr);
  ASSERT_NE(first.InsertFile("\\Old", c), nullptr);
  EXPECT_EQ(BurnSession(first, f.dev), 0u);

  // The backup core inserts the new archives first, then imports.
  const auto newB = Src(f, "b.rar", 7000, 4), d = Src(f, "d.rar", 3000, 5);
  TTreeContext second;
  second.volumeLabel = "YUX-BACKUP";
  second.ReplaceFile = true;
  TFileEntry* b = second.InsertFile("\\", newB);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(second.InsertFile("\\", d), nullptr);
  EXPECT_EQ(ImportSession(second, f.dev, 0, "\\"), 1);
  EXPECT_EQ(second.FindEntry(second.root, u"b.rar"), b);
  EXPECT_FALSE(b->imported);
  EXPECT_EQ(b->sourcePath, newB);
  TFileEntry* oldA = second.FindEntry(second.root, u"A.RAR");
  ASSERT_NE(oldA, nullptr);
  EXPECT_TRUE(oldA->imported);
  EXPECT_EQ(oldA->block, FileExtent(first, *first.FindEntry(first.root, u"a.rar")));
  ASSERT_NE(second.FindDirectory(std::string("\\Old")), nullptr);
  EXPECT_EQ(CountFiles(second), 4u);

  const uint32_t start = BurnSession(second, f.dev);
  EXPECT_EQ(start, first.layout.imageEnd + 11400);
  EXPECT_EQ(f.dev.GetSessionCount(), 2);

  // The volume reaches past the new session's last block.
  auto pvd = f.drive->ReadBlocks(start + 16, 1);
  EXPECT_EQ(GetLe32(&pvd[80]), start + second.layout.imageEnd);

  const std::string img = (f.dir / "disc.img").string();
  auto info = RunProgram({"isoinfo", "-i", img, "-T", std::to_string(start), "-l", "-J"});
  for (const char* n : {"a.rar", "b.rar", "c.rar", "d.rar", "Old"})
    EXPECT_NE(info.out.find(n), std::string::npos) << n << "\n" << info.out << info.err;

  auto out = f.dir / "x";
  auto x = RunProgram({"xorriso", "-osirrox", "on", "-load", "sbsector", std::to_string(start),
                       "-indev", img, "-extract", "/", out.string()});
  ASSERT_EQ(x.exitCode, 0) << x.err;
  EXPECT_EQ(Md5Of((out / "a.rar").string()), Md5Of(a));
  EXPECT_EQ(Md5Of((out / "b.rar").string()), Md5Of(newB));
  EXPECT_EQ(Md5Of((out / "Old/c.rar").string()), Md5Of(c));
  EXPECT_EQ(Md5Of((out / "d.rar").string()), Md5Of(d));
}

// A folder of the old session keeps its name and its files: a new file
// inserted under that name is taken out and listed as refused.
TEST(SessionImport, AFolderOfTheOldSessionIsNotGivenUpForANewFile) {
  EmulatedDriveFixture f(kProfileCdR);
  const auto c = Src(f, "c.rar", 9000, 1);
  TTreeContext first;
  ASSERT_NE(first.CreateDirectory(first.root, Folder(u"Old")), nullptr);
  ASSERT_NE(first.InsertFile("\\Old", c), nullptr);
  EXPECT_EQ(BurnSession(first, f.dev), 0u);

  const auto clash = Src(f, "OLD", 7000, 2), d = Src(f, "d.rar", 3000, 3);
  TTreeContext second;
  ASSERT_NE(second.InsertFile("\\", clash), nullptr);
  ASSERT_NE(second.InsertFile("\\", d), nullptr);
  EXPECT_EQ(ImportSession(second, f.dev, 0, "\\"), 1);
  TDirectory* old = second.FindDirectory(std::string("\\Old"));
  ASSERT_NE(old, nullptr);
  ASSERT_EQ(old->files.size(), 1u);
  EXPECT_TRUE(old->files[0]->imported);
  ASSERT_EQ(second.refused.size(), 1u);
  EXPECT_EQ(second.refused[0].source, clash);
  EXPECT_NE(second.refused[0].reason.find("folder"), std::string::npos);
  for (const auto& e : second.files) EXPECT_NE(e->sourcePath, clash);
  EXPECT_EQ(CountFiles(second), 2u);  // d.rar and the old c.rar
  EXPECT_NE(second.FindEntry(second.root, u"d.rar"), nullptr);
}

// A file carried over can be left out of the new session (the old set's
// last volumes of a split archive); a folder or a new file never is.
TEST(SessionImport, ACarriedFileCanBeLeftOutOfTheNewSession) {
  EmulatedDriveFixture f(kProfileCdR);
  const auto a = Src(f, "a.rar", 9000, 1), c = Src(f, "c.rar", 5000, 2);
  TTreeContext first;
  ASSERT_NE(first.InsertFile("\\", a), nullptr);
  ASSERT_NE(first.CreateDirectory(first.root, Folder(u"Old")), nullptr);
  ASSERT_NE(first.InsertFile("\\Old", c), nullptr);
  EXPECT_EQ(BurnSession(first, f.dev), 0u);

  const auto b = Src(f, "b.rar", 7000, 3);
  TTreeContext second;
  ASSERT_NE(second.InsertFile("\\", b), nullptr);
  EXPECT_EQ(ImportSession(second, f.dev, 0, "\\"), 1);
  EXPECT_FALSE(second.RemoveImportedFile(second.root, u"b.rar"));
  EXPECT_FALSE(second.RemoveImportedFile(second.root, u"Old"));
  EXPECT_FALSE(second.RemoveImportedFile(second.root, u"missing.rar"));
  EXPECT_FALSE(second.RemoveImportedFile(nullptr, u"a.rar"));
  EXPECT_TRUE(second.RemoveImportedFile(second.root, u"A.RAR"));
  EXPECT_FALSE(second.RemoveImportedFile(second.root, u"a.rar"));
  EXPECT_EQ(second.FindEntry(second.root, u"a.rar"), nullptr);
  const uint32_t start = BurnSession(second, f.dev);
  EXPECT_GT(start, 0u);

  TTreeContext third;
  EXPECT_EQ(ImportSession(third, f.dev, 0, "\\"), 2);
  EXPECT_EQ(third.FindEntry(third.root, u"a.rar"), nullptr);
  EXPECT_NE(third.FindEntry(third.root, u"b.rar"), nullptr);
  TDirectory* old = third.FindDirectory(std::string("\\Old"));
  ASSERT_NE(old, nullptr);
  EXPECT_NE(third.FindEntry(old, u"c.rar"), nullptr);
}

TEST(SessionImport, RootDirectoryOver64KBIsReadWhole) {
  EmulatedDriveFixture f(kProfileDvdPlusRw, 100000);
  TTreeContext first;
  const std::u16string stem(60, u'r');
  for (int i = 0; i < 1200; ++i)
    ASSERT_NE(first.InsertEntry(stem + Utf8ToWide(std::to_string(i)), first.root,
                                TFindData{u"x", {}, kAttrArchive, 0, 1700000000}, 0, 0, {}),
              nullptr);
  ASSERT_EQ(BurnSession(first, f.dev), 0u);
  ASSERT_GT(first.root->jolietLength, 65536u);
  TTreeContext second;
  EXPECT_EQ(ImportSession(second, f.dev, 0, "\\"), 1);
  EXPECT_EQ(second.root->files.size(), 1200u);
}

TEST(SessionImport, NamesFollowTheDescriptorFound) {
  EmulatedDriveFixture f(kProfileDvdPlusRw, 100000);
  TTreeContext first;
  first.layout.JolietFileSystem = false;
  ASSERT_NE(first.InsertFile("\\", Src(f, "readme.txt", 10, 1)), nullptr);
  ASSERT_NE(first.InsertFile("\\", Src(f, "NOEXT", 10, 2)), nullptr);
  ASSERT_NE(first.CreateDirectory(first.root, Folder(u"Archive")), nullptr);
  ASSERT_EQ(BurnSession(first, f.dev), 0u);
  TTreeContext second;
  ImportSession(second, f.dev, 0, "\\");
  EXPECT_NE(second.FindEntry(second.root, u"README.TXT"), nullptr);
  EXPECT_NE(second.FindEntry(second.root, u"NOEXT"), nullptr);
  EXPECT_NE(second.FindDirectory(std::string("\\ARCHIVE")), nullptr);
  EXPECT_EQ(second.root->files.size(), 3u);
}

TEST(SessionImport, CraftedDiscsNeitherLoopNorOverrun) {
  EmulatedDriveFixture f(kProfileDvdPlusRw, 100000);
  TTreeContext first;
  TDirectory* d = first.root;
  for (int i = 0; i < 70; ++i) d = first.CreateDirectory(d, Folder(u"level" + Utf8ToWide(std::to_string(i))));
  TDirectory* loop = first.CreateDirectory(first.root, Folder(u"loop"));
  first.CreateDirectory(loop, Folder(u"back"));
  first.InsertEntry(u"zz-broken.bin", first.root, TFindData{u"x", {}, kAttrArchive, 1, 0}, 0, 0, {});
  auto image = BuildSession(first);
  ASSERT_FALSE(image.empty());
  const auto& L = first.layout;
  auto recordOf = [&](TDirectory* dir, const std::u16string& name) -> uint8_t* {
    uint8_t* blk = image.data() + size_t(L.jolietDirStart + dir->jolietExtent) * 2048;
    for (size_t off = 0; off < 2048 && blk[off];) {
      std::u16string n;
      for (int k = 0; k + 1 < blk[off + 32]; k += 2) n.push_back(char16_t(blk[off + 33 + k] << 8 | blk[off + 34 + k]));
      if (n == name) return blk + off;
      off += blk[off];
    }
    return nullptr;
  };
  // "back" points at the root again; "zz-broken.bin" (the last record)
  // claims more bytes than its block holds.
  uint8_t* back = recordOf(loop, u"back");
  ASSERT_NE(back, nullptr);
  PutBoth32(back + 2, L.jolietDirStart + first.root->jolietExtent);
  PutBoth32(back + 10, first.root->jolietLength);
  uint8_t* broken = recordOf(first.root, u"zz-broken.bin");
  ASSERT_NE(broken, nullptr);
  broken[0] = 255;
  broken[32] = 250;
  f.drive->WriteBlocks(0, image);

  TTreeContext second;
  EXPECT_EQ(ImportSession(second, f.dev, 0, "\\"), 1);
  // 65 levels are followed, the rest of the chain is cut.
  size_t depth = 0;
  for (TDirectory* x = second.FindDirectory(std::string("\\level0")); x;) {
    ++depth;
    TDirectory* next = nullptr;
    for (TFileEntry* e : x->files) if (e->subdir) next = e->subdir;
    x = next;
  }
  EXPECT_EQ(depth, size_t(kMaxImportDepth) + 1);
  EXPECT_NE(second.FindDirectory(std::string("\\loop\\back")), nullptr);
  EXPECT_EQ(second.FindEntry(second.root, u"zz-broken.bin"), nullptr);

  // A blank disc has no volume: nothing is imported, the number returns.
  EmulatedDriveFixture blank(kProfileCdR);
  TTreeContext t;
  EXPECT_EQ(ImportSession(t, blank.dev, 0, "\\"), 0);
  EXPECT_EQ(ImportSession(t, blank.dev, 3, "\\nowhere"), 3);
  EXPECT_TRUE(t.root->files.empty());
}

TEST(SessionImport, DatesDoNotDriftAcrossImports) {
  const char* oldTz = std::getenv("TZ");
  const std::string saved = oldTz ? oldTz : "";
  setenv("TZ", "IST-5:30", 1);
  tzset();
  {
    EmulatedDriveFixture f(kProfileDvdPlusRw, 100000);
    TTreeContext first;
    EXPECT_EQ(first.timeZoneOffset, 22);
    auto p = Src(f, "dated.rar", 100, 1);
    std::filesystem::last_write_time(
        p, std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(1700000000))));
    TFileEntry* e = first.InsertFile("\\", p);
    ASSERT_NE(e, nullptr);
    const TSystemTime original = e->modified;
    EXPECT_EQ(original.hour, 3);  // 22:13:20 UTC is 03:43:20 at +5:30
    EXPECT_EQ(original.minute, 43);
    ASSERT_EQ(BurnSession(first, f.dev), 0u);
    for (int round = 0; round < 3; ++round) {
      TTreeContext next;
      ImportSession(next, f.dev, 0, "\\");
      TFileEntry* imported = next.FindEntry(next.root, u"dated.rar");
      ASSERT_NE(imported, nullptr);
      EXPECT_EQ(imported->modified, original) << round;
      next.ReplaceFile = true;
      ASSERT_NE(BurnSession(next, f.dev), 0u);
    }
  }
  if (oldTz) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

TEST(SessionImport, DvdPlusRwGrowsOneVolumeFromBlockZero) {
  YUX_REQUIRE_PROGRAM("xorriso");
  EmulatedDriveFixture f(kProfileDvdPlusRw, 100000);
  const auto a = Src(f, "first.rar", 40000, 1), b = Src(f, "second.rar", 20000, 2);
  TTreeContext first;
  ASSERT_NE(first.InsertFile("\\", a), nullptr);
  EXPECT_EQ(BurnSession(first, f.dev), 0u);
  const uint32_t firstEnd = first.layout.imageEnd;
  EXPECT_EQ(f.dev.GetISOVolumeSize(), firstEnd);

  TTreeContext second;
  ASSERT_NE(second.InsertFile("\\", b), nullptr);
  EXPECT_EQ(ImportSession(second, f.dev, 0, "\\"), 1);
  EXPECT_EQ(BurnSession(second, f.dev), firstEnd);
  EXPECT_EQ(f.dev.GetISOVolumeSize(), firstEnd + second.layout.imageEnd);
  EXPECT_EQ(f.dev.GetFreeBlocks(), 100000u - firstEnd - second.layout.imageEnd);

  // Block 0 now describes the grown volume: a reader needs no session offset.
  auto out = f.dir / "x";
  auto x = RunProgram({"xorriso", "-osirrox", "on", "-indev", (f.dir / "disc.img").string(),
                       "-extract", "/", out.string()});
  ASSERT_EQ(x.exitCode, 0) << x.err;
  EXPECT_EQ(Md5Of((out / "first.rar").string()), Md5Of(a));
  EXPECT_EQ(Md5Of((out / "second.rar").string()), Md5Of(b));
}

// Directory extents that overlap one another (each directory record pointing
// one block further into the same run) would make every block be read and
// its files added once per directory that covers it: the tree grows with the
// square of the run. Each block of directory data is read into one directory.
TEST(SessionImport, OverlappingDirectoryExtentsAreReadOnce) {
  EmulatedDriveFixture f(kProfileDvdPlusRw, 100000);
  constexpr uint32_t kRunStart = 20, kRunBlocks = 60, kFilesPerBlock = 40;
  std::vector<uint8_t> image(size_t(kRunStart + kRunBlocks) * 2048, 0);
  auto record = [](uint8_t* p, uint32_t extent, uint32_t length, bool dir,
                   const std::string& id) {
    const size_t len = 33 + id.size() + (id.size() % 2 == 0 ? 1 : 0);
    p[0] = uint8_t(len);
    PutBoth32(p + 2, extent);
    PutBoth32(p + 10, length);
    p[18] = 120; p[19] = 1; p[20] = 1;
    p[25] = dir ? 2 : 0;
    p[32] = uint8_t(id.size());
    std::memcpy(p + 33, id.data(), id.size());
    return len;
  };
  uint8_t* pvd = image.data() + 16 * 2048;
  pvd[0] = 1;
  std::memcpy(pvd + 1, "CD001", 5);
  pvd[6] = 1;
  record(pvd + 156, kRunStart, kRunBlocks * 2048, true, std::string(1, '\0'));
  uint8_t* term = image.data() + 17 * 2048;
  term[0] = 255;
  std::memcpy(term + 1, "CD001", 5);
  for (uint32_t b = 0; b < kRunBlocks; ++b) {
    uint8_t* blk = image.data() + size_t(kRunStart + b) * 2048;
    size_t off = 0;
    off += record(blk + off, kRunStart + b, 2048, true, std::string(1, '\0'));
    off += record(blk + off, kRunStart, 2048, true, std::string(1, '\1'));
    // A folder whose extent starts at the next block and runs to the end.
    if (b + 1 < kRunBlocks)
      off += record(blk + off, kRunStart + b + 1, (kRunBlocks - b - 1) * 2048, true,
                    "D" + std::to_string(b));
    for (uint32_t i = 0; i < kFilesPerBlock; ++i)
      off += record(blk + off, 50000, 10, false,
                    "F" + std::to_string(b) + "_" + std::to_string(i) + ";1");
    ASSERT_LE(off, 2048u);
  }
  f.drive->WriteBlocks(0, image);

  TTreeContext t;
  EXPECT_EQ(ImportSession(t, f.dev, 0, "\\"), 1);
  EXPECT_EQ(CountFiles(t), size_t(kRunBlocks) * kFilesPerBlock);
  ASSERT_NE(t.FindEntry(t.root, u"F59_39"), nullptr);
  EXPECT_TRUE(t.FindEntry(t.root, u"F59_39")->imported);
}
