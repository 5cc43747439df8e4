#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "disc/tree.h"
#include "disc/udfbridge.h"
#include "tests/disc/imagefile.h"
#include "tests/support/testsupport.h"

using namespace yux::disc;
using yux::disc::test::BuildSession;
using yux::disc::test::MakeFile;
using yux::disc::test::Md5Of;
using yux::disc::test::WriteImageFile;
using yux::test::RunProgram;
using yux::test::TempDir;

namespace {

TDirectory* Mkdir(TTreeContext& tree, TDirectory* parent, const std::string& name) {
  TFindData fd;
  fd.fileName = Utf8ToWide(name);
  fd.attributes = kAttrDirectory;
  fd.lastWriteUtc = 1700000000;
  return tree.CreateDirectory(parent, fd);
}

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return GetLe32(p); }

// Checks the tag of the descriptor at `p`: checksum (byte 4 left out), CRC
// and the location it claims.
void ExpectTag(const uint8_t* p, uint16_t id, uint32_t location) {
  EXPECT_EQ(Le16(p), id);
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = uint8_t(sum + p[i]);
  EXPECT_EQ(p[4], sum) << "tag " << id;
  EXPECT_EQ(Le16(p + 8), UdfCrc(p + 16, Le16(p + 10))) << "tag " << id;
  EXPECT_EQ(Le32(p + 12), location) << "tag " << id;
}

}  // namespace

TEST(UdfPieces, CrcTimestampAndCompressedUnicode) {
  // CRC-16/XMODEM check value of "123456789".
  const char* check = "123456789";
  EXPECT_EQ(UdfCrc(reinterpret_cast<const uint8_t*>(check), 9), 0x31C3);
  EXPECT_EQ(UdfCrc(nullptr, 0), 0);

  uint8_t ts[12];
  UdfTimestamp(ts, 951782400);  // 2000-02-29 00:00:00 UTC, a Gregorian leap day
  EXPECT_EQ(Le16(ts), 0x1000);
  EXPECT_EQ(Le16(ts + 2), 2000);
  EXPECT_EQ(ts[4], 2);
  EXPECT_EQ(ts[5], 29);
  UdfTimestamp(ts, 4107542399);  // 2100-02-28 23:59:59: 2100 is no leap year
  EXPECT_EQ(Le16(ts + 2), 2100);
  EXPECT_EQ(ts[4], 2);
  EXPECT_EQ(ts[5], 28);
  EXPECT_EQ(ts[6], 23);
  EXPECT_EQ(ts[8], 59);

  EXPECT_EQ(UdfCompress(u"Ab", 16), (std::vector<uint8_t>{16, 0, 'A', 0, 'b'}));
  EXPECT_EQ(UdfCompress(u"Ab", 8), (std::vector<uint8_t>{8, 'A', 'b'}));
  EXPECT_TRUE(UdfCompress(u"Ab", 9).empty());

  // The label field holds 15 characters; a surrogate pair is never split.
  EXPECT_EQ(UdfLabel("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), u"ABCDEFGHIJKLMNO");
  EXPECT_EQ(UdfLabel("ABCDEFGHIJKLMN\xF0\x9F\x98\x80"), u"ABCDEFGHIJKLMN");
}

TEST(UdfLayout, EmptyRootAndAnchorPlacement) {
  TTreeContext tree;
  tree.layout.UDFBridge = true;
  const uint32_t size = PrepareImage(tree);
  const auto& L = tree.layout;
  EXPECT_EQ(L.isoLTable, kUdfFirstFree);
  EXPECT_EQ(L.udfAreaBlocks, 2u);  // the root's file entry and one identifier block
  EXPECT_EQ(tree.root->udfLength, 40u);
  EXPECT_EQ(size, L.fileAreaStart + 1);
  EXPECT_EQ(L.imageEnd % 32, 0u);
  EXPECT_EQ(L.udfPartitionLength, L.imageEnd - 1 - 257);
}

TEST(UdfLayout, DataEndingOn64KBoundaryTakesAnotherBlockForTheAnchor) {
  TempDir dir;
  TTreeContext tree;
  tree.layout.UDFBridge = true;
  PrepareImage(tree);
  const uint32_t fileArea = tree.layout.fileAreaStart;
  // A file that makes the data end exactly on a multiple of 32 blocks.
  // (The file adds one file entry in front of the file area.)
  const uint32_t blocks = 32 - (fileArea + 1) % 32 + 32;
  MakeFile((dir / "f").string(), size_t(blocks) * 2048, 1);
  ASSERT_NE(tree.InsertFile("\\", (dir / "f").string()), nullptr);
  PrepareImage(tree);
  const auto& L = tree.layout;
  ASSERT_EQ(L.fileAreaStart, fileArea + 1);  // one more file entry
  const uint32_t end = L.fileAreaStart + L.totalFileBlocks;
  ASSERT_EQ(end % 32, 0u);
  EXPECT_TRUE(L.udfEndAligned);
  EXPECT_EQ(L.imageEnd, end + 32);
}

// Descriptors inside the partition carry locations relative to it; the
// volume structures carry absolute ones, also in a later session.
TEST(UdfImage, TagLocationsAndExtentsInASecondSession) {
  TempDir dir;
  TTreeContext tree;
  tree.layout.UDFBridge = true;
  tree.volumeLabel = "A label longer than the UDF field holds";
  MakeFile((dir / "data.bin").string(), 5000, 3);
  ASSERT_NE(tree.InsertFile("\\", (dir / "data.bin").string()), nullptr);
  tree.layout.sessionStart = 20000;
  auto image = BuildSession(tree);
  const auto& L = tree.layout;
  ASSERT_FALSE(image.empty());
  auto block = [&](uint32_t b) { return image.data() + size_t(b) * 2048; };
  const uint32_t s0 = 20000, part = s0 + 257;
  ExpectTag(block(256), 2, s0 + 256);
  EXPECT_EQ(Le32(block(256) + 20), s0 + 32);
  ExpectTag(block(32), 1, s0 + 32);
  ExpectTag(block(33), 6, s0 + 33);
  ExpectTag(block(34), 5, s0 + 34);
  EXPECT_EQ(Le32(block(34) + 188), part);
  ExpectTag(block(48), 1, s0 + 48);
  ExpectTag(block(64), 9, s0 + 64);
  ExpectTag(block(257), 256, 0);
  ExpectTag(block(L.imageEnd - 1), 2, s0 + L.imageEnd - 1);
  // the label: 15 characters and its length byte
  EXPECT_EQ(block(32)[24], 16);
  EXPECT_EQ(block(32)[24 + 31], 31);

  const TFileEntry* f = tree.files.back().get();
  const uint8_t* fe = block(f->udfBlock);
  ExpectTag(fe, 261, f->udfBlock - 257);
  EXPECT_EQ(Le32(fe + 172), 8u);
  EXPECT_EQ(Le32(fe + 176), 5000u);
  EXPECT_EQ(Le32(fe + 180), L.fileAreaStart + f->block - 257);
  ExpectTag(block(tree.root->udfIdBlock), 257, tree.root->udfIdBlock - 257);
}

TEST(UdfImage, FileOfOneGiBOrMoreGetsSplitExtents) {
  TTreeContext tree;
  tree.layout.UDFBridge = true;
  TFindData fd;
  fd.fileName = u"huge.bin";
  fd.size = (uint64_t(3) << 30) + 12345;  // 3 GiB and a bit
  TFileEntry* e = tree.InsertEntry(fd.fileName, tree.root, fd, 0, 0, "/nonexistent/huge.bin");
  ASSERT_NE(e, nullptr);
  PrepareImage(tree);
  const auto& L = tree.layout;
  std::vector<uint8_t> area(size_t(L.udfAreaBlocks) * 2048);
  TUdfBlockGenerator gen(tree);
  ASSERT_EQ(gen.Generate(area.data(), L.udfAreaBlocks), L.udfAreaBlocks);
  EXPECT_TRUE(gen.Done());
  const uint8_t* fe = area.data() + size_t(e->udfBlock - L.udfAreaStart) * 2048;
  ExpectTag(fe, 261, e->udfBlock - 257);
  const uint32_t adLength = Le32(fe + 172);
  ASSERT_EQ(adLength, 32u);  // four extents
  uint64_t total = 0;
  uint32_t expectPos = L.fileAreaStart + e->block - 257;
  for (uint32_t i = 0; i < adLength; i += 8) {
    const uint32_t len = Le32(fe + 176 + i);
    EXPECT_LT(len, 1u << 30);
    EXPECT_EQ(len >> 30, 0u);  // recorded and allocated
    EXPECT_EQ(Le32(fe + 180 + i), expectPos);
    expectPos += len / 2048;
    total += len;
  }
  EXPECT_EQ(total, fd.size);
}

TEST(UdfImage, OverlongNamesAreCutAndKeptApart) {
  TempDir dir;
  TTreeContext tree;
  tree.layout.UDFBridge = true;
  const std::string a = std::string(150, 'a') + "-one.rar", b = std::string(150, 'a') + "-two.rar";
  MakeFile((dir / a).string(), 10, 1);
  MakeFile((dir / b).string(), 10, 2);
  ASSERT_NE(tree.InsertFile("\\", (dir / a).string()), nullptr);
  ASSERT_NE(tree.InsertFile("\\", (dir / b).string()), nullptr);
  PrepareImage(tree);
  const auto& e1 = *tree.root->files[0];
  const auto& e2 = *tree.root->files[1];
  EXPECT_LE(e1.udfName.size(), kMaxUdfName);
  EXPECT_LE(e2.udfName.size(), kMaxUdfName);
  EXPECT_NE(FoldName(e1.udfName), FoldName(e2.udfName));
  EXPECT_EQ(e1.udfName.substr(e1.udfName.size() - 4), u".rar");
}

// Outside readers see the same tree and the same bytes through UDF.
TEST(UdfImage, ReadersExtractTheBridge) {
  YUX_REQUIRE_PROGRAM("udfinfo");
  YUX_REQUIRE_PROGRAM("7z");
  TempDir dir;
  TTreeContext tree;
  tree.layout.UDFBridge = true;
  tree.volumeLabel = "YUX-BACKUP";
  std::map<std::string, std::string> sources;
  std::filesystem::create_directories(dir / "src");
  auto add = [&](const std::string& discDir, const std::string& name, size_t size, unsigned seed) {
    const std::string src = (dir / "src" / name).string();
    MakeFile(src, size, seed);
    ASSERT_NE(tree.InsertFile(discDir, src), nullptr);
    std::string p = discDir == "\\" ? "" : discDir.substr(1);
    for (char& c : p)
      if (c == '\\') c = '/';
    sources[(p.empty() ? "" : p + "/") + name] = src;
  };
  TDirectory* sub = Mkdir(tree, tree.root, "Archives");
  Mkdir(tree, sub, "deeper");
  add("\\", "readme.txt", 1000, 1);
  add("\\", "backup-2024-01-01-full.rar", 300000, 2);
  add("\\Archives", "Müller Straße.zip", 5000, 3);
  add("\\Archives\\deeper", "NOEXT", 2048, 4);
  add("\\", "zero.bin", 0, 5);
  const std::string img = (dir / "udf.img").string();
  ASSERT_TRUE(WriteImageFile(tree, img));

  auto info = RunProgram({"udfinfo", img});
  EXPECT_EQ(info.exitCode, 0) << info.out << info.err;
  EXPECT_NE(info.out.find("label=YUX-BACKUP"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("udfrev=1.50"), std::string::npos) << info.out;

  const std::string out = (dir / "x").string();
  auto x = RunProgram({"7z", "x", "-tudf", "-y", "-o" + out, img});
  ASSERT_EQ(x.exitCode, 0) << x.out << x.err;
  for (auto& [disc, src] : sources) {
    const auto extracted = std::filesystem::path(out) / std::filesystem::u8path(disc);
    ASSERT_TRUE(std::filesystem::exists(extracted)) << disc;
    EXPECT_EQ(Md5Of(extracted.string()), Md5Of(src)) << disc;
  }
}

// A disc without a volume label still gets a bridge that reads back.
TEST(UdfImage, EmptyLabelReadsBack) {
  YUX_REQUIRE_PROGRAM("udfinfo");
  TempDir dir;
  TTreeContext tree;
  tree.layout.UDFBridge = true;
  const std::string src = (dir / "a.rar").string();
  MakeFile(src, 5000, 1);
  ASSERT_NE(tree.InsertFile("\\", src), nullptr);
  const std::string img = (dir / "udf.img").string();
  ASSERT_TRUE(WriteImageFile(tree, img));
  auto info = RunProgram({"udfinfo", img});
  EXPECT_EQ(info.exitCode, 0) << info.out << info.err;
  EXPECT_NE(info.out.find("label=\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("numfiles=1\n"), std::string::npos) << info.out;
}
