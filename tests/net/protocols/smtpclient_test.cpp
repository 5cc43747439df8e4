// The SMTP client against aiosmtpd on 127.0.0.1: plain sessions, every AUTH
// mechanism, STARTTLS, implicit TLS, SIZE and the blocking calls.  swaks
// talks to each server set-up first, so that a failure points at our
// client, not at the fixture.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "net/protocols/smtpssl.h"
#include "net/socket/sslcontext.h"
#include "platform/messages.h"
#include "tests/net/protocols/smtptestutil.h"

using namespace yux::net;
using yux::test::SmtpPeer;
using yux::test::SmtpPeerOptions;
using yux::test::Client;
using yux::test::TempDir;

namespace {

#define REQUIRE_SMTP_PEERS()                        \
  do {                                              \
    YUX_REQUIRE_PROGRAM(yux::test::kDebianPython); \
    YUX_REQUIRE_PROGRAM("swaks");                   \
  } while (0)

bool Swaks(int port, const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {"swaks", "--server", "127.0.0.1", "--port", std::to_string(port),
                                   "--from", "swaks@example.com", "--to", "rcpt@example.org",
                                   "--h-Subject", "swaks", "--body", "from swaks",
                                   "--timeout", "20"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  yux::test::ProcessResult r = yux::test::RunProgram(argv, {}, 30000);
  if (r.exitCode != 0) ADD_FAILURE() << "swaks: " << r.out << r.err;
  return r.exitCode == 0;
}

std::string StoredFile(const SmtpPeer& peer, int index, TempDir& dir) {
  const std::string f = (dir / ("m" + std::to_string(index) + ".eml")).string();
  yux::test::WriteFile(f, peer.Message(index));
  return f;
}

TEST(SmtpClient, PlainSessionDeliversMessageWithAttachment) {
  REQUIRE_SMTP_PEERS();
  SmtpPeer peer;
  ASSERT_TRUE(peer.Start({})) << peer.Error();
  ASSERT_TRUE(Swaks(peer.Port(), {}));
  ASSERT_EQ(peer.MessageCount(), 1);

  TempDir dir;
  std::string data;
  for (int i = 0; i < 200000; ++i) data += char((i * 31 + 7) & 0xFF);
  const std::string att = (dir / "archive part.rar").string();
  yux::test::WriteFile(att, data);
  Client k(peer.Port());
  k.c.SetEmailFiles({att});
  k.c.RcptName = {"rcpt@example.org", "Second <second@example.org>"};
  ASSERT_EQ(k.Run([&] { k.c.Open(); }), 0) << k.c.ErrorMessage;
  EXPECT_EQ(k.doneRq, smtpOpen);
  ASSERT_EQ(k.Run([&] { k.c.Mail(); }), 0) << k.c.ErrorMessage;
  EXPECT_EQ(k.doneRq, smtpMail);
  ASSERT_EQ(k.Run([&] { k.c.Quit(); }), 0) << k.c.ErrorMessage;
  EXPECT_EQ(k.doneRq, smtpQuit);
  EXPECT_FALSE(k.c.Connected);
  const std::vector<std::string> want = {"HELO", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"};
  EXPECT_EQ(k.Commands(), want) << k.Transcript();

  ASSERT_EQ(peer.MessageCount(), 2);
  EXPECT_NE(peer.Envelope(1).find("\"from\": \"sender@example.com\""), std::string::npos)
      << peer.Envelope(1);
  EXPECT_NE(peer.Envelope(1).find("\"second@example.org\""), std::string::npos);
  yux::test::ParsedMail m = yux::test::ParseMail(StoredFile(peer, 1, dir));
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.Defects(), 0) << m.DefectText();
  EXPECT_EQ(m.Header("From"), "Sender Name <sender@example.com>");
  EXPECT_EQ(m.Header("Subject"), "Test message");
  ASSERT_EQ(m.PartCount(), 2);
  EXPECT_EQ(yux::test::Lf(m.PartBytes(0)), "Line one.\n.dot line\nlast");
  EXPECT_EQ(m.PartFileName(1), "archive part.rar");
  EXPECT_EQ(m.PartBytes(1), data);
}

TEST(SmtpClient, AuthMechanismsAgainstACheckingServer) {
  REQUIRE_SMTP_PEERS();
  struct Case {
    const char* name;
    std::vector<std::string> exclude;
    bool cram;
    TSmtpAuthType type;
    const char* password;
    const char* command;  // the AUTH command expected first
    int result;
  };
  const Case cases[] = {
      {"auto picks LOGIN", {}, false, smtpAuthAutoSelect, "s3cret", "AUTH LOGIN", 0},
      {"PLAIN only", {"LOGIN"}, false, smtpAuthPlain, "s3cret", "AUTH PLAIN", 0},
      {"auto with PLAIN only", {"LOGIN"}, false, smtpAuthAutoSelect, "s3cret", "AUTH PLAIN", 0},
      {"CRAM-MD5", {}, true, smtpAuthAutoSelect, "s3cret", "AUTH CRAM-MD5", 0},
      {"LOGIN wrong password", {}, false, smtpAuthLogin, "wrong", "AUTH LOGIN", 535},
      {"PLAIN wrong password", {}, false, smtpAuthPlain, "wrong", "AUTH PLAIN", 535},
      {"CRAM-MD5 wrong password", {}, true, smtpAuthCramMD5, "wrong", "AUTH CRAM-MD5", 535},
      {"CRAM-SHA1 not offered", {}, false, smtpAuthCramSha1, "s3cret", "AUTH CRAM-SHA1", 504},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SmtpPeerOptions o;
    o.user = "yuxuser";
    o.password = "s3cret";
    o.exclude = k.exclude;
    o.cramMd5 = k.cram;
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start(o)) << peer.Error();
    if (k.result == 0 && !k.cram) {
      std::string mech = std::string(k.command).substr(5);
      ASSERT_TRUE(Swaks(peer.Port(), {"--auth", mech, "--auth-user", "yuxuser",
                                      "--auth-password", "s3cret"}));
    }
    const int before = peer.MessageCount();
    Client c(peer.Port());
    c.c.AuthType = k.type;
    c.c.Username = "yuxuser";
    c.c.Password = k.password;
    // The authentication identity is the user, whatever the sender is.
    c.c.FromName = "other@example.com";
    const int open = c.Run([&] { c.c.Open(); });
    EXPECT_EQ(open, k.result) << c.Transcript();
    bool sawCommand = false;
    for (const std::string& d : c.display) sawCommand |= d.starts_with(std::string("> ") + k.command);
    EXPECT_TRUE(sawCommand) << c.Transcript();
    if (k.result != 0) {
      EXPECT_FALSE(c.c.ErrorMessage.empty());
      continue;
    }
    ASSERT_EQ(c.Run([&] { c.c.Mail(); }), 0) << c.Transcript();
    ASSERT_EQ(c.Run([&] { c.c.Quit(); }), 0);
    ASSERT_EQ(peer.MessageCount(), before + 1);
    EXPECT_NE(peer.Envelope(before).find("\"login\": \"yuxuser\""), std::string::npos)
        << peer.Envelope(before);
  }
}

TEST(SmtpClient, StartTlsRequiredThenAuthOverTheSecuredSession) {
  REQUIRE_SMTP_PEERS();
  SmtpPeerOptions o;
  o.user = "yuxuser";
  o.password = "s3cret";
  o.tls = SmtpPeerOptions::kStartTls;
  SmtpPeer peer;
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  ASSERT_TRUE(Swaks(peer.Port(), {"--tls", "--auth", "LOGIN", "--auth-user", "yuxuser",
                                  "--auth-password", "s3cret"}));

  // Without TLS the server refuses the session.
  {
    Client plain(peer.Port());
    EXPECT_EQ(plain.Run([&] { plain.c.Open(); }), 530) << plain.Transcript();
    EXPECT_EQ(plain.c.ErrorMessage.substr(0, 3), "530") << plain.Transcript();
  }

  Client k(peer.Port(), smtpTlsExplicit);
  k.c.AuthType = smtpAuthLogin;
  k.c.Username = "yuxuser";
  k.c.Password = "s3cret";
  ASSERT_EQ(k.Run([&] { k.c.Open(); }), 0) << k.c.ErrorMessage << "\n" << k.Transcript();
  const std::vector<std::string> open = {"EHLO", "STARTTLS", "EHLO", "AUTH LOGIN"};
  EXPECT_EQ(k.Commands(), open) << k.Transcript();
  EXPECT_TRUE(k.c.CtrlSocket()->SslActive());
  ASSERT_EQ(k.Run([&] { k.c.Mail(); }), 0) << k.Transcript();
  ASSERT_EQ(k.Run([&] { k.c.Quit(); }), 0);
  ASSERT_EQ(peer.MessageCount(), 2);
  EXPECT_NE(peer.Envelope(1).find("\"login\": \"yuxuser\""), std::string::npos);
  bool secured = false;
  for (const std::string& d : k.display) secured |= d.starts_with("Secure connection with TLS");
  EXPECT_TRUE(secured) << k.Transcript();
}

TEST(SmtpClient, ImplicitTlsSessionWithBlockingCalls) {
  REQUIRE_SMTP_PEERS();
  SmtpPeerOptions o;
  o.tls = SmtpPeerOptions::kImplicit;
  SmtpPeer peer;
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  ASSERT_TRUE(Swaks(peer.Port(), {"--tlsc"}));

  Client k(peer.Port(), smtpTlsImplicit);
  k.c.OnRequestDone = nullptr;
  k.c.Timeout = 20;
  ASSERT_TRUE(k.c.OpenBlocking()) << k.c.ErrorMessage << "\n" << k.Transcript();
  EXPECT_TRUE(k.c.CtrlSocket()->SslActive());
  ASSERT_TRUE(k.c.MailBlocking()) << k.c.ErrorMessage;
  ASSERT_TRUE(k.c.QuitBlocking()) << k.c.ErrorMessage;
  ASSERT_EQ(peer.MessageCount(), 2);
  yux::test::TempDir dir;
  yux::test::ParsedMail m = yux::test::ParseMail(StoredFile(peer, 1, dir));
  EXPECT_EQ(m.Header("Subject"), "Test message");
  EXPECT_EQ(m.Defects(), 0) << m.DefectText();
}

TEST(SmtpClient, SizeLimitAnnouncedAndEnforced) {
  REQUIRE_SMTP_PEERS();
  SmtpPeerOptions o;
  o.sizeLimit = 2000;
  SmtpPeer peer;
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  ASSERT_TRUE(Swaks(peer.Port(), {}));
  Client k(peer.Port());
  k.c.OnRequestDone = nullptr;
  ASSERT_TRUE(k.c.ConnectBlocking()) << k.c.ErrorMessage;
  ASSERT_TRUE(k.c.EhloBlocking());
  EXPECT_TRUE(k.c.SizeSupported);
  EXPECT_EQ(k.c.MaxMessageSize, 2000);
  EXPECT_TRUE(k.c.EsmtpSupported);
  k.c.MailMessage.assign(100, std::string(60, 'z'));
  ASSERT_TRUE(k.c.Blocking([&] { k.c.CalcMsgSize(); }));
  EXPECT_GT(k.c.MessageSize, 6000);
  EXPECT_FALSE(k.c.Blocking([&] { k.c.MailFromSIZE(); }));
  EXPECT_EQ(k.c.StatusCode, 552) << k.Transcript();
  ASSERT_TRUE(k.c.RsetBlocking());
  k.c.MailMessage = {"small"};
  ASSERT_TRUE(k.c.Blocking([&] { k.c.CalcMsgSize(); }));
  ASSERT_TRUE(k.c.Blocking([&] { k.c.MailFromSIZE(); })) << k.Transcript();
  ASSERT_TRUE(k.c.RcptToBlocking());
  ASSERT_TRUE(k.c.DataBlocking());
  ASSERT_TRUE(k.c.QuitBlocking());
  EXPECT_EQ(peer.MessageCount(), 2);
}

}  // namespace

namespace {

TEST(SmtpClient, ThroughSocks5AndHttpProxies) {
  REQUIRE_SMTP_PEERS();
  YUX_REQUIRE_PROGRAM("microsocks");
  YUX_REQUIRE_PROGRAM("tinyproxy");
  SmtpPeerOptions o;
  o.tls = SmtpPeerOptions::kStartTls;
  SmtpPeer peer;
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  yux::test::PeerProcess socks, http;
  int socksPort = 0, httpPort = 0;
  ASSERT_TRUE(yux::test::StartMicrosocks(socks, socksPort, "alice", "pw1"));
  TempDir conf;
  ASSERT_TRUE(yux::test::StartTinyproxy(http, httpPort, conf, "bob", "pw2", peer.Port()));
  struct Case {
    const char* name;
    TSmtpProxyType type;
    int port;
    const char* user;
    const char* password;
    int result;
  };
  const Case cases[] = {
      {"SOCKS 5", smtpSocks5, socksPort, "alice", "pw1", 0},
      {"HTTP CONNECT", smtpHttpProxy, httpPort, "bob", "pw2", 0},
      {"SOCKS 5 wrong password", smtpSocks5, socksPort, "alice", "bad", -1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const int before = peer.MessageCount();
    Client c(peer.Port(), smtpTlsExplicit);
    c.c.ProxyType = k.type;
    c.c.ProxyServer = "127.0.0.1";
    c.c.ProxyPort = std::to_string(k.port);
    c.c.ProxyUserCode = k.user;
    c.c.ProxyPassword = k.password;
    c.c.ProxyHttpAuthType = htatBasic;
    const int open = c.Run([&] { c.c.Open(); });
    if (k.result != 0) {
      EXPECT_NE(open, 0);
      EXPECT_NE(c.c.ErrorMessage.find("500 Connect error - "), std::string::npos)
          << c.c.ErrorMessage;
      continue;
    }
    ASSERT_EQ(open, 0) << c.c.ErrorMessage << "\n" << c.Transcript();
    ASSERT_EQ(c.Run([&] { c.c.Mail(); }), 0) << c.Transcript();
    ASSERT_EQ(c.Run([&] { c.c.Quit(); }), 0);
    EXPECT_EQ(peer.MessageCount(), before + 1);
  }
}

TEST(SmtpClient, ClientFreedInsideItsOwnRequestDone) {
  REQUIRE_SMTP_PEERS();
  SmtpPeer peer;
  ASSERT_TRUE(peer.Start({})) << peer.Error();
  auto* c = new TSslSmtpCli;
  c->Host = "127.0.0.1";
  c->Port = std::to_string(peer.Port());
  bool freed = false;
  c->OnRequestDone = [&](TCustomSmtpClient* sender, TSmtpRequest, WORD e) {
    EXPECT_EQ(e, 0);
    delete sender;
    freed = true;
  };
  c->Open();
  ASSERT_TRUE(yux::platform::WaitPumping([&] { return freed; }, 10000, 2));
  yux::platform::ProcessMessagesFor(100);
}

}  // namespace

namespace {

// The delivery drives the client with single commands: STARTTLS among
// them, then EHLO again, AUTH and the mail, each waited for in turn.
TEST(SmtpClient, SingleCommandsWithStartTls) {
  REQUIRE_SMTP_PEERS();
  SmtpPeerOptions o;
  o.user = "yuxuser";
  o.password = "s3cret";
  o.tls = SmtpPeerOptions::kStartTls;
  SmtpPeer peer;
  ASSERT_TRUE(peer.Start(o)) << peer.Error();
  Client k(peer.Port(), smtpTlsExplicit);
  k.c.AuthType = smtpAuthAutoSelect;
  k.c.Username = "yuxuser";
  k.c.Password = "s3cret";
  ASSERT_EQ(k.Run([&] { k.c.Connect(); }), 0) << k.Transcript();
  EXPECT_EQ(k.doneRq, smtpConnect);
  ASSERT_EQ(k.Run([&] { k.c.Ehlo(); }), 0);
  EXPECT_TRUE(k.c.StartTlsOffered);
  ASSERT_EQ(k.Run([&] { k.c.StartTls(); }), 0) << k.Transcript();
  EXPECT_EQ(k.doneRq, smtpStartTls);
  ASSERT_EQ(k.Run([&] { k.c.Ehlo(); }), 0);
  EXPECT_FALSE(k.c.StartTlsOffered);
  EXPECT_FALSE(k.c.AuthTypesOffered.empty());
  ASSERT_EQ(k.Run([&] { k.c.Auth(); }), 0) << k.Transcript();
  EXPECT_EQ(k.doneRq, smtpAuth);
  ASSERT_EQ(k.Run([&] { k.c.MailFrom(); }), 0);
  ASSERT_EQ(k.Run([&] { k.c.RcptTo(); }), 0);
  ASSERT_EQ(k.Run([&] { k.c.Data(); }), 0) << k.Transcript();
  EXPECT_EQ(k.doneRq, smtpData);
  // A second STARTTLS on the secured session is refused by the client.
  EXPECT_EQ(k.Run([&] { k.c.StartTls(); }), 500);
  EXPECT_EQ(k.c.ErrorMessage, "500 STARTTLS is not available.");
  ASSERT_EQ(k.Run([&] { k.c.Quit(); }), 0);
  EXPECT_EQ(peer.MessageCount(), 1);
  EXPECT_NE(peer.Envelope(0).find("\"login\": \"yuxuser\""), std::string::npos);
}

}  // namespace
