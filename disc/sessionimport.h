#pragma once
// Reads the directory tree of a session already on the disc back into the
// file tree, so that a new session carries the old files.
#include <string>

#include "disc/scsilib.h"
#include "disc/tree.h"

namespace yux::disc {

// Deepest folder nesting and largest directory the import follows; a disc
// that goes beyond them is cut there rather than read without end.
constexpr int kMaxImportDepth = 64;
constexpr uint32_t kMaxImportDirectoryBytes = 16u << 20;

// Imports session `session` (0: the last one) into the tree directory with
// the given path (the root when there is none). Returns the session number
// used; a disc without a readable volume imports nothing. `joliet`, when
// given, says whether the names read were the Joliet ones (exact) rather
// than the ISO 9660 ones (upper case, to be matched without regard to case).
int ImportSession(TTreeContext& tree, TSCSIDevice& device, int session,
                  const std::string& destination, bool* joliet = nullptr);

}  // namespace yux::disc
