// The e-mail side of real runs and of the program's reports: real yux
// processes (or the run itself, where a test shortens its minute) against
// aiosmtpd on 127.0.0.1.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/run/dialup.h"
#include "core/run/maildelivery.h"
#include "core/run/presetrun.h"
#include "core/services/reportmail.h"
#include "core/services/startup.h"
#include "core/store/datetime.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "platform/messages.h"
#include "platform/ras.h"
#include "tests/core/settings_fixture.h"
#include "tests/core/yux_process.h"
#include "tests/peers/ftppeers.h"
#include "tests/peers/smtppeers.h"
#include "tests/peers/sslfixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

using test::CountOf;
using test::LogTexts;
using test::RunningYux;
using test::WaitForText;
using test::YuxWorld;

namespace {

std::string OptionsText(const std::vector<std::string>& lines) {
  std::string out = ScrambleText("ver 0") + "\r\n";
  for (const std::string& l : lines) out += ScrambleText(l) + "\r\n";
  return out;
}

// A world whose preset "Daily" archives one small file, copies it to
// "dest" and mails it as `configure` says, due at the first scheduler
// tick; `options` are the lines of the options file.
void PrepareMailRun(YuxWorld& world, const std::vector<std::string>& options,
                    const std::function<void(tarcopt&)>& configure) {
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "a.txt", "mailed by a real run");
  world.UseSettingsFolder();
  test::WriteDailyPreset(world, source, world.settings / "dest", [&](tarcopt& p) {
    p.smt = true;
    p.sfr = "yux@example.test";
    p.sto = "admin@example.test";
    configure(p);
  });
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>Daily</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n");
  SettingsFolder = world.settings.str();
  test::WriteFile(OptionsFilePath(), OptionsText(options));
}

std::size_t FilesIn(const fs::path& folder) {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file()) ++n;
  return n;
}

// The commands each client connection sent before STARTTLS, other than
// the greeting, STARTTLS itself and QUIT: what went out in clear text.
std::vector<std::string> ClearTextCommands(const std::string& record) {
  std::map<std::string, bool> secured;
  std::vector<std::string> clear;
  for (const std::string& line : test::Lines(record)) {
    const auto blank = line.find(' ');
    if (blank == std::string::npos) continue;
    const std::string port = line.substr(0, blank), word = line.substr(blank + 1);
    if (word == "STARTTLS")
      secured[port] = true;
    else if (!secured[port] && word != "EHLO" && word != "HELO" && word != "QUIT")
      clear.push_back(word);
  }
  return clear;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// The decoded text of a stored message's first part, as Python's email
// package reads it.
std::string MailText(const fs::path& folder, const std::string& message) {
  const fs::path eml = folder / "body.eml";
  test::WriteFile(eml, message);
  const std::string parsed = test::ParseMailWithPython(eml.string());
  const auto at = parsed.find("\"hex\": \"");
  if (at == std::string::npos) return {};
  const auto from = at + 8;
  return Unhex(parsed.substr(from, parsed.find('"', from) - from));
}

// ---- One table of real runs ----

enum class Server { Aiosmtpd, Down };

struct MailCase {
  const char* name;
  Server server = Server::Aiosmtpd;
  test::SmtpPeerOptions peer;
  int sss = 0;
  std::string user, password;        // the preset's login ("sus", "spa")
  std::vector<std::string> options;  // options file lines
  std::vector<std::string> inOrder;  // log texts, in this order, "%h" the server text
  int messages = 0;
  bool secured = false;  // nothing but the greeting before STARTTLS
};

void PrintTo(const MailCase& c, std::ostream* os) { *os << c.name; }

test::SmtpPeerOptions Peer(std::vector<std::string> exclude,
                           test::SmtpPeerOptions::Tls tls = test::SmtpPeerOptions::kPlain) {
  test::SmtpPeerOptions o;
  o.user = "yuxuser";
  o.password = "s3cret";
  o.exclude = std::move(exclude);
  o.tls = tls;
  return o;
}

const std::vector<std::string> kSent = {"Daily: SMTP - Connecting to %h.",
                                        "Daily: SMTP - Trying to send Daily.rar.",
                                        "Daily: SMTP - Successfully sent: Daily.rar",
                                        "Daily: SMTP - Logging off from the server.",
                                        "Daily: SMTP - Disconnected.",
                                        "Daily: Done."};
const std::string kCancelOff = "Daily: SMTP - All SMTP tasks have been canceled (reiteration feature is off). [!]";
const std::string kCancelUsedUp = "Daily: SMTP - All SMTP tasks have been canceled (no more retries allowed). [!]";
// The copy holds the archive the mail did not deliver.
const std::string kKept = "Daily: Daily.rar did not reach every destination; it is in";

MailCase Row(const char* name, test::SmtpPeerOptions peer, int sss, std::vector<std::string> inOrder, int messages,
             std::vector<std::string> options = {}) {
  MailCase c;
  c.name = name;
  c.peer = std::move(peer);
  c.sss = sss;
  c.user = "yuxuser";
  c.password = "s3cret";
  c.inOrder = std::move(inOrder);
  c.messages = messages;
  c.options = std::move(options);
  c.secured = sss == 2;
  return c;
}

std::vector<MailCase> MailCases() {
  using T = test::SmtpPeerOptions;
  std::vector<MailCase> rows;
  rows.push_back(Row("LoginAlone", Peer({"PLAIN"}), 0, kSent, 1));
  rows.push_back(Row("PlainAlone", Peer({"LOGIN"}), 0, kSent, 1));
  rows.push_back(Row("StartTls", Peer({}, T::kStartTls), 2, kSent, 1));
  rows.push_back(Row("ImplicitTls", Peer({}, T::kImplicit), 1, kSent, 1));
  {
    T p = Peer({}, T::kStartTls);
    p.refuseEhlo = true;
    rows.push_back(Row("EhloRefusedWhileStartTlsIsAsked", p, 2,
                       {"Daily: SMTP - Connecting to %h.", "Daily: SMTP - Error ", kCancelOff, kKept}, 0));
  }
  {
    MailCase c = Row("WrongPasswordRetriesOff", Peer({}), 0,
                     {"Daily: SMTP - Connecting to %h.", "Daily: SMTP - Error 535", kCancelOff, kKept}, 0);
    c.password = "wrong";
    rows.push_back(c);
  }
  {
    T p = Peer({});
    p.refuseRcpt = true;
    rows.push_back(Row("RecipientRefused", p, 0,
                       {"Daily: SMTP - Connecting to %h.", "Daily: SMTP - Error 550", kCancelOff, kKept}, 0));
  }
  const std::vector<std::string> retry = {"fre 1", "fin 1", "fti 2"};
  const std::vector<std::string> retried = {"Daily: SMTP - Connecting to %h.",
                                            "Daily: SMTP - Error 451",
                                            "Daily: SMTP - Trying again in 1 seconds (1/2).",
                                            "Daily: SMTP - Connecting to 127.0.0.1.",
                                            "Daily: SMTP - Trying to send Daily.rar.",
                                            "Daily: SMTP - Successfully sent: Daily.rar",
                                            "Daily: Done."};
  {
    T p = Peer({});
    p.refuseFirstMail = true;
    rows.push_back(Row("RefusedMailRetried", p, 0, retried, 1, retry));
  }
  {
    T p = Peer({}, T::kStartTls);
    p.refuseFirstMail = true;
    rows.push_back(Row("RefusedMailRetriedWithStartTlsRequired", p, 2, retried, 1, retry));
  }
  {
    MailCase c = Row(
        "RetriesUsedUp", {}, 0,
        {"Daily: SMTP - Connecting to %h.", "Daily: SMTP - Error ", "Daily: SMTP - Trying again in 1 seconds (1/2).",
         "Daily: SMTP - Connecting to 127.0.0.1.", "Daily: SMTP - Trying again in 1 seconds (2/2).",
         "Daily: SMTP - Connecting to 127.0.0.1.", kCancelUsedUp, kKept},
        0, retry);
    c.server = Server::Down;
    rows.push_back(c);
  }
  return rows;
}

class MailRunCase : public ::testing::TestWithParam<MailCase> {};

// Each row a real run: its log lines in order, the messages the server
// stored (each the archive the copy delivered, sent with the preset's
// login), a "2-SMTP" line for each, and a run that says when the mail
// missed.
TEST_P(MailRunCase, RealRun) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  const MailCase& row = GetParam();
  if (row.peer.tls != test::SmtpPeerOptions::kPlain) ASSERT_TRUE(test::TestPki::Get().Ok());
  test::SmtpPeer peer;
  int port = 0;
  if (row.server == Server::Aiosmtpd) {
    ASSERT_TRUE(peer.Start(row.peer)) << peer.Error();
    port = peer.Port();
  } else {
    test::CloseFd(test::LoopbackListener(port));  // nothing listens there now
  }
  const std::string server = "127.0.0.1:" + std::to_string(port);
  YuxWorld world;
  PrepareMailRun(world, row.options, [&](tarcopt& p) {
    p.sse = server;
    p.sus = row.user;
    p.spa = row.password;
    p.sss = row.sss;
  });
  RunningYux yux(world);
  const std::string last = row.inOrder.back();
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", last, 90000)) << world.Log() << yux.Err();
  const std::string log = world.Log();
  std::size_t at = 0;
  for (std::string line : row.inOrder) {
    if (const auto h = line.find("%h"); h != std::string::npos) line.replace(h, 2, server);
    const std::size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\n" << log;
    at = found + line.size();
  }
  const fs::path copy = world.settings / "dest" / "Daily.rar";
  ASSERT_TRUE(fs::exists(copy)) << log;
  EXPECT_EQ(peer.MessageCount(), row.messages) << peer.Log();
  for (int i = 0; i < peer.MessageCount(); ++i) {
    const fs::path eml = world.settings / "m.eml";
    test::WriteFile(eml, peer.Message(i));
    const std::string parsed = test::ParseMailWithPython(eml.string());
    EXPECT_NE(parsed.find("\"Subject\": \"Daily.rar (sent by YUX).\""), std::string::npos) << parsed;
    EXPECT_NE(parsed.find("\"From\": \"yux@example.test\""), std::string::npos) << parsed;
    EXPECT_NE(parsed.find("\"To\": \"admin@example.test\""), std::string::npos) << parsed;
    std::string hex;
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char c : test::ReadFile(copy)) {
      hex += kHex[c >> 4];
      hex += kHex[c & 15];
    }
    EXPECT_NE(parsed.find("\"hex\": \"" + hex + "\""), std::string::npos);
    EXPECT_NE(peer.Envelope(i).find("\"login\": \"yuxuser\""), std::string::npos) << peer.Envelope(i);
    EXPECT_NE(peer.Envelope(i).find("\"from\": \"yux@example.test\", \"to\": [\"admin@example.test\"]"),
              std::string::npos)
        << peer.Envelope(i);
  }
  const std::string hst = test::ReadFile(world.settings / "presets" / "Daily.hst");
  EXPECT_EQ(CountOf(hst, "\t2-SMTP\tadmin@example.test/Daily.rar"), row.messages) << hst;
  EXPECT_EQ(CountOf(log, "Daily: SMTP - Successfully sent"), row.messages) << log;
  EXPECT_EQ(CountOf(log, kKept), row.messages > 0 ? 0 : 1) << log;
  if (row.secured) {
    EXPECT_NE(peer.Commands().find(" EHLO"), std::string::npos) << "no record of the commands";
    EXPECT_EQ(ClearTextCommands(peer.Commands()), std::vector<std::string>{}) << peer.Commands();
  }
  ASSERT_TRUE(yux.EndSession(20000));
}

INSTANTIATE_TEST_SUITE_P(MailRun, MailRunCase, ::testing::ValuesIn(MailCases()),
                         [](const ::testing::TestParamInfo<MailCase>& info) { return std::string(info.param.name); });

// ---- The TLS server's identity across runs ----

namespace {

// Runs "Daily" with a yux of its own until the log (after `from`) shows
// `end`, then ends the program.
::testing::AssertionResult RunMailUntil(YuxWorld& world, const std::string& end, std::size_t from) {
  RunningYux yux(world);
  const bool ended = WaitForText(world.settings / "yux.log", end, 90000, from);
  yux.EndSession(20000);
  if (!ended) return ::testing::AssertionFailure() << "no \"" << end << "\"\n" << world.Log() << yux.Err();
  return ::testing::AssertionSuccess();
}

// "Daily" mailed to the server at `key` with the login "yuxuser" and the TLS
// mode `sss`; due at once again, and its copy lands in an empty folder.
void PrepareTlsMailRun(YuxWorld& world, const std::string& key, int sss) {
  fs::remove(world.settings / "dest" / "Daily.rar");
  PrepareMailRun(world, {}, [&](tarcopt& p) {
    p.sse = key;
    p.sus = "yuxuser";
    p.spa = "s3cret";
    p.sss = sss;
  });
}

// Starts the server again on its port with <certs>/<name>.pem and its key.
::testing::AssertionResult RestartWithCertificate(std::unique_ptr<test::SmtpPeer>& peer, test::SmtpPeerOptions& o,
                                                  const fs::path& certs, const std::string& name) {
  const int port = peer->Port();
  peer.reset();
  o.port = port;
  o.cert = (certs / (name + ".pem")).string();
  o.key = (certs / (name + ".key")).string();
  peer = std::make_unique<test::SmtpPeer>();
  if (!peer->Start(o)) return ::testing::AssertionFailure() << peer->Error();
  if (peer->Port() != port) return ::testing::AssertionFailure() << "port " << peer->Port() << ", not " << port;
  return ::testing::AssertionSuccess();
}

// The server got neither the login nor a message.
::testing::AssertionResult NoLoginReached(const test::SmtpPeer& peer) {
  const std::string commands = peer.Commands();
  if (peer.MessageCount() != 0 || commands.find(" AUTH") != std::string::npos ||
      commands.find(" MAIL") != std::string::npos)
    return ::testing::AssertionFailure() << peer.MessageCount() << " messages, commands:\n" << commands;
  return ::testing::AssertionSuccess();
}

}  // namespace

// A self-signed STARTTLS server is remembered at the first run and
// accepted at the next; when another self-signed certificate answers on its
// port, the session ends before AUTH, the archive stays, and the log says
// how to accept the new certificate.
TEST(MailRunTls, SelfSignedServerIsRememberedAndAnotherOneRefusedBeforeTheLogin) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  YUX_REQUIRE_PROGRAM("openssl");
  ASSERT_TRUE(test::TestPki::Get().Ok());
  test::TempDir certs;
  ASSERT_TRUE(test::MakeSelfSigned(certs.path(), "first"));
  ASSERT_TRUE(test::MakeSelfSigned(certs.path(), "second"));
  const std::string first = test::CertFingerprint((certs / "first.pem").string());
  const std::string second = test::CertFingerprint((certs / "second.pem").string());
  ASSERT_FALSE(first.empty());
  test::SmtpPeerOptions o;
  o.user = "yuxuser";
  o.password = "s3cret";
  o.tls = test::SmtpPeerOptions::kStartTls;
  o.cert = (certs / "first.pem").string();
  o.key = (certs / "first.key").string();
  auto peer = std::make_unique<test::SmtpPeer>();
  ASSERT_TRUE(peer->Start(o)) << peer->Error();
  const std::string key = "127.0.0.1:" + std::to_string(peer->Port());
  YuxWorld world;
  const fs::path pins = world.settings / "tlsservers.txt";
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    PrepareTlsMailRun(world, key, 2);
    ASSERT_TRUE(RunMailUntil(world, "Daily: Done.", world.Log().size()));
    EXPECT_EQ(peer->MessageCount(), run) << world.Log();
    EXPECT_EQ(CountOf(world.Log(), "Daily: TLS server " + key + " seen for the first time"), 1) << world.Log();
    EXPECT_EQ(test::ReadFile(pins), key + " " + first + "\n");
    EXPECT_EQ(fs::status(pins).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  }

  // The same port, another self-signed certificate.
  ASSERT_TRUE(RestartWithCertificate(peer, o, certs.path(), "second"));
  PrepareTlsMailRun(world, key, 2);
  const std::size_t from = world.Log().size();
  ASSERT_TRUE(RunMailUntil(world, kKept, from));
  const std::string log = world.Log().substr(from);
  EXPECT_NE(log.find("Daily: TLS server " + key + " presents the certificate " + second +
                     " instead of the one remembered, " + first),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("remove the line of " + key + " from " + pins.string()), std::string::npos) << log;
  EXPECT_NE(peer->Commands().find(" STARTTLS"), std::string::npos) << peer->Commands();
  EXPECT_TRUE(NoLoginReached(*peer));
  EXPECT_EQ(test::ReadFile(pins), key + " " + first + "\n");
}

// An implicit TLS server whose certificate an authority vouches for is
// recorded as such at the first run.  When a self-made certificate answers
// on its host and port later, the session ends before AUTH, though no
// fingerprint of that server was ever remembered.
TEST(MailRunTls, AuthorityVouchedServerIsRecordedAndASelfMadeOneRefusedLater) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  YUX_REQUIRE_PROGRAM("openssl");
  const test::TestPki& pki = test::TestPki::Get();
  ASSERT_TRUE(pki.Ok());
  test::TempDir certs;
  ASSERT_TRUE(test::MakeSelfSigned(certs.path(), "impostor"));
  const std::string impostor = test::CertFingerprint((certs / "impostor.pem").string());
  ASSERT_FALSE(impostor.empty());
  test::SmtpPeerOptions o;
  o.user = "yuxuser";
  o.password = "s3cret";
  o.tls = test::SmtpPeerOptions::kImplicit;
  auto peer = std::make_unique<test::SmtpPeer>();
  ASSERT_TRUE(peer->Start(o)) << peer->Error();
  const std::string key = "127.0.0.1:" + std::to_string(peer->Port());
  YuxWorld world;
  test::ScopedEnvVar trust("SSL_CERT_FILE", pki.Cert("ca"));
  const fs::path pins = world.settings / "tlsservers.txt";
  PrepareTlsMailRun(world, key, 1);
  ASSERT_TRUE(RunMailUntil(world, "Daily: Done.", 0));
  EXPECT_EQ(peer->MessageCount(), 1) << world.Log();
  EXPECT_EQ(CountOf(world.Log(), "Daily: TLS server " + key +
                                     " seen for the first time, with a certificate a certificate authority vouches "
                                     "for"),
            1)
      << world.Log();
  EXPECT_EQ(test::ReadFile(pins), key + " CA\n");

  // The same port, a self-made certificate.
  ASSERT_TRUE(RestartWithCertificate(peer, o, certs.path(), "impostor"));
  PrepareTlsMailRun(world, key, 1);
  const std::size_t from = world.Log().size();
  ASSERT_TRUE(RunMailUntil(world, kKept, from));
  const std::string log = world.Log().substr(from);
  EXPECT_NE(log.find("Daily: TLS server " + key + " presents the certificate " + impostor +
                     ", which no certificate authority vouches for"),
            std::string::npos)
      << log;
  EXPECT_TRUE(NoLoginReached(*peer));
  EXPECT_EQ(test::ReadFile(pins), key + " CA\n");
}

// ---- Real instances: abort and the log mail ----

// "/ABORT" from a second instance while the e-mail stage waits to retry:
// the stage winds down, the run ends aborted, and the retry never connects.
TEST(MailRun, AbortFromASecondInstanceDuringARetryWait) {
  int port = 0;
  test::CloseFd(test::LoopbackListener(port));
  YuxWorld world;
  // The interval leaves the second instance time to start and the
  // scheduler's tick time to hand the request over.
  PrepareMailRun(world, {"fre 1", "fin 10", "fti 5"}, [&](tarcopt& p) { p.sse = "127.0.0.1:" + std::to_string(port); });
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: SMTP - Trying again in 10 seconds (1/5).", 60000))
      << world.Log() << yux.Err();
  auto second = test::RunProgram({test::BuiltProgram("yux").string(), "/ABORT"}, world.EnvMap(), 20000);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Aborted. [!]", 30000)) << world.Log();
  // A retry left armed would connect within its interval; the absence of
  // its line can only be seen by waiting that long.
  QThread::msleep(11000);
  const auto texts = LogTexts(world.Log());
  const auto aborted = std::find(texts.begin(), texts.end(), "Aborted. [!]");
  ASSERT_NE(aborted, texts.end());
  EXPECT_NE(std::find(texts.begin(), aborted, "Abort requested. Waiting for 10 seconds."), aborted) << world.Log();
  EXPECT_EQ(std::find(aborted, texts.end(), "Daily: SMTP - Connecting to 127.0.0.1."), texts.end()) << world.Log();
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "Daily: Done."), texts.end());
  EXPECT_EQ(FilesIn(world.settings / "kept"), 1u) << world.Log();
  ASSERT_TRUE(yux.EndSession(20000));
}

// "/SENDLOG(48)" from the schedule over a log that reaches back three days: the mailed body holds the header lines, the
// lines of the last 48 hours oldest first (those the instance logged itself up to the mail included), and the footer.
TEST(MailRun, SendLogMailsTheLastHoursOfTheLog) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::SmtpPeer peer;
  ASSERT_TRUE(peer.Start({})) << peer.Error();
  YuxWorld world;
  world.UseSettingsFolder();
  SettingsFolder = world.settings.str();
  test::WriteFile(OptionsFilePath(), OptionsText({"ssr 127.0.0.1:" + std::to_string(peer.Port()),
                                                  "sfm yux@example.test", "sto boss@example.test"}));
  const QDateTime seeded = QDateTime::currentDateTime();
  const auto stamp = [&](int hoursAgo) { return "[" + FormatStamp(seeded.addSecs(-hoursAgo * 3600)) + "] "; };
  test::WriteFile(world.settings / "yux.log", stamp(72) + "Daily: Done.\r\n" + stamp(49) +
                                                  "Old: FTP - Error 530 [!]\r\n" + stamp(47) + "Daily: Done.\r\n" +
                                                  stamp(30) + "Daily: SMTP - Error 451 [!]\r\n" + stamp(2) +
                                                  "Daily: COPY - Disk full [!]\r\n");
  // Due at the first tick: only the instance itself writes to the log.
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>/SENDLOG(48)</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n");
  const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Log report was successfully sent.", 60000))
      << world.Log() << yux.Err();
  const QDateTime after = QDateTime::currentDateTime().addSecs(1);
  ASSERT_EQ(peer.MessageCount(), 1) << peer.Log();
  const std::string message = peer.Message(0);
  EXPECT_NE(message.find("Subject: YUX log file for 48 hours."), std::string::npos) << message;
  std::vector<std::string> body = test::Lines(MailText(world.settings.path(), message));
  while (!body.empty() && body.back().empty()) body.pop_back();

  // The log as the instance had it when it built the mail.
  const std::vector<std::string> log = test::Lines(world.Log());
  auto first = std::find_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.find("] Daily: Done.") != std::string::npos; });
  ++first;  // the 72 hours old line is out of the period
  ASSERT_NE(first, log.end());
  ASSERT_EQ(first->substr(22), "Old: FTP - Error 530 [!]");
  ++first;  // and so is the 49 hours old one
  const auto last = std::find_if(log.begin(), log.end(), [](const std::string& l) {
    return l.find("] Sending log to boss@example.test") != std::string::npos;
  });
  ASSERT_NE(last, log.end()) << world.Log();
  const std::vector<std::string> accepted(first, last + 1);
  int errors = 0;
  for (const auto& l : accepted) errors += l.find("[!]") != std::string::npos;
  ASSERT_GE(errors, 2);

  ASSERT_GE(body.size(), accepted.size() + 7) << MailText(world.settings.path(), message) << world.Log();
  EXPECT_EQ(body[0], "YUX log file for 48 hours.");
  // "The period of <start> - <end> .": the end is the time the mail was
  // built, the start 48 hours earlier.
  const std::string period = body[1];
  ASSERT_EQ(period.rfind("The period of ", 0), 0u) << period;
  const auto start = TextToDateTime(period.substr(14, 19));
  const auto end = TextToDateTime(period.substr(14 + 19 + 3, 19));
  ASSERT_TRUE(start && end) << period;
  EXPECT_EQ(period, "The period of " + DateTimeToText(*start) + "- " + DateTimeToText(*end) + ".");
  EXPECT_GE(*end, before);
  EXPECT_LE(*end, after);
  EXPECT_EQ(start->secsTo(*end), 48 * 3600);
  EXPECT_EQ(body[2], std::to_string(errors) + " error(s) occured during this period.");
  EXPECT_EQ(body[3], "");
  EXPECT_EQ(std::vector<std::string>(body.begin() + 4, body.begin() + 4 + accepted.size()), accepted);
  EXPECT_EQ(std::vector<std::string>(body.begin() + 4 + accepted.size(), body.end()),
            (std::vector<std::string>{"", "--", "Yux for WinRAR, v.3.00 beta 4 (2013.03.10)."}));
  ASSERT_TRUE(yux.EndSession(20000));
}

// "/SENDLOG" to an implicit TLS report server goes through the check the
// deliveries use, its lines in the program log: a server first seen with a
// certificate an authority vouches for, or first seen with a self-made one,
// that later shows another (self-made) certificate on its port gets
// neither the login nor the digest.
TEST(MailRun, SendLogRefusesAServerThatShowsAnotherCertificate) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  YUX_REQUIRE_PROGRAM("openssl");
  const test::TestPki& pki = test::TestPki::Get();
  ASSERT_TRUE(pki.Ok());
  test::TempDir certs;
  ASSERT_TRUE(test::MakeSelfSigned(certs.path(), "first"));
  ASSERT_TRUE(test::MakeSelfSigned(certs.path(), "impostor"));
  const std::string first = test::CertFingerprint((certs / "first.pem").string());
  const std::string impostor = test::CertFingerprint((certs / "impostor.pem").string());
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(impostor.empty());
  const struct {
    const char* name;
    bool vouched;  // the first certificate is the test authority's, which the program trusts
  } rows[] = {{"vouched for, then self-made", true}, {"self-made, then another", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::SmtpPeerOptions o;
    o.user = "admin";
    o.password = "pw";
    o.tls = test::SmtpPeerOptions::kImplicit;
    if (!row.vouched) {
      o.cert = (certs / "first.pem").string();
      o.key = (certs / "first.key").string();
    }
    auto peer = std::make_unique<test::SmtpPeer>();
    ASSERT_TRUE(peer->Start(o)) << peer->Error();
    const std::string key = "127.0.0.1:" + std::to_string(peer->Port());
    YuxWorld world;
    world.UseSettingsFolder();
    SettingsFolder = world.settings.str();
    test::WriteFile(OptionsFilePath(), OptionsText({"ssr " + key, "sss 1", "sur admin", "spd pw",
                                                    "sfm yux@example.test", "sto boss@example.test"}));
    std::unique_ptr<test::ScopedEnvVar> trust;
    if (row.vouched) trust = std::make_unique<test::ScopedEnvVar>("SSL_CERT_FILE", pki.Cert("ca"));
    RunningYux yux(world);
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.", 30000)) << yux.Err();
    const auto sendLog = [&](const std::string& outcome) {
      const std::size_t from = world.Log().size();
      auto second = test::RunProgram({test::BuiltProgram("yux").string(), "/SENDLOG(48)"}, world.EnvMap(), 20000);
      EXPECT_EQ(second.exitCode, 0) << second.err;
      EXPECT_TRUE(WaitForText(world.settings / "yux.log", outcome, 60000, from)) << world.Log();
      return world.Log().substr(from);
    };
    sendLog("Log report was successfully sent.");
    EXPECT_EQ(peer->MessageCount(), 1) << peer->Log();
    const fs::path pins = world.settings / "tlsservers.txt";
    EXPECT_EQ(test::ReadFile(pins), key + " " + (row.vouched ? std::string("CA") : first) + "\n");

    // The same port, another self-made certificate.
    ASSERT_TRUE(RestartWithCertificate(peer, o, certs.path(), "impostor"));
    const std::string log = sendLog("Couldn't send log report. [!]");
    EXPECT_NE(log.find("] TLS server " + key + " presents the certificate " + impostor), std::string::npos) << log;
    EXPECT_NE(log.find("session ended before the login. If the server's certificate was changed on purpose, "
                       "remove the line of " + key + " from " + pins.string()),
              std::string::npos)
        << log;
    EXPECT_TRUE(NoLoginReached(*peer));
    EXPECT_EQ(test::ReadFile(pins), key + " " + (row.vouched ? std::string("CA") : first) + "\n");
    ASSERT_TRUE(yux.EndSession(20000));
  }
}

// Error mail to a report server that takes the connection and never
// answers: the FTP stage fails, its error line is being mailed, and the
// end of the session still ends yux within seconds; the close names the
// lines it could not mail.
TEST(MailRun, EndOfSessionWhileErrorMailWaitsForASilentServer) {
  int silent = 0;
  const int listener = test::LoopbackListener(silent);  // connects complete, nothing is said
  int closedPort = 0;
  test::CloseFd(test::LoopbackListener(closedPort));  // an FTP server that is not there
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "a.txt", "error mail to nowhere");
  world.UseSettingsFolder();
  WriteDailyPreset(world, source, world.settings / "dest", [&](tarcopt& p) {
    p.ctf = false;
    p.ftp = true;
    p.fse = "127.0.0.1:" + std::to_string(closedPort);
  });
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>Daily</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n");
  SettingsFolder = world.settings.str();
  test::WriteFile(OptionsFilePath(), OptionsText({"ser 1", "ssr 127.0.0.1:" + std::to_string(silent),
                                                  "sfm yux@example.test", "sto boss@example.test"}));
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: FTP - ", 60000)) << world.Log() << yux.Err();
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Sending e-mail report...", 30000)) << world.Log();
  qint64 took = 0;
  const bool ended = yux.EndSession(60000, &took);
  test::CloseFd(listener);
  ASSERT_TRUE(ended) << world.Log();
  EXPECT_LT(took, 10000) << world.Log();
  EXPECT_EQ(yux.proc().exitCode(), 0) << yux.Err();
  const std::string log = world.Log();
  const std::size_t halts = log.find("YUX halts.");
  ASSERT_NE(halts, std::string::npos) << log;
  // Nothing was mailed; the lines still queued are named before the end.
  const std::size_t unsent = log.find("Error report not sent: [");
  ASSERT_NE(unsent, std::string::npos) << log;
  EXPECT_LT(unsent, halts);
  EXPECT_EQ(log.find("Error report has been sent"), std::string::npos) << log;
  EXPECT_EQ(FilesIn(world.settings / "kept"), 1u) << log;
}

// "/SENDLOG" without the report server's settings: the line that names
// them, and no attempt to mail.
TEST(MailRun, SendLogWithoutServerSettingsSaysWhatIsMissing) {
  YuxWorld world;
  world.UseSettingsFolder();
  SettingsFolder = world.settings.str();
  test::WriteFile(OptionsFilePath(), OptionsText({"sfm yux@example.test", "sto boss@example.test"}));
  RunningYux yux(world);
  ASSERT_TRUE(WaitForText(world.settings / "yux.log", "YUX is ready now.", 30000)) << yux.Err();
  auto second = test::RunProgram({test::BuiltProgram("yux").string(), "/SENDLOG(48)"}, world.EnvMap(), 20000);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  ASSERT_TRUE(WaitForText(world.settings / "yux.log",
                          "/SENDLOG requires SMTP server name, FROM and TO emails specified on settings/error "
                          "reporting page. [!]",
                          60000))
      << world.Log();
  EXPECT_EQ(world.Log().find("Sending log to"), std::string::npos) << world.Log();
  ASSERT_TRUE(yux.EndSession(20000));
}

// ---- The run and the reports inside this process ----

// A settings folder with the preset "Daily" (one small file, mailed, no
// copy), run by the stand-in archiver; the minute of the timeouts is short.
class MailRunHere : public test::SettingsFolderTest {
 protected:
  void SetUp() override {
    SettingsFolderTest::SetUp();
    fs::create_directories(dir / "src");
    test::WriteFile(dir / "src" / "a.txt", "mailed");
    PresetRunTuning().minuteMs = 1500;
    preset.nam = "Daily";
    preset.dtf.clear();
    preset.vol = "None";
    preset.ctf = false;
    preset.smt = true;
    preset.sfr = "yux@example.test";
    preset.sto = "admin@example.test";
  }
  void TearDown() override {
    SetErrorMailHook(nullptr);
    SetReportLogSource(nullptr);
    SettingsFolderTest::TearDown();
  }
  RunOutcome Run() {
    EXPECT_TRUE(SavePresetWithSource("Daily"));
    return RunPreset("Daily");
  }
  long Find(const std::string& text) const {
    const auto it = std::find(log.lines.begin(), log.lines.end(), text);
    return it == log.lines.end() ? -1 : static_cast<long>(it - log.lines.begin());
  }
  void ReportServer(int port) {
    yux::Options.ssr = "127.0.0.1:" + std::to_string(port);
    yux::Options.sfm = "yux@example.test";
    yux::Options.sto = "boss@example.test";
  }

};

// A server that takes the connection and never says a word: the stage's
// time-out ("tsm") ends it, the session winds down and the run is aborted
// with its archive kept.
TEST_F(MailRunHere, ServerThatNeverAnswersIsEndedByTheTimeout) {
  int port = 0;
  const int listener = test::LoopbackListener(port);  // connects complete, nothing is ever read or written
  preset.sse = "127.0.0.1:" + std::to_string(port);
  yux::Options.tsm = 1;
  const RunOutcome outcome = Run();
  test::CloseFd(listener);
  EXPECT_EQ(outcome, RunOutcome::Aborted);
  const long timeout = Find("Daily: Operation timeout, aborting. [!]");
  const long wind = Find("Abort requested. Waiting for 10 seconds.");
  const long aborted = Find("Aborted. [!]");
  ASSERT_GE(timeout, 0) << ::testing::PrintToString(log.lines);
  EXPECT_GT(wind, timeout);
  EXPECT_GT(aborted, wind);
  EXPECT_EQ(Find("Daily: SMTP - Trying to send Daily.rar."), -1);
  EXPECT_FALSE(MailSessionBusy());
  EXPECT_FALSE(RunInProgress());
}

// A server that takes the connection and then says nothing, without a
// stage time-out ("tsm" 0): the session's inactivity limit drops it with
// its own line, and the retry rules decide the rest; the run ends with the
// archive kept.
TEST_F(MailRunHere, SilentServerWithoutATimeoutIsDroppedByTheInactivityLimit) {
  struct Case {
    const char* name;
    bool retries;
    int drops;
    std::string last;
  };
  const std::vector<Case> cases = {
      {"retries off", false, 1, "Daily: SMTP - All SMTP tasks have been canceled (reiteration feature is off). [!]"},
      {"one retry", true, 2, "Daily: SMTP - All SMTP tasks have been canceled (no more retries allowed). [!]"},
  };
  const std::string drop = "Daily: SMTP - The server has not answered for 1 seconds, dropping the connection [!]";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.lines.clear();
    int port = 0;
    const int listener = test::LoopbackListener(port);  // connects complete, nothing is ever said
    preset.sse = "127.0.0.1:" + std::to_string(port);
    yux::Options.tsm = 0;
    yux::Options.fre = c.retries;
    yux::Options.fin = 1;
    yux::Options.fti = 1;
    PresetRunTuning().mailReplyMs = 1500;
    PresetRunTuning().secondMs = 100;
    // Without a limit the run would never end: the test aborts it instead
    // of hanging.
    bool rescued = false;
    QTimer rescue;
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, [&] {
      rescued = true;
      AbortRequested = true;
    });
    rescue.start(60000);
    const RunOutcome outcome = Run();
    rescue.stop();
    test::CloseFd(listener);
    EXPECT_FALSE(rescued) << ::testing::PrintToString(log.lines);
    EXPECT_EQ(outcome, RunOutcome::Failed);
    EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), drop), c.drops) << ::testing::PrintToString(log.lines);
    EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), c.last), 1) << ::testing::PrintToString(log.lines);
    EXPECT_LT(Find(drop), Find(c.last));
    EXPECT_EQ(Find("Daily: Operation timeout, aborting. [!]"), -1);
    EXPECT_EQ(Find("Daily: Done."), -1);
    EXPECT_FALSE(MailSessionBusy());
    EXPECT_FALSE(RunInProgress());
    EXPECT_FALSE(RunActive);
    // Nothing of the dropped connections arrives afterwards.
    const std::size_t lines = log.lines.size();
    platform::ProcessMessagesFor(300);
    EXPECT_EQ(log.lines.size(), lines) << ::testing::PrintToString(log.lines);
  }
  std::size_t kept = 0;
  for (auto it = fs::recursive_directory_iterator(dir / "kept"); it != fs::recursive_directory_iterator(); ++it)
    kept += it->is_regular_file();
  EXPECT_EQ(kept, cases.size());
}

// A line the run dialled is hung up when the e-mail stage ends the run
// early (its time-out aborts it), as after deliveries that went through.
TEST_F(MailRunHere, ALineTheRunDialledIsHungUpWhenTheMailStageAbortsTheRun) {
  const char* savedConfig = std::getenv("XDG_CONFIG_HOME");
  const std::string restore = savedConfig ? savedConfig : "";
  setenv("XDG_CONFIG_HOME", (dir / "config").string().c_str(), 1);
  fs::create_directories(dir / "config" / "yux");
  test::WriteFile(dir / "config" / "yux" / "phonebook.ini",
                  "[Office]\nNumber=0123\nUser=alice\nPassword=secret\nAnswers=connect\n");
  platform::RasResetEmulation();
  SetDialUpTuning({10});
  DialUp = DialUpState{};
  int port = 0;
  const int listener = test::LoopbackListener(port);
  preset.sse = "127.0.0.1:" + std::to_string(port);
  yux::Options.des = true;
  yux::Options.dha = true;
  yux::Options.dac = "Office";
  yux::Options.dwc = 30;
  yux::Options.tsm = 1;
  const RunOutcome outcome = Run();
  test::CloseFd(listener);
  std::vector<platform::RasConnection> conns;
  platform::RasEnumConnections(conns);
  const std::size_t left = conns.size();
  platform::RasResetEmulation();
  SetDialUpTuning({});
  DialUp = DialUpState{};
  if (savedConfig) setenv("XDG_CONFIG_HOME", restore.c_str(), 1);
  else unsetenv("XDG_CONFIG_HOME");

  EXPECT_EQ(outcome, RunOutcome::Aborted);
  const long connected = Find("DIALUP - Connected.");
  const long timeout = Find("Daily: Operation timeout, aborting. [!]");
  const long hungUp = Find("DIALUP - Hanging up.");
  const long aborted = Find("Aborted. [!]");
  ASSERT_GE(connected, 0) << ::testing::PrintToString(log.lines);
  EXPECT_GT(timeout, connected);
  EXPECT_GT(hungUp, timeout) << ::testing::PrintToString(log.lines);
  EXPECT_LT(hungUp, aborted);
  EXPECT_EQ(left, 0u);
}

// The time-out firing while the e-mail stage waits to retry: the wind-down
// ends, and the pending retry never fires after the run was aborted.
TEST_F(MailRunHere, MailTimeoutEndsTheStageAndItsRetry) {
  int port = 0;
  test::CloseFd(test::LoopbackListener(port));
  preset.sse = "127.0.0.1:" + std::to_string(port);
  yux::Options.tsm = 1;
  yux::Options.fre = true;
  yux::Options.fin = 3;  // longer than the stage's time-out
  yux::Options.fti = 5;
  EXPECT_EQ(Run(), RunOutcome::Aborted);
  const long retry = Find("Daily: SMTP - Trying again in 3 seconds (1/5).");
  const long timeout = Find("Daily: Operation timeout, aborting. [!]");
  const long aborted = Find("Aborted. [!]");
  ASSERT_GE(retry, 0) << ::testing::PrintToString(log.lines);
  EXPECT_GT(timeout, retry);
  EXPECT_GT(aborted, timeout);
  EXPECT_FALSE(MailSessionBusy());
  const std::size_t lines = log.lines.size();
  platform::ProcessMessagesFor(4500);  // past the retry interval
  EXPECT_EQ(log.lines.size(), lines) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(Find("Daily: SMTP - Connecting to 127.0.0.1."), -1);
}

// An error line logged while a report is on its way (the report's
// blocking calls handle events) is mailed after it, in its own report.
TEST_F(MailRunHere, ErrorLineLoggedDuringAReportIsMailedAfterIt) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::SmtpPeer peer;
  ASSERT_TRUE(peer.Start({})) << peer.Error();
  ReportServer(peer.Port());
  yux::Options.ser = true;
  SetErrorMailHook(SendErrorByMail);
  AddLog("The disc failed. [!]");
  QTimer::singleShot(0, [] { AddLog("The copy failed meanwhile. [!]"); });
  FlushErrorMail();
  ASSERT_EQ(peer.MessageCount(), 2) << peer.Log();
  EXPECT_NE(MailText(dir.path(), peer.Message(0)).find("The disc failed. [!]"), std::string::npos);
  EXPECT_NE(MailText(dir.path(), peer.Message(1)).find("The copy failed meanwhile. [!]"), std::string::npos);
  // The second line came while the first report was under way.
  const long first = Find("Sending e-mail report...");
  const long meanwhile = Find("The copy failed meanwhile. [!]");
  const long sent = Find("Error report has been sent to boss@example.test");
  ASSERT_GE(first, 0);
  EXPECT_GT(meanwhile, first);
  EXPECT_LT(meanwhile, sent) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), "Error report has been sent to boss@example.test"), 2);
}

// The log mail of an empty log: the footer and "Log is empty now.".
TEST_F(MailRunHere, LogMailOfAnEmptyLog) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::SmtpPeer peer;
  ASSERT_TRUE(peer.Start({})) << peer.Error();
  ReportServer(peer.Port());
  SetReportLogSource([] { return std::vector<std::string>{}; });
  EXPECT_TRUE(SendLogByMail(24));
  ASSERT_EQ(peer.MessageCount(), 1) << peer.Log();
  EXPECT_NE(peer.Message(0).find("Subject: YUX log file for 24 hours."), std::string::npos);
  std::vector<std::string> body = test::Lines(MailText(dir.path(), peer.Message(0)));
  while (!body.empty() && body.back().empty()) body.pop_back();
  EXPECT_EQ(body,
            (std::vector<std::string>{"", "--", "Yux for WinRAR, v.3.00 beta 4 (2013.03.10).", "Log is empty now."}));
}

// A report to a recipient the server refuses is a failure, never a false
// success.
TEST_F(MailRunHere, ReportToARefusedRecipientFails) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::SmtpPeer peer;
  test::SmtpPeerOptions o;
  o.refuseRcpt = true;
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  ReportServer(peer.Port());
  EXPECT_FALSE(SendErrorByMail("refused [!]"));
  EXPECT_FALSE(SendLogByMail(24));
  EXPECT_EQ(peer.MessageCount(), 0);
}

}  // namespace
