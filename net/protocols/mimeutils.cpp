#include "net/protocols/mimeutils.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "net/protocols/netcsc.h"
#include "net/socket/bufferedfilestream.h"

namespace yux::net {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;
constexpr std::uint8_t kPad = 64;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  t['='] = kPad;
  return t;
}
constexpr auto kDecode = MakeDecodeTable();

}  // namespace

namespace {

// Both directions write into a small stack buffer and append it to a string
// reserved once at its final (or, decoding, largest) size: the output is
// written once, never zero-filled first.
constexpr std::size_t kChunk = 4096;  // a multiple of 4: whole encoded groups

// The two characters of every 12-bit half of a group: one look-up per pair.
constexpr std::array<std::array<char, 2>, 4096> MakePairTable() {
  std::array<std::array<char, 2>, 4096> t{};
  for (int i = 0; i < 4096; ++i) t[i] = {kAlphabet[i >> 6], kAlphabet[i & 63]};
  return t;
}
constexpr auto kPairs = MakePairTable();

std::size_t EncodeGroups(const unsigned char* p, std::size_t groups, char* o) {
  for (std::size_t g = 0; g < groups; ++g, p += 3, o += 4) {
    std::uint32_t v = (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2];
    std::memcpy(o, kPairs[v >> 12].data(), 2);
    std::memcpy(o + 2, kPairs[v & 0xFFF].data(), 2);
  }
  return groups * 4;
}

}  // namespace

std::string EncodeBase64Buffer(const void* data, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  char buf[kChunk];
  std::size_t groups = len / 3;
  while (groups > 0) {
    std::size_t n = std::min(groups, kChunk / 4);
    out.append(buf, EncodeGroups(p, n, buf));
    p += 3 * n;
    groups -= n;
  }
  const std::size_t rest = len % 3;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t(p[0]) << 16;
    if (rest == 2) v |= std::uint32_t(p[1]) << 8;
    buf[0] = kAlphabet[(v >> 18) & 63];
    buf[1] = kAlphabet[(v >> 12) & 63];
    buf[2] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    buf[3] = '=';
    out.append(buf, 4);
  }
  return out;
}

std::string EncodeBase64String(std::string_view text) {
  return EncodeBase64Buffer(text.data(), text.size());
}

std::string DecodeBase64String(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  char buf[kChunk];
  std::size_t used = 0;
  std::size_t i = 0;
  const std::size_t n = text.size();
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  while (true) {
    // Whole groups of four data characters, the common case, in a tight run.
    while (n - i >= 4 && used <= kChunk - 3) {
      const std::uint8_t a = kDecode[t[i]], b = kDecode[t[i + 1]], c = kDecode[t[i + 2]],
                         d = kDecode[t[i + 3]];
      if ((a | b | c | d) >= 64) break;
      buf[used] = static_cast<char>((a << 2) | (b >> 4));
      buf[used + 1] = static_cast<char>(((b & 15) << 4) | (c >> 2));
      buf[used + 2] = static_cast<char>(((c & 3) << 6) | d);
      used += 3;
      i += 4;
    }
    if (used > kChunk - 3) {
      out.append(buf, used);
      used = 0;
      continue;
    }
    while (i < n && (t[i] == '\r' || t[i] == '\n')) ++i;
    if (i >= n) break;
    std::uint8_t v[4];
    int got = 0;
    bool stop = false;
    while (got < 4 && i < n) {
      std::uint8_t d = kDecode[t[i]];
      if (d == kInvalid) {
        stop = true;
        break;
      }
      v[got++] = d;
      ++i;
    }
    // Padding ends the data: "xx==" gives one byte, "xxx=" two.
    int data = 0;
    while (data < got && v[data] != kPad) ++data;
    if (data >= 2) buf[used++] = static_cast<char>((v[0] << 2) | (v[1] >> 4));
    if (data >= 3) buf[used++] = static_cast<char>(((v[1] & 15) << 4) | (v[2] >> 2));
    if (data >= 4) buf[used++] = static_cast<char>(((v[2] & 3) << 6) | v[3]);
    if (stop || got < 4 || data < 4) break;
  }
  out.append(buf, used);
  return out;
}

std::int64_t CalcBase64EncodedSize(std::int64_t size) {
  if (size <= 0) return 0;
  std::int64_t n = 4 * ((size + 2) / 3);
  std::int64_t lines = (n + 75) / 76;
  return n + 2 * lines;
}

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr std::string_view kFold = "\r\n\t";

void AppendEscaped(std::string& out, unsigned char c) {
  out.push_back('=');
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 15]);
}

// Steps over the characters of a code page; every byte is a character when
// multi-byte safety is off.
class CharStepper {
 public:
  CharStepper(bool multiByteSafe, std::uint32_t codePage) {
    if (multiByteSafe) csc_ = std::make_unique<TNetCsc>(codePage);
  }
  std::size_t Length(std::string_view text, std::size_t pos) {
    if (!csc_ || pos >= text.size()) return 1;
    int n = csc_->GetNextCodePointSize(text.data() + pos, static_cast<int>(text.size() - pos));
    if (n <= 0) return 1;  // invalid or cut off: step over one byte
    return static_cast<std::size_t>(n);
  }

 private:
  std::unique_ptr<TNetCsc> csc_;
};

bool IsQpLiteral(unsigned char c, const TNetCharSet& specials) {
  return c >= 32 && c <= 126 && c != '=' && !NetCharInSet(static_cast<char>(c), specials);
}

std::string Trimmed(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

// The bytes that an encoded word must never carry raw.
TNetCharSet QSpecials(const TNetCharSet& callers) {
  TNetCharSet set = callers;
  for (char c : std::string_view("?=_")) set.Add(static_cast<unsigned char>(c));
  return set;
}

std::string MakePrefix(std::string_view encType, std::string_view charSet) {
  if (charSet.size() < 2)
    throw std::runtime_error("Function 'HdrEncodeInLine', invalid CharSet: " + std::string(charSet));
  if (encType != "B" && encType != "Q")
    throw std::runtime_error("Function 'HdrEncodeInLine', invalid EncType: " + std::string(encType));
  std::string cs(charSet);
  for (auto& c : cs) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return "=?" + cs + "?" + std::string(encType) + "?";
}

std::string QEncodeBytes(std::string_view bytes, const TNetCharSet& specials) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == ' ') out.push_back('_');
    else if (IsQpLiteral(c, specials)) out.push_back(static_cast<char>(c));
    else AppendEscaped(out, c);
  }
  return out;
}

std::string JoinWords(const std::vector<std::string>& words) {
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i) out += kFold;
    out += words[i];
  }
  return out;
}

}  // namespace

TNetCharSet NetCharSetOf(std::string_view chars) {
  TNetCharSet set;
  for (char c : chars) set.Add(static_cast<unsigned char>(c));
  return set;
}

bool HasNonAsciiChars(std::string_view text) {
  for (unsigned char c : text)
    if (!(c == '\t' || c == '\n' || c == '\r' || (c >= 32 && c <= 126))) return true;
  return false;
}

std::string QuotedPrintableEncodeEx(std::string_view text, int maxLen, const TNetCharSet& specials,
                                    bool multiByteSafe, std::uint32_t codePage, bool limitGiven,
                                    std::size_t& position, bool spaceAsUnderscore) {
  std::size_t limit = limitGiven ? static_cast<std::size_t>(std::max(maxLen, 0)) : 3 * text.size();
  limit = std::max<std::size_t>(limit, 16);
  CharStepper step(multiByteSafe, codePage);
  std::string out;
  std::size_t pos = position;
  while (pos < text.size()) {
    std::size_t len = std::min(step.Length(text, pos), text.size() - pos);
    std::string enc;
    for (std::size_t k = 0; k < len; ++k) {
      unsigned char c = static_cast<unsigned char>(text[pos + k]);
      // A blank that ends the text would end the line, where transports
      // drop it: it is escaped like any other byte.
      bool endsText = pos + k + 1 == text.size();
      if (c == ' ' && spaceAsUnderscore) enc.push_back('_');
      else if (IsQpLiteral(c, specials) && !(endsText && c == ' ')) enc.push_back(static_cast<char>(c));
      else AppendEscaped(enc, c);
    }
    // The soft break needs room unless this is the last character.
    bool last = pos + len >= text.size();
    std::size_t room = last ? limit : limit - 1;
    if (out.size() + enc.size() > room) {
      if (out.empty()) {
        // Not even one character fits: emit it whole rather than loop.
        out = enc;
        pos += len;
        if (pos < text.size()) out.push_back('=');
        position = pos < text.size() ? pos : text.size();
        return out;
      }
      out.push_back('=');
      position = pos;
      return out;
    }
    out += enc;
    pos += len;
  }
  position = text.size();
  return out;
}

std::string HdrEncodeInLine(std::string_view text, const TNetCharSet& specials,
                            std::string_view encType, bool multiByteSafe, std::uint32_t codePage,
                            bool doFold, int maxLen, std::string_view charSet) {
  if (doFold && maxLen < 25) maxLen = 25;
  const std::string prefix = MakePrefix(encType, charSet);
  const std::string suffix = "?=";
  std::vector<std::string> words;

  if (encType == "Q") {
    const TNetCharSet qs = QSpecials(specials);
    const int pieceLen = maxLen - static_cast<int>(prefix.size()) - 2;
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::string piece =
          QuotedPrintableEncodeEx(text, pieceLen, qs, multiByteSafe, codePage, true, pos, true);
      if (!piece.empty() && piece.back() == '=' && pos < text.size()) piece.pop_back();
      words.push_back(prefix + piece + suffix);
    }
    return JoinWords(words);
  }

  if (!doFold) maxLen = 1022;
  if (multiByteSafe) {
    CharStepper step(true, codePage);
    const int budget = std::max(4, maxLen - static_cast<int>(prefix.size()) - 4);
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t end = pos;
      while (end < text.size()) {
        std::size_t len = std::min(step.Length(text, end), text.size() - end);
        std::size_t bytes = end + len - pos;
        if (end > pos && static_cast<int>(4 * ((bytes + 2) / 3)) > budget) break;
        end += len;
      }
      words.push_back(prefix + EncodeBase64Buffer(text.data() + pos, end - pos) + suffix);
      pos = end;
    }
    return JoinWords(words);
  }

  // One Base64 text cut between whole groups whenever the line would pass
  // maxLen - 2.
  const std::string b64 = EncodeBase64String(text);
  std::string out = prefix;
  std::size_t line = prefix.size() + 2;
  bool groupInWord = false;
  for (std::size_t i = 0; i < b64.size(); i += 4) {
    if (groupInWord && line + 4 > static_cast<std::size_t>(std::max(maxLen - 2, 0))) {
      out += suffix;
      out += kFold;
      out += prefix;
      line = prefix.size() + 2;
      groupInWord = false;
    }
    out.append(b64, i, 4);
    line += 4;
    groupInWord = true;
  }
  if (b64.empty()) return {};
  return out + suffix;
}

std::string HdrEncodeInLineW(std::u16string_view text, const TNetCharSet& specials,
                             std::string_view encType, std::uint32_t codePage, bool doFold,
                             int maxLen, std::string_view charSet) {
  if (doFold && maxLen < 25) maxLen = 25;
  const std::string prefix = MakePrefix(encType, charSet);
  const std::string suffix = "?=";
  const bool q = encType == "Q";
  const TNetCharSet qs = QSpecials(specials);
  TNetCsc csc(codePage);
  const std::size_t budget = static_cast<std::size_t>(
      std::max<int>(4, (doFold ? maxLen - 4 : 1018) - static_cast<int>(prefix.size() + suffix.size())));

  auto encodedLength = [&](std::string_view bytes) {
    if (!q) return 4 * ((bytes.size() + 2) / 3);
    std::size_t n = bytes.size();
    for (unsigned char c : bytes)
      if (c != ' ' && !IsQpLiteral(c, qs)) n += 2;
    return n;
  };
  auto isHigh = [](char16_t c) { return c >= 0xD800 && c <= 0xDBFF; };

  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t rest = text.size() - i;
    std::size_t take = rest;
    std::string bytes = csc.FromWideString(text.substr(i, take));
    if (encodedLength(bytes) > budget) {
      std::size_t lo = 1, hi = std::min(rest, budget), best = 1;
      while (lo <= hi) {
        std::size_t mid = (lo + hi) / 2;
        if (encodedLength(csc.FromWideString(text.substr(i, mid))) <= budget) {
          best = mid;
          lo = mid + 1;
        } else {
          hi = mid - 1;
        }
      }
      take = best;
      // Never part a surrogate pair.
      if (take < rest && isHigh(text[i + take - 1])) take += take > 1 ? -1 : 1;
      bytes = csc.FromWideString(text.substr(i, take));
    }
    words.push_back(prefix + (q ? QEncodeBytes(bytes, qs) : EncodeBase64String(bytes)) + suffix);
    i += take;
  }
  return JoinWords(words);
}

std::string HdrEncodeInLineAnsi(std::string_view text, const TNetCharSet& specials,
                                std::string_view encType, std::uint32_t codePage, bool doFold,
                                int maxLen, std::string_view charSet) {
  TNetCsc system(0);
  return HdrEncodeInLineW(system.ToWideString(text), specials, encType, codePage, doFold, maxLen,
                          charSet);
}

std::string NetCutLine(std::string_view text, std::size_t& position, const TNetCharSet& breakChars,
                       int maxLen, bool forceCut, const TNetCharSet& quoteChars,
                       bool multiByteSafe, std::uint32_t codePage) {
  CharStepper step(multiByteSafe, codePage);
  const std::size_t start = position;
  const std::size_t limit = static_cast<std::size_t>(std::max(maxLen, 1));
  std::size_t candidate = std::string_view::npos;
  char quote = 0;
  std::size_t i = start;

  auto cutAt = [&](std::size_t cut) {
    std::string piece(text.substr(start, cut - start));
    position = cut;
    if (text.substr(position, 2) == "\r\n") position += 2;
    return piece;
  };

  while (i < text.size()) {
    if (!quote && text.substr(i, kFold.size()) == kFold) return cutAt(i);
    const std::size_t len = std::min(step.Length(text, i), text.size() - i);
    if (i - start + len > limit) {
      if (candidate != std::string_view::npos) return cutAt(candidate);
      if (forceCut && i > start) return cutAt(i);
    }
    const char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (NetCharInSet(c, quoteChars)) {
      quote = c;
    } else if (NetCharInSet(c, breakChars)) {
      candidate = i + len;
    }
    i += len;
  }
  position = text.size();
  return std::string(text.substr(start));
}

namespace {

std::vector<std::string> FoldLines(std::string_view text, const TNetCharSet& breaks, int maxLen,
                                   std::uint32_t codePage, bool multiByteSafe) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  const TNetCharSet noQuotes;
  while (pos < text.size()) {
    std::string piece =
        Trimmed(NetCutLine(text, pos, breaks, maxLen, false, noQuotes, multiByteSafe, codePage));
    // A continuation line holding only blanks would be an empty header line.
    if (!piece.empty() || lines.empty()) lines.push_back(std::move(piece));
  }
  return lines;
}

}  // namespace

void FoldHeaderLine(std::vector<std::string>& headerLines, std::string_view text,
                    std::uint32_t codePage, bool multiByteSafe) {
  const TNetCharSet breaks = NetCharSetOf("\t ,;>]");
  auto lines = FoldLines(text, breaks, 76, codePage, multiByteSafe);
  for (std::size_t i = 0; i < lines.size(); ++i)
    headerLines.push_back(i == 0 ? lines[i] : "\t" + lines[i]);
}

std::string FoldText(std::string_view text, const TNetCharSet& breakChars, int maxLen,
                     std::uint32_t codePage, bool multiByteSafe) {
  return JoinWords(FoldLines(text, breakChars, maxLen, codePage, multiByteSafe));
}

std::unique_ptr<TStream> AttachmentOpenStream(const std::string& fileName, std::uint16_t mode) {
  return std::make_unique<TBufferedFileStream>(fileName, mode, 4096);
}

namespace {

bool AtEnd(TStream& s) { return s.Position() >= s.Size(); }

}  // namespace

void AttachmentReadPlainLine(TStream& stream, bool& more, std::string& line) {
  constexpr std::size_t kMax = 1022;
  line.clear();
  unsigned char c;
  while (stream.Read(&c, 1) == 1) {
    if (c == '\r') {
      if (stream.Read(&c, 1) == 1 && c != '\n') stream.Seek(-1, TSeekOrigin::soCurrent);
      break;
    }
    if (c == '\n') break;
    if (line.size() == kMax) {
      stream.Seek(-1, TSeekOrigin::soCurrent);
      break;
    }
    line.push_back(static_cast<char>(c));
  }
  more = !AtEnd(stream);
}

void AttachmentReadQuotedPrintableLine(TStream& stream, bool& more, std::string& line) {
  // 75 characters and the soft break make the 76 that RFC 2045 allows.
  constexpr std::size_t kMaxOut = 75;
  constexpr int kMaxIn = 73;
  line.clear();
  unsigned char c;
  for (int n = 0; n < kMaxIn && stream.Read(&c, 1) == 1; ++n) {
    bool literal = c >= 32 && c <= 126 && c != '.' && c != '=';
    if (line.size() + (literal ? 1 : 3) > kMaxOut) {
      stream.Seek(-1, TSeekOrigin::soCurrent);
      break;
    }
    if (literal) line.push_back(static_cast<char>(c));
    else AppendEscaped(line, c);
  }
  if (!line.empty()) line.push_back('=');
  more = !AtEnd(stream);
}

void AttachmentReadBase64Line(TStream& stream, bool& more, std::string& line) {
  constexpr int kLines = 26;
  constexpr std::int64_t kBytesPerLine = 57;
  line.clear();
  unsigned char buf[kBytesPerLine];
  for (int i = 0; i < kLines; ++i) {
    std::int64_t got = 0;
    while (got < kBytesPerLine) {
      std::int64_t n = stream.Read(buf + got, kBytesPerLine - got);
      if (n <= 0) break;
      got += n;
    }
    if (got == 0) break;
    if (!line.empty()) line += "\r\n";
    line += EncodeBase64Buffer(buf, static_cast<std::size_t>(got));
    if (got < kBytesPerLine) break;
  }
  more = !AtEnd(stream);
}

void AttachmentCloseStream(std::unique_ptr<TStream>& stream) { stream.reset(); }

std::string ContentTypeOfFile(std::string_view fileName) {
  std::string ext;
  auto dot = fileName.rfind('.');
  auto slash = fileName.find_last_of("/\\");
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash))
    ext = std::string(fileName.substr(dot + 1));
  for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "htm" || ext == "html") return "text/html";
  if (ext == "gif") return "image/gif";
  if (ext == "bmp") return "image/bmp";
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "txt") return "text/plain";
  return "application/octet-stream";
}

}  // namespace yux::net
