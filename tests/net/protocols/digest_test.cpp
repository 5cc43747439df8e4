#include "net/protocols/digest.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <sstream>

#include "net/protocols/mimeutils.h"
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

// A nonce of the server's form carrying any 8 time bytes.
std::string NonceWithTime(double time) {
  std::string raw(24, '\x11');
  const auto bits = std::bit_cast<std::uint64_t>(time);
  for (int i = 0; i < 8; ++i) raw[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
  return EncodeBase64String(raw);
}

}  // namespace

TEST(Digest, Rfc2617Example) {
  TAuthDigestInfo info;
  DigestParseChallenge(
      "Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
      "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
      "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
      info);
  EXPECT_EQ(info.Realm, "testrealm@host.com");
  EXPECT_EQ(info.Nonce, "dcd98b7102dd2f0e8b11d0f600bfb0c093");
  EXPECT_EQ(info.Opaque, "5ccc069c403ebaf9f0171e9517f40e41");
  ASSERT_TRUE(DigestHasOption(info));
  EXPECT_EQ(info.Qop, "auth");
  info.Nc = 1;
  EXPECT_EQ(DigestBuildAuthorizationCNonce("Mufasa", "Circle Of Life", "/dir/index.html", info,
                                           "GET", "", "0a4f113b"),
            "username=\"Mufasa\",realm=\"testrealm@host.com\","
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\","
            "response=\"6629fae49393a05397450978507c4ef1\","
            "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\",qop=auth,nc=00000001,"
            "cnonce=\"0a4f113b\"");
}

TEST(Digest, Rfc7616Md5Example) {
  TAuthDigestInfo info;
  DigestParseChallenge(
      "Digest\r\n realm=\"http-auth@example.org\",\r\n qop=\"auth, auth-int\",\r\n"
      " algorithm=MD5,\r\n nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\",\r\n"
      " opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"",
      info);
  EXPECT_EQ(info.Algorithm, "MD5");
  ASSERT_TRUE(DigestHasOption(info));
  EXPECT_EQ(info.Qop, "auth");
  EXPECT_EQ(info.Nonce, "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v");
  info.Nc = 1;
  const std::string value =
      DigestBuildAuthorizationCNonce("Mufasa", "Circle of Life", "/dir/index.html", info, "GET", "",
                                     "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ");
  EXPECT_NE(value.find("response=\"8ca523f5e9506fed4657c9700eebdbec\""), std::string::npos)
      << value;
  EXPECT_EQ(value.find("algorithm"), std::string::npos) << "MD5 is not named";
}

TEST(Digest, HashesAndResponseForms) {
  EXPECT_EQ(DigestMD5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(DigestMD5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  // Without qop the response leaves nc, cnonce and qop out.
  const std::string ha1 = DigestComputeHA1("MD5", "u", "r", "p", "n", "c");
  EXPECT_EQ(ha1, DigestMD5Hex("u:r:p"));
  EXPECT_EQ(DigestComputeResponse(ha1, "n", "00000001", "c", "", "GET", "/x", "e"),
            DigestMD5Hex(ha1 + ":n:" + DigestMD5Hex("GET:/x")));
  EXPECT_EQ(DigestComputeResponse(ha1, "n", "00000001", "c", "auth-int", "GET", "/x", "e"),
            DigestMD5Hex(ha1 + ":n:00000001:c:auth-int:" + DigestMD5Hex("GET:/x:e")));
  // MD5-sess rehashes the 16 raw bytes; the name is compared exactly.
  EXPECT_NE(DigestComputeHA1("MD5-sess", "u", "r", "p", "n", "c"), ha1);
  EXPECT_EQ(DigestComputeHA1("md5-sess", "u", "r", "p", "n", "c"), ha1);
}

TEST(Digest, ParseChallengeFields) {
  struct Case {
    const char* value;
    const char* realm;
    const char* nonce;
    const char* algorithm;
    const char* qop;
    bool stale;
  };
  const Case cases[] = {
      {"realm=\"r\", nonce=\"n\", stale=\"true\"", "r", "n", "", "", true},
      {"realm=\"r\", nonce=\"n\", stale=TRUE", "r", "n", "", "", true},
      {"realm=\"r\", nonce=\"n\", stale=false", "r", "n", "", "", false},
      {"realm=\"r\",algorithm=\"MD5-sess,MD5\",qop=auth", "r", "", "MD5-sess,MD5", "auth", false},
      // Names inside quoted values or inside longer names are not fields.
      {"realm=\"a, nonce=bad, qop=x\", xnonce=\"no\", nonce=\"yes\"", "a, nonce=bad, qop=x", "yes",
       "", "", false},
      // The realm must be quoted.
      {"realm=r, nonce=\"n\"", "", "n", "", "", false},
      // Names are case-sensitive.
      {"Realm=\"r\", NONCE=\"n\"", "", "", "", "", false},
  };
  for (const Case& c : cases) {
    TAuthDigestInfo info;
    info.Domain = "old";
    info.Nc = 7;
    DigestParseChallenge(c.value, info);
    EXPECT_EQ(info.Realm, c.realm) << c.value;
    EXPECT_EQ(info.Nonce, c.nonce) << c.value;
    EXPECT_EQ(info.Algorithm, c.algorithm) << c.value;
    EXPECT_EQ(info.Qop, c.qop) << c.value;
    EXPECT_EQ(info.Stale, c.stale) << c.value;
    EXPECT_EQ(info.Domain, "") << c.value;  // an absent domain clears the old one
    EXPECT_EQ(info.Nc, 7) << c.value;       // the count is the caller's
  }
  TAuthDigestInfo info;
  DigestParseChallenge("realm=\"r\", domain=\"/a /b\"", info);
  EXPECT_EQ(info.Domain, "/a /b");
}

TEST(Digest, HasOptionNarrowsAndDecides) {
  struct Case {
    const char* realm;
    const char* algorithm;
    const char* qop;
    int preferredAlgorithm;
    int preferredQop;
    bool result;
    const char* algorithmAfter;
    const char* qopAfter;
  };
  const Case cases[] = {
      {"r", "MD5-sess,MD5", "", DigestOptMD5, DigestOptAuth, true, "MD5", ""},
      {"r", "MD5-sess,MD5", "", DigestOptMD5Sess, DigestOptAuth, true, "MD5-sess", ""},
      {"r", "MD5,MD5-sess", "", DigestOptMD5Sess, DigestOptAuth, true, "MD5-sess", ""},
      {"r", "", "auth,auth-int", DigestOptMD5, DigestOptAuth, true, "", "auth"},
      {"r", "", "auth-int, auth", DigestOptMD5, DigestOptAuth, true, "", "auth"},
      {"r", "", "auth-int", DigestOptMD5, DigestOptAuth, false, "", "auth-int"},
      {"r", "", "auth,auth-int", DigestOptMD5, DigestOptAuthInt, false, "", "auth-int"},
      {"r", "", "auth,auth-int,x", DigestOptMD5, DigestOptAuthInt, true, "", "auth"},
      {"", "MD5", "auth", DigestOptMD5, DigestOptAuth, false, "MD5", "auth"},
      {"r", "SHA-256", "auth", DigestOptMD5, DigestOptAuth, false, "SHA-256", "auth"},
      {"r", "MD5", "", DigestOptMD5, DigestOptAuth, true, "MD5", ""},
      {"r", "", "", DigestOptMD5, DigestOptAuth, true, "", ""},
  };
  for (const Case& c : cases) {
    TAuthDigestInfo info;
    info.Realm = c.realm;
    info.Algorithm = c.algorithm;
    info.Qop = c.qop;
    const std::string what = std::string(c.algorithm) + " / " + c.qop;
    EXPECT_EQ(DigestHasOption(info, c.preferredAlgorithm, c.preferredQop), c.result) << what;
    EXPECT_EQ(info.Algorithm, c.algorithmAfter) << what;
    EXPECT_EQ(info.Qop, c.qopAfter) << what;
  }
}

// A challenge whose answer would carry a line break back (in its realm,
// nonce, opaque or the narrowed algorithm and qop) is no option: the check
// and the builder agree on what can be answered.
TEST(Digest, ChallengeWithALineBreakIsNotAnswerable) {
  const struct {
    const char* what;
    std::string challenge;
  } cases[] = {
      {"opaque LF", "Digest realm=\"r\", nonce=\"n\", opaque=\"a\nb\""},
      {"opaque CR", "Digest realm=\"r\", nonce=\"n\", opaque=\"a\rb\""},
      {"nonce CR LF", "Digest realm=\"r\", nonce=\"n\r\nX: 1\""},
      {"realm LF", "Digest realm=\"r\nX: 1\", nonce=\"n\""},
      {"usable", "Digest realm=\"r\", nonce=\"n\", opaque=\"ab\""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    TAuthDigestInfo info;
    DigestParseChallenge(k.challenge, info);
    info.Nc = 1;
    const bool answerable = DigestHasOption(info);
    const std::string answer = DigestBuildAuthorizationCNonce("u", "p", "/", info, "GET", "", "c");
    EXPECT_EQ(answerable, !answer.empty());
    EXPECT_EQ(answerable, std::string(k.what) == "usable");
  }
}

TEST(Digest, AuthorizationItems) {
  TAuthDigestInfo info;
  info.Realm = "r";
  info.Nonce = "n";
  info.Algorithm = "MD5-sess";
  info.Qop = "auth";
  info.Nc = 26;
  const std::string sess = DigestBuildAuthorizationCNonce("u", "p", "/", info, "GET", "", "c");
  EXPECT_EQ(sess, "username=\"u\",realm=\"r\",nonce=\"n\",uri=\"/\",response=\"" +
                      DigestComputeResponse(DigestComputeHA1("MD5-sess", "u", "r", "p", "n", "c"),
                                            "n", "0000001a", "c", "auth", "GET", "/", "") +
                      "\",algorithm=MD5-sess,qop=auth,nc=0000001a,cnonce=\"c\"");

  // Without qop: no nc and cnonce, and no opaque when the challenge had none.
  info.Algorithm = "";
  info.Qop = "";
  EXPECT_EQ(DigestBuildAuthorization("u", "p", "/", info, "GET"),
            "username=\"u\",realm=\"r\",nonce=\"n\",uri=\"/\",response=\"" +
                DigestComputeResponse(DigestComputeHA1("", "u", "r", "p", "", ""), "n", "", "", "",
                                      "GET", "/", "") +
                "\"");

  // A random cnonce of eight hex digits with the request's own response.
  info.Qop = "auth";
  info.Nc = 1;
  TDigestAuthorization a;
  info.Nonce = DigestMakeNonce(5, "r", "", DigestDateTimeNow() - 0.001);
  ASSERT_TRUE(DigestParseAuthorization(DigestBuildAuthorization("u", "p", "/x", info, "PUT"), a));
  EXPECT_EQ(a.CNonce.size(), 8u);
  EXPECT_EQ(a.CNonce.find_first_not_of("0123456789abcdef"), std::string::npos) << a.CNonce;
  EXPECT_EQ(a.Nc, "00000001");
  EXPECT_EQ(a.Response,
            DigestComputeResponse(DigestComputeHA1("", "u", "r", "p", "", ""), info.Nonce,
                                  "00000001", a.CNonce, "auth", "PUT", "/x", ""));
}

// Quoted values carry their double quotes and backslashes escaped, and
// read back unchanged; a user name or URI with CR or LF (a header
// injection) is refused.
TEST(Digest, AuthorizationQuotesAndRefusesLineBreaks) {
  TAuthDigestInfo info;
  info.Realm = "r";
  info.Qop = "auth";
  info.Nc = 1;
  info.Nonce = DigestMakeNonce(5, "r", "", DigestDateTimeNow() - 0.001);
  const std::string user = "DOM\\us\"er";  // DOM\us"er
  const std::string uri = "/a\"b";
  const std::string v = DigestBuildAuthorizationCNonce(user, "p", uri, info, "GET", "", "c");
  EXPECT_NE(v.find("username=\"DOM\\\\us\\\"er\","), std::string::npos) << v;
  EXPECT_NE(v.find("uri=\"/a\\\"b\","), std::string::npos) << v;
  TDigestAuthorization a;
  ASSERT_TRUE(DigestParseAuthorization(v, a)) << v;
  EXPECT_EQ(a.User, user);
  EXPECT_EQ(a.Uri, uri);
  EXPECT_EQ(a.Response, DigestComputeResponse(DigestComputeHA1("", user, "r", "p", "", ""),
                                              info.Nonce, "00000001", "c", "auth", "GET", uri, ""));
  // A lone backslash before another character is kept as it is.
  ASSERT_TRUE(DigestParseAuthorization("username=\"DOM\\x\",nonce=\"" + info.Nonce + "\"", a));
  EXPECT_EQ(a.User, "DOM\\x");

  const struct {
    const char* what;
    std::string user, uri;
  } refused[] = {
      {"CR LF in the user", "u\r\nX-Injected: 1", "/"},
      {"LF in the user", "u\nx", "/"},
      {"CR in the URI", "u", "/a\rb"},
      {"LF in the URI", "u", "/a\nb"},
  };
  for (const auto& k : refused) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(DigestBuildAuthorization(k.user, "p", k.uri, info, "GET"), "");
  }
}

TEST(Digest, ServerChallengeAndNonce) {
  const std::uint64_t key = 0x0123456789ABCDEFULL;
  std::string opaque, nonce;
  const double before = DigestDateTimeNow();
  const std::string value = DigestBuildChallenge(daBoth, key, "web panel", opaque, nonce, false);
  const double after = DigestDateTimeNow();
  EXPECT_EQ(value, "realm=\"web panel\",qop=\"auth,auth-int\",nonce=\"" + nonce + "\",opaque=\"" +
                       opaque + "\"");
  EXPECT_EQ(nonce.size(), 32u);
  ASSERT_EQ(opaque.size(), 34u);
  for (char c : opaque) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << opaque;

  const std::string raw = DecodeBase64String(nonce);
  ASSERT_EQ(raw.size(), 24u);
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | static_cast<std::uint8_t>(raw[i]);
  const double t = std::bit_cast<double>(bits);
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);

  EXPECT_TRUE(DigestCheckNonce(nonce, key, "web panel", opaque));
  EXPECT_FALSE(DigestCheckNonce(nonce, key + 1, "web panel", opaque));
  EXPECT_FALSE(DigestCheckNonce(nonce, key, "web panel2", opaque));
  EXPECT_FALSE(DigestCheckNonce(nonce, key, "web panel", opaque + "x"));
  EXPECT_FALSE(DigestCheckNonce(nonce.substr(0, 28), key, "web panel", opaque));
  std::string tampered = raw;
  tampered[0] ^= 1;  // an older or newer time with the old MD5 part
  EXPECT_FALSE(DigestCheckNonce(EncodeBase64String(tampered), key, "web panel", opaque));

  // A client reads our challenge back and can answer it.
  TAuthDigestInfo info;
  DigestParseChallenge(value, info);
  EXPECT_EQ(info.Nonce, nonce);
  EXPECT_EQ(info.Opaque, opaque);
  EXPECT_TRUE(DigestHasOption(info));
  EXPECT_EQ(info.Qop, "auth");

  const std::string staleValue =
      DigestBuildChallenge(daAuth, key, "r", opaque, nonce, true, "/docs");
  EXPECT_EQ(staleValue, "realm=\"r\",qop=\"auth\",nonce=\"" + nonce + "\",opaque=\"" + opaque +
                            "\", stale=\"true\", domain=\"/docs\"");
  EXPECT_NE(
      DigestBuildChallenge(daAuthInt, key, "r", opaque, nonce, false).find("qop=\"auth-int\""),
      std::string::npos);
  DigestParseChallenge(DigestBuildChallenge(daAuth, key, "r", opaque, nonce, true), info);
  EXPECT_TRUE(info.Stale);
}

TEST(Digest, ParseAuthorizationCases) {
  const double now = DigestDateTimeNow();
  const std::string good = DigestMakeNonce(1, "r", "o", now - 1.0 / 1440);
  struct Case {
    std::string what;
    std::string value;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"full",
       "username=\"u\",realm=\"r\",nonce=\"" + good +
           "\",uri=\"/\",response=\"abc\",opaque=\"o\",qop=auth,nc=00000001,cnonce=\"c\"",
       true},
      {"no qop needs no cnonce", "username=\"u\",nonce=\"" + good + "\"", true},
      {"no username", "realm=\"r\",nonce=\"" + good + "\"", false},
      {"empty username", "username=\"\",nonce=\"" + good + "\"", false},
      {"username unquoted", "username=u,nonce=\"" + good + "\"", false},
      {"no nonce", "username=\"u\",realm=\"r\"", false},
      {"qop without cnonce", "username=\"u\",nonce=\"" + good + "\",qop=auth,nc=00000001", false},
      {"qop without nc", "username=\"u\",nonce=\"" + good + "\",qop=auth,cnonce=\"c\"", false},
      {"nonce of 23 bytes",
       "username=\"u\",nonce=\"" + EncodeBase64String(std::string(23, 'x')) + "\"", false},
      {"nonce of 25 bytes",
       "username=\"u\",nonce=\"" + EncodeBase64String(std::string(25, 'x')) + "\"", false},
      {"nonce from the future", "username=\"u\",nonce=\"" + NonceWithTime(now + 1) + "\"", false},
      {"nonce before year 100", "username=\"u\",nonce=\"" + NonceWithTime(-657434.0) + "\"", false},
      {"nonce time not a number", "username=\"u\",nonce=\"" + NonceWithTime(std::nan("")) + "\"",
       false},
      {"nonce just after year 100", "username=\"u\",nonce=\"" + NonceWithTime(-657433.9) + "\"",
       true},
  };
  for (const Case& c : cases) {
    TDigestAuthorization a;
    a.Uri = "stale";
    EXPECT_EQ(DigestParseAuthorization(c.value, a), c.ok) << c.what;
    if (!c.ok) continue;
    EXPECT_EQ(a.User, "u") << c.what;
  }

  // Fields in another order (cnonce before nonce, as some clients send
  // them) are read by name, and the defaults are filled in.
  TDigestAuthorization a;
  a.Opaque = "left over";
  ASSERT_TRUE(DigestParseAuthorization(
      "username=\"Mufasa\", cnonce=\"0a4f113b\", nc=00000001, qop=auth, nonce=\"" + good +
          "\", uri=\"/dir/index.html\", response=\"6629fae49393a05397450978507c4ef1\"",
      a));
  EXPECT_EQ(a.Nonce, good);
  EXPECT_EQ(a.CNonce, "0a4f113b");
  EXPECT_EQ(a.Nc, "00000001");
  EXPECT_EQ(a.Qop, "auth");
  EXPECT_EQ(a.Algorithm, "MD5");
  EXPECT_EQ(a.Uri, "/dir/index.html");
  EXPECT_EQ(a.Response, "6629fae49393a05397450978507c4ef1");
  EXPECT_EQ(a.Realm, "");
  EXPECT_EQ(a.Opaque, "");
  EXPECT_NEAR(a.NonceTime, now - 1.0 / 1440, 1e-9);
}

// Digest responses of random requests, built by our client and read back
// by our server side, equal those Python's hashlib computes.
TEST(Digest, CrossCheckWithPython) {
  YUX_REQUIRE_PROGRAM("/usr/bin/python3");
  std::mt19937 rng(1210);
  const std::vector<std::string> pieces = {"a",      "Z",    "9",        " ",       ",", "=",
                                           ";",      ":",    "/",        "@",       ".", "-",
                                           "nonce=", "qop=", "\xC3\xA9", "\xD0\xB6"};
  auto text = [&](int minLen, int maxLen) {
    std::string s;
    int n = std::uniform_int_distribution<int>(minLen, maxLen)(rng);
    for (int i = 0; i < n; ++i) s += pieces[rng() % pieces.size()];
    return s;
  };
  const char* algorithms[] = {"", "MD5", "MD5-sess"};
  const char* qops[] = {"", "auth", "auth-int"};
  const char* methods[] = {"GET", "POST", "CONNECT"};

  struct Case {
    TAuthDigestInfo info;
    std::string user, password, uri, method, entity, cnonce, value;
    std::uint64_t key;
  };
  const int kCases = 48;
  std::vector<Case> cases(kCases);
  std::ostringstream input;
  for (int i = 0; i < kCases; ++i) {
    Case& c = cases[i];
    c.user = text(1, 8);
    c.password = text(0, 12);
    c.uri = "/" + text(0, 10);
    c.method = methods[rng() % 3];
    c.entity = DigestMD5Hex(text(0, 20));
    c.cnonce = text(1, 6);
    c.key = (static_cast<std::uint64_t>(rng()) << 32) | rng();
    c.info.Realm = text(0, 10);
    c.info.Opaque = rng() % 2 ? text(1, 8) : "";
    c.info.Algorithm = algorithms[i % 3];
    c.info.Qop = qops[(i / 3) % 3];
    c.info.Nc = static_cast<int>(rng() % 100000) + 1;
    c.info.Nonce = DigestMakeNonce(c.key, c.info.Realm, c.info.Opaque,
                                   DigestDateTimeNow() - (rng() % 600) / 1440.0);
    c.value = DigestBuildAuthorizationCNonce(c.user, c.password, c.uri, c.info, c.method, c.entity,
                                             c.cnonce);
    char nc[9];
    std::snprintf(nc, sizeof nc, "%08x", c.info.Nc);
    const std::string withQop = c.info.Qop;
    input << "digest\t" << Hex(c.info.Algorithm) << '\t' << Hex(c.user) << '\t' << Hex(c.info.Realm)
          << '\t' << Hex(c.password) << '\t' << Hex(c.info.Nonce) << '\t'
          << Hex(withQop.empty() ? "" : c.cnonce) << '\t' << Hex(withQop.empty() ? "" : nc) << '\t'
          << Hex(c.info.Qop) << '\t' << Hex(c.method) << '\t' << Hex(c.uri) << '\t' << Hex(c.entity)
          << '\n';
  }

  const auto script = yux::test::SourceDir() / "tests/net/protocols/auth_crosscheck.py";
  auto result = yux::test::RunProgram({"/usr/bin/python3", script.string()}, {}, 30000, input.str());
  ASSERT_EQ(result.exitCode, 0) << result.err;
  std::istringstream out(result.out);
  for (int i = 0; i < kCases; ++i) {
    Case& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.value);
    std::string expected;
    ASSERT_TRUE(out >> expected);

    TDigestAuthorization a;
    ASSERT_TRUE(DigestParseAuthorization(c.value, a));
    EXPECT_EQ(a.Response, expected);
    EXPECT_EQ(a.User, c.user);
    EXPECT_EQ(a.Realm, c.info.Realm);
    EXPECT_EQ(a.Uri, c.uri);
    EXPECT_EQ(a.Opaque, c.info.Opaque);
    EXPECT_EQ(a.Qop, c.info.Qop);
    EXPECT_EQ(a.Algorithm, c.info.Algorithm == "MD5-sess" ? "MD5-sess" : "MD5");
    EXPECT_EQ(a.CNonce, c.info.Qop.empty() ? "" : c.cnonce);
    EXPECT_TRUE(DigestCheckNonce(a.Nonce, c.key, a.Realm, a.Opaque));
    // What a server computes from the parsed fields is the same response.
    EXPECT_EQ(DigestComputeResponse(
                  DigestComputeHA1(a.Algorithm, a.User, a.Realm, c.password, a.Nonce, a.CNonce),
                  a.Nonce, a.Nc, a.CNonce, a.Qop, c.method, a.Uri, c.entity),
              expected);
  }
}
