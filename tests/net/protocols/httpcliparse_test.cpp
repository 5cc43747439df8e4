// The answer parser's pieces: status lines as servers really write them,
// header lines, and a chunked body however it is cut into reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/protocols/httpcliparse.h"

using namespace yux::net;

TEST(HttpCliParse, StatusLines) {
  struct Case {
    const char* line;
    bool status;
    const char* version;
    int code;
    const char* reason;
  } cases[] = {
      {"HTTP/1.1 200 OK", true, "1.1", 200, "OK"},
      {"HTTP/1.0 404 Not Found", true, "1.0", 404, "Not Found"},
      {"HTTP/1.1 204", true, "1.1", 204, ""},
      {"HTTP/1.1  302  Moved", true, "1.1", 302, " Moved"},
      {"HTTP/2 200 OK", false, "", 0, ""},
      {"http/1.1 200 OK", false, "", 0, ""},
      {"HTTP/1.1 ", true, "1.1", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_EQ(HttpIsStatusLine(c.line), c.status);
    if (!c.status) continue;
    THttpStatusLine s = HttpParseStatusLine(c.line);
    EXPECT_EQ(s.Version, c.version);
    EXPECT_EQ(s.Status, c.code);
    EXPECT_EQ(s.Reason, c.reason);
  }
  EXPECT_TRUE(HttpIsHeaderlessBody("<!doctype html>"));
  EXPECT_TRUE(HttpIsHeaderlessBody("<html><body>"));
  EXPECT_FALSE(HttpIsHeaderlessBody("<htm"));
  EXPECT_TRUE(HttpProxyConnectAccepted("HTTP/1.0 200 Connection established"));
  EXPECT_TRUE(HttpProxyConnectAccepted("http/1.1  200 OK"));
  EXPECT_FALSE(HttpProxyConnectAccepted("HTTP/1.1   200 OK"));
  EXPECT_FALSE(HttpProxyConnectAccepted("HTTP/1.1 407 Proxy Authentication Required"));
}

TEST(HttpCliParse, HeaderFields) {
  std::string name, value;
  ASSERT_TRUE(HttpSplitHeaderLine("Content-Length: \t 42  ", name, value));
  EXPECT_EQ(name, "content-length");
  EXPECT_EQ(value, "42");
  EXPECT_FALSE(HttpSplitHeaderLine("no colon here", name, value));
  EXPECT_EQ(HttpParseContentLength("42"), 42);
  EXPECT_EQ(HttpParseContentLength("4 2"), -1);
  EXPECT_EQ(HttpParseContentLength("-1"), -1);
  EXPECT_EQ(HttpParseContentLength("99999999999999999999"), -1);
  std::string first, last;
  ASSERT_TRUE(HttpParseContentRange("bytes 10-19/8193", first, last));
  EXPECT_EQ(first, "10");
  EXPECT_EQ(last, "19");
  EXPECT_FALSE(HttpParseContentRange("items 1-2/3", first, last));
}

TEST(HttpCliParse, LineReaderLimits) {
  THttpLineReader r;
  std::string buf = "HTTP/1.1 200 OK\r\nA: b\n";
  std::size_t pos = 0;
  std::string line;
  ASSERT_EQ(r.Next(buf, pos, line), THttpLineReader::lineReady);
  EXPECT_EQ(line, "HTTP/1.1 200 OK");
  ASSERT_EQ(r.Next(buf, pos, line), THttpLineReader::lineReady);
  EXPECT_EQ(line, "A: b");
  EXPECT_EQ(r.Next(buf, pos, line), THttpLineReader::lineNeedMore);
  std::string longLine(kHttpMaxHeaderLine + 1, 'x');
  pos = 0;
  EXPECT_EQ(r.Next(longLine, pos, line), THttpLineReader::lineTooLong);
  // Many short lines: the whole header is bounded too.
  THttpLineReader many;
  std::string lines;
  for (int i = 0; i < 2000; ++i) lines += std::string(999, 'h') + "\n";
  pos = 0;
  THttpLineReader::Result res = THttpLineReader::lineReady;
  while (res == THttpLineReader::lineReady) res = many.Next(lines, pos, line);
  EXPECT_EQ(res, THttpLineReader::headerTooLarge);
}

TEST(HttpCliParse, ChunkedBodyInAnyPieces) {
  const std::string body = "5\r\nhello\r\n1A;name=v\r\nabcdefghijklmnopqrstuvwxyz\r\n 3 \r\nxyz\r\n0\r\n\r\nNEXT";
  for (std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(7), body.size()}) {
    SCOPED_TRACE(piece);
    THttpChunkDecoder d;
    std::string out;
    std::size_t at = 0;
    THttpChunkDecoder::Result r = THttpChunkDecoder::chunkMore;
    while (at < body.size() && r == THttpChunkDecoder::chunkMore) {
      std::size_t n = std::min(piece, body.size() - at), used = 0;
      r = d.Feed(body.data() + at, n, used, [&](const char* p, std::size_t l) { out.append(p, l); });
      at += used;
    }
    EXPECT_EQ(r, THttpChunkDecoder::chunkDone);
    EXPECT_EQ(out, "helloabcdefghijklmnopqrstuvwxyzxyz");
    EXPECT_EQ(body.substr(at), "\r\nNEXT");  // trailers are not read
  }
  for (const char* bad : {"zz\r\n", "5x\r\nhello\r\n", "\r\n", "1234567890abcdef0\r\n"}) {
    SCOPED_TRACE(bad);
    THttpChunkDecoder d;
    std::size_t used = 0;
    EXPECT_EQ(d.Feed(bad, std::strlen(bad), used, nullptr), THttpChunkDecoder::chunkError);
  }
}
