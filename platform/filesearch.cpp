#include "platform/filesearch.h"

#include "platform/namedobjects.h"
#include "platform/wildcard.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace yux::platform {

bool DescribeEntry(const std::string& folder, const std::string& name, FindEntry* entry) {
  std::string full = (folder == "/" ? "" : folder) + "/" + name;
  struct stat st{};
  if (stat(full.c_str(), &st) != 0 && lstat(full.c_str(), &st) != 0) return false;
  FindEntry& f = *entry;
  f.name = name;
  f.isFolder = S_ISDIR(st.st_mode);
  f.size = f.isFolder ? 0 : static_cast<std::uint64_t>(st.st_size);
  f.mtime = st.st_mtime;
  f.attributes = f.isFolder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!name.empty() && name[0] == '.') f.attributes |= FILE_ATTRIBUTE_HIDDEN;
  if (!(st.st_mode & S_IWUSR)) f.attributes |= FILE_ATTRIBUTE_READONLY;
  return true;
}

std::vector<FindEntry> FindFiles(const std::string& pattern, DWORD* error) {
  std::vector<FindEntry> out;
  auto sep = pattern.find_last_of("/\\");
  std::string folder = sep == std::string::npos ? "." : pattern.substr(0, sep);
  if (sep == 0) folder = "/";
  std::string mask = sep == std::string::npos ? pattern : pattern.substr(sep + 1);
  auto setError = [&](DWORD e) {
    if (error) *error = e;
    SetLastError(e);
  };

  DIR* d = opendir(folder.c_str());
  if (!d) {
    setError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    return out;
  }
  errno = 0;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!MatchesMask(name, mask)) continue;
    FindEntry f;
    if (!DescribeEntry(folder, name, &f)) continue;  // vanished meanwhile
    out.push_back(std::move(f));
  }
  closedir(d);
  std::sort(out.begin(), out.end(), [](const FindEntry& a, const FindEntry& b) { return a.name < b.name; });
  setError(out.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS);
  return out;
}

bool FileFinder::First(const std::string& pattern, FindEntry* entry) {
  DWORD err = 0;
  entries_ = FindFiles(pattern, &err);
  next_ = 0;
  if (entries_.empty()) {
    SetLastError(err);
    return false;
  }
  return Next(entry);
}

bool FileFinder::Next(FindEntry* entry) {
  if (next_ >= entries_.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return false;
  }
  if (entry) *entry = entries_[next_];
  ++next_;
  return true;
}

}  // namespace yux::platform
