#include "net/protocols/httpsrvutil.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace yux::net {

namespace {

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal 64-bit integer made only of digits; false on overflow.
bool ParseInt64(std::string_view s, std::int64_t& out) {
  if (s.empty() || s.size() > 19) return false;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    int d = c - '0';
    if (v > (INT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

// ---------------------------------------------------------------------------
// TSrvMemoryStream

std::int64_t TSrvMemoryStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0 || pos_ >= std::int64_t(data_.size())) return 0;
  std::int64_t n = std::min<std::int64_t>(count, std::int64_t(data_.size()) - pos_);
  std::memcpy(buffer, data_.data() + pos_, size_t(n));
  pos_ += n;
  return n;
}

std::int64_t TSrvMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  if (pos_ + count > std::int64_t(data_.size())) data_.resize(size_t(pos_ + count));
  std::memcpy(data_.data() + pos_, buffer, size_t(count));
  pos_ += count;
  return count;
}

std::int64_t TSrvMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                      : origin == TSeekOrigin::soCurrent ? pos_
                                                         : std::int64_t(data_.size());
  if (base + offset < 0) return -1;
  pos_ = base + offset;
  return pos_;
}

void TSrvMemoryStream::SetSize(std::int64_t newSize) {
  data_.resize(size_t(std::max<std::int64_t>(0, newSize)));
  pos_ = std::min<std::int64_t>(pos_, std::int64_t(data_.size()));
}

// ---------------------------------------------------------------------------
// TSrvFileStream, TSrvSharedStream

TSrvFileStream::~TSrvFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

std::int64_t TSrvFileStream::Read(void* buffer, std::int64_t count) {
  std::int64_t want = std::min(count, size_ - pos_);
  std::int64_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < want) {
    ssize_t n = ::pread(fd_, out + done, size_t(want - done), off_t(pos_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  pos_ += done;
  return done;
}


std::int64_t TSrvSharedStream::Read(void* buffer, std::int64_t count) {
  std::int64_t size = std::int64_t(data_->size());
  if (count <= 0 || pos_ >= size) return 0;
  std::int64_t n = std::min(count, size - pos_);
  std::memcpy(buffer, data_->data() + pos_, size_t(n));
  pos_ += n;
  return n;
}


// ---------------------------------------------------------------------------
// Ranges

void ParseRangeHeader(std::string_view value, THttpRangeList& ranges) {
  value = Trim(value);
  if (value.size() < 6) return;
  value.remove_prefix(6);  // "bytes="
  while (!value.empty()) {
    size_t comma = value.find(',');
    std::string_view piece = Trim(value.substr(0, comma));
    value = comma == std::string_view::npos ? std::string_view{} : value.substr(comma + 1);
    size_t dash = piece.find('-');
    if (dash == std::string_view::npos) continue;
    std::string_view a = Trim(piece.substr(0, dash)), b = Trim(piece.substr(dash + 1));
    if (a.empty() && b.empty()) continue;
    THttpRange r;
    if (!a.empty() && !ParseInt64(a, r.First)) continue;
    if (!b.empty() && !ParseInt64(b, r.Last)) continue;
    ranges.push_back(r);
  }
}

std::string RangeText(std::int64_t first, std::int64_t last, std::int64_t size) {
  return std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size);
}

void THttpRangeStream::AddPart(TStream* src, std::int64_t start, std::int64_t end) {
  THttpPartStream p;
  p.Source = src;
  p.StartPos = start;
  p.EndPos = end;
  p.Offset = size_;
  p.Length = end - start;
  size_ += p.Length;
  parts_.push_back(p);
}

TRangeOutcome THttpRangeStream::Build(std::unique_ptr<TStream> doc, const THttpRangeList& ranges,
                                      const std::string& contentType) {
  doc_ = std::move(doc);
  docSize_ = doc_->Size();
  parts_.clear();
  headers_.clear();
  resolved_.clear();
  size_ = pos_ = 0;
  if (ranges.empty() || ranges.size() > kMaxRanges) return TRangeOutcome::WholeDocument;
  const std::int64_t size = docSize_;
  for (const THttpRange& r : ranges) {
    std::int64_t start, end;
    if (r.First < 0 && r.Last == 0) return TRangeOutcome::Unsatisfiable;  // "-0"
    if (r.First < 0) {
      start = size - r.Last;
      end = size;
    } else if (r.Last < 0) {
      start = r.First;
      end = size;
    } else {
      start = r.First;
      end = r.Last < size ? r.Last + 1 : size;
    }
    bool satisfiable = start < end && start < size;
    if (start > size || start < 0 || end > size || start >= end)
      return satisfiable ? TRangeOutcome::WholeDocument : TRangeOutcome::Unsatisfiable;
    resolved_.emplace_back(start, end - 1);
  }
  // Overlapping ranges would let a small request ask for far more than the
  // document: answer them with the document itself.
  auto sorted = resolved_;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 1; i < sorted.size(); ++i)
    if (sorted[i].first <= sorted[i - 1].second) return TRangeOutcome::WholeDocument;
  if (resolved_.size() == 1) {
    AddPart(doc_.get(), resolved_[0].first, resolved_[0].second + 1);
    return TRangeOutcome::Made;
  }
  bool first = true;
  for (auto [a, b] : resolved_) {
    std::string h = first ? "" : "\r\n";
    first = false;
    h += std::string("--") + kRangeBoundary + "\r\nContent-Type: " + contentType +
         "\r\nContent-Range: bytes " + RangeText(a, b, size) + "\r\n\r\n";
    headers_.push_back(std::make_unique<TSrvMemoryStream>(h));
    AddPart(headers_.back().get(), 0, std::int64_t(h.size()));
    AddPart(doc_.get(), a, b + 1);
  }
  std::string tail = std::string("\r\n--") + kRangeBoundary + "--\r\n";
  headers_.push_back(std::make_unique<TSrvMemoryStream>(tail));
  AddPart(headers_.back().get(), 0, std::int64_t(tail.size()));
  return TRangeOutcome::Made;
}

TStream* THttpRangeStream::SingleRangeSource(std::int64_t& start) const {
  if (parts_.size() != 1 || parts_[0].Source != doc_.get()) return nullptr;
  start = parts_[0].StartPos;
  return doc_.get();
}

std::int64_t THttpRangeStream::Read(void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  auto* out = static_cast<char*>(buffer);
  for (const THttpPartStream& p : parts_) {
    if (done >= count) break;
    if (pos_ >= p.Offset + p.Length || pos_ < p.Offset) continue;
    std::int64_t inPart = pos_ - p.Offset;
    std::int64_t n = std::min(count - done, p.Length - inPart);
    p.Source->Seek(p.StartPos + inPart, TSeekOrigin::soBeginning);
    std::int64_t got = p.Source->Read(out + done, n);
    if (got <= 0) break;
    done += got;
    pos_ += got;
    if (got < n) break;
  }
  return done;
}

std::int64_t TSrvReadOnlyStream::Write(const void*, std::int64_t) {
  throw std::runtime_error("Stream is readonly");
}

void TSrvReadOnlyStream::SetSize(std::int64_t) { throw std::runtime_error("Stream is readonly"); }

std::int64_t TSrvReadOnlyStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                      : origin == TSeekOrigin::soCurrent ? pos_
                                                         : End();
  if (base + offset < 0) return -1;
  pos_ = base + offset;
  return pos_;
}

std::string CreateHttpHeader(const std::string& version, int status,
                             const std::string& contentType, std::int64_t sizeToSend,
                             const THttpRangeStream* ranges, bool compressed) {
  std::string h;
  std::string length = "Content-Length: " + std::to_string(sizeToSend) + "\r\n";
  if (status == 200) {
    h = version + " 200 OK\r\nContent-Type: " + contentType + "\r\n" + length;
    h += compressed ? "Vary: Accept-Encoding\r\n" : "Accept-Ranges: bytes\r\n";
  } else if (status == 206 && ranges && ranges->Resolved().size() == 1) {
    auto [a, b] = ranges->Resolved()[0];
    h = version + " 206 Partial Content\r\nContent-Type: " + contentType + "\r\n" + length +
        "Content-Range: bytes " + RangeText(a, b, ranges->DocumentSize()) + "\r\n";
  } else if (status == 206 && ranges) {
    h = version + " 206 Partial Content\r\nContent-Type: multipart/byteranges; boundary=" +
        kRangeBoundary + "\r\n" + length;
  } else {
    throw std::runtime_error("Unexpected ProtoNumber in CreateHttpHeader");
  }
  return h;
}

// ---------------------------------------------------------------------------
// Content coding

std::string ChooseContentCoding(std::string_view acceptEncoding) {
  double qDeflate = -1, qGzip = -1, qStar = -1;
  while (!acceptEncoding.empty()) {
    size_t comma = acceptEncoding.find(',');
    std::string_view item = acceptEncoding.substr(0, comma);
    acceptEncoding =
        comma == std::string_view::npos ? std::string_view{} : acceptEncoding.substr(comma + 1);
    size_t semi = item.find(';');
    std::string_view name = Trim(item.substr(0, semi));
    double q = 1;
    while (semi != std::string_view::npos) {
      std::string_view rest = item.substr(semi + 1);
      semi = rest.find(';');
      std::string_view param = Trim(rest.substr(0, semi));
      item = rest;
      if (param.size() >= 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=') {
        std::string v(Trim(param.substr(2)));
        char* end = nullptr;
        q = std::strtod(v.c_str(), &end);
        if (v.empty() || *end != 0 || !(q >= 0) || q > 1) q = 0;
      }
    }
    if (IEquals(name, "deflate"))
      qDeflate = q;
    else if (IEquals(name, "gzip") || IEquals(name, "x-gzip"))
      qGzip = q;
    else if (name == "*")
      qStar = q;
  }
  if (qDeflate < 0) qDeflate = qStar;
  if (qGzip < 0) qGzip = qStar;
  if (qDeflate <= 0 && qGzip <= 0) return "";
  return qDeflate >= qGzip ? "deflate" : "gzip";
}

// ---------------------------------------------------------------------------
// Texts

std::string ContentTypeOfExtension(std::string_view fileName) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {"htm", "text/html"},
      {"html", "text/html"},
      {"gif", "image/gif"},
      {"bmp", "image/bmp"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"tif", "image/tiff"},
      {"tiff", "image/tiff"},
      {"txt", "text/plain"},
      {"css", "text/css"},
      {"wav", "audio/x-wav"},
      {"ico", "image/x-icon"},
      {"wml", "text/vnd.wap.wml"},
      {"wbmp", "image/vnd.wap.wbmp"},
      {"wmlc", "application/vnd.wap.wmlc"},
      {"wmlscript", "text/vnd.wap.wmlscript"},
      {"wmlscriptc", "application/vnd.wap.wmlscriptc"},
      {"pdf", "application/pdf"},
      {"png", "image/png"},
      {"xml", "application/xml"},
      {"xhtml", "application/xhtml+xml"},
  };
  size_t slash = fileName.find_last_of('/');
  std::string_view base = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
  size_t dot = base.find_last_of('.');
  if (dot != std::string_view::npos) {
    std::string_view ext = base.substr(dot + 1);
    for (auto [e, t] : kTypes)
      if (IEquals(ext, e)) return t;
  }
  return "application/binary";
}

double UnixTimeToDateTime(std::int64_t t) { return double(t) / 86400.0 + 25569.0; }

std::int64_t DateTimeToUnixTime(double dt) {
  return std::int64_t(std::llround((dt - 25569.0) * 86400.0));
}

std::string RFC1123DateText(double dateTime) {
  std::int64_t t = DateTimeToUnixTime(dateTime);
  std::time_t tt = std::time_t(t);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  static const char kDays[] = "MonTueWedThuFriSatSun";
  std::int64_t days = std::int64_t(std::floor(dateTime));
  int wd = int(((days - 2) % 7 + 7) % 7);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3s, %2.2d %s %4.4d %2.2d:%2.2d:%2.2d", kDays + wd * 3,
                tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return buf;
}

std::string UrlDecodeText(std::string_view text, int, bool) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += char(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string UrlEncodeText(std::string_view text, int) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c == '.' || std::isalnum(c))
      out += char(c);
    else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool ExtractUrlEncodedField(std::string_view data, std::string_view name, std::string& value,
                            bool detectUtf8, int codePage) {
  value.clear();
  while (true) {
    size_t amp = data.find('&');
    std::string_view pair = data.substr(0, amp);
    size_t eq = pair.find('=');
    std::string_view n = pair.substr(0, eq);
    if (IEquals(n, name)) {
      if (eq != std::string_view::npos)
        value = UrlDecodeText(pair.substr(eq + 1), codePage, detectUtf8);
      return true;
    }
    if (amp == std::string_view::npos) return false;
    data.remove_prefix(amp + 1);
  }
}

namespace {

const char* const kLatin1Names[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",
    "uml",    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",
    "deg",    "plusmn", "sup2",   "sup3",   "acute",  "micro",  "para",   "middot",
    "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12", "frac34", "iquest",
    "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",
    "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",
    "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",  "szlig",
    "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide",
    "oslash", "ugrave", "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

// The next code point of UTF-8 text; a byte that does not start a valid
// sequence stands for itself (as Latin-1).
std::uint32_t NextCodePoint(std::string_view s, size_t& i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (len > 1 && i + size_t(len) <= s.size()) {
    std::uint32_t cp = c & (0xFF >> (len + 1));
    bool ok = true;
    for (int k = 1; k < len && ok; ++k) {
      ok = (b(i + size_t(k)) & 0xC0) == 0x80;
      cp = (cp << 6) | (b(i + size_t(k)) & 0x3F);
    }
    static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && cp >= kMin[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
      i += size_t(len);
      return cp;
    }
  }
  ++i;
  return c;
}

}  // namespace

std::string HtmlEscapeText(std::string_view text) {
  std::string out;
  bool lastBlank = false;
  for (size_t i = 0; i < text.size();) {
    std::uint32_t cp = NextCodePoint(text, i);
    bool blank = cp == ' ';
    switch (cp) {
      case '\t': out += "&nbsp;"; break;
      case '\n': out += "\n<BR>"; break;
      case ' ': out += lastBlank ? "&nbsp;" : " "; break;
      case '"': out += "&#34;"; break;
      case '&': out += "&amp;"; break;
      case '\'': out += "&#39;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default:
        if (cp >= 160 && cp <= 255)
          out += std::string("&") + kLatin1Names[cp - 160] + ";";
        else if (cp >= 256)
          out += "&#" + std::to_string(cp) + ";";
        else
          out += char(cp);
    }
    lastBlank = blank;
  }
  return out;
}

std::string NormalisePath(std::string_view path) {
  if (path.empty() || path == "." || path == "..") return "";
  bool absolute = path.front() == '/';
  bool trailing = path.size() > 1 && path.back() == '/';
  if (path.size() >= 2 && path.substr(path.size() - 2) == "/.") trailing = true;
  std::vector<std::string_view> segs;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view seg = path.substr(i, j - i);
    if (seg == "..") {
      if (!segs.empty()) segs.pop_back();
    } else if (!seg.empty() && seg != ".") {
      segs.push_back(seg);
    }
    i = j + 1;
  }
  std::string out = absolute ? "/" : "";
  for (size_t k = 0; k < segs.size(); ++k) {
    if (k) out += '/';
    out += segs[k];
  }
  if (trailing && !segs.empty()) out += '/';
  return out;
}

bool IsDirectory(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  std::error_code ec;
  return std::filesystem::is_directory(p, ec);
}

bool IsRegularFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

bool CanOpenForReading(const std::string& path) { return std::ifstream(path).is_open(); }

// ---------------------------------------------------------------------------
// Request path to file

TPathMapResult MapRequestPath(std::string_view path, const std::string& docDir,
                              std::string& document) {
  auto refused = [](unsigned char c) { return c < 0x20 || c == 0x7F || c == '\\'; };
  for (unsigned char c : path)
    if (refused(c)) return TPathMapResult::BadRequest;
  std::string decoded = UrlDecodeText(path);
  for (unsigned char c : decoded)
    if (refused(c)) return TPathMapResult::BadRequest;
  std::vector<std::string_view> segs;
  std::string_view rest = decoded;
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view seg = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    if (seg == "..") {
      if (!segs.empty()) segs.pop_back();
    } else if (!seg.empty() && seg != ".") {
      segs.push_back(seg);
    }
  }
  document = docDir;
  for (std::string_view s : segs) {
    document += '/';
    document += s;
  }
  if (!segs.empty() && !decoded.empty() && decoded.back() == '/') document += '/';
  return TPathMapResult::Ok;
}

bool FitsFileSystem(std::string_view path) {
  constexpr size_t kMaxPath = 4095, kMaxName = 255;
  if (path.size() > kMaxPath) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (end - start > kMaxName) return false;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return true;
}

bool DocumentInsideRoot(const std::string& document, const std::string& docDir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  auto canon = [&](const std::string& p) {
    std::string s = fs::weakly_canonical(fs::path(p), ec).string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
  };
  std::string root = canon(docDir);
  if (ec) return false;
  std::string doc = canon(document);
  if (ec) return false;
  if (doc == root) return true;
  std::string prefix = root == "/" ? root : root + "/";
  return doc.size() > prefix.size() && doc.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace yux::net

namespace yux::net {

void TFoundDocument::Reset() {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
  Path.clear();
  Directory = Regular = false;
  Size = MTimeSec = MTimeNsec = 0;
  Dev = Ino = 0;
}

int TFoundDocument::TakeFd() {
  int fd = Fd;
  Fd = -1;
  return fd;
}

namespace {

// Fills `found` from an open descriptor; a special file is closed (it is
// never read).
bool Describe(int fd, TFoundDocument& found) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  found.Fd = -1;
  found.Directory = S_ISDIR(st.st_mode);
  found.Regular = S_ISREG(st.st_mode);
  found.Size = std::int64_t(st.st_size);
  found.MTimeSec = std::int64_t(st.st_mtim.tv_sec);
  found.MTimeNsec = std::int64_t(st.st_mtim.tv_nsec);
  found.Dev = std::uint64_t(st.st_dev);
  found.Ino = std::uint64_t(st.st_ino);
  if (found.Regular)
    found.Fd = fd;
  else
    ::close(fd);
  return true;
}

// Non-blocking so that a FIFO or a device never holds the server up; a
// regular file reads the same either way.
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

}  // namespace

TDocumentRoot::~TDocumentRoot() { Drop(); }

void TDocumentRoot::Drop() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
}

int TDocumentRoot::Fd(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    Drop();
    return -1;
  }
  if (fd_ >= 0 && path_ == dir && dev_ == std::uint64_t(st.st_dev) &&
      ino_ == std::uint64_t(st.st_ino))
    return fd_;
  Drop();
  int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  // The folder opened must be the one just looked at.
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return -1;
  }
  fd_ = fd;
  path_ = dir;
  dev_ = std::uint64_t(st.st_dev);
  ino_ = std::uint64_t(st.st_ino);
  return fd_;
}

bool FindDocumentBeneath(const std::string& docDir, const std::string& document,
                         TFoundDocument& found, TDocumentRoot* held) {
  found.Reset();
#ifdef SYS_openat2
  std::string rel;
  if (document == docDir) {
    rel = ".";
  } else if (document.size() > docDir.size() + 1 &&
             document.compare(0, docDir.size(), docDir) == 0 && document[docDir.size()] == '/') {
    rel = document.substr(docDir.size() + 1);
  } else {
    return false;
  }
  TDocumentRoot once;
  int root = (held ? *held : once).Fd(docDir);
  if (root < 0) return false;
  open_how how{};
  how.flags = std::uint64_t(kOpenFlags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  int fd = int(::syscall(SYS_openat2, root, rel.c_str(), &how, sizeof how));
  if (fd < 0 || !Describe(fd, found)) return false;
  found.Path = document;
  return true;
#else
  (void)docDir;
  (void)document;
  (void)held;
  return false;
#endif
}

bool OpenRegularFile(const std::string& path, TFoundDocument& found) {
  found.Reset();
  int fd = ::open(path.c_str(), kOpenFlags);
  if (fd < 0 || !Describe(fd, found)) return false;
  if (found.Regular) return true;
  found.Reset();
  return false;
}

}  // namespace yux::net
