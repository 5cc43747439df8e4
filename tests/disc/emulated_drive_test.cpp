// The emulated drive stands in for real writers in every disc test, so its
// own rules are checked here: tray and readiness, write-once media, faults.
#include <gtest/gtest.h>

#include <cstring>

#include "disc/commonlib.h"
#include "platform/mmc_emulated.h"
#include "tests/disc/drive_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux::disc;
using namespace yux::platform;
using yux::disc::test::EmulatedDriveFixture;

namespace {

struct Sense {
  uint8_t status, key, asc, ascq;
};

Sense Send(EmulatedMmcDrive& d, std::vector<uint8_t> cdb, MmcDirection dir = MmcDirection::None,
           std::vector<uint8_t>* data = nullptr) {
  MmcRequest r;
  cdb.resize(cdb[0] >= 0xA0 ? 12 : (cdb[0] >= 0x20 ? 10 : 6), 0);
  r.cdb = cdb.data();
  r.cdbLength = int(cdb.size());
  r.direction = dir;
  r.data = data ? data->data() : nullptr;
  r.length = data ? uint32_t(data->size()) : 0;
  auto res = d.Execute(r);
  return {res.scsiStatus, res.SenseKey(), res.Asc(), res.Ascq()};
}

std::vector<uint8_t> Write10(uint32_t lba, uint16_t blocks) {
  std::vector<uint8_t> c(10, 0);
  c[0] = 0x2A;
  PutBe32(&c[2], lba);
  PutBe16(&c[7], blocks);
  return c;
}

}  // namespace

TEST(EmulatedDrive, TrayAndReadinessConditions) {
  EmulatedDriveFixture f(kProfileCdR);
  auto& d = *f.drive;
  d.SetNotReadyPolls(2);
  EXPECT_TRUE(f.dev.EjectMedium(false));
  EXPECT_TRUE(d.TrayOpen());
  EXPECT_FALSE(f.dev.TestUnitReady());
  EXPECT_EQ(f.dev.lastError, 0x3A02u);  // medium not present, tray open
  EXPECT_TRUE(f.dev.LoadMedium(true));
  // unit attention once, then becoming ready for two polls, then ready
  EXPECT_FALSE(f.dev.TestUnitReady());
  EXPECT_EQ(f.dev.lastError, 0x2800u);
  EXPECT_FALSE(f.dev.TestUnitReady());
  EXPECT_EQ(f.dev.lastError, 0x0401u);
  EXPECT_FALSE(f.dev.TestUnitReady());
  EXPECT_TRUE(f.dev.TestUnitReady());
  // a locked tray does not open
  EXPECT_TRUE(f.dev.LockMedium(true));
  EXPECT_FALSE(f.dev.EjectMedium(false));
  EXPECT_EQ(f.dev.lastError, 0x5302u);
  EXPECT_TRUE(f.dev.LockMedium(false));
  EXPECT_TRUE(f.dev.EjectMedium(false));
  // no medium behind a closed tray
  EXPECT_TRUE(f.dev.LoadMedium(false));
  d.RemoveMedium();
  EXPECT_FALSE(f.dev.TestUnitReady());  // pending unit attention first
  EXPECT_FALSE(f.dev.TestUnitReady());
  EXPECT_EQ(f.dev.lastError, 0x3A01u);
}

TEST(EmulatedDrive, WriteOnceMediaWriteOnlyAtTheNextWritableAddress) {
  EmulatedDriveFixture f(kProfileDvdR, 50000);
  auto& d = *f.drive;
  std::vector<uint8_t> data(2048 * 4, 0x5A);
  EXPECT_EQ(Send(d, Write10(16, 4), MmcDirection::Out, &data).asc, 0x21);  // not at 0
  EXPECT_EQ(Send(d, Write10(0, 4), MmcDirection::Out, &data).status, 0);
  EXPECT_EQ(d.NextWritableAddress(), 4u);
  EXPECT_EQ(Send(d, Write10(0, 4), MmcDirection::Out, &data).ascq, 0x02);  // no rewrite
  EXPECT_EQ(Send(d, Write10(4, 4), MmcDirection::Out, &data).status, 0);
  // reading the blank area fails, the recorded one reads back
  std::vector<uint8_t> in(2048);
  EXPECT_EQ(Send(d, {0x28, 0, 0, 0, 0, 8, 0, 0, 1}, MmcDirection::In, &in).status, 2);
  EXPECT_EQ(Send(d, {0x28, 0, 0, 0, 0, 7, 0, 0, 1}, MmcDirection::In, &in).status, 0);
  EXPECT_EQ(in[100], 0x5A);

  // closing the session with multi-session 11b keeps the disc appendable
  ASSERT_TRUE(f.dev.SetWriteParameters(true));
  ASSERT_TRUE(f.dev.CloseTrackSession(false, true, 0));
  EXPECT_EQ(d.ClosedSessions(), 1);
  EXPECT_FALSE(d.Finalized());
  ASSERT_TRUE(f.dev.ReadTrackInformation(255));
  EXPECT_EQ(f.dev.trackInfo.startAddress, 8u + 12288u);
  EXPECT_EQ(f.dev.trackInfo.freeBlocks, 50000u - 8 - 12288);
  EXPECT_EQ(f.dev.GetSessionCount(), 1);

  // a second session, closed without multi-session, finalises the disc
  const uint32_t nwa = d.NextWritableAddress();
  EXPECT_EQ(Send(d, Write10(nwa, 4), MmcDirection::Out, &data).status, 0);
  d.ClearLog();
  std::vector<uint8_t> page(60, 0);
  const uint8_t tmpl[] = {0x05, 0x32, 0x00, 0x05, 0x08};
  std::memcpy(&page[8], tmpl, sizeof tmpl);
  EXPECT_EQ(Send(d, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60}, MmcDirection::Out, &page).status, 0);
  ASSERT_TRUE(f.dev.CloseTrackSession(false, true, 0));
  EXPECT_TRUE(d.Finalized());
  EXPECT_EQ(f.dev.GetSessionCount(), 2);
  EXPECT_FALSE(f.dev.IsDiscWritable());
  EXPECT_EQ(Send(d, Write10(d.NextWritableAddress(), 4), MmcDirection::Out, &data).asc, 0x21);
}

TEST(EmulatedDrive, ReservedTrackAndErasing) {
  EmulatedDriveFixture f(kProfileCdRw, 20000);
  auto& d = *f.drive;
  ASSERT_TRUE(f.dev.ReserveTrack(100));
  ASSERT_TRUE(f.dev.ReadTrackInformation(1));
  EXPECT_EQ(f.dev.trackInfo.trackSize, 100u);
  EXPECT_EQ(f.dev.trackInfo.freeBlocks, 100u);
  std::vector<uint8_t> data(2048 * 64, 1);
  EXPECT_EQ(Send(d, Write10(0, 64), MmcDirection::Out, &data).status, 0);
  EXPECT_EQ(Send(d, Write10(64, 64), MmcDirection::Out, &data).status, 2);  // past the reservation
  EXPECT_FALSE(f.dev.ReserveTrack(10));  // the open track comes first
  ASSERT_TRUE(f.dev.Blank(true));
  EXPECT_TRUE(d.Tracks().empty());
  EXPECT_EQ(d.NextWritableAddress(), 0u);

  EmulatedDriveFixture r(kProfileCdR);
  EXPECT_FALSE(r.dev.Blank(true));  // write-once media cannot be blanked

  EmulatedDriveFixture w(kProfileDvdRwSequential);
  const uint8_t params[12] = {0, 0x82, 0, 8};
  ASSERT_TRUE(w.dev.FormatUnit(0x11, params, 12));
  EXPECT_EQ(w.drive->Profile(), kProfileDvdRwRestricted);
  ASSERT_TRUE(w.dev.Blank(false));
  EXPECT_EQ(w.drive->Profile(), kProfileDvdRwSequential);
}

TEST(EmulatedDrive, InjectedFaultsAndTheCommandLog) {
  EmulatedDriveFixture f(kProfileDvdPlusRw, 1000);
  auto& d = *f.drive;
  d.FailOpcode(0x51, 2);
  EXPECT_FALSE(f.dev.ReadDiscInformation());
  EXPECT_FALSE(f.dev.ReadDiscInformation());
  EXPECT_TRUE(f.dev.ReadDiscInformation());
  d.InjectMediumError(7);
  std::vector<uint8_t> data(2048 * 8, 0x33);
  EXPECT_FALSE(f.dev.Write10(4, 8, data.data(), uint32_t(data.size())));
  EXPECT_EQ(f.dev.lastError, 0x0C00u);
  EXPECT_TRUE(f.dev.Write10(8, 8, data.data(), uint32_t(data.size())));
  uint64_t now = 5000;
  d.clock = [&] { return now; };
  d.ClearLog();
  now = 7000;
  f.dev.Write10(100, 1, data.data(), 2048);
  auto log = d.Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].timeMs, 7000u);
  EXPECT_EQ(log[0].data.size(), 2048u);
  EXPECT_EQ(log[0].data[0], 0x33);
  EXPECT_EQ(d.ReadBlocks(100, 1)[2047], 0x33);  // landed in the image file
}
