#include "net/protocols/mimedecode.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "memstream.h"

using namespace yux::net;

namespace {

struct Recorder {
  TMimeDecode dec;
  std::vector<std::string> parts, inlineLines, events;
  yux::test::MemStream dest;
  Recorder() {
    dec.DestStream = &dest;
    dec.OnPartLine = [this](TMimeDecode*, const char* d, int n) { parts.emplace_back(d, static_cast<std::size_t>(n)); };
    dec.OnInlineDecodeBegin = [this](TMimeDecode*, const std::string& f) { events.push_back("begin " + f); };
    dec.OnInlineDecodeEnd = [this](TMimeDecode*, const std::string& f) { events.push_back("end " + f); };
  }
  void Line(const std::string& s) { dec.ProcessPartLine(s.data(), static_cast<int>(s.size())); }
  std::string Base64(const std::string& text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    dec.LineData = buf.data();
    dec.DecodeBase64Line();
    std::string out(buf.data());
    return out;
  }
};

}  // namespace

TEST(MimeDecode, Base64LineDecodesInPlace) {
  const std::pair<std::string, std::string> cases[] = {
      {"dXNlcjpwYXNzd29yZA==", "user:password"},
      {" \tdXNlcjpwYXNzd29yZA==\t ", "user:password"},  // blanks and tabs trimmed
      {"YWI=", "ab"},                                    // one "=": two bytes
      {"YQ==", "a"},                                     // two "=": one byte
      {"YQ==YWJj", "aabc"},                              // "=" does not stop the loop
      {"YWJjZA", "abcd"},                                // missing characters count as "="
  };
  for (const auto& [in, out] : cases) {
    Recorder r;
    std::vector<char> buf(in.begin(), in.end());
    buf.push_back('\0');
    r.dec.LineData = buf.data();
    r.dec.DecodeBase64Line();
    EXPECT_EQ(std::string(buf.data()), out) << in;  // from the start, zero-terminated
    ASSERT_EQ(r.parts.size(), 1u);
    EXPECT_EQ(r.parts[0], out);
    EXPECT_EQ(r.dest.data(), out);
  }
  // A trailing CR is not white space: it decodes as an outside character.
  Recorder r;
  EXPECT_NE(r.Base64("YWJj\r"), "abc");
  EXPECT_EQ(r.Base64("YWJj\r").substr(0, 3), "abc");
}

TEST(MimeDecode, UuencodedFileInText) {
  Recorder r;
  r.dec.OnInlineDecodeLine = [&](TMimeDecode*, const char* l, int n) { r.inlineLines.emplace_back(l, static_cast<std::size_t>(n)); };
  r.Line("Some text before.");
  r.Line("begin 644 cat.txt");
  r.Line("#0V%T");  // "Cat"
  r.Line("`");
  r.Line("end");
  r.Line("after");
  EXPECT_EQ(r.parts, (std::vector<std::string>{"Some text before.", "after"}));
  EXPECT_EQ(r.events, (std::vector<std::string>{"begin cat.txt", "end cat.txt"}));
  EXPECT_EQ(r.inlineLines, (std::vector<std::string>{"Cat", ""}));
  EXPECT_EQ(r.dest.data(), "Some text before.after");
  // A line that runs out before its count gives nothing.
  r.Line("begin 600 short.bin");
  r.Line("&0V%");
  EXPECT_EQ(r.inlineLines.back(), "");
  // "cut here" lines are taken but start or end nothing.
  Recorder c;
  c.Line("begin 644 --- cut here ---");
  EXPECT_FALSE(c.dec.InInlineDecode());
  EXPECT_TRUE(c.parts.empty());
  // Not a begin line: digits must reach position 9.
  c.Line("begin 6 x");
  EXPECT_EQ(c.parts, (std::vector<std::string>{"begin 6 x"}));
}

TEST(MimeDecode, DecodedBase64ThatStartsAnEmbeddedFile) {
  Recorder r;
  // "begin 644 a.txt" in Base64.
  r.Base64("YmVnaW4gNjQ0IGEudHh0");
  EXPECT_TRUE(r.dec.InInlineDecode());
  EXPECT_EQ(r.events, (std::vector<std::string>{"begin a.txt"}));
  EXPECT_TRUE(r.parts.empty());
  EXPECT_EQ(r.dest.data(), "");
  // Detection off: the same line is a plain part line.
  Recorder off;
  off.dec.InlineDetectionOff = true;
  off.Base64("YmVnaW4gNjQ0IGEudHh0");
  EXPECT_EQ(off.parts, (std::vector<std::string>{"begin 644 a.txt"}));
}

TEST(MimeDecode, YEncFileInText) {
  Recorder r;
  r.dec.InlineDecodeLines = true;
  std::vector<std::string> lines;
  r.dec.OnInlineDecodeLine = [&](TMimeDecode*, const char* l, int n) { lines.emplace_back(l, static_cast<std::size_t>(n)); };
  r.Line("=ybegin line=4 size=6 name=my file.bin");
  EXPECT_TRUE(r.dec.InlineIsYEnc());
  EXPECT_EQ(r.dec.InlineFileName(), "my file.bin");
  EXPECT_EQ(r.dec.YEncLineLength(), 4);
  EXPECT_EQ(r.dec.YEncSize(), 6);
  EXPECT_EQ(r.dec.YEncRemaining(), 6);
  // 'k' - 42 = 'A'; "=}" escapes '}' (125 - 106 = 19); cut at 4 characters.
  r.Line("kl=}mnop");
  r.Line("=ypart begin=1");
  r.Line("=yend size=6");
  EXPECT_FALSE(r.dec.InInlineDecode());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string("AB\x13", 3));
  EXPECT_EQ(r.events, (std::vector<std::string>{"begin my file.bin", "end my file.bin"}));
  EXPECT_TRUE(r.parts.empty());
}

TEST(MimeDecode, YEncHeaderNumbersTooLargeStayAtTheLargestInt) {
  // Numbers from the message beyond an int must not overflow: they stay at
  // the largest int, so a huge "line=" just means "no cut".
  const struct {
    const char* header;
    int lineLength, size;
  } cases[] = {
      {"=ybegin line=99999999999 size=5 name=a.bin", INT_MAX, 5},
      {"=ybegin line=2147483647 size=2147483648 name=a.bin", INT_MAX, INT_MAX},
      {"=ybegin line=128 size=000000000000000000007 name=a.bin", 128, 7},
  };
  for (const auto& c : cases) {
    Recorder r;
    r.dec.InlineDecodeLines = true;
    std::vector<std::string> lines;
    r.dec.OnInlineDecodeLine = [&](TMimeDecode*, const char* l, int n) { lines.emplace_back(l, static_cast<std::size_t>(n)); };
    r.Line(c.header);
    EXPECT_EQ(r.dec.YEncLineLength(), c.lineLength) << c.header;
    EXPECT_EQ(r.dec.YEncSize(), c.size) << c.header;
    EXPECT_EQ(r.dec.YEncRemaining(), c.size) << c.header;
    EXPECT_EQ(r.dec.InlineFileName(), "a.bin");
    r.Line("klmno");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "ABCDE") << c.header;
  }
}
