// The socket server: accept, banners, the client limit, numbering and the
// deferred release of closed clients, against raw loopback clients.
#include "net/protocols/wsocketserver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "tests/peers/httppeers.h"
// After the network suite's headers, whose Winsock names these define as
// macros.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

using namespace yux::net;
using yux::test::RawHttpClient;

namespace {

bool WaitUntil(const std::function<bool()>& pred, unsigned ms = 10000) {
  return yux::platform::WaitPumping(pred, ms, 2);
}

// What arrived on the connection, up to `want` bytes or its end, pumping
// messages meanwhile (at most `ms`).
std::string ReadSome(int fd, size_t want, unsigned ms = 10000) {
  std::string got;
  bool ended = false;
  WaitUntil([&] {
    char buf[256];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        got.append(buf, size_t(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended = true;
      break;
    }
    return ended || got.size() >= want;
  }, ms);
  return got;
}

// Takes every descriptor the process may still open, until it ends.
struct DescriptorsExhausted {
  rlimit saved{};
  std::vector<int> fillers;
  DescriptorsExhausted() {
    getrlimit(RLIMIT_NOFILE, &saved);
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd)
      if (::fcntl(fd, F_GETFD) != -1) highest = fd;
    rlimit low = saved;
    low.rlim_cur = rlim_t(highest + 8);
    setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
  }
  ~DescriptorsExhausted() { End(); }
  void End() {
    for (int fd : fillers) ::close(fd);
    fillers.clear();
    setrlimit(RLIMIT_NOFILE, &saved);
  }
};

struct ServerFixture {
  TWSocketServer server;
  std::vector<std::string> log;
  ServerFixture() {
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.OnClientConnect = [this](TCustomWSocketServer*, TWSocketClient* c, WORD e) {
      log.push_back("connect " + std::to_string(c->SerialId) + " " + std::to_string(e));
    };
    server.OnClientDisconnect = [this](TCustomWSocketServer*, TWSocketClient* c, WORD e) {
      log.push_back("disconnect " + std::to_string(c->SerialId) + " " + std::to_string(e) + " " +
                    c->PeerAddressText());
    };
    server.Listen();
  }
  int Port() { return std::stoi(server.BoundPortText()); }
};

TEST(WSocketServer, BannerAndTooBusyByClientLimit) {
  struct Case {
    int maxClients;
    std::string banner;
    std::vector<std::string> want;  // what each of three clients reads
  };
  const std::vector<Case> cases = {
      {2, "hello", {"hello\r\n", "hello\r\n", "Sorry, too many clients\r\n"}},
      {0, "hello", {"hello\r\n", "hello\r\n", "hello\r\n"}},
      {1, "", {"", "Sorry, too many clients\r\n", "Sorry, too many clients\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("MaxClients " + std::to_string(c.maxClients) + " banner '" + c.banner + "'");
    ServerFixture f;
    f.server.MaxClients = c.maxClients;
    f.server.Banner = c.banner;
    std::vector<std::unique_ptr<RawHttpClient>> clients;
    for (int i = 0; i < 3; ++i) {
      // One after another, so that each is accepted before the next.
      clients.push_back(std::make_unique<RawHttpClient>(f.Port(), std::vector<std::string>{}, 1500));
      ASSERT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() >= i + 1 || clients[i]->Done(); }));
    }
    for (int i = 0; i < 3; ++i) {
      const auto& r = clients[size_t(i)]->Wait();
      EXPECT_EQ(r.data, c.want[size_t(i)]) << "client " << i;
    }
    // Refused clients were closed by the server and released.
    int refused = c.maxClients == 0 ? 0 : 3 - c.maxClients;
    EXPECT_TRUE(WaitUntil([&] { return int(f.log.size()) >= 3 + refused; }));
  }
}

// One peer address holds at most MaxClientsPerAddress connections: its
// next one is told the server is busy and closed, while another address is
// still greeted; a place its close frees is taken again.
TEST(WSocketServer, ClientLimitPerAddress) {
  ServerFixture f;
  f.server.MaxClientsPerAddress = 2;
  f.server.Banner = "hello";
  struct Step {
    const char* from;
    std::string want;  // what the connection reads
    bool closed;       // the server ended it
  };
  const Step steps[] = {{"127.0.0.2", "hello\r\n", false},
                        {"127.0.0.2", "hello\r\n", false},
                        {"127.0.0.2", "Sorry, too many clients\r\n", true},
                        {"127.0.0.1", "hello\r\n", false}};
  std::vector<int> fds;
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(s.from) + " #" + std::to_string(fds.size()));
    const int fd = yux::test::ConnectLoopback(f.Port(), s.from);
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
    EXPECT_EQ(ReadSome(fd, s.want.size()), s.want);
    EXPECT_EQ(ReadSome(fd, 1, s.closed ? 10000 : 300), "");
  }
  EXPECT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 3; }));
  EXPECT_EQ(f.server.ConnectionsFrom("127.0.0.2"), 2);
  ::close(fds[0]);
  ASSERT_TRUE(WaitUntil([&] { return f.server.ConnectionsFrom("127.0.0.2") == 1; }));
  const int again = yux::test::ConnectLoopback(f.Port(), "127.0.0.2");
  ASSERT_GE(again, 0);
  EXPECT_EQ(ReadSome(again, 7), "hello\r\n");
  ::close(again);
  for (size_t i = 1; i < fds.size(); ++i) ::close(fds[i]);
}

// A connection the server is ending no longer takes one of its address's
// places: one whose peer's end of stream has arrived but whose close
// notice is still to be handled (the client closed it and opened the next
// at once), and one the server shut after its last answer.  The address's
// next connection at the limit is greeted, not told the server is busy.
TEST(WSocketServer, EndingConnectionsLeaveTheirPlaceAtOnce) {
  const struct {
    const char* name;
    bool peerCloses;  // else the server shuts its sending side
  } cases[] = {{"peer's close not handled yet", true}, {"shut by the server", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerFixture f;
    f.server.MaxClientsPerAddress = 2;
    f.server.Banner = "hello";
    std::vector<int> fds;
    for (int i = 0; i < 2; ++i) {
      fds.push_back(yux::test::ConnectLoopback(f.Port(), "127.0.0.2"));
      ASSERT_GE(fds.back(), 0);
      ASSERT_EQ(ReadSome(fds.back(), 7), "hello\r\n");
    }
    ASSERT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 2; }));
    TWSocketClient* first = f.server.ConnectionAt(0);
    if (c.peerCloses) {
      // Its close notice comes only after the next accept.
      first->Pause();
      ::close(fds[0]);
      fds[0] = -1;
      ASSERT_TRUE(WaitUntil([&] {
        pollfd p{int(first->HSocket()), POLLRDHUP, 0};
        return ::poll(&p, 1, 0) == 1;
      }));
    } else {
      first->Shutdown(1);
    }
    const int next = yux::test::ConnectLoopback(f.Port(), "127.0.0.2");
    ASSERT_GE(next, 0);
    EXPECT_EQ(ReadSome(next, 7), "hello\r\n");
    EXPECT_EQ(ReadSome(next, 1, 300), "");
    EXPECT_EQ(f.server.ConnectionsFrom("127.0.0.2"), 2);
    if (c.peerCloses) {
      first->Resume();
      EXPECT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 2; }));
    }
    ::close(next);
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
}

// Connections the server ended but whose peers never close count again
// once the address holds more of them than its places: it cannot take
// every place that way, while another address is still greeted.
TEST(WSocketServer, EndedConnectionsThatPeersKeepOpenAreBounded) {
  ServerFixture f;
  f.server.MaxClientsPerAddress = 2;
  f.server.Banner = "hello";
  std::vector<int> fds;
  auto connect = [&](const char* from) {
    fds.push_back(yux::test::ConnectLoopback(f.Port(), from));
    return ReadSome(fds.back(), 7);
  };
  // Each greeted connection is shut by the server at once; its peer keeps
  // it open.
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(connect("127.0.0.2"), "hello\r\n");
    ASSERT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == i + 1; }));
    f.server.ConnectionAt(i)->Shutdown(1);
  }
  EXPECT_EQ(connect("127.0.0.2"), "Sorry, too many clients\r\n");
  EXPECT_EQ(connect("127.0.0.1"), "hello\r\n");
  for (int fd : fds) ::close(fd);
}

TEST(WSocketServer, ClosedClientsAreReleasedThroughTheQueueWithTheirAddress) {
  ServerFixture f;
  f.server.Banner = "";
  {
    RawHttpClient c(f.Port(), {"x"}, 100);
    c.Wait();
  }
  ASSERT_TRUE(WaitUntil([&] { return f.log.size() == 2; }));
  EXPECT_EQ(f.log[0], "connect 1 0");
  EXPECT_EQ(f.log[1], "disconnect 1 0 127.0.0.1");
  EXPECT_EQ(f.server.ConnectionCount(), 0);
}

TEST(WSocketServer, ConnectHandlerThatClosesSkipsTheBanner) {
  ServerFixture f;
  f.server.Banner = "hello";
  f.server.OnClientConnect = [](TCustomWSocketServer*, TWSocketClient* c, WORD) { c->Close(); };
  RawHttpClient c(f.Port(), {}, 2000);
  const auto& r = c.Wait();
  EXPECT_EQ(r.data, "");
  EXPECT_TRUE(r.closed);
  EXPECT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 0; }));
}

TEST(WSocketServer, DropClientFiresAbortedAndFreesAtOnceAndCloseTwicePostsOnce) {
  ServerFixture f;
  f.server.Banner = "";
  RawHttpClient a(f.Port(), {}, 3000), b(f.Port(), {}, 3000);
  ASSERT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 2; }));
  TWSocketClient* first = f.server.ConnectionAt(0);
  f.server.DropClient(first);
  EXPECT_EQ(f.server.ConnectionCount(), 1);
  ASSERT_EQ(f.log.size(), 3u);
  EXPECT_EQ(f.log[2], "disconnect 1 10053 127.0.0.1");
  // A close followed by an abort: one notice only.
  TWSocketClient* second = f.server.ConnectionAt(0);
  second->Close();
  second->Abort();
  ASSERT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 0; }));
  yux::platform::ProcessMessagesFor(100);
  EXPECT_EQ(std::count_if(f.log.begin(), f.log.end(),
                          [](const std::string& s) { return s.rfind("disconnect 2", 0) == 0; }),
            1);
  EXPECT_EQ(f.server.DropAllClients(), 0);
  a.Wait();
  b.Wait();
}

TEST(WSocketServer, SerialNumbersWrapToOneAndNameTheClients) {
  ServerFixture f;
  f.server.Banner = "";
  f.server.Name = "Srv";
  std::vector<std::string> names;
  f.server.OnClientConnect = [&](TCustomWSocketServer*, TWSocketClient* c, WORD) {
    names.push_back(c->Name);
  };
  f.server.SetLastSerial(2147483646);
  RawHttpClient a(f.Port(), {}, 200);
  ASSERT_TRUE(WaitUntil([&] { return names.size() == 1; }));
  RawHttpClient b(f.Port(), {}, 200);
  ASSERT_TRUE(WaitUntil([&] { return names.size() == 2; }));
  EXPECT_EQ(names[0], "SrvClient2147483647");
  EXPECT_EQ(names[1], "SrvClient1");
  a.Wait();
  b.Wait();
}

TEST(WSocketServer, ClientsOfAnotherClassAndFreedWithTheServer) {
  struct Counting : TWSocketClient {
    explicit Counting(int* alive) : alive_(alive) { ++*alive_; }
    ~Counting() override { --*alive_; }
    int* alive_;
  };
  int alive = 0;
  {
    ServerFixture f;
    f.server.Banner = "";
    f.server.ConnectionClass = [&] { return new Counting(&alive); };
    RawHttpClient a(f.Port(), {}, 500);
    ASSERT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 1; }));
    EXPECT_EQ(alive, 1);
    a.Wait();
    f.server.DropAllClients();
  }
  EXPECT_EQ(alive, 0);
}

TEST(WSocketServer, AcceptWithoutDescriptorsLeftIsReportedAndResumesLater) {
  ServerFixture f;
  f.server.Banner = "hello";
  std::vector<std::string> errors;
  f.server.OnAcceptError = [&](TCustomWSocketServer*, int error, const std::string& message) {
    errors.push_back(std::to_string(error) + " " + message);
  };
  // (The sanitizers check some calls through a pipe: the code that runs
  // while no descriptor is left has run once before, so that their cache
  // knows it.)
  {
    int warm = yux::test::ConnectLoopback(f.Port());
    EXPECT_EQ(ReadSome(warm, 7), "hello\r\n");
    ::close(warm);
    ASSERT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 0; }));
  }
  std::vector<int> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(yux::test::ConnectLoopback(f.Port()));
    ASSERT_GE(clients.back(), 0);
  }
  // Every descriptor the process may have is taken.  What is seen then is
  // checked once they are free again (a failed check prints through
  // streams that may need one).
  DescriptorsExhausted exhausted;
  const bool filled = !exhausted.fillers.empty() && ::open("/dev/null", O_RDONLY) == -1;
  const bool reported = WaitUntil([&] { return !errors.empty(); });
  const int countAfterFailure = f.server.ConnectionCount();
  const TSocketState stateAfterFailure = f.server.State();
  const DWORD firstPause = f.server.AcceptPauseMs();
  // Failures in a row lengthen the pause, within its maximum.
  const bool again = WaitUntil([&] { return errors.size() >= 3; });
  const DWORD laterPause = f.server.AcceptPauseMs();
  exhausted.End();

  ASSERT_TRUE(filled);
  ASSERT_TRUE(reported);
  EXPECT_EQ(errors[0].rfind("10024 Too many open files", 0), 0u) << errors[0];
  // No half-made client is left, and the listener stays, pausing.
  EXPECT_EQ(countAfterFailure, 0);
  EXPECT_EQ(stateAfterFailure, wsListening);
  EXPECT_GT(firstPause, 0u);
  EXPECT_TRUE(again);
  EXPECT_GT(laterPause, f.server.AcceptRetryMs);
  EXPECT_LE(laterPause, f.server.AcceptRetryMaxMs);
  // Accepting resumes by itself and every waiting client is served.
  ASSERT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 3; }));
  for (int fd : clients) {
    EXPECT_EQ(ReadSome(fd, 7), "hello\r\n");
    ::close(fd);
  }
  EXPECT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 0; }));
  EXPECT_EQ(f.server.AcceptPauseMs(), 0u);
}

// A connection that would leave the rest of the process too few
// descriptors is refused as one without a descriptor is: reported, the
// listener pausing, and served once there is room again.
TEST(WSocketServer, AConnectionLeavingTooFewDescriptorsIsRefusedAndTheListenerStays) {
  ServerFixture f;
  f.server.Banner = "hello";
  std::vector<std::string> errors;
  f.server.OnAcceptError = [&](TCustomWSocketServer*, int error, const std::string& message) {
    errors.push_back(std::to_string(error) + " " + message);
  };
  rlimit r{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &r), 0);
  ASSERT_NE(r.rlim_cur, RLIM_INFINITY);
  // More than the process may ever have: every connection is one too many.
  f.server.DescriptorHeadroom = long(r.rlim_cur) + 1;
  int refused = yux::test::ConnectLoopback(f.Port());
  ASSERT_GE(refused, 0);
  EXPECT_EQ(ReadSome(refused, 7), "");
  ::close(refused);
  ASSERT_TRUE(WaitUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors[0].rfind("10024 Too many open files", 0), 0u) << errors[0];
  EXPECT_EQ(f.server.ConnectionCount(), 0);
  EXPECT_EQ(f.server.State(), wsListening);
  EXPECT_GT(f.server.AcceptPauseMs(), 0u);
  // With room again the next client is served as usual.
  f.server.DescriptorHeadroom = 16;
  int served = yux::test::ConnectLoopback(f.Port());
  ASSERT_GE(served, 0);
  EXPECT_EQ(ReadSome(served, 7), "hello\r\n");
  ::close(served);
  EXPECT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 0; }));
}

TEST(WSocketServer, AFailingClientHandlerEndsThatClientOnly) {
  // Each event in turn throws for the first client; the listener serves
  // the next one as usual.
  for (const char* failing : {"create", "connect", "disconnect"}) {
    SCOPED_TRACE(failing);
    const std::string which = failing;
    ServerFixture f;
    f.server.Banner = "hello";
    std::vector<std::string> errors;
    f.server.OnAcceptError = [&](TCustomWSocketServer*, int error, const std::string& message) {
      errors.push_back(std::to_string(error) + " " + message);
    };
    auto throwFor = [&](const std::string& event, TWSocketClient* c) {
      if (event == which && c->SerialId == 1) throw std::runtime_error("handler failed on " + event);
    };
    f.server.OnClientCreate = [&](TCustomWSocketServer*, TWSocketClient* c) { throwFor("create", c); };
    f.server.OnClientConnect = [&](TCustomWSocketServer*, TWSocketClient* c, WORD) { throwFor("connect", c); };
    f.server.OnClientDisconnect = [&](TCustomWSocketServer*, TWSocketClient* c, WORD) { throwFor("disconnect", c); };
    int first = yux::test::ConnectLoopback(f.Port());
    ASSERT_GE(first, 0);
    if (which == "disconnect") {
      EXPECT_EQ(ReadSome(first, 7), "hello\r\n");
      ::close(first);
    } else {
      // Ended without its banner.
      EXPECT_EQ(ReadSome(first, 7), "");
      ::close(first);
    }
    ASSERT_TRUE(WaitUntil([&] { return errors.size() == 1 && f.server.ConnectionCount() == 0; }))
        << errors.size() << " " << f.server.ConnectionCount();
    EXPECT_EQ(errors[0], "0 handler failed on " + which);
    EXPECT_EQ(f.server.State(), wsListening);
    int second = yux::test::ConnectLoopback(f.Port());
    ASSERT_GE(second, 0);
    EXPECT_EQ(ReadSome(second, 7), "hello\r\n");
    ::close(second);
    EXPECT_TRUE(WaitUntil([&] { return f.server.ConnectionCount() == 0; }));
  }
}

}  // namespace
