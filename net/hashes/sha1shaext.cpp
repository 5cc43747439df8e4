// SHA-1 with the x86 SHA extensions: four rounds per sha1rnds4, the message
// schedule in sha1msg1/sha1msg2.  Compiled for those instructions only
// here; the caller checks the CPU first.
#include "net/hashes/sha1blocks.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>

namespace yux::net {

// Asks the processor itself: some compilers' __builtin_cpu_supports does not
// know the "sha" feature, and the answer must not depend on the compiler.
bool Sha1ShaExtensionsAvailable() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = c & (1u << 9);
  const bool sse41 = c & (1u << 19);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = b & (1u << 29);
  return sha && sse41 && ssse3;
}

// Four rounds: `x` holds the four schedule words of this group; `act` takes
// them (plus e from the last group), `other` keeps the state for the next
// group; the three schedule lines prepare the words of later groups.
#define YUX_SHA1_GROUP(f, x, act, other, next, after, last) \
  act = _mm_sha1nexte_epu32(act, x);                        \
  other = abcd;                                             \
  next = _mm_sha1msg2_epu32(next, x);                       \
  abcd = _mm_sha1rnds4_epu32(abcd, act, f);                 \
  last = _mm_sha1msg1_epu32(last, x);                       \
  after = _mm_xor_si128(after, x);

__attribute__((target("sha,sse4.1,ssse3"))) void Sha1BlocksShaExtensions(
    std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
  const __m128i kSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(int(state[4]), 0, 0, 0);
  __m128i e1;
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abcdSaved = abcd;
    const __m128i eSaved = e0;
    const auto* in = reinterpret_cast<const __m128i*>(data);
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in), kSwap);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), kSwap);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), kSwap);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), kSwap);
    // Rounds 0-11: the first words come straight from the block.
    e0 = _mm_add_epi32(e0, m0);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
    e1 = _mm_sha1nexte_epu32(e1, m1);
    e0 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e1, 0);
    m0 = _mm_sha1msg1_epu32(m0, m1);
    e0 = _mm_sha1nexte_epu32(e0, m2);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
    m1 = _mm_sha1msg1_epu32(m1, m2);
    m0 = _mm_xor_si128(m0, m2);
    // Rounds 12-79.
    YUX_SHA1_GROUP(0, m3, e1, e0, m0, m1, m2)
    YUX_SHA1_GROUP(0, m0, e0, e1, m1, m2, m3)
    YUX_SHA1_GROUP(1, m1, e1, e0, m2, m3, m0)
    YUX_SHA1_GROUP(1, m2, e0, e1, m3, m0, m1)
    YUX_SHA1_GROUP(1, m3, e1, e0, m0, m1, m2)
    YUX_SHA1_GROUP(1, m0, e0, e1, m1, m2, m3)
    YUX_SHA1_GROUP(1, m1, e1, e0, m2, m3, m0)
    YUX_SHA1_GROUP(2, m2, e0, e1, m3, m0, m1)
    YUX_SHA1_GROUP(2, m3, e1, e0, m0, m1, m2)
    YUX_SHA1_GROUP(2, m0, e0, e1, m1, m2, m3)
    YUX_SHA1_GROUP(2, m1, e1, e0, m2, m3, m0)
    YUX_SHA1_GROUP(2, m2, e0, e1, m3, m0, m1)
    YUX_SHA1_GROUP(3, m3, e1, e0, m0, m1, m2)
    YUX_SHA1_GROUP(3, m0, e0, e1, m1, m2, m3)
    YUX_SHA1_GROUP(3, m1, e1, e0, m2, m3, m0)
    YUX_SHA1_GROUP(3, m2, e0, e1, m3, m0, m1)
    YUX_SHA1_GROUP(3, m3, e1, e0, m0, m1, m2)
    e0 = _mm_sha1nexte_epu32(e0, eSaved);
    abcd = _mm_add_epi32(abcd, abcdSaved);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = std::uint32_t(_mm_extract_epi32(e0, 3));
}

#undef YUX_SHA1_GROUP

}  // namespace yux::net

#else

namespace yux::net {

bool Sha1ShaExtensionsAvailable() { return false; }

void Sha1BlocksShaExtensions(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
  Sha1BlocksPortable(state, data, blocks);
}

}  // namespace yux::net

#endif
