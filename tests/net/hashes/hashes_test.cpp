// Published vectors for MD5, MD4, SHA-1, HMAC and DES, each digest also fed
// in uneven pieces, and random data compared with OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

#include <random>
#include <string>
#include <vector>

#include "net/hashes/des.h"
#include "net/hashes/md4.h"
#include "net/hashes/md5.h"
#include "net/hashes/sha1.h"
#include "net/hashes/sha1blocks.h"

using namespace yux::net;

namespace {

std::string Hex(const void* data, std::size_t len) {
  static const char kHex[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(data);
  std::string s;
  for (std::size_t i = 0; i < len; ++i) {
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}
std::string Hex(const std::string& s) { return Hex(s.data(), s.size()); }

std::string Unhex(const std::string& h) {
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    out += char(std::stoi(h.substr(i, 2), nullptr, 16));
  return out;
}

// Piece sizes that cross the 64-byte block edge in every way.
const std::vector<std::size_t> kPieces = {1, 3, 7, 63, 64, 65, 13, 127, 2};

template <typename Feed>
void FeedUneven(const std::string& data, Feed feed) {
  std::size_t pos = 0, k = 0;
  while (pos < data.size()) {
    std::size_t n = std::min(kPieces[k++ % kPieces.size()], data.size() - pos);
    feed(data.data() + pos, n);
    pos += n;
  }
}

std::string Md5Whole(const std::string& s) {
  Md5Context c;
  Md5Digest d;
  Md5Start(c);
  Md5AddData(c, s.data(), s.size());
  Md5Finish(d, c);
  return Md5DigestAsHex(d);
}
std::string Md5Pieces(const std::string& s) {
  Md5Context c;
  Md5Digest d;
  Md5Start(c);
  FeedUneven(s, [&](const char* p, std::size_t n) { Md5AddData(c, p, n); });
  Md5Finish(d, c);
  return Md5DigestAsHex(d);
}
std::string Md4Pieces(const std::string& s) {
  Md4Context c;
  Md4Digest d;
  Md4Start(c);
  FeedUneven(s, [&](const char* p, std::size_t n) { Md4AddData(c, p, n); });
  Md4Finish(c, d);
  return Hex(d.data(), d.size());
}
std::string Sha1Pieces(const std::string& s) {
  Sha1Context c;
  Sha1Digest d;
  Sha1Reset(c);
  FeedUneven(s, [&](const char* p, std::size_t n) { Sha1Input(c, p, n); });
  Sha1Result(c, d);
  return Sha1DigestAsHex(d);
}

std::string Repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

// Every SHA-1 path this CPU can run; the guard puts the automatic choice back.
std::vector<Sha1Path> Sha1Paths() {
  std::vector<Sha1Path> paths = {Sha1Path::Portable};
  if (Sha1ShaExtensionsAvailable()) paths.push_back(Sha1Path::ShaExtensions);
  return paths;
}
struct Sha1PathGuard {
  Sha1Path saved = Sha1CurrentPath();
  ~Sha1PathGuard() { Sha1SelectPath(saved); }
};

std::string OpenSslHex(const std::string& data, const EVP_MD* md) {
  unsigned char ref[EVP_MAX_MD_SIZE];
  unsigned int refLen = 0;
  EVP_Digest(data.data(), data.size(), ref, &refLen, md, nullptr);
  return Hex(ref, refLen);
}

struct Vec {
  std::string input;
  std::string md5, md4;
};

const std::string kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// RFC 1321 and RFC 1320 test suites (same inputs).
const std::vector<Vec> kSuite = {
    {"", "d41d8cd98f00b204e9800998ecf8427e", "31d6cfe0d16ae931b73c59d7e0c089c0"},
    {"a", "0cc175b9c0f1b6a831c399e269772661", "bde52cb31de33e46245e05fbdbd6fb24"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72", "a448017aaf21d8525fc10ae87aa6729d"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", "d9130a8164549fe818874806e1c7014b"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b",
     "d79e1c308aa5bbcdeea8ed63df412da9"},
    {kAlnum, "d174ab98d277d9f5a5611c2c9f419d9f", "043f8582f241db351ce627e153e7f0e4"},
    {Repeat("1234567890", 8), "57edf4a22be3c955ac49da2e2107b67a",
     "e33b4ddc9c38f2199c3e7b164fcc0536"},
};

}  // namespace

TEST(Md5, PublishedVectorsWholeAndInPieces) {
  for (const auto& v : kSuite) {
    EXPECT_EQ(Md5Whole(v.input), v.md5) << v.input;
    EXPECT_EQ(Md5Pieces(v.input), v.md5) << v.input;
  }
}

TEST(Md5, TextHelpersAndHexForms) {
  Md5Context c;
  Md5Digest d;
  Md5Start(c);
  Md5AddText(c, "message ");
  Md5AddString(c, "digest", 6);
  Md5Finish(d, c);
  EXPECT_EQ(Md5DigestAsHex(d), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5DigestAsHexAlt(d), Md5DigestAsHex(d));

  // A digest fed as data is its 16 raw bytes.
  Md5Digest pre;
  Md5DigestPrefill(pre);
  EXPECT_EQ(Hex(pre.data(), 16), "0102030405060708090a0b0c0d0e0f10");
  Md5Start(c);
  Md5AddDigest(c, pre);
  Md5Finish(d, c);
  EXPECT_EQ(Md5DigestAsHex(d), Md5Whole(std::string(pre.begin(), pre.end())));
}

TEST(Md5, MegabyteInSixteenKilobytePiecesMatchesOpenSsl) {
  std::string data(1 << 20, '\0');
  std::mt19937 rng(7);
  for (auto& ch : data) ch = char(rng());
  Md5Context c;
  Md5Digest one, pieces;
  Md5Start(c);
  Md5AddString(c, data.data(), data.size());  // split into 16 KB inside
  Md5Finish(one, c);
  Md5Start(c);
  for (std::size_t pos = 0; pos < data.size(); pos += 16384) Md5AddData(c, data.data() + pos, 16384);
  Md5Finish(pieces, c);
  unsigned char ref[16];
  unsigned int refLen = 0;
  EVP_Digest(data.data(), data.size(), ref, &refLen, EVP_md5(), nullptr);
  EXPECT_EQ(Md5DigestAsHex(one), Hex(ref, refLen));
  EXPECT_EQ(Md5DigestAsHex(pieces), Hex(ref, refLen));
  EXPECT_EQ(Md5Pieces(data), Hex(ref, refLen));
}

TEST(Md4, PublishedVectorsWholeAndInPieces) {
  for (const auto& v : kSuite) {
    EXPECT_EQ(Hex(Md4StringDigest(v.input)), v.md4) << v.input;
    EXPECT_EQ(Md4Pieces(v.input), v.md4) << v.input;
  }
}

TEST(Md4, UseWithoutStartRaises) {
  Md4Context c;
  Md4Digest d;
  EXPECT_THROW(Md4AddData(c, "x", 1), MD4Exception);
  try {
    Md4Finish(c, d);
    FAIL();
  } catch (const MD4Exception& e) {
    EXPECT_STREQ(e.what(), "MD4 not initialized");
  }
  // A finished context must be started again.
  Md4Start(c);
  Md4Finish(c, d);
  EXPECT_THROW(Md4AddString(c, "x"), MD4Exception);
}

TEST(Sha1, PublishedVectorsWholeAndInPieces) {
  struct {
    std::string input, digest;
  } const cases[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
  };
  Sha1PathGuard guard;
  for (Sha1Path path : Sha1Paths()) {
    SCOPED_TRACE(path == Sha1Path::Portable ? "portable" : "SHA extensions");
    ASSERT_TRUE(Sha1SelectPath(path));
    for (const auto& c : cases) {
      EXPECT_EQ(Hex(Sha1StringDigest(c.input.data(), c.input.size())), c.digest);
      EXPECT_EQ(Sha1Pieces(c.input), c.digest);
    }
  }
}

TEST(Sha1, ResultIsStableAndLaterInputIgnoredUntilReset) {
  Sha1Context c;
  Sha1Digest a, b;
  Sha1Reset(c);
  Sha1Input(c, "abc", 3);
  Sha1Result(c, a);
  Sha1Input(c, "more", 4);
  Sha1Result(c, b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(Sha1DigestAsHex(a), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, RandomLengthsMatchOpenSsl) {
  std::mt19937 rng(11);
  std::vector<std::size_t> lengths = {55, 56, 63, 64, 119, 120, 1000, 70000};
  for (int i = 0; i < 40; ++i) lengths.push_back(rng() % 5000);
  Sha1PathGuard guard;
  for (std::size_t len : lengths) {
    std::string data(len, '\0');
    for (auto& ch : data) ch = char(rng());
    const std::string sha1 = OpenSslHex(data, EVP_sha1());
    for (Sha1Path path : Sha1Paths()) {
      ASSERT_TRUE(Sha1SelectPath(path));
      EXPECT_EQ(Hex(Sha1StringDigest(data.data(), data.size())), sha1) << len;
      EXPECT_EQ(Sha1Pieces(data), sha1) << len << (path == Sha1Path::Portable ? " portable" : " ext");
    }
    EXPECT_EQ(Md5Whole(data), OpenSslHex(data, EVP_md5())) << len;
    EXPECT_EQ(Md5Pieces(data), OpenSslHex(data, EVP_md5())) << len;
  }
}

// The two compression functions agree block for block on many blocks at
// once, whatever the starting state.
TEST(Sha1, ExtensionsAndPortableBlocksAgree) {
  if (!Sha1ShaExtensionsAvailable()) GTEST_SKIP() << "no SHA extensions on this CPU";
  std::mt19937 rng(3);
  std::vector<std::uint8_t> data(64 * 37);
  for (auto& b : data) b = std::uint8_t(rng());
  for (std::size_t blocks : {1u, 2u, 37u}) {
    std::uint32_t a[5], b[5];
    for (int i = 0; i < 5; ++i) a[i] = b[i] = rng();
    Sha1BlocksPortable(a, data.data(), blocks);
    Sha1BlocksShaExtensions(b, data.data(), blocks);
    EXPECT_EQ(std::vector<std::uint32_t>(a, a + 5), std::vector<std::uint32_t>(b, b + 5)) << blocks;
  }
}

// RFC 2202 cases 1-7 (keys shorter and longer than a block).
TEST(Hmac, Rfc2202Md5AndSha1) {
  std::string key25;
  for (int i = 1; i <= 25; ++i) key25 += char(i);
  const std::string big1 = "Test Using Larger Than Block-Size Key - Hash Key First";
  const std::string big2 =
      "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data";
  struct {
    std::string md5Key, sha1Key, data, md5, sha1;
  } const cases[] = {
      {std::string(16, '\x0b'), std::string(20, '\x0b'), "Hi There",
       "9294727a3638bb1c13f48ef8158bfc9d", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738",
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::string(16, '\xaa'), std::string(20, '\xaa'), std::string(50, '\xdd'),
       "56be34521d144c88dbb8c733f0e8b3f6", "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {key25, key25, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79",
       "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {std::string(16, '\x0c'), std::string(20, '\x0c'), "Test With Truncation",
       "56461ef2342edc00f9bab995690efd4c", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {std::string(80, '\xaa'), std::string(80, '\xaa'), big1, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd",
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {std::string(80, '\xaa'), std::string(80, '\xaa'), big2, "6f630fad67cda0ee1fb1f562db3aa53e",
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const auto& c : cases) {
    Md5Digest d;
    HmacMD5(c.data.data(), c.data.size(), c.md5Key.data(), c.md5Key.size(), d);
    EXPECT_EQ(Md5DigestAsHex(d), c.md5) << c.data;
    EXPECT_EQ(Hex(HmacSha1(c.data, c.sha1Key)), c.sha1) << c.data;
  }
  // A 64-byte key is used as it is (not hashed): compare with OpenSSL.
  std::string key64(64, '\x5a');
  unsigned char ref[20];
  unsigned int refLen = 0;
  HMAC(EVP_sha1(), key64.data(), 64, reinterpret_cast<const unsigned char*>("x"), 1, ref, &refLen);
  EXPECT_EQ(Hex(HmacSha1("x", key64)), Hex(ref, refLen));
}

TEST(Des, Fips81EcbVectorsBothWays) {
  const std::string key = Unhex("0123456789abcdef");
  const std::string plain = "Now is the time for all ";
  const std::string cipher = "3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53";
  const auto* k = reinterpret_cast<const std::uint8_t*>(key.data());
  std::string enc, dec;
  for (int b = 0; b < 3; ++b) {
    std::uint8_t out[8], back[8];
    DesEcbBlock(reinterpret_cast<const std::uint8_t*>(plain.data()) + 8 * b, out, k, 1);
    enc.append(reinterpret_cast<char*>(out), 8);
    DesEcbBlock(out, back, k, 0);
    dec.append(reinterpret_cast<char*>(back), 8);
  }
  EXPECT_EQ(Hex(enc), cipher);
  EXPECT_EQ(dec, plain);
}

TEST(Des, RandomBlocksMatchOpenSslAndIgnoreParity) {
  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  EVP_CIPHER* des = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
  if (!des) {
    if (deflt) OSSL_PROVIDER_unload(deflt);
    if (legacy) OSSL_PROVIDER_unload(legacy);
    GTEST_SKIP() << "OpenSSL legacy provider not available";
  }
  std::mt19937 rng(3);
  for (int i = 0; i < 50; ++i) {
    std::uint8_t key[8], in[8], out[8], ref[16];
    for (auto& b : key) b = std::uint8_t(rng());
    for (auto& b : in) b = std::uint8_t(rng());
    DesEcbBlock(in, out, key, 1);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EVP_EncryptInit_ex(ctx, des, nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, ref, &n, in, 8);
    EVP_CIPHER_CTX_free(ctx);
    ASSERT_EQ(n, 8);
    EXPECT_EQ(Hex(out, 8), Hex(ref, 8));
    // Flipping every parity bit changes nothing.
    std::uint8_t key2[8], out2[8];
    for (int j = 0; j < 8; ++j) key2[j] = key[j] ^ 1;
    DesEcbBlock(in, out2, key2, 1);
    EXPECT_EQ(Hex(out2, 8), Hex(out, 8));
  }
  EVP_CIPHER_free(des);
  OSSL_PROVIDER_unload(deflt);
  OSSL_PROVIDER_unload(legacy);
}

TEST(Des, NtlmKeySpreadAndParity) {
  struct {
    std::string key7, key8;
  } const cases[] = {
      {"00000000000000", "0101010101010101"},
      {"ffffffffffffff", "fefefefefefefefe"},
      // 1000 0000 ... : the first bit lands in byte 0's top bit.
      {"80000000000000", "8001010101010101"},
      // The last bit lands in byte 7 bit 1 (just above the parity bit).
      {"00000000000001", "0101010101010102"},
      {"0123456789abcd", "0191d0ad794cae9b"},
  };
  for (const auto& c : cases) {
    std::string k7 = Unhex(c.key7);
    auto k8 = NtlmDesKey(reinterpret_cast<const std::uint8_t*>(k7.data()));
    EXPECT_EQ(Hex(k8.data(), 8), c.key8) << c.key7;
    for (auto b : k8) EXPECT_EQ(__builtin_popcount(b) % 2, 1);
  }
  // The LAN Manager hash of the empty password: "KGS!@#$%" under the spread
  // of seven zero bytes.
  std::uint8_t zero7[7] = {};
  auto key = NtlmDesKey(zero7);
  std::uint8_t out[8];
  DesEcbBlock(reinterpret_cast<const std::uint8_t*>("KGS!@#$%"), out, key.data(), 1);
  EXPECT_EQ(Hex(out, 8), "aad3b435b51404ee");
}
