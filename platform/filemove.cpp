// Moving a file by rename, else by a safe copy and the source's deletion.
#include "platform/filemove.h"

#include <filesystem>
#include <system_error>

#include "platform/safefile.h"

namespace yux::platform {

bool MoveFileTo(const std::string& from, const std::string& to, std::string* error, bool replace,
                const std::function<bool()>& keepGoing) {
  std::string why;
  bool crossDevice = false;
  if (RenameFile(from, to, replace, &why, &crossDevice)) return true;
  if (!crossDevice) {
    if (error) *error = why;
    return false;
  }
  if (!CopyFileSafely(from, to, replace, error, keepGoing)) return false;
  // A source that cannot be deleted goes with the run folder later.
  std::error_code ec;
  std::filesystem::remove(from, ec);
  return true;
}

}  // namespace yux::platform
