#pragma once
// The arguments a started process examines once its schedule and preset
// list are loaded: "/LANGUAGE(<file>)", "/HIDE", "/SVC", "/SCHON" and
// "/SCHOFF" are switches; every other argument is a schedule request.
// Windows are not touched here: the result says what the caller must do.
#include <cstddef>
#include <string>
#include <vector>

namespace yux {

struct CommandLineActions {
  // "/HIDE" or "/SVC": the main window is not shown at start and the
  // application stays hidden ("/SVC" has also set ServiceMode).
  bool hideAtStart = false;
  // A "/LANGUAGE(...)" switch chose a language (already stored in the
  // options, saved, and its message texts applied): apply its window texts
  // to the main and the schedule window.
  bool applyLanguageForms = false;
  // A second instance met "/SCHON" or "/SCHOFF": ForcedClose is set and
  // the process must close now, without signalling the first instance.
  // Later arguments were not examined.
  bool closeNow = false;
  // Requests added to the schedule (and saved to "yux.sch").
  std::size_t requestsAdded = 0;
  // Requests refused (their reason is in the log).
  std::size_t requestsRefused = 0;
};

// A schedule request from outside (command line, web panel): parsed and,
// when it names a known command or preset, added.  True when added.
bool AddScheduleRequest(const std::string& request);

// Examines every argument (without the program name) from first to last.
// The second-instance rules follow the SecondInstance flag.
CommandLineActions ExamineCommandLine(const std::vector<std::string>& args);

}  // namespace yux
