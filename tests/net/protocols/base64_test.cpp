#include "net/protocols/mimeutils.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

using namespace yux::net;

TEST(Base64, PublishedVectors) {
  // RFC 4648, section 10.
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (auto [plain, coded] : vectors) {
    EXPECT_EQ(EncodeBase64String(plain), coded);
    EXPECT_EQ(DecodeBase64String(coded), plain);
  }
}

TEST(Base64, AllByteValuesRoundTrip) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (size_t len = 0; len <= all.size(); len += 37) {
    std::string piece = all.substr(0, len);
    EXPECT_EQ(DecodeBase64String(EncodeBase64Buffer(piece.data(), piece.size())), piece) << len;
  }
}

TEST(Base64, DecoderToleratesLineBreaksAndStopsSafely) {
  EXPECT_EQ(DecodeBase64String("\r\nYWJj"), "abc");
  EXPECT_EQ(DecodeBase64String("YWJj\r\nZGVm"), "abcdef");
  // Characters outside the alphabet end the data; what came before stays.
  EXPECT_EQ(DecodeBase64String("YWJj!ZGVm"), "abc");
  EXPECT_EQ(DecodeBase64String("*not base64*"), "");
  // A short final group gives the whole bytes it carries, never more.
  EXPECT_EQ(DecodeBase64String("YWJjZA"), "abcd");
  EXPECT_EQ(DecodeBase64String("YWJjZ"), "abc");
  EXPECT_EQ(DecodeBase64String("="), "");
}

TEST(Base64, EncodedSizeInLines) {
  EXPECT_EQ(CalcBase64EncodedSize(0), 0);
  EXPECT_EQ(CalcBase64EncodedSize(1), 6);
  EXPECT_EQ(CalcBase64EncodedSize(57), 78);
  EXPECT_EQ(CalcBase64EncodedSize(58), 84);
}

// Lengths around the encoder's internal chunk and far beyond it, against
// OpenSSL's block coder both ways; the line-broken form decodes the same.
TEST(Base64, RandomLengthsMatchOpenSsl) {
  std::mt19937 rng(5);
  std::vector<std::size_t> lengths = {3071, 3072, 3073, 3074, 6144, 200000};
  for (int i = 0; i < 40; ++i) lengths.push_back(rng() % 20000);
  for (std::size_t len : lengths) {
    std::string data(len, '\0');
    for (auto& ch : data) ch = static_cast<char>(rng());
    std::string ref((len + 2) / 3 * 4 + 1, '\0');
    ref.resize(static_cast<std::size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(ref.data()),
                        reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(len))));
    const std::string coded = EncodeBase64Buffer(data.data(), data.size());
    ASSERT_EQ(coded, ref) << len;
    ASSERT_EQ(DecodeBase64String(coded), data) << len;
    std::string lines;
    for (std::size_t pos = 0; pos < coded.size(); pos += 76) lines += coded.substr(pos, 76) + "\r\n";
    ASSERT_EQ(DecodeBase64String(lines), data) << len;
  }
}
