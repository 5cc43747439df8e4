// Reply lines as the SMTP client reads them: codes, continuations, the
// EHLO announcements and the bounded reply buffer.
#include "net/protocols/smtpreply.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace yux::net;

namespace {

TEST(SmtpReply, CodesAndContinuations) {
  struct Case {
    const char* line;
    int code;
    bool continuation;
  };
  const Case cases[] = {{"250 ok", 250, false},     {"250-more", 250, true},
                        {"  220 hi", 220, false},   {"+235 ok", 235, false},
                        {"-17- odd", -17, true},    {"hello", 0, false},
                        {"", 0, false},             {"354", 354, false},
                        {"9999999999 x", 999999999, false},
                        // A "-" after no number or after 0 marks no continuation.
                        {"  0-AUTH LOGIN PLAIN CRAM-MD5", 0, false},
                        {"000-x", 0, false},
                        {"-0-x", 0, false},
                        {"-x", 0, false}};
  for (const Case& k : cases) {
    bool cont = !k.continuation;
    EXPECT_EQ(SmtpReplyCode(k.line, cont), k.code) << k.line;
    EXPECT_EQ(cont, k.continuation) << k.line;
  }
}

TEST(SmtpReply, EhloAnnouncements) {
  TSmtpEhloInfo info;
  for (const char* line : {"250-mail.example.com", "250-AUTH LOGIN PLAIN", "250-AUTH=LOGIN CRAM-MD5",
                           "250-auth gssapi ntlm", "250-SIZE 35882577", "250-SIZE 1",
                           "250-STARTTLS", "250 HELP"})
    SmtpParseEhloLine(line, info);
  const std::vector<std::string> want = {"LOGIN", "PLAIN", "CRAM-MD5", "GSSAPI", "NTLM"};
  EXPECT_EQ(info.AuthTypes, want);
  EXPECT_TRUE(info.SizeSupported);
  EXPECT_EQ(info.MaxMessageSize, 35882577);  // the first SIZE line counts
  EXPECT_TRUE(info.StartTlsOffered);

  TSmtpEhloInfo bare;
  SmtpParseEhloLine("250 SIZE", bare);
  EXPECT_TRUE(bare.SizeSupported);
  EXPECT_EQ(bare.MaxMessageSize, 0);
  TSmtpEhloInfo junk;
  SmtpParseEhloLine("250 SIZE lots", junk);
  EXPECT_EQ(junk.MaxMessageSize, 0);
  SmtpParseEhloLine("250 XSTARTTLSX", junk);
  EXPECT_FALSE(junk.StartTlsOffered);
}

// However many names the lines announce, the list stays bounded and each
// name is there once.
TEST(SmtpReply, EhloMechanismListIsBounded) {
  TSmtpEhloInfo info;
  for (int line = 0; line < 200; ++line) {
    std::string text = "250-AUTH";
    for (int n = 0; n < 50; ++n) text += " M" + std::to_string(line * 50 + n);
    text += " PLAIN";
    SmtpParseEhloLine(text, info);
  }
  ASSERT_EQ(info.AuthTypes.size(), kSmtpMaxAuthTypes);
  EXPECT_EQ(info.AuthTypes.front(), "M0");
  EXPECT_EQ(std::count(info.AuthTypes.begin(), info.AuthTypes.end(), "PLAIN"), 1);
}

TEST(SmtpReply, BufferHandsOutLinesAndOverflowsOnlyWithoutALineEnd) {
  TSmtpReplyBuffer b;
  ASSERT_TRUE(b.Append("220 one\r\n250-t"));
  std::string line;
  ASSERT_TRUE(b.NextLine(line));
  EXPECT_EQ(line, "220 one");
  EXPECT_FALSE(b.NextLine(line));
  ASSERT_TRUE(b.Append("wo\r\n"));
  ASSERT_TRUE(b.NextLine(line));
  EXPECT_EQ(line, "250-two");
  EXPECT_TRUE(b.Empty());

  // A line of exactly the buffer's size (with its CR LF) still fits.
  std::string full(kSmtpReplyBufferSize - 2, 'a');
  ASSERT_TRUE(b.Append(full + "\r\n"));
  ASSERT_TRUE(b.NextLine(line));
  EXPECT_EQ(line.size(), kSmtpReplyBufferSize - 2);
  EXPECT_FALSE(b.Overflow());
  // One byte more never completes.
  ASSERT_TRUE(b.Append(std::string(kSmtpReplyBufferSize, 'b')));
  EXPECT_FALSE(b.NextLine(line));
  EXPECT_TRUE(b.Overflow());
  EXPECT_FALSE(b.Append("\r\n"));
}

}  // namespace
