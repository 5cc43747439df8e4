#pragma once
// Stream compression and decompression over zlib, used for the HTTP
// server's gzip and deflate answers and the FTP client's compressed mode.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "net/socket/netstream.h"

namespace yux::net {

class EZlibError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class ECompressionError : public EZlibError {
 public:
  using EZlibError::EZlibError;
};
class EDecompressionError : public EZlibError {
 public:
  using EZlibError::EZlibError;
};

// Stream kinds and their zlib window bits.
enum class TZStreamType { zsZLib, zsGZip, zsRaw };
int ZlibWindowBits(TZStreamType kind);  // 15, 31, -15

// Compression levels by index and their zlib values 0, 1, -1 (default), 9.
enum class TZCompressionLevel { zcNone, zcFastest, zcDefault, zcMax };
int ZlibLevelValue(TZCompressionLevel level);

// The text for a zlib result code: "No error", "Stream end", ... and
// "Unknown error " followed by the code for anything else.
std::string ZlibErrorText(int code);

// Called after every step with the owner, an abort flag it may set, and the
// byte count so far (input bytes read when compressing, bytes in and out
// when decompressing).
using TZlibProgress = std::function<void(void* owner, bool& abort, std::int64_t count)>;

// Deflates the input from its current position to its end into out, with
// method 8, the kind's window bits, memory level 9 and the default
// strategy.  An abort from the progress routine stops reading input; the
// stream is still finished properly.  The input is left just after the
// consumed bytes.  `directOutput` is accepted for callers that ask to write
// straight into a memory stream; the output is always written through the
// stream in 64 KB steps, so it changes nothing.  Failures raise
// ECompressionError with the zlib text.
void ZlibCompressStreamEx(TStream& in, TStream& out, int level, TZStreamType kind,
                          bool directOutput, const TZlibProgress& progress = {},
                          void* progressOwner = nullptr);
void ZlibCompressStream(TStream& in, TStream& out, TZCompressionLevel level,
                        bool directOutput, TZStreamType kind);

// Inflates the input: a zlib header is tried first, then a gzip header;
// data with neither is taken as raw deflate.  The zlib (Adler-32) and gzip
// (CRC-32 and length) trailers are checked.  Data that end before the
// deflate stream does, a wrong trailer, corrupt data or an abort from the
// progress routine raise EDecompressionError with the zlib text.  At the end
// the input is moved back to just after the consumed bytes.
void ZlibDecompressStream(TStream& in, TStream& out, void* progressOwner = nullptr,
                          const TZlibProgress& progress = {});

}  // namespace yux::net
