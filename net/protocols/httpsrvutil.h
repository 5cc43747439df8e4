#pragma once
// The HTTP server's building blocks that need no connection: request path
// mapping, byte ranges and the stream that serves them, content coding
// choice, answer headers, content types, dates, URL and HTML text helpers
// and path normalisation.  Pure functions, fuzzed through the connection.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket/netstream.h"

namespace yux::net {

// A stream over bytes in memory.
class TSrvMemoryStream : public TStream {
 public:
  TSrvMemoryStream() = default;
  explicit TSrvMemoryStream(std::string data) : data_(std::move(data)) {}
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t newSize) override;
  const std::string& Data() const { return data_; }

 private:
  std::string data_;
  std::int64_t pos_ = 0;
};

// A stream that can only be read: writing and resizing raise "Stream is
// readonly"; seeking moves the position against the stream's end.
class TSrvReadOnlyStream : public TStream {
 public:
  std::int64_t Write(const void* buffer, std::int64_t count) override;  // raises
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t newSize) override;  // raises

 protected:
  virtual std::int64_t End() const = 0;
  std::int64_t pos_ = 0;
};

// A read-only stream over an open file, read with pread: no buffer of its
// own (the connection reads whole blocks).  Owns the descriptor.  A read
// error reads as the end of the file.
class TSrvFileStream : public TSrvReadOnlyStream {
 public:
  TSrvFileStream(int fd, std::int64_t size) : fd_(fd), size_(size) {}
  ~TSrvFileStream() override;
  TSrvFileStream(const TSrvFileStream&) = delete;
  TSrvFileStream& operator=(const TSrvFileStream&) = delete;
  int Fd() const { return fd_; }
  std::int64_t Read(void* buffer, std::int64_t count) override;

 protected:
  std::int64_t End() const override { return size_; }

 private:
  int fd_;
  std::int64_t size_;
};

// A read-only stream over bytes shared with others (a cached compressed
// document).
class TSrvSharedStream : public TSrvReadOnlyStream {
 public:
  explicit TSrvSharedStream(std::shared_ptr<const std::string> data) : data_(std::move(data)) {}
  std::int64_t Read(void* buffer, std::int64_t count) override;

 protected:
  std::int64_t End() const override { return std::int64_t(data_->size()); }

 private:
  std::shared_ptr<const std::string> data_;
};

// ---------------------------------------------------------------------------
// Byte ranges

struct THttpRange {
  std::int64_t First = -1;  // -1: not given
  std::int64_t Last = -1;
};
using THttpRangeList = std::vector<THttpRange>;

// More ranges than this are answered with the whole document.
inline constexpr size_t kMaxRanges = 16;
inline constexpr char kRangeBoundary[] = "[lka9uw3et5vxybtp87ghq23dpu7djv84nhls9p]";

// Reads a Range value ("bytes=0-99,-5"); unusable pieces are skipped.
void ParseRangeHeader(std::string_view value, THttpRangeList& ranges);

// One piece of an assembled answer.
struct THttpPartStream {
  TStream* Source = nullptr;
  std::int64_t StartPos = 0, EndPos = 0;  // in the source, end exclusive
  std::int64_t Offset = 0, Length = 0;    // in the answer
};

enum class TRangeOutcome { Made, Unsatisfiable, WholeDocument };

// A read-only stream of the requested ranges of one document: the range
// itself, or multipart/byteranges pieces with their part headers.  Owns
// the document stream and the part headers.
class THttpRangeStream : public TSrvReadOnlyStream {
 public:
  // Resolves the ranges against the document's size.  Made: the stream is
  // ready; Unsatisfiable: answer 416; WholeDocument: answer 200 with the
  // document (a suffix longer than the document, too many ranges, ranges
  // that overlap or add up to more than the document).
  TRangeOutcome Build(std::unique_ptr<TStream> doc, const THttpRangeList& ranges,
                      const std::string& contentType);
  // The first and last byte of each resolved range, and the document size.
  const std::vector<std::pair<std::int64_t, std::int64_t>>& Resolved() const { return resolved_; }
  std::int64_t DocumentSize() const { return docSize_; }
  // Gives the document stream back (after a failed Build).
  std::unique_ptr<TStream> TakeDocument() { return std::move(doc_); }
  // The document stream and where the answer starts in it, when the answer
  // is one range of it (no part headers); null otherwise.
  TStream* SingleRangeSource(std::int64_t& start) const;

  std::int64_t Read(void* buffer, std::int64_t count) override;

 protected:
  std::int64_t End() const override { return size_; }

 private:
  void AddPart(TStream* src, std::int64_t start, std::int64_t end);
  std::unique_ptr<TStream> doc_;
  std::vector<std::unique_ptr<TSrvMemoryStream>> headers_;
  std::vector<THttpPartStream> parts_;
  std::vector<std::pair<std::int64_t, std::int64_t>> resolved_;
  std::int64_t docSize_ = 0, size_ = 0;
};

// "first-last/size".
std::string RangeText(std::int64_t first, std::int64_t last, std::int64_t size);

// The status, type, length and range lines of a document answer (200 or
// 206); any other status raises "Unexpected ProtoNumber in CreateHttpHeader".
// `compressed` leaves out Accept-Ranges and adds Vary.
std::string CreateHttpHeader(const std::string& version, int status,
                             const std::string& contentType, std::int64_t sizeToSend,
                             const THttpRangeStream* ranges, bool compressed);

// ---------------------------------------------------------------------------
// Content coding

// The coding to answer with for an Accept-Encoding value: "deflate",
// "gzip" or "" (identity).  Tokens with q-values, any case; q=0 refuses;
// the higher q wins, deflate on a tie.
std::string ChooseContentCoding(std::string_view acceptEncoding);

// ---------------------------------------------------------------------------
// Texts

// The built-in type of a file by its extension (lower-cased).
std::string ContentTypeOfExtension(std::string_view fileName);
// Days since 1899-12-30 (UTC) for a Unix time, and back.
double UnixTimeToDateTime(std::int64_t t);
std::int64_t DateTimeToUnixTime(double dt);
// "Sun, 06 Nov 1994 08:49:37" (the caller appends " GMT").
std::string RFC1123DateText(double dateTime);

// "%XX" to a byte, "+" to a blank; a "%" without two hex digits after it
// stays as it is.  The system code page is UTF-8, so the conversion from
// UTF-8 changes nothing: the code page and the detection are accepted for
// callers that pass them.
std::string UrlDecodeText(std::string_view text, int codePage = 0, bool detectUtf8 = true);
// ".", digits and ASCII letters stay; every other byte becomes "%XX".
std::string UrlEncodeText(std::string_view text, int codePage = 0);
// The value of the first "name=value" pair of "&"-separated form data whose
// name equals `name` in any case; false (and an empty value) when absent.
bool ExtractUrlEncodedField(std::string_view data, std::string_view name, std::string& value,
                            bool detectUtf8 = true, int codePage = 0);
// Text (UTF-8) made safe inside HTML: entities for markup characters,
// Latin-1 names for 160..255, numeric ones above; runs of blanks and tabs
// kept visible, line feeds as "<BR>".
std::string HtmlEscapeText(std::string_view text);
// Drops "." components, lets ".." remove one component without climbing
// above the root; "", "." and ".." give "".
std::string NormalisePath(std::string_view path);
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
bool CanOpenForReading(const std::string& path);

// ---------------------------------------------------------------------------
// Request path to file

// A document found with one open instead of a question per property.
struct TFoundDocument {
  std::string Path;  // the document it describes (empty: none)
  int Fd = -1;       // open for reading; regular files only
  bool Directory = false, Regular = false;
  std::int64_t Size = 0;
  std::int64_t MTimeSec = 0, MTimeNsec = 0;
  std::uint64_t Dev = 0, Ino = 0;
  TFoundDocument() = default;
  TFoundDocument(const TFoundDocument&) = delete;
  TFoundDocument& operator=(const TFoundDocument&) = delete;
  ~TFoundDocument() { Reset(); }
  void Reset();
  // The open descriptor, now the caller's.
  int TakeFd();
};

// The document folder held open, so that requests resolve their paths
// from it: each use asks the file system once what the folder's path names
// now, and a path that names another folder than before is opened anew.
class TDocumentRoot {
 public:
  TDocumentRoot() = default;
  TDocumentRoot(const TDocumentRoot&) = delete;
  TDocumentRoot& operator=(const TDocumentRoot&) = delete;
  ~TDocumentRoot();
  // The folder `dir` names now, open; -1 when it names none.
  int Fd(const std::string& dir);

 private:
  void Drop();
  int fd_ = -1;
  std::string path_;
  std::uint64_t dev_ = 0, ino_ = 0;
};

// Opens a document MapRequestPath made (docDir itself, or docDir + "/" +
// a relative path) relative to docDir, such that the path, symbolic links
// included, is never resolved outside docDir.  True: `found` describes it
// and it lies inside docDir.  False: it could not be settled this way (it
// does not exist or cannot be opened, a link leads out of docDir, the
// system lacks the call); the caller asks the file system as before.  A
// special file (neither regular nor a folder) is found but left closed.
// `root`, when given, holds docDir open between requests.
bool FindDocumentBeneath(const std::string& docDir, const std::string& document,
                         TFoundDocument& found, TDocumentRoot* root = nullptr);
// Opens a regular file for reading, following links as any path does;
// true with `found` describing it (Path left to the caller).
bool OpenRegularFile(const std::string& path, TFoundDocument& found);

enum class TPathMapResult { Ok, BadRequest };

// Maps a request path (before "?") onto a file under docDir.  Refuses
// (BadRequest) NUL bytes, control characters and backslashes, raw or
// encoded; decodes once; splits on "/", drops "." and empty segments, lets
// ".." remove one segment and never climb above the root.  A path ending in
// "/" gives a document ending in "/".
TPathMapResult MapRequestPath(std::string_view path, const std::string& docDir,
                              std::string& document);
// True when the document, with every symbolic link resolved, is docDir
// itself or lies below docDir + "/".
bool DocumentInsideRoot(const std::string& document, const std::string& docDir);
// False when the path is longer than the file system takes (4095 bytes),
// or a name in it is (255 bytes): no file can have it.
bool FitsFileSystem(std::string_view path);

}  // namespace yux::net
