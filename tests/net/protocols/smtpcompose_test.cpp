// Message composition through SendToFile (no network), each file read back
// by Python's email package: addresses, encoded words, priorities, dates,
// body encodings and attachments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "net/protocols/smtpsync.h"
#include "platform/messages.h"
#include "tests/net/protocols/smtptestutil.h"

using namespace yux::net;
using yux::test::Lf;
using yux::test::ParsedMail;
using yux::test::TempDir;

namespace {

struct Composed {
  bool sent = false;
  std::string raw;
  ParsedMail mail;
  std::string error;
};

Composed Compose(const std::function<void(TSyncSmtpCli&)>& setup) {
  Composed out;
  TempDir dir;
  const std::string file = (dir / "mail.eml").string();
  TSyncSmtpCli c;
  c.SendMode = smtpToStream;
  c.HdrFrom = "sender@example.com";
  c.HdrTo = "rcpt@example.org";
  c.HdrSubject = "test";
  setup(c);
  out.sent = c.SendToFileBlocking(file);
  out.error = c.ErrorMessage;
  if (!out.sent) return out;
  out.raw = yux::test::ReadFile(file);
  out.mail = yux::test::ParseMail(file);
  return out;
}

// The lines of the header block.
std::vector<std::string> HeaderLines(const std::string& raw) {
  std::vector<std::string> lines;
  std::size_t p = 0;
  for (;;) {
    std::size_t q = raw.find("\r\n", p);
    if (q == std::string::npos || q == p) break;
    lines.push_back(raw.substr(p, q - p));
    p = q + 2;
  }
  return lines;
}

#define REQUIRE_PYTHON() YUX_REQUIRE_PROGRAM(yux::test::kDebianPython)

TEST(SmtpCompose, AddressFormsAndDisplayNames) {
  REQUIRE_PYTHON();
  struct Case {
    const char* value;
    const char* parsed;  // Python's reading of the To header
    bool allow8bit;
  };
  const Case cases[] = {
      {"jane@example.org", "jane@example.org", true},
      {"Jane Roe <jane@example.org>", "Jane Roe <jane@example.org>", true},
      {"\"Roe, Jane\" <jane@example.org>", "\"Roe, Jane\" <jane@example.org>", true},
      {"'Jane Roe' <jane@example.org>", "Jane Roe <jane@example.org>", true},
      {"\"Jane Roe\" jane@example.org", "Jane Roe <jane@example.org>", true},
      {"Jane jane@example.org", "Jane <jane@example.org>", true},
      {"Joe \"Bigfoot\" Smith <joe@example.org>", "\"Joe \\\"Bigfoot\\\" Smith\" <joe@example.org>",
       true},
      {"a@x.org, B <b@x.org>; c@x.org", "a@x.org, B <b@x.org>, c@x.org", true},
      {"J\xc3\xbcrgen M\xc3\xbcller <jm@example.de>",
       "J\xc3\xbcrgen M\xc3\xbcller <jm@example.de>", false},
      {"\"M\xc3\xbcller, J\xc3\xbcrgen\" <jm@example.de>",
       "\"M\xc3\xbcller, J\xc3\xbcrgen\" <jm@example.de>", false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.value);
    Composed r = Compose([&](TSyncSmtpCli& c) {
      c.HdrTo = k.value;
      c.Allow8bitChars = k.allow8bit;
      c.SetCharSet("utf-8");
    });
    ASSERT_TRUE(r.sent) << r.error;
    ASSERT_TRUE(r.mail.ok);
    EXPECT_EQ(r.mail.Header("To"), k.parsed) << r.raw;
    EXPECT_EQ(r.mail.Defects(), 0) << r.mail.DefectText();
  }
}

TEST(SmtpCompose, SplitAddressEntries) {
  struct Case {
    const char* entry;
    const char* name;
    const char* address;
  };
  const Case cases[] = {
      {"  a@b.c", "", "a@b.c"},
      {"Name <a@b.c>", "Name", "a@b.c"},
      {"\"Quoted Name\" <a@b.c>", "Quoted Name", "a@b.c"},
      {"'Single' a@b.c", "Single", "a@b.c"},
      {"Word a@b.c", "Word", "a@b.c"},
      {"<a@b.c>", "", "a@b.c"},
      {"NoAddress", "NoAddress", ""},
  };
  for (const Case& k : cases) {
    std::string name, address;
    SmtpSplitAddress(k.entry, name, address);
    EXPECT_EQ(name, k.name) << k.entry;
    EXPECT_EQ(address, k.address) << k.entry;
  }
}

TEST(SmtpCompose, SubjectsPlainEncodedAndFolded) {
  REQUIRE_PYTHON();
  const std::string umlauts = "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln \xe2\x80\x93 100 \xe2\x82\xac";
  std::string longText;
  for (int i = 0; i < 12; ++i) longText += "word" + std::to_string(i) + " \xc3\xa9t\xc3\xa9 ";
  longText.pop_back();
  struct Case {
    std::string subject;
    bool allow8bit;
    TSmtpDefaultEncoding enc;
    const char* marker;  // what the raw header must hold
  };
  const Case cases[] = {
      {"Plain subject", true, smtpEnc7bit, "Subject: Plain subject"},
      {umlauts, false, smtpEnc7bit, "=?utf-8?Q?"},
      {umlauts, false, smtpEncBase64, "=?utf-8?B?"},
      {longText, false, smtpEnc7bit, "\r\n\t=?utf-8?Q?"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.subject);
    Composed r = Compose([&](TSyncSmtpCli& c) {
      c.HdrSubject = k.subject;
      c.Allow8bitChars = k.allow8bit;
      c.DefaultEncoding = k.enc;
      c.SetCharSet("utf-8");
    });
    ASSERT_TRUE(r.sent) << r.error;
    EXPECT_NE(r.raw.find(k.marker), std::string::npos) << r.raw;
    EXPECT_EQ(r.mail.Header("Subject"), k.subject);
    EXPECT_EQ(r.mail.Defects(), 0) << r.mail.DefectText();
    for (const std::string& line : HeaderLines(r.raw)) EXPECT_LE(line.size(), 78u) << line;
  }
}

TEST(SmtpCompose, PrioritiesAndFixedHeaders) {
  REQUIRE_PYTHON();
  struct Case {
    TSmtpPriority p;
    const char* x;
    const char* prio;
    const char* ms;
  };
  const Case cases[] = {
      {smtpPriorityHighest, "1", "urgent", "High"},
      {smtpPriorityHigh, "2", "urgent", "High"},
      {smtpPriorityNormal, "3", "Normal", "Normal"},
      {smtpPriorityLow, "4", "non-urgent", "Low"},
      {smtpPriorityLowest, "5", "non-urgent", "Low"},
  };
  for (const Case& k : cases) {
    Composed r = Compose([&](TSyncSmtpCli& c) {
      c.HdrPriority = k.p;
      c.ConfirmReceipt = true;
      c.HdrReplyTo = "reply@example.com";
    });
    ASSERT_TRUE(r.sent) << r.error;
    EXPECT_EQ(r.mail.Header("X-Priority"), k.x);
    EXPECT_EQ(r.mail.Header("Priority"), k.prio);
    EXPECT_EQ(r.mail.Header("X-MSMail-Priority"), k.ms);
    EXPECT_EQ(r.mail.Header("Disposition-Notification-To"), "sender@example.com");
    EXPECT_EQ(r.mail.Header("Reply-To"), "reply@example.com");
    EXPECT_EQ(r.mail.Header("Sender"), "sender@example.com");
    EXPECT_EQ(r.mail.Header("X-Mailer"), "YUX SMTP Component V1.00");
    EXPECT_EQ(r.mail.Header("Mime-Version"), "1.0");
    EXPECT_NE(r.mail.Header("Message-ID").find('@'), std::string::npos);
  }
  Composed none = Compose([](TSyncSmtpCli& c) { c.XMailer.clear(); });
  EXPECT_EQ(none.raw.find("Priority"), std::string::npos);
  EXPECT_EQ(none.raw.find("X-Mailer"), std::string::npos);
}

// Sets TZ for the lifetime of the object.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST(SmtpCompose, DateCarriesTheRealZoneWithEnglishNames) {
  REQUIRE_PYTHON();
  struct Case {
    const char* tz;
    const char* suffix;
  };
  const Case cases[] = {{"UTC-1", "+0100"}, {"EST5", "-0500"}, {"IST-5:30", "+0530"},
                        {"UTC0", "-0000"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.tz);
    ZoneGuard zone(k.tz);
    const std::time_t before = std::time(nullptr);
    Composed r = Compose([](TSyncSmtpCli&) {});
    const std::time_t after = std::time(nullptr);
    ASSERT_TRUE(r.sent) << r.error;
    const std::string date = r.mail.Header("Date");
    ASSERT_GE(date.size(), 5u);
    // A zero offset is written as a negative zero bias.
    if (std::string(k.suffix) == "-0000")
      EXPECT_NE(r.raw.find(" -0000\r\n"), std::string::npos) << r.raw;
    else
      EXPECT_EQ(date.substr(date.size() - 5), k.suffix) << date;
    // The same instant as the clock around the call, read back by Python.
    std::tm tm{};
    const std::string raw = r.raw.substr(r.raw.find("Date: ") + 6, 25);
    ASSERT_NE(strptime(raw.c_str(), "%a, %d %b %Y %H:%M:%S", &tm), nullptr) << raw;
    tm.tm_isdst = 0;
    const std::time_t local = timegm(&tm);
    int sign = r.raw[r.raw.find("Date: ") + 6 + raw.size() + 1] == '+' ? 1 : -1;
    const std::string z = r.raw.substr(r.raw.find("Date: ") + 6 + raw.size() + 2, 4);
    const std::time_t utc = local - sign * (std::stoi(z.substr(0, 2)) * 3600 + std::stoi(z.substr(2)) * 60);
    EXPECT_GE(utc, before);
    EXPECT_LE(utc, after);
  }
}

TEST(SmtpCompose, BodyEncodingsDecodeToTheText) {
  REQUIRE_PYTHON();
  const std::vector<std::string> ascii = {"Hello,", ".a line with a leading dot", ".",
                                          "trailing blanks   ", "", "last"};
  const std::vector<std::string> utf8 = {"Gr\xc3\xbc\xc3\x9f" "e,", ".Punkt", "Stra\xc3\x9f" "e  "};
  struct Case {
    std::vector<std::string> body;
    TSmtpDefaultEncoding requested;
    bool allow8bit;
    const char* cte;  // expected Content-Transfer-Encoding ("" for none)
  };
  const Case cases[] = {
      {ascii, smtpEnc7bit, true, ""},
      {ascii, smtpEnc8bit, true, ""},
      {utf8, smtpEnc7bit, true, "8bit"},
      {utf8, smtpEnc7bit, false, "quoted-printable"},
      {ascii, smtpEncQuotedPrintable, true, "quoted-printable"},
      {utf8, smtpEncBase64, false, "base64"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.cte) + " " + std::to_string(int(k.requested)));
    Composed r = Compose([&](TSyncSmtpCli& c) {
      c.MailMessage = k.body;
      c.DefaultEncoding = k.requested;
      c.Allow8bitChars = k.allow8bit;
      c.SetCharSet("utf-8");
    });
    ASSERT_TRUE(r.sent) << r.error;
    ASSERT_EQ(r.mail.PartCount(), 1);
    std::string want;
    for (const std::string& l : k.body) want += l + "\n";
    std::string got = Lf(r.mail.PartBytes(0));
    if (got.empty() || got.back() != '\n') got += '\n';
    EXPECT_EQ(got, want) << r.raw;
    EXPECT_EQ(r.mail.Part(0)["encoding"].toString().toStdString(), k.cte);
    EXPECT_EQ(r.mail.Part(0)["charset"].toString().toStdString(), "utf-8");
    EXPECT_EQ(r.mail.Defects(), 0) << r.mail.DefectText();
    // The file holds the message, not the dot-stuffed form of the wire.
    EXPECT_EQ(r.raw.find("\r\n.."), std::string::npos);
  }
}

TEST(SmtpCompose, LineLengthIsClampedAndLongLinesWrap) {
  REQUIRE_PYTHON();
  TSyncSmtpCli c;
  c.SetWrapMsgMaxLineLen(2000);
  EXPECT_EQ(c.WrapMsgMaxLineLen(), 1022);
  c.SetWrapMsgMaxLineLen(5);
  EXPECT_EQ(c.WrapMsgMaxLineLen(), 16);
  std::string words;
  for (int i = 0; i < 40; ++i) words += "word" + std::to_string(i) + " ";
  const std::string unbroken(3000, 'x');
  for (bool wrap : {true, false}) {
    SCOPED_TRACE(wrap);
    Composed r = Compose([&](TSyncSmtpCli& k) {
      k.MailMessage = {words, unbroken};
      k.WrapMessageText = wrap;
      k.SetWrapMsgMaxLineLen(30);
    });
    ASSERT_TRUE(r.sent) << r.error;
    const std::string body = r.raw.substr(r.raw.find("\r\n\r\n") + 4);
    std::size_t p = 0, longest = 0;
    while (p < body.size()) {
      std::size_t q = body.find("\r\n", p);
      if (q == std::string::npos) q = body.size();
      longest = std::max(longest, q - p);
      p = q + 2;
    }
    EXPECT_LE(longest, wrap ? 30u : 1022u);
    // Wrapped text is the same text with line breaks in it.
    std::string joined = Lf(r.mail.PartBytes(0));
    joined.erase(std::remove(joined.begin(), joined.end(), '\n'), joined.end());
    EXPECT_EQ(joined, words + unbroken);
  }
}

TEST(SmtpCompose, AttachmentsWithAwkwardNamesArriveWhole) {
  REQUIRE_PYTHON();
  TempDir files;
  struct File {
    std::string name;
    std::string data;
  };
  std::string binary;
  for (int i = 0; i < 70000; ++i) binary += char((i * 7919) & 0xFF);
  const std::vector<File> list = {
      {"plain.txt", "first line\r\n.second\r\n"},
      {"with blank.bin", binary},
      {"quote\"and\\backslash.dat", "q"},
      {"line\r\nbreak.txt", "crlf in name"},
      {"Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac.pdf", ""},
  };
  std::vector<std::string> paths;
  for (const File& f : list) {
    paths.push_back((files / f.name).string());
    yux::test::WriteFile(paths.back(), f.data);
  }
  for (TSmtpEncoding enc : {smtpEncodeBase64, smtpEncodeQP}) {
    SCOPED_TRACE(int(enc));
    Composed r = Compose([&](TSyncSmtpCli& c) {
      c.MailMessage = {"See the files."};
      c.SetEmailFiles(paths);
      c.OnAttachContentTypeEh = [&](TCustomSmtpClient*, int, std::string&, std::string&,
                                    TSmtpEncoding& e) { e = enc; };
    });
    ASSERT_TRUE(r.sent) << r.error;
    ASSERT_TRUE(r.mail.ok);
    EXPECT_EQ(r.mail.Defects(), 0) << r.mail.DefectText();
    EXPECT_NE(r.raw.find("boundary=\"= Multipart Boundary "), std::string::npos);
    ASSERT_EQ(r.mail.PartCount(), int(list.size()) + 1) << r.raw;
    // The line end before a boundary belongs to the boundary.
    EXPECT_EQ(Lf(r.mail.PartBytes(0)), "See the files.");
    for (std::size_t i = 0; i < list.size(); ++i) {
      SCOPED_TRACE(list[i].name);
      EXPECT_EQ(r.mail.PartFileName(int(i) + 1), list[i].name);
      EXPECT_EQ(r.mail.PartBytes(int(i) + 1), list[i].data);
    }
    // No name ever starts a header line of its own.
    EXPECT_EQ(r.raw.find("\r\nbreak.txt"), std::string::npos);
  }
}

TEST(SmtpCompose, LineBreaksInCallerValuesAreRefused) {
  TempDir dir;
  struct Case {
    std::function<void(TSyncSmtpCli&)> set;
  };
  const std::vector<std::function<void(TSyncSmtpCli&)>> cases = {
      [](TSyncSmtpCli& c) { c.HdrSubject = "hi\r\nBcc: victim@example.com"; },
      [](TSyncSmtpCli& c) { c.HdrTo = "a@b.c\nBcc: victim@example.com"; },
      [](TSyncSmtpCli& c) { c.HdrFrom = "x@y.z\rX: y"; },
      [](TSyncSmtpCli& c) { c.XMailer = "m\r\nBcc: v@x"; },
      [](TSyncSmtpCli& c) { c.HdrSubject = std::string("hi\0Bcc: victim@example.com", 27); },
      [](TSyncSmtpCli& c) { c.XMailer = std::string("m\0x", 3); },
  };
  for (const auto& set : cases) {
    TSyncSmtpCli c;
    c.SendMode = smtpToStream;
    set(c);
    EXPECT_THROW(c.SendToFile((dir / "m.eml").string()), SmtpException);
    EXPECT_EQ(c.State(), smtpReady);
  }
}

TEST(SmtpCompose, UsageErrorsAndMissingFiles) {
  TSyncSmtpCli c;
  try {
    c.SetEmailFiles({"  ", "/nonexistent/file.bin"});
    FAIL();
  } catch (const SmtpException& e) {
    EXPECT_STREQ(e.what(), "File not found '/nonexistent/file.bin'");
  }
  EXPECT_THROW(c.SendToFile("x.eml"), SmtpException);  // SendMode is smtpToSocket
  c.SendMode = smtpToStream;
  EXPECT_THROW(c.SendToFile(""), SmtpException);
  try {
    c.SetCharSet("no-such-charset");
    FAIL();
  } catch (const SmtpException& e) {
    EXPECT_STREQ(e.what(), "Charset \"no-such-charset\" is not supported");
  }
  EXPECT_EQ(c.CharSet(), "utf-8");
}

TEST(SmtpCompose, CalcMsgSizeCountsWhatSendToFileWrites) {
  TempDir dir;
  std::string data(100000, 'a');
  for (std::size_t i = 0; i < data.size(); i += 97) data[i] = char(i & 0xFF);
  const std::string att = (dir / "data.bin").string();
  yux::test::WriteFile(att, data);
  TSyncSmtpCli c;
  c.HdrFrom = "a@b.c";
  c.HdrTo = "d@e.f";
  c.MailMessage = {"body", ".dot"};
  c.SetEmailFiles({att});
  bool done = false;
  c.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest rq, WORD e) {
    EXPECT_EQ(rq, smtpCalcMsgSize);
    EXPECT_EQ(e, 0);
    done = true;
  };
  c.CalcMsgSize();
  ASSERT_TRUE(yux::platform::WaitPumping([&] { return done; }, 10000, 2));
  EXPECT_EQ(c.LastResponse, "200 MessageSize=" + std::to_string(c.MessageSize));
  EXPECT_EQ(c.SendMode, smtpToSocket);
  c.OnRequestDone = nullptr;
  c.SendMode = smtpToStream;
  const std::int64_t counted = c.MessageSize;
  ASSERT_TRUE(c.SendToFileBlocking((dir / "m.eml").string()));
  // The file lacks the wire's dot-stuffing (one dot here).
  const std::int64_t written = std::int64_t(yux::test::ReadFile(dir / "m.eml").size());
  // Date and identifier have the same length each time.
  EXPECT_EQ(counted, written + 1);
}

}  // namespace

namespace {

// An attachment that cannot be opened fails the message (it never goes out
// without it), unless the application skips it.
TEST(SmtpCompose, AttachmentThatCannotBeOpened) {
  REQUIRE_PYTHON();
  TempDir files;
  const std::string kept = (files / "kept.txt").string();
  const std::string gone = (files / "gone.txt").string();
  yux::test::WriteFile(kept, "kept");
  yux::test::WriteFile(gone, "gone");
  for (bool skip : {false, true}) {
    SCOPED_TRACE(skip);
    yux::test::WriteFile(gone, "gone");
    std::vector<std::string> seen;
    Composed r = Compose([&](TSyncSmtpCli& c) {
      c.SetEmailFiles({gone, kept});
      std::filesystem::remove(gone);
      c.OnAfterFileOpen = [&, skip](TCustomSmtpClient*, int idx, const std::string&,
                                    const std::exception* e, TSmtpAfterOpenFileAction& a) {
        seen.push_back(std::to_string(idx) + (e ? " failed" : " open"));
        if (e && skip) a = smtpAfterOpenFileNext;
      };
    });
    if (!skip) {
      EXPECT_FALSE(r.sent);
      EXPECT_EQ(r.error.substr(0, 4), "500 ") << r.error;
      EXPECT_EQ(seen, std::vector<std::string>{"0 failed"});
      continue;
    }
    ASSERT_TRUE(r.sent) << r.error;
    EXPECT_EQ(seen, (std::vector<std::string>{"0 failed", "1 open"}));
    ASSERT_EQ(r.mail.PartCount(), 2);
    EXPECT_EQ(r.mail.PartFileName(1), "kept.txt");
    EXPECT_EQ(r.mail.Defects(), 0) << r.mail.DefectText();
  }
}

}  // namespace

namespace {

TEST(SmtpCompose, HtmlBodyAndOwnHeaders) {
  REQUIRE_PYTHON();
  Composed html = Compose([](TSyncSmtpCli& c) {
    c.SetContentType(smtpHtml);
    c.MailMessage = {"<p>Hello</p>"};
  });
  ASSERT_TRUE(html.sent) << html.error;
  EXPECT_EQ(html.mail.Part(0)["type"].toString().toStdString(), "text/html");
  // With OwnHeaders the application writes the whole message.
  Composed own = Compose([](TSyncSmtpCli& c) {
    c.OwnHeaders = true;
    c.OnGetData = [](TCustomSmtpClient*, int n, std::string& line, int, bool& more) {
      static const char* const lines[] = {"From: me@example.com", "Subject: own", "", "body"};
      more = n <= 4;
      if (more) line = lines[n - 1];
    };
  });
  ASSERT_TRUE(own.sent) << own.error;
  EXPECT_EQ(own.raw, "From: me@example.com\r\nSubject: own\r\n\r\nbody\r\n");
  EXPECT_EQ(own.mail.Header("Subject"), "own");
}

}  // namespace
