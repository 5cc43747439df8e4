#pragma once
// Helpers for the archiver tests: running the built program the way the
// backup program does, and reading its archives back with outside readers.
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

namespace yux::test::winrar {

// Runs the archiver with arguments already split.
ProcessResult RunWinrar(const std::vector<std::string>& args);
// Runs it with one Windows-style parameter text, split as the backup
// program's process starter splits it.
ProcessResult RunWinrarText(const std::string& parameters);

// Entry names as `bsdtar -tf` lists them (folders end in '/').
std::set<std::string> BsdtarNames(const std::filesystem::path& archive,
                                  const std::string& passphrase = {});
// One entry extracted to standard output by 7z; ok false on failure.
std::string SevenZipExtract(const std::filesystem::path& archive, const std::string& entry,
                            const std::string& password, bool* ok);

// Sets a file's modification time to `daysAgo` days before now.
void SetAge(const std::filesystem::path& p, int daysAgo);

// Bytes that do not compress.
std::string RandomBytes(size_t n, unsigned seed);

// Replaces "{T}" in a text by the given folder.
std::string Expand(std::string text, const std::string& folder);

}  // namespace yux::test::winrar
