#include "net/hashes/md5.h"

#include <cstring>

namespace yux::net {
namespace {

constexpr std::size_t kPiece = 16 * 1024;

inline std::uint32_t Rol(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
         (std::uint32_t(p[3]) << 24);
}

constexpr std::uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};
constexpr int kS[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                        5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                        4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                        6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

void Transform(std::uint32_t state[4], const std::uint8_t block[64]) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = Le32(block + 4 * i);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    std::uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (b & d) | (c & ~d);
      g = (5 * i + 1) & 15;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) & 15;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) & 15;
    }
    std::uint32_t t = d;
    d = c;
    c = b;
    b = b + Rol(a + f + kT[i] + x[g], kS[i]);
    a = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

const char kHex[] = "0123456789abcdef";
const char kHexAlt[] = "0123456789abcdef";

std::string ToHex(const Md5Digest& d, const char* table) {
  std::string s(32, '0');
  for (int i = 0; i < 16; ++i) {
    s[2 * i] = table[d[i] >> 4];
    s[2 * i + 1] = table[d[i] & 15];
  }
  return s;
}

}  // namespace

void Md5Start(Md5Context& ctx) {
  Md5Clear(ctx);
  ctx.state[0] = 0x67452301;
  ctx.state[1] = 0xefcdab89;
  ctx.state[2] = 0x98badcfe;
  ctx.state[3] = 0x10325476;
}

void Md5Clear(Md5Context& ctx) { std::memset(&ctx, 0, sizeof ctx); }

void Md5AddData(Md5Context& ctx, const void* data, std::size_t len) {
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

void Md5Finish(Md5Digest& digest, Md5Context& ctx) {
  std::uint64_t bits = ctx.count * 8;
  std::uint8_t pad[72] = {0x80};
  std::size_t used = ctx.count & 63;
  std::size_t padLen = used < 56 ? 56 - used : 120 - used;
  Md5AddData(ctx, pad, padLen);
  std::uint8_t lenBytes[8];
  for (int i = 0; i < 8; ++i) lenBytes[i] = std::uint8_t(bits >> (8 * i));
  Md5AddData(ctx, lenBytes, 8);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = std::uint8_t(ctx.state[i] >> (8 * j));
  Md5Clear(ctx);
}

void Md5AddString(Md5Context& ctx, const char* text, std::size_t len) {
  while (len > 0) {
    std::size_t n = len < kPiece ? len : kPiece;
    Md5AddData(ctx, text, n);
    text += n;
    len -= n;
  }
}

void Md5AddText(Md5Context& ctx, std::string_view text) {
  Md5AddString(ctx, text.data(), text.size());
}

void Md5AddDigest(Md5Context& ctx, const Md5Digest& digest) {
  Md5AddData(ctx, digest.data(), digest.size());
}

std::string Md5DigestAsHex(const Md5Digest& digest) { return ToHex(digest, kHex); }
std::string Md5DigestAsHexAlt(const Md5Digest& digest) { return ToHex(digest, kHexAlt); }

void HmacMD5(const void* data, std::size_t dataLen, const void* key, std::size_t keyLen,
             Md5Digest& digest) {
  std::uint8_t k[64] = {};
  if (keyLen > 64) {
    Md5Context c;
    Md5Digest kd;
    Md5Start(c);
    Md5AddData(c, key, keyLen);
    Md5Finish(kd, c);
    std::memcpy(k, kd.data(), kd.size());
  } else if (keyLen) {
    std::memcpy(k, key, keyLen);
  }
  std::uint8_t ipad[64], opad[64];
  for (int i = 0; i < 64; ++i) {
    ipad[i] = k[i] ^ 0x36;
    opad[i] = k[i] ^ 0x5C;
  }
  Md5Context c;
  Md5Digest inner;
  Md5Start(c);
  Md5AddData(c, ipad, 64);
  Md5AddData(c, data, dataLen);
  Md5Finish(inner, c);
  Md5Start(c);
  Md5AddData(c, opad, 64);
  Md5AddData(c, inner.data(), inner.size());
  Md5Finish(digest, c);
}

void Md5DigestPrefill(Md5Digest& digest) {
  for (int i = 0; i < 16; ++i) digest[i] = std::uint8_t(i + 1);
}

}  // namespace yux::net
