// SG_IO pass-through (through an injected ioctl: no drive is needed),
// drive discovery from a sysfs/procfs fixture, and the drive-letter map.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/driveletters.h"
#include "platform/mmc_emulated.h"
#include "platform/mmc_sgio.h"
#include "tests/support/testsupport.h"

using namespace yux::platform;
using yux::test::TempDir;

TEST(SgIo, BuildsTheRequestAndReadsStatusAndSense) {
  sg_io_hdr_t seen{};
  std::vector<uint8_t> cdbSeen;
  int calls = 0;
  int nextStatus = 0;
  auto fake = [&](int, unsigned long req, void* arg) {
    ++calls;
    EXPECT_EQ(req, static_cast<unsigned long>(SG_IO));
    auto* h = static_cast<sg_io_hdr_t*>(arg);
    seen = *h;
    cdbSeen.assign(h->cmdp, h->cmdp + h->cmd_len);
    if (h->dxfer_direction == SG_DXFER_FROM_DEV) std::memset(h->dxferp, 0xAB, h->dxfer_len);
    h->status = uint8_t(nextStatus);
    if (nextStatus == 2) {
      auto* s = static_cast<uint8_t*>(h->sbp);
      s[0] = 0x70; s[2] = 0x02; s[12] = 0x3A; s[13] = 0x01;
      h->sb_len_wr = 18;
    }
    h->resid = 4;
    return 0;
  };
  SgIoTransport t(-1, "/dev/sr9", fake);
  uint8_t cdb[10] = {0x51, 0, 0, 0, 0, 0, 0, 0, 64, 0};
  uint8_t data[64] = {};
  MmcRequest rq{cdb, 10, MmcDirection::In, data, 64, 12000000};
  auto r = t.Execute(rq);
  EXPECT_TRUE(r.Good());
  EXPECT_EQ(seen.interface_id, 'S');
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(seen.cmd_len, 10);
  EXPECT_EQ(seen.dxfer_len, 64u);
  EXPECT_EQ(seen.timeout, 12000000u);
  EXPECT_EQ(seen.mx_sb_len, 32);
  EXPECT_EQ(cdbSeen[0], 0x51);
  EXPECT_EQ(data[10], 0xAB);
  EXPECT_EQ(r.transferred, 60u);

  nextStatus = 2;
  uint8_t out[2048] = {};
  MmcRequest wr{cdb, 10, MmcDirection::Out, out, 2048, 1000};
  r = t.Execute(wr);
  EXPECT_FALSE(r.Good());
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(r.SenseKey(), 2);
  EXPECT_EQ(r.Asc(), 0x3A);
  EXPECT_EQ(r.Ascq(), 0x01);

  MmcRequest none{cdb, 6, MmcDirection::In, nullptr, 0, 1000};
  t.Execute(none);
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_NONE);  // nothing to move

  SgIoTransport failing(-1, "/dev/sr9", [](int, unsigned long, void*) {
    errno = EIO;
    return -1;
  });
  r = failing.Execute(rq);
  EXPECT_FALSE(r.sent);
  EXPECT_EQ(r.systemError, EIO);
  EXPECT_EQ(calls, 3);
}

TEST(SgIo, OpenFailsWithTheSystemError) {
  int err = 0;
  EXPECT_EQ(SgIoTransport::Open("/nonexistent/sr0", err), nullptr);
  EXPECT_EQ(err, ENOENT);
}

// Writing and erasing open the drive with O_EXCL (reading and writing,
// never falling back to read-only) and keep that when they open it again;
// discovery and reading open it shared. A drive another program holds
// fails with the error that says so.
TEST(SgIo, ExclusiveOpenForWritingSharedOpenOtherwise) {
  std::vector<int> flags;
  bool held = true;
  auto open = [&](const char*, int f) {
    flags.push_back(f);
    if ((f & O_EXCL) && held) {
      errno = EBUSY;
      return -1;
    }
    if ((f & O_ACCMODE) == O_RDWR && !(f & O_EXCL)) {
      errno = EACCES;  // only read access for this user
      return -1;
    }
    return ::open("/dev/null", O_RDONLY);
  };
  int err = 0;
  EXPECT_EQ(SgIoTransport::Open("/dev/sr0", err, {}, true, open), nullptr);
  EXPECT_EQ(err, DriveHeldElsewhereError());
  ASSERT_EQ(flags.size(), 1u);
  EXPECT_EQ(flags[0] & (O_EXCL | O_ACCMODE), O_EXCL | O_RDWR);

  flags.clear();
  auto shared = SgIoTransport::Open("/dev/sr0", err, {}, false, open);
  ASSERT_NE(shared, nullptr);
  ASSERT_EQ(flags.size(), 2u);
  for (int f : flags) EXPECT_EQ(f & O_EXCL, 0);
  EXPECT_EQ(flags[1] & O_ACCMODE, O_RDONLY);

  held = false;
  flags.clear();
  auto own = SgIoTransport::Open("/dev/sr0", err, [](int, unsigned long, void*) { return 0; },
                                 true, open);
  ASSERT_NE(own, nullptr);
  own->Close();
  uint8_t cdb[6] = {};
  own->Execute(MmcRequest{cdb, 6, MmcDirection::None, nullptr, 0, 1000});
  ASSERT_EQ(flags.size(), 2u);
  EXPECT_NE(flags[1] & O_EXCL, 0) << "reopened shared";
}

TEST(SgIo, DiscoversDrivesFromSysAndProc) {
  TempDir root;
  namespace fs = std::filesystem;
  fs::create_directories(root / "sys/block/sr0");
  fs::create_directories(root / "sys/block/sr10");
  fs::create_directories(root / "sys/block/sda");
  fs::create_directories(root / "sys/devices/x/1:0:2:0");
  fs::create_symlink(root / "sys/devices/x/1:0:2:0", root / "sys/block/sr0/device");
  fs::create_directories(root / "proc/sys/dev/cdrom");
  yux::test::WriteFile(root / "proc/sys/dev/cdrom/info",
                       "CD-ROM information, Id: cdrom.c 3.20 2003/12/17\n\n"
                       "drive name:\t\tsr2\tsr0\n"
                       "drive speed:\t\t24\t24\n");
  auto drives = DiscoverOpticalDrives((root / "sys").string(), (root / "proc").string(), "/dev");
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].device, "/dev/sr0");
  EXPECT_TRUE(drives[0].hasAddress);
  EXPECT_EQ(drives[0].address.host, 1);
  EXPECT_EQ(drives[0].address.target, 2);
  EXPECT_EQ(drives[1].name, "sr2");
  EXPECT_FALSE(drives[1].hasAddress);
  EXPECT_EQ(drives[2].name, "sr10");
}

// Block devices keep their address link under block/, generic SCSI nodes
// only under class/scsi_generic/; a link to the node counts as the node.
TEST(SgIo, AddressOfBlockAndGenericNodes) {
  TempDir root;
  namespace fs = std::filesystem;
  fs::create_directories(root / "sys/block/sr0");
  fs::create_directories(root / "sys/class/scsi_generic/sg3");
  fs::create_directories(root / "sys/devices/x/1:0:2:0");
  fs::create_directories(root / "sys/devices/y/4:0:5:1");
  fs::create_symlink(root / "sys/devices/x/1:0:2:0", root / "sys/block/sr0/device");
  fs::create_symlink(root / "sys/devices/y/4:0:5:1", root / "sys/class/scsi_generic/sg3/device");
  fs::create_directories(root / "dev");
  yux::test::WriteFile(root / "dev/sg3", "");
  fs::create_symlink(root / "dev/sg3", root / "dev/writer");
  const std::string sys = (root / "sys").string();
  MmcAddress a;
  ASSERT_TRUE(DeviceAddress("/dev/sr0", a, sys));
  EXPECT_EQ(a.host, 1);
  EXPECT_EQ(a.target, 2);
  ASSERT_TRUE(DeviceAddress("/dev/sg3", a, sys));
  EXPECT_EQ(a.host, 4);
  EXPECT_EQ(a.target, 5);
  EXPECT_EQ(a.lun, 1);
  a = {};
  ASSERT_TRUE(DeviceAddress((root / "dev/writer").string(), a, sys));
  EXPECT_EQ(a.host, 4);
  EXPECT_FALSE(DeviceAddress("/dev/sg4", a, sys));
}

TEST(DriveLetters, MapLettersToDrivesAndFolders) {
  TempDir dir;
  DriveLetterMap map;
  EXPECT_FALSE(map.AssignFolder('1', "/tmp"));
  EXPECT_TRUE(map.AssignFolder('k', "/srv/backup/"));
  EXPECT_TRUE(map.AssignOptical('E', "/dev/sr0"));
  auto emu = std::make_shared<EmulatedMmcDrive>((dir / "e.img").string(), kProfileCdR);
  EXPECT_TRUE(map.AssignEmulated('F', emu));
  EXPECT_EQ(map.DriveType('K'), kDriveFixed);
  EXPECT_EQ(map.DriveType('e'), kDriveCdrom);
  EXPECT_EQ(map.DriveType('F'), kDriveCdrom);
  EXPECT_EQ(map.DriveType('Q'), kDriveNoRootDir);
  EXPECT_EQ(map.LetterOf("/dev/sr0"), 'E');
  EXPECT_EQ(map.LetterOf("/dev/sr1"), 0);
  EXPECT_EQ(map.ToLocalPath("K:\\2024\\a.rar"), "/srv/backup/2024/a.rar");
  EXPECT_EQ(map.ToLocalPath("k:\\"), "/srv/backup");
  EXPECT_EQ(map.ToLocalPath("E:\\a.rar"), "");   // an optical drive is no folder
  EXPECT_EQ(map.ToLocalPath("Q:\\a.rar"), "");   // unmapped
  EXPECT_EQ(map.ToLocalPath("/home/a.rar"), "/home/a.rar");
  int err = 0;
  auto t = map.OpenOptical('F', err);
  ASSERT_NE(t, nullptr);
  uint8_t cdb[6] = {0};
  EXPECT_TRUE(t->Execute(MmcRequest{cdb, 6, MmcDirection::None, nullptr, 0, 100}).Good());
  EXPECT_EQ(map.OpenOptical('K', err), nullptr);
  EXPECT_EQ(err, ENODEV);
  map.Remove('F');
  EXPECT_EQ(map.All().size(), 2u);
}

TEST(DriveLetters, LoadsAssignmentsFromText) {
  TempDir dir;
  DriveLetterMap map;
  const auto image = (dir / "emu.img").string();
  EXPECT_EQ(map.Load("E=/dev/sr1;F=emulated:dvd+rw:" + image + ";k=/srv/x;;Z;1=/tmp;"
                     "G=emulated:FLOPPY:/tmp/x;H=emulated:CD-R:"),
            3);
  DriveMapping m;
  ASSERT_TRUE(map.Find('F', m));
  ASSERT_EQ(m.kind, DriveKind::EmulatedOptical);
  EXPECT_EQ(m.emulated->Profile(), kProfileDvdPlusRw);
  EXPECT_TRUE(std::filesystem::exists(image));
  ASSERT_TRUE(map.Find('E', m));
  EXPECT_EQ(m.kind, DriveKind::Optical);
  EXPECT_EQ(map.ToLocalPath("K:\\a"), "/srv/x/a");
  EXPECT_FALSE(map.Find('G', m));
  EXPECT_FALSE(map.Find('H', m));
}
