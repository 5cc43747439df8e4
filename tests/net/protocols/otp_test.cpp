#include "net/protocols/otp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace yux::net;

namespace {

struct OtpVector {
  TOtpMethod method;
  const char* passPhrase;
  const char* seed;
  int count;
  const char* hex;
  const char* words;
};

// RFC 2289, appendix C.
const OtpVector kRfc2289[] = {
    {OtpKeyMd4, "This is a test.", "TeSt", 0, "D1854218EBBB0B51", "ROME MUG FRED SCAN LIVE LACE"},
    {OtpKeyMd4, "This is a test.", "TeSt", 1, "63473EF01CD0B444", "CARD SAD MINI RYE COL KIN"},
    {OtpKeyMd4, "This is a test.", "TeSt", 99, "C5E612776E6C237A", "NOTE OUT IBIS SINK NAVE MODE"},
    {OtpKeyMd4, "AbCdEfGhIjK", "alpha1", 0, "50076F47EB1ADE4E", "AWAY SEN ROOK SALT LICE MAP"},
    {OtpKeyMd4, "AbCdEfGhIjK", "alpha1", 1, "65D20D1949B5F7AB", "CHEW GRIM WU HANG BUCK SAID"},
    {OtpKeyMd4, "AbCdEfGhIjK", "alpha1", 99, "D150C82CCE6F62D1", "ROIL FREE COG HUNK WAIT COCA"},
    {OtpKeyMd4, "OTP's are good", "correct", 0, "849C79D4F6F55388",
     "FOOL STEM DONE TOOL BECK NILE"},
    {OtpKeyMd4, "OTP's are good", "correct", 1, "8C0992FB250847B1",
     "GIST AMOS MOOT AIDS FOOD SEEM"},
    {OtpKeyMd4, "OTP's are good", "correct", 99, "3F3BF4B4145FD74B", "TAG SLOW NOV MIN WOOL KENO"},
    {OtpKeyMd5, "This is a test.", "TeSt", 0, "9E876134D90499DD", "INCH SEA ANNE LONG AHEM TOUR"},
    {OtpKeyMd5, "This is a test.", "TeSt", 1, "7965E05436F5029F", "EASE OIL FUM CURE AWRY AVIS"},
    {OtpKeyMd5, "This is a test.", "TeSt", 99, "50FE1962C4965880", "BAIL TUFT BITS GANG CHEF THY"},
    {OtpKeyMd5, "AbCdEfGhIjK", "alpha1", 0, "87066DD9644BF206", "FULL PEW DOWN ONCE MORT ARC"},
    {OtpKeyMd5, "AbCdEfGhIjK", "alpha1", 1, "7CD34C1040ADD14B", "FACT HOOF AT FIST SITE KENT"},
    {OtpKeyMd5, "AbCdEfGhIjK", "alpha1", 99, "5AA37A81F212146C", "BODE HOP JAKE STOW JUT RAP"},
    {OtpKeyMd5, "OTP's are good", "correct", 0, "F205753943DE4CF9", "ULAN NEW ARMY FUSE SUIT EYED"},
    {OtpKeyMd5, "OTP's are good", "correct", 1, "DDCDAC956F234937", "SKIM CULT LOB SLAM POE HOWL"},
    {OtpKeyMd5, "OTP's are good", "correct", 99, "B203E28FA525BE47", "LONG IVY JULY AJAR BOND LEE"},
    {OtpKeySha1, "This is a test.", "TeSt", 0, "BB9E6AE1979D8FF4", "MILT VARY MAST OK SEES WENT"},
    {OtpKeySha1, "This is a test.", "TeSt", 1, "63D936639734385B", "CART OTTO HIVE ODE VAT NUT"},
    {OtpKeySha1, "This is a test.", "TeSt", 99, "87FEC7768B73CCF9", "GAFF WAIT SKID GIG SKY EYED"},
    {OtpKeySha1, "AbCdEfGhIjK", "alpha1", 0, "AD85F658EBE383C9", "LEST OR HEEL SCOT ROB SUIT"},
    {OtpKeySha1, "AbCdEfGhIjK", "alpha1", 1, "D07CE229B5CF119B", "RITE TAKE GELD COST TUNE RECK"},
    {OtpKeySha1, "AbCdEfGhIjK", "alpha1", 99, "27BC71035AAF3DC6", "MAY STAR TIN LYON VEDA STAN"},
    {OtpKeySha1, "OTP's are good", "correct", 0, "D51F3E99BF8E6F0B",
     "RUST WELT KICK FELL TAIL FRAU"},
    {OtpKeySha1, "OTP's are good", "correct", 1, "82AEB52D943774E4",
     "FLIT DOSE ALSO MEW DRUM DEFY"},
    {OtpKeySha1, "OTP's are good", "correct", 99, "4F296A74FE1567EC",
     "AURA ALOE HURL WING BERG WAIT"},
};

}  // namespace

TEST(Otp, Rfc2289Vectors) {
  for (const OtpVector& v : kRfc2289) {
    SCOPED_TRACE(std::string(v.passPhrase) + " / " + v.seed + " / " + std::to_string(v.count) +
                 " / method " + std::to_string(v.method));
    TOtpKey key;
    OtpComputeKey(v.method, v.seed, v.passPhrase, key, v.count);
    EXPECT_EQ(OtpKeyToHex(key), v.hex);
    EXPECT_EQ(OtpKeyToWords(key), v.words);
  }
}

TEST(Otp, ChallengeInAReplyGivesTheOneTimePassword) {
  const char* methods[] = {"", "otp-md5", "otp-md4", "otp-sha1"};
  for (const OtpVector& v : kRfc2289) {
    // The way an FTP server words its reply to USER; the seed's case does
    // not matter.
    const std::string reply = std::string("331 Response to ") + methods[v.method] + " " +
                              std::to_string(v.count) + " " + v.seed + " required for skey.";
    std::string hex, words;
    ASSERT_TRUE(OtpProcessChallenge(reply, v.passPhrase, true, hex)) << reply;
    ASSERT_TRUE(OtpProcessChallenge(reply, v.passPhrase, false, words)) << reply;
    EXPECT_EQ(hex, v.hex) << reply;
    EXPECT_EQ(words, v.words) << reply;
  }
}

TEST(Otp, ParseChallengeCases) {
  struct Case {
    const char* text;
    bool valid;
    TOtpMethod method;
    int sequence;
    const char* seed;
  };
  const Case cases[] = {
      {"otp-md5 499 ke1234 ext", true, OtpKeyMd5, 499, "ke1234"},
      {"331 otp-sha1 7 AbC99 required", true, OtpKeySha1, 7, "abc99"},
      {"otp-md4   12   \tseed  ", true, OtpKeyMd4, 12, "seed"},
      {"otp-md5 99", true, OtpKeyMd5, 99, ""},  // an empty seed passes
      {"otp-md5 5 abcdefghijklmnop", true, OtpKeyMd5, 5, "abcdefghijklmnop"},
      {"331 Password required for bob.", false, OtpKeyNone, 0, ""},
      {"331 none 99 seed", false, OtpKeyNone, 0, ""},
      {"otp-md5", false, OtpKeyNone, 0, ""},
      {"otp-md5 x12 seed", false, OtpKeyNone, 0, ""},
      {"otp-md5 -1 seed", false, OtpKeyNone, 0, ""},
      {"otp-md5 5 abcdefghijklmnopq", false, OtpKeyNone, 0, ""},  // 17 characters
      {"otp-md5 5 se-ed", false, OtpKeyNone, 0, ""},
      {"otp-md5 5 s\xC3\xA9"
       "ed",
       false, OtpKeyNone, 0, ""},
      // A server cannot make the client hash without end.
      {"otp-md5 100000 seed", false, OtpKeyNone, 0, ""},
      {"otp-md5 99999999999999999999 seed", false, OtpKeyNone, 0, ""},
      {"otp-md5 99999 seed", true, OtpKeyMd5, 99999, "seed"},
  };
  for (const Case& c : cases) {
    TOtpMethod method = OtpKeySha1;
    int sequence = -5;
    std::string seed = "junk";
    EXPECT_EQ(OtpParseChallenge(c.text, method, sequence, seed), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(method, c.method) << c.text;
      EXPECT_EQ(sequence, c.sequence) << c.text;
      EXPECT_EQ(seed, c.seed) << c.text;
    }
  }
  std::string response = "old";
  EXPECT_FALSE(OtpProcessChallenge("331 Password required", "secret", true, response));
  EXPECT_EQ(response, "");
}

TEST(Otp, DictionaryIsTheStandardTable) {
  // Short words (indexes 0..570) and four-letter words (571..2047), each
  // group in alphabetical order: a lost or doubled word would shift every
  // index after it.
  ASSERT_EQ(OtpDictionary.size(), 2048u);
  EXPECT_STREQ(OtpDictionary[0], "A");
  EXPECT_STREQ(OtpDictionary[570], "YOU");
  EXPECT_STREQ(OtpDictionary[571], "ABED");
  EXPECT_STREQ(OtpDictionary[2047], "YOKE");
  auto less = [](const char* a, const char* b) { return std::strcmp(a, b) < 0; };
  EXPECT_TRUE(std::is_sorted(OtpDictionary.begin(), OtpDictionary.begin() + 571, less));
  EXPECT_TRUE(std::is_sorted(OtpDictionary.begin() + 571, OtpDictionary.end(), less));
  for (int i = 0; i < 2048; ++i) {
    const std::size_t len = std::strlen(OtpDictionary[i]);
    EXPECT_TRUE(i < 571 ? len >= 1 && len <= 3 : len == 4) << i;
  }
}
