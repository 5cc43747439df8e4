// Text of any bytes in the code page a message declares.  The first line is
// a charset name as a header gives it; when it names no usable code page,
// the first byte picks one from a list.  The rest is walked character by
// character and converted to UTF-16 and back; the size a conversion asks
// for must be the size it then writes.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzzsupport.h"
#include "net/protocols/charsets.h"
#include "net/protocols/netcsc.h"

using namespace yux;
using namespace yux::net;

namespace {

constexpr std::uint32_t kCodePages[] = {
    0,     437,   850,   866,   874,   932,   936,   949,   950,   1200,  1201,  1250,  1251,
    1252,  1253,  1255,  1256,  10000, 12000, 12001, 20127, 20866, 20932, 21866, 28591, 28592,
    28595, 28605, 50220, 50221, 50222, 50225, 51932, 51936, 51949, 52936, 54936, 65000, 65001,
};

void Convert(TNetCsc& csc, std::string_view bytes) {
  // Character sizes: every step inside the buffer.
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  int left = int(bytes.size());
  for (int steps = 0; left > 0 && steps < 4096; ++steps) {
    const int n = csc.GetNextCodePointSize(p, left);
    YUX_FUZZ_CHECK(n <= left, std::to_string(n));
    if (n <= 0) break;
    p += n;
    left -= n;
  }

  for (std::uint32_t flags : {std::uint32_t(0), MB_ERR_INVALID_CHARS}) {
    const int need = csc.ToWide(flags, bytes.data(), int(bytes.size()), nullptr, 0);
    YUX_FUZZ_CHECK(need >= 0 && need % 2 == 0, std::to_string(need));
    if (need > 0) {
      std::vector<char16_t> wide(std::size_t(need) / 2 + 1);
      const int got = csc.ToWide(flags, bytes.data(), int(bytes.size()), wide.data(), need);
      YUX_FUZZ_CHECK(got == need, std::to_string(got) + " of " + std::to_string(need));
      // Too small a buffer fails instead of writing past it.
      if (need > 2) {
        const int small = csc.ToWide(flags, bytes.data(), int(bytes.size()), wide.data(), need - 2);
        YUX_FUZZ_CHECK(small == 0, std::to_string(small));
      }
    }
  }

  // The same bytes taken as UTF-16 (any code units, lone surrogates too).
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = char16_t(std::uint8_t(bytes[2 * i]) | std::uint8_t(bytes[2 * i + 1]) << 8);
  for (std::uint32_t flags : {std::uint32_t(0), WC_NO_BEST_FIT_CHARS}) {
    const int srcBytes = int(units.size() * 2);
    const int need = csc.FromWide(flags, units.data(), srcBytes, nullptr, 0);
    YUX_FUZZ_CHECK(need >= 0, std::to_string(need));
    if (need > 0) {
      std::string out(std::size_t(need), '\0');
      const int got = csc.FromWide(flags, units.data(), srcBytes, out.data(), need);
      YUX_FUZZ_CHECK(got == need, std::to_string(got) + " of " + std::to_string(need));
    }
  }
  (void)csc.ToWideString(bytes);
  (void)csc.FromWideString(units);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 16384) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view name = fuzz::NextLine(rest);
  std::uint32_t codePage = 0;
  if (!CharsetNameToCodePage(name, codePage))
    codePage = kCodePages[data[0] % (sizeof kCodePages / sizeof kCodePages[0])];
  (void)CodePageToCharsetName(codePage);

  try {
    TNetCsc csc(codePage);
    Convert(csc, rest);
  } catch (const ENetStringConvertError&) {
    // A code page this system cannot convert.
  }
  return 0;
}
