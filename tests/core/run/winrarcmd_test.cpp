#include "core/run/winrarcmd.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <QLocale>

#include "core/store/presets.h"
#include "platform/cmdline.h"

using namespace yux;

namespace {

// Defaults with every switch-making option off, so that each table row
// shows exactly what its one option adds.
tarcopt Quiet() {
  tarcopt p;
  SetPresetDefaults(p);
  p.irp = false;
  p.dtf.clear();
  p.vol = "None";
  p.sld = p.osf = p.rsf = false;
  return p;
}

SwitchContext Context() {
  SwitchContext c;
  c.presetsFolder = "/cfg/presets";
  c.settingsFolder = "/cfg";
  return c;
}

const std::string kLog = " \"-ILOG/cfg/winrar.log\"";

struct SwitchCase {
  const char* what;
  std::function<void(tarcopt&, SwitchContext&)> set;
  std::string expected;
};

TEST(WinRarSwitches, EveryOptionGivesItsSwitchInItsPlace) {
  const std::vector<SwitchCase> cases = {
      {"nothing", [](tarcopt&, SwitchContext&) {}, " -m0 -ep1 -INUL" + kLog},
      {"irp", [](tarcopt& p, SwitchContext&) { p.irp = true; }, " -CFG- -m0 -ep1 -INUL" + kLog},
      {"dtf", [](tarcopt& p, SwitchContext&) { p.dtf = "-YYMMDD"; }, " -ag-YYMMDD -m0 -ep1 -INUL" + kLog},
      {"vol Auto", [](tarcopt& p, SwitchContext&) { p.vol = "Auto"; }, " -v -m0 -ep1 -INUL" + kLog},
      {"vol size", [](tarcopt& p, SwitchContext&) { p.vol = "700m"; }, " -v700m -m0 -ep1 -INUL" + kLog},
      {"vol empty", [](tarcopt& p, SwitchContext&) { p.vol.clear(); }, " -m0 -ep1 -INUL" + kLog},
      {"drm without direct mode", [](tarcopt& p, SwitchContext&) { p.drm = 1; }, " -m0 -ep1 -INUL" + kLog},
      {"drm 0", [](tarcopt& p, SwitchContext&) { p.dra = true; }, " -m0 -ep1 -INUL" + kLog},
      {"drm 1", [](tarcopt& p, SwitchContext&) { p.dra = true; p.drm = 1; }, " -u -m0 -ep1 -INUL" + kLog},
      {"drm 2", [](tarcopt& p, SwitchContext&) { p.dra = true; p.drm = 2; }, " -f -as -m0 -ep1 -INUL" + kLog},
      {"drm 3", [](tarcopt& p, SwitchContext&) { p.dra = true; p.drm = 3; }, " -u -as -m0 -ep1 -INUL" + kLog},
      {"drm 4", [](tarcopt& p, SwitchContext&) { p.dra = true; p.drm = 4; }, " -f -m0 -ep1 -INUL" + kLog},
      {"drm out of range", [](tarcopt& p, SwitchContext&) { p.dra = true; p.drm = 5; }, " -m0 -ep1 -INUL" + kLog},
      {"fmt zip", [](tarcopt& p, SwitchContext&) { p.fmt = 1; }, " -afzip -m0 -ep1 -INUL" + kLog},
      {"fmt sfx", [](tarcopt& p, SwitchContext&) { p.fmt = 2; }, " -sfx -m0 -ep1 -INUL" + kLog},
      {"fmt out of range", [](tarcopt& p, SwitchContext&) { p.fmt = 3; }, " -m0 -ep1 -INUL" + kLog},
      {"cmp", [](tarcopt& p, SwitchContext&) { p.cmp = 5; }, " -m5 -ep1 -INUL" + kLog},
      {"dic 1", [](tarcopt& p, SwitchContext&) { p.dic = 1; }, " -m0 -MD64 -ep1 -INUL" + kLog},
      {"dic 7", [](tarcopt& p, SwitchContext&) { p.dic = 7; }, " -m0 -MD4096 -ep1 -INUL" + kLog},
      {"dic out of range", [](tarcopt& p, SwitchContext&) { p.dic = 8; }, " -m0 -ep1 -INUL" + kLog},
      {"fld 0", [](tarcopt& p, SwitchContext&) { p.fld = 0; }, " -m0 -ep -INUL" + kLog},
      {"fld 2", [](tarcopt& p, SwitchContext&) { p.fld = 2; }, " -m0 -ep2 -INUL" + kLog},
      {"fld 3", [](tarcopt& p, SwitchContext&) { p.fld = 3; }, " -m0 -ep3 -INUL" + kLog},
      {"fld out of range", [](tarcopt& p, SwitchContext&) { p.fld = 4; }, " -m0 -INUL" + kLog},
      {"password", [](tarcopt& p, SwitchContext&) { p.pas = true; p.pwd = "secret"; },
       " -m0 -ep1 \"-hpsecret\" -INUL" + kLog},
      {"password on but empty", [](tarcopt& p, SwitchContext&) { p.pas = true; }, " -m0 -ep1 -INUL" + kLog},
      {"password off", [](tarcopt& p, SwitchContext&) { p.pwd = "secret"; }, " -m0 -ep1 -INUL" + kLog},
      {"lck", [](tarcopt& p, SwitchContext&) { p.lck = true; }, " -m0 -ep1 -k -INUL" + kLog},
      {"sld", [](tarcopt& p, SwitchContext&) { p.sld = true; }, " -m0 -ep1 -s -INUL" + kLog},
      {"bkg", [](tarcopt& p, SwitchContext&) { p.bkg = true; }, " -m0 -ep1 -ibck -INUL" + kLog},
      {"tst", [](tarcopt& p, SwitchContext&) { p.tst = true; }, " -m0 -ep1 -t -INUL" + kLog},
      {"del", [](tarcopt& p, SwitchContext&) { p.del = true; }, " -m0 -ep1 -df -INUL" + kLog},
      {"del wip", [](tarcopt& p, SwitchContext&) { p.del = p.wip = true; }, " -m0 -ep1 -df -dw -INUL" + kLog},
      {"osf", [](tarcopt& p, SwitchContext&) { p.osf = true; }, " -m0 -ep1 -dh -INUL" + kLog},
      {"rsf", [](tarcopt& p, SwitchContext&) { p.rsf = true; }, " -m0 -ep1 -r -INUL" + kLog},
      {"efl without direct mode", [](tarcopt& p, SwitchContext&) { p.efl = true; }, " -m0 -ep1 -INUL" + kLog},
      {"efl in direct mode", [](tarcopt& p, SwitchContext&) { p.efl = p.dra = true; },
       " -m0 -ep1 -vd -INUL" + kLog},
      {"arr", [](tarcopt& p, SwitchContext&) { p.arr = true; p.rrp = 3; }, " -m0 -ep1 -rr3% -INUL" + kLog},
      {"aut", [](tarcopt& p, SwitchContext&) { p.aut = true; }, " -m0 -ep1 -AV -INUL" + kLog},
      {"comment file", [](tarcopt&, SwitchContext& c) { c.commentFileExists = true; },
       " -m0 -ep1 \"-z/cfg/presets/Daily.cmt\" -INUL" + kLog},
      {"wpc", [](tarcopt& p, SwitchContext&) { p.wpc = true; p.wpp = 5; p.wps = 10; },
       " -m0 -ep1 -ri5:10 -INUL" + kLog},
      {"wpp without wpc", [](tarcopt& p, SwitchContext&) { p.wpp = 5; }, " -m0 -ep1 -INUL" + kLog},
      {"debug.flg", [](tarcopt&, SwitchContext& c) { c.debugFlagExists = true; }, " -m0 -ep1" + kLog},
      {"swt", [](tarcopt& p, SwitchContext&) { p.swt = "-ts -ol"; }, " -m0 -ep1 -INUL" + kLog + " -ts -ol"},
      {"efa", [](tarcopt& p, SwitchContext&) { p.efa = "-ehr"; }, " -m0 -ep1 -INUL" + kLog + " -ehr"},
      {"filter file", [](tarcopt&, SwitchContext& c) { c.filterFileExists = true; },
       " -m0 -ep1 -INUL" + kLog + " \"-n@/cfg/presets/Daily.flt\""},
      {"the usual preset",
       [](tarcopt& p, SwitchContext&) {
         SetPresetDefaults(p);
         p.cmp = 3;
       },
       " -CFG- -ag-YYMMDDHHMMSS -v -m3 -ep1 -s -dh -r -INUL" + kLog},
      {"everything at once",
       [](tarcopt& p, SwitchContext& c) {
         p.irp = true;
         p.dtf = "-YYYY";
         p.vol = "1g";
         p.dra = true;
         p.drm = 2;
         p.fmt = 1;
         p.cmp = 4;
         p.dic = 3;
         p.fld = 2;
         p.pas = true;
         p.pwd = "pw";
         p.lck = p.sld = p.bkg = p.tst = p.del = p.wip = p.osf = p.rsf = true;
         p.efl = true;
         p.arr = true;
         p.rrp = 5;
         p.aut = true;
         p.wpc = true;
         p.wpp = 1;
         p.wps = 2;
         p.swt = "-x";
         p.efa = "-ea";
         c.commentFileExists = c.filterFileExists = true;
       },
       " -CFG- -ag-YYYY -v1g -f -as -afzip -m4 -MD256 -ep2 \"-hppw\" -k -s -ibck -t -df -dw -dh -r"
       " -vd -rr5% -AV \"-z/cfg/presets/Daily.cmt\" -ri1:2 -INUL" +
           kLog + " -x -ea \"-n@/cfg/presets/Daily.flt\""},
  };
  for (const auto& c : cases) {
    tarcopt p = Quiet();
    SwitchContext ctx = Context();
    c.set(p, ctx);
    EXPECT_EQ(BuildWinRarSwitches(p, "Daily", ctx), c.expected) << c.what;
  }
}

// Whatever the password holds, the archiver's argument is "-hp" followed by
// exactly that password, and the command line around it stays whole.
TEST(WinRarSwitches, PasswordReachesTheArchiverIntact) {
  const std::vector<std::string> passwords = {
      "plain", "two words", "quo\"te", "ends\\", "back\\\"mix", "\\\\lead", "%HOME%", "a\"b\"c\\\\",
  };
  for (const auto& pwd : passwords) {
    tarcopt p = Quiet();
    p.pas = true;
    p.pwd = pwd;
    const std::string line = BuildWinRarCommandLine(BuildWinRarSwitches(p, "My preset", Context()),
                                                    "My preset", "/cfg/presets", "/tmp/run dir",
                                                    "Arch name");
    const auto args = platform::SplitCommandLine(line);
    const std::vector<std::string> expected = {
        "a", "-m0", "-ep1", "-hp" + pwd, "-INUL", "-ILOG/cfg/winrar.log",
        "-x@/cfg/presets/My preset.exc", "/tmp/run dir/Arch name", "@/cfg/presets/My preset.inc"};
    EXPECT_EQ(args, expected) << pwd;
  }
}

TEST(WinRarSwitches, QuoteAlwaysRoundTrips) {
  for (std::string s : {"", "x", "a b", "\"", "\\", "a\\\\b", "a\\\"b", "tail\\\\", "\" \\ \""}) {
    const std::string q = QuoteAlways(s);
    EXPECT_EQ(q.front(), '"');
    EXPECT_EQ(platform::SplitCommandLine("x " + q + " y"), (std::vector<std::string>{"x", s, "y"}))
        << s;
  }
  EXPECT_EQ(QuoteAlways("C:/dir/file"), "\"C:/dir/file\"");
}

TEST(WinRarCommandLine, NormalFormWithItsBlanks) {
  EXPECT_EQ(BuildWinRarCommandLine(" -m3", "P", "/s/presets", "/t/ABCDEFGH", "Backup"),
            " a  -m3 \"-x@/s/presets/P.exc\" \"/t/ABCDEFGH/Backup\" \"@/s/presets/P.inc\"");
}

TEST(WinRarExitCodes, TableOfVerdicts) {
  struct Case {
    int code;
    bool ignoreWarnings;
    WinRarVerdict verdict;
    std::string text;
  };
  const std::vector<Case> cases = {
      {0, false, WinRarVerdict::GoOn, ""},
      {0, true, WinRarVerdict::GoOn, ""},
      {1, true, WinRarVerdict::GoOnWarning, "WinRAR reported a warning (non-critical)."},
      {1, false, WinRarVerdict::Fail, "WinRAR - Error 1 (see WinRAR log for details). [!]"},
      {255, false, WinRarVerdict::GoOnCanceled, "WinRAR - Canceled by the user. [!]"},
      {255, true, WinRarVerdict::GoOnCanceled, "WinRAR - Canceled by the user. [!]"},
      {2, true, WinRarVerdict::Fail, "WinRAR - Error 2 (see WinRAR log for details). [!]"},
      {7, false, WinRarVerdict::Fail, "WinRAR - Error 7 (see WinRAR log for details). [!]"},
      {143, false, WinRarVerdict::Fail, "WinRAR - Error 143 (see WinRAR log for details). [!]"},
  };
  for (const auto& c : cases) {
    const auto j = JudgeWinRarExitCode(c.code, c.ignoreWarnings);
    EXPECT_EQ(j.verdict, c.verdict) << c.code << " " << c.ignoreWarnings;
    EXPECT_EQ(j.logText, c.text) << c.code << " " << c.ignoreWarnings;
  }
}

TEST(WinRarProduced, SizeTextAndDoneLine) {
  const QLocale saved;
  QLocale::setDefault(QLocale::c());
  const std::vector<std::pair<std::uint64_t, std::string>> sizes = {
      {0, "0b"},           {1023, "1023b"},         {1024, "1K"},
      {1500, "1K"},        {1048575, "1,024K"},     {1048576, "1.0M"},
      {2500000, "2.4M"},   {5368709120ULL, "5,120.0M"},
  };
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(ProducedSizeText(bytes), text) << bytes;
  EXPECT_EQ(ProducedFilesLogText(1, 1500), "WinRAR - Done (1 file, 1K).");
  EXPECT_EQ(ProducedFilesLogText(0, 0), "WinRAR - Done (0 file, 0b).");
  EXPECT_EQ(ProducedFilesLogText(3, 2500000), "WinRAR - Done (3 files, 2.4M).");
  QLocale::setDefault(saved);
}

}  // namespace
