#pragma once
// Split archives at a destination.  The archiver names the volumes of a set
// "base.partN.ext", N padded with zeros to the width of the last volume's
// number.  A set delivered where an earlier set of the same name lay
// leaves that set's volumes beside it: its last ones if it was longer and
// of the same width, all of them if its numbers were of another width.
// A reader takes only the new set, but the old volumes are an older
// backup posing under the new one's name: once the new set is delivered
// whole, where old versions may be replaced, they go.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace yux {

// One volume's name, "base.partN.ext", with its parts as spelled.
struct VolumeName {
  std::string base;  // before ".part"
  std::string part;  // ".part"
  std::string ext;   // from the dot after the number to the end; may be empty
  std::size_t width = 0;
  unsigned long number = 0;
  // The name of volume `n` of the same set; empty when `n` needs more
  // digits than the set's names have (the set cannot go on).
  std::string Name(unsigned long n) const;
};

// `name` (without folder) read as a volume: ".part", a number of 1 to 9
// digits, then nothing or an extension.  With `ignoreCase`, ".part" is
// found in any case.
std::optional<VolumeName> ParseVolumeName(const std::string& name, bool ignoreCase = false);

// True when `delivered` holds a whole set: two volumes or more, each of
// them, numbered as wide as the last.
bool HasWholeVolumeSet(const std::vector<std::string>& delivered);

// The names among `present` that are volumes of an earlier set of the
// name of a whole set of `delivered`: the same base and extension, of any
// digit width, and not one of the set's own names ("a.part4.rar",
// "a.part01.rar" and "a.part10.rar" beside "a.part1.rar" to "a.part3.rar").
// With `ignoreCase` base and extension match without regard to ASCII case,
// as on a disc.  Sorted by name.
std::vector<std::string> StaleVolumes(const std::vector<std::string>& delivered,
                                      const std::vector<std::string>& present, bool ignoreCase = false);

}  // namespace yux
