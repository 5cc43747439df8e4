#include "core/run/maildelivery.h"
#include "core/services/reportmail.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include <poll.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/run/foldercopy.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "platform/messages.h"
#include "tests/core/settings_fixture.h"
#include "tests/peers/ftppeers.h"
#include "tests/peers/smtppeers.h"
#include "tests/peers/sslfixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

class MailStage : public test::SettingsFolderTest {
 protected:
  void SetUp() override {
    SettingsFolderTest::SetUp();
    fs::create_directories(dir / "run");
    CurrentPresetName = "P";
    preset.smt = true;
    preset.sfr = "yux@example.test";
    preset.sto = "admin@example.test";
  }
  MailJob Job(const std::vector<std::string>& names) {
    MailJob job;
    job.presetName = "P";
    job.preset = &preset;
    job.runFolder = (dir / "run").string();
    job.produced = names;
    job.deliveries = &deliveries;
    deliveries.Start(names);
    deliveries.Expect(DeliveryKind::Smtp);
    return job;
  }
  std::vector<std::string> History() {
    std::vector<std::string> out;
    const auto lines = ReadPresetList("P", ".hst");
    if (!lines) return out;
    for (const auto& l : *lines) out.push_back(l.substr(l.find('\t') + 1));
    return out;
  }
  // Error reporting to the server on `port`, the mailer installed and
  // `lines` logged (queued, not yet mailed).
  void MailErrorLinesTo(int port, const std::vector<std::string>& lines) {
    Options.ser = true;
    Options.ssr = "127.0.0.1:" + std::to_string(port);
    Options.sfm = "yux@example.test";
    Options.sto = "boss@example.test";
    SetErrorMailHook(SendErrorByMail);
    for (const auto& l : lines) AddLog(l);
  }
  long Count(const std::string& text) const { return std::count(log.lines.begin(), log.lines.end(), text); }
  // The log lines that begin with "P: SMTP - " (their tails).
  std::vector<std::string> SmtpLines() const {
    std::vector<std::string> out;
    for (const auto& l : log.lines) {
      const auto at = l.find("SMTP - ");
      if (at != std::string::npos) out.push_back(l.substr(at + 7));
    }
    return out;
  }

  RunDeliveries deliveries;
};

TEST(MailServer, HostAndPort) {
  std::string host, port;
  SplitServer("mail:587", "25", host, port);
  EXPECT_EQ(host, "mail");
  EXPECT_EQ(port, "587");
  SplitServer("mail", "25", host, port);
  EXPECT_EQ(host, "mail");
  EXPECT_EQ(port, "25");
}

// Three volumes: three messages over one authenticated session, each file
// its only attachment, byte for byte; a history line per file, one list
// block, and the log lines in their order.
TEST_F(MailStage, OneMessagePerFileInOneSession) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::SmtpPeer peer;
  test::SmtpPeerOptions o;
  o.user = "yuxuser";
  o.password = "s3cret";
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  preset.sse = "127.0.0.1:" + std::to_string(peer.Port());
  preset.sus = "yuxuser";
  preset.spa = "s3cret";
  const std::vector<std::string> names = {"a.part1.rar", "a.part2.rar", "a.part3.rar"};
  std::vector<std::string> contents;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string bytes;
    for (int b = 0; b < 5000; ++b) bytes += static_cast<char>((b * 7 + i) & 0xff);
    contents.push_back(bytes);
    test::WriteFile(dir / "run" / names[i], bytes);
  }

  EXPECT_EQ(DeliverByMail(Job(names)), MailResult::Ended);
  EXPECT_FALSE(MailSessionBusy());

  ASSERT_EQ(peer.MessageCount(), 3) << peer.Log();
  for (int i = 0; i < 3; ++i) {
    const fs::path file = dir / ("m" + std::to_string(i) + ".eml");
    test::WriteFile(file, peer.Message(i));
    const std::string parsed = test::ParseMailWithPython(file.string());
    EXPECT_NE(parsed.find("\"Subject\": \"" + names[i] + " (sent by YUX).\""), std::string::npos)
        << parsed;
    EXPECT_NE(parsed.find("\"From\": \"yux@example.test\""), std::string::npos) << parsed;
    EXPECT_NE(parsed.find("\"To\": \"admin@example.test\""), std::string::npos) << parsed;
    EXPECT_NE(parsed.find("\"hex\": \"" + Hex(contents[i]) + "\""), std::string::npos);
    EXPECT_NE(peer.Envelope(i).find("admin@example.test"), std::string::npos);
    EXPECT_NE(peer.Envelope(i).find("yux@example.test"), std::string::npos);
    EXPECT_TRUE(deliveries.Complete(names[i]));
  }
  EXPECT_EQ(History(), (std::vector<std::string>{
                           "2-SMTP\tadmin@example.test/a.part3.rar",
                           "2-SMTP\tadmin@example.test/a.part2.rar",
                           "2-SMTP\tadmin@example.test/a.part1.rar"}));
  const auto block = ReadPresetList("P", ".lgs");
  ASSERT_TRUE(block.has_value());
  ASSERT_GE(block->size(), 4u);
  EXPECT_EQ((std::vector<std::string>(block->begin() + 1, block->begin() + 4)), names);

  const std::vector<std::string> expected = {
      "Connecting to " + preset.sse + ".",
      "Trying to send a.part1.rar.",
      "Successfully sent: a.part1.rar",
      "Trying to send a.part2.rar.",
      "Successfully sent: a.part2.rar",
      "Trying to send a.part3.rar.",
      "Successfully sent: a.part3.rar",
      "Logging off from the server.",
      "Disconnected.",
  };
  EXPECT_EQ(SmtpLines(), expected);
}

// A wrong password with retries off: one error line, the cancel line,
// nothing delivered and no history.
TEST_F(MailStage, WrongPasswordWithRetriesOff) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::SmtpPeer peer;
  test::SmtpPeerOptions o;
  o.user = "yuxuser";
  o.password = "s3cret";
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  preset.sse = "127.0.0.1:" + std::to_string(peer.Port());
  preset.sus = "yuxuser";
  preset.spa = "wrong";
  test::WriteFile(dir / "run" / "a.rar", "data");

  EXPECT_EQ(DeliverByMail(Job({"a.rar"})), MailResult::Ended);
  EXPECT_EQ(peer.MessageCount(), 0);
  EXPECT_FALSE(deliveries.ReachedAny("a.rar"));
  EXPECT_TRUE(History().empty());
  const auto lines = SmtpLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1].rfind("Error ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2],
            "All SMTP tasks have been canceled (reiteration feature is off). [!]");
}

// A server that refuses the connection: the retries come one interval
// apart, the session stays busy meanwhile, then the cancel line.
TEST_F(MailStage, RetriesUsedUp) {
  preset.sse = "127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
  Options.fre = true;
  Options.fin = 1;
  Options.fti = 2;
  test::WriteFile(dir / "run" / "a.rar", "data");
  bool busyDuringWait = false;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    for (const auto& l : SmtpLines())
      if (l.rfind("Trying again", 0) == 0) busyDuringWait = busyDuringWait || MailSessionBusy();
  });
  probe.start(50);
  EXPECT_EQ(DeliverByMail(Job({"a.rar"})), MailResult::Ended);
  EXPECT_TRUE(busyDuringWait);
  const auto lines = SmtpLines();
  const std::vector<std::string> retries = {"Trying again in 1 seconds (1/2).",
                                            "Trying again in 1 seconds (2/2)."};
  for (const auto& r : retries)
    EXPECT_EQ(std::count(lines.begin(), lines.end(), r), 1) << r;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Connecting to " + preset.sse + "."), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Connecting to 127.0.0.1."), 2);
  EXPECT_EQ(lines.back(), "All SMTP tasks have been canceled (no more retries allowed). [!]");
}

// The abort flag during a retry wait ends the stage, and the pending retry
// never fires afterwards.
TEST_F(MailStage, AbortDuringRetryWait) {
  preset.sse = "127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
  Options.fre = true;
  Options.fin = 1;
  Options.fti = 3;
  test::WriteFile(dir / "run" / "a.rar", "data");
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    if (!SmtpLines().empty() && SmtpLines().back().rfind("Trying again", 0) == 0)
      AbortRequested = true;
  });
  probe.start(20);
  EXPECT_EQ(DeliverByMail(Job({"a.rar"})), MailResult::Aborted);
  EXPECT_FALSE(MailSessionBusy());
  const auto before = SmtpLines();
  platform::ProcessMessagesFor(1500);
  EXPECT_EQ(SmtpLines(), before);
  EXPECT_EQ(before.back(), "Trying again in 1 seconds (1/3).");
}

// The TLS mode of the preset and of the report server: 0, 1 and 2 connect;
// any other (a damaged or hand-edited value) could mean the password in
// clear text, and is refused before any connection with an error line, by
// the delivery and by the report.
TEST_F(MailStage, UnknownTlsModeConnectsNowhere) {
  const struct {
    int sss;
    bool known;
  } rows[] = {{-1, false}, {0, true}, {1, true}, {2, true}, {3, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.sss);
    int port = 0;
    const int listener = test::LoopbackListener(port);  // takes the connection, never answers
    preset.sse = "127.0.0.1:" + std::to_string(port);
    preset.sss = row.sss;
    log.lines.clear();
    test::WriteFile(dir / "run" / "m.rar", "data");
    MailJob job = Job({"m.rar"});
    job.replyLimitMs = 300;
    EXPECT_EQ(DeliverByMail(job), MailResult::Ended);
    EXPECT_FALSE(deliveries.ReachedAny("m.rar"));
    const std::string refusal = "SMTP - Error Unknown SMTP TLS mode " + std::to_string(row.sss) + " [!]";
    EXPECT_EQ(Count("P: " + refusal), row.known ? 0 : 1) << ::testing::PrintToString(log.lines);
    if (!row.known) {
      Options.ssr = preset.sse;
      Options.sss = row.sss;
      Options.sfm = "yux@example.test";
      Options.sto = "boss@example.test";
      EXPECT_FALSE(SendLogByMail(24));
      EXPECT_EQ(Count(refusal), 1) << ::testing::PrintToString(log.lines);
    }
    pollfd pending{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 0) > 0, row.known);
    test::CloseFd(listener);
  }
}

// Nothing produced: one line, no session.
TEST_F(MailStage, NoFiles) {
  EXPECT_EQ(DeliverByMail(Job({})), MailResult::NoFiles);
  EXPECT_EQ(SmtpLines(), (std::vector<std::string>{"No files to process. [!]"}));
}

}  // namespace

// The program's own reports, sent by their own client.
TEST_F(MailStage, ErrorLinesAreMailedOneReportEach) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::SmtpPeer peer;
  test::SmtpPeerOptions o;
  o.user = "admin";
  o.password = "pw";
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  Options.ser = true;
  Options.ssr = "127.0.0.1:" + std::to_string(peer.Port());
  Options.sur = "admin";
  Options.spd = "pw";
  Options.sfm = "yux@example.test";
  Options.sto = "boss@example.test";
  SetErrorMailHook(SendErrorByMail);
  AddLog("The disc failed. [!]");
  AddLog("The copy failed. [!]");
  FlushErrorMail();
  SetErrorMailHook(nullptr);
  ASSERT_EQ(peer.MessageCount(), 2);
  for (int i = 0; i < 2; ++i) {
    const std::string m = peer.Message(i);
    EXPECT_NE(m.find("Subject: YUX error report."), std::string::npos) << m;
    EXPECT_NE(m.find(i == 0 ? "The disc failed. [!]" : "The copy failed. [!]"), std::string::npos) << m;
    EXPECT_NE(peer.Envelope(i).find("boss@example.test"), std::string::npos);
  }
  EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), "Error report has been sent to boss@example.test"), 2);
}

// A server that is down: each flush tries one line, fails it once, and
// leaves the rest for the next flush.
TEST_F(MailStage, ErrorMailToAServerThatIsDownFailsOneLinePerFlush) {
  int port = 0;
  const int fd = test::LoopbackListener(port);
  test::CloseFd(fd);  // nothing listens there now
  MailErrorLinesTo(port, {"one [!]", "two [!]"});
  for (int flush = 1; flush <= 3; ++flush) {
    SCOPED_TRACE(flush);
    FlushErrorMail();
    const int tried = std::min(flush, 2);
    EXPECT_EQ(Count("FAILED TO SEND ERROR REPORT TO boss@example.test"), tried);
    EXPECT_EQ(Count("Sending e-mail report..."), tried);
  }
  SetErrorMailHook(nullptr);
}

// A server that takes the connection and never answers.  An abort while a
// report waits for it cuts the report at once and ends the flush (the next
// line waits); the close's flush ends within its bound and names each
// line it could not mail.
TEST_F(MailStage, ErrorMailToASilentServerGivesWayToAbortAndClose) {
  int port = 0;
  const int listener = test::LoopbackListener(port);  // connects complete, nothing is said
  MailErrorLinesTo(port, {"one [!]", "two [!]"});

  QTimer abort;
  abort.setSingleShot(true);
  QObject::connect(&abort, &QTimer::timeout, [] { AbortRequested = true; });
  abort.start(500);
  QElapsedTimer t;
  t.start();
  FlushErrorMail();
  EXPECT_LT(t.elapsed(), 10000);
  EXPECT_TRUE(AbortRequested);
  EXPECT_EQ(Count("Sending e-mail report..."), 1);
  EXPECT_EQ(Count("FAILED TO SEND ERROR REPORT TO boss@example.test"), 1);
  EXPECT_FALSE(RunActive);

  // The abort flag stays set after the run it ended: later reports still go.
  AddLog("three [!]");
  t.restart();
  FlushErrorMailWithin(1500);
  const qint64 closeMs = t.elapsed();
  test::CloseFd(listener);
  SetErrorMailHook(nullptr);
  EXPECT_GE(closeMs, 1000);
  EXPECT_LT(closeMs, 8000);
  EXPECT_EQ(Count("Sending e-mail report..."), 2);
  const auto stamped = [&](const std::string& tail) {
    return std::count_if(log.lines.begin(), log.lines.end(), [&](const std::string& l) {
      return l.rfind("Error report not sent: [", 0) == 0 && l.size() > tail.size() &&
             l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
    });
  };
  // "two" was tried and failed within the bound; "three" had no time left.
  EXPECT_EQ(Count("FAILED TO SEND ERROR REPORT TO boss@example.test"), 2);
  EXPECT_EQ(stamped("] three [!]"), 1) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(stamped("] two [!]"), 0);
  // Nothing is left for later.
  FlushErrorMail();
  EXPECT_EQ(Count("Sending e-mail report..."), 2);
}

TEST(LogReport, BodyOfTheLastHours) {
  const QDateTime now = QDateTime(QDate(2026, 12, 10), QTime(12, 0, 0));
  const std::vector<std::string> lines = {
      "[2026.12.08 09:00:00] too old",
      "[2026.12.08 13:00:00] Daily: Done.",
      "[2026.12.09 10:00:00] Daily: FTP - Error 530 [!]",
      "[2026.12.10 11:59:00] YUX is ready now.",
  };
  const std::vector<std::string> expected = {
      "YUX log file for 48 hours.",
      "The period of 2026.12.08 12:00:00 - 2026.12.10 12:00:00 .",
      "1 error(s) occured during this period.",
      "",
      "[2026.12.08 13:00:00] Daily: Done.",
      "[2026.12.09 10:00:00] Daily: FTP - Error 530 [!]",
      "[2026.12.10 11:59:00] YUX is ready now.",
      "",
      "--",
      "Yux for WinRAR, v.3.00 beta 4 (2013.03.10).",
  };
  EXPECT_EQ(LogReportBody(lines, 48, now), expected);
  const auto quiet = LogReportBody({"[2026.12.10 11:00:00] YUX is ready now."}, 24, now);
  ASSERT_GE(quiet.size(), 3u);
  EXPECT_EQ(quiet[2], "There were no error messages during this period.");
  EXPECT_EQ(LogReportBody({}, 24, now),
            (std::vector<std::string>{"", "--", "Yux for WinRAR, v.3.00 beta 4 (2013.03.10).", "Log is empty now."}));
}

// STARTTLS and implicit TLS: the archive arrives over TLS, AUTH included.
TEST_F(MailStage, TlsSessions) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  ASSERT_TRUE(test::TestPki::Get().Ok());
  struct Row {
    const char* name;
    test::SmtpPeerOptions::Tls tls;
    int sss;
  } rows[] = {{"STARTTLS", test::SmtpPeerOptions::kStartTls, 2},
              {"implicit", test::SmtpPeerOptions::kImplicit, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::SmtpPeer peer;
    test::SmtpPeerOptions o;
    o.user = "yuxuser";
    o.password = "s3cret";
    o.tls = row.tls;
    ASSERT_TRUE(peer.Start(o)) << peer.Error();
    preset.sse = "127.0.0.1:" + std::to_string(peer.Port());
    preset.sus = "yuxuser";
    preset.spa = "s3cret";
    preset.sss = row.sss;
    test::WriteFile(dir / "run" / "t.rar", std::string("tls archive ") + row.name);
    EXPECT_EQ(DeliverByMail(Job({"t.rar"})), MailResult::Ended);
    ASSERT_EQ(peer.MessageCount(), 1) << peer.Log();
    EXPECT_TRUE(deliveries.Complete("t.rar"));
  }
}

// A 451 to the first MAIL FROM with retries on: the retry reconnects the
// way the first attempt did (STARTTLS before AUTH where the preset asks for
// it) and sends the same archive, once.
TEST_F(MailStage, RefusedMailIsRetriedOnANewSession) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  ASSERT_TRUE(test::TestPki::Get().Ok());
  struct Row {
    const char* name;
    test::SmtpPeerOptions::Tls tls;
    int sss;
  } rows[] = {{"plain", test::SmtpPeerOptions::kPlain, 0}, {"STARTTLS required", test::SmtpPeerOptions::kStartTls, 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::SmtpPeer peer;
    test::SmtpPeerOptions o;
    o.user = "yuxuser";
    o.password = "s3cret";
    o.tls = row.tls;
    o.refuseFirstMail = true;
    ASSERT_TRUE(peer.Start(o)) << peer.Error();
    preset.sse = "127.0.0.1:" + std::to_string(peer.Port());
    preset.sus = "yuxuser";
    preset.spa = "s3cret";
    preset.sss = row.sss;
    Options.fre = true;
    Options.fin = 1;
    Options.fti = 2;
    log.lines.clear();
    test::WriteFile(dir / "run" / "r.rar", std::string("retried ") + row.name);
    EXPECT_EQ(DeliverByMail(Job({"r.rar"})), MailResult::Ended);
    ASSERT_EQ(peer.MessageCount(), 1) << peer.Log();
    EXPECT_TRUE(deliveries.Complete("r.rar"));
    const auto lines = SmtpLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Trying again in 1 seconds (1/2)."), lines.end())
        << ::testing::PrintToString(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Successfully sent: r.rar"), 1);
  }
}

// A retry interval of 0 seconds: the retry comes while the failed
// session's QUIT is still on its way, and must wait for it rather than
// start a second session on a client that is not ready.
TEST_F(MailStage, RetryWithoutAnIntervalWaitsForTheQuit) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::SmtpPeer peer;
  test::SmtpPeerOptions o;
  o.refuseFirstMail = true;
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  preset.sse = "127.0.0.1:" + std::to_string(peer.Port());
  Options.fre = true;
  Options.fin = 0;
  Options.fti = 2;
  test::WriteFile(dir / "run" / "z.rar", "retried at once");
  EXPECT_EQ(DeliverByMail(Job({"z.rar"})), MailResult::Ended);
  ASSERT_EQ(peer.MessageCount(), 1) << ::testing::PrintToString(SmtpLines());
  EXPECT_TRUE(deliveries.Complete("z.rar"));
  const auto lines = SmtpLines();
  const auto quit = std::find(lines.begin(), lines.end(), "Disconnected.");
  ASSERT_NE(quit, lines.end());
  EXPECT_NE(std::find(quit, lines.end(), "Connecting to 127.0.0.1."), lines.end()) << ::testing::PrintToString(lines);
}
