#pragma once
// Duplicating and renaming a preset: every file of the preset under the new
// name, all or nothing, and (for a rename) the schedule rows and the
// shell-notifier tasks that name it.
#include <functional>
#include <optional>
#include <string>

namespace yux {

// Copies (`rename` false) or renames the existing files of preset `source`
// to `target`.  Text files are copied line by line with CR LF line ends and
// otherwise the same bytes; the picture is copied block by block.  The new
// name must pass NewPresetNameError; a refusal gives its message and
// touches nothing.  On a failure part-way, a duplicate removes the files it
// created, a rename renames the files it moved back; the text then says
// what failed.  Nothing on success.
std::optional<std::string> CopyPresetFiles(const std::string& source, const std::string& target, bool rename);

// Test hook: called before the n-th file (1-based) of a copy or rename is
// handled; true makes that file fail.
extern std::function<bool(int n)> PresetFileFault;

// After a rename: the schedule rows and the shell-notifier tasks naming
// `from` (exactly) name `to`; both are saved when something changed.
void MovePresetReferences(const std::string& from, const std::string& to);

}  // namespace yux
