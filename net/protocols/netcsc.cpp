#include "net/protocols/netcsc.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "net/socket/codepage.h"
#include "net/socket/netutils.h"
#include "platform/messages.h"

namespace yux::net {
namespace {

constexpr int kKindSingle = 0, kKindDouble = 1, kKindMulti = 2, kKindUtf8or7 = 3, kKindUtf16or32 = 4;

bool IsUtf16(std::uint32_t cp) { return cp == 1200 || cp == 1201; }
bool IsUtf32(std::uint32_t cp) { return cp == 12000 || cp == 12001; }

bool HasLeadBytes(std::uint32_t cp) {
  for (int b = 0; b < 256; ++b)
    if (NetIsLeadByte(static_cast<std::uint8_t>(b), cp)) return true;
  return false;
}

bool IsBase64Char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// Characters a UTF-7 text may carry unshifted.
bool IsUtf7Direct(unsigned char c) {
  return (c >= 0x20 && c <= 0x7E && c != '+') || c == '\t' || c == '\r' || c == '\n';
}

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  bool ok() const { return cd_ != (iconv_t)-1; }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

std::uint32_t ReadUnit16(const unsigned char* p, bool be) {
  return be ? (std::uint32_t(p[0]) << 8 | p[1]) : (std::uint32_t(p[1]) << 8 | p[0]);
}

std::uint32_t ReadUnit32(const unsigned char* p, bool be) {
  return be ? (std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3])
            : (std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0]);
}

void PutUnit16(std::string& out, std::uint32_t u, bool be) {
  char a = static_cast<char>(u & 0xFF), b = static_cast<char>((u >> 8) & 0xFF);
  if (be) std::swap(a, b);
  out.push_back(a);
  out.push_back(b);
}

void PutUnit32(std::string& out, std::uint32_t v, bool be) {
  char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
               static_cast<char>(v >> 24)};
  if (be) {
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
  }
  out.append(b, 4);
}

// Code points of UTF-16 (or UTF-32) bytes; an invalid unit yields
// 0xFFFFFFFF.  A trailing partial unit counts as invalid.
std::vector<std::uint32_t> DecodeUnits(const unsigned char* p, std::size_t n, bool utf32, bool be) {
  std::vector<std::uint32_t> cps;
  const std::size_t w = utf32 ? 4 : 2;
  std::size_t i = 0;
  for (; i + w <= n; i += w) {
    if (utf32) {
      std::uint32_t v = ReadUnit32(p + i, be);
      cps.push_back((v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF ? 0xFFFFFFFF : v);
      continue;
    }
    std::uint32_t u = ReadUnit16(p + i, be);
    if (u >= 0xD800 && u <= 0xDBFF && i + 4 <= n) {
      std::uint32_t v = ReadUnit16(p + i + 2, be);
      if (v >= 0xDC00 && v <= 0xDFFF) {
        cps.push_back(0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
        i += 2;
        continue;
      }
    }
    cps.push_back(u >= 0xD800 && u <= 0xDFFF ? 0xFFFFFFFF : u);
  }
  if (i < n) cps.push_back(0xFFFFFFFF);
  return cps;
}

void EncodeUnits(std::string& out, std::uint32_t cp, bool utf32, bool be) {
  if (utf32) {
    PutUnit32(out, cp, be);
  } else if (cp >= 0x10000) {
    cp -= 0x10000;
    PutUnit16(out, 0xD800 + (cp >> 10), be);
    PutUnit16(out, 0xDC00 + (cp & 0x3FF), be);
  } else {
    PutUnit16(out, cp, be);
  }
}

// Converts one UTF-16 unit with the converter's current state and appends
// the result; false (nothing appended) when it has no conversion.
bool AppendConverted(iconv_t cd, char16_t unit, std::string& out) {
  char src[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  char* in = src;
  std::size_t inLeft = sizeof src;
  char buf[32];
  char* outp = buf;
  std::size_t outLeft = sizeof buf;
  if (iconv(cd, &in, &inLeft, &outp, &outLeft) == std::size_t(-1) || inLeft != 0) return false;
  out.append(buf, static_cast<std::size_t>(outp - buf));
  return true;
}

}  // namespace

TNetCsc::TNetCsc(std::uint32_t codePage) { SetCodePage(codePage); }

TNetCsc::~TNetCsc() = default;

void TNetCsc::SetCodePage(std::uint32_t codePage) {
  if (codePage == 0) codePage = NetSystemCodePage();
  const bool usable = NetIsValidCodePage(codePage);
  auto unsupported = [&] {
    return ENetStringConvertError("Codepage \"" + std::to_string(codePage) + "\" not supported.");
  };
  int kind;
  int minSize = 1;
  if (IsUtf16(codePage)) {
    kind = kKindUtf16or32;
    minSize = 2;
  } else if (IsUtf32(codePage)) {
    kind = kKindUtf16or32;
    minSize = 4;
  } else if (!usable) {
    throw unsupported();
  } else if (NetIsSingleByteCodePage(codePage)) {
    kind = kKindSingle;
  } else if (HasLeadBytes(codePage)) {
    kind = kKindDouble;
  } else if (codePage == CP_UTF8 || codePage == CP_UTF7) {
    kind = kKindUtf8or7;
  } else {
    kind = kKindMulti;
  }
  FCodePage = codePage;
  FKind = kind;
  FMinCharSize = minSize;
  FDefaultUnicodeChar = NetDefaultUnicodeChar(codePage);
  FDefaultAnsiChar = NetDefaultAnsiChar(codePage);
  FUtf7State = 0;
  const char* name = NetCodePageIconvName(codePage);
  FIconvName = name ? name : "";
}

int TNetCsc::GetNextCodePointSize(const void* buf, int len) {
  const auto* p = static_cast<const unsigned char*>(buf);
  if (len <= 0) return -1;
  switch (FKind) {
    case kKindUtf16or32: {
      const bool be = FCodePage == 1201 || FCodePage == 12001;
      if (IsUtf32(FCodePage)) {
        if (len < 4) return -1;
        std::uint32_t v = ReadUnit32(p, be);
        return (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF ? -14 : 4;
      }
      if (len < 2) return -1;
      std::uint32_t u = ReadUnit16(p, be);
      if (u >= 0xDC00 && u <= 0xDFFF) return -12;
      if (u < 0xD800 || u > 0xDBFF) return 2;
      if (len < 4) return -1;
      std::uint32_t v = ReadUnit16(p + 2, be);
      return v >= 0xDC00 && v <= 0xDFFF ? 4 : -14;
    }
    case kKindSingle:
      return 1;
    case kKindDouble:
      if (!NetIsLeadByte(p[0], FCodePage)) return 1;
      return len < 2 ? -1 : 2;
    case kKindUtf8or7:
      if (FCodePage == CP_UTF7) return Utf7Size(p, len);
      {
        int n = Utf8SequenceLength(p[0]);
        if (n == 0) return -11;
        for (int k = 1; k < n && k < len; ++k) {
          unsigned char c = p[k];
          bool ok = (c & 0xC0) == 0x80;
          if (k == 1) {
            if (p[0] == 0xE0) ok = ok && c >= 0xA0;
            if (p[0] == 0xED) ok = ok && c <= 0x9F;
            if (p[0] == 0xF0) ok = ok && c >= 0x90;
            if (p[0] == 0xF4) ok = ok && c <= 0x8F;
          }
          if (!ok) return -11;
        }
        return n > len ? -1 : n;
      }
    default:
      break;
  }
  // Other multi-byte code pages.
  if (FCodePage == 54936) {
    if (p[0] < 0x80) return 1;
    if (p[0] == 0x80 || p[0] == 0xFF) return -11;
    if (len < 2) return -1;
    if (p[1] >= 0x40 && p[1] <= 0xFE) return 2;
    if (p[1] < '0' || p[1] > '9') return -12;
    if (len < 3) return -1;
    if (p[2] < 0x81 || p[2] == 0xFF) return -13;
    if (len < 4) return -1;
    return p[3] >= '0' && p[3] <= '9' ? 4 : -14;
  }
  if (FCodePage == 51932) {
    auto hi = [](unsigned char c) { return c >= 0xA1 && c <= 0xFE; };
    if (p[0] < 0x80) return 1;
    if (p[0] == 0x8E) {
      if (len < 2) return -1;
      return p[1] >= 0xA1 && p[1] <= 0xDF ? 2 : -12;
    }
    if (p[0] == 0x8F) {
      if (len < 2) return -1;
      if (!hi(p[1])) return -12;
      if (len < 3) return -1;
      return hi(p[2]) ? 3 : -13;
    }
    if (!hi(p[0])) return -11;
    if (len < 2) return -1;
    return hi(p[1]) ? 2 : -12;
  }
  return TrialSize(p, len);
}

// Converts 1, 2, ... bytes until a character results.
int TNetCsc::TrialSize(const unsigned char* p, int len) {
  Iconv cd("UTF-16LE", FIconvName.c_str());
  if (!cd.ok()) return -11;
  constexpr int kMaxTrial = 16;
  for (int n = 1; n <= len && n <= kMaxTrial; ++n) {
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(p));
    std::size_t inLeft = static_cast<std::size_t>(n);
    char out[16];
    char* outp = out;
    std::size_t outLeft = sizeof out;
    std::size_t r = iconv(cd.get(), &in, &inLeft, &outp, &outLeft);
    if (r == std::size_t(-1) && errno == EILSEQ)
      return -11 - static_cast<int>(in - reinterpret_cast<const char*>(p));
    if (r != std::size_t(-1) && inLeft == 0 && outp != out) return n;
  }
  return len < kMaxTrial ? -1 : -11;
}

int TNetCsc::Utf7Size(const unsigned char* p, int len) {
  FUtf7State = 0;
  if (p[0] != '+') return IsUtf7Direct(p[0]) ? 1 : -11;
  FUtf7State = 1;
  if (len < 2) return -1;
  // "+-" stands for the plus sign itself.
  if (p[1] == '-') {
    FUtf7State = 0;
    return 2;
  }
  if (!IsBase64Char(p[1])) return -12;
  FUtf7State = 2;
  int i = 2;
  while (i < len && IsBase64Char(p[i])) ++i;
  if (i >= len) return -1;
  FUtf7State = 0;
  if (p[i] == '-') return i + 1;  // the closing "-" belongs to the run
  if (!IsUtf7Direct(p[i])) return -11 - i;
  return i;
}

int TNetCsc::Convert(bool toWide, std::uint32_t flags, const char* src, std::size_t srcLen,
                     char* dst, int dstSize) {
  const bool strict = toWide ? (flags & MB_ERR_INVALID_CHARS) != 0 : (flags & WC_NO_BEST_FIT_CHARS) != 0;
  const auto* u = reinterpret_cast<const unsigned char*>(src);
  std::string out;
  bool failed = false;

  if (FKind == kKindUtf16or32) {
    const bool utf32 = IsUtf32(FCodePage);
    const bool be = FCodePage == 1201 || FCodePage == 12001;
    // Source units: the code page's own when converting to UTF-16, else
    // UTF-16 little endian.
    auto cps = toWide ? DecodeUnits(u, srcLen, utf32, be) : DecodeUnits(u, srcLen, false, false);
    for (std::uint32_t cp : cps) {
      if (cp == 0xFFFFFFFF) {
        if (strict) {
          failed = true;
          break;
        }
        cp = 0xFFFD;
      }
      if (toWide) EncodeUnits(out, cp, false, false);
      else EncodeUnits(out, cp, utf32, be);
    }
  } else {
    Iconv cd(toWide ? "UTF-16LE" : FIconvName.c_str(), toWide ? FIconvName.c_str() : "UTF-16LE");
    if (!cd.ok()) {
      FLastError = NETCSC_ERROR_INVALID_PARAMETER;
      return 0;
    }
    std::string rep;
    if (toWide) {
      PutUnit16(rep, FDefaultUnicodeChar, false);
    } else if (FCodePage == CP_UTF8) {
      rep = "\xEF\xBF\xBD";
    } else {
      rep.assign(1, FDefaultAnsiChar);
    }
    // Towards a code page the replacement (the default character, which is
    // the code page's question mark) goes through the converter too: a
    // stateful one (ISO-2022) may be inside a two-byte run, where a plain
    // byte would be read as half of a character.
    const char16_t replacementUnit = FCodePage == CP_UTF8 ? u'\uFFFD' : u'?';
    char* in = const_cast<char*>(src);
    std::size_t inLeft = srcLen;
    char buf[4096];
    while (inLeft > 0) {
      char* outp = buf;
      std::size_t outLeft = sizeof buf;
      std::size_t r = iconv(cd.get(), &in, &inLeft, &outp, &outLeft);
      int err = errno;
      out.append(buf, static_cast<std::size_t>(outp - buf));
      if (r != std::size_t(-1) || err == E2BIG) continue;
      if (err != EILSEQ && err != EINVAL) {
        failed = true;
        break;
      }
      if (strict) {
        failed = true;
        break;
      }
      std::size_t skip = 1;
      if (!toWide) {
        skip = 2;
        if (inLeft >= 4) {
          std::uint32_t a = ReadUnit16(reinterpret_cast<unsigned char*>(in), false);
          std::uint32_t b = ReadUnit16(reinterpret_cast<unsigned char*>(in) + 2, false);
          if (a >= 0xD800 && a <= 0xDBFF && b >= 0xDC00 && b <= 0xDFFF) skip = 4;
        }
      }
      if (skip > inLeft) skip = inLeft;
      in += skip;
      inLeft -= skip;
      if (toWide || !AppendConverted(cd.get(), replacementUnit, out)) out += rep;
    }
    // With the input used up, the reset form of the call writes what takes
    // a stateful code page back to its initial state: a few bytes at most,
    // so one call with the whole buffer does it.  It is made once only:
    // some converters write their designation anew on every such call, so
    // waiting for a call that writes nothing may never end.
    if (!failed) {
      char* outp = buf;
      std::size_t outLeft = sizeof buf;
      std::size_t r = iconv(cd.get(), nullptr, nullptr, &outp, &outLeft);
      out.append(buf, static_cast<std::size_t>(outp - buf));
      if (r == std::size_t(-1)) failed = true;
    }
  }
  if (failed) {
    FLastError = NETCSC_ERROR_NO_UNICODE_TRANSLATION;
    return 0;
  }
  if (dstSize == 0) {
    FLastError = NETCSC_ERROR_SUCCESS;
    return static_cast<int>(out.size());
  }
  if (out.size() > static_cast<std::size_t>(dstSize)) {
    FLastError = NETCSC_ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(dst, out.data(), out.size());
  FLastError = NETCSC_ERROR_SUCCESS;
  return static_cast<int>(out.size());
}

namespace {

// Bytes up to and including the terminator: the first unit of unitSize
// bytes that are all zero.
std::size_t TerminatedLength(const char* s, int unitSize) {
  std::size_t n = 0;
  for (;; n += std::size_t(unitSize)) {
    bool zero = true;
    for (int i = 0; i < unitSize; ++i) zero = zero && s[n + std::size_t(i)] == 0;
    if (zero) return n + std::size_t(unitSize);
  }
}

}  // namespace

int TNetCsc::ToWide(std::uint32_t flags, const void* src, int srcLen, char16_t* dst, int dstBytes) {
  if (!src || srcLen == 0 || srcLen < -1 || dstBytes < 0 || (dstBytes > 0 && !dst)) {
    FLastError = NETCSC_ERROR_INVALID_PARAMETER;
    platform::SetLastError(FLastError);
    return 0;
  }
  const char* s = static_cast<const char*>(src);
  std::size_t n = srcLen == -1 ? TerminatedLength(s, FKind == 4 ? FMinCharSize : 1)
                               : static_cast<std::size_t>(srcLen);
  int r = Convert(true, flags, s, n, reinterpret_cast<char*>(dst), dstBytes);
  platform::SetLastError(FLastError);
  return r;
}

int TNetCsc::FromWide(std::uint32_t flags, const char16_t* src, int srcBytes, void* dst, int dstLen) {
  if (!src || srcBytes == 0 || srcBytes < -1 || (srcBytes > 0 && srcBytes % 2 != 0) || dstLen < 0 ||
      (dstLen > 0 && !dst)) {
    FLastError = NETCSC_ERROR_INVALID_PARAMETER;
    platform::SetLastError(FLastError);
    return 0;
  }
  std::size_t n = 0;
  if (srcBytes == -1) {
    while (src[n]) ++n;
    n = (n + 1) * 2;
  } else {
    n = static_cast<std::size_t>(srcBytes);
  }
  int r = Convert(false, flags, reinterpret_cast<const char*>(src), n, static_cast<char*>(dst), dstLen);
  platform::SetLastError(FLastError);
  return r;
}

std::u16string TNetCsc::ToWideString(std::string_view s) {
  if (s.empty()) return {};
  int n = ToWide(0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::u16string w(static_cast<std::size_t>(n) / 2, u'\0');
  if (n > 0) ToWide(0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string TNetCsc::FromWideString(std::u16string_view w) {
  if (w.empty()) return {};
  int bytes = static_cast<int>(w.size() * 2);
  int n = FromWide(0, w.data(), bytes, nullptr, 0);
  std::string s(static_cast<std::size_t>(n), '\0');
  if (n > 0) FromWide(0, w.data(), bytes, s.data(), n);
  return s;
}

}  // namespace yux::net
