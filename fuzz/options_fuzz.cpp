// The options file "yux.opt" and its scrambled lines.  The first byte picks
// how the rest becomes the file: as it is (damaged lines, bad Base64,
// broken checksums) or as plain "key value" lines that are scrambled here
// first, so that the key and value parsing behind the checksum is reached.
// Whatever was read must survive a save and a second load unchanged.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "core/store/options.h"
#include "fuzz/coresetup.h"
#include "fuzz/fuzzsupport.h"

using namespace yux;

namespace {

void Setup() {
  static bool done = [] {
    fuzz::UseScratchSettings();
    SetScreenSizeProvider([] { return ScreenSize{1024, 768}; });
    return true;
  }();
  (void)done;
}

std::string ScrambleEachLine(std::string_view text) {
  std::string file;
  while (!text.empty()) {
    std::string_view line = fuzz::NextLine(text);
    file += ScrambleText(std::string(line));
    file += "\r\n";
  }
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > fuzz::kMaxTextInput) return 0;
  Setup();
  const bool scramble = data[0] & 1;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string text(rest);

  // The unscramblers on their own: damage gives an empty text, never more.
  (void)UnscrambleText(text);
  (void)UnscrambleDigits(text);
  if (text.size() <= 4096) {
    YUX_FUZZ_CHECK(UnscrambleText(ScrambleText(text)) == text, text);
    YUX_FUZZ_CHECK(UnscrambleDigits(ScrambleDigits(text)) == text, text);
  }

  fuzz::WriteBytes(OptionsFilePath(), scramble ? ScrambleEachLine(rest) : text);
  topt first;
  LoadOptions(first);
  YUX_FUZZ_CHECK(SaveOptions(first), "saving the options read failed");
  topt second;
  LoadOptions(second);
  YUX_FUZZ_CHECK(first == second, "options changed across a save and a load");
  return 0;
}
