#include "zip/ziparchive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace yux::zip {

int SourceStream::Open(archive* a) {
  archive_read_set_read_callback(a, Read);
  archive_read_set_seek_callback(a, Seek);
  archive_read_set_skip_callback(a, Skip);
  archive_read_set_callback_data(a, this);
  return archive_read_open1(a);
}

la_ssize_t SourceStream::Read(archive* a, void* data, const void** out) {
  auto* s = static_cast<SourceStream*>(data);
  const long n = s->src_->ReadSome(s->pos_, s->buf_.data(), s->buf_.size());
  if (n < 0) {
    archive_set_error(a, EIO, "read error");
    return ARCHIVE_FATAL;
  }
  s->pos_ += static_cast<uint64_t>(n);
  *out = s->buf_.data();
  return n;
}

la_int64_t SourceStream::Seek(archive*, void* data, la_int64_t offset, int whence) {
  auto* s = static_cast<SourceStream*>(data);
  const auto size = static_cast<la_int64_t>(s->src_->Size());
  la_int64_t to = offset;
  if (whence == SEEK_CUR) to += static_cast<la_int64_t>(s->pos_);
  if (whence == SEEK_END) to += size;
  if (to < 0) return ARCHIVE_FATAL;
  s->pos_ = static_cast<uint64_t>(std::min(to, size));
  return static_cast<la_int64_t>(s->pos_);
}

la_int64_t SourceStream::Skip(archive*, void* data, la_int64_t request) {
  auto* s = static_cast<SourceStream*>(data);
  const auto left = static_cast<la_int64_t>(s->src_->Size() - s->pos_);
  const la_int64_t n = std::clamp<la_int64_t>(request, 0, left);
  s->pos_ += static_cast<uint64_t>(n);
  return n;
}

std::string ArchiveErrorText(archive* a, const std::string& fallback) {
  const char* text = archive_error_string(a);
  return text && *text ? text : fallback;
}

}  // namespace yux::zip
