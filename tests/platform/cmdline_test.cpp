#include "platform/cmdline.h"
#include "platform/wildcard.h"

#include <gtest/gtest.h>

using yux::platform::JoinCommandLine;
using yux::platform::MatchesMask;
using yux::platform::QuoteArgument;
using yux::platform::SplitCommandLine;

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsByWindowsRules) {
  struct Case {
    const char* text;
    Args want;
  } cases[] = {
      {"", {}},
      {"   ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {"\"a b\" c", {"a b", "c"}},
      {"a\"b c\"d", {"ab cd"}},
      {R"(a\\b c)", {R"(a\\b)", "c"}},           // lone backslashes stay
      {R"("a\"b")", {R"(a"b)"}},                  // 1 backslash + quote: literal quote
      {R"("a\\" b)", {R"(a\)", "b"}},              // 2 backslashes + quote: one backslash, quote ends
      {R"("a\\\"b")", {R"(a\"b)"}},               // 3 backslashes + quote
      {R"("C:\Program Files\" x)", {R"(C:\Program Files" x)"}},  // the classic trap
      {R"("a""b")", {R"(a"b)"}},                  // doubled quote inside quotes
      {"\"\"", {""}},                             // empty argument
      {"a \"\" b", {"a", "", "b"}},
      {"-hp\"pass word\" -r", {"-hppass word", "-r"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.text), c.want) << c.text;
}

TEST(CommandLine, QuotingRoundTrips) {
  const Args tricky[] = {
      {"plain"}, {""}, {"with blank"}, {R"(ends\)"}, {R"(ends with\ blank\)"},
      {R"(quote"inside)"}, {R"(back\"quote)"}, {"tab\there"}, {R"(\\server\share\)"},
      {"pa\"ss\\", "two", ""},
  };
  for (const auto& args : tricky) {
    EXPECT_EQ(SplitCommandLine(JoinCommandLine(args)), args) << JoinCommandLine(args);
  }
  EXPECT_EQ(QuoteArgument("simple"), "simple");
  EXPECT_EQ(QuoteArgument("a b"), "\"a b\"");
}

TEST(Wildcard, WindowsMaskRules) {
  struct Case {
    const char* name;
    const char* mask;
    bool want;
  } cases[] = {
      {"file.txt", "*.*", true},   {"README", "*.*", true},     {"README", "*", true},
      {"a.TXT", "*.txt", true},    {"a.txt.bak", "*.txt", false}, {"abc", "a?c", true},
      {"ac", "a?c", false},        {"notes", "notes.*", true},  {"notes.md", "notes.*", true},
      {"x", "", false},            {"", "", true},              {"aaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*b", true},
      {"aaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*b", false},          {"Ünï.dat", "*.DAT", true},
  };
  for (const auto& c : cases) EXPECT_EQ(MatchesMask(c.name, c.mask), c.want) << c.name << " ~ " << c.mask;
}
