// Finding the end of a split archive among the files that bear its name.
#include "zip/zipvolumes.h"

#include <algorithm>
#include <string>

#include "zip/zipbytes.h"

namespace yux::zip {
namespace {

constexpr uint64_t kEndLen = 22;
constexpr uint64_t kLocatorLen = 20;
constexpr uint64_t kEnd64Len = 56;

// The directory of `count` records from `offset` fills exactly `size`
// bytes.
bool WholeDirectory(const ByteSource& src, uint64_t offset, uint64_t size, uint64_t count) {
  if (count == 0) return size == 0;
  // A record is at least 46 bytes: a count the size cannot hold is no
  // directory (and no reason to read gigabytes).
  if (size / 46 < count) return false;
  std::string cd(static_cast<size_t>(size), '\0');
  if (!src.ReadAt(offset, cd.data(), cd.size())) return false;
  uint64_t at = 0;
  for (uint64_t n = 0; n < count; ++n) {
    if (at + 46 > size || Get32(U(cd) + at) != kCentralSig) return false;
    const unsigned char* h = U(cd) + at;
    at += 46 + Get16(h + 28) + Get16(h + 30) + Get16(h + 32);
  }
  return at == size;
}

// The end record at `at` (its comment already fits) with the directory
// it names, which must end exactly where the end records begin.
bool ConsistentAt(const ByteSource& src, uint64_t at) {
  DirectoryPlace place;
  std::string error;
  if (!DirectoryNamedAt(src, at, &place, &error)) return false;
  // A ZIP64 end record must end where its locator begins.
  if (place.recordsAt != at &&
      (place.recordsAt > at - kLocatorLen || at - kLocatorLen - place.recordsAt < kEnd64Len ||
       place.end64Length != at - kLocatorLen - place.recordsAt - 12))
    return false;
  if (place.offset > place.recordsAt || place.recordsAt - place.offset != place.size) return false;
  return WholeDirectory(src, place.offset, place.size, place.count);
}

}  // namespace

bool EndsInEndRecord(const ByteSource& src, uint64_t end) {
  if (end < kEndLen || end > src.Size()) return false;
  const uint64_t tailLen = std::min<uint64_t>(end, kEndLen + 0xFFFF);
  std::string tail(static_cast<size_t>(tailLen), '\0');
  if (!src.ReadAt(end - tailLen, tail.data(), tail.size())) return false;
  // A comment may itself hold the signature: every record whose comment
  // reaches exactly to the end is a candidate, the last one first.
  for (size_t i = static_cast<size_t>(tailLen - kEndLen) + 1; i-- > 0;) {
    if (Get32(U(tail) + i) != kEndSig || i + kEndLen + Get16(U(tail) + i + 20) != tailLen) continue;
    if (ConsistentAt(src, end - tailLen + i)) return true;
  }
  return false;
}

}  // namespace yux::zip
