// Document files through the HTTP server and curl: whole and by ranges,
// plain and compressed, on a reused connection and on one connection per
// answer, compared byte for byte with the file.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "net/protocols/httpserver.h"
#include "platform/messages.h"
#include "tests/peers/httppeers.h"

using namespace yux::net;
using yux::test::RawExchange;
using yux::test::RawHttpClient;
using yux::test::ReadFile;
using yux::test::RunPumping;
using yux::test::StatusOf;
using yux::test::TempDir;
using yux::test::WriteFile;

namespace {

// Text that compresses, and whose bytes show where they came from.
std::string NumberedText(size_t n) {
  std::string s;
  s.reserve(n + 64);
  for (size_t line = 0; s.size() < n; ++line)
    s += "line " + std::to_string(line) + " at byte " + std::to_string(s.size()) + "\n";
  s.resize(n);
  return s;
}

struct DocumentFixture : ::testing::Test {
  TempDir root;
  THttpServer server;
  int port = 0;
  // 3 MiB and a little: no multiple of a block (8 KiB), a read for one
  // send (64 KiB) or a turn's share (2 MiB), and under the largest size
  // that is compressed.
  const std::string big = NumberedText((3u << 20) + 4097);
  // Below the size sent straight from the file.
  const std::string small = NumberedText(60001);
  void SetUp() override {
    std::filesystem::create_directories(root / "www");
    WriteFile(root / "www/big.txt", big);
    WriteFile(root / "www/small.txt", small);
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.SetDocDir((root / "www").string());
    server.Options.Include(hoContentEncoding);
    server.Start();
    port = std::stoi(server.BoundPort());
  }
};

struct Fetch {
  std::string path;
  std::string range;  // curl's -r value; empty: the whole document
  bool gzip = false;
};

// The bytes of a range as curl gives it ("a-b", "a-", "-n").
std::string Slice(const std::string& doc, const std::string& range) {
  if (range.empty()) return doc;
  size_t dash = range.find('-');
  if (dash == 0) return doc.substr(doc.size() - std::stoul(range.substr(1)));
  size_t a = std::stoul(range.substr(0, dash));
  if (dash + 1 == range.size()) return doc.substr(a);
  size_t b = std::stoul(range.substr(dash + 1));
  return doc.substr(a, b - a + 1);
}

TEST_F(DocumentFixture, WholeAndRangesPlainAndCompressedByteForByte) {
  YUX_REQUIRE_PROGRAM("curl");
  std::vector<Fetch> fetches;
  for (bool gzip : {false, true}) {
    for (const char* range : {"", "0-99", "1500000-1799999", "-70000", "8000-74000",
                              "2097000-2097300", "3145000-"})
      fetches.push_back({"/big.txt", range, gzip});
    for (const char* range : {"", "8190-8200", "-1"}) fetches.push_back({"/small.txt", range, gzip});
  }
  for (bool keepAlive : {true, false}) {
    SCOPED_TRACE(keepAlive ? "one connection" : "a connection per answer");
    TempDir out;
    std::vector<std::string> argv = {"curl"};
    for (size_t i = 0; i < fetches.size(); ++i) {
      const Fetch& f = fetches[i];
      if (i) argv.push_back("--next");
      argv.insert(argv.end(), {"-s", "-S", "--max-time", "30", "-D",
                               (out / ("h" + std::to_string(i))).string(), "-o",
                               (out / ("b" + std::to_string(i))).string(), "-w",
                               "%{num_connects} %{size_download}\\n"});
      if (!f.range.empty()) argv.insert(argv.end(), {"-r", f.range});
      if (f.gzip) argv.insert(argv.end(), {"--compressed", "-H", "Accept-Encoding: gzip"});
      if (!keepAlive) argv.insert(argv.end(), {"-H", "Connection: close"});
      argv.push_back(yux::test::LoopbackUrl(port, f.path));
    }
    auto r = RunPumping(argv, 120000);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::istringstream report(r.out);
    int connections = 0;
    for (size_t i = 0; i < fetches.size(); ++i) {
      const Fetch& f = fetches[i];
      SCOPED_TRACE(f.path + " range \"" + f.range + "\"" + (f.gzip ? " gzip" : ""));
      int connects = 0;
      long long onTheWire = 0;
      report >> connects >> onTheWire;
      connections += connects;
      const std::string head = ReadFile(out / ("h" + std::to_string(i)));
      const std::string body = ReadFile(out / ("b" + std::to_string(i)));
      const std::string& doc = f.path == "/big.txt" ? big : small;
      EXPECT_EQ(StatusOf(head), f.range.empty() ? 200 : 206) << head;
      // Only a whole answer is compressed; curl has undone it.
      bool compressed = f.gzip && f.range.empty();
      EXPECT_EQ(head.find("Content-Encoding: gzip\r\n") != std::string::npos, compressed) << head;
      EXPECT_NE(head.find("Content-Length: " + std::to_string(onTheWire) + "\r\n"),
                std::string::npos)
          << head;
      if (compressed) EXPECT_LT(onTheWire, (long long)(doc.size() / 2));
      const std::string want = Slice(doc, f.range);
      EXPECT_EQ(body.size(), want.size());
      EXPECT_TRUE(body == want);
    }
    EXPECT_EQ(connections, keepAlive ? 1 : int(fetches.size()));
  }
}

// An empty document has a header and nothing else: on a reused connection
// the header goes out at once (it used to wait for the idle time to end
// the connection).
TEST_F(DocumentFixture, AnEmptyDocumentOnAReusedConnectionIsAnsweredAtOnce) {
  YUX_REQUIRE_PROGRAM("curl");
  WriteFile(root / "www/empty.txt", "");
  std::vector<std::string> argv = {"curl", "-s", "-S", "--max-time", "5", "-o", "/dev/null",
                                   "-o", "/dev/null", "-w", "%{http_code} %{size_download}\\n",
                                   yux::test::LoopbackUrl(port, "/small.txt"),
                                   yux::test::LoopbackUrl(port, "/empty.txt")};
  auto r = RunPumping(argv, 30000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "200 60001\n200 0\n");
}

// The document folder is held open between requests: a folder put in its
// place is the one served from then on, and one that is gone serves
// nothing.
TEST_F(DocumentFixture, AFolderPutInTheDocumentFoldersPlaceIsServed) {
  auto body = [&](const std::string& path) {
    auto r = RawExchange(port, "GET " + path + " HTTP/1.0\r\n\r\n");
    size_t e = r.data.find("\r\n\r\n");
    return std::make_pair(StatusOf(r.data), e == std::string::npos ? "" : r.data.substr(e + 4));
  };
  auto first = body("/small.txt");
  EXPECT_EQ(first.first, 200);
  EXPECT_TRUE(first.second == small);
  std::filesystem::rename(root / "www", root / "old");
  EXPECT_EQ(body("/small.txt").first, 404);
  std::filesystem::create_directories(root / "www");
  WriteFile(root / "www/small.txt", "the new folder's");
  auto now = body("/small.txt");
  EXPECT_EQ(now.first, 200);
  EXPECT_EQ(now.second.substr(0, 40), "the new folder's");
}

// A client that goes while a large document is sent straight from the
// file ends only its connection, with SIGPIPE left at its default; the
// server answers the next client.
TEST_F(DocumentFixture, AClientGoneInMidDocumentEndsOnlyItsConnection) {
  void (*old)(int) = std::signal(SIGPIPE, SIG_DFL);
  for (int i = 0; i < 3; ++i) {
    RawHttpClient c(port, {"GET /big.txt HTTP/1.1\r\nHost: h\r\n\r\n"}, 3000, true);
    c.Wait();
  }
  EXPECT_TRUE(yux::platform::WaitPumping([&] { return server.ClientCount() == 0; }, 10000, 2));
  auto r = RawExchange(port, "GET /small.txt HTTP/1.0\r\n\r\n");
  std::signal(SIGPIPE, old);
  EXPECT_EQ(StatusOf(r.data), 200);
  EXPECT_TRUE(r.data.size() > small.size() &&
              r.data.compare(r.data.size() - small.size(), small.size(), small) == 0);
}

}  // namespace
