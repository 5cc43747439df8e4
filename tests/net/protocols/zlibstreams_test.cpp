#include "net/protocols/zlibstreams.h"

#include <gtest/gtest.h>

#include <random>

#include "memstream.h"
#include "tests/support/testsupport.h"

using namespace yux::net;
using yux::test::MemStream;

namespace {

std::string SampleText(std::size_t n) {
  std::string s;
  std::mt19937 rng(7);
  const char* words[] = {"backup ", "archive ", "preset ", "disc ", "mail ", "\r\n"};
  while (s.size() < n) s += words[rng() % 6];
  s.resize(n);
  return s;
}

std::string RandomBytes(std::size_t n) {
  std::string s(n, '\0');
  std::mt19937 rng(11);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

std::string Compress(const std::string& data, TZStreamType kind, int level = -1) {
  MemStream in(data), out;
  ZlibCompressStreamEx(in, out, level, kind, true);
  return out.data();
}

std::string Decompress(const std::string& data) {
  MemStream in(data), out;
  ZlibDecompressStream(in, out);
  return out.data();
}

}  // namespace

TEST(ZlibStreams, RoundTripEveryKindAndLevel) {
  const std::string inputs[] = {"", "x", SampleText(5000), RandomBytes(200000), SampleText(300000)};
  for (auto kind : {TZStreamType::zsZLib, TZStreamType::zsGZip, TZStreamType::zsRaw}) {
    for (auto level : {TZCompressionLevel::zcNone, TZCompressionLevel::zcFastest,
                       TZCompressionLevel::zcDefault, TZCompressionLevel::zcMax}) {
      for (const auto& data : inputs) {
        MemStream in(data), packed;
        ZlibCompressStream(in, packed, level, true, kind);
        EXPECT_EQ(in.Position(), static_cast<std::int64_t>(data.size()));
        EXPECT_EQ(Decompress(packed.data()), data)
            << "kind " << int(kind) << " level " << int(level) << " size " << data.size();
      }
    }
  }
}

TEST(ZlibStreams, HeadersOfTheKinds) {
  const std::string text = SampleText(5000);
  std::string gz = Compress(text, TZStreamType::zsGZip);
  ASSERT_GE(gz.size(), 18u);
  EXPECT_EQ(static_cast<unsigned char>(gz[0]), 0x1F);
  EXPECT_EQ(static_cast<unsigned char>(gz[1]), 0x8B);
  std::string zl = Compress(text, TZStreamType::zsZLib);
  EXPECT_EQ((static_cast<unsigned char>(zl[0]) << 8 | static_cast<unsigned char>(zl[1])) % 31, 0);
  EXPECT_EQ(static_cast<unsigned char>(zl[0]) & 0x0F, 8);
  // Raw deflate carries neither header: it is the zlib stream without its
  // two header bytes and four trailer bytes.
  std::string raw = Compress(text, TZStreamType::zsRaw);
  EXPECT_EQ(raw, zl.substr(2, zl.size() - 6));
}

TEST(ZlibStreams, WrongTrailerOrTruncationIsRejected) {
  const std::string text = SampleText(20000);
  const std::string gz = Compress(text, TZStreamType::zsGZip);
  const std::string zl = Compress(text, TZStreamType::zsZLib);
  struct Bad {
    const char* what;
    std::string data;
  };
  auto flip = [](std::string s, std::size_t fromEnd) {
    s[s.size() - fromEnd] ^= 0x01;
    return s;
  };
  const Bad cases[] = {
      {"gzip CRC-32", flip(gz, 8)},
      {"gzip length", flip(gz, 1)},
      {"zlib Adler-32", flip(zl, 1)},
      {"gzip cut in the trailer", gz.substr(0, gz.size() - 3)},
      {"zlib without trailer", zl.substr(0, zl.size() - 4)},
      {"gzip cut in the data", gz.substr(0, gz.size() / 2)},
      {"corrupt deflate data", flip(zl, zl.size() / 2)},
  };
  for (const auto& c : cases) {
    MemStream in(c.data), out;
    EXPECT_THROW(ZlibDecompressStream(in, out), EDecompressionError) << c.what;
  }
  try {
    Decompress(flip(zl, 1));
    ADD_FAILURE() << "a wrong Adler-32 was accepted";
  } catch (const EDecompressionError& e) {
    EXPECT_STREQ(e.what(), "Data error");
  }
}

TEST(ZlibStreams, InputIsLeftAfterTheStream) {
  const std::string text = SampleText(3000);
  const std::string tail = "NEXT-DATA";
  MemStream in(Compress(text, TZStreamType::zsGZip) + tail), out;
  ZlibDecompressStream(in, out);
  EXPECT_EQ(out.data(), text);
  std::string rest(tail.size(), '\0');
  EXPECT_EQ(in.Read(rest.data(), static_cast<std::int64_t>(rest.size())), static_cast<std::int64_t>(tail.size()));
  EXPECT_EQ(rest, tail);
}

TEST(ZlibStreams, ProgressAndAbort) {
  const std::string data = RandomBytes(300000);
  // Compression: an abort stops reading but still finishes a valid stream.
  MemStream in(data), packed;
  std::vector<std::int64_t> counts;
  int owner = 0;
  ZlibCompressStreamEx(in, packed, 1, TZStreamType::zsZLib, false,
                       [&](void* o, bool& abort, std::int64_t n) {
                         EXPECT_EQ(o, &owner);
                         counts.push_back(n);
                         abort = counts.size() == 2;
                       },
                       &owner);
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[1], 2 * 65536);
  EXPECT_EQ(Decompress(packed.data()), data.substr(0, 2 * 65536));

  // Decompression: an abort is an error, never a silent short result.
  MemStream in2(Compress(data, TZStreamType::zsGZip)), out2;
  EXPECT_THROW(ZlibDecompressStream(in2, out2, nullptr,
                                    [](void*, bool& abort, std::int64_t n) { abort = n > 100000; }),
               EDecompressionError);
}

TEST(ZlibStreams, ErrorTexts) {
  const std::pair<int, const char*> texts[] = {
      {0, "No error"},      {1, "Stream end"},    {2, "Need dictionary"}, {-1, "Errno"},
      {-2, "Stream error"}, {-3, "Data error"},   {-4, "Memory error"},   {-5, "Buffer error"},
      {-6, "Version error"}, {-7, "Unknown error -7"}, {42, "Unknown error 42"}};
  for (auto [code, text] : texts) EXPECT_EQ(ZlibErrorText(code), text);
}

TEST(ZlibStreams, GzipToolReadsOurOutput) {
  YUX_REQUIRE_PROGRAM("gzip");
  yux::test::TempDir dir;
  const std::string text = SampleText(100000);
  yux::test::WriteFile(dir / "a.gz", Compress(text, TZStreamType::zsGZip, 9));
  auto r = yux::test::RunProgram({"gzip", "-dc", (dir / "a.gz").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, text);
  // And what the tool writes we read back.
  yux::test::WriteFile(dir / "b", text);
  ASSERT_EQ(yux::test::RunProgram({"gzip", "-k", "-9", (dir / "b").string()}).exitCode, 0);
  EXPECT_EQ(Decompress(yux::test::ReadFile(dir / "b.gz")), text);
}
