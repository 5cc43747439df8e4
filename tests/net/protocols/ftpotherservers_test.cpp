// The FTP client against proftpd (compressed transfers, MODE Z) and
// pure-ftpd, so that nothing is tuned to one server's replies.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/net/protocols/ftpclient.h"
#include "tests/peers/ftppeers.h"

using namespace yux;
using namespace yux::net;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

#define YUX_REQUIRE_FETCHED(server)                                                  \
  do {                                                                               \
    if (!server::Available()) {                                                      \
      if (InCi()) FAIL() << "missing " #server "; run scripts/fetch_ftp_peers.sh"; \
      GTEST_SKIP() << "missing " #server "; run scripts/fetch_ftp_peers.sh";         \
    }                                                                                \
  } while (0)

void Aim(TCustomFtpCli& c, int port) {
  c.HostName = "127.0.0.1";
  c.Port = std::to_string(port);
  c.UserName = "anonymous";
  c.PassWord = "test@example.org";
  c.SetPassive(true);
}

TEST(FtpProftpd, ModeZUpAndDownWithAFullPathAndNoTempFileLeft) {
  YUX_REQUIRE_FETCHED(ProftpdServer);
  ProftpdServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  TempDir local, temp;
  RecordedFtp<TFtpClient> f;
  Aim(f.c, server.Port());
  f.c.TempFolder = temp.str() + "/";
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  ASSERT_EQ(f.Run(&TCustomFtpCli::TypeSetAsync), 0) << f.c.ErrorMessage;
  ASSERT_EQ(f.Run(&TCustomFtpCli::OptsAsync), 0) << f.c.ErrorMessage;
  ASSERT_EQ(f.Run(&TCustomFtpCli::ModeZAsync), 0) << f.c.ErrorMessage;
  ASSERT_EQ(f.c.TransferMode(), ftpTransModeZDeflate);

  // Text-like data that compresses about two to one (proftpd's inflater
  // fails on uploads that inflate by hundreds to one).
  std::string data = RandomBytes(200000, 5);
  for (char& ch : data) ch = char('a' + (static_cast<unsigned char>(ch) & 15));
  WriteFile(server.Anon() / "pre.bin", data);
  f.c.HostFileName = "pre.bin";
  f.c.LocalFileName = (local / "pre.bin").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::GetAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(ReadFile(local / "pre.bin") == data);
  const fs::path up = local / "Dir.With.Dots" / "up.bin";
  fs::create_directories(up.parent_path());
  WriteFile(up, data);
  f.c.HostFileName = "up.bin";
  f.c.LocalFileName = up.string();  // a full path: the temp name must not keep its "/"
  ASSERT_EQ(f.Run(&TCustomFtpCli::PutAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(ReadFile(server.Anon() / "up.bin") == data);
  EXPECT_TRUE(f.TracedStart("! Upload Size, compressed "));
  EXPECT_TRUE(fs::is_empty(temp.path()));

  f.c.LocalFileName = (local / "Dir.With.Dots" / "down.bin").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::GetAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(ReadFile(local / "Dir.With.Dots" / "down.bin") == data);
  EXPECT_TRUE(f.TracedStart("! Download size, compressed "));
  EXPECT_LT(f.c.ByteCount, std::int64_t(data.size()));  // what travelled was compressed
  EXPECT_TRUE(fs::is_empty(temp.path()));

  // A failing download still removes its temp file.
  f.c.HostFileName = "missing.bin";
  EXPECT_EQ(f.Run(&TCustomFtpCli::GetAsync), 550);
  EXPECT_TRUE(fs::is_empty(temp.path()));
  f.ExpectNoMoreDone(f.done.size());
}

TEST(FtpPureFtpd, ConnectUploadDownload) {
  YUX_REQUIRE_FETCHED(PureFtpdServer);
  PureFtpdServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  TempDir local;
  RecordedFtp<TFtpClient> f;
  Aim(f.c, server.Port());
  f.c.UserName = "yux";
  f.c.PassWord = "secret";
  f.c.RequestedMode = ftpTransModeStream;
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  ASSERT_EQ(f.Run(&TCustomFtpCli::TypeSetAsync), 0) << f.c.ErrorMessage;
  ASSERT_EQ(f.Run(&TCustomFtpCli::PwdAsync), 0) << f.c.ErrorMessage;
  const std::string name = "up.bin";
  std::string data = RandomBytes(100000, 9);
  WriteFile(local / "up.bin", data);
  f.c.HostFileName = name;
  f.c.LocalFileName = (local / "up.bin").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::PutAsync), 0) << f.c.ErrorMessage;
  f.c.LocalFileName = (local / "down.bin").string();
  ASSERT_EQ(f.Run(&TCustomFtpCli::GetAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(ReadFile(local / "down.bin") == data);
  EXPECT_TRUE(ReadFile(server.Home() / name) == data);
  ASSERT_EQ(f.Run(&TCustomFtpCli::SizeAsync), 0) << f.c.ErrorMessage;
  EXPECT_EQ(f.c.SizeResult, 100000);
  ASSERT_EQ(f.Run(&TCustomFtpCli::DeleAsync), 0) << f.c.ErrorMessage;
  ASSERT_EQ(f.Run(&TCustomFtpCli::QuitAsync), 0) << f.c.ErrorMessage;
}

}  // namespace
