#include "net/socket/sslcerts.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <stdexcept>

namespace yux::net {

namespace {

std::string CrLfLines(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n' && (out.empty() || out.back() != '\r'))
      out += "\r\n";
    else
      out += c;
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string BioText(BIO* b) {
  char* p = nullptr;
  long n = BIO_get_mem_data(b, &p);
  return n > 0 ? std::string(p, size_t(n)) : std::string();
}

bool IsIpAddress(const std::string& host) {
  ASN1_OCTET_STRING* a = a2i_IPADDRESS(host.c_str());
  if (!a) return false;
  ASN1_OCTET_STRING_free(a);
  return true;
}

}  // namespace

TX509Class DefaultX509Class() {
  return [] { return std::make_unique<TX509Base>(); };
}

TX509Base::~TX509Base() {
  Clear();
  FreePrivateKey();
}

void TX509Base::AssignX509(X509* cert) {
  Clear();
  if (cert) x509_ = X509_dup(cert);
}

void TX509Base::AssignPrivateKey(EVP_PKEY* key) {
  FreePrivateKey();
  if (key && EVP_PKEY_up_ref(key) == 1) privateKey_ = key;
}

void TX509Base::Clear() {
  if (x509_) X509_free(x509_);
  x509_ = nullptr;
  sha1_.clear();
  ResetVerifyInfo();
}

void TX509Base::FreePrivateKey() {
  if (privateKey_) EVP_PKEY_free(privateKey_);
  privateKey_ = nullptr;
}

void TX509Base::ResetVerifyInfo() {
  VerifyResult = 50;
  VerifyDepth = 0;
  FirstVerifyResult = 50;
}

long TX509Base::GetSerialNumber() {
  if (!x509_) return -1;
  return ASN1_INTEGER_get(X509_get0_serialNumber(x509_));
}

int TX509Base::GetExtensionCount() { return x509_ ? X509_get_ext_count(x509_) : 0; }

int TX509Base::FindExtension(const std::string& shortName) {
  if (!x509_) return -1;
  std::string want = shortName.substr(0, 255);
  int n = X509_get_ext_count(x509_);
  for (int i = 0; i < n; ++i) {
    X509_EXTENSION* ext = X509_get_ext(x509_, i);
    ASN1_OBJECT* obj = X509_EXTENSION_get_object(ext);
    const char* sn = OBJ_nid2sn(OBJ_obj2nid(obj));
    if (sn && want == std::string(sn).substr(0, 255)) return i;
    char buf[256];
    OBJ_obj2txt(buf, sizeof buf, obj, 0);
    if (want == buf) return i;
  }
  return -1;
}

TExtension TX509Base::GetExtension(int index) {
  TExtension r;
  if (index < 0 || index >= GetExtensionCount())
    throw EX509Exception("Extension index out of bounds");
  X509_EXTENSION* ext = X509_get_ext(x509_, index);
  if (!ext) throw EX509Exception("Extension not assigned");
  r.Critical = X509_EXTENSION_get_critical(ext) != 0;
  ASN1_OBJECT* obj = X509_EXTENSION_get_object(ext);
  const char* sn = OBJ_nid2sn(OBJ_obj2nid(obj));
  if (sn && OBJ_obj2nid(obj) != NID_undef) {
    r.ShortName = sn;
  } else {
    char buf[256];
    OBJ_obj2txt(buf, sizeof buf, obj, 0);
    r.ShortName = buf;
  }
  const X509V3_EXT_METHOD* meth = X509V3_EXT_get(ext);
  void* data = meth ? X509V3_EXT_d2i(ext) : nullptr;
  if (meth && data) {
    if (meth->i2s) {
      char* s = meth->i2s(const_cast<X509V3_EXT_METHOD*>(meth), data);
      if (s) {
        r.Value = s;
        OPENSSL_free(s);
      }
    } else if (meth->i2v) {
      STACK_OF(CONF_VALUE)* vals = meth->i2v(const_cast<X509V3_EXT_METHOD*>(meth), data, nullptr);
      for (int i = 0; vals && i < sk_CONF_VALUE_num(vals); ++i) {
        CONF_VALUE* v = sk_CONF_VALUE_value(vals, i);
        if (!r.Value.empty()) r.Value += "\r\n";
        if (v->name) r.Value += v->name;
        if (v->name && v->value) r.Value += "=";
        if (v->value) r.Value += v->value;
      }
      if (vals) sk_CONF_VALUE_pop_free(vals, X509V3_conf_free);
    } else if (meth->i2r) {
      BIO* b = BIO_new(BIO_s_mem());
      if (b) {
        meth->i2r(const_cast<X509V3_EXT_METHOD*>(meth), data, b, 0);
        r.Value = CrLfLines(BioText(b));
        BIO_free(b);
      }
    }
    if (meth->it)
      ASN1_item_free(static_cast<ASN1_VALUE*>(data), ASN1_ITEM_ptr(meth->it));
    else if (meth->ext_free)
      meth->ext_free(data);
  } else {
    const ASN1_OCTET_STRING* raw = X509_EXTENSION_get_data(ext);
    static const char* hex = "0123456789ABCDEF";
    for (int i = 0; raw && i < ASN1_STRING_length(raw); ++i) {
      unsigned char c = ASN1_STRING_get0_data(raw)[i];
      r.Value += hex[c >> 4];
      r.Value += hex[c & 15];
    }
  }
  return r;
}

std::string TX509Base::GetSubjectAltNames() {
  int i = FindExtension("subjectAltName");
  if (i < 0) return {};
  return GetExtension(i).Value;
}

std::string TX509Base::SubjectCommonNames() {
  std::string out;
  if (!x509_) return out;
  X509_NAME* name = X509_get_subject_name(x509_);
  int pos = -1;
  while ((pos = X509_NAME_get_index_by_NID(name, NID_commonName, pos)) >= 0) {
    ASN1_STRING* s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, pos));
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, s);
    if (n >= 0) {
      if (!out.empty()) out += "\r\n";
      out.append(reinterpret_cast<char*>(utf8), size_t(n));
      OPENSSL_free(utf8);
    }
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string TX509Base::SubjectOneLine() {
  if (!x509_) return {};
  char buf[513];
  X509_NAME_oneline(X509_get_subject_name(x509_), buf, sizeof buf);
  return buf;
}

std::string TX509Base::VerifyResultText() { return X509_verify_cert_error_string(VerifyResult); }

const std::string& TX509Base::Sha1Digest() {
  if (sha1_.empty() && x509_) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(x509_, EVP_sha1(), md, &n) != 1 || n != 20)
      RaiseLastOpenSslError<EX509Exception>(true, "Error computing the SHA-1 digest");
    sha1_.assign(reinterpret_cast<char*>(md), n);
  }
  return sha1_;
}

bool TX509Base::MatchesHostName(const std::string& host) {
  // A wildcard is no host name: a certificate name "*" matches nothing.
  if (!x509_ || host.empty() || host.find('*') != std::string::npos) return false;
  if (IsIpAddress(host)) return X509_check_ip_asc(x509_, host.c_str(), 0) == 1;
  return X509_check_host(x509_, host.data(), host.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
                         nullptr) == 1;
}

namespace {
int PassCb(char* buf, int size, int, void* u) {
  const std::string* p = static_cast<const std::string*>(u);
  if (!p || p->empty() || int(p->size()) + 1 > size) return 0;
  std::memcpy(buf, p->c_str(), p->size() + 1);
  return int(p->size());
}
}  // namespace

void TX509Base::ReadFromBio(BIO* bio, bool includePrivateKey, const std::string& passPhrase) {
  if (!bio) throw EX509Exception("BIO not assigned");
  std::string phrase = passPhrase;
  X509* cert = PEM_read_bio_X509(bio, nullptr, PassCb, &phrase);
  if (!cert) RaiseLastOpenSslError<EX509Exception>(true, "Error reading certificate from BIO");
  struct CertFree {
    X509* c;
    ~CertFree() { X509_free(c); }
  } cf{cert};
  if (!includePrivateKey) {
    if (privateKey_ && X509_check_private_key(cert, privateKey_) != 1)
      RaiseLastOpenSslError<EX509Exception>(true, "Certificate and private key do not match");
    AssignX509(cert);
    return;
  }
  BIO_reset(bio);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, PassCb, &phrase);
  if (!key) RaiseLastOpenSslError<EX509Exception>(true, "Error reading private key from BIO");
  struct KeyFree {
    EVP_PKEY* k;
    ~KeyFree() { EVP_PKEY_free(k); }
  } kf{key};
  if (X509_check_private_key(cert, key) != 1)
    RaiseLastOpenSslError<EX509Exception>(true, "Certificate and private key do not match");
  AssignX509(cert);
  AssignPrivateKey(key);
}

void TX509Base::WriteToBio(BIO* bio, bool includePrivateKey, bool addRawText) {
  if (!bio) throw EX509Exception("BIO not assigned");
  if (!x509_) throw EX509Exception("X509 not assigned");
  if (includePrivateKey && !privateKey_) throw EX509Exception("Private key not assigned");
  if (addRawText && X509_print(bio, x509_) != 1)
    RaiseLastOpenSslError<EX509Exception>(true, "Error writing raw text to BIO");
  if (includePrivateKey &&
      PEM_write_bio_PrivateKey(bio, privateKey_, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    RaiseLastOpenSslError<EX509Exception>(true, "Error writing private key to BIO");
  if (PEM_write_bio_X509(bio, x509_) != 1)
    RaiseLastOpenSslError<EX509Exception>(true, "Error writing certificate to BIO");
}

// ---------------------------------------------------------------------------

TX509Base* TX509List::Add(X509* cert) {
  auto obj = x509Class_();
  obj->AssignX509(cert);
  items_.push_back(std::move(obj));
  return items_.back().get();
}

TX509Base* TX509List::Find(X509* cert) {
  if (!cert) return nullptr;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(cert, EVP_sha1(), md, &n) != 1) return nullptr;
  return FindByDigest(std::string(reinterpret_cast<char*>(md), n));
}

TX509Base* TX509List::FindByDigest(const std::string& sha1) {
  for (auto& c : items_)
    if (c->IsCertLoaded() && c->Sha1Digest() == sha1) return c.get();
  return nullptr;
}

void TX509List::SetX509Class(TX509Class v) {
  if (!items_.empty())
    throw std::logic_error("The X509 class should only be set when the list is empty");
  x509Class_ = v ? std::move(v) : DefaultX509Class();
}

}  // namespace yux::net
