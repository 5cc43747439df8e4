#pragma once

// Little-endian fields of ZIP records, shared by the readers and writers of
// the archive's directory.

#include <cstddef>
#include <cstdint>
#include <string>

namespace yux::zip {

inline constexpr uint32_t kLocalSig = 0x04034b50;
inline constexpr uint32_t kCentralSig = 0x02014b50;
inline constexpr uint32_t kEndSig = 0x06054b50;
inline constexpr uint32_t kEnd64Sig = 0x06064b50;
inline constexpr uint32_t kLocator64Sig = 0x07064b50;

inline uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const unsigned char* p) {
  return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}
inline void Put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}
inline void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void Put64(std::string& s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void Set16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
inline void Set32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline const unsigned char* U(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
}  // namespace yux::zip
