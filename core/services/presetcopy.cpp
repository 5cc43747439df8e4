// Duplicating and renaming a preset with its schedule rows and notifier tasks.
#include "core/services/presetcopy.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "core/services/shellnotifier.h"
#include "core/store/presets.h"
#include "core/store/schedule.h"
#include "core/store/textutil.h"
#include "platform/safefile.h"

namespace yux {

namespace fs = std::filesystem;

std::function<bool(int n)> PresetFileFault;

namespace {

// The files of a preset in the order they are handled; a rename also moves
// the logs, a duplicate starts with empty ones.
struct PresetFileKind {
  const char* extension;
  bool copied;  // part of a duplicate
  bool binary;
};
constexpr PresetFileKind kKinds[] = {
    {".inc", true, false}, {".exc", true, false}, {".flt", true, false}, {".pst", true, false},
    {".lgc", false, false}, {".lgs", false, false}, {".lgf", false, false}, {".not", true, false},
    {".cmt", true, false}, {".hst", true, false}, {".bmp", true, true},
};

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(fs::path(path), ec));
}

// Writes each line of `source` with a CR LF end into `target`, which must
// not exist yet.
bool CopyLines(const std::string& source, const std::string& target) {
  bool ok = false;
  const std::vector<std::string> lines = ReadTextLines(source, ok);
  if (!ok) return false;
  std::FILE* out = std::fopen(target.c_str(), "wbx");
  if (!out) return false;
  bool written = true;
  for (const std::string& line : lines) {
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size() || std::fwrite("\r\n", 1, 2, out) != 2) {
      written = false;
      break;
    }
  }
  if (std::fclose(out) != 0) written = false;
  if (!written) std::remove(target.c_str());
  return written;
}

}  // namespace

std::optional<std::string> CopyPresetFiles(const std::string& source, const std::string& target, bool rename) {
  if (auto problem = NewPresetNameError(target)) return problem;
  // What this attempt did, to undo it: files created (duplicate) or moved
  // (rename, as new path -> old path).
  std::vector<std::pair<std::string, std::string>> done;
  std::string failure;
  int n = 0;
  for (const PresetFileKind& kind : kKinds) {
    if (!rename && !kind.copied) continue;
    const std::string from = PresetFilePath(source, kind.extension);
    if (!Exists(from)) continue;
    const std::string to = PresetFilePath(target, kind.extension);
    ++n;
    bool ok = false;
    std::string error;
    if (PresetFileFault && PresetFileFault(n)) {
      error = "injected failure";
    } else if (rename) {
      ok = platform::RenameFile(from, to, false, &error);
    } else if (kind.binary) {
      ok = platform::CopyFileSafely(from, to, false, &error);
    } else {
      ok = CopyLines(from, to);
    }
    if (ok) {
      done.emplace_back(to, from);
      continue;
    }
    failure = to + (error.empty() ? "" : ": " + error);
    break;
  }
  if (failure.empty()) return std::nullopt;
  // Undo in reverse order.  A rename puts the files back under the old
  // name, never deleting them: they are the preset's only copies.
  for (auto it = done.rbegin(); it != done.rend(); ++it) {
    if (rename)
      platform::RenameFile(it->first, it->second, false);
    else
      std::remove(it->first.c_str());
  }
  return failure;
}

void MovePresetReferences(const std::string& from, const std::string& to) {
  bool scheduleChanged = false;
  for (std::size_t k = 0; k < Schedule.Count();) {
    if (Schedule.Row(k).Name != from) {
      ++k;
      continue;
    }
    tschdata row = Schedule.Row(k);
    row.Name = to;
    const std::size_t moved = Schedule.Replace(k, row);
    scheduleChanged = true;
    // A row that moved up was visited already; one that moved down comes
    // again under the new name and is skipped.
    if (moved <= k) ++k;
  }
  if (scheduleChanged) RefreshSchedule();

  bool tasksChanged = false;
  for (tsnopt& task : ShellNotifierTasks) {
    if (task.Preset == from) {
      task.Preset = to;
      tasksChanged = true;
    }
  }
  if (tasksChanged) SaveShellNotifierTasks(ShellNotifierTasks);
}

}  // namespace yux
