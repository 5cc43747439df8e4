// Ranges, compression, posted data, templates and authentication of the
// HTTP server, with curl (and Python's zlib and gzip) as the clients.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "net/protocols/httpserver.h"
#include "platform/messages.h"
#include "tests/peers/httppeers.h"

using namespace yux::net;
using yux::test::RawExchange;
using yux::test::ReadFile;
using yux::test::RunPumping;
using yux::test::StatusOf;
using yux::test::TempDir;
using yux::test::WriteFile;

namespace {

std::string Digits(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char('0' + i % 10);
  return s;
}

std::string TextOf(size_t n) {
  std::string s;
  while (s.size() < n) s += "line " + std::to_string(s.size()) + " of some compressible text\n";
  s.resize(n);
  return s;
}

struct ContentFixture : ::testing::Test {
  TempDir root;
  THttpServer server;
  int port = 0;
  void SetUp() override {
    std::filesystem::create_directories(root / "www");
    WriteFile(root / "www/k1000.txt", Digits(1000));
    WriteFile(root / "www/t5000.txt", TextOf(5000));
    WriteFile(root / "www/t4999.txt", TextOf(4999));
    WriteFile(root / "www/t5000.png", TextOf(5000));
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.SetDocDir((root / "www").string());
    server.TemplateDir = (root / "www").string();
    server.Options.Include(hoContentEncoding);
    server.Start();
    port = std::stoi(server.BoundPort());
  }
  std::string Url(const std::string& path) { return yux::test::LoopbackUrl(port, path); }
  yux::test::ProcessResult Curl(const std::vector<std::string>& args) {
    return yux::test::CurlPumping(args);
  }
  // Header and body of one curl -i answer.
  static std::pair<std::string, std::string> Split(const std::string& out) {
    size_t e = out.find("\r\n\r\n");
    if (e == std::string::npos) return {out, ""};
    return {out.substr(0, e + 2), out.substr(e + 4)};
  }
};

TEST_F(ContentFixture, CurlEveryRangeForm) {
  YUX_REQUIRE_PROGRAM("curl");
  const std::string doc = Digits(1000);
  struct Case {
    std::string range;
    int status;
    std::string contentRange;
    std::string body;
  };
  for (const Case& c : std::vector<Case>{
           {"0-99", 206, "bytes 0-99/1000", doc.substr(0, 100)},
           {"-100", 206, "bytes 900-999/1000", doc.substr(900)},
           {"900-", 206, "bytes 900-999/1000", doc.substr(900)},
           {"0-5000", 206, "bytes 0-999/1000", doc},
           {"500-100", 416, "", ""},
           {"2000-", 416, "", ""},
           {"-5000", 200, "", doc},
       }) {
    SCOPED_TRACE(c.range);
    auto r = Curl({"-i", "-r", c.range, Url("/k1000.txt")});
    auto [head, body] = Split(r.out);
    EXPECT_EQ(StatusOf(head), c.status) << head;
    if (!c.contentRange.empty()) {
      EXPECT_NE(head.find("Content-Range: " + c.contentRange + "\r\n"), std::string::npos)
          << head;
      EXPECT_NE(head.find("Content-Length: " + std::to_string(c.body.size()) + "\r\n"),
                std::string::npos);
    }
    if (c.status != 416) EXPECT_EQ(body, c.body);
  }
  // Two ranges: multipart, with a closing boundary; the length counts the
  // part headers.
  auto r = Curl({"-i", "-r", "0-9,20-29", Url("/k1000.txt")});
  auto [head, body] = Split(r.out);
  EXPECT_EQ(StatusOf(head), 206);
  EXPECT_NE(head.find("Content-Type: multipart/byteranges; "
                      "boundary=[lka9uw3et5vxybtp87ghq23dpu7djv84nhls9p]"),
            std::string::npos);
  EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
            std::string::npos);
  EXPECT_NE(body.find("Content-Range: bytes 20-29/1000\r\n\r\n0123456789"), std::string::npos);
  EXPECT_NE(body.find("--[lka9uw3et5vxybtp87ghq23dpu7djv84nhls9p]--\r\n"), std::string::npos);
}

TEST_F(ContentFixture, CompressionWholeAnswersOnlyAndDecodableByPython) {
  YUX_REQUIRE_PROGRAM("curl");
  YUX_REQUIRE_PROGRAM("python3");
  struct Case {
    std::string path, accept, wantEncoding;
  };
  for (const Case& c : std::vector<Case>{{"/t5000.txt", "gzip", "gzip"},
                                         {"/t5000.txt", "deflate", "deflate"},
                                         {"/t5000.txt", "gzip, deflate;q=0", "gzip"},
                                         {"/t4999.txt", "gzip", ""},
                                         {"/t5000.png", "gzip", ""}}) {
    SCOPED_TRACE(c.path + " " + c.accept);
    std::string raw = (root / "raw.bin").string();
    auto r = Curl({"-D", "-", "-o", raw, "-H", "Accept-Encoding: " + c.accept, Url(c.path)});
    const std::string& head = r.out;
    std::string original = ReadFile(root / ("www" + c.path));
    if (c.wantEncoding.empty()) {
      EXPECT_EQ(head.find("Content-Encoding"), std::string::npos) << head;
      EXPECT_EQ(ReadFile(raw), original);
      continue;
    }
    EXPECT_NE(head.find("Content-Encoding: " + c.wantEncoding + "\r\n"), std::string::npos)
        << head;
    EXPECT_NE(head.find("Vary: Accept-Encoding\r\n"), std::string::npos);
    EXPECT_EQ(head.find("Accept-Ranges"), std::string::npos);
    EXPECT_LT(ReadFile(raw).size(), original.size());
    // Python's own modules decode it: gzip for gzip, zlib (the zlib
    // format, which "deflate" names) for deflate.
    std::string script =
        c.wantEncoding == "gzip"
            ? "import gzip,sys;sys.stdout.buffer.write(gzip.decompress(open(sys.argv[1],'rb').read()))"
            : "import zlib,sys;sys.stdout.buffer.write(zlib.decompress(open(sys.argv[1],'rb').read()))";
    auto py = RunPumping({"/usr/bin/python3", "-c", script, raw});
    EXPECT_EQ(py.exitCode, 0) << py.err;
    EXPECT_EQ(py.out, original);
    // curl's own decoding agrees.
    auto dec = Curl({"--compressed", "-H", "Accept-Encoding: " + c.accept, Url(c.path)});
    EXPECT_EQ(dec.out, original);
  }
  // A ranged answer is never compressed.
  auto ranged = Curl({"-i", "-r", "0-99", "-H", "Accept-Encoding: gzip", Url("/t5000.txt")});
  auto [head, body] = Split(ranged.out);
  EXPECT_EQ(StatusOf(head), 206);
  EXPECT_EQ(head.find("Content-Encoding"), std::string::npos);
  EXPECT_EQ(body, TextOf(100));
}

TEST_F(ContentFixture, PostedDataIsReadByTheApplicationWhichAnswers) {
  YUX_REQUIRE_PROGRAM("curl");
  std::string received;
  server.OnPostDocument = [&](THttpServer*, THttpConnection* c, THttpGetFlag& flags) {
    if (c->Path == "/cgi-bin/echo") flags = hgAcceptData;
  };
  server.OnPostedData = [&](THttpServer*, THttpConnection* c, WORD) {
    char buf[777];
    int n = c->Receive(buf, sizeof buf);
    if (n > 0) received.append(buf, size_t(n));
    if (c->PostedRemaining == 0) {
      c->EndPostedData();
      THttpGetFlag f;
      std::string v;
      ExtractUrlEncodedField(received, "name", v);
      c->AnswerWithText(f, "", "text/plain", "X-Got: " + std::to_string(received.size()) + "\r\n",
                        "hello " + v);
    }
  };
  std::string data = "name=J+D&pad=" + std::string(20000, 'x');
  auto r = Curl({"-i", "--data-binary", data, Url("/cgi-bin/echo"), "--next", Url("/k1000.txt")});
  EXPECT_EQ(received, data);
  EXPECT_NE(r.out.find("X-Got: " + std::to_string(data.size()) + "\r\n"), std::string::npos);
  EXPECT_NE(r.out.find("hello J D"), std::string::npos) << r.out.substr(0, 300);
  EXPECT_NE(r.out.find(Digits(1000)), std::string::npos);
}

TEST_F(ContentFixture, PagesFromTemplateFilesAndResources) {
  YUX_REQUIRE_PROGRAM("curl");
  WriteFile(root / "www/page.html", "<p><#TITLE></p><#TABLE_ROWS items><i><#N></i></#TABLE_ROWS>");
  server.OnGetDocument = [&](THttpServer*, THttpConnection* c, THttpGetFlag& flags) {
    c->OnGetRowData = [](THttpConnection*, const std::string&, int row, TStringIndex& d,
                         bool& more, void* user) {
      more = row <= *static_cast<int*>(user);
      d.Add("N", std::to_string(row));
    };
    static int rows = 2;
    if (c->Path == "/tpl")
      c->AnswerPageFromFile(flags, "", "", "page.html", &rows, {"title", "T&C"});
    else if (c->Path == "/missing")
      c->AnswerPageFromFile(flags, "", "", "nothere.html", nullptr, {});
    else if (c->Path == "/res")
      c->AnswerPageFromResource(flags, "", "", "httpsrvtest.html", "HTML", &rows, {"TITLE", 5});
    else if (c->Path == "/nores")
      c->AnswerPageFromResource(flags, "", "", "nothere.html", "HTML", nullptr, {});
  };
  EXPECT_EQ(Curl({Url("/tpl")}).out, "<p>T&C</p><i>1</i><i>2</i>");
  auto missing = Curl({Url("/missing")}).out;
  EXPECT_EQ(missing.rfind("<HTML><BODY>\r\nUnable to open '", 0), 0u) << missing;
  EXPECT_NE(missing.find("nothere.html'<BR>\r\nEFOpenError: "), std::string::npos);
  EXPECT_EQ(Curl({Url("/res")}).out, "<title>5</title><b>1</b><b>2</b>");
  auto res = Curl({Url("/nores")}).out;
  EXPECT_NE(res.find("Unable to open resource 'nothere.html (HTML)'<BR>"), std::string::npos);
}

struct AuthCase {
  TAuthenticationTypes types;
  std::vector<std::string> curlArgs;
  int status;
};

TEST_F(ContentFixture, CurlBasicDigestAndNtlm) {
  YUX_REQUIRE_PROGRAM("curl");
  std::vector<std::string> results;
  server.OnAuthGetPassword = [](THttpServer*, THttpConnection* c, std::string& pw) {
    if (c->AuthUserName == "alice") pw = "s3cret";
  };
  server.OnAuthResult = [&](THttpServer*, THttpConnection* c, bool ok) {
    results.push_back(c->AuthUserName + (ok ? " ok" : " refused"));
  };
  const std::vector<AuthCase> cases = {
      {{atBasic}, {"-u", "alice:s3cret"}, 200},
      {{atBasic}, {"-u", "alice:wrong"}, 401},
      {{atBasic}, {}, 401},
      {{atDigest}, {"--digest", "-u", "alice:s3cret"}, 200},
      {{atDigest}, {"--digest", "-u", "alice:wrong"}, 401},
      {{atNtlm}, {"--ntlm", "-u", "alice:s3cret"}, 200},
      {{atNtlm}, {"--ntlm", "-u", "alice:wrong"}, 401},
      {{atBasic, atDigest, atNtlm}, {"--anyauth", "-u", "alice:s3cret"}, 200},
  };
  for (const AuthCase& c : cases) {
    SCOPED_TRACE(c.curlArgs.empty() ? "none" : c.curlArgs[0] + " " + c.curlArgs.back());
    server.AuthTypes = c.types;
    results.clear();
    auto args = c.curlArgs;
    args.insert(args.begin(), "-i");
    args.push_back(Url("/k1000.txt?q=1"));
    auto r = Curl(args);
    // The last answer is the one that counts (curl may have been
    // challenged first).
    size_t last = r.out.rfind("HTTP/1.1 ");
    ASSERT_NE(last, std::string::npos) << r.err;
    EXPECT_EQ(StatusOf(r.out.substr(last)), c.status) << r.out.substr(0, 600);
    if (c.status == 200) {
      EXPECT_NE(r.out.find(Digits(1000)), std::string::npos);
      EXPECT_EQ(results.back(), "alice ok");
    } else {
      EXPECT_NE(r.out.find("WWW-Authenticate: "), std::string::npos);
    }
  }
}

TEST_F(ContentFixture, DigestReplaysAndForeignUrisAreRefused) {
  server.AuthTypes = {atDigest};
  server.OnAuthGetPassword = [](THttpServer*, THttpConnection*, std::string& pw) { pw = "pw"; };
  auto challenge = RawExchange(port, "GET /k1000.txt HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
  size_t at = challenge.data.find("WWW-Authenticate: Digest ");
  ASSERT_NE(at, std::string::npos) << challenge.data;
  std::string value = challenge.data.substr(at + 25, challenge.data.find("\r\n", at) - at - 25);
  TAuthDigestInfo info;
  DigestParseChallenge(value, info);
  ASSERT_TRUE(DigestHasOption(info));
  auto request = [&](const std::string& target, const std::string& uri, int nc) {
    info.Nc = nc;
    std::string auth = DigestBuildAuthorizationCNonce("u", "pw", uri, info, "GET", "", "0a4f113b");
    return "GET " + target + " HTTP/1.1\r\nHost: h\r\nAuthorization: Digest " + auth +
           "\r\nConnection: close\r\n\r\n";
  };
  struct Step {
    std::string name, target, uri;
    int nc, status;
  };
  for (const Step& s : std::vector<Step>{
           {"first use", "/k1000.txt", "/k1000.txt", 1, 200},
           {"replayed", "/k1000.txt", "/k1000.txt", 1, 401},
           {"count lower", "/k1000.txt", "/k1000.txt", 0, 401},
           {"count rises", "/k1000.txt", "/k1000.txt", 2, 200},
           {"other uri", "/k1000.txt", "/t5000.txt", 3, 401},
           {"uri with query", "/k1000.txt?a=1", "/k1000.txt?a=1", 4, 200},
       }) {
    SCOPED_TRACE(s.name);
    auto r = RawExchange(port, request(s.target, s.uri, s.nc));
    EXPECT_EQ(StatusOf(r.data), s.status) << r.data.substr(0, 300);
  }
  // A nonce past its lifetime is refused and the new challenge says stale.
  server.AuthDigestNonceLifeTimeMin = 0;
  auto stale = RawExchange(port, request("/k1000.txt", "/k1000.txt", 5));
  EXPECT_EQ(StatusOf(stale.data), 401);
  EXPECT_NE(stale.data.find(", stale=\"true\""), std::string::npos) << stale.data;
  server.AuthDigestNonceLifeTimeMin = 1;
  // A nonce made with another secret (another server run) is not ours.
  server.Stop();
  server.Start();
  port = std::stoi(server.BoundPort());
  EXPECT_EQ(StatusOf(RawExchange(port, request("/k1000.txt", "/k1000.txt", 9)).data), 401);
}

}  // namespace
