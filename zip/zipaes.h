#pragma once
// The AES extra field (0x9901) of an encrypted ZIP entry.  Its vendor
// version tells whether the entry's CRC-32 is stored (AE-1) or left zero
// (AE-2, for small entries whose CRC would give their content away).
#include <optional>

#include "zip/zipdir.h"

namespace yux::zip {

inline constexpr unsigned short kAesMethod = 99;

// The vendor version (1 for AE-1, 2 for AE-2) of the entry's AES extra
// field in its central record; nullopt when it has none or it is damaged.
std::optional<int> AesVendorVersion(const ZipEntry& entry);

// Whether the central record's CRC-32 is the CRC of the entry's data: true
// for plain and traditionally encrypted entries and for AE-1; false for
// AE-2, for entries under strong or unknown encryption, and for a damaged
// AES field.
bool CentralCrcIsData(const ZipEntry& entry);

}  // namespace yux::zip
