// Real yux processes burn their runs' archives onto an emulated drive that
// YUX_DRIVES puts behind E:, and outside readers check the disc image.
#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/store/presets.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

std::string Md5(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Md5)
      .toHex()
      .toStdString();
}

// Bytes that do not compress: the archive is as large as its source.
std::string Noise(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Start blocks of the sessions the emulated medium's state file records.
std::vector<uint32_t> SessionStarts(const fs::path& image) {
  std::istringstream in(test::ReadFile(image.string() + ".state"));
  std::vector<uint32_t> starts;
  std::string key;
  int lastSession = 0;
  while (in >> key) {
    if (key != "track") {
      std::string value;
      in >> value;
      continue;
    }
    uint32_t start, recorded, reserved;
    int session, closed;
    in >> start >> recorded >> reserved >> session >> closed;
    if (session != lastSession) starts.push_back(start);
    lastSession = session;
  }
  return starts;
}

// One world, one preset "Daily", one drive E: over an image.
class DiscWorld {
 public:
  explicit DiscWorld(const std::string& profile) : image(world.settings / "e.img") {
    fs::create_directories(source);
    world.UseSettingsFolder();
    drives = "E=emulated:" + profile + ":" + image.string();
  }

  // Writes the preset (archive `name`, its source `bytes` of noise) and
  // runs it in a yux that exits afterwards. Returns the log lines that run
  // wrote, without their time stamps.
  std::vector<std::string> Run(const std::string& name, size_t bytes,
                               const std::function<void(tarcopt&)>& configure = {}) {
    fs::remove_all(source);
    fs::create_directories(source);
    test::WriteFile(source / (name + ".bin"), Noise(bytes, seed++));
    test::WriteDailyPreset(world, source, dest, [&](tarcopt& p) {
      p.nam = name;
      p.cdw = true;
      p.cdr = "E";
      p.cdb = 4;
      p.cne = true;
      p.cdv = true;
      if (configure) configure(p);
    });
    const size_t from = world.Log().size();
    auto env = world.EnvMap();
    env["YUX_DRIVES"] = drives;
    const auto r = test::RunProgram(
        {test::BuiltProgram("yux").string(), "/hide", "Daily", "/exit"}, env, 180000);
    EXPECT_NE(r.exitCode, -1) << "yux did not end in time: " << r.err;
    std::vector<std::string> out;
    for (const auto& l : test::LogTexts(world.Log().substr(from))) out.push_back(l);
    return out;
  }
  // The disc's history lines, newest first, without their dates.
  std::vector<std::string> History() {
    std::vector<std::string> out;
    for (const auto& l : test::Lines(test::ReadFile(world.settings / "presets" / "Daily.hst"))) {
      const std::string rest = l.substr(l.find('\t') + 1);
      if (rest.rfind("1-CD\t", 0) == 0) out.push_back(rest);
    }
    return out;
  }
  std::string ImageMd5() const {
    return Md5(test::ReadFile(image)) + Md5(test::ReadFile(image.string() + ".state"));
  }

  test::YuxWorld world;
  fs::path source = world.settings / "source";
  fs::path dest = world.settings / "dest";
  fs::path image;
  std::string drives;
  unsigned seed = 1;
};

// The "CD - " lines of a run, without the preset name.
std::vector<std::string> CdLines(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.rfind("Daily: CD - ", 0) == 0) out.push_back(l.substr(7));
  return out;
}

bool Has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

std::string Print(const std::vector<std::string>& v) { return ::testing::PrintToString(v); }

// A blank CD-R, written by one yux and then by another: the second run adds
// a session that keeps the first run's archive.
TEST(DiscProcessRun, TwoRunsOfTwoProcessesWriteTwoSessionsOnACdR) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  YUX_REQUIRE_PROGRAM("xorriso");
  YUX_REQUIRE_PROGRAM("7z");
  DiscWorld w("CD-R/20000");
  const std::vector<std::string> names = {"Run1", "Run2"};
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    const auto cd = CdLines(w.Run(names[i], 700000 + i * 100000));
    ASSERT_EQ(cd.size(), 7u) << Print(cd) << w.world.Log();
    EXPECT_EQ(cd[0], "CD - Started.");
    EXPECT_EQ(cd[1].rfind("CD - Medium info: 39.1M total, ", 0), 0u) << cd[1];
    EXPECT_EQ(cd[2], "CD - Cannot erase, the CD is not rewritable.");
    EXPECT_EQ(cd[3].rfind("CD - Burning at ", 0), 0u) << cd[3];
    EXPECT_EQ(cd[3].substr(cd[3].size() - 2), "x.") << cd[3];
    EXPECT_EQ(cd[4], "CD - Burn complete. Status: OK.");
    EXPECT_EQ(cd[5], "CD - Verifying ...");
    EXPECT_EQ(cd[6], "CD - Verifying done, all files are OK.");
  }
  EXPECT_EQ(w.History(), (std::vector<std::string>{"1-CD\tE:\\Run2.rar", "1-CD\tE:\\Run1.rar"}));

  const auto starts = SessionStarts(w.image);
  ASSERT_EQ(starts.size(), 2u) << test::ReadFile(w.image.string() + ".state");
  ASSERT_GT(starts[1], 0u);
  const std::string second = std::to_string(starts[1]);
  const auto listing =
      test::RunProgram({"isoinfo", "-i", w.image.string(), "-J", "-l", "-T", second});
  ASSERT_EQ(listing.exitCode, 0) << listing.err;
  EXPECT_NE(listing.out.find("Run1.rar"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("Run2.rar"), std::string::npos) << listing.out;

  // Session 2 holds both runs' archives as the copy destination got them.
  const fs::path both = w.world.temp / "session2";
  const auto x = test::RunProgram({"xorriso", "-osirrox", "on", "-load", "sbsector", second,
                                   "-indev", w.image.string(), "-extract", "/", both.string()});
  ASSERT_EQ(x.exitCode, 0) << x.err;
  for (const char* n : {"Run1.rar", "Run2.rar"}) {
    const std::string copied = test::ReadFile(w.dest / n);
    ASSERT_FALSE(copied.empty()) << n;
    EXPECT_EQ(Md5(test::ReadFile(both / n)), Md5(copied)) << n;
  }
  // A reader of the first session only sees the first run's archive.
  const fs::path first = w.world.temp / "session1";
  const auto z = test::RunProgram({"7z", "x", "-y", "-o" + first.string(), w.image.string()});
  ASSERT_EQ(z.exitCode, 0) << z.out << z.err;
  EXPECT_EQ(Md5(test::ReadFile(first / "Run1.rar")), Md5(test::ReadFile(w.dest / "Run1.rar")));
  EXPECT_FALSE(fs::exists(first / "Run2.rar"));
}

// The disc as the only destination, with "delete files after archiving":
// a first run's archive goes on the disc, which carries the program's
// volume label, and its source goes. A second run's archive has a name the
// disc cannot take: it is named with the reason, kept, its source stays,
// and the run does not end with "Done.".
TEST(DiscProcessRun, AnArchiveTheDiscRefusesIsKeptWithItsSources) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  DiscWorld w("CD-R/20000");
  auto onlyDisc = [](tarcopt& p) {
    p.ctf = false;
    p.del = true;
  };
  const auto first = w.Run("Run1", 200000, onlyDisc);
  ASSERT_TRUE(Has(CdLines(first), "CD - Verifying done, all files are OK.")) << Print(first);
  EXPECT_TRUE(Has(first, "Daily: Done.")) << Print(first);
  EXPECT_FALSE(fs::exists(w.source / "Run1.bin"));
  const auto d = test::RunProgram({"isoinfo", "-d", "-i", w.image.string()});
  ASSERT_EQ(d.exitCode, 0) << d.err;
  EXPECT_NE(d.out.find("Volume id: YUX-BACKUP"), std::string::npos) << d.out;

  const std::string name = std::string(214, 'x');  // with ".rar": 218 units
  const std::string before = w.ImageMd5();
  const auto second = w.Run(name, 200000, onlyDisc);
  const auto cd = CdLines(second);
  EXPECT_TRUE(Has(cd, "CD - " + name + ".rar cannot go on the disc: its name is 218 characters "
                      "long; the disc takes names of at most 217 characters. [!]"))
      << Print(second);
  EXPECT_TRUE(Has(cd, "CD - None of the files can go on the disc; nothing was written. [!]"))
      << Print(second);
  EXPECT_FALSE(Has(second, "Daily: Done.")) << Print(second);
  EXPECT_EQ(w.ImageMd5(), before);
  EXPECT_TRUE(fs::exists(w.source / (name + ".bin")));
  bool kept = false;
  for (const auto& e : fs::recursive_directory_iterator(w.world.settings / "kept"))
    kept |= e.path().filename() == name + ".rar";
  EXPECT_TRUE(kept);
  EXPECT_EQ(w.History(), std::vector<std::string>{"1-CD\tE:\\Run1.rar"});
}

// Erasing and refusing: a first run (when the row has one) puts a session
// on the disc, the second run meets it.
struct EraseRow {
  const char* name;
  const char* profile;
  size_t firstBytes;   // 0: the disc starts blank
  size_t secondBytes;
  std::function<void(tarcopt&)> configure;
  std::vector<std::string> expected;  // the second run's CD lines in order
  bool written;                       // the second run changed the disc
};

void PrintTo(const EraseRow& row, std::ostream* os) { *os << row.name; }

class DiscProcessErase : public ::testing::TestWithParam<EraseRow> {};

TEST_P(DiscProcessErase, SecondRun) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  const EraseRow& row = GetParam();
  DiscWorld w(row.profile);
  if (row.firstBytes) {
    const auto first = CdLines(w.Run("Old", row.firstBytes));
    ASSERT_TRUE(Has(first, "CD - Burn complete. Status: OK.")) << Print(first) << w.world.Log();
  }
  const std::string before = w.ImageMd5();
  const auto cd = CdLines(w.Run("New", row.secondBytes, row.configure));
  ASSERT_EQ(cd.size(), row.expected.size()) << Print(cd);
  for (size_t i = 0; i < cd.size(); ++i) {
    // "*" stands for the rest of a line whose numbers vary.
    const std::string& e = row.expected[i];
    if (!e.empty() && e.back() == '*')
      EXPECT_EQ(cd[i].rfind(e.substr(0, e.size() - 1), 0), 0u) << cd[i];
    else
      EXPECT_EQ(cd[i], e);
  }
  if (!row.written) {
    EXPECT_EQ(w.ImageMd5(), before);
    return;
  }
  // The disc holds one session, with the new archive only.
  const auto starts = SessionStarts(w.image);
  ASSERT_EQ(starts, std::vector<uint32_t>{0});
  const auto listing = test::RunProgram({"isoinfo", "-i", w.image.string(), "-J", "-l"});
  ASSERT_EQ(listing.exitCode, 0) << listing.err;
  EXPECT_NE(listing.out.find("New.rar"), std::string::npos) << listing.out;
  EXPECT_EQ(listing.out.find("Old.rar"), std::string::npos) << listing.out;
  ASSERT_FALSE(w.History().empty());
  EXPECT_EQ(w.History().front(), "1-CD\tE:\\New.rar");
}

const char kNotEnough[] = "CD - Not enough free space on the CD to burn files. [!]";

INSTANTIATE_TEST_SUITE_P(
    Rows, DiscProcessErase,
    ::testing::Values(
        // The old session leaves too little room: "cef" erases it.
        EraseRow{"FullCdRwErasedForRoom", "CD-RW/14000", 1000000, 5000000,
                 [](tarcopt& p) { p.cef = true; },
                 {"CD - Started.", "CD - Medium info: 27.3M total, *",
                  "CD - There isn't enough free space on the CD, so it's time to erase it.",
                  "CD - Erasing the disc.", "CD - Erase complete. Status: OK.",
                  "CD - Medium info: 27.3M total, 27.3M free.", "CD - Burning at *",
                  "CD - Burn complete. Status: OK.", "CD - Verifying ...",
                  "CD - Verifying done, all files are OK."},
                 true},
        EraseRow{"BlankCdRwNeedsNoErase", "CD-RW/4000", 0, 1000000,
                 [](tarcopt& p) { p.cer = true; },
                 {"CD - Started.", "CD - Medium info: 7.8M total, 7.8M free.",
                  "CD - No need to erase this CD, it is empty.", "CD - Burning at *",
                  "CD - Burn complete. Status: OK.", "CD - Verifying ...",
                  "CD - Verifying done, all files are OK."},
                 true},
        // Larger than the whole disc: nothing is tried, not even the erase.
        EraseRow{"ArchiveLargerThanTheDisc", "CD-RW/14000", 1000000, 30000000,
                 [](tarcopt& p) { p.cer = true; },
                 {"CD - Started.", "CD - Medium info: 27.3M total, *",
                  "CD - The size of the archive exceeds the capacity of the CD. Skipping the CD "
                  "process. [!]"},
                 false},
        // A CD-R cannot make room: nothing is written past what is left.
        EraseRow{"CdRShortOfRoom", "CD-R/14000", 1000000, 5000000,
                 [](tarcopt& p) { p.cef = true; },
                 {"CD - Started.", "CD - Medium info: 27.3M total, *",
                  "CD - Cannot erase, the CD is not rewritable.", kNotEnough},
                 false}),
    [](const ::testing::TestParamInfo<EraseRow>& info) { return std::string(info.param.name); });

}  // namespace
