// The FTP windows against a TLS server: they judge its certificate with
// the check and the file of servers seen that the deliveries use, before
// the login on the control connection and before a transfer on a data
// connection.  The windows run in their own modal loops, opened by the
// restore window as a user opens them.
#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/run/tlsidentity.h"
#include "tests/core/yux_process.h"
#include "tests/dialogs/ftpdialogs_fixture.h"
#include "tests/peers/sslfixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

// pyftpdlib under AUTH TLS with the test PKI's certificates (none of which
// an authority of the system vouches for): `control` on the control
// connection, `data` on the data connections; every command it gets is
// written to a log.
class FtpWindowsTls : public FtpDialogTest {
 protected:
  void Begin(const std::string& control, const std::string& data) {
    if (!HavePyFtpdlib() || RunProgram({"/usr/bin/python3", "-c", "import OpenSSL"}).exitCode != 0) {
      if (InCi()) FAIL() << "missing python3-pyftpdlib or python3-openssl in CI";
      GTEST_SKIP() << "missing python3-pyftpdlib or python3-openssl";
    }
    const TestPki& pki = TestPki::Get();
    ASSERT_TRUE(pki.Ok());
    const std::string handler =
        "from OpenSSL import SSL\n"
        "from pyftpdlib.handlers import TLS_FTPHandler, TLS_DTPHandler\n"
        "data_context = SSL.Context(SSL.TLS_SERVER_METHOD)\n"
        "data_context.use_certificate_chain_file('" + pki.Cert(data) + "')\n"
        "data_context.use_privatekey_file('" + pki.Key(data) + "')\n"
        "class Data(TLS_DTPHandler):\n"
        "    def secure_connection(self, ssl_context):\n"
        "        TLS_DTPHandler.secure_connection(self, data_context)\n"
        "class handler(TLS_FTPHandler):\n"
        "    certfile = '" + pki.Cert(control) + "'\n"
        "    keyfile = '" + pki.Key(control) + "'\n"
        "    dtp_handler = Data\n"
        "    def pre_process_command(self, line, cmd, arg):\n"
        "        with open('" + (logDir / "commands.log").string() + "', 'a') as f:\n"
        "            f.write(cmd + '\\n')\n"
        "        return TLS_FTPHandler.pre_process_command(self, line, cmd, arg)\n";
    fs::create_directories(root.path() / "pub");
    WriteFile(root.path() / "pub" / "a.rar", "the archive");
    ASSERT_TRUE(py.Start(handler, root.path())) << py.Error();
    key = "127.0.0.1:" + std::to_string(py.Port());
    preset.fse = key;
    preset.ffo = "pub";
    preset.fus = "user";
    preset.fpa = "pass";
    preset.fss = 1;
    SavePresetWithFtpRows({key + "/pub/a.rar"});
  }
  std::vector<std::string> Commands() const {
    const fs::path file = logDir / "commands.log";
    return fs::exists(file) ? yux::test::Lines(ReadFile(file)) : std::vector<std::string>{};
  }
  bool Sent(const std::string& verb) const {
    const auto c = Commands();
    return std::find(c.begin(), c.end(), verb) != c.end();
  }
  static bool Holds(const std::vector<std::string>& lines, const std::string& start) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
  }
  // Shows the window modally, as the restore window does, and runs `drive`
  // inside its modal loop; the window is then closed unless it closed
  // itself.  `memo` gets what the window's log showed.
  int ExecDriven(QDialog& d, const std::function<void(QDialog&)>& drive) {
    memo.clear();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (QApplication::activeModalWidget() != &d) return;
      poll.stop();
      drive(d);
      memo = FtpDialogTest::Lines(d.findChild<QPlainTextEdit*>("elog"));
      if (d.isVisible()) d.reject();
    });
    poll.start(20);
    return d.exec();
  }
  // "Refresh FTP" and "Get file list" in the window it opens; the result
  // of the window.
  int RefreshFtp(Trestoreform& f) {
    int result = -1;
    f.execFtpDialog = [&](QDialog& d) {
      return result = ExecDriven(d, [](QDialog& w) { dynamic_cast<Tftpchk&>(w).getlist->click(); });
    };
    f.brefrftp->click();
    return result;
  }
  // A double click on the row and "Start downloading" in the window it
  // opens; the result of the window.
  int DownloadRow(Trestoreform& f, QTreeWidgetItem* row) {
    int result = -1;
    f.execFtpDialog = [&](QDialog& d) {
      return result = ExecDriven(d, [&](QDialog& w) {
        auto& dl = dynamic_cast<Tftpdl&>(w);
        dl.bstart->click();
        EXPECT_TRUE(WaitFor([&] { return !dl.Busy(); }));
      });
    };
    f.histlistDblClick(row);
    return result;
  }

  TempDir root, logDir;
  PyFtpServer py;
  std::string key;
  std::vector<std::string> memo;
};

}  // namespace

// A server remembered by another certificate: neither window logs in, and
// both say why in their own log and in the program's.
TEST_F(FtpWindowsTls, ARememberedServerWithAnotherCertificateGetsNoLogin) {
  Begin("server", "server");
  const std::string remembered = CertFingerprint(TestPki::Get().Cert("rogue"));
  const std::string shown = CertFingerprint(TestPki::Get().Cert("server"));
  ASSERT_FALSE(remembered.empty());
  WriteFile(settings / "tlsservers.txt", key + " " + remembered + "\n");
  const std::string refusal =
      "TLS server " + key + " presents the certificate " + shown + " instead of the one remembered, " + remembered;

  Trestoreform f("P");
  ASSERT_TRUE(f.LoadRestoreHistory());
  QTreeWidgetItem* row = Row(f, key + "/pub/a.rar");
  const int image = Trestoreform::RowImage(row);
  EXPECT_NE(RefreshFtp(f), QDialog::Accepted);
  EXPECT_EQ(Trestoreform::RowImage(row), image);
  EXPECT_TRUE(Holds(memo, refusal)) << ::testing::PrintToString(memo);
  EXPECT_EQ(memo.back(), "FTP - Unable to download");

  EXPECT_NE(DownloadRow(f, row), QDialog::Accepted);
  EXPECT_TRUE(Holds(memo, refusal)) << ::testing::PrintToString(memo);
  EXPECT_TRUE(Entries(temp.path()).empty());

  EXPECT_TRUE(Sent("AUTH")) << ::testing::PrintToString(Commands());
  EXPECT_FALSE(Sent("USER")) << ::testing::PrintToString(Commands());
  EXPECT_FALSE(Sent("PASS"));
  EXPECT_EQ(CountOf(ReadFile(settings / "yux.log"), "] " + refusal), 2) << ReadFile(settings / "yux.log");
  EXPECT_EQ(ReadFile(settings / "tlsservers.txt"), key + " " + remembered + "\n");
}

// A data connection that shows another certificate than the control
// connection's: the first contact is remembered, the login goes through,
// but neither the listing nor the download is taken from it.
TEST_F(FtpWindowsTls, ADataConnectionWithAnotherCertificateIsRefused) {
  Begin("server", "rogue");
  const std::string control = CertFingerprint(TestPki::Get().Cert("server"));
  const std::string data = CertFingerprint(TestPki::Get().Cert("rogue"));
  const std::string refusal = "TLS data connection of " + key + " presents the certificate " + data +
                              ", not the control connection's " + control + ": transfer ended. [!]";
  Trestoreform f("P");
  ASSERT_TRUE(f.LoadRestoreHistory());
  QTreeWidgetItem* row = Row(f, key + "/pub/a.rar");
  const int image = Trestoreform::RowImage(row);
  EXPECT_NE(RefreshFtp(f), QDialog::Accepted);
  EXPECT_EQ(Trestoreform::RowImage(row), image);
  EXPECT_TRUE(Holds(memo, refusal)) << ::testing::PrintToString(memo);

  EXPECT_NE(DownloadRow(f, row), QDialog::Accepted);
  EXPECT_TRUE(Holds(memo, refusal)) << ::testing::PrintToString(memo);
  EXPECT_TRUE(Holds(memo, "FTP - Unable to download \"a.rar\".")) << ::testing::PrintToString(memo);
  EXPECT_TRUE(Entries(temp.path()).empty());
  EXPECT_TRUE(Sent("RETR")) << ::testing::PrintToString(Commands());
  EXPECT_EQ(ReadFile(settings / "tlsservers.txt"), key + " " + control + "\n");
  EXPECT_EQ(CountOf(ReadFile(settings / "yux.log"), "] " + refusal), 2) << ReadFile(settings / "yux.log");
}
