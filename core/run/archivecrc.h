#pragma once
// The CRC-32 of every file an archive holds, so that a source is deleted
// only when its bytes are the ones archived.  The archive's own listing
// names the entries; the ZIP central directory gives their CRCs, and an
// AES entry that keeps its CRC hidden (AE-2) is read back with the
// archive's password.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/run/sourcedelete.h"

namespace yux {

// Sets the crc of every file entry of `entries` (the listing of the archive
// made of `volumes`, in part order).  False, with a reason in *error, when
// the CRCs cannot be had: the archive is not a ZIP archive, its encryption
// hides them, or a hidden one cannot be read back (no or a wrong
// password).  `pump` is called now and then while entries are read back.
bool AddArchiveCrcs(const std::vector<std::string>& volumes, const std::string& password,
                    std::vector<ArchivedEntry>& entries, const std::function<void()>& pump,
                    std::string* error);

// The CRC-32 and length of a file's bytes, read once in large blocks with
// `pump` called between them; false when it cannot be read.
bool FileCrc32(const std::string& path, const std::function<void()>& pump, std::uint32_t* crc,
               std::int64_t* length);

}  // namespace yux
