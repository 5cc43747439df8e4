#include "net/protocols/charsets.h"

#include <gtest/gtest.h>

#include <set>

#include "net/protocols/netcsc.h"
#include "net/socket/codepage.h"

using namespace yux::net;

TEST(Charsets, NameLookups) {
  const std::pair<const char*, std::uint32_t> names[] = {
      {"utf-8", 65001},       {"UTF-8", 65001},        {"Utf-8", 65001},
      {"latin1", 28591},      {"l1", 28591},           {"csisoatin1", 28591},
      {"csisolatin1", 65536},  // the alias is kept as the table spells it
      {"ISO-8859-8-I", 38598}, {"ibm01140", 1140},     {"ebcdic-no-277+euro", 1142},
      {"gb_2312-80", 20936},  {"windows-936", 936},    {"unicodefffe", 1201},
      {"us", 20127},          {"iso-2022-jp-2", 50222}, {"x-unknown", 65536},
      {"", 65536},
  };
  for (auto [name, expected] : names) {
    std::uint32_t cp = 0;
    bool ok = CharsetNameToCodePage(name, cp);
    EXPECT_EQ(cp, expected) << name;
    EXPECT_EQ(ok, expected < 65536) << name;
  }
  std::uint32_t cp = 0;
  EXPECT_TRUE(CharsetNameToCodePage("dummy", cp));
  EXPECT_EQ(cp, NetSystemCodePage());
  EXPECT_EQ(NetSystemCodePage(), 65001u);
}

TEST(Charsets, CodePagesWithoutConverterAreNotInstalled) {
  // iconv has no HZ and no x-cp50227; every other code page of the table,
  // the ISO-8859-8-I, GB2312-80 and euro IBM pages included, converts.
  std::set<std::uint32_t> missing;
  for (int id = 2; id < kCharsetCount; ++id) {
    const auto& e = CharsetEntry(id);
    if (!IsCodePageInstalled(e.CodePage)) missing.insert(e.CodePage);
  }
  EXPECT_EQ(missing, (std::set<std::uint32_t>{50227, 52936}));
  std::uint32_t cp = 0;
  EXPECT_FALSE(CharsetNameToCodePage("HZ-GB-2312", cp));
  EXPECT_EQ(cp, 65537u);
  try {
    TNetCsc csc(52936);
    FAIL() << "expected an exception";
  } catch (const ENetStringConvertError& e) {
    EXPECT_STREQ(e.what(), "Codepage \"52936\" not supported.");
  }
  EXPECT_THROW(TNetCsc(12345), ENetStringConvertError);
}

TEST(Charsets, CodePageToName) {
  EXPECT_EQ(CodePageToCharsetName(28596), "iso-8859-6");
  EXPECT_EQ(CodePageToCharsetName(708), "iso-8859-6");
  EXPECT_EQ(CodePageToCharsetName(12345), "");
  EXPECT_EQ(CodePageToCharsetName(0), "dummy");
  EXPECT_EQ(CodePageToCharsetName(65001), "utf-8");
  EXPECT_EQ(CodePageToCharsetName(932), "shift_jis");
  EXPECT_EQ(CharsetIdToName(1), "");
  EXPECT_EQ(CharsetIdToName(128 + 2), "utf-8");
  EXPECT_EQ(CodePageToCharsetId(12345), 1);
  // Every preferred name maps back to its own code page.
  for (int id = 2; id < kCharsetCount; ++id) {
    const TCharsetEntry* e = FindCharsetEntry(CharsetIdToName(id));
    ASSERT_NE(e, nullptr) << id;
    EXPECT_EQ(e->Id, id);
  }
}

TEST(NetCsc, EveryInstalledCharsetConvertsBothWays) {
  const std::u16string text = u"Backup 2026";
  for (int id = 2; id < kCharsetCount; ++id) {
    const auto& e = CharsetEntry(id);
    if (!IsCodePageInstalled(e.CodePage)) continue;
    TNetCsc csc(e.CodePage);
    std::string bytes = csc.FromWideString(text);
    ASSERT_FALSE(bytes.empty()) << e.Names;
    EXPECT_EQ(csc.ToWideString(bytes), text) << e.Names;
  }
}

TEST(NetCsc, KindsOfConverters) {
  const std::pair<std::uint32_t, int> kinds[] = {
      {1252, 0}, {28591, 0}, {37, 0}, {932, 1},  {936, 1},   {950, 1},  {65001, 3},
      {65000, 3}, {1200, 4}, {1201, 4}, {12000, 4}, {54936, 2}, {51932, 2}, {50220, 2},
  };
  for (auto [cp, kind] : kinds) EXPECT_EQ(TNetCsc(cp).Kind(), kind) << cp;
  EXPECT_EQ(TNetCsc(0).CodePage(), 65001u);
  EXPECT_EQ(TNetCsc(12001).MinCharSize(), 4);
}

TEST(NetCsc, NextCodePointSize) {
  struct Case {
    std::uint32_t cp;
    std::string bytes;
    int size;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {1252, "\xE9x", 1},
      {65001, "\xC3\xA9", 2},
      {65001, "\xE2\x82\xAC!", 3},
      {65001, "\xF0\x9F\x98\x80", 4},
      {65001, "\xC3", -1},
      {65001, "\xC3\x41", -11},
      {65001, "\x80", -11},
      {65001, "\xC0\x80", -11},
      {65001, "\xED\xA0\x80", -11},  // a surrogate in UTF-8
      {932, "\x82\xA0", 2},
      {932, "\x82", -1},
      {932, "a\x82", 1},
      {1200, "A\0"s, 2},
      {1200, "\x3D\xD8\x00\xDE"s, 4},  // U+1F600
      {1200, "\x3D\xD8"s, -1},         // lone high surrogate at the end
      {1200, "\x3D\xD8" "A\0"s, -14},  // not followed by a low surrogate
      {1200, "\x00\xDE"s, -12},        // low surrogate first
      {1201, "\xD8\x3D\xDE\x00"s, 4},
      {12000, "\x00\xF6\x01\x00"s, 4},
      {12000, "\x00\x00\x11\x00"s, -14},
      {12001, "\x00\x00\xD8\x00"s, -14},
      {54936, "\x81\x30\x81\x30", 4},
      {54936, "\x81\x40", 2},
      {54936, "\x80", -11},
      {54936, "\x81\x30\x81", -1},
      {51932, "\x8E\xA1", 2},
      {51932, "\x8F\xA1\xA1", 3},
      {51932, "\xA4\xA2", 2},
      {51932, "a", 1},
      {50220, "\x1B$B\x30\x22\x1B(B", 5},  // escape and one kanji
      {50220, "a", 1},
      {50220, "\x1B$B\x30", -1},
      // UTF-7: a shifted run is one piece, its closing "-" with it.
      {65000, "A+ImIDkQ.", 1},
      {65000, "+ImIDkQ.", 7},
      {65000, "+ZeVnLIqe-", 10},
      {65000, "+-", 2},
      {65000, "+!", -12},
      {65000, "+ImI", -1},
      {65000, "+ImI\x80", -15},
      {65000, "\x80", -11},
  };
  for (const auto& c : cases) {
    TNetCsc csc(c.cp);
    EXPECT_EQ(csc.GetNextCodePointSize(c.bytes.data(), static_cast<int>(c.bytes.size())), c.size)
        << "code page " << c.cp << " case " << &c - cases;
  }
}

TEST(NetCsc, Utf7PublishedExamples) {
  // The examples of RFC 2152.
  const std::pair<std::u16string, std::string> examples[] = {
      {u"A\u2262\u0391.", "A+ImIDkQ."},
      {u"Hi Mom -\u263A-!", "Hi Mom -+Jjo--!"},
      {u"\u65E5\u672C\u8A9E", "+ZeVnLIqe-"},
      {u"Item 3 is \u00A31.", "Item 3 is +AKM-1."},
  };
  TNetCsc csc(65000);
  for (const auto& [wide, utf7] : examples) {
    EXPECT_EQ(csc.ToWideString(utf7), wide) << utf7;
    EXPECT_EQ(csc.ToWideString(csc.FromWideString(wide)), wide) << utf7;
  }
}

TEST(NetCsc, WindowsStyleConversionContract) {
  TNetCsc utf8(65001);
  char16_t buf[16];
  // Needed size first, then the conversion; sizes are in bytes of UTF-16.
  EXPECT_EQ(utf8.ToWide(0, "h\xC3\xA9", 3, nullptr, 0), 4);
  EXPECT_EQ(utf8.ToWide(0, "h\xC3\xA9", 3, buf, sizeof buf), 4);
  EXPECT_EQ(buf[1], u'\u00E9');
  EXPECT_EQ(utf8.LastError(), NETCSC_ERROR_SUCCESS);
  // Zero-terminated source: the terminator converts too.
  EXPECT_EQ(utf8.ToWide(0, "ab", -1, buf, sizeof buf), 6);
  EXPECT_EQ(buf[2], u'\0');
  // Too small a destination.
  EXPECT_EQ(utf8.ToWide(0, "abc", 3, buf, 4), 0);
  EXPECT_EQ(utf8.LastError(), NETCSC_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(utf8.ToWide(0, "abc", 0, buf, 4), 0);
  EXPECT_EQ(utf8.LastError(), NETCSC_ERROR_INVALID_PARAMETER);
  // Invalid input: replaced, or a failure with the invalid-characters flag.
  EXPECT_EQ(utf8.ToWide(0, "a\xFF" "b", 3, buf, sizeof buf), 6);
  EXPECT_EQ(buf[1], u'\uFFFD');
  EXPECT_EQ(utf8.ToWide(MB_ERR_INVALID_CHARS, "a\xFF" "b", 3, buf, sizeof buf), 0);
  EXPECT_EQ(utf8.LastError(), NETCSC_ERROR_NO_UNICODE_TRANSLATION);

  TNetCsc latin(1252);
  char out[8];
  const char16_t han[] = u"a\u4E00";
  EXPECT_EQ(latin.FromWide(0, han, 4, out, sizeof out), 2);
  EXPECT_EQ(std::string(out, 2), "a?");
  EXPECT_EQ(latin.FromWide(WC_NO_BEST_FIT_CHARS, han, 4, out, sizeof out), 0);
  EXPECT_EQ(latin.LastError(), NETCSC_ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(latin.FromWide(0, han, 3, out, sizeof out), 0);  // odd byte count
  EXPECT_EQ(latin.LastError(), NETCSC_ERROR_INVALID_PARAMETER);

  // UTF-16 big endian and UTF-32 are converted here, surrogates checked.
  TNetCsc be(1201);
  EXPECT_EQ(be.FromWideString(u"A\U0001F600"), std::string("\0A\xD8\x3D\xDE\x00", 6));
  TNetCsc u32(12000);
  EXPECT_EQ(u32.ToWideString(std::string("\x00\xF6\x01\x00", 4)), u"\U0001F600");
  const char16_t lone[] = {0xD800, u'x'};
  EXPECT_EQ(be.FromWide(WC_NO_BEST_FIT_CHARS, lone, 4, out, sizeof out), 0);
  EXPECT_EQ(be.FromWide(0, lone, 4, out, sizeof out), 4);
  EXPECT_EQ(std::string(out, 4), std::string("\xFF\xFD\0x", 4));
}

// A zero-terminated UTF-16 or UTF-32 source ends at a whole zero unit, not
// at its first zero byte.
TEST(NetCsc, ZeroTerminatedWideSourcesEndAtAZeroUnit) {
  const struct {
    std::uint32_t cp;
    std::string src;  // "AB" then the terminator, then bytes past it
  } cases[] = {
      {1200, std::string("A\0B\0\0\0Z\0", 8)},
      {1201, std::string("\0A\0B\0\0\0Z", 8)},
      {12000, std::string("A\0\0\0B\0\0\0\0\0\0\0Z\0\0\0", 16)},
      {12001, std::string("\0\0\0A\0\0\0B\0\0\0\0\0\0\0Z", 16)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cp);
    TNetCsc csc(c.cp);
    char16_t buf[8] = {u'x', u'x', u'x', u'x', u'x', u'x', u'x', u'x'};
    EXPECT_EQ(csc.ToWide(0, c.src.data(), -1, nullptr, 0), 6);
    EXPECT_EQ(csc.ToWide(0, c.src.data(), -1, buf, sizeof buf), 6);
    EXPECT_EQ(std::u16string(buf, 4), std::u16string(u"AB\0x", 4));
  }
}

TEST(NetCsc, LoneSurrogateToStatefulCodePage) {
  // A stateful converter may write its designation on every reset; the
  // conversion must still end, ask for the size it then writes, and give
  // the unconvertible unit back as the default character, also between
  // characters of a two-byte run.
  const struct {
    std::uint32_t cp;
    char16_t before, after;
  } cases[] = {
      {50225, u'\uD55C', u'\uAE00'}, {50220, u'\u65E5', u'\u672C'}, {50221, u'\u65E5', u'\u672C'},
      {50222, u'\u65E5', u'\u672C'}, {65000, u'\u65E5', u'\u672C'}, {1252, u'a', u'b'},
  };
  for (const auto& c : cases) {
    if (!IsCodePageInstalled(c.cp)) continue;
    TNetCsc csc(c.cp);
    const char16_t lone = 0xDF41;
    const std::pair<std::u16string, std::u16string> texts[] = {
        {std::u16string(1, lone), u"?"},
        {std::u16string{c.before, lone, c.after}, std::u16string{c.before, u'?', c.after}},
    };
    for (const auto& [wide, expected] : texts) {
      const int bytes = static_cast<int>(wide.size() * 2);
      const int need = csc.FromWide(0, wide.data(), bytes, nullptr, 0);
      ASSERT_GT(need, 0) << c.cp;
      ASSERT_LT(need, 64) << c.cp;
      std::string out(static_cast<std::size_t>(need), '\0');
      EXPECT_EQ(csc.FromWide(0, wide.data(), bytes, out.data(), need), need) << c.cp;
      EXPECT_EQ(csc.ToWideString(out), expected) << c.cp;
      // Refused outright when best-fit replacement is not allowed.
      EXPECT_EQ(csc.FromWide(WC_NO_BEST_FIT_CHARS, wide.data(), bytes, nullptr, 0), 0) << c.cp;
    }
  }
}
