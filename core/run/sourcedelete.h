#pragma once
// "Delete files after archiving" done safely: the archiver is never told to
// delete anything.  Before the archiver starts, the run takes the files its
// include list reaches and what each one is (device, inode, size, times);
// once the archive has reached a destination, it deletes exactly those of
// them that the archive's own listing names and that are still what they
// were.
#include <cstdint>
#include <functional>
#include <map>
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
  // The CRC-32 of the entry's data; unknown (never matches) when the
  // archive does not tell it for this entry.
  std::optional<std::uint32_t> crc;
};

// An entry's name as the listing gives it: without a leading "./" or "/"
// and without a trailing "/".
std::string NormalizedEntryName(std::string name);

// Reads the listing of an archive made of `volumes` (one file, or the
// parts of a split archive in order), with the CRC of every file entry.
// nullopt with a reason when the archive cannot be read (a format or an
// encryption that hides its names or its CRCs).  `password` reads back the
// encrypted entries whose CRC is not stored; `pump` is called meanwhile.
std::optional<std::vector<ArchivedEntry>> ReadArchiveListing(const std::vector<std::string>& volumes,
                                                             std::string* error = nullptr,
                                                             const std::string& password = {},
                                                             const std::function<void()>& pump = {});

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

// What a file is: a file rewritten, replaced or touched in any way since
// (its change time moves with every write, rename or change of its
// attributes) is another file for the deletion.
struct SourceIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime = 0, mtimeNsec = 0;
  std::int64_t ctime = 0, ctimeNsec = 0;
  bool operator==(const SourceIdentity&) const = default;
};

// The identity of the regular file at `path` (through a symbolic link, as
// the archiver reads it); nullopt for anything else.
std::optional<SourceIdentity> IdentityOf(const std::string& path);

struct SourceCandidate {
  std::string path;
  bool folder = false;
  // Met through a linked folder, as the archiver follows it: a candidate
  // for its stored name (a clash with it is seen), never deleted itself,
  // as its data lies outside the sources.
  bool viaLink = false;
  SourceIdentity identity;  // files only
};

// The source files and folders an include list reaches, by the name the
// archive stores them under.
using SourceCandidates = std::map<std::string, std::vector<SourceCandidate>>;

// Walks `how.includes` under its path mode, before the archiver starts,
// following linked folders as the archiver does (unless one leads back to
// a folder the walk is inside).
SourceCandidates TakeSourceCandidates(const SourceDeletion& how);

struct SourceDeletionResult {
  int deleted = 0;
  // Named by the archive but changed (other size, time or bytes), missing,
  // ambiguous or reached through a linked folder.
  int kept = 0;
  std::vector<std::string> deletedPaths;
  // Deleted under wipe without being overwritten: their data has other
  // names (hard links).
  int notOverwritten = 0;
};

// Deletes the candidates the listing names.  A file is deleted only when it
// maps to an archived entry under the path mode, is the only candidate that
// does, was not reached through a linked folder, still has the entry's size
// and modification time, is still the file that was taken (its identity
// unchanged), and its bytes, read now, have the entry's size and CRC-32.
// Folders named by the archive go when they are left empty.
SourceDeletionResult DeleteArchivedSources(const std::vector<ArchivedEntry>& listing,
                                           const SourceCandidates& candidates, const SourceDeletion& how);

}  // namespace yux
