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
// it names.
bool ConsistentAt(const ByteSource& src, uint64_t at) {
  unsigned char end[kEndLen];
  if (!src.ReadAt(at, end, kEndLen)) return false;
  uint64_t count = Get16(end + 10);
  uint64_t cdSize = Get32(end + 12);
  uint64_t cdOffset = Get32(end + 16);
  uint64_t cdEnd = at;  // where the directory must end
  // As for the directory reader: the ZIP64 records count only when the end
  // record's own fields overflowed; otherwise the bytes before it may be an
  // entry's comment that looks like a locator.
  const bool marked = Get16(end + 8) == 0xFFFF || count == 0xFFFF || cdSize == 0xFFFFFFFF ||
                      cdOffset == 0xFFFFFFFF;
  unsigned char loc[kLocatorLen];
  if (marked && at >= kLocatorLen && src.ReadAt(at - kLocatorLen, loc, kLocatorLen) &&
      Get32(loc) == kLocator64Sig) {
    const uint64_t recAt = Get64(loc + 8);
    unsigned char rec[kEnd64Len];
    if (recAt > at - kLocatorLen || at - kLocatorLen - recAt < kEnd64Len ||
        !src.ReadAt(recAt, rec, kEnd64Len) || Get32(rec) != kEnd64Sig ||
        Get64(rec + 4) != at - kLocatorLen - recAt - 12)
      return false;
    count = Get64(rec + 32);
    cdSize = Get64(rec + 40);
    cdOffset = Get64(rec + 48);
    cdEnd = recAt;
  }
  if (cdOffset > cdEnd || cdEnd - cdOffset != cdSize) return false;
  return WholeDirectory(src, cdOffset, cdSize, count);
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
