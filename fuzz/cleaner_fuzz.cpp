// The cleaners' selection over a produced-files list (".lgc", ".lgf"): the
// first byte picks the retention (bit 7 by days, else by runs; the low bits
// the limit), the rest is the list file.  Whatever the file holds, a name
// that a kept block lists is never selected, every name the cut drops from
// the list was selected or is still listed, nothing is selected that the
// list did not hold, and a damaged list throws and stays as it was.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <QDateTime>

#include "core/run/deliveryhistory.h"
#include "core/store/datetime.h"
#include "core/store/folders.h"
#include "core/store/inifile.h"
#include "core/store/loghook.h"
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

std::string ReadBytes(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

// The lines of the file, each without its line break.
std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    std::string_view line = fuzz::NextLine(text);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.emplace_back(line);
  }
  return out;
}

// A run's block as the list holds it: a date line, then its names up to
// the next empty line.
struct Block {
  QDateTime date;
  std::vector<std::string> names;
};

std::vector<Block> Blocks(const std::vector<std::string>& lines) {
  std::vector<Block> out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto date = TextToDateTime(lines[i]);
    if (!date) continue;
    Block b{*date, {}};
    while (i + 1 < lines.size() && !lines[i + 1].empty()) b.names.push_back(lines[++i]);
    out.push_back(std::move(b));
  }
  return out;
}

std::set<std::string> NamesOf(const std::vector<Block>& blocks) {
  std::set<std::string> out;
  for (const auto& b : blocks) out.insert(b.names.begin(), b.names.end());
  return out;
}

// The blocks the retention keeps: by runs the first keepRuns - 1; by days
// the newest, every one dated within the limit, and every one from a block
// dated after now downwards.
std::vector<bool> Kept(const std::vector<Block>& blocks, int keepRuns, int keepDays, const QDateTime& now) {
  std::vector<bool> kept(blocks.size(), true);
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (keepRuns != 0) {
      kept[b] = int(b) + 1 < keepRuns;
      continue;
    }
    if (blocks[b].date > now) break;
    kept[b] = b == 0 || !(now.addDays(-keepDays) > blocks[b].date);
  }
  return kept;
}

bool Damaged(const std::vector<std::string>& lines) {
  for (const auto& l : lines)
    if (!l.empty()) return !TextToDateTime(l);
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > fuzz::kMaxTextInput) return 0;
  Setup();
  const bool byDays = data[0] & 0x80;
  const int keepRuns = byDays ? 0 : data[0] & 0x0F;
  const int keepDays = byDays ? data[0] & 0x3F : 0;
  const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
  const QDateTime now(QDate(2024, 3, 10), QTime(12, 0, 0));
  const std::string path = PresetFilePath(kName, ".lgc");
  fuzz::WriteBytes(path, file);

  // The properties are judged on the lines as a reader that takes the bytes
  // as they are sees them; a line in another code page, or one that opens
  // with a byte-order mark, may be read otherwise by the list reading.
  const std::vector<std::string> before = Lines(file);
  bool plain = true;
  for (const auto& l : before) plain = plain && IsValidUtf8(l) && l.rfind("\xEF\xBB\xBF", 0) != 0;

  std::vector<std::string> expired;
  try {
    SelectExpiredFiles(kName, keepRuns, keepDays, kListCopy, expired, now);
  } catch (const EHistoryFileError& e) {
    YUX_FUZZ_CHECK(ReadBytes(path) == file, "a list that throws was changed");
    YUX_FUZZ_CHECK(expired.empty(), "a list that throws selected names");
    YUX_FUZZ_CHECK(!plain || Damaged(before), e.what());
    return 0;
  }
  if (!plain) return 0;
  YUX_FUZZ_CHECK(!Damaged(before), "a damaged list did not throw");

  const std::vector<Block> blocks = Blocks(before);
  const std::vector<Block> left = Blocks(Lines(ReadBytes(path)));
  const std::vector<bool> kept = Kept(blocks, keepRuns, keepDays, now);
  const std::set<std::string> listedBefore = NamesOf(blocks), listedAfter = NamesOf(left);
  const std::set<std::string> selected(expired.begin(), expired.end());
  YUX_FUZZ_CHECK(selected.size() == expired.size(), "a name was selected twice");
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (!kept[b]) continue;
    for (const auto& name : blocks[b].names) {
      YUX_FUZZ_CHECK(!selected.count(name), "a name a kept block lists was selected: " + name);
      YUX_FUZZ_CHECK(listedAfter.count(name), "a name a kept block lists is no longer listed: " + name);
    }
  }
  for (const auto& name : listedBefore)
    YUX_FUZZ_CHECK(selected.count(name) || listedAfter.count(name),
                   "a name left the list without being selected: " + name);
  for (const auto& name : expired)
    YUX_FUZZ_CHECK(listedBefore.count(name), "a name was selected that the list did not hold: " + name);
  for (const auto& name : listedAfter)
    YUX_FUZZ_CHECK(listedBefore.count(name), "a name the list did not hold is listed: " + name);
  return 0;
}
