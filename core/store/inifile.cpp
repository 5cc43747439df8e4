// Reading ini files.
#include "core/store/inifile.h"

#include <QFile>
#include <QString>

namespace yux {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Windows-1252 code points of the bytes 0x80..0x9F; the five bytes the code
// page leaves undefined map to the C1 control of the same number.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int extra;
    char32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

std::string DecodeAnsiText(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return DecodeAnsiLine(bytes);
}

std::string DecodeAnsiLine(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  for (char ch : bytes) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) out += ch;
    else if (c < 0xA0) AppendUtf8(out, kCp1252High[c - 0x80]);
    else AppendUtf8(out, c);
  }
  return out;
}

TIniFile::TIniFile(const std::string& fileName) : fileName_(fileName) {
  QFile f(QString::fromStdString(fileName));
  if (!f.open(QIODevice::ReadOnly)) return;
  QByteArray raw = f.readAll();
  if (f.error() != QFileDevice::NoError) return;
  loaded_ = true;
  std::string text;
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    QByteArray body = raw.mid(2);
    text = QString::fromUtf16(reinterpret_cast<const char16_t*>(body.constData()), body.size() / 2)
               .toStdString();
  } else if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFE &&
             static_cast<unsigned char>(raw[1]) == 0xFF) {
    std::u16string u;
    for (qsizetype i = 2; i + 1 < raw.size(); i += 2)
      u += static_cast<char16_t>((static_cast<unsigned char>(raw[i]) << 8) |
                                 static_cast<unsigned char>(raw[i + 1]));
    text = QString::fromStdU16String(u).toStdString();
  } else {
    text = DecodeAnsiText(std::string_view(raw.constData(), static_cast<size_t>(raw.size())));
  }
  Parse(text);
}

void TIniFile::Parse(const std::string& text) {
  bool inSection = false;  // sections_ grows, so the current one is its last
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line = Trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (end < text.size() && text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;

    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      std::string_view name =
          Trim(close == std::string_view::npos ? line.substr(1) : line.substr(1, close - 1));
      sections_.push_back(Section{std::string(name), {}});
      inSection = true;
      continue;
    }
    if (!inSection) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    sections_.back().pairs.push_back(Pair{std::string(key), std::string(Trim(line.substr(eq + 1)))});
  }
}

const TIniFile::Section* TIniFile::FindSection(std::string_view name) const {
  std::string_view n = Trim(name);
  for (const auto& s : sections_)
    if (EqualNoCase(s.name, n)) return &s;
  return nullptr;
}

bool TIniFile::SectionExists(std::string_view section) const { return FindSection(section) != nullptr; }

std::optional<std::string> TIniFile::Find(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return std::nullopt;
  std::string_view k = Trim(key);
  for (const auto& p : s->pairs)
    if (EqualNoCase(p.key, k)) return p.value;
  return std::nullopt;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 const std::string& defaultValue) const {
  auto v = Find(section, key);
  return v ? *v : defaultValue;
}

std::vector<std::string> TIniFile::SectionNames() const {
  std::vector<std::string> names;
  for (const auto& s : sections_) names.push_back(s.name);
  return names;
}

}  // namespace yux
