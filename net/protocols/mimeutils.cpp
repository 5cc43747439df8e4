#include "net/protocols/mimeutils.h"

#include <array>

namespace yux::net {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;
constexpr std::uint8_t kPad = 64;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  t['='] = kPad;
  return t;
}
constexpr auto kDecode = MakeDecodeTable();

}  // namespace

std::string EncodeBase64Buffer(const void* data, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (len - i == 1) {
    std::uint32_t v = p[i] << 16;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out += "==";
  } else if (len - i == 2) {
    std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back('=');
  }
  return out;
}

std::string EncodeBase64String(std::string_view text) {
  return EncodeBase64Buffer(text.data(), text.size());
}

std::string DecodeBase64String(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (true) {
    while (i < n && (text[i] == '\r' || text[i] == '\n')) ++i;
    if (i >= n) break;
    std::uint8_t v[4];
    int got = 0;
    bool stop = false;
    while (got < 4 && i < n) {
      std::uint8_t d = kDecode[static_cast<unsigned char>(text[i])];
      if (d == kInvalid) {
        stop = true;
        break;
      }
      v[got++] = d;
      ++i;
    }
    // Padding ends the data: "xx==" gives one byte, "xxx=" two.
    int data = 0;
    while (data < got && v[data] != kPad) ++data;
    if (data >= 2) out.push_back(static_cast<char>((v[0] << 2) | (v[1] >> 4)));
    if (data >= 3) out.push_back(static_cast<char>(((v[1] & 15) << 4) | (v[2] >> 2)));
    if (data >= 4) out.push_back(static_cast<char>(((v[2] & 3) << 6) | v[3]));
    if (stop || got < 4 || data < 4) break;
  }
  return out;
}

std::int64_t CalcBase64EncodedSize(std::int64_t size) {
  if (size <= 0) return 0;
  std::int64_t n = 4 * ((size + 2) / 3);
  std::int64_t lines = (n + 75) / 76;
  return n + 2 * lines;
}

}  // namespace yux::net
