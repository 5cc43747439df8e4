#include "zip/zipaes.h"

#include "zip/zipbytes.h"

namespace yux::zip {

namespace {

constexpr size_t kCentralFixed = 46;
constexpr uint16_t kAesExtraId = 0x9901;
// General purpose flags: strong encryption, and an encrypted central
// directory (whose CRCs are masked).
constexpr uint16_t kStrongEncryption = 1u << 6;
constexpr uint16_t kMaskedCentral = 1u << 13;

}  // namespace

std::optional<int> AesVendorVersion(const ZipEntry& entry) {
  const std::string& c = entry.central;
  if (c.size() < kCentralFixed || Get32(U(c)) != kCentralSig) return std::nullopt;
  const size_t nameLen = Get16(U(c) + 28);
  const size_t extraLen = Get16(U(c) + 30);
  size_t at = kCentralFixed + nameLen;
  const size_t end = at + extraLen;
  if (end > c.size()) return std::nullopt;
  while (at + 4 <= end) {
    const uint16_t id = Get16(U(c) + at);
    const size_t size = Get16(U(c) + at + 2);
    at += 4;
    if (at + size > end) return std::nullopt;
    if (id == kAesExtraId) {
      // Vendor version, "AE", key strength, the method under the encryption.
      if (size < 7 || c[at + 2] != 'A' || c[at + 3] != 'E') return std::nullopt;
      return Get16(U(c) + at);
    }
    at += size;
  }
  return std::nullopt;
}

bool CentralCrcIsData(const ZipEntry& entry) {
  if (entry.flags & (kStrongEncryption | kMaskedCentral)) return false;
  if (entry.method != kAesMethod) return true;
  const auto version = AesVendorVersion(entry);
  return version && *version == 1;
}

}  // namespace yux::zip
