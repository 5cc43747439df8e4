#include "core/store/presets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <vector>

#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "core/store/options.h"
#include "core/store/schedule.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

// Settings and presets folders in a fresh temporary folder; reports are
// collected.
class PresetFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    savedSettings = SettingsFolder;
    savedPresets = PresetsFolder;
    SettingsFolder = dir.str();
    PresetsFolder = (dir / "presets").string();
    fs::create_directories(PresetsFolder);
    SetLogHook([this](const std::string& t) { reports.push_back(t); });
  }
  void TearDown() override {
    SetLogHook(nullptr);
    SettingsFolder = savedSettings;
    PresetsFolder = savedPresets;
  }
  // Writes a preset file from plain lines, each scrambled.
  void WritePlain(const fs::path& p, const std::vector<std::string>& plain) {
    std::string out;
    for (const auto& l : plain) out += ScrambleText(l) + "\r\n";
    test::WriteFile(p, out);
  }
  fs::path Preset(const std::string& file) const { return fs::path(PresetsFolder) / file; }

  test::TempDir dir;
  std::string savedSettings, savedPresets;
  std::vector<std::string> reports;
};

std::vector<std::string> SplitCrlf(const std::string& all) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "line without CRLF";
      end = all.size();
    }
    lines.push_back(all.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

// Every written field away from its default (the fields only old files
// hold, fpo, sfx and cie, are never written and keep theirs).  The same
// values as the hand-made fixture of the writer's lines.
tarcopt FullRecord() {
  tarcopt r;
  SetPresetDefaults(r);
  r.nam = "Daily backup";
  r.dir = "/home/user/Backups/Gr\xc3\xb6\xc3\x9f" "e";
  r.ems = "*.rar";
  r.swt = "-ep1 -ts";
  r.dtf = "-YYYYMMDD";
  r.fmt = 1;
  r.cmp = 5;
  r.drm = 2;
  r.dic = 4;
  r.vol = "700m";
  r.fld = 2;
  r.wpc = true;
  r.wpp = 12;
  r.wps = 30;
  r.pwd = " s3cret pass ";
  r.owe = true;
  r.cef = true;
  r.aut = true;
  r.ctf = true;
  r.efl = true;
  r.pas = true;
  r.lck = true;
  r.sld = false;
  r.hlt = true;
  r.bkg = true;
  r.hid = true;
  r.tst = true;
  r.del = true;
  r.wip = true;
  r.osf = false;
  r.rsf = false;
  r.edc = true;
  r.arr = true;
  r.rrp = 3;
  r.ftp = true;
  r.fac = true;
  r.fse = "ftp.example.org:2121";
  r.fpn = "proxy.local";
  r.fpp = "3128";
  r.fus = "backup";
  r.fpa = "ftp pass";
  r.ffo = "/incoming";
  r.fss = 2;
  r.smt = true;
  r.sfr = "yux@example.org";
  r.sto = "admin@example.org";
  r.sse = "smtp.example.org:587";
  r.sss = 2;
  r.sus = "mailer";
  r.spa = "mail pass";
  r.cdw = true;
  r.cdr = "E";
  r.cer = true;
  r.cdv = true;
  r.cne = true;
  r.csp = 24;
  r.cdb = 32;
  r.dra = true;
  r.irp = false;
  r.cco = true;
  r.ccm = 1;
  r.ccv = 7;
  r.sco = true;
  r.scm = 1;
  r.scv = 4;
  r.fco = true;
  r.fcm = 1;
  r.fca = true;
  r.fcv = 9;
  r.eba = true;
  r.ebs = true;
  r.ebh = true;
  r.ebe = "/usr/bin/pg_dump";
  r.ebp = "-f /tmp/db.sql";
  r.eaa = true;
  r.eas = true;
  r.eah = true;
  r.eae = "/usr/bin/logger";
  r.eap = "backup done";
  r.efa = "-eHS";
  return r;
}

}  // namespace

TEST_F(PresetFiles, OnlyVersionLineGivesTheDefaults) {
  WritePlain(Preset("Bare.pst"), {"ver 0"});
  tarcopt r;
  r.nam = "left over";
  r.csp = 99;
  LoadPreset("Bare", r);

  tarcopt expected;  // the documented defaults, written out
  expected.dtf = "-YYMMDDHHMMSS";
  expected.vol = "Auto";
  expected.fpo = "ftp";
  expected.fld = 1;
  expected.sld = expected.osf = expected.rsf = expected.irp = true;
  expected.csp = 8;
  expected.cdb = 16;
  expected.rrp = 1;
  expected.ccv = expected.scv = expected.fcv = 1;
  EXPECT_EQ(r, expected);
  EXPECT_TRUE(reports.empty());
}

TEST_F(PresetFiles, WriterLinesMatchHandMadeFixture) {
  const std::string fixture =
      test::ReadFile(test::SourceDir() / "tests/core/store/fixtures/preset_writer_order.txt");
  std::vector<std::string> expected;
  std::istringstream in(fixture);
  for (std::string l; std::getline(in, l);) expected.push_back(l);
  ASSERT_EQ(expected.size(), 82u);

  ASSERT_TRUE(SavePreset("Daily", FullRecord()));
  const std::vector<std::string> stored = SplitCrlf(test::ReadFile(Preset("Daily.pst")));
  ASSERT_EQ(stored.size(), expected.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(stored[i], ScrambleText(expected[i])) << "line " << i;
    EXPECT_EQ(UnscrambleText(stored[i]), expected[i]) << "line " << i;
  }
}

TEST_F(PresetFiles, EveryKeyRoundTrips) {
  const tarcopt full = FullRecord();
  // Each written line carries a value other than the default, so a key
  // that the reader missed would show as a difference below.
  const auto written = PresetFileLines(full);
  tarcopt defaults;
  SetPresetDefaults(defaults);
  const auto defaultLines = PresetFileLines(defaults);
  ASSERT_EQ(written.size(), defaultLines.size());
  for (size_t i = 1; i < written.size(); ++i) EXPECT_NE(written[i], defaultLines[i]) << written[i];

  ASSERT_TRUE(SavePreset("Round trip", full));
  tarcopt back;
  LoadPreset("Round trip", back);
  EXPECT_EQ(back, full);

  // The defaults preset lives in the settings folder under its own name.
  tarcopt other = full;
  other.nam = "defaults";
  ASSERT_TRUE(SavePreset(std::string(kDefaultsPresetName), other));
  EXPECT_TRUE(fs::exists(dir / "yux.pst"));
  EXPECT_FALSE(fs::exists(Preset("yux.pst")));
  LoadPreset(std::string(kDefaultsPresetName), back);
  EXPECT_EQ(back, other);
}

TEST_F(PresetFiles, ReaderRulesAndDamagedLines) {
  std::vector<std::string> plain = {
      "ver 0",
      "nam first",
      "nam second",           // a later line wins
      "owe yes",              // anything but "0" is true
      "lck ",                 // an empty value too
      "tst 2",
      "sld 0",                // only "0" is false
      "csp fast",             // not a number: keeps the default
      "cdb 64",
      "fpo 2121",             // keys only older files hold
      "sfx 1",
      "cie 1",
      "fse host:2121",
      "zzz whatever",         // unknown keys are ignored
      "dir C:\\Backup\\Gr\xf6\xdf" "e",  // an old file's Windows-1252 text
  };
  std::string out;
  for (const auto& l : plain) out += ScrambleText(l) + "\r\n";
  std::string damaged = ScrambleText("pwd secret");
  damaged[3] = damaged[3] == 'A' ? 'B' : 'A';  // breaks the checksum
  out += damaged + "\r\n";
  out += ScrambleText("rrp 5") + "\r\n";  // the rest still loads
  test::WriteFile(Preset("Mixed.pst"), out);

  tarcopt r;
  LoadPreset("Mixed", r);
  EXPECT_EQ(r.nam, "second");
  EXPECT_TRUE(r.owe);
  EXPECT_TRUE(r.lck);
  EXPECT_TRUE(r.tst);
  EXPECT_FALSE(r.sld);
  EXPECT_EQ(r.csp, 8);
  EXPECT_EQ(r.cdb, 64);
  EXPECT_EQ(r.fpo, "2121");
  EXPECT_TRUE(r.sfx);
  EXPECT_TRUE(r.cie);
  EXPECT_EQ(r.fse, "host:2121");
  EXPECT_EQ(r.dir, "C:\\Backup\\Gr\xc3\xb6\xc3\x9f" "e");
  EXPECT_EQ(r.pwd, "");
  EXPECT_EQ(r.rrp, 5);
  ASSERT_EQ(reports.size(), 1u);  // one report for the file, naming it
  EXPECT_NE(reports[0].find("Mixed.pst"), std::string::npos);
  EXPECT_NE(reports[0].find("2 line(s)"), std::string::npos);
}

TEST_F(PresetFiles, ValueIsCutFromTheBytesBeforeDecoding) {
  // Whatever byte follows the key only separates: it must not merge with
  // the value into one character, and the value must read the same after a
  // save and a reload.
  const struct {
    std::string line, value;
  } cases[] = {
      {"nam\xe9x", "x"},
      {"nam\xe9", ""},
      {"nam\xe9Gr\xf6\xdf" "e", "Gr\xc3\xb6\xc3\x9f" "e"},       // Windows-1252 value
      {"nam\xe9" "caf\xc3\xa9", "caf\xc3\xa9"},                 // UTF-8 value
      {"nam \xef\xbb\xbfx", "\xef\xbb\xbfx"},                 // a mark inside the value stays
      {"\xef\xbb\xbfnam x", "x"},                               // a mark before the key goes
  };
  for (const auto& c : cases) {
    WritePlain(Preset("Cut.pst"), {"ver 0", c.line});
    tarcopt first;
    LoadPreset("Cut", first);
    EXPECT_EQ(first.nam, c.value) << c.line;
    std::string error;
    ASSERT_TRUE(SavePreset("Cut", first, &error)) << error;
    tarcopt second;
    LoadPreset("Cut", second);
    EXPECT_EQ(second.nam, c.value) << c.line;
  }
  EXPECT_TRUE(reports.empty());
}

TEST_F(PresetFiles, MissingFileThrowsAndLeavesRecord) {
  tarcopt r;
  r.nam = "untouched";
  EXPECT_THROW(LoadPreset("Nowhere", r), EPresetFileError);
  EXPECT_THROW(LoadPreset(std::string(kDefaultsPresetName), r), EPresetFileError);
  fs::create_directory(Preset("Folder.pst"));
  EXPECT_THROW(LoadPreset("Folder", r), EPresetFileError);
  EXPECT_EQ(r.nam, "untouched");
  try {
    LoadPreset("Nowhere", r);
  } catch (const EPresetFileError& e) {
    EXPECT_NE(std::string(e.what()).find("Nowhere.pst"), std::string::npos);
  }
}

TEST_F(PresetFiles, NamesThatAreNoFileNamesAreRefused) {
  WritePlain(dir / "outside.pst", {"ver 0", "nam outside"});
  const std::string refused[] = {"", ".", "..", "a/b", "../outside", "/etc/x",
                                 std::string("a\0b", 3), "two\nlines", "cr\r"};
  tarcopt r;
  SetPresetDefaults(r);
  for (const auto& name : refused) {
    SCOPED_TRACE(name);
    const auto message = PresetNameError(name);
    ASSERT_TRUE(message.has_value());
    EXPECT_FALSE(message->empty());
    std::string error;
    EXPECT_FALSE(SavePreset(name, r, &error));
    EXPECT_EQ(error, *message);
    EXPECT_FALSE(WritePresetList(name, ".inc", {"x"}));
    EXPECT_THROW(LoadPreset(name, r), EPresetFileError);
  }
  // Nothing was written anywhere.
  EXPECT_TRUE(fs::is_empty(PresetsFolder));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);

  for (const std::string good : {"Daily", "my.preset", "..x", "a b", "\xc3\xa4rger", "//defaults//"}) {
    SCOPED_TRACE(good);
    EXPECT_FALSE(PresetNameError(good).has_value());
  }
}

TEST_F(PresetFiles, ListShowsOnlyPresetsWithBothLists) {
  auto touch = [&](const std::string& f) { test::WriteFile(Preset(f), ""); };
  for (const std::string base : {"Daily", "Weekly docs"}) {
    touch(base + ".pst");
    touch(base + ".inc");
    touch(base + ".exc");
  }
  touch("NoExc.pst");
  touch("NoExc.inc");
  touch("NoInc.pst");
  touch("NoInc.exc");
  touch("Upper.PST");  // another file name here
  touch("Upper.inc");
  touch("Upper.exc");
  touch("Lists.inc");
  touch("Lists.exc");
  fs::create_directory(Preset("Dir.pst"));
  touch("Dir.inc");
  touch("Dir.exc");

  auto names = ListPresetNames(PresetsFolder);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Daily", "Weekly docs"}));
  EXPECT_TRUE(ListPresetNames((dir / "missing").string()).empty());
}

TEST_F(PresetFiles, ListFilesRoundTripWithCrlf) {
  const std::vector<std::string> lines = {"/home/user/Documents", "*.odt", "", "Gr\xc3\xb6\xc3\x9f" "e"};
  ASSERT_TRUE(WritePresetList("Daily", ".inc", lines));
  EXPECT_EQ(test::ReadFile(Preset("Daily.inc")),
            "/home/user/Documents\r\n*.odt\r\n\r\nGr\xc3\xb6\xc3\x9f" "e\r\n");
  EXPECT_EQ(ReadPresetList("Daily", ".inc"), lines);

  test::WriteFile(Preset("Daily.exc"), "C:\\Temp\r\nD\xfcsseldorf");  // Windows-1252, no last CRLF
  EXPECT_EQ(ReadPresetList("Daily", ".exc"),
            (std::vector<std::string>{"C:\\Temp", "D\xc3\xbcsseldorf"}));
  EXPECT_FALSE(ReadPresetList("Daily", ".flt").has_value());
}

// A byte-order mark marks the start of a file, never of a line; the lists
// of names this program writes come back as their bytes, the lists users
// write as 8-bit text.
TEST_F(PresetFiles, ListFilesReadBackWhatWasWritten) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    const char* what;
    std::string ext;
    std::string file;
    std::vector<std::string> lines;
  } const cases[] = {
      {"a mark before the first line", ".inc", bom + "/a\r\n/b\r\n", {"/a", "/b"}},
      {"a mark's bytes later in the file are text", ".exc", "/a\r\n" + bom + "/b\r\n", {"/a", bom + "/b"}},
      {"a mark, then a line beginning with one", ".inc", bom + bom + "/a\r\n", {bom + "/a"}},
      {"1252 text in a user's list", ".exc", "D\xfcsseldorf\r\n", {"D\xc3\xbcsseldorf"}},
      {"a written name", ".lgc", "2024.01.01 10:00:00 \r\nBericht \xe4.rar\r\n\r\n",
       {"2024.01.01 10:00:00 ", "Bericht \xe4.rar", ""}},
      {"a history location", ".hst", "2024.01.01 10:00:00 \t4-COPY\t/d/caf\xe9.rar\r\n",
       {"2024.01.01 10:00:00 \t4-COPY\t/d/caf\xe9.rar"}},
      {"a mark on a list of names", ".lgf", bom + "x\r\n" + bom + "\xff\r\n", {"x", bom + "\xff"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ListText how = c.ext.starts_with(".lg") || c.ext == ".hst" ? ListText::Bytes : ListText::Ansi;
    test::WriteFile(Preset("Daily" + c.ext), c.file);
    EXPECT_EQ(ReadPresetList("Daily", c.ext, how), c.lines);
    ASSERT_TRUE(WritePresetList("Daily", c.ext, c.lines));
    EXPECT_EQ(ReadPresetList("Daily", c.ext, how), c.lines);
  }
  // Only a first line that would lose its bytes gets a mark of its own.
  EXPECT_EQ(test::ReadFile(Preset("Daily.lgf")), "x\r\n" + bom + "\xff\r\n");
  ASSERT_TRUE(WritePresetList("Daily", ".inc", {bom + "/a"}));
  EXPECT_EQ(test::ReadFile(Preset("Daily.inc")), bom + bom + "/a\r\n");
}

TEST_F(PresetFiles, DeletingRemovesExactlyItsFilesAndScheduleRows) {
  for (auto ext : kPresetFileExtensions) test::WriteFile(Preset("Daily" + std::string(ext)), "x");
  const std::vector<std::string> others = {"Daily2.pst", "Daily.txt", "daily.pst", "Daily.inc.bak",
                                           "Other.inc"};
  for (const auto& f : others) test::WriteFile(Preset(f), "x");
  test::WriteFile(dir / "yux.pst", "x");

  TPresetRowList rows;
  rows.rows = {{"Daily", "", ""}, {"daily", "", ""}, {"Daily2", "", ""}};
  SetPresetListRows(&rows);
  Schedule.Clear();
  auto row = [](const char* date, const char* name, const char* repeat) {
    return tschdata{date, name, std::string("REPEAT=") + repeat + " INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110"};
  };
  Schedule.Add(row("2026.12.24 22:00:00 ", "Daily", "-1"));
  Schedule.Add(row("2026.12.25 22:00:00 ", "daily", "0"));
  Schedule.Add(row("2026.12.26 22:00:00 ", "Daily2", "0"));
  Schedule.Add(row("2026.12.27 22:00:00 ", "Daily", "3"));
  RefreshSchedule();
  ASSERT_EQ(rows.rows[0].Scheduled, "2026.12.24 22:00:00 ");

  EXPECT_TRUE(DeletePresetFiles("Daily"));
  EXPECT_EQ(DeleteScheduleRowsFor("Daily"), 2u);

  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(PresetsFolder)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  auto expected = others;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
  EXPECT_TRUE(fs::exists(dir / "yux.pst"));

  ASSERT_EQ(Schedule.Count(), 2u);
  EXPECT_EQ(Schedule.Row(0).Name, "daily");
  EXPECT_EQ(Schedule.Row(1).Name, "Daily2");
  EXPECT_EQ(rows.rows[0].Scheduled, "");
  EXPECT_EQ(test::ReadFile(dir / "yux.sch").find("<P>Daily</P>"), std::string::npos);

  EXPECT_FALSE(DeletePresetFiles(".."));
  EXPECT_FALSE(DeletePresetFiles(std::string(kDefaultsPresetName)));
  EXPECT_TRUE(fs::exists(dir / "yux.pst"));

  SetPresetListRows(nullptr);
  Schedule.Clear();
}
