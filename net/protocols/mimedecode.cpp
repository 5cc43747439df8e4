#include "net/protocols/mimedecode.h"

#include <cctype>
#include <climits>
#include <cstring>

#include "net/socket/codepage.h"

namespace yux::net {
namespace {

// Indexed by the low 7 bits: the alphabet, "=" as 64, everything else 255.
constexpr std::uint8_t kNone = 255;
struct Base64Table {
  std::uint8_t v[128];
  constexpr Base64Table() : v() {
    for (auto& x : v) x = kNone;
    for (int i = 0; i < 26; ++i) v['A' + i] = static_cast<std::uint8_t>(i);
    for (int i = 0; i < 26; ++i) v['a' + i] = static_cast<std::uint8_t>(26 + i);
    for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<std::uint8_t>(52 + i);
    v['+'] = 62;
    v['/'] = 63;
    v['='] = 64;
  }
};
constexpr Base64Table kTable;

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IsCutHere(const std::string& line) {
  std::string l = Lower(line);
  return l.find("--") != std::string::npos && l.find("cut here") != std::string::npos;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  std::size_t n = std::strlen(prefix);
  return s.size() >= n && Lower(s.substr(0, n)) == prefix;
}

// "begin " + at least the digits up to position 9 or later + blank + name.
bool IsUuBegin(const std::string& line, std::string& name) {
  if (line.compare(0, 6, "begin ") != 0) return false;
  std::size_t i = 6;
  while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) ++i;
  if (i >= line.size() || line[i] != ' ' || i + 1 < 9) return false;
  name = line.substr(i + 1);
  return true;
}

}  // namespace

TMimeDecode::TMimeDecode() : CodePage(NetSystemCodePage()) {}

TMimeDecode::~TMimeDecode() = default;

void TMimeDecode::DecodeBase64Line() {
  if (!LineData) return;
  char* p = LineData;
  std::size_t end = std::strlen(p);
  std::size_t start = 0;
  while (end > start && (p[end - 1] == ' ' || p[end - 1] == '\t')) --end;
  while (start < end && (p[start] == ' ' || p[start] == '\t')) ++start;

  // Output never outruns input (3 bytes per 4 characters), so decoding in
  // place is safe.
  std::size_t out = 0;
  std::size_t i = start;
  while (i < end) {
    std::uint8_t v[4];
    for (int k = 0; k < 4; ++k, ++i)
      v[k] = i < end ? kTable.v[static_cast<unsigned char>(p[i]) & 0x7F] : 64;
    p[out++] = static_cast<char>((v[0] << 2) | ((v[1] >> 4) & 3));
    if (v[2] == 64) continue;
    p[out++] = static_cast<char>((v[1] << 4) | ((v[2] >> 2) & 15));
    if (v[3] == 64) continue;
    p[out++] = static_cast<char>((v[2] << 6) | (v[3] & 63));
  }
  p[out] = '\0';
  ProcessPartLine(p, static_cast<int>(out));
}

void TMimeDecode::ProcessPartLine(const char* data, int len) {
  if (len > 0 && !InlineDetectionOff) {
    std::string line(data, static_cast<std::size_t>(len));
    line = line.substr(0, line.find('\0'));
    if (DecodeInlineLine(line.c_str())) return;
  }
  TriggerPartLine(data, len);
  if (DestStream && len > 0) DestStream->Write(data, len);
}

void TMimeDecode::ParseYEncBegin(const std::string& line) {
  std::size_t i = 8;
  while (i < line.size()) {
    auto digitsAfter = [&](const char* key, int& value) {
      std::size_t n = std::strlen(key);
      if (line.compare(i, n, key) != 0) return false;
      i += n;
      // The header comes from the message: a number too large for an int
      // stays at the largest one instead of overflowing.
      value = 0;
      while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) {
        const int digit = line[i++] - '0';
        value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
      }
      return true;
    };
    if (digitsAfter("line=", FYEncLineLength) || digitsAfter("size=", FYEncSize)) continue;
    if (line.compare(i, 5, "name=") == 0) {
      i += 5;
      std::size_t stop = i;
      while (stop < line.size() && !(line[stop] == ' ' && stop + 1 < line.size() && line[stop + 1] == '='))
        ++stop;
      FInlineFileName = line.substr(i, stop - i);
      i = stop;
      continue;
    }
    ++i;
  }
  FYEncRemaining = FYEncSize;
}

bool TMimeDecode::DecodeInlineLine(const char* linePtr) {
  const std::string line = linePtr ? linePtr : "";
  std::size_t b = line.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return false;

  if (!FInInlineDecode) {
    std::string name;
    if (IsUuBegin(line, name)) {
      if (!name.empty()) FInlineFileName = name;
      if (!IsCutHere(line)) {
        FInInlineDecode = true;
        FInlineIsYEnc = false;
        TriggerInlineDecodeBegin(FInlineFileName);
      }
      return true;
    }
    if (line.compare(0, 8, "=ybegin ") == 0) {
      ParseYEncBegin(line);
      FInInlineDecode = true;
      FInlineIsYEnc = true;
      TriggerInlineDecodeBegin(FInlineFileName);
      return true;
    }
    return false;
  }

  if (StartsWithNoCase(line, "end")) {
    if (IsCutHere(line)) return true;
    FInInlineDecode = false;
    TriggerInlineDecodeEnd(FInlineFileName);
    FInlineFileName.clear();
    return true;
  }
  if (StartsWithNoCase(line, "=yend ")) {
    FInInlineDecode = false;
    FInlineIsYEnc = false;
    TriggerInlineDecodeEnd(FInlineFileName);
    FInlineFileName.clear();
    return true;
  }
  if (StartsWithNoCase(line, "=ypart ")) return true;
  if (InlineDecodeLines || OnInlineDecodeLine) {
    std::string decoded = DecodeEmbeddedLine(line);
    TriggerInlineDecodeLine(decoded.data(), static_cast<int>(decoded.size()));
  }
  return true;
}

std::string TMimeDecode::DecodeEmbeddedLine(const std::string& line) const {
  std::string out;
  if (FInlineIsYEnc) {
    std::size_t n = std::min<std::size_t>(line.size(), static_cast<std::size_t>(std::max(FYEncLineLength, 0)));
    for (std::size_t i = 0; i < n; ++i) {
      unsigned char c = static_cast<unsigned char>(line[i]);
      if (c == '=' && i + 1 < n) {
        c = static_cast<unsigned char>(line[++i]);
        out.push_back(static_cast<char>((c - 106) & 0xFF));
      } else {
        out.push_back(static_cast<char>((c - 42) & 0xFF));
      }
    }
    return out;
  }
  // uuencode: the first character carries the byte count.
  auto val = [&](std::size_t i) { return (static_cast<unsigned char>(line[i]) - 32) & 63; };
  int n = line.empty() ? 0 : val(0);
  std::size_t i = 1;
  while (n > 0) {
    if (i + 4 > line.size()) return {};  // the line ended before the count
    int a = val(i), b = val(i + 1), c = val(i + 2), d = val(i + 3);
    out.push_back(static_cast<char>((a << 2) | (b >> 4)));
    if (n > 1) out.push_back(static_cast<char>((b << 4) | (c >> 2)));
    if (n > 2) out.push_back(static_cast<char>((c << 6) | d));
    n -= 3;
    i += 4;
  }
  return out;
}

void TMimeDecode::TriggerHeaderBegin() { if (OnHeaderBegin) OnHeaderBegin(this); }
void TMimeDecode::TriggerHeaderLine() { if (OnHeaderLine) OnHeaderLine(this); }
void TMimeDecode::TriggerHeaderEnd() { if (OnHeaderEnd) OnHeaderEnd(this); }
void TMimeDecode::TriggerPartHeaderBegin() { if (OnPartHeaderBegin) OnPartHeaderBegin(this); }
void TMimeDecode::TriggerPartHeaderLine() { if (OnPartHeaderLine) OnPartHeaderLine(this); }
void TMimeDecode::TriggerPartHeaderEnd() { if (OnPartHeaderEnd) OnPartHeaderEnd(this); }
void TMimeDecode::TriggerPartBegin() { if (OnPartBegin) OnPartBegin(this); }
void TMimeDecode::TriggerPartLine(const char* data, int len) {
  if (OnPartLine) OnPartLine(this, data, len);
}
void TMimeDecode::TriggerPartEnd() { if (OnPartEnd) OnPartEnd(this); }
void TMimeDecode::TriggerMessageEnd() { if (OnMessageEnd) OnMessageEnd(this); }
void TMimeDecode::TriggerInlineDecodeBegin(const std::string& fileName) {
  if (OnInlineDecodeBegin) OnInlineDecodeBegin(this, fileName);
}
void TMimeDecode::TriggerInlineDecodeLine(const char* line, int len) {
  if (OnInlineDecodeLine) OnInlineDecodeLine(this, line, len);
}
void TMimeDecode::TriggerInlineDecodeEnd(const std::string& fileName) {
  if (OnInlineDecodeEnd) OnInlineDecodeEnd(this, fileName);
}

}  // namespace yux::net
