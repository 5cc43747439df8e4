// The file of the TLS servers seen ("tlsservers.txt"), as a user may have
// edited it.  The first line of the input names a server and the value to
// record for it ("host:port value"), the rest is the file as it is found.
// The reader gives the file's bytes; a server the file does not name yet,
// once written, reads back with its value, and every server the file named
// reads as before.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/run/tlsidentity.h"
#include "fuzz/fuzzsupport.h"

using namespace yux;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxTextInput) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view first = fuzz::NextLine(rest);
  const auto blank = first.find(' ');
  const std::string key(first.substr(0, blank));
  const std::string value(blank == std::string_view::npos ? std::string_view() : first.substr(blank + 1));
  const std::string path = fuzz::ScratchFolder() + "/tlsservers.txt";
  fuzz::WriteBytes(path, rest);

  const std::string text = ReadTlsPinFile(path);
  YUX_FUZZ_CHECK(text == rest, "the reader changed the file's bytes");
  // The check adds only a server the file does not name.
  if (FindTlsPin(text, key)) return 0;
  std::vector<std::pair<std::string, std::optional<std::string>>> named;
  for (std::string_view lines = text; !lines.empty();) {
    const std::string_view line = fuzz::NextLine(lines);
    const std::string k(line.substr(0, line.find(' ')));
    if (k != key) named.emplace_back(k, FindTlsPin(text, k));
  }

  if (!TlsPinFieldStorable(key) || !TlsPinFieldStorable(value)) {
    bool refused = false;
    try {
      AppendTlsPin(path, text, key, value);
    } catch (const std::runtime_error&) {
      refused = true;
    }
    YUX_FUZZ_CHECK(refused, "a field that cannot be stored was written: " + key + " " + value);
    YUX_FUZZ_CHECK(ReadTlsPinFile(path) == text, "a refused server changed the file");
    return 0;
  }
  AppendTlsPin(path, text, key, value);
  const std::string after = ReadTlsPinFile(path);
  YUX_FUZZ_CHECK(after.compare(0, text.size(), text) == 0, "the file's bytes before the new line changed");
  YUX_FUZZ_CHECK(FindTlsPin(after, key) == value, "the server written reads back otherwise: " + key);
  for (const auto& [k, v] : named)
    YUX_FUZZ_CHECK(FindTlsPin(after, k) == v, "a server on file reads otherwise after the addition: " + k);
  return 0;
}
