// Three sessions on every rewritable medium, each read back afterwards at
// its own start by two outside readers, and the grown volume at block 0 by
// a third where the medium rewrites it: every file of every session must
// come back with its bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "tests/disc/burner_fixture.h"

using namespace yux::disc;
using namespace yux::platform;
using yux::disc::test::BurnerFixture;
using yux::disc::test::Md5Text;
using yux::disc::test::Md5TextOfFile;
using yux::test::RunProgram;

namespace {

using Files = std::map<std::string, std::string>;  // name on the disc -> source

// Every file of `files` as isoinfo reads it from the session at `start`,
// and as xorriso extracts that session.
void ExpectSession(BurnerFixture& f, uint32_t start, const Files& files, const std::string& tag) {
  SCOPED_TRACE(tag + " at block " + std::to_string(start));
  const std::string img = f.ImagePath();
  const std::string t = std::to_string(start);
  for (auto& [name, src] : files) {
    auto r = RunProgram({"isoinfo", "-i", img, "-T", t, "-J", "-x", "/" + name});
    EXPECT_EQ(r.exitCode, 0) << name << r.err;
    EXPECT_EQ(Md5Text(r.out), Md5TextOfFile(src)) << "isoinfo: " << name;
  }
  const auto out = f.dir / ("xorriso-" + tag);
  auto x = RunProgram({"xorriso", "-osirrox", "on", "-load", "sbsector", t, "-indev", img,
                       "-extract", "/", out.string()});
  ASSERT_EQ(x.exitCode, 0) << x.err;
  size_t count = 0;
  for (auto& entry : std::filesystem::directory_iterator(out)) {
    (void)entry;
    ++count;
  }
  EXPECT_EQ(count, files.size()) << "xorriso lists files that should not be there";
  for (auto& [name, src] : files) {
    const auto p = out / std::filesystem::u8path(name);
    ASSERT_TRUE(std::filesystem::exists(p)) << "xorriso: " << name;
    EXPECT_EQ(Md5TextOfFile(p), Md5TextOfFile(src)) << "xorriso: " << name;
  }
}

}  // namespace

TEST(MultiSession, EveryRewritableMediumKeepsEverySession) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  YUX_REQUIRE_PROGRAM("xorriso");
  YUX_REQUIRE_PROGRAM("7z");
  struct Case {
    const char* what;
    uint16_t profile;
    bool blockZero;  // the descriptors at block 0 describe the grown volume
  };
  const Case cases[] = {
      {"CD-RW", kProfileCdRw, false},
      {"DVD-RW", kProfileDvdRwSequential, true},
      {"DVD-RW restricted overwrite", kProfileDvdRwRestricted, true},
      {"DVD+RW", kProfileDvdPlusRw, true},
      {"BD-RE", kProfileBdRe, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BurnerFixture f(c.profile, 60000);
    auto& b = *f.burner;
    b.SetVolumeID("YUX-BACKUP");
    b.SetReplaceFile(true);
    b.SetCacheSize(2);
    Files onDisc;
    std::vector<std::pair<uint32_t, Files>> sessions;
    for (unsigned k = 1; k <= 3; ++k) {
      SCOPED_TRACE("session " + std::to_string(k));
      const std::string n = std::to_string(k);
      Files fresh = {
          {"s" + n + "-archive.rar", f.Source("s" + n + "-archive.rar", 150000 + k * 77, k)},
          {"s" + n + "-notes.txt", f.Source("s" + n + "-notes.txt", 3000 + k, 10 + k)}};
      // The last session also brings a new copy of a file of the first.
      if (k == 3) fresh["s1-notes.txt"] = f.Source("s1-notes.txt", 5000, 40);
      b.ClearFiles();
      for (auto& [name, src] : fresh) {
        ASSERT_NE(b.InsertFile("\\", src), nullptr) << name;
      }
      if (k > 1) {
        EXPECT_EQ(b.ImportSession(0, "\\"), c.blockZero ? 1 : int(k - 1));
      }
      b.PrepareImage();
      ASSERT_TRUE(f.Write());
      const auto v = f.Verify();
      EXPECT_FALSE(v.failed);
      for (auto& [name, src] : fresh) onDisc[name] = src;
      const uint32_t start = b.Context().tree.layout.sessionStart;
      const auto faults = yux::disc::test::IsoOrderFaults(
          [&](uint32_t lba, uint32_t count) { return f.drive->ReadBlocks(lba, count); }, start);
      EXPECT_TRUE(faults.empty()) << faults.front();
      if (!sessions.empty()) {
        EXPECT_GT(start, sessions.back().first);
      }
      sessions.emplace_back(start, onDisc);
    }
    for (size_t i = 0; i < sessions.size(); ++i) {
      // Where block 0 is rewritten, the first session's start shows the
      // grown volume.
      const bool grown = c.blockZero && sessions[i].first == 0;
      ExpectSession(f, sessions[i].first, grown ? onDisc : sessions[i].second,
                    "session" + std::to_string(i + 1));
    }
    if (c.blockZero) {
      const auto out = f.dir / "7z";
      auto z = RunProgram({"7z", "x", "-tiso", "-y", "-o" + out.string(), f.ImagePath()});
      ASSERT_EQ(z.exitCode, 0) << z.out << z.err;
      for (auto& [name, src] : onDisc) {
        const auto p = out / std::filesystem::u8path(name);
        ASSERT_TRUE(std::filesystem::exists(p)) << "7z: " << name;
        EXPECT_EQ(Md5TextOfFile(p), Md5TextOfFile(src)) << "7z: " << name;
      }
    }
  }
}
