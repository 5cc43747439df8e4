// The FTP check window against vsftpd: "Refresh FTP" marks the archives a
// folder still holds, in any letter case; a server that refuses logins
// without TLS is listed by a TLS preset only; the listing file lives and
// dies in the temp folder.
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>

#include "core/store/skin.h"
#include "net/protocols/ftpcli.h"
#include "tests/dialogs/ftpdialogs_fixture.h"
#include "tests/peers/sslfixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

TEST(FtpListingHolds, NamesMatchAfterTheLastSlashInAnyCase) {
  struct Case {
    const char* location;
    std::vector<std::string> listing;
    bool found;
  } cases[] = {
      {"h:21/pub/a.rar", {"b.rar", "a.rar"}, true},
      {"h:21/pub/A.Rar", {"a.rar"}, true},
      {"h:21/pub/\xc3\x9c.rar", {"\xc3\xbc.rar"}, true},  // case beyond ASCII
      {"h:21/pub/a.rar", {"pub", "a.rar.1", "xa.rar"}, false},
      {"h:21/pub/sub/a.rar", {"a.rar"}, true},
      {"h:21/a.rar", {}, false},
      {"no-slash", {"no-slash"}, false},
      {"no-slash", {"*"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location);
    EXPECT_EQ(FtpListingHolds(c.listing, c.location), c.found);
  }
}

namespace {

class FtpCheck : public FtpDialogTest {
 protected:
  void Start(FtpTls tls, const std::string& extra = {}) {
    YUX_REQUIRE_PROGRAM("vsftpd");
    YUX_REQUIRE_PROGRAM("curl");
    if (tls != FtpTls::None) {
      ASSERT_TRUE(TestPki::Get().Ok());
    }
    ASSERT_TRUE(server.Start(tls, extra)) << server.Error();
    preset.fse = "127.0.0.1:" + std::to_string(server.Port());
    preset.ffo = "pub";
  }
  std::string Where(const std::string& name) const {
    return "127.0.0.1:" + std::to_string(server.Port()) + "/pub/" + name;
  }
  VsftpdServer server;
};

}  // namespace

TEST_F(FtpCheck, RefreshMarksUploadedArchivesFoundAndDeletedOnesMissing) {
  Start(FtpTls::None);
  for (const char* name : {"a.rar", "c.rar", "gone.rar"}) {
    WriteFile(work / name, std::string("archive ") + name);
    ASSERT_TRUE(CurlUpload(server, work / name));
  }
  ASSERT_TRUE(fs::exists(server.Pub() / "gone.rar"));
  fs::remove(server.Pub() / "gone.rar");
  SavePresetWithFtpRows({Where("a.rar"), Where("C.RAR"), Where("gone.rar")});
  AddHistoryLine("P", kHistoryCopy, (work / "copy.rar").string());

  Trestoreform f("P");
  ASSERT_TRUE(f.LoadRestoreHistory());
  std::vector<std::string> memo;
  bool disabledWhileListing = false;
  f.execFtpDialog = [&](QDialog& d) {
    auto& chk = dynamic_cast<Tftpchk&>(d);
    EXPECT_EQ(chk.esvr->text().toStdString(), preset.fse);
    EXPECT_EQ(chk.efld->text().toStdString(), "pub");
    EXPECT_FALSE(chk.cactive->isChecked());
    chk.ch->OnStateChange = [&](net::TCustomFtpCli*) {
      if (chk.Busy() && !chk.getlist->isEnabled()) disabledWhileListing = true;
    };
    chk.getlist->click();
    chk.ch->OnStateChange = nullptr;
    memo = Lines(chk.elog);
    return chk.result();
  };
  f.brefrftp->click();
  EXPECT_TRUE(disabledWhileListing);
  EXPECT_EQ(Trestoreform::RowImage(Row(f, Where("a.rar"))), 0);
  EXPECT_EQ(Trestoreform::RowImage(Row(f, Where("C.RAR"))), 0);
  EXPECT_EQ(Trestoreform::RowImage(Row(f, Where("gone.rar"))), 1);
  EXPECT_EQ(Trestoreform::RowImage(Row(f, (work / "copy.rar").string())), 2);
  std::sort(memo.begin(), memo.end());
  EXPECT_EQ(memo, (std::vector<std::string>{"a.rar", "c.rar"}));
  EXPECT_TRUE(Entries(program.path()).empty());
  EXPECT_TRUE(Entries(temp.path()).empty());
}

// A server that refuses clear-text logins: the plain preset fails and the
// rows stay unchecked; the TLS preset lists the folder.
TEST_F(FtpCheck, TlsPresetListsWherePlainLoginIsRefused) {
  Start(FtpTls::Explicit, kVsftpdForceTls);
  WriteFile(work / "t.rar", "tls archive");
  ASSERT_TRUE(CurlUpload(server, work / "t.rar", true));
  SavePresetWithFtpRows({Where("t.rar"), Where("u.rar")});

  Tftpchk plain(preset);
  plain.getlistClick();
  EXPECT_NE(plain.result(), QDialog::Accepted);
  EXPECT_TRUE(plain.Listing().empty());
  const std::vector<std::string> failed = Lines(plain.elog);
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0], "FTP - Connecting to " + preset.fse + ".");
  EXPECT_EQ(failed[1], "FTP - Unable to download");
  EXPECT_TRUE(plain.getlist->isEnabled());
  Screenshot(plain, "ftpchk.png");

  preset.fss = 1;
  ASSERT_TRUE(SavePreset("P", preset));
  Trestoreform f("P");
  ASSERT_TRUE(f.LoadRestoreHistory());
  f.execFtpDialog = [&](QDialog& d) {
    auto& chk = dynamic_cast<Tftpchk&>(d);
    chk.getlist->click();
    EXPECT_EQ(chk.Listing(), std::vector<std::string>{"t.rar"});
    return chk.result();
  };
  f.brefrftp->click();
  EXPECT_EQ(Trestoreform::RowImage(Row(f, Where("t.rar"))), 0);
  EXPECT_EQ(Trestoreform::RowImage(Row(f, Where("u.rar"))), 1);
  EXPECT_TRUE(Entries(program.path()).empty());
  EXPECT_TRUE(Entries(temp.path()).empty());
}

// A preset whose server text is a host script lists the server the script
// names, as its uploads reach it.
TEST_F(FtpCheck, HostScriptNamesTheServerToList) {
  Start(FtpTls::None);
  WriteFile(work / "s.rar", "script archive");
  ASSERT_TRUE(CurlUpload(server, work / "s.rar"));
  WriteFile(work / "host.py",
            "import sys\n"
            "from http.server import BaseHTTPRequestHandler, HTTPServer\n"
            "class Handler(BaseHTTPRequestHandler):\n"
            "    def do_POST(self):\n"
            "        body = (sys.argv[2] + '\\r\\n').encode()\n"
            "        self.send_response(200)\n"
            "        self.send_header('Content-Length', str(len(body)))\n"
            "        self.end_headers()\n"
            "        self.wfile.write(body)\n"
            "    def log_message(self, *args):\n"
            "        pass\n"
            "HTTPServer(('127.0.0.1', int(sys.argv[1])), Handler).serve_forever()\n");
  const int port = FreeLoopbackPort();
  PeerProcess script;
  ASSERT_TRUE(script.Start({"/usr/bin/python3", (work / "host.py").string(), std::to_string(port), preset.fse}));
  ASSERT_TRUE(WaitForListener(port));
  preset.fse = "http://127.0.0.1:" + std::to_string(port) + "/host.php?id=1";
  Tftpchk chk(preset);
  chk.getlistClick();
  EXPECT_EQ(chk.result(), QDialog::Accepted);
  EXPECT_EQ(chk.Listing(), std::vector<std::string>{"s.rar"});
  EXPECT_TRUE(Entries(temp.path()).empty());
  // A script nobody answers names no server.
  preset.fse = "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/host.php";
  Tftpchk failed(preset);
  failed.getlistClick();
  EXPECT_NE(failed.result(), QDialog::Accepted);
  EXPECT_EQ(Lines(failed.elog), (std::vector<std::string>{"FTP - Connecting to " + preset.fse + ".",
                                                          "Couldn't accuire real FTP host from a HTTP script, cancelled",
                                                          "FTP - Unable to download"}));
}

// A server that never greets: Esc during the listing aborts it (the button
// is off meanwhile) and the window stays; idle, Esc closes it.
TEST_F(FtpDialogTest, EscDuringTheListingAbortsItAndKeepsTheWindow) {
  int port = 0;
  const int silent = LoopbackListener(port);
  preset.fse = "127.0.0.1:" + std::to_string(port);
  Tftpchk chk(preset);
  chk.show();
  bool buttonOff = false;
  QTimer::singleShot(300, &chk, [&] {
    buttonOff = chk.Busy() && !chk.getlist->isEnabled();
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&chk, &esc);
  });
  chk.getlistClick();
  EXPECT_TRUE(buttonOff);
  EXPECT_EQ(chk.ch->ErrorMessage, "426 Operation aborted.");
  EXPECT_TRUE(chk.isVisible());
  EXPECT_TRUE(chk.getlist->isEnabled());
  EXPECT_EQ(Lines(chk.elog).back(), "FTP - Unable to download");
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(&chk, &esc);
  EXPECT_FALSE(chk.isVisible());
  EXPECT_TRUE(Entries(temp.path()).empty());
  CloseFd(silent);
}

// Both windows translate their texts; the preset's values stay.
TEST_F(FtpDialogTest, LanguageFileTranslatesTextsButNotValues) {
  WriteFile(program / "Test.lng",
            "[FORMS]\r\nftpchk=Pruefen\r\nftpchkLabel1=Server:\r\nftpchkgetlist=Liste\r\n"
            "ftpchkcactive=Aktiv\r\nftpchkesvr=stale\r\n"
            "ftpdl=Laden\r\nftpdlLabel7=Ordner:\r\nftpdlbstart=Los\r\nftpdlefile=stale\r\n");
  Options.lng = "Test.lng";
  preset.fse = "h:2121";
  Tftpchk chk(preset);
  EXPECT_EQ(chk.windowTitle().toStdString(), "Pruefen");
  EXPECT_EQ(chk.Label1->text().toStdString(), "Server:");
  EXPECT_EQ(chk.getlist->text().toStdString(), "Liste");
  EXPECT_EQ(chk.cactive->text().toStdString(), "Aktiv");
  EXPECT_EQ(chk.esvr->text().toStdString(), "h:2121");
  Tftpdl dl(preset, "h:2121/pub/a.rar");
  EXPECT_EQ(dl.windowTitle().toStdString(), "Laden");
  EXPECT_EQ(dl.Label7->text().toStdString(), "Ordner:");
  EXPECT_EQ(dl.bstart->text().toStdString(), "Los");
  EXPECT_EQ(dl.efile->text().toStdString(), "a.rar");
}

// A skin colours both windows' edits and memo and paints their picture.
TEST_F(FtpDialogTest, ASkinColoursEditsAndMemo) {
  const tskin saved = Skin;
  Skin.PresetType = kSkinTiled;
  Skin.FileListBackground = "102030";
  Skin.FileListColor = "f0e0d0";
  Tftpchk chk(preset);
  Tftpdl dl(preset, "h:21/pub/a.rar");
  Skin = saved;
  for (QWidget* w : std::vector<QWidget*>{chk.esvr, chk.epwd, chk.elog, dl.efile, dl.elf, dl.elog}) {
    SCOPED_TRACE(w->objectName().toStdString());
    EXPECT_EQ(w->palette().color(QPalette::Base), QColor(0x10, 0x20, 0x30));
    EXPECT_EQ(w->palette().color(QPalette::Text), QColor(0xf0, 0xe0, 0xd0));
  }
  EXPECT_NE(chk.findChild<QObject*>("skinBackground"), nullptr);
  EXPECT_NE(dl.findChild<QObject*>("skinBackground"), nullptr);
  Tftpchk plain(preset);
  EXPECT_NE(plain.elog->palette().color(QPalette::Base), QColor(0x10, 0x20, 0x30));
}
