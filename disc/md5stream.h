#pragma once
// A write-only stream that digests what is written to it with MD5. It sits
// on the one MD5 of the hashes library; the verify thread feeds it the
// source files and the bytes read back from the disc.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/hashes/md5.h"

namespace yux::disc {

class TMD5Stream {
 public:
  TMD5Stream();
  virtual ~TMD5Stream() = default;

  // Stream operations: Write feeds every byte and returns the count; the
  // stream cannot be read back.
  virtual size_t Write(const void* data, size_t count);
  virtual size_t Read(void* data, size_t count);

  virtual void AddByte(uint8_t b);
  // The 16-byte digest of everything written since the last Init; the
  // stream starts over afterwards.
  virtual net::Md5Digest Final();
  // The digest as 32 upper-case hexadecimal characters; starts over too.
  virtual std::string DigestText();
  virtual void Init();
  // Feeds one whole 64-byte block.
  virtual void Transform(const uint8_t block[64]);

  // Bytes written since the last Init.
  uint64_t Size() const { return ctx_.count; }

 private:
  net::Md5Context ctx_;
};

// Upper-case hexadecimal text of a digest.
std::string DigestToText(const net::Md5Digest& digest);

}  // namespace yux::disc
