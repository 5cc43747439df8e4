#include "net/socket/bufferedfilestream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "net/socket/neterrors.h"
#include "net/socket/netexceptions.h"

namespace yux::net {

TBufferedFileStream::TBufferedFileStream(const std::string& fileName, std::uint16_t mode,
                                         int bufSize)
    : mode_(mode) {
  std::error_code ec;
  std::string expanded = std::filesystem::absolute(fileName, ec).string();
  if (ec) expanded = fileName;
  if (mode == fmCreate) {
    fd_ = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0)
      throw EFCreateError("Cannot create file \"" + expanded + "\". " + SysErrorMessage(errno));
  } else {
    int access = mode & 3;
    if (access == fmOpenWrite) access = fmOpenReadWrite;  // the window must be readable
    int flags = access == fmOpenReadWrite ? O_RDWR : O_RDONLY;
    fd_ = ::open(fileName.c_str(), flags | O_CLOEXEC);
    if (fd_ < 0)
      throw EFOpenError("Cannot open file \"" + expanded + "\". " + SysErrorMessage(errno));
  }
  bufSize_ = std::clamp(bufSize / 128 * 128, 128, 65536);
  buffer_.assign(std::size_t(bufSize_), 0);
  off_t end = ::lseek(fd_, 0, SEEK_END);
  if (end < 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw EBufferedStreamError("Cannot determine correct file size");
  }
  fileSize_ = end;
}

TBufferedFileStream::~TBufferedFileStream() {
  if (fd_ < 0) return;
  try {
    if (dirty_) WriteBack();
  } catch (...) {
    // A destructor cannot report; the data that could not be written is lost
    // exactly as a failed close would lose it.
  }
  ::close(fd_);
}

void TBufferedFileStream::Fill() {
  ++fileAccesses_;
  if (::lseek(fd_, windowStart_, SEEK_SET) != windowStart_)
    throw EBufferedStreamError("Seek before read from file failed");
  int got = 0;
  while (got < bufSize_) {
    ssize_t n = ::read(fd_, buffer_.data() + got, std::size_t(bufSize_ - got));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EBufferedStreamError(SysErrorMessage(errno));
    }
    if (n == 0) break;
    got += int(n);
  }
  valid_ = got;
}

void TBufferedFileStream::WriteBack() {
  ++fileAccesses_;
  if (::lseek(fd_, windowStart_, SEEK_SET) != windowStart_)
    throw EBufferedStreamError("Seek before write to file failed");
  int done = 0;
  while (done < valid_) {
    ssize_t n = ::write(fd_, buffer_.data() + done, std::size_t(valid_ - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EBufferedStreamError("Could not write to file");
    done += int(n);
  }
  dirty_ = false;
}

std::int64_t TBufferedFileStream::Read(void* buffer, std::int64_t count) {
  if (fd_ < 0 || count <= 0) return 0;
  std::int64_t avail = fileSize_ - (windowStart_ + pos_);
  if (avail <= 0) return 0;
  std::int64_t want = std::min(count, avail);
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (done < want) {
    if (valid_ == 0) Fill();
    int inBuffer = valid_ - pos_;
    if (inBuffer > 0) {
      int n = int(std::min<std::int64_t>(inBuffer, want - done));
      std::memcpy(out + done, buffer_.data() + pos_, std::size_t(n));
      pos_ += n;
      done += n;
    } else if (pos_ < bufSize_) {
      break;  // the file holds less than the stream believed
    }
    if (done < want) {
      if (dirty_) WriteBack();
      windowStart_ += bufSize_;
      pos_ = 0;
      valid_ = 0;
    }
  }
  return done;
}

std::int64_t TBufferedFileStream::Write(const void* buffer, std::int64_t count) {
  if (fd_ < 0) return 0;
  if (count <= 0) return count;
  if (valid_ == 0 && windowStart_ < fileSize_) Fill();
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (true) {
    int n = int(std::min<std::int64_t>(bufSize_ - pos_, count - done));
    if (n > 0) {
      // A position past the stored data (a seek beyond the end of the file)
      // leaves a gap: it holds zeros, never bytes of an earlier window.
      if (pos_ > valid_) std::memset(buffer_.data() + valid_, 0, std::size_t(pos_ - valid_));
      std::memcpy(buffer_.data() + pos_, in + done, std::size_t(n));
      dirty_ = true;
      pos_ += n;
      done += n;
      if (pos_ > valid_) {
        valid_ = pos_;
        fileSize_ = std::max(fileSize_, windowStart_ + valid_);
      }
    }
    if (done >= count) break;
    WriteBack();
    windowStart_ += bufSize_;
    pos_ = 0;
    valid_ = 0;
    if (windowStart_ < fileSize_) Fill();
  }
  return count;
}

std::int64_t TBufferedFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  if (fd_ < 0) return 0;
  std::int64_t target;
  switch (origin) {
    case TSeekOrigin::soBeginning: target = offset; break;
    case TSeekOrigin::soCurrent: target = windowStart_ + pos_ + offset; break;
    case TSeekOrigin::soEnd: target = fileSize_ + offset; break;
    default: return -1;
  }
  if (target < 0) return -1;
  std::int64_t newStart = target - target % bufSize_;
  if (newStart != windowStart_) {
    if (dirty_) WriteBack();
    valid_ = 0;
    windowStart_ = newStart;
  }
  pos_ = int(target - newStart);
  return target;
}

std::int32_t TBufferedFileStream::Seek32(std::int32_t offset, int origin) {
  if (origin < 0 || origin > 2) return -1;
  return std::int32_t(Seek(offset, TSeekOrigin(origin)));
}

void TBufferedFileStream::SetSize(std::int64_t newSize) {
  if (fd_ < 0) return;
  if (Seek(newSize, TSeekOrigin::soBeginning) < 0)
    throw EBufferedStreamError("Error setting stream size");
  // The window is written first so that it cannot grow the file again
  // after the truncation.
  if (dirty_) WriteBack();
  if (::lseek(fd_, newSize, SEEK_SET) != newSize || ::ftruncate(fd_, newSize) != 0)
    throw EBufferedStreamError("Error setting stream size");
  fileSize_ = newSize;
  valid_ = int(std::min<std::int64_t>(valid_, newSize - windowStart_));
}

}  // namespace yux::net
