#pragma once
// A stream over a byte string for the network targets, with a ceiling on
// what may be written so that a decoder cannot run away with the memory.
#include <algorithm>
#include <cstring>
#include <string>

#include "net/socket/netstream.h"

namespace yux::fuzz {

class MemStream : public net::TStream {
 public:
  explicit MemStream(std::string data = {}, std::size_t limit = 16u << 20)
      : data_(std::move(data)), limit_(limit) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    std::int64_t n = std::clamp<std::int64_t>(std::int64_t(data_.size()) - pos_, 0, count);
    if (n > 0) std::memcpy(buffer, data_.data() + pos_, std::size_t(n));
    pos_ += n;
    return n;
  }
  // Writes what fits under the ceiling; a short count tells the writer.
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    if (count <= 0) return 0;
    count = std::min<std::int64_t>(count, std::int64_t(limit_) - pos_);
    if (count <= 0) return 0;
    const auto end = std::size_t(pos_ + count);
    if (data_.size() < end) data_.resize(end);
    std::memcpy(data_.data() + pos_, buffer, std::size_t(count));
    pos_ += count;
    return count;
  }
  std::int64_t Seek(std::int64_t offset, net::TSeekOrigin origin) override {
    const std::int64_t base = origin == net::TSeekOrigin::soBeginning ? 0
                              : origin == net::TSeekOrigin::soCurrent ? pos_
                                                                      : std::int64_t(data_.size());
    if (base + offset < 0) return -1;
    pos_ = base + offset;
    return pos_;
  }
  void SetSize(std::int64_t newSize) override {
    data_.resize(std::size_t(std::clamp<std::int64_t>(newSize, 0, std::int64_t(limit_))));
  }
  const std::string& data() const { return data_; }

 private:
  std::string data_;
  std::size_t limit_;
  std::int64_t pos_ = 0;
};

}  // namespace yux::fuzz
