// One-time-password challenges in an FTP server's replies.  Whatever is
// accepted must be a known method, a sequence number in range and a short
// lower-case seed; answering it must give a password in the form asked for.
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "net/protocols/otp.h"

using namespace yux;
using namespace yux::net;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  TOtpMethod method = OtpKeyNone;
  int sequence = -1;
  std::string seed;
  if (!OtpParseChallenge(text, method, sequence, seed)) return 0;
  YUX_FUZZ_CHECK(method == OtpKeyMd5 || method == OtpKeyMd4 || method == OtpKeySha1, std::string(text));
  YUX_FUZZ_CHECK(sequence >= 0 && sequence <= OtpMaxSequence, std::to_string(sequence));
  YUX_FUZZ_CHECK(seed.size() <= 16, seed);
  for (char c : seed) YUX_FUZZ_CHECK(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)), seed);

  // Every step is one hash: keep long chains out of the time budget.
  if (sequence > 2000) return 0;
  std::string hex, words;
  YUX_FUZZ_CHECK(OtpProcessChallenge(text, "pass phrase", true, hex), std::string(text));
  YUX_FUZZ_CHECK(hex.size() == 16, hex);
  YUX_FUZZ_CHECK(OtpProcessChallenge(text, "pass phrase", false, words), std::string(text));
  int blanks = 0;
  for (char c : words) blanks += c == ' ';
  YUX_FUZZ_CHECK(blanks == 5, words);
  return 0;
}
