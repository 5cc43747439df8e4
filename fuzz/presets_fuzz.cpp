// Preset files: the scrambled "key value" lines of "<name>.pst" and the
// plain list files beside them.  As with the options file, the first byte
// picks a raw file or plain lines scrambled here.  A preset read must come
// back the same after a save and a second load.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "fuzz/coresetup.h"
#include "fuzz/fuzzsupport.h"

using namespace yux;

namespace {

const std::string kName = "fuzzed preset";

void Setup() {
  static bool done = [] {
    fuzz::UseScratchSettings(true);
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
  const bool defaults = data[0] & 2;  // the settings folder's "yux.pst"
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string name = defaults ? std::string(kDefaultsPresetName) : kName;

  fuzz::WriteBytes(PresetFilePath(name), scramble ? ScrambleEachLine(rest) : std::string(rest));
  tarcopt first;
  try {
    LoadPreset(name, first);
  } catch (const EPresetFileError& e) {
    fuzz::Fail("a preset file that exists could not be loaded", e.what());
  }
  std::string error;
  YUX_FUZZ_CHECK(SavePreset(name, first, &error), error);
  tarcopt second;
  LoadPreset(name, second);
  // Keys that only older files carry are read but never written, so a save
  // drops them by design.
  first.fpo = second.fpo;
  first.sfx = second.sfx;
  first.cie = second.cie;
  YUX_FUZZ_CHECK(first == second, "preset changed across a save and a load");

  // The same bytes as a list file of the preset.
  fuzz::WriteBytes(PresetFilePath(kName, ".inc"), rest);
  auto lines = ReadPresetList(kName, ".inc");
  YUX_FUZZ_CHECK(lines.has_value(), "an existing list file could not be read");
  bool hasCr = false;
  for (const auto& l : *lines) hasCr = hasCr || l.find('\r') != std::string::npos;
  if (!hasCr) {
    YUX_FUZZ_CHECK(WritePresetList(kName, ".inc", *lines, &error), error);
    YUX_FUZZ_CHECK(ReadPresetList(kName, ".inc") == lines, "list lines changed across a write and a read");
  }

  // And as a list of names this program writes, read as its bytes: the
  // lines are the file's own, cut at LF (a CR before it dropped), and come
  // back the same across a write and a read.
  fuzz::WriteBytes(PresetFilePath(kName, ".lgc"), rest);
  const auto names = ReadPresetList(kName, ".lgc", ListText::Bytes);
  YUX_FUZZ_CHECK(names.has_value(), "an existing list file could not be read");
  if (rest.find('\r') == std::string_view::npos && !rest.starts_with("\xEF\xBB\xBF")) {
    std::string joined;
    for (const auto& l : *names) joined += l + "\n";
    YUX_FUZZ_CHECK(joined == rest || joined == std::string(rest) + "\n", "a list of names was not read as its bytes");
  }
  YUX_FUZZ_CHECK(WritePresetList(kName, ".lgc", *names, &error), error);
  YUX_FUZZ_CHECK(ReadPresetList(kName, ".lgc", ListText::Bytes) == names,
                 "names changed across a write and a read");
  return 0;
}
