#include "zip/zipdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "zip/zipbytes.h"

namespace yux::zip {
namespace {

constexpr uint32_t k32Max = 0xFFFFFFFFu;
constexpr const char* kLongComment = "the archive comment is longer than 65,535 bytes";

struct ExtraField {
  uint16_t id;
  std::string data;
};

std::vector<ExtraField> SplitExtra(const std::string& extra) {
  std::vector<ExtraField> out;
  size_t i = 0;
  while (i + 4 <= extra.size()) {
    uint16_t id = Get16(U(extra) + i);
    uint16_t len = Get16(U(extra) + i + 2);
    if (i + 4 + len > extra.size()) break;  // a torn field ends the list
    out.push_back({id, extra.substr(i + 4, len)});
    i += 4 + len;
  }
  return out;
}

std::string JoinExtra(const std::vector<ExtraField>& fields) {
  std::string s;
  for (auto& f : fields) {
    Put16(s, f.id);
    Put16(s, static_cast<uint16_t>(f.data.size()));
    s += f.data;
  }
  return s;
}

int64_t DosToUnix(uint16_t time, uint16_t date) {
  std::tm tm{};
  tm.tm_year = ((date >> 9) & 0x7F) + 80;
  tm.tm_mon = ((date >> 5) & 0x0F) - 1;
  tm.tm_mday = date & 0x1F;
  tm.tm_hour = (time >> 11) & 0x1F;
  tm.tm_min = (time >> 5) & 0x3F;
  tm.tm_sec = (time & 0x1F) * 2;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

// The modification time of an NTFS time field (100 ns steps since 1601).
bool NtfsModified(const std::string& data, int64_t* sec, uint32_t* nsec) {
  for (size_t i = 4; i + 4 <= data.size();) {  // after 4 reserved bytes
    const uint16_t tag = Get16(U(data) + i), len = Get16(U(data) + i + 2);
    if (i + 4 + len > data.size()) break;
    if (tag == 0x0001 && len >= 8) {
      const uint64_t ticks = Get64(U(data) + i + 4);
      *sec = static_cast<int64_t>(ticks / 10000000) - 11644473600;
      *nsec = static_cast<uint32_t>(ticks % 10000000) * 100;
      return true;
    }
    i += 4 + len;
  }
  return false;
}

// The Unix time stamp's 32 bits count unsigned, as every reader takes them,
// except in archives that stored a time before 1970 truncated: those have
// the high bit set beside the DOS date's lowest value, 1980-01-01 00:00.
int64_t StampTime(uint32_t stamp, uint16_t dosTime, uint16_t dosDate) {
  if ((stamp & 0x80000000u) && dosDate == ((1 << 5) | 1) && dosTime == 0)
    return static_cast<int32_t>(stamp);
  return stamp;
}

}  // namespace

std::string PrintableName(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c >= 0x20 && c != 0x7F) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    out += hex;
  }
  return out;
}

ByteSource::~ByteSource() {
  for (auto& p : parts_) close(p.fd);
}

bool ByteSource::Open(const std::vector<std::string>& paths) {
  for (auto& path : paths) {
    // Without O_NONBLOCK a FIFO would block the open until a writer came.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      error_ = path + ": " + std::strerror(errno);
      return false;
    }
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const int flags = regular ? fcntl(fd, F_GETFL) : -1;
    if (!regular || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      error_ = path + (regular ? std::string(": ") + std::strerror(errno) : ": not a regular file");
      close(fd);
      return false;
    }
    parts_.push_back({fd, size_, static_cast<uint64_t>(st.st_size)});
    size_ += static_cast<uint64_t>(st.st_size);
  }
  return true;
}

long ByteSource::ReadSome(uint64_t offset, void* buf, size_t n) const {
  if (offset >= size_ || n == 0) return 0;
  auto it = std::upper_bound(parts_.begin(), parts_.end(), offset,
                             [](uint64_t off, const Part& p) { return off < p.start; });
  const Part& part = *(it - 1);
  uint64_t within = offset - part.start;
  size_t want = static_cast<size_t>(std::min<uint64_t>(n, part.size - within));
  for (;;) {
    ssize_t got = pread(part.fd, buf, want, static_cast<off_t>(within));
    if (got < 0 && errno == EINTR) continue;
    return got < 0 ? -1 : static_cast<long>(got);
  }
}

bool ByteSource::ReadAt(uint64_t offset, void* buf, size_t n) const {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    long got = ReadSome(offset, p, n);
    if (got <= 0) return false;
    p += got;
    offset += static_cast<uint64_t>(got);
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool DirectoryNamedAt(const ByteSource& src, uint64_t endAt, DirectoryPlace* place, std::string* error) {
  unsigned char end[22];
  if (!src.ReadAt(endAt, end, 22) || Get32(end) != kEndSig) {
    *error = "read error";
    return false;
  }
  *place = DirectoryPlace{};
  place->count = Get16(end + 10);
  place->size = Get32(end + 12);
  place->offset = Get32(end + 16);
  place->recordsAt = endAt;
  const bool marked = Get16(end + 8) == 0xFFFF || place->count == 0xFFFF ||
                      place->size == k32Max || place->offset == k32Max;
  unsigned char loc[20];
  if (marked && endAt >= 20 && src.ReadAt(endAt - 20, loc, 20) && Get32(loc) == kLocator64Sig) {
    unsigned char rec[56];
    const uint64_t recAt = Get64(loc + 8);
    if (!src.ReadAt(recAt, rec, 56) || Get32(rec) != kEnd64Sig) {
      *error = "damaged ZIP64 end record";
      return false;
    }
    place->count = Get64(rec + 32);
    place->size = Get64(rec + 40);
    place->offset = Get64(rec + 48);
    place->recordsAt = recAt;
    place->end64Length = Get64(rec + 4);
  }
  return true;
}

namespace {

bool FindDirectory(const ByteSource& src, DirectoryPlace* place, std::string* comment,
                   std::string* error) {
  const uint64_t size = src.Size();
  if (size < 22) {
    *error = "not a ZIP archive (too short)";
    return false;
  }
  uint64_t tailLen = std::min<uint64_t>(size, 22 + 65535);
  std::string tail(tailLen, '\0');
  if (!src.ReadAt(size - tailLen, tail.data(), tailLen)) {
    *error = "read error";
    return false;
  }
  // The end record is the last signature whose comment fits in the file.
  size_t endAt = std::string::npos;
  for (size_t i = tailLen - 22 + 1; i-- > 0;) {
    if (Get32(U(tail) + i) == kEndSig && i + 22 + Get16(U(tail) + i + 20) <= tailLen) {
      endAt = i;
      break;
    }
  }
  if (endAt == std::string::npos) {
    *error = "not a ZIP archive (no end record)";
    return false;
  }
  *comment = tail.substr(endAt + 22, Get16(U(tail) + endAt + 20));
  if (!DirectoryNamedAt(src, size - tailLen + endAt, place, error)) return false;
  if (place->offset > size || place->size > size - place->offset) {
    *error = "damaged central directory";
    return false;
  }
  return true;
}

// One central record at `at` of the directory `cd`; its length in *recLen.
bool ParseRecord(const std::string& cd, size_t at, ZipEntry* e, size_t* recLen) {
  if (at + 46 > cd.size() || Get32(U(cd) + at) != kCentralSig) return false;
  const unsigned char* h = U(cd) + at;
  size_t nameLen = Get16(h + 28), extraLen = Get16(h + 30), commentLen = Get16(h + 32);
  *recLen = 46 + nameLen + extraLen + commentLen;
  if (at + *recLen > cd.size()) return false;
  e->central = cd.substr(at, *recLen);
  e->flags = Get16(h + 8);
  e->method = Get16(h + 10);
  e->crc = Get32(h + 16);
  e->compressedSize = Get32(h + 20);
  e->size = Get32(h + 24);
  e->externalAttributes = Get32(h + 38);
  e->localOffset = Get32(h + 42);
  e->name = cd.substr(at + 46, nameLen);
  e->madeBy = h[5];
  const uint16_t dosTime = Get16(h + 12), dosDate = Get16(h + 14);
  e->mtime = DosToUnix(dosTime, dosDate);
  bool ntfs = false;
  for (auto& f : SplitExtra(cd.substr(at + 46 + nameLen, extraLen))) {
    const unsigned char* d = U(f.data);
    if (f.id == 0x0001) {
      size_t k = 0;
      auto take = [&](uint64_t& v) {
        if (v == k32Max && k + 8 <= f.data.size()) {
          v = Get64(d + k);
          k += 8;
        }
      };
      take(e->size);
      take(e->compressedSize);
      take(e->localOffset);
    } else if (f.id == 0x5455 && f.data.size() >= 5 && (d[0] & 1)) {
      if (!ntfs) e->mtime = StampTime(Get32(d + 1), dosTime, dosDate);
    } else if (f.id == 0x000a && !ntfs) {
      ntfs = NtfsModified(f.data, &e->mtime, &e->mtimeNsec);
    }
  }
  return true;
}

// Each entry's local header, and its span: the header with its own name
// and extra lengths, then the data the central record declares.  A span
// ends at or before the next entry's header (the last one's at or before
// the directory); a data descriptor may follow in the gap.
bool CheckSpans(const ByteSource& src, ZipDirectory* dir, std::string* error) {
  std::vector<ZipEntry*> order;
  for (auto& e : dir->entries) order.push_back(&e);
  std::stable_sort(order.begin(), order.end(),
                   [](const ZipEntry* a, const ZipEntry* b) { return a->localOffset < b->localOffset; });
  for (size_t i = 0; i < order.size(); ++i) {
    ZipEntry& e = *order[i];
    const uint64_t limit = i + 1 < order.size() ? order[i + 1]->localOffset : dir->centralOffset;
    e.spanEnd = limit;
    unsigned char fixed[30];
    if (!src.ReadAt(e.localOffset, fixed, 30) || Get32(fixed) != kLocalSig) {
      *error = "damaged local header of " + PrintableName(e.name);
      return false;
    }
    const uint64_t header = 30 + uint64_t{Get16(fixed + 26)} + Get16(fixed + 28);
    const uint64_t room = limit - e.localOffset;
    if (header > room || e.compressedSize > room - header) {
      *error = "overlapping entries: " + PrintableName(e.name) + " runs into " +
               (i + 1 < order.size() ? PrintableName(order[i + 1]->name) : "the central directory");
      return false;
    }
    e.localName.assign(Get16(fixed + 26), '\0');
    if (!src.ReadAt(e.localOffset + 30, e.localName.data(), e.localName.size())) {
      *error = "read error";
      return false;
    }
  }
  return true;
}

}  // namespace

bool ReadZipDirectory(const ByteSource& src, ZipDirectory* dir, std::string* error) {
  *dir = ZipDirectory{};
  DirectoryPlace place;
  if (!FindDirectory(src, &place, &dir->comment, error)) return false;
  std::string cd(static_cast<size_t>(place.size), '\0');
  if (!src.ReadAt(place.offset, cd.data(), cd.size())) {
    *error = "read error";
    return false;
  }
  dir->centralOffset = place.offset;
  size_t at = 0;
  // Every record counts: one beyond the count would be read by other
  // readers (and written by `x`) while a listing left it out.
  for (uint64_t n = 0; n < place.count; ++n) {
    ZipEntry e;
    size_t recLen = 0;
    if (!ParseRecord(cd, at, &e, &recLen) || e.localOffset >= place.offset) {
      *error = "damaged central directory";
      return false;
    }
    dir->entries.push_back(std::move(e));
    at += recLen;
  }
  if (at != cd.size()) {
    *error = "damaged central directory (its records do not fill it)";
    return false;
  }
  return CheckSpans(src, dir, error);
}

bool ZipAssembler::Write(const void* p, size_t n) {
  auto* c = static_cast<const char*>(p);
  while (n > 0) {
    ssize_t w = ::write(fd_, c, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      error_ = std::string("write error: ") + std::strerror(errno);
      return false;
    }
    c += w;
    n -= static_cast<size_t>(w);
    pos_ += static_cast<uint64_t>(w);
  }
  return true;
}

bool ZipAssembler::FitsLengths(const std::string& entryName, const std::string& name,
                               const std::string& extra) {
  if (name.size() > 0xFFFF) {
    error_ = "the new name of " + PrintableName(entryName) + " is longer than 65,535 bytes";
    return false;
  }
  if (extra.size() > 0xFFFF) {
    error_ = "the extra fields of " + PrintableName(entryName) + " would outgrow 65,535 bytes";
    return false;
  }
  return true;
}

bool ZipAssembler::Copy(const ByteSource& src, const ZipEntry& entry, const std::string& newName,
                        bool (*stop)()) {
  unsigned char fixed[30];
  if (!src.ReadAt(entry.localOffset, fixed, 30) || Get32(fixed) != kLocalSig) {
    error_ = "damaged local header of " + entry.name;
    return false;
  }
  uint64_t headerLen = 30 + Get16(fixed + 26) + Get16(fixed + 28);
  if (entry.localOffset + headerLen > entry.spanEnd) {
    error_ = "damaged local header of " + entry.name;
    return false;
  }
  uint64_t newOffset = pos_;
  bool renamed = !newName.empty() && newName != entry.name;
  uint64_t from = entry.localOffset;
  if (renamed) {
    std::string extra(Get16(fixed + 28), '\0');
    if (!src.ReadAt(entry.localOffset + 30 + Get16(fixed + 26), extra.data(), extra.size())) {
      error_ = "read error";
      return false;
    }
    // The Unicode path field would restore the old name in some readers.
    auto fields = SplitExtra(extra);
    std::erase_if(fields, [](const ExtraField& f) { return f.id == 0x7075; });
    std::string joined = JoinExtra(fields);
    if (!FitsLengths(entry.name, newName, joined)) return false;
    std::string header(reinterpret_cast<char*>(fixed), 30);
    Set16(header, 26, static_cast<uint16_t>(newName.size()));
    Set16(header, 28, static_cast<uint16_t>(joined.size()));
    header += newName;
    header += joined;
    if (!Write(header.data(), header.size())) return false;
    from += headerLen;
  }
  std::vector<char> buf(1 << 16);
  while (from < entry.spanEnd) {
    if (stop && stop()) {
      error_ = "stopped";
      return false;
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), entry.spanEnd - from));
    if (!src.ReadAt(from, buf.data(), n)) {
      error_ = "read error";
      return false;
    }
    if (!Write(buf.data(), n)) return false;
    from += n;
  }

  // The central record: same fields, new offset and name, ZIP64 sizes and
  // offset rebuilt for the new position.
  const unsigned char* h = U(entry.central);
  size_t nameLen = Get16(h + 28), extraLen = Get16(h + 30), commentLen = Get16(h + 32);
  auto fields = SplitExtra(entry.central.substr(46 + nameLen, extraLen));
  std::erase_if(fields, [&](const ExtraField& f) {
    return f.id == 0x0001 || (renamed && f.id == 0x7075);
  });
  bool bigSize = Get32(h + 24) == k32Max || entry.size >= k32Max;
  bool bigCompressed = Get32(h + 20) == k32Max || entry.compressedSize >= k32Max;
  bool bigOffset = newOffset >= k32Max;
  std::string z64;
  if (bigSize) Put64(z64, entry.size);
  if (bigCompressed) Put64(z64, entry.compressedSize);
  if (bigOffset) Put64(z64, newOffset);
  if (!z64.empty()) fields.insert(fields.begin(), ExtraField{0x0001, z64});
  std::string joined = JoinExtra(fields);
  const std::string& name = renamed ? newName : entry.name;
  if (!FitsLengths(entry.name, name, joined)) return false;
  std::string rec = entry.central.substr(0, 46);
  if (!z64.empty() && Get16(h + 6) < 45) Set16(rec, 6, 45);
  Set32(rec, 20, bigCompressed ? k32Max : static_cast<uint32_t>(entry.compressedSize));
  Set32(rec, 24, bigSize ? k32Max : static_cast<uint32_t>(entry.size));
  Set16(rec, 28, static_cast<uint16_t>(name.size()));
  Set16(rec, 30, static_cast<uint16_t>(joined.size()));
  Set16(rec, 34, 0);
  Set32(rec, 42, bigOffset ? k32Max : static_cast<uint32_t>(newOffset));
  rec += name;
  rec += joined;
  rec += entry.central.substr(46 + nameLen + extraLen, commentLen);
  central_.push_back(std::move(rec));
  return true;
}

bool ZipAssembler::Finish(const std::string& comment) {
  uint64_t cdOffset = pos_;
  for (auto& rec : central_) {
    if (!Write(rec.data(), rec.size())) return false;
  }
  uint64_t cdSize = pos_ - cdOffset;
  uint64_t count = central_.size();
  bool z64 = count >= 0xFFFF || cdOffset >= k32Max || cdSize >= k32Max;
  std::string tail;
  if (z64) {
    uint64_t recAt = pos_;
    Put32(tail, kEnd64Sig);
    Put64(tail, 44);
    Put16(tail, 45);
    Put16(tail, 45);
    Put32(tail, 0);
    Put32(tail, 0);
    Put64(tail, count);
    Put64(tail, count);
    Put64(tail, cdSize);
    Put64(tail, cdOffset);
    Put32(tail, kLocator64Sig);
    Put32(tail, 0);
    Put64(tail, recAt);
    Put32(tail, 1);
  }
  if (comment.size() > 0xFFFF) {
    error_ = kLongComment;
    return false;
  }
  const std::string& c = comment;
  Put32(tail, kEndSig);
  Put16(tail, 0);
  Put16(tail, 0);
  Put16(tail, z64 ? 0xFFFF : static_cast<uint16_t>(count));
  Put16(tail, z64 ? 0xFFFF : static_cast<uint16_t>(count));
  Put32(tail, z64 ? k32Max : static_cast<uint32_t>(cdSize));
  Put32(tail, z64 ? k32Max : static_cast<uint32_t>(cdOffset));
  Put16(tail, static_cast<uint16_t>(c.size()));
  tail += c;
  return Write(tail.data(), tail.size());
}

bool SetZipComment(int fd, const std::string& comment, std::string* error) {
  off_t size = lseek(fd, 0, SEEK_END);
  unsigned char end[22];
  if (size < 22 || pread(fd, end, 22, size - 22) != 22 || Get32(end) != kEndSig ||
      Get16(end + 20) != 0) {
    *error = "unexpected end record";
    return false;
  }
  if (comment.size() > 0xFFFF) {
    *error = kLongComment;
    return false;
  }
  const std::string& c = comment;
  std::string len;
  Put16(len, static_cast<uint16_t>(c.size()));
  if (pwrite(fd, len.data(), 2, size - 2) != 2 ||
      pwrite(fd, c.data(), c.size(), size) != static_cast<ssize_t>(c.size())) {
    *error = std::string("write error: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace yux::zip
