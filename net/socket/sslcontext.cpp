#include "net/socket/sslcontext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace yux::net {

namespace fs = std::filesystem;

namespace {

std::recursive_mutex& PassPhraseLock() {
  static std::recursive_mutex m;
  return m;
}
std::recursive_mutex& VerifyLock() {
  static std::recursive_mutex m;
  return m;
}
std::recursive_mutex& CliCertLock() {
  static std::recursive_mutex m;
  return m;
}
std::recursive_mutex& NewSessionLock() {
  static std::recursive_mutex m;
  return m;
}
std::recursive_mutex& GetSessionLock() {
  static std::recursive_mutex m;
  return m;
}
std::recursive_mutex& RemoveSessionLock() {
  static std::recursive_mutex m;
  return m;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

bool FileExists(const std::string& name) {
  std::error_code ec;
  return fs::is_regular_file(name, ec) || (fs::exists(name, ec) && !fs::is_directory(name, ec));
}
bool DirExists(const std::string& name) {
  std::error_code ec;
  return fs::is_directory(name, ec);
}

ISslCallbackTarget* TargetOf(SSL* ssl) {
  return ssl ? static_cast<ISslCallbackTarget*>(SSL_get_ex_data(ssl, 0)) : nullptr;
}

// Marks the socket as inside a callback for the scope.
struct CallbackScope {
  ISslCallbackTarget* t;
  explicit CallbackScope(ISslCallbackTarget* target) : t(target) {
    if (t) t->SslCallbackEnter();
  }
  ~CallbackScope() {
    if (t) t->SslCallbackLeave();
  }
};

int PassPhraseCallback(char* buf, int size, int, void* userdata) {
  std::lock_guard<std::recursive_mutex> g(PassPhraseLock());
  auto* ctx = static_cast<TSslContext*>(userdata);
  return ctx ? ctx->PassPhraseInto(buf, size) : 0;
}

std::string SerialHex(X509* cert) {
  const ASN1_INTEGER* s = X509_get0_serialNumber(cert);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%lX", ASN1_INTEGER_get(s));
  return buf;
}

int VerifyCallback(int ok, X509_STORE_CTX* store) {
  std::lock_guard<std::recursive_mutex> g(VerifyLock());
  SSL* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  ISslCallbackTarget* t = TargetOf(ssl);
  if (!t) return ok;
  CallbackScope scope(t);
  t->SslCallbackPause();
  struct Resume {
    ISslCallbackTarget* t;
    ~Resume() { t->SslCallbackResume(); }
  } resume{t};
  X509* cert = X509_STORE_CTX_get_current_cert(store);
  int err = X509_STORE_CTX_get_error(store);
  int depth = X509_STORE_CTX_get_error_depth(store);
  TX509List& chain = t->SslCallbackCertChain();
  TX509Base* obj = chain.Find(cert);
  if (obj) {
    obj->VerifyResult = err;
  } else {
    obj = chain.Add(cert);
    obj->VerifyResult = err;
    obj->FirstVerifyResult = err;
  }
  obj->VerifyDepth = depth;
  chain.LastVerifyResult = err;
  if (t->SslCallbackLogActive(TLogOption::loSslInfo)) {
    t->SslCallbackLog(TLogOption::loSslInfo, "VCB> VerifyPeer: Subject = " + obj->SubjectOneLine());
    t->SslCallbackLog(TLogOption::loSslInfo,
                      "VCB> VerifyPeer: Serial  = $" + (cert ? SerialHex(cert) : std::string()));
    t->SslCallbackLog(TLogOption::loSslInfo, std::string("VCB> VerifyPeer: Error   = ") +
                                                 X509_verify_cert_error_string(err));
  }
  t->SetSslLastVerifyResult(err);
  try {
    t->TriggerSslVerifyPeer(ok, obj);
  } catch (...) {
    ok = 0;
  }
  if (ok != 0) t->SetSslLastVerifyResult(0);
  return ok;
}

int ClientCertCallback(SSL* ssl, X509** x509, EVP_PKEY** pkey) {
  std::lock_guard<std::recursive_mutex> g(CliCertLock());
  ISslCallbackTarget* t = TargetOf(ssl);
  if (!t) return 0;
  CallbackScope scope(t);
  t->SslCallbackPause();
  struct Resume {
    ISslCallbackTarget* t;
    ~Resume() { t->SslCallbackResume(); }
  } resume{t};
  TX509Base* cert = nullptr;
  try {
    cert = t->TriggerSslCliCertRequest();
  } catch (...) {
    cert = nullptr;  // a failing handler means "no certificate"
  }
  if (cert && cert->X509Handle() && cert->PrivateKey()) {
    X509* c = X509_dup(cert->X509Handle());
    if (!c) return 0;
    if (EVP_PKEY_up_ref(cert->PrivateKey()) != 1) {
      X509_free(c);
      return 0;
    }
    *x509 = c;
    *pkey = cert->PrivateKey();
    return 1;
  }
  return 0;
}

int NewSessionCallback(SSL* ssl, SSL_SESSION* sess) {
  std::lock_guard<std::recursive_mutex> g(NewSessionLock());
  ISslCallbackTarget* t = TargetOf(ssl);
  // An exception cannot cross the library: a connection without socket
  // ("NewSessionCallback Obj not assigned") is refused quietly.
  if (!t) return 0;
  CallbackScope scope(t);
  if (t->SslCallbackLogActive(TLogOption::loSslInfo))
    t->SslCallbackLog(TLogOption::loSslInfo, "NSCB> New session created");
  unsigned int len = 0;
  const unsigned char* id = SSL_SESSION_get_id(sess, &len);
  bool add = false;
  try {
    add = t->TriggerSslSvrNewSession(sess, id, int(len));
  } catch (...) {
  }
  // 1 hands a reference to the application's cache, which frees it when it
  // drops the session; 0 leaves the session to the library alone.
  return add ? 1 : 0;
}

SSL_SESSION* GetSessionCallback(SSL* ssl, const unsigned char* id, int len, int* copy) {
  std::lock_guard<std::recursive_mutex> g(GetSessionLock());
  ISslCallbackTarget* t = TargetOf(ssl);
  if (!t) return nullptr;  // "GetSessionCallback Obj not assigned"
  CallbackScope scope(t);
  if (t->SslCallbackLogActive(TLogOption::loSslInfo))
    t->SslCallbackLog(TLogOption::loSslInfo, "GSCB> Get session");
  bool inc = copy && *copy != 0;
  SSL_SESSION* s = nullptr;
  try {
    s = t->TriggerSslSvrGetSession(id, len, inc);
  } catch (...) {
    s = nullptr;
  }
  if (copy) *copy = inc ? 1 : 0;
  return s;
}

void RemoveSessionCallback(SSL_CTX* ctx, SSL_SESSION* sess) {
  std::lock_guard<std::recursive_mutex> g(RemoveSessionLock());
  auto* c = static_cast<TSslContext*>(SSL_CTX_get_ex_data(ctx, 0));
  if (!c) return;
  if (c->SslLogOptionActive(TLogOption::loSslInfo))
    c->LogSslMessage(TLogOption::loSslInfo, "RSCB> Session removed");
  if (c->OnRemoveSession) c->OnRemoveSession(c, sess);
}

const SSL_METHOD* MethodOf(TSslVersionMethod m, bool& tls1Only) {
  tls1Only = false;
  switch (m) {
    case sslV2:
    case sslV2_CLIENT:
    case sslV2_SERVER:
    case sslV3:
    case sslV3_CLIENT:
    case sslV3_SERVER:
      // The library has no SSL 2 or SSL 3 methods any more.
      return nullptr;
    case sslTLS_V1:
      tls1Only = true;
      return TLS_method();
    case sslTLS_V1_CLIENT:
      tls1Only = true;
      return TLS_client_method();
    case sslTLS_V1_SERVER:
      tls1Only = true;
      return TLS_server_method();
    case sslV23:
      return TLS_method();
    case sslV23_CLIENT:
      return TLS_client_method();
    case sslV23_SERVER:
      return TLS_server_method();
  }
  throw ESslContextException("Unknown SslVersionMethod");
}

}  // namespace

std::uint64_t SslOptionBit(TSslOption o) {
  switch (o) {
    case sslOpt_CIPHER_SERVER_PREFERENCE:
      return SSL_OP_CIPHER_SERVER_PREFERENCE;
    case sslOpt_MICROSOFT_SESS_ID_BUG:
      return SSL_OP_MICROSOFT_SESS_ID_BUG;
    case sslOpt_NETSCAPE_CHALLENGE_BUG:
      return SSL_OP_NETSCAPE_CHALLENGE_BUG;
    case sslOpt_NETSCAPE_REUSE_CIPHER_CHANGE_BUG:
      return SSL_OP_NETSCAPE_REUSE_CIPHER_CHANGE_BUG;
    case sslOpt_SSLREF2_REUSE_CERT_TYPE_BUG:
      return SSL_OP_SSLREF2_REUSE_CERT_TYPE_BUG;
    case sslOpt_MICROSOFT_BIG_SSLV3_BUFFER:
      return SSL_OP_MICROSOFT_BIG_SSLV3_BUFFER;
    case sslOpt_MSIE_SSLV2_RSA_PADDING:
      return SSL_OP_MSIE_SSLV2_RSA_PADDING;
    case sslOpt_SSLEAY_080_CLIENT_DH_BUG:
      return SSL_OP_SSLEAY_080_CLIENT_DH_BUG;
    case sslOpt_TLS_D5_BUG:
      return SSL_OP_TLS_D5_BUG;
    case sslOpt_TLS_BLOCK_PADDING_BUG:
      return SSL_OP_TLS_BLOCK_PADDING_BUG;
    case sslOpt_TLS_ROLLBACK_BUG:
      return SSL_OP_TLS_ROLLBACK_BUG;
    case sslOpt_DONT_INSERT_EMPTY_FRAGMENTS:
      return SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS;
    case sslOpt_SINGLE_DH_USE:
      return SSL_OP_SINGLE_DH_USE;
    case sslOpt_EPHEMERAL_RSA:
      return SSL_OP_EPHEMERAL_RSA;
    case sslOpt_NO_SSLv2:
      return SSL_OP_NO_SSLv2;
    case sslOpt_NO_SSLv3:
      return SSL_OP_NO_SSLv3;
    case sslOpt_NO_TLSv1:
      return SSL_OP_NO_TLSv1;
    case sslOpt_PKCS1_CHECK_1:
      return SSL_OP_PKCS1_CHECK_1;
    case sslOpt_PKCS1_CHECK_2:
      return SSL_OP_PKCS1_CHECK_2;
    case sslOpt_NETSCAPE_CA_DN_BUG:
      return SSL_OP_NETSCAPE_CA_DN_BUG;
    case sslOpt_NO_SESSION_RESUMPTION_ON_RENEGOTIATION:
      return SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION;
    case sslOpt_NETSCAPE_DEMO_CIPHER_CHANGE_BUG:
      return SSL_OP_NETSCAPE_DEMO_CIPHER_CHANGE_BUG;
    case sslOpt_ALLOW_UNSAFE_LEGACY_RENEGOTIATION:
      return SSL_OP_ALLOW_UNSAFE_LEGACY_RENEGOTIATION;
  }
  return 0;
}

TSslContext::~TSslContext() {
  std::set<ISslContextUser*> users;
  {
    std::lock_guard<std::recursive_mutex> g(lock_);
    users.swap(users_);
  }
  for (auto* u : users) u->SslContextFreed(this);
  DeInitContext();
}

void TSslContext::Log(TLogOption o, const std::string& text) {
  if (SslLogOptionActive(o)) LogSslMessage(o, text);
}

// ---------------------------------------------------------------------------
// Masks

std::uint64_t TSslContext::SslOptionsMask() const {
  std::uint64_t m = 0;
  for (int i = sslOpt_CIPHER_SERVER_PREFERENCE; i <= sslOpt_ALLOW_UNSAFE_LEGACY_RENEGOTIATION; ++i)
    if (options_.Contains(TSslOption(i))) m |= SslOptionBit(TSslOption(i));
  return m;
}

unsigned long TSslContext::SslVerifyFlagsMask() const {
  static const unsigned long bits[] = {X509_V_FLAG_CB_ISSUER_CHECK,  X509_V_FLAG_USE_CHECK_TIME,
                                       X509_V_FLAG_CRL_CHECK,        X509_V_FLAG_CRL_CHECK_ALL,
                                       X509_V_FLAG_IGNORE_CRITICAL,  X509_V_FLAG_X509_STRICT,
                                       X509_V_FLAG_ALLOW_PROXY_CERTS};
  unsigned long m = 0;
  for (int i = 0; i < 7; ++i)
    if (verifyFlags_.Contains(TSslVerifyFlag(i))) m |= bits[i];
  return m;
}

int TSslContext::SslVerifyModeMask() const {
  int m = 0;
  if (verifyModes_.Contains(SslVerifyMode_PEER)) m |= SSL_VERIFY_PEER;
  if (verifyModes_.Contains(SslVerifyMode_FAIL_IF_NO_PEER_CERT))
    m |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
  if (verifyModes_.Contains(SslVerifyMode_CLIENT_ONCE)) m |= SSL_VERIFY_CLIENT_ONCE;
  return m;
}

long TSslContext::SslSessionCacheModeMask() const {
  long m = 0;
  if (cacheModes_.Contains(sslSESS_CACHE_CLIENT)) m |= SSL_SESS_CACHE_CLIENT;
  if (cacheModes_.Contains(sslSESS_CACHE_SERVER)) m |= SSL_SESS_CACHE_SERVER;
  if (cacheModes_.Contains(sslSESS_CACHE_NO_AUTO_CLEAR)) m |= SSL_SESS_CACHE_NO_AUTO_CLEAR;
  if (cacheModes_.Contains(sslSESS_CACHE_NO_INTERNAL_LOOKUP))
    m |= SSL_SESS_CACHE_NO_INTERNAL_LOOKUP;
  if (cacheModes_.Contains(sslSESS_CACHE_NO_INTERNAL_STORE)) m |= SSL_SESS_CACHE_NO_INTERNAL_STORE;
  return m;
}

// ---------------------------------------------------------------------------
// Setters

#define YUX_LOCKED std::lock_guard<std::recursive_mutex> g_(lock_)

void TSslContext::SetSslCertFile(const std::string& v) {
  YUX_LOCKED;
  if (v == certFile_) return;
  certFile_ = v;
  if (ctx_) LoadCertFromChainFile();
}
void TSslContext::SetSslPassPhrase(const std::string& v) {
  YUX_LOCKED;
  passPhrase_ = v;
}
void TSslContext::SetSslPrivKeyFile(const std::string& v) {
  YUX_LOCKED;
  if (v == privKeyFile_) return;
  privKeyFile_ = v;
  if (ctx_) LoadPKeyFromFile();
}
void TSslContext::SetSslCAFile(const std::string& v) {
  YUX_LOCKED;
  if (v == caFile_) return;
  caFile_ = v;
  if (ctx_) LoadVerifyLocations();
}
void TSslContext::SetSslCAPath(const std::string& v) {
  YUX_LOCKED;
  if (v == caPath_) return;
  caPath_ = v;
  if (ctx_) LoadVerifyLocations();
}
void TSslContext::SetSslCRLFile(const std::string& v) {
  YUX_LOCKED;
  crlFile_ = v;
}
void TSslContext::SetSslCRLPath(const std::string& v) {
  YUX_LOCKED;
  crlPath_ = v;
}
void TSslContext::SetSslVerifyPeer(bool v) {
  YUX_LOCKED;
  verifyPeer_ = v;
  ApplyVerifyMode();
}
void TSslContext::SetSslVerifyDepth(int v) {
  YUX_LOCKED;
  verifyDepth_ = v;
}
void TSslContext::SetSslVerifyFlags(TSslVerifyFlags v) {
  YUX_LOCKED;
  verifyFlags_ = v;
}
void TSslContext::SetSslOptions(TSslOptions v) {
  YUX_LOCKED;
  options_ = v;
}
void TSslContext::SetSslVerifyPeerModes(TSslVerifyPeerModes v) {
  YUX_LOCKED;
  verifyModes_ = v;
  ApplyVerifyMode();
}
void TSslContext::SetSslSessionCacheModes(TSslSessCacheModes v) {
  YUX_LOCKED;
  cacheModes_ = v;
}
void TSslContext::SetSslCipherList(const std::string& v) {
  YUX_LOCKED;
  cipherList_ = v;
}
void TSslContext::SetSslVersionMethod(TSslVersionMethod v) {
  YUX_LOCKED;
  versionMethod_ = v;
}
void TSslContext::SetSslSessionTimeout(std::uint32_t v) {
  YUX_LOCKED;
  sessionTimeout_ = v;
}
void TSslContext::SetSslSessionCacheSize(int v) {
  YUX_LOCKED;
  sessionCacheSize_ = v;
}
void TSslContext::SetSslDefaultSessionIDContext(const std::string& v) {
  YUX_LOCKED;
  defaultSessionIdContext_ = v.substr(0, SSL_MAX_SID_CTX_LENGTH);
  if (ctx_) SetSessionIdContextNow();
}

void TSslContext::SetSessionIdContextNow() {
  const auto* p = reinterpret_cast<const unsigned char*>(defaultSessionIdContext_.data());
  if (SSL_CTX_set_session_id_context(ctx_, p, unsigned(defaultSessionIdContext_.size())) != 1)
    RaiseLastOpenSslError<ESslContextException>(true, "ssl_ctx_set_session_id_context failed");
}

int TSslContext::PassPhraseInto(char* buf, int size) const {
  if (passPhrase_.empty() || !buf || size < int(passPhrase_.size()) + 1) return 0;
  std::memcpy(buf, passPhrase_.c_str(), passPhrase_.size() + 1);
  return int(passPhrase_.size());
}

void TSslContext::RegisterUser(ISslContextUser* user) {
  YUX_LOCKED;
  users_.insert(user);
}
void TSslContext::UnregisterUser(ISslContextUser* user) {
  YUX_LOCKED;
  users_.erase(user);
}

bool TSslContext::InstallClientCertCallback() {
  YUX_LOCKED;
  if (!ctx_ || cliCertCbInstalled_) return false;
  SSL_CTX_set_client_cert_cb(ctx_, ClientCertCallback);
  cliCertCbInstalled_ = true;
  return true;
}

// ---------------------------------------------------------------------------
// Loading

void TSslContext::RequireCtx() {
  if (!ctx_) throw ESslContextException("SSL context not initialized");
}

void TSslContext::LoadPKeyFromFile() {
  RequireCtx();
  if (privKeyFile_.empty()) return;
  if (!FileExists(privKeyFile_))
    throw ESslContextException("File not found " + Quoted(privKeyFile_));
  if (SSL_CTX_use_PrivateKey_file(ctx_, privKeyFile_.c_str(), SSL_FILETYPE_PEM) != 1) {
    std::string errs = SslErrorQueueText(true);
    Log(TLogOption::loSslInfo, errs);
    throw ESslContextException("Can't load private key file " + Quoted(privKeyFile_));
  }
}

void TSslContext::LoadCertFromChainFile() {
  RequireCtx();
  if (certFile_.empty()) return;
  if (!FileExists(certFile_)) throw ESslContextException("File not found " + Quoted(certFile_));
  if (SSL_CTX_use_certificate_chain_file(ctx_, certFile_.c_str()) != 1) {
    std::string errs = SslErrorQueueText(true);
    Log(TLogOption::loSslErr, errs);
    throw ESslContextException("Can't read certificate file " + Quoted(certFile_));
  }
}

void TSslContext::LoadVerifyLocations() {
  RequireCtx();
  if (!caFile_.empty() && !FileExists(caFile_))
    throw ESslContextException("File not found " + Quoted(caFile_));
  if (!caPath_.empty() && !DirExists(caPath_))
    throw ESslContextException("Directory not found " + Quoted(caPath_));
  if (!caFile_.empty() || !caPath_.empty()) {
    if (SSL_CTX_load_verify_locations(ctx_, caFile_.empty() ? nullptr : caFile_.c_str(),
                                      caPath_.empty() ? nullptr : caPath_.c_str()) != 1)
      RaiseLastOpenSslError<ESslContextException>(
          true, "Can't read CA File " + Quoted(caFile_) + " or " + "CA Path " + Quoted(caPath_));
  } else if (SSL_CTX_set_default_verify_paths(ctx_) != 1) {
    RaiseLastOpenSslError<ESslContextException>(true,
                                                "Error loading default CA file and/or directory");
  }
}

void TSslContext::LoadCRLFromFile(const std::string& file) {
  RequireCtx();
  if (file.empty()) throw ESslContextException("File name not specified");
  if (!FileExists(file)) throw ESslContextException("CRL file not found " + Quoted(file));
  BIO* in = BIO_new_file(file.c_str(), "r");
  if (!in)
    RaiseLastOpenSslError<ESslContextException>(true, "Error on opening file " + Quoted(file));
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  if (!infos || sk_X509_INFO_num(infos) == 0) {
    if (infos) sk_X509_INFO_pop_free(infos, X509_INFO_free);
    RaiseLastOpenSslError<ESslContextException>(true, "Error reading info file " + Quoted(file));
  }
  struct InfosFree {
    STACK_OF(X509_INFO) * s;
    ~InfosFree() { sk_X509_INFO_pop_free(s, X509_INFO_free); }
  } infosFree{infos};
  STACK_OF(X509_CRL)* crls = sk_X509_CRL_new_null();
  if (!crls) RaiseLastOpenSslError<ESslContextException>(true, "Error creating Stack");
  struct CrlsFree {
    STACK_OF(X509_CRL) * s;
    ~CrlsFree() { sk_X509_CRL_free(s); }  // the CRLs belong to the info records
  } crlsFree{crls};
  for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
    X509_INFO* info = sk_X509_INFO_value(infos, i);
    if (info->crl) sk_X509_CRL_push(crls, info->crl);
  }
  if (sk_X509_CRL_num(crls) == 0)
    throw ESslContextException("Error on reading CRL file " + Quoted(file));
  X509_STORE* store = SSL_CTX_get_cert_store(ctx_);
  if (!store) throw ESslContextException("Error on opening store");
  for (int i = 0; i < sk_X509_CRL_num(crls); ++i) {
    if (X509_STORE_add_crl(store, sk_X509_CRL_value(crls, i)) != 1) {
      std::string errs = SslErrorQueueText(true);
      Log(TLogOption::loSslErr, "Error adding CRL: " + errs);
    }
  }
}

void TSslContext::LoadCRLFromPath() {
  RequireCtx();
  if (crlPath_.empty()) return;
  if (!DirExists(crlPath_))
    throw ESslContextException("CRL directory not found " + Quoted(crlPath_));
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(crlPath_)) {
    std::error_code ec;
    if (e.is_directory(ec)) continue;
    // "*.*" of the old file search: every name, with or without a dot.
    files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) LoadCRLFromFile(f);
}

void TSslContext::ApplyVerifyMode() {
  if (!ctx_) return;
  if (!verifyPeer_) {
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_verify_depth(ctx_, 0);
    return;
  }
  int mask = SslVerifyModeMask();
  if (SSL_CTX_get_verify_mode(ctx_) != mask ||
      SSL_CTX_get_verify_callback(ctx_) != VerifyCallback) {
    SSL_CTX_set_verify(ctx_, mask, VerifyCallback);
    SSL_CTX_set_verify_depth(ctx_, verifyDepth_);
  }
}

// ---------------------------------------------------------------------------
// Initialisation

void TSslContext::InitContext() {
  YUX_LOCKED;
  TakeLibraryRef();
  Log(TLogOption::loSslInfo, "InitCtx> OpenSSL version: " + SslLibraryVersionText());
  bool tls1Only = false;
  if (!ctx_) {
    const SSL_METHOD* method = MethodOf(versionMethod_, tls1Only);
    ctx_ = method ? SSL_CTX_new(method) : nullptr;
    if (!ctx_) {
      SslClearErrors();
      throw ESslContextException("Failed to initialize context");
    }
    cliCertCbInstalled_ = false;
  } else {
    MethodOf(versionMethod_, tls1Only);
  }
  try {
    if (tls1Only) {
      SSL_CTX_set_min_proto_version(ctx_, TLS1_VERSION);
      SSL_CTX_set_max_proto_version(ctx_, TLS1_VERSION);
    }
    if (OnBeforeInit) OnBeforeInit(this);
    SSL_CTX_set_default_passwd_cb(ctx_, PassPhraseCallback);
    SSL_CTX_set_default_passwd_cb_userdata(ctx_, this);
    LoadPKeyFromFile();
    LoadCertFromChainFile();
    LoadVerifyLocations();
    if (!crlFile_.empty()) LoadCRLFromFile(crlFile_);
    LoadCRLFromPath();
    X509_STORE_set_flags(SSL_CTX_get_cert_store(ctx_), SslVerifyFlagsMask());
    ApplyVerifyMode();
    // Session tickets stay off as they always were (the server's session
    // cache serves resumption); the other bits are the chosen members.
    SSL_CTX_set_options(ctx_, SslOptionsMask() | SSL_OP_NO_TICKET);
    if (cipherList_.empty()) throw ESslContextException("Cipher list empty");
    if (SSL_CTX_set_cipher_list(ctx_, cipherList_.c_str()) != 1)
      RaiseLastOpenSslError<ESslContextException>(true, "Error loading cipher list");
    SSL_CTX_set_session_cache_mode(ctx_, SslSessionCacheModeMask());
    if (!cacheModes_.Contains(sslSESS_CACHE_NO_INTERNAL_STORE)) {
      if (SSL_CTX_set_ex_data(ctx_, 0, this) != 1)
        RaiseLastOpenSslError<ESslContextException>(true, "SSL_CTX_set_ex_data failed");
      SSL_CTX_sess_set_remove_cb(ctx_, RemoveSessionCallback);
      if (sessionCacheSize_ != kSslDefaultSessionCacheSize)
        SSL_CTX_sess_set_cache_size(ctx_, sessionCacheSize_);
    }
    if (cacheModes_.Contains(sslSESS_CACHE_SERVER)) {
      if (sessionTimeout_ != 0) SSL_CTX_set_timeout(ctx_, long(sessionTimeout_));
      SSL_CTX_sess_set_new_cb(ctx_, NewSessionCallback);
      SSL_CTX_sess_set_get_cb(ctx_, GetSessionCallback);
      if (!defaultSessionIdContext_.empty()) SetSessionIdContextNow();
    }
  } catch (...) {
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
    cliCertCbInstalled_ = false;
    throw;
  }
}

void TSslContext::DeInitContext() {
  {
    YUX_LOCKED;
    if (ctx_) {
      SSL_CTX_set_ex_data(ctx_, 0, nullptr);
      SSL_CTX_sess_set_remove_cb(ctx_, nullptr);
      SSL_CTX_sess_set_new_cb(ctx_, nullptr);
      SSL_CTX_sess_set_get_cb(ctx_, nullptr);
      SSL_CTX_set_default_passwd_cb(ctx_, nullptr);
      SSL_CTX_set_default_passwd_cb_userdata(ctx_, nullptr);
      SSL_CTX_free(ctx_);
      ctx_ = nullptr;
      cliCertCbInstalled_ = false;
    }
  }
  ReleaseLibraryRef();
}

}  // namespace yux::net
