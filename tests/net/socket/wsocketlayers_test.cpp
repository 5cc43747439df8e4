// Line mode, synchronous waits, timeouts and throttling on real loopback
// connections.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "net/socket/wsocket.h"
#include "platform/messages.h"
#include "tests/peers/blackhole.h"
#include "tests/peers/peers.h"

using namespace yux::net;

namespace {

bool WaitUntil(const std::function<bool()>& pred, unsigned ms = 20000) {
  return yux::platform::WaitPumping(pred, ms, 2);
}

// A connected pair: `client` (the socket under test) and the accepted
// server side `peer`, both TWSocket.
struct Pair {
  TWSocket listener;
  std::unique_ptr<TWSocket> peer;
  TWSocket client;
  void Open() {
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.OnSessionAvailable = [this](TCustomWSocket*, WORD) {
      peer = std::make_unique<TWSocket>();
      peer->Dup(listener.Accept());
    };
    listener.Listen();
    client.SetAddr("127.0.0.1");
    client.SetPort(listener.BoundPortText());
    client.Connect();
    ASSERT_TRUE(WaitUntil([&] { return client.State() == wsConnected && peer; }));
  }
};

// Collects what the application reads line by line.
struct LineReader {
  std::vector<std::string> lines;
  void Attach(TWSocket& s) {
    s.SetLineMode(true);
    s.OnDataAvailable = [this](TCustomWSocket* w, WORD) {
      std::string l = w->ReceiveAsString();
      if (!l.empty()) lines.push_back(l);
    };
  }
};

TEST(LineMode, DeliversLinesWhateverTheReadsCut) {
  Pair p;
  p.Open();
  LineReader r;
  r.Attach(p.client);
  // Split between CR and LF, then two lines in one write.
  p.peer->SendString("first\r");
  ASSERT_TRUE(WaitUntil([&] { return p.client.RcvdCount() == 6; }));
  EXPECT_TRUE(r.lines.empty());
  p.peer->SendString("\nsecond\r\nthird\r\n");
  ASSERT_TRUE(WaitUntil([&] { return r.lines.size() == 3; }));
  EXPECT_EQ(r.lines, (std::vector<std::string>{"first\r\n", "second\r\n", "third\r\n"}));
}

// A line the application leaves unread stays a line of its own: bytes that
// come after it never join it.
TEST(LineMode, UnreadLineIsNotMergedWithTheNextOne) {
  Pair p;
  p.Open();
  std::vector<std::string> lines;
  bool hold = true;
  p.client.SetLineMode(true);
  p.client.OnDataAvailable = [&](TCustomWSocket* w, WORD) {
    if (hold) return;
    std::string l = w->ReceiveAsString();
    if (!l.empty()) lines.push_back(l);
  };
  p.peer->SendString("one\r\ntw");
  ASSERT_TRUE(WaitUntil([&] { return p.client.RcvdCount() == 7; }));
  EXPECT_EQ(p.client.LineLength(), 5);
  hold = false;
  p.peer->SendString("o\r\nthree\r\n");
  ASSERT_TRUE(WaitUntil([&] { return lines.size() >= 3 || p.client.RcvdCount() == 0; }));
  yux::platform::ProcessMessagesFor(50);
  EXPECT_EQ(lines, (std::vector<std::string>{"one\r\n", "two\r\n", "three\r\n"}));
}

// Line mode switched on over buffered bytes re-offers them; an application
// that does not read yet must not keep that re-offer going for ever.
TEST(LineMode, ReofferOfAnUnreadLineEnds) {
  Pair p;
  p.Open();
  std::vector<std::string> got;
  bool hold = false;
  p.client.SetLineMode(true);
  p.client.OnDataAvailable = [&](TCustomWSocket* w, WORD) {
    if (hold) return;
    std::string s = w->ReceiveAsString();
    if (s.empty()) return;
    got.push_back(s);
    if (s == "HEADER\r\n") {
      static_cast<TWSocket*>(w)->SetLineMode(false);
      hold = true;  // the rest stays in the line buffer
    }
  };
  p.peer->SendString("HEADER\r\none\r\n");
  ASSERT_TRUE(WaitUntil([&] { return hold && p.client.RcvdCount() == 5; }));
  p.client.SetLineMode(true);
  yux::platform::ProcessMessagesFor(100);  // the re-offer runs and returns
  EXPECT_EQ(p.client.LineLength(), 5);
  hold = false;
  p.peer->SendString("more\r\n");
  ASSERT_TRUE(WaitUntil([&] { return got.size() >= 3; }));
  EXPECT_EQ(got, (std::vector<std::string>{"HEADER\r\n", "one\r\n", "more\r\n"}));
}

TEST(LineMode, LineLimitReportsAndClearsByDefault) {
  Pair p;
  p.Open();
  LineReader r;
  r.Attach(p.client);
  p.client.LineLimit = 10;
  int reported = -1;
  p.client.OnLineLimitExceeded = [&](TCustomWSocket*, int len, bool& clear) { reported = len; };
  p.peer->SendString(std::string(20, 'a'));
  ASSERT_TRUE(WaitUntil([&] { return reported != -1; }));
  EXPECT_EQ(reported, 20);
  EXPECT_EQ(p.client.RcvdCount(), 0);
  p.peer->SendString("ok\r\n");
  ASSERT_TRUE(WaitUntil([&] { return r.lines.size() == 1; }));
  EXPECT_EQ(r.lines[0], "ok\r\n");
}

TEST(LineMode, LastPartialLineAtCloseUnlessAborted) {
  for (bool abort : {false, true}) {
    SCOPED_TRACE(abort ? "aborted" : "closed by peer");
    Pair p;
    p.Open();
    LineReader r;
    r.Attach(p.client);
    bool closed = false;
    p.client.OnSessionClosed = [&](TCustomWSocket*, WORD) { closed = true; };
    p.peer->SendString("full\r\npartial");
    ASSERT_TRUE(WaitUntil([&] { return r.lines.size() == 1 && p.client.RcvdCount() == 7; }));
    if (abort) {
      p.client.Abort();
    } else {
      p.peer->Close();
    }
    ASSERT_TRUE(WaitUntil([&] { return closed; }));
    if (abort)
      EXPECT_EQ(r.lines, (std::vector<std::string>{"full\r\n"}));
    else
      EXPECT_EQ(r.lines, (std::vector<std::string>{"full\r\n", "partial"}));
  }
}

TEST(LineMode, SwitchingOffInsideTheHandlerDeliversTheRestRaw) {
  Pair p;
  p.Open();
  std::vector<std::string> got;
  p.client.SetLineMode(true);
  p.client.OnDataAvailable = [&](TCustomWSocket* w, WORD) {
    std::string s = w->ReceiveAsString();
    if (s.empty()) return;
    got.push_back(s);
    if (s == "HEADER\r\n") static_cast<TWSocket*>(w)->SetLineMode(false);
  };
  p.peer->SendString("HEADER\r\nraw bytes\r\nmore");
  ASSERT_TRUE(WaitUntil([&] { return !got.empty() && got.back().find("more") != std::string::npos; }));
  EXPECT_EQ(got[0], "HEADER\r\n");
  std::string rest;
  for (size_t i = 1; i < got.size(); ++i) rest += got[i];
  EXPECT_EQ(rest, "raw bytes\r\nmore");
  p.peer->SendString("later");
  ASSERT_TRUE(WaitUntil([&] { return got.back() == "later"; }));
}

// A line half read when line mode goes off leaves no pending length behind:
// the next line holds only bytes that arrived.
TEST(LineMode, SwitchingOffMidLineForgetsTheLineLength) {
  Pair p;
  p.Open();
  std::vector<std::string> got;
  bool relined = false;
  p.client.SetLineMode(true);
  p.client.OnDataAvailable = [&](TCustomWSocket* w, WORD) {
    auto* s = static_cast<TWSocket*>(w);
    if (!relined && s->LineMode()) {
      char head[3];
      got.emplace_back(head, size_t(s->Receive(head, sizeof head)));
      s->SetLineMode(false);
      return;
    }
    std::string r = s->ReceiveAsString();
    if (!r.empty()) got.push_back(r);
  };
  p.peer->SendString("HEADER-LINE\r\n");
  ASSERT_TRUE(WaitUntil([&] { return got.size() >= 2 && p.client.RcvdCount() == 0; }));
  EXPECT_EQ(got, (std::vector<std::string>{"HEA", "DER-LINE\r\n"}));
  EXPECT_EQ(p.client.LineLength(), 0);
  relined = true;
  p.client.SetLineMode(true);
  yux::platform::ProcessMessagesFor(50);
  p.peer->SendString("ab\r\n");
  ASSERT_TRUE(WaitUntil([&] { return got.size() >= 3; }));
  yux::platform::ProcessMessagesFor(50);
  EXPECT_EQ(got, (std::vector<std::string>{"HEA", "DER-LINE\r\n", "ab\r\n"}));
}

TEST(LineMode, SendLineSendsTheLineEndAlsoForAnEmptyLine) {
  Pair p;
  p.Open();
  std::string got;
  p.peer->OnDataAvailable = [&](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
  EXPECT_EQ(p.client.SendLine("Subject: x"), 12);
  EXPECT_EQ(p.client.SendLine(""), 2);
  EXPECT_EQ(p.client.SendLine("body"), 6);
  ASSERT_TRUE(WaitUntil([&] { return got.size() == 20; }));
  EXPECT_EQ(got, "Subject: x\r\n\r\nbody\r\n");
}

TEST(LineMode, EditingAndEcho) {
  Pair p;
  p.Open();
  LineReader r;
  r.Attach(p.client);
  p.client.LineEdit = true;
  p.client.LineEcho = true;
  std::string echoed;
  p.peer->OnDataAvailable = [&](TCustomWSocket* w, WORD) { echoed += w->ReceiveAsString(); };
  p.peer->SendString("ab\x08" "c\td\r\n");
  ASSERT_TRUE(WaitUntil([&] { return r.lines.size() == 1; }));
  EXPECT_EQ(r.lines[0], "ac      d\r\n");  // tab to column 8
  ASSERT_TRUE(WaitUntil([&] { return echoed.size() >= 13; }));
  EXPECT_EQ(echoed, std::string("ab\x08 \x08" "c      d\r\n"));
}

TEST(SyncWait, TimesOutWithoutSpinningAndEndsWhenTheFlagIsSet) {
  TWSocket s;
  int flag = 0;
  s.WaitTimeout = 400;
  std::clock_t cpu0 = std::clock();
  EXPECT_EQ(s.WaitForDoneFlag(flag), kSyncWaitTimedOut);
  double cpuMs = double(std::clock() - cpu0) * 1000.0 / CLOCKS_PER_SEC;
  EXPECT_LT(cpuMs, 200.0) << "the wait spins";  // a spinning wait takes all 400 ms
  // A flag set by a message ends the wait.
  s.WaitTimeout = 3000;
  yux::platform::HWND w = yux::platform::CreateMessageWindow(
      [&](yux::platform::HWND, yux::platform::UINT m, yux::platform::WPARAM, yux::platform::LPARAM) {
        if (m == yux::platform::WM_USER + 5) flag = 1;
        return yux::platform::LRESULT(0);
      });
  EXPECT_EQ(s.CallAndWait([&] { yux::platform::PostMessage(w, yux::platform::WM_USER + 5, 0, 0); },
                          flag),
            0);
  EXPECT_EQ(flag, 1);
  yux::platform::DestroyWindow(w);
}

TEST(Timeouts, IdleConnectionIsReported) {
  Pair p;
  p.client.IdleTimeout = 300;
  p.client.TimeoutCheckInterval = 100;
  p.Open();
  int reason = -1;
  p.client.OnTimedOut = [&](TCustomWSocket*, TTimeoutReason r) { reason = r; };
  EXPECT_TRUE(p.client.TimeoutTimerEnabled());
  ASSERT_TRUE(WaitUntil([&] { return reason != -1; }, 3000));
  EXPECT_EQ(reason, torIdle);
  EXPECT_FALSE(p.client.TimeoutTimerEnabled());
}

TEST(Timeouts, ConnectThatHangsIsReported) {
  yux::test::BlackholeListener hole;
  ASSERT_EQ(hole.Error(), "");
  TWSocket s;
  s.ConnectTimeout = 300;
  s.TimeoutCheckInterval = 100;
  int reason = -1;
  s.OnTimedOut = [&](TCustomWSocket* w, TTimeoutReason r) {
    reason = r;
    w->Abort();
  };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(hole.Port()));
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return reason != -1 || s.State() == wsConnected; }, 3000));
  EXPECT_EQ(reason, torConnect);
  EXPECT_EQ(s.State(), wsClosed);
}

// Through a proxy the session exists only once the proxy granted it: a
// proxy that takes the connection and then says nothing is a connect that
// hangs, and the connect timeout reports it.
TEST(Timeouts, ProxyThatNeverAnswersIsAConnectThatHangs) {
  for (const char* kind : {"socks5", "http"}) {
    SCOPED_TRACE(kind);
    std::atomic<bool> release{false};
    yux::test::ScriptedServer proxy([&](int, int) {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    TWSocket s;
    s.ConnectTimeout = 300;
    s.TimeoutCheckInterval = 100;
    int reason = -1;
    int connected = -1;
    s.OnTimedOut = [&](TCustomWSocket* w, TTimeoutReason r) {
      reason = r;
      w->Abort();
    };
    s.OnSessionConnected = [&](TCustomWSocket*, WORD e) { connected = e; };
    if (std::string(kind) == "socks5") {
      s.SetSocksServer("127.0.0.1");
      s.SetSocksPort(std::to_string(proxy.Port()));
    } else {
      s.SetHttpTunnelServer("127.0.0.1");
      s.SetHttpTunnelPort(std::to_string(proxy.Port()));
    }
    s.SetAddr("far.example");
    s.SetPort("21");
    s.Connect();
    EXPECT_TRUE(WaitUntil([&] { return reason != -1; }, 3000));
    EXPECT_EQ(reason, torConnect);
    release = true;
  }
}

TEST(Throttle, SendsOnePeriodsWorthThenPausesUntilTheNextTick) {
  Pair p;
  p.client.SetBandwidthSampling(100);
  EXPECT_EQ(p.client.BandwidthSampling(), 500u);
  p.client.SetBandwidthSampling(1000);
  p.client.SetBandwidthLimit(10000);
  p.Open();
  std::int64_t got = 0;
  p.peer->OnDataAvailable = [&](TCustomWSocket* w, WORD) { got += w->ReceiveAsString().size(); };
  EXPECT_TRUE(p.client.ThrottlingActive());
  p.client.SendString(std::string(30000, 't'));
  EXPECT_EQ(p.client.WriteCount(), 10001);
  EXPECT_TRUE(p.client.ThrottlePaused());
  yux::platform::ProcessMessagesFor(300);
  EXPECT_EQ(p.client.WriteCount(), 10001);  // nothing more within the period
  ASSERT_TRUE(WaitUntil([&] { return p.client.WriteCount() > 10001; }, 2500));
  ASSERT_TRUE(WaitUntil([&] { return got == 30000; }, 4000));
}

TEST(Throttle, ReceivingIsLimitedTooAlsoInLineMode) {
  for (bool lineMode : {false, true}) {
    SCOPED_TRACE(lineMode ? "line mode" : "raw");
    Pair p;
    p.client.SetBandwidthLimit(10000);
    p.Open();
    std::int64_t got = 0;
    p.client.SetLineMode(lineMode);
    p.client.OnDataAvailable = [&](TCustomWSocket* w, WORD) {
      got += std::int64_t(w->ReceiveAsString().size());
    };
    std::string data;
    for (int i = 0; i < 715; ++i) data += "0123456789abcdefghi\r\n";  // 15015 bytes
    p.peer->SendString(data);
    // One period's worth (the limit and one byte), then nothing until the
    // next period.
    ASSERT_TRUE(WaitUntil([&] { return p.client.ThrottlePaused(); }, 2500));
    EXPECT_EQ(p.client.BandwidthCount(), 10001);
    std::int64_t atPause = p.client.ReadCount();
    EXPECT_LT(atPause, std::int64_t(data.size()));
    yux::platform::WaitPumping([&] { return !p.client.ThrottlePaused(); }, 150, 2);
    if (p.client.ThrottlePaused()) EXPECT_EQ(p.client.ReadCount(), atPause);
    ASSERT_TRUE(WaitUntil([&] { return got == std::int64_t(data.size()); }, 4500));
    EXPECT_EQ(p.client.ReadCount(), std::int64_t(data.size()));  // each byte counted once
  }
}

TEST(Threads, SocketMovesToAnotherThreadAndBack) {
  Pair p;
  p.client.IdleTimeout = 60000;  // a timer that must follow the socket
  p.client.TimeoutCheckInterval = 1000;
  p.Open();
  ASSERT_TRUE(p.client.TimeoutTimerEnabled());
  std::string got;
  std::atomic<bool> attached{false}, stop{false};
  p.client.OnDataAvailable = [&](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
  p.client.DetachFromThread();
  std::thread worker([&] {
    p.client.AttachToThread();
    attached = true;
    yux::platform::WaitPumping([&] { return got == "to the worker" || stop; }, 4000, 2);
    p.client.DetachFromThread();
  });
  while (!attached) std::this_thread::yield();
  p.peer->SendString("to the worker");
  worker.join();
  EXPECT_EQ(got, "to the worker");
  p.client.AttachToThread();
  EXPECT_TRUE(p.client.TimeoutTimerEnabled());
  got.clear();
  p.peer->SendString("home again");
  ASSERT_TRUE(WaitUntil([&] { return got == "home again"; }));
}

}  // namespace
