#include "net/protocols/ntlmauthsession.h"

#include <cstring>
#include <random>

#include "net/protocols/mimeutils.h"
#include "net/socket/codepage.h"
#include "net/socket/netresolve.h"

namespace yux::net {

namespace {

constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
constexpr std::size_t kMaxNameBytes = 512;

std::uint16_t GetU16(std::string_view s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                    (static_cast<std::uint8_t>(s[at + 1]) << 8));
}

std::uint32_t GetU32(std::string_view s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

// The bytes of the security buffer described at `at`; false when the
// buffer lies outside the message.
bool GetField(std::string_view msg, std::size_t at, std::string_view& out) {
  out = {};
  if (at + 8 > msg.size()) return false;
  const std::size_t len = GetU16(msg, at);
  const std::size_t off = GetU32(msg, at + 4);
  if (len == 0) return true;
  if (off > msg.size() || len > msg.size() - off) return false;
  out = msg.substr(off, len);
  return true;
}

std::u16string FromUtf16Bytes(std::string_view bytes) {
  std::u16string r;
  r.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) r.push_back(GetU16(bytes, i));
  return r;
}

bool SameBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;  // no early exit: the time taken says nothing
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// The NetBIOS form of this computer's name: its first label, upper-cased,
// at most 15 characters.
std::u16string NetBiosComputerName() {
  std::string name;
  try {
    name = LocalComputerName();
  } catch (...) {
    name.clear();
  }
  name = name.substr(0, name.find('.'));
  if (name.size() > 15) name.resize(15);
  if (name.empty()) name = "YUX";
  return NtlmUpperCase(NtlmToUtf16(name, 0));
}

TNtlmChallenge RandomServerChallenge() {
  std::random_device rd;  // the system's random source, not a seeded generator
  TNtlmChallenge c{};
  for (std::size_t i = 0; i < c.size(); i += 4) {
    std::uint32_t v = rd();
    for (std::size_t k = 0; k < 4; ++k) c[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  return c;
}

}  // namespace

void TNtlmAuthSession::Reset() {
  FState = AuthIdle;
  FChallenge = {};
  FChallengeFlags = 0;
  FUser.clear();
  FDomain.clear();
  FHost.clear();
}

void TNtlmAuthSession::ReleaseContext() {
  FChallenge = {};
  FChallengeFlags = 0;
}

void TNtlmAuthSession::Fail(std::int32_t status) {
  FLastStatus = status;
  FState = AuthFailed;
  ReleaseContext();
}

bool TNtlmAuthSession::ProcessMessage(std::string_view base64) {
  FNtlmMessage.clear();
  if (base64.empty()) {
    Reset();
    return false;
  }
  const std::string msg = DecodeBase64String(base64);
  if (msg.empty()) {
    Fail(SEC_E_INVALID_TOKEN);
    return false;
  }
  const std::uint32_t type = msg.size() >= 32 ? GetU32(msg, 8) : 0;
  if (type != 3 || FState != AuthChallengeSent) {
    Reset();
    IssueChallenge(msg);
  } else {
    CheckAuthenticate(msg);
  }
  return FState == AuthSucceeded;
}

void TNtlmAuthSession::IssueChallenge(std::string_view negotiate) {
  // Only a negotiate message opens a context; anything else (a type-3
  // message out of turn included) is an invalid token.
  if (negotiate.size() < 16 || std::memcmp(negotiate.data(), kSignature, 8) != 0 ||
      GetU32(negotiate, 8) != 1) {
    Fail(SEC_E_INVALID_TOKEN);
    return;
  }
  const std::uint32_t asked = GetU32(negotiate, 12);
  std::uint32_t flags = NTLMSSP_REQUEST_TARGET | NTLMSSP_NEGOTIATE_NTLM |
                        NTLMSSP_TARGET_TYPE_DOMAIN | NTLMSSP_NEGOTIATE_TARGET_INFO;
  flags |= (asked & NTLMSSP_NEGOTIATE_UNICODE) ? NTLMSSP_NEGOTIATE_UNICODE : NTLMSSP_NEGOTIATE_OEM;
  flags |= asked & (NTLMSSP_NEGOTIATE_ALWAYS_SIGN | NTLMSSP_NEGOTIATE_NTLM2 |
                    NTLMSSP_NEGOTIATE_128 | NTLMSSP_NEGOTIATE_56);

  const std::u16string name = NetBiosComputerName();
  FChallenge = RandomServerChallenge();
  FChallengeFlags = flags;
  FNtlmMessage = EncodeBase64String(
      NtlmBuildChallengeBytes(flags, FChallenge, name, NtlmBuildTargetInfo(name, name)));
  FLastStatus = SEC_I_CONTINUE_NEEDED;
  FState = AuthChallengeSent;
}

void TNtlmAuthSession::CheckAuthenticate(std::string_view msg) {
  if (msg.size() < 52 || std::memcmp(msg.data(), kSignature, 8) != 0) {
    Fail(SEC_E_INVALID_TOKEN);
    return;
  }
  const std::uint32_t flags = msg.size() >= 64 ? GetU32(msg, 60) : 0;
  const bool unicode = (flags & NTLMSSP_NEGOTIATE_UNICODE) != 0;

  std::u16string user16, domain16;
  auto takeName = [&](std::size_t at, std::string& text, std::u16string* wide) {
    text.clear();
    std::string_view raw;
    if (!GetField(msg, at, raw) || raw.empty() || raw.size() > kMaxNameBytes) return;
    if (unicode) {
      std::u16string w = FromUtf16Bytes(raw);
      text = NetUnicodeToAnsi(w, 0);
      if (wide) *wide = std::move(w);
    } else {
      text.assign(raw);
      if (wide) *wide = NtlmToUtf16(raw, NTLM_OEM_CODEPAGE);
    }
  };
  takeName(36, FUser, &user16);
  takeName(28, FDomain, &domain16);
  takeName(44, FHost, nullptr);

  if (OnBeforeAccept) {
    bool allow = true;
    OnBeforeAccept(*this, allow);
    if (!allow) {
      Fail(SEC_E_LOGON_DENIED);
      return;
    }
  }

  if (!ResponseMatches(msg, user16, domain16)) {
    Fail(SEC_E_LOGON_DENIED);
    return;
  }
  FLastStatus = SEC_E_OK;
  FState = AuthSucceeded;
  ReleaseContext();
}

bool TNtlmAuthSession::ResponseMatches(std::string_view msg, std::u16string_view user16,
                                       std::u16string_view domain16) {
  // An anonymous answer (no user, empty responses) never logs anybody in.
  if (user16.empty() || !OnAuthGetPassword) return false;
  std::string_view lm, nt;
  if (!GetField(msg, 12, lm) || !GetField(msg, 20, nt)) return false;

  std::string password;
  OnAuthGetPassword(*this, password);
  const TNtlmHash ntHash = NtlmNtHash(NtlmToUtf16(password, 0));

  if (nt.size() == 24) {
    if (SameBytes(nt, NtlmDesResponse(ntHash, FChallenge))) return true;
    if ((FChallengeFlags & NTLMSSP_NEGOTIATE_NTLM2) && lm.size() == 24) {
      TNtlmChallenge clientChallenge;
      std::memcpy(clientChallenge.data(), lm.data(), 8);
      return SameBytes(nt, NtlmNtlm2SessionResponse(ntHash, FChallenge, clientChallenge));
    }
    return false;
  }
  // NTLMv2: a 16-byte proof followed by a blob of at least 28 bytes.
  if (nt.size() >= 16 + 28) {
    const std::string_view blob = nt.substr(16);
    const TNtlmHash key = NtlmV2Key(ntHash, user16, domain16);
    const std::string expected = NtlmV2Response(key, FChallenge, blob);
    return SameBytes(nt.substr(0, 16), std::string_view(expected).substr(0, 16));
  }
  return false;
}

}  // namespace yux::net
