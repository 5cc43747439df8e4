#include <gtest/gtest.h>

#include "disc/commonlib.h"
#include "tests/disc/burner_fixture.h"

using namespace yux::disc;
using namespace yux::platform;
using yux::disc::test::BurnerFixture;

namespace {

std::vector<EmulatedLogEntry> Commands(BurnerFixture& f, uint8_t opcode) {
  std::vector<EmulatedLogEntry> out;
  for (auto& e : f.drive->Log())
    if (e.Opcode() == opcode) out.push_back(e);
  return out;
}

}  // namespace

// Quick and full erase of a CD-RW holding a session: BLANK with Immediate,
// minimal for the quick one, and the disc is empty afterwards.
TEST(BurnerErase, CdRwQuickAndFull) {
  for (bool quick : {true, false}) {
    SCOPED_TRACE(quick ? "quick" : "full");
    BurnerFixture f(kProfileCdRw);
    auto& b = *f.burner;
    ASSERT_NE(b.InsertFile("\\", f.Source("x.rar", 100000, 1)), nullptr);
    b.PrepareImage();
    ASSERT_TRUE(f.Write());
    ASSERT_EQ(b.GetSessionCount(), 1);
    f.drive->ClearLog();
    EXPECT_TRUE(f.Erase(quick));
    const auto blanks = Commands(f, 0xA1);
    ASSERT_EQ(blanks.size(), 1u);
    EXPECT_EQ(blanks[0].cdb[1], quick ? 0x11 : 0x10);
    EXPECT_EQ(b.GetSessionCount(), 0);
    EXPECT_TRUE(b.IsDiscWritable());
    EXPECT_EQ(b.State(), stIdle);
    // A blank disc takes a new first session.
    ASSERT_NE(b.InsertFile("\\", f.Source("y.rar", 1000, 2)), nullptr);
    b.PrepareImage();
    EXPECT_TRUE(f.Write());
    EXPECT_EQ(b.Context().tree.layout.sessionStart, 0u);
  }
}

// The method follows the medium, and an erase that cannot be done (or
// that the drive refuses) is reported as failed.
TEST(BurnerErase, ByMedium) {
  struct Case {
    const char* what;
    uint16_t profile;
    bool quick;
    uint8_t failOpcode;
    bool expectOk;
    int zeroWrites;  // WRITE (10) commands expected
  };
  const Case cases[] = {
      {"DVD+RW quick", kProfileDvdPlusRw, true, 0, true, 16},
      {"BD-RE quick", kProfileBdRe, true, 0, true, 16},
      {"BD-RE full does nothing", kProfileBdRe, false, 0, false, 0},
      {"DVD-RAM quick", kProfileDvdRam, true, 0, true, 128},
      {"CD-RW BLANK refused", kProfileCdRw, true, 0xA1, false, 0},
      {"DVD+RW full, FORMAT refused", kProfileDvdPlusRw, false, 0x04, false, 0},
      {"CD-R cannot be blanked", kProfileCdR, true, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BurnerFixture f(c.profile, 100000);
    if (c.failOpcode) f.drive->FailOpcode(c.failOpcode);
    f.drive->ClearLog();
    EXPECT_EQ(f.Erase(c.quick), c.expectOk);
    const auto writes = Commands(f, 0x2A);
    EXPECT_EQ(int(writes.size()), c.zeroWrites);
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(GetBe32(&writes[i].cdb[2]), uint32_t(i * 32));
      if (!writes[i].data.empty()) {
        EXPECT_EQ(writes[i].data[777], 0);
      }
    }
  }
}

// A quick erase of a grown DVD+RW leaves no volume behind.
TEST(BurnerErase, DvdPlusRwQuickEraseRemovesTheVolume) {
  BurnerFixture f(kProfileDvdPlusRw, 100000);
  auto& b = *f.burner;
  ASSERT_NE(b.InsertFile("\\", f.Source("x.rar", 100000, 1)), nullptr);
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  ASSERT_GT(b.Context().device.GetISOVolumeSize(), 0u);
  EXPECT_TRUE(f.Erase(true));
  EXPECT_EQ(b.Context().device.GetISOVolumeSize(), 0u);
}

// Writing and erasing hold the drive for themselves. While another program
// holds it they fail at once and say why; reading and queries still work.
TEST(BurnerExclusive, WriteAndEraseNeedTheDriveForThemselves) {
  BurnerFixture f(kProfileDvdPlusRw, 60000);
  auto& b = *f.burner;
  ASSERT_NE(b.InsertFile("\\", f.Source("a.rar", 100000, 1)), nullptr);
  b.PrepareImage();
  ASSERT_TRUE(f.drive->ClaimExclusive());  // another program
  EXPECT_FALSE(f.Write());
  EXPECT_TRUE(f.writeFailed);
  EXPECT_NE(b.LastErrorText().find("in use by another program"), std::string::npos)
      << b.LastErrorText();
  EXPECT_FALSE(f.Erase(true));
  EXPECT_NE(b.LastErrorText().find("in use by another program"), std::string::npos);
  EXPECT_EQ(b.GetMediaType(), mtDVDPlusRW);
  EXPECT_GT(b.GetFreeBlocks(), 0u);
  f.drive->ReleaseExclusive();

  bool heldWhileWriting = false;
  f.drive->clock = [&]() -> uint64_t {
    if (b.State() == stWriting && f.drive->HeldExclusively()) heldWhileWriting = true;
    return 0;
  };
  EXPECT_TRUE(f.Write());
  f.drive->clock = nullptr;
  EXPECT_TRUE(heldWhileWriting);
  EXPECT_TRUE(b.LastErrorText().empty());
  EXPECT_FALSE(f.drive->HeldExclusively()) << "the drive is handed back after the write";
  EXPECT_FALSE(f.Verify().failed);
  EXPECT_TRUE(f.Erase(true));
  EXPECT_FALSE(f.drive->HeldExclusively());
}
