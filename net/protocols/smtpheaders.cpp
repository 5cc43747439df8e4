#include "net/protocols/smtpheaders.h"

#include <chrono>
#include <cstdio>

#include "net/protocols/mimeutils.h"
#include "net/socket/codepage.h"
#include "net/socket/netresolve.h"
#include "net/socket/netutils.h"

namespace yux::net {

namespace {

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsPrintableAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// Entries of an address list: cut at "," and ";" outside quotes and angle
// brackets, so that "Doe, John" <j@x> stays one entry.
std::vector<std::string> SplitAddressList(std::string_view value) {
  std::vector<std::string> out;
  std::string cur;
  char quote = 0;
  bool angle = false;
  for (char c : value) {
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"') {
      quote = c;
    } else if (c == '<') {
      angle = true;
    } else if (c == '>') {
      angle = false;
    } else if ((c == ',' || c == ';') && !angle) {
      out.push_back(cur);
      cur.clear();
      continue;
    }
    cur += c;
  }
  out.push_back(cur);
  return out;
}

std::string QuotedString(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Bytes that a Q word inside a phrase (a display name) must escape.
const TNetCharSet& PhraseSpecials() {
  static const TNetCharSet set = NetCharSetOf("\"(),.:;<>@[\\]");
  return set;
}

std::string Two(int v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02d", v);
  return b;
}

void AppendLines(std::vector<std::string>& out, std::string_view text) {
  std::size_t p = 0;
  for (;;) {
    std::size_t q = text.find("\r\n", p);
    if (q == std::string_view::npos) {
      out.emplace_back(text.substr(p));
      return;
    }
    out.emplace_back(text.substr(p, q - p));
    p = q + 2;
  }
}

// The length of the longest prefix of text[start, start + maxLen) that does
// not split a character of the code page.
std::size_t WholeCharsWithin(std::string_view text, std::size_t start, std::size_t maxLen,
                             std::uint32_t codePage) {
  if (NetIsSingleByteCodePage(codePage)) return std::min(maxLen, text.size() - start);
  std::size_t i = start;
  while (i < text.size()) {
    std::size_t n = 1;
    if (codePage == CP_UTF8) {
      int l = Utf8SequenceLength(static_cast<std::uint8_t>(text[i]));
      n = l > 0 ? std::size_t(l) : 1;
    } else if (NetIsLeadByte(static_cast<std::uint8_t>(text[i]), codePage)) {
      n = 2;
    }
    if (i + n - start > maxLen) break;
    i += n;
  }
  if (i == start) i = std::min(text.size(), start + maxLen);  // a broken sequence
  return std::min(i, text.size()) - start;
}

}  // namespace

std::string SmtpEncodingName(TSmtpDefaultEncoding e) {
  switch (e) {
    case smtpEnc8bit: return "8bit";
    case smtpEncQuotedPrintable: return "quoted-printable";
    case smtpEncBase64: return "base64";
    default: return "7bit";
  }
}

std::string SmtpContentTypeName(TSmtpContentType t) {
  return t == smtpHtml ? "text/html" : "text/plain";
}

void SmtpCheckNoLineBreak(std::string_view what, std::string_view value) {
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    throw SmtpException(std::string(what) + " must not contain a line break or NUL character");
}

void SmtpSplitAddress(std::string_view entry, std::string& name, std::string& address) {
  name.clear();
  address.clear();
  while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) entry.remove_prefix(1);
  if (entry.empty()) return;
  auto between = [](std::string_view s, std::size_t from) {
    std::size_t lt = s.find('<', from);
    if (lt == std::string_view::npos) return std::string_view();
    std::size_t gt = s.find('>', lt + 1);
    return s.substr(lt + 1, gt == std::string_view::npos ? std::string_view::npos : gt - lt - 1);
  };
  if (entry.front() == '"' || entry.front() == '\'') {
    std::size_t close = entry.find(entry.front(), 1);
    name = std::string(entry.substr(1, close == std::string_view::npos ? std::string_view::npos
                                                                      : close - 1));
    std::size_t after = close == std::string_view::npos ? entry.size() : close + 1;
    if (entry.find('<') != std::string_view::npos)
      address = std::string(TrimView(between(entry, after)));
    else
      address = std::string(TrimView(entry.substr(after)));
  } else if (entry.find('<') != std::string_view::npos) {
    name = std::string(TrimView(entry.substr(0, entry.find('<'))));
    address = std::string(TrimView(between(entry, 0)));
  } else {
    std::size_t blank = entry.find_first_of(" \t");
    name = std::string(entry.substr(0, blank));
    if (blank != std::string_view::npos) address = std::string(TrimView(entry.substr(blank)));
  }
  if (address.empty() && name.find('@') != std::string::npos) address.swap(name);
}

std::string SmtpAddressOf(std::string_view entry) {
  std::string name, address;
  SmtpSplitAddress(entry, name, address);
  return address;
}

std::string SmtpFormatDate(const std::tm& local, int utcOffsetMinutes) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::string out = std::string(kDays[local.tm_wday % 7]) + ", " + std::to_string(local.tm_mday) +
                    " " + kMonths[local.tm_mon % 12] + " " + std::to_string(local.tm_year + 1900) +
                    " " + Two(local.tm_hour) + ":" + Two(local.tm_min) + ":" + Two(local.tm_sec);
  // The zone is told as the bias (UTC minus local): "-" for a positive
  // bias, "+" for a negative one.
  int bias = -utcOffsetMinutes;
  int a = bias < 0 ? -bias : bias;
  return out + " " + (bias < 0 ? "+" : "-") + Two(a / 60) + Two(a % 60);
}

std::string SmtpDateNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) {
    std::tm utc{};
    gmtime_r(&now, &utc);
    return SmtpFormatDate(utc, 0).substr(0, 25) + " -0000";
  }
  return SmtpFormatDate(local, int(local.tm_gmtoff / 60));
}

std::string SmtpNewMessageId() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  int ms = int(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char b[64];
  std::snprintf(b, sizeof b, "%04d%02d%02d%02d%02d%02d%03d.", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
  std::string id = b;
  for (int i = 0; i < 4; ++i) {
    std::snprintf(b, sizeof b, "%04X", unsigned(NetRandom(65536)));
    id += b;
  }
  std::string host;
  try {
    host = LocalComputerName();
  } catch (const std::exception&) {
    host = "localhost";
  }
  return id + "@" + host;
}

bool SmtpIsSpecialCodePage(std::uint32_t cp) {
  return (cp >= 50220 && cp <= 50222) || cp == 50225 || cp == 50227 || cp == 50229 ||
         cp == 51932 || cp == 52936 || cp == 54936 || (cp >= 57002 && cp <= 57011) ||
         cp == CP_UTF7;
}

// ---------------------------------------------------------------------------
// Header lines

std::string TSmtpHeaderLines::Convert(std::string_view text) const {
  const std::uint32_t sys = NetSystemCodePage();
  if (!ConvertToCharset || CodePage == sys) return std::string(text);
  std::string out = NetRecodeString(text, sys, CodePage);
  return out.empty() && !text.empty() ? std::string(text) : out;
}

std::string TSmtpHeaderLines::EncodeWords(std::string_view text, int maxLen, bool phrase) const {
  const TNetCharSet none{};
  const TNetCharSet& specials = phrase ? PhraseSpecials() : none;
  if (ConvertToCharset && SmtpIsSpecialCodePage(CodePage))
    return HdrEncodeInLineAnsi(text, specials, EncType, CodePage, true, maxLen, CharSet);
  return HdrEncodeInLine(text, specials, EncType, MultiByte, CodePage, true, maxLen, CharSet);
}

void TSmtpHeaderLines::AddFolded(const std::string& line) {
  if (FoldHeaders && line.size() > 76)
    FoldHeaderLine(Lines, line, CodePage, MultiByte);
  else
    Lines.push_back(line);
}

void TSmtpHeaderLines::AddAddrHdr(std::string_view name, std::string_view value) {
  SmtpCheckNoLineBreak(TrimView(name), value);
  std::string list;
  for (const std::string& raw : SplitAddressList(value)) {
    std::string_view entry = TrimView(raw);
    if (entry.empty()) continue;
    std::string display, address;
    SmtpSplitAddress(entry, display, address);
    if (display.empty()) {
      list += address + ",";
      continue;
    }
    const std::string converted = Convert(display);
    const bool needs = HasNonAsciiChars(converted);
    std::string shown;
    if (Allow8bitChars || (!needs && CodePage != CP_UTF7))
      shown = QuotedString(converted);
    else
      shown = EncodeWords(converted, 76 - int(name.size()), true);
    list += shown + " <" + address + ">,";
  }
  while (!list.empty() && list.back() == ',') list.pop_back();
  AddFolded(std::string(TrimView(name)) + " " + std::string(TrimView(list)));
}

void TSmtpHeaderLines::AddHdr(std::string_view name, std::string_view text) {
  SmtpCheckNoLineBreak(TrimView(name), text);
  const std::string converted = Convert(text);
  if (!Allow8bitChars && (HasNonAsciiChars(converted) || CodePage == CP_UTF7)) {
    AppendLines(Lines, std::string(name) + EncodeWords(converted, 76 - int(name.size()), false));
    return;
  }
  AddFolded(std::string(name) + converted);
}

// ---------------------------------------------------------------------------
// Body text

TSmtpDefaultEncoding SmtpChooseBodyEncoding(std::string_view text, TSmtpDefaultEncoding requested,
                                            bool allow8bitChars, std::uint32_t codePage) {
  TSmtpDefaultEncoding e;
  if (text.empty()) return smtpEnc7bit;
  const bool eightBit = HasNonAsciiChars(text);
  if (requested == smtpEnc8bit && !eightBit)
    e = smtpEnc7bit;
  else if (allow8bitChars && eightBit && requested == smtpEnc7bit)
    e = smtpEnc8bit;
  else if (!eightBit || allow8bitChars || requested == smtpEncQuotedPrintable ||
           requested == smtpEncBase64)
    e = requested;
  else
    e = smtpEncQuotedPrintable;
  if ((e == smtpEnc7bit || e == smtpEnc8bit) && SmtpIsSpecialCodePage(codePage))
    e = smtpEncQuotedPrintable;
  return e;
}

void TSmtpMessageText::Load(std::string_view text, std::uint32_t codePage, int wrapLen, bool wrap,
                            bool allow8bitChars, TSmtpDefaultEncoding requested,
                            bool convertFromSystem) {
  std::string t;
  if (convertFromSystem && codePage != NetSystemCodePage()) {
    t = NetRecodeString(text, NetSystemCodePage(), codePage);
    if (t.empty()) t = std::string(text);
  } else {
    t = std::string(text);
  }
  // Every line break becomes CR LF.
  text_.clear();
  text_.reserve(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (c == '\r') {
      if (i + 1 < t.size() && t[i + 1] == '\n') ++i;
      text_ += "\r\n";
    } else if (c == '\n') {
      text_ += "\r\n";
    } else {
      text_ += c;
    }
  }
  codePage_ = codePage;
  wrapLen_ = wrapLen;
  wrap_ = wrap;
  encoding_ = SmtpChooseBodyEncoding(text_, requested, allow8bitChars, codePage);
  if (encoding_ == smtpEncBase64) text_ = EncodeBase64String(text_);
  pos_ = 0;
  qpActive_ = false;
  done_ = text_.empty();
}

bool TSmtpMessageText::NextLine(std::string& line) {
  if (done_) return false;
  switch (encoding_) {
    case smtpEncBase64:
      line = text_.substr(pos_, 76);
      pos_ += line.size();
      done_ = pos_ >= text_.size();
      return true;
    case smtpEncQuotedPrintable:
      line = NextQpLine();
      return true;
    default:
      line = NextPlainLine();
      return true;
  }
}

std::string TSmtpMessageText::NextPlainLine() {
  std::size_t end = text_.find("\r\n", pos_);
  std::size_t lineEnd = end == std::string::npos ? text_.size() : end;
  const std::size_t limit = wrap_ ? std::size_t(wrapLen_) : 1022;
  std::size_t len = lineEnd - pos_;
  if (len > limit) {
    len = WholeCharsWithin(std::string_view(text_).substr(0, lineEnd), pos_, limit, codePage_);
    if (wrap_) {
      // Break after the last blank that fits, when there is one.
      std::size_t b = text_.find_last_of(" \t", pos_ + len - 1);
      if (b != std::string::npos && b >= pos_ && b + 1 > pos_) len = b + 1 - pos_;
    }
  }
  std::string line = text_.substr(pos_, len);
  pos_ += len;
  if (pos_ == lineEnd && end != std::string::npos) pos_ += 2;
  // A text that ends with a line break ends with that line.
  done_ = pos_ >= text_.size();
  return line;
}

std::string TSmtpMessageText::NextQpLine() {
  if (!qpActive_) {
    std::size_t end = text_.find("\r\n", pos_);
    std::size_t lineEnd = end == std::string::npos ? text_.size() : end;
    qpLine_ = text_.substr(pos_, lineEnd - pos_);
    pos_ = end == std::string::npos ? text_.size() : end + 2;
    qpPos_ = 0;
    qpActive_ = true;
  }
  std::string piece;
  if (!qpLine_.empty()) {
    static const TNetCharSet kNone{};
    piece = QuotedPrintableEncodeEx(qpLine_, 73, kNone, !NetIsSingleByteCodePage(codePage_),
                                    codePage_, true, qpPos_, false);
  }
  if (qpPos_ >= qpLine_.size()) {
    qpActive_ = false;
    // A blank at the end of a line would be lost on the way: escape it.
    if (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t')) {
      char c = piece.back();
      piece.pop_back();
      piece += c == ' ' ? "=20" : "=09";
    }
    done_ = pos_ >= text_.size();
  }
  return piece;
}

// ---------------------------------------------------------------------------
// Attachment part header and DATA lines

std::vector<std::string> SmtpAttachmentPartHeader(const std::string& boundary,
                                                  const std::string& contentType,
                                                  const std::string& name,
                                                  std::uint32_t nameCodePage,
                                                  TSmtpEncoding encoding) {
  std::vector<std::string> out;
  out.push_back("--" + boundary);
  out.push_back("Content-Type: " + contentType + ";");
  std::string nameParam, fileParam;
  if (IsPrintableAscii(name)) {
    nameParam = "name=" + QuotedString(name);
    fileParam = "filename=" + QuotedString(name);
  } else {
    const std::string utf8 =
        nameCodePage == CP_UTF8 ? name : NetAnsiToUtf8(name, nameCodePage);
    static const TNetCharSet kNone{};
    std::string words = HdrEncodeInLine(utf8, kNone, "B", true, CP_UTF8, false, 1022, "utf-8");
    nameParam = "name=\"" + words + "\"";
    // RFC 2231: attribute characters stay, everything else as %XX.
    fileParam = "filename*=utf-8''";
    static const char* const kHex = "0123456789ABCDEF";
    for (unsigned char c : utf8) {
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
          std::string_view("!#$&+-.^_`|~").find(char(c)) != std::string_view::npos) {
        fileParam += char(c);
      } else {
        fileParam += '%';
        fileParam += kHex[c >> 4];
        fileParam += kHex[c & 15];
      }
    }
  }
  out.push_back("\t" + nameParam);
  out.push_back(std::string("Content-Transfer-Encoding: ") +
                (encoding == smtpEncodeBase64 ? "base64"
                 : encoding == smtpEncodeQP   ? "quoted-printable"
                                              : "7bit"));
  out.push_back("Content-Disposition: attachment;");
  out.push_back("\t" + fileParam);
  return out;
}

std::vector<std::string> SmtpDataLines(std::string_view text) {
  std::vector<std::string> out;
  std::string cur;
  auto flush = [&] {
    if (!cur.empty() && cur.front() == '.') cur.insert(cur.begin(), '.');
    out.push_back(std::move(cur));
    cur.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      flush();
    } else {
      cur += c;
    }
  }
  flush();
  return out;
}

}  // namespace yux::net
