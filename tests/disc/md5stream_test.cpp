#include <gtest/gtest.h>

#include <string>

#include "disc/md5stream.h"
#include "tests/disc/imagefile.h"
#include "tests/support/testsupport.h"

using yux::disc::TMD5Stream;

namespace {

std::string Digest(const std::string& s) {
  TMD5Stream m;
  m.Write(s.data(), s.size());
  return m.DigestText();
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'f') c = char(c - 32);
  return s;
}

}  // namespace

TEST(Md5Stream, Rfc1321Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (auto& [text, digest] : vectors) EXPECT_EQ(Digest(text), digest) << text;
}

// Lengths around the padding boundary and 1 MiB, fed byte by byte and in
// one piece, against md5sum; the stream starts over after each digest.
TEST(Md5Stream, LengthsAroundTheBlockAgainstMd5sum) {
  YUX_REQUIRE_PROGRAM("md5sum");
  yux::test::TempDir dir;
  TMD5Stream bytes, whole;
  for (size_t n : {0, 55, 56, 57, 63, 64, 65, 1 << 20}) {
    const std::string path = (dir / ("f" + std::to_string(n))).string();
    yux::disc::test::MakeFile(path, n, unsigned(n) + 7);
    const std::string data = yux::test::ReadFile(path);
    for (char c : data) bytes.AddByte(uint8_t(c));
    whole.Write(data.data(), data.size());
    EXPECT_EQ(whole.Size(), n);
    const std::string expected = Upper(yux::disc::test::Md5Of(path));
    EXPECT_EQ(bytes.DigestText(), expected) << n;
    EXPECT_EQ(whole.DigestText(), expected) << n;
  }
  uint8_t buf[4];
  EXPECT_EQ(whole.Read(buf, 4), 0u);
  // Whole 64-byte blocks through Transform are the same bytes.
  const std::string block(128, 'x');
  whole.Transform(reinterpret_cast<const uint8_t*>(block.data()));
  whole.Transform(reinterpret_cast<const uint8_t*>(block.data()) + 64);
  EXPECT_EQ(whole.DigestText(), Digest(block));
}
