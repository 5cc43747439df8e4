#pragma once
// "Delete files after archiving" done safely: the archiver is never told to
// delete anything.  Once the archive has reached a destination, the run
// deletes exactly the source files that the archive's own listing names,
// each only while its size and modification time are still those of the
// archived entry.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace yux {

struct ArchivedEntry {
  std::string name;  // as stored, without a leading "/" or a trailing "/"
  bool folder = false;
  std::int64_t size = 0;
  std::int64_t mtime = 0;      // seconds since 1970
  std::int64_t mtimeNsec = 0;  // 0 when the archive keeps whole seconds
};

// Reads the listing of an archive made of `volumes` (one file, or the
// parts of a split archive in order).  nullopt with a reason when the
// archive cannot be read (a format or an encryption that hides its names).
std::optional<std::vector<ArchivedEntry>> ReadArchiveListing(const std::vector<std::string>& volumes,
                                                             std::string* error = nullptr);

// The archives among a run's produced files: the parts of a split archive
// ("name.partN.ext") form one group, in order; every other file is one.
std::vector<std::vector<std::string>> ArchiveVolumeGroups(const std::string& folder,
                                                          const std::vector<std::string>& produced);

struct SourceDeletion {
  std::vector<std::string> includes;  // the preset's include list (paths and masks)
  int pathMode = 1;                   // 0 names only, 1 relative, 2 full, 3 full with root
  bool recurse = false;               // masks apply in subfolders too
  bool wipe = false;                  // overwrite before deleting
  std::function<void()> pump;         // handles messages now and then
};

struct SourceDeletionResult {
  int deleted = 0;
  int kept = 0;  // named by the archive but changed, missing or ambiguous
  std::vector<std::string> deletedPaths;
};

// Deletes the sources the listing names.  The include list only says where
// to look: a file is deleted only when it maps to an archived entry under
// the path mode, is the only file that does, and still has the entry's size
// and modification time.  Folders named by the archive go when they are
// left empty.
SourceDeletionResult DeleteArchivedSources(const std::vector<ArchivedEntry>& listing,
                                           const SourceDeletion& how);

}  // namespace yux
