#include "net/hashes/md4.h"

#include <cstring>

namespace yux::net {
namespace {

inline std::uint32_t Rol(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Transform(std::uint32_t state[4], const std::uint8_t block[64]) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = std::uint32_t(block[4 * i]) | (std::uint32_t(block[4 * i + 1]) << 8) |
           (std::uint32_t(block[4 * i + 2]) << 16) | (std::uint32_t(block[4 * i + 3]) << 24);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  auto F = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (~x & z); };
  auto G = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (x & z) | (y & z);
  };
  auto H = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; };
  static constexpr int s1[4] = {3, 7, 11, 19};
  static constexpr int s2[4] = {3, 5, 9, 13};
  static constexpr int s3[4] = {3, 9, 11, 15};
  static constexpr int r3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  std::uint32_t* v[4] = {&a, &d, &c, &b};  // rotating roles: a, d, c, b
  for (int i = 0; i < 16; ++i) {
    std::uint32_t& w = *v[i & 3];
    std::uint32_t& p = *v[(i + 3) & 3];  // the "b" of this step
    std::uint32_t& q = *v[(i + 2) & 3];
    std::uint32_t& r = *v[(i + 1) & 3];
    w = Rol(w + F(p, q, r) + x[i], s1[i & 3]);
  }
  for (int i = 0; i < 16; ++i) {
    std::uint32_t& w = *v[i & 3];
    std::uint32_t& p = *v[(i + 3) & 3];
    std::uint32_t& q = *v[(i + 2) & 3];
    std::uint32_t& r = *v[(i + 1) & 3];
    int k = (i & 3) * 4 + (i >> 2);
    w = Rol(w + G(p, q, r) + x[k] + 0x5A827999u, s2[i & 3]);
  }
  for (int i = 0; i < 16; ++i) {
    std::uint32_t& w = *v[i & 3];
    std::uint32_t& p = *v[(i + 3) & 3];
    std::uint32_t& q = *v[(i + 2) & 3];
    std::uint32_t& r = *v[(i + 1) & 3];
    w = Rol(w + H(p, q, r) + x[r3[i]] + 0x6ED9EBA1u, s3[i & 3]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void Check(const Md4Context& ctx) {
  if (!ctx.initialised) throw MD4Exception("MD4 not initialized");
}

}  // namespace

void Md4Start(Md4Context& ctx) {
  ctx = Md4Context{};
  ctx.state[0] = 0x67452301;
  ctx.state[1] = 0xefcdab89;
  ctx.state[2] = 0x98badcfe;
  ctx.state[3] = 0x10325476;
  ctx.initialised = true;
}

void Md4AddData(Md4Context& ctx, const void* data, std::size_t len) {
  Check(ctx);
  if (len == 0) return;
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::size_t used = ctx.count & 63;
  ctx.count += len;
  if (used) {
    std::size_t take = 64 - used < len ? 64 - used : len;
    std::memcpy(ctx.buffer + used, p, take);
    p += take;
    len -= take;
    if (used + take < 64) return;
    Transform(ctx.state, ctx.buffer);
  }
  while (len >= 64) {
    Transform(ctx.state, p);
    p += 64;
    len -= 64;
  }
  if (len) std::memcpy(ctx.buffer, p, len);
}

void Md4Finish(Md4Context& ctx, Md4Digest& digest) {
  Check(ctx);
  std::uint64_t bits = ctx.count * 8;
  std::uint8_t pad[72] = {0x80};
  std::size_t used = ctx.count & 63;
  Md4AddData(ctx, pad, used < 56 ? 56 - used : 120 - used);
  std::uint8_t lenBytes[8];
  for (int i = 0; i < 8; ++i) lenBytes[i] = std::uint8_t(bits >> (8 * i));
  Md4AddData(ctx, lenBytes, 8);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = std::uint8_t(ctx.state[i] >> (8 * j));
  ctx = Md4Context{};  // not initialised any more: a new digest needs Md4Start
}

void Md4AddString(Md4Context& ctx, std::string_view text) {
  Md4AddData(ctx, text.data(), text.size());
}

std::string Md4StringDigest(std::string_view text) {
  Md4Context ctx;
  Md4Digest d;
  Md4Start(ctx);
  Md4AddString(ctx, text);
  Md4Finish(ctx, d);
  return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

}  // namespace yux::net
