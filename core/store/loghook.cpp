// The receiver of reports made before the program log is up.
#include "core/store/loghook.h"

#include <iostream>
#include <mutex>

namespace yux {
namespace {
std::mutex g_mutex;
LogHook g_hook;
}  // namespace

void SetLogHook(LogHook hook) {
  std::lock_guard lock(g_mutex);
  g_hook = std::move(hook);
}

void ReportLine(const std::string& text) {
  LogHook hook;
  {
    std::lock_guard lock(g_mutex);
    hook = g_hook;
  }
  if (hook) hook(text);
  else std::cerr << "yux: " << text << std::endl;
}

}  // namespace yux
