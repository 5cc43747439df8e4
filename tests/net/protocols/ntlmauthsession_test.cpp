#include "net/protocols/ntlmauthsession.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>

#include "net/protocols/mimeutils.h"
#include "net/protocols/ntlm.h"
#include "tests/support/testsupport.h"

using namespace yux::net;

namespace {

std::string Hex(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string r;
  for (unsigned char c : bytes) {
    r.push_back(kHex[c >> 4]);
    r.push_back(kHex[c & 15]);
  }
  return r;
}

std::uint32_t U32(std::string_view s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

std::string Field(std::string_view msg, std::size_t at) {
  std::size_t len =
      static_cast<std::uint8_t>(msg[at]) | (static_cast<std::uint8_t>(msg[at + 1]) << 8);
  return std::string(msg.substr(U32(msg, at + 4), len));
}

// A session whose password handler answers `password` and counts its calls.
struct Acceptor {
  TNtlmAuthSession session;
  std::string password;
  int asked = 0;
  explicit Acceptor(std::string pw) : password(std::move(pw)) {
    session.OnAuthGetPassword = [this](TNtlmAuthSession&, std::string& out) {
      ++asked;
      out = password;
    };
  }
  // Sends a negotiate message and returns the challenge as a client reads it.
  TNTLM_Msg2_Info Challenge(int level) {
    EXPECT_FALSE(session.ProcessMessage(NtlmBuildNegotiate("", "", level)));
    EXPECT_EQ(session.State(), AuthChallengeSent);
    EXPECT_EQ(session.LastStatus(), SEC_I_CONTINUE_NEEDED);
    TNTLM_Msg2_Info info = NtlmParseChallenge(session.NtlmMessage());
    EXPECT_TRUE(info.Valid);
    return info;
  }
};

}  // namespace

TEST(NtlmAuthSession, AcceptsOurClientAtEveryLevelWithTheRightPassword) {
  for (int level = 0; level <= 5; ++level) {
    for (bool right : {true, false}) {
      SCOPED_TRACE("level " + std::to_string(level) + (right ? " right" : " wrong"));
      Acceptor a("S3cret\xC3\xA9");
      TNTLM_Msg2_Info info = a.Challenge(level);
      // Level 1 asks for NTLM2 session security, and gets it.
      EXPECT_EQ((info.Flags & NTLMSSP_NEGOTIATE_NTLM2) != 0, level == 1);
      EXPECT_TRUE(info.Flags & NTLMSSP_NEGOTIATE_UNICODE);
      EXPECT_FALSE(info.TargetName.empty());
      EXPECT_EQ(info.DomainName, info.TargetName);

      const std::string answer = NtlmBuildAuthenticate("Corp", "Desk1", "J\xC3\xBCrgen", level, 0,
                                                       info, right ? "S3cret\xC3\xA9" : "S3cret");
      EXPECT_EQ(a.session.ProcessMessage(answer), right);
      EXPECT_EQ(a.session.State(), right ? AuthSucceeded : AuthFailed);
      EXPECT_EQ(a.session.LastStatus(), right ? SEC_E_OK : SEC_E_LOGON_DENIED);
      EXPECT_EQ(a.session.NtlmMessage(), "");
      EXPECT_EQ(a.session.User(), "J\xC3\xBCrgen");
      EXPECT_EQ(a.session.Domain(), "Corp");
      EXPECT_EQ(a.session.Host(), "Desk1");
      EXPECT_EQ(a.asked, 1);
    }
  }
}

TEST(NtlmAuthSession, StateMachine) {
  Acceptor a("pw");
  // An empty text resets and says no.
  EXPECT_FALSE(a.session.ProcessMessage(""));
  EXPECT_EQ(a.session.State(), AuthIdle);

  // A type-3 message without our challenge before it is an invalid token.
  TNTLM_Msg2_Info foreign = NtlmParseChallenge(EncodeBase64String(NtlmBuildChallengeBytes(
      NTLMSSP_NEGOTIATE_UNICODE, {1, 2, 3, 4, 5, 6, 7, 8}, u"X", NtlmBuildTargetInfo(u"X", u"X"))));
  const std::string outOfTurn = NtlmBuildAuthenticate("", "", "u", 3, 0, foreign, "pw");
  EXPECT_FALSE(a.session.ProcessMessage(outOfTurn));
  EXPECT_EQ(a.session.State(), AuthFailed);
  EXPECT_EQ(a.session.LastStatus(), SEC_E_INVALID_TOKEN);
  EXPECT_EQ(a.asked, 0);

  // Text that decodes to nothing, and bytes that are no NTLM message.
  EXPECT_FALSE(a.session.ProcessMessage("!!!!"));
  EXPECT_EQ(a.session.State(), AuthFailed);
  EXPECT_EQ(a.session.LastStatus(), SEC_E_INVALID_TOKEN);
  EXPECT_FALSE(a.session.ProcessMessage(EncodeBase64String("hello, this is not NTLM at all!!!")));
  EXPECT_EQ(a.session.LastStatus(), SEC_E_INVALID_TOKEN);

  // A second negotiate message starts over with a fresh challenge.
  TNTLM_Msg2_Info first = a.Challenge(3);
  TNTLM_Msg2_Info second = a.Challenge(3);
  EXPECT_NE(first.Challenge, second.Challenge);
  // An answer to the old challenge no longer counts.
  EXPECT_FALSE(a.session.ProcessMessage(NtlmBuildAuthenticate("", "", "u", 3, 0, first, "pw")));
  EXPECT_EQ(a.session.State(), AuthFailed);

  // A good answer succeeds once; the same message again is not accepted.
  TNTLM_Msg2_Info info = a.Challenge(3);
  const std::string good = NtlmBuildAuthenticate("", "", "u", 3, 0, info, "pw");
  EXPECT_TRUE(a.session.ProcessMessage(good));
  EXPECT_FALSE(a.session.ProcessMessage(good));
  EXPECT_EQ(a.session.State(), AuthFailed);
  EXPECT_EQ(a.session.LastStatus(), SEC_E_INVALID_TOKEN);
}

TEST(NtlmAuthSession, RefusalsBeforeAndWithoutAPassword) {
  {
    // OnBeforeAccept sees the names and can refuse.
    Acceptor a("pw");
    std::string seenUser, seenHost;
    a.session.OnBeforeAccept = [&](TNtlmAuthSession& s, bool& allow) {
      seenUser = s.User();
      seenHost = s.Host();
      allow = false;
    };
    TNTLM_Msg2_Info info = a.Challenge(3);
    EXPECT_FALSE(
        a.session.ProcessMessage(NtlmBuildAuthenticate("D", "H", "bob", 3, 0, info, "pw")));
    EXPECT_EQ(a.session.State(), AuthFailed);
    EXPECT_EQ(seenUser, "bob");
    EXPECT_EQ(seenHost, "H");
    EXPECT_EQ(a.asked, 0);
  }
  {
    // Without a password handler nobody gets in.
    TNtlmAuthSession s;
    s.ProcessMessage(NtlmBuildNegotiate("", "", 0));
    TNTLM_Msg2_Info info = NtlmParseChallenge(s.NtlmMessage());
    EXPECT_FALSE(s.ProcessMessage(NtlmBuildAuthenticate("", "", "u", 0, 0, info, "")));
    EXPECT_EQ(s.State(), AuthFailed);
  }
  {
    // An anonymous answer (no user, empty responses) is refused even when
    // the password is empty.
    Acceptor a("");
    TNTLM_Msg2_Info info = a.Challenge(0);
    std::string msg = DecodeBase64String(NtlmBuildAuthenticate("", "", "", 0, 0, info, ""));
    for (std::size_t at : {12u, 20u}) msg[at] = msg[at + 1] = msg[at + 2] = msg[at + 3] = 0;
    EXPECT_FALSE(a.session.ProcessMessage(EncodeBase64String(msg)));
    EXPECT_EQ(a.session.State(), AuthFailed);
  }
  {
    // A response field pointing outside the message is refused, not read.
    Acceptor a("pw");
    TNTLM_Msg2_Info info = a.Challenge(0);
    std::string msg = DecodeBase64String(NtlmBuildAuthenticate("", "", "u", 0, 0, info, "pw"));
    msg[24] = '\x7F';
    msg[25] = msg[26] = msg[27] = '\x7F';
    EXPECT_FALSE(a.session.ProcessMessage(EncodeBase64String(msg)));
    EXPECT_EQ(a.session.State(), AuthFailed);
  }
}

TEST(NtlmAuthSession, ChallengeAnswersTheClientsOffer) {
  // A client without Unicode gets an OEM challenge with an 8-bit name.
  std::string negotiate = DecodeBase64String(NtlmBuildNegotiate("", "", 0));
  negotiate[12] = static_cast<char>(NTLMSSP_NEGOTIATE_OEM | NTLMSSP_REQUEST_TARGET);
  negotiate[13] = static_cast<char>(NTLMSSP_NEGOTIATE_NTLM >> 8);
  TNtlmAuthSession s;
  std::string pw = "pw";
  s.OnAuthGetPassword = [&](TNtlmAuthSession&, std::string& out) { out = pw; };
  s.ProcessMessage(EncodeBase64String(negotiate));
  const std::string challenge = DecodeBase64String(s.NtlmMessage());
  const std::uint32_t flags = U32(challenge, 20);
  EXPECT_EQ(flags & (NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_OEM), NTLMSSP_NEGOTIATE_OEM);
  EXPECT_FALSE(flags & NTLMSSP_NEGOTIATE_NTLM2);
  TNTLM_Msg2_Info info = NtlmParseChallenge(s.NtlmMessage());
  ASSERT_TRUE(info.Valid);
  EXPECT_EQ(Field(challenge, 12).size(), info.TargetName.size());
  // The OEM answer names the user in 8-bit text and still logs in.
  EXPECT_TRUE(s.ProcessMessage(NtlmBuildAuthenticate("", "", "bob", 0, 0, info, "pw")));
  EXPECT_EQ(s.User(), "bob");
}

// NTLMv2 responses computed by Python's hashlib and hmac for random users,
// domains, passwords, challenges and times equal ours, and the type-3
// messages Python builds from them are accepted with the right password
// and refused with a wrong one.
TEST(NtlmAuthSession, CrossCheckWithPython) {
  YUX_REQUIRE_PROGRAM("/usr/bin/python3");
  yux::test::TempDir dir;
  const auto conf = dir / "openssl.cnf";
  yux::test::WriteFile(conf,
                       "openssl_conf = openssl_init\n"
                       "[openssl_init]\nproviders = provider_sect\n"
                       "[provider_sect]\ndefault = default_sect\nlegacy = legacy_sect\n"
                       "[default_sect]\nactivate = 1\n[legacy_sect]\nactivate = 1\n");

  std::mt19937 rng(20261210);
  const std::vector<std::string> pieces = {
      "a",        "B",        "z",        "Q",        "0",        "7",
      "-",        ".",        " ",        "_",        "\xC3\xA9", "\xC3\xBC",
      "\xC3\xB1", "\xD0\xB6", "\xD1\x8F", "\xCE\xB1", "\xC3\xA5", "\xC3\xBF",
      // l with stroke, o double acute, s cedilla, final sigma, sharp s
      "\xC5\x82", "\xC5\x91", "\xC5\x9F", "\xCF\x82", "\xC3\x9F"};
  auto text = [&](int minLen, int maxLen) {
    std::string s;
    int n = std::uniform_int_distribution<int>(minLen, maxLen)(rng);
    for (int i = 0; i < n; ++i) s += pieces[rng() % pieces.size()];
    return s;
  };
  auto bytes8 = [&] {
    TNtlmChallenge c;
    for (auto& b : c) b = static_cast<std::uint8_t>(rng());
    return c;
  };

  struct Case {
    std::unique_ptr<Acceptor> acceptor;
    TNTLM_Msg2_Info info;
    std::string user, domain, ws, password;
    TNtlmChallenge clientChallenge;
    std::uint64_t fileTime;
  };
  const int kCases = 40;
  std::vector<Case> cases(kCases);
  std::ostringstream input;
  for (int i = 0; i < kCases; ++i) {
    Case& c = cases[i];
    c.user = text(1, 12);
    c.domain = text(0, 10);
    c.ws = text(0, 8);
    c.password = text(0, 16);
    c.clientChallenge = bytes8();
    c.fileTime = (static_cast<std::uint64_t>(rng()) << 28) ^ rng();
    // Odd cases: the acceptor knows a different password.
    c.acceptor = std::make_unique<Acceptor>(i % 2 == 0 ? c.password : c.password + "x");
    c.info = c.acceptor->Challenge(3);
    input << "ntlmv2\t" << Hex(c.user) << '\t' << Hex(c.domain) << '\t' << Hex(c.ws) << '\t'
          << Hex(c.password) << '\t'
          << Hex(std::string_view(reinterpret_cast<const char*>(c.info.Challenge.data()), 8))
          << '\t'
          << Hex(std::string_view(reinterpret_cast<const char*>(c.clientChallenge.data()), 8))
          << '\t' << Hex(std::to_string(c.fileTime)) << '\t' << Hex(c.info.TargetInfo) << '\n';
  }

  const auto script = yux::test::SourceDir() / "tests/net/protocols/auth_crosscheck.py";
  auto result = yux::test::RunProgram({"/usr/bin/python3", script.string()},
                                      {{"OPENSSL_CONF", conf.string()}}, 30000, input.str());
  ASSERT_EQ(result.exitCode, 0) << result.err;
  std::istringstream out(result.out);
  for (int i = 0; i < kCases; ++i) {
    Case& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " user " + c.user + " domain " + c.domain);
    std::string ntHex, lmHex, message;
    ASSERT_TRUE(out >> ntHex >> lmHex >> message);

    // Our client builds the same responses for the same inputs.
    const std::string ours = NtlmBuildAuthenticateBytes(c.domain, c.ws, c.user, 3, 0, c.info,
                                                        c.password, c.clientChallenge, c.fileTime);
    EXPECT_EQ(Hex(Field(ours, 20)), ntHex);
    EXPECT_EQ(Hex(Field(ours, 12)), lmHex);

    const bool right = i % 2 == 0;
    EXPECT_EQ(c.acceptor->session.ProcessMessage(message), right);
    EXPECT_EQ(c.acceptor->session.State(), right ? AuthSucceeded : AuthFailed);
    EXPECT_EQ(c.acceptor->session.User(), c.user);
    EXPECT_EQ(c.acceptor->session.Domain(), c.domain);
  }
}
