#include "net/protocols/mimeutils.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>

#include "net/socket/bufferedfilestream.h"
#include "net/socket/netexceptions.h"
#include "tests/support/testsupport.h"

using namespace yux::net;

namespace {

// Lower-cases the charset of every encoded word, so that words compare
// without regard to the charset's case.
std::string CharsetsLowered(std::string s) {
  for (std::size_t p = s.find("=?"); p != std::string::npos; p = s.find("=?", p + 2)) {
    std::size_t q = s.find('?', p + 2);
    for (std::size_t i = p + 2; i < q && i < s.size(); ++i)
      s[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
  }
  return s;
}

std::vector<std::string> SplitWords(const std::string& s) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (true) {
    std::size_t p = s.find("\r\n\t", start);
    words.push_back(s.substr(start, p - start));
    if (p == std::string::npos) return words;
    start = p + 3;
  }
}

std::vector<std::string> SplitLines(const std::string& s) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    std::size_t p = s.find("\r\n", start);
    lines.push_back(s.substr(start, p - start));
    if (p == std::string::npos) return lines;
    start = p + 2;
  }
}

// Decodes quoted-printable text (soft breaks "=" CR LF; "=XY" escapes).
std::string QpDecode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '=') {
      out.push_back(s[i]);
    } else if (s.compare(i + 1, 2, "\r\n") == 0 || i + 1 == s.size()) {
      i += 2;
    } else {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    }
  }
  return out;
}

std::string QpAll(std::string_view text, int maxLen, bool mbSafe, std::uint32_t cp,
                  std::vector<std::string>* pieces = nullptr) {
  std::size_t pos = 0;
  std::string joined;
  while (pos < text.size()) {
    std::string piece = QuotedPrintableEncodeEx(text, maxLen, {}, mbSafe, cp, true, pos, false);
    if (pieces) pieces->push_back(piece);
    if (!joined.empty()) joined += "\r\n";
    joined += piece;
  }
  return joined;
}

const TNetCharSet kNone;

}  // namespace

TEST(QuotedPrintable, EscapesAndLiterals) {
  struct Case {
    std::string in, out;
    bool underscore;
    const char* specials;
  };
  const Case cases[] = {
      {"plain text", "plain text", false, ""},
      {"a=b", "a=3Db", false, ""},
      {"caf\xE9", "caf=E9", false, ""},
      {"tab\there\r\n", "tab=09here=0D=0A", false, ""},
      {"x y", "x_y", true, ""},
      {"a?b_c", "a=3Fb=5Fc", false, "?_"},
      {"ends with blank ", "ends with blank=20", false, ""},  // trailing blanks would be lost
      {"ends with tab\t", "ends with tab=09", false, ""},
      {"", "", false, ""},
  };
  for (const auto& c : cases) {
    std::size_t pos = 0;
    EXPECT_EQ(QuotedPrintableEncodeEx(c.in, 0, NetCharSetOf(c.specials), false, 28591, false, pos,
                                      c.underscore),
              c.out)
        << c.in;
    EXPECT_EQ(pos, c.in.size());
  }
}

TEST(QuotedPrintable, LinesStayWithinTheLimit) {
  const std::string text(100, 'a');
  std::vector<std::string> pieces;
  std::string joined = QpAll(text, 76, false, 28591, &pieces);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], std::string(75, 'a') + "=");
  EXPECT_EQ(pieces[1], std::string(25, 'a'));
  EXPECT_EQ(QpDecode(joined), text);

  // Escapes are never cut, and every line keeps to 76 characters.
  std::string bytes;
  std::mt19937 rng(3);
  for (int i = 0; i < 3000; ++i) bytes.push_back(static_cast<char>(rng()));
  pieces.clear();
  joined = QpAll(bytes, 76, false, 28591, &pieces);
  for (const auto& p : pieces) EXPECT_LE(p.size(), 76u);
  EXPECT_EQ(QpDecode(joined), bytes);
}

TEST(QuotedPrintable, MultiByteCharactersAreNotSplit) {
  const std::string text = std::string(70, 'a') + "\xC3\xA9\xC3\xA9";  // two e-acute in UTF-8
  std::vector<std::string> pieces;
  QpAll(text, 76, true, 65001, &pieces);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], std::string(70, 'a') + "=");  // "=C3=A9" would pass the limit
  EXPECT_EQ(pieces[1], "=C3=A9=C3=A9");
  pieces.clear();
  QpAll(text, 76, false, 65001, &pieces);
  EXPECT_EQ(pieces[0], std::string(70, 'a') + "=C3=");
}

TEST(HdrEncodeInLine, PublishedExamples) {
  // RFC 2047, section 8.
  struct Case {
    std::string text;
    const char* enc;
    const char* charset;
    std::uint32_t cp;
    const char* word;
  };
  const Case cases[] = {
      {"Keith Moore", "Q", "US-ASCII", 20127, "=?US-ASCII?Q?Keith_Moore?="},
      {"Keld J\xF8rn Simonsen", "Q", "ISO-8859-1", 28591, "=?ISO-8859-1?Q?Keld_J=F8rn_Simonsen?="},
      {"Andr\xE9", "Q", "ISO-8859-1", 28591, "=?ISO-8859-1?Q?Andr=E9?="},
      {"Olle J\xE4rnefors", "Q", "ISO-8859-1", 28591, "=?ISO-8859-1?Q?Olle_J=E4rnefors?="},
      {"Patrik F\xE4ltstr\xF6m", "Q", "ISO-8859-1", 28591,
       "=?ISO-8859-1?Q?Patrik_F=E4ltstr=F6m?="},
      {"If you can read this yo", "B", "ISO-8859-1", 28591,
       "=?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?="},
      {"u understand the example.", "B", "ISO-8859-2", 28592,
       "=?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?="},
  };
  for (const auto& c : cases) {
    for (bool mbSafe : {false, true}) {
      EXPECT_EQ(CharsetsLowered(HdrEncodeInLine(c.text, kNone, c.enc, mbSafe, c.cp, true, 76, c.charset)),
                CharsetsLowered(c.word))
          << c.text;
    }
    // The wide and system-code-page forms give the same words.
    std::u16string wide;
    for (unsigned char ch : c.text) wide.push_back(static_cast<char16_t>(ch));
    EXPECT_EQ(CharsetsLowered(HdrEncodeInLineW(wide, kNone, c.enc, c.cp, true, 76, c.charset)),
              CharsetsLowered(c.word));
    std::string utf8;
    for (char16_t ch : wide) {
      if (ch < 0x80) {
        utf8.push_back(static_cast<char>(ch));
      } else {
        utf8.push_back(static_cast<char>(0xC0 | (ch >> 6)));
        utf8.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
      }
    }
    EXPECT_EQ(CharsetsLowered(HdrEncodeInLineAnsi(utf8, kNone, c.enc, c.cp, true, 76, c.charset)),
              CharsetsLowered(c.word));
  }
  // The charset is written in lower case.
  EXPECT_EQ(HdrEncodeInLine("x\xFF", kNone, "Q", false, 28591, true, 76, "ISO-8859-1"),
            "=?iso-8859-1?Q?x=FF?=");
}

TEST(HdrEncodeInLine, InvalidArguments) {
  try {
    HdrEncodeInLine("x", kNone, "Q", false, 28591, true, 76, "x");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Function 'HdrEncodeInLine', invalid CharSet: x");
  }
  try {
    HdrEncodeInLine("x", kNone, "X", false, 28591, true, 76, "utf-8");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Function 'HdrEncodeInLine', invalid EncType: X");
  }
}

TEST(HdrEncodeInLine, FoldedWordsKeepToTheLineLength) {
  // 60 two-byte characters with blanks, question marks and underscores.
  std::string text;
  for (int i = 0; i < 30; ++i) text += "\xC3\xA9t\xC3\xA9 ?_";
  for (const char* enc : {"Q", "B"}) {
    for (bool mbSafe : {false, true}) {
      std::string out = HdrEncodeInLine(text, kNone, enc, mbSafe, 65001, true, 76, "UTF-8");
      auto words = SplitWords(out);
      EXPECT_GT(words.size(), 2u);
      std::string decoded;
      for (const auto& w : words) {
        SCOPED_TRACE(w);
        EXPECT_LE(w.size(), 75u);
        ASSERT_EQ(w.rfind(std::string("=?utf-8?") + enc + "?", 0), 0u);
        ASSERT_EQ(w.substr(w.size() - 2), "?=");
        std::string body = w.substr(10, w.size() - 12);
        EXPECT_EQ(body.find('?'), std::string::npos);
        std::string bytes;
        if (enc[0] == 'B') {
          EXPECT_EQ(body.size() % 4, 0u);  // whole Base64 groups only
          bytes = DecodeBase64String(body);
        } else {
          EXPECT_EQ(body.find(' '), std::string::npos);
          for (auto& ch : body)
            if (ch == '_') ch = ' ';
          bytes = QpDecode(body);
        }
        if (mbSafe) {
          EXPECT_TRUE(IsValidUtf8(bytes)) << "a character was split";
        }
        decoded += bytes;
      }
      EXPECT_EQ(decoded, text) << enc << mbSafe;
    }
  }
  // Without folding a B word may be long.
  std::string one = HdrEncodeInLine(text, kNone, "B", false, 65001, false, 76, "utf-8");
  EXPECT_EQ(SplitWords(one).size(), 1u);
}

TEST(HdrEncodeInLine, WideFormKeepsStatefulWordsWhole) {
  // Each ISO-2022-JP word must start and end in ASCII so it decodes alone.
  std::u16string text;
  for (int i = 0; i < 40; ++i) text += u"\u65E5\u672C\u8A9E ";
  std::string out = HdrEncodeInLineW(text, kNone, "B", 50220, true, 76, "ISO-2022-JP");
  auto words = SplitWords(out);
  EXPECT_GT(words.size(), 3u);
  for (const auto& w : words) {
    EXPECT_LE(w.size(), 76u);
    std::string bytes = DecodeBase64String(w.substr(16, w.size() - 18));
    auto esc = bytes.rfind('\x1B');
    if (esc != std::string::npos) {
      EXPECT_EQ(bytes.substr(esc, 3), "\x1B(B") << w;
    }
  }
  // Surrogate pairs are never parted.
  std::u16string emoji;
  for (int i = 0; i < 40; ++i) emoji += u"\U0001F600";
  for (const auto& w : SplitWords(HdrEncodeInLineW(emoji, kNone, "Q", 65001, true, 40, "utf-8")))
    EXPECT_TRUE(IsValidUtf8(QpDecode(w.substr(10, w.size() - 12)))) << w;
}

TEST(Folding, HeaderLinesBreakAtSeparators) {
  std::string value = "To:";
  for (int i = 0; i < 12; ++i) value += " Person " + std::to_string(i) + " <person" + std::to_string(i) + "@example.com>,";
  std::vector<std::string> lines;
  FoldHeaderLine(lines, value, 65001, false);
  ASSERT_GT(lines.size(), 3u);
  std::string rejoined;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), 77u) << lines[i];  // 76 and the leading TAB
    if (i) {
      ASSERT_EQ(lines[i][0], '\t');
      EXPECT_NE(lines[i][1], ' ');
      rejoined += " " + lines[i].substr(1);
    } else {
      rejoined = lines[i];
    }
  }
  EXPECT_EQ(rejoined, value);
}

TEST(Folding, CutLineRules) {
  const TNetCharSet blank = NetCharSetOf(" ");
  const TNetCharSet quotes = NetCharSetOf("\"");
  struct Case {
    std::string text;
    int maxLen;
    bool force;
    bool quoted;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"aaa bbb ccc", 5, false, false, {"aaa ", "bbb ", "ccc"}},
      // No break character: the line runs on until one appears, or is cut.
      {"abcdefghij kl", 4, false, false, {"abcdefghij ", "kl"}},
      {"abcdefghij", 4, true, false, {"abcd", "efgh", "ij"}},
      // A break inside a quoted span is no candidate.
      {"\"a b c d\" e", 4, false, true, {"\"a b c d\" ", "e"}},
      {"\"a b c d\" e", 4, false, false, {"\"a ", "b c ", "d\" e"}},
      // CR LF TAB ends the line; the CR LF is stepped over.
      {"ab\r\n\tcd", 50, false, false, {"ab", "\tcd"}},
      // A CR LF right after a cut is stepped over too.
      {"aaa \r\nbbb", 3, false, false, {"aaa ", "bbb"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    std::size_t pos = 0;
    while (pos < c.text.size())
      got.push_back(NetCutLine(c.text, pos, blank, c.maxLen, c.force, c.quoted ? quotes : kNone, false, 65001));
    EXPECT_EQ(got, c.lines) << c.text;
  }
  // Multi-byte characters are stepped over whole when cutting by force.
  std::string text = "\xC3\xA9\xC3\xA9\xC3\xA9";
  std::size_t pos = 0;
  EXPECT_EQ(NetCutLine(text, pos, blank, 3, true, kNone, true, 65001), "\xC3\xA9");
  EXPECT_EQ(FoldText("aaa bbb ccc", blank, 5, 65001, false), "aaa\r\n\tbbb\r\n\tccc");
}

TEST(Attachments, PlainLines) {
  yux::test::TempDir dir;
  const std::string longLine(2000, 'x');
  yux::test::WriteFile(dir / "a.txt", "one\r\ntwo\nthree\rfour\r\n\r\n" + longLine);
  auto s = AttachmentOpenStream((dir / "a.txt").string(), fmOpenRead | fmShareDenyWrite);
  std::vector<std::string> lines;
  bool more = true;
  std::string line;
  while (more) {
    AttachmentReadPlainLine(*s, more, line);
    lines.push_back(line);
  }
  const std::vector<std::string> expected = {"one", "two", "three", "four", "", longLine.substr(0, 1022),
                                             longLine.substr(1022)};
  EXPECT_EQ(lines, expected);
  AttachmentCloseStream(s);
  EXPECT_EQ(s, nullptr);
  EXPECT_THROW(AttachmentOpenStream((dir / "missing").string(), fmOpenRead), EFOpenError);
}

TEST(Attachments, QuotedPrintableLinesDecodeToTheFile) {
  yux::test::TempDir dir;
  std::string data = "Line one.\r\n.starts with a dot\r\n";
  std::mt19937 rng(5);
  for (int i = 0; i < 5000; ++i) data.push_back(static_cast<char>(rng()));
  yux::test::WriteFile(dir / "q.bin", data);
  auto s = AttachmentOpenStream((dir / "q.bin").string(), fmOpenRead);
  std::string joined;
  bool more = true;
  std::string line;
  int count = 0;
  while (more) {
    AttachmentReadQuotedPrintableLine(*s, more, line);
    ++count;
    EXPECT_LE(line.size(), 76u);
    EXPECT_EQ(line.back(), '=');
    EXPECT_EQ(line.find('.'), std::string::npos);
    joined += line + "\r\n";
  }
  EXPECT_EQ(QpDecode(joined), data);
  EXPECT_GT(count, 1);
}

TEST(Attachments, Base64LinesMatchTheCountedSize) {
  yux::test::TempDir dir;
  for (std::size_t size : {0u, 1u, 57u, 58u, 1482u, 1483u, 5000u}) {
    std::string data(size, '\0');
    std::mt19937 rng(static_cast<unsigned>(size));
    for (auto& c : data) c = static_cast<char>(rng());
    yux::test::WriteFile(dir / "b.bin", data);
    auto s = AttachmentOpenStream((dir / "b.bin").string(), fmOpenRead);
    std::string sent;  // what the line interface sends: each block and CR LF
    bool more = size > 0;
    std::string block;
    while (more) {
      AttachmentReadBase64Line(*s, more, block);
      auto lines = SplitLines(block);
      EXPECT_LE(lines.size(), 26u);
      for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i + 1 < lines.size()) {
          EXPECT_EQ(lines[i].size(), 76u);
        } else {
          EXPECT_LE(lines[i].size(), 76u);
        }
      }
      sent += block + "\r\n";
    }
    EXPECT_EQ(static_cast<std::int64_t>(sent.size()), CalcBase64EncodedSize(static_cast<std::int64_t>(size)));
    EXPECT_EQ(DecodeBase64String(sent), data) << size;
  }
}

TEST(ContentTypes, ByFileExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"index.HTM", "text/html"}, {"a.html", "text/html"},  {"p.gif", "image/gif"},
      {"p.bmp", "image/bmp"},     {"p.JPG", "image/jpeg"},  {"p.jpeg", "image/jpeg"},
      {"notes.txt", "text/plain"}, {"backup.rar", "application/octet-stream"},
      {"dir.txt/noext", "application/octet-stream"}, {"", "application/octet-stream"},
  };
  for (auto [name, type] : cases) EXPECT_EQ(ContentTypeOfFile(name), type) << name;
  EXPECT_FALSE(HasNonAsciiChars("tab\tcr\rlf\n ~"));
  EXPECT_TRUE(HasNonAsciiChars("caf\xE9"));
  EXPECT_TRUE(HasNonAsciiChars(std::string("nul\0", 4)));
}
