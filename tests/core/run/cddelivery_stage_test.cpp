// The disc delivery stage on its own, over the emulated drive behind E:,
// for the situations a disc can be in: a CD-R with data and room, a full
// CD-RW that may be erased, a blank CD-RW, an image larger than the disc,
// and a CD-R too full that cannot be erased.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/run/cddelivery.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "disc/lcdbpro.h"
#include "platform/driveletters.h"
#include "platform/messagebox.h"
#include "platform/messages.h"
#include "platform/mmc_emulated.h"
#include "tests/core/run/unanswered_box.h"
#include "tests/core/settings_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class DiscStage : public test::SettingsFolderTest {
 protected:
  void SetUp() override {
    SettingsFolderTest::SetUp();
    fs::create_directories(dir / "run");
    CdDeliveryTuning() = CdTuning{5, 40, 5, 5, 5, 60000};
    // Only the stage's own text, without stamp and preset prefix.
    log.keep = [](const std::string& line) {
      auto pos = line.find("CD - ");
      return pos == std::string::npos ? line : line.substr(pos);
    };
    preset.cdr = "E";
    preset.cdb = 4;
    preset.cne = true;
    preset.cdv = true;
  }
  void TearDown() override {
    burner.reset();
    platform::DriveLetterMap::Global().Clear();
    CdDeliveryTuning() = CdTuning{};
    SettingsFolderTest::TearDown();
  }
  void Insert(uint16_t profile, uint32_t capacity = 0) {
    drive = std::make_shared<platform::EmulatedMmcDrive>((dir / "e.img").string(), profile, capacity);
    platform::DriveLetterMap::Global().Clear();
    platform::DriveLetterMap::Global().AssignEmulated('E', drive);
    burner = std::make_unique<disc::TLCDBurnerPro>(&owner);
    burner->Context().notReadyPollMs = 5;
    burner->InitializeDevices(false);
    ConnectDiscEvents(*burner);
  }

  // A run-folder file of `size` bytes that do not compress.
  std::string File(const std::string& name, size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(rng());
    test::WriteFile(dir / "run" / name, bytes);
    return name;
  }
  CdResult Deliver(const std::vector<std::string>& names) {
    lines.clear();
    deliveries.Start(names);
    deliveries.Expect(DeliveryKind::Cd);
    CdJob job;
    job.presetName = "Daily";
    job.preset = &preset;
    job.runFolder = (dir / "run").string();
    job.produced = names;
    job.deliveries = &deliveries;
    job.burner = burner.get();
    return DeliverToDisc(job);
  }
  bool Logged(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), "CD - " + line) != lines.end();
  }
  std::string All() const { return log.All(); }
  std::string ImageBytes() const { return test::ReadFile(dir / "e.img"); }

  static std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  int owner = 0;
  std::shared_ptr<platform::EmulatedMmcDrive> drive;
  std::unique_ptr<disc::TLCDBurnerPro> burner;
  std::vector<std::string>& lines = log.lines;
  RunDeliveries deliveries;
};

TEST_F(DiscStage, CdrWithDataAndRoomLeftGetsASecondSession) {
  Insert(platform::kProfileCdR);
  ASSERT_EQ(Deliver({File("monday.rar", 400000, 1)}), CdResult::Ended);
  ASSERT_TRUE(Logged("Burn complete. Status: OK.")) << All();

  ASSERT_EQ(Deliver({File("tuesday.rar", 300000, 2)}), CdResult::Ended);
  ASSERT_EQ(lines.size(), 7u) << All();
  EXPECT_EQ(lines[0], "CD - Started.");
  EXPECT_EQ(lines[1].rfind("CD - Medium info: 702.8M total, ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "CD - Cannot erase, the CD is not rewritable.");
  EXPECT_EQ(lines[3], "CD - Burning at 40x.");
  EXPECT_EQ(lines[4], "CD - Burn complete. Status: OK.");
  EXPECT_EQ(lines[5], "CD - Verifying ...");
  EXPECT_EQ(lines[6], "CD - Verifying done, all files are OK.");
  EXPECT_TRUE(deliveries.Complete("tuesday.rar"));
  EXPECT_EQ(burner->GetSessionCount(), 2);
  bool carried = false;
  for (int i = 0; i < burner->GetFileCount(); ++i)
    carried |= burner->GetFileName(i) == u"monday.rar";
  EXPECT_TRUE(carried) << "the new session keeps the old file";
  const auto h = ReadPresetList("Daily", ".hst");
  ASSERT_TRUE(h && h->size() == 2u);
  EXPECT_NE(h->at(0).find("\t1-CD\tE:\\tuesday.rar"), std::string::npos) << h->at(0);
}

// A split archive over earlier sets of the same name: the new session
// carries the old session's files, but not the volumes of the earlier
// sets, the longer one's last volumes nor those numbered in another width.
TEST_F(DiscStage, TheNewSessionLeavesOutTheVolumesOfEarlierSets) {
  Insert(platform::kProfileCdR);
  std::vector<std::string> five;
  for (int i = 1; i <= 5; ++i) five.push_back(File("a.part" + std::to_string(i) + ".rar", 30000, unsigned(i)));
  ASSERT_EQ(Deliver(Plus(five, {File("other.part4.rar", 1000, 9), File("a.part01.rar", 1000, 7),
                                File("a.part11.rar", 1000, 8)})),
            CdResult::Ended);
  ASSERT_TRUE(Logged("Burn complete. Status: OK.")) << All();

  const std::vector<std::string> three = {File("a.part1.rar", 20000, 11), File("a.part2.rar", 20000, 12),
                                          File("a.part3.rar", 20000, 13)};
  ASSERT_EQ(Deliver(three), CdResult::Ended);
  for (const char* name : {"a.part01.rar", "a.part11.rar", "a.part4.rar", "a.part5.rar"})
    EXPECT_TRUE(Logged(std::string(name) +
                       " is left out of the new session: a volume of an earlier set of the same name."))
        << name << "\n" << All();
  EXPECT_TRUE(Logged("Verifying done, all files are OK.")) << All();
  EXPECT_TRUE(deliveries.AllComplete());
  // The disc's last session, read back.
  burner->ClearFiles();
  burner->ImportSession(0, "\\");
  std::vector<std::u16string> names = burner->ImportedFileNames("\\");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a.part1.rar", u"a.part2.rar", u"a.part3.rar", u"other.part4.rar"}));
}

TEST_F(DiscStage, FullCdrwIsErasedWhenAllowed) {
  // Room for one session only: the lead-out after it uses up the rest.
  Insert(platform::kProfileCdRw, 11900);
  preset.cef = true;
  ASSERT_EQ(Deliver({File("old.rar", 400000, 1)}), CdResult::Ended);
  ASSERT_TRUE(Logged("Burn complete. Status: OK.")) << All();
  ASSERT_LT(burner->GetFreeBlocks(), 150u);

  ASSERT_EQ(Deliver({File("new.rar", 300000, 2)}), CdResult::Ended);
  for (const char* line : {"There isn't enough free space on the CD, so it's time to erase it.",
                           "Erasing the disc.", "Erase complete. Status: OK.",
                           "Burn complete. Status: OK.", "Verifying done, all files are OK."})
    EXPECT_TRUE(Logged(line)) << line << "\n" << All();
  EXPECT_EQ(burner->GetFileCount(), 1);
  EXPECT_EQ(burner->GetFileName(0), u"new.rar");
  EXPECT_EQ(burner->GetSessionCount(), 1);
  EXPECT_TRUE(deliveries.Complete("new.rar"));
}

TEST_F(DiscStage, BlankCdrwNeedsNoErase) {
  Insert(platform::kProfileCdRw);
  preset.cer = true;
  ASSERT_EQ(Deliver({File("a.rar", 100000, 1)}), CdResult::Ended);
  EXPECT_TRUE(Logged("No need to erase this CD, it is empty.")) << All();
  EXPECT_FALSE(Logged("Erasing the disc."));
  EXPECT_TRUE(Logged("Burn complete. Status: OK.")) << All();
}

TEST_F(DiscStage, ImageLargerThanTheDiscIsSkippedWithoutErase) {
  Insert(platform::kProfileCdRw, 12000);
  preset.cer = preset.cef = true;
  drive->ClearLog();
  ASSERT_EQ(Deliver({File("huge.rar", 12000 * 2048, 1)}), CdResult::Ended);
  EXPECT_EQ(lines.back(),
            "CD - The size of the archive exceeds the capacity of the CD. Skipping the CD process. [!]")
      << All();
  for (auto& e : drive->Log()) {
    EXPECT_NE(e.Opcode(), 0xA1) << "no erase is tried";
    EXPECT_NE(e.Opcode(), 0x2A) << "nothing is written";
  }
  EXPECT_FALSE(deliveries.ReachedAny("huge.rar"));
}

// A CD-R short of room cannot be erased, whatever the preset allows:
// nothing is written past its end.
TEST_F(DiscStage, CdrShortOfRoomIsLeftAlone) {
  Insert(platform::kProfileCdR, 11900);
  preset.cef = true;
  ASSERT_EQ(Deliver({File("first.rar", 400000, 1)}), CdResult::Ended);
  ASSERT_TRUE(Logged("Burn complete. Status: OK.")) << All();
  const std::string before = ImageBytes();
  drive->ClearLog();

  ASSERT_EQ(Deliver({File("second.rar", 300000, 2)}), CdResult::Ended);
  EXPECT_EQ(lines.back(), "CD - Not enough free space on the CD to burn files. [!]") << All();
  EXPECT_FALSE(Logged("Erasing the disc."));
  for (auto& e : drive->Log()) EXPECT_NE(e.Opcode(), 0x2A) << "nothing is written";
  EXPECT_EQ(ImageBytes(), before);
  EXPECT_FALSE(deliveries.ReachedAny("second.rar"));
  EXPECT_FALSE(drive->Locked());
}

TEST_F(DiscStage, NoFilesAndAbortWhileWaitingForTheDisc) {
  Insert(platform::kProfileCdR);
  EXPECT_EQ(Deliver({}), CdResult::NoFiles);
  EXPECT_EQ(lines, std::vector<std::string>{"CD - No files to process. [!]"});

  drive->RemoveMedium();
  AbortRequested = true;
  EXPECT_EQ(Deliver({File("a.rar", 1000, 1)}), CdResult::Aborted) << All();
  AbortRequested = false;
}

// The "insert a CD" box while nobody is there to press OK: the end of the
// session (which aborts the run) closes it, and the stage ends aborted.
TEST_F(DiscStage, InsertCdBoxClosesWhenTheRunIsAborted) {
  Insert(platform::kProfileCdR);
  preset.edc = true;
  platform::SetMessageBoxService(std::make_shared<platform::QtMessageBoxService>());
  test::UnansweredBox box;
  const CdResult result = Deliver({File("a.rar", 1000, 1)});
  box.Stop();
  platform::SetMessageBoxService(nullptr);
  AbortRequested = false;
  EXPECT_EQ(result, CdResult::Aborted) << All();
  EXPECT_EQ(box.shown, "Please insert a CD.");
  EXPECT_FALSE(box.clicked);
  EXPECT_FALSE(deliveries.ReachedAny("a.rar"));
}

// A disc that does not come back after the erase: the bounded wait ends
// the stage with the "no writable CD" line; nothing is written and the
// tray is unlocked.
TEST_F(DiscStage, NotReadyAfterTheEraseEndsTheStage) {
  Insert(platform::kProfileCdRw);
  preset.cer = true;
  ASSERT_EQ(Deliver({File("old.rar", 100000, 1)}), CdResult::Ended);
  auto connected = burner->OnEraseDone;
  burner->OnEraseDone = [&, connected](disc::TLCDBurnerPro* s, uint8_t id, bool failed) {
    connected(s, id, failed);
    drive->RemoveMedium();
  };
  ASSERT_EQ(Deliver({File("new.rar", 100000, 2)}), CdResult::Ended);
  ASSERT_GE(lines.size(), 2u) << All();
  EXPECT_TRUE(Logged("Erase complete. Status: OK.")) << All();
  EXPECT_EQ(lines.back(), "CD - There is no writable CD in the drive. Operation canceled. [!]") << All();
  EXPECT_FALSE(Logged("Burn complete. Status: OK."));
  EXPECT_FALSE(drive->Locked());
  EXPECT_FALSE(deliveries.Complete("new.rar"));
}

// A done event that never arrives cannot hold the run: once the component
// is no longer busy the wait ends, and the unconfirmed write counts as
// failed.
TEST_F(DiscStage, ALostWriteDoneEventEndsTheWait) {
  Insert(platform::kProfileCdR);
  burner->OnWriteDone = [](disc::TLCDBurnerPro*, uint8_t, bool) {};
  ASSERT_EQ(Deliver({File("a.rar", 100000, 1)}), CdResult::Ended);
  EXPECT_TRUE(Logged("Burn complete. Status: Error [!]")) << All();
  EXPECT_FALSE(Logged("Verifying ..."));
  EXPECT_FALSE(drive->Locked());
  EXPECT_FALSE(deliveries.Complete("a.rar"));
}

}  // namespace

// A drive another program holds for itself: the write is refused at once,
// the log says why, and the file counts as not burned.
TEST_F(DiscStage, DriveHeldByAnotherProgramIsNamedAndNothingCounts) {
  Insert(platform::kProfileCdRw);
  ASSERT_TRUE(drive->ClaimExclusive());
  const std::string name = File("h.rar", 100000, 3);
  ASSERT_EQ(Deliver({name}), CdResult::Ended);
  drive->ReleaseExclusive();
  EXPECT_TRUE(Logged("Burn complete. Status: Error [!]")) << All();
  const bool named = std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("is in use by another program") != std::string::npos && l.find("[!]") != std::string::npos;
  });
  EXPECT_TRUE(named) << All();
  EXPECT_FALSE(deliveries.ReachedAny(name));
  EXPECT_FALSE(drive->HeldExclusively());
}

namespace {

// Files the image cannot take are named with their reason, stay out of
// the history and are not delivered; the others are written, verified and
// delivered. When nothing is left to write, nothing is written.
TEST_F(DiscStage, FilesTheImageRefusesAreNamedAndNotDelivered) {
  Insert(platform::kProfileCdR);
  const std::string longName = std::string(214, 'x') + ".rar";  // 218 units
  File(longName, 1000, 2);
  test::WriteFile(dir / "run" / "huge.rar", "");
  fs::resize_file(dir / "run" / "huge.rar", uint64_t(1) << 32);  // sparse
  const std::string good = File("good.rar", 100000, 1);
  auto refusal = [&](const std::string& name, const std::string& reason) {
    const std::string head = "CD - " + name + " cannot go on the disc: ";
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.rfind(head, 0) == 0 && l.find(reason) != std::string::npos &&
             l.size() > 4 && l.substr(l.size() - 4) == " [!]";
    });
  };

  ASSERT_EQ(Deliver({longName, "huge.rar", good}), CdResult::Ended);
  EXPECT_TRUE(refusal(longName, "218 characters")) << All();
  EXPECT_TRUE(refusal("huge.rar", "4 GB")) << All();
  EXPECT_TRUE(Logged("Burn complete. Status: OK.")) << All();
  EXPECT_TRUE(Logged("Verifying done, all files are OK.")) << All();
  EXPECT_TRUE(deliveries.Complete(good));
  EXPECT_FALSE(deliveries.ReachedAny(longName));
  EXPECT_FALSE(deliveries.ReachedAny("huge.rar"));
  const auto h = ReadPresetList("Daily", ".hst");
  ASSERT_TRUE(h && h->size() == 1u);
  EXPECT_NE(h->at(0).find("\t1-CD\tE:\\good.rar"), std::string::npos) << h->at(0);

  // Only refused files: no session of old files only.
  drive->ClearLog();
  preset.cdv = false;
  ASSERT_EQ(Deliver({longName, "huge.rar"}), CdResult::Ended);
  EXPECT_TRUE(refusal(longName, "218 characters")) << All();
  EXPECT_EQ(lines.back(), "CD - None of the files can go on the disc; nothing was written. [!]")
      << All();
  for (auto& e : drive->Log()) EXPECT_NE(e.Opcode(), 0x2A) << "nothing is written";
  EXPECT_FALSE(deliveries.ReachedAny(longName));
  EXPECT_FALSE(deliveries.ReachedAny("huge.rar"));
  EXPECT_EQ(burner->GetSessionCount(), 1);
}

// A verify that does not start, or ends without its result, has shown
// nothing: an error line, and no file counts as delivered.
TEST_F(DiscStage, AVerifyWithoutItsResultDeliversNothing) {
  struct Row {
    const char* name;
    std::function<void()> arrange;  // before the stage runs
    std::string line;
  };
  // The component is still busy with another verify when the stage asks
  // for its own: that verify's source is a pipe nobody writes yet.
  const fs::path pipe = dir / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  bool othersRunning = false;
  const Row rows[] = {
      {"busy with another verify",
       [&] {
         auto connected = burner->OnWriteDone;
         burner->OnWriteDone = [&, connected](disc::TLCDBurnerPro* s, uint8_t id, bool failed) {
           connected(s, id, failed);
           auto& entry = *burner->Context().tree.files.front();
           entry.sourcePath = pipe.string();
           entry.md5.clear();
           burner->OnVerifyDone = nullptr;
           othersRunning = burner->VerifyDisc(true, true);
         };
       },
       "CD - The verify could not start; no file counts as written to the disc. [!]"},
      {"result lost",
       [&] { burner->OnVerifyDone = [](disc::TLCDBurnerPro*, uint8_t, int, bool) {}; },
       "CD - The verify ended without its result; no file counts as written to the disc. [!]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Insert(platform::kProfileCdR);
    row.arrange();
    const std::string name = File("a.rar", 100000, 1);
    ASSERT_EQ(Deliver({name}), CdResult::Ended);
    EXPECT_TRUE(Logged("Burn complete. Status: OK.")) << All();
    EXPECT_TRUE(Logged(row.line.substr(5))) << All();
    EXPECT_FALSE(Logged("Verifying done, all files are OK.")) << All();
    EXPECT_FALSE(deliveries.ReachedAny(name));
    if (othersRunning) {
      // Lets the other verify end.
      int fd = -1;
      for (int i = 0; i < 500 && fd < 0; ++i) {
        fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      ASSERT_GE(fd, 0);
      ::close(fd);
      platform::WaitPumping([&] { return !burner->Busy(); }, 60000, 10);
      othersRunning = false;
    }
  }
}

}  // namespace
