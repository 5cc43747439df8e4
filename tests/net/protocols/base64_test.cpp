#include "net/protocols/mimeutils.h"

#include <gtest/gtest.h>

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
