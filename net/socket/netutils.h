#pragma once
// Small free routines of the network suite: tick arithmetic, random numbers,
// file times, decimal and hexadecimal text, byte order and UTF-8 checks.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::net {

// Milliseconds from Start to Stop, both 32-bit tick counts: the exact
// difference modulo 2^32, so that it stays right across the wrap.
std::uint32_t NetTickDiff(std::uint32_t start, std::uint32_t stop);

// Pseudo-random integer from 0 to range - 1 (0 for a range below 1).
// Seeded once from the clock and the system's random source.
std::uint32_t NetRandom(std::int32_t range);

// Last-write time of a file as a date-time (days since 1899-12-30, with the
// time as the fraction), 0 when the file is not found.
double NetFileLastWriteTime(const std::string& fileName);

// Skips spaces (not tabs), then accumulates decimal digits; null gives 0.
std::int64_t NetDecimalToInt(const char* p);
int NetHexDigitValue(char ch);
bool IsHexDigit(char ch);
bool IsDecimalDigit(char ch);
bool IsBlankChar(char ch);       // tab, space
bool IsLineBreakChar(char ch);   // CR, LF
bool IsWhiteSpaceChar(char ch);  // tab, LF, CR, space
// First byte that is not tab, LF, CR or space.
const char* NetSkipSpaces(const char* p);

// A set of 256 bytes.
struct TNetCharSet {
  std::uint8_t bits[32] = {};
  void Add(unsigned char ch) { bits[ch >> 3] |= std::uint8_t(1u << (ch & 7)); }
};
bool NetCharInSet(char ch, const TNetCharSet& set);

// Within the first len bytes: skip spaces, then hex digits until a non-digit.
std::uint32_t NetHexToIntN(const char* s, int len);
std::uint32_t NetHexByteToInt(const char* s);
// Two upper-case hex digits per byte; empty for len <= 0.
std::string NetBytesToHex(const void* data, int len);
std::string NetBytesToHexSep(const void* data, int len, char sep);

std::uint16_t NetByteSwap16(std::uint16_t v);
std::uint32_t NetByteSwap32(std::uint32_t v);
std::uint64_t NetByteSwap64(std::uint64_t v);
void NetByteSwap32Array(const std::uint32_t* src, std::uint32_t* dst, std::size_t count);

// 1 below 0x80, 2 for C2-DF, 3 for E0-EF, 4 for F0-F4, else 0.
int Utf8SequenceLength(std::uint8_t b);
// 0: plain ASCII; 1: valid UTF-8 with a multi-byte sequence; 2: not UTF-8.
int DetectUtf8(const void* data, std::size_t len);
int DetectUtf8String(std::string_view s);
bool IsValidUtf8(std::string_view s);

}  // namespace yux::net
