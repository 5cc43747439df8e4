#pragma once
// File search in the shape of FindFirstFile/FindNextFile: a folder and a
// mask with Windows rules (platform/wildcard.h), entries with the Windows
// attributes the callers test.
#include "platform/messages.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace yux::platform {

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr DWORD ERROR_NO_MORE_FILES = 18;

struct FindEntry {
  std::string name;
  std::uint64_t size = 0;  // 0 for folders
  std::time_t mtime = 0;   // seconds since 1970 (UTC)
  bool isFolder = false;
  // FILE_ATTRIBUTE_*: hidden = a name starting with '.', read-only = no
  // write permission for the owner, directory, else archive.
  DWORD attributes = 0;
};

// The entry of `name` in `folder` as the search describes it; false when
// it cannot be examined (it vanished).
bool DescribeEntry(const std::string& folder, const std::string& name, FindEntry* entry);

// Entries of `pattern` (a folder, "/", then a mask; "\" also separates the
// mask) sorted by name bytes, "." and ".." left out.  A symbolic link is
// described by what it points to (itself when that is missing).  An empty
// result sets `*error` (when given): ERROR_FILE_NOT_FOUND when nothing
// matches, ERROR_PATH_NOT_FOUND for a missing folder, ERROR_ACCESS_DENIED
// for one that cannot be read; otherwise it is ERROR_SUCCESS.
std::vector<FindEntry> FindFiles(const std::string& pattern, DWORD* error = nullptr);

// FindFirstFile/FindNextFile over the same results.
class FileFinder {
 public:
  // Searches; false (last error set as above) when nothing was found.
  bool First(const std::string& pattern, FindEntry* entry);
  // The next entry; false with ERROR_NO_MORE_FILES at the end.
  bool Next(FindEntry* entry);

 private:
  std::vector<FindEntry> entries_;
  size_t next_ = 0;
};

}  // namespace yux::platform
