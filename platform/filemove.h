#pragma once
// Moving a file to another folder, on the same file system or across file
// systems, without ever losing the only copy of it.
#include <functional>
#include <string>

namespace yux::platform {

// Moves a file; across file systems the file is copied under a temporary
// name, flushed, renamed to the target and only then the source deleted.
// An existing target is replaced only when `replace` is set, and then in
// one step once the new file is whole: a move that fails (or is cut off)
// leaves the old file as it was and nothing half-written under the
// target's name.  False with a reason.  `keepGoing` is asked between the
// chunks of such a copy; false cuts it off.
bool MoveFileTo(const std::string& from, const std::string& to, std::string* error = nullptr,
                bool replace = false, const std::function<bool()>& keepGoing = {});

}  // namespace yux::platform
