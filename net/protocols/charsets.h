#pragma once
// MIME charset names (with their aliases) mapped to code pages and back.
// A code page counts as installed when iconv can convert it.
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::net {

inline constexpr std::uint32_t CP_UNKNOWN_CHARSET = 65536;   // name not in the table
inline constexpr std::uint32_t CP_NOT_INSTALLED = 65537;     // known name, no converter

struct TCharsetEntry {
  std::uint8_t Id;
  std::uint32_t CodePage;
  std::string Names;  // preferred MIME name first, then aliases, separated by blanks
  std::string Description;
};

// The table has 80 entries; entry 0 ("dummy") stands for the system ANSI
// code page, entry 1 (no names, code page 65536) for "unknown".
constexpr int kCharsetCount = 80;
const TCharsetEntry& CharsetEntry(int id);

// The id of the entry for a code page (708 and 28596 both give the
// iso-8859-6 entry, 0 gives entry 0); 1 for a code page not in the table.
int CodePageToCharsetId(std::uint32_t codePage);
// The preferred name of an entry (ids taken modulo 128); empty for id 1 or
// an id past the table.
std::string CharsetIdToName(int id);
std::string CodePageToCharsetName(std::uint32_t codePage);
// The entry one of whose names equals the lower-cased name, or null.
const TCharsetEntry* FindCharsetEntry(std::string_view name);
// The code page for a charset name: 65536 when the name is unknown, 65537
// when the code page is not installed.  True exactly when it is usable.
bool CharsetNameToCodePage(std::string_view name, std::uint32_t& codePage);
bool IsCodePageInstalled(std::uint32_t codePage);

}  // namespace yux::net
