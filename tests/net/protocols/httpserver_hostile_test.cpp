// Hostile input over raw sockets: each row the bytes sent, the status that
// must come back and whether the connection must end; no row may get a
// byte of a file outside the document folder.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "net/protocols/httpserver.h"
#include "platform/messages.h"
#include "tests/peers/httppeers.h"
// After the network suite's headers, whose Winsock names these define as
// macros.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace yux::net;
using yux::test::AnswerCount;
using yux::test::RawExchange;
using yux::test::RawHttpClient;
using yux::test::StatusOf;
using yux::test::TempDir;
using yux::test::WriteFile;

namespace {

const char kSecret[] = "TOP-SECRET-OUTSIDE";

struct HostileFixture : ::testing::Test {
  TempDir root;
  THttpServer server;
  int port = 0;
  void SetUp() override {
    namespace fs = std::filesystem;
    fs::create_directories(root / "www/sub");
    WriteFile(root / "www/sub/x.txt", "in sub");
    WriteFile(root / "www/a b.txt", "spaced");
    WriteFile(root / "www/big.txt", std::string(20000, 'z'));
    WriteFile(root / "www/k1000.bin", std::string(1000, 'k'));
    WriteFile(root / "secret.txt", kSecret);
    WriteFile(root / "wwwsibling.txt", kSecret);
    fs::create_symlink(root / "secret.txt", root / "www/link.txt");
    fs::create_directories(root / "outdir");
    WriteFile(root / "outdir/s.txt", kSecret);
    fs::create_directory_symlink(root / "outdir", root / "www/linkdir");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.SetDocDir((root / "www").string());
    server.Options.Include(hoContentEncoding);
    server.Start();
    port = std::stoi(server.BoundPort());
  }
};

TEST_F(HostileFixture, HostileInputTable) {
  const std::string h11 = " HTTP/1.1\r\nHost: h\r\n";
  struct Row {
    std::string name, bytes;
    int status;
    bool closed;
    std::string wantInAnswer;
  };
  std::string manyHeaders;
  for (int i = 0; i < 10000; ++i) manyHeaders += "X-H" + std::to_string(i) + ": v\r\n";
  std::string thousandRanges = "bytes=0-0";
  for (int i = 1; i < 1000; ++i) thousandRanges += ",0-0";
  const std::vector<Row> rows = {
      {"dot-dot", "GET /../secret.txt" + h11 + "\r\n", 404, false, ""},
      {"sub then up twice", "GET /sub/../../secret.txt" + h11 + "\r\n", 404, false, ""},
      {"encoded dots", "GET /%2e%2e/secret.txt" + h11 + "\r\n", 404, false, ""},
      {"encoded slash", "GET /..%2fsecret.txt" + h11 + "\r\n", 404, false, ""},
      {"all encoded", "GET /%2e%2e%2fsecret.txt" + h11 + "\r\n", 404, false, ""},
      {"sibling prefix", "GET /../wwwsibling.txt" + h11 + "\r\n", 404, false, ""},
      {"encoded backslash", "GET /..%5csecret.txt" + h11 + "\r\n", 400, true, ""},
      {"raw backslash", "GET /..\\secret.txt" + h11 + "\r\n", 400, true, ""},
      {"nul cuts nothing", "GET /secret.txt%00.html" + h11 + "\r\n", 400, true, ""},
      {"control character", "GET /a%01b" + h11 + "\r\n", 400, true, ""},
      {"overlong utf-8 dots", "GET /%c0%ae%c0%ae/secret.txt" + h11 + "\r\n", 404, false, ""},
      {"file link out", "GET /link.txt" + h11 + "\r\n", 403, false, ""},
      {"folder link out", "GET /linkdir/s.txt" + h11 + "\r\n", 403, false, ""},
      {"length -1", "POST /x" + h11 + "Content-Length: -1\r\n\r\n", 400, true, ""},
      {"length overflow", "GET /sub/x.txt" + h11 + "Content-Length: 99999999999999999999\r\n\r\n",
       400, true, ""},
      {"length not digits", "GET /sub/x.txt" + h11 + "Content-Length: 12abc\r\n\r\n", 400, true,
       ""},
      {"two lengths", "POST /x" + h11 + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400,
       true, ""},
      {"chunked", "POST /x" + h11 + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", 501,
       true, ""},
      {"1000 ranges", "GET /k1000.bin" + h11 + "Range: " + thousandRanges + "\r\n\r\n", 200, false,
       "Content-Length: 1000\r\n"},
      {"overlapping ranges", "GET /k1000.bin" + h11 + "Range: bytes=0-600,100-900\r\n\r\n", 200,
       false, "Content-Length: 1000\r\n"},
      {"deflate refused", "GET /big.txt" + h11 + "Accept-Encoding: deflate;q=0\r\n\r\n", 200,
       false, "Content-Length: 20000\r\n"},
      {"100 KB header line", "GET /sub/x.txt" + h11 + "X-Long: " + std::string(100000, 'a') +
       "\r\n\r\n", 400, true, ""},
      {"10000 header lines", "GET /sub/x.txt" + h11 + manyHeaders + "\r\n", 400, true, ""},
      {"unknown version", "GET /sub/x.txt XTTP/9.9\r\nHost: h\r\n\r\n", 400, true,
       "HTTP/1.1 400 Bad Request\r\n"},
      {"100 KB request line", "GET /" + std::string(100000, 'a') + h11 + "\r\n", 400, true, ""},
      {"blank before a colon", "POST /x" + h11 + "Transfer-Encoding : chunked\r\nContent-Length: 3\r\n\r\nabc",
       400, true, ""},
      {"tab before a colon", "GET /sub/x.txt" + h11 + "Host\t: h\r\n\r\n", 400, true, ""},
      {"name no file can have", "GET /" + std::string(300, 'n') + h11 + "\r\n", 404, false, ""},
      {"path no file can have", "GET " + [] {
         std::string p;
         while (p.size() < 4050) p += "/" + std::string(80, 'p');
         return p;
       }() + h11 + "\r\n", 404, false, ""},
      {"5000 byte target", "GET /" + std::string(5000, 'u') + h11 + "\r\n", 414, true,
       "HTTP/1.1 414 Request-URI Too Long\r\n"},
  };
  // Each row is followed by a second request on the same connection: a
  // connection that stays open answers it too, then closes.
  const std::string follow = "GET /sub/x.txt HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto got = RawExchange(port, r.bytes + follow, 5000);
    EXPECT_TRUE(got.closed);
    EXPECT_EQ(StatusOf(got.data), r.status) << got.data.substr(0, 400);
    EXPECT_EQ(AnswerCount(got.data), r.closed ? 1 : 2) << got.data.substr(0, 400);
    if (!r.closed) EXPECT_EQ(StatusOf(got.data, 1), 200);
    EXPECT_EQ(got.data.find(kSecret), std::string::npos);
    if (!r.wantInAnswer.empty())
      EXPECT_NE(got.data.find(r.wantInAnswer), std::string::npos) << got.data.substr(0, 400);
    EXPECT_EQ(got.data.find("Content-Encoding"), std::string::npos);
  }
  // The server survived all of it.
  EXPECT_EQ(StatusOf(RawExchange(port, "GET /sub/x.txt HTTP/1.0\r\n\r\n").data), 200);
}

TEST_F(HostileFixture, AGetWithABodyNeverHasItsBodyReadAsARequest) {
  // The body looks like a request for a file that does not exist; it
  // must be dropped, and the real second request answered.
  std::string fake = "GET /fake-request HTTP/1.1\r\nHost: h\r\n\r\n";
  std::string req = "GET /sub/x.txt HTTP/1.1\r\nHost: h\r\nContent-Length: " +
                    std::to_string(fake.size()) + "\r\n\r\n" + fake +
                    "GET /a%20b.txt HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  std::vector<std::string> paths;
  server.OnGetDocument = [&](THttpServer*, THttpConnection* c, THttpGetFlag&) {
    paths.push_back(c->Path);
  };
  // Whole, and cut into small pieces.
  for (std::vector<std::string> pieces :
       {std::vector<std::string>{req},
        std::vector<std::string>{req.substr(0, 30), req.substr(30, 40), req.substr(70)}}) {
    paths.clear();
    RawHttpClient c(port, pieces, 1500);
    const auto& got = c.Wait();
    EXPECT_EQ(AnswerCount(got.data), 2) << got.data;
    EXPECT_EQ(StatusOf(got.data, 0), 200);
    EXPECT_EQ(StatusOf(got.data, 1), 200);
    EXPECT_NE(got.data.find("in sub"), std::string::npos);
    EXPECT_NE(got.data.find("spaced"), std::string::npos);
    EXPECT_EQ(paths, (std::vector<std::string>{"/sub/x.txt", "/a%20b.txt"}));
    EXPECT_TRUE(got.closed);
  }
}

TEST_F(HostileFixture, PipelinedRequestsAreAnsweredInOrderWithoutInterleaving) {
  std::string big = "GET /big.txt HTTP/1.1\r\nHost: h\r\n\r\n";
  std::string small = "GET /sub/x.txt HTTP/1.1\r\nHost: h\r\n\r\n";
  std::string last = "GET /sub/x.txt HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  auto got = RawExchange(port, big + small + big + last, 5000);
  ASSERT_EQ(AnswerCount(got.data), 4) << got.data.substr(0, 300);
  std::string want = "HTTP/1.1 200 OK";
  size_t p1 = got.data.find("zzzz"), p2 = got.data.find("in sub");
  EXPECT_LT(p1, p2);
  // Each answer's body is whole before the next status line.
  size_t second = got.data.find(want, 1);
  EXPECT_EQ(std::count(got.data.begin(), got.data.begin() + long(second), 'z'), 20000);
}

TEST_F(HostileFixture, AnUnacceptedPostIsDroppedInPiecesThenTheNextRequestIsRead) {
  std::string body(3000, 'p');
  std::string req = "POST /form HTTP/1.1\r\nHost: h\r\nContent-Length: 3000\r\n\r\n" + body +
                    "GET /sub/x.txt HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  auto got = RawExchange(port, req, 1500);
  EXPECT_EQ(StatusOf(got.data, 0), 404);
  EXPECT_EQ(StatusOf(got.data, 1), 200);
  EXPECT_NE(got.data.find("in sub"), std::string::npos);
}

TEST_F(HostileFixture, APostWithoutLengthIsRefusedAndAZeroLengthPostLeavesTheConnectionUsable) {
  auto bad = RawExchange(port, "POST /x HTTP/1.1\r\nHost: h\r\n\r\n", 1500);
  EXPECT_EQ(StatusOf(bad.data), 400);
  EXPECT_TRUE(bad.closed);
  auto ok = RawExchange(port,
                        "POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n"
                        "GET /sub/x.txt HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n",
                        1500);
  EXPECT_EQ(StatusOf(ok.data, 0), 404);
  EXPECT_EQ(StatusOf(ok.data, 1), 200);
}

TEST_F(HostileFixture, AnIdleKeepAliveConnectionIsDroppedAfterItsTime) {
  server.SetKeepAliveTimeSec(1);
  server.Stop();
  server.Start();
  port = std::stoi(server.BoundPort());
  WORD dropError = 0;
  server.OnClientDisconnect = [&](THttpServer*, THttpConnection*, WORD e) { dropError = e; };
  // The client waits far longer than the server's idle time.
  RawHttpClient c(port, {"GET /sub/x.txt HTTP/1.1\r\nHost: h\r\n\r\n"}, 15000);
  const auto& got = c.Wait(30000);
  EXPECT_EQ(StatusOf(got.data), 200);
  EXPECT_TRUE(got.closed);
  EXPECT_EQ(dropError, 10053);
  EXPECT_EQ(server.ClientCount(), 0);
}

TEST_F(HostileFixture, ARequestThatTricklesInIsDroppedAtItsDeadline) {
  // A byte every quarter second keeps a connection busy for ever unless
  // the whole request has a deadline: in the header, or in the body.
  server.RequestTimeoutSec = 2;
  struct Row {
    const char* name;
    std::string head;
  };
  const Row rows[] = {{"header", "GET /sub/x.txt HTTP/1.1\r\nHost: h\r\nX-Slow: "},
                      {"body", "POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 1000\r\n\r\n"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::atomic<bool> done{false};
    bool ended = false;
    double seconds = 0;
    std::thread client([&] {
      const int fd = yux::test::ConnectLoopback(port);
      const auto start = std::chrono::steady_clock::now();
      auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      };
      for (size_t i = 0; !ended && elapsed() < 20; ++i) {
        const char byte = i < r.head.size() ? r.head[i] : 'a';
        if (::send(fd, &byte, 1, MSG_NOSIGNAL) != 1) ended = true;
        pollfd p{fd, POLLIN, 0};
        if (!ended && ::poll(&p, 1, 250) > 0) {
          char buf[4096];
          ssize_t n = ::recv(fd, buf, sizeof buf, 0);
          if (n <= 0) ended = true;  // answers before the end (404 for the body) are read on
        }
      }
      seconds = elapsed();
      ::close(fd);
      done = true;
    });
    yux::platform::WaitPumping([&] { return done.load(); }, 40000, 5);
    client.join();
    EXPECT_TRUE(ended);
    EXPECT_GE(seconds, 2.0);
    EXPECT_LT(seconds, 20.0);
  }
  // A request that comes whole is not concerned, however long the
  // connection lived.
  EXPECT_EQ(StatusOf(RawExchange(port, "GET /sub/x.txt HTTP/1.0\r\n\r\n").data), 200);
}

TEST_F(HostileFixture, AClientThatClosesInMidAnswerIsReleased) {
  WriteFile(root / "www/huge.bin", std::string(8 << 20, 'h'));
  RawHttpClient c(port, {"GET /huge.bin HTTP/1.1\r\nHost: h\r\n\r\n"}, 3000, true);
  c.Wait();
  EXPECT_TRUE(yux::platform::WaitPumping([&] { return server.ClientCount() == 0; }, 10000, 2));
  EXPECT_EQ(StatusOf(RawExchange(port, "GET /sub/x.txt HTTP/1.0\r\n\r\n").data), 200);
}

}  // namespace
