// Deleting the sources once their archive has been delivered.
#include "core/run/sourcedelete.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <system_error>

#include "core/store/folders.h"
#include "platform/safefile.h"
#include "platform/wildcard.h"

namespace yux {

namespace fs = std::filesystem;

namespace {

std::string Normalized(std::string name) {
  while (name.rfind("./", 0) == 0) name.erase(0, 2);
  const auto first = name.find_first_not_of('/');
  name = first == std::string::npos ? std::string() : name.substr(first);
  while (!name.empty() && name.back() == '/') name.pop_back();
  return name;
}

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
    std::error_code ec;
    if (platform::HasWildcards(last)) {
      Walk(base, base, last, how_.recurse);
      return;
    }
    const auto st = fs::status(item, ec);
    if (fs::is_directory(st)) {
      Add(item, base, true);
      Walk(item, base, "", true);
    } else if (fs::is_regular_file(st)) {
      Add(item, base, false);
    }
  }

  SourceCandidates byName;

 private:
  void Walk(const std::string& folder, const std::string& base, const std::string& mask, bool recurse) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
      if (++seen_ % 256 == 0 && how_.pump) how_.pump();
      const std::string path = e.path().string();
      const std::string name = NameOf(path);
      const bool link = e.is_symlink(ec);
      if (e.is_directory(ec)) {
        // A linked folder is not followed, as the archiver does not.
        if (link || !recurse) continue;
        if (mask.empty() || platform::MatchesMask(name, mask)) Add(path, base, true);
        Walk(path, base, mask, true);
      } else if (e.is_regular_file(ec)) {
        if (mask.empty() || platform::MatchesMask(name, mask)) Add(path, base, false);
      }
    }
  }

  void Add(const std::string& path, const std::string& base, bool folder) {
    std::string stored;
    switch (how_.pathMode) {
      case 0:
        if (folder) return;
        stored = NameOf(path);
        break;
      case 1: stored = fs::path(path).lexically_relative(base).string(); break;
      default: stored = path; break;
    }
    stored = Normalized(stored);
    if (stored.empty() || stored == "." || stored == "..") return;
    SourceCandidate c{path, folder, {}};
    if (!folder) {
      // Gone or no longer a file since the walk saw it.
      const auto id = IdentityOf(path);
      if (!id) return;
      c.identity = *id;
    }
    auto& list = byName[stored];
    for (const auto& s : list)
      if (s.path == path) return;
    list.push_back(std::move(c));
  }

  const SourceDeletion& how_;
  std::size_t seen_ = 0;
};

bool StillAsArchived(const SourceCandidate& c, const ArchivedEntry& e) {
  const auto now = IdentityOf(c.path);
  if (!now || !(*now == c.identity)) return false;
  if (now->size != e.size || now->mtime != e.mtime) return false;
  return e.mtimeNsec == 0 || now->mtimeNsec == e.mtimeNsec;
}

}  // namespace

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
                                                             std::string* error) {
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
    const std::string why = archive_error_string(a) ? archive_error_string(a) : "cannot open the archive";
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
      why = archive_error_string(a) ? archive_error_string(a) : "damaged archive";
      break;
    }
    const char* path = archive_entry_pathname(entry);
    if (!path) continue;
    ArchivedEntry e;
    e.name = Normalized(path);
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
          if (s.folder) folders.push_back(s.path);
      continue;
    }
    std::vector<std::string> matching;
    if (it != candidates.end())
      for (const auto& s : it->second)
        if (!s.folder && StillAsArchived(s, e)) matching.push_back(s.path);
    // Two files that both fit one entry: the archive holds only one of them.
    if (matching.size() != 1) {
      ++r.kept;
      continue;
    }
    std::error_code ec;
    bool overwritten = false;
    const bool gone =
        how.wipe ? platform::WipeAndDelete(matching[0], &overwritten) : (fs::remove(matching[0], ec) && !ec);
    if (gone) {
      ++r.deleted;
      r.deletedPaths.push_back(matching[0]);
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
