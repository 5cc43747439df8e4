#include "tools/winrar/archiver.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/safefile.h"
#include "platform/wildcard.h"
#include "tools/winrar/entrypacker.h"
#include "zip/zipdir.h"
#include "zip/zipvolumes.h"

namespace fs = std::filesystem;

namespace yux::winrar {
using namespace yux::zip;
namespace {

volatile std::sig_atomic_t g_stop = 0;
bool g_stopReported = false;

bool Stop() { return g_stop != 0; }

// Files this run created and has not yet renamed to their final names; they
// are removed on every way out except success.
std::vector<std::string> g_temps;

void RemoveTemps() {
  for (auto& t : g_temps) ::unlink(t.c_str());
  g_temps.clear();
}

void ForgetTemp(const std::string& path) { std::erase(g_temps, path); }

std::string Now(const char* format) {
  time_t t = time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  strftime(buf, sizeof buf, format, &tm);
  return buf;
}

// Messages: errors, warnings and notes go to the -ILOG file (CR LF lines,
// appended) and, unless output is switched off, to standard error.
class Messages {
 public:
  Messages(const Options& opt, std::string archive)
      : logFile_(opt.logFile), quiet_(opt.quiet), archive_(std::move(archive)) {}
  void Problem(const std::string& text) {
    if (!quiet_) std::cerr << "winrar: " << archive_ << ": " << text << "\n";
    if (logFile_.empty()) return;
    std::ofstream out(logFile_, std::ios::binary | std::ios::app);
    out << Now("%Y-%m-%d %H:%M:%S") << " " << archive_ << ": " << text << "\r\n";
  }
  void Info(const std::string& text) {
    if (!quiet_) std::cout << text << "\n";
  }
  void SetArchive(const std::string& a) { archive_ = a; }

 private:
  std::string logFile_;
  bool quiet_;
  std::string archive_;
};

std::string Errno() { return std::strerror(errno); }

bool HasExtension(const std::string& path) {
  std::string name = fs::path(path).filename().string();
  auto dot = name.rfind('.');
  return dot != std::string::npos && dot != 0 && dot + 1 < name.size();
}

std::string Absolute(const std::string& p) {
  fs::path path(p);
  if (path.is_relative()) path = fs::current_path() / path;
  std::string s = path.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string NameOf(const std::string& path) { return platform::PathNameOf(path); }
std::string FolderOf(const std::string& path) { return platform::PathFolderOf(path); }

std::string WithoutRoot(const std::string& path) {
  size_t first = path.find_first_not_of('/');
  return first == std::string::npos ? std::string() : path.substr(first);
}

std::string Slashes(std::string mask) {
  std::replace(mask.begin(), mask.end(), '\\', '/');
  return mask;
}

// A mask with a folder part is matched against the whole path, one without
// against the name alone; a trailing separator means folders only.
bool MaskMatches(const std::string& rawMask, const std::string& path, bool isDir) {
  std::string mask = Slashes(rawMask);
  if (mask.size() > 1 && mask.back() == '/') {
    if (!isDir) return false;
    mask.pop_back();
  }
  if (mask.find('/') != std::string::npos) return platform::MatchesMask(path, mask);
  return platform::MatchesMask(NameOf(path), mask);
}

bool AnyMaskMatches(const std::vector<std::string>& masks, const std::string& path, bool isDir) {
  for (auto& m : masks)
    if (MaskMatches(m, path, isDir)) return true;
  return false;
}

struct Source {
  std::string path;  // absolute
  std::string name;  // stored name, without a trailing '/'
  bool dir = false;
  bool viaLink = false;  // reached through a linked folder: its data lies outside the tree
  struct stat st {};
};

class Collector {
 public:
  Collector(const Options& opt, Messages& msg, std::vector<std::string> excludes,
            std::vector<std::string> filters, std::set<std::string> skipPaths)
      : opt_(opt), msg_(msg), excludes_(std::move(excludes)), filters_(std::move(filters)),
        skip_(std::move(skipPaths)), cwd_(fs::current_path().string()) {}

  // A literal item is a name even when it holds wildcard characters.
  void AddItem(const std::string& item, bool literal = false) {
    std::string abs = Absolute(item);
    relativeItem_ = fs::path(item).is_relative();
    std::string last = NameOf(abs);
    if (!literal && platform::HasWildcards(last)) {
      std::string folder = FolderOf(abs);
      struct stat st {};
      if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        Warn("cannot find " + item);
        return;
      }
      Walk(folder, folder, last, opt_.recurse, false);
      return;
    }
    struct stat st {};
    if (stat(abs.c_str(), &st) != 0) {
      Warn("cannot open " + item + ": " + Errno());
      return;
    }
    std::string base = FolderOf(abs);
    if (S_ISDIR(st.st_mode)) {
      if (Excluded(abs, st, true) || !Add(abs, base, st, true)) return;
      walkedDirs.push_back(abs);
      Walk(abs, base, "", true, false);
    } else if (S_ISREG(st.st_mode)) {
      if (Excluded(abs, st, false) || Filtered(abs)) return;
      Add(abs, base, st, false);
    } else {
      Warn("not a regular file, skipped: " + item);
    }
  }

  std::vector<Source> sources;
  std::vector<std::string> walkedDirs;
  int warnings = 0;

 private:
  void Warn(const std::string& text) {
    ++warnings;
    msg_.Problem("WARNING: " + text);
  }

  void Note(const std::string& text) { msg_.Problem("NOTE: " + text); }

  bool Excluded(const std::string& path, const struct stat& st, bool isDir) {
    if (skip_.count(path)) return true;
    std::string name = NameOf(path);
    if (opt_.excludeHidden && !name.empty() && name[0] == '.') return true;
    if (opt_.excludeReadOnly && !(st.st_mode & S_IWUSR)) return true;
    return AnyMaskMatches(excludes_, path, isDir);
  }

  bool Filtered(const std::string& path) {
    return !filters_.empty() && !AnyMaskMatches(filters_, path, false);
  }

  // mask empty: everything below; otherwise files (and, when recursing,
  // folders) whose names match it.
  // viaLink: the folder was reached through a linked folder.
  void Walk(const std::string& folder, const std::string& base, const std::string& mask,
            bool recurse, bool viaLink) {
    if (Stop()) return;
    DIR* d = opendir(folder.c_str());
    if (!d) {
      Warn("cannot read folder " + folder + ": " + Errno());
      return;
    }
    // The folders from the item down to this one: a folder met again below
    // itself (a link back up the tree) would be walked without end.
    struct stat self {};
    bool known = fstat(dirfd(d), &self) == 0;
    if (known) onPath_.push_back({self.st_dev, self.st_ino});
    WalkOpen(folder, base, mask, recurse, viaLink, d);
    if (known) onPath_.pop_back();
  }

  void WalkOpen(const std::string& folder, const std::string& base, const std::string& mask,
              bool recurse, bool viaLink, DIR* d) {
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (auto& n : names) {
      std::string path = folder == "/" ? "/" + n : folder + "/" + n;
      struct stat lst {}, st {};
      if (lstat(path.c_str(), &lst) != 0) {
        Warn("cannot open " + path + ": " + Errno());
        continue;
      }
      bool link = S_ISLNK(lst.st_mode);
      if (stat(path.c_str(), &st) != 0) {
        // A link to nothing (a profile's lock link) has no content to
        // archive; any other failure (EACCES, EIO) hides content.
        const bool dangling = link && (errno == ENOENT || errno == ENOTDIR || errno == ELOOP);
        if (!dangling) {
          Warn("cannot open " + path + ": " + Errno());
        } else if ((mask.empty() || platform::MatchesMask(n, mask)) && !Excluded(path, lst, false)) {
          Note("link to nothing, left out: " + path);
        }
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        // A linked folder is followed like a linked file, unless it leads
        // back to a folder this walk is inside.
        if (!recurse || Excluded(path, st, true)) continue;
        bool loop = std::any_of(onPath_.begin(), onPath_.end(), [&](const auto& id) {
          return id.first == st.st_dev && id.second == st.st_ino;
        });
        if (loop) {
          Warn("link to a folder above it, skipped: " + path);
          continue;
        }
        if ((mask.empty() || platform::MatchesMask(n, mask)) && !Add(path, base, st, true, viaLink || link))
          continue;
        walkedDirs.push_back(path);
        Walk(path, base, mask, true, viaLink || link);
      } else if (S_ISREG(st.st_mode)) {
        if (!mask.empty() && !platform::MatchesMask(n, mask)) continue;
        if (Excluded(path, st, false) || Filtered(path)) continue;
        Add(path, base, st, false, viaLink);
      } else {
        if (!mask.empty() && !platform::MatchesMask(n, mask)) continue;
        if (Excluded(path, st, false)) continue;
        // A FIFO, a socket or a device met in a folder holds no content
        // to archive; one the item names itself stays a warning.
        Note("not a regular file, left out: " + path);
      }
    }
  }

  std::string StoredName(const std::string& path, const std::string& base) {
    switch (opt_.paths) {
      case PathMode::NamesOnly: return NameOf(path);
      case PathMode::RelativeToItem:
        return fs::path(path).lexically_relative(base).string();
      case PathMode::Full: return WithoutRoot(path);  // a ZIP name never begins with "/"
      case PathMode::FullNoRoot: return WithoutRoot(path);
      case PathMode::AsGiven:
        break;
    }
    if (!relativeItem_) return WithoutRoot(path);
    std::string rel = fs::path(path).lexically_relative(cwd_).string();
    while (rel.rfind("../", 0) == 0) rel.erase(0, 3);
    return rel;
  }

  // False when a source of the same name came first and this one is left
  // out (a folder left out is not walked either).
  bool Add(const std::string& path, const std::string& base, const struct stat& st, bool dir,
           bool viaLink = false) {
    if (dir && opt_.paths == PathMode::NamesOnly) return true;
    if (opt_.olderThan && !dir && st.st_mtime >= time(nullptr) - *opt_.olderThan) return true;
    Source s{path, StoredName(path, base), dir, viaLink, st};
    if (s.name.empty() || s.name == "." || s.name == "..") return true;
    auto it = index_.find(s.name);
    if (it == index_.end()) {
      index_[s.name] = sources.size();
      sources.push_back(s);
      return true;
    }
    const Source& first = sources[it->second];
    // The same source met twice is one; two folders of one name become one
    // folder holding what both hold.
    if (first.path == s.path || (first.dir && s.dir)) return true;
    // An archive holds one entry of a name: the first source keeps it, and
    // the later one is left out, named, so the archive never lacks a file
    // without a word (and a deletion spares the file left out).
    Warn(s.path + " was left out: " + first.path + " is stored under the same name " + s.name);
    return false;
  }

  const Options& opt_;
  Messages& msg_;
  std::vector<std::string> excludes_, filters_;
  std::set<std::string> skip_;
  std::string cwd_;
  bool relativeItem_ = false;
  std::unordered_map<std::string, size_t> index_;
  std::vector<std::pair<dev_t, ino_t>> onPath_;
};

// A temporary file beside `final`; its path is tracked for clean-up.
int CreateTemp(const std::string& final, std::string* path) {
  std::string pattern = final + ".yuxtmp.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  int fd = mkstemp(buf.data());
  if (fd < 0) return -1;
  *path = buf.data();
  g_temps.push_back(*path);
  return fd;
}

struct WriteResult {
  int code = kSuccess;
  std::string error;
  std::vector<const Source*> written;
  // What each written source was when it was read, in the same order.
  std::vector<struct stat> archived;
};

// How many entries are deflated at once, and how many threads share one
// large entry: one per processor this process may run on, or the count in
// YUX_WINRAR_THREADS (1 packs every entry on the writing thread, in order).
size_t PackThreads() {
  if (const char* v = std::getenv("YUX_WINRAR_THREADS")) {
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (end != v && *end == '\0' && n >= 1) return static_cast<size_t>(std::min(n, 256L));
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<size_t>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// Packs the entries on worker threads, a bounded window of them ahead of the
// writer, which takes them in order.
class PackPipeline {
 public:
  PackPipeline(const std::vector<const Source*>& todo, const PackSettings& settings,
               size_t threads)
      : todo_(todo), settings_(settings), slots_(todo.size()), window_(2 * threads) {
    settings_.cancel = &cancel_;
    if (threads <= 1) return;
    try {
      for (size_t i = 0; i < std::min(threads, todo.size()); ++i) workers_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // Fewer threads than asked for (none: the writer packs) still work.
    }
  }
  ~PackPipeline() {
    cancel_ = true;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ready_.notify_all();
      room_.notify_all();
    }
    for (auto& w : workers_) w.join();
  }

  // The packed entry i (taken in order), or null when a stop was requested
  // while waiting.
  PackedEntry* Take(size_t i) {
    if (workers_.empty()) {
      slots_[i] = std::make_unique<Slot>();
      Pack(i, oneBuffer_);
      return &slots_[i]->entry;
    }
    std::unique_lock<std::mutex> lock(mu_);
    while (!(slots_[i] && slots_[i]->done)) {
      if (Stop()) return nullptr;
      // The signal handler cannot wake us: look again now and then.
      ready_.wait_for(lock, std::chrono::milliseconds(50));
    }
    return &slots_[i]->entry;
  }

  // Frees entry i and makes room for more ahead.
  void Done(size_t i) {
    std::lock_guard<std::mutex> lock(mu_);
    slots_[i].reset();
    if (!workers_.empty()) inflight_ -= SizeOf(i);
    written_ = i + 1;
    room_.notify_all();
  }

 private:
  struct Slot {
    PackedEntry entry;
    bool done = false;
  };

  void Pack(size_t i, std::vector<char>& buffer) {
    const Source* s = todo_[i];
    PackedEntry* out = &slots_[i]->entry;
    try {
      PackEntry(PackSource{s->path, s->name, s->dir, s->st}, settings_, buffer, out);
    } catch (const std::exception& e) {
      out->Release();
      out->state = PackedEntry::State::Failed;
      out->code = kFatal;
      out->message = std::string("fatal error: ") + e.what();
    }
  }

  uint64_t SizeOf(size_t i) const {
    return todo_[i]->dir ? 0 : static_cast<uint64_t>(std::max<off_t>(todo_[i]->st.st_size, 0));
  }

  // The next entry may start when it is the one the writer waits for, or
  // when the window has room and the entries packed ahead stay within the
  // budget (a large entry waits on disk, and that disk is the archive's).
  bool MayStartNext() const {
    if (next_ == written_) return true;
    return next_ < written_ + window_ && inflight_ + SizeOf(next_) <= kAheadBudget;
  }

  void Work() {
    std::vector<char> buffer(1 << 18);
    for (;;) {
      size_t i;
      {
        std::unique_lock<std::mutex> lock(mu_);
        room_.wait(lock, [&] { return cancel_ || next_ >= todo_.size() || MayStartNext(); });
        if (cancel_ || next_ >= todo_.size()) return;
        i = next_++;
        inflight_ += SizeOf(i);
        slots_[i] = std::make_unique<Slot>();
      }
      Pack(i, buffer);
      std::lock_guard<std::mutex> lock(mu_);
      slots_[i]->done = true;
      ready_.notify_all();
    }
  }

  const std::vector<const Source*>& todo_;
  PackSettings settings_;
  std::vector<std::unique_ptr<Slot>> slots_;
  size_t window_;
  std::vector<char> oneBuffer_ = std::vector<char>(1 << 18);
  std::atomic<bool> cancel_{false};
  std::mutex mu_;
  std::condition_variable ready_, room_;
  size_t next_ = 0, written_ = 0;
  uint64_t inflight_ = 0;  // source bytes of the entries started and not yet written
  static constexpr uint64_t kAheadBudget = uint64_t{1} << 30;
  std::vector<std::thread> workers_;
};

// Writes the chosen sources as a fresh ZIP archive into fd.  Entries are
// deflated in parallel and written in their order; the archive is the same
// byte for byte whatever the number of threads (apart from the random salts
// of encrypted entries).
WriteResult WriteEntries(int fd, const Options& opt, const std::vector<const Source*>& todo,
                         const std::string& final, Messages& msg, int* warnings) {
  WriteResult r;
  static const int levels[] = {0, 1, 3, 5, 7, 9};
  PackSettings settings;
  settings.options = opt.level == 0 ? "zip:compression=store"
                                    : "zip:compression=deflate,zip:compression-level=" +
                                          std::to_string(levels[opt.level]);
  settings.deflateLevel = opt.level == 0 ? -1 : levels[opt.level];
  settings.threads = PackThreads();
  settings.password = opt.password;
  settings.spillPattern = final + ".yuxtmp.XXXXXX";
  settings.stop = Stop;
  r.error = CheckPackSettings(settings, &r.code);
  if (!r.error.empty()) return r;
  r.code = kSuccess;

  auto fail = [&](int code, const std::string& text) {
    r.code = code;
    r.error = text;
  };
  ZipJoiner out(fd);
  PackPipeline pipeline(todo, settings, PackThreads());
  for (size_t i = 0; i < todo.size(); ++i) {
    if (Stop()) {
      fail(kStopped, "stopped");
      break;
    }
    PackedEntry* e = pipeline.Take(i);
    if (!e) {
      fail(kStopped, "stopped");
      break;
    }
    if (e->state == PackedEntry::State::Skipped) {
      ++*warnings;
      msg.Problem(e->message);
    } else if (e->state == PackedEntry::State::Failed) {
      fail(e->code, e->message);
      break;
    } else if (!out.Append(*e, Stop)) {
      fail(Stop() ? kStopped : kFatal, out.error());
      break;
    } else {
      r.written.push_back(todo[i]);
      r.archived.push_back(e->st);
    }
    pipeline.Done(i);
  }
  if (r.code == kSuccess && !out.Finish()) fail(kFatal, out.error());
  return r;
}

// Reads every entry of the archive through the decompressor and checks it.
bool TestArchive(const std::string& path, const std::optional<std::string>& password,
                 std::string* error) {
  archive* a = archive_read_new();
  archive_read_support_format_zip_seekable(a);
  if (password) archive_read_add_passphrase(a, password->c_str());
  bool ok = archive_read_open_filename(a, path.c_str(), 1 << 16) == ARCHIVE_OK;
  std::vector<char> buf(1 << 16);
  archive_entry* e = nullptr;
  while (ok) {
    int rc = archive_read_next_header(a, &e);
    if (rc == ARCHIVE_EOF) break;
    if (rc != ARCHIVE_OK) {
      ok = false;
      break;
    }
    for (;;) {
      if (Stop()) {
        *error = "stopped";
        archive_read_free(a);
        return false;
      }
      la_ssize_t n = archive_read_data(a, buf.data(), buf.size());
      if (n == 0) break;
      if (n < 0) {
        ok = false;
        break;
      }
    }
  }
  if (!ok) {
    *error = ReaderError(a);
    if (e && archive_entry_pathname(e)) *error = std::string(archive_entry_pathname(e)) + ": " + *error;
  }
  archive_read_free(a);
  return ok;
}

bool ReadWhole(const std::string& path, std::string* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Splits `whole` into volumes of `size` bytes; their temporary paths in
// order.  False on a write error.
bool SplitVolumes(const std::string& whole, const std::string& final, uint64_t size,
                  size_t count, std::vector<std::string>* temps, std::string* error) {
  int in = open(whole.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    *error = "cannot reopen " + whole + ": " + Errno();
    return false;
  }
  std::vector<char> buf(1 << 18);
  bool ok = true;
  for (size_t i = 0; i < count && ok; ++i) {
    std::string tmp;
    int out = CreateTemp(VolumeName(final, i, count), &tmp);
    if (out < 0) {
      *error = "cannot create volume " + VolumeName(final, i, count) + ": " + Errno();
      ok = false;
      break;
    }
    temps->push_back(tmp);
    uint64_t left = size;
    while (left > 0) {
      if (Stop()) {
        *error = "stopped";
        ok = false;
        break;
      }
      ssize_t n = read(in, buf.data(), static_cast<size_t>(std::min<uint64_t>(left, buf.size())));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *error = "read error: " + Errno();
        ok = false;
        break;
      }
      if (n == 0) break;
      if (write(out, buf.data(), static_cast<size_t>(n)) != n) {
        *error = "write error: " + Errno();
        ok = false;
        break;
      }
      left -= static_cast<uint64_t>(n);
    }
    if (fsync(out) != 0 && ok) {
      *error = "write error: " + Errno();
      ok = false;
    }
    close(out);
  }
  close(in);
  return ok;
}

// An old entry's name as a source's stored name would be: without a
// leading "/" and a folder's trailing one.  False when nothing is left.
bool OldEntryName(const ZipEntry& e, std::string* name) {
  *name = WithoutRoot(e.name);
  if (e.IsDir() && !name->empty()) name->pop_back();
  return !name->empty();
}

// The base of a version name "name;3": "name" and 3; 0 when not a version.
int VersionOf(const std::string& name, std::string* base) {
  auto semi = name.rfind(';');
  if (semi == std::string::npos || semi + 1 == name.size()) return 0;
  for (size_t i = semi + 1; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
  if (name.size() - semi > 9) return 0;
  *base = name.substr(0, semi);
  return std::stoi(name.substr(semi + 1));
}

bool ReadLists(const std::vector<std::string>& lists, std::vector<std::string>* out,
               Messages& msg, bool literal = false) {
  for (auto& l : lists) {
    if (!ReadListFile(l, out, literal)) {
      msg.Problem("cannot open list file " + l + ": " + Errno());
      return false;
    }
  }
  return true;
}

// Renames the finished temporary files over their final names.
bool Publish(const std::vector<std::pair<std::string, std::string>>& moves, Messages& msg) {
  for (size_t i = 0; i < moves.size(); ++i) {
    if (rename(moves[i].first.c_str(), moves[i].second.c_str()) != 0) {
      msg.Problem("cannot create " + moves[i].second + ": " + Errno());
      // Volumes already in place would pose as a whole archive.
      for (size_t k = 0; k < i; ++k) ::unlink(moves[k].second.c_str());
      return false;
    }
  }
  for (auto& m : moves) ForgetTemp(m.first);
  return true;
}

void LogNotes(const Options& opt, Messages& msg) {
  for (auto& n : opt.notes) msg.Problem("NOTE: " + n);
}

// The finished single-file archive `tmp` becomes `final` (or its volumes),
// after the optional test; the erase of -vd and -k happen here too.
int Finish(const Options& opt, const std::string& tmp, int tmpFd, const std::string& final,
           mode_t mode, Messages& msg) {
  if (fchmod(tmpFd, mode) != 0 || fsync(tmpFd) != 0) {
    msg.Problem("cannot write " + final + ": " + Errno());
    return kCreateError;
  }
  if (opt.test) {
    std::string why;
    if (!TestArchive(tmp, opt.password, &why)) {
      if (Stop()) return kStopped;
      msg.Problem("test failed: " + why);
      return kTestFailed;
    }
  }
  struct stat st {};
  fstat(tmpFd, &st);
  std::vector<std::pair<std::string, std::string>> moves;
  if (opt.volumeSize > 0 && static_cast<uint64_t>(st.st_size) > opt.volumeSize) {
    size_t count = static_cast<size_t>((static_cast<uint64_t>(st.st_size) + opt.volumeSize - 1) /
                                       opt.volumeSize);
    std::vector<std::string> parts;
    std::string why;
    if (!SplitVolumes(tmp, final, opt.volumeSize, count, &parts, &why)) {
      if (Stop()) return kStopped;
      msg.Problem(why);
      return kCreateError;
    }
    for (size_t i = 0; i < count; ++i) moves.push_back({parts[i], VolumeName(final, i, count)});
    ::unlink(tmp.c_str());
    ForgetTemp(tmp);
  } else {
    moves.push_back({tmp, final});
  }
  if (Stop()) return kStopped;
  if (opt.eraseDestination) {
    // Only now, with the new archive complete, is the old content given up.
    std::string folder = FolderOf(final);
    if (DIR* d = opendir(folder.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string path = folder + "/" + e->d_name;
        struct stat lst {};
        if (lstat(path.c_str(), &lst) != 0 || S_ISDIR(lst.st_mode)) continue;
        if (std::find(g_temps.begin(), g_temps.end(), path) != g_temps.end()) continue;
        ::unlink(path.c_str());
      }
      closedir(d);
    }
  }
  if (!Publish(moves, msg)) return kCreateError;
  if (moves.size() > 1) {
    // Trailing volumes of an earlier, longer set of the same name would be
    // read as part of this one.
    for (size_t k = moves.size();; ++k) {
      std::string stale = VolumeName(final, k, moves.size());
      if (::unlink(stale.c_str()) != 0) break;
    }
  }
  if (opt.lock) {
    for (auto& [tmpName, finalName] : moves) chmod(finalName.c_str(), mode & ~0222);
  }
  return kSuccess;
}

int RunAdd(const Options& opt, Messages& msg) {
  const int64_t now = time(nullptr);
  std::string final = Absolute(ArchiveFileName(opt.archive, opt.zipExtension, opt.stamp, now));
  msg.SetArchive(final);
  LogNotes(opt, msg);

  std::vector<std::string> items = opt.items, listed, excludes = opt.excludes, filters = opt.filters;
  if (!ReadLists(opt.itemLists, &listed, msg, opt.literalLists) || !ReadLists(opt.excludeLists, &excludes, msg) ||
      !ReadLists(opt.filterLists, &filters, msg))
    return kOpenError;
  std::string comment;
  bool newComment = false;
  if (!opt.commentFile.empty()) {
    if (!ReadWhole(opt.commentFile, &comment)) {
      msg.Problem("cannot open comment file " + opt.commentFile + ": " + Errno());
      return kOpenError;
    }
    newComment = true;
  }

  // The archive must not take itself in.
  std::set<std::string> skip{final};
  Collector collect(opt, msg, excludes, filters, skip);
  for (auto& item : items) {
    if (Stop()) return kStopped;
    collect.AddItem(item);
  }
  for (auto& item : listed) {
    if (Stop()) return kStopped;
    collect.AddItem(item, opt.literalLists);
  }
  if (Stop()) return kStopped;
  int warnings = collect.warnings;

  // The existing archive, unless -vd is to erase it anyway.
  ZipDirectory old;
  ByteSource oldSrc;
  bool haveOld = false;
  mode_t mode = 0644;
  {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  struct stat ost {};
  if (!opt.eraseDestination && stat(final.c_str(), &ost) == 0) {
    std::string why;
    if (!oldSrc.Open({final})) {
      msg.Problem("cannot open the existing archive: " + oldSrc.error());
      return kOpenError;
    }
    if (!ReadZipDirectory(oldSrc, &old, &why)) {
      // Never overwrite what cannot be read back.
      msg.Problem("the existing archive cannot be read (" + why + "); it was left unchanged");
      return kFatal;
    }
    haveOld = true;
    mode = ost.st_mode & 07777;
    if (!newComment) comment = old.comment;
  }

  // Plan: which sources go in, which old entries stay, under which names.
  // An entry stored with a leading "/" (full paths, in older archives) is
  // the entry of the same name without it.  One named "/" alone names
  // nothing below the root: no source can match it, and it stays as it is.
  std::unordered_map<std::string, size_t> oldIndex;
  for (size_t i = 0; i < old.entries.size(); ++i) {
    std::string n;
    if (!OldEntryName(old.entries[i], &n)) {
      ++warnings;
      msg.Problem("WARNING: the entry " + PrintableName(old.entries[i].name) +
                  " names nothing below the root; it was skipped");
      continue;
    }
    oldIndex[n] = i;
  }
  std::vector<const Source*> todo;
  std::vector<bool> dropOld(old.entries.size(), false);
  std::vector<std::string> renameOld(old.entries.size());
  for (auto& s : collect.sources) {
    auto it = oldIndex.find(s.name);
    if (it == oldIndex.end()) {
      if (!opt.freshen) todo.push_back(&s);
      continue;
    }
    const ZipEntry& e = old.entries[it->second];
    if (s.dir && e.IsDir()) continue;  // a folder entry is kept as it is
    if ((opt.update || opt.freshen) && s.st.st_mtime <= e.mtime) continue;
    todo.push_back(&s);
  }
  if (opt.sync) {
    std::set<std::string> names;
    for (auto& s : collect.sources) names.insert(s.name);
    for (size_t i = 0; i < old.entries.size(); ++i) {
      std::string n, base;
      if (!OldEntryName(old.entries[i], &n)) continue;
      if (VersionOf(n, &base) > 0) n = base;
      if (!names.count(n)) dropOld[i] = true;
    }
  }
  bool oldChanged = std::find(dropOld.begin(), dropOld.end(), true) != dropOld.end();
  if (collect.sources.empty() || (todo.empty() && !haveOld)) {
    msg.Problem("no files to add");
    return kNoFiles;
  }
  if (todo.empty()) {
    if (!oldChanged && !newComment) {
      msg.Info("nothing to update in " + final);
      return warnings ? kWarning : kSuccess;
    }
  }

  // New entries first into a temporary archive of their own.
  std::string newTmp;
  int newFd = CreateTemp(final, &newTmp);
  if (newFd < 0) {
    msg.Problem("cannot create " + final + ": " + Errno());
    return kCreateError;
  }
  WriteResult written = WriteEntries(newFd, opt, todo, final, msg, &warnings);
  if (written.code != kSuccess) {
    close(newFd);
    if (written.code != kStopped) msg.Problem(written.error);
    return written.code;
  }
  if (written.written.empty() && !haveOld) {
    close(newFd);
    msg.Problem("no files to add");
    return kNoFiles;
  }

  // Only entries whose new copy was really written are replaced (a source
  // that vanished in the meantime leaves its old entry alone).  With -ver the
  // replaced entry becomes name;n, n one above its highest version.
  std::set<std::string> replaced;
  for (const Source* s : written.written) {
    auto it = oldIndex.find(s->name);
    if (it != oldIndex.end() && !(s->dir && old.entries[it->second].IsDir())) replaced.insert(s->name);
  }
  for (auto& name : replaced) {
    size_t i = oldIndex[name];
    if (!opt.versions) {
      dropOld[i] = true;
      continue;
    }
    std::vector<std::pair<int, size_t>> versions;
    for (size_t k = 0; k < old.entries.size(); ++k) {
      std::string base;
      int v = VersionOf(old.entries[k].name, &base);
      if (v > 0 && WithoutRoot(base) == name) versions.push_back({v, k});
    }
    std::sort(versions.begin(), versions.end());
    int next = versions.empty() ? 1 : versions.back().first + 1;
    renameOld[i] = name + ";" + std::to_string(next);
    versions.push_back({next, i});
    if (*opt.versions > 0) {
      for (size_t k = 0; k + *opt.versions < versions.size(); ++k) dropOld[versions[k].second] = true;
    }
  }
  std::string outTmp = newTmp;
  int outFd = newFd;
  bool keepAny = false;
  for (size_t i = 0; i < old.entries.size(); ++i) keepAny = keepAny || !dropOld[i];
  if (keepAny) {
    // Old entries stay byte for byte (whatever their password), followed by
    // the new ones.
    ByteSource newSrc;
    ZipDirectory fresh;
    std::string why;
    if (!newSrc.Open({newTmp}) || !ReadZipDirectory(newSrc, &fresh, &why)) {
      close(newFd);
      msg.Problem("cannot read back the new entries: " + why);
      return kFatal;
    }
    outFd = CreateTemp(final, &outTmp);
    if (outFd < 0) {
      close(newFd);
      msg.Problem("cannot create " + final + ": " + Errno());
      return kCreateError;
    }
    ZipAssembler out(outFd);
    bool ok = true;
    for (size_t i = 0; i < old.entries.size() && ok; ++i) {
      if (!dropOld[i]) ok = out.Copy(oldSrc, old.entries[i], renameOld[i], Stop);
    }
    for (auto& e : fresh.entries) {
      if (!ok) break;
      ok = out.Copy(newSrc, e, "", Stop);
    }
    ok = ok && out.Finish(comment);
    close(newFd);
    ::unlink(newTmp.c_str());
    ForgetTemp(newTmp);
    if (!ok) {
      close(outFd);
      if (Stop()) return kStopped;
      msg.Problem(out.error());
      return kFatal;
    }
  } else if (!comment.empty()) {
    std::string why;
    if (!SetZipComment(newFd, comment, &why)) {
      close(newFd);
      msg.Problem(why);
      return kFatal;
    }
  }

  int rc = Finish(opt, outTmp, outFd, final, mode, msg);
  close(outFd);
  if (rc != kSuccess) return rc;
  msg.Info("Done: " + final);

  // Sources go only now that the archive is in place, and only those that
  // are in it.
  if (opt.deleteSources || opt.wipe) {
    // Folders may go when they are in the archive or held deleted files,
    // and then only when nothing else is left in them.
    std::set<std::string> emptied;
    for (size_t i = 0; i < written.written.size(); ++i) {
      const Source* s = written.written[i];
      if (s->dir) emptied.insert(s->path);
      if (Stop()) {
        msg.Problem("stopped after the archive was written; the remaining sources were kept");
        g_stopReported = true;
        return kStopped;
      }
      if (s->dir) continue;
      // What a linked folder holds is the user's data elsewhere: archived,
      // but left where it is.
      if (s->viaLink) continue;
      // A file written to after it was read (a growing log, say) holds data
      // the archive lacks: it stays.
      const struct stat& was = written.archived[i];
      struct stat now {};
      if (stat(s->path.c_str(), &now) != 0 || now.st_dev != was.st_dev || now.st_ino != was.st_ino ||
          now.st_size != was.st_size || now.st_mtim.tv_sec != was.st_mtim.tv_sec ||
          now.st_mtim.tv_nsec != was.st_mtim.tv_nsec) {
        ++warnings;
        msg.Problem("WARNING: " + s->path + " changed after it was archived; it was kept");
        continue;
      }
      bool overwritten = false;
      bool gone = opt.wipe ? platform::WipeAndDelete(s->path, &overwritten) : ::unlink(s->path.c_str()) == 0;
      if (!gone) {
        ++warnings;
        msg.Problem("WARNING: cannot delete " + s->path + ": " + Errno());
        continue;
      }
      if (opt.wipe && !overwritten)
        msg.Problem("NOTE: " + s->path + " was deleted, not overwritten: its data has other names");
      for (std::string d = FolderOf(s->path); d != "/" && d != "." && emptied.insert(d).second;)
        d = FolderOf(d);
    }
    std::vector<std::string> dirs;
    for (auto& d : collect.walkedDirs)
      if (emptied.count(d)) dirs.push_back(d);
    std::sort(dirs.begin(), dirs.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (auto& d : dirs) ::rmdir(d.c_str());  // folders that still hold files stay
  }
  return warnings ? kWarning : kSuccess;
}

int RunDelete(const Options& opt, Messages& msg) {
  std::string final = Absolute(ArchiveFileName(opt.archive, opt.zipExtension, std::nullopt, 0));
  msg.SetArchive(final);
  LogNotes(opt, msg);
  std::vector<std::string> masks = opt.items;
  if (!ReadLists(opt.itemLists, &masks, msg)) return kOpenError;
  ByteSource src;
  if (!src.Open({final})) {
    msg.Problem("cannot open " + final + " (" + src.error() + ")");
    return kOpenError;
  }
  ZipDirectory dir;
  std::string why;
  if (!ReadZipDirectory(src, &dir, &why)) {
    msg.Problem("cannot read the archive: " + why);
    return kFatal;
  }
  const int64_t now = time(nullptr);
  std::vector<bool> drop(dir.entries.size(), false);
  for (size_t i = 0; i < dir.entries.size(); ++i) {
    const ZipEntry& e = dir.entries[i];
    if (e.IsDir()) continue;
    if (!AnyMaskMatches(masks, e.name, false)) continue;
    if (opt.olderThan && e.mtime >= now - *opt.olderThan) continue;
    drop[i] = true;
  }
  // A folder entry goes with its files, when it matches and nothing stays
  // beneath it.
  for (size_t i = 0; i < dir.entries.size(); ++i) {
    const ZipEntry& e = dir.entries[i];
    if (!e.IsDir()) continue;
    std::string path = e.name.substr(0, e.name.size() - 1);
    if (!AnyMaskMatches(masks, path, true)) continue;
    if (opt.olderThan && e.mtime >= now - *opt.olderThan) continue;
    bool inside = false;
    for (size_t k = 0; k < dir.entries.size() && !inside; ++k)
      inside = k != i && !drop[k] && dir.entries[k].name.rfind(e.name, 0) == 0;
    drop[i] = !inside;
  }
  size_t dropped = std::count(drop.begin(), drop.end(), true);
  if (dropped == 0) {
    msg.Info("nothing to delete in " + final);
    return kSuccess;
  }
  struct stat st {};
  stat(final.c_str(), &st);
  std::string tmp;
  int fd = CreateTemp(final, &tmp);
  if (fd < 0) {
    msg.Problem("cannot create " + final + ": " + Errno());
    return kCreateError;
  }
  ZipAssembler out(fd);
  bool ok = true;
  for (size_t i = 0; i < dir.entries.size() && ok; ++i)
    if (!drop[i]) ok = out.Copy(src, dir.entries[i], "", Stop);
  ok = ok && out.Finish(dir.comment);
  if (!ok) {
    close(fd);
    if (Stop()) return kStopped;
    msg.Problem(out.error());
    return kFatal;
  }
  Options finishing = opt;
  finishing.volumeSize = 0;
  finishing.eraseDestination = false;
  int rc = Finish(finishing, tmp, fd, final, st.st_mode & 07777, msg);
  close(fd);
  if (rc == kSuccess) msg.Info("Deleted " + std::to_string(dropped) + " entries from " + final);
  return rc;
}

// "name.part1.rar" (any zero padding) opens the split set it begins: the
// names of exactly its width in number order ("a.part10.rar" never follows
// "a.part1.rar": the archiver pads every number of a set to one width), up
// to the first volume at which the bytes joined so far end the archive.
// Volumes of an older, longer set beside it are never taken in.  When the
// volumes present end no archive, `missing` names the one after the last
// of them, as wide as the set's numbers (empty when the width has no room).
std::vector<std::string> VolumesOf(const std::string& path, std::string* missing) {
  std::string name = NameOf(path);
  auto part = name.rfind(".part");
  if (part != std::string::npos) {
    auto dot = name.find('.', part + 5);
    std::string digits = name.substr(part + 5, dot == std::string::npos ? std::string::npos : dot - part - 5);
    bool number = !digits.empty() && digits.size() <= 6 &&
                  digits.find_first_not_of("0123456789") == std::string::npos;
    if (number && std::stoul(digits) == 1) {
      const std::string folder = path.substr(0, path.size() - name.size());
      const std::string stem = name.substr(0, part + 5);
      const std::string suffix = dot == std::string::npos ? "" : name.substr(dot);
      auto volumeName = [&](size_t i) {
        std::string n = std::to_string(i);
        if (n.size() < digits.size()) n.insert(0, digits.size() - n.size(), '0');
        return stem + n + suffix;
      };
      std::vector<std::string> parts;
      std::vector<uint64_t> ends;
      uint64_t total = 0;
      for (size_t i = 1; std::to_string(i).size() <= digits.size(); ++i) {
        std::string p = folder + volumeName(i);
        struct stat st {};
        if (stat(p.c_str(), &st) != 0) break;
        parts.push_back(p);
        total += static_cast<uint64_t>(st.st_size);
        ends.push_back(total);
      }
      if (!parts.empty()) {
        ByteSource src;
        if (src.Open(parts) && src.Size() == total) {
          for (size_t k = 0; k < parts.size(); ++k)
            if (EndsInEndRecord(src, ends[k])) return {parts.begin(), parts.begin() + static_cast<long>(k) + 1};
          if (missing && std::to_string(parts.size() + 1).size() <= digits.size())
            *missing = volumeName(parts.size() + 1);
        }
        // Unreadable, or no end within the width: the reader says why.
        return parts;
      }
    }
  }
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return {path};
  return {};
}

int RunOpen(const Options& opt, Messages& msg) {
  std::string path = Absolute(ArchiveFileName(opt.archive, opt.zipExtension, std::nullopt, 0));
  msg.SetArchive(path);
  LogNotes(opt, msg);
  std::string missing;
  std::vector<std::string> parts = VolumesOf(path, &missing);
  if (!missing.empty()) {
    msg.Problem(missing + " is missing");
    return kFatal;
  }
  ByteSource src;
  if (parts.empty() || !src.Open(parts)) {
    msg.Problem("cannot open " + path + (src.error().empty() ? "" : " (" + src.error() + ")"));
    return kOpenError;
  }
  ZipDirectory dir;
  std::string why;
  if (!ReadZipDirectory(src, &dir, &why)) {
    msg.Problem("cannot read the archive: " + why);
    return kFatal;
  }
  std::cout << "Archive: " << path << "\n";
  if (!dir.comment.empty()) std::cout << "Comment: " << dir.comment << "\n";
  uint64_t total = 0;
  for (auto& e : dir.entries) {
    time_t t = static_cast<time_t>(e.mtime);
    std::tm tm{};
    localtime_r(&t, &tm);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
    char line[64];
    std::snprintf(line, sizeof line, "%s %12llu %c ", when,
                  static_cast<unsigned long long>(e.size), e.Encrypted() ? '*' : ' ');
    std::cout << line << e.name << "\n";
    total += e.size;
  }
  std::cout << dir.entries.size() << " entries, " << total << " bytes\n";
  return kSuccess;
}

}  // namespace

void RequestStop() { g_stop = 1; }
std::vector<std::string> ArchiveVolumes(const std::string& path, std::string* missing) {
  return VolumesOf(path, missing);
}
void LogProblem(const Options& opt, const std::string& archive, const std::string& text) {
  Messages(opt, archive).Problem(text);
}
bool StopRequested() { return Stop(); }

std::string ArchiveFileName(const std::string& given, bool zipExtension,
                            const std::optional<std::string>& stamp, int64_t now) {
  std::string ext;
  std::string base = given;
  if (HasExtension(given)) {
    auto dot = given.rfind('.');
    ext = given.substr(dot);
    base = given.substr(0, dot);
  } else {
    ext = zipExtension ? ".zip" : ".rar";
  }
  if (stamp) base += FormatStamp(*stamp, now);
  return base + ext;
}

std::string VolumeName(const std::string& archive, size_t index, size_t count) {
  std::string width = std::to_string(count);
  std::string n = std::to_string(index + 1);
  if (n.size() < width.size()) n.insert(0, width.size() - n.size(), '0');
  auto slash = archive.rfind('/');
  auto dot = archive.rfind('.');
  std::string stem = archive, ext;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
    stem = archive.substr(0, dot);
    ext = archive.substr(dot);
  }
  return stem + ".part" + n + ext;
}

int RunArchiver(const Options& opt) {
  Messages msg(opt, opt.archive);
  int rc;
  try {
    switch (opt.command) {
      case Command::Add:
      case Command::Move: rc = RunAdd(opt, msg); break;
      case Command::Delete: rc = RunDelete(opt, msg); break;
      case Command::Extract: rc = RunExtract(opt); break;
      default: rc = RunOpen(opt, msg); break;
    }
  } catch (const std::exception& e) {
    msg.Problem(std::string("fatal error: ") + e.what());
    rc = kFatal;
  }
  bool partial = !g_temps.empty();
  RemoveTemps();
  if (rc == kStopped && !g_stopReported)
    msg.Problem(partial ? "stopped; the partial output was removed" : "stopped; nothing was written");
  return rc;
}

}  // namespace yux::winrar
