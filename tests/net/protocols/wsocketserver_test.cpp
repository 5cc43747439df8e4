// The socket server: accept, banners, the client limit, numbering and the
// deferred release of closed clients, against raw loopback clients.
#include "net/protocols/wsocketserver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "tests/peers/httppeers.h"

using namespace yux::net;
using yux::test::RawHttpClient;

namespace {

bool WaitUntil(const std::function<bool()>& pred, unsigned ms = 10000) {
  return yux::platform::WaitPumping(pred, ms, 2);
}

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

}  // namespace
