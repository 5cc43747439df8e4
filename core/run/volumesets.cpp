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

auto Key(const VolumeName& v) { return std::tie(v.base, v.ext, v.width); }

std::string Folded(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

using SetKey = std::tuple<std::string, std::string, std::size_t>;

// The whole sets of `delivered`, each with its count.
std::map<SetKey, unsigned long> WholeSets(const std::vector<std::string>& delivered, bool ignoreCase) {
  std::map<SetKey, std::set<unsigned long>> numbers;
  for (const auto& name : delivered)
    if (auto v = ParseVolumeName(ignoreCase ? Folded(name) : name)) numbers[Key(*v)].insert(v->number);
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

std::string VolumeName::Name(unsigned long n) const {
  std::string digits = std::to_string(n);
  if (digits.size() > width) return {};
  digits.insert(0, width - digits.size(), '0');
  return base + part + digits + ext;
}

std::optional<VolumeName> ParseVolumeName(const std::string& name, bool ignoreCase) {
  const auto at = (ignoreCase ? Folded(name) : name).rfind(".part");
  if (at == std::string::npos) return std::nullopt;
  const std::size_t digits = at + 5;
  std::size_t end = digits;
  while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) ++end;
  const std::size_t width = end - digits;
  if (width == 0 || width > kMaxWidth || (end < name.size() && name[end] != '.')) return std::nullopt;
  return VolumeName{name.substr(0, at), name.substr(at, 5), name.substr(end), width,
                    std::stoul(name.substr(digits, width))};
}

bool HasWholeVolumeSet(const std::vector<std::string>& delivered) {
  return !WholeSets(delivered, false).empty();
}

std::vector<std::string> StaleVolumes(const std::vector<std::string>& delivered,
                                      const std::vector<std::string>& present, bool ignoreCase) {
  const auto sets = WholeSets(delivered, ignoreCase);
  std::vector<std::string> out;
  if (sets.empty()) return out;
  for (const auto& name : present) {
    const auto v = ParseVolumeName(ignoreCase ? Folded(name) : name);
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
