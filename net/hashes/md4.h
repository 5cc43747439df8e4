#pragma once
// MD4 (RFC 1320), as NTLM needs it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace yux::net {

class MD4Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Md4Context {
  std::uint32_t state[4] = {};
  std::uint64_t count = 0;  // bytes fed so far
  std::uint8_t buffer[64] = {};
  bool initialised = false;
};

using Md4Digest = std::array<std::uint8_t, 16>;

void Md4Start(Md4Context& ctx);
// Both raise MD4Exception "MD4 not initialized" on a context not started.
void Md4AddData(Md4Context& ctx, const void* data, std::size_t count);
void Md4Finish(Md4Context& ctx, Md4Digest& digest);
void Md4AddString(Md4Context& ctx, std::string_view text);
// The 16 raw digest bytes of the text.
std::string Md4StringDigest(std::string_view text);

}  // namespace yux::net
