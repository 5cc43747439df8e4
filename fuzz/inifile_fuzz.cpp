// Ini files as the language files and the shell-notifier tasks use them,
// the 8-bit text decoding they go through, and a language file's STRINGS
// step followed by every message text being formatted (a translation's
// placeholders must never reach past the arguments given).
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/store/folders.h"
#include "core/store/inifile.h"
#include "core/store/language.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "fuzz/coresetup.h"
#include "fuzz/fuzzsupport.h"

using namespace yux;

namespace {

void Setup() {
  static bool done = [] {
    fuzz::UseScratchSettings();
    return true;
  }();
  (void)done;
}

constexpr std::size_t kMaxLookups = 32;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxTextInput) return 0;
  Setup();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::string decoded = DecodeAnsiText(bytes);
  YUX_FUZZ_CHECK(IsValidUtf8(decoded), decoded);
  if (IsValidUtf8(bytes) && !bytes.starts_with("\xEF\xBB\xBF"))
    YUX_FUZZ_CHECK(decoded == bytes, decoded);

  const std::string path = PathJoin(ProgramFolder, "fuzzed.lng");
  fuzz::WriteBytes(path, bytes);
  TIniFile ini(path);
  YUX_FUZZ_CHECK(ini.Loaded(), "an existing ini file was not read");
  std::vector<std::string> sections = ini.SectionNames();
  if (sections.size() > kMaxLookups) sections.resize(kMaxLookups);
  for (const std::string& s : sections) {
    YUX_FUZZ_CHECK(IsValidUtf8(s), s);
    YUX_FUZZ_CHECK(ini.SectionExists(s), s);
  }
  // Keys as the file spells them, looked up in the sections found.
  std::string_view rest = bytes;
  std::size_t keys = 0;
  while (!rest.empty() && keys < kMaxLookups) {
    const std::string_view line = fuzz::NextLine(rest);
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    ++keys;
    for (const std::string& s : sections) {
      auto value = ini.Find(s, line.substr(0, eq));
      if (value) {
        YUX_FUZZ_CHECK(IsValidUtf8(*value), *value);
        YUX_FUZZ_CHECK(ini.ReadString(s, line.substr(0, eq), "\x01") == *value, *value);
      }
    }
  }
  for (const std::string& s : sections) (void)StripQuotes(ini.ReadString(s, "Caption", "\""));

  // The language file's texts replace the message table, then every text
  // is formatted with fewer and more arguments than it may ask for.
  LoadLanguageStrings("fuzzed.lng");
  for (std::string_view key : MessageKeys()) {
    const std::string text = MessageText(key);
    (void)FormatText(text, {});
    (void)FormatText(text, {"first", "2", "third"});
  }
  ResetMessageTexts();
  ResetLanguageReports();
  return 0;
}
