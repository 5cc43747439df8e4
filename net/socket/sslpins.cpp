#include "net/socket/sslpins.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace yux::net {

std::string SslCertFingerprint(X509* cert) {
  if (!cert) return {};
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert, EVP_sha256(), md, &len) != 1) return {};
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    if (i) out += ':';
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

bool SslPeerValidForHost(SSL* ssl, const std::string& host, std::string& why) {
  X509* leaf = ssl ? SSL_get0_peer_certificate(ssl) : nullptr;
  if (!leaf) {
    why = "the server sent no certificate";
    return false;
  }
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(),
                                                                       X509_STORE_CTX_free);
  if (!store || !ctx || X509_STORE_set_default_paths(store.get()) != 1 ||
      X509_STORE_CTX_init(ctx.get(), store.get(), leaf, SSL_get_peer_cert_chain(ssl)) != 1) {
    why = "the system's certificate store cannot be used";
    return false;
  }
  X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
  if (ASN1_OCTET_STRING* ip = a2i_IPADDRESS(host.c_str())) {
    ASN1_OCTET_STRING_free(ip);
    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  } else {
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
  }
  if (X509_verify_cert(ctx.get()) == 1) return true;
  why = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
  return false;
}

}  // namespace yux::net
