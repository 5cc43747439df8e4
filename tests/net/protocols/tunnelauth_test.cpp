// The HTTP tunnel with the real Digest and NTLM answers: a TWSocket goes
// through a scripted proxy on 127.0.0.1 that checks the Proxy-Authorization
// values on its own (Digest recomputed from the RFC 2617 formulas, NTLM by
// our acceptor holding the password) and echoes once it lets the tunnel up.
#include "net/protocols/tunnelauth.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/protocols/digest.h"
#include "net/protocols/mimeutils.h"
#include "net/protocols/ntlm.h"
#include "net/protocols/ntlmauthsession.h"
#include "net/socket/codepage.h"
#include "net/socket/wsocket.h"
#include "platform/messages.h"
#include "tests/support/testsupport.h"

namespace {

// ---- A scripted proxy ---------------------------------------------------

// One accepted connection, read and written blocking with a 5 s limit.
class ProxyConn {
 public:
  ProxyConn(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}

  // A request's headers up to and including the empty line; empty when the
  // client closed or said nothing in time.
  std::string ReadRequest() {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out.find("\r\n\r\n") == std::string::npos) {
      if (!WaitReadable(end)) return {};
      char c;
      if (::recv(fd_, &c, 1, 0) != 1) return {};
      out += c;
    }
    return out;
  }
  void Send(const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
      ssize_t k = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (k <= 0) return;
      off += size_t(k);
    }
  }
  // Sends back what arrives until the client closes.
  void EchoUntilClosed() {
    for (;;) {
      if (!WaitReadable(std::chrono::steady_clock::now() + std::chrono::seconds(5))) return;
      char buf[4096];
      ssize_t k = ::recv(fd_, buf, sizeof buf, 0);
      if (k <= 0) return;
      Send(std::string(buf, size_t(k)));
    }
  }

 private:
  bool WaitReadable(std::chrono::steady_clock::time_point end) {
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }
  int fd_;
  const std::atomic<bool>& stop_;
};

// Accepts on a free loopback port and gives each connection, one after the
// other, to the script on its own thread.
class LoopbackProxy {
 public:
  using Script = std::function<void(ProxyConn& conn, int index)>;
  explicit LoopbackProxy(Script script) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listenFd_, 8);
    socklen_t l = sizeof a;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &l);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ProxyConn conn(fd, stop_);
        script_(conn, count_++);
        ::close(fd);
      }
    });
  }
  ~LoopbackProxy() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
  }
  int Port() const { return port_; }
  int Connections() const { return count_; }

 private:
  Script script_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  std::thread thread_;
};

// The value of a header of the request, and whether it is there.
bool HeaderValue(const std::string& request, const std::string& name, std::string& value) {
  const std::string key = "\r\n" + name + ": ";
  const size_t p = request.find(key);
  if (p == std::string::npos) return false;
  const size_t b = p + key.size();
  value = request.substr(b, request.find("\r\n", b) - b);
  return true;
}

const char k200[] = "HTTP/1.1 200 Connection established\r\n\r\n";

std::string Reply407(const std::string& authenticate) {
  return "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: " + authenticate +
         "\r\nContent-Length: 0\r\n\r\n";
}

}  // namespace

using namespace yux::net;

namespace {

// ---- The client ---------------------------------------------------------

bool WaitUntil(const std::function<bool()>& pred, unsigned ms = 5000) {
  return yux::platform::WaitPumping(pred, ms, 2);
}

// A tunnelling socket and what its events reported.
struct Client {
  TWSocket s;
  int connected = -1;
  int tunnelError = 0;
  std::string got;

  Client() {
    s.OnSessionConnected = [this](TCustomWSocket*, WORD e) { connected = e; };
    s.OnHttpTunnelError = [this](TCustomWSocket*, WORD e, THttpTunnelServerAuthTypes,
                                 const std::string&) { tunnelError = e; };
    s.OnDataAvailable = [this](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
  }
  void Open(int proxyPort, THttpTunnelAuthType type, const std::string& user,
            const std::string& password) {
    s.SetHttpTunnelServer("127.0.0.1");
    s.SetHttpTunnelPort(std::to_string(proxyPort));
    s.SetHttpTunnelAuthType(type);
    s.SetHttpTunnelUsercode(user);
    s.SetHttpTunnelPassword(password);
    Reconnect();
  }
  void Reconnect() {
    connected = -1;
    got.clear();
    s.SetAddr("far.example");
    s.SetPort("443");
    s.Connect();
  }
  // Waits for the tunnel's outcome; with a tunnel up, sends a line through
  // it and expects the echo.
  int Outcome() {
    if (!WaitUntil([&] { return connected != -1; })) return -1;
    if (connected == 0) {
      s.SendString("through the tunnel");
      EXPECT_TRUE(WaitUntil([&] { return got == "through the tunnel"; })) << got;
    } else {
      EXPECT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    }
    return connected;
  }
};

class TunnelAuth : public ::testing::Test {
 protected:
  void SetUp() override { RegisterHttpTunnelAuthenticators(); }
  void TearDown() override { SetHttpTunnelAuthenticatorFactory(nullptr); }
};

// ---- Digest -------------------------------------------------------------

// The fields of a Digest value: name=token or name="quoted", comma-separated.
std::map<std::string, std::string> DigestFields(const std::string& v) {
  std::map<std::string, std::string> out;
  size_t p = 0;
  while (p < v.size()) {
    while (p < v.size() && (v[p] == ' ' || v[p] == ',')) ++p;
    const size_t eq = v.find('=', p);
    if (eq == std::string::npos) break;
    const std::string name = v.substr(p, eq - p);
    p = eq + 1;
    std::string value;
    if (p < v.size() && v[p] == '"') {
      const size_t close = v.find('"', p + 1);
      value = v.substr(p + 1, close - p - 1);
      p = close == std::string::npos ? v.size() : close + 1;
    } else {
      const size_t comma = v.find(',', p);
      value = v.substr(p, comma - p);
      p = comma == std::string::npos ? v.size() : comma;
    }
    out[name] = value;
  }
  return out;
}

std::string HexBytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// What the proxy knows of the account and the challenge it issued.
struct DigestAccount {
  std::string user, password, realm, nonce, opaque;
  std::string algorithm;  // the one the answer must use: "" (MD5) or "MD5-sess"
  std::string qop;        // the one the answer must use: "" or "auth"
};

// Empty when `value` (after "Digest ") is the right answer to a CONNECT
// with nonce count `nc`, else what is wrong with it.  Recomputed here from
// the RFC 2617 formulas over plain MD5.
std::string CheckDigest(const std::string& value, const DigestAccount& a, int nc) {
  auto f = DigestFields(value);
  auto field = [&](const char* name) { return f.count(name) ? f[name] : std::string("<none>"); };
  if (field("username") != a.user) return "username " + field("username");
  if (field("realm") != a.realm) return "realm " + field("realm");
  if (field("nonce") != a.nonce) return "nonce " + field("nonce");
  if (field("uri") != "/") return "uri " + field("uri");
  if (!a.opaque.empty() && field("opaque") != a.opaque) return "opaque " + field("opaque");
  if (a.algorithm.empty() ? f.count("algorithm") != 0 : field("algorithm") != a.algorithm)
    return "algorithm " + field("algorithm");
  std::string ha1 = DigestMD5Hex(a.user + ":" + a.realm + ":" + a.password);
  const std::string cnonce = field("cnonce");
  if (a.algorithm == "MD5-sess") ha1 = DigestMD5Hex(HexBytes(ha1) + ":" + a.nonce + ":" + cnonce);
  const std::string ha2 = DigestMD5Hex("CONNECT:/");
  std::string expected;
  if (a.qop.empty()) {
    if (f.count("qop") || f.count("nc") || f.count("cnonce")) return "qop fields without a qop";
    expected = DigestMD5Hex(ha1 + ":" + a.nonce + ":" + ha2);
  } else {
    char ncHex[9];
    std::snprintf(ncHex, sizeof ncHex, "%08x", unsigned(nc));
    if (field("qop") != a.qop) return "qop " + field("qop");
    if (field("nc") != ncHex) return "nc " + field("nc");
    if (cnonce.empty() || cnonce == "<none>") return "no cnonce";
    expected = DigestMD5Hex(ha1 + ":" + a.nonce + ":" + ncHex + ":" + cnonce + ":" + a.qop + ":" +
                            ha2);
  }
  if (field("response") != expected) return "response mismatch";
  return {};
}

// What the Digest proxy saw on one connection.
struct DigestVerdict {
  bool firstHadCredentials = false;
  std::string problem = "no answer";
};

TEST_F(TunnelAuth, DigestAnswersAreAcceptedOnlyWithTheRightPassword) {
  struct Case {
    const char* name;
    std::string challenge;
    DigestAccount account;
  };
  const Case cases[] = {
      {"MD5 with qop auth and an opaque",
       "realm=\"proxy@yux.test\", qop=\"auth\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
       "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
       {"Mufasa", "Circle Of Life", "proxy@yux.test", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
        "5ccc069c403ebaf9f0171e9517f40e41", "", "auth"}},
      {"MD5-sess, qop list preferring auth",
       "realm=\"sess\", nonce=\"MTIzNDU2Nzg5MGFiY2RlZg==\", qop=\"auth-int,auth\", "
       "algorithm=MD5-sess",
       {"bob", "s3cr\xC3\xA9t", "sess", "MTIzNDU2Nzg5MGFiY2RlZg==", "", "MD5-sess", "auth"}},
      {"no qop (RFC 2069 form)", "realm=\"legacy\", nonce=\"0123456789abcdef\"",
       {"carol", "pw", "legacy", "0123456789abcdef", "", "", ""}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::mutex lock;
    std::vector<DigestVerdict> verdicts;
    LoopbackProxy proxy([&](ProxyConn& conn, int) {
      DigestVerdict v;
      std::string value;
      v.firstHadCredentials = HeaderValue(conn.ReadRequest(), "Proxy-Authorization", value);
      conn.Send(Reply407("Digest " + tc.challenge));
      const std::string second = conn.ReadRequest();
      if (!HeaderValue(second, "Proxy-Authorization", value))
        v.problem = "no Proxy-Authorization";
      else if (value.compare(0, 7, "Digest ") != 0)
        v.problem = "not Digest: " + value;
      else
        v.problem = CheckDigest(value.substr(7), tc.account, 1);
      {
        std::lock_guard<std::mutex> g(lock);
        verdicts.push_back(v);
      }
      if (v.problem.empty()) {
        conn.Send(k200);
        conn.EchoUntilClosed();
      } else {
        conn.Send(Reply407("Digest " + tc.challenge));
        conn.ReadRequest();  // until the client gives up
      }
    });

    {
      Client right;
      right.Open(proxy.Port(), htatDetect, tc.account.user, tc.account.password);
      EXPECT_EQ(right.Outcome(), 0);
      right.s.Close();
    }
    {
      Client wrong;
      wrong.Open(proxy.Port(), htatDigest, tc.account.user, tc.account.password + "x");
      EXPECT_EQ(wrong.Outcome(), 21407);
      EXPECT_EQ(wrong.tunnelError, 21407);
    }
    ASSERT_TRUE(WaitUntil([&] {
      std::lock_guard<std::mutex> g(lock);
      return verdicts.size() == 2;
    }));
    std::lock_guard<std::mutex> g(lock);
    EXPECT_FALSE(verdicts[0].firstHadCredentials);
    EXPECT_EQ(verdicts[0].problem, "");
    EXPECT_EQ(verdicts[1].problem, "response mismatch");
  }
}

TEST_F(TunnelAuth, DigestIsSentAtOnceOnTheNextTunnelWithTheNextNonceCount) {
  const DigestAccount account{"dig", "est", "r", "bm9uY2UtMQ==", "", "", "auth"};
  std::mutex lock;
  std::vector<std::string> problems;
  LoopbackProxy proxy([&](ProxyConn& conn, int index) {
    std::string request = conn.ReadRequest();
    std::string value;
    if (index == 0) {
      conn.Send(Reply407("Digest realm=\"r\", nonce=\"bm9uY2UtMQ==\", qop=\"auth\""));
      request = conn.ReadRequest();
    }
    std::string problem = "no Proxy-Authorization";
    if (HeaderValue(request, "Proxy-Authorization", value) && value.compare(0, 7, "Digest ") == 0)
      problem = CheckDigest(value.substr(7), account, index + 1);
    {
      std::lock_guard<std::mutex> g(lock);
      problems.push_back(problem);
    }
    conn.Send(problem.empty() ? std::string(k200) : Reply407("Basic realm=\"r\""));
    conn.EchoUntilClosed();
  });
  Client c;
  c.Open(proxy.Port(), htatDetect, account.user, account.password);
  ASSERT_EQ(c.Outcome(), 0);
  c.s.Close();
  c.Reconnect();
  EXPECT_EQ(c.Outcome(), 0);
  c.s.Close();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(lock);
    return problems.size() == 2;
  }));
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(problems[0], "");
  EXPECT_EQ(problems[1], "");  // same nonce, nc 2, without a new challenge
  EXPECT_EQ(proxy.Connections(), 2);
}

TEST(TunnelAuthenticatorDigest, NonceCountRestartsOnlyWithANewNonce) {
  TunnelAuthenticator a;
  auto nc = [&] { return DigestFields(a.DigestAuthorization("u", "p", "CONNECT", "/"))["nc"]; };
  ASSERT_TRUE(a.DigestParseChallenge("realm=\"r\", nonce=\"first\", qop=\"auth\""));
  EXPECT_EQ(nc(), "00000001");
  EXPECT_EQ(nc(), "00000002");
  // The same nonce again (a refused answer's new challenge): counting goes on.
  ASSERT_TRUE(a.DigestParseChallenge("realm=\"r\", nonce=\"first\", qop=\"auth\""));
  EXPECT_EQ(nc(), "00000003");
  ASSERT_TRUE(a.DigestParseChallenge("realm=\"r\", nonce=\"second\", qop=\"auth\", stale=true"));
  EXPECT_EQ(nc(), "00000001");
}

TEST(TunnelAuthenticatorDigest, ChallengesItCannotAnswer) {
  const char* const challenges[] = {
      "realm=\"r\", nonce=\"n\", qop=\"auth-int\"",         // only integrity protection
      "realm=\"r\", nonce=\"n\", algorithm=SHA-256",        // an algorithm we lack
      "nonce=\"abcdefghijklmnop\", qop=\"auth\"",           // no realm
  };
  for (const char* c : challenges) {
    TunnelAuthenticator a;
    EXPECT_FALSE(a.DigestParseChallenge(c)) << c;
  }
  TunnelAuthenticator a;
  EXPECT_TRUE(a.DigestParseChallenge("realm=\"r\", nonce=\"n\", algorithm=MD5"));
}

// ---- NTLM ---------------------------------------------------------------

std::uint16_t U16(const std::string& s, size_t at) {
  return std::uint16_t(std::uint8_t(s[at]) | std::uint8_t(s[at + 1]) << 8);
}

// What the NTLM proxy saw.
struct NtlmVerdict {
  int negotiateDomainLength = -1, negotiateWorkstationLength = -1;
  std::string challengeDomain;  // the NetBIOS domain our acceptor announced
  int ntResponseLength = 0;
  bool accepted = false;
  std::string user, domain;
};

TEST_F(TunnelAuth, NtlmTwoStepIsVerifiedByTheAcceptor) {
  const std::string password = "Sesam \xC3\xB6" "ffne dich";
  struct Case {
    const char* name;
    THttpTunnelAuthType type;
    std::string userCode;
    bool rightPassword;
    std::string user;
    const char* domain;  // null: the domain of the challenge
    int outcome;
  };
  const Case cases[] = {
      {"user alone takes the challenge's domain", htatNtlm, "alice", true, "alice", nullptr, 0},
      {"domain and user", htatNtlm, "CORP\\alice", true, "alice", "CORP", 0},
      {"user@domain keeps the domain empty, detected", htatDetect, "alice@corp.example", true,
       "alice@corp.example", "", 0},
      {"wrong password", htatNtlm, "alice", false, "alice", nullptr, 21407},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::mutex lock;
    NtlmVerdict verdict;
    bool done = false;
    LoopbackProxy proxy([&](ProxyConn& conn, int) {
      TNtlmAuthSession session;
      session.OnAuthGetPassword = [&](TNtlmAuthSession&, std::string& pw) { pw = password; };
      NtlmVerdict v;
      for (;;) {
        const std::string request = conn.ReadRequest();
        if (request.empty()) break;
        std::string value;
        if (!HeaderValue(request, "Proxy-Authorization", value) ||
            value.compare(0, 5, "NTLM ") != 0) {
          conn.Send(Reply407("NTLM"));
          continue;
        }
        const std::string msg = DecodeBase64String(value.substr(5));
        if (msg.size() >= 32 && msg[8] == 1) {
          v.negotiateDomainLength = U16(msg, 16);
          v.negotiateWorkstationLength = U16(msg, 24);
          session.ProcessMessage(value.substr(5));
          const TNTLM_Msg2_Info info = NtlmParseChallenge(session.NtlmMessage());
          v.challengeDomain = NetUnicodeToAnsi(info.DomainName, CP_ACP);
          conn.Send(Reply407("NTLM " + session.NtlmMessage()));
          continue;
        }
        if (msg.size() >= 64) v.ntResponseLength = U16(msg, 20);
        v.accepted = session.ProcessMessage(value.substr(5));
        v.user = session.User();
        v.domain = session.Domain();
        if (v.accepted) {
          conn.Send(k200);
          break;
        }
        conn.Send(Reply407("NTLM"));
      }
      {
        std::lock_guard<std::mutex> g(lock);
        verdict = v;
        done = true;
      }
      if (v.accepted) conn.EchoUntilClosed();
    });

    Client c;
    c.Open(proxy.Port(), tc.type, tc.userCode, tc.rightPassword ? password : "Sesam");
    EXPECT_EQ(c.Outcome(), tc.outcome);
    c.s.Close();
    ASSERT_TRUE(WaitUntil([&] {
      std::lock_guard<std::mutex> g(lock);
      return done;
    }));
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(verdict.accepted, tc.rightPassword);
    EXPECT_EQ(verdict.negotiateDomainLength, 0);
    EXPECT_EQ(verdict.negotiateWorkstationLength, 0);
    EXPECT_EQ(verdict.user, tc.user);
    ASSERT_FALSE(verdict.challengeDomain.empty());
    EXPECT_EQ(verdict.domain, tc.domain ? std::string(tc.domain) : verdict.challengeDomain);
    EXPECT_GT(verdict.ntResponseLength, 24);  // an NTLMv2 response, not the DES one
  }
}

}  // namespace
