// The FTP client against vsftpd: every transfer compared byte for byte on
// the server's disk and after the download, in passive and active mode,
// in plain text and over TLS.
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <filesystem>

#include "net/socket/sslcontext.h"
#include "tests/net/protocols/ftpclient.h"
#include "tests/peers/ftppeers.h"
#include "tests/peers/sslfixture.h"

using namespace yux;
using namespace yux::net;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

struct Mode {
  const char* name;
  bool passive;
  FtpTls tls;
  const char* version = "TLSv1.3";  // the TLS version the client allows at most
};

class FtpVsftpd : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    YUX_REQUIRE_PROGRAM("vsftpd");
    if (GetParam().tls != FtpTls::None) ASSERT_TRUE(TestPki::Get().Ok()) << TestPki::Get().Error();
    ASSERT_TRUE(server.Start(GetParam().tls)) << server.Error();
    ctx.SetSslCAFile(TestPki::Get().Cert("ca"));
    ctx.SetSslVerifyPeer(GetParam().tls != FtpTls::None);
    ctx.InitContext();
    if (std::string(GetParam().version) == "TLSv1.2")
      SSL_CTX_set_max_proto_version(ctx.SslCTX(), TLS1_2_VERSION);
    TSslFtpClient& c = f.c;
    c.SetSslContext(&ctx);
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(server.Port());
    c.UserName = "anonymous";
    c.PassWord = "test@example.org";
    c.SetPassive(GetParam().passive);
    c.RequestedMode = ftpTransModeStream;
    if (GetParam().tls == FtpTls::Explicit) c.SetSslType(sslTypeAuthTls);
    if (GetParam().tls == FtpTls::Implicit) c.SetSslType(sslTypeImplicit);
  }

  // Logs in, enters pub, and protects the data connections over TLS.
  void Login() {
    TSslFtpClient& c = f.c;
    ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << c.ErrorMessage;
    ASSERT_TRUE(c.Connected());
    if (GetParam().tls != FtpTls::None) {
      ASSERT_EQ(f.Run(&TCustomFtpCli::PbszAsync), 0) << c.ErrorMessage;
      c.SetProtLevel("P");
      ASSERT_EQ(f.Run(&TCustomFtpCli::ProtAsync), 0) << c.ErrorMessage;
      ASSERT_TRUE(c.DataProtected());
      EXPECT_EQ(c.ControlSocket()->SslVersion, GetParam().version);
    }
    c.HostDirName = "pub";
    ASSERT_EQ(f.Run(&TCustomFtpCli::CwdAsync), 0) << c.ErrorMessage;
    ASSERT_EQ(f.Run(&TCustomFtpCli::TypeSetAsync), 0) << c.ErrorMessage;
  }

  int Put(const std::string& remote, const fs::path& local) {
    f.c.HostFileName = remote;
    f.c.LocalFileName = local.string();
    return f.Run(&TCustomFtpCli::PutAsync);
  }
  int Get(const std::string& remote, const fs::path& local) {
    f.c.HostFileName = remote;
    f.c.LocalFileName = local.string();
    return f.Run(&TCustomFtpCli::GetAsync);
  }

  std::string Tail() const {
    std::string t;
    for (size_t i = f.trace.size() > 15 ? f.trace.size() - 15 : 0; i < f.trace.size(); ++i)
      t += "\n" + f.trace[i];
    return t;
  }

  VsftpdServer server;
  TSslContext ctx;
  RecordedFtp<TSslFtpClient> f;
  TempDir local;
};

TEST_P(FtpVsftpd, TransfersOfEverySizeArriveWhole) {
  Login();
  TSslFtpClient& c = f.c;
  // Around the TLS record (16 KB), the client's block (32 KB), the TLS
  // layer's plaintext chunk and pair (64 and 256 KB) and the client's
  // batch of blocks (1 MB).
  const size_t sizes[] = {0,       1,       16383,   16384,   16385,   32767,
                          32768,   32769,   262143,  262144,  262145,  700001,
                          1048575, 1048576, 1048577, 5 * 1024 * 1024};
  for (size_t n : sizes) {
    SCOPED_TRACE("size " + std::to_string(n));
    std::string data = RandomBytes(n, unsigned(n));
    std::string name = "f" + std::to_string(n) + ".bin";
    WriteFile(local / name, data);
    ASSERT_EQ(Put(name, local / name), 0) << c.ErrorMessage << Tail();
    EXPECT_TRUE(ReadFile(server.Pub() / name) == data);
    EXPECT_EQ(c.ByteCount, std::int64_t(n));
    ASSERT_EQ(Get(name, local / ("back" + name)), 0) << c.ErrorMessage;
    EXPECT_TRUE(ReadFile(local / ("back" + name)) == data);
    c.HostFileName = name;
    ASSERT_EQ(f.Run(&TCustomFtpCli::SizeAsync), 0) << c.ErrorMessage;
    EXPECT_EQ(c.SizeResult, std::int64_t(n));
  }
  f.ExpectNoMoreDone(f.done.size());
}

TEST_P(FtpVsftpd, AppendAndRestartedTransfersCompleteTheFile) {
  Login();
  TSslFtpClient& c = f.c;
  std::string data = RandomBytes(200000, 7);
  const size_t cut = 70001;

  // APPE adds to what is there.
  WriteFile(local / "head", data.substr(0, cut));
  WriteFile(local / "tail", data.substr(cut));
  ASSERT_EQ(Put("appended.bin", local / "head"), 0) << c.ErrorMessage;
  c.HostFileName = "appended.bin";
  c.LocalFileName = (local / "tail").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::AppendAsync), 0) << c.ErrorMessage;
  EXPECT_TRUE(ReadFile(server.Pub() / "appended.bin") == data);

  // A cut upload restarted from where the server's copy ends.
  server.PutFile("restarted.bin", data.substr(0, cut));
  WriteFile(local / "whole", data);
  c.HostFileName = "restarted.bin";
  c.LocalFileName = (local / "whole").string();
  c.ResumeAt = std::int64_t(cut);
  ASSERT_EQ(f.Run(&TCustomFtpCli::RestPutAsync), 0) << c.ErrorMessage;
  EXPECT_TRUE(f.Traced("> REST " + std::to_string(cut)));
  EXPECT_TRUE(ReadFile(server.Pub() / "restarted.bin") == data);

  // A cut download restarted from the local file's size.
  server.PutFile("down.bin", data);
  WriteFile(local / "down.bin", data.substr(0, cut));
  c.HostFileName = "down.bin";
  c.LocalFileName = (local / "down.bin").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::RestGetAsync), 0) << c.ErrorMessage;
  EXPECT_TRUE(f.Traced("> REST " + std::to_string(cut)));
  EXPECT_TRUE(ReadFile(local / "down.bin") == data);
  EXPECT_EQ(c.ByteCount, std::int64_t(data.size() - cut));
}

TEST_P(FtpVsftpd, TextModeFeaturesListingsAndFileCommands) {
  Login();
  TSslFtpClient& c = f.c;

  // TYPE A turns the server's LF into CR LF on the way down.
  server.PutFile("text.txt", "one\ntwo\n");
  c.SetBinary(false);
  ASSERT_EQ(f.Run(&TCustomFtpCli::TypeSetAsync), 0) << c.ErrorMessage;
  EXPECT_TRUE(f.Traced("> TYPE A"));
  ASSERT_EQ(Get("text.txt", local / "text.txt"), 0) << c.ErrorMessage;
  EXPECT_EQ(ReadFile(local / "text.txt"), "one\r\ntwo\r\n");
  c.SetBinary(true);
  ASSERT_EQ(f.Run(&TCustomFtpCli::TypeSetAsync), 0) << c.ErrorMessage;

  ASSERT_EQ(f.Run(&TCustomFtpCli::FeatAsync), 0) << c.ErrorMessage;
  EXPECT_TRUE(c.SupportedExtensions.Contains(ftpFeatSize));
  EXPECT_TRUE(c.SupportedExtensions.Contains(ftpFeatMdtm));
  EXPECT_TRUE(c.SupportedExtensions.Contains(ftpFeatRest));

  fs::last_write_time(server.Pub() / "text.txt",
                      fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
  c.HostFileName = "text.txt";
  ASSERT_EQ(f.Run(&TCustomFtpCli::MdtmAsync), 0) << c.ErrorMessage;
  EXPECT_GT(c.RemoteFileTime, 40000.0);

  c.HostFileName = "newdir";
  ASSERT_EQ(f.Run(&TCustomFtpCli::MkdAsync), 0) << c.ErrorMessage;
  EXPECT_TRUE(fs::is_directory(server.Pub() / "newdir"));
  EXPECT_EQ(c.DirResult, "/pub/newdir");
  ASSERT_EQ(f.Run(&TCustomFtpCli::RmdAsync), 0) << c.ErrorMessage;
  EXPECT_FALSE(fs::exists(server.Pub() / "newdir"));

  c.HostFileName = "text.txt";
  c.LocalFileName = "renamed.txt";
  ASSERT_EQ(f.Run(&TCustomFtpCli::RenAsync), 0) << c.ErrorMessage;
  EXPECT_TRUE(fs::exists(server.Pub() / "renamed.txt"));
  EXPECT_FALSE(fs::exists(server.Pub() / "text.txt"));

  c.HostFileName.clear();
  c.LocalFileName = (local / "nlst.txt").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::LsAsync), 0) << c.ErrorMessage;
  EXPECT_EQ(ReadFile(local / "nlst.txt"), "renamed.txt\r\n");
  c.LocalFileName = (local / "list.txt").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::DirAsync), 0) << c.ErrorMessage;
  EXPECT_NE(ReadFile(local / "list.txt").find(" renamed.txt\r\n"), std::string::npos);

  c.HostFileName = "renamed.txt";
  ASSERT_EQ(f.Run(&TCustomFtpCli::DeleAsync), 0) << c.ErrorMessage;
  EXPECT_FALSE(fs::exists(server.Pub() / "renamed.txt"));
  ASSERT_EQ(f.Run(&TCustomFtpCli::DeleAsync), 550);
  EXPECT_EQ(c.ErrorMessage.substr(0, 4), "550 ");

  ASSERT_EQ(f.Run(&TCustomFtpCli::QuitAsync), 0) << c.ErrorMessage;
  EXPECT_FALSE(c.Connected());
  f.ExpectNoMoreDone(f.done.size());
}

TEST_P(FtpVsftpd, HighLevelRequestsLogInTransferAndQuit) {
  TSslFtpClient& c = f.c;
  std::string data = RandomBytes(100000, 3);
  WriteFile(local / "up.bin", data);
  c.HostDirName = "pub";
  c.HostFileName = "up.bin";
  c.LocalFileName = (local / "up.bin").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::TransmitAsync), 0) << c.ErrorMessage;
  EXPECT_EQ(f.done.back().rq, ftpTransmitAsync);
  EXPECT_TRUE(ReadFile(server.Pub() / "up.bin") == data);
  EXPECT_FALSE(c.Connected());
  // The request reports the reply of its last real step, not QUIT's.
  EXPECT_EQ(c.StatusCode, 226);

  c.LocalFileName = (local / "down.bin").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::ReceiveAsync), 0) << c.ErrorMessage;
  EXPECT_EQ(f.done.back().rq, ftpReceiveAsync);
  EXPECT_TRUE(ReadFile(local / "down.bin") == data);

  c.LocalFileName = (local / "names.txt").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::ListAsync), 0) << c.ErrorMessage;
  EXPECT_EQ(ReadFile(local / "names.txt"), "up.bin\r\n");

  ASSERT_EQ(f.Run(&TCustomFtpCli::FileSizeAsync), 0) << c.ErrorMessage;
  EXPECT_EQ(c.SizeResult, 100000);

  // A failing CWD ends the request with its code at once: no QUIT follows.
  c.HostDirName = "missing";
  f.trace.clear();
  ASSERT_EQ(f.Run(&TCustomFtpCli::ListAsync), 550);
  EXPECT_FALSE(f.Traced("> QUIT"));
  EXPECT_EQ(c.ErrorMessage.substr(0, 4), "550 ");
  f.ExpectNoMoreDone(f.done.size());
}

const Mode kModes[] = {
    {"Passive", true, FtpTls::None},
    {"Active", false, FtpTls::None},
};
INSTANTIATE_TEST_SUITE_P(Plain, FtpVsftpd, ::testing::ValuesIn(kModes),
                         [](const auto& i) { return std::string(i.param.name); });

// AUTH TLS with PROT P, and implicit TLS: every data connection resumes the
// control connection's session, which vsftpd requires by default.
const Mode kTlsModes[] = {
    {"PassiveAuthTls", true, FtpTls::Explicit},
    {"ActiveAuthTls", false, FtpTls::Explicit},
    {"PassiveImplicit", true, FtpTls::Implicit},
    {"ActiveImplicit", false, FtpTls::Implicit},
    {"PassiveAuthTls12", true, FtpTls::Explicit, "TLSv1.2"},
    {"ActiveImplicit12", false, FtpTls::Implicit, "TLSv1.2"},
};
INSTANTIATE_TEST_SUITE_P(Tls, FtpVsftpd, ::testing::ValuesIn(kTlsModes),
                         [](const auto& i) { return std::string(i.param.name); });

}  // namespace
