#include "net/protocols/zlibstreams.h"

#include <zlib.h>

#include <vector>

namespace yux::net {
namespace {

constexpr std::size_t kBlock = 65536;

// Reads up to kBlock bytes; the count read (0 at the end).
std::size_t ReadBlock(TStream& in, std::vector<unsigned char>& buf) {
  std::int64_t n = in.Read(buf.data(), static_cast<std::int64_t>(buf.size()));
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool WriteAll(TStream& out, const unsigned char* p, std::size_t n) {
  return out.Write(p, static_cast<std::int64_t>(n)) == static_cast<std::int64_t>(n);
}

// Moves the input back over bytes that were read but not consumed.
void GiveBack(TStream& in, std::size_t unused) {
  if (unused == 0) return;
  in.Seek(-static_cast<std::int64_t>(unused), TSeekOrigin::soCurrent);
}

enum class Detected { zlib, gzip, raw };

Detected DetectFormat(const unsigned char* p, std::size_t n) {
  if (n >= 2) {
    unsigned cmf = p[0], flg = p[1];
    if ((cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0) return Detected::zlib;
    if (cmf == 0x1F && flg == 0x8B) return Detected::gzip;
  }
  return Detected::raw;
}

}  // namespace

int ZlibWindowBits(TZStreamType kind) {
  switch (kind) {
    case TZStreamType::zsZLib: return 15;
    case TZStreamType::zsGZip: return 31;
    case TZStreamType::zsRaw: return -15;
  }
  return 15;
}

int ZlibLevelValue(TZCompressionLevel level) {
  switch (level) {
    case TZCompressionLevel::zcNone: return 0;
    case TZCompressionLevel::zcFastest: return 1;
    case TZCompressionLevel::zcDefault: return -1;
    case TZCompressionLevel::zcMax: return 9;
  }
  return -1;
}

std::string ZlibErrorText(int code) {
  switch (code) {
    case 0: return "No error";
    case 1: return "Stream end";
    case 2: return "Need dictionary";
    case -1: return "Errno";
    case -2: return "Stream error";
    case -3: return "Data error";
    case -4: return "Memory error";
    case -5: return "Buffer error";
    case -6: return "Version error";
    default: return "Unknown error " + std::to_string(code);
  }
}

void ZlibCompressStreamEx(TStream& in, TStream& out, int level, TZStreamType kind,
                          bool /*directOutput*/, const TZlibProgress& progress,
                          void* progressOwner) {
  z_stream zs{};
  int rc = deflateInit2(&zs, level, Z_DEFLATED, ZlibWindowBits(kind), 9, Z_DEFAULT_STRATEGY);
  if (rc < 0) throw ECompressionError(ZlibErrorText(rc));
  std::vector<unsigned char> inBuf(kBlock), outBuf(kBlock);
  std::int64_t total = 0;

  auto drain = [&](int flush) {
    do {
      zs.next_out = outBuf.data();
      zs.avail_out = static_cast<uInt>(outBuf.size());
      rc = deflate(&zs, flush);
      if (rc < 0 && rc != Z_BUF_ERROR) {
        deflateEnd(&zs);
        throw ECompressionError(ZlibErrorText(rc));
      }
      std::size_t have = outBuf.size() - zs.avail_out;
      if (have) {
        if (!WriteAll(out, outBuf.data(), have)) {
          deflateEnd(&zs);
          throw ECompressionError(ZlibErrorText(Z_ERRNO));
        }
      }
    } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  };

  bool abort = false;
  while (!abort) {
    std::size_t n = ReadBlock(in, inBuf);
    if (n == 0) break;
    zs.next_in = inBuf.data();
    zs.avail_in = static_cast<uInt>(n);
    drain(Z_NO_FLUSH);
    total += static_cast<std::int64_t>(n);
    if (progress) progress(progressOwner, abort, total);
  }
  drain(Z_FINISH);
  deflateEnd(&zs);
}

void ZlibCompressStream(TStream& in, TStream& out, TZCompressionLevel level,
                        bool directOutput, TZStreamType kind) {
  ZlibCompressStreamEx(in, out, ZlibLevelValue(level), kind, directOutput);
}

void ZlibDecompressStream(TStream& in, TStream& out, void* progressOwner,
                          const TZlibProgress& progress) {
  std::vector<unsigned char> inBuf(kBlock), outBuf(kBlock);
  std::int64_t count = 0;
  bool abort = false;

  std::size_t n = ReadBlock(in, inBuf);
  count += static_cast<std::int64_t>(n);
  if (progress) progress(progressOwner, abort, count);
  if (abort) throw EDecompressionError(ZlibErrorText(Z_BUF_ERROR));

  int bits = -15;
  switch (DetectFormat(inBuf.data(), n)) {
    case Detected::zlib: bits = 15; break;
    case Detected::gzip: bits = 31; break;
    case Detected::raw: bits = -15; break;
  }
  z_stream zs{};
  int rc = inflateInit2(&zs, bits);
  if (rc < 0) throw EDecompressionError(ZlibErrorText(rc));
  auto fail = [&](int code) {
    inflateEnd(&zs);
    throw EDecompressionError(ZlibErrorText(code));
  };

  zs.next_in = inBuf.data();
  zs.avail_in = static_cast<uInt>(n);
  while (true) {
    if (zs.avail_in == 0) {
      n = ReadBlock(in, inBuf);
      // Input that ends before the deflate stream (and its trailer) does is
      // a truncated body, never a success.
      if (n == 0) fail(Z_BUF_ERROR);
      count += static_cast<std::int64_t>(n);
      if (progress) progress(progressOwner, abort, count);
      if (abort) fail(Z_BUF_ERROR);
      zs.next_in = inBuf.data();
      zs.avail_in = static_cast<uInt>(n);
    }
    zs.next_out = outBuf.data();
    zs.avail_out = static_cast<uInt>(outBuf.size());
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc == Z_NEED_DICT) fail(Z_DATA_ERROR);
    if (rc < 0 && rc != Z_BUF_ERROR) fail(rc);
    std::size_t have = outBuf.size() - zs.avail_out;
    if (have) {
      if (!WriteAll(out, outBuf.data(), have)) fail(Z_BUF_ERROR);
      count += static_cast<std::int64_t>(have);
      if (progress) progress(progressOwner, abort, count);
      if (abort) fail(Z_BUF_ERROR);
    }
    if (rc == Z_STREAM_END) break;
  }
  std::size_t unused = zs.avail_in;
  inflateEnd(&zs);
  GiveBack(in, unused);
}

}  // namespace yux::net
