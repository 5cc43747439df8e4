#pragma once
// TNetCsc: for one code page, how long the next character of a byte string
// is, and conversion between that code page and UTF-16.  Conversions go
// through iconv, except UTF-16 and UTF-32 which are converted here.
#include <cstdint>
#include <string>
#include <string_view>

#include "net/socket/netexceptions.h"

namespace yux::net {

class ENetStringConvertError : public ENetException {
 public:
  using ENetException::ENetException;
};

// Flags of the conversions, as the Windows functions take them.
inline constexpr std::uint32_t MB_ERR_INVALID_CHARS = 0x08;
inline constexpr std::uint32_t WC_NO_BEST_FIT_CHARS = 0x80;

// The last-error values the conversions leave behind.
inline constexpr std::uint32_t NETCSC_ERROR_SUCCESS = 0;
inline constexpr std::uint32_t NETCSC_ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t NETCSC_ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t NETCSC_ERROR_NO_UNICODE_TRANSLATION = 1113;

class TNetCsc {
 public:
  // 0 means the system ANSI code page.  An unusable code page raises
  // ENetStringConvertError "Codepage \"n\" not supported.".
  explicit TNetCsc(std::uint32_t codePage);
  ~TNetCsc();
  TNetCsc(const TNetCsc&) = delete;
  TNetCsc& operator=(const TNetCsc&) = delete;

  std::uint32_t CodePage() const { return FCodePage; }
  void SetCodePage(std::uint32_t codePage);
  // 0 single-byte, 1 double-byte, 2 other multi-byte, 3 UTF-8 or UTF-7,
  // 4 UTF-16 or UTF-32.
  int Kind() const { return FKind; }
  int MinCharSize() const { return FMinCharSize; }
  char16_t DefaultUnicodeChar() const { return FDefaultUnicodeChar; }
  char DefaultAnsiChar() const { return FDefaultAnsiChar; }
  // UTF-7 decoder state after the last size test: 0 direct, 1 after "+",
  // 2 inside a shifted run.
  int Utf7State() const { return FUtf7State; }

  // Size in bytes of the character at the start of buf; -1 when the buffer
  // ends inside it; -11 - k when the byte at offset k is invalid; -12 for an
  // unexpected low surrogate or a UTF-7 shift error; -14 for a missing low
  // surrogate or a UTF-32 value that is no character.
  int GetNextCodePointSize(const void* buf, int len);

  // Windows-style conversions: a source length of -1 means zero-terminated
  // (the terminator converts too); a destination size of 0 asks for the
  // size needed.  Return the bytes written (or needed), 0 on failure; the
  // outcome is in LastError().  MB_ERR_INVALID_CHARS (to UTF-16) and
  // WC_NO_BEST_FIT_CHARS (from UTF-16) make anything unconvertible a failure
  // (1113); without them it becomes the replacement character.
  int ToWide(std::uint32_t flags, const void* src, int srcLen, char16_t* dst, int dstBytes);
  int FromWide(std::uint32_t flags, const char16_t* src, int srcBytes, void* dst, int dstLen);
  std::uint32_t LastError() const { return FLastError; }

  // Whole-string forms of the conversions (no flags).
  std::u16string ToWideString(std::string_view s);
  std::string FromWideString(std::u16string_view w);

 private:
  int Convert(bool toWide, std::uint32_t flags, const char* src, std::size_t srcLen, char* dst,
              int dstSize);
  int TrialSize(const unsigned char* p, int len);
  int Utf7Size(const unsigned char* p, int len);

  std::uint32_t FCodePage = 0;
  int FKind = 0;
  int FMinCharSize = 1;
  char16_t FDefaultUnicodeChar = u'?';
  char FDefaultAnsiChar = '?';
  int FUtf7State = 0;
  std::uint32_t FLastError = 0;
  std::string FIconvName;
};

}  // namespace yux::net
