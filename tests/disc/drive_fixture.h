#pragma once
// A device layer wired to emulated drives through the drive-letter map.
#include <memory>
#include <string>

#include "disc/scsilib.h"
#include "platform/driveletters.h"
#include "platform/mmc_emulated.h"
#include "tests/support/testsupport.h"

namespace yux::disc::test {

struct EmulatedDriveFixture {
  yux::test::TempDir dir;
  std::shared_ptr<platform::EmulatedMmcDrive> drive;
  TSCSIDevice dev;

  explicit EmulatedDriveFixture(uint16_t profile, uint32_t capacity = 0) {
    drive = std::make_shared<platform::EmulatedMmcDrive>((dir / "disc.img").string(), profile,
                                                         capacity);
    auto& map = platform::DriveLetterMap::Global();
    map.Clear();
    map.AssignEmulated('E', drive);
    dev.InitializeDevices();
    dev.SelectDevice(0);
    drive->ClearLog();
  }
  ~EmulatedDriveFixture() { platform::DriveLetterMap::Global().Clear(); }
  // The last command the drive received.
  platform::EmulatedLogEntry Last() const {
    auto log = drive->Log();
    return log.empty() ? platform::EmulatedLogEntry{} : log.back();
  }
};

}  // namespace yux::disc::test
