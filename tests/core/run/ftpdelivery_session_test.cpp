// The FTP session against vsftpd: files byte-identical on the server's
// disk, one history line per counted upload with its location, the run's
// block, and a refused folder that ends the session with nothing uploaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/run/foldercopy.h"
#include "core/run/ftpdelivery.h"
#include "core/run/rundelivery.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "net/protocols/ftpcli.h"
#include "net/socket/sslcontext.h"
#include "tests/core/settings_fixture.h"
#include "tests/peers/ftppeers.h"
#include "tests/peers/sslfixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class FtpSessionVsftpd : public test::SettingsFolderTest {
 protected:
  void SetUp() override {
    if (StartVsftpd()) {
      YUX_REQUIRE_PROGRAM("vsftpd");
      if (!server.Port()) ASSERT_TRUE(server.Start()) << server.Error();
    }
    SettingsFolderTest::SetUp();
    fs::create_directories(dir / "run");
    CurrentPresetName = "P";
    preset.fse = "127.0.0.1:" + std::to_string(server.Port());
  }
  FtpResult Run(const std::vector<std::pair<std::string, std::string>>& files) {
    FtpJob job;
    job.presetName = "P";
    job.preset = &preset;
    job.runFolder = (dir / "run").string();
    for (const auto& [name, data] : files) {
      test::WriteFile(dir / "run" / name, data);
      job.produced.push_back(name);
    }
    deliveries.Start(job.produced);
    deliveries.Expect(DeliveryKind::Ftp);
    job.deliveries = &deliveries;
    job.client = &client;
    job.waitMs = waitMs;
    job.watchdogMs = watchdogMs;
    job.secondMs = 50;
    return DeliverByFtp(job);
  }
  std::string Preset(const std::string& ext) const { return PathJoin(PresetsFolder, "P" + ext); }
  virtual bool StartVsftpd() const { return true; }

  test::VsftpdServer server;
  RunDeliveries deliveries;
  unsigned watchdogMs = 30000;
  unsigned waitMs = 60000;
  net::TSslFtpClient client;
};

}  // namespace

struct UploadRow {
  const char* name;
  bool active;
  test::FtpTls tls;
  int fss;
  const char* extra;
};

class FtpSessionUploads : public FtpSessionVsftpd,
                          public ::testing::WithParamInterface<UploadRow> {
 protected:
  void SetUp() override {
    YUX_REQUIRE_PROGRAM("vsftpd");
    const UploadRow& row = GetParam();
    if (row.tls != test::FtpTls::None) ASSERT_TRUE(test::TestPki::Get().Ok());
    ASSERT_TRUE(server.Start(row.tls, row.extra)) << server.Error();
    FtpSessionVsftpd::SetUp();
    ctx.SetSslCAFile(test::TestPki::Get().Cert("ca"));
    ctx.SetSslVerifyPeer(row.tls != test::FtpTls::None);
    ctx.InitContext();
    client.SetSslContext(&ctx);
    preset.fac = row.active;
    preset.fss = row.fss;
  }
  net::TSslContext ctx;
};

INSTANTIATE_TEST_SUITE_P(
    Modes, FtpSessionUploads,
    ::testing::Values(UploadRow{"Passive", false, test::FtpTls::None, 0, ""},
                      UploadRow{"Active", true, test::FtpTls::None, 0, ""},
                      // The server refuses clear-text data: only PROT P passes.
                      UploadRow{"AuthTlsForcedDataTls", false, test::FtpTls::Explicit, 1,
                                "force_anon_data_ssl=YES\nforce_anon_logins_ssl=YES\n"},
                      UploadRow{"ImplicitTls", false, test::FtpTls::Implicit, 3, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(FtpSessionUploads, UploadIsByteIdenticalWithItsHistory) {
  preset.ffo = "pub";
  const std::string big(3 * 1024 * 1024 + 17, '\x5a');
  std::string mixed;
  for (int i = 0; i < 70000; ++i) mixed.push_back(char(i * 7 % 251));
  ASSERT_EQ(Run({{"a.part1.rar", big}, {"a.part2.rar", mixed}}), FtpResult::Done);
  EXPECT_EQ(test::ReadFile(server.Pub() / "a.part1.rar"), big);
  EXPECT_EQ(test::ReadFile(server.Pub() / "a.part2.rar"), mixed);
  const std::string where = "127.0.0.1:" + std::to_string(server.Port()) + "/pub/";
  const std::string hst = test::ReadFile(Preset(".hst"));
  // Newest first: the second file's line heads the file.
  const auto second = hst.find("\t3-FTP\t" + where + "a.part2.rar");
  const auto first = hst.find("\t3-FTP\t" + where + "a.part1.rar");
  ASSERT_NE(second, std::string::npos) << hst;
  ASSERT_NE(first, std::string::npos) << hst;
  EXPECT_LT(second, first);
  const std::string lgf = test::ReadFile(Preset(".lgf"));
  EXPECT_NE(lgf.find("a.part1.rar\r\na.part2.rar"), std::string::npos) << lgf;
  EXPECT_TRUE(deliveries.AllComplete());
  const std::vector<std::string> expected = {
      "P: FTP - Connecting to 127.0.0.1.",
      "P: FTP - Changing folder to \"pub\".",
      "P: FTP - Trying to upload \"a.part1.rar\".",
      "P: FTP - Successfully uploaded \"a.part1.rar\".",
      "P: FTP - Trying to upload \"a.part2.rar\".",
      "P: FTP - Successfully uploaded \"a.part2.rar\".",
      "P: FTP - Disconnected.",
  };
  std::vector<std::string> lines = log.lines;
  if (GetParam().tls != test::FtpTls::None) {
    // The test CA is no authority of the system's store: the first contact
    // remembers the server's certificate, in one line after the connect.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("P: TLS server 127.0.0.1:" + std::to_string(server.Port()) + " seen for the first time (", 0),
              0u)
        << lines[1];
    lines.erase(lines.begin() + 1);
  }
  EXPECT_EQ(lines, expected);
}

TEST_F(FtpSessionVsftpd, MissingFolderFailsWithNothingUploaded) {
  preset.ffo = "pub/missing";
  EXPECT_EQ(Run({{"b.rar", "data"}}), FtpResult::Failed);
  EXPECT_FALSE(fs::exists(server.Pub() / "b.rar"));
  EXPECT_FALSE(fs::exists(server.Root() / "b.rar"));
  ASSERT_GE(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[1], "P: FTP - Changing folder to \"pub/missing\".");
  EXPECT_EQ(log.lines[2].rfind("P: FTP - Error ", 0), 0u) << log.lines[2];
  EXPECT_FALSE(fs::exists(Preset(".hst")));
  EXPECT_FALSE(deliveries.ReachedAny("b.rar"));
}

TEST_F(FtpSessionVsftpd, UnknownTlsModeConnectsNowhere) {
  preset.ffo = "pub";
  preset.fss = 7;
  EXPECT_EQ(Run({{"e.rar", "data"}}), FtpResult::Failed);
  EXPECT_FALSE(fs::exists(server.Pub() / "e.rar"));
  EXPECT_EQ(log.lines, std::vector<std::string>{"P: FTP - Error Unknown FTP TLS mode 7 [!]"});
  EXPECT_FALSE(fs::exists(Preset(".hst")));
}

// A split archive uploaded over earlier sets of the same name: once every
// new volume is up, the earlier sets' volumes go, the longer one's last
// volumes and those numbered in another width; another name stays.  A
// folder of a stale volume's name cannot be deleted: an error line names
// it, but the delivery is no failure for it.
TEST_F(FtpSessionVsftpd, AWholeSetTakesTheVolumesOfEarlierSetsWithIt) {
  preset.ffo = "pub";
  for (const char* name : {"a.part1.rar", "a.part2.rar", "a.part3.rar", "a.part4.rar", "a.part5.rar",
                           "a.part01.rar", "b.part4.rar"})
    server.PutFile(name, "old");
  fs::create_directories(server.Pub() / "a.part7.rar" / "inside");
  ASSERT_EQ(Run({{"a.part1.rar", "one"}, {"a.part2.rar", "two"}, {"a.part3.rar", "three"}}), FtpResult::Done);
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(server.Pub())) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"a.part1.rar", "a.part2.rar", "a.part3.rar", "a.part7.rar",
                                            "b.part4.rar"}));
  EXPECT_EQ(test::ReadFile(server.Pub() / "a.part3.rar"), "three");
  std::vector<std::string> lines(log.lines.end() - 5, log.lines.end());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "P: FTP - Deleted a.part01.rar: a volume of an earlier set of the same name.");
  EXPECT_EQ(lines[1], "P: FTP - Deleted a.part4.rar: a volume of an earlier set of the same name.");
  EXPECT_EQ(lines[2], "P: FTP - Deleted a.part5.rar: a volume of an earlier set of the same name.");
  EXPECT_EQ(lines[3].rfind("P: FTP - Cannot delete a.part7.rar, a volume of an earlier set of the same name: 550", 0),
            0u) << lines[3];
  EXPECT_EQ(lines[3].substr(lines[3].size() - 4), " [!]");
  EXPECT_EQ(lines[4], "P: FTP - Disconnected.");
  EXPECT_TRUE(deliveries.Complete("a.part3.rar"));
  EXPECT_TRUE(deliveries.AllComplete());
}

namespace {

// pyftpdlib with the user "user" (password "pass") whose login folder is
// the root.
class FtpSessionPyftpd : public FtpSessionVsftpd {
 protected:
  void SetUp() override {
    if (!test::HavePyFtpdlib()) {
      if (test::InCi()) FAIL() << "missing python3-pyftpdlib in CI";
      GTEST_SKIP() << "missing python3-pyftpdlib";
    }
    ASSERT_TRUE(py.Start("class handler(FTPHandler):\n    pass\n", root.path()));
    FtpSessionVsftpd::SetUp();
    preset.fse = "127.0.0.1:" + std::to_string(py.Port());
    preset.fus = "user";
  }
  bool StartVsftpd() const override { return false; }
  test::TempDir root;
  test::PyFtpServer py;
};

}  // namespace

TEST_F(FtpSessionPyftpd, EmptyFolderUploadsIntoTheLoginFolder) {
  preset.fpa = "pass";
  ASSERT_EQ(Run({{"c.rar", "archive bytes"}}), FtpResult::Done);
  EXPECT_EQ(test::ReadFile(root.path() / "c.rar"), "archive bytes");
  const std::string hst = test::ReadFile(Preset(".hst"));
  EXPECT_NE(hst.find("\t3-FTP\t127.0.0.1:" + std::to_string(py.Port()) + "/c.rar"),
            std::string::npos)
      << hst;
  for (const auto& line : log.lines) EXPECT_EQ(line.find("Changing folder"), std::string::npos);
}

TEST_F(FtpSessionPyftpd, WrongPasswordFailsWithoutHistory) {
  preset.fpa = "wrong";
  EXPECT_EQ(Run({{"d.rar", "data"}}), FtpResult::Failed);
  EXPECT_FALSE(fs::exists(root.path() / "d.rar"));
  EXPECT_FALSE(fs::exists(Preset(".hst")));
  ASSERT_GE(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[1].rfind("P: FTP - Error 530", 0), 0u) << log.lines[1];
}

namespace {

// pyftpdlib with a handler of the test's own.
class FtpSessionScripted : public FtpSessionPyftpd {
 protected:
  void SetUp() override {}
  void Begin(const std::string& handler) {
    if (!test::HavePyFtpdlib()) {
      if (test::InCi()) FAIL() << "missing python3-pyftpdlib in CI";
      GTEST_SKIP() << "missing python3-pyftpdlib";
    }
    ASSERT_TRUE(py.Start(handler, root.path()));
    FtpSessionVsftpd::SetUp();
    preset.fse = "127.0.0.1:" + std::to_string(py.Port());
    preset.fus = "user";
    preset.fpa = "pass";
  }
  bool Logged(const std::string& line) const {
    return std::find(log.lines.begin(), log.lines.end(), line) != log.lines.end();
  }
  long Count(const std::string& prefix) const {
    return std::count_if(log.lines.begin(), log.lines.end(),
                         [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
};

}  // namespace

// A refused upload is retried after the interval on a new connection, and
// the same file then arrives once, with one history line.
TEST_F(FtpSessionScripted, RefusedUploadIsRetriedAndArrivesOnce) {
  Begin(
      "class handler(FTPHandler):\n"
      "    refused = [False]\n"
      "    def ftp_STOR(self, file, mode='w'):\n"
      "        if not handler.refused[0]:\n"
      "            handler.refused[0] = True\n"
      "            self.respond('451 Try later.')\n"
      "            return\n"
      "        return FTPHandler.ftp_STOR(self, file, mode)\n");
  Options.fre = true;
  Options.fin = 1;
  Options.fti = 3;
  ASSERT_EQ(Run({{"r.rar", "retried archive"}}), FtpResult::Done);
  EXPECT_EQ(test::ReadFile(root.path() / "r.rar"), "retried archive");
  EXPECT_TRUE(Logged("P: FTP - Unable to upload \"r.rar\". [!]"));
  EXPECT_TRUE(Logged("P: FTP - Trying again in 1 seconds (1/3)."));
  EXPECT_EQ(Count("P: FTP - Connecting to 127.0.0.1."), 2);
  EXPECT_EQ(Count("P: FTP - Successfully uploaded \"r.rar\"."), 1);
  EXPECT_EQ(log.lines.back(), "P: FTP - Disconnected.");
  const std::string hst = test::ReadFile(Preset(".hst"));
  EXPECT_EQ(hst.find("3-FTP"), hst.rfind("3-FTP")) << hst;
  EXPECT_TRUE(deliveries.AllComplete());
}

// The server resets the data connection in the middle of an upload (and
// then calls the transfer complete): the upload does not count, and the
// session's last line names the socket's error.
TEST_F(FtpSessionScripted, UploadCutByAResetNamesTheSocketError) {
  Begin(
      "import socket, struct\n"
      "from pyftpdlib.handlers import DTPHandler\n"
      "class Resetting(DTPHandler):\n"
      "    def handle_read(self):\n"
      "        DTPHandler.handle_read(self)\n"
      "        if self.tot_bytes_received > 262144 and not self._closed:\n"
      "            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))\n"
      "            self.handle_close()\n"
      "    handle_read_event = handle_read\n"
      "class handler(FTPHandler):\n"
      "    dtp_handler = Resetting\n");
  EXPECT_EQ(Run({{"cut.rar", std::string(4 * 1024 * 1024, 'c')}}), FtpResult::Failed);
  EXPECT_TRUE(Logged("P: FTP - Unable to upload \"cut.rar\". [!]")) << ::testing::PrintToString(log.lines);
  EXPECT_FALSE(deliveries.ReachedAny("cut.rar"));
  const std::string disconnected = "P: FTP - Disconnected with error ";
  ASSERT_EQ(log.lines.back().rfind(disconnected, 0), 0u) << ::testing::PrintToString(log.lines);
  const std::string why = log.lines.back().substr(disconnected.size());
  EXPECT_TRUE(why == "Connection reset by peer (#10054) [!]" ||
              why == "Connection aborted (#10053) [!]")
      << why;
}

// Retries and the watchdog: a refused login is never retried, and a
// server that stops answering any request (here TYPE) is aborted.
TEST_F(FtpSessionScripted, RefusedLoginIsNotRetried) {
  Begin("class handler(FTPHandler):\n    pass\n");
  preset.fpa = "wrong";
  Options.fre = true;
  Options.fin = 1;
  Options.fti = 3;
  EXPECT_EQ(Run({{"w.rar", "data"}}), FtpResult::Failed);
  EXPECT_EQ(Count("P: FTP - Trying again"), 0);
  EXPECT_TRUE(Logged("P: FTP - All FTP tasks have been canceled (no more retries allowed). [!]"));
  EXPECT_EQ(Count("P: FTP - Connecting to"), 1);
  EXPECT_FALSE(fs::exists(Preset(".hst")));
}

TEST_F(FtpSessionScripted, WatchdogAbortsARequestWithoutAnswer) {
  Begin(
      "class handler(FTPHandler):\n"
      "    def ftp_TYPE(self, line):\n"
      "        pass\n");
  watchdogMs = 1500;
  EXPECT_EQ(Run({{"h.rar", "data"}}), FtpResult::Failed);
  EXPECT_TRUE(Logged("P: FTP Server is hanging, aborting the transfer [!]"));
  EXPECT_TRUE(Logged("P: FTP - All FTP tasks have been canceled (reiteration feature is off). [!]"));
  EXPECT_FALSE(fs::exists(root.path() / "h.rar"));
  EXPECT_FALSE(deliveries.ReachedAny("h.rar"));
}

// The cleaner deletes the files of expired runs before the uploads, but
// never a name this run uploads (archive names without a time stamp
// repeat).
TEST_F(FtpSessionScripted, CleanerSparesTheNamesOfThisRun) {
  Begin("class handler(FTPHandler):\n    pass\n");
  test::WriteFile(root.path() / "old.rar", "old");
  test::WriteFile(root.path() / "same.rar", "previous");
  AppendProducedFiles("P", {"old.rar", "same.rar"}, 'f');
  for (const char* name : {"old.rar", "same.rar"})
    AddHistoryLine("P", kHistoryFtp, "127.0.0.1:" + std::to_string(py.Port()) + "/" + name);
  preset.fco = true;
  preset.fcm = 0;  // by runs
  preset.fcv = 1;
  ASSERT_EQ(Run({{"same.rar", "current"}}), FtpResult::Done);
  EXPECT_FALSE(fs::exists(root.path() / "old.rar"));
  EXPECT_EQ(test::ReadFile(root.path() / "same.rar"), "current");
  EXPECT_TRUE(Logged("P: FTP - Cleaner is trying to delete old.rar."));
  EXPECT_TRUE(Logged("P: FTP - Cleaner successfully deleted old.rar."));
  EXPECT_TRUE(Logged("P: FTP - Cleaner keeps a file this run uploaded: same.rar."));
  const std::string lgf = test::ReadFile(Preset(".lgf"));
  EXPECT_EQ(lgf.find("old.rar"), std::string::npos) << lgf;
  EXPECT_NE(lgf.find("same.rar"), std::string::npos) << lgf;
}

namespace {

// A server that takes the connection and never sends its banner.
class FtpSessionSilent : public FtpSessionVsftpd {
 protected:
  void SetUp() override {
    listener = test::LoopbackListener(port);
    ASSERT_GE(listener, 0);
    FtpSessionVsftpd::SetUp();
    preset.fse = "127.0.0.1:" + std::to_string(port);
  }
  void TearDown() override {
    test::CloseFd(listener);
    FtpSessionVsftpd::TearDown();
  }
  bool StartVsftpd() const override { return false; }
  int listener = -1;
  int port = 0;
};

}  // namespace

// Without a stage time-out ("tft" 0) the watchdog alone ends a session
// whose server never answers, even before the banner.
TEST_F(FtpSessionSilent, NoBannerEndsTheStageThroughTheWatchdog) {
  watchdogMs = 1500;
  waitMs = 0;
  EXPECT_EQ(Run({{"s.rar", "data"}}), FtpResult::Failed);
  const auto hanging = std::find(log.lines.begin(), log.lines.end(), "P: FTP Server is hanging, aborting the transfer [!]");
  ASSERT_NE(hanging, log.lines.end());
  EXPECT_EQ(log.lines.back(), "P: FTP - All FTP tasks have been canceled (reiteration feature is off). [!]");
  EXPECT_FALSE(deliveries.ReachedAny("s.rar"));
}

// The connection drops in one phase of the session (the cleaner before the
// uploads, an upload, the cleaner after them): the retry logs in again and
// resumes that phase where it stopped.  Every expired file goes, every
// produced file arrives once, and the run's block is written once.
TEST_F(FtpSessionScripted, RetryResumesThePhaseThatFailed) {
  struct Case {
    const char* what;
    bool after;        // "fca"
    const char* drop;  // the command whose first use drops the connection
  };
  const Case cases[] = {
      {"cleaner before the uploads", false, "DELE"},
      {"upload", false, "STOR"},
      {"cleaner after the uploads", true, "DELE"},
      {"the second delete after the uploads", true, "DELE2"},
      {"the look for volumes of an earlier set", false, "NLST"},
  };
  if (!test::HavePyFtpdlib()) {
    if (test::InCi()) FAIL() << "missing python3-pyftpdlib in CI";
    GTEST_SKIP() << "missing python3-pyftpdlib";
  }
  FtpSessionVsftpd::SetUp();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir serverRoot;
    {
      test::PyFtpServer server;
      const std::string drop = c.drop;
      const bool second = drop == "DELE2";
      const std::string command = second ? "DELE" : drop;
      ASSERT_TRUE(server.Start(
          "class handler(FTPHandler):\n"
          "    seen = [0]\n"
          "    def pre_process_command(self, line, cmd, arg):\n"
          "        if cmd == '" + command + "':\n"
          "            handler.seen[0] += 1\n"
          "            if handler.seen[0] == " + (second ? "2" : "1") + ":\n"
          "                self.close()\n"
          "                return\n"
          "        return FTPHandler.pre_process_command(self, line, cmd, arg)\n",
          serverRoot.path()));
      test::TempDir world;
      const std::string savedPresets = PresetsFolder;
      PresetsFolder = (world / "presets").string();
      fs::create_directories(PresetsFolder);
      log.lines.clear();
      const std::string where = "127.0.0.1:" + std::to_string(server.Port()) + "/";
      for (const char* name : {"x1.rar", "x2.rar", "x3.rar"}) {
        test::WriteFile(serverRoot.path() / name, "expired");
        AddHistoryLine("P", kHistoryFtp, where + name);
      }
      AppendProducedFiles("P", {"x1.rar", "x2.rar", "x3.rar"}, kListFtp);
      tarcopt saved = preset;
      preset.fse = "127.0.0.1:" + std::to_string(server.Port());
      preset.fus = "user";
      preset.fpa = "pass";
      preset.fco = true;
      preset.fcm = 0;
      preset.fcv = 1;
      preset.fca = c.after;
      Options.fre = true;
      Options.fin = 1;
      Options.fti = 3;
      EXPECT_EQ(Run({{"a.part1.rar", "first volume"}, {"a.part2.rar", "second volume"}}), FtpResult::Done)
          << ::testing::PrintToString(log.lines);
      preset = saved;
      Options = topt{};

      EXPECT_EQ(Count("P: FTP - Trying again in 1 seconds (1/3)."), 1) << ::testing::PrintToString(log.lines);
      std::vector<std::string> left;
      for (const auto& e : fs::directory_iterator(serverRoot.path())) left.push_back(e.path().filename());
      std::sort(left.begin(), left.end());
      EXPECT_EQ(left, (std::vector<std::string>{"a.part1.rar", "a.part2.rar"}));
      EXPECT_EQ(test::ReadFile(serverRoot.path() / "a.part2.rar"), "second volume");
      EXPECT_EQ(Count("P: FTP - Successfully uploaded \"a.part1.rar\"."), 1);
      EXPECT_EQ(Count("P: FTP - Successfully uploaded \"a.part2.rar\"."), 1);
      EXPECT_EQ(Count("P: FTP - Cleaner successfully deleted"), 3);
      const std::string lgf = test::ReadFile(PathJoin(PresetsFolder, "P.lgf"));
      EXPECT_EQ(lgf.find("x1.rar"), std::string::npos) << lgf;
      EXPECT_EQ(lgf.find("a.part1.rar"), lgf.rfind("a.part1.rar")) << lgf;
      EXPECT_TRUE(deliveries.AllComplete());
      PresetsFolder = savedPresets;
    }
  }
}
