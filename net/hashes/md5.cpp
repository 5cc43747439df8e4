#include "net/hashes/md5.h"

#include <bit>
#include <cstring>

namespace yux::net {
namespace {

constexpr std::size_t kPiece = 16 * 1024;

inline std::uint32_t Rol(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t Le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// One step per line with its word, constant and rotate written out, so the
// block compiles to straight-line code without a table or a branch.
#define YUX_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define YUX_MD5_G(x, y, z) (((x) & (z)) + ((y) & ~(z)))
#define YUX_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define YUX_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define YUX_MD5_STEP(f, a, b, c, d, k, t, s) \
  a += f(b, c, d) + x[k] + (t);              \
  a = Rol(a, s) + b;

void Transform(std::uint32_t state[4], const std::uint8_t* data, std::size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = Le32(data + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    YUX_MD5_STEP(YUX_MD5_F, a, b, c, d, 0, 0xd76aa478, 7)
    YUX_MD5_STEP(YUX_MD5_F, d, a, b, c, 1, 0xe8c7b756, 12)
    YUX_MD5_STEP(YUX_MD5_F, c, d, a, b, 2, 0x242070db, 17)
    YUX_MD5_STEP(YUX_MD5_F, b, c, d, a, 3, 0xc1bdceee, 22)
    YUX_MD5_STEP(YUX_MD5_F, a, b, c, d, 4, 0xf57c0faf, 7)
    YUX_MD5_STEP(YUX_MD5_F, d, a, b, c, 5, 0x4787c62a, 12)
    YUX_MD5_STEP(YUX_MD5_F, c, d, a, b, 6, 0xa8304613, 17)
    YUX_MD5_STEP(YUX_MD5_F, b, c, d, a, 7, 0xfd469501, 22)
    YUX_MD5_STEP(YUX_MD5_F, a, b, c, d, 8, 0x698098d8, 7)
    YUX_MD5_STEP(YUX_MD5_F, d, a, b, c, 9, 0x8b44f7af, 12)
    YUX_MD5_STEP(YUX_MD5_F, c, d, a, b, 10, 0xffff5bb1, 17)
    YUX_MD5_STEP(YUX_MD5_F, b, c, d, a, 11, 0x895cd7be, 22)
    YUX_MD5_STEP(YUX_MD5_F, a, b, c, d, 12, 0x6b901122, 7)
    YUX_MD5_STEP(YUX_MD5_F, d, a, b, c, 13, 0xfd987193, 12)
    YUX_MD5_STEP(YUX_MD5_F, c, d, a, b, 14, 0xa679438e, 17)
    YUX_MD5_STEP(YUX_MD5_F, b, c, d, a, 15, 0x49b40821, 22)

    YUX_MD5_STEP(YUX_MD5_G, a, b, c, d, 1, 0xf61e2562, 5)
    YUX_MD5_STEP(YUX_MD5_G, d, a, b, c, 6, 0xc040b340, 9)
    YUX_MD5_STEP(YUX_MD5_G, c, d, a, b, 11, 0x265e5a51, 14)
    YUX_MD5_STEP(YUX_MD5_G, b, c, d, a, 0, 0xe9b6c7aa, 20)
    YUX_MD5_STEP(YUX_MD5_G, a, b, c, d, 5, 0xd62f105d, 5)
    YUX_MD5_STEP(YUX_MD5_G, d, a, b, c, 10, 0x02441453, 9)
    YUX_MD5_STEP(YUX_MD5_G, c, d, a, b, 15, 0xd8a1e681, 14)
    YUX_MD5_STEP(YUX_MD5_G, b, c, d, a, 4, 0xe7d3fbc8, 20)
    YUX_MD5_STEP(YUX_MD5_G, a, b, c, d, 9, 0x21e1cde6, 5)
    YUX_MD5_STEP(YUX_MD5_G, d, a, b, c, 14, 0xc33707d6, 9)
    YUX_MD5_STEP(YUX_MD5_G, c, d, a, b, 3, 0xf4d50d87, 14)
    YUX_MD5_STEP(YUX_MD5_G, b, c, d, a, 8, 0x455a14ed, 20)
    YUX_MD5_STEP(YUX_MD5_G, a, b, c, d, 13, 0xa9e3e905, 5)
    YUX_MD5_STEP(YUX_MD5_G, d, a, b, c, 2, 0xfcefa3f8, 9)
    YUX_MD5_STEP(YUX_MD5_G, c, d, a, b, 7, 0x676f02d9, 14)
    YUX_MD5_STEP(YUX_MD5_G, b, c, d, a, 12, 0x8d2a4c8a, 20)

    YUX_MD5_STEP(YUX_MD5_H, a, b, c, d, 5, 0xfffa3942, 4)
    YUX_MD5_STEP(YUX_MD5_H, d, a, b, c, 8, 0x8771f681, 11)
    YUX_MD5_STEP(YUX_MD5_H, c, d, a, b, 11, 0x6d9d6122, 16)
    YUX_MD5_STEP(YUX_MD5_H, b, c, d, a, 14, 0xfde5380c, 23)
    YUX_MD5_STEP(YUX_MD5_H, a, b, c, d, 1, 0xa4beea44, 4)
    YUX_MD5_STEP(YUX_MD5_H, d, a, b, c, 4, 0x4bdecfa9, 11)
    YUX_MD5_STEP(YUX_MD5_H, c, d, a, b, 7, 0xf6bb4b60, 16)
    YUX_MD5_STEP(YUX_MD5_H, b, c, d, a, 10, 0xbebfbc70, 23)
    YUX_MD5_STEP(YUX_MD5_H, a, b, c, d, 13, 0x289b7ec6, 4)
    YUX_MD5_STEP(YUX_MD5_H, d, a, b, c, 0, 0xeaa127fa, 11)
    YUX_MD5_STEP(YUX_MD5_H, c, d, a, b, 3, 0xd4ef3085, 16)
    YUX_MD5_STEP(YUX_MD5_H, b, c, d, a, 6, 0x04881d05, 23)
    YUX_MD5_STEP(YUX_MD5_H, a, b, c, d, 9, 0xd9d4d039, 4)
    YUX_MD5_STEP(YUX_MD5_H, d, a, b, c, 12, 0xe6db99e5, 11)
    YUX_MD5_STEP(YUX_MD5_H, c, d, a, b, 15, 0x1fa27cf8, 16)
    YUX_MD5_STEP(YUX_MD5_H, b, c, d, a, 2, 0xc4ac5665, 23)

    YUX_MD5_STEP(YUX_MD5_I, a, b, c, d, 0, 0xf4292244, 6)
    YUX_MD5_STEP(YUX_MD5_I, d, a, b, c, 7, 0x432aff97, 10)
    YUX_MD5_STEP(YUX_MD5_I, c, d, a, b, 14, 0xab9423a7, 15)
    YUX_MD5_STEP(YUX_MD5_I, b, c, d, a, 5, 0xfc93a039, 21)
    YUX_MD5_STEP(YUX_MD5_I, a, b, c, d, 12, 0x655b59c3, 6)
    YUX_MD5_STEP(YUX_MD5_I, d, a, b, c, 3, 0x8f0ccc92, 10)
    YUX_MD5_STEP(YUX_MD5_I, c, d, a, b, 10, 0xffeff47d, 15)
    YUX_MD5_STEP(YUX_MD5_I, b, c, d, a, 1, 0x85845dd1, 21)
    YUX_MD5_STEP(YUX_MD5_I, a, b, c, d, 8, 0x6fa87e4f, 6)
    YUX_MD5_STEP(YUX_MD5_I, d, a, b, c, 15, 0xfe2ce6e0, 10)
    YUX_MD5_STEP(YUX_MD5_I, c, d, a, b, 6, 0xa3014314, 15)
    YUX_MD5_STEP(YUX_MD5_I, b, c, d, a, 13, 0x4e0811a1, 21)
    YUX_MD5_STEP(YUX_MD5_I, a, b, c, d, 4, 0xf7537e82, 6)
    YUX_MD5_STEP(YUX_MD5_I, d, a, b, c, 11, 0xbd3af235, 10)
    YUX_MD5_STEP(YUX_MD5_I, c, d, a, b, 2, 0x2ad7d2bb, 15)
    YUX_MD5_STEP(YUX_MD5_I, b, c, d, a, 9, 0xeb86d391, 21)
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
  }
}

#undef YUX_MD5_STEP
#undef YUX_MD5_I
#undef YUX_MD5_H
#undef YUX_MD5_G
#undef YUX_MD5_F

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
    Transform(ctx.state, ctx.buffer, 1);
  }
  if (len >= 64) {
    Transform(ctx.state, p, len / 64);
    p += len & ~std::size_t(63);
    len &= 63;
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
