#include "tools/winrar/switches.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

namespace yux::winrar {
namespace {

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

void Note(Options* opt, const std::string& text) {
  for (auto& n : opt->notes)
    if (n == text) return;
  opt->notes.push_back(text);
}

// One switch without its leading '-'; empty result when accepted.
std::string ParseSwitch(const std::string& body, Options* opt) {
  const std::string l = Lower(body);
  const std::string bad = "unknown or malformed switch -" + body;
  if (l == "cfg-") return {};
  if (l == "listliteral") {
    // Lists of exact names (the bins' lists): a name holding "*" or "?"
    // must not take other files in, and blanks around it are part of it.
    opt->literalLists = true;
    return {};
  }
  if (StartsWith(l, "sfx")) {
    opt->selfExtracting = true;
    return {};
  }
  if (StartsWith(l, "ag")) {
    opt->stamp = body.substr(2);
    if (opt->stamp->empty()) opt->stamp = "YYYYMMDDHHMMSS";
    return {};
  }
  if (l == "afzip") {
    opt->zipExtension = true;
    return {};
  }
  if (l == "as") {
    opt->sync = true;
    return {};
  }
  if (l == "av") {
    Note(opt, "-AV: authenticity verification does not exist in ZIP archives; ignored");
    return {};
  }
  if (l == "dh") return {};  // files are always opened shared here
  if (l == "df") {
    opt->deleteSources = true;
    return {};
  }
  if (l == "dw") {
    opt->wipe = true;
    return {};
  }
  if (StartsWith(l, "ep")) {
    static const PathMode modes[] = {PathMode::NamesOnly, PathMode::RelativeToItem,
                                     PathMode::FullNoRoot, PathMode::Full};
    std::string rest = l.substr(2);
    if (rest.empty()) {
      opt->paths = PathMode::NamesOnly;
      return {};
    }
    if (rest.size() == 1 && rest[0] >= '1' && rest[0] <= '3') {
      opt->paths = modes[rest[0] - '0'];
      return {};
    }
    return bad;
  }
  if (StartsWith(l, "e") && l.size() > 1) {
    for (char c : l.substr(1)) {
      switch (c) {
        case 'h': opt->excludeHidden = true; break;
        case 'r': opt->excludeReadOnly = true; break;
        case 'a':
          Note(opt, "-e: the archive attribute does not exist here; files are not excluded by it");
          break;
        case 's':
          Note(opt, "-e: the system attribute does not exist here; files are not excluded by it");
          break;
        default: return bad;
      }
    }
    return {};
  }
  if (l == "f") {
    opt->freshen = true;
    return {};
  }
  if (l == "u") {
    opt->update = true;
    return {};
  }
  if (l == "r") {
    opt->recurse = true;
    return {};
  }
  if (l == "k") {
    opt->lock = true;
    return {};
  }
  if (l == "t") {
    opt->test = true;
    return {};
  }
  if (l == "s") {
    Note(opt, "-s: solid archives do not exist in ZIP; each file is compressed on its own");
    return {};
  }
  if (StartsWith(l, "hp")) {
    // A bare -hp takes the password from standard input, where other users
    // cannot read it as they can read a command line.
    if (body.size() == 2) opt->passwordFromInput = true;
    else opt->password = body.substr(2);
    return {};
  }
  if (l == "ibck" || l == "inul") {
    opt->quiet = true;
    return {};
  }
  if (StartsWith(l, "ilog")) {
    if (body.size() == 4) return "-ilog needs a log file name";
    opt->logFile = body.substr(4);
    return {};
  }
  if (StartsWith(l, "md")) {
    std::string rest = l.substr(2);
    if (!rest.empty() && (rest.back() == 'k' || rest.back() == 'm' || rest.back() == 'g'))
      rest.pop_back();
    if (!AllDigits(rest)) return bad;
    Note(opt, "-md: deflate has a fixed 32 KB window; the dictionary size is ignored");
    return {};
  }
  if (l.size() == 2 && l[0] == 'm' && l[1] >= '0' && l[1] <= '5') {
    opt->level = l[1] - '0';
    return {};
  }
  if (StartsWith(l, "n") || StartsWith(l, "x")) {
    bool filter = l[0] == 'n';
    std::string rest = body.substr(1);
    if (rest.empty() || rest == "@") return bad;
    if (rest[0] == '@')
      (filter ? opt->filterLists : opt->excludeLists).push_back(rest.substr(1));
    else
      (filter ? opt->filters : opt->excludes).push_back(rest);
    return {};
  }
  if (StartsWith(l, "rr")) {
    std::string rest = l.substr(2);
    if (!rest.empty() && (rest.back() == '%' || rest.back() == 'p')) rest.pop_back();
    if (!rest.empty() && !AllDigits(rest)) return bad;
    Note(opt, "-rr: ZIP archives have no recovery record; none was added");
    return {};
  }
  if (StartsWith(l, "ri")) {
    std::string rest = l.substr(2);
    auto colon = rest.find(':');
    std::string p = rest.substr(0, colon);
    std::string s = colon == std::string::npos ? "" : rest.substr(colon + 1);
    if (!AllDigits(p) || (colon != std::string::npos && !AllDigits(s))) return bad;
    Note(opt, "-ri: priority and sleep time are not applied here");
    return {};
  }
  if (StartsWith(l, "to")) {
    std::string rest = l.substr(2);
    int64_t unit = 86400;
    if (!rest.empty() && std::isalpha(static_cast<unsigned char>(rest.back()))) {
      switch (rest.back()) {
        case 'd': unit = 86400; break;
        case 'h': unit = 3600; break;
        case 'm': unit = 60; break;
        case 's': unit = 1; break;
        default: return bad;
      }
      rest.pop_back();
    }
    if (!AllDigits(rest) || rest.size() > 9) return bad;
    opt->olderThan = std::stoll(rest) * unit;
    return {};
  }
  if (StartsWith(l, "ver")) {
    std::string rest = l.substr(3);
    if (rest.empty()) {
      opt->versions = 0;
      return {};
    }
    if (!AllDigits(rest) || rest.size() > 6) return bad;
    opt->versions = std::stoi(rest);
    return {};
  }
  if (l == "vd") {
    opt->eraseDestination = true;
    return {};
  }
  if (StartsWith(l, "v")) {
    opt->volumes = true;
    if (l.size() == 1) {
      opt->volumeSize = 0;
      return {};
    }
    auto size = ParseVolumeSize(body.substr(1));
    if (!size || *size == 0) return bad;
    opt->volumeSize = *size;
    return {};
  }
  if (StartsWith(l, "z")) {
    if (body.size() == 1) return "-z needs a comment file name";
    opt->commentFile = body.substr(1);
    return {};
  }
  return bad;
}

}  // namespace

std::optional<uint64_t> ParseVolumeSize(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::string num = text;
  double unit = 1000;
  // The unit letter is case-sensitive: m and g are powers of ten, M and G
  // powers of two.
  switch (num.back()) {
    case 'b': case 'B': unit = 1; break;
    case 'k': case 'K': unit = 1024; break;
    case 'm': unit = 1e6; break;
    case 'M': unit = 1048576.0; break;
    case 'g': unit = 1e9; break;
    case 'G': unit = 1073741824.0; break;
    default: unit = 0;
  }
  if (unit != 0) num.pop_back();
  else unit = 1000;
  if (num.empty() || num.size() > 15) return std::nullopt;
  int dots = 0;
  for (char c : num) {
    if (c == '.') ++dots;
    else if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  if (dots > 1 || num == ".") return std::nullopt;
  double v = std::stod(num) * unit;
  if (!(v >= 1) || v > 9e18) return std::nullopt;
  return static_cast<uint64_t>(std::llround(v));
}

std::string ParseCommandLine(const std::vector<std::string>& args, Options* opt) {
  *opt = Options{};
  std::vector<std::string> plain;
  std::string firstError;
  bool switchesEnded = false;
  for (const auto& a : args) {
    if (!switchesEnded && a == "--") {
      switchesEnded = true;
      continue;
    }
    if (!switchesEnded && a.size() > 1 && a[0] == '-') {
      // Every switch is read even after a bad one, so that -ILOG can still
      // receive the complaint.
      std::string err = ParseSwitch(a.substr(1), opt);
      if (!err.empty() && firstError.empty()) firstError = err;
      continue;
    }
    if (a.empty()) continue;
    plain.push_back(a);
  }
  if (!firstError.empty()) return firstError;
  if (plain.empty()) return "no command and no archive given";
  std::string cmd = Lower(plain[0]);
  size_t next = 1;
  if (cmd == "a") opt->command = Command::Add;
  else if (cmd == "d") opt->command = Command::Delete;
  else if (cmd == "m") opt->command = Command::Move;
  else if (cmd == "x") opt->command = Command::Extract;
  else {
    // Without a command the only argument is an archive to open.
    if (plain.size() != 1) return "unknown command " + plain[0];
    opt->command = Command::Open;
    opt->archive = plain[0];
    return {};
  }
  if (plain.size() <= next) return "no archive name given";
  opt->archive = plain[next++];
  for (; next < plain.size(); ++next) {
    if (plain[next].size() > 1 && plain[next][0] == '@') opt->itemLists.push_back(plain[next].substr(1));
    else opt->items.push_back(plain[next]);
  }
  if (opt->command == Command::Extract) {
    // Only a destination folder may follow; it is told from a file mask by
    // its trailing separator.
    if (!opt->itemLists.empty() || opt->items.size() > 1) return "x takes only a destination folder";
    if (!opt->items.empty()) {
      std::string d = opt->items[0];
      if (d.back() != '/' && d.back() != '\\') return "the destination folder must end in /: " + d;
      std::replace(d.begin(), d.end(), '\\', '/');
      opt->destination = d;
      opt->items.clear();
    }
  }
  if (opt->command == Command::Move) opt->deleteSources = true;
  if (opt->command == Command::Delete && opt->items.empty() && opt->itemLists.empty())
    return "no files to delete given";
  return {};
}

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { n = 1; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { n = 2; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { n = 3; cp = c & 0x07; }
    else return false;
    if (i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

std::string Cp1252ToUtf8(const std::string& text) {
  static const uint16_t high[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    uint32_t cp = c >= 0x80 && c < 0xA0 ? high[c - 0x80] : c;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

bool ReadListFile(const std::string& path, std::vector<std::string>* lines, bool literal) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  if (data.rfind("\xEF\xBB\xBF", 0) == 0) data.erase(0, 3);
  if (!IsValidUtf8(data)) data = Cp1252ToUtf8(data);
  std::istringstream ss(data);
  std::string line;
  while (std::getline(ss, line)) {
    if (literal) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) lines->push_back(line);
      continue;
    }
    size_t b = line.find_first_not_of(" \t\r");
    if (b == std::string::npos) continue;
    size_t e = line.find_last_not_of(" \t\r");
    lines->push_back(line.substr(b, e - b + 1));
  }
  return true;
}

std::string FormatStamp(const std::string& format, int64_t unixTime) {
  time_t t = static_cast<time_t>(unixTime);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::string out;
  bool afterHour = false;
  for (size_t i = 0; i < format.size();) {
    char c = static_cast<char>(std::toupper(static_cast<unsigned char>(format[i])));
    size_t run = 1;
    while (i + run < format.size() &&
           std::toupper(static_cast<unsigned char>(format[i + run])) == c)
      ++run;
    long value = -1;
    switch (c) {
      case 'Y': value = tm.tm_year + 1900; break;
      case 'M': value = afterHour ? tm.tm_min : tm.tm_mon + 1; break;
      case 'D': value = tm.tm_mday; break;
      case 'H': value = tm.tm_hour; afterHour = true; break;
      case 'S': value = tm.tm_sec; break;
    }
    if (value < 0) {
      out += format.substr(i, run);
    } else {
      // n letters give the last n digits, zero-padded.
      std::string digits = std::to_string(value);
      if (digits.size() < run) digits.insert(0, run - digits.size(), '0');
      out += digits.substr(digits.size() - run);
    }
    i += run;
  }
  return out;
}

}  // namespace yux::winrar
