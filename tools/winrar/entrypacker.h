#pragma once
// Entries compressed apart and joined in order.  Each entry is first written
// by the compressor as an archive of its own (kept in memory, or in an
// unlinked temporary file once it outgrows a few megabytes); the joiner then
// lays those entries out one after the other and writes the central
// directory and end records the compressor writes for a whole archive.  The
// bytes of an entry do not depend on where it lands, so the archive is the
// same whether one thread or many packed its entries.
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace yux::winrar {

struct PackSettings {
  std::string options;                  // compressor options ("zip:compression=...")
  int deflateLevel = -1;                // 0-9 when deflating; -1 when storing
  size_t threads = 1;                   // threads that may deflate one large entry
  std::optional<std::string> password;  // AES-256 when set
  std::string spillPattern;             // mkstemp pattern for entries kept on disk
  bool (*stop)() = nullptr;             // a requested stop, checked between blocks
  const std::atomic<bool>* cancel = nullptr;  // the writer gave up: abandon the entry
};

// What to pack: the source path (unused for a folder), the stored name
// (without the trailing '/' of a folder) and the source as it was listed.
struct PackSource {
  std::string path;
  std::string name;
  bool dir = false;
  struct stat st {};
};

class PackedEntry {
 public:
  enum class State { Written, Skipped, Failed };

  PackedEntry() = default;
  ~PackedEntry();
  PackedEntry(const PackedEntry&) = delete;
  PackedEntry& operator=(const PackedEntry&) = delete;

  State state = State::Failed;
  int code = 0;         // exit code of a failed entry
  std::string message;  // the warning of a skipped source, the error of a failed one
  struct stat st {};    // the source as it was read

  // The one-entry archive.
  uint64_t Size() const { return size_; }
  bool ReadAt(uint64_t offset, void* buf, size_t n) const;
  // Appends bytes; beyond the memory limit the bytes move to a temporary
  // file.  False (errno set) when that file cannot be written.
  bool Append(const void* data, size_t n);
  void Release();

  std::string spillPattern;

 private:
  std::string memory_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Packs one source into `out`.  Thread-safe: any number may run at once.
void PackEntry(const PackSource& src, const PackSettings& settings, std::vector<char>& buffer,
               PackedEntry* out);

// Checks that the compressor accepts the settings; an error text (with the
// exit code in *code) when it does not.
std::string CheckPackSettings(const PackSettings& settings, int* code);

// Writes packed entries one after the other into fd, then the directory.
class ZipJoiner {
 public:
  explicit ZipJoiner(int fd) : fd_(fd) {}
  // False with error() set on a damaged entry or a write error.
  bool Append(const PackedEntry& entry, bool (*stop)());
  bool Finish();
  const std::string& error() const { return error_; }

 private:
  bool Write(const void* p, size_t n);
  int fd_;
  uint64_t pos_ = 0;
  uint64_t count_ = 0;
  std::string central_;
  std::string error_;
};

}  // namespace yux::winrar
