// The identity of TLS servers: how the file of the servers seen is read,
// what the check makes of a server by what it showed and what the file
// says, and an FTP session against vsftpd with the file in every state it
// may be found in.
#include "core/run/tlsidentity.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/run/ftpdelivery.h"
#include "core/run/rundelivery.h"
#include "core/store/programlog.h"
#include "net/protocols/ftpcli.h"
#include "tests/core/settings_fixture.h"
#include "tests/peers/ftppeers.h"
#include "tests/peers/sslfixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

TEST(TlsPinText, ALineCountsForItsWholeKeyAlone) {
  struct Case {
    const char* text;
    const char* key;
    std::optional<std::string> value;
  } cases[] = {
      {"a:21 AA\nb:21 BB\n", "b:21", "BB"},
      {"a:2121 AA\n", "a:21", std::nullopt},  // a key is no prefix of another
      {"xa:21 AA\n", "a:21", std::nullopt},
      {" a:21 AA\n", "a:21", std::nullopt},
      {"a:21\n", "a:21", std::nullopt},  // no value
      {"a:21 AA\r\n", "a:21", "AA"},     // edited on another system
      {"a:21 AA \t\n", "a:21", "AA"},
      {"a:21 AA", "a:21", "AA"},  // the last line without its line feed
      {"a:21 AA\na:21 BB\n", "a:21", "AA"},
      {"a:21 CA\n", "a:21", "CA"},
      {"", "a:21", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.text)) + " " + c.key);
    EXPECT_EQ(FindTlsPin(c.text, c.key), c.value);
  }
}

// The judgement on one server, with the file it finds and what it leaves.
TEST(TlsPeerJudgement, TheFirstContactDecidesWhatPassesLater) {
  struct Case {
    const char* name;
    std::optional<std::string> before;  // the file's text; none: no file
    bool vouched;
    const char* fingerprint;
    bool accepted;
    std::string after;
    const char* line;  // a part of the one line logged; "" for none
  } cases[] = {
      {"first contact, vouched", std::nullopt, true, "F1", true, "k:1 CA\n",
       "TLS server k:1 seen for the first time, with a certificate a certificate authority vouches for"},
      {"first contact, self-made", "other:1 F9\n", false, "F1", true, "other:1 F9\nk:1 F1\n",
       "TLS server k:1 seen for the first time (no authority): its certificate F1 is remembered in "},
      {"vouched where vouched before", "k:1 CA\n", true, "F2", true, "k:1 CA\n", ""},
      {"self-made where vouched before", "k:1 CA\n", false, "F1", false, "k:1 CA\n",
       "TLS server k:1 presents the certificate F1, which no certificate authority vouches for (no authority), "
       "where an authority vouched for the server's certificate before: session ended before the login. If the "
       "server's certificate was changed on purpose, remove the line of k:1 from "},
      {"the certificate remembered", "k:1 F1\n", false, "F1", true, "k:1 F1\n", ""},
      {"another self-made one", "k:1 F1\n", false, "F2", false, "k:1 F1\n",
       "TLS server k:1 presents the certificate F2 instead of the one remembered, F1"},
      {"a vouched one where a self-made one was", "k:1 F1\n", true, "F2", true, "k:1 F1\n", ""},
      {"no certificate", std::nullopt, false, "", false, "", "TLS server k:1 sent no certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string file = (dir / "tlsservers.txt").string();
    if (c.before) test::WriteFile(file, *c.before);
    std::vector<std::string> lines;
    const TlsPeer peer{"k:1", c.fingerprint, c.vouched, c.vouched ? "" : "no authority"};
    EXPECT_EQ(AcceptTlsPeer(peer, file, [&](const std::string& l) { lines.push_back(l); }), c.accepted);
    EXPECT_EQ(fs::exists(file) ? test::ReadFile(file) : "", c.after);
    if (*c.line) {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].rfind(c.line, 0), 0u) << lines[0];
      EXPECT_EQ(lines[0].back() == ']', !c.accepted) << lines[0];
    } else {
      EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
    }
  }
}

TEST(TlsServerKey, HostInLowerCaseAndTheServiceAsItsPort) {
  EXPECT_EQ(TlsServerKey("Mail.Example.TEST", "587"), "mail.example.test:587");
  EXPECT_EQ(TlsServerKey("h", "ftp"), "h:21");
  EXPECT_EQ(TlsServerKey("h", "smtp"), "h:25");
}

namespace {

// An FTP session of the preset "P" to vsftpd under AUTH TLS (logins in
// clear text refused), whose certificate the test CA issued, which is no
// authority of the system's store.
class TlsServersFileStates : public test::SettingsFolderTest {
 protected:
  void SetUp() override {
    YUX_REQUIRE_PROGRAM("vsftpd");
    ASSERT_TRUE(test::TestPki::Get().Ok());
    ASSERT_TRUE(server.Start(test::FtpTls::Explicit, test::kVsftpdForceTls)) << server.Error();
    SettingsFolderTest::SetUp();
    fs::create_directories(dir / "run");
    CurrentPresetName = "P";
    preset.fse = "127.0.0.1:" + std::to_string(server.Port());
    preset.ffo = "pub";
    preset.fss = 1;
  }
  FtpResult Run(const std::string& name) {
    FtpJob job;
    job.presetName = "P";
    job.preset = &preset;
    job.runFolder = (dir / "run").string();
    test::WriteFile(dir / "run" / name, "archive " + name);
    job.produced = {name};
    deliveries.Start(job.produced);
    deliveries.Expect(DeliveryKind::Ftp);
    job.deliveries = &deliveries;
    job.client = &client;
    job.waitMs = 60000;
    return DeliverByFtp(job);
  }

  test::VsftpdServer server;
  RunDeliveries deliveries;
  net::TSslFtpClient client;
};

}  // namespace

// The file as it is found: missing, readable, unreadable, a folder or a
// FIFO in its place, a last line without its line feed.  Where it cannot
// be read the session ends before the login with a line naming it (and a
// FIFO does not block the program); a server added to a file whose last
// line has no line feed leaves that line as it was.
TEST_F(TlsServersFileStates, EachStateOfTheFile) {
  const std::string file = (dir / "tlsservers.txt").string();
  const std::string key = "127.0.0.1:" + std::to_string(server.Port());
  const std::string pin = key + " " + test::CertFingerprint(test::TestPki::Get().Cert("server"));
  ASSERT_GT(pin.size(), key.size() + 90);
  struct Case {
    const char* name;
    std::function<void()> make;
    bool accepted;
    std::string after;  // the file's text afterwards (accepted rows)
    std::string line;   // the line that ends a refused session
  } cases[] = {
      {"missing", [] {}, true, pin + "\n", ""},
      {"readable", [&] { test::WriteFile(file, "other:21 AB:CD\n" + pin + "\n"); }, true,
       "other:21 AB:CD\n" + pin + "\n", ""},
      {"unreadable",
       [&] {
         test::WriteFile(file, pin + "\n");
         fs::permissions(file, fs::perms::owner_write);
       },
       false, "", "P: Cannot read " + file + ": Permission denied: the certificate of TLS server " + key},
      {"a folder in its place", [&] { fs::create_directory(file); }, false, "",
       "P: " + file + " is not a regular file: the certificate of TLS server " + key},
      {"a FIFO in its place", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, false, "",
       "P: " + file + " is not a regular file: the certificate of TLS server " + key},
      {"no final line feed", [&] { test::WriteFile(file, "other:21 AB:CD"); }, true,
       "other:21 AB:CD\n" + pin + "\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Root reads any file.
    if (std::string(c.name) == "unreadable" && ::geteuid() == 0) continue;
    std::error_code ec;
    fs::remove_all(file, ec);
    log.lines.clear();
    c.make();
    const std::string found = fs::is_regular_file(file) ? test::ReadFile(file) : "";
    const std::string name = std::string(c.name).substr(0, 2) + ".rar";
    EXPECT_EQ(Run(name), c.accepted ? FtpResult::Done : FtpResult::Failed) << ::testing::PrintToString(log.lines);
    EXPECT_EQ(fs::exists(server.Pub() / name), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(test::ReadFile(file), c.after);
      // A file the program added to is readable by its owner alone.
      if (c.after != found)
        EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
      continue;
    }
    const auto refused = std::find_if(log.lines.begin(), log.lines.end(),
                                      [&](const std::string& l) { return l.rfind(c.line, 0) == 0; });
    ASSERT_NE(refused, log.lines.end()) << ::testing::PrintToString(log.lines);
    EXPECT_NE(refused->find("session ended before the login. [!]"), std::string::npos) << *refused;
  }
}
