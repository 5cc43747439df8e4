#include "net/socket/netutils.h"

#include <sys/random.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <limits>
#include <mutex>

#include "net/hashes/md5.h"

namespace yux::net {

std::uint32_t NetTickDiff(std::uint32_t start, std::uint32_t stop) {
  // Unsigned arithmetic is modular: 0xFFFFFFF0 to 0x10 is 32 ms.
  return stop - start;
}

namespace {

std::atomic<std::uint32_t> g_randomState{0};
std::once_flag g_randomSeeded;

void SeedRandom() {
  yux::net::Md5Context ctx;
  yux::net::Md5Digest digest;
  yux::net::Md5Start(ctx);
  std::uint64_t counter =
      std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
  yux::net::Md5AddData(ctx, &counter, sizeof counter);
  std::uint8_t extra[8];
  if (getrandom(extra, sizeof extra, GRND_NONBLOCK) == ssize_t(sizeof extra))
    yux::net::Md5AddData(ctx, extra, sizeof extra);
  yux::net::Md5Finish(digest, ctx);
  std::uint32_t seed = 0x92D68CA2;
  for (int off = 0; off <= 8; off += 4) {
    std::uint32_t w = std::uint32_t(digest[off]) | (std::uint32_t(digest[off + 1]) << 8) |
                      (std::uint32_t(digest[off + 2]) << 16) |
                      (std::uint32_t(digest[off + 3]) << 24);
    if (w != 0) {
      seed = w;
      break;
    }
  }
  g_randomState.store(seed, std::memory_order_relaxed);
}

}  // namespace

std::uint32_t NetRandom(std::int32_t range) {
  std::call_once(g_randomSeeded, SeedRandom);
  std::uint32_t x = g_randomState.load(std::memory_order_relaxed);
  std::uint32_t next;
  do {
    next = x;
    next ^= next << 13;
    next ^= next >> 17;
    next ^= next << 5;
  } while (!g_randomState.compare_exchange_weak(x, next, std::memory_order_relaxed));
  if (range < 1) return 0;
  return std::uint32_t((std::uint64_t(next) * std::uint64_t(range)) >> 32);
}

double NetFileLastWriteTime(const std::string& fileName) {
  std::error_code ec;
  auto t = std::filesystem::last_write_time(fileName, ec);
  if (ec) return 0;
  auto sys = std::chrono::file_clock::to_sys(t);
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(sys.time_since_epoch()).count();
  // 100-ns units since 1601 (the Windows file time), then days since 1899-12-30.
  long double fileTime = (long double)ns / 100.0L + 116444736000000000.0L;
  return double(fileTime / 864000000000.0L - 109205.0L);
}

std::int64_t NetDecimalToInt(const char* p) {
  if (!p) return 0;
  while (*p == ' ') ++p;
  std::int64_t v = 0;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  for (; *p >= '0' && *p <= '9'; ++p) {
    int d = *p - '0';
    v = v > (kMax - d) / 10 ? kMax : v * 10 + d;  // saturates rather than wraps
  }
  return v;
}

int NetHexDigitValue(char ch) {
  auto c = static_cast<unsigned char>(ch);
  if (c >= '0' && c <= '9') return c - '0';
  return (c & 15) + 9;
}

bool IsHexDigit(char ch) {
  return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}
bool IsDecimalDigit(char ch) { return ch >= '0' && ch <= '9'; }
bool IsBlankChar(char ch) { return ch == ' ' || ch == '\t'; }
bool IsLineBreakChar(char ch) { return ch == '\r' || ch == '\n'; }
bool IsWhiteSpaceChar(char ch) { return IsBlankChar(ch) || IsLineBreakChar(ch); }

const char* NetSkipSpaces(const char* p) {
  while (IsWhiteSpaceChar(*p)) ++p;
  return p;
}

bool NetCharInSet(char ch, const TNetCharSet& set) {
  auto c = static_cast<unsigned char>(ch);
  return (set.bits[c >> 3] >> (c & 7)) & 1;
}

std::uint32_t NetHexToIntN(const char* s, int len) {
  int i = 0;
  while (i < len && IsWhiteSpaceChar(s[i])) ++i;
  std::uint32_t v = 0;
  while (i < len && IsHexDigit(s[i])) v = (v << 4) | std::uint32_t(NetHexDigitValue(s[i++]));
  return v;
}

std::uint32_t NetHexByteToInt(const char* s) { return NetHexToIntN(s, 2); }

std::string NetBytesToHex(const void* data, int len) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  if (len <= 0) return s;
  const auto* p = static_cast<const std::uint8_t*>(data);
  s.resize(std::size_t(len) * 2);
  for (int i = 0; i < len; ++i) {
    s[2 * i] = kHex[p[i] >> 4];
    s[2 * i + 1] = kHex[p[i] & 15];
  }
  return s;
}

std::string NetBytesToHexSep(const void* data, int len, char sep) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  if (len <= 0) return s;
  const auto* p = static_cast<const std::uint8_t*>(data);
  s.reserve(std::size_t(len) * 3);
  for (int i = 0; i < len; ++i) {
    if (i) s += sep;
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}

std::uint16_t NetByteSwap16(std::uint16_t v) { return std::uint16_t((v >> 8) | (v << 8)); }
std::uint32_t NetByteSwap32(std::uint32_t v) { return __builtin_bswap32(v); }
std::uint64_t NetByteSwap64(std::uint64_t v) { return __builtin_bswap64(v); }
void NetByteSwap32Array(const std::uint32_t* src, std::uint32_t* dst, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) dst[i] = __builtin_bswap32(src[i]);
}

int Utf8SequenceLength(std::uint8_t b) {
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

int DetectUtf8(const void* data, std::size_t len) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  bool multi = false;
  std::size_t i = 0;
  while (i < len) {
    std::uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    int n;
    if (b >= 0xC2 && b <= 0xDF)
      n = 2;
    else if (b >= 0xE0 && b <= 0xEF)
      n = 3;
    else if (b >= 0xF0 && b <= 0xF7)
      n = 4;
    else
      return 2;  // C0, C1, F8 and up, or a stray continuation byte
    if (i + std::size_t(n) > len) return 2;  // cut off at the end
    for (int k = 1; k < n; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return 2;
    if (b == 0xE0 && p[i + 1] < 0xA0) return 2;  // overlong
    if (b == 0xF0 && p[i + 1] < 0x90) return 2;  // overlong
    multi = true;
    i += std::size_t(n);
  }
  return multi ? 1 : 0;
}

int DetectUtf8String(std::string_view s) { return DetectUtf8(s.data(), s.size()); }
bool IsValidUtf8(std::string_view s) { return DetectUtf8String(s) != 2; }

}  // namespace yux::net
