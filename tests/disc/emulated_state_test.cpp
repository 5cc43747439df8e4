// The emulated drive keeps its medium beside the image, so that a later
// process continues the same disc, and takes an optional capacity in the
// letter map's text.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/driveletters.h"
#include "platform/mmc_emulated.h"
#include "tests/support/testsupport.h"

using namespace yux::platform;

TEST(EmulatedState, MediumSurvivesANewDriveOverTheSameImage) {
  yux::test::TempDir dir;
  const std::string image = (dir / "e.img").string();
  {
    EmulatedMmcDrive first(image, kProfileCdR, 20000);
    first.SetRecordedSessions({300, 200});
  }
  // Given another profile, the drive still holds the disc that was in it.
  EmulatedMmcDrive again(image, kProfileCdRw);
  EXPECT_EQ(again.Profile(), kProfileCdR);
  EXPECT_EQ(again.Capacity(), 20000u);
  EXPECT_EQ(again.ClosedSessions(), 2);
  ASSERT_EQ(again.Tracks().size(), 2u);
  EXPECT_EQ(again.Tracks()[1].recorded, 200u);
  EXPECT_EQ(again.NextWritableAddress(), EmulatedMmcDrive(image, kProfileCdR).NextWritableAddress());

  // A new blank medium replaces the state; without a state file a drive
  // starts blank as before.
  again.InsertMedium(kProfileCdRw, 5000);
  EXPECT_EQ(EmulatedMmcDrive(image, kProfileCdR).Capacity(), 5000u);
  EXPECT_EQ(EmulatedMmcDrive(image, kProfileCdR).Profile(), kProfileCdRw);
  std::filesystem::remove(image + ".state");
  EmulatedMmcDrive blank(image, kProfileCdR);
  EXPECT_EQ(blank.ClosedSessions(), 0);
  EXPECT_TRUE(blank.Tracks().empty());
}

TEST(EmulatedState, LetterMapTakesAnOptionalCapacity) {
  yux::test::TempDir dir;
  DriveLetterMap map;
  const std::string image = (dir / "e.img").string();
  EXPECT_EQ(map.Load("E=emulated:CD-RW/4000:" + image + ";F=emulated:cd-r:" + (dir / "f.img").string() +
                     ";G=emulated:CD-R/:" + image + ";H=emulated:CD-R/12x:" + image +
                     ";I=emulated:CD-R/0:" + image),
            2);
  DriveMapping e, f;
  ASSERT_TRUE(map.Find('E', e));
  ASSERT_TRUE(map.Find('F', f));
  EXPECT_EQ(e.emulated->Capacity(), 4000u);
  EXPECT_EQ(e.emulated->Profile(), kProfileCdRw);
  EXPECT_EQ(f.emulated->Capacity(), 359849u);
}
