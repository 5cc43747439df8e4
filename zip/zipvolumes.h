#pragma once
// Where a split archive ends.  The volumes of a set are its bytes cut into
// pieces; a reader that joins more files than the set has (an older
// volume of the same name left beside it) sees an archive that ends in
// the wrong place.  The set is the shortest run of volumes whose joined
// bytes end in an end record that fits them exactly.
#include <cstdint>

#include "zip/zipdir.h"

namespace yux::zip {

// True when the first `end` bytes of `src` end in a consistent end record:
// its comment reaches exactly to `end`, and the central directory it (or
// its ZIP64 record) names is whole and ends exactly where the end records
// begin.  Bytes inside an archive that merely look like an end record (a
// stored .zip among the entries) name a directory somewhere else.
bool EndsInEndRecord(const ByteSource& src, uint64_t end);

}  // namespace yux::zip
