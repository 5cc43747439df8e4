// URLs from outside: relocations and links in HTTP answers, proxy and
// server settings.  The first line is the current path against which a
// relative URL is resolved, the rest the URL.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "net/protocols/urlutils.h"

using namespace yux;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view current = fuzz::NextLine(rest);
  const std::string_view url = rest;

  std::string proto, user, pass, host, port, path(current);
  net::SplitUrl(url, proto, user, pass, host, port, path);
  // User, password and host are cut from the URL (scheme and port may be
  // defaults).
  for (const std::string* part : {&user, &pass, &host})
    YUX_FUZZ_CHECK(part->size() <= url.size(), *part);

  // NetNthPos over the same texts: a position inside the text or 0.
  for (int n : {1, 2, -1, -3}) {
    const int pos = net::NetNthPos(current, url, n);
    YUX_FUZZ_CHECK(pos >= 0 && static_cast<std::size_t>(pos) <= url.size(), std::to_string(pos));
    const int one = net::NetNthPos("/", url, n);
    YUX_FUZZ_CHECK(one >= 0 && static_cast<std::size_t>(one) <= url.size(), std::to_string(one));
    if (one > 0) YUX_FUZZ_CHECK(url[static_cast<std::size_t>(one) - 1] == '/', url);
  }
  return 0;
}
