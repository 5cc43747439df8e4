// Carrying the files of an earlier session into a new one: discs written
// by other programs, and the check that the new session did not land on
// the files it carries.
#include <gtest/gtest.h>

#include <filesystem>

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
