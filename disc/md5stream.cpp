#include "disc/md5stream.h"

namespace yux::disc {

std::string DigestToText(const net::Md5Digest& digest) {
  static const char* kHex = "0123456789ABCDEF";
  std::string s;
  s.reserve(32);
  for (uint8_t b : digest) {
    s.push_back(kHex[b >> 4]);
    s.push_back(kHex[b & 15]);
  }
  return s;
}

TMD5Stream::TMD5Stream() { Init(); }

void TMD5Stream::Init() { net::Md5Start(ctx_); }

size_t TMD5Stream::Write(const void* data, size_t count) {
  if (count) net::Md5AddData(ctx_, data, count);
  return count;
}

size_t TMD5Stream::Read(void*, size_t) { return 0; }

void TMD5Stream::AddByte(uint8_t b) { net::Md5AddData(ctx_, &b, 1); }

void TMD5Stream::Transform(const uint8_t block[64]) { net::Md5AddData(ctx_, block, 64); }

net::Md5Digest TMD5Stream::Final() {
  net::Md5Digest d{};
  net::Md5Finish(d, ctx_);
  Init();
  return d;
}

std::string TMD5Stream::DigestText() { return DigestToText(Final()); }

}  // namespace yux::disc
