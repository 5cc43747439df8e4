#pragma once
// The program log as a test reads it: a sink for the log list that keeps
// every appended line (by default without its "[yyyy.mm.dd hh:nn:ss] "
// stamp).  Install it with SetLogListSink and remove it in TearDown.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/store/programlog.h"

namespace yux::test {

// The text of a log line after its time stamp; a line without one as it is.
inline std::string WithoutStamp(const std::string& line) {
  const auto pos = line.find("] ");
  return pos == std::string::npos ? line : line.substr(pos + 2);
}

class LogLines : public LogListSink {
 public:
  // What is kept of each line; empty keeps the whole line.
  std::function<std::string(const std::string&)> keep = WithoutStamp;
  // Told of each kept line as it arrives.
  std::function<void(const std::string&)> onLine;
  // Told of each reload of the whole list (before it is taken).
  std::function<void(const std::vector<std::string>&)> onReload;
  // A reload of the whole list replaces the kept lines; off, only the
  // appended lines are kept.
  bool followReloads = false;

  void AppendLine(const std::string& line) override {
    lines.push_back(keep ? keep(line) : line);
    if (onLine) onLine(lines.back());
  }
  void ReplaceLines(const std::vector<std::string>& all) override {
    ++reloads;
    if (onReload) onReload(all);
    if (!followReloads) return;
    lines.clear();
    for (const std::string& line : all) lines.push_back(keep ? keep(line) : line);
  }

  // True when a kept line is exactly `text`.
  bool Has(const std::string& text) const { return std::find(lines.begin(), lines.end(), text) != lines.end(); }
  // Every kept line, for a failure message.
  std::string All() const { return ::testing::PrintToString(lines); }

  std::vector<std::string> lines;
  int reloads = 0;
};

}  // namespace yux::test
