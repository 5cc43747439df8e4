#include "net/protocols/otp.h"

#include <cstring>

#include "net/hashes/md4.h"
#include "net/hashes/md5.h"
#include "net/hashes/sha1.h"

namespace yux::net {

namespace {

constexpr std::string_view kMethods[4] = {"none", "otp-md5", "otp-md4", "otp-sha1"};
constexpr std::string_view kSeedAlphabet = "abcdefghijklmnopqrstuvwxyz1234567890";
constexpr std::size_t kMaxSeedLength = 16;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

std::size_t FindBlank(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] == ' ' || s[i] == '\t') return i;
  return std::string_view::npos;
}

// One hash of the input folded to 64 bits.
TOtpKey HashAndFold(TOtpMethod method, std::string_view input) {
  TOtpKey key{};
  switch (method) {
    case OtpKeyMd5: {
      Md5Context ctx;
      Md5Start(ctx);
      Md5AddText(ctx, input);
      Md5Digest d;
      Md5Finish(d, ctx);
      for (int i = 0; i < 8; ++i) key[i] = d[i] ^ d[i + 8];
      break;
    }
    case OtpKeyMd4: {
      const std::string d = Md4StringDigest(input);
      for (int i = 0; i < 8; ++i)
        key[i] = static_cast<std::uint8_t>(d[i]) ^ static_cast<std::uint8_t>(d[i + 8]);
      break;
    }
    case OtpKeySha1: {
      const std::string d = Sha1StringDigest(input.data(), input.size());
      std::uint8_t f[8];
      for (int i = 0; i < 8; ++i)
        f[i] = static_cast<std::uint8_t>(d[i]) ^ static_cast<std::uint8_t>(d[i + 8]);
      for (int i = 0; i < 4; ++i) f[i] ^= static_cast<std::uint8_t>(d[i + 16]);
      // The folded words go out in little-endian order.
      for (int half = 0; half < 2; ++half)
        for (int i = 0; i < 4; ++i) key[4 * half + i] = f[4 * half + 3 - i];
      break;
    }
    case OtpKeyNone:
      break;
  }
  return key;
}

}  // namespace

bool OtpParseChallenge(std::string_view text, TOtpMethod& method, int& sequence,
                       std::string& seed) {
  method = OtpKeyNone;
  sequence = 0;
  seed.clear();

  int found = -1;
  std::size_t at = std::string_view::npos;
  for (int i = 0; i < 4; ++i) {
    at = text.find(kMethods[i]);
    if (at != std::string_view::npos) {
      found = i;
      break;
    }
  }
  if (found <= OtpKeyNone) return false;
  const std::string_view rest = Trim(text.substr(at + kMethods[found].size()));

  const std::size_t blank = FindBlank(rest);
  const std::string_view number = rest.substr(0, blank);
  if (number.empty()) return false;
  long value = 0;
  for (char c : number) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > OtpMaxSequence) return false;
  }

  std::string_view seedText;
  if (blank != std::string_view::npos) {
    seedText = Trim(rest.substr(blank + 1));
    seedText = seedText.substr(0, FindBlank(seedText));
  }
  std::string lowered = Lower(seedText);
  if (lowered.size() > kMaxSeedLength) return false;
  for (char c : lowered)
    if (kSeedAlphabet.find(c) == std::string_view::npos) return false;

  method = static_cast<TOtpMethod>(found);
  sequence = static_cast<int>(value);
  seed = std::move(lowered);
  return true;
}

void OtpComputeKey(TOtpMethod method, std::string_view seed, std::string_view passPhrase,
                   TOtpKey& key, int sequence) {
  std::string input = Lower(seed);
  input.append(passPhrase);
  key = HashAndFold(method, input);
  for (int i = 0; i < sequence; ++i)
    key = HashAndFold(method, std::string_view(reinterpret_cast<const char*>(key.data()), 8));
}

std::string OtpKeyToHex(const TOtpKey& key) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string r;
  r.reserve(16);
  for (std::uint8_t b : key) {
    r.push_back(kHex[b >> 4]);
    r.push_back(kHex[b & 15]);
  }
  return r;
}

std::string OtpKeyToWords(const TOtpKey& key) {
  std::uint64_t v = 0;
  for (std::uint8_t b : key) v = (v << 8) | b;
  unsigned checksum = 0;
  for (int i = 0; i < 64; i += 2) checksum += static_cast<unsigned>((v >> i) & 3);
  checksum &= 3;

  std::string r;
  for (int i = 0; i < 5; ++i) {
    r.append(OtpDictionary[(v >> (53 - 11 * i)) & 0x7FF]);
    r.push_back(' ');
  }
  r.append(OtpDictionary[((v & 0x1FF) << 2) | checksum]);
  return r;
}

bool OtpProcessChallenge(std::string_view challenge, std::string_view passPhrase, bool hexOutput,
                         std::string& response) {
  response.clear();
  TOtpMethod method;
  int sequence;
  std::string seed;
  if (!OtpParseChallenge(challenge, method, sequence, seed)) return false;
  TOtpKey key;
  OtpComputeKey(method, seed, passPhrase, key, sequence);
  response = hexOutput ? OtpKeyToHex(key) : OtpKeyToWords(key);
  return true;
}

}  // namespace yux::net
