// The FTP download window: an archive uploaded to vsftpd is downloaded from
// its history row byte for byte and restored (plain, and with TLS where the
// server refuses clear text); scripted pyftpdlib servers show what counts
// as a download and that a refused folder never fetches anything.
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/dialogs/ftpdialogs_fixture.h"
#include "tests/peers/sslfixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

TEST(SplitFtpLocation, ServerFolderAndFile) {
  struct Case {
    const char* location;
    const char* server;
    const char* folder;
    const char* file;
  } cases[] = {
      {"h:21/pub/a.rar", "h:21", "pub", "a.rar"},
      {"h:2121/a/b/c d.rar", "h:2121", "a/b", "c d.rar"},
      {"h:21/a.rar", "h:21", "", "a.rar"},
      {"h", "h", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location);
    const FtpLocationParts p = SplitFtpLocation(c.location);
    EXPECT_EQ(p.server, c.server);
    EXPECT_EQ(p.folder, c.folder);
    EXPECT_EQ(p.file, c.file);
  }
}

namespace {

struct VsftpdRow {
  const char* name;
  FtpTls tls;
  int fss;
  const char* extra;
};

void PrintTo(const VsftpdRow& row, std::ostream* os) { *os << row.name; }

class FtpDownloadVsftpd : public FtpDialogTest, public ::testing::WithParamInterface<VsftpdRow> {};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Modes, FtpDownloadVsftpd,
                         ::testing::Values(VsftpdRow{"Plain", FtpTls::None, 0, ""},
                                           VsftpdRow{"TlsWherePlainIsRefused", FtpTls::Explicit, 1,
                                                     kVsftpdForceTls}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(FtpDownloadVsftpd, DoubleClickDownloadsTheUploadedArchiveAndRestoresIt) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  YUX_REQUIRE_PROGRAM("curl");
  const VsftpdRow& row = GetParam();
  if (row.tls != FtpTls::None) {
    ASSERT_TRUE(TestPki::Get().Ok());
  }
  VsftpdServer server;
  ASSERT_TRUE(server.Start(row.tls, row.extra)) << server.Error();
  WinRarPath = BuiltProgram("winrar").string();
  std::map<std::string, std::string> files{{"a b.txt", "alpha"},
                                           {"sub/\xc3\xbc.bin", std::string("\0\1\xfe\xff", 4)}};
  for (auto& [n, d] : files) {
    fs::create_directories((work / "src" / n).parent_path());
    WriteFile(work / "src" / n, d);
  }
  fs::create_directories(work / "up");
  const fs::path archive = work / "up/P-1.rar";
  ProcessResult made = RunProgram(
      {WinRarPath, "a", "-ep1", "-r", "-ibck", "-hpp w", archive.string(), (work / "src").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  ASSERT_TRUE(CurlUpload(server, archive, row.tls != FtpTls::None));
  const std::string server_text = "127.0.0.1:" + std::to_string(server.Port());
  preset.fse = server_text;
  preset.ffo = "pub";
  preset.pwd = "p w";
  preset.fss = row.fss;
  SavePresetWithFtpRows({server_text + "/pub/P-1.rar"});

  Trestoreform f("P");
  ASSERT_TRUE(f.LoadRestoreHistory());
  fs::create_directories(work / "to");
  f.chooseFolder = [&] { return (work / "to").string(); };
  std::vector<std::string> shown;
  f.showFolder = [&](const std::string& folder) { shown.push_back(folder); };
  std::vector<std::string> memo;
  int progress = -1;
  f.execFtpDialog = [&](QDialog& d) {
    auto& dl = dynamic_cast<Tftpdl&>(d);
    EXPECT_EQ(dl.esvr->text().toStdString(), server_text);
    EXPECT_EQ(dl.efld->text().toStdString(), "pub");
    EXPECT_EQ(dl.efile->text().toStdString(), "P-1.rar");
    EXPECT_EQ(dl.elf->text().toStdString(), temp.str());
    EXPECT_EQ(dl.localname->text().toStdString(), (temp / "P-1.rar").string());
    const int result = Download(dl);
    memo = Lines(dl.elog);
    progress = dl.progr->value();
    return result;
  };
  f.histlistDblClick(Row(f, server_text + "/pub/P-1.rar"));
  const std::vector<std::string> expected = {
      "FTP - Connecting to " + server_text + ".",
      "FTP - Changing folder to \"pub\".",
      "FTP - Trying to download \"P-1.rar\".",
      "FTP - Successfully downloaded \"P-1.rar\".",
      "FTP - Disconnected.",
  };
  EXPECT_EQ(memo, expected);
  EXPECT_EQ(progress, 100);
  EXPECT_EQ(ReadFile(temp / "P-1.rar"), ReadFile(archive));
  EXPECT_EQ(Entries(temp.path()), std::vector<std::string>{"P-1.rar"});
  EXPECT_TRUE(Entries(program.path()).empty());
  EXPECT_EQ(shown, std::vector<std::string>{(work / "to/P-1").string()});
  for (auto& [n, d] : files) EXPECT_EQ(ReadFile(work / "to/P-1/src" / n), d) << n;
}

namespace {

// pyftpdlib with a handler that writes every command it receives into a
// log, plus the methods of one case.
class FtpDownloadScripted : public FtpDialogTest {
 protected:
  void Begin(const std::string& methods) {
    if (!HavePyFtpdlib()) {
      if (InCi()) FAIL() << "missing python3-pyftpdlib in CI";
      GTEST_SKIP() << "missing python3-pyftpdlib";
    }
    const std::string handler =
        "import os\n"
        "from pyftpdlib.handlers import ThrottledDTPHandler\n"
        "class handler(FTPHandler):\n"
        "    def pre_process_command(self, line, cmd, arg):\n"
        "        with open(" + PyString((logDir / "commands.log").string()) + ", 'a') as f:\n"
        "            f.write(cmd + '\\n')\n"
        "        return FTPHandler.pre_process_command(self, line, cmd, arg)\n" +
        methods;
    fs::create_directories(root.path() / "pub");
    ASSERT_TRUE(py.Start(handler, root.path()));
    server = "127.0.0.1:" + std::to_string(py.Port());
    preset.fus = "user";
    preset.fpa = "pass";
  }
  static std::string PyString(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
      if (c == '\\' || c == '\'') out += '\\';
      out += c;
    }
    return out + "'";
  }
  std::vector<std::string> Commands() const {
    std::vector<std::string> out;
    const std::string text = fs::exists(logDir / "commands.log") ? ReadFile(logDir / "commands.log") : "";
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
      out.push_back(text.substr(start, nl - start));
    return out;
  }
  bool Sent(const std::string& verb) const {
    const auto c = Commands();
    return std::find(c.begin(), c.end(), verb) != c.end();
  }
  TempDir root, logDir;
  PyFtpServer py;
  std::string server;
};

struct ScriptedRow {
  const char* name;
  const char* methods;   // the case's handler methods
  const char* folder;    // the history row's folder
  int fss;
  bool downloaded;
  const char* line;      // a memo line that must appear
  const char* absent;    // a command the server must never see
};

void PrintTo(const ScriptedRow& row, std::ostream* os) { *os << row.name; }

class FtpDownloadCases : public FtpDownloadScripted, public ::testing::WithParamInterface<ScriptedRow> {};

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Servers, FtpDownloadCases,
    ::testing::Values(
        // A refused folder: the archive of the same name in the login
        // folder is never fetched.
        ScriptedRow{"Cwd550",
                    "    def ftp_CWD(self, path):\n"
                    "        self.respond('550 No such directory.')\n",
                    "missing", 0, false, "FTP - Error 550 No such directory.", "RETR"},
        ScriptedRow{"Transfer250",
                    "    def respond(self, resp, logfun=None):\n"
                    "        if resp.startswith('226'):\n"
                    "            resp = '250 Transfer done.'\n"
                    "        FTPHandler.respond(self, resp)\n",
                    "pub", 0, true, "FTP - Successfully downloaded \"a.rar\".", ""},
        // SIZE promises more than arrives, though the server says 226.
        ScriptedRow{"Short226",
                    "    def ftp_SIZE(self, path):\n"
                    "        self.respond('213 %d' % (os.path.getsize(path) + 7))\n",
                    "pub", 0, false, "FTP - Unable to download \"a.rar\".", ""},
        ScriptedRow{"Size550",
                    "    def ftp_SIZE(self, path):\n"
                    "        self.respond('550 SIZE not allowed.')\n",
                    "pub", 0, true, "FTP - Successfully downloaded \"a.rar\".", ""},
        ScriptedRow{"Size502",
                    "    def ftp_SIZE(self, path):\n"
                    "        self.respond('502 Command not implemented.')\n",
                    "pub", 0, true, "FTP - Successfully downloaded \"a.rar\".", ""},
        // The server hangs up instead of answering QUIT: the file is whole.
        ScriptedRow{"QuitUnanswered",
                    "    def ftp_QUIT(self, line):\n"
                    "        self.close()\n",
                    "pub", 0, true, "FTP - Successfully downloaded \"a.rar\".", ""},
        ScriptedRow{"Retr550",
                    "    def ftp_RETR(self, file):\n"
                    "        self.respond('550 No such file.')\n",
                    "pub", 0, false, "FTP - Unable to download \"a.rar\".", ""},
        // A TLS preset meets a server without TLS: its password stays home.
        ScriptedRow{"TlsPresetPlainServer", "    pass\n", "pub", 1, false, "FTP - Disconnected with error ",
                    "PASS"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(FtpDownloadCases, OnlyAWholeFileCounts) {
  const ScriptedRow& row = GetParam();
  Begin(row.methods);
  std::string data;
  for (int i = 0; i < 300000; ++i) data.push_back(char(i * 13 % 256));
  WriteFile(root.path() / "pub" / "a.rar", data);
  WriteFile(root.path() / "a.rar", "the login folder's own a.rar");
  preset.fss = row.fss;
  Tftpdl dl(preset, server + "/" + row.folder + "/a.rar");
  const int result = Download(dl);
  const std::vector<std::string> memo = Lines(dl.elog);
  EXPECT_EQ(dl.Downloaded(), row.downloaded);
  EXPECT_EQ(result == QDialog::Accepted, row.downloaded);
  const bool hasLine = std::any_of(memo.begin(), memo.end(), [&](const std::string& l) {
    return l.rfind(row.line, 0) == 0;
  });
  EXPECT_TRUE(hasLine) << row.line;
  if (*row.absent) {
    EXPECT_FALSE(Sent(row.absent));
    EXPECT_TRUE(Sent("QUIT"));
  }
  if (row.downloaded) {
    EXPECT_EQ(ReadFile(temp / "a.rar"), data);
    EXPECT_EQ(Entries(temp.path()), std::vector<std::string>{"a.rar"});
    EXPECT_EQ(memo.back(), "FTP - Disconnected.");
  } else {
    EXPECT_TRUE(Entries(temp.path()).empty());
    EXPECT_TRUE(dl.bstart->isEnabled());
    EXPECT_EQ(memo.back().rfind("FTP - Disconnected with error ", 0), 0u) << memo.back();
  }
  EXPECT_TRUE(Entries(program.path()).empty());
}

// A slow transfer: the buttons are off while it runs; Cancel, Esc and
// closing the window abort it and the window stays; idle, Esc closes it.
TEST_F(FtpDownloadScripted, CancelDuringATransferAbortsAndKeepsTheWindow) {
  Begin(
      "    ThrottledDTPHandler.write_limit = 262144\n"
      "    dtp_handler = ThrottledDTPHandler\n");
  WriteFile(root.path() / "pub" / "big.rar", std::string(8 * 1024 * 1024, 'b'));
  Tftpdl dl(preset, server + "/pub/big.rar");
  dl.show();
  const std::vector<std::function<void()>> cancels = {
      [&] { dl.bcancel->click(); },
      [&] {
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(&dl, &esc);
      },
      [&] { dl.close(); },
  };
  for (size_t i = 0; i < cancels.size(); ++i) {
    SCOPED_TRACE(i);
    dl.bstart->click();
    ASSERT_TRUE(WaitFor([&] { return dl.progr->value() > 0; }));
    EXPECT_FALSE(dl.bstart->isEnabled());
    EXPECT_FALSE(dl.SpeedButton1->isEnabled());
    cancels[i]();
    ASSERT_TRUE(WaitFor([&] { return !dl.Busy(); }));
    EXPECT_TRUE(dl.isVisible());
    EXPECT_FALSE(dl.Downloaded());
    EXPECT_TRUE(dl.bstart->isEnabled());
    EXPECT_EQ(Lines(dl.elog).back(), "FTP - Disconnected with error 426 Operation aborted.");
    EXPECT_TRUE(Entries(temp.path()).empty());
  }
  Screenshot(dl, "ftpdl.png");
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(&dl, &esc);
  EXPECT_FALSE(dl.isVisible());
  EXPECT_TRUE(Entries(program.path()).empty());
}

// A preset with a TLS mode the program does not know sends nothing at all:
// it might be one that must never see a password in clear.
TEST_F(FtpDownloadScripted, UnknownTlsModeSendsNothing) {
  Begin("    pass\n");
  WriteFile(root.path() / "pub" / "a.rar", "archive");
  preset.fss = 7;
  Tftpdl dl(preset, server + "/pub/a.rar");
  EXPECT_NE(Download(dl), QDialog::Accepted);
  Tftpchk chk(preset);
  chk.getlistClick();
  EXPECT_NE(chk.result(), QDialog::Accepted);
  EXPECT_TRUE(Commands().empty());
  const auto dlMemo = Lines(dl.elog);
  EXPECT_NE(std::find(dlMemo.begin(), dlMemo.end(), "FTP - Error Unknown FTP TLS mode 7"), dlMemo.end());
  const auto chkMemo = Lines(chk.elog);
  EXPECT_NE(std::find(chkMemo.begin(), chkMemo.end(), "FTP - Error Unknown FTP TLS mode 7"), chkMemo.end());
  EXPECT_TRUE(dl.bstart->isEnabled());
  EXPECT_TRUE(Entries(temp.path()).empty());
}

// A file in the login folder: no folder change at all.
TEST_F(FtpDownloadScripted, RootFileSkipsTheFolderChange) {
  Begin("    pass\n");
  WriteFile(root.path() / "a.rar", "root archive");
  Tftpdl dl(preset, server + "/a.rar");
  EXPECT_EQ(dl.efld->text().toStdString(), "");
  EXPECT_EQ(Download(dl), QDialog::Accepted);
  EXPECT_EQ(ReadFile(temp / "a.rar"), "root archive");
  EXPECT_FALSE(Sent("CWD"));
  EXPECT_TRUE(Sent("RETR"));
  for (const std::string& line : Lines(dl.elog)) EXPECT_EQ(line.find("Changing folder"), std::string::npos);
}

// A later volume of a set that does not arrive whole is no end of the set:
// neither one shorter than SIZE promised nor one the user cancelled.  The
// download has failed, the window stays, and no volume after it is asked
// for.
TEST_F(FtpDownloadScripted, AVolumeThatFailsIsNoEndOfItsSet) {
  Begin(
      "    ThrottledDTPHandler.write_limit = 262144\n"
      "    dtp_handler = ThrottledDTPHandler\n"
      "    def ftp_SIZE(self, path):\n"
      "        extra = 7 if path.endswith('s.part2.rar') else 0\n"
      "        self.respond('213 %d' % (os.path.getsize(path) + extra))\n");
  for (const char* n : {"s.part1.rar", "s.part2.rar", "s.part3.rar", "c.part1.rar", "c.part3.rar"})
    WriteFile(root.path() / "pub" / n, std::string("volume ") + n);
  WriteFile(root.path() / "pub" / "c.part2.rar", std::string(8 * 1024 * 1024, 'c'));
  struct Case {
    const char* first;
    const char* failed;
    std::function<void(Tftpdl&)> meanwhile;
  } cases[] = {
      {"s.part1.rar", "s.part2.rar", [](Tftpdl&) {}},
      {"c.part1.rar", "c.part2.rar",
       [](Tftpdl& dl) {
         ASSERT_TRUE(WaitFor([&] {
           const auto memo = Lines(dl.elog);
           return dl.progr->value() > 0 &&
                  std::find(memo.begin(), memo.end(), "FTP - Trying to download \"c.part2.rar\".") != memo.end();
         }));
         dl.bcancel->click();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    Tftpdl dl(preset, server + "/pub/" + c.first);
    dl.show();
    dl.bstart->click();
    c.meanwhile(dl);
    ASSERT_TRUE(WaitFor([&] { return !dl.Busy(); }, 60000));
    EXPECT_FALSE(dl.Downloaded());
    EXPECT_NE(dl.result(), QDialog::Accepted);
    EXPECT_TRUE(dl.isVisible());
    const std::vector<std::string> memo = Lines(dl.elog);
    const std::string failed = std::string("FTP - Unable to download \"") + c.failed + "\".";
    EXPECT_NE(std::find(memo.begin(), memo.end(), failed), memo.end());
    EXPECT_EQ(memo.back().rfind("FTP - Disconnected with error ", 0), 0u) << memo.back();
    for (const std::string& line : memo) EXPECT_EQ(line.find("part3"), std::string::npos) << line;
    // The volume that came whole stays; nothing of the one that failed.
    const std::vector<std::string> entries = Entries(temp.path());
    EXPECT_NE(std::find(entries.begin(), entries.end(), c.first), entries.end());
    for (const std::string& e : entries) EXPECT_EQ(e.find(c.failed), std::string::npos) << e;
  }
  EXPECT_TRUE(Entries(program.path()).empty());
}
