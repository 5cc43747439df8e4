#include "core/store/inifile.h"

#include <gtest/gtest.h>

#include "tests/support/testsupport.h"

using namespace yux;

namespace {

// One file that shows every matching rule the language files rely on.
constexpr const char kQuirks[] =
    "orphan=before any section\r\n"
    "[ Strings ]\r\n"
    "  Done =  'Done.'  \r\n"
    "done=second line of the same key\r\n"
    "; Commented=yes\r\n"
    "  ;Indented=comment too\r\n"
    "empty=\r\n"
    "blank =   \t\r\n"
    "semi=a ; b\r\n"
    "dq=\"x\"\r\n"
    "eq=a=b\r\n"
    "noequals\r\n"
    "=no key\r\n"
    "unix=lf line\n"
    "mac=cr line\r"
    "[strings]\r\n"
    "late=only in the second section of the name\r\n"
    "[FORMS]\r\n"
    "Form1=Caption\r\n"
    "[Tail]\r\n"
    "last=no line end";

TEST(IniFile, QuirksTable) {
  test::TempDir dir;
  test::WriteFile(dir / "q.lng", kQuirks);
  TIniFile ini((dir / "q.lng").string());
  ASSERT_TRUE(ini.Loaded());
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"STRINGS", "done", "'Done.'"},            // names ignore case, value trimmed, quotes kept
      {"strings", "DONE", "'Done.'"},            // first line of a key wins
      {"Strings", "Commented", "<def>"},         // comment lines hold no key
      {"Strings", "; Commented", "<def>"},
      {"Strings", "Indented", "<def>"},
      {"Strings", "empty", ""},                  // present but empty is not the default
      {"Strings", "blank", ""},
      {"Strings", "semi", "a ; b"},              // ";" inside a value is text
      {"Strings", "dq", "\"x\""},
      {"Strings", "eq", "a=b"},                  // the first "=" splits
      {"Strings", "noequals", "<def>"},
      {"Strings", "", "<def>"},
      {"Strings", "unix", "lf line"},
      {"Strings", "mac", "cr line"},
      {"Strings", "late", "<def>"},              // only the first section of a name is searched
      {"Strings", "orphan", "<def>"},            // keys before any section are ignored
      {"", "orphan", "<def>"},
      {"FORMS", "form1", "Caption"},
      {"Tail", "last", "no line end"},
      {"Missing", "done", "<def>"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ini.ReadString(c.section, c.key, "<def>"), c.expected) << c.section << "/" << c.key;
  EXPECT_TRUE(ini.SectionExists("forms"));
  EXPECT_FALSE(ini.SectionExists("INFO"));
}

TEST(IniFile, UnusableFilesGiveDefaults) {
  test::TempDir dir;
  test::WriteFile(dir / "empty.lng", "");
  test::WriteFile(dir / "binary.lng", std::string("\x00\x01\xff\xfe=\x00[\x80", 9));
  test::WriteFile(dir / "plain.txt", "just some text\nwith=equals\n");
  for (const char* name : {"missing.lng", "empty.lng", "binary.lng", "plain.txt"}) {
    TIniFile ini((dir / name).string());
    EXPECT_EQ(ini.ReadString("STRINGS", "with", "def"), "def") << name;
    EXPECT_FALSE(ini.SectionExists("STRINGS")) << name;
  }
  EXPECT_FALSE(TIniFile((dir / "missing.lng").string()).Loaded());
  EXPECT_FALSE(TIniFile(dir.str()).Loaded());  // a folder is no file
}

TEST(IniFile, EightBitAndUnicodeFiles) {
  test::TempDir dir;
  // Windows-1252: not valid UTF-8, so every byte is converted.
  test::WriteFile(dir / "cp1252.lng", "[S]\r\nk=Caf\xe9 \x80 \x93q\x94\r\n");
  EXPECT_EQ(TIniFile((dir / "cp1252.lng").string()).ReadString("S", "k", ""),
            "Caf\xc3\xa9 \xe2\x82\xac \xe2\x80\x9cq\xe2\x80\x9d");
  // UTF-8, with and without a byte-order mark, stays as written.
  test::WriteFile(dir / "utf8.lng", "\xef\xbb\xbf[S]\r\nk=Caf\xc3\xa9\r\n");
  EXPECT_EQ(TIniFile((dir / "utf8.lng").string()).ReadString("S", "k", ""), "Caf\xc3\xa9");
  // UTF-16 little endian with its byte-order mark.
  std::string u16 = "\xff\xfe";
  for (char c : std::string("[S]\r\nk=Caf")) u16 += std::string{c, '\0'};
  u16 += std::string("\xe9\x00", 2);
  test::WriteFile(dir / "u16.lng", u16);
  EXPECT_EQ(TIniFile((dir / "u16.lng").string()).ReadString("s", "K", ""), "Caf\xc3\xa9");
}

TEST(IniFile, DecodeAnsiTextRejectsMalformedUtf8) {
  // Overlong forms and encoded surrogates are not UTF-8: read as Windows-1252.
  EXPECT_FALSE(IsValidUtf8("\xc0\xaf"));
  EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));
  EXPECT_FALSE(IsValidUtf8("\xe2\x82"));  // cut short
  EXPECT_TRUE(IsValidUtf8("\xf0\x9f\x98\x80"));
  EXPECT_EQ(DecodeAnsiText("\xc0\xaf"), "\xc3\x80\xc2\xaf");
}

}  // namespace
