// The message-driven socket against real peers on 127.0.0.1.
#include "net/socket/wsocket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <chrono>
#include <vector>

#include "net/socket/netexceptions.h"
#include "platform/messages.h"
#include "tests/peers/peers.h"

using namespace yux::net;
using yux::test::PeerProcess;

namespace {

bool WaitUntil(const std::function<bool()>& pred, unsigned ms = 20000) {
  return yux::platform::WaitPumping(pred, ms, 2);
}

// A TWSocket server on an ephemeral loopback port that accepts into
// TWSockets of its own.
struct Server {
  TWSocket listener;
  std::vector<std::unique_ptr<TWSocket>> clients;
  std::function<void(TWSocket&)> onAccepted;
  Server() {
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.OnSessionAvailable = [this](TCustomWSocket*, WORD) {
      auto c = std::make_unique<TWSocket>();
      c->Dup(listener.Accept());
      if (onAccepted) onAccepted(*c);
      clients.push_back(std::move(c));
    };
    listener.Listen();
  }
  std::string Port() { return listener.BoundPortText(); }
};

TEST(WSocket, EchoRoundTripWithEventsInOrder) {
  YUX_REQUIRE_PROGRAM("socat");
  PeerProcess echo;
  int port = 0;
  ASSERT_TRUE(yux::test::StartSocatEcho(echo, port));
  TWSocket s;
  std::vector<std::string> log;
  std::string got;
  bool inSend = false;
  s.OnChangeState = [&](TCustomWSocket*, TSocketState, TSocketState n) {
    log.push_back("state " + std::to_string(int(n)));
  };
  s.OnSessionConnected = [&](TCustomWSocket*, WORD e) {
    log.push_back("connected " + std::to_string(e));
  };
  s.OnDataSent = [&](TCustomWSocket*, WORD) {
    EXPECT_FALSE(inSend) << "OnDataSent must come from the message loop";
    log.push_back("sent");
  };
  s.OnDataAvailable = [&](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
  s.OnSessionClosed = [&](TCustomWSocket*, WORD e) { log.push_back("closed " + std::to_string(e)); };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
  s.Connect();
  EXPECT_EQ(s.State(), wsConnecting);
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
  inSend = true;
  EXPECT_EQ(s.SendString("0123456789"), 10);
  inSend = false;
  ASSERT_TRUE(WaitUntil([&] { return got == "0123456789"; }));
  EXPECT_EQ(s.ReadCount(), 10);
  EXPECT_EQ(s.WriteCount(), 10);
  s.Close();
  EXPECT_EQ(s.State(), wsClosed);
  // Opened, connecting, connected (state, then event), the connect's
  // FD_WRITE, the send's, then closed once.
  std::vector<std::string> want = {"state 1", "state 3", "state 5", "connected 0",
                                   "sent",    "sent",    "state 8", "closed 0"};
  EXPECT_EQ(log, want);
}

TEST(WSocket, ConnectRefusedReportsTheErrorAndCloses) {
  int port = yux::test::FreeLoopbackPort();
  TWSocket s;
  int connectErr = -1, closed = 0;
  s.OnSessionConnected = [&](TCustomWSocket*, WORD e) { connectErr = e; };
  s.OnSessionClosed = [&](TCustomWSocket*, WORD) { ++closed; };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return connectErr != -1 && s.State() == wsClosed; }));
  EXPECT_EQ(connectErr, 10061);
  yux::platform::ProcessMessagesFor(50);
  EXPECT_EQ(closed, 1);
}

TEST(WSocket, SendWhileConnectingFailsWithoutKillingTheConnect) {
  Server srv;
  TWSocket s;
  int connectErr = -1;
  s.OnSessionConnected = [&](TCustomWSocket*, WORD e) { connectErr = e; };
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  ASSERT_EQ(s.State(), wsConnecting);
  try {
    s.SendString("too early");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Socket is not connected (#10057 in Send)");
  }
  // Through OnError: nothing raised, -1 returned.
  bool errored = false;
  s.OnError = [&](TCustomWSocket*) { errored = true; };
  EXPECT_EQ(s.SendString("too early"), -1);
  EXPECT_TRUE(errored);
  EXPECT_EQ(s.LastError, 10057);
  ASSERT_TRUE(WaitUntil([&] { return connectErr == 0; }));
  EXPECT_EQ(s.State(), wsConnected);
}

TEST(WSocket, CloseDeliversEverythingHandedToTheNetwork) {
  YUX_REQUIRE_PROGRAM("socat");
  yux::test::TempDir dir;
  std::string file = (dir / "sink.bin").string();
  PeerProcess sink;
  int port = 0;
  ASSERT_TRUE(yux::test::StartSocatSink(sink, port, file));
  TWSocket s;
  const std::string data(3 * 1024 * 1024, 'q');
  bool closed = false;
  s.OnSessionConnected = [&](TCustomWSocket* w, WORD) { w->SendString(data); };
  // Close as soon as the last byte went to the network.
  s.OnDataSent = [&](TCustomWSocket* w, WORD) {
    if (w->WriteCount() == std::int64_t(data.size())) w->Close();
  };
  s.OnSessionClosed = [&](TCustomWSocket*, WORD) { closed = true; };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return closed; }, 8000));
  ASSERT_TRUE(WaitUntil([&] {
    std::error_code ec;
    return std::filesystem::file_size(file, ec) == data.size();
  }, 8000)) << std::filesystem::file_size(file);
}

TEST(WSocket, SendFromInsideOnSendDataSendsEachByteOnce) {
  Server srv;
  std::string got;
  srv.onAccepted = [&](TWSocket& c) {
    c.OnDataAvailable = [&](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
  };
  TWSocket s;
  const std::string head(20000, 'h');
  int nested = 0;
  s.OnSendData = [&](TCustomWSocket* w, int) {
    if (nested++ < 3) w->SendString("tail" + std::to_string(nested));
  };
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
  EXPECT_NO_THROW(s.SendString(head));
  const std::string want = head + "tail1tail2tail3";
  ASSERT_TRUE(WaitUntil([&] { return got.size() >= want.size(); }));
  yux::platform::ProcessMessagesFor(50);
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
  EXPECT_EQ(s.WriteCount(), std::int64_t(want.size()));
}

TEST(WSocket, AbortResetsTheConnectionAndCloseEndsItGracefully) {
  Server srv;
  std::vector<int> peerClose;
  srv.onAccepted = [&](TWSocket& c) {
    c.OnSessionClosed = [&](TCustomWSocket*, WORD e) { peerClose.push_back(e); };
  };
  for (bool abort : {true, false}) {
    SCOPED_TRACE(abort ? "Abort" : "Close");
    peerClose.clear();
    TWSocket s;
    s.SetAddr("127.0.0.1");
    s.SetPort(srv.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected && srv.clients.size() >= 1; }));
    size_t before = srv.clients.size();
    ASSERT_TRUE(WaitUntil([&] { return srv.clients.size() == before; }));
    if (abort)
      s.Abort();
    else
      s.Close();
    ASSERT_TRUE(WaitUntil([&] { return !peerClose.empty(); }));
    EXPECT_EQ(peerClose[0], abort ? 10054 : 0);
    srv.clients.clear();
  }
}

TEST(WSocket, CloseNotificationDrainsAllDataFirstEvenWithoutReceiveLoop) {
  Server srv;
  const std::string data(200000, 'z');
  srv.onAccepted = [&](TWSocket& c) {
    c.OnDataSent = [&](TCustomWSocket* w, WORD) {
      if (w->WriteCount() == std::int64_t(data.size())) w->Close();
    };
    c.SendString(data);
  };
  TWSocket s;
  s.ComponentOptions.Include(wsoNoReceiveLoop);
  std::int64_t atClose = -1;
  int closes = 0;
  s.OnDataAvailable = [&](TCustomWSocket* w, WORD) {
    char buf[1000];  // small reads: many events
    w->Receive(buf, sizeof buf);
  };
  s.OnSessionClosed = [&](TCustomWSocket* w, WORD e) {
    ++closes;
    atClose = w->ReadCount();
    w->Close();  // closing again from inside must not fire a second time
  };
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return closes > 0; }, 8000));
  yux::platform::ProcessMessagesFor(50);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(atClose, std::int64_t(data.size()));
}

TEST(WSocket, PropertyRulesWhileOpen) {
  Server srv;
  TWSocket s;
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  s.SetAddr(" 127.0.0.1 ");  // the same value: nothing happens
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { s.SetAddr("127.0.0.2"); }, "Cannot change Addr if not closed"},
      {[&] { s.SetPort("1"); }, "Cannot change Port if not closed"},
      {[&] { s.SetProto("udp"); }, "Cannot change Proto if not closed"},
      {[&] { s.SetLocalPort("1"); }, "Cannot change LocalPort if not closed"},
      {[&] { s.SetLocalAddr("1.2.3.4"); }, "Cannot change LocalAddr if not closed"},
      {[&] { s.Connect(); }, "Connect: Socket already in use"},
  };
  for (auto& [fn, text] : cases) {
    try {
      fn();
      ADD_FAILURE() << "no exception for " << text;
    } catch (const ESocketException& e) {
      EXPECT_STREQ(e.what(), text);
    }
  }
  TWSocket t;
  try {
    t.Connect();
    ADD_FAILURE();
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Connect: No Port Specified");
  }
}

TEST(WSocket, PausedSocketGetsNoEventsUntilResume) {
  Server srv;
  TWSocket s;
  std::string got;
  s.OnDataAvailable = [&](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected && srv.clients.size() == 1; }));
  s.Pause();
  srv.clients[0]->SendString("while paused");
  yux::platform::ProcessMessagesFor(100);
  EXPECT_EQ(got, "");
  s.Resume();
  ASSERT_TRUE(WaitUntil([&] { return got == "while paused"; }));
}

// A peer that sends and goes while the socket is paused (a throttle pause)
// is heard of after Resume: its data, then the close.
TEST(WSocket, CloseWhilePausedIsReportedAfterResume) {
  Server srv;
  TWSocket s;
  std::string got;
  bool closed = false;
  s.OnDataAvailable = [&](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
  s.OnSessionClosed = [&](TCustomWSocket*, WORD) { closed = true; };
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected && srv.clients.size() == 1; }));
  s.Pause();
  srv.clients[0]->SendString("last words");
  srv.clients[0]->Close();
  yux::platform::ProcessMessagesFor(100);
  EXPECT_FALSE(closed);
  s.Resume();
  ASSERT_TRUE(WaitUntil([&] { return closed; }));
  EXPECT_EQ(got, "last words");
}

TEST(WSocket, ServerSeesPeerAddressAndBothDirectionsWork) {
  Server srv;
  std::string serverGot;
  srv.onAccepted = [&](TWSocket& c) {
    c.OnDataAvailable = [&](TCustomWSocket* w, WORD) {
      serverGot += w->ReceiveAsString();
      if (serverGot == "ping") w->SendString("pong");
    };
  };
  TWSocket s;
  std::string got;
  s.OnSessionConnected = [&](TCustomWSocket* w, WORD) { w->SendString("ping"); };
  s.OnDataAvailable = [&](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return got == "pong"; }));
  EXPECT_EQ(srv.clients[0]->PeerAddressText(), "127.0.0.1");
  EXPECT_EQ(srv.clients[0]->GetPeerPort(), s.BoundPortText());
  EXPECT_EQ(srv.listener.State(), wsListening);
}

TEST(WSocket, ClosedDescriptorNumberNeverGetsTheOldSocketsMessages) {
  // A socket closed with notifications still queued, then reconnected at
  // once: the new connection must not see the old one's FD_CLOSE.
  Server srv;
  TWSocket s;
  int closes = 0;
  s.OnSessionClosed = [&](TCustomWSocket*, WORD) { ++closes; };
  s.OnDataAvailable = [&](TCustomWSocket* w, WORD) { w->ReceiveAsString(); };
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected && srv.clients.size() == 1; }));
  yux::platform::ProcessMessagesFor(20);
  srv.clients[0]->SendString("x");
  srv.clients[0]->Close();
  // Let the notifications be queued, not handed out.
  yux::platform::MSG m;
  ASSERT_TRUE(WaitUntil([&] {
    return yux::platform::PeekMessage(&m, s.Handle(), s.SelectMessage(), s.SelectMessage(),
                                      yux::platform::PM_NOREMOVE);
  }));
  SOCKET old = s.HSocket();
  s.Close();
  EXPECT_EQ(closes, 1);
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  EXPECT_NE(s.HSocket(), old);
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected && srv.clients.size() == 2; }));
  yux::platform::ProcessMessagesFor(100);
  EXPECT_EQ(s.State(), wsConnected);
  EXPECT_EQ(closes, 1);
}

TEST(WSocket, DnsLookupOfDottedTextAnswersAtOnceAndNamesGoThroughMessages) {
  TWSocket s;
  int done = -1;
  s.OnDnsLookupDone = [&](TCustomWSocket*, WORD e) { done = e; };
  s.DnsLookup("10.0.0.1");
  EXPECT_EQ(done, 0);
  EXPECT_EQ(s.LookupResult, "10.0.0.1");
  done = -1;
  s.DnsLookup("localhost");
  EXPECT_EQ(done, -1);  // not answered inside the call
  ASSERT_TRUE(WaitUntil([&] { return done != -1; }));
  EXPECT_EQ(done, 0);
  EXPECT_EQ(s.LookupResult, "127.0.0.1");
}

// Waits, without handling it, until the socket's lookup reply is queued.
bool LookupReplyQueued(TWSocket& s) {
  yux::platform::MSG m;
  for (int i = 0; i < 20000; ++i) {
    if (yux::platform::PeekMessage(&m, s.GetWindowHandle(), 0, 0, yux::platform::PM_NOREMOVE))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// A cancel either wins (one 10004, the reply ignored) or comes after the
// lookup finished (no exception, the reply reports the result): whichever
// happened, exactly one OnDnsLookupDone. A second lookup's reply marks the
// point where any late reply of the first would have been handled.
TEST(WSocket, CancelledLookupReportsOnceWhateverTheRace) {
  TWSocket s;
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TCustomWSocket*, WORD e) { done.push_back(e); };
  s.DnsLookup("localhost");
  EXPECT_NO_THROW(s.CancelLookup());
  ASSERT_TRUE(WaitUntil([&] { return !done.empty(); }));
  ASSERT_TRUE(done[0] == 10004 || done[0] == 0) << done[0];
  EXPECT_EQ(s.LookupResult, done[0] == 0 ? "127.0.0.1" : "");
  s.DnsLookup("localhost");
  ASSERT_TRUE(WaitUntil([&] { return done.size() >= 2; }));
  EXPECT_EQ(done, (std::vector<int>{done[0], 0}));
  EXPECT_EQ(s.LookupResult, "127.0.0.1");
}

TEST(WSocket, CancelOfAFinishedLookupLetsItsReplyReport) {
  TWSocket s;
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TCustomWSocket*, WORD e) { done.push_back(e); };
  s.DnsLookup("localhost");
  ASSERT_TRUE(LookupReplyQueued(s));
  EXPECT_NO_THROW(s.CancelLookup());
  ASSERT_TRUE(WaitUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done, std::vector<int>{0});
  EXPECT_EQ(s.LookupResult, "127.0.0.1");
}

// A new lookup started while the previous one's reply waits in the queue
// starts at once; the replaced lookup reports 10004 and its reply is
// ignored.
TEST(WSocket, LookupRightAfterAFinishedOneStartsTheNewOne) {
  TWSocket s;
  std::vector<std::pair<int, std::string>> done;
  s.OnDnsLookupDone = [&](TCustomWSocket* w, WORD e) { done.emplace_back(e, w->LookupResult); };
  s.DnsLookup("localhost");
  ASSERT_TRUE(LookupReplyQueued(s));
  EXPECT_NO_THROW(s.LookupNameOfAddress("127.0.0.1"));
  ASSERT_TRUE(WaitUntil([&] { return done.size() >= 2; }));
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].first, 10004);
  EXPECT_EQ(done[1].first, 0);
  EXPECT_NE(done[1].second, "127.0.0.1");  // the name, not the old address
  EXPECT_FALSE(done[1].second.empty());
}

TEST(WSocket, UdpDatagramsBothWays) {
  TWSocket server;
  server.SetProto("udp");
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  std::string got;
  server.OnDataAvailable = [&](TCustomWSocket* w, WORD) {
    char buf[100];
    TSockAddrIn from{};
    int len = sizeof from;
    int n = w->ReceiveFrom(buf, sizeof buf, reinterpret_cast<TSockAddr*>(&from), &len);
    if (n > 0) got.append(buf, size_t(n));
  };
  server.Listen();
  ASSERT_EQ(server.State(), wsConnected);
  TWSocket client;
  client.SetProto("udp");
  client.SetAddr("127.0.0.1");
  client.SetPort(server.BoundPortText());
  client.Connect();
  ASSERT_EQ(client.State(), wsConnected);
  client.SendString("dgram1");
  client.SendString("dgram2");
  ASSERT_TRUE(WaitUntil([&] { return got == "dgram1dgram2"; }));
}

}  // namespace

namespace {

// A file of n bytes that shows where each byte came from.
std::string FilePattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char('A' + (i * 31 + i / 977) % 26);
  return s;
}

// SIGPIPE left at its default (it ends the program) for one test.
struct DefaultSigPipe {
  void (*old)(int) = std::signal(SIGPIPE, SIG_DFL);
  ~DefaultSigPipe() { std::signal(SIGPIPE, old); }
};

}  // namespace

// A file sent straight from its descriptor and bytes sent straight from a
// buffer both go behind what is queued, in order, and wait for room when
// the peer does not read: the network fills, OnDataSent brings the sender
// back, and every byte arrives once.
TEST(WSocket, FileAndDirectSendsFollowTheQueueAndWaitForRoom) {
  yux::test::TempDir dir;
  const std::string content = FilePattern(3 * 1024 * 1024 + 17);
  yux::test::WriteFile(dir / "f.bin", content);
  int fd = ::open((dir / "f.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  Server srv;
  TWSocket* peer = nullptr;
  std::string got;
  srv.onAccepted = [&](TWSocket& c) {
    peer = &c;
    c.SetReceiveBufferSize(16384);
    c.Pause();
    c.OnDataAvailable = [&](TCustomWSocket* w, WORD) { got += w->ReceiveAsString(); };
  };
  TWSocket s;
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected && peer; }));
  s.SetSendBufferSize(16384);
  const std::string tail(200000, 't');
  std::int64_t off = 0;
  bool tailSent = false, waited = false, failed = false;
  auto step = [&] {
    while (off < std::int64_t(content.size())) {
      int n = s.SendFile(fd, off, int(std::min<std::int64_t>(1 << 20, content.size() - off)));
      if (n < 0) {
        failed = true;
        return;
      }
      off += n;
      if (!s.AllSent()) {
        waited = true;
        return;
      }
      if (n == 0) {
        failed = true;  // the file cannot have ended
        return;
      }
    }
    if (!tailSent) {
      tailSent = true;
      s.SendDirect(tail.data(), int(tail.size()));
    }
  };
  s.OnDataSent = [&](TCustomWSocket*, WORD) { step(); };
  s.PutTextInSendBuffer("HEAD:");
  step();
  ASSERT_TRUE(WaitUntil([&] { return waited || failed; }));
  EXPECT_FALSE(failed);
  EXPECT_LT(off, std::int64_t(content.size()));  // the network was full
  peer->Resume();
  const std::string want = "HEAD:" + content + tail;
  ASSERT_TRUE(WaitUntil([&] { return got.size() >= want.size() || failed; }));
  EXPECT_FALSE(failed);
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
  EXPECT_EQ(s.WriteCount(), std::int64_t(want.size()));
  ::close(fd);
}

// A file sent to a connection that can no longer send ends the connection
// with an error; the signal the system raises for it never ends the
// program.
TEST(WSocket, FileSendOnAConnectionThatCannotSendFailsWithoutEndingTheProgram) {
  DefaultSigPipe sigpipe;
  yux::test::TempDir dir;
  yux::test::WriteFile(dir / "f.bin", FilePattern(100000));
  int fd = ::open((dir / "f.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  Server srv;
  TWSocket s;
  bool closed = false;
  s.OnSessionClosed = [&](TCustomWSocket*, WORD) { closed = true; };
  s.SetAddr("127.0.0.1");
  s.SetPort(srv.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected && srv.clients.size() == 1; }));
  s.Shutdown(1);  // no more sending: the next send raises SIGPIPE
  EXPECT_EQ(s.SendFile(fd, 0, 100000), -1);
  EXPECT_TRUE(closed);
  EXPECT_EQ(s.State(), wsClosed);
  ::close(fd);
}
