#include "net/protocols/ntlm.h"

#include <QChar>

#include <chrono>
#include <cstring>

#include "net/hashes/des.h"
#include "net/hashes/md4.h"
#include "net/hashes/md5.h"
#include "net/protocols/mimeutils.h"
#include "net/socket/codepage.h"
#include "net/socket/netutils.h"

namespace yux::net {

namespace {

constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};

void PutU16(std::string& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}

void PutU32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint16_t GetU16(std::string_view s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                    (static_cast<std::uint8_t>(s[at + 1]) << 8));
}

std::uint32_t GetU32(std::string_view s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

// A security buffer: 16-bit length, the same again as maximum length, and
// a 32-bit offset.
void PutField(std::string& s, std::size_t at, std::size_t len, std::size_t offset) {
  PutU16(s, at, static_cast<std::uint16_t>(len));
  PutU16(s, at + 2, static_cast<std::uint16_t>(len));
  PutU32(s, at + 4, static_cast<std::uint32_t>(offset));
}

std::string AsciiUpper(std::string_view text) {
  std::string r(text);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

std::u16string Widen8(std::string_view bytes) {
  std::u16string r;
  r.reserve(bytes.size());
  for (char c : bytes) r.push_back(static_cast<char16_t>(static_cast<std::uint8_t>(c)));
  return r;
}

std::u16string FromUtf16Bytes(std::string_view bytes) {
  std::u16string r;
  r.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) r.push_back(GetU16(bytes, i));
  return r;
}

std::string ToOem(std::u16string_view text) { return NetUnicodeToAnsi(text, NTLM_OEM_CODEPAGE); }

TNtlmChallenge RandomClientChallenge() {
  TNtlmChallenge c{};
  for (int i = 0; i < 4; ++i) {
    std::uint32_t v = NetRandom(65536);
    c[2 * i] = static_cast<std::uint8_t>(v & 0xFF);
    c[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  return c;
}

std::string Bytes(const void* p, std::size_t n) {
  return std::string(static_cast<const char*>(p), n);
}

}  // namespace

// --- Text helpers ----------------------------------------------------------

std::u16string NtlmToUtf16(std::string_view text, std::uint32_t codePage) {
  if (text.empty()) return {};
  int srcLen = static_cast<int>(text.size());
  int n = NetMultiByteToWideChar(codePage, 0, text.data(), srcLen, nullptr, 0);
  if (n <= 0) return Widen8(text);  // an unusable code page: keep the bytes
  std::u16string w(static_cast<std::size_t>(n), u'\0');
  n = NetMultiByteToWideChar(codePage, 0, text.data(), srcLen, w.data(), n);
  w.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return w;
}

std::u16string NtlmUpperCase(std::u16string_view text) {
  // One unit to one unit, by the simple case mapping: a letter whose
  // capital is longer or lies outside the BMP stays, and surrogates are
  // left alone, as the acceptors upper-case names.
  std::u16string r(text);
  for (char16_t& c : r) {
    if (QChar::isSurrogate(c)) continue;
    char32_t up = QChar::toUpper(char32_t(c));
    if (up <= 0xFFFF) c = static_cast<char16_t>(up);
  }
  return r;
}

std::string NtlmUtf16Bytes(std::u16string_view text) {
  std::string r(text.size() * 2, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) PutU16(r, 2 * i, text[i]);
  return r;
}

// --- Responses ---------------------------------------------------------------

TNtlmHash NtlmLmHash(std::u16string_view password) {
  static const std::uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  std::string oem = ToOem(NtlmUpperCase(password));
  std::uint8_t key14[14] = {};
  std::memcpy(key14, oem.data(), oem.size() < 14 ? oem.size() : 14);
  TNtlmHash hash{};
  for (int half = 0; half < 2; ++half) {
    auto key = NtlmDesKey(key14 + 7 * half);
    DesEcbBlock(kMagic, hash.data() + 8 * half, key.data(), 1);
  }
  return hash;
}

TNtlmHash NtlmNtHash(std::u16string_view password) {
  std::string bytes = NtlmUtf16Bytes(password);
  Md4Context ctx;
  Md4Start(ctx);
  Md4AddData(ctx, bytes.data(), bytes.size());
  Md4Digest d;
  Md4Finish(ctx, d);
  TNtlmHash hash;
  std::memcpy(hash.data(), d.data(), 16);
  return hash;
}

std::string NtlmDesResponse(const TNtlmHash& hash, const TNtlmChallenge& challenge) {
  std::uint8_t key21[21] = {};
  std::memcpy(key21, hash.data(), 16);
  std::string out(24, '\0');
  for (int i = 0; i < 3; ++i) {
    auto key = NtlmDesKey(key21 + 7 * i);
    DesEcbBlock(challenge.data(), reinterpret_cast<std::uint8_t*>(out.data()) + 8 * i, key.data(),
                1);
  }
  return out;
}

std::string NtlmNtlm2SessionResponse(const TNtlmHash& ntHash, const TNtlmChallenge& serverChallenge,
                                     const TNtlmChallenge& clientChallenge) {
  Md5Context ctx;
  Md5Start(ctx);
  Md5AddData(ctx, serverChallenge.data(), serverChallenge.size());
  Md5AddData(ctx, clientChallenge.data(), clientChallenge.size());
  Md5Digest d;
  Md5Finish(d, ctx);
  TNtlmChallenge sessionHash;
  std::memcpy(sessionHash.data(), d.data(), 8);
  return NtlmDesResponse(ntHash, sessionHash);
}

TNtlmHash NtlmV2Key(const TNtlmHash& ntHash, std::u16string_view user, std::u16string_view domain) {
  std::u16string text = NtlmUpperCase(user);
  text.append(domain);
  std::string bytes = NtlmUtf16Bytes(text);
  Md5Digest d;
  HmacMD5(bytes.data(), bytes.size(), ntHash.data(), ntHash.size(), d);
  TNtlmHash key;
  std::memcpy(key.data(), d.data(), 16);
  return key;
}

std::string NtlmV2Blob(std::uint64_t fileTime, const TNtlmChallenge& clientChallenge,
                       std::string_view targetInfo) {
  std::string blob(28, '\0');
  blob[0] = 1;
  blob[1] = 1;
  for (int i = 0; i < 8; ++i) blob[8 + i] = static_cast<char>((fileTime >> (8 * i)) & 0xFF);
  std::memcpy(blob.data() + 16, clientChallenge.data(), 8);
  blob.append(targetInfo);
  blob.append(4, '\0');
  return blob;
}

std::string NtlmV2Response(const TNtlmHash& key, const TNtlmChallenge& serverChallenge,
                           std::string_view blob) {
  std::string data = Bytes(serverChallenge.data(), 8);
  data.append(blob);
  Md5Digest d;
  HmacMD5(data.data(), data.size(), key.data(), key.size(), d);
  std::string out = Bytes(d.data(), 16);
  out.append(blob);
  return out;
}

std::string NtlmLmV2Response(const TNtlmHash& key, const TNtlmChallenge& serverChallenge,
                             const TNtlmChallenge& clientChallenge) {
  return NtlmV2Response(key, serverChallenge, Bytes(clientChallenge.data(), 8));
}

std::uint64_t NtlmFileTimeNow() {
  using namespace std::chrono;
  auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<std::uint64_t>(since1970 / 100) + 11644473600ULL * 10000000ULL;
}

// --- Messages ----------------------------------------------------------------

void NtlmSplitDomainUser(std::string_view text, std::string& domain, std::string& user) {
  std::size_t slash = text.find('\\');
  if (slash == std::string_view::npos) {
    domain.clear();
    user.assign(text);
  } else {
    domain.assign(text.substr(0, slash));
    user.assign(text.substr(slash + 1));
  }
}

std::string NtlmBuildNegotiate(std::string_view domain, std::string_view workstation,
                               int lmCompatLevel) {
  std::string dom = AsciiUpper(domain);
  std::string ws = AsciiUpper(workstation);
  // A field's length is 16 bits: a longer one would be cut and misread.
  if (dom.size() > 0xFFFF || ws.size() > 0xFFFF) return {};
  std::uint32_t flags = NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_OEM | NTLMSSP_REQUEST_TARGET |
                        NTLMSSP_NEGOTIATE_NTLM | NTLMSSP_NEGOTIATE_ALWAYS_SIGN;
  if (lmCompatLevel == 1) flags |= NTLMSSP_NEGOTIATE_NTLM2;
  if (!dom.empty()) flags |= NTLMSSP_NEGOTIATE_OEM_DOMAIN_SUPPLIED;
  if (!ws.empty()) flags |= NTLMSSP_NEGOTIATE_OEM_WORKSTATION_SUPPLIED;

  std::string msg(32, '\0');
  std::memcpy(msg.data(), kSignature, 8);
  PutU32(msg, 8, 1);
  PutU32(msg, 12, flags);
  PutField(msg, 16, dom.size(), 32);
  PutField(msg, 24, ws.size(), 32 + dom.size());
  msg += dom;
  msg += ws;
  return EncodeBase64String(msg);
}

TNTLM_Msg2_Info NtlmParseChallenge(std::string_view base64) {
  TNTLM_Msg2_Info info;
  if (base64.empty()) return info;
  const std::string msg = DecodeBase64String(base64);
  const std::string_view m(msg);
  if (m.size() < 48) return info;
  // A message that is not an NTLM challenge at all is as malformed as a
  // short one.
  if (std::memcmp(m.data(), kSignature, 8) != 0 || GetU32(m, 8) != 2) return info;

  info.Flags = GetU32(m, 20);
  const bool unicode = (info.Flags & NTLMSSP_NEGOTIATE_UNICODE) != 0;

  const std::size_t nameLen = GetU16(m, 12);
  const std::size_t nameOff = GetU32(m, 16);
  if ((unicode && (nameLen & 1)) || nameLen >= m.size()) return info;
  if (nameLen > 0) {
    if (nameOff > m.size() || nameLen > m.size() - nameOff) return info;
    std::string_view name = m.substr(nameOff, nameLen);
    info.TargetName = unicode ? FromUtf16Bytes(name) : Widen8(name);
  }

  std::memcpy(info.Challenge.data(), m.data() + 24, 8);

  const std::size_t infoLen = GetU16(m, 40);
  const std::size_t infoOff = GetU32(m, 44);
  if (infoLen > 0 && infoOff <= m.size() && infoLen <= m.size() - infoOff)
    info.TargetInfo.assign(m.substr(infoOff, infoLen));

  const std::string_view ti(info.TargetInfo);
  std::size_t pos = 0;
  while (pos + 4 <= ti.size()) {
    const std::uint16_t type = GetU16(ti, pos);
    const std::size_t len = GetU16(ti, pos + 2);
    if (type == 0 && len == 0) break;
    if (len > ti.size() - pos - 4) break;
    if (unicode && (len & 1)) return info;  // still Valid = false
    std::string_view value = ti.substr(pos + 4, len);
    if (type == 1)
      info.ServerName = unicode ? FromUtf16Bytes(value) : Widen8(value);
    else if (type == 2)
      info.DomainName = unicode ? FromUtf16Bytes(value) : Widen8(value);
    pos += 4 + len;
  }
  info.Valid = true;
  return info;
}

std::string NtlmBuildAuthenticateBytes(std::string_view domain, std::string_view workstation,
                                       std::string_view user, int lmCompatLevel,
                                       std::uint32_t codePage, const TNTLM_Msg2_Info& info,
                                       std::string_view password,
                                       const TNtlmChallenge& clientChallenge,
                                       std::uint64_t fileTime) {
  // Answering a challenge we could not read would hand out a response to
  // a made-up challenge: send nothing instead.
  if (!info.Valid) return {};
  const bool unicode = (info.Flags & NTLMSSP_NEGOTIATE_UNICODE) != 0;
  const std::u16string user16 = NtlmToUtf16(user, codePage);
  const std::u16string domain16 = NtlmToUtf16(domain, codePage);
  const std::u16string password16 = NtlmToUtf16(password, codePage);

  std::string domainBytes, userBytes, wsBytes;
  if (unicode) {
    domainBytes = NtlmUtf16Bytes(domain16);
    userBytes = NtlmUtf16Bytes(user16);
    wsBytes = NtlmUtf16Bytes(NtlmToUtf16(workstation, codePage));
  } else {
    domainBytes.assign(domain);
    userBytes = ToOem(user16);
    wsBytes.assign(workstation);
  }

  // The NT hash is always taken over the UTF-16 password, as every
  // acceptor computes it, also when the message itself is not Unicode.
  const TNtlmHash ntHash = NtlmNtHash(password16);
  std::uint32_t flags = (unicode ? NTLMSSP_NEGOTIATE_UNICODE : NTLMSSP_NEGOTIATE_OEM) |
                        NTLMSSP_NEGOTIATE_ALWAYS_SIGN | NTLMSSP_NEGOTIATE_NTLM |
                        NTLMSSP_REQUEST_TARGET;
  std::string lm, nt;
  if (lmCompatLevel >= 3) {
    const TNtlmHash key = NtlmV2Key(ntHash, user16, domain16);
    nt =
        NtlmV2Response(key, info.Challenge, NtlmV2Blob(fileTime, clientChallenge, info.TargetInfo));
    lm = NtlmLmV2Response(key, info.Challenge, clientChallenge);
  } else if (lmCompatLevel >= 1 && (info.Flags & NTLMSSP_NEGOTIATE_NTLM2)) {
    nt = NtlmNtlm2SessionResponse(ntHash, info.Challenge, clientChallenge);
    lm = Bytes(clientChallenge.data(), 8);
    lm.append(16, '\0');
    flags |= NTLMSSP_NEGOTIATE_NTLM2;
  } else {
    nt = NtlmDesResponse(ntHash, info.Challenge);
    lm = lmCompatLevel == 2 ? nt : NtlmDesResponse(NtlmLmHash(password16), info.Challenge);
  }

  // A field's length has 16 bits: a longer value cannot be sent, and a
  // wrapped length would describe other bytes than those that follow.
  for (const std::string* field : {&domainBytes, &userBytes, &wsBytes, &lm, &nt})
    if (field->size() > 0xFFFF) return {};

  std::string msg(64, '\0');
  std::memcpy(msg.data(), kSignature, 8);
  PutU32(msg, 8, 3);
  std::size_t at = 64;
  PutField(msg, 28, domainBytes.size(), at);
  at += domainBytes.size();
  PutField(msg, 36, userBytes.size(), at);
  at += userBytes.size();
  PutField(msg, 44, wsBytes.size(), at);
  at += wsBytes.size();
  PutField(msg, 12, lm.size(), at);
  at += lm.size();
  PutField(msg, 20, nt.size(), at);
  at += nt.size();
  PutField(msg, 52, 0, at);
  PutU32(msg, 60, flags);
  msg += domainBytes;
  msg += userBytes;
  msg += wsBytes;
  msg += lm;
  msg += nt;
  return msg;
}

std::string NtlmBuildAuthenticate(std::string_view domain, std::string_view workstation,
                                  std::string_view user, int lmCompatLevel, std::uint32_t codePage,
                                  const TNTLM_Msg2_Info& info, std::string_view password) {
  if (!info.Valid) return {};
  std::string msg =
      NtlmBuildAuthenticateBytes(domain, workstation, user, lmCompatLevel, codePage, info, password,
                                 RandomClientChallenge(), NtlmFileTimeNow());
  if (msg.empty()) return {};
  return EncodeBase64String(msg);
}

std::string NtlmBuildChallengeBytes(std::uint32_t flags, const TNtlmChallenge& challenge,
                                    std::u16string_view targetName, std::string_view targetInfo) {
  const std::string name = (flags & NTLMSSP_NEGOTIATE_UNICODE) ? NtlmUtf16Bytes(targetName)
                                                               : NetUnicodeToAnsi(targetName, 0);
  if (name.size() > 0xFFFF || targetInfo.size() > 0xFFFF) return {};
  std::string msg(48, '\0');
  std::memcpy(msg.data(), kSignature, 8);
  PutU32(msg, 8, 2);
  PutField(msg, 12, name.size(), 48);
  PutU32(msg, 20, flags);
  std::memcpy(msg.data() + 24, challenge.data(), 8);
  PutField(msg, 40, targetInfo.size(), 48 + name.size());
  msg += name;
  msg.append(targetInfo);
  return msg;
}

std::string NtlmBuildTargetInfo(std::u16string_view domainName, std::u16string_view serverName) {
  if (domainName.size() > 0x7FFF || serverName.size() > 0x7FFF) return {};
  std::string ti;
  auto item = [&ti](std::uint16_t type, std::u16string_view value) {
    std::string v = NtlmUtf16Bytes(value);
    std::string head(4, '\0');
    PutU16(head, 0, type);
    PutU16(head, 2, static_cast<std::uint16_t>(v.size()));
    ti += head;
    ti += v;
  };
  item(2, domainName);
  item(1, serverName);
  ti.append(4, '\0');
  return ti;
}

}  // namespace yux::net
