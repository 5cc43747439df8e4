#pragma once
// NTLM messages (negotiate, challenge, authenticate) and the responses they
// carry: LM, NTLMv1, NTLM2 session and NTLMv2.  The messages travel as
// Base64 text in HTTP headers and SMTP commands; the response routines are
// shared by the client side and by our own acceptor (ntlmauthsession.h).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::net {

// Negotiation flags used here.
inline constexpr std::uint32_t NTLMSSP_NEGOTIATE_UNICODE = 0x00000001;
inline constexpr std::uint32_t NTLMSSP_NEGOTIATE_OEM = 0x00000002;
inline constexpr std::uint32_t NTLMSSP_REQUEST_TARGET = 0x00000004;
inline constexpr std::uint32_t NTLMSSP_NEGOTIATE_NTLM = 0x00000200;
inline constexpr std::uint32_t NTLMSSP_NEGOTIATE_OEM_DOMAIN_SUPPLIED = 0x00001000;
inline constexpr std::uint32_t NTLMSSP_NEGOTIATE_OEM_WORKSTATION_SUPPLIED = 0x00002000;
inline constexpr std::uint32_t NTLMSSP_NEGOTIATE_ALWAYS_SIGN = 0x00008000;
inline constexpr std::uint32_t NTLMSSP_TARGET_TYPE_DOMAIN = 0x00010000;
inline constexpr std::uint32_t NTLMSSP_NEGOTIATE_NTLM2 = 0x00080000;
inline constexpr std::uint32_t NTLMSSP_NEGOTIATE_TARGET_INFO = 0x00800000;
inline constexpr std::uint32_t NTLMSSP_NEGOTIATE_128 = 0x20000000;
inline constexpr std::uint32_t NTLMSSP_NEGOTIATE_56 = 0x80000000;

// The OEM character set of user names and LM passwords in messages that do
// not use Unicode.
inline constexpr std::uint32_t NTLM_OEM_CODEPAGE = 437;

using TNtlmHash = std::array<std::uint8_t, 16>;
using TNtlmChallenge = std::array<std::uint8_t, 8>;

// What a type-2 (challenge) message says.
struct TNTLM_Msg2_Info {
  bool Valid = false;
  std::u16string TargetName;
  std::u16string ServerName;  // NetBIOS server name, target-information item 1
  std::u16string DomainName;  // NetBIOS domain name, target-information item 2
  TNtlmChallenge Challenge{};
  std::uint32_t Flags = 0;
  std::string TargetInfo;  // raw target-information bytes
};

// "DOMAIN\user" split at the first backslash; without one the domain is
// empty and the whole text is the user.
void NtlmSplitDomainUser(std::string_view text, std::string& domain, std::string& user);

// Base64 type-1 message.  Domain and workstation are sent upper-cased as
// 8-bit text; level 1 also asks for NTLM2 session security.  Empty when a
// name exceeds the 65535 bytes its length can describe.
std::string NtlmBuildNegotiate(std::string_view domain, std::string_view workstation,
                               int lmCompatLevel);

// Parses a Base64 type-2 message.  Anything malformed gives Valid = false.
TNTLM_Msg2_Info NtlmParseChallenge(std::string_view base64);

// Base64 type-3 message answering `info`; empty when info is not valid or
// when a field (domain, user, workstation, a response) would exceed the
// 65535 bytes its length can describe.
// Domain, workstation, user and password are text in `codePage` (0: the
// system code page).  Level 0: LM and NTLMv1; levels 1 and 2: NTLM2 session
// response when the server offers it, else NTLMv1 (level 2 sends the NT
// response in both fields); level 3 and above: NTLMv2.
std::string NtlmBuildAuthenticate(std::string_view domain, std::string_view workstation,
                                  std::string_view user, int lmCompatLevel, std::uint32_t codePage,
                                  const TNTLM_Msg2_Info& info, std::string_view password);
// The same as raw bytes with the client challenge and the time given, so
// that the message is reproducible.
std::string NtlmBuildAuthenticateBytes(std::string_view domain, std::string_view workstation,
                                       std::string_view user, int lmCompatLevel,
                                       std::uint32_t codePage, const TNTLM_Msg2_Info& info,
                                       std::string_view password,
                                       const TNtlmChallenge& clientChallenge,
                                       std::uint64_t fileTime);

// Raw type-2 message as an acceptor issues it: the target name is sent as
// UTF-16 when `flags` has NTLMSSP_NEGOTIATE_UNICODE, else as 8-bit text.
// Empty when the name or the target information exceeds 65535 bytes.
std::string NtlmBuildChallengeBytes(std::uint32_t flags, const TNtlmChallenge& challenge,
                                    std::u16string_view targetName, std::string_view targetInfo);
// Target information holding the NetBIOS domain (item 2) and server
// (item 1) names, ended by the terminating item; empty when a name exceeds
// the 65535 bytes an item's length can describe.
std::string NtlmBuildTargetInfo(std::u16string_view domainName, std::u16string_view serverName);

// --- Responses -----------------------------------------------------------

// Text in a code page as UTF-16 (0: the system code page).
std::u16string NtlmToUtf16(std::string_view text, std::uint32_t codePage);
// Upper case as NTLM compares names: ASCII, Latin-1, Greek and Cyrillic.
std::u16string NtlmUpperCase(std::u16string_view text);
// UTF-16 as little-endian bytes.
std::string NtlmUtf16Bytes(std::u16string_view text);

// LM hash: the password upper-cased in the OEM character set, cut to 14
// bytes and zero-padded, used as two DES keys over "KGS!@#$%".
TNtlmHash NtlmLmHash(std::u16string_view password);
// NT hash: MD4 of the UTF-16LE password.
TNtlmHash NtlmNtHash(std::u16string_view password);
// Three DES encryptions of the 8-byte challenge with the 21-byte
// zero-padded hash (the LM and NTLMv1 responses).
std::string NtlmDesResponse(const TNtlmHash& hash, const TNtlmChallenge& challenge);
// NTLM2 session response: the DES response to the first 8 bytes of
// MD5(server challenge + client challenge).
std::string NtlmNtlm2SessionResponse(const TNtlmHash& ntHash, const TNtlmChallenge& serverChallenge,
                                     const TNtlmChallenge& clientChallenge);
// NTLMv2 key: HMAC-MD5 under the NT hash of UTF-16LE(upper-cased user +
// domain).
TNtlmHash NtlmV2Key(const TNtlmHash& ntHash, std::u16string_view user, std::u16string_view domain);
// The NTLMv2 blob: 01 01, six zero bytes, the FILETIME, the client
// challenge, four zero bytes, the target information, four zero bytes.
std::string NtlmV2Blob(std::uint64_t fileTime, const TNtlmChallenge& clientChallenge,
                       std::string_view targetInfo);
// HMAC-MD5(key, server challenge + blob) followed by the blob.
std::string NtlmV2Response(const TNtlmHash& key, const TNtlmChallenge& serverChallenge,
                           std::string_view blob);
// HMAC-MD5(key, server challenge + client challenge) followed by the client
// challenge.
std::string NtlmLmV2Response(const TNtlmHash& key, const TNtlmChallenge& serverChallenge,
                             const TNtlmChallenge& clientChallenge);

// The current time as a Windows FILETIME: 100 ns units since 1601-01-01,
// (Unix seconds + 11644473600) x 10^7.
std::uint64_t NtlmFileTimeNow();

}  // namespace yux::net
