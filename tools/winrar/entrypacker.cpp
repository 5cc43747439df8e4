#include "tools/winrar/entrypacker.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tools/winrar/archiver.h"
#include "tools/winrar/zipbytes.h"

namespace yux::winrar {
namespace {

// An entry's bytes stay in memory up to this size; a larger one goes to a
// temporary file, so memory stays bounded whatever the sizes of the files.
constexpr size_t kMemoryLimit = size_t{4} << 20;

constexpr uint64_t k32Max = 0xFFFFFFFFu;

// The compressor formats the DOS time of a header with localtime(), whose
// result is shared by every thread.
std::mutex g_headerLock;

bool WriteAll(int fd, const void* p, size_t n) {
  auto* c = static_cast<const char*>(p);
  while (n > 0) {
    ssize_t w = ::write(fd, c, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    c += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::string ErrorOf(archive* a) {
  const char* why = archive_error_string(a);
  return why ? why : "unknown error";
}

la_ssize_t SinkWrite(archive* a, void* data, const void* buf, size_t n) {
  if (!static_cast<PackedEntry*>(data)->Append(buf, n)) {
    // The wording the compressor's own file writer uses.
    archive_set_error(a, errno, "Write error");
    return -1;
  }
  return static_cast<la_ssize_t>(n);
}

archive* NewWriter(const PackSettings& s, std::string* error, int* code) {
  archive* a = archive_write_new();
  archive_write_set_format_zip(a);
  if (archive_write_set_options(a, s.options.c_str()) != ARCHIVE_OK) {
    *code = kFatal;
    *error = ErrorOf(a);
    archive_write_free(a);
    return nullptr;
  }
  if (s.password) {
    if (archive_write_set_options(a, "zip:encryption=aes256") != ARCHIVE_OK ||
        archive_write_set_passphrase(a, s.password->c_str()) != ARCHIVE_OK) {
      *code = kFatal;
      *error = "encryption not available: " + ErrorOf(a);
      archive_write_free(a);
      return nullptr;
    }
  }
  return a;
}

bool Halted(const PackSettings& s) {
  return (s.stop && s.stop()) || (s.cancel && s.cancel->load(std::memory_order_relaxed));
}

// Writes the entry's header, data and the one-entry directory through `a`.
void WriteThrough(archive* a, const PackSource& s, int sfd, const PackSettings& settings,
                  std::vector<char>& buf, PackedEntry* out) {
  auto fail = [&](int code, const std::string& text) {
    out->state = PackedEntry::State::Failed;
    out->code = code;
    out->message = text;
  };
  const struct stat& st = out->st;
  archive_entry* e = archive_entry_new();
  archive_entry_set_pathname(e, s.dir ? (s.name + "/").c_str() : s.name.c_str());
  archive_entry_set_filetype(e, s.dir ? AE_IFDIR : AE_IFREG);
  archive_entry_set_perm(e, st.st_mode & 07777);
  archive_entry_set_mtime(e, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  archive_entry_set_size(e, s.dir ? 0 : st.st_size);
  int rc;
  {
    std::lock_guard<std::mutex> lock(g_headerLock);
    rc = archive_write_header(a, e);
  }
  archive_entry_free(e);
  if (rc < ARCHIVE_WARN) return fail(kFatal, "cannot write " + s.name + ": " + ErrorOf(a));
  off_t left = s.dir ? 0 : st.st_size;
  while (left > 0) {
    if (Halted(settings)) return fail(kStopped, "stopped");
    ssize_t n = read(sfd, buf.data(), static_cast<size_t>(std::min<off_t>(left, buf.size())));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(kFatal, "read error in " + s.path + ": " + std::strerror(errno));
    if (n == 0) return fail(kFatal, s.path + " became shorter while it was read");
    if (archive_write_data(a, buf.data(), static_cast<size_t>(n)) != n)
      return fail(kFatal, "write error: " + ErrorOf(a));
    left -= n;
  }
  if (archive_write_finish_entry(a) < ARCHIVE_WARN || archive_write_close(a) != ARCHIVE_OK)
    return fail(kFatal, "write error: " + ErrorOf(a));
  out->state = PackedEntry::State::Written;
}

}  // namespace

PackedEntry::~PackedEntry() { Release(); }

void PackedEntry::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  std::string().swap(memory_);
  size_ = 0;
}

bool PackedEntry::Append(const void* data, size_t n) {
  if (fd_ < 0 && memory_.size() + n > kMemoryLimit) {
    std::vector<char> name(spillPattern.begin(), spillPattern.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return false;
    // Unlinked at once: nothing is left behind whatever way the run ends.
    ::unlink(name.data());
    fd_ = fd;
    if (!WriteAll(fd_, memory_.data(), memory_.size())) return false;
    std::string().swap(memory_);
  }
  if (fd_ >= 0) {
    if (!WriteAll(fd_, data, n)) return false;
  } else {
    memory_.append(static_cast<const char*>(data), n);
  }
  size_ += n;
  return true;
}

bool PackedEntry::ReadAt(uint64_t offset, void* buf, size_t n) const {
  if (offset > size_ || n > size_ - offset) return false;
  if (fd_ < 0) {
    std::memcpy(buf, memory_.data() + offset, n);
    return true;
  }
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t got = pread(fd_, p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    offset += static_cast<uint64_t>(got);
    n -= static_cast<size_t>(got);
  }
  return true;
}

std::string CheckPackSettings(const PackSettings& settings, int* code) {
  std::string error;
  archive* a = NewWriter(settings, &error, code);
  if (a) archive_write_free(a);
  return error;
}

void PackEntry(const PackSource& s, const PackSettings& settings, std::vector<char>& buffer,
               PackedEntry* out) {
  out->spillPattern = settings.spillPattern;
  out->st = s.st;
  int sfd = -1;
  if (!s.dir) {
    sfd = open(s.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    int openErrno = errno;
    if (sfd < 0 || fstat(sfd, &out->st) != 0 || !S_ISREG(out->st.st_mode)) {
      if (sfd >= 0) close(sfd);
      out->state = PackedEntry::State::Skipped;
      out->message = "WARNING: cannot open " + s.path + ": " +
                     (sfd < 0 ? std::strerror(openErrno) : "not a regular file");
      return;
    }
  }
  std::string error;
  int code = kFatal;
  archive* a = NewWriter(settings, &error, &code);
  if (!a) {
    if (sfd >= 0) close(sfd);
    out->state = PackedEntry::State::Failed;
    out->code = code;
    out->message = error;
    return;
  }
  // Unblocked: the bytes reach the entry as they are made.
  archive_write_set_bytes_per_block(a, 0);
  if (archive_write_open2(a, out, nullptr, SinkWrite, nullptr, nullptr) != ARCHIVE_OK) {
    out->state = PackedEntry::State::Failed;
    out->code = kCreateError;
    out->message = ErrorOf(a);
  } else {
    WriteThrough(a, s, sfd, settings, buffer, out);
  }
  archive_write_free(a);
  if (sfd >= 0) close(sfd);
}

bool ZipJoiner::Write(const void* p, size_t n) {
  if (!WriteAll(fd_, p, n)) {
    // The wording the compressor's own file writer gave.
    error_ = "write error: Write error";
    return false;
  }
  pos_ += n;
  return true;
}

bool ZipJoiner::Append(const PackedEntry& entry, bool (*stop)()) {
  auto damaged = [&] {
    error_ = "the compressor wrote an entry that cannot be joined";
    return false;
  };
  // The one-entry archive: entry bytes, one central record, end records.
  uint64_t size = entry.Size();
  unsigned char end[22];
  if (size < 22 || !entry.ReadAt(size - 22, end, 22) || Get32(end) != kEndSig ||
      Get16(end + 10) != 1)
    return damaged();
  uint64_t cdSize = Get32(end + 12), cdOffset = Get32(end + 16);
  unsigned char loc[20];
  if (size >= 42 && entry.ReadAt(size - 42, loc, 20) && Get32(loc) == kLocator64Sig) {
    unsigned char rec[56];
    if (!entry.ReadAt(Get64(loc + 8), rec, 56) || Get32(rec) != kEnd64Sig) return damaged();
    cdSize = Get64(rec + 40);
    cdOffset = Get64(rec + 48);
  }
  if (cdOffset > size || cdSize > size - cdOffset || cdSize < 46 || cdSize > (1u << 20))
    return damaged();
  std::string rec(static_cast<size_t>(cdSize), '\0');
  if (!entry.ReadAt(cdOffset, rec.data(), rec.size()) || Get32(U(rec)) != kCentralSig)
    return damaged();
  const unsigned char* h = U(rec);
  size_t nameLen = Get16(h + 28), extraLen = Get16(h + 30), commentLen = Get16(h + 32);
  if (46 + nameLen + extraLen + commentLen != rec.size()) return damaged();

  uint64_t offset = pos_;
  std::vector<char> buf(1 << 20);
  for (uint64_t from = 0; from < cdOffset;) {
    if (stop && stop()) {
      error_ = "stopped";
      return false;
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), cdOffset - from));
    if (!entry.ReadAt(from, buf.data(), n)) {
      error_ = "read error";
      return false;
    }
    if (!Write(buf.data(), n)) return false;
    from += n;
  }

  // The central record at its new offset.  Past 4 GiB the offset moves into
  // the ZIP64 field, which the compressor puts last and fills with each of
  // sizes and offset that does not fit in 32 bits.
  uint64_t usize = Get32(h + 24), csize = Get32(h + 20);
  std::string extra = rec.substr(46 + nameLen, extraLen), kept;
  bool had64 = false;
  for (size_t i = 0; i + 4 <= extra.size();) {
    uint16_t id = Get16(U(extra) + i), len = Get16(U(extra) + i + 2);
    if (i + 4 + len > extra.size()) return damaged();
    if (id == 0x0001) {
      had64 = true;
      const unsigned char* d = U(extra) + i + 4;
      size_t k = 0;
      if (usize == k32Max && k + 8 <= len) usize = Get64(d + k), k += 8;
      if (csize == k32Max && k + 8 <= len) csize = Get64(d + k), k += 8;
    } else {
      kept += extra.substr(i, 4 + len);
    }
    i += 4 + len;
  }
  bool need64 = usize > k32Max || csize > k32Max || offset > k32Max;
  if (need64 || had64) {
    std::string z64;
    if (usize >= k32Max) Put64(z64, usize);
    if (csize >= k32Max) Put64(z64, csize);
    if (offset >= k32Max) Put64(z64, offset);
    if (need64) {
      Put16(kept, 0x0001);
      Put16(kept, static_cast<uint16_t>(z64.size()));
      kept += z64;
      if (Get16(h + 6) < 45) Set16(rec, 6, 45);
    }
    std::string comment = rec.substr(46 + nameLen + extraLen, commentLen);
    rec = rec.substr(0, 46 + nameLen) + kept + comment;
    Set16(rec, 30, static_cast<uint16_t>(kept.size()));
  }
  Set32(rec, 42, static_cast<uint32_t>(std::min(offset, k32Max)));
  central_ += rec;
  ++count_;
  return true;
}

bool ZipJoiner::Finish() {
  uint64_t start = pos_;
  if (!Write(central_.data(), central_.size())) return false;
  uint64_t cdSize = pos_ - start;
  std::string tail;
  if (cdSize > k32Max || start > k32Max || count_ > 0xFFFF) {
    uint64_t recAt = pos_;
    Put32(tail, kEnd64Sig);
    Put64(tail, 44);
    Put16(tail, 45);
    Put16(tail, 45);
    Put32(tail, 0);
    Put32(tail, 0);
    Put64(tail, count_);
    Put64(tail, count_);
    Put64(tail, cdSize);
    Put64(tail, start);
    Put32(tail, kLocator64Sig);
    Put32(tail, 0);
    Put64(tail, recAt);
    Put32(tail, 1);
  }
  Put32(tail, kEndSig);
  Put16(tail, 0);
  Put16(tail, 0);
  Put16(tail, static_cast<uint16_t>(std::min<uint64_t>(count_, 0xFFFF)));
  Put16(tail, static_cast<uint16_t>(std::min<uint64_t>(count_, 0xFFFF)));
  Put32(tail, static_cast<uint32_t>(std::min(cdSize, k32Max)));
  Put32(tail, static_cast<uint32_t>(std::min(start, k32Max)));
  Put16(tail, 0);
  return Write(tail.data(), tail.size());
}

}  // namespace yux::winrar
