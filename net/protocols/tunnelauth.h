#pragma once
// The Digest and NTLM answers of the HTTP proxy tunnel (net/socket/
// httptunnel.h), made with this library's Digest and NTLM routines.  The
// socket layer cannot reach this library, so it asks a factory for one
// authenticator per socket; RegisterHttpTunnelAuthenticators installs ours.
#include <string>

#include "net/protocols/digest.h"
#include "net/socket/httptunnel.h"

namespace yux::net {

class TunnelAuthenticator : public IHttpTunnelAuthenticator {
 public:
  // The LM compatibility level of the NTLM answers: NTLMv2.  The older
  // responses (LM, NTLMv1) would hand the proxy values from which a weak
  // password is easily recovered, and current servers refuse them.
  static constexpr int kNtlmLevel = 3;

  // Keeps the challenge (a new nonce starts the nonce count again) and says
  // whether it can be answered: a realm, MD5 or MD5-sess, qop "auth" or none.
  bool DigestParseChallenge(const std::string& value) override;
  // Raises the nonce count, then builds the answer to the kept challenge.
  std::string DigestAuthorization(const std::string& user, const std::string& password,
                                  const std::string& method, const std::string& uri) override;
  // A type-1 message without domain and workstation.
  std::string NtlmNegotiate() override;
  // A type-3 message answering the Base64 type-2 `challenge`; empty when the
  // challenge is malformed.  Without a domain in userCode the challenge's
  // domain is used, except for a user name of the form "user@domain".
  std::string NtlmAuthenticate(const std::string& challenge, const std::string& userCode,
                               const std::string& password,
                               const std::string& workstation) override;

  // The challenge as last parsed (narrowed to one algorithm and qop).
  const TAuthDigestInfo& DigestInfo() const { return digest_; }

 private:
  TAuthDigestInfo digest_;
};

// Makes every HTTP tunnel socket use TunnelAuthenticator.  Calling it again
// changes nothing.
void RegisterHttpTunnelAuthenticators();

}  // namespace yux::net
