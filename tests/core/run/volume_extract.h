#pragma once
// Reading a delivered split set back as a user would: the stand-in
// archiver's "x" of the set's first volume.
#include <filesystem>
#include <string>

#include "tests/support/testsupport.h"

namespace yux::test {

// The bytes of `name` as "x" extracts the set that begins with
// `firstVolume`; empty (with the reason in `why`) when it cannot.
inline std::string ExtractedFile(const std::filesystem::path& firstVolume, const std::string& name,
                                 std::string* why) {
  TempDir out;
  const auto r = RunProgram({BuiltProgram("winrar").string(), "x", "-ibck", firstVolume.string(), out.str() + "/"});
  if (r.exitCode != 0) {
    *why = "x ended with " + std::to_string(r.exitCode) + ": " + r.out + r.err;
    return {};
  }
  for (const auto& e : std::filesystem::recursive_directory_iterator(out.path()))
    if (e.path().filename() == name) return ReadFile(e.path());
  *why = name + " is not in the set";
  return {};
}

}  // namespace yux::test
