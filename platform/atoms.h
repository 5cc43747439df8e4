#pragma once
// The global atom table: short texts handed between windows by a 16-bit
// number.  A broadcast carries the text itself to other processes
// (platform/broadcast.h), so the table is the process's own.
#include "platform/messages.h"

#include <cstdint>
#include <string>

namespace yux::platform {

using ATOM = std::uint16_t;

inline constexpr std::size_t kMaxAtomLength = 255;

// Adds a text (1 to 255 bytes) or counts one more reference to it; returns
// its atom (0xC000 and up), 0 with ERROR_INVALID_PARAMETER for an empty or
// longer text (never truncated).  Texts are compared exactly: they carry
// file paths, and on this system "a/File" and "a/file" are two files.
ATOM GlobalAddAtom(const std::string& text);
// The text of an atom; false with ERROR_INVALID_PARAMETER when unknown.
bool GlobalGetAtomName(ATOM atom, std::string* text);
// Drops one reference; the atom goes with its last one.  Returns 0 on
// success, the atom itself when it was unknown (as Windows does).
ATOM GlobalDeleteAtom(ATOM atom);

}  // namespace yux::platform
