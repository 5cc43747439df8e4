#pragma once
// SHA-1 (FIPS 180-1) and HMAC-SHA1.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::net {

struct Sha1Context {
  std::uint32_t state[5] = {};
  std::uint64_t length = 0;  // bytes fed so far
  std::uint8_t block[64] = {};
  int index = 0;             // bytes waiting in block
  bool computed = false;     // the digest has been produced
};

using Sha1Digest = std::array<std::uint8_t, 20>;

void Sha1Reset(Sha1Context& ctx);
// Input after the result has been taken is ignored (start again with Sha1Reset).
void Sha1Input(Sha1Context& ctx, const void* data, std::size_t length);
// The digest; asking again before a reset gives the same digest.
void Sha1Result(Sha1Context& ctx, Sha1Digest& digest);

// The 20 raw digest bytes of `length` bytes of text.
std::string Sha1StringDigest(const char* text, std::size_t length);
// 40 lower-case hexadecimal characters.
std::string Sha1DigestAsHex(const Sha1Digest& digest);
// HMAC-SHA1 of data under key: 20 raw bytes.  A key longer than 64 bytes is
// hashed first.
std::string HmacSha1(std::string_view data, std::string_view key);

}  // namespace yux::net
