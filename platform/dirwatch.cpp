#include "platform/dirwatch.h"

#include <QMetaObject>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace yux::platform {

namespace {

constexpr unsigned kNameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

}  // namespace

DirectoryWatch::DirectoryWatch(std::string root, bool subtree, DirWatchFilters filters,
                               std::function<void()> onChange, std::function<void(const std::string&)> onGone,
                               std::function<void(const std::string&)> onMissed)
    : root_(std::move(root)),
      subtree_(subtree),
      filters_(filters),
      onChange_(std::move(onChange)),
      onGone_(std::move(onGone)),
      onMissed_(std::move(onMissed)) {}

DirectoryWatch::~DirectoryWatch() { Stop(); }

unsigned DirectoryWatch::Mask() const {
  unsigned mask = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  if (filters_.fileName || filters_.dirName) mask |= kNameEvents;
  // New folders must be seen to be watched, whatever the filters say.
  if (subtree_) mask |= IN_CREATE | IN_MOVED_TO;
  if (filters_.size) mask |= IN_MODIFY;
  if (filters_.lastWrite) mask |= IN_CLOSE_WRITE;
  if (filters_.attributes) mask |= IN_ATTRIB;
  return mask;
}

bool DirectoryWatch::Wanted(unsigned mask) const {
  const bool isDir = mask & IN_ISDIR;
  if (mask & kNameEvents) return isDir ? filters_.dirName : filters_.fileName;
  if (mask & IN_MODIFY) return filters_.size;
  if (mask & IN_CLOSE_WRITE) return filters_.lastWrite;
  if (mask & IN_ATTRIB) return filters_.attributes;
  return false;
}

bool DirectoryWatch::AddOne(const std::string& folder) {
  const unsigned dontFollow = !rootMayBeLink_ && folder == root_ ? IN_DONT_FOLLOW : 0;
  const int wd = inotify_add_watch(inotify_, folder.c_str(), Mask() | dontFollow);
  if (wd < 0) return false;
  folders_[wd] = folder;
  return true;
}

bool DirectoryWatch::AddTree(const std::string& folder) {
  if (!AddOne(folder)) {
    // A folder already gone again has nothing left to watch.
    if (folder != root_ && errno != ENOENT && missed_++ == 0) {
      firstMissed_ = folder;
      missedErrno_ = errno;
    }
    return false;
  }
  if (!subtree_) return true;
  DIR* d = opendir(folder.c_str());
  if (!d) return true;  // unreadable below: watched as far as it goes
  std::vector<std::string> children;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    // The entry's own type where the file system gives it: a path too long
    // to look up is still a folder that must be watched (or reported).
    struct stat st {};
    if (e->d_type == DT_DIR || (e->d_type == DT_UNKNOWN && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
      children.push_back(path);
  }
  closedir(d);
  for (const std::string& c : children) AddTree(c);
  return true;
}

void DirectoryWatch::ReportMissed() {
  if (missed_ == 0 || missedReported_) return;
  missedReported_ = true;
  // The reason first: a path may be long enough to be cut off.
  std::string why = std::to_string(missed_) + (missed_ == 1 ? " subfolder" : " subfolders") +
                    " cannot be watched, changes there go unseen (" + std::strerror(missedErrno_);
  if (missedErrno_ == ENOSPC) why += "; the system's limit of watched folders, fs.inotify.max_user_watches, is reached";
  why += "; the first: \"" + firstMissed_ + "\")";
  if (onMissed_) QMetaObject::invokeMethod(&context_, [f = onMissed_, why] { f(why); }, Qt::QueuedConnection);
}

bool DirectoryWatch::Start(std::string* error, bool rootMayBeLink) {
  Stop();
  rootMayBeLink_ = rootMayBeLink;
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    if (inotify_ >= 0) close(inotify_);
    for (int& fd : wake_)
      if (fd >= 0) close(fd), fd = -1;
    inotify_ = -1;
    return false;
  };
  inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify_ < 0) return fail(std::strerror(errno));
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return fail(std::strerror(errno));
  folders_.clear();
  missed_ = 0;
  missedReported_ = false;
  if (!AddTree(root_)) return fail("\"" + root_ + "\": " + std::strerror(errno));
  rootWd_ = folders_.begin()->first;
  ReportMissed();
  thread_ = std::thread([this] { Run(); });
  return true;
}

void DirectoryWatch::Stop() {
  if (thread_.joinable()) {
    const char b = 1;
    [[maybe_unused]] ssize_t n = write(wake_[1], &b, 1);
    thread_.join();
  }
  if (inotify_ >= 0) close(inotify_);
  inotify_ = -1;
  for (int& fd : wake_)
    if (fd >= 0) close(fd), fd = -1;
  folders_.clear();
}

void DirectoryWatch::Run() {
  alignas(inotify_event) char buf[16384];
  for (;;) {
    pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    bool changed = false;
    std::string gone;
    // Everything that can be read now is one burst.
    for (;;) {
      const ssize_t n = read(inotify_, buf, sizeof buf);
      if (n <= 0) break;
      for (ssize_t off = 0; off < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & IN_Q_OVERFLOW) {
          changed = true;
          continue;
        }
        if (ev->wd == rootWd_ && (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) {
          gone = "the folder \"" + root_ + "\" was removed or moved";
          continue;
        }
        auto it = folders_.find(ev->wd);
        if (ev->mask & IN_IGNORED) {
          if (it != folders_.end()) folders_.erase(it);
          continue;
        }
        if (subtree_ && (ev->mask & IN_ISDIR) && (ev->mask & (IN_CREATE | IN_MOVED_TO)) && it != folders_.end() &&
            ev->len > 0) {
          AddTree(it->second + "/" + ev->name);
          ReportMissed();
        }
        if (Wanted(ev->mask)) changed = true;
      }
    }
    if (changed && onChange_) QMetaObject::invokeMethod(&context_, [f = onChange_] { f(); }, Qt::QueuedConnection);
    if (!gone.empty()) {
      if (onGone_) QMetaObject::invokeMethod(&context_, [f = onGone_, gone] { f(gone); }, Qt::QueuedConnection);
      return;
    }
  }
}

}  // namespace yux::platform
