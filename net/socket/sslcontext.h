#pragma once
// The TLS settings shared by many sockets: certificates, trust, revocation
// lists, verification, protocol method, options and session cache.  The
// library context is built from them the first time a socket needs it;
// the library's callbacks (pass phrase, verification, client certificate,
// session cache) are routed to the socket whose connection runs them.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <set>
#include <string>

#include "net/socket/sslbase.h"
#include "net/socket/sslcerts.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;

namespace yux::net {

// A set of enumeration members (at most 32).
template <class E>
class TSslSet {
 public:
  constexpr TSslSet() = default;
  constexpr TSslSet(std::initializer_list<E> l) {
    for (E e : l) Include(e);
  }
  constexpr bool Contains(E e) const { return (bits_ >> unsigned(e)) & 1u; }
  constexpr void Include(E e) { bits_ |= 1u << unsigned(e); }
  constexpr void Exclude(E e) { bits_ &= ~(1u << unsigned(e)); }
  constexpr bool Empty() const { return bits_ == 0; }
  friend constexpr bool operator==(TSslSet, TSslSet) = default;

 private:
  std::uint32_t bits_ = 0;
};

enum TSslVersionMethod {
  sslV2,
  sslV2_CLIENT,
  sslV2_SERVER,
  sslV3,
  sslV3_CLIENT,
  sslV3_SERVER,
  sslTLS_V1,
  sslTLS_V1_CLIENT,
  sslTLS_V1_SERVER,
  sslV23,
  sslV23_CLIENT,
  sslV23_SERVER
};

enum TSslVerifyPeerMode {
  SslVerifyMode_NONE,
  SslVerifyMode_PEER,
  SslVerifyMode_FAIL_IF_NO_PEER_CERT,
  SslVerifyMode_CLIENT_ONCE
};
using TSslVerifyPeerModes = TSslSet<TSslVerifyPeerMode>;

enum TSslVerifyFlag {
  sslX509_V_FLAG_CB_ISSUER_CHECK,
  sslX509_V_FLAG_USE_CHECK_TIME,
  sslX509_V_FLAG_CRL_CHECK,
  sslX509_V_FLAG_CRL_CHECK_ALL,
  sslX509_V_FLAG_IGNORE_CRITICAL,
  sslX509_V_FLAG_X509_STRICT,
  sslX509_V_FLAG_ALLOW_PROXY_CERTS
};
using TSslVerifyFlags = TSslSet<TSslVerifyFlag>;

enum TSslSessCacheMode {
  sslSESS_CACHE_CLIENT,
  sslSESS_CACHE_SERVER,
  sslSESS_CACHE_NO_AUTO_CLEAR,
  sslSESS_CACHE_NO_INTERNAL_LOOKUP,
  sslSESS_CACHE_NO_INTERNAL_STORE
};
using TSslSessCacheModes = TSslSet<TSslSessCacheMode>;

enum TSslOption {
  sslOpt_CIPHER_SERVER_PREFERENCE,
  sslOpt_MICROSOFT_SESS_ID_BUG,
  sslOpt_NETSCAPE_CHALLENGE_BUG,
  sslOpt_NETSCAPE_REUSE_CIPHER_CHANGE_BUG,
  sslOpt_SSLREF2_REUSE_CERT_TYPE_BUG,
  sslOpt_MICROSOFT_BIG_SSLV3_BUFFER,
  sslOpt_MSIE_SSLV2_RSA_PADDING,
  sslOpt_SSLEAY_080_CLIENT_DH_BUG,
  sslOpt_TLS_D5_BUG,
  sslOpt_TLS_BLOCK_PADDING_BUG,
  sslOpt_TLS_ROLLBACK_BUG,
  sslOpt_DONT_INSERT_EMPTY_FRAGMENTS,
  sslOpt_SINGLE_DH_USE,
  sslOpt_EPHEMERAL_RSA,
  sslOpt_NO_SSLv2,
  sslOpt_NO_SSLv3,
  sslOpt_NO_TLSv1,
  sslOpt_PKCS1_CHECK_1,
  sslOpt_PKCS1_CHECK_2,
  sslOpt_NETSCAPE_CA_DN_BUG,
  sslOpt_NO_SESSION_RESUMPTION_ON_RENEGOTIATION,
  sslOpt_NETSCAPE_DEMO_CIPHER_CHANGE_BUG,
  sslOpt_ALLOW_UNSAFE_LEGACY_RENEGOTIATION
};
using TSslOptions = TSslSet<TSslOption>;

// The library's option bit of a member (0 for the workarounds the
// library no longer has).
std::uint64_t SslOptionBit(TSslOption o);

inline constexpr int kSslDefaultSessionCacheSize = 20480;
inline const char* const kSslDefaultCipherList = "ALL:!ADH:RC4+RSA:+SSLv2:@STRENGTH";

class TSslContext;

// What the context's callbacks need of the socket whose connection runs
// them.  The socket stores itself in its connection's application slot.
class ISslCallbackTarget {
 public:
  virtual void SslCallbackEnter() = 0;
  virtual void SslCallbackLeave() = 0;
  virtual void SslCallbackPause() = 0;
  virtual void SslCallbackResume() = 0;
  virtual TX509List& SslCallbackCertChain() = 0;
  virtual void SetSslLastVerifyResult(int result) = 0;
  virtual void TriggerSslVerifyPeer(int& ok, TX509Base* cert) = 0;
  // Null when the application gives no certificate.
  virtual TX509Base* TriggerSslCliCertRequest() = 0;
  virtual bool TriggerSslSvrNewSession(SSL_SESSION* session, const unsigned char* id,
                                       int idLen) = 0;
  virtual SSL_SESSION* TriggerSslSvrGetSession(const unsigned char* id, int idLen,
                                               bool& incRefCount) = 0;
  virtual void SslCallbackLog(TLogOption option, const std::string& text) = 0;
  virtual bool SslCallbackLogActive(TLogOption option) = 0;

 protected:
  ~ISslCallbackTarget() = default;
};

// A socket that holds a context and must forget it when it goes away.
class ISslContextUser {
 public:
  virtual void SslContextFreed(TSslContext* context) = 0;

 protected:
  ~ISslContextUser() = default;
};

using TSslContextRemoveSession = std::function<void(TSslContext* sender, SSL_SESSION* session)>;
using TSslNotifyEvent = std::function<void(TSslContext* sender)>;

class TSslContext : public TSslBaseComponent {
 public:
  TSslContext() = default;
  ~TSslContext() override;

  void InitContext();
  void DeInitContext();
  SSL_CTX* SslCTX() const { return ctx_; }
  bool Initialised() const { return ctx_ != nullptr; }

  // ---- Properties ----
  std::string SslCertFile() const { return certFile_; }
  void SetSslCertFile(const std::string& v);
  std::string SslPassPhrase() const { return passPhrase_; }
  void SetSslPassPhrase(const std::string& v);
  std::string SslPrivKeyFile() const { return privKeyFile_; }
  void SetSslPrivKeyFile(const std::string& v);
  std::string SslCAFile() const { return caFile_; }
  void SetSslCAFile(const std::string& v);
  std::string SslCAPath() const { return caPath_; }
  void SetSslCAPath(const std::string& v);
  std::string SslCRLFile() const { return crlFile_; }
  void SetSslCRLFile(const std::string& v);
  std::string SslCRLPath() const { return crlPath_; }
  void SetSslCRLPath(const std::string& v);
  bool SslVerifyPeer() const { return verifyPeer_; }
  void SetSslVerifyPeer(bool v);
  int SslVerifyDepth() const { return verifyDepth_; }
  void SetSslVerifyDepth(int v);
  TSslVerifyFlags SslVerifyFlags() const { return verifyFlags_; }
  void SetSslVerifyFlags(TSslVerifyFlags v);
  TSslOptions SslOptions() const { return options_; }
  void SetSslOptions(TSslOptions v);
  TSslVerifyPeerModes SslVerifyPeerModes() const { return verifyModes_; }
  void SetSslVerifyPeerModes(TSslVerifyPeerModes v);
  TSslSessCacheModes SslSessionCacheModes() const { return cacheModes_; }
  void SetSslSessionCacheModes(TSslSessCacheModes v);
  std::string SslCipherList() const { return cipherList_; }
  void SetSslCipherList(const std::string& v);
  TSslVersionMethod SslVersionMethod() const { return versionMethod_; }
  void SetSslVersionMethod(TSslVersionMethod v);
  std::uint32_t SslSessionTimeout() const { return sessionTimeout_; }
  void SetSslSessionTimeout(std::uint32_t v);
  int SslSessionCacheSize() const { return sessionCacheSize_; }
  void SetSslSessionCacheSize(int v);
  std::string SslDefaultSessionIDContext() const { return defaultSessionIdContext_; }
  void SetSslDefaultSessionIDContext(const std::string& v);

  TSslContextRemoveSession OnRemoveSession;
  TSslNotifyEvent OnBeforeInit;

  // ---- The library's bit masks of the sets ----
  std::uint64_t SslOptionsMask() const;
  unsigned long SslVerifyFlagsMask() const;
  int SslVerifyModeMask() const;
  long SslSessionCacheModeMask() const;

  // ---- Sockets using the context ----
  void RegisterUser(ISslContextUser* user);
  void UnregisterUser(ISslContextUser* user);

  // Installs the client-certificate callback (once); true when installed.
  bool InstallClientCertCallback();
  bool ClientCertCallbackInstalled() const { return cliCertCbInstalled_; }

  std::recursive_mutex& Lock() { return lock_; }

  // For the library's pass-phrase request: copies the pass phrase when it
  // fits into size bytes with its terminating zero; its length, else 0.
  int PassPhraseInto(char* buf, int size) const;

 private:
  void LoadPKeyFromFile();
  void LoadCertFromChainFile();
  void LoadVerifyLocations();
  void LoadCRLFromFile(const std::string& file);
  void LoadCRLFromPath();
  void ApplyVerifyMode();
  void SetSessionIdContextNow();
  void RequireCtx();
  void Log(TLogOption o, const std::string& text);

  SSL_CTX* ctx_ = nullptr;
  std::recursive_mutex lock_;
  std::set<ISslContextUser*> users_;
  bool cliCertCbInstalled_ = false;

  std::string certFile_, passPhrase_, privKeyFile_, caFile_, caPath_, crlFile_, crlPath_;
  bool verifyPeer_ = false;
  int verifyDepth_ = 9;
  TSslVerifyFlags verifyFlags_;
  TSslOptions options_;
  TSslVerifyPeerModes verifyModes_{SslVerifyMode_PEER};
  TSslSessCacheModes cacheModes_;
  std::string cipherList_ = kSslDefaultCipherList;
  TSslVersionMethod versionMethod_ = sslV23;
  std::uint32_t sessionTimeout_ = 0;
  int sessionCacheSize_ = kSslDefaultSessionCacheSize;
  std::string defaultSessionIdContext_;
};

}  // namespace yux::net
