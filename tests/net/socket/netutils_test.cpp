// Tick arithmetic, text routines, UTF-8 checks and code pages.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <stdexcept>

#include "net/socket/codepage.h"
#include "net/socket/netutils.h"
#include "platform/messages.h"
#include "tests/support/testsupport.h"

using namespace yux::net;

TEST(NetTickDiff, ExactAcrossTheWrap) {
  struct {
    std::uint32_t start, stop, diff;
  } const cases[] = {
      {0, 0, 0},
      {100, 250, 150},
      {0xFFFFFFF0u, 0x10, 32},  // 16 ms to the wrap and 16 after it
      {0xFFFFFFFFu, 0, 1},
      {0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFFu},
  };
  for (const auto& c : cases) EXPECT_EQ(NetTickDiff(c.start, c.stop), c.diff) << c.start;
}

TEST(NetRandom, StaysInRangeAndSpreads) {
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 2000; ++i) {
    std::uint32_t v = NetRandom(10);
    ASSERT_LT(v, 10u);
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 10u);
  EXPECT_EQ(NetRandom(0), 0u);
  EXPECT_EQ(NetRandom(-5), 0u);
}

TEST(NetTextRoutines, DecimalHexAndCharacterTests) {
  EXPECT_EQ(NetDecimalToInt("   42abc"), 42);
  EXPECT_EQ(NetDecimalToInt("\t42"), 0);  // tabs are not skipped
  EXPECT_EQ(NetDecimalToInt(nullptr), 0);
  // Digits past any count stop growing the value instead of wrapping it.
  EXPECT_EQ(NetDecimalToInt("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(NetDecimalToInt("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(NetHexDigitValue('7'), 7);
  EXPECT_EQ(NetHexDigitValue('a'), 10);
  EXPECT_EQ(NetHexDigitValue('F'), 15);
  EXPECT_EQ(NetHexToIntN(" 1aFz", 5), 0x1AFu);
  EXPECT_EQ(NetHexToIntN("12345", 3), 0x123u);
  EXPECT_EQ(NetHexByteToInt("ff00"), 0xFFu);
  EXPECT_STREQ(NetSkipSpaces(" \t\r\nx "), "x ");
  EXPECT_TRUE(IsWhiteSpaceChar('\n'));
  EXPECT_FALSE(IsBlankChar('\n'));
  TNetCharSet set;
  set.Add('a');
  set.Add(0xFF);
  EXPECT_TRUE(NetCharInSet('a', set));
  EXPECT_TRUE(NetCharInSet(char(0xFF), set));
  EXPECT_FALSE(NetCharInSet('b', set));
  const std::uint8_t bytes[] = {0x01, 0xAB, 0x00};
  EXPECT_EQ(NetBytesToHex(bytes, 3), "01AB00");
  EXPECT_EQ(NetBytesToHexSep(bytes, 2, ':'), "01:AB");
  EXPECT_EQ(NetBytesToHex(bytes, 0), "");
  EXPECT_EQ(NetByteSwap16(0x1234), 0x3412);
  EXPECT_EQ(NetByteSwap32(0x11223344u), 0x44332211u);
  EXPECT_EQ(NetByteSwap64(0x0102030405060708ull), 0x0807060504030201ull);
  std::uint32_t src[2] = {1, 0xAABBCCDD}, dst[2];
  NetByteSwap32Array(src, dst, 2);
  EXPECT_EQ(dst[0], 0x01000000u);
  EXPECT_EQ(dst[1], 0xDDCCBBAAu);
}

TEST(DetectUtf8, Classifies) {
  struct {
    std::string data;
    int result;
  } const cases[] = {
      {"abc", 0},
      {"", 0},
      {"\xC3\xA9", 1},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", 1},
      {"\xC0\x80", 2},          // overlong lead
      {"\xE0\x80\x80", 2},      // overlong three bytes
      {"\xF0\x80\x80\x80", 2},  // overlong four bytes
      {"\xC3", 2},              // cut off
      {"\x80", 2},              // stray continuation
      {"\xC3\x41", 2},          // missing continuation
      {"\xF8\x88\x80\x80\x80", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(DetectUtf8String(c.data), c.result) << c.data;
  EXPECT_TRUE(IsValidUtf8("\xC3\xA9"));
  EXPECT_FALSE(IsValidUtf8("\xC3"));
  EXPECT_EQ(Utf8SequenceLength(0x41), 1);
  EXPECT_EQ(Utf8SequenceLength(0xC1), 0);
  EXPECT_EQ(Utf8SequenceLength(0xE5), 3);
  EXPECT_EQ(Utf8SequenceLength(0xF5), 0);
}

TEST(CodePages, RecodeThroughIconv) {
  // "café €" in Windows-1252, UTF-8 and back.
  const std::string cp1252 = "caf\xE9 \x80";
  const std::string utf8 = "caf\xC3\xA9 \xE2\x82\xAC";
  EXPECT_EQ(NetAnsiToUtf8(cp1252, 1252), utf8);
  EXPECT_EQ(NetUtf8ToAnsi(utf8, 1252), cp1252);
  EXPECT_EQ(NetRecodeString(utf8, 65001, 65001), utf8);
  EXPECT_EQ(NetRecodeString("", 1252, 65001), "");
  // A double-byte code page.
  EXPECT_EQ(NetUtf8ToAnsi("\xE6\x97\xA5", 932), "\x93\xFA");
  // A character the target cannot hold becomes its replacement character.
  EXPECT_EQ(NetUtf8ToAnsi("a\xE6\x97\xA5", 1252), "a?");
  EXPECT_EQ(NetUtf8ToAnsi("a\xE6\x97\xA5", 37), std::string("\x81", 1) + "\x6F");
  EXPECT_EQ(NetUnicodeToAnsi(u"\u00e9", 28591), "\xE9");
  // System code page: UTF-8.
  EXPECT_EQ(NetSystemCodePage(), 65001u);
  EXPECT_EQ(NetUnicodeToAnsi(u"\u00e9", 0), "\xC3\xA9");
}

TEST(CodePages, WindowsConversionContract) {
  char16_t wide[8];
  // Size query, then conversion; -1 converts the terminator too.
  EXPECT_EQ(NetMultiByteToWideChar(1252, 0, "ab", -1, nullptr, 0), 3);
  EXPECT_EQ(NetMultiByteToWideChar(1252, 0, "ab", -1, wide, 8), 3);
  EXPECT_EQ(wide[0], u'a');
  EXPECT_EQ(wide[2], u'\0');
  // Too small a destination fails with 122.
  EXPECT_EQ(NetMultiByteToWideChar(1252, 0, "abcd", 4, wide, 2), 0);
  EXPECT_EQ(yux::platform::GetLastError(), 122u);
  // Invalid UTF-8 becomes U+FFFD.
  EXPECT_EQ(NetMultiByteToWideChar(65001, 0, "a\xFF" "b", 3, wide, 8), 3);
  EXPECT_EQ(wide[1], u'\uFFFD');
  bool used = false;
  char out[8];
  EXPECT_EQ(NetWideCharToMultiByte(1252, 0, u"x\u65e5", 2, out, 8, "#", &used), 2);
  EXPECT_EQ(std::string(out, 2), "x#");
  EXPECT_TRUE(used);
}

TEST(CodePages, MissingCodePageIsNotInstalledNotACrash) {
  // 720 (DOS Arabic) has no iconv converter here; 99999 is no code page.
  for (std::uint32_t cp : {720u, 99999u}) {
    EXPECT_FALSE(NetIsValidCodePage(cp)) << cp;
    char16_t w[4];
    EXPECT_EQ(NetMultiByteToWideChar(cp, 0, "abc", 3, w, 4), 0);
    EXPECT_EQ(yux::platform::GetLastError(), 87u);
    EXPECT_EQ(NetRecodeString("abc", cp, 65001), "");
    EXPECT_EQ(NetUtf8ToAnsi("abc", cp), "");
  }
  for (std::uint32_t cp : {1252u, 932u, 65001u, 28605u, 20866u})
    EXPECT_TRUE(NetIsValidCodePage(cp)) << cp;
}

TEST(CodePages, TablesAndCharacterLengths) {
  EXPECT_EQ(NetDefaultUnicodeChar(932), u'\u30FB');
  EXPECT_EQ(NetDefaultUnicodeChar(65001), u'\uFFFD');
  EXPECT_EQ(NetDefaultUnicodeChar(1252), u'?');
  EXPECT_EQ(NetDefaultAnsiChar(500), '\x6F');
  EXPECT_EQ(NetDefaultAnsiChar(1252), '\x3F');
  EXPECT_TRUE(NetCodePageNeedsZeroFlags(50221));
  EXPECT_TRUE(NetCodePageNeedsZeroFlags(57005));
  EXPECT_FALSE(NetCodePageNeedsZeroFlags(1252));
  EXPECT_TRUE(NetIsSingleByteCodePage(862));
  EXPECT_TRUE(NetIsSingleByteCodePage(28597));
  EXPECT_FALSE(NetIsSingleByteCodePage(932));
  EXPECT_TRUE(NetIsLeadByte(0x81, 932));
  EXPECT_FALSE(NetIsLeadByte(0xA0, 932));
  EXPECT_TRUE(NetIsLeadByte(0x87, 20003));
  EXPECT_FALSE(NetIsLeadByte(0x88, 20003));
  EXPECT_FALSE(NetIsLeadByte(0x81, 1252));

  EXPECT_EQ(NetCharLength("\x93\xFA", 932), 2);
  EXPECT_EQ(NetCharLength("\x93", 932), 1);  // a lead byte before the end
  EXPECT_EQ(NetCharLength("", 932), 0);
  EXPECT_EQ(NetCharLength("\xE2\x82\xAC!", 65001), 3);
  EXPECT_EQ(NetCharLength("\xC3" "A", 65001), 1);
  const std::string s = "a\xC3\xA9z";
  EXPECT_EQ(NetNextCharIndex(s, 1, 65001), 2);
  EXPECT_EQ(NetNextCharIndex(s, 2, 65001), 4);
  EXPECT_EQ(NetNextCharIndex(s, 2, 0), 4);  // the system code page is UTF-8
  EXPECT_THROW(NetNextCharIndex(s, 0, 65001), std::logic_error);
  EXPECT_THROW(NetNextCharIndex(s, 5, 65001), std::logic_error);
}

TEST(NetFileLastWriteTime, DateTimeOfTheFile) {
  yux::test::TempDir dir;
  auto path = (dir / "f.txt").string();
  yux::test::WriteFile(path, "x");
  double now = double(std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count()) /
                   86400.0 +
               25569.0;  // days from 1899-12-30 to 1970-01-01
  EXPECT_NEAR(NetFileLastWriteTime(path), now, 1.0 / 1440);  // within a minute
  EXPECT_EQ(NetFileLastWriteTime((dir / "missing").string()), 0.0);
}
