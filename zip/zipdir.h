#pragma once
// The ZIP container seen from outside the compressor: reading the central
// directory of an archive (possibly split into volumes), copying entries
// byte for byte into a new archive, and the archive comment.  Entries are
// never decompressed here, so encrypted entries survive a rewrite without
// their password.
#include <cstdint>
#include <string>
#include <vector>

namespace yux::zip {

// A read-only byte stream made of one file or of volumes read one after the
// other.
class ByteSource {
 public:
  ByteSource() = default;
  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  // Opens the files in order; false (with the failing path and the reason
  // in error()) when one cannot be opened or is not a regular file.  A
  // FIFO or a device named like a volume is refused without waiting on it.
  bool Open(const std::vector<std::string>& paths);
  uint64_t Size() const { return size_; }
  // Reads exactly n bytes at offset; false past the end or on a read error.
  bool ReadAt(uint64_t offset, void* buf, size_t n) const;
  // Reads up to n bytes; the count read, 0 at the end, -1 on error.
  long ReadSome(uint64_t offset, void* buf, size_t n) const;
  const std::string& error() const { return error_; }

 private:
  struct Part {
    int fd;
    uint64_t start, size;
  };
  std::vector<Part> parts_;
  uint64_t size_ = 0;
  std::string error_;
};

struct ZipEntry {
  std::string name;          // as stored ("dir/" for a folder)
  std::string localName;     // as its local header stores it
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t size = 0;
  uint64_t localOffset = 0;
  uint64_t spanEnd = 0;      // where the entry's bytes (header, data, descriptor) end
  uint32_t externalAttributes = 0;
  int64_t mtime = 0;         // seconds since 1970 (UTC)
  uint32_t mtimeNsec = 0;    // and nanoseconds, where the archive keeps them
  uint8_t madeBy = 0;        // the system that made the entry
  bool IsDir() const { return !name.empty() && name.back() == '/'; }
  // Made on Unix: "/" alone separates the folders of its name.
  bool MadeOnUnix() const { return madeBy == 3; }
  bool Encrypted() const { return (flags & 1) != 0; }
  // The Unix mode an entry made on Unix carries; 0 when it has none.
  uint32_t UnixMode() const { return MadeOnUnix() ? externalAttributes >> 16 : 0; }
  std::string central;       // the raw central directory record
};

struct ZipDirectory {
  std::vector<ZipEntry> entries;
  std::string comment;
  uint64_t centralOffset = 0;  // where the central directory begins
};

// Where the central directory lies and how many records it holds, as an
// end record names it.
struct DirectoryPlace {
  uint64_t count = 0, size = 0, offset = 0;
  uint64_t recordsAt = 0;    // where the end records begin (the ZIP64 one, where used)
  uint64_t end64Length = 0;  // the ZIP64 end record's own length field (0 without one)
};

// The directory the end record at `endAt` names: by its own fields, or by
// the ZIP64 end record's where its fields are at their overflow marks and a
// ZIP64 locator stands right before it (otherwise those bytes may just as
// well end an entry's comment that happens to look like a locator).  False
// with a reason in *error when the end record or that ZIP64 record cannot
// be read.
bool DirectoryNamedAt(const ByteSource& src, uint64_t endAt, DirectoryPlace* place, std::string* error);

// Reads the central directory.  False with a reason in *error when the data
// is not a ZIP archive or its directory is damaged: its records do not fill
// it exactly, a record names no local header, or an entry's header and
// data run into the next entry (or into the directory), so that two
// entries would share bytes.  An entry's time is its NTFS time when it has
// one, else its Unix time stamp, else its DOS date.
bool ReadZipDirectory(const ByteSource& src, ZipDirectory* dir, std::string* error);

// A name from an archive as a log line may show it: control bytes (NUL
// among them) and DEL as "\xNN", a backslash as "\\".
std::string PrintableName(const std::string& name);

// Writes a new archive from entries of existing archives, copied unchanged
// except for their names (a renamed entry gets a new local header) and
// offsets.  Checks a stop predicate between blocks.
class ZipAssembler {
 public:
  explicit ZipAssembler(int fd) : fd_(fd) {}
  // Copies `entry` of the archive in `src` under `newName` (empty:
  // unchanged).  False on a read or write error, and when a name or extra
  // field would outgrow the 16 bits that store its length.
  bool Copy(const ByteSource& src, const ZipEntry& entry, const std::string& newName,
            bool (*stop)());
  // Writes the central directory and the end records with the comment;
  // false when the comment does not fit in 65,535 bytes.
  bool Finish(const std::string& comment);
  const std::string& error() const { return error_; }

 private:
  bool Write(const void* p, size_t n);
  bool FitsLengths(const std::string& entryName, const std::string& name, const std::string& extra);
  int fd_;
  uint64_t pos_ = 0;
  std::vector<std::string> central_;
  std::string error_;
};

// Sets the comment of an archive just written by the compressor (whose
// end record is the last 22 bytes of the file, without a comment); false
// when the comment does not fit in 65,535 bytes.
bool SetZipComment(int fd, const std::string& comment, std::string* error);

}  // namespace yux::zip
