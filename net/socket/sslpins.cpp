#include "net/socket/sslpins.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

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

TSslPinFile::TResult TSslPinFile::Check(const std::string& hostPort, const std::string& fingerprint,
                                        std::string& known) {
  known.clear();
  {
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const auto blank = line.find(' ');
      if (blank == std::string::npos || line.compare(0, blank, hostPort) != 0) continue;
      known = line.substr(blank + 1);
      return known == fingerprint ? pinSame : pinChanged;
    }
    if (in.bad()) throw std::runtime_error("Cannot read " + path_);
  }
  // The file is made readable by its owner alone, whatever the umask, and
  // an existing one is narrowed to that before a line is added.
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("Cannot write " + path_ + ": " + std::strerror(errno));
  const std::string line = hostPort + " " + fingerprint + "\n";
  const bool ok = ::fchmod(fd, 0600) == 0 &&
                  ::write(fd, line.data(), line.size()) == ssize_t(line.size());
  const int err = errno;
  ::close(fd);
  if (!ok) throw std::runtime_error("Cannot write " + path_ + ": " + std::strerror(err));
  return pinAdded;
}

}  // namespace yux::net
