// The HTTP server against real clients (curl as a subprocess while the
// test's event loop runs) and raw sockets.
#include "net/protocols/httpserver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "tests/peers/httppeers.h"
#include "tests/peers/peers.h"
// After the network suite's headers, whose Winsock names these define as
// macros.
#include <fcntl.h>
#include <unistd.h>

using namespace yux::net;
using yux::test::RawExchange;
using yux::test::RawHttpClient;
using yux::test::RunPumping;
using yux::test::StatusOf;
using yux::test::TempDir;
using yux::test::WriteFile;

namespace {

bool WaitUntil(const std::function<bool()>& pred, unsigned ms = 10000) {
  return yux::platform::WaitPumping(pred, ms, 2);
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char('a' + (i * 7 + i / 26) % 26);
  return s;
}

struct HttpFixture : ::testing::Test {
  TempDir root;
  THttpServer server;
  int port = 0;
  void SetUp() override {
    std::filesystem::create_directories(root / "www/sub");
    WriteFile(root / "www/index.html", "<html>home</html>");
    WriteFile(root / "www/a b.txt", "spaced");
    WriteFile(root / "www/k1000.bin", Pattern(1000));
    WriteFile(root / "www/sub/x.txt", "in sub");
    WriteFile(root / "secret.txt", "TOP-SECRET-OUTSIDE");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.SetDocDir((root / "www").string());
    server.Start();
    port = std::stoi(server.BoundPort());
  }
  std::string Url(const std::string& path) { return yux::test::LoopbackUrl(port, path); }
  yux::test::ProcessResult Curl(const std::vector<std::string>& args) {
    return yux::test::CurlPumping(args);
  }
};

TEST_F(HttpFixture, CurlGetsDocumentsHeadAndNotFound) {
  YUX_REQUIRE_PROGRAM("curl");
  struct Case {
    std::vector<std::string> args;
    std::string path;
    std::string wantInOutput;
  };
  const std::vector<Case> cases = {
      {{"-i"}, "/", "<html>home</html>"},
      {{"-i"}, "/a%20b.txt", "spaced"},
      {{"-i", "--http1.0"}, "/sub/x.txt", "HTTP/1.0 200 OK"},
      {{"-I"}, "/k1000.bin", "Content-Length: 1000"},
      {{"-i"}, "/nothere.txt", "HTTP/1.1 404 Not Found"},
      {{"-i"}, "/k1000.bin", "Accept-Ranges: bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto args = c.args;
    args.push_back(Url(c.path));
    auto r = Curl(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(c.wantInOutput), std::string::npos) << r.out;
  }
  auto head = Curl({"-I", Url("/k1000.bin")});
  EXPECT_EQ(head.out.find(Pattern(10)), std::string::npos) << "HEAD sends no body";
  auto body = Curl({Url("/k1000.bin")});
  EXPECT_EQ(body.out, Pattern(1000));
}

TEST_F(HttpFixture, CurlReusesAKeepAliveConnection) {
  YUX_REQUIRE_PROGRAM("curl");
  int connects = 0;
  server.OnClientConnect = [&](THttpServer*, THttpConnection*, WORD) { ++connects; };
  auto r = Curl({"-v", Url("/sub/x.txt"), Url("/a%20b.txt"), Url("/k1000.bin")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "in sub" + std::string("spaced") + Pattern(1000));
  EXPECT_NE(r.err.find("Re-using existing connection"), std::string::npos) << r.err;
  EXPECT_EQ(connects, 1);
}

TEST_F(HttpFixture, RequestLineGivesPathParamsAndDocument) {
  std::string path, params, doc;
  server.OnGetDocument = [&](THttpServer*, THttpConnection* c, THttpGetFlag&) {
    path = c->Path;
    params = c->Params;
    doc = c->Document;
  };
  auto r = RawExchange(port, "GET /a%20b.txt?x=1 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(StatusOf(r.data), 200);
  EXPECT_EQ(path, "/a%20b.txt");
  EXPECT_EQ(params, "x=1");
  EXPECT_EQ(doc, (root / "www/a b.txt").string());
}

TEST_F(HttpFixture, ConnectionLinesByVersionAndKeepAlive) {
  struct Case {
    std::string request;
    std::vector<std::string> want, wantNot;
    bool closed;
  };
  const std::vector<Case> cases = {
      {"GET /sub/x.txt HTTP/1.0\r\n\r\n", {}, {"Connection:", "Keep-Alive:"}, true},
      {"GET /sub/x.txt HTTP/1.0\r\nConnection: KEEP-alive\r\n\r\n",
       {"Connection: Keep-Alive\r\n", "Keep-Alive: timeout=10, max=99\r\n"}, {}, false},
      {"GET /sub/x.txt HTTP/1.1\r\nConnection: cLoSe\r\n\r\n", {"Connection: Close\r\n"}, {},
       true},
      {"GET /sub/x.txt HTTP/1.1\r\n\r\n", {}, {"Connection:"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    auto r = RawExchange(port, c.request, 1500);
    EXPECT_EQ(StatusOf(r.data), 200) << r.data;
    for (const auto& w : c.want) EXPECT_NE(r.data.find(w), std::string::npos) << r.data;
    for (const auto& w : c.wantNot) EXPECT_EQ(r.data.find(w), std::string::npos) << r.data;
    EXPECT_EQ(r.closed, c.closed) << r.data;
  }
}

TEST_F(HttpFixture, TheLastKeepAliveRequestClosesTheConnection) {
  server.MaxRequestsKeepAlive = 3;
  std::string one = "GET /sub/x.txt HTTP/1.1\r\nHost: h\r\n\r\n";
  auto r = RawExchange(port, one + one + one + one, 2000);
  EXPECT_EQ(yux::test::AnswerCount(r.data), 3) << r.data;
  size_t last = r.data.rfind("HTTP/1.1 200");
  EXPECT_NE(r.data.find("Connection: Close", last), std::string::npos);
  EXPECT_TRUE(r.closed);
}

// A folder's index file that is a link out of the document folder is
// refused as any other way out is.
TEST_F(HttpFixture, AnIndexFileLinkedOutOfTheFolderIsNotServed) {
  std::filesystem::create_directories(root / "www/trap");
  std::filesystem::create_symlink(root / "secret.txt", root / "www/trap/index.html");
  for (const char* path : {"/trap/", "/trap"}) {
    SCOPED_TRACE(path);
    auto r = RawExchange(port, std::string("GET ") + path + " HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(r.data.find("TOP-SECRET-OUTSIDE"), std::string::npos) << r.data;
    EXPECT_EQ(StatusOf(r.data), 403) << r.data;
  }
  // The same file by a link inside the folder is served.
  std::filesystem::create_directories(root / "www/fine");
  std::filesystem::create_symlink(root / "www/sub/x.txt", root / "www/fine/index.html");
  auto ok = RawExchange(port, "GET /fine/ HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(StatusOf(ok.data), 200) << ok.data;
  EXPECT_NE(ok.data.find("in sub"), std::string::npos) << ok.data;
}

TEST_F(HttpFixture, MaxClientsPlusOneGetsThe503Text) {
  server.Stop();
  server.MaxClients = 1;
  server.Start();
  port = std::stoi(server.BoundPort());
  RawHttpClient first(port, {}, 1500);
  ASSERT_TRUE(WaitUntil([&] { return server.ClientCount() == 1; }));
  auto r = RawExchange(port, "", 3000);
  EXPECT_EQ(r.data,
            "HTTP/1.0 503 Service Unavailable\r\nContent-type: text/plain\r\nContent-length: "
            "33\r\n\r\nServer overloaded. Retry later.\r\n");
  EXPECT_TRUE(r.closed);
  first.Wait();
}

// An answer the application builds itself (a page of its own after the
// connection was marked to close, or an empty one) goes out whole even
// when the request comes in long after the connection was set up, so
// that no send-room event is still on its way to push it out.
TEST_F(HttpFixture, AnApplicationAnswerGoesOutWholeOnAnIdleConnection) {
  struct Case {
    const char* name;
    bool closeAfter;
    std::string body;
  };
  const Case cases[] = {{"closing, with a page", true, std::string(3000, 'p') + "end"},
                        {"closing, empty", true, ""},
                        {"kept, with a page", false, "short page"},
                        {"kept, empty", false, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.OnGetDocument = [&](THttpServer*, THttpConnection* conn, THttpGetFlag& flags) {
      if (c.closeAfter) {
        conn->KeepAlive = false;
        conn->PrepareGracefulClose();
      }
      conn->AnswerWithText(flags, "401 Unauthorized", "text/html", "", c.body);
    };
    const int fd = yux::test::ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    // Everything the new connection's set-up posted is handled first.
    ASSERT_TRUE(WaitUntil([&] { return server.ClientCount() == 1; }));
    yux::platform::ProcessMessagesFor(200);
    yux::test::WriteAll(fd, "GET /x HTTP/1.1\r\nHost: h\r\n\r\n");
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string got;
    bool ended = false;
    const std::string head = "Content-Length: " + std::to_string(c.body.size()) + "\r\n";
    auto whole = [&] {
      char buf[4096];
      for (ssize_t n; (n = read(fd, buf, sizeof buf)) >= 0;) {
        if (n == 0) {
          ended = true;
          break;
        }
        got.append(buf, size_t(n));
      }
      const size_t end = got.find("\r\n\r\n");
      return end != std::string::npos && got.size() - end - 4 >= c.body.size() && (ended || !c.closeAfter);
    };
    EXPECT_TRUE(WaitUntil(whole, 10000)) << got.substr(0, 300);
    EXPECT_EQ(StatusOf(got), 401);
    EXPECT_NE(got.find(head), std::string::npos) << got.substr(0, 300);
    const size_t end = got.find("\r\n\r\n");
    EXPECT_EQ(end == std::string::npos ? std::string() : got.substr(end + 4), c.body);
    close(fd);
    ASSERT_TRUE(WaitUntil([&] { return server.ClientCount() == 0; }));
  }
}

}  // namespace
