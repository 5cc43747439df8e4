// The TLS layer inside the full socket chain: line mode and throttling
// above it must see exactly the plaintext, in both directions, whatever
// the TLS version.
#include <gtest/gtest.h>

#include <chrono>

#include "net/socket/netlogger.h"
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
  // 12500 bytes per half-second period: the 50 KB down need four periods
  // and the 36 KB up three, so the socket must pause and wait for ticks.
  const unsigned kSampling = 500;
  if (c.throttle) s.SetBandwidthLimit(25000);
  s.SetBandwidthSampling(kSampling);
  TNetLogger logger;
  logger.SetLogOptions({TLogOption::loDestEvent, TLogOption::loWsockInfo});
  int recvPauses = 0, sendPauses = 0;
  logger.SetOnNetLogEvent([&](const void*, TLogOption, const std::string& m) {
    recvPauses += m.find("Bandwidth Paused on receive") != std::string::npos;
    sendPauses += m.find("Bandwidth Paused on send") != std::string::npos;
  });
  s.SetNetLogger(&logger);
  using Clock = std::chrono::steady_clock;
  auto msSince = [](Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
  };
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
  auto downStart = Clock::now();
  server.Write(down);
  auto received = [&] {
    size_t n = 0;
    for (auto& p : pieces) n += p.size();
    return n;
  };
  ASSERT_TRUE(yux::platform::WaitPumping([&] { return received() >= down.size(); }, 20000, 2)) << pieces.size();
  long long downMs = msSince(downStart);
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
  auto upStart = Clock::now();
  s.SendString(up);
  s.SendLine("bye");
  EXPECT_TRUE(server.WaitOutput("upline 2999\nbye", 20000));
  long long upMs = msSince(upStart);
  EXPECT_NE(server.Output().find(up), std::string::npos);
  if (c.throttle) {
    // Every pause but the last ended at a tick of its own, and ticks are a
    // sampling period apart.
    EXPECT_GE(recvPauses, 2) << down.size() << " bytes received";
    EXPECT_GE(sendPauses, 2) << up.size() << " bytes sent";
    EXPECT_GE(downMs, (recvPauses - 1) * (long long)kSampling);
    EXPECT_GE(upMs, (sendPauses - 1) * (long long)kSampling);
  } else {
    EXPECT_EQ(recvPauses + sendPauses, 0);
  }
  s.SetNetLogger(nullptr);
}

}  // namespace

TEST(SslInteg, LineModeOverTls) {
  for (const char* version : {"-tls1_2", "-tls1_3"}) {
    SCOPED_TRACE(version);
    ExchangeLines({version, true, false});
  }
}

TEST(SslInteg, ThrottleOverTls) {
  const Case cases[] = {{"-tls1_2", false, true}, {"-tls1_3", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.version) + (c.lineMode ? " line mode" : ""));
    ExchangeLines(c);
  }
}
