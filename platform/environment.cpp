#include "platform/environment.h"

#include <cctype>
#include <cstring>

extern char** environ;

namespace yux::platform {

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
  if (name.empty() || name.find('=') != std::string::npos) return std::nullopt;
  std::optional<std::string> folded;
  for (char** e = environ; e && *e; ++e) {
    const char* kv = *e;
    const char* eq = std::strchr(kv, '=');
    if (!eq || static_cast<size_t>(eq - kv) != name.size()) continue;
    if (std::strncmp(kv, name.data(), name.size()) == 0) return std::string(eq + 1);
    if (!folded) {
      bool same = true;
      for (size_t i = 0; i < name.size() && same; ++i)
        same = std::tolower(static_cast<unsigned char>(kv[i])) == std::tolower(static_cast<unsigned char>(name[i]));
      if (same) folded = std::string(eq + 1);
    }
  }
  return folded;
}

std::string ExpandEnvironmentStrings(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out.push_back(text[i++]);
      continue;
    }
    size_t close = text.find('%', i + 1);
    if (close == std::string::npos) {
      out.append(text, i, std::string::npos);
      break;
    }
    std::string name = text.substr(i + 1, close - i - 1);
    auto value = name.empty() ? std::nullopt : GetEnvironmentVariable(name);
    if (value) {
      out += *value;
      i = close + 1;
    } else {
      // Not a reference: keep "%name" and let the closing '%' open the
      // next candidate.
      out.append(text, i, close - i);
      i = close;
    }
  }
  return out;
}

}  // namespace yux::platform
