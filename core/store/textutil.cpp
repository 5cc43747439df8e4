// Small text helpers of the settings files.
#include "core/store/textutil.h"

#include <charconv>
#include <fstream>

namespace yux {

bool ParseInt(std::string_view s, int& out) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  out = v;
  return true;
}

std::string BoolToDigit(bool flag) { return flag ? "1" : "0"; }

bool DigitToBool(const std::string& text) { return text != "0"; }

std::vector<std::string> ReadTextLines(const std::string& path, bool& ok) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  if (!ok) return lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  ok = in.eof() && !in.bad();
  return lines;
}

namespace {
constexpr std::string_view kLineBreaks("\r\n\0", 3);
}  // namespace

bool HoldsLineBreak(std::string_view text) { return text.find_first_of(kLineBreaks) != std::string_view::npos; }

std::string OnOneLine(std::string text) {
  for (char& c : text)
    if (kLineBreaks.find(c) != std::string_view::npos) c = ' ';
  return text;
}

}  // namespace yux
