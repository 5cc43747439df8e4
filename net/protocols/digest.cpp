#include "net/protocols/digest.h"

#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "net/hashes/md5.h"
#include "net/protocols/mimeutils.h"
#include "net/socket/netutils.h"

namespace yux::net {

namespace {

constexpr std::string_view kOptions[4] = {"MD5", "MD5-sess", "auth", "auth-int"};
// 1 January of the year 100, the smallest date-time value.
constexpr double kMinDateTime = -657434.0;

// The value between double quotes, its double quotes and backslashes
// escaped with a backslash.
std::string QuotedString(std::string_view text) {
  std::string r = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') r.push_back('\\');
    r.push_back(c);
  }
  r.push_back('"');
  return r;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The name=value items of a challenge or Authorization value.  A value is
// either quoted (to the next double quote) or runs to the next comma.
// Reading the items one after another, rather than searching the text for
// a name, keeps "nonce" from being found inside "cnonce" or inside a
// quoted value.
class TDigestParams {
 public:
  explicit TDigestParams(std::string_view v) {
    std::size_t pos = 0;
    const std::size_t n = v.size();
    while (pos < n) {
      while (pos < n && (IsBlank(v[pos]) || v[pos] == ',')) ++pos;
      const std::size_t start = pos;
      while (pos < n && v[pos] != '=' && v[pos] != ',' && !IsBlank(v[pos])) ++pos;
      Item item;
      item.name = v.substr(start, pos - start);
      std::size_t look = pos;
      while (look < n && IsBlank(v[look])) ++look;
      if (look < n && v[look] == '=') {
        pos = look + 1;
        while (pos < n && IsBlank(v[pos])) ++pos;
        if (pos < n && v[pos] == '"') {
          pos = ReadQuoted(v, pos + 1, item.value);
          item.quoted = true;
        } else {
          const std::size_t comma = v.find(',', pos);
          const std::size_t end = comma == std::string_view::npos ? n : comma;
          item.value = Trim(v.substr(pos, end - pos));
          pos = end;
        }
        item.hasValue = true;
      }
      if (!item.name.empty()) FItems.push_back(item);
      if (pos == start) ++pos;  // a stray "=": step over it
    }
  }

  // A value that must be quoted; an unquoted one counts as absent.
  bool Quoted(std::string_view name, std::string& out) const {
    const Item* item = Find(name);
    if (!item || !item->quoted) {
      out.clear();
      return false;
    }
    out.assign(item->value);
    return true;
  }
  // A value quoted or not.
  bool Any(std::string_view name, std::string& out) const {
    const Item* item = Find(name);
    if (!item || !item->hasValue) {
      out.clear();
      return false;
    }
    out.assign(item->value);
    return true;
  }

 private:
  // The quoted value starting at pos (after its opening quote) into out;
  // returns the position after the closing quote.  A backslash escapes a
  // double quote or a backslash; before any other character it is kept,
  // as senders that never escape write it.
  static std::size_t ReadQuoted(std::string_view v, std::size_t pos, std::string& out) {
    out.clear();
    while (pos < v.size() && v[pos] != '"') {
      if (v[pos] == '\\' && pos + 1 < v.size() && (v[pos + 1] == '"' || v[pos + 1] == '\\')) ++pos;
      out.push_back(v[pos++]);
    }
    return pos < v.size() ? pos + 1 : pos;
  }

  struct Item {
    std::string_view name;
    std::string value;
    bool quoted = false;
    bool hasValue = false;
  };
  const Item* Find(std::string_view name) const {
    for (const Item& item : FItems)
      if (item.name == name) return &item;
    return nullptr;
  }
  std::vector<Item> FItems;
};

// "a,b": the first item, unless it is not the preferred one and the rest
// is exactly the preferred one.
void Narrow(std::string& text, std::string_view preferred) {
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos) return;
  const std::string_view all(text);
  const std::string_view first = Trim(all.substr(0, comma));
  const std::string_view rest = Trim(all.substr(comma + 1));
  text = std::string(first != preferred && rest == preferred ? preferred : first);
}

std::string Hex8(std::uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

std::string LittleEndian8(std::uint64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

std::uint64_t FromLittleEndian8(std::string_view s) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(s[i]);
  return v;
}

Md5Digest NonceDigest(std::uint64_t serverKey, std::string_view realm, std::string_view timeBytes,
                      std::string_view opaque) {
  Md5Context ctx;
  Md5Start(ctx);
  Md5AddText(ctx, LittleEndian8(serverKey));
  Md5AddText(ctx, realm);
  Md5AddText(ctx, timeBytes);
  Md5AddText(ctx, opaque);
  Md5Digest d;
  Md5Finish(d, ctx);
  return d;
}

}  // namespace

std::string_view DigestOptionName(int index) {
  return index >= 0 && index < 4 ? kOptions[index] : std::string_view();
}

std::string DigestMD5Hex(std::string_view text) {
  Md5Context ctx;
  Md5Start(ctx);
  Md5AddText(ctx, text);
  Md5Digest d;
  Md5Finish(d, ctx);
  return Md5DigestAsHex(d);
}

std::string DigestComputeHA1(std::string_view algorithm, std::string_view user,
                             std::string_view realm, std::string_view password,
                             std::string_view nonce, std::string_view cnonce) {
  Md5Context ctx;
  Md5Start(ctx);
  Md5AddText(ctx, user);
  Md5AddText(ctx, ":");
  Md5AddText(ctx, realm);
  Md5AddText(ctx, ":");
  Md5AddText(ctx, password);
  Md5Digest d;
  Md5Finish(d, ctx);
  if (algorithm == "MD5-sess") {
    Md5Start(ctx);
    Md5AddDigest(ctx, d);
    Md5AddText(ctx, ":");
    Md5AddText(ctx, nonce);
    Md5AddText(ctx, ":");
    Md5AddText(ctx, cnonce);
    Md5Finish(d, ctx);
  }
  return Md5DigestAsHex(d);
}

std::string DigestComputeResponse(std::string_view ha1, std::string_view nonce, std::string_view nc,
                                  std::string_view cnonce, std::string_view qop,
                                  std::string_view method, std::string_view uri,
                                  std::string_view entityHash) {
  std::string a2;
  a2.append(method).append(":").append(uri);
  if (qop == "auth-int") a2.append(":").append(entityHash);
  const std::string ha2 = DigestMD5Hex(a2);
  std::string all;
  all.append(ha1).append(":").append(nonce).append(":");
  if (!qop.empty()) all.append(nc).append(":").append(cnonce).append(":").append(qop).append(":");
  all.append(ha2);
  return DigestMD5Hex(all);
}

void DigestParseChallenge(std::string_view value, TAuthDigestInfo& info) {
  const TDigestParams params(value);
  params.Quoted("realm", info.Realm);
  params.Quoted("domain", info.Domain);
  params.Quoted("nonce", info.Nonce);
  params.Quoted("opaque", info.Opaque);
  params.Any("algorithm", info.Algorithm);
  params.Any("qop", info.Qop);
  std::string stale;
  params.Any("stale", stale);
  info.Stale = EqualsNoCase(stale, "true");
}

namespace {

// A line break inside a header value would end the header and let the
// rest pass as headers of its own: such a value is never sent.
bool Sendable(std::string_view item) { return item.find_first_of("\r\n") == std::string_view::npos; }

// The challenge's fields that an answer carries back.
bool ChallengeSendable(const TAuthDigestInfo& info) {
  for (std::string_view item : {std::string_view(info.Realm), std::string_view(info.Nonce),
                                std::string_view(info.Opaque), std::string_view(info.Qop),
                                std::string_view(info.Algorithm)})
    if (!Sendable(item)) return false;
  return true;
}

}  // namespace

bool DigestHasOption(TAuthDigestInfo& info, int preferredAlgorithm, int preferredQop) {
  Narrow(info.Algorithm, DigestOptionName(preferredAlgorithm));
  Narrow(info.Qop, DigestOptionName(preferredQop));
  if (info.Realm.empty()) return false;
  // A challenge whose answer could not be sent is no option either.
  if (!ChallengeSendable(info)) return false;
  if (!info.Algorithm.empty() && info.Algorithm != kOptions[DigestOptMD5] &&
      info.Algorithm != kOptions[DigestOptMD5Sess])
    return false;
  return info.Qop.empty() || info.Qop == kOptions[DigestOptAuth];
}

std::string DigestBuildAuthorizationCNonce(std::string_view user, std::string_view password,
                                           std::string_view uri, const TAuthDigestInfo& info,
                                           std::string_view method, std::string_view entityHash,
                                           std::string_view cnonce) {
  const bool withQop = !info.Qop.empty();
  const std::string nc = withQop ? Hex8(static_cast<std::uint32_t>(info.Nc)) : std::string();
  const std::string_view cn = withQop ? cnonce : std::string_view();
  const std::string ha1 =
      DigestComputeHA1(info.Algorithm, user, info.Realm, password, info.Nonce, cn);
  const std::string response =
      DigestComputeResponse(ha1, info.Nonce, nc, cn, info.Qop, method, uri, entityHash);

  if (!Sendable(user) || !Sendable(uri) || !ChallengeSendable(info)) return {};

  std::string v;
  v.append("username=").append(QuotedString(user));
  v.append(",realm=").append(QuotedString(info.Realm));
  v.append(",nonce=").append(QuotedString(info.Nonce));
  v.append(",uri=").append(QuotedString(uri));
  v.append(",response=").append(QuotedString(response));
  if (!info.Opaque.empty()) v.append(",opaque=").append(QuotedString(info.Opaque));
  if (info.Algorithm == kOptions[DigestOptMD5Sess]) v.append(",algorithm=").append(info.Algorithm);
  if (withQop) {
    v.append(",qop=").append(info.Qop);
    v.append(",nc=").append(nc);
    v.append(",cnonce=").append(QuotedString(cn));
  }
  return v;
}

std::string DigestBuildAuthorization(std::string_view user, std::string_view password,
                                     std::string_view uri, const TAuthDigestInfo& info,
                                     std::string_view method, std::string_view entityHash) {
  const std::string cnonce = Hex8(NetRandom(2147483647));
  return DigestBuildAuthorizationCNonce(user, password, uri, info, method, entityHash, cnonce);
}

double DigestDateTimeNow() {
  using namespace std::chrono;
  const double seconds =
      duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
  return 25569.0 + seconds / 86400.0;  // 25569: days from 1899-12-30 to 1970-01-01
}

std::string DigestMakeNonce(std::uint64_t serverKey, std::string_view realm,
                            std::string_view opaque, double time) {
  const std::string timeBytes = LittleEndian8(std::bit_cast<std::uint64_t>(time));
  const Md5Digest d = NonceDigest(serverKey, realm, timeBytes, opaque);
  std::string raw = timeBytes;
  raw.append(reinterpret_cast<const char*>(d.data()), d.size());
  return EncodeBase64String(raw);
}

std::string DigestBuildChallenge(TAuthDigestMethod qop, std::uint64_t serverKey,
                                 std::string_view realm, std::string& opaque, std::string& nonce,
                                 bool stale, std::string_view domain) {
  opaque.clear();
  while (opaque.size() < 34) {
    const std::uint32_t c = NetRandom(123);
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
      opaque.push_back(static_cast<char>(c));
  }
  nonce = DigestMakeNonce(serverKey, realm, opaque, DigestDateTimeNow());
  const char* qopText = qop == daAuthInt ? "auth-int" : qop == daBoth ? "auth,auth-int" : "auth";

  std::string v;
  v.append("realm=\"").append(realm).append("\"");
  v.append(",qop=\"").append(qopText).append("\"");
  v.append(",nonce=\"").append(nonce).append("\"");
  v.append(",opaque=\"").append(opaque).append("\"");
  if (stale) v.append(", stale=\"true\"");
  if (!domain.empty()) v.append(", domain=\"").append(domain).append("\"");
  return v;
}

bool DigestParseAuthorization(std::string_view value, TDigestAuthorization& out) {
  out = TDigestAuthorization();
  const TDigestParams params(value);
  if (!params.Quoted("username", out.User) || out.User.empty()) return false;
  params.Quoted("realm", out.Realm);
  params.Any("qop", out.Qop);
  if (!params.Quoted("nonce", out.Nonce) || out.Nonce.empty()) return false;
  if (!out.Qop.empty()) {
    if (!params.Quoted("cnonce", out.CNonce) || out.CNonce.empty()) return false;
    if (!params.Any("nc", out.Nc) || out.Nc.empty()) return false;
  }
  if (!params.Any("algorithm", out.Algorithm)) out.Algorithm = kOptions[DigestOptMD5];
  params.Quoted("uri", out.Uri);
  params.Quoted("response", out.Response);
  params.Quoted("opaque", out.Opaque);

  const std::string raw = DecodeBase64String(out.Nonce);
  if (raw.size() != 24) return false;
  out.NonceTime = std::bit_cast<double>(FromLittleEndian8(raw));
  // Written so that a NaN time fails too.
  return out.NonceTime > kMinDateTime && out.NonceTime <= DigestDateTimeNow();
}

bool DigestCheckNonce(std::string_view nonce, std::uint64_t serverKey, std::string_view realm,
                      std::string_view opaque) {
  const std::string raw = DecodeBase64String(nonce);
  if (raw.size() != 24) return false;
  const Md5Digest d = NonceDigest(serverKey, realm, std::string_view(raw).substr(0, 8), opaque);
  unsigned char diff = 0;
  for (std::size_t i = 0; i < d.size(); ++i)
    diff |= static_cast<unsigned char>(d[i] ^ static_cast<std::uint8_t>(raw[8 + i]));
  return diff == 0;
}

}  // namespace yux::net
