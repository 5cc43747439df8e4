#pragma once
// The burner component over an emulated drive mapped to letter E, with an
// owner so that its events arrive on the test's thread through the message
// window, and helpers that wait for them while pumping messages.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "disc/lcdbpro.h"
#include "platform/driveletters.h"
#include "platform/messages.h"
#include "platform/mmc_emulated.h"
#include "tests/disc/imagefile.h"
#include "tests/support/testsupport.h"

namespace yux::disc::test {

struct VerifyResult {
  std::vector<std::pair<int, bool>> files;  // index, failed
  bool done = false;
  bool failed = false;
};

struct BurnerFixture {
  yux::test::TempDir dir;
  std::shared_ptr<platform::EmulatedMmcDrive> drive;
  int owner = 0;  // any object: the component only needs to know it has one
  std::unique_ptr<TLCDBurnerPro> burner;
  bool writeDone = false, writeFailed = false, eraseDone = false, eraseFailed = false;
  VerifyResult verify;

  explicit BurnerFixture(uint16_t profile, uint32_t capacity = 0, bool withOwner = true) {
    drive = std::make_shared<platform::EmulatedMmcDrive>(ImagePath(), profile, capacity);
    auto& map = platform::DriveLetterMap::Global();
    map.Clear();
    map.AssignEmulated('E', drive);
    burner = std::make_unique<TLCDBurnerPro>(withOwner ? &owner : nullptr);
    burner->Context().notReadyPollMs = 5;
    burner->InitializeDevices(false);
    burner->SelectDeviceByLetter('E');
    burner->OnWriteDone = [this](TLCDBurnerPro*, uint8_t, bool failed) {
      writeFailed = failed;
      writeDone = true;
    };
    burner->OnEraseDone = [this](TLCDBurnerPro*, uint8_t, bool failed) {
      eraseFailed = failed;
      eraseDone = true;
    };
    burner->OnVerifyDone = [this](TLCDBurnerPro*, uint8_t, int id, bool failed) {
      if (id == -1) {
        verify.failed = failed;
        verify.done = true;
      } else {
        verify.files.emplace_back(id, failed);
      }
    };
  }
  ~BurnerFixture() {
    burner.reset();
    platform::DriveLetterMap::Global().Clear();
  }

  std::string ImagePath() const { return (dir / "disc.img").string(); }

  // A source file of `size` varied bytes under a folder of its own.
  std::string Source(const std::string& name, size_t size, unsigned seed) {
    auto folder = dir / ("src" + std::to_string(seed));
    std::filesystem::create_directories(folder);
    const std::string p = (folder / name).string();
    MakeFile(p, size, seed);
    return p;
  }

  static bool Wait(const bool& flag, unsigned ms = 20000) {
    return platform::WaitPumping([&] { return flag; }, ms, 5);
  }

  // Starts the write and waits for write done; the failure flag.
  bool Write() {
    writeDone = false;
    const bool started = burner->WriteDisc();
    EXPECT_TRUE(Wait(writeDone)) << "no write done";
    return started && !writeFailed;
  }
  bool Erase(bool quick) {
    eraseDone = false;
    EXPECT_TRUE(burner->EraseDisc(quick));
    EXPECT_TRUE(Wait(eraseDone)) << "no erase done";
    return !eraseFailed;
  }
  VerifyResult Verify() {
    verify = {};
    EXPECT_TRUE(burner->VerifyDisc(true, true));
    EXPECT_TRUE(Wait(verify.done)) << "no final verify result";
    return verify;
  }
};

}  // namespace yux::disc::test
