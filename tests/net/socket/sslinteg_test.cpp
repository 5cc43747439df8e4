// The TLS layer inside the full socket chain: line mode and throttling
// above it must see exactly the plaintext, in both directions, whatever
// the TLS version.
#include <gtest/gtest.h>

#include "net/socket/wsocket.h"
#include "platform/messages.h"
#include "tests/peers/sslfixture.h"

using namespace yux::net;
using yux::test::PipedPeer;
using yux::test::TestPki;

namespace {

struct Case {
  const char* version;
  bool lineMode;
  bool throttle;
};

void ExchangeLines(const Case& c) {
  const TestPki& pki = TestPki::Get();
  ASSERT_TRUE(pki.Ok());
  PipedPeer server;
  int port = yux::test::StartSServer(server, pki.Cert("server"), pki.Key("server"), {c.version});
  ASSERT_NE(port, 0);
  TSslContext ctx;
  TSslWSocket s;
  s.SetSslContext(&ctx);
  s.SslEnable = true;
  s.LineEnd = "\n";
  s.SetLineMode(c.lineMode);
  if (c.throttle) s.SetBandwidthLimit(200000);
  s.SetBandwidthSampling(100);
  std::vector<std::string> pieces;
  int hs = -1;
  s.OnSslHandshakeDone = [&](TCustomWSocket*, WORD e, TX509Base*, bool&) { hs = e; };
  s.OnDataAvailable = [&](TCustomWSocket* w, WORD) { pieces.push_back(w->ReceiveAsString()); };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
  s.Connect();
  ASSERT_TRUE(yux::platform::WaitPumping([&] { return hs >= 0; }, 5000, 2));
  ASSERT_EQ(hs, 0);

  std::string down;
  for (int i = 0; i < 3000; ++i) down += "line number " + std::to_string(i) + "\n";
  server.Write(down);
  auto received = [&] {
    size_t n = 0;
    for (auto& p : pieces) n += p.size();
    return n;
  };
  ASSERT_TRUE(yux::platform::WaitPumping([&] { return received() >= down.size(); }, 20000, 2)) << pieces.size();
  std::string joined;
  for (auto& p : pieces) joined += p;
  EXPECT_EQ(joined, down);
  if (c.lineMode) {
    // One event per line, each with its own line end.
    ASSERT_EQ(pieces.size(), 3000u);
    EXPECT_EQ(pieces[5], "line number 5\n");
  }

  std::string up;
  for (int i = 0; i < 3000; ++i) up += "upline " + std::to_string(i) + "\n";
  s.SendString(up);
  s.SendLine("bye");
  EXPECT_TRUE(server.WaitOutput("upline 2999\nbye", 20000));
  EXPECT_NE(server.Output().find(up), std::string::npos);
}

}  // namespace

TEST(SslInteg, LineModeAndThrottleOverTls) {
  const Case cases[] = {
      {"-tls1_2", true, false}, {"-tls1_3", true, false},
      {"-tls1_2", false, true}, {"-tls1_3", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.version) + (c.lineMode ? " line mode" : "") + (c.throttle ? " throttled" : ""));
    ExchangeLines(c);
  }
}
