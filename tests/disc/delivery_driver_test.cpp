// A driver that calls the disc component the way the backup core's CD/DVD
// delivery does (same calls, same order, same decisions, same log texts),
// run against the emulated drive for the four situations the delivery has
// to handle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "tests/disc/burner_fixture.h"

using namespace yux::disc;
using namespace yux::platform;
using yux::disc::test::BurnerFixture;

namespace {

struct PresetDisc {
  char drive = 'E';
  uint32_t cacheMb = 8;
  bool neverEject = true;
  bool alwaysErase = false;   // "cer"
  bool eraseWhenFull = false; // "cef"
  bool verify = true;         // "cdv"
};

class Delivery {
 public:
  explicit Delivery(TLCDBurnerPro& b) : burner(b) {
    burner.OnEraseDone = [this](TLCDBurnerPro*, uint8_t, bool failed) {
      busy = false;
      success = !failed;
    };
    burner.OnWriteDone = [this](TLCDBurnerPro*, uint8_t, bool failed) {
      busy = false;
      success = !failed;
    };
    burner.OnVerifyDone = [this](TLCDBurnerPro*, uint8_t, int file, bool failed) {
      if (file == -1) {
        busy = false;
        Log(failed ? "CD - Verifying done, AT LEAST ONE FILE FAILED [!]"
                   : "CD - Verifying done, all files are OK.");
      } else if (failed) {
        std::u16string n = burner.GetFileName(file);
        Log("CD - VERIFY FAILED FOR " + std::string(n.begin(), n.end()) + ".");
      }
    };
  }

  std::vector<std::string> log, history;

  void Run(const std::vector<std::string>& files, const PresetDisc& p) {
    if (files.empty()) return Log("CD - No files to process. [!]");
    Log("CD - Started.");
    burner.SelectDeviceByLetter(p.drive);
    burner.SetCacheSize(p.cacheMb);
    Reload(p);
    if (!WaitReady()) return Log("CD - There is no writable CD in the drive. Operation canceled. [!]");
    MediumInfo();
    if (!burner.IsDiscWritable() && !burner.IsDiscErasable())
      return Log("CD - There is no writable CD in the drive. Operation canceled. [!]");
    Build(files, true);
    if (burner.GetImageBlocks() >= burner.GetCapacityBlocks())
      return Log("CD - The size of the archive exceeds the capacity of the CD. Skipping the CD process. [!]");
    const uint32_t freeBlocks = burner.GetFreeBlocks();
    if (!p.eraseWhenFull && !p.alwaysErase && freeBlocks < burner.GetImageBlocks())
      return Log("CD - Not enough free space on the CD to burn files. [!]");
    const bool spaceErase = p.eraseWhenFull && freeBlocks < burner.GetImageBlocks();
    if (burner.IsDiscErasable()) {
      if (p.alwaysErase || spaceErase) {
        if (burner.GetSessionCount() > 0) {
          if (spaceErase) Log("CD - There isn't enough free space on the CD, so it's time to erase it.");
          Log("CD - Erasing the disc.");
          burner.ClearFiles();
          busy = true;
          burner.LockMedium();
          burner.EraseDisc(true);
          WaitBusy();
          const bool erased = success;
          Log(erased ? "CD - Erase complete. Status: OK." : "CD - Erase error. [!]");
          burner.UnlockMedium();
          if (!erased) return Log("CD - Burning process was skipped due to erase error. [!]");
          Reload(p);
          WaitReady();
          Build(files, false);
          MediumInfo();
        } else {
          Log("CD - No need to erase this CD, it is empty.");
        }
      }
    } else {
      Log("CD - Cannot erase, the CD is not rewritable.");
    }
    burner.LockMedium();
    const int m = burner.GetMediaType();
    const uint32_t kbs = burner.GetCurrentWriteSpeed();
    char speed[64];
    if ((m >= 1 && m <= 3) || (m >= 20 && m <= 22))
      std::snprintf(speed, sizeof speed, "%ldx.", std::lround(kbs / 176.0));
    else if (m >= 4 && m <= 12)
      std::snprintf(speed, sizeof speed, "%ldx.", std::lround(kbs / 1385.0));
    else
      std::snprintf(speed, sizeof speed, "%uKb/s.", kbs);
    Log(std::string("CD - Burning at ") + speed);
    burner.WriteDisc();
    busy = true;
    // The real loop also refreshes a progress bar from these every second.
    while (busy && WaitPumping([&] { return !busy; }, 1000, 5) == false) {
      EXPECT_LE(burner.GetWrittenBlocks(), burner.GetImageBlocks());
    }
    burner.UnlockMedium();
    Reload(p);
    WaitReady();
    if (!success) return Log("CD - Burn complete. Status: Error [!]");
    Log("CD - Burn complete. Status: OK.");
    for (auto& f : files)
      history.insert(history.begin(), std::string("1-CD\t") + p.drive + ":\\" +
                                          std::filesystem::path(f).filename().string());
    if (p.verify) {
      busy = true;
      Log("CD - Verifying ...");
      burner.VerifyDisc(true, true);
      WaitBusy();
    }
  }

 private:
  void Log(const std::string& s) { log.push_back(s); }
  void Reload(const PresetDisc& p) {
    if (p.neverEject) return;
    burner.EjectMedium(false);
    burner.LoadMedium(false);
  }
  bool WaitReady() {
    for (int i = 0; i < 40; ++i) {
      if (burner.IsUnitReady()) return true;
      ProcessMessagesFor(5);
    }
    return false;
  }
  void WaitBusy() { WaitPumping([&] { return !busy; }, 30000, 5); }
  static std::string Mb(uint32_t blocks) {
    char t[32];
    std::snprintf(t, sizeof t, "%.1fM", blocks / 512.0);
    return t;
  }
  void MediumInfo() {
    Log("CD - Medium info: " + Mb(burner.GetCapacityBlocks()) + " total, " +
        Mb(burner.GetFreeBlocks()) + " free.");
  }
  void Build(const std::vector<std::string>& files, bool import) {
    burner.ClearFiles();
    for (auto& f : files) burner.InsertFile("\\", f);
    if (import) burner.ImportSession(0, "\\");
    burner.PrepareImage();
  }

  TLCDBurnerPro& burner;
  bool busy = false, success = false;
};

bool Has(const std::vector<std::string>& log, const std::string& line) {
  return std::find(log.begin(), log.end(), line) != log.end();
}

std::string Joined(const std::vector<std::string>& log) {
  std::string s;
  for (auto& l : log) s += l + "\n";
  return s;
}

}  // namespace

TEST(DeliveryDriver, CdrWithDataAndRoomLeft) {
  BurnerFixture f(kProfileCdR);
  f.burner->SetReplaceFile(true);
  f.burner->SetVolumeID("YUX-BACKUP");
  PresetDisc p;
  Delivery first(*f.burner);
  first.Run({f.Source("monday.rar", 400000, 1)}, p);
  ASSERT_TRUE(Has(first.log, "CD - Burn complete. Status: OK.")) << Joined(first.log);

  Delivery d(*f.burner);
  const auto tuesday = f.Source("tuesday.rar", 300000, 2);
  d.Run({tuesday}, p);
  const std::vector<std::string> expected = {
      "CD - Started.",
      d.log.size() > 1 ? d.log[1] : "",
      "CD - Cannot erase, the CD is not rewritable.",
      "CD - Burning at 40x.",
      "CD - Burn complete. Status: OK.",
      "CD - Verifying ...",
      "CD - Verifying done, all files are OK.",
  };
  EXPECT_EQ(d.log, expected) << Joined(d.log);
  EXPECT_EQ(d.log[1].rfind("CD - Medium info: 702.8M total, ", 0), 0u) << d.log[1];
  ASSERT_EQ(d.history.size(), 1u);
  EXPECT_EQ(d.history[0], "1-CD\tE:\\tuesday.rar");
  EXPECT_EQ(f.burner->GetSessionCount(), 2);
  // The new session carries the old file.
  EXPECT_FALSE(f.burner->GetFileName(0).empty());
  bool carried = false;
  for (int i = 0; i < f.burner->GetFileCount(); ++i)
    carried |= f.burner->GetFileName(i) == u"MONDAY.RAR" || f.burner->GetFileName(i) == u"monday.rar";
  EXPECT_TRUE(carried);
}

TEST(DeliveryDriver, FullCdrwIsErasedWhenAllowed) {
  // Room for one session only: the lead-out after it uses up the rest.
  BurnerFixture f(kProfileCdRw, 11900);
  PresetDisc p;
  p.eraseWhenFull = true;
  Delivery first(*f.burner);
  first.Run({f.Source("old.rar", 400000, 1)}, p);
  ASSERT_TRUE(Has(first.log, "CD - Burn complete. Status: OK.")) << Joined(first.log);
  ASSERT_LT(f.burner->GetFreeBlocks(), 150u);  // any image needs more

  Delivery d(*f.burner);
  d.Run({f.Source("new.rar", 300000, 2)}, p);
  for (const char* line : {"CD - There isn't enough free space on the CD, so it's time to erase it.",
                           "CD - Erasing the disc.", "CD - Erase complete. Status: OK.",
                           "CD - Burn complete. Status: OK.", "CD - Verifying done, all files are OK."})
    EXPECT_TRUE(Has(d.log, line)) << line << "\n" << Joined(d.log);
  // The new image was built without the old session.
  EXPECT_EQ(f.burner->GetFileCount(), 1);
  EXPECT_EQ(f.burner->GetFileName(0), u"new.rar");
  EXPECT_EQ(f.burner->GetSessionCount(), 1);
  EXPECT_EQ(f.burner->Context().tree.layout.sessionStart, 0u);
}

TEST(DeliveryDriver, BlankCdrwNeedsNoErase) {
  BurnerFixture f(kProfileCdRw);
  PresetDisc p;
  p.alwaysErase = true;
  Delivery d(*f.burner);
  d.Run({f.Source("a.rar", 100000, 1)}, p);
  EXPECT_TRUE(Has(d.log, "CD - No need to erase this CD, it is empty.")) << Joined(d.log);
  EXPECT_FALSE(Has(d.log, "CD - Erasing the disc."));
  EXPECT_TRUE(Has(d.log, "CD - Burn complete. Status: OK.")) << Joined(d.log);
}

TEST(DeliveryDriver, ImageLargerThanTheDiscIsSkipped) {
  BurnerFixture f(kProfileCdRw, 12000);
  PresetDisc p;
  p.alwaysErase = true;
  p.eraseWhenFull = true;
  Delivery d(*f.burner);
  f.drive->ClearLog();
  d.Run({f.Source("huge.rar", 12000 * 2048, 1)}, p);
  EXPECT_EQ(d.log.back(),
            "CD - The size of the archive exceeds the capacity of the CD. Skipping the CD process. [!]")
      << Joined(d.log);
  for (auto& e : f.drive->Log()) {
    EXPECT_NE(e.Opcode(), 0xA1) << "no erase is tried";
    EXPECT_NE(e.Opcode(), 0x2A) << "nothing is written";
  }
}
