// SOCKS 4, 4A and 5 against real servers and a scripted one on 127.0.0.1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/socket/netexceptions.h"
#include "net/socket/wsocket.h"
#include "platform/messages.h"
#include "tests/peers/peers.h"

using namespace yux::net;
using yux::test::PeerProcess;
using yux::test::ScriptedServer;

namespace {

bool WaitUntil(const std::function<bool()>& pred, unsigned ms = 20000) {
  return yux::platform::WaitPumping(pred, ms, 2);
}

// A client socket that records the outcome of a SOCKS connect and echoes
// a text through the tunnel.
struct Client {
  TWSocket s;
  int connected = -1;
  int socksError = 0;
  std::string socksMsg;
  std::string got;
  bool closed = false;
  std::vector<TSocksAuthState> auth;
  Client() {
    s.OnSessionConnected = [this](TCustomWSocket*, WORD e) { connected = e; };
    s.OnSocksError = [this](TCustomWSocket*, int e, const std::string& m) {
      socksError = e;
      socksMsg = m;
    };
    s.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState a) { auth.push_back(a); };
    s.OnDataAvailable = [this](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
    s.OnSessionClosed = [this](TCustomWSocket*, WORD) { closed = true; };
  }
  void Connect(const std::string& level, int socksPort, const std::string& host, int port) {
    s.SetSocksLevel(level);
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(socksPort));
    s.SetAddr(host);
    s.SetPort(std::to_string(port));
    s.Connect();
  }
};

TEST(Socks, Version5WithUserAndPasswordThroughMicrosocks) {
  YUX_REQUIRE_PROGRAM("microsocks");
  YUX_REQUIRE_PROGRAM("socat");
  PeerProcess echo, proxy;
  int echoPort = 0, socksPort = 0;
  ASSERT_TRUE(yux::test::StartSocatEcho(echo, echoPort));
  ASSERT_TRUE(yux::test::StartMicrosocks(proxy, socksPort, "alice", "s3cret"));
  {
    Client c;
    c.s.SocksAuthentication = socksAuthenticateUsercode;
    c.s.SocksUsercode = "alice";
    c.s.SocksPassword = "s3cret";
    c.Connect("5", socksPort, "127.0.0.1", echoPort);
    ASSERT_TRUE(WaitUntil([&] { return c.connected != -1; }));
    ASSERT_EQ(c.connected, 0);
    EXPECT_EQ(c.auth, (std::vector<TSocksAuthState>{socksAuthStart, socksAuthSuccess}));
    c.s.SendString("through socks 5");
    ASSERT_TRUE(WaitUntil([&] { return c.got == "through socks 5"; }));
    c.s.Close();
    EXPECT_EQ(c.s.SocksServer(), "");  // must be set again for the next connect
  }
  {
    Client c;
    c.s.SocksAuthentication = socksAuthenticateUsercode;
    c.s.SocksUsercode = "alice";
    c.s.SocksPassword = "wrong";
    c.Connect("5", socksPort, "127.0.0.1", echoPort);
    ASSERT_TRUE(WaitUntil([&] { return c.closed; }));
    EXPECT_EQ(c.socksError, 20015);
    EXPECT_EQ(c.connected, 20015);
  }
}

TEST(Socks, Versions4And5WithoutAuthenticationThroughDante) {
  YUX_REQUIRE_PROGRAM("danted");
  YUX_REQUIRE_PROGRAM("socat");
  yux::test::TempDir conf;
  PeerProcess echo, proxy;
  int echoPort = 0, socksPort = 0;
  ASSERT_TRUE(yux::test::StartSocatEcho(echo, echoPort));
  ASSERT_TRUE(yux::test::StartDante(proxy, socksPort, conf));
  for (std::string level : {"4", "5"}) {
    SCOPED_TRACE("level " + level);
    Client c;
    c.Connect(level, socksPort, "127.0.0.1", echoPort);
    ASSERT_TRUE(WaitUntil([&] { return c.connected != -1; }));
    ASSERT_EQ(c.connected, 0) << c.socksMsg;
    c.s.SendString("via dante " + level);
    ASSERT_TRUE(WaitUntil([&] { return c.got == "via dante " + level; }));
  }
}

TEST(Socks, Version4ARequestBytesAndDataRightBehindTheReply) {
  std::string request;
  ScriptedServer srv([&](int fd, int) {
    request = yux::test::ReadExactly(fd, 18);
    // Granted, and the far end's first bytes in the same segment.
    yux::test::WriteAll(fd, std::string("\x00\x5A\x00\x00\x00\x00\x00\x00", 8) + "hello");
    yux::test::ReadExactly(fd, 1);  // until the client goes
  });
  Client c;
  c.s.SocksUsercode = "u";
  c.Connect("4A", srv.Port(), "example", 8080);
  ASSERT_TRUE(WaitUntil([&] { return c.connected != -1 && c.got == "hello"; }));
  EXPECT_EQ(c.connected, 0);
  EXPECT_EQ(request, std::string("\x04\x01\x1F\x90\x00\x00\x00\x01u\x00" "example\x00", 18));
}

TEST(Socks, Version5DomainReplyAndItsTrailingBytes) {
  std::string greeting, request;
  ScriptedServer srv([&](int fd, int) {
    greeting = yux::test::ReadExactly(fd, 3);
    yux::test::WriteAll(fd, std::string("\x05\x00", 2));
    request = yux::test::ReadExactly(fd, 4 + 1 + 9 + 2);
    std::string reply("\x05\x00\x00\x03\x0A", 5);
    reply += "proxy.test";  // 10 bytes: the reply is 17 bytes
    reply += std::string("\x04\xD2", 2);
    yux::test::WriteAll(fd, reply + "after");
    yux::test::ReadExactly(fd, 1);
  });
  Client c;
  c.Connect("5", srv.Port(), "far.host1", 21);
  ASSERT_TRUE(WaitUntil([&] { return c.connected != -1 && c.got == "after"; }));
  EXPECT_EQ(c.connected, 0);
  EXPECT_EQ(greeting, std::string("\x05\x01\x00", 3));
  EXPECT_EQ(request, std::string("\x05\x01\x00\x03\x09" "far.host1\x00\x15", 16));
  EXPECT_EQ(c.s.SocksReplyAddr(), "proxy.test");
  EXPECT_EQ(c.s.SocksReplyPort(), "1234");
}

// A server may name its bound address with up to 255 bytes: the whole
// reply is taken (nothing read past the buffer), and what follows it is
// the application's data.
TEST(Socks, Version5LongestDomainReplyIsReadWhole) {
  for (size_t nameLen : {size_t(120), size_t(200), size_t(255)}) {
    SCOPED_TRACE(nameLen);
    const std::string name(nameLen, 'n');
    ScriptedServer srv([&](int fd, int) {
      yux::test::ReadExactly(fd, 3);
      yux::test::WriteAll(fd, std::string("\x05\x00", 2));
      yux::test::ReadExactly(fd, 4 + 1 + 9 + 2);
      std::string reply("\x05\x00\x00\x03", 4);
      reply += char(nameLen);
      reply += name;
      reply += std::string("\x04\xD2", 2);
      yux::test::WriteAll(fd, reply + "after");
      yux::test::ReadExactly(fd, 1);
    });
    Client c;
    c.Connect("5", srv.Port(), "far.host1", 21);
    ASSERT_TRUE(WaitUntil([&] { return c.connected != -1 && c.got.size() >= 5; }));
    EXPECT_EQ(c.connected, 0);
    EXPECT_EQ(c.got, "after");
    EXPECT_EQ(c.s.SocksReplyAddr(), name);
    EXPECT_EQ(c.s.SocksReplyPort(), "1234");
  }
}

TEST(Socks, ReplyCodesBecomeErrors) {
  struct Case {
    std::string level;
    std::string reply;  // after the greeting reply for level 5
    int code;
  };
  const Case cases[] = {
      {"5", std::string("\x05\x01\x00\x01", 4), 20004},
      {"5", std::string("\x05\x02\x00\x01", 4), 20005},
      {"5", std::string("\x05\x05\x00\x01", 4), 20008},
      {"5", std::string("\x05\x08\x00\x01", 4), 20011},
      {"5", std::string("\x05\x09\x00\x01", 4), 20012},
      {"5", std::string("\x04\x00\x00\x01", 4), 20002},
      {"4", std::string("\x00\x5B\x00\x00\x00\x00\x00\x00", 8), 20016},
      {"4", std::string("\x00\x5C\x00\x00\x00\x00\x00\x00", 8), 20008},
      {"4", std::string("\x00\x5D\x00\x00\x00\x00\x00\x00", 8), 20015},
      {"4", std::string("\x00\x63\x00\x00\x00\x00\x00\x00", 8), 20012},
      {"5", "", 20004},  // the server closes during the negotiation
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.level + " -> " + std::to_string(tc.code));
    ScriptedServer srv([&](int fd, int) {
      if (tc.level == "5") {
        yux::test::ReadExactly(fd, 3);
        yux::test::WriteAll(fd, std::string("\x05\x00", 2));
        yux::test::ReadExactly(fd, 4 + 1 + 9 + 2);
      } else {
        yux::test::ReadExactly(fd, 9);
      }
      yux::test::WriteAll(fd, tc.reply);
    });
    Client c;
    c.Connect(tc.level, srv.Port(), tc.level == "5" ? "127.0.0.1" : "127.0.0.1", 9);
    ASSERT_TRUE(WaitUntil([&] { return c.closed; }));
    EXPECT_EQ(c.socksError, tc.code);
    EXPECT_EQ(c.connected, tc.code);
    if (tc.reply.empty()) EXPECT_EQ(c.socksMsg, "General Failure");
  }
}

// Level 4 resolves the destination itself: a name that does not resolve
// ends the negotiation with one error, reported once to each event. (A
// label over 63 bytes fails inside the resolver, before any query.)
TEST(Socks, Version4UnresolvableHostReportsOnce) {
  ScriptedServer srv([&](int fd, int) { yux::test::ReadExactly(fd, 1); });
  Client c;
  std::vector<int> socksErrors, connects, closes;
  c.s.OnSocksError = [&](TCustomWSocket*, int e, const std::string&) { socksErrors.push_back(e); };
  c.s.OnSessionConnected = [&](TCustomWSocket*, WORD e) { connects.push_back(e); };
  c.s.OnSessionClosed = [&](TCustomWSocket*, WORD e) { closes.push_back(e); };
  c.Connect("4", srv.Port(), std::string(64, 'a') + ".invalid", 80);
  ASSERT_TRUE(WaitUntil([&] { return !closes.empty(); }));
  yux::platform::ProcessMessagesFor(50);
  EXPECT_EQ(socksErrors, std::vector<int>{20017});
  EXPECT_EQ(connects, std::vector<int>{20017});
  EXPECT_EQ(closes, std::vector<int>{20017});
  EXPECT_EQ(c.s.State(), wsClosed);
}

TEST(Socks, OverlongFieldsAreRefusedNotCut) {
  Client c;
  bool sentAnything = false;
  ScriptedServer srv([&](int fd, int) { sentAnything = !yux::test::ReadExactly(fd, 1).empty(); });
  c.s.SetSocksLevel("5");
  c.s.SetSocksServer("127.0.0.1");
  c.s.SetSocksPort(std::to_string(srv.Port()));
  c.s.SetAddr(std::string(256, 'h'));
  c.s.SetPort("80");
  EXPECT_THROW(c.s.Connect(), ESocketException);
  EXPECT_EQ(c.s.State(), wsClosed);
  c.s.SetAddr("host");
  c.s.SocksAuthentication = socksAuthenticateUsercode;
  c.s.SocksUsercode = "u";
  c.s.SocksPassword = std::string(300, 'p');
  EXPECT_THROW(c.s.Connect(), ESocketException);
  // Level 4 sends user code and host name zero-terminated.
  c.s.SocksAuthentication = socksNoAuthentication;
  c.s.SetSocksLevel("4A");
  c.s.SetSocksServer("127.0.0.1");
  c.s.SetSocksPort(std::to_string(srv.Port()));
  c.s.SocksUsercode = std::string("u\0v", 3);
  EXPECT_THROW(c.s.Connect(), ESocketException);
  yux::platform::ProcessMessagesFor(50);
  EXPECT_EQ(srv.Connections(), 0);
  EXPECT_FALSE(sentAnything);
}

TEST(Socks, SettingsRules) {
  TWSocket s;
  EXPECT_THROW(s.SetSocksLevel("6"), ESocketException);
  s.SetSocksLevel("4a");
  EXPECT_EQ(s.SocksLevel(), "4A");
  s.SetHttpTunnelServer("127.0.0.1");
  try {
    s.SetSocksServer("127.0.0.1");
    ADD_FAILURE();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Can't use Socks when HTTP proxy is used as well");
  }
  EXPECT_EQ(s.SocksServer(), "");
  TWSocket t;
  t.SetSocksServer("127.0.0.1");
  t.SetAddr("127.0.0.1");
  t.SetPort("0");
  try {
    t.Listen();
    ADD_FAILURE();
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Listening is not supported thru socks server");
  }
}

}  // namespace
