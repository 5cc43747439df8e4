// MIME text lines: Base64 body lines decoded in place and part lines
// passing the recogniser of embedded uuencoded and yEnc files.  The first
// byte sets the decoder's switches; every following line goes through the
// decoder.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzzsupport.h"
#include "fuzz/memstream.h"
#include "net/protocols/mimedecode.h"

using namespace yux;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > fuzz::kMaxTextInput) return 0;
  const uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

  net::TMimeDecode decoder;
  fuzz::MemStream sink;
  decoder.DestStream = &sink;
  decoder.InlineDetectionOff = flags & 1;
  decoder.InlineDecodeLines = flags & 2;
  std::size_t decodedBytes = 0;
  if (flags & 4)
    decoder.OnInlineDecodeLine = [&](net::TMimeDecode*, const char* line, int len) {
      YUX_FUZZ_CHECK(len >= 0 && (len == 0 || line != nullptr), "bad inline line");
      decodedBytes += std::size_t(len);
    };
  decoder.OnPartLine = [](net::TMimeDecode*, const char* line, int len) {
    YUX_FUZZ_CHECK(len >= 0 && (len == 0 || line != nullptr), "bad part line");
  };
  const bool base64 = flags & 8;

  std::vector<char> buffer;
  while (!rest.empty()) {
    const std::string_view line = fuzz::NextLine(rest);
    buffer.assign(line.begin(), line.end());
    buffer.push_back('\0');
    if (base64) {
      const std::size_t before = std::strlen(buffer.data());
      decoder.LineData = buffer.data();
      decoder.DecodeBase64Line();
      YUX_FUZZ_CHECK(std::strlen(buffer.data()) <= before, line);
      decoder.LineData = nullptr;
    } else {
      decoder.ProcessPartLine(buffer.data(), int(line.size()));
    }
  }
  YUX_FUZZ_CHECK(sink.data().size() <= size, "part lines grew");
  YUX_FUZZ_CHECK(decodedBytes <= size, "embedded lines grew");
  return 0;
}
