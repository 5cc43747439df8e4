#pragma once
// Split archives at a destination.  The archiver names the volumes of a set
// "base.partN.ext", N padded with zeros to the width of the last volume's
// number.  A set delivered over an earlier, longer set of the same name
// leaves that set's last volumes beside it, and a reader takes them for
// more of the new set: once the new set is delivered whole, they must go.
#include <string>
#include <vector>

namespace yux {

// True when `delivered` holds a whole set (two volumes or more, each of
// them) whose name leaves room for more volumes of the same digit width.
bool HasWholeVolumeSet(const std::vector<std::string>& delivered);

// The names among `present` that are volumes of an earlier, longer set of
// a whole set of `delivered`: the same base and extension and a number
// above the set's count with the same digit width ("a.part4.rar" beside
// "a.part1.rar" to "a.part3.rar"; "a.part04.rar" belongs to another set).
// With `ignoreCase` base and extension match without regard to ASCII case,
// as on a disc.  Sorted by name (so by number within a set).
std::vector<std::string> StaleVolumes(const std::vector<std::string>& delivered,
                                      const std::vector<std::string>& present, bool ignoreCase = false);

}  // namespace yux
