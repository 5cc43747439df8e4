#include "platform/cmdline.h"

namespace yux::platform {

std::vector<std::string> SplitCommandLine(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0, n = text.size();
  while (true) {
    while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      char c = text[i];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        size_t run = 0;
        while (i < n && text[i] == '\\') { ++run; ++i; }
        if (i < n && text[i] == '"') {
          arg.append(run / 2, '\\');
          if (run % 2 == 1) {
            arg.push_back('"');
            ++i;
          }
          // even run: the quote is handled by the next iteration
        } else {
          arg.append(run, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && text[i + 1] == '"') {
          arg.push_back('"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg.push_back(c);
      ++i;
    }
    out.push_back(std::move(arg));
  }
  return out;
}

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
      out.push_back('"');
    } else {
      out.append(backslashes, '\\');
      out.push_back(c);
    }
    backslashes = 0;
  }
  // Backslashes before the closing quote must be doubled so that they do not
  // escape it.
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

std::string JoinCommandLine(const std::vector<std::string>& args) {
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i) out.push_back(' ');
    out += QuoteArgument(args[i]);
  }
  return out;
}

}  // namespace yux::platform
