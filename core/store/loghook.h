#pragma once
// Where core routines report problems before (and besides) the program log.
// Until the program log is set up, reports go to standard error.
#include <functional>
#include <string>

namespace yux {

using LogHook = std::function<void(const std::string& text)>;

// Installs the receiver of reports; an empty hook restores standard error.
void SetLogHook(LogHook hook);
// Reports one line through the installed hook.
void ReportLine(const std::string& text);

}  // namespace yux
