#include "tools/winrar/entrypacker.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "tools/winrar/exitcodes.h"
#include "tools/winrar/switches.h"
#include "zip/zipbytes.h"

namespace yux::winrar {
using namespace yux::zip;
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

// A file of at least this size is deflated in blocks of this size, each on
// any thread, joined into one stream.  The split depends on the file alone,
// so one thread and many write the same bytes.
constexpr size_t kBlock = size_t{1} << 20;
// Each block starts from the last bytes of the one before it, as one stream
// would, so the split costs little in size.
constexpr size_t kDictionary = 32768;

struct Block {
  std::string in, out;
  uint32_t crc = 0;
  bool last = false;
  bool ok = false;
};

// Raw deflate of one block, primed with the bytes before it; every block but
// the last ends on a byte boundary (sync flush), the last ends the stream.
void DeflateBlock(Block& b, const char* dict, size_t dictSize, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
  if (dictSize > 0 &&
      deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dict), static_cast<uInt>(dictSize)) != Z_OK) {
    deflateEnd(&z);
    return;
  }
  b.out.resize(deflateBound(&z, b.in.size()) + 64);
  z.next_in = reinterpret_cast<Bytef*>(b.in.data());
  z.avail_in = static_cast<uInt>(b.in.size());
  z.next_out = reinterpret_cast<Bytef*>(b.out.data());
  z.avail_out = static_cast<uInt>(b.out.size());
  int rc = deflate(&z, b.last ? Z_FINISH : Z_SYNC_FLUSH);
  b.ok = (b.last ? rc == Z_STREAM_END : rc == Z_OK) && z.avail_in == 0;
  b.out.resize(b.out.size() - z.avail_out);
  deflateEnd(&z);
  b.crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(b.in.data()), static_cast<uInt>(b.in.size())));
}

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Only a name in UTF-8 beyond ASCII gets the flag that says so.  A name in
// an older 8-bit encoding is stored as its bytes without it, so that
// readers take it as it is.
bool NameIsUtf8(const std::string& name) { return !IsAscii(name) && IsValidUtf8(name); }

constexpr uint16_t kUtf8Flag = 0x0800;

// The MS-DOS date and time of a header, in local time, held to the years
// the format can say (1980 to 2107).
void DosTime(time_t t, uint16_t* dosTime, uint16_t* dosDate) {
  std::tm tm{};
  const bool known = localtime_r(&t, &tm) != nullptr;
  if (known ? tm.tm_year > 207 : t > 0) {
    *dosTime = (23 << 11) | (59 << 5) | 29;
    *dosDate = (127 << 9) | (12 << 5) | 31;
    return;
  }
  if (!known || tm.tm_year < 80) {
    *dosTime = 0;
    *dosDate = (1 << 5) | 1;
    return;
  }
  *dosTime = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  *dosDate = static_cast<uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

// Seconds from 1601-01-01, where NTFS times begin, to 1970-01-01.
constexpr int64_t kNtfsEpoch = 11644473600;
constexpr uint64_t kNtfsTicks = 10000000;  // per second

// A time as NTFS counts it (100 ns steps since 1601); false before 1601 or
// past what 64 bits hold.
bool NtfsTime(const struct timespec& t, uint64_t* out) {
  if (t.tv_sec < -kNtfsEpoch) return false;
  const uint64_t since = static_cast<uint64_t>(t.tv_sec + kNtfsEpoch);
  if (since > (UINT64_MAX - kNtfsTicks) / kNtfsTicks) return false;
  *out = since * kNtfsTicks + static_cast<uint64_t>(t.tv_nsec) / 100;
  return true;
}

// The extra fields that carry the entry's time: the Unix time stamp
// (0x5455), whose readers take its 32 bits as unsigned, only for the
// times it can hold (1970 to 2106); and the NTFS times (0x000a) for every
// time from 1601 on.  Readers that know neither take the DOS date.
std::string TimeFields(const struct stat& st) {
  std::string f;
  const int64_t t = st.st_mtim.tv_sec;
  if (t >= 0 && t <= static_cast<int64_t>(k32Max)) {
    Put16(f, 0x5455);
    Put16(f, 5);
    f.push_back(1);  // the modification time alone
    Put32(f, static_cast<uint32_t>(t));
  }
  uint64_t modified;
  if (NtfsTime(st.st_mtim, &modified)) {
    Put16(f, 0x000a);
    Put16(f, 32);
    Put32(f, 0);
    Put16(f, 0x0001);
    Put16(f, 24);
    // The access and creation times are not kept (reading the file changes
    // the one, the other is not known): the modification time stands there.
    for (int i = 0; i < 3; ++i) Put64(f, modified);
  }
  return f;
}

// The extra fields with the time fields replaced by `times` (put first);
// false when a field runs past the end.
bool ReplaceTimeFields(const std::string& extra, const std::string& times, std::string* out) {
  *out = times;
  for (size_t i = 0; i + 4 <= extra.size();) {
    const uint16_t id = Get16(U(extra) + i), len = Get16(U(extra) + i + 2);
    if (i + 4 + len > extra.size()) return false;
    if (id != 0x5455 && id != 0x000a) *out += extra.substr(i, 4 + len);
    i += 4 + len;
  }
  return true;
}

// The local header at the start of the one-entry archive (within its first
// `limit` bytes) with the name flag `utf8` and the time fields `times`;
// *length gets the length of the header as it stands there.  False when it
// is damaged.
bool LocalHeader(const PackedEntry& entry, uint64_t limit, uint16_t utf8, const std::string& times,
                 std::string* header, uint64_t* length) {
  unsigned char fixed[30];
  if (limit < 30 || !entry.ReadAt(0, fixed, 30) || Get32(fixed) != kLocalSig) return false;
  const size_t nameLen = Get16(fixed + 26);
  *length = 30 + nameLen + Get16(fixed + 28);
  if (*length > limit) return false;
  std::string old(static_cast<size_t>(*length), '\0'), extra;
  if (!entry.ReadAt(0, old.data(), old.size()) || !ReplaceTimeFields(old.substr(30 + nameLen), times, &extra) ||
      extra.size() > 0xFFFF)
    return false;
  *header = old.substr(0, 30 + nameLen) + extra;
  Set16(*header, 6, static_cast<uint16_t>((Get16(fixed + 6) & ~kUtf8Flag) | utf8));
  Set16(*header, 28, static_cast<uint16_t>(extra.size()));
  return true;
}

// A large regular file, unencrypted: its one-entry archive written here,
// its data deflated block by block on up to settings.threads threads.  The
// local header is followed by the data and a data descriptor.
void WriteBlocks(const PackSource& s, int sfd, const PackSettings& settings, PackedEntry* out) {
  auto fail = [&](int code, const std::string& text) {
    out->state = PackedEntry::State::Failed;
    out->code = code;
    out->message = text;
  };
  auto put = [&](const std::string& bytes) {
    if (!out->Append(bytes.data(), bytes.size())) {
      fail(kFatal, std::string("write error: ") + std::strerror(errno));
      return false;
    }
    return true;
  };
  const struct stat& st = out->st;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  // Sizes that may not fit in 32 bits go in a ZIP64 field (decided from the
  // size before reading, the compressed size being near it at worst).
  const bool zip64 = size >= k32Max - (k32Max >> 4);
  uint16_t dosTime, dosDate;
  DosTime(st.st_mtim.tv_sec, &dosTime, &dosDate);
  const uint16_t flags = static_cast<uint16_t>(0x0008 | (NameIsUtf8(s.name) ? kUtf8Flag : 0));
  const uint16_t needed = zip64 ? 45 : 20;
  const std::string times = TimeFields(st);

  std::string local;
  Put32(local, kLocalSig);
  Put16(local, needed);
  Put16(local, flags);
  Put16(local, 8);
  Put16(local, dosTime);
  Put16(local, dosDate);
  Put32(local, 0);
  Put32(local, zip64 ? k32Max : 0);
  Put32(local, zip64 ? k32Max : 0);
  Put16(local, static_cast<uint16_t>(s.name.size()));
  std::string localExtra = times;
  if (zip64) {
    Put16(localExtra, 0x0001);
    Put16(localExtra, 16);
    Put64(localExtra, 0);
    Put64(localExtra, 0);
  }
  Put16(local, static_cast<uint16_t>(localExtra.size()));
  local += s.name + localExtra;
  if (!put(local)) return;

  const size_t threads = std::max<size_t>(1, std::min<size_t>(settings.threads, 64));
  const size_t batch = 4 * threads;
  std::vector<Block> blocks(batch);
  std::string dict;  // the last bytes of the block before the batch
  uint64_t left = size, csize = 0;
  uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  while (left > 0) {
    if (Halted(settings)) return fail(kStopped, "stopped");
    size_t count = 0;
    for (; count < batch && left > 0; ++count) {
      Block& b = blocks[count];
      b.in.resize(static_cast<size_t>(std::min<uint64_t>(left, kBlock)));
      for (size_t got = 0; got < b.in.size();) {
        ssize_t n = read(sfd, b.in.data() + got, b.in.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(kFatal, "read error in " + s.path + ": " + std::strerror(errno));
        if (n == 0) return fail(kFatal, s.path + " became shorter while it was read");
        got += static_cast<size_t>(n);
      }
      left -= b.in.size();
      b.last = left == 0;
      b.ok = false;
    }
    auto dictOf = [&](size_t i, const char** p, size_t* n) {
      const std::string& before = i == 0 ? dict : blocks[i - 1].in;
      *n = std::min(before.size(), kDictionary);
      *p = before.data() + before.size() - *n;
    };
    std::atomic<size_t> next{0};
    auto work = [&] {
      for (size_t i; (i = next.fetch_add(1)) < count;) {
        const char* p;
        size_t n;
        dictOf(i, &p, &n);
        DeflateBlock(blocks[i], p, n, settings.deflateLevel);
      }
    };
    std::vector<std::thread> helpers;
    try {
      for (size_t k = 1; k < std::min(threads, count); ++k) helpers.emplace_back(work);
    } catch (const std::system_error&) {
      // Fewer helpers: this thread deflates the rest.
    }
    work();
    for (auto& h : helpers) h.join();
    for (size_t i = 0; i < count; ++i) {
      Block& b = blocks[i];
      if (!b.ok) return fail(kFatal, "cannot deflate " + s.path);
      crc = static_cast<uint32_t>(crc32_combine(crc, b.crc, static_cast<z_off_t>(b.in.size())));
      csize += b.out.size();
      if (!put(b.out)) return;
      std::string().swap(b.out);
    }
    const std::string& tail = blocks[count - 1].in;
    dict.assign(tail.data() + tail.size() - std::min(tail.size(), kDictionary), std::min(tail.size(), kDictionary));
  }

  std::string descriptor;
  Put32(descriptor, 0x08074b50);
  Put32(descriptor, crc);
  if (zip64) {
    Put64(descriptor, csize);
    Put64(descriptor, size);
  } else {
    Put32(descriptor, static_cast<uint32_t>(csize));
    Put32(descriptor, static_cast<uint32_t>(size));
  }
  if (!put(descriptor)) return;
  const uint64_t cdOffset = out->Size();

  std::string central;
  Put32(central, kCentralSig);
  Put16(central, static_cast<uint16_t>((3 << 8) | needed));  // made on Unix
  Put16(central, needed);
  Put16(central, flags);
  Put16(central, 8);
  Put16(central, dosTime);
  Put16(central, dosDate);
  Put32(central, crc);
  const bool big = zip64;
  Put32(central, big ? k32Max : static_cast<uint32_t>(csize));
  Put32(central, big ? k32Max : static_cast<uint32_t>(size));
  Put16(central, static_cast<uint16_t>(s.name.size()));
  std::string centralExtra = times;
  if (big) {
    Put16(centralExtra, 0x0001);
    Put16(centralExtra, 16);
    Put64(centralExtra, size);
    Put64(centralExtra, csize);
  }
  Put16(central, static_cast<uint16_t>(centralExtra.size()));
  Put16(central, 0);  // comment
  Put16(central, 0);  // disk
  Put16(central, 0);  // internal attributes
  Put32(central, static_cast<uint32_t>((S_IFREG | (st.st_mode & 07777)) << 16));
  Put32(central, 0);  // offset: the joiner sets it
  central += s.name + centralExtra;
  const uint64_t cdSize = central.size();

  std::string end;
  if (cdOffset >= k32Max) {
    const uint64_t recAt = cdOffset + cdSize;
    Put32(end, kEnd64Sig);
    Put64(end, 44);
    Put16(end, 45);
    Put16(end, 45);
    Put32(end, 0);
    Put32(end, 0);
    Put64(end, 1);
    Put64(end, 1);
    Put64(end, cdSize);
    Put64(end, cdOffset);
    Put32(end, kLocator64Sig);
    Put32(end, 0);
    Put64(end, recAt);
    Put32(end, 1);
  }
  Put32(end, kEndSig);
  Put16(end, 0);
  Put16(end, 0);
  Put16(end, 1);
  Put16(end, 1);
  Put32(end, static_cast<uint32_t>(cdSize));
  Put32(end, static_cast<uint32_t>(std::min(cdOffset, k32Max)));
  Put16(end, 0);
  if (!put(central) || !put(end)) return;
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
  if (!s.dir && !settings.password && settings.deflateLevel > 0 &&
      static_cast<uint64_t>(out->st.st_size) >= kBlock) {
    WriteBlocks(s, sfd, settings, out);
    close(sfd);
    return;
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

  // Both headers get the name flag and the time fields of this system's
  // rules, whatever the compressor wrote; the rest of the entry is copied.
  const uint16_t utf8 = NameIsUtf8(rec.substr(46, nameLen)) ? kUtf8Flag : 0;
  const std::string times = TimeFields(entry.st);
  std::string local;
  uint64_t localLen = 0;
  if (!LocalHeader(entry, cdOffset, utf8, times, &local, &localLen)) return damaged();

  uint64_t offset = pos_;
  if (!Write(local.data(), local.size())) return false;
  std::vector<char> buf(1 << 20);
  for (uint64_t from = localLen; from < cdOffset;) {
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
  if (!ReplaceTimeFields(extra, times, &kept)) return damaged();
  extra = kept;
  kept.clear();
  for (size_t i = 0; i + 4 <= extra.size();) {
    uint16_t id = Get16(U(extra) + i), len = Get16(U(extra) + i + 2);
    if (id == 0x0001) {
      const unsigned char* d = U(extra) + i + 4;
      size_t k = 0;
      if (usize == k32Max && k + 8 <= len) usize = Get64(d + k), k += 8;
      if (csize == k32Max && k + 8 <= len) csize = Get64(d + k), k += 8;
    } else {
      kept += extra.substr(i, 4 + len);
    }
    i += 4 + len;
  }
  bool need64 = usize >= k32Max || csize >= k32Max || offset >= k32Max;
  if (need64) {
    std::string z64;
    if (usize >= k32Max) Put64(z64, usize);
    if (csize >= k32Max) Put64(z64, csize);
    if (offset >= k32Max) Put64(z64, offset);
    Put16(kept, 0x0001);
    Put16(kept, static_cast<uint16_t>(z64.size()));
    kept += z64;
    if (Get16(h + 6) < 45) Set16(rec, 6, 45);
  }
  if (kept.size() > 0xFFFF) return damaged();
  std::string comment = rec.substr(46 + nameLen + extraLen, commentLen);
  rec = rec.substr(0, 46 + nameLen) + kept + comment;
  Set16(rec, 8, static_cast<uint16_t>((Get16(U(rec) + 8) & ~kUtf8Flag) | utf8));
  Set16(rec, 30, static_cast<uint16_t>(kept.size()));
  // Sizes that left the ZIP64 field come back into their own fields.
  Set32(rec, 20, static_cast<uint32_t>(std::min(csize, k32Max)));
  Set32(rec, 24, static_cast<uint32_t>(std::min(usize, k32Max)));
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
