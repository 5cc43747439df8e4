#include "net/protocols/tunnelauth.h"

#include <memory>

#include "net/protocols/ntlm.h"
#include "net/socket/codepage.h"

namespace yux::net {

bool TunnelAuthenticator::DigestParseChallenge(const std::string& value) {
  const std::string previousNonce = digest_.Nonce;
  ::yux::net::DigestParseChallenge(value, digest_);
  // The nonce count counts the requests made with one nonce: a proxy that
  // hands out a new nonce expects the count to start at 1 again.
  if (digest_.Nonce != previousNonce) digest_.Nc = 0;
  return DigestHasOption(digest_);
}

std::string TunnelAuthenticator::DigestAuthorization(const std::string& user,
                                                     const std::string& password,
                                                     const std::string& method,
                                                     const std::string& uri) {
  ++digest_.Nc;
  return DigestBuildAuthorization(user, password, uri, digest_, method);
}

std::string TunnelAuthenticator::NtlmNegotiate() { return NtlmBuildNegotiate("", "", kNtlmLevel); }

std::string TunnelAuthenticator::NtlmAuthenticate(const std::string& challenge,
                                                  const std::string& userCode,
                                                  const std::string& password,
                                                  const std::string& workstation) {
  const TNTLM_Msg2_Info info = NtlmParseChallenge(challenge);
  if (!info.Valid) return {};
  std::string domain, user;
  NtlmSplitDomainUser(userCode, domain, user);
  if (domain.empty() && user.find('@') == std::string::npos) {
    // The NetBIOS domain of the target information names the account
    // database; a server that sends none names it in the target name.
    const std::u16string& named = info.DomainName.empty() ? info.TargetName : info.DomainName;
    domain = NetUnicodeToAnsi(named, CP_ACP);
  }
  return NtlmBuildAuthenticate(domain, workstation, user, kNtlmLevel, CP_ACP, info, password);
}

void RegisterHttpTunnelAuthenticators() {
  SetHttpTunnelAuthenticatorFactory(
      []() -> std::unique_ptr<IHttpTunnelAuthenticator> {
        return std::make_unique<TunnelAuthenticator>();
      });
}

}  // namespace yux::net
