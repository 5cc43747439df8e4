#include "net/protocols/smtpreply.h"

#include <algorithm>
#include <cctype>

namespace yux::net {

namespace {

std::string TrimUpper(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  std::string out(s);
  for (char& c : out) c = char(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// A decimal number after blanks; 0 when the text is not one.
std::int64_t DecimalOrZero(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  if (s.empty() || s.size() > 18) return 0;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

int SmtpReplyCode(std::string_view line, bool& continuation) {
  continuation = false;
  std::size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '-' || line[i] == '+')) negative = line[i++] == '-';
  long code = 0;
  std::size_t digits = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9' && digits < 9) {
    code = code * 10 + (line[i++] - '0');
    ++digits;
  }
  // A "-" after no number, or after 0, marks no continuation: such a line
  // is a final reply without a code.
  if (digits == 0 || code == 0) return 0;
  continuation = i < line.size() && line[i] == '-';
  return int(negative ? -code : code);
}

bool TSmtpReplyBuffer::Append(std::string_view data) {
  if (overflow_ || data.size() > Room()) return false;
  data_.append(data);
  return true;
}

bool TSmtpReplyBuffer::NextLine(std::string& line) {
  std::size_t end = data_.find("\r\n");
  if (end == std::string::npos) {
    if (data_.size() >= kSmtpReplyBufferSize) overflow_ = true;
    return false;
  }
  if (end + 2 > kSmtpReplyBufferSize) {
    overflow_ = true;
    return false;
  }
  line.assign(data_, 0, end);
  data_.erase(0, end + 2);
  return true;
}

void SmtpParseEhloLine(std::string_view line, TSmtpEhloInfo& info) {
  const std::string upper = TrimUpper(line);
  if (upper.size() >= 12 && upper.compare(4, 8, "STARTTLS") == 0) info.StartTlsOffered = true;
  if (upper.size() > 9) {
    std::string_view rest(upper);
    rest.remove_prefix(4);
    if (rest.starts_with("AUTH ") || rest.starts_with("AUTH=")) {
      std::string names(rest.substr(5));
      std::replace(names.begin(), names.end(), '=', ' ');
      std::size_t p = 0;
      while (p < names.size()) {
        std::size_t q = names.find_first_of(" \t", p);
        if (q == std::string::npos) q = names.size();
        if (q > p && info.AuthTypes.size() < kSmtpMaxAuthTypes) {
          std::string name = names.substr(p, q - p);
          if (std::find(info.AuthTypes.begin(), info.AuthTypes.end(), name) ==
              info.AuthTypes.end())
            info.AuthTypes.push_back(std::move(name));
        }
        p = q + 1;
      }
    }
  }
  if (upper.size() >= 8 && upper.compare(4, 4, "SIZE") == 0 && !info.SizeSupported) {
    info.SizeSupported = true;
    if (upper.size() > 9) info.MaxMessageSize = DecimalOrZero(std::string_view(upper).substr(8));
  }
}

}  // namespace yux::net
