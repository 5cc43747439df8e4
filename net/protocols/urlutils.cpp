#include "net/protocols/urlutils.h"

#include <cctype>

namespace yux::net {
namespace {

bool IsSchemeChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

std::string Lower(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && Lower(s.substr(0, prefix.size())) == prefix;
}

// Folder of a path: up to and including its last "/", or "/" without one.
std::string FolderOf(std::string_view path) {
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return "/";
  return std::string(path.substr(0, slash + 1));
}

// One folder up from a folder ending in "/", never above "/".
std::string ParentFolder(const std::string& folder) {
  if (folder.size() <= 1) return "/";
  auto slash = folder.rfind('/', folder.size() - 2);
  if (slash == std::string::npos) return "/";
  return folder.substr(0, slash + 1);
}

void SplitHostPart(std::string_view hp, std::string& user, std::string& pass, std::string& host,
                   std::string& port) {
  auto at = hp.rfind('@');
  std::string_view server = hp;
  if (at != std::string_view::npos) {
    std::string_view userInfo = hp.substr(0, at);
    server = hp.substr(at + 1);
    auto colon = userInfo.find(':');
    if (colon == std::string_view::npos) {
      user = std::string(userInfo);
    } else {
      user = std::string(userInfo.substr(0, colon));
      pass = std::string(userInfo.substr(colon + 1));
    }
  }
  // The port colon is the last one, but never one inside an IPv6 literal.
  auto colon = server.rfind(':');
  auto bracket = server.rfind(']');
  if (colon != std::string_view::npos &&
      (bracket == std::string_view::npos || colon > bracket)) {
    host = std::string(server.substr(0, colon));
    port = std::string(server.substr(colon + 1));
  } else {
    host = std::string(server);
  }
}

}  // namespace

int NetNthPos(std::string_view sub, std::string_view text, int n) {
  if (n == 0 || sub.empty() || sub.size() > text.size()) return 0;
  if (n > 0) {
    std::size_t from = 0;
    std::size_t pos = std::string_view::npos;
    for (int i = 0; i < n; ++i) {
      pos = text.find(sub, from);
      if (pos == std::string_view::npos) return 0;
      from = pos + sub.size();
    }
    return static_cast<int>(pos + sub.size());
  }
  std::size_t end = text.size();
  std::size_t pos = std::string_view::npos;
  for (int i = 0; i < -n; ++i) {
    if (end < sub.size()) return 0;
    pos = text.rfind(sub, end - sub.size());
    if (pos == std::string_view::npos) return 0;
    end = pos;
  }
  return static_cast<int>(pos + 1);
}

void SplitUrl(std::string_view url, std::string& proto, std::string& user, std::string& pass,
              std::string& host, std::string& port, std::string& path) {
  const std::string current = path;
  proto.clear();
  user.clear();
  pass.clear();
  host.clear();
  port.clear();
  path.clear();
  if (url.empty()) return;

  if (url.starts_with("./")) {
    path = FolderOf(current) + std::string(url.substr(2));
    return;
  }
  if (url.starts_with("../")) {
    std::string folder = FolderOf(current);
    std::string_view rest = url;
    while (rest.starts_with("../")) {
      folder = ParentFolder(folder);
      rest.remove_prefix(3);
    }
    path = folder + std::string(rest);
    return;
  }

  std::string_view rest = url;
  auto sep = url.find("://");
  if (sep != std::string_view::npos) {
    std::string_view scheme = url.substr(0, sep);
    bool plain = !scheme.empty();
    for (char c : scheme) plain = plain && IsSchemeChar(c);
    if (plain) {
      proto = Lower(scheme);
      rest = url.substr(sep + 3);
    } else {
      proto = "http";
    }
  } else if (url[0] == '/') {
    proto = "http";
    if (url.size() < 2 || url[1] != '/') {
      path = std::string(url);
      return;
    }
    rest = url.substr(2);
  } else if (StartsWithNoCase(url, "http:")) {
    proto = "http";
    if (url.size() < 7 || url[6] != '/') {
      path = std::string(url.substr(5));
      return;
    }
    rest = url.substr(5);
  } else if (StartsWithNoCase(url, "mailto:")) {
    proto = "mailto";
    rest = url.substr(7);
  }

  auto end = rest.find_first_of("/?#");
  std::string_view hostPart = rest.substr(0, end);
  if (end != std::string_view::npos) path = std::string(rest.substr(end));
  SplitHostPart(hostPart, user, pass, host, port);
}

}  // namespace yux::net
