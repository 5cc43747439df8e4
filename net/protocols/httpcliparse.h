#pragma once
// The pieces of an HTTP answer the client reads: the status line, header
// lines, and the chunked body.  Pure and bounded, so that whatever a server
// sends is handled in limited memory.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace yux::net {

// Longest status or header line, and largest header, the client accepts.
inline constexpr std::size_t kHttpMaxHeaderLine = 64 * 1024;
inline constexpr std::size_t kHttpMaxHeaderSize = 1024 * 1024;

struct THttpStatusLine {
  std::string Version;  // "1.0" or "1.1"
  int Status = 0;
  std::string Reason;
};

// The line begins with "HTTP/1.0" or "HTTP/1.1".
bool HttpIsStatusLine(std::string_view line);
// Version from characters 6 to 8, the status from the three characters
// that start at the first digit after the version and its blank, the
// reason after them and one blank.  For a line HttpIsStatusLine accepts.
THttpStatusLine HttpParseStatusLine(std::string_view line);
// A first line that starts a document without header ("<HTML>" or
// "<!DOCTYPE", in any case).
bool HttpIsHeaderlessBody(std::string_view line);
// The proxy granted a CONNECT: "HTTP/1.0 200" or "HTTP/1.1 200" with one or
// two blanks before the code, in any case.
bool HttpProxyConnectAccepted(std::string_view statusLine);

// Name (lower case) up to the colon and the value after the blanks; false
// when the line has no colon.
bool HttpSplitHeaderLine(std::string_view line, std::string& name, std::string& value);
// A Content-Length value; -1 when it is not a decimal number.
std::int64_t HttpParseContentLength(std::string_view value);
// "bytes first-last/size": first and last as text; false for another form.
bool HttpParseContentRange(std::string_view value, std::string& first, std::string& last);

// Takes header lines out of received bytes: the line up to LF, without the
// CR before it.
class THttpLineReader {
 public:
  enum Result { lineReady, lineNeedMore, lineTooLong, headerTooLarge };
  // Takes the next line from buf at pos (advanced past the LF).  The whole
  // header read so far counts against kHttpMaxHeaderSize.
  Result Next(std::string_view buf, std::size_t& pos, std::string& line);
  void Reset() { headerBytes_ = 0; }
  std::size_t HeaderBytes() const { return headerBytes_; }

 private:
  std::size_t headerBytes_ = 0;
};

// Decodes a chunked body: hex size, anything up to LF (extensions), that
// many bytes, up to LF, next chunk; size 0 ends it (trailers are not read).
class THttpChunkDecoder {
 public:
  enum Result { chunkMore, chunkDone, chunkError };
  using Output = std::function<void(const char* data, std::size_t len)>;

  // Decodes from data; `used` gets the bytes taken (all of them unless the
  // body ended inside them).  chunkError for a size that is not hex.
  Result Feed(const char* data, std::size_t len, std::size_t& used, const Output& out);
  void Reset() { *this = THttpChunkDecoder(); }
  bool Done() const { return state_ == sDone; }
  bool Failed() const { return state_ == sError; }

 private:
  enum State { sSize, sSizeEnd, sExtension, sData, sDataEnd, sDone, sError };
  State state_ = sSize;
  std::uint64_t size_ = 0;
  int digits_ = 0;
};

}  // namespace yux::net
