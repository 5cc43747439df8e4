#include "net/protocols/ftpreply.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

namespace yux::net {

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = char(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// Where the text after the status code begins.
size_t AfterCode(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  if (i < line.size() && (line[i] == '-' || line[i] == '+')) ++i;
  while (i < line.size() && Digit(line[i])) ++i;
  return i;
}

// Days from 1899-12-30 to the date (proleptic Gregorian).
double DaysOf(int y, int m, int d) {
  auto civil = [](int yy, int mm, int dd) {
    yy -= mm <= 2;
    const int era = (yy >= 0 ? yy : yy - 399) / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mm + (mm > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;  // days since 1970-01-01
  };
  return double(civil(y, m, d) + 25569);
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && LeapYear(y) ? 29 : kDays[m - 1];
}

int Number(std::string_view s) {
  int v = 0;
  for (char c : s) {
    if (!Digit(c)) return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

TFtpReplyCode FtpReplyCode(std::string_view line) {
  TFtpReplyCode r;
  if (line.empty() || !Digit(line[0])) return r;
  r.hasCode = true;
  size_t i = 0;
  long long v = 0;
  while (i < line.size() && Digit(line[i])) {
    if (v < 100000000) v = v * 10 + (line[i] - '0');
    ++i;
  }
  r.code = int(v);
  r.continuation = i < line.size() && line[i] == '-';
  return r;
}

std::string TFtpPasvAddress::IpText() const {
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
         std::to_string(ip[3]);
}

bool FtpParsePasvReply(std::string_view reply, TFtpPasvAddress& out) {
  size_t p = reply.find('(');
  if (p == std::string_view::npos) return false;
  std::string_view s = reply.substr(p + 1);
  int n[6];
  for (int k = 0; k < 6; ++k) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    size_t start = i;
    long v = 0;
    while (i < s.size() && Digit(s[i]) && i - start < 4) v = v * 10 + (s[i++] - '0');
    if (i == start || v > 255) return false;
    while (i < s.size() && s[i] == ' ') ++i;
    const char want = k < 5 ? ',' : ')';
    if (i >= s.size() || s[i] != want) return false;
    n[k] = int(v);
    s.remove_prefix(i + 1);
  }
  for (int k = 0; k < 4; ++k) out.ip[size_t(k)] = n[k];
  out.port = n[4] * 256 + n[5];
  return out.port != 0;
}

std::string FtpQuotedName(std::string_view line) {
  size_t i = AfterCode(line);
  size_t q = line.find('"', i);
  if (q == std::string_view::npos) return {};
  std::string name;
  for (size_t k = q + 1; k < line.size(); ++k) {
    if (line[k] == '"') {
      if (k + 1 < line.size() && line[k + 1] == '"') {
        name += '"';
        ++k;
        continue;
      }
      break;
    }
    name += line[k];
  }
  return name;
}

std::int64_t FtpSizeAfterCode(std::string_view line) {
  size_t i = AfterCode(line);
  while (i < line.size() && line[i] == ' ') ++i;
  bool neg = false;
  if (i < line.size() && (line[i] == '-' || line[i] == '+')) neg = line[i++] == '-';
  std::uint64_t v = 0;
  while (i < line.size() && Digit(line[i])) {
    std::uint64_t d = std::uint64_t(line[i++] - '0');
    if (v > (std::uint64_t(std::numeric_limits<std::int64_t>::max()) - d) / 10) return 0;
    v = v * 10 + d;
  }
  return neg ? -std::int64_t(v) : std::int64_t(v);
}

std::string FtpWordAfterCode(std::string_view line, int index) {
  size_t i = AfterCode(line);
  for (int w = 0;; ++w) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (start == i) return {};
    if (w == index) return std::string(line.substr(start, i - start));
  }
}

double FtpMdtmToDateTime(std::string_view text) {
  if (text.size() < 14) return 0;
  int y = Number(text.substr(0, 4)), mo = Number(text.substr(4, 2)), d = Number(text.substr(6, 2));
  int h = Number(text.substr(8, 2)), mi = Number(text.substr(10, 2)), s = Number(text.substr(12, 2));
  if (mo < 1 || mo > 12 || d < 1 || d > 31) return 0;
  if (y < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || d > DaysInMonth(y, mo))
    return -1;
  int ms = 0;
  if (text.size() >= 16 && text.size() <= 18 && text[14] == '.') {
    std::string_view f = text.substr(15);
    int v = Number(f);
    if (v < 0) return -1;
    ms = f.size() == 1 ? v * 100 : f.size() == 2 ? v * 10 : v;
  }
  return DaysOf(y, mo, d) + (h * 3600000.0 + mi * 60000.0 + s * 1000.0 + ms) / 86400000.0;
}

std::string FtpDateTimeToMdtm(double dateTime) {
  double days = std::floor(dateTime);
  long long ms = std::llround((dateTime - days) * 86400000.0);
  if (ms >= 86400000) {
    days += 1;
    ms -= 86400000;
  }
  // Back from days since 1899-12-30 to a civil date.
  long long z = (long long)days - 25569 + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long y = yoe + era * 400;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long d = doy - (153 * mp + 2) / 5 + 1;
  const long long m = mp + (mp < 10 ? 3 : -9);
  y += m <= 2;
  long long sec = ms / 1000;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04lld%02lld%02lld%02lld%02lld%02lld", y, m, d, sec / 3600,
                (sec / 60) % 60, sec % 60);
  return buf;
}

void FtpFeatLine(std::string_view raw, TFtpExtensions& ext, std::string& mlstFacts,
                 std::string& languages) {
  std::string_view line = TrimView(raw);
  auto starts = [&](std::string_view p) { return line.substr(0, p.size()) == p; };
  // "contains X after n": found beyond the first n characters.  Searched
  // from there, not from the start: the "P" of "PROT" itself must not
  // hide the "P" of "PROT C;P".
  auto after = [&](std::string_view x, size_t n) { return line.find(x, n) != std::string_view::npos; };
  auto tail = [&] { return std::string(TrimView(line.substr(5, 99))); };
  if (starts("MDTM YYYYMMDDHHMMSS")) ext.Include(ftpFeatMdtmYy);
  else if (line == "MDTM") ext.Include(ftpFeatMdtm);
  else if (line == "SIZE") ext.Include(ftpFeatSize);
  else if (line == "REST STREAM") ext.Include(ftpFeatRest);
  else if (starts("MLST")) {
    ext.Include(ftpFeatMlst);
    if (line.size() > 6) mlstFacts = tail();
  } else if (line == "MFMT") ext.Include(ftpFeatMfmt);
  else if (line == "MD5") ext.Include(ftpFeatMd5);
  else if (starts("XMD5")) ext.Include(ftpFeatXmd5);
  else if (starts("AUTH")) {
    if (after("SSL", 5)) ext.Include(ftpFeatAuthSsl);
    if (after("TLS", 5)) ext.Include(ftpFeatAuthTls);
  } else if (starts("PROT")) {
    if (after("C", 5)) ext.Include(ftpFeatProtC);
    if (after("P", 5)) ext.Include(ftpFeatProtP);
  } else if (line == "PBSZ") ext.Include(ftpFeatPbsz);
  else if (line == "CCC") ext.Include(ftpFeatCcc);
  else if (starts("XCRC")) ext.Include(ftpFeatXCrc);
  else if (starts("MODE Z")) ext.Include(ftpFeatModeZ);
  else if (line == "CLNT") ext.Include(ftpFeatClnt);
  else if (line == "COMB") ext.Include(ftpFeatComb);
  else if (starts("SITE")) {
    std::string l = std::string(line) + ";";
    auto site = [&](const char* word, TFtpExtension e) {
      size_t p = l.find(word);
      if (p != std::string::npos && p + 1 > 4) ext.Include(e);
    };
    site("PSWD;", ftpFeatSitePswd);
    site("EXEC;", ftpFeatSiteExec);
    site("INDEX;", ftpFeatSiteIndex);
    site("ZONE;", ftpFeatSiteZone);
    site("MSG;", ftpFeatSiteMsg);
    site("CMLSD;", ftpFeatSiteCmlsd);
    site("DMLSD;", ftpFeatSiteDmlsd);
  } else if (line == "UTF8") ext.Include(ftpFeatUtf8);
  else if (line == "HOST") ext.Include(ftpFeatHost);
  else if (starts("LANG")) {
    ext.Include(ftpFeatLang);
    if (line.size() > 6) languages = tail();
  } else if (line == "XCMLSD") ext.Include(ftpFeatXCmlsd);
  else if (line == "XDMLSD") ext.Include(ftpFeatXDmlsd);
}

std::string FtpSizeText(std::int64_t count) {
  const double x = double(count);
  const double g = 1073741824.0;
  char buf[64];
  if (x / 100 >= g) std::snprintf(buf, sizeof buf, "%5.0fG", x / g);
  else if (x / 10 >= g) std::snprintf(buf, sizeof buf, "%5.1fG", x / g);
  else if (x >= g) std::snprintf(buf, sizeof buf, "%5.2fG", x / g);
  else if (x >= 104857600) std::snprintf(buf, sizeof buf, "%5.0fM", x / 1048576);
  else if (x >= 10485760) std::snprintf(buf, sizeof buf, "%5.1fM", x / 1048576);
  else if (x >= 1048576) std::snprintf(buf, sizeof buf, "%5.2fM", x / 1048576);
  else if (x >= 102400) std::snprintf(buf, sizeof buf, "%5.0fK", x / 1024);
  else if (x >= 10240) std::snprintf(buf, sizeof buf, "%5.1fK", x / 1024);
  else if (x >= 1024) std::snprintf(buf, sizeof buf, "%5.2fK", x / 1024);
  else std::snprintf(buf, sizeof buf, "%5.0f ", x);
  return std::string(TrimView(buf));
}

std::string FtpCompressTempName(std::string_view localFileName, std::uint32_t tick) {
  std::string name = localFileName.empty() ? std::string("temp") : Lower(localFileName);
  for (char& c : name)
    if (c == '.' || c == ':' || c == '\\' || c == '/') c = '_';
  std::string digits = std::to_string(tick);
  if (digits.size() < 6) digits = "123" + digits;
  if (digits.size() > 6) digits = digits.substr(digits.size() - 6);
  return name + "_" + digits + ".zlib";
}

}  // namespace yux::net
