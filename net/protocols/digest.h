#pragma once
// HTTP Digest access authentication (MD5 and MD5-sess, qop "auth"; the
// "auth-int" hash is computed but never answered) for clients and servers.
// Stateless routines over strings: callers keep the challenge record and
// the nonce count.
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::net {

// The option table: algorithms first, then qop values.
enum : int { DigestOptMD5 = 0, DigestOptMD5Sess = 1, DigestOptAuth = 2, DigestOptAuthInt = 3 };
std::string_view DigestOptionName(int index);

// The qop a server offers in its challenge.
enum TAuthDigestMethod { daAuth = 0, daAuthInt = 1, daBoth = 2 };

// One Digest challenge as a client sees it.
struct TAuthDigestInfo {
  int Nc = 0;  // nonce count, raised by the caller before each request
  std::string Realm;
  std::string Qop;
  std::string Algorithm;
  std::string Nonce;
  std::string Opaque;
  std::string Domain;
  bool Stale = false;
};

// The fields of an Authorization value as a server reads them.
struct TDigestAuthorization {
  std::string User;
  std::string Realm;
  std::string Qop;
  std::string Algorithm;
  std::string Nonce;
  std::string Nc;
  std::string CNonce;
  std::string Uri;
  std::string Response;
  std::string Opaque;
  double NonceTime = 0;  // creation time carried by the nonce
};

// MD5 of the bytes as 32 lower-case hex characters.
std::string DigestMD5Hex(std::string_view text);

// HA1 = MD5(user ":" realm ":" password); with "MD5-sess" (exactly so
// spelt) MD5 again of those 16 raw digest bytes, ":" nonce ":" cnonce.
std::string DigestComputeHA1(std::string_view algorithm, std::string_view user,
                             std::string_view realm, std::string_view password,
                             std::string_view nonce, std::string_view cnonce);
// The response for a request; `entityHash` counts only with qop "auth-int".
std::string DigestComputeResponse(std::string_view ha1, std::string_view nonce, std::string_view nc,
                                  std::string_view cnonce, std::string_view qop,
                                  std::string_view method, std::string_view uri,
                                  std::string_view entityHash);

// Reads the fields of a WWW-Authenticate or Proxy-Authenticate Digest value
// (the "Digest" word before them may be present).  Nc is left alone.
void DigestParseChallenge(std::string_view value, TAuthDigestInfo& info);
// Narrows comma-separated algorithm and qop lists to one item (the
// preferred one when the list is "other,preferred") and says whether the
// challenge can be answered: a realm, MD5 or MD5-sess, qop empty or "auth".
bool DigestHasOption(TAuthDigestInfo& info, int preferredAlgorithm = DigestOptMD5,
                     int preferredQop = DigestOptAuth);

// The Authorization (or Proxy-Authorization) value after "Digest " for the
// request; with a qop the nonce count and a random cnonce are sent.
std::string DigestBuildAuthorization(std::string_view user, std::string_view password,
                                     std::string_view uri, const TAuthDigestInfo& info,
                                     std::string_view method, std::string_view entityHash = {});
// The same with the cnonce given.
std::string DigestBuildAuthorizationCNonce(std::string_view user, std::string_view password,
                                           std::string_view uri, const TAuthDigestInfo& info,
                                           std::string_view method, std::string_view entityHash,
                                           std::string_view cnonce);

// A server nonce: Base64 of the creation time (8 bytes, a date-time as
// DigestDateTimeNow gives it) and MD5(server key + realm + those 8 bytes +
// opaque).  32 characters.
std::string DigestMakeNonce(std::uint64_t serverKey, std::string_view realm,
                            std::string_view opaque, double time);
// The WWW-Authenticate value after "Digest ": realm, qop, a fresh nonce and
// a fresh random opaque (both also handed back), then stale and domain when
// asked for.
std::string DigestBuildChallenge(TAuthDigestMethod qop, std::uint64_t serverKey,
                                 std::string_view realm, std::string& opaque, std::string& nonce,
                                 bool stale, std::string_view domain = {});

// Reads an Authorization value (after "Digest ").  False without username
// or nonce, with a qop but without cnonce or nc, or when the nonce is not
// one of ours in form (24 bytes) or carries a time that is not in the past.
// The nonce's age, its MD5 part and the response are the caller's to check.
bool DigestParseAuthorization(std::string_view value, TDigestAuthorization& out);
// True when the nonce's MD5 part matches the server key, realm and opaque
// it was made with.
bool DigestCheckNonce(std::string_view nonce, std::uint64_t serverKey, std::string_view realm,
                      std::string_view opaque);

// Now as a date-time: days since 1899-12-30 with the time of day as the
// fraction, on the UTC clock so that a change of the local offset never
// makes a nonce look older or newer than it is.
double DigestDateTimeNow();

}  // namespace yux::net
