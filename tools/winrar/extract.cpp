// The x command: every entry of an archive (possibly split into volumes)
// written below one folder.  An archive is outside input, so nothing it
// names may land outside that folder: names are reduced to plain relative
// paths, ".." refuses the entry, and every folder on the way is opened
// without following links.  Existing files are never overwritten, and no
// entry writes more than its central record declares.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <random>
#include <string>
#include <vector>

#include "tools/winrar/archiver.h"
#include "zip/ziparchive.h"
#include "zip/zipdir.h"

namespace fs = std::filesystem;

namespace yux::winrar {
using namespace yux::zip;
namespace {

std::string Errno() { return std::strerror(errno); }

// Whether one component of a name may be opened below the destination:
// the same test decides what a name may hold and what is opened, so that
// the two never read a name differently (openat would end "..\0" at the
// NUL and climb out).
bool SafeComponent(const std::string& part) {
  return !part.empty() && part != "." && part != ".." && part.find('\0') == std::string::npos &&
         part.find('/') == std::string::npos;
}

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A name with "\" read as "/", as names from other systems mean it.
std::string Slashed(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

// The entry's name as folder components below the destination.  False when
// the entry must not be extracted (a ".." component, a NUL byte, or nothing
// left).  A name made on Unix is taken as stored: "/" alone separates, and
// "\" or a colon are characters of a name.  Names from other systems may
// use "\" and begin with a drive letter.
bool RelativeParts(std::string name, bool madeOnUnix, std::vector<std::string>* parts) {
  if (!madeOnUnix) {
    name = Slashed(name);
    // A drive letter is as absolute as a leading separator.
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
      name.erase(0, 2);
  }
  parts->clear();
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (!part.empty() && part != ".") {
      if (!SafeComponent(part)) return false;
      parts->push_back(part);
    }
    start = end + 1;
  }
  return !parts->empty();
}

}  // namespace

std::string ReaderError(archive* a) { return ArchiveErrorText(a, kDamagedArchive); }

namespace {

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// A new file beside the final one that no one else could have made.
int CreateTempAt(int dir, const std::string& final, std::string* name) {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
    *name = "." + final.substr(0, 200) + ".yuxtmp." + suffix;
    int fd = openat(dir, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Puts the temporary file under its final name unless that name is taken
// by now.  0, or EEXIST, or another errno.
int PlaceNoReplace(int dir, const std::string& temp, const std::string& final) {
  if (renameat2(dir, temp.c_str(), dir, final.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without the flag: a hard link fails on an existing name too.
  if (linkat(dir, temp.c_str(), dir, final.c_str(), 0) != 0) return errno;
  unlinkat(dir, temp.c_str(), 0);
  return 0;
}

class Extractor {
 public:
  Extractor(const Options& opt, std::string archive) : opt_(opt), archive_(std::move(archive)) {}

  int Run(const std::string& destination) {
    std::string missing;
    std::vector<std::string> volumes = ArchiveVolumes(archive_, &missing);
    if (!missing.empty()) {
      Problem(missing + " is missing");
      return kFatal;
    }
    ByteSource src;
    if (volumes.empty() || !src.Open(volumes)) {
      Problem("cannot open " + archive_ + (src.error().empty() ? "" : " (" + src.error() + ")"));
      return kOpenError;
    }
    ZipDirectory dir;
    std::string why;
    if (!ReadZipDirectory(src, &dir, &why)) {
      Problem("cannot read the archive: " + why);
      return kFatal;
    }
    std::error_code ec;
    fs::create_directories(destination, ec);
    FdCloser root(open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) {
      Problem("cannot create the folder " + destination + ": " + Errno());
      return kCreateError;
    }

    archive* a = archive_read_new();
    archive_read_support_format_zip_seekable(a);
    if (opt_.password) archive_read_add_passphrase(a, opt_.password->c_str());
    SourceStream stream(src);
    if (stream.Open(a) != ARCHIVE_OK) {
      Problem("cannot read the archive: " + ReaderError(a));
      archive_read_free(a);
      return kFatal;
    }
    // The reader gives neither the system that made an entry nor its NTFS
    // time, nor a name flagged as UTF-8 that is not: those come from the
    // directory read above.  The reader takes the entries in the order of
    // their local headers (one per offset), and so are they paired here.
    std::vector<const ZipEntry*> stored;
    for (const ZipEntry& z : dir.entries) stored.push_back(&z);
    std::stable_sort(stored.begin(), stored.end(),
                     [](const ZipEntry* x, const ZipEntry* y) { return x->localOffset < y->localOffset; });
    stored.erase(std::unique(stored.begin(), stored.end(),
                             [](const ZipEntry* x, const ZipEntry* y) { return x->localOffset == y->localOffset; }),
                 stored.end());
    for (size_t next = 0;; ++next) {
      if (StopRequested()) {
        Raise(kStopped);
        break;
      }
      archive_entry* e = nullptr;
      int rc = archive_read_next_header(a, &e);
      if (rc == ARCHIVE_EOF) break;
      if (rc < ARCHIVE_WARN) {
        const std::string why = ReaderError(a);
        Problem(why == kDamagedArchive ? why : "damaged archive: " + why);
        Raise(kTestFailed);
        if (rc == ARCHIVE_FATAL) break;
        continue;
      }
      Entry(a, e, root.get(), next < stored.size() ? stored[next] : nullptr);
    }
    archive_read_free(a);
    if (code_ != kStopped) RestoreFolders(root.get());
    if (code_ == kSuccess && !opt_.quiet) std::cout << "All OK\n";
    return code_;
  }

 private:
  void Problem(const std::string& text) { LogProblem(opt_, archive_, text); }

  // The worst outcome wins: a stop, then a write failure, then a failed
  // check, then a warning.
  void Raise(int code) {
    auto rank = [](int c) {
      switch (c) {
        case kStopped: return 5;
        case kCreateError: return 4;
        case kTestFailed: return 3;
        case kFatal: return 2;
        case kWarning: return 1;
        default: return 0;
      }
    };
    if (rank(code) > rank(code_)) code_ = code;
  }

  void Warn(const std::string& text) {
    Problem("WARNING: " + text);
    Raise(kWarning);
  }

  static std::string Joined(const std::vector<std::string>& parts, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i) path += (i ? "/" : "") + parts[i];
    return path;
  }

  // Opens (creating when missing, if asked) the folder `parts` below
  // `root`, one component at a time and never through a link.  -1 with
  // errno on failure.  The folders it makes are remembered.
  int OpenFolder(int root, const std::vector<std::string>& parts, size_t count, bool create = true) {
    int fd = dup(root);
    for (size_t i = 0; i < count && fd >= 0; ++i) {
      if (!SafeComponent(parts[i])) {
        close(fd);
        errno = EINVAL;
        return -1;
      }
      const char* name = parts[i].c_str();
      int next = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0 && errno == ENOENT && create && mkdirat(fd, name, 0777) == 0) {
        created_.insert(Joined(parts, i + 1));
        next = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
      int saved = errno;
      close(fd);
      errno = saved;
      fd = next;
    }
    return fd;
  }

  // What a folder entry says of a folder this extraction made: its mode
  // (without set-id and sticky bits, under the umask) when the entry has a
  // Unix one, and its time.
  struct FolderLook {
    std::vector<std::string> parts;
    std::optional<mode_t> mode;
    std::optional<struct timespec> mtime;
  };

  void NoteFolder(archive_entry* e, const ZipEntry* stored, const std::vector<std::string>& parts) {
    if (!created_.count(Joined(parts, parts.size()))) return;  // one already there keeps its own
    FolderLook look{parts, std::nullopt, std::nullopt};
    if (stored && (stored->UnixMode() & 0777)) look.mode = stored->UnixMode() & 0777 & ~Umask();
    if (stored)
      look.mtime = timespec{static_cast<time_t>(stored->mtime), static_cast<long>(stored->mtimeNsec)};
    else if (archive_entry_mtime_is_set(e))
      look.mtime = timespec{archive_entry_mtime(e), archive_entry_mtime_nsec(e)};
    folders_[Joined(parts, parts.size())] = std::move(look);
  }

  // Last, after every file is in: a file written into a folder would change
  // its time, and a folder of mode 0500 would refuse the files.  Deepest
  // first, so that no parent changes after its children.
  void RestoreFolders(int root) {
    std::vector<const FolderLook*> order;
    for (auto& [path, look] : folders_) order.push_back(&look);
    std::stable_sort(order.begin(), order.end(), [](const FolderLook* a, const FolderLook* b) {
      return a->parts.size() > b->parts.size();
    });
    for (const FolderLook* look : order) {
      FdCloser fd(OpenFolder(root, look->parts, look->parts.size(), false));
      const std::string name = PrintableName(Joined(look->parts, look->parts.size()));
      if (fd.get() < 0 || (look->mode && fchmod(fd.get(), *look->mode) != 0)) {
        Warn("cannot set the mode of the folder " + name + ": " + Errno());
        continue;
      }
      struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
      if (look->mtime) times[1] = *look->mtime;
      if (look->mtime && futimens(fd.get(), times) != 0)
        Warn("cannot set the time of the folder " + name + ": " + Errno());
    }
  }

  static mode_t Umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
  }

  // `stored`: the entry as the directory holds it, when known.
  void Entry(archive* a, archive_entry* e, int root, const ZipEntry* stored) {
    // The directory names each local header once, so the pairing holds; a
    // size the reader takes from the local header that differs from the
    // listed one would write what no listing shows.
    if (stored && archive_entry_size_is_set(e) &&
        static_cast<uint64_t>(archive_entry_size(e)) != stored->size) {
      Problem("damaged archive: " + PrintableName(stored->name) + " is listed with " +
              std::to_string(stored->size) + " bytes, its local header says " +
              std::to_string(archive_entry_size(e)));
      Raise(kFatal);
      return;
    }
    const char* raw = archive_entry_pathname_utf8(e);
    if (!raw) raw = archive_entry_pathname(e);
    // A name made on Unix is the one stored, byte for byte: the reader turns
    // "\" into "/" in a name without "/", and gives no name at all for one
    // flagged as UTF-8 that is not (8-bit names in older archives of ours).
    std::string name = stored && (stored->MadeOnUnix() || !raw) ? stored->name : raw ? raw : "";
    const std::string shown = PrintableName(stored ? stored->name : name);
    std::vector<std::string> parts;
    if (!RelativeParts(name, stored && stored->MadeOnUnix(), &parts)) {
      Warn("unsafe name, skipped: " + shown);
      return;
    }
    // Such an entry is written under its local header's name: one that
    // differs from the listed name would land where no listing shows.
    if (stored && !stored->MadeOnUnix() && stored->localName != stored->name) {
      Warn("unsafe name, skipped: " + shown + " (its local header names " +
           PrintableName(stored->localName) + ")");
      return;
    }
    // The reader also takes a Unicode path field over the header's name.
    // An ASCII name has no other spelling, so any other name is a second
    // name the listing does not show.
    if (stored && !stored->MadeOnUnix() && raw && IsAscii(stored->name) &&
        Slashed(raw) != Slashed(stored->name)) {
      Warn("unsafe name, skipped: " + shown + " (an extra field names " + PrintableName(raw) + ")");
      return;
    }
    name = shown;
    mode_t type = archive_entry_filetype(e);
    if (type == AE_IFDIR) {
      int fd = OpenFolder(root, parts, parts.size());
      if (fd < 0) {
        Problem("cannot create the folder " + name + ": " + Errno());
        Raise(kCreateError);
        return;
      }
      close(fd);
      NoteFolder(e, stored, parts);
      return;
    }
    if (type != AE_IFREG) {
      Warn("not a regular file, skipped: " + name);
      return;
    }
    FdCloser folder(OpenFolder(root, parts, parts.size() - 1));
    if (folder.get() < 0) {
      Problem("cannot create the folder for " + name + ": " + Errno());
      Raise(kCreateError);
      return;
    }
    const std::string& final = parts.back();
    struct stat st {};
    if (fstatat(folder.get(), final.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      Warn("exists, kept: " + name);
      return;
    }
    std::string temp;
    FdCloser out(CreateTempAt(folder.get(), final, &temp));
    if (out.get() < 0) {
      Problem("cannot create " + name + ": " + Errno());
      Raise(kCreateError);
      return;
    }
    auto discard = [&] {
      out.reset(-1);
      unlinkat(folder.get(), temp.c_str(), 0);
    };
    // The reader goes on for as long as the compressed stream does; more
    // than the declared size means a damaged (or hostile) entry.
    const std::optional<uint64_t> declared =
        stored ? std::optional<uint64_t>(stored->size)
        : archive_entry_size_is_set(e) ? std::optional<uint64_t>(archive_entry_size(e))
                                       : std::nullopt;
    for (;;) {
      if (StopRequested()) {
        discard();
        Raise(kStopped);
        return;
      }
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      int rc = archive_read_data_block(a, &block, &size, &offset);
      if (rc == ARCHIVE_EOF) break;
      // A failed check of the data (a bad CRC, a short entry) comes back as
      // a mere warning; it still means the bytes are not the ones stored.
      if (rc != ARCHIVE_OK) {
        // A wrong or missing password, or damaged data: nothing of it stays.
        Problem(name + ": " + ReaderError(a));
        discard();
        Raise(kTestFailed);
        return;
      }
      if (declared && (offset < 0 || static_cast<uint64_t>(offset) > *declared ||
                       size > *declared - static_cast<uint64_t>(offset))) {
        Problem("damaged archive: " + name + " holds more than the " + std::to_string(*declared) +
                " bytes its directory declares");
        discard();
        Raise(kFatal);
        return;
      }
      if (lseek(out.get(), offset, SEEK_SET) < 0) {
        Problem("write error in " + name + ": " + Errno());
        discard();
        Raise(kCreateError);
        return;
      }
      const char* p = static_cast<const char*>(block);
      while (size > 0) {
        ssize_t n = write(out.get(), p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          Problem("write error in " + name + ": " + Errno());
          discard();
          Raise(kCreateError);
          return;
        }
        p += n;
        size -= static_cast<size_t>(n);
      }
    }
    // Sparse tails: the size is the entry's, whatever the last block was.
    if (archive_entry_size_is_set(e) && ftruncate(out.get(), archive_entry_size(e)) != 0) {
      Problem("write error in " + name + ": " + Errno());
      discard();
      Raise(kCreateError);
      return;
    }
    const mode_t mask = Umask();
    fchmod(out.get(), (archive_entry_perm(e) & 0777 ? archive_entry_perm(e) & 0777 : 0666) & ~mask);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    // The directory's time first: the reader knows no NTFS time.
    times[1].tv_sec = stored ? static_cast<time_t>(stored->mtime) : archive_entry_mtime(e);
    times[1].tv_nsec = stored ? static_cast<long>(stored->mtimeNsec) : archive_entry_mtime_nsec(e);
    if (stored || archive_entry_mtime_is_set(e)) futimens(out.get(), times);
    int fd = out.release();
    bool synced = fsync(fd) == 0;
    if (close(fd) != 0 || !synced) {
      Problem("write error in " + name + ": " + Errno());
      unlinkat(folder.get(), temp.c_str(), 0);
      Raise(kCreateError);
      return;
    }
    int err = PlaceNoReplace(folder.get(), temp, final);
    if (err != 0) {
      unlinkat(folder.get(), temp.c_str(), 0);
      if (err == EEXIST) {
        Warn("exists, kept: " + name);
      } else {
        errno = err;
        Problem("cannot create " + name + ": " + Errno());
        Raise(kCreateError);
      }
      return;
    }
    if (!opt_.quiet) std::cout << "Extracting " << name << "\n";
  }

  const Options& opt_;
  std::string archive_;
  int code_ = kSuccess;
  std::set<std::string> created_;               // folders made here, by relative path
  std::map<std::string, FolderLook> folders_;  // and what their entries say of them
};

}  // namespace

int RunExtract(const Options& opt) {
  std::string archive = ArchiveFileName(opt.archive, opt.zipExtension, std::nullopt, 0);
  archive = fs::absolute(archive).lexically_normal().string();
  std::string destination = opt.destination.empty() ? "." : opt.destination;
  return Extractor(opt, archive).Run(destination);
}

}  // namespace yux::winrar
