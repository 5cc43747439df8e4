#pragma once
// libarchive reading an archive through a ByteSource, so that the volumes
// of a split archive read as the one archive they are cut from.
#include <archive.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zip/zipdir.h"

namespace yux::zip {

// The stream libarchive reads, seeks and skips in; it must outlive the
// archive it was opened for.
class SourceStream {
 public:
  explicit SourceStream(const ByteSource& src) : src_(&src) {}
  SourceStream(const SourceStream&) = delete;
  SourceStream& operator=(const SourceStream&) = delete;
  // Opens `a` (its formats already chosen) over this stream; libarchive's
  // result.
  int Open(archive* a);

 private:
  static la_ssize_t Read(archive* a, void* data, const void** out);
  static la_int64_t Seek(archive* a, void* data, la_int64_t offset, int whence);
  static la_int64_t Skip(archive* a, void* data, la_int64_t request);

  const ByteSource* src_;
  uint64_t pos_ = 0;
  std::vector<char> buf_ = std::vector<char>(1 << 16);
};

// libarchive's text for its last failure; `fallback` when it gives none (a
// failure may come without one, and the pointer is then null).
std::string ArchiveErrorText(archive* a, const std::string& fallback);

}  // namespace yux::zip
