// Base64 text from outside: login headers, mail bodies, scrambled lines.
// Decoding may stop early but never reads past the text; encoding then
// decoding gives the bytes back.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "net/protocols/mimeutils.h"

using namespace yux;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxTextInput) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string decoded = net::DecodeBase64String(text);
  YUX_FUZZ_CHECK(decoded.size() <= (size + 3) / 4 * 3, text);

  const std::string encoded = net::EncodeBase64Buffer(data, size);
  YUX_FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4, encoded);
  YUX_FUZZ_CHECK(net::DecodeBase64String(encoded) == text, encoded);
  YUX_FUZZ_CHECK(net::EncodeBase64String(text) == encoded, encoded);
  return 0;
}
