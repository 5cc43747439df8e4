#pragma once
// Who answered a TLS handshake: whether a certificate authority of the
// system vouches for the server's certificate under the name the client
// asked for, the certificate's SHA-256 fingerprint, and a file that keeps
// the fingerprint first seen from each server no authority vouches for
// (self-made certificates), so that another certificate later shows.
#include <openssl/ssl.h>

#include <string>

namespace yux::net {

// SHA-256 of the certificate's DER form as upper-case hex pairs joined by
// ":" (the form `openssl x509 -fingerprint -sha256` prints).
std::string SslCertFingerprint(X509* cert);

// True when the peer's certificate chain leads to a certificate authority
// of the system's store (OpenSSL's default paths, so SSL_CERT_FILE and
// SSL_CERT_DIR count) and the certificate is valid for `host` (a name or an
// address).  Otherwise false with the reason in `why`.
bool SslPeerValidForHost(SSL* ssl, const std::string& host, std::string& why);

// Lines of "host:port fingerprint", written readable by the owner alone.
class TSslPinFile {
 public:
  explicit TSslPinFile(std::string path) : path_(std::move(path)) {}
  enum TResult {
    pinAdded,    // first contact: the fingerprint is now on file
    pinSame,     // the fingerprint on file
    pinChanged,  // another fingerprint is on file (in `known`)
  };
  // Looks the server up and, at first contact, records its fingerprint.
  // Raises std::runtime_error when the file cannot be read or written.
  TResult Check(const std::string& hostPort, const std::string& fingerprint, std::string& known);
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace yux::net
