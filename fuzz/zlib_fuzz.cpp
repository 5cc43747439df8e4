// Compressed bodies from outside (HTTP content coding, the FTP client's
// compressed mode): any bytes are inflated with the output bounded, and
// the input compressed with the kind and level its first byte picks must
// inflate back to itself.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "fuzz/memstream.h"
#include "net/protocols/zlibstreams.h"

using namespace yux;

namespace {

constexpr std::int64_t kMaxOutput = 4 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxTextInput) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  {
    fuzz::MemStream in(bytes), out;
    // A bomb is stopped by the progress routine, which also sees the
    // count grow.
    std::int64_t last = -1;
    auto progress = [&](void*, bool& abort, std::int64_t count) {
      YUX_FUZZ_CHECK(count >= last, std::to_string(count));
      last = count;
      if (count > kMaxOutput) abort = true;
    };
    try {
      net::ZlibDecompressStream(in, out, nullptr, progress);
      YUX_FUZZ_CHECK(in.Position() <= std::int64_t(size), std::to_string(in.Position()));
    } catch (const net::EDecompressionError&) {
    }
  }

  if (size == 0) return 0;
  static constexpr net::TZStreamType kKinds[] = {net::TZStreamType::zsZLib, net::TZStreamType::zsGZip,
                                                 net::TZStreamType::zsRaw};
  const auto kind = kKinds[data[0] % 3];
  const int level = int(data[0] / 3 % 11) - 1;  // -1 (default) .. 9
  fuzz::MemStream plain(bytes), packed;
  net::ZlibCompressStreamEx(plain, packed, level, kind, false);
  packed.SetPosition(0);
  fuzz::MemStream unpacked;
  try {
    net::ZlibDecompressStream(packed, unpacked);
  } catch (const net::EDecompressionError& e) {
    fuzz::Fail("our own compressed data did not inflate", e.what());
  }
  YUX_FUZZ_CHECK(unpacked.data() == bytes, "round trip changed the data");
  YUX_FUZZ_CHECK(packed.Position() == packed.Size(), "inflate stopped before the end of its stream");
  return 0;
}
