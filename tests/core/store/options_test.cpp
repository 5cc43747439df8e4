#include "core/store/options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "core/store/textutil.h"
#include "net/protocols/mimeutils.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

// Points the settings folder at a fresh temporary folder and collects what
// the options code reports.
class OptionsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    SettingsFolder = dir.str();
    ProgramFolder = "/opt/yux";
    SetScreenSizeProvider([] { return ScreenSize{1920, 1080}; });
    SetLogHook([this](const std::string& t) { reports.push_back(t); });
  }
  void TearDown() override {
    SetLogHook(nullptr);
    SetScreenSizeProvider(nullptr);
    SetColumnWidthProvider(nullptr);
  }
  void WriteLines(const std::vector<std::string>& plain) {
    std::string out;
    for (const auto& l : plain) out += ScrambleText(l) + "\r\n";
    test::WriteFile(OptionsFilePath(), out);
  }
  test::TempDir dir;
  std::vector<std::string> reports;
};

}  // namespace

TEST(ScrambledLine, KnownExampleBothWays) {
  EXPECT_EQ(ScrambleDigits("abc"), "000590129114131");
  EXPECT_EQ(ScrambleText("abc"), "MDAwNTkwMTI5MTE0MTMx");
  EXPECT_EQ(UnscrambleText("MDAwNTkwMTI5MTE0MTMx"), "abc");
  EXPECT_EQ(ScrambleDigits(""), "000000");
  EXPECT_EQ(UnscrambleDigits("000000"), "");
}

TEST(ScrambledLine, RoundTrips) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<char>(i));
  const std::string cases[] = {
      "",
      "x",
      "pwi /usr/lib/yux/winrar",
      "pte /home/user/Temp Folder/with blanks",
      "\xc3\xa4\xc3\xb6\xc3\xbc \xe2\x82\xac \xf0\x9f\x93\x80",  // UTF-8 bytes
      allBytes,
      std::string(5000, 'a'),          // sum above 999,999: only 6 digits kept
      std::string(5000, '\xff'),       // sum past 2^31: the 32-bit sum wraps
  };
  for (const auto& text : cases) {
    const std::string stored = ScrambleText(text);
    EXPECT_EQ(stored.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(UnscrambleText(stored), text) << text.size();
    EXPECT_EQ(ScrambleDigits(text).size(), 6 + 3 * text.size());
  }
}

TEST(ScrambledLine, DamageGivesEmptyText) {
  const std::string good = ScrambleDigits("hello");
  std::string wrongSum = good;
  wrongSum[5] = wrongSum[5] == '9' ? '8' : '9';
  std::string wrongGroup = good;
  wrongGroup[7] = wrongGroup[7] == '9' ? '8' : '9';
  const std::string damaged[] = {
      good.substr(0, good.size() - 1),  // length not a multiple of 3
      good.substr(0, good.size() - 3),  // truncated by one group: checksum differs
      wrongSum, wrongGroup,
      "000abc",                         // not digits
      "12",                             // shorter than a checksum
  };
  for (const auto& d : damaged) EXPECT_EQ(UnscrambleDigits(d), "") << d;
  EXPECT_EQ(UnscrambleText("not base64!"), "");
  EXPECT_EQ(UnscrambleText(net::EncodeBase64String("0000000")), "");  // 7 digits
}

TEST(ScrambledLine, DigitFlags) {
  EXPECT_EQ(BoolToDigit(true), "1");
  EXPECT_EQ(BoolToDigit(false), "0");
  EXPECT_FALSE(DigitToBool("0"));
  for (const char* t : {"1", "", " ", "00", "yes", "0 "}) EXPECT_TRUE(DigitToBool(t)) << t;
}

TEST_F(OptionsFile, DefaultsOfEveryOption) {
  topt o;
  o.lsz = 5;  // must be overwritten
  SetOptionDefaults(o);
  EXPECT_TRUE(o.obn && o.obk && o.obr);
  EXPECT_EQ(o.okp, "");
  EXPECT_EQ(o.obp, "");
  EXPECT_EQ(o.obf, dir.str() + "/YUX-BIN");
  EXPECT_EQ(o.obv, 0);
  EXPECT_EQ(o.obc, 0);
  EXPECT_EQ(o.obi, 90);
  EXPECT_EQ(o.obt, 0);
  EXPECT_EQ(o.obx, 0);
  EXPECT_EQ(o.oby, 0);
  EXPECT_EQ(o.px1, (1920 - 620) / 2);
  EXPECT_EQ(o.px2, 620);
  EXPECT_EQ(o.py1, (1080 - 440) / 2);
  EXPECT_EQ(o.py2, 440);
  EXPECT_FALSE(o.des);
  EXPECT_FALSE(o.dha);
  EXPECT_EQ(o.dnr, 3);
  EXPECT_EQ(o.dwc, 60);
  EXPECT_EQ(o.dac + o.dus + o.dpa, "");
  EXPECT_FALSE(o.rae);
  EXPECT_EQ(o.rap, "80");
  EXPECT_EQ(o.rlo + o.rpa + o.pwi + o.pte, "");
  EXPECT_EQ(o.lsz, 1000);
  EXPECT_EQ(o.lfs, 8);
  EXPECT_EQ(o.pfs, 10);
  EXPECT_EQ(o.sta, 0);
  EXPECT_FALSE(o.hic);
  EXPECT_FALSE(o.fre);
  EXPECT_EQ(o.fin, 5);
  EXPECT_EQ(o.fti, 3);
  EXPECT_EQ(o.twr + o.tsm + o.tft, 0);
  EXPECT_EQ(o.shp, 1);
  EXPECT_FALSE(o.dec || o.dtb || o.dit);
  EXPECT_TRUE(o.acw);
  EXPECT_EQ(o.c1w, 150);
  EXPECT_EQ(o.c2w, 150);
  EXPECT_EQ(o.c3w, 150);
  EXPECT_EQ(o.sgp, "");
  EXPECT_FALSE(o.sps || o.sph || o.spa || o.spm || o.spe);
  EXPECT_TRUE(o.son);
  EXPECT_TRUE(o.ske);
  EXPECT_EQ(o.lvc, 0);
  EXPECT_TRUE(o.lt1 && o.lt2 && o.lt3);
  EXPECT_TRUE(o.soe);
  EXPECT_EQ(o.swf, "/opt/yux/error.wav");
  EXPECT_EQ(o.lng, "English (default).lng");
  EXPECT_EQ(o.plh, 125);
  EXPECT_FALSE(o.ser || o.cie);
  EXPECT_EQ(o.sss, 0);
  EXPECT_EQ(o.ssr + o.sur + o.spd + o.sfm + o.sto, "");
  EXPECT_TRUE(o.cms);
  EXPECT_FALSE(o.smz);
}

TEST_F(OptionsFile, SavedFileReadsBackEqualInWriterOrder) {
  topt o;
  SetOptionDefaults(o);
  o.son = false;
  o.dac = "Office line";
  o.pte = "/tmp/with blank/";
  o.lsz = -7;
  o.sgp = "p\xc3\xa4ss word";
  o.obk = false;
  o.px1 = 12;
  o.okp = std::string(300, 'k');
  ASSERT_TRUE(SaveOptions(o));

  topt back;
  LoadOptions(back);
  EXPECT_EQ(back, o);
  EXPECT_TRUE(reports.empty());

  // Every line is scrambled and CRLF-terminated; unscrambled they follow
  // the writer's order.
  const std::string raw = test::ReadFile(OptionsFilePath());
  ASSERT_GE(raw.size(), 2u);
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
  std::vector<std::string> keys;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    std::string line = UnscrambleText(raw.substr(start, end - start));
    ASSERT_FALSE(line.empty());
    keys.push_back(line.substr(0, 3));
    if (keys.size() == 1) {
      EXPECT_EQ(line, "ver 0");
    }
    if (keys.back() == "son") {
      EXPECT_EQ(line, "son 0");
    }
    if (keys.back() == "pte") {
      EXPECT_EQ(line, "pte /tmp/with blank/");
    }
    start = end + 2;
  }
  const std::vector<std::string> head = {"ver", "son", "des", "dha", "dac", "dus", "dpa", "dnr"};
  ASSERT_EQ(keys.size(), 75u);
  EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 8), head);
  EXPECT_EQ(keys.back(), "obk");
  // No temporary file is left beside it.
  int files = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1);
}

TEST_F(OptionsFile, ColumnWidthsComeFromTheList) {
  topt o;
  SetOptionDefaults(o);
  SetColumnWidthProvider([](int& a, int& b, int& c) { a = 101, b = 202, c = 303; });
  ASSERT_TRUE(SaveOptions(o));
  SetColumnWidthProvider(nullptr);
  topt back;
  LoadOptions(back);
  EXPECT_EQ(back.c1w, 101);
  EXPECT_EQ(back.c2w, 202);
  EXPECT_EQ(back.c3w, 303);
}

TEST_F(OptionsFile, LineRules) {
  WriteLines({"ver 0", "son", "lsz 20", "lsz 30", "pwi /a b/c", "xyz 1", "", "rap 8080 "});
  topt o;
  LoadOptions(o);
  EXPECT_TRUE(o.son);          // "son" with an empty value switches on
  EXPECT_EQ(o.lsz, 30);        // a later line overrides an earlier one
  EXPECT_EQ(o.pwi, "/a b/c");  // blanks in values are kept
  EXPECT_EQ(o.rap, "8080 ");   // texts are taken as they are
  EXPECT_TRUE(reports.empty());

  WriteLines({"ver 0"});
  LoadOptions(o);
  topt defaults;
  SetOptionDefaults(defaults);
  EXPECT_EQ(o, defaults);
}

// Texts written on another system are Windows-1252; UTF-8 stays as it is.
TEST_F(OptionsFile, TextsAreUtf8ElseWindows1252) {
  WriteLines({"ver 0", "pte /tmp/caf\xe9", "sfm m\xc3\xbcller@example.org"});
  topt o;
  LoadOptions(o);
  EXPECT_EQ(o.pte, "/tmp/caf\xc3\xa9");
  EXPECT_EQ(o.sfm, "m\xc3\xbcller@example.org");
}

TEST_F(OptionsFile, DamageKeepsDefaultsLoadsTheRestAndReportsOnce) {
  struct Case {
    const char* what;
    std::string file;
  };
  const std::string good1 = ScrambleText("lsz 20") + "\r\n";
  const std::string good2 = ScrambleText("dac Home") + "\r\n";
  std::string badSum = ScrambleDigits("fti 9");
  badSum[0] = badSum[0] == '1' ? '2' : '1';
  const std::string truncated = ScrambleText("pte /var/tmp/yux-temp-folder");
  const Case cases[] = {
      {"not Base64", good1 + "this is not base64\r\n" + good2},
      {"wrong checksum", good1 + net::EncodeBase64String(badSum) + "\r\n" + good2},
      {"non-number", good1 + ScrambleText("fti many") + "\r\n" + good2},
      {"non-number before good lines", ScrambleText("fti 3x") + "\r\n" + good1 + good2},
      {"truncated last line", good1 + good2 + truncated.substr(0, truncated.size() / 2)},
  };
  for (const auto& c : cases) {
    reports.clear();
    test::WriteFile(OptionsFilePath(), c.file);
    topt o;
    LoadOptions(o);
    EXPECT_EQ(o.lsz, 20) << c.what;
    EXPECT_EQ(o.dac, "Home") << c.what;
    EXPECT_EQ(o.fti, 3) << c.what;
    EXPECT_EQ(o.pte, "") << c.what;
    EXPECT_EQ(reports.size(), 1u) << c.what;
  }
}

TEST_F(OptionsFile, MissingFileGivesDefaultsAndAsksToCheck) {
  topt o;
  o.lsz = 1;
  LoadOptions(o);
  EXPECT_EQ(o.lsz, 1000);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "Please check the settings!");
}

TEST_F(OptionsFile, SaveFailureIsReportedAndKeepsTheOldFile) {
  topt o;
  SetOptionDefaults(o);
  ASSERT_TRUE(SaveOptions(o));
  const std::string before = test::ReadFile(OptionsFilePath());
  // A settings folder that is a path under a regular file cannot be written
  // (tests run as root, so permissions alone would not stop it).
  const std::string saved = SettingsFolder;
  SettingsFolder = (dir / "yux.opt" / "sub").string();
  o.lsz = 77;
  EXPECT_FALSE(SaveOptions(o));
  SettingsFolder = saved;
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("[!]"), std::string::npos);
  EXPECT_EQ(test::ReadFile(OptionsFilePath()), before);
}
