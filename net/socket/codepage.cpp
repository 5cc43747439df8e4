#include "net/socket/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "platform/messages.h"

namespace yux::net {
namespace {

constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;

struct CodePageName {
  std::uint32_t codePage;
  const char* iconvName;
};

// Windows code-page numbers and the iconv names that convert them.  Code
// pages missing here (or missing from the installed iconv) are not
// installed.
constexpr CodePageName kCodePages[] = {
    {37, "IBM037"},         {437, "IBM437"},         {500, "IBM500"},
    {708, "ASMO-708"},      {737, "CP737"},          {775, "CP775"},
    {850, "CP850"},         {852, "CP852"},          {855, "CP855"},
    {857, "CP857"},         {858, "CP858"},          {860, "CP860"},
    {861, "CP861"},         {862, "CP862"},          {863, "CP863"},
    {864, "CP864"},         {865, "CP865"},          {866, "CP866"},
    {869, "CP869"},         {870, "IBM870"},         {874, "CP874"},
    {875, "CP875"},         {932, "CP932"},          {936, "CP936"},
    {949, "CP949"},         {950, "CP950"},          {1026, "IBM1026"},
    {1047, "IBM1047"},      {1140, "IBM1140"},       {1141, "IBM1141"},
    {1142, "IBM1142"},      {1143, "IBM1143"},       {1144, "IBM1144"},
    {1145, "IBM1145"},      {1146, "IBM1146"},       {1147, "IBM1147"},
    {1148, "IBM1148"},      {1149, "IBM1149"},       {1200, "UTF-16LE"},
    {1201, "UTF-16BE"},     {1250, "CP1250"},        {1251, "CP1251"},
    {1252, "CP1252"},       {1253, "CP1253"},        {1254, "CP1254"},
    {1255, "CP1255"},       {1256, "CP1256"},        {1257, "CP1257"},
    {1258, "CP1258"},       {1361, "JOHAB"},         {10000, "MACINTOSH"},
    {10007, "MAC-CYRILLIC"}, {10017, "MACUKRAINIAN"}, {10029, "MAC-CENTRALEUROPE"},
    {10079, "MAC-IS"},      {12000, "UTF-32LE"},     {12001, "UTF-32BE"},
    {20127, "US-ASCII"},    {20261, "T.61-8BIT"},    {20273, "IBM273"},
    {20277, "IBM277"},      {20278, "IBM278"},       {20280, "IBM280"},
    {20284, "IBM284"},      {20285, "IBM285"},       {20290, "IBM290"},
    {20297, "IBM297"},      {20420, "IBM420"},       {20423, "IBM423"},
    {20424, "IBM424"},      {20866, "KOI8-R"},       {20871, "IBM871"},
    {20880, "IBM880"},      {20905, "IBM905"},       {20932, "EUC-JP-MS"},
    {20936, "GB2312"},      {21866, "KOI8-U"},       {28591, "ISO-8859-1"},
    {28592, "ISO-8859-2"},  {28593, "ISO-8859-3"},   {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"},  {28596, "ISO-8859-6"},   {28597, "ISO-8859-7"},
    {28598, "ISO-8859-8"},  {28599, "ISO-8859-9"},   {28603, "ISO-8859-13"},
    {28605, "ISO-8859-15"}, {38598, "ISO-8859-8"},   {50220, "ISO-2022-JP"},
    {50221, "ISO-2022-JP"}, {50222, "ISO-2022-JP"},  {50225, "ISO-2022-KR"},
    {50229, "ISO-2022-CN"}, {51932, "EUC-JP"},       {51936, "EUC-CN"},
    {51949, "EUC-KR"},      {54936, "GB18030"},      {65000, "UTF-7"},
    {65001, "UTF-8"},
};

std::uint32_t Resolve(std::uint32_t codePage) {
  return codePage == CP_ACP ? NetSystemCodePage() : codePage;
}

// Opens a converter, or returns (iconv_t)-1 for a code page iconv lacks.
iconv_t Open(const char* to, const char* from) { return iconv_open(to, from); }

// Converts src (bytes in `from`) to `to`.  unitIn is the width of one input
// unit, skipped with a replacement when iconv cannot convert it.  Returns
// false when no converter exists.
bool Convert(const char* to, const char* from, const char* src, std::size_t len, int unitIn,
             const std::string& replacement, std::string& out, bool* replaced) {
  iconv_t cd = Open(to, from);
  if (cd == (iconv_t)-1) return false;
  out.clear();
  char buf[4096];
  char* in = const_cast<char*>(src);
  std::size_t inLeft = len;
  while (true) {
    char* outp = buf;
    std::size_t outLeft = sizeof buf;
    std::size_t r = inLeft ? iconv(cd, &in, &inLeft, &outp, &outLeft)
                           : iconv(cd, nullptr, nullptr, &outp, &outLeft);
    int err = errno;
    out.append(buf, std::size_t(outp - buf));
    if (r != std::size_t(-1)) {
      if (inLeft == 0 && in != nullptr) {
        in = nullptr;  // flush the shift state next
        continue;
      }
      if (inLeft == 0) break;
      continue;
    }
    if (err == E2BIG) continue;
    if (err == EILSEQ || err == EINVAL) {
      // One unconvertible unit (a surrogate pair counts as one).
      std::size_t skip = std::size_t(unitIn);
      if (unitIn == 2 && inLeft >= 4) {
        std::uint16_t u;
        std::memcpy(&u, in, 2);
        std::uint16_t v;
        std::memcpy(&v, in + 2, 2);
        if (u >= 0xD800 && u <= 0xDBFF && v >= 0xDC00 && v <= 0xDFFF) skip = 4;
      }
      skip = std::min(skip, inLeft);
      in += skip;
      inLeft -= skip;
      out += replacement;
      if (replaced) *replaced = true;
      if (inLeft == 0) in = nullptr;
      continue;
    }
    break;
  }
  iconv_close(cd);
  return true;
}

bool ToWide(std::uint32_t codePage, const char* src, std::size_t len, std::u16string& w) {
  const char* name = NetCodePageIconvName(codePage);
  if (!name) return false;
  char16_t rep = NetDefaultUnicodeChar(codePage);
  std::string repBytes(reinterpret_cast<const char*>(&rep), 2);
  std::string bytes;
  if (!Convert("UTF-16LE", name, src, len, 1, repBytes, bytes, nullptr)) return false;
  w.assign(bytes.size() / 2, u'\0');
  std::memcpy(w.data(), bytes.data(), w.size() * 2);
  return true;
}

bool FromWide(std::uint32_t codePage, const char16_t* src, std::size_t len, std::string& out,
              const char* defaultChar, bool* usedDefault) {
  const char* name = NetCodePageIconvName(codePage);
  if (!name) return false;
  std::string rep(1, defaultChar ? *defaultChar : NetDefaultAnsiChar(codePage));
  if (codePage == CP_UTF8 || codePage == CP_UTF7) rep = "\xEF\xBF\xBD";
  return Convert(name, "UTF-16LE", reinterpret_cast<const char*>(src), len * 2, 2, rep, out,
                 usedDefault);
}

bool InRange(std::uint32_t v, std::uint32_t lo, std::uint32_t hi) { return v >= lo && v <= hi; }

}  // namespace

const char* NetCodePageIconvName(std::uint32_t codePage) {
  codePage = Resolve(codePage);
  for (const auto& e : kCodePages)
    if (e.codePage == codePage) return e.iconvName;
  return nullptr;
}

bool NetIsValidCodePage(std::uint32_t codePage) {
  static std::mutex lock;
  static std::unordered_map<std::uint32_t, bool> known;
  const char* name = NetCodePageIconvName(codePage);
  if (!name) return false;
  std::lock_guard<std::mutex> guard(lock);
  auto it = known.find(codePage);
  if (it != known.end()) return it->second;
  iconv_t cd = Open("UTF-16LE", name);
  bool ok = cd != (iconv_t)-1;
  if (ok) iconv_close(cd);
  known[codePage] = ok;
  return ok;
}

std::uint32_t NetSystemCodePage() {
  static const std::uint32_t cp = CP_UTF8;
  return cp;
}

int NetMultiByteToWideChar(std::uint32_t codePage, std::uint32_t flags, const char* src, int srcLen,
                           char16_t* dst, int dstLen) {
  if (!src || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dstLen > 0 && !dst)) {
    platform::SetLastError(kErrorInvalidParameter);
    return 0;
  }
  codePage = Resolve(codePage);
  std::size_t len = srcLen == -1 ? std::strlen(src) + 1 : std::size_t(srcLen);
  std::u16string w;
  if (!ToWide(codePage, src, len, w)) {
    platform::SetLastError(kErrorInvalidParameter);
    return 0;
  }
  if (dstLen == 0) return int(w.size());
  if (w.size() > std::size_t(dstLen)) {
    platform::SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  std::copy(w.begin(), w.end(), dst);
  return int(w.size());
}

int NetWideCharToMultiByte(std::uint32_t codePage, std::uint32_t flags, const char16_t* src,
                           int srcLen, char* dst, int dstLen, const char* defaultChar,
                           bool* usedDefaultChar) {
  if (!src || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dstLen > 0 && !dst)) {
    platform::SetLastError(kErrorInvalidParameter);
    return 0;
  }
  codePage = Resolve(codePage);
  std::size_t len = 0;
  if (srcLen == -1) {
    while (src[len]) ++len;
    ++len;
  } else {
    len = std::size_t(srcLen);
  }
  if (usedDefaultChar) *usedDefaultChar = false;
  std::string out;
  if (!FromWide(codePage, src, len, out, defaultChar, usedDefaultChar)) {
    platform::SetLastError(kErrorInvalidParameter);
    return 0;
  }
  if (dstLen == 0) return int(out.size());
  if (out.size() > std::size_t(dstLen)) {
    platform::SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  std::memcpy(dst, out.data(), out.size());
  return int(out.size());
}

std::string NetUnicodeToAnsi(std::u16string_view w, std::uint32_t codePage) {
  if (w.empty()) return {};
  int n = NetWideCharToMultiByte(codePage, 0, w.data(), int(w.size()), nullptr, 0);
  if (n <= 0) return {};
  std::string s(std::size_t(n), '\0');
  n = NetWideCharToMultiByte(codePage, 0, w.data(), int(w.size()), s.data(), n);
  s.resize(n > 0 ? std::size_t(n) : 0);
  return s;
}

std::string NetRecodeString(std::string_view s, std::uint32_t srcCodePage,
                            std::uint32_t dstCodePage) {
  if (s.empty() || srcCodePage == dstCodePage) return std::string(s);
  int n = NetMultiByteToWideChar(srcCodePage, 0, s.data(), int(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::u16string w(std::size_t(n), u'\0');
  n = NetMultiByteToWideChar(srcCodePage, 0, s.data(), int(s.size()), w.data(), n);
  if (n <= 0) return {};
  w.resize(std::size_t(n));
  return NetUnicodeToAnsi(w, dstCodePage);
}

std::string NetAnsiToUtf8(std::string_view s, std::uint32_t codePage) {
  return NetRecodeString(s, codePage, CP_UTF8);
}

std::string NetUtf8ToAnsi(std::string_view s, std::uint32_t codePage) {
  return NetRecodeString(s, CP_UTF8, codePage);
}

char16_t NetDefaultUnicodeChar(std::uint32_t codePage) {
  switch (codePage) {
    case 932: case 10001: case 20932: case 50220: case 50221: case 50222: case 51932:
      return u'\u30FB';
    case 65000: case 65001:
      return u'\uFFFD';
    default:
      return u'?';
  }
}

char NetDefaultAnsiChar(std::uint32_t codePage) {
  switch (codePage) {
    case 37: case 500: case 875: case 1026: case 1140: case 1141: case 1142: case 1143:
    case 1144: case 1145: case 1147: case 1149: case 20273: case 20277: case 20278:
    case 20280: case 20284: case 20285: case 20290: case 20297: case 20420: case 20423:
    case 20424: case 20833: case 20838: case 20871: case 20880: case 20905: case 20924:
    case 21025: case 21027:
      return char(0x6F);
    default:
      return char(0x3F);
  }
}

bool NetCodePageNeedsZeroFlags(std::uint32_t cp) {
  return InRange(cp, 50220, 50222) || cp == 50225 || cp == 50227 || cp == 50229 || cp == 51932 ||
         cp == 52936 || cp == 54936 || InRange(cp, 57002, 57011);
}

bool NetIsSingleByteCodePage(std::uint32_t cp) {
  static constexpr std::uint32_t kSingle[] = {
      37,    437,   500,   708,   720,   737,   775,   850,   852,   855,   857,   858,
      869,   874,   875,   1026,  1147,  1149,  10000, 10010, 10017, 10021, 10029, 10079,
      10081, 10082, 20127, 20269, 20273, 20277, 20278, 20280, 20284, 20285, 20290, 20297,
      20420, 20423, 20424, 20833, 20838, 20866, 20871, 20880, 20905, 20924, 21025, 21027,
      21866, 28605, 38598};
  if (InRange(cp, 860, 866) || InRange(cp, 1140, 1145) || InRange(cp, 1250, 1258) ||
      InRange(cp, 10004, 10007) || InRange(cp, 20105, 20108) || InRange(cp, 28591, 28599))
    return true;
  return std::find(std::begin(kSingle), std::end(kSingle), cp) != std::end(kSingle);
}

bool NetIsLeadByte(std::uint8_t b, std::uint32_t cp) {
  switch (cp) {
    case 932: case 10001:
      return InRange(b, 0x81, 0x9F) || InRange(b, 0xE0, 0xFC);
    case 936: case 949: case 950:
      return InRange(b, 0x81, 0xFE);
    case 1361:
      return InRange(b, 0x84, 0xD3) || InRange(b, 0xD8, 0xDE) || InRange(b, 0xE0, 0xF9);
    case 10002:
      return InRange(b, 0x81, 0xFC);
    case 10003: case 51949:
      return InRange(b, 0xA1, 0xAC) || InRange(b, 0xB0, 0xC8) || InRange(b, 0xCA, 0xFD);
    case 10008: case 20936:
      return InRange(b, 0xA1, 0xA9) || InRange(b, 0xB0, 0xF7);
    case 20000: case 20004:
      return InRange(b, 0xA1, 0xFE);
    case 20001:
      return InRange(b, 0x81, 0x84) || InRange(b, 0x91, 0xD8) || InRange(b, 0xDF, 0xFC);
    case 20002:
      return InRange(b, 0x81, 0xAF) || InRange(b, 0xDD, 0xFE);
    case 20003:
      return InRange(b, 0x81, 0x84) || b == 0x87 || InRange(b, 0x89, 0xE8) ||
             InRange(b, 0xF9, 0xFB);
    case 20005:
      return InRange(b, 0x8D, 0xF5) || InRange(b, 0xF9, 0xFC);
    case 20261:
      return InRange(b, 0xC1, 0xCF);
    case 20932:
      return b == 0x8E || InRange(b, 0xA1, 0xFE);
    default:
      return false;
  }
}

int NetCharLength(const char* p, std::uint32_t codePage) {
  const auto* u = reinterpret_cast<const std::uint8_t*>(p);
  if (u[0] == 0) return 0;
  codePage = Resolve(codePage);
  if (codePage == CP_UTF8) {
    int n = 1;
    while (n < 4 && u[n] != 0 && !(u[n] < 0x80 || InRange(u[n], 0xC2, 0xF4))) ++n;
    return n;
  }
  if (NetIsLeadByte(u[0], codePage) && u[1] != 0) return 2;
  return 1;
}

int NetNextCharIndex(std::string_view s, int index, std::uint32_t codePage) {
  if (index < 1 || std::size_t(index) > s.size()) throw std::logic_error("Assertion failure");
  // A copy keeps the terminating zero that NetCharLength stops at.
  std::string z(s.substr(std::size_t(index - 1), 4));
  return index + NetCharLength(z.c_str(), codePage);
}

}  // namespace yux::net
