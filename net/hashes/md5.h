#pragma once
// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104).
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::net {

struct Md5Context {
  std::uint32_t state[4];
  std::uint64_t count;  // bytes fed so far
  std::uint8_t buffer[64];
};

using Md5Digest = std::array<std::uint8_t, 16>;

void Md5Start(Md5Context& ctx);
void Md5AddData(Md5Context& ctx, const void* data, std::size_t len);
void Md5Finish(Md5Digest& digest, Md5Context& ctx);
// Zero-fills the context (state, count and buffer).
void Md5Clear(Md5Context& ctx);

// Feeds `len` bytes of text in pieces of 16 KB.
void Md5AddString(Md5Context& ctx, const char* text, std::size_t len);
void Md5AddText(Md5Context& ctx, std::string_view text);
void Md5AddDigest(Md5Context& ctx, const Md5Digest& digest);

// 32 lower-case hexadecimal characters.
std::string Md5DigestAsHex(const Md5Digest& digest);
std::string Md5DigestAsHexAlt(const Md5Digest& digest);

// A key longer than 64 bytes is replaced by its MD5 first.
void HmacMD5(const void* data, std::size_t dataLen, const void* key, std::size_t keyLen,
             Md5Digest& digest);

// Digest bytes 1, 2, ..., 16.
void Md5DigestPrefill(Md5Digest& digest);

}  // namespace yux::net
