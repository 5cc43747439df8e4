#pragma once
// A file stream that reads and writes through one buffer window aligned to
// the buffer size: moving inside the window costs nothing; leaving it writes
// a changed window back.
#include <cstdint>
#include <string>
#include <vector>

#include "net/socket/netstream.h"

namespace yux::net {

// Open modes (16 bits): access in the low bits, sharing above.
inline constexpr std::uint16_t fmCreate = 0xFFFF;
inline constexpr std::uint16_t fmOpenRead = 0x0000;
inline constexpr std::uint16_t fmOpenWrite = 0x0001;
inline constexpr std::uint16_t fmOpenReadWrite = 0x0002;
inline constexpr std::uint16_t fmShareExclusive = 0x0010;
inline constexpr std::uint16_t fmShareDenyWrite = 0x0020;
inline constexpr std::uint16_t fmShareDenyNone = 0x0040;

class TBufferedFileStream : public TStream {
 public:
  // fmCreate creates (or empties) the file; any other mode opens it, a
  // write-only open being widened to read-write so the window can be
  // filled.  The buffer size is rounded down to a multiple of 128 and kept
  // within 128 to 65536.  Failures: EFCreateError, EFOpenError,
  // EBufferedStreamError.
  TBufferedFileStream(const std::string& fileName, std::uint16_t mode, int bufSize = 65536);
  ~TBufferedFileStream() override;
  TBufferedFileStream(const TBufferedFileStream&) = delete;
  TBufferedFileStream& operator=(const TBufferedFileStream&) = delete;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int32_t Seek32(std::int32_t offset, int origin);
  void SetSize(std::int64_t newSize) override;

  int BufferSize() const { return bufSize_; }
  std::int64_t FileSize() const { return fileSize_; }
  // Reads and writes of the file itself (fills and write-backs), for tests
  // that check the window rule.
  std::uint64_t FileAccessCount() const { return fileAccesses_; }

 private:
  void Fill();
  void WriteBack();

  int fd_ = -1;
  std::int64_t fileSize_ = 0;
  std::int64_t windowStart_ = 0;
  std::vector<std::uint8_t> buffer_;
  int bufSize_ = 0;
  int valid_ = 0;
  int pos_ = 0;
  bool dirty_ = false;
  std::uint16_t mode_ = 0;
  std::uint64_t fileAccesses_ = 0;
};

}  // namespace yux::net
