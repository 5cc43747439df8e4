#pragma once
// A stream over a byte string, for feeding and collecting the encoders.
#include <algorithm>
#include <cstring>
#include <string>

#include "net/socket/netstream.h"

namespace yux::test {

class MemStream : public yux::net::TStream {
 public:
  MemStream() = default;
  explicit MemStream(std::string data) : data_(std::move(data)) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    std::int64_t n = std::clamp<std::int64_t>(static_cast<std::int64_t>(data_.size()) - pos_, 0, count);
    if (n > 0) std::memcpy(buffer, data_.data() + pos_, static_cast<std::size_t>(n));
    pos_ += n;
    return n;
  }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    if (count <= 0) return count;
    auto end = static_cast<std::size_t>(pos_ + count);
    if (data_.size() < end) data_.resize(end);
    std::memcpy(data_.data() + pos_, buffer, static_cast<std::size_t>(count));
    pos_ += count;
    return count;
  }
  std::int64_t Seek(std::int64_t offset, yux::net::TSeekOrigin origin) override {
    std::int64_t base = origin == yux::net::TSeekOrigin::soBeginning ? 0
                        : origin == yux::net::TSeekOrigin::soCurrent ? pos_
                                                                     : static_cast<std::int64_t>(data_.size());
    if (base + offset < 0) return -1;
    pos_ = base + offset;
    return pos_;
  }
  void SetSize(std::int64_t newSize) override { data_.resize(static_cast<std::size_t>(newSize)); }
  const std::string& data() const { return data_; }

 private:
  std::string data_;
  std::int64_t pos_ = 0;
};

}  // namespace yux::test
