#pragma once
// A folder watch: a thread of its own waits for changes below a folder
// (inotify) and reports them on the thread that made the watch, one report
// for each burst of changes read at once.
#include <QObject>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace yux::platform {

struct DirWatchFilters {
  bool fileName = true;    // a file created, deleted, moved or renamed
  bool dirName = true;     // the same for a folder
  bool size = true;        // contents modified
  bool lastWrite = true;   // a file closed after writing
  bool attributes = true;  // permissions, owner, times
};

class DirectoryWatch {
 public:
  // `onChange`, `onGone` and `onMissed` run on the creating thread's event
  // loop.  `onMissed` tells, once in the watch's life, that subfolders
  // could not be watched (the system's limit of watches, a path too long):
  // changes there go unseen.
  DirectoryWatch(std::string root, bool subtree, DirWatchFilters filters, std::function<void()> onChange,
                 std::function<void(const std::string& why)> onGone = {},
                 std::function<void(const std::string& why)> onMissed = {});
  ~DirectoryWatch();  // stops and joins the thread; no report comes after it
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // Starts watching; false with a reason when the folder cannot be watched.
  // With `rootMayBeLink` false a symbolic link in the root's place is
  // refused rather than followed.
  bool Start(std::string* error = nullptr, bool rootMayBeLink = true);
  void Stop();
  bool Running() const { return thread_.joinable(); }
  const std::string& Root() const { return root_; }

 private:
  void Run();
  bool AddTree(const std::string& folder);
  bool AddOne(const std::string& folder);
  // Reports the subfolders AddTree missed since the last call, unless a
  // report was made before.
  void ReportMissed();
  unsigned Mask() const;
  // True when an event of this mask and kind is one the filters ask for.
  bool Wanted(unsigned mask) const;

  std::string root_;
  bool subtree_;
  DirWatchFilters filters_;
  std::function<void()> onChange_;
  std::function<void(const std::string&)> onGone_;
  std::function<void(const std::string&)> onMissed_;
  // Subfolders that could not be watched: how many, the first and why.
  int missed_ = 0;
  std::string firstMissed_;
  int missedErrno_ = 0;
  bool missedReported_ = false;
  QObject context_;  // reports are dropped once the watch is gone
  int inotify_ = -1;
  int wake_[2] = {-1, -1};
  int rootWd_ = -1;
  bool rootMayBeLink_ = true;
  std::map<int, std::string> folders_;  // watch descriptor -> folder (watch thread only after Start)
  std::thread thread_;
};

}  // namespace yux::platform
