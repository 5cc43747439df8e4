// Deleting the sources once their archive has been delivered.
#include "core/run/sourcedelete.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <system_error>

#include "core/run/archivecrc.h"
#include "core/store/folders.h"
#include "platform/safefile.h"
#include "platform/wildcard.h"
#include "zip/ziparchive.h"

namespace yux {

namespace fs = std::filesystem;

namespace {

std::string NameOf(const std::string& path) { return platform::PathNameOf(path); }
std::string FolderOf(const std::string& path) { return platform::PathFolderOf(path); }

// The source files and folders an include list can reach, by the name the
// archive stores them under.
class Candidates {
 public:
  explicit Candidates(const SourceDeletion& how) : how_(how) {}

  void AddItem(std::string item) {
    std::replace(item.begin(), item.end(), '\\', '/');
    // A relative item names a place only against the archiver's working
    // folder at that time; nothing is deleted through it.
    if (item.empty() || item[0] != '/') return;
    item = fs::path(item).lexically_normal().string();
    while (item.size() > 1 && item.back() == '/') item.pop_back();
    const std::string base = FolderOf(item);
    const std::string last = NameOf(item);
    if (platform::HasWildcards(last)) {
      struct stat st {};
      if (::stat(base.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) Walk(base, base, last, how_.recurse, false);
      return;
    }
    struct stat st {};
    if (::stat(item.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      if (Add(item, base, true, false)) Walk(item, base, "", true, false);
    } else if (S_ISREG(st.st_mode)) {
      Add(item, base, false, false);
    }
  }

  SourceCandidates byName;

 private:
  // The archiver's walk: names in byte order, linked folders followed like
  // linked files unless they lead back to a folder the walk is inside.
  // `viaLink`: the folder was reached through a linked folder.
  void Walk(const std::string& folder, const std::string& base, const std::string& mask, bool recurse,
            bool viaLink) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return;
    struct stat self {};
    const bool known = ::fstat(::dirfd(d), &self) == 0;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    if (known) onPath_.push_back({self.st_dev, self.st_ino});
    for (const auto& n : names) {
      if (++seen_ % 256 == 0 && how_.pump) how_.pump();
      const std::string path = folder == "/" ? "/" + n : folder + "/" + n;
      struct stat lst {}, st {};
      if (::lstat(path.c_str(), &lst) != 0 || ::stat(path.c_str(), &st) != 0) continue;
      const bool link = S_ISLNK(lst.st_mode);
      if (S_ISDIR(st.st_mode)) {
        if (!recurse) continue;
        const bool loop = std::any_of(onPath_.begin(), onPath_.end(), [&](const auto& id) {
          return id.first == st.st_dev && id.second == st.st_ino;
        });
        if (loop) continue;
        if ((mask.empty() || platform::MatchesMask(n, mask)) && !Add(path, base, true, viaLink || link)) continue;
        Walk(path, base, mask, true, viaLink || link);
      } else if (S_ISREG(st.st_mode)) {
        if (mask.empty() || platform::MatchesMask(n, mask)) Add(path, base, false, viaLink);
      }
    }
    if (known) onPath_.pop_back();
  }

  // False when the archiver leaves the source out, as a file of the same
  // name came first (a folder left out is not walked either).  It is a
  // candidate all the same: its name is ambiguous.
  bool Add(const std::string& path, const std::string& base, bool folder, bool viaLink) {
    std::string stored;
    switch (how_.pathMode) {
      case 0:
        if (folder) return true;
        stored = NameOf(path);
        break;
      case 1: stored = fs::path(path).lexically_relative(base).string(); break;
      default: stored = path; break;
    }
    stored = NormalizedEntryName(stored);
    if (stored.empty() || stored == "." || stored == "..") return true;
    SourceCandidate c{path, folder, viaLink, {}};
    if (!folder) {
      // Gone or no longer a file since the walk saw it.
      const auto id = IdentityOf(path);
      if (!id) return true;
      c.identity = *id;
    }
    auto& list = byName[stored];
    for (const auto& s : list)
      if (s.path == path) return true;
    const bool storedFirst = list.empty() || (list.front().folder && folder);
    list.push_back(std::move(c));
    return storedFirst;
  }

  const SourceDeletion& how_;
  std::size_t seen_ = 0;
  // The folders from the item down to the one walked.
  std::vector<std::pair<dev_t, ino_t>> onPath_;
};

// By what the listing tells without reading the file: its name, size and
// time, and that it is still the file that was taken.
bool StillAsArchived(const SourceCandidate& c, const ArchivedEntry& e) {
  const auto now = IdentityOf(c.path);
  if (!now || !(*now == c.identity)) return false;
  if (now->size != e.size || now->mtime != e.mtime) return false;
  return e.mtimeNsec == 0 || now->mtimeNsec == e.mtimeNsec;
}

// The file's bytes, read now, are the entry's: same length and CRC-32, and
// the file was not changed while it was read.
bool BytesAsArchived(const SourceCandidate& c, const ArchivedEntry& e, const std::function<void()>& pump) {
  if (!e.crc) return false;
  std::uint32_t crc = 0;
  std::int64_t length = -1;
  if (!FileCrc32(c.path, pump, &crc, &length)) return false;
  const auto after = IdentityOf(c.path);
  return after && *after == c.identity && length == e.size && crc == *e.crc;
}

}  // namespace

std::string NormalizedEntryName(std::string name) {
  while (name.rfind("./", 0) == 0) name.erase(0, 2);
  const auto first = name.find_first_not_of('/');
  name = first == std::string::npos ? std::string() : name.substr(first);
  while (!name.empty() && name.back() == '/') name.pop_back();
  return name;
}

std::optional<SourceIdentity> IdentityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  SourceIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.mtime = st.st_mtim.tv_sec;
  id.mtimeNsec = st.st_mtim.tv_nsec;
  id.ctime = st.st_ctim.tv_sec;
  id.ctimeNsec = st.st_ctim.tv_nsec;
  return id;
}

SourceCandidates TakeSourceCandidates(const SourceDeletion& how) {
  Candidates c(how);
  for (const auto& item : how.includes) c.AddItem(item);
  return std::move(c.byName);
}

std::optional<std::vector<ArchivedEntry>> ReadArchiveListing(const std::vector<std::string>& volumes,
                                                             std::string* error, const std::string& password,
                                                             const std::function<void()>& pump) {
  auto fail = [&](const std::string& why) -> std::optional<std::vector<ArchivedEntry>> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (volumes.empty()) return fail("no archive");
  archive* a = archive_read_new();
  archive_read_support_format_all(a);
  archive_read_support_filter_all(a);
  std::vector<const char*> names;
  for (const auto& v : volumes) names.push_back(v.c_str());
  names.push_back(nullptr);
  if (archive_read_open_filenames(a, names.data(), 1 << 16) != ARCHIVE_OK) {
    const std::string why = zip::ArchiveErrorText(a, "cannot open the archive");
    archive_read_free(a);
    return fail(why);
  }
  std::vector<ArchivedEntry> out;
  archive_entry* entry = nullptr;
  std::string why;
  for (;;) {
    const int rc = archive_read_next_header(a, &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) {
      why = zip::ArchiveErrorText(a, "damaged archive");
      break;
    }
    const char* path = archive_entry_pathname(entry);
    if (!path) continue;
    ArchivedEntry e;
    e.name = NormalizedEntryName(path);
    e.folder = archive_entry_filetype(entry) == AE_IFDIR;
    e.size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
    if (!archive_entry_mtime_is_set(entry)) e.size = -1;  // cannot be checked: never matches
    e.mtime = archive_entry_mtime(entry);
    e.mtimeNsec = archive_entry_mtime_nsec(entry);
    if (!e.name.empty()) out.push_back(std::move(e));
    archive_read_data_skip(a);
  }
  archive_read_free(a);
  if (!why.empty()) return fail(why);
  if (!AddArchiveCrcs(volumes, password, out, pump, &why)) return fail(why);
  return out;
}

std::vector<std::vector<std::string>> ArchiveVolumeGroups(const std::string& folder,
                                                          const std::vector<std::string>& produced) {
  static const std::regex part(R"((.*)\.part([0-9]+)(\.[^.]*)?)");
  std::map<std::string, std::vector<std::pair<unsigned long, std::string>>> sets;
  std::vector<std::vector<std::string>> groups;
  for (const auto& name : produced) {
    std::smatch m;
    if (std::regex_match(name, m, part)) {
      sets[m[1].str() + "\n" + m[3].str()].push_back({std::stoul(m[2].str()), PathJoin(folder, name)});
    } else {
      groups.push_back({PathJoin(folder, name)});
    }
  }
  for (auto& [key, parts] : sets) {
    std::sort(parts.begin(), parts.end());
    std::vector<std::string> g;
    for (auto& p : parts) g.push_back(p.second);
    groups.push_back(std::move(g));
  }
  return groups;
}

SourceDeletionResult DeleteArchivedSources(const std::vector<ArchivedEntry>& listing,
                                           const SourceCandidates& candidates, const SourceDeletion& how) {
  SourceDeletionResult r;
  std::vector<std::string> folders;
  for (const auto& e : listing) {
    auto it = candidates.find(e.name);
    if (e.folder) {
      if (it != candidates.end())
        for (const auto& s : it->second)
          if (s.folder && !s.viaLink) folders.push_back(s.path);
      continue;
    }
    std::vector<const SourceCandidate*> matching;
    if (it != candidates.end())
      for (const auto& s : it->second)
        if (!s.folder && StillAsArchived(s, e)) matching.push_back(&s);
    // Two files that both fit one entry: the archive holds only one of
    // them.  One met through a linked folder lies outside the sources.
    if (matching.size() != 1 || matching[0]->viaLink || !BytesAsArchived(*matching[0], e, how.pump)) {
      ++r.kept;
      continue;
    }
    const std::string& path = matching[0]->path;
    std::error_code ec;
    bool overwritten = false;
    const bool gone =
        how.wipe ? platform::WipeAndDelete(path, &overwritten, how.pump) : (fs::remove(path, ec) && !ec);
    if (gone) {
      ++r.deleted;
      r.deletedPaths.push_back(path);
      if (how.wipe && !overwritten) ++r.notOverwritten;
    } else {
      ++r.kept;
    }
  }
  std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
  for (const auto& f : folders) {
    std::error_code ec;
    fs::remove(f, ec);  // only an empty folder goes
  }
  return r;
}

}  // namespace yux
