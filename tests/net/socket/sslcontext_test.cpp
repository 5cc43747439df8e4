// The TLS context: its settings, how they reach the library context, the
// files it loads and the errors it reports.
#include "net/socket/sslcontext.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <string>

#include "tests/peers/sslfixture.h"

using namespace yux::net;
using yux::test::TestPki;

namespace {

#define REQUIRE_PKI()             \
  YUX_REQUIRE_PROGRAM("openssl"); \
  ASSERT_TRUE(TestPki::Get().Ok()) << TestPki::Get().Error()

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// The message of the exception f raises (of class E), or "" when none.
template <class E, class F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "";
}

TEST(SslContext, DefaultsAndLibraryVersionGate) {
  TSslContext ctx;
  EXPECT_EQ(ctx.SslCipherList(), "ALL:!ADH:RC4+RSA:+SSLv2:@STRENGTH");
  EXPECT_EQ(ctx.SslVerifyDepth(), 9);
  EXPECT_EQ(ctx.SslSessionCacheSize(), 20480);
  EXPECT_EQ(ctx.SslVersionMethod(), sslV23);
  EXPECT_EQ(ctx.SslVerifyPeerModes(), TSslVerifyPeerModes{SslVerifyMode_PEER});
  EXPECT_FALSE(ctx.SslVerifyPeer());
  EXPECT_TRUE(ctx.SslOptions().Empty());
  EXPECT_FALSE(ctx.Initialised());

  struct {
    unsigned long version;
    bool ok;
  } gate[] = {{0x0090805Ful, true},  {0x0090805Eul, false}, {0x100000AFul, true},
              {0x100000B0ul, false}, {0x1010117Ful, false}, {0x30000000ul, true},
              {0x300000C0ul, true},  {0x30400010ul, true},  {0x40000000ul, false}};
  for (auto g : gate) EXPECT_EQ(SslVersionSupported(g.version), g.ok) << std::hex << g.version;
  EXPECT_TRUE(SslVersionSupported(SslLibraryVersionNumber()));
  EXPECT_EQ(UnsupportedSslVersionText(0x1010117Ful)
                .rfind("Unsupported OpenSSL version (0x1010117F) !", 0),
            0u);
}

// The sets reach the library as its own option and flag bits: members the
// library dropped add nothing, and session tickets are always off.
TEST(SslContext, SetsBecomeLibraryMasks) {
  struct {
    TSslOption member;
    std::uint64_t bit;
  } options[] = {
      {sslOpt_CIPHER_SERVER_PREFERENCE, SSL_OP_CIPHER_SERVER_PREFERENCE},
      {sslOpt_TLS_ROLLBACK_BUG, SSL_OP_TLS_ROLLBACK_BUG},
      {sslOpt_DONT_INSERT_EMPTY_FRAGMENTS, SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS},
      {sslOpt_NO_SSLv3, SSL_OP_NO_SSLv3},
      {sslOpt_NO_TLSv1, SSL_OP_NO_TLSv1},
      {sslOpt_NO_SESSION_RESUMPTION_ON_RENEGOTIATION,
       SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION},
      {sslOpt_ALLOW_UNSAFE_LEGACY_RENEGOTIATION, SSL_OP_ALLOW_UNSAFE_LEGACY_RENEGOTIATION},
      {sslOpt_MICROSOFT_BIG_SSLV3_BUFFER, 0},
      {sslOpt_NO_SSLv2, 0},
      {sslOpt_EPHEMERAL_RSA, 0},
  };
  for (auto o : options) EXPECT_EQ(SslOptionBit(o.member), o.bit) << int(o.member);

  TSslContext ctx;
  ctx.SetSslOptions(
      {sslOpt_CIPHER_SERVER_PREFERENCE, sslOpt_NO_TLSv1, sslOpt_MICROSOFT_BIG_SSLV3_BUFFER});
  // The getter gives back what was set, dropped members included.
  EXPECT_TRUE(ctx.SslOptions().Contains(sslOpt_MICROSOFT_BIG_SSLV3_BUFFER));
  ctx.SetSslVerifyFlags({sslX509_V_FLAG_CRL_CHECK, sslX509_V_FLAG_X509_STRICT});
  ctx.SetSslSessionCacheModes({sslSESS_CACHE_CLIENT, sslSESS_CACHE_NO_INTERNAL_LOOKUP});
  ctx.SetSslVerifyPeerModes({SslVerifyMode_PEER, SslVerifyMode_FAIL_IF_NO_PEER_CERT});
  EXPECT_EQ(ctx.SslVerifyFlagsMask(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_X509_STRICT);
  EXPECT_EQ(ctx.SslSessionCacheModeMask(),
            SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_LOOKUP);
  EXPECT_EQ(ctx.SslVerifyModeMask(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT);

  ctx.InitContext();
  SSL_CTX* c = ctx.SslCTX();
  ASSERT_NE(c, nullptr);
  std::uint64_t opts = SSL_CTX_get_options(c);
  EXPECT_TRUE(opts & SSL_OP_NO_TICKET);
  EXPECT_TRUE(opts & SSL_OP_CIPHER_SERVER_PREFERENCE);
  EXPECT_TRUE(opts & SSL_OP_NO_TLSv1);
  EXPECT_FALSE(opts & SSL_OP_ALLOW_UNSAFE_LEGACY_RENEGOTIATION);
  EXPECT_EQ(X509_VERIFY_PARAM_get_flags(X509_STORE_get0_param(SSL_CTX_get_cert_store(c))) &
                (X509_V_FLAG_CRL_CHECK | X509_V_FLAG_X509_STRICT),
            X509_V_FLAG_CRL_CHECK | X509_V_FLAG_X509_STRICT);
  EXPECT_EQ(SSL_CTX_get_session_cache_mode(c),
            SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_LOOKUP);
}

// Verification off means no verification at all, whatever the modes say;
// switching it applies to an initialised context at once.
TEST(SslContext, VerifyPeerSwitchesModeCallbackAndDepth) {
  TSslContext ctx;
  ctx.SetSslVerifyPeerModes({SslVerifyMode_PEER, SslVerifyMode_CLIENT_ONCE});
  ctx.SetSslVerifyDepth(4);
  ctx.InitContext();
  SSL_CTX* c = ctx.SslCTX();
  EXPECT_EQ(SSL_CTX_get_verify_mode(c), SSL_VERIFY_NONE);
  EXPECT_EQ(SSL_CTX_get_verify_callback(c), nullptr);
  EXPECT_EQ(SSL_CTX_get_verify_depth(c), 0);
  ctx.SetSslVerifyPeer(true);
  EXPECT_EQ(SSL_CTX_get_verify_mode(c), SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE);
  EXPECT_NE(SSL_CTX_get_verify_callback(c), nullptr);
  EXPECT_EQ(SSL_CTX_get_verify_depth(c), 4);
  ctx.SetSslVerifyPeerModes({SslVerifyMode_PEER});
  EXPECT_EQ(SSL_CTX_get_verify_mode(c), SSL_VERIFY_PEER);
  ctx.SetSslVerifyPeer(false);
  EXPECT_EQ(SSL_CTX_get_verify_mode(c), SSL_VERIFY_NONE);
  EXPECT_EQ(SSL_CTX_get_verify_callback(c), nullptr);
}

TEST(SslContext, SessionCacheSettings) {
  {
    TSslContext ctx;
    ctx.SetSslDefaultSessionIDContext(std::string(40, 'x'));
    EXPECT_EQ(ctx.SslDefaultSessionIDContext(), std::string(32, 'x'));
    // The library's own default equals ours: only another value shows
    // that the setting reaches it.
    ctx.SetSslSessionCacheSize(5000);
    ctx.InitContext();
    EXPECT_EQ(SSL_CTX_sess_get_cache_size(ctx.SslCTX()), 5000);
  }
  {
    TSslContext ctx;
    ctx.SetSslSessionCacheSize(100);
    ctx.SetSslSessionCacheModes({sslSESS_CACHE_SERVER});
    ctx.SetSslSessionTimeout(77);
    ctx.InitContext();
    EXPECT_EQ(SSL_CTX_sess_get_cache_size(ctx.SslCTX()), 100);
    EXPECT_EQ(SSL_CTX_get_timeout(ctx.SslCTX()), 77);
  }
  {
    // Without the internal store the cache size is not the context's.
    TSslContext ctx;
    ctx.SetSslSessionCacheSize(100);
    ctx.SetSslSessionCacheModes({sslSESS_CACHE_NO_INTERNAL_STORE});
    ctx.InitContext();
    EXPECT_EQ(SSL_CTX_sess_get_cache_size(ctx.SslCTX()), 20480);
  }
}

TEST(SslContext, PassPhraseForAnEncryptedKey) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  struct {
    const char* phrase;
    bool loads;
  } cases[] = {{"secret", true}, {"wrong", false}, {"", false}};
  for (auto k : cases) {
    SCOPED_TRACE(k.phrase);
    TSslContext ctx;
    ctx.SetSslCertFile(pki.Cert("server"));
    ctx.SetSslPrivKeyFile(pki.File("server.enc.key"));
    ctx.SetSslPassPhrase(k.phrase);
    std::string err = ErrorOf<ESslContextException>([&] { ctx.InitContext(); });
    if (k.loads) {
      EXPECT_EQ(err, "");
      EXPECT_EQ(SSL_CTX_check_private_key(ctx.SslCTX()), 1);
    } else {
      EXPECT_EQ(err, "Can't load private key file " + Quoted(pki.File("server.enc.key")));
      EXPECT_FALSE(ctx.Initialised());
    }
  }
  TSslContext ctx;
  ctx.SetSslPassPhrase("secret");
  char buf[16] = {};
  EXPECT_EQ(ctx.PassPhraseInto(buf, 7), 6);
  EXPECT_STREQ(buf, "secret");
  EXPECT_EQ(ctx.PassPhraseInto(buf, 6), 0);  // no room for the terminating zero
}

// Each file setting: the error for what is missing or unreadable, and a
// failed initialisation leaves no context, so the next one tries again.
TEST(SslContext, FileErrors) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  yux::test::TempDir tmp;
  const std::string missing = (tmp / "missing.pem").string();
  const std::string garbage = (tmp / "garbage.pem").string();
  yux::test::WriteFile(garbage, "not a certificate\n");
  const std::string crlDir = (tmp / "crls").string();
  std::filesystem::create_directories(crlDir);
  std::filesystem::copy_file(pki.File("crl.pem"), crlDir + "/a.crl");
  yux::test::WriteFile(crlDir + "/b.txt", "no CRL here\n");

  struct Case {
    std::function<void(TSslContext&)> set;
    std::string error;  // the start of the message
  } cases[] = {
      {[&](TSslContext& c) { c.SetSslPrivKeyFile(missing); }, "File not found " + Quoted(missing)},
      {[&](TSslContext& c) { c.SetSslPrivKeyFile(garbage); },
       "Can't load private key file " + Quoted(garbage)},
      {[&](TSslContext& c) { c.SetSslCertFile(missing); }, "File not found " + Quoted(missing)},
      {[&](TSslContext& c) { c.SetSslCertFile(garbage); },
       "Can't read certificate file " + Quoted(garbage)},
      {[&](TSslContext& c) { c.SetSslCAFile(missing); }, "File not found " + Quoted(missing)},
      {[&](TSslContext& c) { c.SetSslCAPath(missing); }, "Directory not found " + Quoted(missing)},
      {[&](TSslContext& c) { c.SetSslCRLFile(missing); }, "CRL file not found " + Quoted(missing)},
      {[&](TSslContext& c) { c.SetSslCRLFile(pki.Cert("ca")); },
       "Error on reading CRL file " + Quoted(pki.Cert("ca"))},
      {[&](TSslContext& c) { c.SetSslCRLPath(missing); },
       "CRL directory not found " + Quoted(missing)},
      {[&](TSslContext& c) { c.SetSslCRLPath(crlDir); }, "\r\nError reading info file "},
      {[&](TSslContext& c) { c.SetSslCipherList(""); }, "Cipher list empty"},
      {[&](TSslContext& c) { c.SetSslCipherList("NO-SUCH-CIPHER"); },
       "\r\nError loading cipher list"},
      {[&](TSslContext& c) { c.SetSslVersionMethod(sslV2); }, "Failed to initialize context"},
      {[&](TSslContext& c) { c.SetSslVersionMethod(sslV3_CLIENT); },
       "Failed to initialize context"},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(k.error);
    TSslContext ctx;
    k.set(ctx);
    std::string err = ErrorOf<ESslContextException>([&] { ctx.InitContext(); });
    EXPECT_EQ(err.substr(0, k.error.size()), k.error);
    EXPECT_FALSE(ctx.Initialised());
  }
  // The next initialisation tries again.
  TSslContext ctx;
  ctx.SetSslCipherList("");
  EXPECT_THROW(ctx.InitContext(), ESslContextException);
  ctx.SetSslCipherList("HIGH");
  ctx.InitContext();
  EXPECT_TRUE(ctx.Initialised());
}

// Revocation lists land in the certificate store; changed CA, certificate
// and key settings reach an initialised context at once.
TEST(SslContext, LoadsCrlsCertificatesAndLaterChanges) {
  REQUIRE_PKI();
  const TestPki& pki = TestPki::Get();
  auto crlCount = [](SSL_CTX* c) {
    STACK_OF(X509_OBJECT)* objs = X509_STORE_get0_objects(SSL_CTX_get_cert_store(c));
    int n = 0;
    for (int i = 0; i < sk_X509_OBJECT_num(objs); ++i)
      if (X509_OBJECT_get_type(sk_X509_OBJECT_value(objs, i)) == X509_LU_CRL) ++n;
    return n;
  };
  yux::test::TempDir tmp;
  std::filesystem::copy_file(pki.File("crl.pem"), (tmp / "one.crl").string());
  TSslContext ctx;
  ctx.SetSslCRLPath(tmp.str());
  ctx.SetSslCAFile(pki.Cert("ca"));
  bool beforeInitSeen = false;
  ctx.OnBeforeInit = [&](TSslContext* c) {
    beforeInitSeen = true;
    c->SetSslCertFile(pki.Cert("server"));  // still read by this initialisation
    c->SetSslPrivKeyFile(pki.Key("server"));
  };
  ctx.InitContext();
  EXPECT_TRUE(beforeInitSeen);
  EXPECT_EQ(crlCount(ctx.SslCTX()), 1);
  X509* cert = SSL_CTX_get0_certificate(ctx.SslCTX());
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(SSL_CTX_check_private_key(ctx.SslCTX()), 1);

  // A new certificate and key replace the loaded ones at once (the
  // certificate first: the library refuses a key that does not fit).
  ctx.SetSslCertFile(pki.Cert("client"));
  ctx.SetSslPrivKeyFile(pki.Key("client"));
  X509* now = SSL_CTX_get0_certificate(ctx.SslCTX());
  ASSERT_NE(now, nullptr);
  char cn[64] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(now), NID_commonName, cn, sizeof cn);
  EXPECT_STREQ(cn, "yux client");
  EXPECT_EQ(SSL_CTX_check_private_key(ctx.SslCTX()), 1);
  EXPECT_THROW(ctx.SetSslCAFile((tmp / "nope.pem").string()), ESslContextException);
}

TEST(SslContext, TlsV1MethodPinsTheProtocolVersion) {
  TSslContext ctx;
  ctx.SetSslVersionMethod(sslTLS_V1_CLIENT);
  ctx.InitContext();
  EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx.SslCTX()), TLS1_VERSION);
  EXPECT_EQ(SSL_CTX_get_max_proto_version(ctx.SslCTX()), TLS1_VERSION);
}

TEST(SslContext, HoldsOneLibraryReferenceWhileInitialised) {
  int before = SslLibraryRefCount();
  {
    TSslContext ctx;
    EXPECT_EQ(SslLibraryRefCount(), before);
    ctx.InitContext();
    EXPECT_EQ(SslLibraryRefCount(), before + 1);
    ctx.InitContext();  // an initialised context takes no second reference
    EXPECT_EQ(SslLibraryRefCount(), before + 1);
  }
  EXPECT_EQ(SslLibraryRefCount(), before);
}

}  // namespace
