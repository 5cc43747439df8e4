// The volume sets a run delivered whole, and the volumes of earlier sets of their names.
#include "core/run/volumesets.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <tuple>

namespace yux {

namespace {

// The widest number a volume name carries here; wider is no volume.
constexpr std::size_t kMaxWidth = 9;

struct Volume {
  std::string base, ext;
  std::size_t width = 0;
  unsigned long number = 0;
  auto Key() const { return std::tie(base, ext, width); }
};

std::string Folded(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

// "base.partN" followed by nothing or by an extension, as the archiver
// reads a set's first volume.
std::optional<Volume> ParseVolume(const std::string& name) {
  const auto part = name.rfind(".part");
  if (part == std::string::npos) return std::nullopt;
  const std::size_t digits = part + 5;
  std::size_t end = digits;
  while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) ++end;
  const std::size_t width = end - digits;
  if (width == 0 || width > kMaxWidth || (end < name.size() && name[end] != '.')) return std::nullopt;
  return Volume{name.substr(0, part), name.substr(end), width, std::stoul(name.substr(digits, width))};
}

using SetKey = std::tuple<std::string, std::string, std::size_t>;

// The whole sets of `delivered`, each with its count.
std::map<SetKey, unsigned long> WholeSets(const std::vector<std::string>& delivered, bool ignoreCase) {
  std::map<SetKey, std::set<unsigned long>> numbers;
  for (const auto& name : delivered)
    if (auto v = ParseVolume(ignoreCase ? Folded(name) : name)) numbers[v->Key()].insert(v->number);
  std::map<SetKey, unsigned long> out;
  for (const auto& [key, set] : numbers) {
    const unsigned long count = *set.rbegin();
    // Every number from 1 up, written as wide as the last one: the
    // archiver's own set, not a few files that happen to look alike.
    if (count >= 2 && set.size() == count && *set.begin() == 1 &&
        std::to_string(count).size() == std::get<2>(key))
      out[key] = count;
  }
  return out;
}

}  // namespace

bool HasWholeVolumeSet(const std::vector<std::string>& delivered) {
  return !WholeSets(delivered, false).empty();
}

std::vector<std::string> StaleVolumes(const std::vector<std::string>& delivered,
                                      const std::vector<std::string>& present, bool ignoreCase) {
  const auto sets = WholeSets(delivered, ignoreCase);
  std::vector<std::string> out;
  if (sets.empty()) return out;
  for (const auto& name : present) {
    const auto v = ParseVolume(ignoreCase ? Folded(name) : name);
    if (!v) continue;
    bool sameName = false, ofTheSet = false;
    for (const auto& [key, count] : sets) {
      if (std::get<0>(key) != v->base || std::get<1>(key) != v->ext) continue;
      sameName = true;
      // Numbered as the set numbers its volumes: one of them, just delivered.
      if (std::get<2>(key) == v->width && v->number >= 1 && v->number <= count) ofTheSet = true;
    }
    if (sameName && !ofTheSet) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace yux
