#include "net/hashes/sha1.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "net/hashes/sha1blocks.h"

namespace yux::net {
namespace {

inline std::uint32_t Rol(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t Be32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

// Five named variables rotate through the round macros instead of being
// shifted each round, and the schedule is a 16-word ring, so the whole block
// compiles to straight-line code with constant rotates.
#define YUX_SHA1_W0(i) (w[i] = Be32(data + 4 * (i)))
#define YUX_SHA1_W(i)                                                                \
  (w[(i) & 15] = Rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ \
                         w[(i) & 15],                                              \
                     1))
#define YUX_SHA1_R0(a, b, c, d, e, i) \
  e += ((b & (c ^ d)) ^ d) + YUX_SHA1_W0(i) + 0x5A827999 + Rol(a, 5); \
  b = Rol(b, 30);
#define YUX_SHA1_R1(a, b, c, d, e, i) \
  e += ((b & (c ^ d)) ^ d) + YUX_SHA1_W(i) + 0x5A827999 + Rol(a, 5); \
  b = Rol(b, 30);
#define YUX_SHA1_R2(a, b, c, d, e, i) \
  e += (b ^ c ^ d) + YUX_SHA1_W(i) + 0x6ED9EBA1 + Rol(a, 5); \
  b = Rol(b, 30);
#define YUX_SHA1_R3(a, b, c, d, e, i) \
  e += (((b | c) & d) | (b & c)) + YUX_SHA1_W(i) + 0x8F1BBCDC + Rol(a, 5); \
  b = Rol(b, 30);
#define YUX_SHA1_R4(a, b, c, d, e, i) \
  e += (b ^ c ^ d) + YUX_SHA1_W(i) + 0xCA62C1D6 + Rol(a, 5); \
  b = Rol(b, 30);
// Five rounds, after which the variables are back in their places.
#define YUX_SHA1_FIVE(R, i)   \
  R(a, b, c, d, e, (i));     \
  R(e, a, b, c, d, (i) + 1); \
  R(d, e, a, b, c, (i) + 2); \
  R(c, d, e, a, b, (i) + 3); \
  R(b, c, d, e, a, (i) + 4);

}  // namespace

void Sha1BlocksPortable(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    std::uint32_t w[16];
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    YUX_SHA1_FIVE(YUX_SHA1_R0, 0)
    YUX_SHA1_FIVE(YUX_SHA1_R0, 5)
    YUX_SHA1_FIVE(YUX_SHA1_R0, 10)
    YUX_SHA1_R0(a, b, c, d, e, 15)
    YUX_SHA1_R1(e, a, b, c, d, 16)
    YUX_SHA1_R1(d, e, a, b, c, 17)
    YUX_SHA1_R1(c, d, e, a, b, 18)
    YUX_SHA1_R1(b, c, d, e, a, 19)
    YUX_SHA1_FIVE(YUX_SHA1_R2, 20)
    YUX_SHA1_FIVE(YUX_SHA1_R2, 25)
    YUX_SHA1_FIVE(YUX_SHA1_R2, 30)
    YUX_SHA1_FIVE(YUX_SHA1_R2, 35)
    YUX_SHA1_FIVE(YUX_SHA1_R3, 40)
    YUX_SHA1_FIVE(YUX_SHA1_R3, 45)
    YUX_SHA1_FIVE(YUX_SHA1_R3, 50)
    YUX_SHA1_FIVE(YUX_SHA1_R3, 55)
    YUX_SHA1_FIVE(YUX_SHA1_R4, 60)
    YUX_SHA1_FIVE(YUX_SHA1_R4, 65)
    YUX_SHA1_FIVE(YUX_SHA1_R4, 70)
    YUX_SHA1_FIVE(YUX_SHA1_R4, 75)
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

#undef YUX_SHA1_FIVE
#undef YUX_SHA1_R4
#undef YUX_SHA1_R3
#undef YUX_SHA1_R2
#undef YUX_SHA1_R1
#undef YUX_SHA1_R0
#undef YUX_SHA1_W
#undef YUX_SHA1_W0

namespace {

using BlocksFn = void (*)(std::uint32_t*, const std::uint8_t*, std::size_t);

void FirstBlocks(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks);

// Starts as a resolver so that a digest taken during static initialisation
// still works; relaxed is enough, every thread stores the same choice.
std::atomic<BlocksFn> Blocks{FirstBlocks};

void FirstBlocks(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
  BlocksFn fn = Sha1ShaExtensionsAvailable() ? Sha1BlocksShaExtensions : Sha1BlocksPortable;
  Blocks.store(fn, std::memory_order_relaxed);
  fn(state, data, blocks);
}

void Feed(Sha1Context& ctx, const std::uint8_t* p, std::size_t len) {
  if (ctx.index > 0) {
    std::size_t take = std::min(std::size_t(64 - ctx.index), len);
    std::memcpy(ctx.block + ctx.index, p, take);
    ctx.index += int(take);
    p += take;
    len -= take;
    if (ctx.index < 64) return;
    Blocks.load(std::memory_order_relaxed)(ctx.state, ctx.block, 1);
    ctx.index = 0;
  }
  if (len >= 64) {
    Blocks.load(std::memory_order_relaxed)(ctx.state, p, len / 64);
    p += len & ~std::size_t(63);
    len &= 63;
  }
  if (len > 0) {
    std::memcpy(ctx.block, p, len);
    ctx.index = int(len);
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

bool Sha1SelectPath(Sha1Path path) {
  if (path == Sha1Path::ShaExtensions && !Sha1ShaExtensionsAvailable()) return false;
  Blocks.store(path == Sha1Path::ShaExtensions ? Sha1BlocksShaExtensions : Sha1BlocksPortable,
               std::memory_order_relaxed);
  return true;
}

Sha1Path Sha1CurrentPath() {
  BlocksFn fn = Blocks.load(std::memory_order_relaxed);
  if (fn == FirstBlocks) fn = Sha1ShaExtensionsAvailable() ? Sha1BlocksShaExtensions : Sha1BlocksPortable;
  return fn == Sha1BlocksShaExtensions ? Sha1Path::ShaExtensions : Sha1Path::Portable;
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
