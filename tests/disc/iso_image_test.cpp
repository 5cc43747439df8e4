#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "disc/tree.h"
#include "tests/disc/imagefile.h"
#include "tests/support/testsupport.h"

using namespace yux::disc;
using yux::disc::test::MakeFile;
using yux::disc::test::Md5Of;
using yux::disc::test::WriteImageFile;
using yux::test::RunProgram;
using yux::test::TempDir;

namespace {

// Builds a small tree: files in the root and in nested folders, an empty
// file, a name that is not 8.3, a Unicode name and two names that share
// their first eight characters.
struct Sample {
  TempDir dir;
  TTreeContext tree;
  std::map<std::string, std::string> sources;  // disc path -> source path

  void Add(const std::string& discDir, const std::string& name, size_t size, unsigned seed) {
    auto src = (dir / ("src" + std::to_string(seed))).string();
    std::filesystem::create_directories(src);
    src += "/" + name;
    MakeFile(src, size, seed);
    ASSERT_NE(tree.InsertFile(discDir, src), nullptr) << name;
    std::string p = discDir == "\\" ? "" : discDir;
    for (char& c : p)
      if (c == '\\') c = '/';
    sources[p + "/" + name] = src;
  }
  TDirectory* Mkdir(TDirectory* parent, const std::string& name) {
    TFindData fd;
    fd.fileName = Utf8ToWide(name);
    fd.attributes = kAttrDirectory;
    fd.lastWriteUtc = 1700000000;
    return tree.CreateDirectory(parent, fd);
  }
};

void FillSample(Sample& s) {
  s.tree.volumeLabel = "Yux-Backup";
  TDirectory* a = s.Mkdir(s.tree.root, "Archives");
  s.Mkdir(a, "2024 January");
  s.Mkdir(s.tree.root, "empty");
  s.Add("\\", "readme.txt", 1000, 1);
  s.Add("\\", "backup-2024-01-01-full.rar", 70000, 2);
  s.Add("\\", "backup-2024-01-02-full.rar", 4096, 3);
  s.Add("\\", "zero.bin", 0, 4);
  s.Add("\\Archives", "Müller Straße.zip", 5000, 5);
  s.Add("\\Archives\\2024 January", "NOEXT", 2048, 6);
}

std::string Reader(const std::vector<std::string>& argv) {
  auto r = RunProgram(argv);
  EXPECT_EQ(r.exitCode, 0) << argv[0] << ": " << r.err;
  return r.out + r.err;
}

}  // namespace

TEST(IsoLayout, EmptyTreeHasMinimalTablesAndReachesBlock150) {
  TTreeContext tree;
  const uint32_t size = PrepareImage(tree);
  const auto& L = tree.layout;
  EXPECT_EQ(L.isoPathTableSize, 10u);
  EXPECT_EQ(L.jolietPathTableSize, 10u);
  EXPECT_EQ(L.isoMTable, L.isoLTable + 1);
  EXPECT_EQ(L.fileAreaStart, 150u);
  EXPECT_EQ(size, 150u);
  EXPECT_EQ(GetImageBlocks(tree), 160u);  // rounded up to 32 blocks
  ASSERT_TRUE(GenerateImageHeader(tree));
  EXPECT_EQ(tree.imageBuffer.size(), 150u * 2048);
}

TEST(IsoLayout, HeaderNeedsPreparedLayout) {
  TTreeContext tree;
  EXPECT_FALSE(GenerateImageHeader(tree));
  EXPECT_TRUE(tree.imageBuffer.empty());
}

TEST(IsoLayout, RecordsNeverCrossABlockAndDirectoryCountsWholeBlocks) {
  TempDir dir;
  TTreeContext tree;
  // 8.3 names of 12 characters give 46-byte records: 43 fit after the two
  // first records (68 + 43 * 46 = 2046), the 44th starts block two.
  for (int i = 0; i < 44; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "FILE%04d.BIN", i);
    auto p = (dir / name).string();
    MakeFile(p, 10, unsigned(i));
    ASSERT_NE(tree.InsertFile("\\", p), nullptr);
  }
  PrepareImage(tree);
  ASSERT_TRUE(GenerateImageHeader(tree));
  EXPECT_EQ(tree.root->isoLength, 2u * 2048);
  const uint8_t* d = tree.imageBuffer.data() + size_t(tree.layout.isoDirStart) * 2048;
  size_t off = 0, count = 0;
  while (off < 2048 && d[off]) { off += d[off]; ++count; }
  EXPECT_EQ(count, 2u + 43u);
  EXPECT_EQ(d[2048], 46);  // the 44th record opens the second block
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 2048 + 33), 12), "FILE0043.BIN");
}

TEST(IsoLayout, EmptyFileHasExtentAndLengthZeroInBothTrees) {
  TempDir dir;
  TTreeContext tree;
  auto p = (dir / "empty.dat").string();
  MakeFile(p, 0, 1);
  ASSERT_NE(tree.InsertFile("\\", p), nullptr);
  PrepareImage(tree);
  ASSERT_TRUE(GenerateImageHeader(tree));
  for (uint32_t area : {tree.layout.isoDirStart, tree.layout.jolietDirStart}) {
    const uint8_t* r = tree.imageBuffer.data() + size_t(area) * 2048 + 68;
    EXPECT_EQ(GetLe32(r + 2), 0u);
    EXPECT_EQ(GetBe32(r + 6), 0u);
    EXPECT_EQ(GetLe32(r + 10), 0u);
  }
}

TEST(IsoLayout, Iso1999PutsLongNamesInThePrimaryAndNoEscape) {
  TempDir dir;
  TTreeContext tree;
  tree.layout.ISO9660v1999FS = true;
  auto p = (dir / "a rather long file name.txt").string();
  MakeFile(p, 10, 1);
  ASSERT_NE(tree.InsertFile("\\", p), nullptr);
  PrepareImage(tree);
  ASSERT_TRUE(GenerateImageHeader(tree));
  const uint8_t* pvd = tree.imageBuffer.data() + 16 * 2048;
  EXPECT_EQ(pvd[88], 0);
  EXPECT_EQ(pvd[89], 0);
  const uint8_t* evd = pvd + 2048;
  EXPECT_EQ(evd[0], 2);
  EXPECT_EQ(evd[6], 2);
  EXPECT_EQ(evd[881], 2);
  const uint8_t* r = tree.imageBuffer.data() + size_t(tree.layout.isoDirStart) * 2048 + 68;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 33), r[32]), "a rather long file name.txt");
}

TEST(IsoImage, ReadersSeeBothTreesAndExtractIdenticalFiles) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  YUX_REQUIRE_PROGRAM("isovfy");
  YUX_REQUIRE_PROGRAM("xorriso");
  YUX_REQUIRE_PROGRAM("7z");
  Sample s;
  FillSample(s);
  auto iso = (s.dir / "out.iso").string();
  ASSERT_TRUE(WriteImageFile(s.tree, iso));

  std::string info = Reader({"isoinfo", "-d", "-i", iso});
  EXPECT_NE(info.find("Volume id: YUX-BACKUP"), std::string::npos) << info;
  EXPECT_NE(info.find("Joliet with UCS level 1 found"), std::string::npos) << info;

  std::string listing = Reader({"isoinfo", "-l", "-J", "-i", iso});
  // isoinfo prints Latin-1 bytes, so only the ASCII part of a name is checked.
  for (const char* name : {"backup-2024-01-01-full.rar", "ller Stra", "2024 January", "NOEXT"})
    EXPECT_NE(listing.find(name), std::string::npos) << name << "\n" << listing;
  std::string plain = Reader({"isoinfo", "-l", "-i", iso});
  EXPECT_NE(plain.find("README.TXT"), std::string::npos) << plain;
  EXPECT_NE(plain.find("BACKUP~1.RAR"), std::string::npos) << plain;
  EXPECT_NE(plain.find("BACKUP~2.RAR"), std::string::npos) << plain;

  auto vfy = RunProgram({"isovfy", iso});
  EXPECT_NE(vfy.out.find("No errors found"), std::string::npos) << vfy.out << vfy.err;

  // xorriso reports the block of every file; each must match our layout.
  std::string lba = Reader({"xorriso", "-indev", iso, "-find", "/", "-type", "f", "-exec", "report_lba"});
  for (auto& f : s.tree.files) {
    if (f->IsDirectory() || f->size == 0) continue;
    const std::string want = std::to_string(FileExtent(s.tree, *f));
    const std::string name = WideToUtf8(f->longName);
    std::regex line("File data lba:\\s+0\\s*,\\s*" + want + "\\s*,.*" +
                    std::regex_replace(name, std::regex("[.+()]"), "\\$&"));
    EXPECT_TRUE(std::regex_search(lba, line)) << name << " at " << want << "\n" << lba;
  }

  std::string sevenList = Reader({"7z", "l", "-tiso", iso});
  EXPECT_NE(sevenList.find("Müller Straße.zip"), std::string::npos) << sevenList;
  auto out = s.dir / "x";
  Reader({"7z", "x", "-tiso", "-y", "-o" + out.string(), iso});
  for (auto& [discPath, src] : s.sources)
    EXPECT_EQ(Md5Of((out.string() + discPath)), Md5Of(src)) << discPath;
}

TEST(IsoImage, ElToritoCatalogIsReportedWithItsImage) {
  YUX_REQUIRE_PROGRAM("xorriso");
  YUX_REQUIRE_PROGRAM("isoinfo");
  Sample s;
  FillSample(s);
  auto boot = (s.dir / "floppy.img").string();
  MakeFile(boot, 1474560, 9);
  ASSERT_TRUE(s.tree.SetBootImage(boot));
  auto iso = (s.dir / "boot.iso").string();
  ASSERT_TRUE(WriteImageFile(s.tree, iso));
  std::string rep = Reader({"xorriso", "-indev", iso, "-report_el_torito", "plain"});
  EXPECT_NE(rep.find("El Torito catalog  : " + std::to_string(s.tree.layout.bootCatalogBlock)),
            std::string::npos) << rep;
  EXPECT_NE(rep.find("fd1.4"), std::string::npos) << rep;
  EXPECT_NE(rep.find(std::to_string(s.tree.layout.bootImageBlock)), std::string::npos) << rep;
  std::string info = Reader({"isoinfo", "-d", "-i", iso});
  EXPECT_NE(info.find("El Torito"), std::string::npos) << info;
  // The boot image bytes sit where the catalog says.
  auto image = yux::test::ReadFile(iso);
  auto bootData = yux::test::ReadFile(boot);
  EXPECT_EQ(image.substr(size_t(s.tree.layout.bootImageBlock) * 2048, bootData.size()), bootData);
}

TEST(IsoImage, JolietNamesLongerThanARecordAreCutAndStayDistinct) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  Sample s;
  const std::string stem(150, 'n');
  s.Add("\\", stem + "1.rar", 100, 1);
  s.Add("\\", stem + "2.rar", 100, 2);
  auto iso = (s.dir / "long.iso").string();
  ASSERT_TRUE(WriteImageFile(s.tree, iso));
  for (auto& f : s.tree.files) {
    EXPECT_LE(f->jolietName.size(), kMaxJolietName);
    EXPECT_EQ(f->jolietName.substr(f->jolietName.size() - 4), u".rar");
  }
  EXPECT_NE(s.tree.files[0]->jolietName, s.tree.files[1]->jolietName);
  // Every Joliet record stays inside its length byte.
  const auto& L = s.tree.layout;
  const uint8_t* d = s.tree.imageBuffer.data() + size_t(L.jolietDirStart) * 2048;
  for (size_t off = 0; off < 2048 && d[off];) {
    EXPECT_EQ(d[off] % 2, 0);
    EXPECT_LE(33u + d[off + 32], d[off]);
    off += d[off];
  }
  std::string listing = Reader({"isoinfo", "-l", "-J", "-i", iso});
  EXPECT_NE(listing.find(".rar"), std::string::npos) << listing;
}

TEST(IsoLayout, PathTablesListFoldersByParentThenNameInBothByteOrders) {
  Sample s;
  FillSample(s);
  s.Mkdir(s.tree.FindDirectory(std::string("\\Archives")), "2023 December");
  PrepareImage(s.tree);
  ASSERT_TRUE(GenerateImageHeader(s.tree));
  const auto& L = s.tree.layout;
  struct Row { std::string id; uint16_t parent; };
  const Row want[] = {{std::string(1, '\0'), 1}, {"ARCHIVES", 1}, {"EMPTY", 1},
                      {"2023DE~1", 2}, {"2024JA~1", 2}};
  const uint8_t* lt = s.tree.imageBuffer.data() + size_t(L.isoLTable) * 2048;
  const uint8_t* mt = s.tree.imageBuffer.data() + size_t(L.isoMTable) * 2048;
  size_t off = 0;
  for (const Row& r : want) {
    ASSERT_EQ(lt[off], r.id.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(lt + off + 8), lt[off]), r.id);
    EXPECT_EQ(GetLe32(lt + off + 2), GetBe32(mt + off + 2));
    EXPECT_EQ(uint16_t(lt[off + 6] | lt[off + 7] << 8), r.parent) << r.id;
    EXPECT_EQ(GetBe16(mt + off + 6), r.parent) << r.id;
    off += 8 + lt[off] + (lt[off] % 2);
  }
  EXPECT_EQ(off, L.isoPathTableSize);
  // The root's path-table extent is the one its descriptor names.
  EXPECT_EQ(GetLe32(lt + 2), GetLe32(s.tree.imageBuffer.data() + 16 * 2048 + 158));
}

TEST(IsoLayout, StreamOutputMatchesTheBuffer) {
  Sample s;
  FillSample(s);
  PrepareImage(s.tree);
  ASSERT_TRUE(GenerateImageHeader(s.tree));
  const std::vector<uint8_t> buffered = s.tree.imageBuffer;
  std::ostringstream out;
  s.tree.imageBuffer.clear();
  s.tree.outputStream = &out;
  ASSERT_TRUE(GenerateImageHeader(s.tree));
  s.tree.outputStream = nullptr;
  EXPECT_TRUE(s.tree.imageBuffer.empty());
  EXPECT_EQ(out.str(), std::string(buffered.begin(), buffered.end()));
}

// A layout is worked out for the tree as it was: folders and files added
// after it (an import, a late insert) are not in its sizes. Writing the
// header from it would put records past the directory and header buffers.
TEST(IsoLayout, TreeChangedAfterLayoutNeedsANewLayout) {
  TempDir dir;
  auto file = [&](const std::string& name) {
    auto p = (dir / name).string();
    MakeFile(p, 100, 7);
    return p;
  };
  TTreeContext tree;
  ASSERT_NE(tree.InsertFile("\\", file("FIRST.BIN")), nullptr);
  PrepareImage(tree);
  ASSERT_TRUE(tree.layout.prepared);

  TFindData folder;
  folder.fileName = u"Late";
  folder.attributes = kAttrDirectory;
  ASSERT_NE(tree.CreateDirectory(tree.root, folder), nullptr);
  EXPECT_FALSE(tree.layout.prepared);
  EXPECT_FALSE(GenerateImageHeader(tree));

  PrepareImage(tree);
  for (int i = 0; i < 60; ++i)
    ASSERT_NE(tree.InsertFile("\\Late", file("LATE" + std::to_string(i) + ".BIN")), nullptr);
  EXPECT_FALSE(tree.layout.prepared);
  EXPECT_FALSE(GenerateImageHeader(tree));

  // Laid out again, the header holds every entry.
  PrepareImage(tree);
  ASSERT_TRUE(GenerateImageHeader(tree));
  EXPECT_EQ(tree.FindDirectory(std::string("\\Late"))->isoLength, 2u * 2048);
}

// The header is written from the layout. When the image options no longer
// match it (changed behind the layout's back), the header generation
// refuses instead of writing records past the buffers sized for it.
TEST(IsoLayout, HeaderNeverWritesPastItsLayout) {
  struct Case {
    const char* what;
    void (*change)(TImageLayout&);
  };
  const Case cases[] = {
      {"Joliet added", [](TImageLayout& L) { L.JolietFileSystem = true; }},
      {"long ISO names", [](TImageLayout& L) { L.ISO9660v1999FS = true; }},
      {"UDF bridge added", [](TImageLayout& L) { L.UDFBridge = true; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sample s;
    s.tree.layout.JolietFileSystem = false;
    FillSample(s);
    for (int i = 0; i < 40; ++i)
      s.Add("\\", "a rather long file name that is no 8.3 name " + std::to_string(i) + ".rar",
            10, 100 + unsigned(i));
    PrepareImage(s.tree);
    const size_t header = size_t(s.tree.layout.headerBlocks) * 2048;
    c.change(s.tree.layout);
    EXPECT_FALSE(GenerateImageHeader(s.tree));
    EXPECT_EQ(s.tree.imageBuffer.size(), header);
  }
}
