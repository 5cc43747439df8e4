// CONNECT through HTTP proxies: tinyproxy with Basic authentication, and a
// scripted proxy for the Digest and NTLM exchanges and the failure cases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/socket/neterrors.h"
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

// Stands in for the protocol library's Digest and NTLM computations.
class FakeAuthenticator : public IHttpTunnelAuthenticator {
 public:
  bool DigestParseChallenge(const std::string& v) override {
    nonce_ = v.find("nonce=") != std::string::npos;
    return nonce_;
  }
  std::string DigestAuthorization(const std::string& user, const std::string& password,
                                  const std::string& method, const std::string& uri) override {
    return "username=\"" + user + "\", uri=\"" + uri + "\", response=\"" + method + ":" +
           password + "\", nc=" + std::to_string(++nc_);
  }
  std::string NtlmNegotiate() override { return "NEGOTIATE"; }
  std::string NtlmAuthenticate(const std::string& challenge, const std::string& user,
                               const std::string& password, const std::string&) override {
    return "AUTH(" + challenge + "," + user + "," + password + ")";
  }

 private:
  bool nonce_ = false;
  int nc_ = 0;
};

class HttpTunnel : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHttpTunnelAuthenticatorFactory([] { return std::make_unique<FakeAuthenticator>(); });
    s.OnSessionConnected = [this](TCustomWSocket*, WORD e) { connected = e; };
    s.OnHttpTunnelError = [this](TCustomWSocket*, WORD e, THttpTunnelServerAuthTypes o,
                                 const std::string& r) {
      tunnelError = e;
      offered = o;
      reply = r;
    };
    s.OnDataAvailable = [this](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
    s.OnSessionClosed = [this](TCustomWSocket*, WORD) { ++closes; };
  }
  void TearDown() override { SetHttpTunnelAuthenticatorFactory(nullptr); }
  void Connect(int proxyPort, const std::string& host = "far.example", int port = 443) {
    s.SetHttpTunnelServer("127.0.0.1");
    s.SetHttpTunnelPort(std::to_string(proxyPort));
    s.SetAddr(host);
    s.SetPort(std::to_string(port));
    s.Connect();
  }
  bool Done() { return connected != -1; }

  TWSocket s;
  int connected = -1;
  int tunnelError = 0;
  unsigned offered = 0;
  std::string reply;
  std::string got;
  int closes = 0;
};

const std::string k407Basic =
    "HTTP/1.1 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: Basic realm=\"test\"\r\n"
    "Content-Length: 11\r\n\r\nNot allowed";

TEST_F(HttpTunnel, BasicThroughTinyproxyToAnEcho) {
  YUX_REQUIRE_PROGRAM("tinyproxy");
  YUX_REQUIRE_PROGRAM("socat");
  yux::test::TempDir conf;
  PeerProcess echo, proxy;
  int echoPort = 0, proxyPort = 0;
  ASSERT_TRUE(yux::test::StartSocatEcho(echo, echoPort));
  ASSERT_TRUE(yux::test::StartTinyproxy(proxy, proxyPort, conf, "bob", "pw", echoPort));
  for (THttpTunnelAuthType type : {htatBasic, htatDetect}) {
    SCOPED_TRACE(int(type));
    connected = -1;
    got.clear();
    s.SetHttpTunnelAuthType(type);
    s.SetHttpTunnelUsercode("bob");
    s.SetHttpTunnelPassword("pw");
    Connect(proxyPort, "127.0.0.1", echoPort);
    ASSERT_TRUE(WaitUntil([&] { return Done(); }));
    ASSERT_EQ(connected, 0) << reply;
    s.SendString("tunnelled");
    ASSERT_TRUE(WaitUntil([&] { return got == "tunnelled"; }));
    s.Close();
  }
  // A wrong password ends in an error.
  connected = -1;
  s.SetHttpTunnelAuthType(htatBasic);
  s.SetHttpTunnelPassword("bad");
  Connect(proxyPort, "127.0.0.1", echoPort);
  ASSERT_TRUE(WaitUntil([&] { return Done() && s.State() == wsClosed; }));
  // tinyproxy answers refused credentials with 401.
  EXPECT_TRUE(connected == 21401 || connected == 21407) << connected;
}

TEST_F(HttpTunnel, RequestCarriesHostAndDataBehindThe200IsDelivered) {
  std::string request;
  ScriptedServer proxy([&](int fd, int) {
    request = yux::test::ReadHeaders(fd);
    yux::test::WriteAll(fd, "HTTP/1.1 200 Connection established\r\n\r\nwelcome");
    yux::test::ReadExactly(fd, 1);
  });
  Connect(proxy.Port());
  ASSERT_TRUE(WaitUntil([&] { return Done() && got == "welcome"; }));
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(request,
            "CONNECT far.example:443 HTTP/1.1\r\nHost: far.example:443\r\n"
            "Proxy-Connection: Keep-Alive\r\n\r\n");
}

// A handler that raises in OnSessionConnected must not strand what the
// server sent right behind its 200.
TEST_F(HttpTunnel, DataBehindThe200SurvivesAnExceptionInTheConnectHandler) {
  ScriptedServer proxy([&](int fd, int) {
    yux::test::ReadHeaders(fd);
    yux::test::WriteAll(fd, "HTTP/1.1 200 Connection established\r\n\r\nwelcome");
    yux::test::ReadExactly(fd, 1);
  });
  s.OnSessionConnected = [this](TCustomWSocket*, WORD e) {
    connected = e;
    throw std::runtime_error("handler failed");
  };
  Connect(proxy.Port());
  ASSERT_TRUE(WaitUntil([&] { return Done() && got == "welcome"; })) << got;
  EXPECT_EQ(connected, 0);
}

TEST_F(HttpTunnel, WithoutUserCodeA407IsAnError) {
  std::string request;
  ScriptedServer proxy([&](int fd, int) {
    request = yux::test::ReadHeaders(fd);
    yux::test::WriteAll(fd, k407Basic);
    yux::test::ReadExactly(fd, 1);
  });
  Connect(proxy.Port());
  ASSERT_TRUE(WaitUntil([&] { return Done() && s.State() == wsClosed; }));
  EXPECT_EQ(connected, 21407);
  EXPECT_EQ(tunnelError, 21407);
  EXPECT_EQ(offered, htsatBasic);
  EXPECT_EQ(request.find("Proxy-Authorization"), std::string::npos);
  EXPECT_EQ(SocketErrorText(21407), "HTTP Proxy - Proxy Authentication Required");
}

TEST_F(HttpTunnel, DetectSendsBasicOnTheSameConnectionWhenThe407KeepsIt) {
  std::vector<std::string> requests;
  ScriptedServer proxy([&](int fd, int) {
    requests.push_back(yux::test::ReadHeaders(fd));
    yux::test::WriteAll(fd, k407Basic);
    requests.push_back(yux::test::ReadHeaders(fd));
    yux::test::WriteAll(fd, "HTTP/1.1 200 OK\r\n\r\n");
    yux::test::ReadExactly(fd, 1);
  });
  s.SetHttpTunnelUsercode("user");
  s.SetHttpTunnelPassword("pass");
  Connect(proxy.Port());
  ASSERT_TRUE(WaitUntil([&] { return Done(); }));
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(proxy.Connections(), 1);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"), std::string::npos);
}

TEST_F(HttpTunnel, DigestAfterAProxyThatClosesReconnectsSilently) {
  std::vector<std::string> requests;
  ScriptedServer proxy([&](int fd, int index) {
    requests.push_back(yux::test::ReadHeaders(fd));
    if (index == 0) {
      yux::test::WriteAll(fd,
                          "HTTP/1.1 407 Proxy Authentication Required\r\n"
                          "Proxy-Authenticate: Digest realm=\"r\", nonce=\"abc\", qop=\"auth\"\r\n"
                          "Proxy-Connection: close\r\nContent-Length: 0\r\n\r\n");
      return;  // closes
    }
    yux::test::WriteAll(fd, "HTTP/1.1 200 OK\r\n\r\n");
    yux::test::ReadExactly(fd, 1);
  });
  s.SetHttpTunnelAuthType(htatDigest);
  s.SetHttpTunnelUsercode("dig");
  s.SetHttpTunnelPassword("est");
  Connect(proxy.Port());
  ASSERT_TRUE(WaitUntil([&] { return Done(); }));
  EXPECT_EQ(connected, 0) << reply;
  EXPECT_EQ(proxy.Connections(), 2);
  EXPECT_EQ(closes, 0);  // the first connection's end is not reported
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("Proxy-Authorization: Digest username=\"dig\", uri=\"/\", "
                             "response=\"CONNECT:est\", nc=1\r\n"),
            std::string::npos);
}

TEST_F(HttpTunnel, WrongPasswordAgainstAClosingProxyEndsWithAnError) {
  ScriptedServer proxy([&](int fd, int) {
    yux::test::ReadHeaders(fd);
    yux::test::WriteAll(fd,
                        "HTTP/1.1 407 Proxy Authentication Required\r\n"
                        "Proxy-Authenticate: Basic realm=\"r\"\r\n"
                        "Proxy-Authenticate: Digest realm=\"r\", nonce=\"abc\"\r\n"
                        "Connection: close\r\nProxy-Connection: close\r\n\r\n");
  });
  for (THttpTunnelAuthType type : {htatDetect, htatDigest}) {
    SCOPED_TRACE(int(type));
    connected = -1;
    int before = proxy.Connections();
    s.SetHttpTunnelAuthType(type);
    s.SetHttpTunnelUsercode("user");
    s.SetHttpTunnelPassword("wrong");
    Connect(proxy.Port());
    ASSERT_TRUE(WaitUntil([&] { return Done() && s.State() == wsClosed; }));
    EXPECT_EQ(connected, 21407);
    yux::platform::ProcessMessagesFor(100);
    EXPECT_EQ(proxy.Connections() - before, 2);  // the challenge, then one try
  }
}

TEST_F(HttpTunnel, NtlmNegotiateThenAuthenticateOnOneConnection) {
  std::vector<std::string> requests;
  const std::string challenge(90, 'C');
  ScriptedServer proxy([&](int fd, int) {
    requests.push_back(yux::test::ReadHeaders(fd));
    yux::test::WriteAll(fd, "HTTP/1.1 407 Proxy Authentication Required\r\n"
                            "Proxy-Authenticate: NTLM " + challenge +
                                "\r\nContent-Length: 0\r\n\r\n");
    requests.push_back(yux::test::ReadHeaders(fd));
    yux::test::WriteAll(fd, "HTTP/1.1 200 OK\r\n\r\n");
    yux::test::ReadExactly(fd, 1);
  });
  s.SetHttpTunnelAuthType(htatNtlm);
  s.SetHttpTunnelUsercode("DOM\\user");
  s.SetHttpTunnelPassword("pw");
  Connect(proxy.Port());
  ASSERT_TRUE(WaitUntil([&] { return Done(); }));
  EXPECT_EQ(connected, 0) << reply;
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].find("Proxy-Authorization: NTLM NEGOTIATE\r\n"), std::string::npos);
  EXPECT_NE(requests[1].find("Proxy-Authorization: NTLM AUTH(" + challenge + ",DOM\\user,pw)"),
            std::string::npos);
}

TEST_F(HttpTunnel, ReplyFailures) {
  struct Case {
    const char* name;
    std::string reply;
    bool noHttp10;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {"HTTP/1.0 proxy refused", "HTTP/1.0 200 OK\r\n\r\n", true, 21002,
       "Proxy server must support HTTP/1.1"},
      {"header line too long", "HTTP/1.1 200 OK\r\nX-Long: " + std::string(1100, 'x') + "\r\n\r\n",
       false, 21000, "Received header line too long. Increase HttpTunnelBufferSize."},
      {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, 21000, "SSH-2.0-OpenSSH"},
      {"forbidden with a chunked body",
       "HTTP/1.1 403 Forbidden\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nnope!\r\n0\r\n\r\n", false,
       21403, "HTTP/1.1 403 Forbidden"},
      {"status past three digits", "HTTP/1.1 20000000000000000000 OK\r\n\r\n", false, 21000,
       "HTTP/1.1 20000000000000000000 OK"},
      // A chunk size no count can hold: the body cannot be skipped, the
      // reply stands as it is.
      {"chunk size past any length",
       "HTTP/1.1 403 Forbidden\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(40, 'f') +
           "\r\nnope!\r\n0\r\n\r\n",
       false, 21403, "HTTP/1.1 403 Forbidden"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptedServer proxy([&](int fd, int) {
      yux::test::ReadHeaders(fd);
      yux::test::WriteAll(fd, tc.reply);
      yux::test::ReadExactly(fd, 1);
    });
    connected = -1;
    reply.clear();
    if (tc.noHttp10)
      s.ComponentOptions.Include(wsoNoHttp10Tunnel);
    else
      s.ComponentOptions.Exclude(wsoNoHttp10Tunnel);
    Connect(proxy.Port());
    ASSERT_TRUE(WaitUntil([&] { return Done() && s.State() == wsClosed; }));
    EXPECT_EQ(connected, tc.code);
    EXPECT_EQ(tunnelError, tc.code);
    EXPECT_EQ(reply, tc.text);
  }
}

}  // namespace
