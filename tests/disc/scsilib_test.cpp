#include <grp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include <cstring>
#include <fstream>
#include <functional>
#include <regex>

#include "disc/commonlib.h"
#include "disc/scsilib.h"
#include "platform/driveletters.h"
#include "platform/mmc_emulated.h"
#include "tests/disc/drive_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux::disc;
using namespace yux::platform;
using yux::disc::test::EmulatedDriveFixture;
using yux::test::TempDir;

namespace {

std::string Hex(const std::vector<uint8_t>& v, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n && i < v.size(); ++i) {
    std::snprintf(b, sizeof b, "%02x", v[i]);
    if (i) s += ' ';
    s += b;
  }
  return s;
}

}  // namespace

TEST(DeviceTable, AddressedDrivesFirstUnaddressedAfterWithHigherHostNumbers) {
  TempDir dir;
  auto make = [&](const char* name, bool addressed, int host) {
    auto d = std::make_shared<EmulatedMmcDrive>((dir / name).string(), kProfileCdR);
    d->addressable = addressed;
    d->address = {host, 0, 2, 0};
    return d;
  };
  auto& map = DriveLetterMap::Global();
  map.Clear();
  map.AssignEmulated('E', make("e.img", true, 1));
  map.AssignEmulated('F', make("f.img", false, 0));
  map.AssignEmulated('G', make("g.img", true, 3));
  map.AssignEmulated('H', make("h.img", false, 0));
  map.AssignFolder('I', dir.str());  // not an optical drive: not listed
  TSCSIDevice dev;
  ASSERT_TRUE(dev.InitializeDevices());
  ASSERT_EQ(dev.GetDeviceCount(), 4);
  EXPECT_EQ(dev.GetDeviceName(0), "1:2:0,E: YUXEMU   EMULATED WRITER  1.00 ");
  EXPECT_EQ(dev.GetDeviceName(1), "3:2:0,G: YUXEMU   EMULATED WRITER  1.00 ");
  EXPECT_EQ(dev.GetDeviceName(2), "4:0:0,F: YUXEMU   EMULATED WRITER  1.00");
  EXPECT_EQ(dev.GetDeviceName(3), "5:0:0,H: YUXEMU   EMULATED WRITER  1.00");
  EXPECT_EQ(dev.GetDeviceName(4), "");
  EXPECT_EQ(dev.GetDeviceName(-1), "");

  EXPECT_TRUE(dev.SelectDeviceByLetter('f'));
  EXPECT_EQ(dev.driveLetter, 'F');
  EXPECT_EQ(dev.hostAdapter, 4);
  EXPECT_STREQ(dev.vendor, "YUXEMU  ");
  EXPECT_STREQ(dev.product, "EMULATED WRITER ");
  EXPECT_FALSE(dev.SelectDeviceByLetter('Z'));
  EXPECT_FALSE(dev.SelectDevice(4));
  EXPECT_EQ(dev.hostAdapter, 255);
  EXPECT_EQ(dev.driveLetter, '?');
  EXPECT_FALSE(dev.TestUnitReady());  // nothing selected
  map.Clear();
}

// Only drives that open, answer INQUIRY through the pass-through and say
// they are optical are listed; every other one is refused with its reason.
TEST(DeviceTable, ListsOnlyOpticalDrivesAndNamesWhyEachOtherIsRefused) {
  TempDir dir;
  auto& map = DriveLetterMap::Global();
  map.Clear();
  auto disk = std::make_shared<EmulatedMmcDrive>((dir / "disk.img").string(), kProfileCdR);
  disk->peripheralType = 0;  // a disk behind a generic SCSI node
  map.AssignEmulated('E', disk);
  map.AssignOptical('F', "/dev/sr9");                            // absent
  map.AssignOptical('G', "/dev/null");                           // opens, refuses SG_IO
  auto writer = std::make_shared<EmulatedMmcDrive>((dir / "w.img").string(), kProfileCdR);
  map.AssignEmulated('H', writer);
  TSCSIDevice dev;
  ASSERT_TRUE(dev.InitializeDevices());
  ASSERT_EQ(dev.GetDeviceCount(), 1);
  EXPECT_EQ(dev.devices[0].letter, 'H');
  EXPECT_FALSE(dev.SelectDeviceByLetter('E'));
  const auto& refused = dev.RefusedDevices();
  ASSERT_EQ(refused.size(), 3u);
  EXPECT_EQ(refused[0].letter, 'E');
  EXPECT_EQ(refused[0].reason, "the emulated drive is not an optical drive (peripheral type 0).");
  EXPECT_EQ(refused[1].letter, 'F');
  EXPECT_EQ(refused[1].reason, "/dev/sr9 does not exist.");
  EXPECT_EQ(refused[2].letter, 'G');
  EXPECT_EQ(refused[2].reason,
            "/dev/null is not a SCSI device (SG_IO refused: " + std::string(std::strerror(ENOTTY)) + ").");
  EXPECT_EQ(dev.RefusalReason('f'), "/dev/sr9 does not exist.");
  EXPECT_EQ(dev.RefusalReason('H'), "");
  EXPECT_EQ(dev.RefusalReason('Q'), "no drive is assigned to the letter.");

  // A drive that fails INQUIRY is no writer either.
  writer->FailOpcode(0x12);
  EXPECT_FALSE(dev.InitializeDevices());
  ASSERT_EQ(dev.RefusedDevices().size(), 4u);
  EXPECT_EQ(dev.RefusedDevices()[3].reason.rfind("the emulated drive did not answer INQUIRY", 0), 0u)
      << dev.RefusedDevices()[3].reason;
  map.Clear();
}

// A device the user may not open names the group that owns it.
TEST(DeviceTable, NoPermissionNamesTheGroupToJoin) {
  TempDir dir;
  const std::string node = (dir / "sr0").string();
  yux::test::WriteFile(node, "");
  const struct group* g = ::getgrnam("daemon");
  if (!g || ::chown(node.c_str(), uid_t(-1), g->gr_gid) != 0) GTEST_SKIP() << "no group to hand it";
  EXPECT_EQ(OpenRefusal(node, EACCES),
            "no permission to open " + node + "; join the group \"daemon\" (and log in again).");
  EXPECT_EQ(OpenRefusal("/dev/sr7", ENOENT), "/dev/sr7 does not exist.");
  EXPECT_EQ(OpenRefusal("/dev/sr7", ENXIO), "/dev/sr7 does not exist.");
}

TEST(DeviceTable, NoDriveFailsAndEveryCommandFailsWithoutSending) {
  DriveLetterMap::Global().Clear();
  TSCSIDevice dev;
  dev.BurnProof = true;
  dev.TestWrite = true;
  EXPECT_FALSE(dev.InitializeDevices());
  EXPECT_TRUE(dev.BurnProof);   // kept across initialisation
  EXPECT_FALSE(dev.TestWrite);  // cleared
  EXPECT_EQ(dev.GetDeviceCount(), 0);
  EXPECT_FALSE(dev.SelectDevice(0));
  TSRB_ExecSCSICmd srb;
  srb.cdbLength = 6;
  EXPECT_EQ(dev.ExecuteCommand(srb), SS_ERR);
  EXPECT_FALSE(dev.InitializeDevices(true));  // no ASPI layer here
  EXPECT_EQ(dev.GetMediaType(), mtUnknown);
}

TEST(CommandBuilders, SendTheDocumentedCommandBlocks) {
  EmulatedDriveFixture f(kProfileCdRw);
  TSCSIDevice& d = f.dev;
  const uint8_t params[12] = {0, 0x82, 0, 8};
  const uint8_t perf[28] = {};
  std::vector<uint8_t> block(2048 * 2, 0);
  struct Case {
    const char* name;
    std::function<void()> call;
    std::string cdb;
    MmcDirection dir;
    size_t dataLength;
  } cases[] = {
      {"test unit ready", [&] { d.TestUnitReady(); }, "00 00 00 00 00 00", MmcDirection::None, 0},
      {"rewind", [&] { d.RewindUnit(); }, "01 00 00 00 00 00", MmcDirection::None, 0},
      {"format", [&] { d.FormatUnit(0x11, params, 12); }, "04 11 00 00 00 00", MmcDirection::Out, 12},
      {"inquiry", [&] { d.Inquiry(); }, "12 00 00 00 40 00", MmcDirection::In, 64},
      {"load immediate", [&] { d.LoadMedium(true); }, "1b 01 00 00 03 00", MmcDirection::None, 0},
      {"eject", [&] { d.EjectMedium(false); }, "1b 00 00 00 02 00", MmcDirection::None, 0},
      {"lock", [&] { d.LockMedium(true); }, "1e 00 00 00 01 00", MmcDirection::None, 0},
      {"unlock", [&] { d.LockMedium(false); }, "1e 00 00 00 00 00", MmcDirection::None, 0},
      {"format capacities", [&] { d.ReadFormatCapacities(); }, "23 00 00 00 00 00 00 00 7c 00", MmcDirection::In, 124},
      {"read", [&] { d.Read10(0x01020304, 2, block.data()); }, "28 00 01 02 03 04 00 00 02 00", MmcDirection::In, 4096},
      {"write", [&] { d.Write10(0x10, 2, block.data(), 4096); }, "2a 00 00 00 00 10 00 00 02 00", MmcDirection::Out, 4096},
      {"sync immediate", [&] { d.SynchronizeCache(true); }, "35 02 00 00 00 00 00 00 00 00", MmcDirection::None, 0},
      {"atip", [&] { d.ReadTocPmaAtip(true, 4, 0, 30); }, "43 02 04 00 00 00 00 00 1e 00", MmcDirection::In, 30},
      {"configuration", [&] { d.GetConfiguration(0x2F, 112); }, "46 02 00 2f 00 00 00 00 70 00", MmcDirection::In, 112},
      {"disc information", [&] { d.ReadDiscInformation(64); }, "51 00 00 00 00 00 00 00 40 00", MmcDirection::In, 64},
      {"track information", [&] { d.ReadTrackInformation(255); }, "52 01 00 00 00 ff 00 00 26 00", MmcDirection::In, 38},
      {"reserve", [&] { d.ReserveTrack(0x00012345); }, "53 00 00 00 00 00 01 23 45 00", MmcDirection::None, 0},
      {"mode sense defaults", [&] { d.ModeSense10(0x2A, true, 80); }, "5a 00 aa 00 00 00 00 00 50 00", MmcDirection::In, 80},
      {"close session", [&] { d.CloseTrackSession(true, true, 0); }, "5b 01 02 00 00 00 00 00 00 00", MmcDirection::None, 0},
      {"close track 3", [&] { d.CloseTrackSession(false, false, 3); }, "5b 00 01 00 00 03 00 00 00 00", MmcDirection::None, 0},
      {"buffer capacity", [&] { d.ReadBufferCapacity(); }, "5c 00 00 00 00 00 00 00 20 00", MmcDirection::In, 32},
      {"blank minimal", [&] { d.Blank(true); }, "a1 11 00 00 00 00 00 00 00 00 00 00", MmcDirection::None, 0},
      {"blank full", [&] { d.Blank(false); }, "a1 10 00 00 00 00 00 00 00 00 00 00", MmcDirection::None, 0},
      {"streaming", [&] { d.SetStreaming(perf); }, "b6 00 00 00 00 00 00 00 00 00 1c 00", MmcDirection::Out, 28},
      {"speed maximum", [&] { d.SetCDSpeed(0, 0); }, "bb 01 ff ff ff ff 00 00 00 00 00 00", MmcDirection::None, 0},
      {"speed 1385/2770", [&] { d.SetCDSpeed(1385, 2770); }, "bb 01 05 69 0a d2 00 00 00 00 00 00", MmcDirection::None, 0},
      {"dvd structure", [&] { d.SendDVDStructure(0x30, params, 12); }, "bf 00 00 00 00 00 00 30 00 0c 00 00", MmcDirection::Out, 12},
  };
  for (auto& c : cases) {
    f.drive->ClearLog();
    c.call();
    auto e = f.Last();
    const size_t n = (c.cdb.size() + 1) / 3;
    EXPECT_EQ(Hex(e.cdb, n), c.cdb) << c.name;
    EXPECT_EQ(e.cdb.size(), n) << c.name;
    EXPECT_EQ(int(e.direction), int(c.dir)) << c.name;
    if (c.dir == MmcDirection::Out) {
      EXPECT_EQ(e.data.size(), c.dataLength) << c.name;
    }
  }
}

TEST(MediaQueries, AnswerPerProfile) {
  struct Case {
    uint16_t profile;
    int media;
    bool erasable, writable;
    int sessions;
    uint32_t capacity, freeBlocks;
  } cases[] = {
      {kProfileCdR, mtCDR, false, true, 0, 359849, 359849},
      {kProfileCdRw, mtCDRW, true, true, 0, 359849, 359849},
      {kProfileDvdR, mtDVDR, false, true, 0, 2295104, 2295104},
      {kProfileDvdRwSequential, mtDVDRWSequential, true, true, 0, 2295104, 2295104},
      {kProfileDvdRwRestricted, mtDVDRWRestricted, true, true, 1, 2295104, 0},
      {kProfileDvdPlusRw, mtDVDPlusRW, true, true, 1, 2295104, 2295104},
      {kProfileBdRe, mtBDRE, true, true, 1, 12219392, 12219392},
      {kProfileDvdPlusR, mtDVDPlusR, false, true, 0, 2295104, 2295104},
  };
  for (auto& c : cases) {
    EmulatedDriveFixture f(c.profile);
    SCOPED_TRACE(c.profile);
    EXPECT_EQ(f.dev.GetMediaType(), c.media);
    EXPECT_EQ(f.dev.IsDiscErasable(), c.erasable);
    EXPECT_EQ(f.dev.IsDiscWritable(), c.writable);
    EXPECT_EQ(f.dev.GetSessionCount(), c.sessions);
    EXPECT_EQ(f.dev.GetCapacityBlocks(), c.capacity);
    EXPECT_EQ(f.dev.GetFreeBlocks(), c.freeBlocks);
  }
}

TEST(MediaQueries, RecordedSessionsChangeCountsAndSpace) {
  EmulatedDriveFixture f(kProfileCdR);
  f.drive->SetRecordedSessions({1000, 2000});
  EXPECT_EQ(f.dev.GetSessionCount(), 2);
  EXPECT_EQ(f.dev.GetLastTrack(), 3);  // the blank track after two sessions
  EXPECT_TRUE(f.dev.IsDiscWritable());
  const uint32_t nextStart = 1000 + 11400 + 2000 + 6900;
  EXPECT_EQ(f.dev.GetFreeBlocks(), 359849 - nextStart);
  f.drive->SetRecordedSessions({1000}, true);
  EXPECT_EQ(f.dev.GetSessionCount(), 1);
  EXPECT_FALSE(f.dev.IsDiscWritable());
  EXPECT_EQ(f.dev.GetFreeBlocks(), 0u);
  EXPECT_EQ(f.dev.GetCapacityBlocks(), 1000u);

  // DVD+RW: free space is the track less the volume already on the disc.
  EmulatedDriveFixture p(kProfileDvdPlusRw, 100000);
  std::vector<uint8_t> pvd(2048, 0);
  pvd[0] = 1;
  std::memcpy(&pvd[1], "CD001", 5);
  PutLe32(&pvd[80], 4000);
  p.drive->WriteBlocks(16, pvd);
  EXPECT_EQ(p.dev.GetISOVolumeSize(), 4000u);
  EXPECT_EQ(p.dev.GetFreeBlocks(), 96000u);
}

TEST(MediaQueries, MediaTypeFallsBackToAtipThenDiscInformation) {
  struct Case {
    uint16_t profile;
    bool failToc;
    int want;
  } cases[] = {
      {kProfileCdR, false, mtCDR},
      {kProfileCdRw, false, mtCDRW},
      {kProfileCdRw, true, mtCDRW},  // disc information's erasable bit
      {kProfileCdR, true, mtCDR},
  };
  for (auto& c : cases) {
    EmulatedDriveFixture f(c.profile);
    f.drive->FailOpcode(0x46);
    if (c.failToc) f.drive->FailOpcode(0x43);
    EXPECT_EQ(f.dev.GetMediaType(), c.want) << c.profile << " " << c.failToc;
  }
  EmulatedDriveFixture f(kProfileDvdR);
  f.drive->FailOpcode(0x46);
  f.drive->FailOpcode(0x51);
  EXPECT_EQ(f.dev.GetMediaType(), mtCDROM);  // only TEST UNIT READY answers
  f.drive->RemoveMedium();
  EXPECT_EQ(f.dev.GetMediaType(), mtUnknown);
}

TEST(Capabilities, FlagsFollowPageAndFeatures) {
  EmulatedDriveFixture f(kProfileDvdPlusRw);
  struct Case { int index; bool want; } cases[] = {
      {1, true}, {2, true}, {3, true}, {4, true}, {5, true}, {6, true}, {7, true}, {8, true},
      {9, false}, {12, true}, {14, true}, {21, true}, {22, true}, {23, true}, {24, true},
      {25, true}, {26, true}, {27, true}, {28, true}, {29, false}, {31, true}, {32, true},
      {41, true}, {42, true}, {43, false}, {0, false}, {99, false},
  };
  for (auto& c : cases) EXPECT_EQ(f.dev.DeviceCapability(c.index), c.want) << c.index;
  EXPECT_TRUE(f.dev.IsRecorder());
  EXPECT_EQ(f.dev.GetMaxWriteSpeed(), 7056u);
  EXPECT_EQ(f.dev.GetMaxReadSpeed(), 8467u);
  f.dev.SetCDSpeed(0, 2770);
  EXPECT_EQ(f.dev.GetCurrentWriteSpeed(), 2770u);

  // A read-only drive without DVD+ features; buffer-underrun protection
  // then comes only from page 30h.
  TempDir dir;
  auto ro = std::make_shared<EmulatedMmcDrive>((dir / "ro.img").string(), kProfileDvdRom);
  ro->capabilitiesPage[3] = 0;
  ro->capabilitiesPage[4] = 0;
  ro->features = {{0x0040, 0}};
  ro->hasPage30 = true;
  DriveLetterMap::Global().Clear();
  DriveLetterMap::Global().AssignEmulated('E', ro);
  TSCSIDevice dev;
  ASSERT_TRUE(dev.InitializeDevices());
  ASSERT_TRUE(dev.SelectDevice(0));
  EXPECT_FALSE(dev.IsRecorder());
  EXPECT_FALSE(dev.DeviceCapability(21));
  EXPECT_FALSE(dev.DeviceCapability(6));
  EXPECT_FALSE(dev.DeviceCapability(8));
  EXPECT_TRUE(dev.DeviceCapability(12));
  EXPECT_TRUE(dev.DeviceCapability(42));

  // Without a medium the current profile is 0 and every feature but the
  // double-layer one counts as present.
  ro->features = {};
  ro->RemoveMedium();
  ASSERT_TRUE(dev.SelectDevice(0));
  EXPECT_TRUE(dev.DeviceCapability(6));
  EXPECT_TRUE(dev.DeviceCapability(9));
  EXPECT_FALSE(dev.DeviceCapability(8));
  EXPECT_FALSE(dev.DeviceCapability(26));  // no descriptor, no write bit
  DriveLetterMap::Global().Clear();
}

TEST(WriteParameters, PageBytesPerMediumAndFlags) {
  struct Case {
    uint16_t profile;
    bool leaveOpen, testWrite, burnProof;
    // page bytes 2, 3, 5, packet size, audio pause
    uint8_t b2, b3, b5;
    uint32_t packet;
  } cases[] = {
      {kProfileCdR, true, false, false, 0x01, 0xC4, 0, 0},
      {kProfileCdR, false, false, true, 0x41, 0x04, 0, 0},
      {kProfileCdRw, false, true, false, 0x11, 0xC4, 0, 0},  // test write keeps 11b
      {kProfileDvdR, false, false, false, 0x20, 0xE5, 16, 16},
      {kProfileDvdRwSequential, false, false, true, 0x60, 0xC5, 16, 16},
      {kProfileDvdRwRestricted, true, false, false, 0x20, 0xC5, 16, 16},
      {kProfileDvdPlusRw, true, false, true, 0x22, 0xC4, 16, 0},
      {kProfileDvdPlusR, true, false, false, 0x22, 0xE4, 16, 16},
      {kProfileDvdPlusR, false, false, false, 0x22, 0x04, 0, 0},
      {kProfileDvdPlusRDl, true, false, true, 0x22, 0xC4, 0, 0},
      {kProfileBdRe, false, false, true, 0x41, 0x04, 0, 0},
  };
  for (auto& c : cases) {
    EmulatedDriveFixture f(c.profile);
    SCOPED_TRACE(std::to_string(c.profile) + (c.leaveOpen ? " open" : " closed"));
    f.dev.TestWrite = c.testWrite;
    f.dev.BurnProof = c.burnProof;
    ASSERT_TRUE(f.dev.SetWriteParameters(c.leaveOpen));
    auto e = f.Last();
    ASSERT_EQ(e.Opcode(), 0x55);
    ASSERT_EQ(e.cdb[1], 0x10);
    ASSERT_EQ(GetBe16(&e.cdb[7]), 8u + 52u);  // header + drive's page length + 2
    ASSERT_EQ(e.data.size(), 60u);
    const uint8_t* p = e.data.data() + 8;
    EXPECT_EQ(p[0], 0x05);
    EXPECT_EQ(p[1], 0x32);
    EXPECT_EQ(p[2], c.b2);
    EXPECT_EQ(p[3], c.b3);
    EXPECT_EQ(p[4], 0x08);
    EXPECT_EQ(p[5], c.b5);
    EXPECT_EQ(GetBe32(p + 10), c.packet);
    EXPECT_EQ(GetBe16(p + 14), 150u);
  }
}

TEST(Executor, KeepsSenseLastErrorAndBusy) {
  EmulatedDriveFixture f(kProfileDvdPlusRw, 1000);
  f.drive->InjectMediumError(20);
  std::vector<uint8_t> b(2048);
  EXPECT_FALSE(f.dev.Read10(20, 1, b.data()));
  EXPECT_EQ(f.dev.sense[2] & 0x0F, 3);
  EXPECT_EQ(f.dev.lastError, 0x1100u);
  EXPECT_FALSE(f.dev.busy);
  f.drive->SetBusy(1);
  EXPECT_FALSE(f.dev.TestUnitReady());
  EXPECT_TRUE(f.dev.busy);
  EXPECT_EQ(f.dev.lastError, 0x1100u);  // a command without sense keeps it
  EXPECT_TRUE(f.dev.TestUnitReady());
  EXPECT_FALSE(f.dev.busy);
}

TEST(Executor, DebugLogHasAFormattedLinePerCommand) {
  TempDir dir;
  auto drive = std::make_shared<EmulatedMmcDrive>((dir / "d.img").string(), kProfileCdR);
  DriveLetterMap::Global().Clear();
  DriveLetterMap::Global().AssignEmulated('E', drive);
  TSCSIDevice dev;
  const auto log = (dir / "debug.log").string();
  ASSERT_TRUE(dev.InitializeDevices(false, {}, log));
  ASSERT_TRUE(dev.SelectDevice(0));
  dev.SetCDSpeed(0, 0);
  dev.Close();
  const std::string text = yux::test::ReadFile(log);
  EXPECT_EQ(text.rfind("GetLCDBVersion\r\n", 0), 0u);
  std::regex line(
      "\\d\\d:\\d\\d:\\d\\d\\d SET CD SPEED \\(bb\\) \\{00:0c\\} - 0:0:0 <01> \\[00000\\] "
      "01 ff ff ff ff 00 00 00 00 00 00 00 00 00 00 \\| 00:00, 0\r\n");
  EXPECT_TRUE(std::regex_search(text, line)) << text;
  DriveLetterMap::Global().Clear();
}

TEST(Statistics, SpeedFromBytesAndTicksAndARingOf64Samples) {
  EmulatedDriveFixture f(kProfileDvdPlusRw, 100000);
  uint32_t tick = 0xFFFFFF00u;  // across the 32-bit wrap
  f.dev.TickCount = [&] { return tick += 50; };
  uint64_t perf = 0;
  f.dev.PerfCounter = [&] { return ++perf; };
  f.dev.ResetStatistics();
  std::vector<uint8_t> b(32 * 2048);
  for (int i = 0; i < 70; ++i) ASSERT_TRUE(f.dev.Write10(uint32_t(i) * 32, 32, b.data(), uint32_t(b.size())));
  // 70 x 64 KB in 70 x 50 ms = 1280 KB/s
  EXPECT_EQ(f.dev.writeStats.commands, 70u);
  EXPECT_EQ(f.dev.writeStats.totalMs, 3500u);
  EXPECT_EQ(f.dev.writeStats.speed, 1280u);
  EXPECT_EQ(f.dev.sampleIndex, 70 - 64);
  EXPECT_EQ(f.dev.samples[5].ticks, 70u);
  EXPECT_EQ(f.dev.samples[5].bytes, 65536u);
  f.dev.ResetStatistics();
  EXPECT_EQ(f.dev.sampleIndex, 0);
  EXPECT_EQ(f.dev.writeStats.totalBytes, 0u);
}
