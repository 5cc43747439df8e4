// The TLS socket layer against real TLS peers on 127.0.0.1: openssl
// s_server and s_client, and a Python server for the shutdown that hands
// the connection back to plain text.
#include "net/socket/ssllayer.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket/winsock.h"
#include "platform/messages.h"
#include "tests/peers/peers.h"
#include "tests/peers/sslfixture.h"

using namespace yux::net;
using yux::test::PipedPeer;
using yux::test::TestPki;

namespace {

bool WaitUntil(const std::function<bool()>& pred, unsigned ms = 20000) {
  return yux::platform::WaitPumping(pred, ms, 2);
}

class TTestSslSocket : public TCustomSslWSocket {
 public:
  TTestSslSocket() { AllocateSocketWindow(); }
};

#define REQUIRE_PKI()             \
  YUX_REQUIRE_PROGRAM("openssl"); \
  ASSERT_TRUE(TestPki::Get().Ok()) << TestPki::Get().Error()

// A client socket that records what happens to it.
struct Client {
  TTestSslSocket s;
  std::string got;
  std::vector<int> handshakes;  // error codes of OnSslHandshakeDone
  std::vector<std::string> verifyErrors;
  int closedError = -1;
  int dataSent = 0;
  bool shutdownDone = false;
  bool shutdownBidirectional = false;
  int shutdownError = -1;

  explicit Client(TSslContext* ctx) {
    s.SetSslContext(ctx);
    s.SslEnable = true;
    s.OnDataAvailable = [this](TCustomWSocket* w, WORD) {
      char buf[65536];
      int n = w->Receive(buf, sizeof buf);
      if (n > 0) got.append(buf, size_t(n));
    };
    s.OnSslHandshakeDone = [this](TCustomWSocket*, WORD e, TX509Base*, bool&) {
      handshakes.push_back(e);
    };
    s.OnSslVerifyPeer = [this](TCustomWSocket*, int& ok, TX509Base* cert) {
      if (!ok) verifyErrors.push_back(cert->VerifyResultText());
    };
    s.OnSessionClosed = [this](TCustomWSocket*, WORD e) { closedError = e; };
    s.OnDataSent = [this](TCustomWSocket*, WORD) { ++dataSent; };
    s.OnSslShutDownComplete = [this](TCustomWSocket*, bool bidi, int e) {
      shutdownDone = true;
      shutdownBidirectional = bidi;
      shutdownError = e;
    };
  }
  void Connect(int port, const std::string& host = "127.0.0.1") {
    s.SetAddr(host);
    s.SetPort(std::to_string(port));
    s.Connect();
  }
  bool WaitHandshake() {
    return WaitUntil([&] { return !handshakes.empty() || closedError >= 0; });
  }
};

// ---------------------------------------------------------------------------

struct VersionCase {
  const char* flag;
  const char* version;
};

TEST(SslLayer, ClientExchangesDataWithSServer) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  for (VersionCase vc : {VersionCase{"-tls1_2", "TLSv1.2"}, VersionCase{"-tls1_3", "TLSv1.3"}}) {
    SCOPED_TRACE(vc.version);
    PipedPeer server;
    int port = yux::test::StartSServer(server, pki.Cert("server"), pki.Key("server"), {vc.flag});
    ASSERT_NE(port, 0) << server.Output();
    TSslContext ctx;
    Client c(&ctx);
    c.Connect(port);
    ASSERT_TRUE(c.WaitHandshake());
    ASSERT_EQ(c.handshakes, std::vector<int>{0});
    EXPECT_EQ(c.s.SslVersion, vc.version);
    EXPECT_NE(c.s.SslCipher, "Unknown");
    EXPECT_GT(c.s.SslSecretBits, 0);
    EXPECT_EQ(c.s.SslStage(), StageEstablished);

    // Upload: enough to need many records and the BIO pair refilled.
    std::string up;
    for (int i = 0; up.size() < 300000; ++i) up += "line " + std::to_string(i) + "\n";
    c.s.SendString(up);
    ASSERT_TRUE(server.WaitOutput(up.substr(up.size() - 40), 10000));
    EXPECT_NE(server.Output().find(up), std::string::npos);
    ASSERT_TRUE(WaitUntil([&] { return c.dataSent > 0; }));

    // Download: the server's standard input comes to us.
    std::string down;
    for (int i = 0; down.size() < 200000; ++i) down += "back " + std::to_string(i) + "\n";
    server.Write(down);
    ASSERT_TRUE(WaitUntil([&] { return c.got.size() >= down.size(); }, 10000)) << c.got.size();
    EXPECT_EQ(c.got, down);

    c.s.Close();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
    EXPECT_EQ(c.closedError, 0);
    EXPECT_FALSE(c.s.SslEnable);
  }
}

// With verification on the peer's chain, dates and name are checked (the
// name with the library's host-name check); with it off (the default) a
// self-signed or expired server is accepted as before.
TEST(SslLayer, VerificationAcceptsAndRefusesWithItsErrorText) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  struct Case {
    const char* cert;
    bool verify;
    const char* host;
    const char* error;  // nullptr: the handshake succeeds
    bool crl = false;   // revocation list loaded and checked
  } cases[] = {
      {"server", true, "127.0.0.1", nullptr},
      {"server", true, "localhost", nullptr},
      {"expired", false, "127.0.0.1", nullptr},
      {"expired", true, "127.0.0.1", "certificate has expired"},
      {"otherhost", true, "127.0.0.1", "IP address mismatch"},
      {"otherhost", true, "localhost", "hostname mismatch"},
      {"star", true, "localhost", "hostname mismatch"},
      {"rogue", true, "127.0.0.1", "unable to get local issuer certificate"},
      {"server", true, "127.0.0.1", nullptr, true},
      {"revoked", true, "127.0.0.1", "certificate revoked", true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.cert) + " verify=" + std::to_string(k.verify) + " " + k.host +
                 (k.crl ? " crl" : ""));
    PipedPeer server;
    int port = yux::test::StartSServer(server, pki.Cert(k.cert), pki.Key(k.cert), {});
    ASSERT_NE(port, 0) << server.Output();
    TSslContext ctx;
    ctx.SetSslCAFile(pki.Cert("ca"));
    ctx.SetSslVerifyPeer(k.verify);
    if (k.crl) {
      ctx.SetSslCRLFile(pki.File("crl.pem"));
      ctx.SetSslVerifyFlags({sslX509_V_FLAG_CRL_CHECK});
    }
    Client c(&ctx);
    c.Connect(port, k.host);
    ASSERT_TRUE(c.WaitHandshake());
    if (!k.error) {
      ASSERT_EQ(c.handshakes, std::vector<int>{0});
      EXPECT_TRUE(c.verifyErrors.empty());
      if (k.verify) {
        ASSERT_TRUE(c.s.SslPeerCert()->IsCertLoaded());
        EXPECT_EQ(c.s.SslPeerCert()->SubjectCommonNames(), "localhost");
        EXPECT_EQ(c.s.SslPeerCert()->VerifyResult, 0);
      } else {
        // Without verification the peer certificate is not fetched.
        EXPECT_FALSE(c.s.SslPeerCert()->IsCertLoaded());
      }
      continue;
    }
    ASSERT_TRUE(WaitUntil([&] { return c.closedError >= 0; }));
    EXPECT_EQ(std::count(c.handshakes.begin(), c.handshakes.end(), 0), 0);
    ASSERT_EQ(c.handshakes.size(), 1u);
    ASSERT_FALSE(c.verifyErrors.empty());
    EXPECT_EQ(c.verifyErrors.front(), k.error);
    EXPECT_NE(c.s.SslCertChain().LastVerifyResult, 0);
    EXPECT_FALSE(c.s.SslEnable);
  }
}

TEST(SslLayer, ClientCertificateForAServerThatDemandsOne) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  enum Way { FromContextFiles, FromRequestEvent, None };
  for (Way way : {FromContextFiles, FromRequestEvent, None}) {
    SCOPED_TRACE(int(way));
    PipedPeer server;
    int port = yux::test::StartSServer(server, pki.Cert("server"), pki.Key("server"),
                                       {"-tls1_2", "-Verify", "1", "-CAfile", pki.Cert("ca")});
    ASSERT_NE(port, 0) << server.Output();
    TSslContext ctx;
    if (way == FromContextFiles) {
      ctx.SetSslCertFile(pki.Cert("client"));
      ctx.SetSslPrivKeyFile(pki.Key("client"));
    }
    TX509Base mine;
    int requests = 0;
    Client c(&ctx);
    if (way == FromRequestEvent) {
      std::string pem =
          yux::test::ReadFile(pki.Key("client")) + yux::test::ReadFile(pki.Cert("client"));
      BIO* b = BIO_new_mem_buf(pem.data(), int(pem.size()));
      mine.ReadFromBio(b, true, "");
      BIO_free(b);
      c.s.OnSslCliCertRequest = [&](TCustomWSocket*, TX509Base*& cert) {
        ++requests;
        cert = &mine;
      };
    }
    c.Connect(port);
    ASSERT_TRUE(c.WaitHandshake());
    if (way == None) {
      ASSERT_TRUE(WaitUntil([&] { return c.closedError >= 0; }));
      EXPECT_EQ(c.handshakes, std::vector<int>{1});
      continue;
    }
    ASSERT_EQ(c.handshakes, std::vector<int>{0});
    if (way == FromRequestEvent) {
      EXPECT_EQ(requests, 1);
    }
    c.s.SendString("hello from client\n");
    ASSERT_TRUE(server.WaitOutput("hello from client"));
    EXPECT_NE(server.Output().find("yux client"), std::string::npos);
  }
}

// The server asks for a new handshake; later our side asks for one.  The
// data flows on across both.
TEST(SslLayer, RenegotiationFromEitherSide) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  PipedPeer server;
  int port = yux::test::StartSServer(server, pki.Cert("server"), pki.Key("server"),
                                     {"-tls1_2", "-client_renegotiation"});
  ASSERT_NE(port, 0) << server.Output();
  TSslContext ctx;
  Client c(&ctx);
  c.Connect(port);
  ASSERT_TRUE(c.WaitHandshake());
  ASSERT_EQ(c.handshakes, std::vector<int>{0});
  EXPECT_TRUE(c.s.PeerSupportsSecureRenegotiation());
  EXPECT_FALSE(c.s.SslSecureRenegotiationOnly());

  server.Write("r\n");
  ASSERT_TRUE(WaitUntil([&] { return c.handshakes.size() == 2; })) << server.Output();
  EXPECT_EQ(c.s.HandshakeCount(), 2);
  server.Write("after server renegotiation\n");
  ASSERT_TRUE(
      WaitUntil([&] { return c.got.find("after server renegotiation\n") != std::string::npos; }));

  ASSERT_TRUE(c.s.StartSslRenegotiation());
  // Data queued while the new handshake runs waits for it, then goes out.
  c.s.SendString("during our renegotiation\n");
  ASSERT_TRUE(WaitUntil([&] { return c.handshakes.size() == 3; }));
  EXPECT_EQ(c.s.HandshakeCount(), 3);
  ASSERT_TRUE(server.WaitOutput("during our renegotiation"));
  EXPECT_EQ(c.handshakes, (std::vector<int>{0, 0, 0}));
}

// Two sockets of one context, as an FTP data connection reuses the control
// connection's session.  TLS 1.3 brings its tickets after the handshake.
TEST(SslLayer, SessionReuseBetweenTwoSocketsOfOneContext) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  for (const char* flag : {"-tls1_2", "-tls1_3"}) {
    SCOPED_TRACE(flag);
    PipedPeer server;
    int port = yux::test::StartSServer(server, pki.Cert("server"), pki.Key("server"), {flag});
    ASSERT_NE(port, 0) << server.Output();
    TSslContext ctx;
    SSL_SESSION* saved = nullptr;
    bool firstReused = true;
    {
      Client first(&ctx);
      first.s.OnSslCliNewSession = [&](TCustomWSocket*, SSL_SESSION* s, bool reused, bool& inc) {
        firstReused = reused;
        if (!s) return;
        if (saved) SSL_SESSION_free(saved);
        saved = s;
        inc = true;
      };
      first.Connect(port);
      ASSERT_TRUE(first.WaitHandshake());
      ASSERT_EQ(first.handshakes, std::vector<int>{0});
      first.s.SendString("first\n");
      ASSERT_TRUE(WaitUntil([&] { return saved && SSL_SESSION_is_resumable(saved); }));
      EXPECT_FALSE(firstReused);
      first.s.Close();
      ASSERT_TRUE(WaitUntil([&] { return first.s.State() == wsClosed; }));
    }
    Client second(&ctx);
    int asked = 0;
    second.s.OnSslCliGetSession = [&](TCustomWSocket*, SSL_SESSION*& s, bool& freeIt) {
      ++asked;
      s = saved;
      freeIt = false;
    };
    bool reusedSeen = false;
    second.s.OnSslHandshakeDone = [&](TCustomWSocket* w, WORD e, TX509Base*, bool&) {
      second.handshakes.push_back(e);
      reusedSeen = static_cast<TCustomSslWSocket*>(w)->WasSessionReused();
    };
    second.Connect(port);
    ASSERT_TRUE(second.WaitHandshake());
    ASSERT_EQ(second.handshakes, std::vector<int>{0});
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(reusedSeen);
    second.s.SendString("second\n");
    EXPECT_TRUE(server.WaitOutput("second"));
    SSL_SESSION_free(saved);
  }
}

// Our socket as the server: openssl s_client talks to it, saves its
// session and resumes it; its close-notify ends our side with a one-way
// shutdown.
TEST(SslLayer, ServerModeAgainstSClientWithSessionResumption) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  yux::test::TempDir tmp;
  for (const char* flag : {"-tls1_2", "-tls1_3"}) {
    SCOPED_TRACE(flag);
    TSslContext ctx;
    ctx.SetSslCertFile(pki.Cert("server"));
    ctx.SetSslPrivKeyFile(pki.Key("server"));
    ctx.SetSslSessionCacheModes({sslSESS_CACHE_SERVER});
    ctx.SetSslDefaultSessionIDContext("yux test server");
    TTestSslSocket listener;
    std::vector<std::unique_ptr<Client>> conns;
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.OnSessionAvailable = [&](TCustomWSocket*, WORD) {
      auto c = std::make_unique<Client>(&ctx);
      c->s.SslMode = sslModeServer;
      Client* raw = c.get();
      c->s.OnDataAvailable = [raw](TCustomWSocket* w, WORD) {
        char buf[4096];
        int n = w->Receive(buf, sizeof buf);
        if (n <= 0) return;
        raw->got.append(buf, size_t(n));
        if (raw->got.find("ping\n") != std::string::npos && raw->dataSent == 0) {
          raw->dataSent = 1;
          w->SendString("pong\n");
        }
      };
      c->s.Dup(listener.Accept());
      conns.push_back(std::move(c));
    };
    listener.Listen();
    std::string port = listener.BoundPortText();
    std::string sess = (tmp / (std::string("sess") + flag)).string();
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round);
      PipedPeer client;
      std::vector<std::string> argv = {"openssl", "s_client", "-connect", "127.0.0.1:" + port,
                                       flag};
      argv.push_back(round == 0 ? "-sess_out" : "-sess_in");
      argv.push_back(sess);
      ASSERT_TRUE(client.Start(argv));
      client.Write("ping\n");
      ASSERT_TRUE(client.WaitOutput("pong")) << client.Output();
      ASSERT_EQ(conns.size(), size_t(round + 1));
      Client& srv = *conns.back();
      EXPECT_EQ(srv.handshakes, std::vector<int>{0});
      EXPECT_EQ(srv.s.WasSessionReused(), round == 1);
      EXPECT_NE(client.Output().find(round == 0 ? "New, " : "Reused, "), std::string::npos)
          << client.Output();
      client.CloseInput();  // s_client sends its close-notify and goes
      EXPECT_EQ(client.WaitExit(), 0);
      ASSERT_TRUE(WaitUntil([&] { return srv.closedError >= 0; }));
      EXPECT_EQ(srv.closedError, 0);
      EXPECT_TRUE(srv.shutdownDone);
      EXPECT_FALSE(srv.shutdownBidirectional);
      EXPECT_EQ(srv.s.State(), wsClosed);
    }
  }
}

// A server that keeps new sessions in a cache of its own (and tells so with
// AddToInternalCache) holds a reference the library never frees under it;
// one left to the library is freed with its connection.
TEST(SslLayer, ExternallyCachedServerSessionStaysAlive) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  static bool freedMarked = false;
  static int marker = 0;
  static const int index = CRYPTO_get_ex_new_index(
      CRYPTO_EX_INDEX_SSL_SESSION, 0, nullptr, nullptr, nullptr,
      [](void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
        if (ptr == &marker) freedMarked = true;
      });
  for (bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "kept" : "left to the library");
    freedMarked = false;
    SSL_SESSION* kept = nullptr;
    {
      TSslContext ctx;
      ctx.SetSslCertFile(pki.Cert("server"));
      ctx.SetSslPrivKeyFile(pki.Key("server"));
      ctx.SetSslSessionCacheModes({sslSESS_CACHE_SERVER, sslSESS_CACHE_NO_INTERNAL_STORE});
      TTestSslSocket listener;
      std::vector<std::unique_ptr<Client>> conns;
      listener.SetAddr("127.0.0.1");
      listener.SetPort("0");
      listener.OnSessionAvailable = [&](TCustomWSocket*, WORD) {
        auto c = std::make_unique<Client>(&ctx);
        c->s.SslMode = sslModeServer;
        c->s.OnSslSvrNewSession = [&](TCustomWSocket*, SSL_SESSION* sess, const void*, int,
                                      bool& add) {
          SSL_SESSION_set_ex_data(sess, index, &marker);
          if (keep) kept = sess;
          add = keep;
        };
        c->s.Dup(listener.Accept());
        conns.push_back(std::move(c));
      };
      listener.Listen();
      PipedPeer client;
      ASSERT_TRUE(client.Start({"openssl", "s_client", "-connect",
                                "127.0.0.1:" + listener.BoundPortText(), "-tls1_2"}));
      ASSERT_TRUE(WaitUntil([&] { return !conns.empty() && !conns[0]->handshakes.empty(); }))
          << client.Output();
      client.CloseInput();
      EXPECT_EQ(client.WaitExit(), 0);
      ASSERT_TRUE(WaitUntil([&] { return conns[0]->closedError >= 0; }));
    }
    // Connection, socket and context are gone.
    EXPECT_EQ(freedMarked, !keep);
    if (kept && !freedMarked) {  // (never free what the library freed)
      SSL_SESSION_free(kept);
      EXPECT_TRUE(freedMarked);
    }
  }
}

// The clear-command-channel case: a bidirectional TLS shutdown leaves the
// connection open in plain text.  The peer is Python's ssl module, whose
// unwrap does the same on its side.  Its SNI callback reports the name we
// sent.
TEST(SslLayer, BidirectionalShutdownContinuesInPlainText) {
  REQUIRE_PKI();
  YUX_REQUIRE_PROGRAM("python3");
  yux::test::TempDir tmp;
  const std::string script = (tmp / "unwrap.py").string();
  yux::test::WriteFile(script, R"(import socket, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
if sys.argv[3] == "1.2":
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
names = []
ctx.sni_callback = lambda s, name, c: names.append(name)
ls = socket.socket()
ls.bind(("127.0.0.1", 0))
ls.listen(1)
print("PORT", ls.getsockname()[1], flush=True)
conn, _ = ls.accept()
conn.settimeout(10)
t = ctx.wrap_socket(conn, server_side=True)
print("SNI", names[0] if names else "-", flush=True)
data = b""
while not data.endswith(b"\r\n"):
    data += t.recv(100)
print("TLS", data.decode().strip(), flush=True)
t.sendall(b"200 clear\r\n")
p = t.unwrap()
print("UNWRAPPED", flush=True)
p.sendall(b"PLAIN\r\n")
data = b""
while not data.endswith(b"\r\n"):
    d = p.recv(100)
    if not d:
        break
    data += d
print("CLEAR", data.decode().strip(), flush=True)
p.close()
)");
  for (const char* version : {"1.2", "1.3"}) {
    SCOPED_TRACE(version);
    PipedPeer py;
    const int port = yux::test::StartPythonTlsServer(py, script, {version});
    ASSERT_NE(port, 0) << py.Output();
    TSslContext ctx;
    Client c(&ctx);
    bool posted = false, sentBack = false;
    TSocketState stateAtPlain = wsInvalidState;
    c.s.OnSslHandshakeDone = [&](TCustomWSocket* w, WORD e, TX509Base*, bool&) {
      c.handshakes.push_back(e);
      if (e == 0) w->SendString("CCC\r\n");
    };
    c.s.OnDataAvailable = [&](TCustomWSocket* w, WORD) {
      char buf[4096];
      int n = w->Receive(buf, sizeof buf);
      if (n > 0) c.got.append(buf, size_t(n));
      if (!posted && c.got.find("200 clear\r\n") != std::string::npos) {
        posted = true;
        c.s.PostSslMessage();
      }
      if (!sentBack && c.got.find("PLAIN\r\n") != std::string::npos) {
        sentBack = true;
        EXPECT_FALSE(c.s.SslEnable);
        stateAtPlain = c.s.State();
        w->SendString("BACK\r\n");
      }
    };
    c.Connect(port, "localhost");
    ASSERT_TRUE(py.WaitOutput("CLEAR BACK", 20000)) << py.Output();
    EXPECT_NE(py.Output().find("SNI localhost"), std::string::npos);
    EXPECT_NE(py.Output().find("TLS CCC"), std::string::npos);
    EXPECT_TRUE(c.shutdownDone);
    EXPECT_TRUE(c.shutdownBidirectional);
    EXPECT_EQ(c.shutdownError, 0);
    EXPECT_EQ(c.got, "200 clear\r\nPLAIN\r\n");
    EXPECT_EQ(stateAtPlain, wsConnected);
    EXPECT_EQ(py.WaitExit(20000), 0);
  }
}

// A peer that ends the TCP stream without its close-notify leaves a mark on
// the socket (a cut stream is not a clean end); a peer's close-notify and a
// close of our own do not.
TEST(SslLayer, PeerCloseWithoutCloseNotifyIsMarked) {
  REQUIRE_PKI();
  YUX_REQUIRE_PROGRAM("/usr/bin/python3");
  yux::test::TempDir tmp;
  const std::string script = (tmp / "ender.py").string();
  yux::test::WriteFile(script, R"(import socket, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
ls = socket.socket()
ls.bind(("127.0.0.1", 0))
ls.listen(1)
print("PORT", ls.getsockname()[1], flush=True)
conn, _ = ls.accept()
conn.settimeout(10)
t = ctx.wrap_socket(conn, server_side=True)
t.sendall(b"body " * 2000)
mode = sys.argv[3]
if mode == "notify":
    t.unwrap().close()
elif mode == "cut":
    t.shutdown(socket.SHUT_RDWR)  # a FIN without any close-notify
    t.close()
else:
    try:
        t.recv(100)
    except Exception:
        pass
print("ENDED", flush=True)
)");
  struct Case {
    const char* mode;
    bool marked;
  };
  for (Case k : {Case{"notify", false}, Case{"cut", true}, Case{"ours", false}}) {
    SCOPED_TRACE(k.mode);
    PipedPeer py;
    const int port = yux::test::StartPythonTlsServer(py, script, {k.mode});
    ASSERT_NE(port, 0) << py.Output();
    TSslContext ctx;
    Client c(&ctx);
    const std::string body = [] {
      std::string b;
      for (int i = 0; i < 2000; ++i) b += "body ";
      return b;
    }();
    c.Connect(port);
    ASSERT_TRUE(c.WaitHandshake());
    ASSERT_TRUE(WaitUntil([&] { return c.got.size() >= body.size(); }));
    if (std::string(k.mode) == "ours") c.s.Close();
    ASSERT_TRUE(WaitUntil([&] { return c.closedError >= 0; })) << py.Output();
    EXPECT_EQ(c.got, body);
    EXPECT_EQ(c.s.SslClosedWithoutNotify(), k.marked);
    EXPECT_EQ(py.WaitExit(20000), 0) << py.Output();
  }
}

// Shutdown(1) ends our sending (close-notify, then the TCP end) and, as on
// a plain socket, leaves the connection open until the peer ends it.  A
// close at once would answer what the peer still sends with a reset, and
// a reset makes our system drop what it still holds for the peer: here
// the server takes little into its small receive buffer, writes only after
// our end and reads only after that.
TEST(SslLayer, ShutdownForSendingWaitsForThePeersEnd) {
  REQUIRE_PKI();
  YUX_REQUIRE_PROGRAM("/usr/bin/python3");
  yux::test::TempDir tmp;
  const std::string script = (tmp / "late.py").string();
  yux::test::WriteFile(script, R"(import hashlib, socket, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
if sys.argv[3] == "1.2":
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
ls = socket.socket()
ls.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
ls.bind(("127.0.0.1", 0))
ls.listen(1)
print("PORT", ls.getsockname()[1], flush=True)
conn, _ = ls.accept()
conn.settimeout(20)
t = ctx.wrap_socket(conn, server_side=True)
print("HANDSHAKE", t.version(), flush=True)
sys.stdin.readline()
t.sendall(b"late\r\n")
h = hashlib.sha256()
n = 0
try:
    while True:
        d = t.recv(65536)
        if not d:
            break
        h.update(d)
        n += len(d)
    print("GOT", n, h.hexdigest(), flush=True)
except Exception as e:
    print("ERROR", type(e).__name__, e, flush=True)
try:
    t.unwrap()
except Exception:
    pass
conn.close()
print("ENDED", flush=True)
)");
  const std::string data = [] {
    std::string d(300000, '\0');
    unsigned x = 99;
    for (auto& ch : d) ch = char(x = x * 1103515245u + 12345u);
    return d;
  }();
  unsigned char md[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), md);
  std::string hex;
  for (unsigned char b : md) {
    char h[3];
    std::snprintf(h, sizeof h, "%02x", b);
    hex += h;
  }
  for (VersionCase v : {VersionCase{"1.2", "TLSv1.2"}, VersionCase{"1.3", "TLSv1.3"}}) {
    SCOPED_TRACE(v.version);
    PipedPeer py;
    const int port = yux::test::StartPythonTlsServer(py, script, {v.flag});
    ASSERT_NE(port, 0) << py.Output();
    TSslContext ctx;
    Client c(&ctx);
    bool ended = false;
    c.s.OnDataSent = [&](TCustomWSocket* w, WORD) {
      if (ended) return;
      ended = true;
      w->Shutdown(1);
    };
    c.Connect(port);
    ASSERT_TRUE(c.WaitHandshake());
    ASSERT_EQ(c.handshakes, std::vector<int>{0});
    ASSERT_TRUE(py.WaitOutput(std::string("HANDSHAKE ") + v.version, 20000)) << py.Output();
    // Room for all of it on our side: most waits there when we end.
    c.s.SetSendBufferSize(1 << 20);
    c.s.Send(data.data(), int(data.size()));
    ASSERT_TRUE(WaitUntil([&] { return c.shutdownDone || c.closedError >= 0; }));
    EXPECT_TRUE(c.shutdownDone);
    EXPECT_FALSE(c.shutdownBidirectional);
    // Time for a close that should not come.
    yux::platform::ProcessMessagesFor(300);
    EXPECT_EQ(c.closedError, -1) << "closed before the peer ended the connection";
    py.Write("go\n");
    ASSERT_TRUE(py.WaitOutput("ENDED", 20000)) << py.Output();
    EXPECT_NE(py.Output().find("GOT " + std::to_string(data.size()) + " " + hex), std::string::npos)
        << py.Output();
    ASSERT_TRUE(WaitUntil([&] { return c.closedError >= 0; }));
    EXPECT_EQ(c.closedError, 0);
    EXPECT_EQ(c.got, "late\r\n");
    EXPECT_FALSE(c.s.SslClosedWithoutNotify());
    EXPECT_EQ(py.WaitExit(20000), 0) << py.Output();
  }
}

// A pause (the throttle's) must hold the reading even when an emulated
// read notification was already on its way.
TEST(SslLayer, EmulatedReadNotificationKeepsAPause) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  PipedPeer server;
  int port = yux::test::StartSServer(server, pki.Cert("server"), pki.Key("server"), {});
  ASSERT_NE(port, 0) << server.Output();
  TSslContext ctx;
  Client c(&ctx);
  c.Connect(port);
  ASSERT_TRUE(c.WaitHandshake());
  ASSERT_EQ(c.handshakes, std::vector<int>{0});
  yux::platform::ProcessMessagesFor(100);
  ASSERT_TRUE(c.s.TriggerEvent(sslFdRead, 0));
  c.s.Pause();
  server.Write("while paused\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the bytes reach our socket
  yux::net::u_long waitingBefore = 0, waitingAfter = 0;
  ASSERT_EQ(WSocket_ioctlsocket(c.s.HSocket(), FIONREAD, &waitingBefore), 0);
  ASSERT_GT(waitingBefore, 0u);
  yux::platform::ProcessMessagesFor(300);
  // Nothing was taken from the socket while paused.
  ASSERT_EQ(WSocket_ioctlsocket(c.s.HSocket(), FIONREAD, &waitingAfter), 0);
  EXPECT_EQ(waitingAfter, waitingBefore);
  EXPECT_EQ(c.got, "");
  EXPECT_TRUE(c.s.Paused());
  c.s.Resume();
  ASSERT_TRUE(WaitUntil([&] { return c.got == "while paused\n"; }));
}

// Close while decrypted data is still unread: the application gets the
// data first, then the close completes.
TEST(SslLayer, CloseWaitsUntilThePlaintextIsRead) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  PipedPeer server;
  int port = yux::test::StartSServer(server, pki.Cert("server"), pki.Key("server"), {});
  ASSERT_NE(port, 0) << server.Output();
  TSslContext ctx;
  Client c(&ctx);
  int calls = 0;
  c.s.OnDataAvailable = [&](TCustomWSocket* w, WORD) {
    if (++calls == 1) {
      w->Close();  // nothing read yet
      EXPECT_NE(w->State(), wsClosed);
      return;
    }
    char buf[4096];
    int n = w->Receive(buf, sizeof buf);
    if (n > 0) c.got.append(buf, size_t(n));
  };
  c.Connect(port);
  ASSERT_TRUE(c.WaitHandshake());
  server.Write("tail data\n");
  ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
  EXPECT_EQ(c.got, "tail data\n");
  EXPECT_GE(calls, 2);
  EXPECT_EQ(c.closedError, 0);
}

// Disconnect from the handshake-done event closes, and no new-session
// event follows.
TEST(SslLayer, HandshakeDoneMayDisconnect) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  PipedPeer server;
  int port = yux::test::StartSServer(server, pki.Cert("server"), pki.Key("server"), {"-tls1_2"});
  ASSERT_NE(port, 0) << server.Output();
  TSslContext ctx;
  Client c(&ctx);
  int newSessions = 0;
  c.s.OnSslCliNewSession = [&](TCustomWSocket*, SSL_SESSION*, bool, bool&) { ++newSessions; };
  c.s.OnSslHandshakeDone = [&](TCustomWSocket*, WORD e, TX509Base*, bool& disconnect) {
    c.handshakes.push_back(e);
    disconnect = true;
  };
  c.Connect(port);
  ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
  EXPECT_EQ(c.handshakes, std::vector<int>{0});
  EXPECT_EQ(newSessions, 0);
}

// A TLS start that fails on an accepted connection does not escape: the
// connection is closed with 10053 and the failure goes to the background
// exception event.
TEST(SslLayer, FailedStartOnAnAcceptedConnectionClosesIt) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  TSslContext ctx;
  ctx.SetSslCertFile(pki.File("no-such-cert.pem"));
  TTestSslSocket listener;
  std::unique_ptr<Client> conn;
  std::string bgError;
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.OnSessionAvailable = [&](TCustomWSocket*, WORD) {
    conn = std::make_unique<Client>(&ctx);
    conn->s.SslMode = sslModeServer;
    conn->s.SetOnBgException(
        [&](TNetWndControl*, const std::exception& e, bool&) { bgError = e.what(); });
    conn->s.Dup(listener.Accept());
  };
  listener.Listen();
  PipedPeer client;
  ASSERT_TRUE(
      client.Start({"openssl", "s_client", "-connect", "127.0.0.1:" + listener.BoundPortText()}));
  ASSERT_TRUE(WaitUntil([&] { return conn && conn->closedError >= 0; }));
  EXPECT_EQ(conn->closedError, 10053);
  EXPECT_EQ(bgError, "File not found \"" + pki.File("no-such-cert.pem") + "\"");
  EXPECT_FALSE(conn->s.SslEnable);
  EXPECT_EQ(conn->s.SslStage(), StageNone);
  EXPECT_FALSE(ctx.Initialised());  // the next connection tries again
}

// With TLS off the layer is the plain socket.
TEST(SslLayer, TlsOffIsThePlainSocket) {
  yux::test::ScriptedServer echo([](int fd, int) {
    std::string line = yux::test::ReadExactly(fd, 6);
    yux::test::WriteAll(fd, line);
  });
  TSslContext ctx;
  Client c(&ctx);
  c.s.SslEnable = false;
  c.Connect(echo.Port());
  ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsConnected; }));
  c.s.SendString("plain\n");
  ASSERT_TRUE(WaitUntil([&] { return c.got == "plain\n"; }));
  EXPECT_EQ(c.s.Ssl(), nullptr);
  EXPECT_TRUE(c.handshakes.empty());
}

// Asked for, the data path's calls are logged with the bytes they moved.
TEST(SslLayer, LogsTheDataPathWhenAsked) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  PipedPeer server;
  int port = yux::test::StartSServer(server, pki.Cert("server"), pki.Key("server"), {});
  ASSERT_NE(port, 0) << server.Output();
  TNetLogger logger;
  logger.SetLogOptions({TLogOption::loDestEvent, TLogOption::loSslInfo, TLogOption::loSslDump});
  std::vector<std::string> lines;
  logger.SetOnNetLogEvent(
      [&](const void*, TLogOption, const std::string& m) { lines.push_back(m); });
  TSslContext ctx;
  Client c(&ctx);
  c.s.SetNetLogger(&logger);
  c.Connect(port);
  ASSERT_TRUE(c.WaitHandshake());
  server.Write("log me\n");
  ASSERT_TRUE(WaitUntil([&] { return c.got == "log me\n"; }));
  const std::regex read(
      R"( BIO_read\(sslbio, 0x[0-9a-f]+, 65536\) = 7   \[[0-9]+\] Data:log me\$0A $)");
  const std::regex done(
      R"( SslHandshakeDone\(0\) [0-9]+\. Secure connection with TLSv1\.3, cipher )");
  bool sawRead = false, sawDone = false;
  for (const auto& l : lines) {
    sawRead = sawRead || std::regex_search(l, read);
    sawDone = sawDone || std::regex_search(l, done);
  }
  EXPECT_TRUE(sawRead);
  EXPECT_TRUE(sawDone);
  c.s.SetNetLogger(nullptr);
}

// A write the library could not finish is presented again with exactly
// its length, however much the queue grew meanwhile, and the peer gets
// every byte once. The peer (Python) first reads nothing, so our kernel
// buffer and the BIO pair fill while the application keeps queueing odd
// pieces; then it reads in bursts.
TEST(SslLayer, RetriedWriteKeepsItsLengthWhileTheQueueGrows) {
  REQUIRE_PKI();
  YUX_REQUIRE_PROGRAM("python3");
  yux::test::TempDir tmp;
  const std::string script = (tmp / "stall.py").string();
  yux::test::WriteFile(script, R"(import hashlib, socket, ssl, sys, time
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
if sys.argv[3] == "1.2":
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
total = int(sys.argv[4])
ls = socket.socket()
ls.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
ls.bind(("127.0.0.1", 0))
ls.listen(1)
print("PORT", ls.getsockname()[1], flush=True)
conn, _ = ls.accept()
conn.settimeout(60)
t = ctx.wrap_socket(conn, server_side=True)
print("READY", flush=True)
sys.stdin.readline()
h = hashlib.sha256()
got = 0
while got < total:
    d = t.recv(65536)
    if not d:
        break
    h.update(d)
    before = got
    got += len(d)
    if got // 262144 != before // 262144:
        time.sleep(0.01)
print("GOT", got, h.hexdigest(), flush=True)
)");
  const std::regex write(R"( BIO_write\(sslbio, 0x[0-9a-f]+, ([0-9]+)\) = (-?[0-9]+))");
  for (const char* version : {"1.2", "1.3"}) {
    SCOPED_TRACE(version);
    // Odd piece sizes, so that pieces straddle the queue's blocks.
    std::string data;
    uint32_t x = 7;
    std::vector<size_t> pieces;
    while (data.size() < (3u << 20)) {
      const size_t n = 1000 + (x >> 8) % 20000;
      pieces.push_back(n);
      for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        data.push_back(char(x >> 24));
      }
    }
    PipedPeer py;
    const int port = yux::test::StartPythonTlsServer(py, script, {version, std::to_string(data.size())});
    ASSERT_NE(port, 0) << py.Output();

    TNetLogger logger;
    logger.SetLogOptions({TLogOption::loDestEvent, TLogOption::loSslInfo});
    std::vector<std::pair<int, int>> writes;  // length, result
    logger.SetOnNetLogEvent([&](const void*, TLogOption, const std::string& m) {
      std::smatch r;
      if (std::regex_search(m, r, write)) writes.emplace_back(std::stoi(r[1]), std::stoi(r[2]));
    });
    TSslContext ctx;
    Client c(&ctx);
    c.s.SetNetLogger(&logger);
    c.Connect(port);
    ASSERT_TRUE(c.WaitHandshake());
    ASSERT_EQ(c.handshakes, std::vector<int>{0});
    ASSERT_TRUE(py.WaitOutput("READY", 20000)) << py.Output();
    const int small = 16384;
    ::setsockopt(int(c.s.HSocket()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    size_t next = 0, offset = 0;
    auto sendPiece = [&] {
      if (next == pieces.size()) return;
      c.s.Send(data.data() + offset, int(pieces[next]));
      offset += pieces[next++];
    };
    auto failures = [&] {
      return std::count_if(writes.begin(), writes.end(), [](auto& w) { return w.second < 0; });
    };
    // The peer reads nothing yet: queue until a write had to wait, and
    // some pieces more behind it.
    ASSERT_TRUE(WaitUntil([&] {
      sendPiece();
      return failures() > 0 || next == pieces.size();
    }));
    ASSERT_GT(failures(), 0) << "the pair never filled";
    for (int i = 0; i < 20; ++i) sendPiece();
    py.Write("go\n");
    ASSERT_TRUE(WaitUntil([&] {
      sendPiece();
      return py.Output().find("GOT ") != std::string::npos;
    }, 60000)) << py.Output();
    EXPECT_EQ(next, pieces.size());

    // Every write that had to wait comes back with its own length.
    int retries = 0;
    for (size_t i = 0; i + 1 < writes.size(); ++i) {
      if (writes[i].second >= 0) continue;
      ++retries;
      EXPECT_EQ(writes[i + 1].first, writes[i].first) << "write " << i + 1;
    }
    EXPECT_GE(retries, 21);
    EXPECT_GT(writes.back().second, 0);
    unsigned char md[32];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), md);
    std::string hex;
    for (unsigned char b : md) {
      char h[3];
      std::snprintf(h, sizeof h, "%02x", b);
      hex += h;
    }
    // "GOT " may have come through the pipe before the rest of its line.
    EXPECT_TRUE(py.WaitOutput("GOT " + std::to_string(data.size()) + " " + hex, 10000)) << py.Output();
    c.s.SetNetLogger(nullptr);
    c.s.Close();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
  }
}

// Through a SOCKS 5 server the layer stays plain while the negotiation
// runs, then the handshake goes to the destination.
TEST(SslLayer, TlsThroughSocks) {
  REQUIRE_PKI();
  YUX_REQUIRE_PROGRAM("microsocks");
  const TestPki& pki = TestPki::Get();
  PipedPeer server;
  int port = yux::test::StartSServer(server, pki.Cert("server"), pki.Key("server"), {});
  ASSERT_NE(port, 0) << server.Output();
  yux::test::PeerProcess socks;
  int socksPort = 0;
  ASSERT_TRUE(yux::test::StartMicrosocks(socks, socksPort, "user", "pass"));
  TSslContext ctx;
  ctx.SetSslCAFile(pki.Cert("ca"));
  ctx.SetSslVerifyPeer(true);
  Client c(&ctx);
  c.s.SetSocksServer("127.0.0.1");
  c.s.SetSocksPort(std::to_string(socksPort));
  c.s.SocksAuthentication = socksAuthenticateUsercode;
  c.s.SocksUsercode = "user";
  c.s.SocksPassword = "pass";
  c.Connect(port);
  ASSERT_TRUE(c.WaitHandshake());
  ASSERT_EQ(c.handshakes, std::vector<int>{0});
  EXPECT_TRUE(c.verifyErrors.empty());
  c.s.SendString("via socks\n");
  EXPECT_TRUE(server.WaitOutput("via socks"));
}

}  // namespace
