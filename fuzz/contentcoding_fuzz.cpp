// A Content-Encoding header value from a server and the body that follows:
// the first line is the header value, the rest the body, fed in pieces.
// Pass-through codings must hand the body on unchanged.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "fuzz/memstream.h"
#include "net/protocols/contentcoding.h"

using namespace yux;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxTextInput) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string header(fuzz::NextLine(rest));
  const std::string_view body = rest;

  fuzz::MemStream received;
  net::TStream* stream = &received;
  std::string document;
  net::THttpContCodHandler handler(&stream, [&](const void* d, int n) {
    document.append(static_cast<const char*>(d), std::size_t(n));
  });
  handler.SetEnabled(true);
  (void)handler.AcceptEncodingText();
  const bool known = handler.SetupDecoders(header);
  // Odd piece sizes so that the decoders see split input.
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t n = std::min<std::size_t>(body.size() - at, 1 + at % 977);
    handler.WriteBuffer(body.data() + at, int(n));
    at += n;
  }
  handler.FinishDecoding();
  // Identity and "*" pass the body through; only while they are the only
  // codings registered does a known header mean an unchanged body.
  bool passThrough = true;
  for (const auto& c : net::TContCodingsList::Instance().Classes())
    passThrough = passThrough && (c.Coding == "identity" || c.Coding == "*");
  if (known && passThrough) {
    YUX_FUZZ_CHECK(document == body, header);
    YUX_FUZZ_CHECK(received.data() == body, header);
  }
  return 0;
}
