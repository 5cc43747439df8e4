// The FTP client against pyftpdlib servers whose handlers are scripted in
// Python: logins that skip PASS or need ACCT, a one-time-password
// challenge, a server that cannot restart, and a refused upload.
#include <gtest/gtest.h>

#include "net/protocols/otp.h"
#include "tests/net/protocols/ftpclient.h"
#include "tests/peers/ftppeers.h"

using namespace yux;
using namespace yux::net;
using namespace yux::test;

namespace {

class FtpPyftpd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HavePyFtpdlib()) {
      if (InCi()) FAIL() << "missing python3-pyftpdlib in CI";
      GTEST_SKIP() << "missing python3-pyftpdlib";
    }
  }
  void Start(const std::string& handler) {
    ASSERT_TRUE(server.Start(handler, root.path()));
    f.c.HostName = "127.0.0.1";
    f.c.Port = std::to_string(server.Port());
    f.c.UserName = "user";
    f.c.PassWord = "pass";
    f.c.SetPassive(true);
    f.c.RequestedMode = ftpTransModeStream;
  }
  TempDir root, local;
  PyFtpServer server;
  RecordedFtp<TFtpClient> f;
};

TEST_F(FtpPyftpd, LoginAcceptedByUserSendsNoPassword) {
  Start(R"(
class handler(FTPHandler):
    def ftp_USER(self, line):
        FTPHandler.ftp_USER(self, line)
        FTPHandler.ftp_PASS(self, 'pass')
    def respond(self, resp, logfun=None):
        if resp.startswith('331'):
            return
        FTPHandler.respond(self, resp)
)");
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(f.TracedStart("< 230"));
  EXPECT_FALSE(f.TracedStart("> PASS"));
  EXPECT_FALSE(f.TracedStart("> ACCT"));
  ASSERT_EQ(f.Run(&TCustomFtpCli::PwdAsync), 0) << f.c.ErrorMessage;
  EXPECT_EQ(f.c.DirResult, "/");
}

const char* kAccountHandler = R"(
class handler(FTPHandler):
    proto_cmds = dict(FTPHandler.proto_cmds)
    proto_cmds['ACCT'] = dict(perm=None, auth=False, arg=True, help='Syntax: ACCT <SP> account.')
    def ftp_PASS(self, line):
        self.password_seen = line
        self.respond('332 Need account for login.')
    def ftp_ACCT(self, line):
        if line == 'books' and self.password_seen == 'pass':
            FTPHandler.ftp_PASS(self, 'pass')
        else:
            self.respond('530 Bad account.')
)";

TEST_F(FtpPyftpd, AccountAfter332AndEmptyAccountEndsTheRequest) {
  Start(kAccountHandler);
  f.c.Account = "books";
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(f.Traced("> ACCT books"));
  EXPECT_TRUE(f.TracedStart("< 230"));
  ASSERT_EQ(f.Run(&TCustomFtpCli::QuitAsync), 0);

  f.c.Account.clear();
  EXPECT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 500);
  EXPECT_EQ(f.c.ErrorMessage, "500 Account empty!");
  EXPECT_EQ(f.c.State(), fcsReady);
  f.ExpectNoMoreDone(3);
}

TEST_F(FtpPyftpd, OneTimePasswordAnswersTheChallenge) {
  // The six words, computed here from the challenge and the pass phrase.
  TOtpKey key;
  OtpComputeKey(OtpKeyMd5, "ke1234", "pass", key, 499);
  const std::string words = OtpKeyToWords(key);
  Start(R"(
class handler(FTPHandler):
    def ftp_USER(self, line):
        FTPHandler.ftp_USER(self, line)
    def respond(self, resp, logfun=None):
        if resp.startswith('331'):
            resp = '331 Response to otp-md5 499 ke1234 ext required for user.'
        FTPHandler.respond(self, resp)
    def ftp_PASS(self, line):
        if line == ')" + words + R"(':
            FTPHandler.ftp_PASS(self, 'pass')
        else:
            self.respond('530 Wrong one-time password.')
)");
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(f.Traced("> PASS " + words));
  EXPECT_TRUE(f.Traced("! Generated One Time Password: " + words));
}

const char* kNoRestartHandler = R"(
class handler(FTPHandler):
    def ftp_REST(self, line):
        self.respond('501 No restart here.')
)";

TEST_F(FtpPyftpd, RefusedRestartDownloadsWholeFile) {
  Start(kNoRestartHandler);
  std::string data = RandomBytes(100000, 11);
  WriteFile(root / "file.bin", data);
  WriteFile(local / "file.bin", data.substr(0, 30000));
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  ASSERT_EQ(f.Run(&TCustomFtpCli::TypeSetAsync), 0) << f.c.ErrorMessage;
  f.c.HostFileName = "file.bin";
  f.c.LocalFileName = (local / "file.bin").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::RestGetAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(f.Traced("> REST 30000"));
  EXPECT_EQ(f.c.ResumeAt, 0);
  EXPECT_TRUE(ReadFile(local / "file.bin") == data);
}

TEST_F(FtpPyftpd, RefusedRestartUploadsWholeFile) {
  Start(kNoRestartHandler);
  std::string data = RandomBytes(100000, 12);
  WriteFile(root / "up.bin", data.substr(0, 30000));
  WriteFile(local / "up.bin", data);
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  ASSERT_EQ(f.Run(&TCustomFtpCli::TypeSetAsync), 0) << f.c.ErrorMessage;
  f.c.HostFileName = "up.bin";
  f.c.LocalFileName = (local / "up.bin").string();
  f.c.ResumeAt = 30000;
  ASSERT_EQ(f.Run(&TCustomFtpCli::RestPutAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(f.Traced("> REST 30000"));
  // Without the 350 the server stores what it gets as the whole file:
  // that must be the whole file.
  EXPECT_TRUE(ReadFile(root / "up.bin") == data);
}

TEST_F(FtpPyftpd, UploadRefusedAfter150EndsWithTheServersCode) {
  Start(R"(
class handler(FTPHandler):
    def ftp_STOR(self, file, mode='w'):
        self.respond('150 Go ahead.')
        self.respond('426 Connection closed; transfer aborted.')
)");
  WriteFile(local / "up.bin", RandomBytes(50000, 13));
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  f.c.HostFileName = "up.bin";
  f.c.LocalFileName = (local / "up.bin").string();
  EXPECT_EQ(f.Run(&TCustomFtpCli::PutAsync), 426);
  EXPECT_EQ(f.c.ErrorMessage, "426 Connection closed; transfer aborted.");
  EXPECT_TRUE(f.Traced("! STOR Failed"));
  f.ExpectNoMoreDone(2);
  // The connection goes on.
  ASSERT_EQ(f.Run(&TCustomFtpCli::PwdAsync), 0) << f.c.ErrorMessage;
}

}  // namespace
