#pragma once
// X.509 certificates for the TLS sockets' events: one certificate with an
// optional private key, and the list of certificates met while a peer's
// chain was verified, found again by their SHA-1 digest.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/socket/sslbase.h"

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct bio_st BIO;

namespace yux::net {

struct TExtension {
  bool Critical = false;
  std::string ShortName;
  std::string Value;
};

class TX509Base : public TSslBaseComponent {
 public:
  TX509Base() = default;
  ~TX509Base() override;

  // Holds a copy of cert (nothing for null) after dropping the current one.
  void AssignX509(X509* cert);
  // Takes a new reference on key.
  void AssignPrivateKey(EVP_PKEY* key);
  void Clear();
  void FreePrivateKey();
  X509* X509Handle() const { return x509_; }
  EVP_PKEY* PrivateKey() const { return privateKey_; }
  bool IsCertLoaded() const { return x509_ != nullptr; }
  bool IsPKeyLoaded() const { return privateKey_ != nullptr; }

  virtual long GetSerialNumber();
  int GetExtensionCount();
  // Index of the extension whose short name (or object text) is name; -1.
  int FindExtension(const std::string& shortName);
  virtual TExtension GetExtension(int index);
  virtual std::string GetSubjectAltNames();
  std::string SubjectCommonNames();
  std::string SubjectOneLine();
  std::string VerifyResultText();
  // The 20 bytes of the certificate's SHA-1 digest (computed once).
  const std::string& Sha1Digest();

  virtual void ResetVerifyInfo();
  virtual void ReadFromBio(BIO* bio, bool includePrivateKey, const std::string& passPhrase);
  virtual void WriteToBio(BIO* bio, bool includePrivateKey, bool addRawText);
  // The library's host-name check (DNS names with its wildcard rules, or
  // an IP address); a bare "*" matches nothing.
  virtual bool MatchesHostName(const std::string& host);

  int VerifyResult = 50;
  int VerifyDepth = 0;
  int FirstVerifyResult = 50;

 private:
  X509* x509_ = nullptr;
  EVP_PKEY* privateKey_ = nullptr;
  std::string sha1_;
};

using TX509Class = std::function<std::unique_ptr<TX509Base>()>;
TX509Class DefaultX509Class();

class TX509List {
 public:
  explicit TX509List(void* owner = nullptr) : owner_(owner) {}
  TX509List(const TX509List&) = delete;
  TX509List& operator=(const TX509List&) = delete;

  void Clear() { items_.clear(); }
  int Count() const { return int(items_.size()); }
  TX509Base* Item(int i) const { return items_.at(size_t(i)).get(); }
  // A new object of the certificate class holding a copy of cert.
  TX509Base* Add(X509* cert);
  TX509Base* Find(X509* cert);
  TX509Base* FindByDigest(const std::string& sha1);
  const TX509Class& X509Class() const { return x509Class_; }
  // Only while the list is empty.
  void SetX509Class(TX509Class v);
  void* Owner() const { return owner_; }

  int LastVerifyResult = 0;

 private:
  void* owner_;
  TX509Class x509Class_ = DefaultX509Class();
  std::vector<std::unique_ptr<TX509Base>> items_;
};

}  // namespace yux::net
