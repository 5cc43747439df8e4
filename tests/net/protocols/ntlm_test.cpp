#include "net/protocols/ntlm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "net/protocols/mimeutils.h"

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

template <std::size_t N>
std::string Hex(const std::array<std::uint8_t, N>& a) {
  return Hex(std::string_view(reinterpret_cast<const char*>(a.data()), N));
}

std::string Unhex(std::string_view hex) {
  std::string r;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    r.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return r;
}

std::uint32_t U32(std::string_view s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

std::uint16_t U16(std::string_view s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                    (static_cast<std::uint8_t>(s[at + 1]) << 8));
}

// The bytes of the security buffer at `at`, checking that length and
// maximum length agree.
std::string Field(std::string_view msg, std::size_t at) {
  EXPECT_EQ(U16(msg, at), U16(msg, at + 2)) << "field at " << at;
  std::size_t len = U16(msg, at), off = U32(msg, at + 4);
  EXPECT_LE(off + len, msg.size()) << "field at " << at;
  return std::string(msg.substr(off, len));
}

std::string Utf16(const char* ascii) {
  std::string r;
  for (const char* p = ascii; *p; ++p) {
    r.push_back(*p);
    r.push_back('\0');
  }
  return r;
}

TNtlmChallenge Challenge(std::string_view hex) {
  TNtlmChallenge c{};
  std::string b = Unhex(hex);
  std::memcpy(c.data(), b.data(), 8);
  return c;
}

// The worked example of the public protocol description: user "User",
// domain "Domain", password "Password", server challenge 0123456789abcdef,
// client challenge aa x 8, time 0, server "Server".
const TNtlmChallenge kServerChallenge = Challenge("0123456789abcdef");
const TNtlmChallenge kClientChallenge = Challenge("aaaaaaaaaaaaaaaa");
const std::string kTargetInfo = NtlmBuildTargetInfo(u"Domain", u"Server");

TNTLM_Msg2_Info ExampleChallenge(std::uint32_t extraFlags) {
  TNTLM_Msg2_Info info;
  info.Valid = true;
  info.Flags = NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_NTLM | extraFlags;
  info.Challenge = kServerChallenge;
  info.TargetInfo = kTargetInfo;
  return info;
}

// A type-2 message put together by hand, field by field.
struct ChallengeFixture {
  std::uint32_t flags = NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_NTLM;
  std::string name = Utf16("Domain");
  std::string targetInfo = kTargetInfo;
  std::uint16_t nameLenOverride = 0xFFFF;
  std::uint32_t nameOffOverride = 0xFFFFFFFF;

  std::string Bytes() const {
    auto u16 = [](std::uint16_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; };
    auto u32 = [](std::uint32_t v) {
      return std::string{char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF),
                         char(v >> 24)};
    };
    std::string m("NTLMSSP\0", 8);
    m += u32(2);
    const std::uint16_t nameLen = nameLenOverride != 0xFFFF ? nameLenOverride : name.size();
    m += u16(nameLen) + u16(nameLen);
    m += u32(nameOffOverride != 0xFFFFFFFF ? nameOffOverride : 48);
    m += u32(flags);
    m += Unhex("0123456789abcdef");
    m += std::string(8, '\0');
    m += u16(targetInfo.size()) + u16(targetInfo.size()) + u32(48 + name.size());
    m += name;
    m += targetInfo;
    return m;
  }
  std::string Base64() const { return EncodeBase64String(Bytes()); }
};

}  // namespace

TEST(Ntlm, PublishedExampleHashesAndResponses) {
  const std::u16string password = u"Password";
  const TNtlmHash lmHash = NtlmLmHash(password);
  const TNtlmHash ntHash = NtlmNtHash(password);
  EXPECT_EQ(Hex(lmHash), "e52cac67419a9a224a3b108f3fa6cb6d");
  EXPECT_EQ(Hex(ntHash), "a4f49c406510bdcab6824ee7c30fd852");
  EXPECT_EQ(Hex(NtlmDesResponse(ntHash, kServerChallenge)),
            "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
  EXPECT_EQ(Hex(NtlmDesResponse(lmHash, kServerChallenge)),
            "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
  EXPECT_EQ(Hex(NtlmNtlm2SessionResponse(ntHash, kServerChallenge, kClientChallenge)),
            "7537f803ae367128ca458204bde7caf81e97ed2683267232");
  const TNtlmHash key = NtlmV2Key(ntHash, u"User", u"Domain");
  EXPECT_EQ(Hex(key), "0c868a403bfd7a93a3001ef22ef02e3f");
  EXPECT_EQ(Hex(NtlmLmV2Response(key, kServerChallenge, kClientChallenge)),
            "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
  const std::string blob = NtlmV2Blob(0, kClientChallenge, kTargetInfo);
  EXPECT_EQ(Hex(blob),
            "0101000000000000"
            "0000000000000000"
            "aaaaaaaaaaaaaaaa"
            "00000000" +
                Hex(kTargetInfo) + "00000000");
  EXPECT_EQ(Hex(NtlmV2Response(key, kServerChallenge, blob).substr(0, 16)),
            "68cd0ab851e51c96aabc927bebef6a1c");
  // The LM hash takes the password upper-cased and cut to 14 characters.
  EXPECT_EQ(NtlmLmHash(u"password"), lmHash);
  EXPECT_EQ(NtlmLmHash(u"PASSWORD0123456789"), NtlmLmHash(u"PASSWORD012345"));
}

TEST(Ntlm, AuthenticateMessageCarriesTheResponsesOfEachLevel) {
  struct Case {
    int level;
    std::uint32_t challengeFlags;
    std::string lm, nt;  // hex; the v2 NT response is checked by its proof
    bool ntlm2Flag;
  };
  const std::string v1 = "67c43011f30298a2ad35ece64f16331c44bdbed927841f94";
  const Case cases[] = {
      {0, 0, "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13", v1, false},
      {0, NTLMSSP_NEGOTIATE_NTLM2, "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13", v1, false},
      {1, 0, "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13", v1, false},
      // Level 2 without the server's NTLM2 offer sends the NT response twice.
      {2, 0, v1, v1, false},
      {1, NTLMSSP_NEGOTIATE_NTLM2, "aaaaaaaaaaaaaaaa" + std::string(32, '0'),
       "7537f803ae367128ca458204bde7caf81e97ed2683267232", true},
      {2, NTLMSSP_NEGOTIATE_NTLM2, "aaaaaaaaaaaaaaaa" + std::string(32, '0'),
       "7537f803ae367128ca458204bde7caf81e97ed2683267232", true},
      {3, 0, "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa", "68cd0ab851e51c96aabc927bebef6a1c",
       false},
      {5, NTLMSSP_NEGOTIATE_NTLM2, "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa",
       "68cd0ab851e51c96aabc927bebef6a1c", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("level " + std::to_string(c.level) + " flags " + std::to_string(c.challengeFlags));
    const std::string msg = NtlmBuildAuthenticateBytes("Domain", "COMPUTER", "User", c.level, 0,
                                                       ExampleChallenge(c.challengeFlags),
                                                       "Password", kClientChallenge, 0);
    ASSERT_GE(msg.size(), 64u);
    EXPECT_EQ(msg.substr(0, 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(U32(msg, 8), 3u);
    // Payload in the order domain, user, workstation, LM, NT from offset 64,
    // and an empty session key at its end.
    EXPECT_EQ(U32(msg, 32), 64u);
    EXPECT_EQ(Field(msg, 28), Utf16("Domain"));
    EXPECT_EQ(Field(msg, 36), Utf16("User"));
    EXPECT_EQ(Field(msg, 44), Utf16("COMPUTER"));
    EXPECT_EQ(U32(msg, 40), 64u + 12);
    EXPECT_EQ(U32(msg, 48), 64u + 12 + 8);
    EXPECT_EQ(U32(msg, 16), 64u + 12 + 8 + 16);
    EXPECT_EQ(U32(msg, 24), U32(msg, 16) + U16(msg, 12));
    EXPECT_EQ(U16(msg, 52), 0);
    EXPECT_EQ(U32(msg, 56), msg.size());
    EXPECT_EQ(Hex(Field(msg, 12)), c.lm);
    const std::string nt = Field(msg, 20);
    if (c.level >= 3) {
      EXPECT_EQ(Hex(nt.substr(0, 16)), c.nt);
      EXPECT_EQ(nt.substr(16), NtlmV2Blob(0, kClientChallenge, kTargetInfo));
    } else {
      EXPECT_EQ(Hex(nt), c.nt);
    }
    const std::uint32_t flags = U32(msg, 60);
    EXPECT_EQ(flags & ~NTLMSSP_NEGOTIATE_NTLM2, 0x8205u);
    EXPECT_EQ((flags & NTLMSSP_NEGOTIATE_NTLM2) != 0, c.ntlm2Flag);
  }
}

TEST(Ntlm, AuthenticateWithoutUnicodeSendsOemText) {
  TNTLM_Msg2_Info info = ExampleChallenge(0);
  info.Flags = NTLMSSP_NEGOTIATE_OEM | NTLMSSP_NEGOTIATE_NTLM;
  // "Jürgen" in UTF-8 (the system code page) becomes code page 437 bytes.
  const std::string msg = NtlmBuildAuthenticateBytes("dom", "ws", "J\xC3\xBCrgen", 0, 0, info,
                                                     "Password", kClientChallenge, 0);
  EXPECT_EQ(Field(msg, 28), "dom");
  EXPECT_EQ(Field(msg, 36), "J\x81rgen");
  EXPECT_EQ(Field(msg, 44), "ws");
  EXPECT_EQ(U32(msg, 60) & 3u, NTLMSSP_NEGOTIATE_OEM);
  // The NT hash stays that of the UTF-16 password.
  EXPECT_EQ(Hex(Field(msg, 20)), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");

  // Nothing is answered to a challenge that could not be read.
  TNTLM_Msg2_Info bad = ExampleChallenge(0);
  bad.Valid = false;
  EXPECT_EQ(NtlmBuildAuthenticate("d", "w", "u", 0, 0, bad, "p"), "");
  EXPECT_NE(NtlmBuildAuthenticate("d", "w", "u", 3, 0, ExampleChallenge(0), "p"), "");
}

TEST(Ntlm, NegotiateMessage) {
  struct Case {
    const char* domain;
    const char* workstation;
    int level;
    std::uint32_t flags;
  };
  const Case cases[] = {
      {"", "", 0, 0x8207},
      {"", "", 1, 0x88207},
      {"", "", 2, 0x8207},
      {"", "", 3, 0x8207},
      {"dom", "", 0, 0x8207 | NTLMSSP_NEGOTIATE_OEM_DOMAIN_SUPPLIED},
      {"", "pc1", 0, 0x8207 | NTLMSSP_NEGOTIATE_OEM_WORKSTATION_SUPPLIED},
      {"MyDom", "pc-1", 1, 0x88207 | 0x1000 | 0x2000},
  };
  for (const Case& c : cases) {
    const std::string msg =
        DecodeBase64String(NtlmBuildNegotiate(c.domain, c.workstation, c.level));
    SCOPED_TRACE(Hex(msg));
    ASSERT_GE(msg.size(), 32u);
    EXPECT_EQ(msg.substr(0, 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(U32(msg, 8), 1u);
    EXPECT_EQ(U32(msg, 12), c.flags);
    EXPECT_EQ(U32(msg, 20), 32u);
    std::string dom = c.domain, ws = c.workstation;
    for (char& ch : dom) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    for (char& ch : ws) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(Field(msg, 16), dom);
    EXPECT_EQ(U32(msg, 28), 32u + dom.size());
    EXPECT_EQ(Field(msg, 24), ws);
    EXPECT_EQ(msg.size(), 32u + dom.size() + ws.size());
  }
}

TEST(Ntlm, ParseChallengeReadsTheFields) {
  ChallengeFixture fx;
  TNTLM_Msg2_Info info = NtlmParseChallenge(fx.Base64());
  ASSERT_TRUE(info.Valid);
  EXPECT_EQ(info.TargetName, u"Domain");
  EXPECT_EQ(info.DomainName, u"Domain");
  EXPECT_EQ(info.ServerName, u"Server");
  EXPECT_EQ(info.Challenge, kServerChallenge);
  EXPECT_EQ(info.Flags, fx.flags);
  EXPECT_EQ(info.TargetInfo, kTargetInfo);

  // Without Unicode the target name is 8-bit text.
  fx.flags = NTLMSSP_NEGOTIATE_OEM;
  fx.name = "WORKGROUP";
  fx.targetInfo.clear();
  info = NtlmParseChallenge(fx.Base64());
  ASSERT_TRUE(info.Valid);
  EXPECT_EQ(info.TargetName, u"WORKGROUP");
  EXPECT_TRUE(info.TargetInfo.empty());
  EXPECT_TRUE(info.ServerName.empty());

  // An item running past the target information ends the walk, and the
  // message stays usable.
  fx = ChallengeFixture();
  fx.targetInfo = std::string(
                      "\x02\x00\x04\x00"
                      "D\0o\0",
                      8) +
                  std::string("\x01\x00\x40\x00", 4);
  info = NtlmParseChallenge(fx.Base64());
  ASSERT_TRUE(info.Valid);
  EXPECT_EQ(info.DomainName, u"Do");
  EXPECT_TRUE(info.ServerName.empty());

  // Our own acceptor's challenges read back the same way.
  const std::string own =
      NtlmBuildChallengeBytes(NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_NTLM2, kServerChallenge,
                              u"HOST", NtlmBuildTargetInfo(u"HOST", u"HOST"));
  info = NtlmParseChallenge(EncodeBase64String(own));
  ASSERT_TRUE(info.Valid);
  EXPECT_EQ(info.TargetName, u"HOST");
  EXPECT_EQ(info.ServerName, u"HOST");
  EXPECT_EQ(info.Challenge, kServerChallenge);
}

TEST(Ntlm, MalformedChallengesAreInvalid) {
  struct Case {
    const char* what;
    std::string base64;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", ""});
  cases.push_back({"47 bytes", EncodeBase64String(ChallengeFixture().Bytes().substr(0, 47))});
  cases.push_back({"not base64", "%%%%"});
  {
    std::string m = ChallengeFixture().Bytes();
    m[0] = 'X';
    cases.push_back({"wrong signature", EncodeBase64String(m)});
    m = ChallengeFixture().Bytes();
    m[8] = 3;
    cases.push_back({"type 3", EncodeBase64String(m)});
  }
  {
    ChallengeFixture fx;
    fx.nameLenOverride = 5;
    cases.push_back({"odd Unicode name length", fx.Base64()});
  }
  {
    ChallengeFixture fx;
    fx.nameLenOverride = static_cast<std::uint16_t>(fx.Bytes().size());
    cases.push_back({"name as long as the message", fx.Base64()});
  }
  {
    ChallengeFixture fx;
    fx.nameOffOverride = 0x7FFFFFF0;
    cases.push_back({"name offset past the end", fx.Base64()});
  }
  {
    ChallengeFixture fx;
    fx.targetInfo = std::string(
                        "\x02\x00\x03\x00"
                        "abc",
                        7) +
                    std::string(4, '\0');
    cases.push_back({"odd item length with Unicode", fx.Base64()});
  }
  for (const Case& c : cases) EXPECT_FALSE(NtlmParseChallenge(c.base64).Valid) << c.what;
}

TEST(Ntlm, SplitDomainUser) {
  struct Case {
    const char* text;
    const char* domain;
    const char* user;
  };
  const Case cases[] = {
      {"CORP\\alice", "CORP", "alice"},
      {"alice", "", "alice"},
      {"alice@corp.example", "", "alice@corp.example"},
      {"\\alice", "", "alice"},
      {"CORP\\", "CORP", ""},
      {"A\\B\\C", "A", "B\\C"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    std::string domain = "x", user = "y";
    NtlmSplitDomainUser(c.text, domain, user);
    EXPECT_EQ(domain, c.domain) << c.text;
    EXPECT_EQ(user, c.user) << c.text;
  }
}

TEST(Ntlm, FileTimeIsUnixTimePlusTheEpochDifference) {
  const std::time_t before = std::time(nullptr);
  const std::uint64_t ft = NtlmFileTimeNow();
  const std::time_t after = std::time(nullptr);
  const std::int64_t seconds = static_cast<std::int64_t>(ft / 10000000ULL) - 11644473600LL;
  EXPECT_GE(seconds, static_cast<std::int64_t>(before));
  EXPECT_LE(seconds, static_cast<std::int64_t>(after));
}

// Every field of the authenticate message carries a 16-bit length: a value
// that does not fit is refused (no message) rather than sent with its
// length wrapped.
TEST(Ntlm, AuthenticateRefusesFieldsOverTheLengthLimit) {
  const TNtlmChallenge c = {1, 2, 3, 4, 5, 6, 7, 8};
  auto challenge = [&](std::uint32_t flags, std::string_view targetInfo) {
    return NtlmParseChallenge(EncodeBase64String(
        NtlmBuildChallengeBytes(flags | NTLMSSP_NEGOTIATE_NTLM, c, u"T", targetInfo)));
  };
  const TNTLM_Msg2_Info oem = challenge(NTLMSSP_NEGOTIATE_OEM, "");
  const TNTLM_Msg2_Info unicode = challenge(NTLMSSP_NEGOTIATE_UNICODE, "");
  // Target information of 65488 bytes makes an NTLMv2 response of 65536:
  // one item of an unknown type, the end item, and bytes after it.
  std::string item(65482, '\0');
  item[0] = 5;
  item[2] = char(65478 & 0xFF);
  item[3] = char(65478 >> 8);
  const std::string end(4, '\0');
  const TNTLM_Msg2_Info bigInfo = challenge(NTLMSSP_NEGOTIATE_UNICODE, item + end + "xx");
  const TNTLM_Msg2_Info fitInfo = challenge(NTLMSSP_NEGOTIATE_UNICODE, item + end + "x");
  ASSERT_TRUE(oem.Valid && unicode.Valid && bigInfo.Valid && fitInfo.Valid);
  const std::string k64(65535, 'a'), over(65536, 'a'), half(32768, 'a');
  struct Case {
    const char* what;
    std::string domain, ws, user;
    const TNTLM_Msg2_Info* info;
    int level;
    bool sent;
  } cases[] = {
      {"user of 65535 bytes", "", "", k64, &oem, 0, true},
      {"user of 65536 bytes", "", "", over, &oem, 0, false},
      {"domain of 65536 bytes", over, "", "u", &oem, 0, false},
      {"workstation of 65536 bytes", "", over, "u", &oem, 0, false},
      {"user of 65536 bytes in UTF-16", "", "", half, &unicode, 0, false},
      {"NTLMv2 response of 65535 bytes", "", "", "u", &fitInfo, 3, true},
      {"NTLMv2 response of 65536 bytes", "", "", "u", &bigInfo, 3, false},
      {"the same target information at level 0", "", "", "u", &bigInfo, 0, true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string msg =
        NtlmBuildAuthenticateBytes(k.domain, k.ws, k.user, k.level, 0, *k.info, "pw", c, 0);
    EXPECT_EQ(!msg.empty(), k.sent);
    EXPECT_EQ(!NtlmBuildAuthenticate(k.domain, k.ws, k.user, k.level, 0, *k.info, "pw").empty(),
              k.sent);
    if (msg.empty()) continue;
    // Each field's length reads back as the bytes it covers.
    std::size_t total = 64;
    for (std::size_t at : {12, 20, 28, 36, 44}) {
      const std::size_t len = std::uint8_t(msg[at]) | (std::uint8_t(msg[at + 1]) << 8);
      total += len;
    }
    EXPECT_EQ(total, msg.size());
  }
}

// The other messages this side builds refuse names their 16-bit lengths
// cannot describe, instead of cutting the length and sending a message
// whose fields point at the wrong bytes.
TEST(Ntlm, NegotiateAndChallengeRefuseFieldsOverTheLengthLimit) {
  const TNtlmChallenge c = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::string k64(65535, 'a'), over(65536, 'a');
  EXPECT_FALSE(NtlmBuildNegotiate(k64, k64, 0).empty());
  EXPECT_TRUE(NtlmBuildNegotiate(over, "", 0).empty());
  EXPECT_TRUE(NtlmBuildNegotiate("", over, 0).empty());
  const std::u16string name16(32767, u'a'), name16over(32768, u'a');
  EXPECT_FALSE(NtlmBuildChallengeBytes(NTLMSSP_NEGOTIATE_UNICODE, c, name16, k64).empty());
  EXPECT_TRUE(NtlmBuildChallengeBytes(NTLMSSP_NEGOTIATE_UNICODE, c, name16over, "").empty());
  EXPECT_TRUE(NtlmBuildChallengeBytes(NTLMSSP_NEGOTIATE_UNICODE, c, u"T", over).empty());
  EXPECT_FALSE(NtlmBuildTargetInfo(name16, u"S").empty());
  EXPECT_TRUE(NtlmBuildTargetInfo(u"D", name16over).empty());
}

// The NTLMv2 key upper-cases the user name, never the domain.
TEST(Ntlm, V2KeyUpperCasesTheUserOnly) {
  const TNtlmHash ntHash = NtlmNtHash(u"pw");
  EXPECT_EQ(NtlmV2Key(ntHash, u"\u0142ukasz", u"Dom"), NtlmV2Key(ntHash, u"\u0141UKASZ", u"Dom"));
  EXPECT_NE(NtlmV2Key(ntHash, u"u", u"dom"), NtlmV2Key(ntHash, u"u", u"DOM"));
  EXPECT_NE(NtlmV2Key(ntHash, u"stra\u00dfe", u"d"), NtlmV2Key(ntHash, u"STRASSE", u"d"));
}

TEST(Ntlm, UpperCaseOfNames) {
  EXPECT_EQ(NtlmUpperCase(u"user1"), u"USER1");
  EXPECT_EQ(NtlmUpperCase(u"j\u00fcrgen \u00ff"), u"J\u00dcRGEN \u0178");
  EXPECT_EQ(NtlmUpperCase(u"\u0436\u0451\u03b1\u00df"), u"\u0416\u0401\u0391\u00df");
  // Every UTF-16 unit maps to one unit: Latin Extended and Greek finals
  // too, and a letter whose capital is longer (sharp s) stays as it is.
  EXPECT_EQ(NtlmUpperCase(u"\u0142ukasz \u0151\u011f\u015f\u017e\u0105 \u03c2"),
            u"\u0141UKASZ \u0150\u011e\u015e\u017d\u0104 \u03a3");
  EXPECT_EQ(NtlmUpperCase(u"stra\u00dfe \ufb01"), u"STRA\u00dfE \ufb01");
  EXPECT_EQ(NtlmUpperCase(u"\U0001D41A"), u"\U0001D41A");  // a surrogate pair stays
  EXPECT_EQ(NtlmToUtf16("J\xC3\xBCrgen", 0), u"J\u00fcrgen");
}
