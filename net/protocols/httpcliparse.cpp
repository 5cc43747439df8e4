#include "net/protocols/httpcliparse.h"

#include <algorithm>
#include <cctype>

#include "net/socket/netutils.h"

namespace yux::net {

namespace {

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

std::string Lower(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = char(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

}  // namespace

bool HttpIsStatusLine(std::string_view line) {
  return line.substr(0, 8) == "HTTP/1.0" || line.substr(0, 8) == "HTTP/1.1";
}

THttpStatusLine HttpParseStatusLine(std::string_view line) {
  THttpStatusLine r;
  r.Version = std::string(line.substr(5, 3));
  std::size_t p = 9;
  while (p < line.size() && !IsDecimalDigit(line[p])) ++p;
  std::size_t end = std::min(line.size(), p + 3);
  for (std::size_t i = p; i < end && IsDecimalDigit(line[i]); ++i) r.Status = r.Status * 10 + (line[i] - '0');
  if (end < line.size()) r.Reason = std::string(line.substr(end + (line[end] == ' ' ? 1 : 0)));
  return r;
}

bool HttpIsHeaderlessBody(std::string_view line) {
  return StartsNoCase(line, "<HTML>") || StartsNoCase(line, "<!DOCTYPE");
}

bool HttpProxyConnectAccepted(std::string_view statusLine) {
  if (!StartsNoCase(statusLine, "HTTP/1.0") && !StartsNoCase(statusLine, "HTTP/1.1")) return false;
  std::string_view rest = statusLine.substr(8);
  for (std::string_view gap : {" 200", "  200"})
    if (rest.substr(0, gap.size()) == gap) return true;
  return false;
}

bool HttpSplitHeaderLine(std::string_view line, std::string& name, std::string& value) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  name = Lower(line.substr(0, colon));
  std::size_t p = colon + 1;
  while (p < line.size() && IsBlankChar(line[p])) ++p;
  value = std::string(line.substr(p));
  while (!value.empty() && IsWhiteSpaceChar(value.back())) value.pop_back();
  return true;
}

std::int64_t HttpParseContentLength(std::string_view value) {
  if (value.empty() || value.size() > 18) return -1;
  std::int64_t n = 0;
  for (char c : value) {
    if (!IsDecimalDigit(c)) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

bool HttpParseContentRange(std::string_view value, std::string& first, std::string& last) {
  if (!StartsNoCase(value, "bytes")) return false;
  std::size_t p = 5;
  while (p < value.size() && (IsBlankChar(value[p]) || value[p] == '=')) ++p;
  std::size_t dash = value.find('-', p);
  std::size_t slash = value.find('/', p);
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
    return false;
  first = std::string(value.substr(p, dash - p));
  last = std::string(value.substr(dash + 1, slash - dash - 1));
  return true;
}

THttpLineReader::Result THttpLineReader::Next(std::string_view buf, std::size_t& pos,
                                              std::string& line) {
  std::size_t lf = buf.find('\n', pos);
  if (lf == std::string_view::npos) {
    if (buf.size() - pos > kHttpMaxHeaderLine) return lineTooLong;
    if (headerBytes_ + (buf.size() - pos) > kHttpMaxHeaderSize) return headerTooLarge;
    return lineNeedMore;
  }
  std::size_t len = lf - pos;
  if (len > kHttpMaxHeaderLine) return lineTooLong;
  headerBytes_ += len + 1;
  if (headerBytes_ > kHttpMaxHeaderSize) return headerTooLarge;
  if (len > 0 && buf[lf - 1] == '\r') --len;
  line.assign(buf.data() + pos, len);
  pos = lf + 1;
  return lineReady;
}

THttpChunkDecoder::Result THttpChunkDecoder::Feed(const char* data, std::size_t len,
                                                  std::size_t& used, const Output& out) {
  std::size_t i = 0;
  auto sizeLineEnds = [&] { state_ = size_ == 0 ? sDone : sData; };
  while (i < len && state_ != sDone && state_ != sError) {
    char c = data[i];
    switch (state_) {
      case sSize:
        if (IsHexDigit(c)) {
          // 15 hex digits are far beyond any body and cannot overflow.
          if (++digits_ > 15) {
            state_ = sError;
            break;
          }
          size_ = size_ * 16 + std::uint64_t(NetHexDigitValue(c));
        } else if (digits_ == 0 && IsBlankChar(c)) {
          // blanks before the size
        } else if (digits_ == 0) {
          state_ = sError;
          break;
        } else if (c == ';') {
          state_ = sExtension;
        } else if (c == '\n') {
          sizeLineEnds();
        } else if (IsBlankChar(c) || c == '\r') {
          state_ = sSizeEnd;
        } else {
          state_ = sError;
          break;
        }
        ++i;
        break;
      case sSizeEnd:
        if (c == '\n')
          sizeLineEnds();
        else if (c == ';')
          state_ = sExtension;
        else if (!IsBlankChar(c) && c != '\r') {
          state_ = sError;
          break;
        }
        ++i;
        break;
      case sExtension:
        if (c == '\n') sizeLineEnds();
        ++i;
        break;
      case sData: {
        std::size_t n = std::size_t(std::min<std::uint64_t>(size_, len - i));
        if (out) out(data + i, n);
        i += n;
        size_ -= n;
        if (size_ == 0) state_ = sDataEnd;
        break;
      }
      case sDataEnd:
        if (c == '\n') {
          state_ = sSize;
          digits_ = 0;
        }
        ++i;
        break;
      case sDone:
      case sError:
        break;
    }
  }
  used = i;
  if (state_ == sError) return chunkError;
  return state_ == sDone ? chunkDone : chunkMore;
}

}  // namespace yux::net
