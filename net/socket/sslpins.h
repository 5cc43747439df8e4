#pragma once
// Who answered a TLS handshake: whether a certificate authority of the
// system vouches for the server's certificate under the name the client
// asked for, and the certificate's SHA-256 fingerprint.
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

}  // namespace yux::net
