// Every settings and list file is replaced whole or not at all: a save that
// runs out of room (here a file-size limit stands for a full disk) reports
// failure and leaves the previous file exactly as it was.
#include "core/store/savefile.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/schedule.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

// Files may grow no larger than `bytes` while it lasts.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    oldSignal_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old_;
    small.rlim_cur = bytes;
    ok = setrlimit(RLIMIT_FSIZE, &small) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldSignal_);
  }
  bool ok = false;

 private:
  rlimit old_{};
  void (*oldSignal_)(int) = nullptr;
};

class SaveWhole : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = {SettingsFolder, PresetsFolder};
    SettingsFolder = dir.str();
    PresetsFolder = (dir / "presets").string();
    fs::create_directories(PresetsFolder);
    SetLogHook([](const std::string&) {});
  }
  void TearDown() override {
    SetLogHook(nullptr);
    Schedule.Clear();
    Options = topt{};
    SettingsFolder = saved[0];
    PresetsFolder = saved[1];
  }
  test::TempDir dir;
  std::vector<std::string> saved;
};

}  // namespace

TEST_F(SaveWhole, AFailedSaveLeavesThePreviousFile) {
  // Small enough to sit in a write buffer, where a short write shows only
  // when the buffer is flushed.
  const std::string big(2000, 'x');
  struct Case {
    const char* what;
    std::function<std::string()> path;
    // Saves the small (false) or the big (true) version; true when saved.
    std::function<bool(bool)> save;
  } cases[] = {
      {"options", [] { return OptionsFilePath(); },
       [&](bool large) {
         topt o;
         o.okp = large ? big : "k";
         return SaveOptions(o);
       }},
      {"preset", [] { return PresetFilePath("P"); },
       [&](bool large) {
         tarcopt p;
         SetPresetDefaults(p);
         p.nam = large ? big : "n";
         return SavePreset("P", p);
       }},
      {"history", [] { return PresetFilePath("P", ".hst"); },
       [&](bool large) { return WritePresetList("P", ".hst", {large ? big : "line"}); }},
      {"schedule", [] { return ScheduleFilePath(); },
       [&](bool large) {
         Schedule.Clear();
         Schedule.Add({"2030.01.01 10:00:00 ", large ? big : "P", "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111111"});
         return SaveSchedule();
       }},
      {"any file", [this] { return (dir / "plain.txt").string(); },
       [&](bool large) { return SaveFileWhole((dir / "plain.txt").string(), large ? big : "small"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.save(false));
    const std::string before = test::ReadFile(c.path());
    ASSERT_FALSE(before.empty());
    const fs::path folder = fs::path(c.path()).parent_path();
    auto names = [&folder] {
      std::set<std::string> out;
      for (const auto& e : fs::directory_iterator(folder)) out.insert(e.path().filename().string());
      return out;
    };
    const auto namesBefore = names();
    bool saved = true;
    {
      FileSizeLimit limit(before.size() + 100);
      ASSERT_TRUE(limit.ok);
      saved = c.save(true);
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(test::ReadFile(c.path()), before);
    EXPECT_EQ(names(), namesBefore) << "a temporary file was left behind";
  }
}
