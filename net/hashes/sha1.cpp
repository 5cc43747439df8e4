#include "net/hashes/sha1.h"

#include <cstring>

namespace yux::net {
namespace {

inline std::uint32_t Rol(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Transform(std::uint32_t h[5], const std::uint8_t block[64]) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = (std::uint32_t(block[4 * i]) << 24) | (std::uint32_t(block[4 * i + 1]) << 16) |
           (std::uint32_t(block[4 * i + 2]) << 8) | std::uint32_t(block[4 * i + 3]);
  for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  auto step = [&](std::uint32_t f, std::uint32_t k, std::uint32_t wi) {
    std::uint32_t t = Rol(a, 5) + f + e + k + wi;
    e = d;
    d = c;
    c = Rol(b, 30);
    b = a;
    a = t;
  };
  for (int i = 0; i < 20; ++i) step((b & c) | (~b & d), 0x5A827999, w[i]);
  for (int i = 20; i < 40; ++i) step(b ^ c ^ d, 0x6ED9EBA1, w[i]);
  for (int i = 40; i < 60; ++i) step((b & c) | (b & d) | (c & d), 0x8F1BBCDC, w[i]);
  for (int i = 60; i < 80; ++i) step(b ^ c ^ d, 0xCA62C1D6, w[i]);
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

void Feed(Sha1Context& ctx, const std::uint8_t* p, std::size_t len) {
  while (len > 0) {
    std::size_t take = std::size_t(64 - ctx.index) < len ? std::size_t(64 - ctx.index) : len;
    if (ctx.index == 0 && len >= 64) {
      Transform(ctx.state, p);
      p += 64;
      len -= 64;
      continue;
    }
    std::memcpy(ctx.block + ctx.index, p, take);
    ctx.index += int(take);
    p += take;
    len -= take;
    if (ctx.index == 64) {
      Transform(ctx.state, ctx.block);
      ctx.index = 0;
    }
  }
}

}  // namespace

void Sha1Reset(Sha1Context& ctx) {
  ctx = Sha1Context{};
  ctx.state[0] = 0x67452301;
  ctx.state[1] = 0xEFCDAB89;
  ctx.state[2] = 0x98BADCFE;
  ctx.state[3] = 0x10325476;
  ctx.state[4] = 0xC3D2E1F0;
}

void Sha1Input(Sha1Context& ctx, const void* data, std::size_t length) {
  if (ctx.computed || length == 0) return;
  ctx.length += length;
  Feed(ctx, static_cast<const std::uint8_t*>(data), length);
}

void Sha1Result(Sha1Context& ctx, Sha1Digest& digest) {
  if (!ctx.computed) {
    std::uint64_t bits = ctx.length * 8;
    std::uint8_t pad[72] = {0x80};
    int used = ctx.index;
    Feed(ctx, pad, used < 56 ? 56 - used : 120 - used);
    std::uint8_t lenBytes[8];
    for (int i = 0; i < 8; ++i) lenBytes[i] = std::uint8_t(bits >> (56 - 8 * i));
    Feed(ctx, lenBytes, 8);
    std::memset(ctx.block, 0, sizeof ctx.block);
    ctx.computed = true;
  }
  for (int i = 0; i < 20; ++i) digest[i] = std::uint8_t(ctx.state[i / 4] >> (24 - 8 * (i % 4)));
}

std::string Sha1StringDigest(const char* text, std::size_t length) {
  Sha1Context ctx;
  Sha1Digest d;
  Sha1Reset(ctx);
  Sha1Input(ctx, text, length);
  Sha1Result(ctx, d);
  return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

std::string Sha1DigestAsHex(const Sha1Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string s(40, '0');
  for (int i = 0; i < 20; ++i) {
    s[2 * i] = kHex[digest[i] >> 4];
    s[2 * i + 1] = kHex[digest[i] & 15];
  }
  return s;
}

std::string HmacSha1(std::string_view data, std::string_view key) {
  std::uint8_t k[64] = {};
  if (key.size() > 64) {
    std::string kd = Sha1StringDigest(key.data(), key.size());
    std::memcpy(k, kd.data(), kd.size());
  } else if (!key.empty()) {
    std::memcpy(k, key.data(), key.size());
  }
  std::uint8_t ipad[64], opad[64];
  for (int i = 0; i < 64; ++i) {
    ipad[i] = k[i] ^ 0x36;
    opad[i] = k[i] ^ 0x5C;
  }
  Sha1Context ctx;
  Sha1Digest inner, outer;
  Sha1Reset(ctx);
  Sha1Input(ctx, ipad, 64);
  Sha1Input(ctx, data.data(), data.size());
  Sha1Result(ctx, inner);
  Sha1Reset(ctx);
  Sha1Input(ctx, opad, 64);
  Sha1Input(ctx, inner.data(), inner.size());
  Sha1Result(ctx, outer);
  return std::string(reinterpret_cast<const char*>(outer.data()), outer.size());
}

}  // namespace yux::net
