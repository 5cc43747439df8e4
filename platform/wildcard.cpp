#include "platform/wildcard.h"

#include <cctype>
#include <vector>

namespace yux::platform {
namespace {

char Fold(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool Match(std::string_view s, std::string_view p) {
  // Iterative glob match with backtracking to the last star: linear in
  // practice, never exponential on masks with many stars.
  size_t si = 0, pi = 0, star = std::string_view::npos, mark = 0;
  while (si < s.size()) {
    if (pi < p.size() && (p[pi] == '?' || Fold(p[pi]) == Fold(s[si]))) {
      ++si;
      ++pi;
    } else if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      mark = si;
    } else if (star != std::string_view::npos) {
      pi = star + 1;
      si = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

}  // namespace

bool HasWildcards(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

bool MatchesMask(std::string_view name, std::string_view mask) {
  if (mask.empty()) return name.empty();
  if (Match(name, mask)) return true;
  // "name.*" also covers "name": the extension part may be absent.
  if (mask.size() >= 2 && mask.substr(mask.size() - 2) == ".*" &&
      name.find('.') == std::string_view::npos) {
    return Match(name, mask.substr(0, mask.size() - 2));
  }
  return false;
}

}  // namespace yux::platform
