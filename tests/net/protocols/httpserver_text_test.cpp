// The HTTP server's text helpers, range resolution and template engine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/protocols/httpsrvtemplate.h"
#include "net/protocols/httpsrvutil.h"

using namespace yux::net;

namespace {

TEST(HttpSrvText, UrlDecodeAndEncode) {
  struct Case {
    std::string in, want;
  };
  for (const Case& c : std::vector<Case>{{"a+b%41", "a bA"},
                                         {"%", "%"},
                                         {"50%", "50%"},
                                         {"ab%4", "ab%4"},
                                         {"%zz%41", "%zzA"},
                                         {"%e2%82%ac", "\xE2\x82\xAC"},
                                         {"", ""}}) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(UrlDecodeText(c.in), c.want);
  }
  EXPECT_EQ(UrlEncodeText("a b"), "a%20b");
  EXPECT_EQ(UrlEncodeText("A.z-_~/9"), "A.z%2D%5F%7E%2F9");
  EXPECT_EQ(UrlEncodeText("\xC3\xA9"), "%C3%A9");
}

TEST(HttpSrvText, ExtractUrlEncodedField) {
  std::string v;
  EXPECT_TRUE(ExtractUrlEncodedField("a=1&Name=J+D%21&b=", "name", v));
  EXPECT_EQ(v, "J D!");
  EXPECT_TRUE(ExtractUrlEncodedField("a=1&b=", "B", v));
  EXPECT_EQ(v, "");
  EXPECT_FALSE(ExtractUrlEncodedField("names=1&nam=2", "name", v));
  EXPECT_EQ(v, "");
  EXPECT_TRUE(ExtractUrlEncodedField("x=%", "x", v));
  EXPECT_EQ(v, "%");
}

TEST(HttpSrvText, HtmlEscape) {
  struct Case {
    std::string in, want;
  };
  for (const Case& c : std::vector<Case>{
           {"<a href=\"x\">&'</a>", "&lt;a href=&#34;x&#34;&gt;&amp;&#39;&lt;/a&gt;"},
           {"a   b\tc", "a &nbsp;&nbsp;b&nbsp;c"},
           {"l1\nl2", "l1\n<BR>l2"},
           {"caf\xC3\xA9 \xC2\xA0", "caf&eacute; &nbsp;"},
           {"\xE2\x82\xAC", "&#8364;"},
           {"\xFF", "&yuml;"},
       }) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(HtmlEscapeText(c.in), c.want);
  }
}

TEST(HttpSrvText, NormalisePath) {
  struct Case {
    std::string in, want;
  };
  for (const Case& c : std::vector<Case>{{"/a/b/../c", "/a/c"},
                                         {"/../x", "/x"},
                                         {"/a/./b/.", "/a/b/"},
                                         {"/a/b/", "/a/b/"},
                                         {"/", "/"},
                                         {"/..", "/"},
                                         {".", ""},
                                         {"..", ""},
                                         {"", ""},
                                         {"a/../../b", "b"}}) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(NormalisePath(c.in), c.want);
  }
}

TEST(HttpSrvText, MapRequestPath) {
  struct Case {
    std::string path;
    TPathMapResult result;
    std::string doc;
  };
  for (const Case& c : std::vector<Case>{
           {"/a%20b.txt", TPathMapResult::Ok, "/r/a b.txt"},
           {"/sub/", TPathMapResult::Ok, "/r/sub/"},
           {"/../../etc/passwd", TPathMapResult::Ok, "/r/etc/passwd"},
           {"/x/%2e%2e/%2e%2e/y", TPathMapResult::Ok, "/r/y"},
           {"//a//./b", TPathMapResult::Ok, "/r/a/b"},
           {"/a%5cb", TPathMapResult::BadRequest, ""},
           {"/a\\b", TPathMapResult::BadRequest, ""},
           {"/a%00.txt", TPathMapResult::BadRequest, ""},
           {"/a%0d%0a", TPathMapResult::BadRequest, ""},
       }) {
    SCOPED_TRACE(c.path);
    std::string doc;
    EXPECT_EQ(MapRequestPath(c.path, "/r", doc), c.result);
    if (c.result == TPathMapResult::Ok) EXPECT_EQ(doc, c.doc);
  }
}

TEST(HttpSrvText, ContentTypesAndDates) {
  EXPECT_EQ(ContentTypeOfExtension("/d/INDEX.HTM"), "text/html");
  EXPECT_EQ(ContentTypeOfExtension("x.xhtml"), "application/xhtml+xml");
  EXPECT_EQ(ContentTypeOfExtension("x.wmlscriptc"), "application/vnd.wap.wmlscriptc");
  EXPECT_EQ(ContentTypeOfExtension("noext"), "application/binary");
  EXPECT_EQ(ContentTypeOfExtension("a.b/c"), "application/binary");
  // 1994-11-06 08:49:37 UTC, a Sunday; 2045-02-28, a Tuesday.
  EXPECT_EQ(RFC1123DateText(UnixTimeToDateTime(784111777)), "Sun, 06 Nov 1994 08:49:37");
  EXPECT_EQ(RFC1123DateText(UnixTimeToDateTime(2371852800)), "Tue, 28 Feb 2045 00:00:00");
}

TEST(HttpSrvText, ContentCodingChoice) {
  struct Case {
    std::string accept, want;
  };
  for (const Case& c : std::vector<Case>{{"gzip, deflate", "deflate"},
                                         {"deflate;q=0", ""},
                                         {"gzip, deflate;q=0", "gzip"},
                                         {"GZIP;Q=0.5, DEFLATE;q=0.4", "gzip"},
                                         {"br", ""},
                                         {"*", "deflate"},
                                         {"*;q=0, gzip", "gzip"},
                                         {"identity", ""},
                                         {"gzip;q=abc", ""},
                                         {"", ""},
                                         {"deflater, xgzip", ""}}) {
    SCOPED_TRACE(c.accept);
    EXPECT_EQ(ChooseContentCoding(c.accept), c.want);
  }
}

std::string ReadAll(TStream& s) {
  std::string out;
  char buf[7];  // small reads cross piece borders
  for (std::int64_t n; (n = s.Read(buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  return out;
}

TEST(HttpSrvText, RangesResolveAgainstTheDocument) {
  std::string doc(1000, '\0');
  for (size_t i = 0; i < doc.size(); ++i) doc[i] = char('0' + i % 10);
  struct Case {
    std::string header;
    TRangeOutcome outcome;
    std::string rangeText;  // first range
    std::string body;       // single range
  };
  for (const Case& c : std::vector<Case>{
           {"bytes=0-99", TRangeOutcome::Made, "0-99/1000", doc.substr(0, 100)},
           {"bytes=-100", TRangeOutcome::Made, "900-999/1000", doc.substr(900)},
           {"bytes=900-", TRangeOutcome::Made, "900-999/1000", doc.substr(900)},
           {"bytes=0-5000", TRangeOutcome::Made, "0-999/1000", doc},
           {"bytes=500-100", TRangeOutcome::Unsatisfiable, "", ""},
           {"bytes=2000-", TRangeOutcome::Unsatisfiable, "", ""},
           {"bytes=1000-", TRangeOutcome::Unsatisfiable, "", ""},
           {"bytes=-0", TRangeOutcome::Unsatisfiable, "", ""},
           {"bytes=-5000", TRangeOutcome::WholeDocument, "", ""},
           {"bytes=0-10,5-20", TRangeOutcome::WholeDocument, "", ""},
       }) {
    SCOPED_TRACE(c.header);
    THttpRangeList ranges;
    ParseRangeHeader(c.header, ranges);
    THttpRangeStream rs;
    ASSERT_EQ(rs.Build(std::make_unique<TSrvMemoryStream>(doc), ranges, "text/plain"), c.outcome);
    if (c.outcome != TRangeOutcome::Made) continue;
    auto [a, b] = rs.Resolved()[0];
    EXPECT_EQ(RangeText(a, b, 1000), c.rangeText);
    EXPECT_EQ(ReadAll(rs), c.body);
    std::string h = CreateHttpHeader("HTTP/1.1", 206, "text/plain", rs.Size(), &rs, false);
    EXPECT_NE(h.find("Content-Range: bytes " + c.rangeText + "\r\n"), std::string::npos);
    EXPECT_NE(h.find("Content-Length: " + std::to_string(c.body.size()) + "\r\n"),
              std::string::npos);
  }
  THttpRangeList junk;
  ParseRangeHeader("bytes=a-1, -, 5, 1-b, 99999999999999999999-", junk);
  EXPECT_TRUE(junk.empty());
  THttpRangeList tooMany;
  ParseRangeHeader("bytes=0-0,2-2,4-4,6-6,8-8,10-10,12-12,14-14,16-16,18-18,20-20,22-22,24-24,"
                   "26-26,28-28,30-30,32-32", tooMany);
  THttpRangeStream rs;
  EXPECT_EQ(rs.Build(std::make_unique<TSrvMemoryStream>(doc), tooMany, "x"),
            TRangeOutcome::WholeDocument);
}

TEST(HttpSrvText, MultipartRangesCarryPartHeadersAndAClosingBoundary) {
  std::string doc = "0123456789abcdefghij";
  THttpRangeList ranges;
  ParseRangeHeader("bytes=0-1, 10-12", ranges);
  THttpRangeStream rs;
  ASSERT_EQ(rs.Build(std::make_unique<TSrvMemoryStream>(doc), ranges, "text/plain"),
            TRangeOutcome::Made);
  const std::string b = "--[lka9uw3et5vxybtp87ghq23dpu7djv84nhls9p]";
  std::string want = b + "\r\nContent-Type: text/plain\r\nContent-Range: bytes 0-1/20\r\n\r\n01" +
                     "\r\n" + b + "\r\nContent-Type: text/plain\r\nContent-Range: bytes 10-12/20" +
                     "\r\n\r\nabc\r\n" + b + "--\r\n";
  EXPECT_EQ(ReadAll(rs), want);
  EXPECT_EQ(rs.Size(), std::int64_t(want.size()));
  std::string h = CreateHttpHeader("HTTP/1.1", 206, "text/plain", rs.Size(), &rs, false);
  EXPECT_EQ(h, "HTTP/1.1 206 Partial Content\r\nContent-Type: multipart/byteranges; "
               "boundary=[lka9uw3et5vxybtp87ghq23dpu7djv84nhls9p]\r\nContent-Length: " +
                   std::to_string(want.size()) + "\r\n");
  EXPECT_THROW(rs.Write("x", 1), std::runtime_error);
  EXPECT_THROW(CreateHttpHeader("HTTP/1.1", 404, "x", 0, nullptr, false), std::runtime_error);
}

TEST(HttpSrvTemplate, TagsKindsAndErrors) {
  struct Case {
    std::string text;
    THttpTags tags;
    std::string want;
  };
  for (const Case& c : std::vector<Case>{
           {"<#NAME>", {"NAME", 7}, "7"},
           {"<#NAME>", {"NAME"}, kOddTagsPage},
           {"a<#name>b<#Other x y>c<#unknown>d", {"NAME", "1", "other", true}, "a1bTRUEcd"},
           {"<#big> <#f> <#c>", {"big", 1LL << 40, "f", 2.5, "c", 'z'}, "1099511627776 2.5 z"},
           {"<#p>", {"p", TTagValue::OfKind(TTagValue::vtPointer)},
            "Unsupported TVarRec.VType = vtPointer"},
           {"<#p>", {"p", TTagValue::OfKind(99)}, "Unknown TVarRec.VType = \"99\" "},
           {"100% <#open", {}, "100% <#open"},
           {"end %", {}, "end %"},
       }) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TemplatePage(c.text, c.tags, {}), c.want);
  }
}

TEST(HttpSrvTemplate, TableRowsRepeatWithTheirOwnTags) {
  std::vector<std::string> asked;
  auto rows = [&](const std::string& table, int row, TStringIndex& data, bool& more) {
    asked.push_back(table + std::to_string(row));
    if (table == "FILES" && row <= 3) {
      data.Add("N", std::to_string(row));
      more = true;
    } else if (table == "INNER" && row <= 2) {
      data.Add("I", "i" + std::to_string(row));
      more = true;
    }
  };
  EXPECT_EQ(TemplatePage("[<#TABLE_ROWS files><#N><#T>,</#TABLE_ROWS>]<#T>", {"T", "t"}, rows),
            "[1,2,3,]t");
  EXPECT_EQ(asked, (std::vector<std::string>{"FILES1", "FILES2", "FILES3", "FILES4"}));
  asked.clear();
  EXPECT_EQ(TemplatePage("<#TABLE_ROWS files>(<#TABLE_ROWS inner><#I></#TABLE_ROWS>)<#/TABLE_ROWS>!",
                         {}, rows),
            "(i1i2)(i1i2)(i1i2)!");
  // Without a row handler a block gives nothing; without an end it runs
  // to the end of the text.
  EXPECT_EQ(TemplatePage("a<#TABLE_ROWS t>x</#TABLE_ROWS>b", {}, {}), "ab");
  EXPECT_EQ(TemplatePage("a<#TABLE_ROWS t>x", {}, {}), "a");
}

}  // namespace
