// Carrying the files of an earlier session into a new one: discs written
// by other programs, and the check that the new session did not land on
// the files it carries.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "disc/commonlib.h"
#include "tests/disc/burner_fixture.h"

using namespace yux::disc;
using namespace yux::platform;
using yux::disc::test::BurnerFixture;
using yux::disc::test::Md5Text;
using yux::disc::test::Md5TextOfFile;
using yux::test::RunProgram;

namespace {

// Puts an image made by another program at block 0 of the drive's medium.
void LoadImage(BurnerFixture& f, const std::string& iso) {
  const std::string bytes = yux::test::ReadFile(iso);
  f.drive->WriteBlocks(0, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

// A file as isoinfo reads it from the volume at block 0 (Joliet names).
std::string IsoinfoMd5(BurnerFixture& f, const std::string& name) {
  auto r = RunProgram({"isoinfo", "-i", f.ImagePath(), "-J", "-x", "/" + name});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return Md5Text(r.out);
}

}  // namespace

// Another program puts file data right behind its descriptors. Growing the
// volume rewrites the descriptors at block 0, never that data.
TEST(CarryOver, FilesBehindAnotherProgramsDescriptorsSurvive) {
  YUX_REQUIRE_PROGRAM("genisoimage");
  YUX_REQUIRE_PROGRAM("isoinfo");
  for (uint16_t profile : {kProfileDvdPlusRw, kProfileBdRe}) {
    SCOPED_TRACE(profile);
    BurnerFixture f(profile, 60000);
    const std::string old = f.Source("old.bin", 5000, 1);
    const std::string iso = (f.dir / "other.iso").string();
    auto g = RunProgram({"genisoimage", "-quiet", "-J", "-o", iso,
                         std::filesystem::path(old).parent_path().string()});
    ASSERT_EQ(g.exitCode, 0) << g.err;
    LoadImage(f, iso);
    auto& b = *f.burner;
    const std::string fresh = f.Source("new.rar", 100000, 2);
    ASSERT_NE(b.InsertFile("\\", fresh), nullptr);
    b.ImportSession(0, "\\");
    ASSERT_EQ(b.GetFileCount(), 2);
    b.PrepareImage();
    ASSERT_TRUE(f.Write());
    EXPECT_FALSE(f.Verify().failed);
    EXPECT_EQ(IsoinfoMd5(f, "old.bin"), Md5TextOfFile(old));
    EXPECT_EQ(IsoinfoMd5(f, "new.rar"), Md5TextOfFile(fresh));
  }
}

// A session that lands on the blocks of a file it carries over (here the
// drive could not tell where the volume ends) destroys that file: verify
// reports it failed instead of the write passing as good.
TEST(CarryOver, VerifyFailsCarriedFilesTheWriteCovered) {
  BurnerFixture f(kProfileDvdRwRestricted, 60000);
  auto& b = *f.burner;
  ASSERT_NE(b.InsertFile("\\", f.Source("first.rar", 200000, 1)), nullptr);
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  ASSERT_FALSE(f.Verify().failed);

  b.ClearFiles();
  ASSERT_NE(b.InsertFile("\\", f.Source("second.rar", 200000, 2)), nullptr);
  b.ImportSession(0, "\\");
  ASSERT_EQ(b.GetFileCount(), 2);
  b.PrepareImage();
  f.drive->FailOpcode(0x28, 64);  // the volume cannot be read
  ASSERT_TRUE(f.Write());
  f.drive->FailOpcode(0x28, 0);
  ASSERT_EQ(b.Context().tree.layout.sessionStart, 0u);
  const auto v = f.Verify();
  EXPECT_TRUE(v.failed);
  std::map<std::u16string, bool> failed;
  for (auto& [index, bad] : v.files) failed[b.GetFileName(index)] = bad;
  EXPECT_EQ(failed, (std::map<std::u16string, bool>{{u"first.rar", true}, {u"second.rar", false}}));
}

namespace {

// The first `bytes` bytes a command writes to its standard output; the
// command is ended once they have arrived.
std::string HeadOf(const std::string& command, size_t bytes) {
  std::string out(bytes, '\0');
  FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return {};
  size_t got = 0, n;
  while (got < bytes && (n = std::fread(out.data() + got, 1, bytes - got, p)) > 0) got += n;
  ::pclose(p);
  out.resize(got);
  return out;
}

// (length, extent) of every record isoinfo lists for `name` in the volume
// at block 0, in order.
std::vector<std::pair<uint64_t, uint32_t>> Records(const std::string& image,
                                                   const std::string& name) {
  auto r = RunProgram({"isoinfo", "-i", image, "-l", "-J"});
  std::vector<std::pair<uint64_t, uint32_t>> out;
  std::istringstream lines(r.out);
  std::string line;
  const std::regex re(R"(\s(\d+)\s+\S+\s+\d+\s+\d+\s+\[\s*(\d+)\s+[0-9A-F]+\]?\s+(.*?)\s*$)");
  std::smatch m;
  while (std::getline(lines, line))
    if (std::regex_search(line, m, re) && m[3] == name)
      out.emplace_back(std::stoull(m[1]), uint32_t(std::stoul(m[2])));
  return out;
}

}  // namespace

// A disc of another program holding a file of 5 GiB (recorded in several
// extents) and a name with ";": the next session carries the big file
// whole, every extent in order, and the names as they were.
TEST(CarryOver, MultiExtentFileOfAnotherProgramIsCarriedWhole) {
  YUX_REQUIRE_PROGRAM("xorriso");
  YUX_REQUIRE_PROGRAM("isoinfo");
  YUX_REQUIRE_PROGRAM("7z");
  for (bool udf : {false, true}) {
    SCOPED_TRACE(udf ? "with the UDF bridge" : "ISO 9660 and Joliet");
    BurnerFixture f(kProfileBdRe);
    const auto src = f.dir / "other";
    std::filesystem::create_directories(src);
    constexpr uint64_t kBig = 5ull << 30;
    std::ofstream(src / "big.bin").close();
    std::filesystem::resize_file(src / "big.bin", kBig);  // sparse
    yux::test::WriteFile(src / "a;b.txt", "semicolon\n");
    yux::test::WriteFile(src / "archive.txt", std::string(5000, 'x'));
    // The small files come first in the image, the zeros of the big one
    // after them: the image is read up to there, the rest stays sparse.
    const std::string image =
        HeadOf("xorriso -as mkisofs -iso-level 3 -J -o - '" + src.string() + "'", 4u << 20);
    ASSERT_EQ(image.size(), 4u << 20);
    f.drive->WriteBlocks(0, std::vector<uint8_t>(image.begin(), image.end()));
    const auto before = Records(f.ImagePath(), "big.bin");
    ASSERT_EQ(before.size(), 2u);

    auto& b = *f.burner;
    b.SetUDFBridge(udf);
    const std::string fresh = f.Source("new.rar", 100000, 2);
    ASSERT_NE(b.InsertFile("\\", fresh), nullptr);
    b.ImportSession(0, "\\");
    ASSERT_EQ(b.GetFileCount(), 4);
    b.PrepareImage();
    ASSERT_TRUE(f.Write());
    EXPECT_FALSE(f.Verify().failed);
    EXPECT_GT(b.Context().tree.layout.sessionStart, kBig / 2048);

    EXPECT_EQ(Records(f.ImagePath(), "big.bin"), before);
    EXPECT_EQ(IsoinfoMd5(f, "a_b.txt"), Md5Text("semicolon\n"));
    EXPECT_EQ(IsoinfoMd5(f, "archive.txt"), Md5Text(std::string(5000, 'x')));
    EXPECT_EQ(IsoinfoMd5(f, "new.rar"), Md5TextOfFile(fresh));
    auto z = RunProgram({"7z", "l", "-tiso", f.ImagePath()});
    EXPECT_NE(z.out.find(std::to_string(kBig) + " "), std::string::npos) << z.out;
    EXPECT_NE(z.out.find("a_b.txt"), std::string::npos) << z.out;
  }
}

namespace {

// Sets the extent of every directory record of the volume at block 0 whose
// identifier starts with `iso` (primary) or `joliet` (Joliet) to 0.
void ZeroExtent(BurnerFixture& f, const std::string& iso, const std::u16string& joliet) {
  for (uint32_t vd : {16u, 17u}) {
    const auto d = f.drive->ReadBlocks(vd, 1);
    const uint32_t root = GetLe32(&d[158]);
    auto dir = f.drive->ReadBlocks(root, 1);
    std::string id = iso;
    if (vd == 17) {
      id.clear();
      for (char16_t c : joliet) id += {char(c >> 8), char(c)};
    }
    for (size_t off = 0; off < 2048 && dir[off]; off += dir[off])
      if (dir[off + 32] >= id.size() && std::memcmp(&dir[off + 33], id.data(), id.size()) == 0)
        PutBoth32(&dir[off + 2], 0);
    f.drive->WriteBlocks(root, dir);
  }
}

}  // namespace

// A record whose extent is 0 but whose length is not keeps its place as
// carried-over data: it takes no blocks of the new session, so the files
// behind it are written where their records say.
TEST(CarryOver, RecordWithExtentZeroTakesNoBlocks) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  BurnerFixture f(kProfileDvdPlusRw, 60000);
  auto& b = *f.burner;
  ASSERT_NE(b.InsertFile("\\", f.Source("a.rar", 100000, 1)), nullptr);
  const std::string second = f.Source("b.rar", 50000, 2);
  ASSERT_NE(b.InsertFile("\\", second), nullptr);
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  ZeroExtent(f, "A.RAR", u"a.rar");

  b.ClearFiles();
  const std::string third = f.Source("c.rar", 70000, 3);
  ASSERT_NE(b.InsertFile("\\", third), nullptr);
  b.ImportSession(0, "\\");
  ASSERT_EQ(b.GetFileCount(), 3);
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  EXPECT_FALSE(f.Verify().failed);
  EXPECT_EQ(IsoinfoMd5(f, "b.rar"), Md5TextOfFile(second));
  EXPECT_EQ(IsoinfoMd5(f, "c.rar"), Md5TextOfFile(third));
  EXPECT_EQ(Records(f.ImagePath(), "a.rar"),
            (std::vector<std::pair<uint64_t, uint32_t>>{{100000, 0}}));
}

// Characters Joliet forbids become "_" when written, so that the name
// carried into the next session is the one the first session shows.
TEST(CarryOver, NamesJolietForbidsReadBackUnchanged) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  BurnerFixture f(kProfileDvdPlusRw, 60000);
  auto& b = *f.burner;
  b.SetReplaceFile(true);
  const std::map<std::string, std::string> names = {
      {"semi;colon.txt", "semi_colon.txt"},
      {"what?.txt", "what_.txt"},
      {"a:b*c.txt", "a_b_c.txt"},
      {"tab\there.txt", "tab_here.txt"},
  };
  std::map<std::string, std::string> sources;  // name on the disc -> source
  unsigned seed = 1;
  for (auto& [name, shown] : names) {
    sources[shown] = f.Source(name, 3000 + seed, seed);
    ASSERT_NE(b.InsertFile("\\", sources[shown]), nullptr) << name;
    ++seed;
  }
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  for (int session = 2; session <= 3; ++session) {
    SCOPED_TRACE(session);
    b.ClearFiles();
    const std::string fresh = f.Source("s" + std::to_string(session) + ".rar", 2000, 20 + session);
    ASSERT_NE(b.InsertFile("\\", fresh), nullptr);
    b.ImportSession(0, "\\");
    std::set<std::u16string> carried;
    for (int i = 0; i < b.GetFileCount(); ++i) carried.insert(b.GetFileName(i));
    for (auto& [shown, src] : sources) EXPECT_TRUE(carried.count(Utf8ToWide(shown))) << shown;
    EXPECT_EQ(carried.size(), sources.size() + 1);
    b.PrepareImage();
    ASSERT_TRUE(f.Write());
    sources["s" + std::to_string(session) + ".rar"] = fresh;
    for (auto& [shown, src] : sources) EXPECT_EQ(IsoinfoMd5(f, shown), Md5TextOfFile(src)) << shown;
  }
}
