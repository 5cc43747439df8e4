// The HTTP client's answer parser: the status line, header lines and the
// chunk decoder.  The first byte picks how the body is fed to the decoder
// (in one piece, or in pieces of 1 to 255 bytes); the rest is an answer as
// a server would send it.  Whatever the pieces, the decoded body and the
// outcome must be the same, never longer than the input, and no header
// line handed out may exceed the line limit.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "net/protocols/httpcliparse.h"

using namespace yux;
using namespace yux::net;

namespace {

struct Decoded {
  std::string body;
  THttpChunkDecoder::Result result = THttpChunkDecoder::chunkMore;
  std::size_t used = 0;
};

Decoded Decode(std::string_view data, std::size_t piece) {
  Decoded d;
  THttpChunkDecoder dec;
  auto out = [&](const char* p, std::size_t n) { d.body.append(p, n); };
  while (d.used < data.size()) {
    std::size_t n = std::min(piece, data.size() - d.used);
    std::size_t used = 0;
    d.result = dec.Feed(data.data() + d.used, n, used, out);
    YUX_FUZZ_CHECK(used <= n, "the decoder took more than it was given");
    d.used += used;
    if (d.result != THttpChunkDecoder::chunkMore) break;
    YUX_FUZZ_CHECK(used == n, "the decoder left bytes while wanting more");
  }
  return d;
}

void Header(std::string_view answer, std::size_t& bodyStart) {
  THttpLineReader reader;
  std::size_t pos = 0;
  std::string line;
  bool first = true;
  for (;;) {
    auto r = reader.Next(answer, pos, line);
    if (r != THttpLineReader::lineReady) break;
    YUX_FUZZ_CHECK(line.size() <= kHttpMaxHeaderLine, "a line over the limit");
    YUX_FUZZ_CHECK(reader.HeaderBytes() <= kHttpMaxHeaderSize, "a header over the limit");
    if (first) {
      first = false;
      if (HttpIsStatusLine(line)) {
        THttpStatusLine s = HttpParseStatusLine(line);
        YUX_FUZZ_CHECK(s.Status >= 0 && s.Status <= 999, "a status of more than three digits");
        YUX_FUZZ_CHECK(s.Version == "1.0" || s.Version == "1.1", "another version");
      }
      HttpIsHeaderlessBody(line);
      HttpProxyConnectAccepted(line);
      continue;
    }
    if (line.empty()) break;
    std::string name, value;
    if (HttpSplitHeaderLine(line, name, value)) {
      std::int64_t n = HttpParseContentLength(value);
      YUX_FUZZ_CHECK(n >= -1, "a negative length");
      std::string a, b;
      HttpParseContentRange(value, a, b);
    }
  }
  bodyStart = pos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Room for a header line over its limit.
  if (size < 1 || size > 4 * fuzz::kMaxTextInput) return 0;
  const std::size_t piece = data[0] ? data[0] : 1;
  std::string_view answer(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t bodyStart = 0;
  Header(answer, bodyStart);
  std::string_view body = answer.substr(bodyStart);
  Decoded whole = Decode(body, body.size() ? body.size() : 1);
  Decoded pieces = Decode(body, piece);
  YUX_FUZZ_CHECK(whole.body == pieces.body, "the body depends on how it arrived");
  YUX_FUZZ_CHECK(whole.result == pieces.result, "the outcome depends on how it arrived");
  YUX_FUZZ_CHECK(whole.used == pieces.used, "the end depends on how it arrived");
  YUX_FUZZ_CHECK(whole.body.size() <= body.size(), "more decoded than received");
  return 0;
}
