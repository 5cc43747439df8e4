// The program's date-time texts and conversions.
#include "core/store/datetime.h"

#include <cctype>

namespace yux {
namespace {

std::string Pattern(const QDateTime& dt) {
  return dt.toString(QStringLiteral("yyyy.MM.dd HH:mm:ss")).toStdString();
}

// Reads 1..maxDigits decimal digits at pos; advances pos.
bool ReadNumber(std::string_view s, size_t& pos, int minDigits, int maxDigits, int& value) {
  size_t start = pos;
  value = 0;
  while (pos < s.size() && pos - start < static_cast<size_t>(maxDigits) &&
         std::isdigit(static_cast<unsigned char>(s[pos]))) {
    value = value * 10 + (s[pos] - '0');
    ++pos;
  }
  size_t n = pos - start;
  if (n < static_cast<size_t>(minDigits)) return false;
  // A longer run of digits than allowed is garbage, not a shorter number.
  return pos >= s.size() || !std::isdigit(static_cast<unsigned char>(s[pos]));
}

bool Expect(std::string_view s, size_t& pos, char c) {
  if (pos < s.size() && s[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

}  // namespace

std::string DateTimeToText(const QDateTime& dt) {
  std::string text = Pattern(dt);
  if (dt.time().msecsSinceStartOfDay() != 0) text += ' ';
  return text;
}

std::string FormatStamp(const QDateTime& dt) { return Pattern(dt); }

std::optional<QDateTime> TextToDateTime(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  std::string_view s = text.substr(b, e - b);

  size_t pos = 0;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  if (!ReadNumber(s, pos, 4, 4, y) || !Expect(s, pos, '.') || !ReadNumber(s, pos, 1, 2, mo) ||
      !Expect(s, pos, '.') || !ReadNumber(s, pos, 1, 2, d))
    return std::nullopt;
  if (pos < s.size()) {
    if (s[pos] != ' ') return std::nullopt;
    while (pos < s.size() && s[pos] == ' ') ++pos;
    if (!ReadNumber(s, pos, 1, 2, h) || !Expect(s, pos, ':') || !ReadNumber(s, pos, 1, 2, mi))
      return std::nullopt;
    if (pos < s.size() && (!Expect(s, pos, ':') || !ReadNumber(s, pos, 1, 2, sec)))
      return std::nullopt;
    if (pos != s.size()) return std::nullopt;
  }
  QDate date(y, mo, d);
  if (!date.isValid() || h > 23 || mi > 59 || sec > 59) return std::nullopt;
  return QDateTime(date, QTime(h, mi, sec));
}

}  // namespace yux
