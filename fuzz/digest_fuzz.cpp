// HTTP Digest authentication headers.  The first byte picks the side:
//  0: a WWW-Authenticate value from a server, read and answered by the
//     client;
//  1: an Authorization value from a client, read by our server;
//  2: our server and the client agreeing: the rest holds realm, user,
//     password, URI and domain lines; plain texts must log in.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "net/protocols/digest.h"

using namespace yux;
using namespace yux::net;

namespace {

constexpr std::uint64_t kServerKey = 0x5EC2E7ULL;

// Printable ASCII without the quote and backslash a quoted value would
// have to escape.
bool Plain(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return false;
  return true;
}

void Client(std::string_view value, uint8_t prefs) {
  TAuthDigestInfo info;
  DigestParseChallenge(value, info);
  const int algorithm = (prefs & 1) ? DigestOptMD5Sess : DigestOptMD5;
  const int qop = (prefs & 2) ? DigestOptAuthInt : DigestOptAuth;
  if (!DigestHasOption(info, algorithm, qop)) return;
  info.Nc = 1;
  const std::string answer =
      DigestBuildAuthorizationCNonce("user", "secret", "/index.html", info, "GET", {}, "0a4f113b");
  YUX_FUZZ_CHECK(!answer.empty(), "no answer to an answerable challenge");
}

void Server(std::string_view value) {
  TDigestAuthorization auth;
  if (!DigestParseAuthorization(value, auth)) return;
  YUX_FUZZ_CHECK(!auth.User.empty() && !auth.Nonce.empty(), std::string(value));
  (void)DigestCheckNonce(auth.Nonce, kServerKey, auth.Realm, auth.Opaque);
}

void Agreement(std::string_view rest, uint8_t prefs) {
  const std::string realm(fuzz::NextLine(rest));
  const std::string user(fuzz::NextLine(rest));
  const std::string password(fuzz::NextLine(rest));
  const std::string uri(fuzz::NextLine(rest));
  const std::string domain(fuzz::NextLine(rest));
  if (realm.empty() || user.empty() || !Plain(realm) || !Plain(user) || !Plain(uri) || !Plain(domain))
    return;

  std::string opaque, nonce;
  const auto qop = (prefs & 1) ? daBoth : daAuth;
  const std::string challenge =
      DigestBuildChallenge(qop, kServerKey, realm, opaque, nonce, prefs & 2, domain);
  TAuthDigestInfo info;
  DigestParseChallenge("Digest " + challenge, info);
  YUX_FUZZ_CHECK(info.Realm == realm && info.Nonce == nonce && info.Opaque == opaque, challenge);
  YUX_FUZZ_CHECK(info.Domain == domain, challenge);
  YUX_FUZZ_CHECK(DigestHasOption(info), challenge);
  info.Nc = 1;
  const std::string answer =
      DigestBuildAuthorizationCNonce(user, password, uri, info, "GET", {}, "0a4f113b");

  TDigestAuthorization auth;
  YUX_FUZZ_CHECK(DigestParseAuthorization(answer, auth), answer);
  YUX_FUZZ_CHECK(auth.User == user && auth.Realm == realm && auth.Nonce == nonce &&
                     auth.Uri == uri && auth.Opaque == opaque,
                 answer);
  YUX_FUZZ_CHECK(DigestCheckNonce(auth.Nonce, kServerKey, auth.Realm, auth.Opaque), answer);
  const std::string ha1 =
      DigestComputeHA1(auth.Algorithm, auth.User, auth.Realm, password, auth.Nonce, auth.CNonce);
  const std::string expected = DigestComputeResponse(ha1, auth.Nonce, auth.Nc, auth.CNonce, auth.Qop,
                                                     "GET", auth.Uri, {});
  YUX_FUZZ_CHECK(expected == auth.Response, answer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 16384) return 0;
  const uint8_t mode = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (mode % 3) {
    case 0:
      Client(rest, mode >> 2);
      break;
    case 1:
      Server(rest);
      break;
    default:
      Agreement(rest, mode >> 2);
      break;
  }
  return 0;
}
