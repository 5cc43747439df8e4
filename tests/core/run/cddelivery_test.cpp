// The disc delivery inside a real run: the stand-in archiver, the run
// folder, and the burner component over an emulated drive behind E:.
#include "core/run/cddelivery.h"

#include <QProgressBar>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/run/presetrun.h"
#include "core/services/startup.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "core/window/mainform.h"
#include "disc/lcdbpro.h"
#include "platform/driveletters.h"
#include "platform/messages.h"
#include "platform/mmc_emulated.h"
#include "tests/core/program_fixture.h"
#include "tests/core/settings_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class DiscRun : public test::SettingsFolderTest, public RunHooks {
 protected:
  void SetUp() override {
    SettingsFolderTest::SetUp();
    fs::create_directories(dir / "src");
    // Bytes that do not compress: the archive is as large as the source.
    std::mt19937 rng(7);
    std::string noise(3 << 20, '\0');
    for (auto& c : noise) c = static_cast<char>(rng());
    test::WriteFile(dir / "src" / "a.bin", noise);
    CdDeliveryTuning() = CdTuning{5, 40, 5, 5, 5, 60000};
    log.onLine = [this](const std::string& line) {
      if (line == "Abort requested.") busyAtAbortLine = burner->Busy();
      if (onLine) onLine(line);
    };
    SetRunHooks(this);
    rows.rows = {{"Daily", "", ""}};
    SetPresetListRows(&rows);
    preset.nam = "Daily";
    preset.dtf.clear();
    preset.vol = "None";
    preset.ctf = false;
    preset.cdw = true;
    preset.cdr = "E";
    preset.cdb = 4;
    preset.cne = true;
    preset.cdv = true;

    drive = std::make_shared<platform::EmulatedMmcDrive>((dir / "e.img").string(),
                                                         platform::kProfileCdR);
    platform::DriveLetterMap::Global().Clear();
    platform::DriveLetterMap::Global().AssignEmulated('E', drive);
    burner = std::make_unique<disc::TLCDBurnerPro>(&owner);
    burner->Context().notReadyPollMs = 5;
    burner->InitializeDevices(false);
    ConnectDiscEvents(*burner);
  }
  void TearDown() override {
    burner.reset();
    platform::DriveLetterMap::Global().Clear();
    SetPresetListRows(nullptr);
    SetRunHooks(nullptr);
    CdDeliveryTuning() = CdTuning{};
    SettingsFolderTest::TearDown();
  }

  // RunHooks.
  void ShowProgress(int pos) override {
    if (pos < 0) {
      barShown = false;
    } else {
      barShown = true;
      if (onProgress) onProgress(pos);
    }
  }
  disc::TLCDBurnerPro* Burner() override { return burner.get(); }

  RunOutcome Run() {
    EXPECT_TRUE(SavePresetWithSource("Daily"));
    lines.clear();
    return RunPreset("Daily");
  }
  bool Logged(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  bool LoggedPrefix(const std::string& prefix) const {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
  std::string All() const { return log.All(); }
  std::vector<std::string> History() {
    auto h = ReadPresetList("Daily", ".hst");
    return h ? *h : std::vector<std::string>{};
  }
  // The undelivered archives the run kept.
  std::vector<std::string> Kept() {
    std::vector<std::string> out;
    std::error_code ec;
    if (!fs::exists(KeptFolder(), ec)) return out;
    for (auto& e : fs::recursive_directory_iterator(KeptFolder(), ec))
      if (e.is_regular_file()) out.push_back(e.path().filename().string());
    return out;
  }

  TPresetRowList rows;
  int owner = 0;
  std::shared_ptr<platform::EmulatedMmcDrive> drive;
  std::unique_ptr<disc::TLCDBurnerPro> burner;
  // The log's lines without their time stamp.
  std::vector<std::string>& lines = log.lines;
  std::function<void(const std::string&)> onLine;
  std::function<void(int)> onProgress;
  bool barShown = false;
  bool busyAtAbortLine = true;
};

TEST_F(DiscRun, BurnsVerifiesAndRecordsEachFile) {
  ASSERT_EQ(Run(), RunOutcome::Done) << All();
  const std::vector<std::string> cd = [&] {
    std::vector<std::string> v;
    for (auto& l : lines)
      if (l.rfind("Daily: CD - ", 0) == 0) v.push_back(l.substr(7));
    return v;
  }();
  ASSERT_EQ(cd.size(), 7u) << All();
  EXPECT_EQ(cd[0], "CD - Started.");
  EXPECT_EQ(cd[1], "CD - Medium info: 702.8M total, 702.8M free.");
  EXPECT_EQ(cd[2], "CD - Cannot erase, the CD is not rewritable.");
  EXPECT_EQ(cd[3].rfind("CD - Burning at ", 0), 0u);
  EXPECT_EQ(cd[3].back(), '.');
  EXPECT_EQ(cd[4], "CD - Burn complete. Status: OK.");
  EXPECT_EQ(cd[5], "CD - Verifying ...");
  EXPECT_EQ(cd[6], "CD - Verifying done, all files are OK.");
  const auto h = History();
  ASSERT_EQ(h.size(), 1u);
  EXPECT_NE(h[0].find("\t1-CD\tE:\\Daily.rar"), std::string::npos) << h[0];
  EXPECT_FALSE(barShown);
  EXPECT_FALSE(drive->Locked());
  EXPECT_TRUE(Kept().empty());
  EXPECT_TRUE(fs::is_empty(dir / "temp"));
}

// The abort stops the write; the run folder goes only once the worker that
// reads it has ended, and the next run writes normally.
TEST_F(DiscRun, AbortDuringTheWriteThenANormalRun) {
  onProgress = [](int) { AbortRequested = true; };
  EXPECT_EQ(Run(), RunOutcome::Aborted) << All();
  EXPECT_TRUE(Logged("Aborted. [!]")) << All();
  EXPECT_FALSE(busyAtAbortLine);
  EXPECT_FALSE(Logged("Daily: CD - Burn complete. Status: OK."));
  EXPECT_FALSE(drive->Locked());
  EXPECT_FALSE(barShown);
  EXPECT_EQ(Kept(), std::vector<std::string>{"Daily.rar"});
  EXPECT_TRUE(History().empty());

  onProgress = nullptr;
  AbortRequested = false;
  ASSERT_EQ(Run(), RunOutcome::Done) << All();
  EXPECT_TRUE(Logged("Daily: CD - Verifying done, all files are OK.")) << All();
  EXPECT_EQ(History().size(), 1u);
}

// An aborted verify judges nothing: neither "all OK" nor a failed file;
// the unverified archive is kept.
TEST_F(DiscRun, AbortDuringTheVerify) {
  onLine = [](const std::string& l) {
    if (l == "Daily: CD - Verifying ...") AbortRequested = true;
  };
  EXPECT_EQ(Run(), RunOutcome::Aborted) << All();
  EXPECT_TRUE(Logged("Daily: CD - Burn complete. Status: OK.")) << All();
  EXPECT_FALSE(LoggedPrefix("Daily: CD - Verifying done")) << All();
  EXPECT_FALSE(LoggedPrefix("Daily: CD - VERIFY FAILED FOR")) << All();
  EXPECT_TRUE(Logged("Aborted. [!]")) << All();
  EXPECT_FALSE(busyAtAbortLine);
  EXPECT_EQ(History().size(), 1u);  // the burn itself succeeded
  EXPECT_EQ(Kept(), std::vector<std::string>{"Daily.rar"});
}

// A drive that never gets ready after the write: the wait ends within its
// bound, the burn stands, the verify is skipped with an error line.
TEST_F(DiscRun, NotReadyAfterTheWriteEndsWithinTheBound) {
  auto connected = burner->OnWriteDone;
  burner->OnWriteDone = [&, connected](disc::TLCDBurnerPro* s, uint8_t id, bool failed) {
    connected(s, id, failed);
    drive->RemoveMedium();
  };
  const auto start = std::chrono::steady_clock::now();
  // Unverified, the archive is kept as well.
  EXPECT_EQ(Run(), RunOutcome::Failed) << All();
  EXPECT_EQ(Kept(), std::vector<std::string>{"Daily.rar"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_TRUE(Logged("Daily: CD - Burn complete. Status: OK.")) << All();
  EXPECT_TRUE(Logged("Daily: CD - The drive did not get ready after the write; the files were "
                     "not verified. [!]"))
      << All();
  EXPECT_FALSE(Logged("Daily: CD - Verifying ..."));
  EXPECT_EQ(History().size(), 1u);
}

// A letter without a usable drive ends the stage at once with the letter
// and the reason, the same reason the program log gave at the listing;
// the archive is kept.
TEST_F(DiscRun, ALetterWithoutAUsableDriveEndsAtOnceWithItsReason) {
  struct Row {
    const char* name;
    std::function<void()> assign;
    std::string reason;
  };
  auto disk = std::make_shared<platform::EmulatedMmcDrive>((dir / "disk.img").string(),
                                                           platform::kProfileCdR);
  disk->peripheralType = 0;
  auto& map = platform::DriveLetterMap::Global();
  const Row rows[] = {
      {"absent device", [&] { map.AssignOptical('E', "/dev/sr9"); }, "/dev/sr9 does not exist."},
      {"no SCSI device", [&] { map.AssignOptical('E', "/dev/null"); },
       "/dev/null is not a SCSI device (SG_IO refused: " + std::string(std::strerror(ENOTTY)) + ")."},
      {"not optical", [&] { map.AssignEmulated('E', disk); },
       "the emulated drive is not an optical drive (peripheral type 0)."},
      {"nothing assigned", [&] { map.Remove('E'); }, "no drive is assigned to the letter."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    row.assign();
    burner->InitializeDevices(false);
    lines.clear();
    LogRefusedDrives(*burner);
    if (std::string(row.name) != "nothing assigned")
      EXPECT_EQ(lines, std::vector<std::string>{"Drive E: is not used: " + row.reason});
    else
      EXPECT_TRUE(lines.empty()) << All();

    std::chrono::steady_clock::time_point started, ended;
    onLine = [&](const std::string& l) {
      if (l == "Daily: CD - Started.") started = std::chrono::steady_clock::now();
      if (l == "Daily: CD - There is no writable CD in the drive. Operation canceled. [!]")
        ended = std::chrono::steady_clock::now();
    };
    EXPECT_EQ(Run(), RunOutcome::Failed) << All();
    onLine = nullptr;
    const std::vector<std::string> cd = [&] {
      std::vector<std::string> v;
      for (auto& l : lines)
        if (l.rfind("Daily: CD - ", 0) == 0) v.push_back(l);
      return v;
    }();
    EXPECT_EQ(cd, (std::vector<std::string>{
                      "Daily: CD - Started.",
                      "Daily: CD - Drive E: has no usable writer: " + row.reason + " [!]",
                      "Daily: CD - There is no writable CD in the drive. Operation canceled. [!]"}));
    ASSERT_NE(started, std::chrono::steady_clock::time_point{});
    ASSERT_NE(ended, std::chrono::steady_clock::time_point{});
    EXPECT_LT(ended - started, std::chrono::seconds(1));
    EXPECT_EQ(Kept(), std::vector<std::string>{"Daily.rar"});
    fs::remove_all(KeptFolder());
  }
}

// The main window during a write: the bar shows how far it got. The drive
// is slowed once the write started so that the bar is seen moving.
class DiscRunWindow : public test::ProgramTest {
 protected:
  void SetUp() override {
    fs::create_directories(settings / "presets");
    SetUpProgram(std::make_shared<platform::ScriptedMessageBoxService>(), &hooks);
  }
  test::FakeHooks hooks;
};

TEST_F(DiscRunWindow, ScreenshotDuringAWriteShowsTheBar) {
  SettingsFolder = settings.str();
  PresetsFolder = (settings / "presets").string();
  fs::create_directories(settings / "src");
  std::mt19937 rng(3);
  std::string noise(2 << 20, '\0');
  for (auto& c : noise) c = static_cast<char>(rng());
  test::WriteFile(settings / "src" / "a.bin", noise);
  tarcopt preset;
  SetPresetDefaults(preset);
  preset.nam = "Daily";
  preset.dtf.clear();
  preset.vol = "None";
  preset.cdw = true;
  preset.cdr = "E";
  preset.cdb = 4;
  preset.cne = true;
  ASSERT_TRUE(SavePreset("Daily", preset));
  ASSERT_TRUE(WritePresetList("Daily", ".inc", {(settings / "src").string()}));
  ASSERT_TRUE(WritePresetList("Daily", ".exc", {}));

  // Slow from the start, so that the write spans several turns of the
  // run's wait and the bar shows a value between 0 and 100; fast again once
  // that was seen.
  std::atomic<bool> slow{true};
  auto drive = std::make_shared<platform::EmulatedMmcDrive>((settings / "e.img").string(),
                                                            platform::kProfileCdR);
  // Every command waits a little while `slow` holds: a slow writer.
  drive->clock = [&slow] {
    if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(15));
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
  };
  platform::DriveLetterMap::Global().Clear();
  platform::DriveLetterMap::Global().AssignEmulated('E', drive);
  CdDeliveryTuning() = CdTuning{5, 40, 5, 50, 5, 60000};
  topt options;
  options.pwi = test::BuiltProgram("winrar").string();
  SaveOptions(options);
  {
    TForm1 form;
    ASSERT_EQ(form.FormCreate({}), std::nullopt);
    form.LoadPresetList();
    ASSERT_EQ(WinRarPath, options.pwi);
    form.resize(720, 480);
    form.show();

    const fs::path screens = test::BuildDir() / "screens";
    fs::create_directories(screens);
    const std::string file = (screens / "main_window_disc_write.png").string();
    int barAt = -1;
    // Every value the shown bar takes is looked at, so none passes unseen.
    QObject::connect(form.pb, &QProgressBar::valueChanged, [&](int value) {
      if (!form.pb->isVisible() || barAt >= 0) return;
      if (value > 0 && value < 100 && form.Burner()->Busy()) {
        barAt = value;
        EXPECT_TRUE(form.grab().save(QString::fromStdString(file)));
        slow = false;
      }
    });
    EXPECT_EQ(RunPreset("Daily"), RunOutcome::Done);
    slow = false;
    EXPECT_GT(barAt, 0);
    ASSERT_TRUE(fs::exists(file));
    EXPECT_GT(fs::file_size(file), 1000u);
    EXPECT_FALSE(form.pb->isVisible());
    const auto h = ReadPresetList("Daily", ".hst");
    ASSERT_TRUE(h && h->size() == 1u);
    form.hide();
  }
  platform::DriveLetterMap::Global().Clear();
  CdDeliveryTuning() = CdTuning{};
  WinRarPath.clear();
}

}  // namespace
