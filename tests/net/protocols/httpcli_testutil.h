#pragma once
// Small helpers of the HTTP client's tests.
#include <string>

namespace yux::test {

// n bytes, byte i being i*7 mod 251 (the Python server's /chunked body).
inline std::string PatternBytes(int n) {
  std::string s(static_cast<std::size_t>(n), '\0');
  for (int i = 0; i < n; ++i) s[static_cast<std::size_t>(i)] = char((i * 7) % 251);
  return s;
}

// The first line of a log that holds text, or empty.
inline std::string LogLineWith(const std::string& log, const std::string& text) {
  std::size_t p = log.find(text);
  if (p == std::string::npos) return {};
  std::size_t start = log.rfind('\n', p);
  start = start == std::string::npos ? 0 : start + 1;
  std::size_t end = log.find('\n', p);
  return log.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace yux::test
