#pragma once
// Code pages: Windows code-page numbers converted through iconv.  A code
// page that iconv cannot convert counts as not installed: the conversions
// then fail (0, last error 87) instead of guessing.
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::net {

inline constexpr std::uint32_t CP_ACP = 0;
inline constexpr std::uint32_t CP_UTF7 = 65000;
inline constexpr std::uint32_t CP_UTF8 = 65001;

// The iconv name of a code page, or null when the table has none.
const char* NetCodePageIconvName(std::uint32_t codePage);
// True when the code page is in the table and iconv can convert it.
bool NetIsValidCodePage(std::uint32_t codePage);

// The system ANSI code page (65001: the system text is UTF-8), read once.
std::uint32_t NetSystemCodePage();

// The Windows conversions with the same arguments: a source length of -1
// means zero-terminated (the terminator is converted too); a destination
// size of 0 asks for the needed size.  Returns the count written (or
// needed), 0 on failure with the platform's last error set (87 for an
// unknown code page or bad arguments, 122 for a too small destination).
// Bytes that cannot be converted become the code page's replacement
// character (or defaultChar when given).
int NetMultiByteToWideChar(std::uint32_t codePage, std::uint32_t flags, const char* src, int srcLen,
                           char16_t* dst, int dstLen);
int NetWideCharToMultiByte(std::uint32_t codePage, std::uint32_t flags, const char16_t* src,
                           int srcLen, char* dst, int dstLen, const char* defaultChar = nullptr,
                           bool* usedDefaultChar = nullptr);

// Wide text to 8-bit text in the code page (0: the system code page).
std::string NetUnicodeToAnsi(std::u16string_view w, std::uint32_t codePage);
// Text from one code page to another; empty when a step yields nothing.
std::string NetRecodeString(std::string_view s, std::uint32_t srcCodePage,
                            std::uint32_t dstCodePage);
std::string NetAnsiToUtf8(std::string_view s, std::uint32_t codePage);
std::string NetUtf8ToAnsi(std::string_view s, std::uint32_t codePage);

char16_t NetDefaultUnicodeChar(std::uint32_t codePage);
char NetDefaultAnsiChar(std::uint32_t codePage);
bool NetCodePageNeedsZeroFlags(std::uint32_t codePage);
bool NetIsSingleByteCodePage(std::uint32_t codePage);
bool NetIsLeadByte(std::uint8_t b, std::uint32_t codePage);

// Bytes of the character at p (0 at the terminating zero).
int NetCharLength(const char* p, std::uint32_t codePage);
// The 1-based index of the character after the one at `index` (1 to
// s.size(); anything else fails with "Assertion failure").
int NetNextCharIndex(std::string_view s, int index, std::uint32_t codePage);

}  // namespace yux::net
