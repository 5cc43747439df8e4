#include "platform/safefile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

namespace yux::platform {
namespace {

constexpr char kCopyTempMarker[] = ".yuxpart.";
constexpr char kArchiverTempMarker[] = ".yuxtmp.";

bool Fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

std::string Errno() { return std::strerror(errno); }

RenameCall& TheRenameCall() {
  static RenameCall call;
  return call;
}

// Writes all of `n` bytes; false on a write error.
bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

std::string PathNameOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string PathFolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void SetRenameCall(RenameCall call) { TheRenameCall() = std::move(call); }

bool RenameFile(const std::string& from, const std::string& to, bool replace, std::string* error,
                bool* crossDevice) {
  const auto fail = [&](int err) {
    if (crossDevice) *crossDevice = err == EXDEV;
    return Fail(error, err == EEXIST && !replace ? std::string("the target exists") : std::strerror(err));
  };
  if (crossDevice) *crossDevice = false;
  const auto& rename = TheRenameCall();
  const unsigned flags = replace ? 0u : RENAME_NOREPLACE;
  if ((rename ? rename(from.c_str(), to.c_str(), flags)
              : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags)) == 0)
    return true;
  const int err = errno;
  if (replace || (err != EINVAL && err != ENOSYS && err != ENOTSUP)) return fail(err);
  // A file system without the flag: a hard link never replaces either.
  if (::link(from.c_str(), to.c_str()) != 0) return fail(errno);
  ::unlink(from.c_str());
  return true;
}

bool CopyFileSafely(const std::string& from, const std::string& to, bool replace, std::string* error,
                    const std::function<bool()>& keepGoing) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail(error, "cannot read " + from + ": " + Errno());
  std::string pattern = PathFolderOf(to) + "/." + PathNameOf(to) + kCopyTempMarker + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int out = ::mkostemp(name.data(), O_CLOEXEC);
  if (out < 0) {
    ::close(in);
    return Fail(error, Errno());
  }
  const std::string temp = name.data();
  std::vector<char> buf(kCopyChunkBytes);
  std::string why;
  for (bool first = true;; first = false) {
    // Between chunks the caller may handle messages and call it off.
    if (!first && keepGoing && !keepGoing()) {
      why = "the copy was cut off";
      break;
    }
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = "read error: " + Errno();
      break;
    }
    if (n == 0) break;
    if (!WriteAll(out, buf.data(), static_cast<size_t>(n))) {
      why = Errno();
      break;
    }
  }
  ::close(in);
  if (why.empty() && ::fsync(out) != 0) why = Errno();
  if (::close(out) != 0 && why.empty()) why = Errno();
  if (why.empty()) RenameFile(temp, to, replace, &why);
  if (!why.empty()) {
    ::unlink(temp.c_str());
    return Fail(error, why);
  }
  return true;
}

bool IsUnfinishedFileName(const std::string& name) {
  return name.find(kCopyTempMarker) != std::string::npos ||
         name.find(kArchiverTempMarker) != std::string::npos;
}

bool IsCopyTempNameOf(const std::string& name, const std::string& target) {
  // mkostemp fills its six characters from letters and digits.
  const std::string prefix = "." + target + kCopyTempMarker;
  return name.size() == prefix.size() + 6 && name.starts_with(prefix) &&
         std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

namespace {

// Overwrites [from, to) with zeros in chunks, calling `between` after each.
bool ZeroRange(int fd, off_t from, off_t to, const std::vector<char>& zeros,
               const std::function<void()>& between) {
  while (from < to) {
    const ssize_t n = ::pwrite(fd, zeros.data(), static_cast<size_t>(std::min<off_t>(to - from, zeros.size())), from);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    from += n;
    if (between) between();
  }
  return true;
}

}  // namespace

bool WipeAndDelete(const std::string& path, bool* overwritten, const std::function<void()>& between) {
  if (overwritten) *overwritten = false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd >= 0) {
    struct stat st {};
    // The data of a file with other names belongs to those names too: it
    // loses only this name.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
      std::vector<char> zeros(kCopyChunkBytes, 0);
      // Only the extents that hold data are overwritten: a hole holds
      // nothing to hide, and filling the holes of a large sparse file (a
      // virtual disk) would write its whole apparent size, or fill the
      // disk.  A file system that cannot tell holes reports the whole file
      // as data.
      bool done = true;
      off_t at = 0;
      while (done && at < st.st_size) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0) {
          if (errno == ENXIO) break;  // no data after `at`
          done = ZeroRange(fd, at, st.st_size, zeros, between);
          break;
        }
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0 || hole > st.st_size) hole = st.st_size;
        done = ZeroRange(fd, data, hole, zeros, between);
        at = hole;
      }
      done = done && ::fsync(fd) == 0;
      if (overwritten) *overwritten = done;
    }
    ::close(fd);
  }
  return ::unlink(path.c_str()) == 0;
}

unsigned DefaultFileMode() {
  // The umask cannot be read without changing it, which would race with
  // other threads; the kernel shows it in the process status.
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return 0666u & ~static_cast<unsigned>(std::stoul(line.substr(6), nullptr, 8));
  }
  return 0644u;
}

bool SetFileMode(const std::string& path, unsigned mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

}  // namespace yux::platform
