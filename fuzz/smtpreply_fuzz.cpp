// What an SMTP server sends, through the client's reply reader: the bytes
// arrive in chunks (their sizes taken from the first byte), each complete
// line has its code read and, as during EHLO, its AUTH, SIZE and STARTTLS
// announcements.  Properties: a line never holds CR LF and never exceeds
// the reply buffer; the buffer overflows only when it is full without a
// line end; mechanism names are unique, upper case and without blanks.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "net/protocols/smtpreply.h"

using namespace yux;
using namespace yux::net;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 4 * fuzz::kMaxTextInput) return 0;
  const std::size_t chunk = std::size_t(data[0]) * 17 + 1;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  TSmtpReplyBuffer buffer;
  TSmtpEhloInfo info;
  std::string line;
  while (!rest.empty() && !buffer.Overflow()) {
    std::string_view piece = rest.substr(0, std::min<std::size_t>({chunk, rest.size(), buffer.Room()}));
    if (piece.empty()) {
      // Full: it must hold no line end, or lines would have been taken.
      if (buffer.NextLine(line)) fuzz::Fail("a full buffer still had a line");
      if (!buffer.Overflow()) fuzz::Fail("a full buffer without a line end is no overflow");
      break;
    }
    if (!buffer.Append(piece)) fuzz::Fail("bytes within the room were refused");
    rest.remove_prefix(piece.size());
    while (buffer.NextLine(line)) {
      if (line.find("\r\n") != std::string::npos) fuzz::Fail("a line holds CR LF", line);
      if (line.size() + 2 > kSmtpReplyBufferSize) fuzz::Fail("a line longer than the buffer");
      bool continuation = false;
      const int code = SmtpReplyCode(line, continuation);
      if (code == 0 && continuation) fuzz::Fail("a continuation without a code", line);
      SmtpParseEhloLine(line, info);
    }
  }
  std::set<std::string> seen;
  for (const std::string& name : info.AuthTypes) {
    if (name.empty() || name.find_first_of(" \t=") != std::string::npos)
      fuzz::Fail("a mechanism name with a separator", name);
    for (char c : name)
      if (c >= 'a' && c <= 'z') fuzz::Fail("a mechanism name not upper case", name);
    if (!seen.insert(name).second) fuzz::Fail("a mechanism named twice", name);
  }
  if (info.MaxMessageSize < 0) fuzz::Fail("a negative size");
  return 0;
}
