#include "platform/namedobjects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

namespace yux::platform {
namespace {

// A folder that exists, is ours and is not open to others; made when
// missing.
bool PrivateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != geteuid()) return false;
  if ((st.st_mode & 0077) != 0) return false;
  return true;
}

class FdLock {
 public:
  explicit FdLock(int fd) : fd_(fd) {
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FdLock() { flock(fd_, LOCK_UN); }

 private:
  int fd_;
};

int OpenFile(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

DWORD ErrnoToError(int e) {
  switch (e) {
    case ENOENT: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    default: return ERROR_ACCESS_DENIED;
  }
}

// When the shared fallback folder is taken by another user (or open to
// others), this process uses a private folder of its own instead: made once
// with mkdtemp, and said on standard error.
std::string OwnFallbackFolder(const std::string& refused) {
  static std::mutex m;
  static std::string folder;
  std::lock_guard lock(m);
  if (!folder.empty()) return folder;
  std::string pattern = refused + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return {};
  folder = buf.data();
  std::cerr << "yux: " << refused << " is not a private folder of this user; using " << folder << " instead"
            << std::endl;
  return folder;
}

}  // namespace

std::string RuntimeFolder() {
  std::string base;
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && *xdg) {
    base = std::string(xdg) + "/yux";
    if (!PrivateFolder(base)) return {};
  } else {
    base = "/tmp/yux-" + std::to_string(geteuid());
    if (!PrivateFolder(base)) base = OwnFallbackFolder(base);
    if (base.empty()) return {};
  }
  const char* ns = std::getenv("YUX_NS");
  if (ns && *ns) {
    base += "/ns-" + ObjectFileName(ns);
    if (!PrivateFolder(base)) return {};
  }
  return base;
}

std::string ObjectFileName(const std::string& name) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_' || c == '.';
    // A leading dot would make "." and ".." and hidden files.
    if (plain && !(c == '.' && out.empty())) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

// ---- NamedMutex ----

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name) {
  std::string dir = RuntimeFolder();
  if (dir.empty() || name.empty()) {
    SetLastError(name.empty() ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  return CreateAt(dir + "/mutex-" + ObjectFileName(name));
}

std::unique_ptr<NamedMutex> NamedMutex::CreateAt(const std::string& path) {
  int fd = path.empty() ? -1 : OpenFile(path);
  if (fd < 0) {
    SetLastError(path.empty() ? ERROR_INVALID_PARAMETER : ErrnoToError(errno));
    return nullptr;
  }
  std::unique_ptr<NamedMutex> m(new NamedMutex);
  m->fd_ = fd;
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  // Only "held by another handle" means taken; a file system that cannot
  // lock says nothing about other processes.
  if (rc != 0 && errno != EWOULDBLOCK) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  m->owned_ = rc == 0;
  SetLastError(m->owned_ ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return m;
}

NamedMutex::~NamedMutex() {
  // Closing drops the lock; the file stays so that no racing creator ever
  // locks a file that is being unlinked.
  if (fd_ >= 0) ::close(fd_);
}

// ---- NamedEvent ----

std::unique_ptr<NamedEvent> NamedEvent::Make(const std::string& name, bool create, bool initiallySet) {
  std::string dir = RuntimeFolder();
  if (dir.empty() || name.empty()) {
    SetLastError(name.empty() ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  std::string base = dir + "/event-" + ObjectFileName(name);
  std::unique_ptr<NamedEvent> ev(new NamedEvent);
  ev->stateFd_ = OpenFile(base);
  ev->holderFd_ = ev->stateFd_ >= 0 ? OpenFile(base + ".holders") : -1;
  if (ev->stateFd_ < 0 || ev->holderFd_ < 0) {
    SetLastError(ErrnoToError(errno));
    return nullptr;  // the destructor closes what was opened
  }
  // The state lock keeps creators and openers apart while they find out
  // whether any holder is left.
  FdLock guard(ev->stateFd_);
  bool noHolders = flock(ev->holderFd_, LOCK_EX | LOCK_NB) == 0;
  if (noHolders) {
    if (!create) {
      flock(ev->holderFd_, LOCK_UN);
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    // Fresh event: whatever state an earlier generation left is void.
    if (!ev->WriteState(initiallySet ? '1' : '0')) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
  }
  // Converting to a shared lock while no one else can run this section.
  if (flock(ev->holderFd_, LOCK_SH) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  ev->existed_ = !noHolders;
  SetLastError(ev->existed_ ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return ev;
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& name, bool initiallySet) {
  return Make(name, true, initiallySet);
}

std::unique_ptr<NamedEvent> NamedEvent::Open(const std::string& name) { return Make(name, false, false); }

NamedEvent::~NamedEvent() {
  if (holderFd_ >= 0) ::close(holderFd_);
  if (stateFd_ >= 0) ::close(stateFd_);
}

bool NamedEvent::WriteState(char c) {
  return pwrite(stateFd_, &c, 1, 0) == 1 && ftruncate(stateFd_, 1) == 0;
}

bool NamedEvent::Set() {
  FdLock guard(stateFd_);
  return WriteState('1');
}

bool NamedEvent::Reset() {
  FdLock guard(stateFd_);
  return WriteState('0');
}

DWORD NamedEvent::Wait(DWORD timeoutMs) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    {
      FdLock guard(stateFd_);
      char c = 0;
      ssize_t n = pread(stateFd_, &c, 1, 0);
      if (n < 0) return WAIT_FAILED;
      if (n == 1 && c == '1') {
        if (!WriteState('0')) return WAIT_FAILED;
        return WAIT_OBJECT_0;
      }
    }
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (timeoutMs != INFINITE && spent.count() >= timeoutMs) return WAIT_TIMEOUT;
    // Polling keeps the event a plain file that any process can test; the
    // waits that use it are short and rare.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace yux::platform
