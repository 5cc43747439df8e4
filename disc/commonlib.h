#pragma once
// Small shared routines of the disc library: byte order of drive fields,
// bit tests, sector counts and the wide-string helpers used by the tree.
#include <cstdint>
#include <string>

namespace yux::disc {

// Host value to big-endian (and back: the swap is its own inverse).
inline uint32_t Swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}
inline uint16_t Swap16(uint16_t v) { return uint16_t((v >> 8) | (v << 8)); }

inline uint32_t GetBe32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint16_t GetBe16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline void PutBe16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}
inline void PutLe16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
// Both-endian fields of ISO 9660: little-endian copy then big-endian copy.
inline void PutBoth32(uint8_t* p, uint32_t v) { PutLe32(p, v); PutBe32(p + 4, v); }
inline void PutBoth16(uint8_t* p, uint16_t v) { PutLe16(p, v); PutBe16(p + 2, v); }

inline bool BitSet(uint8_t byte, int bit) { return (byte >> bit) & 1; }

// Bytes to 2048-byte sectors: 0 for 0, else rounded up.
inline uint64_t BytesToSectors(uint64_t bytes) { return (bytes + 2047) / 2048; }

// Upper case of one UTF-16 unit for the letters of the common alphabets
// (Latin, Greek, Cyrillic); other units are returned as they are.
char16_t WideUpper(char16_t c);
std::u16string WideUpper(const std::u16string& s);
// Case-insensitive comparison of two wide strings: -1, 0 or 1.
int WideCompareNoCase(const std::u16string& a, const std::u16string& b);

std::u16string Utf8ToWide(const std::string& s);
std::string WideToUtf8(const std::u16string& s);

}  // namespace yux::disc
