#include "core/msgtable.h"

#include <map>
#include <mutex>

namespace yux {
namespace {

struct Entry {
  const char* key;
  const char* english;
};

// English defaults.
constexpr Entry kDefaults[] = {
    {"pleasecheckthesettings", "Please check the settings!"},
    {"optionsdamaged", "Options file is damaged: %d line(s) could not be read; their options keep their defaults."},
};

std::mutex g_mutex;
std::map<std::string, std::string, std::less<>>& Table() {
  static std::map<std::string, std::string, std::less<>> table = [] {
    std::map<std::string, std::string, std::less<>> t;
    for (const auto& e : kDefaults) t.emplace(e.key, e.english);
    return t;
  }();
  return table;
}

}  // namespace

std::string MessageText(std::string_view key) {
  std::lock_guard lock(g_mutex);
  auto& t = Table();
  auto it = t.find(key);
  return it == t.end() ? std::string(key) : it->second;
}

bool SetMessageText(std::string_view key, const std::string& text) {
  std::lock_guard lock(g_mutex);
  auto& t = Table();
  auto it = t.find(key);
  if (it == t.end()) return false;
  it->second = text;
  return true;
}

void ResetMessageTexts() {
  std::lock_guard lock(g_mutex);
  auto& t = Table();
  for (const auto& e : kDefaults) t[e.key] = e.english;
}

}  // namespace yux
